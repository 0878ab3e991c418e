#pragma once
// One cookie set by a response; toByteArray() is the value of its Set-Cookie header.

#include <QByteArray>
#include <QString>

class HttpCookie
{
public:
    HttpCookie() = default;
    ~HttpCookie() = default;

    void set(const QString& name, const QString& value, int maxAge, const QString& path = QString(),
             const QString& comment = QString(), const QString& domain = QString(), bool secure = false);
    QByteArray toByteArray() const;

    QString name;
    QString value;
    QString comment;
    QString domain;
    qint32 maxAge = 0;
    QString path;
    bool secure = false;
    qint32 version = 1;
};
