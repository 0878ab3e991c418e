#include "httpsettings.h"

#include <QDebug>
#include <QSettings>

namespace QuillonHttpd {

HttpSettings::HttpSettings(QObject* parent) : QObject(parent)
{
    setDefaults();
}

HttpSettings::HttpSettings(QSettings* settings, const QString& section, QObject* parent) : QObject(parent)
{
    setDefaults();
    readSettings(settings, section);
}

HttpSettings::HttpSettings(QSettings* settings, QObject* parent)
    : HttpSettings(settings, QStringLiteral("http"), parent)
{
}

void HttpSettings::setDefaults()
{
    port = 8080;
    address = QHostAddress(QHostAddress::Any);
    timeout = 600;
    maxAge = 3600;
    encoding = QStringLiteral("UTF-8");
    root = QStringLiteral(".");
    indexFile = QStringLiteral("index.html");
    sessionCookieName = QStringLiteral("sessionid");
    sessionExpirationTime = 3600;
    maxRequestSize = 26214400;
    maxMultiPartSize = 26214400;
    maxMultiPartParts = 100;
    maxBufferedBytes = 64 * 1024 * 1024;
    useSSL = false;
    sslKey.clear();
    sslCrt.clear();
    sslCaCrt.clear();
    threads = false;
    section = QStringLiteral("http");
    defaults = Defaults();
}

QVariant HttpSettings::value(QSettings* settings, const QString& key, const QVariant& fallback) const
{
    if (settings->contains(section + key)) return settings->value(section + key);
    if (settings->contains(fallbackSection + key)) return settings->value(fallbackSection + key);
    return fallback;
}

void HttpSettings::readSettings(QSettings* settings, const QString& section, const QString& fallbackSection)
{
    this->fallbackSection = fallbackSection;
    readSettings(settings, section);
}

void HttpSettings::readSettings(QSettings* settings, const QString& section)
{
    if (!settings) return;
    this->section = section;
    port = value(settings, "/port", defaults.port).toInt();
    if (settings->contains(section + "/address")) {
        const QString text = settings->value(section + "/address").toString();
        address = QHostAddress(text);
        qDebug() << "obsahuje sekce 1, nastavuji" << text;
    } else if (settings->contains(fallbackSection + "/address")) {
        const QString text = settings->value(fallbackSection + "/address").toString();
        address = QHostAddress(text);
        qDebug() << "obsahuje sekce 2, nastavuji" << text;
    } else {
        address = defaults.address;
        qDebug() << "neobsahuje, nastavuji" << defaults.address;
    }
    timeout = value(settings, "/timeout", defaults.timeout).toInt();
    maxAge = value(settings, "/maxAge", defaults.maxAge).toInt();
    encoding = value(settings, "/encoding", defaults.encoding).toString();
    root = value(settings, "/root", defaults.root).toString();
    indexFile = value(settings, "/indexFile", defaults.indexFile).toString();
    sessionCookieName = value(settings, "/sessionCookieName", defaults.sessionCookieName).toString();
    sessionExpirationTime = value(settings, "/sessionExpirationTime", defaults.sessionExpirationTime).toInt();
    maxRequestSize = value(settings, "/maxRequestSize", defaults.maxRequestSize).toInt();
    maxMultiPartSize = value(settings, "/maxMultiPartSize", defaults.maxMultiPartSize).toInt();
    useSSL = value(settings, "/useSSL", defaults.useSSL).toBool();
    sslKey = value(settings, "/sslKey", defaults.sslKey).toString();
    sslCrt = value(settings, "/sslCrt", defaults.sslCrt).toString();
    sslCaCrt = value(settings, "/sslCaCrt", defaults.sslCaCrt).toString();
    IgnoreAllSslErrors = value(settings, "/IgnoreAllSslErrors", defaults.IgnoreAllSslErrors).toBool();
    threads = value(settings, "/threads", defaults.threads).toBool();

    static const struct
    {
        const char* name;
        QSslError::SslError kind;
    } kinds[] = {
        {"UnableToGetIssuerCertificate", QSslError::UnableToGetIssuerCertificate},
        {"UnableToDecryptCertificateSignature", QSslError::UnableToDecryptCertificateSignature},
        {"UnableToDecodeIssuerPublicKey", QSslError::UnableToDecodeIssuerPublicKey},
        {"CertificateSignatureFailed", QSslError::CertificateSignatureFailed},
        {"CertificateNotYetValid", QSslError::CertificateNotYetValid},
        {"CertificateExpired", QSslError::CertificateExpired},
        {"InvalidNotBeforeField", QSslError::InvalidNotBeforeField},
        {"InvalidNotAfterField", QSslError::InvalidNotAfterField},
        {"SelfSignedCertificate", QSslError::SelfSignedCertificate},
        {"SelfSignedCertificateInChain", QSslError::SelfSignedCertificateInChain},
        {"UnableToGetLocalIssuerCertificate", QSslError::UnableToGetLocalIssuerCertificate},
        {"UnableToVerifyFirstCertificate", QSslError::UnableToVerifyFirstCertificate},
        {"CertificateRevoked", QSslError::CertificateRevoked},
        {"InvalidCaCertificate", QSslError::InvalidCaCertificate},
        {"PathLengthExceeded", QSslError::PathLengthExceeded},
        {"InvalidPurpose", QSslError::InvalidPurpose},
        {"CertificateUntrusted", QSslError::CertificateUntrusted},
        {"CertificateRejected", QSslError::CertificateRejected},
        {"SubjectIssuerMismatch", QSslError::SubjectIssuerMismatch},
        {"AuthorityIssuerSerialNumberMismatch", QSslError::AuthorityIssuerSerialNumberMismatch},
        {"NoPeerCertificate", QSslError::NoPeerCertificate},
        {"HostNameMismatch", QSslError::HostNameMismatch},
        {"UnspecifiedError", QSslError::UnspecifiedError},
        {"NoSslSupport", QSslError::NoSslSupport},
        {"CertificateBlacklisted", QSslError::CertificateBlacklisted},
    };
    for (const auto& k : kinds) {
        if (value(settings, QStringLiteral("/Ignore") + k.name, false).toBool())
            ignoredSslErrors.append(QSslError(k.kind));
    }
}

bool HttpSettings::ignoreSslError(const QSslError& error) const
{
    if (IgnoreAllSslErrors) return true;
    // The reader's entries carry no certificate while a handshake's do: compare kinds only.
    for (const QSslError& e : ignoredSslErrors) {
        if (e.error() == error.error()) return true;
    }
    return false;
}

} // namespace QuillonHttpd
