#pragma once
// Every tunable of the HTTP server library, read directly by server, connections, parser,
// handlers and session store.

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSslError>
#include <QString>

class QSettings;

namespace QuillonHttpd {

class HttpSettings : public QObject
{
    Q_OBJECT
public:
    explicit HttpSettings(QObject* parent = nullptr);
    HttpSettings(QSettings* settings, const QString& section, QObject* parent = nullptr);
    HttpSettings(QSettings* settings, QObject* parent = nullptr);

    void setDefaults();
    void readSettings(QSettings* settings, const QString& section);
    void readSettings(QSettings* settings, const QString& section, const QString& fallbackSection);
    // True when the handshake error may be tolerated; the set is matched by error kind.
    bool ignoreSslError(const QSslError& error) const;

    QString fallbackSection;
    qint32 port;
    QHostAddress address;
    qint32 timeout;
    qint32 maxAge;
    QString encoding;
    QString root;
    QString indexFile;
    QString sessionCookieName;
    qint32 sessionExpirationTime;
    qint32 maxRequestSize;
    qint32 maxMultiPartSize;
    // Parts of one multipart body; a request with more is refused as too large.
    qint32 maxMultiPartParts;
    // Request bodies held in memory by all connections together, and again those spooled to
    // temporary files: a request that would pass either is refused with a 503. Reply bytes
    // waiting in the sockets have a budget of the same size (see writeChunk).
    qint64 maxBufferedBytes;
    // Multipart bodies spooled to temporary files at once; a request beyond them gets a 503.
    // Each takes up to two descriptors beside its socket (its spool and the file part being
    // written), which the descriptor limit must leave room for.
    qint32 maxSpools = 32;
    bool useSSL;
    QString sslKey;
    QString sslCrt;
    QString sslCaCrt;
    QList<QSslError> ignoredSslErrors;
    bool IgnoreAllSslErrors = false;
    bool threads;
    QString section;

    // Limits that keep one client from holding up or exhausting the server (milliseconds unless
    // said otherwise). Not read from a settings file.
    qint32 sendTimeout = 30000;   // a peer that takes no byte of our reply for this long is dropped
    qint32 headerTimeout = 30000; // the header block must be complete this long after the accept
    qint32 bodyTimeout = 10000;   // every such period must bring bodyMinBytes of the body (or its end)
    qint32 bodyMinBytes = 1024;
    // Past its first bodyRateGrace ms a body must bring bodyMinRate bytes for every second since:
    // a slower one is closed with the 408 at its next period, and gives way to a newcomer when
    // every slot is taken.
    qint32 bodyMinRate = 8192;
    qint32 bodyRateGrace = 10000;
    // An address one of whose bodies was closed or pushed out for its rate gets no grace for this
    // long: an attacker that reconnects at once cannot hold every slot in a fresh grace.
    qint32 suspectTime = 60000;
    // Reply bytes handed to a socket at a time, when it has sent the previous ones. Beyond the
    // first replyAllowance of each piece they count against maxBufferedBytes (a budget of their
    // own): with it spent, a reply goes on in pieces of replyAllowance.
    qint32 writeChunk = 64 * 1024;
    qint32 replyAllowance = 16 * 1024;
    // The kernel's send buffer of a served socket, bytes (0: the kernel's own, which grows to
    // megabytes): held small, a client that reads slowly costs no megabytes copied into the
    // kernel, while a client on an office network still gets its reply at full speed.
    qint32 socketSendBuffer = 128 * 1024;
    // A reply its peer has taken nothing of for this long gives way to a newcomer when every slot
    // is taken.
    qint32 replyStallTime = 2000;
    // The connections closed for a slow body or a stalled reply are counted in one warning line
    // per such period.
    qint32 reportInterval = 60000;
    qint32 maxConnections = 256; // TLS handshakes in progress included; see HttpCapacity
    // Connections accepted beyond maxConnections to read their request headers: a request whose
    // token holds a command right then takes a slot from the address holding the most
    // (HttpServer::setCommandRightCheck, HttpCapacity::admit); another gets the 503 unless a slot
    // is free or can be freed. With header places a newcomer no longer pushes out connections
    // still without their headers, beyond those that had a second to send them.
    qint32 headerPlaces = 0;
    // Sockets that get the 503 at once while every slot is taken, each closed once its client has
    // closed or after lingerTime (it holds a descriptor so long); past them a newcomer gets the
    // 503 and is closed at once, what it sent so far read and dropped.
    qint32 maxRefusals = 256;
    // Seconds the kernel holds a new connection before handing it over without its first bytes
    // (0: at once). HTTP and TLS clients speak first, so none of them waits; a silent socket only
    // takes a slot once it has been silent this long, and cannot push out others as fast as it
    // reconnects.
    qint32 deferAccept = 1;
    // With a right check (HttpServer::setRightCheck), requests without a right on the server's
    // own thread are served in turns of at most this long, one turn a pass of the event loop.
    qint32 queueTurn = 20;
    qint32 handshakeTimeout = 10000; // a TLS handshake not finished by then is dropped
    qint32 lingerTime = 2000;        // input discarded after an abort reply before the socket closes

private:
    struct Defaults
    {
        qint32 port = 8080;
        QHostAddress address = QHostAddress(QHostAddress::Any);
        qint32 timeout = 600;
        qint32 maxAge = 3600;
        QString encoding = QStringLiteral("UTF-8");
        QString root = QStringLiteral(".");
        QString indexFile = QStringLiteral("index.html");
        QString sessionCookieName = QStringLiteral("sessionid");
        qint32 sessionExpirationTime = 3600;
        qint32 maxRequestSize = 16384;
        qint32 maxMultiPartSize = 16728064;
        bool useSSL = false;
        QString sslKey, sslCrt, sslCaCrt;
        bool IgnoreAllSslErrors = true;
        bool threads = true;
    } defaults;

    QVariant value(QSettings* settings, const QString& key, const QVariant& fallback) const;
};

} // namespace QuillonHttpd
