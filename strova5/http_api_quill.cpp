#include "http_api_quill.h"

#include "httprequest.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QRegularExpression>
#include <QVariantMap>
#include <cmath>

namespace http_api {

QByteArray api_key()
{
    // Kept masked so that the key does not stand in the binary as plain text.
    static const unsigned char stored[11] = {0x09, 0x2E, 0x28, 0x35, 0x2C, 0x3B, 0x6F, 0x77, 0x10, 0x0D, 0x0E};
    constexpr unsigned char mask = 0x5A;
    QByteArray key(11, '\0');
    for (int i = 0; i < 11; ++i) key[i] = char(stored[i] ^ mask);
    return key;
}

QStringList path_segments(const QString& raw_path)
{
    QStringList segments =
        QuillonHttpd::HttpRequest::urlDecode(raw_path).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (!segments.isEmpty() && segments.first() == QLatin1String("driver_strova5")) segments.removeFirst();
    return segments;
}

namespace {

// "exp" as unsigned seconds; what is no number gives 0, what lies beyond 32 bits the latest time.
uint32_t read_exp(const QVariant& v)
{
    bool ok = false;
    const double d = v.type() == QVariant::String ? v.toString().toDouble(&ok) : v.toDouble(&ok);
    if (!ok || !std::isfinite(d) || d <= 0) return 0;
    if (d >= 4294967295.0) return 4294967295u;
    return uint32_t(d);
}

QVariantMap object_at(const QVariantMap& m, const char* key)
{
    const QVariant v = m.value(QLatin1String(key));
    return v.type() == QVariant::Map ? v.toMap() : QVariantMap();
}

} // namespace

QStringList token_rights(const QString& cookie, const QString& authorization, const QStringList& segments,
                         uint32_t now)
{
    QString token = cookie;
    const QStringList words = authorization.split(QLatin1Char(' '), Qt::KeepEmptyParts);
    if (words.size() == 2 && words.first().toLower() == QLatin1String("bearer")) token = words.at(1);

    const QList<QByteArray> parts = QByteArray::fromPercentEncoding(token.toLatin1()).split('.');
    if (parts.size() != 3) return {};

    const QByteArray signed_part = parts.at(0) + '.' + parts.at(1);
    const QByteArray mac =
        QMessageAuthenticationCode::hash(signed_part, api_key(), QCryptographicHash::Md5).toHex();
    if (QByteArray::fromBase64(parts.at(2)) != mac) return {};

    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromBase64(parts.at(1)));
    const QVariantMap payload = doc.isObject() ? doc.object().toVariantMap() : QVariantMap();
    if (!(now < read_exp(payload.value(QStringLiteral("exp"))))) return {};

    const QVariantMap claims = object_at(payload, "claims");
    QStringList rights = object_at(claims, "driver-strova5").keys();
    if (object_at(claims, "b").contains(QStringLiteral("admin"))) rights += QStringLiteral("_b_admin");
    if (object_at(claims, "auth").contains(QStringLiteral("admin")) &&
        segments == QStringList{QStringLiteral("api"), QStringLiteral("rights")})
        rights += QStringLiteral("_auth_admin");
    return rights;
}

bool callback_allowed(const QString& name)
{
    // \z, not $: a trailing newline must not pass.
    static const QRegularExpression allowed(QStringLiteral("\\A[A-Za-z_$][A-Za-z0-9_$.]{0,63}\\z"));
    return allowed.match(name).hasMatch();
}

QByteArray api_body(const QVariant& answer, const QString& callback)
{
    QByteArray json;
    const int type = answer.userType();
    if (type == QMetaType::QVariantMap || type == QMetaType::QVariantList || type == QMetaType::QStringList)
        json = QJsonDocument::fromVariant(answer).toJson(QJsonDocument::Compact);
    if (callback.isEmpty()) return json;
    return callback.toUtf8() + '(' + json + ')';
}

} // namespace http_api
