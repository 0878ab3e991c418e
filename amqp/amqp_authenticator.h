#pragma once
// Login mechanisms of connection.start-ok.

#include <QDataStream>
#include <QString>

class AmqpAuthenticator
{
public:
    virtual ~AmqpAuthenticator();
    // The mechanism name the broker must offer.
    virtual QString type() const = 0;
    // Writes the mechanism and the response arguments of connection.start-ok.
    virtual void write(QDataStream& out) = 0;
};

// "AMQPLAIN": the response is a field table with LOGIN and PASSWORD.
class AmqpPlainAuthenticator : public AmqpAuthenticator
{
public:
    explicit AmqpPlainAuthenticator(const QString& login = QString(), const QString& password = QString());

    QString login() const { return user; }
    void setLogin(const QString& login) { user = login; }
    QString password() const { return secret; }
    void setPassword(const QString& password) { secret = password; }

    QString type() const override;
    void write(QDataStream& out) override;

private:
    QString user;
    QString secret;
};
