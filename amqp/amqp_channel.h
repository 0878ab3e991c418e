#pragma once
// The common base of exchange and queue channels: one channel number on a connection, opened,
// closed and reopened with the connection and after the broker closed it.

#include "amqp_global.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QStringList>

class AmqpChannelPrivate;
class AmqpExchange;
class AmqpQueue;

class AmqpChannel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int number READ channelNumber)
    Q_PROPERTY(bool open READ isOpen)
    Q_PROPERTY(QString name READ name WRITE setName)

public:
    ~AmqpChannel() override;

    int channelNumber() const;
    bool isOpen() const;
    QString name() const;
    void setName(const QString& name);

    // basic.qos on this channel (not global).
    void qos(qint16 prefetchCount, qint32 prefetchSize = 0);
    qint16 prefetchCount() const;
    qint32 prefetchSize() const;

    // The last close of this channel by the broker with a non-zero reply code.
    AMQP::Error error() const;
    QString errorString() const;

Q_SIGNALS:
    void opened();
    void closed();
    void resumed();
    void paused();
    void error(AMQP::Error error);
    void qosDefined();

public Q_SLOTS:
    void close();
    void reopen();
    void resume();

protected:
    AmqpChannel(AmqpChannelPrivate* dd, QObject* parent);
    // The broker confirmed the channel open; the subclass sends what it held back, and after a
    // close by the broker (isRecovering) its whole set-up again.
    virtual void channelOpened() = 0;
    virtual void channelClosed() = 0;
    // True while the channel reopens after the broker closed it with the connection still up.
    bool isRecovering() const;

    AmqpChannelPrivate* const d_ptr;

private Q_SLOTS:
    void _q_open();
    void _q_disconnected();

private:
    Q_DISABLE_COPY(AmqpChannel)
    Q_DECLARE_PRIVATE(AmqpChannel)
};

// Channels of one client by name, so that asking twice for the same name gives the same object.
// It does not own them (the client does).
class AmqpChannelHash : public QObject
{
    Q_OBJECT

public:
    bool contains(const QString& name) const;
    AmqpChannel* get(const QString& name) const;
    QStringList channels() const;
    void put(const QString& name, AmqpChannel* channel);
    void put(AmqpExchange* exchange);
    void put(AmqpQueue* queue);

public Q_SLOTS:
    void channelDestroyed(QObject* object);
    void queueDeclared();

private:
    // Guarded: an owner may cut every signal of its channel, the destroyed() link included.
    QHash<QString, QPointer<AmqpChannel>> byName;
};
