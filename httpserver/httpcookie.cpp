#include "httpcookie.h"

void HttpCookie::set(const QString& name, const QString& value, int maxAge, const QString& path,
                     const QString& comment, const QString& domain, bool secure)
{
    this->name = name;
    this->value = value;
    this->maxAge = maxAge;
    this->path = path;
    this->comment = comment;
    this->domain = domain;
    this->secure = secure;
    version = 1;
}

QByteArray HttpCookie::toByteArray() const
{
    QString text = name + QLatin1Char('=') + value;
    if (!comment.isEmpty()) text += QStringLiteral("; Comment=") + comment;
    if (!domain.isEmpty()) text += QStringLiteral("; Domain=") + domain;
    if (maxAge != 0) text += QStringLiteral("; Max-Age=") + QString::number(maxAge);
    if (!path.isEmpty()) text += QStringLiteral("; Path=") + path;
    if (secure) text += QStringLiteral("; Secure");
    text += QStringLiteral("; Version=") + QString::number(version);
    return text.toUtf8();
}
