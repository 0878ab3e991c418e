#include "httpserver.h"

#include "httpcapacity.h"
#include "httpconnection.h"
#include "httplinger.h"
#include "httplog.h"
#include "httprequest.h"
#include "httprequesthandler.h"
#include "httpsettings.h"

#include <QDebug>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QThread>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace QuillonHttpd {

namespace {

QByteArray refusal()
{
    static const QByteArray bytes = QByteArray(HttpConnection::unavailableReply[0]) +
                                    HttpConnection::unavailableReply[1] +
                                    HttpConnection::unavailableReply[2] + HttpConnection::unavailableReply[3];
    return bytes;
}

} // namespace

// ---- listener

HttpTcpServer::HttpTcpServer(HttpServer* parent)
    : QTcpServer(parent), server(parent), settings(parent->getSettings()), capacity(parent->capacity())
{
    connect(this, &QTcpServer::acceptError, this, &HttpTcpServer::slotAcceptError);
}

void HttpTcpServer::slotAcceptError(QAbstractSocket::SocketError)
{
    pauseAccepting();
    acceptResting = true;
    acceptPause = acceptPause == 0 ? firstAcceptPause : qMin(lastAcceptPause, acceptPause * 2);
    ++acceptFailures;
    const qint64 now = HttpConnection::clock();
    if (acceptReported == 0 || now - acceptReported >= acceptReportInterval) {
        // The API takes no client while this lasts: an error, as often as the operator needs it.
        qCritical("HttpServer: accepting a connection failed (%s), %d times since the last such line; the "
                  "listener rests up to %d ms after each",
                  qPrintable(errorString()), acceptFailures, lastAcceptPause);
        acceptFailures = 0;
        acceptReported = now;
    }
    QTimer::singleShot(acceptPause, this, [this]() {
        acceptResting = false;
        if (isListening() && maxPendingConnections() > 0) resumeAccepting();
    });
}

HttpTcpServer::~HttpTcpServer()
{
    // Sockets still in handshake or refusal die with the QObject base, after our members: their
    // signals must not reach us then.
    for (QObject* child : children())
        child->disconnect(this);
}

bool HttpTcpServer::isSecure(QTcpSocket* socket) const
{
    return secureSockets.value(socket, false);
}

QSslCertificate HttpTcpServer::peerCertificate(QTcpSocket* socket) const
{
    return peerCertificates.value(socket);
}

void HttpTcpServer::release(QTcpSocket* socket)
{
    socket->disconnect(this);
    secureSockets.remove(socket);
    peerCertificates.remove(socket);
}

void HttpTcpServer::refuse(qintptr socketDescriptor)
{
    capacity->noteClosed(HttpCapacity::RefusedForSlots);
    // Past the refusal allowance even the refusal gets no time of its own; still the client reads
    // it, not a reset.
    if (refusing >= settings->maxRefusals) {
        refuseAtOnce(socketDescriptor, HttpConnection::unavailableReply);
        ::close(int(socketDescriptor));
        return;
    }
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        delete socket;
        ::close(int(socketDescriptor));
        return;
    }
    ++refusing;
    connect(socket, &QObject::destroyed, this, [this]() { --refusing; });
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    socket->write(refusal());
    lingerAfterReply(socket, settings->lingerTime);
}

// QTcpServer accepts for as long as the listen queue holds connections, without returning to the
// event loop. Under a flood of clients that reconnect at once (each newcomer pushing out one
// accepted before) that is for as long as the flood lasts: no accepted client is read, and none
// of the closed ones is freed, so memory grows by the connection. After the pass's accepts
// (acceptBudget) the listener rests (Qt stops at maxPendingConnections) until the loop has gone
// round.
void HttpTcpServer::countAccept()
{
    if (++acceptedThisPass < acceptBudget) return;
    if (acceptedThisPass > acceptBudget) return; // resting already
    pendingLimit = maxPendingConnections();
    setMaxPendingConnections(0);
    passRestedAt = HttpConnection::clock();
    QMetaObject::invokeMethod(
        this,
        [this]() {
            // Only as many more as there are free slots: past them a newcomer is refused, and
            // clients refused faster only come back faster.
            const qint64 round = HttpConnection::clock() - passRestedAt;
            const qint64 free = qMax(0, settings->maxConnections - capacity->open() - handshaking.size());
            acceptBudget = int(qBound<qint64>(acceptsPerPass,
                                              qMin((round / 10 + 1) * acceptsPerPass, acceptsPerPass + free),
                                              acceptsPerPassMax));
            acceptedThisPass = 0;
            setMaxPendingConnections(pendingLimit);
            if (isListening() && !acceptResting) resumeAccepting();
        },
        Qt::QueuedConnection);
}

void HttpTcpServer::incomingConnection(qintptr socketDescriptor)
{
    acceptPause = 0;
    countAccept();
    // Past the slots a few more connections are read up to their request headers, so that a
    // request with a command right is seen even while anonymous clients hold every slot
    // (HttpCapacity::admit); past those a newcomer makes room or gets the 503.
    const int held = capacity->open() + handshaking.size();
    if (held >= settings->maxConnections) {
        // Within the header places only what lags or had its second for its headers gives way;
        // past them anything without its headers, and a newcomer showing a command right needs no
        // room at all.
        const bool beyond = held >= settings->maxConnections + settings->headerPlaces;
        const bool right = beyond && server->peekCommandRight(socketDescriptor);
        if (!right && !makeRoom(peerOf(socketDescriptor), beyond) && beyond) {
            refuse(socketDescriptor);
            return;
        }
    }
    if (!settings->useSSL) {
        QTcpServer::incomingConnection(socketDescriptor);
        return;
    }
    auto* socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        if (lineWanted("http tls socket", 5)) qDebug("setSocketDescriptor failed");
        delete socket;
        ::close(int(socketDescriptor));
        return;
    }
    secureSockets.insert(socket, true);
    connect(socket, &QSslSocket::encrypted, this, &HttpTcpServer::slotEncrypted);
    connect(socket, QOverload<const QList<QSslError>&>::of(&QSslSocket::sslErrors), this,
            &HttpTcpServer::slotSslErrors);
    connect(socket, &QSslSocket::peerVerifyError, this, &HttpTcpServer::slotPeerVerifyError);
    connect(socket, &QAbstractSocket::disconnected, this, &HttpTcpServer::slotDisconnected);
    connect(socket, &QAbstractSocket::errorOccurred, this, [this, socket](QAbstractSocket::SocketError) {
        if (handshaking.contains(socket)) dropHandshake(socket, socket->errorString());
    });
    // The hashes are keyed by address: a freed socket must not leave its flags to the next one.
    connect(socket, &QObject::destroyed, this, [this, socket]() {
        secureSockets.remove(socket);
        peerCertificates.remove(socket);
        handshaking.remove(socket);
    });
    const quint64 mine = capacity->arrival();
    handshaking.insert(socket, mine);
    QTimer::singleShot(settings->handshakeTimeout, this, [this, socket, mine]() {
        if (handshaking.value(socket) == mine) dropHandshake(socket, QStringLiteral("not finished in time"));
    });

    QList<QSslCertificate> caCertificates;
    QFile caFile(settings->sslCaCrt);
    if (!settings->sslCaCrt.isEmpty() && caFile.open(QIODevice::ReadOnly)) {
        caCertificates.append(QSslCertificate(&caFile, QSsl::Pem));
        caFile.close();
    }
    QFile keyFile(settings->sslKey);
    if (!settings->sslKey.isEmpty() && keyFile.open(QIODevice::ReadOnly))
        socket->setPrivateKey(QSslKey(&keyFile, QSsl::Rsa, QSsl::Pem));
    QFile certificateFile(settings->sslCrt);
    if (!settings->sslCrt.isEmpty() && certificateFile.open(QIODevice::ReadOnly))
        socket->setLocalCertificate(QSslCertificate(&certificateFile, QSsl::Pem));
    QSslConfiguration configuration = socket->sslConfiguration();
    configuration.setCaCertificates(caCertificates);
    socket->setSslConfiguration(configuration);
    socket->startServerEncryption();
}

bool HttpServer::peekCommandRight(qintptr socketDescriptor, bool* wholeHead) const
{
    if (wholeHead) *wholeHead = false;
    const bool rights = commandRightCheck && settings->headerPlaces > 0;
    if (settings->useSSL || (!rights && !wholeHead)) return false;
    char bytes[8192];
    const ssize_t n = ::recv(int(socketDescriptor), bytes, sizeof bytes, MSG_PEEK | MSG_DONTWAIT);
    if (n <= 0) return false;
    const QByteArray head = QByteArray::fromRawData(bytes, int(n));
    const int end = head.indexOf("\r\n\r\n");
    if (wholeHead) *wholeHead = end >= 0;
    // Most clients carry neither header: they cost one search.
    if (!rights || (!head.contains("ookie:") && !head.contains("OOKIE:") && !head.contains("uthorization:") &&
                    !head.contains("UTHORIZATION:")))
        return false;
    QString cookie, authorization;
    for (const QByteArray& line : head.left(end < 0 ? int(n) : end).split('\n')) {
        const int colon = line.indexOf(':');
        if (colon <= 0) continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        if (name == "cookie")
            cookie = QString::fromLatin1(line.mid(colon + 1).trimmed());
        else if (name == "authorization")
            authorization = QString::fromLatin1(line.mid(colon + 1).trimmed());
    }
    return holdsCommandRight(cookie, authorization);
}

bool HttpServer::queueRequest(HttpConnection* connection, const HttpRequest* request)
{
    // A connection of a thread of its own has that thread to wait on, not this one.
    if (!rightCheck || connection->thread() != thread()) return false;
    const QString cookie = request->header(QStringLiteral("Cookie"));
    const QString authorization = request->header(QStringLiteral("Authorization"));
    if ((!cookie.isEmpty() || !authorization.isEmpty()) && rightCheck(cookie, authorization)) return false;
    // Half the slots at most wait so: the other half stays for requests with a right, and past it
    // a request without one hears the 503 at once rather than holding a slot for its turn.
    if (int(queued.size()) >= qMax(1, settings->maxConnections / 2)) {
        connection->refuseQueued();
        return true;
    }
    queued.push_back(connection);
    postTurn();
    return true;
}

void HttpServer::postTurn()
{
    if (turnPosted || queued.empty()) return;
    turnPosted = true;
    // Posted: the turn comes with the next pass of the loop, after the sockets ready in this one
    // are read, and the requests with a right among them served.
    QMetaObject::invokeMethod(
        this, [this]() { serveQueued(); }, Qt::QueuedConnection);
}

void HttpServer::serveQueued()
{
    turnPosted = false;
    // A handler that runs the event loop would otherwise start a turn inside the turn: the outer
    // one goes on when it returns.
    if (inTurn) return;
    inTurn = true;
    const qint64 start = HttpConnection::clock();
    while (!queued.empty()) {
        const QPointer<HttpConnection> next = queued.front();
        queued.pop_front();
        if (next) next->serveQueued();
        if (HttpConnection::clock() - start >= settings->queueTurn) break;
    }
    inTurn = false;
    postTurn();
}

QHostAddress HttpTcpServer::peerOf(qintptr socketDescriptor)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(int(socketDescriptor), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return QHostAddress();
    return QHostAddress(reinterpret_cast<const sockaddr*>(&address));
}

// Every slot taken: the client that has waited longest for its request headers (or for the end
// of its TLS handshake) makes room, else one that lags, else the newest of the address holding
// the most above HttpCapacity::placesPerAddress; only clients that all keep pace, from addresses
// within that share, earn the newcomer a refusal. The share is no cap: behind a proxy or NAT
// every client has the same address, and it takes every free slot.
bool HttpTcpServer::makeRoom(const QHostAddress& address, bool anyWaiting)
{
    if (!anyWaiting) return capacity->makeRoom(address, false);
    QSslSocket* oldest = nullptr;
    for (auto it = handshaking.cbegin(); it != handshaking.cend(); ++it) {
        if (!oldest || it.value() < handshaking.value(oldest)) oldest = it.key();
    }
    const quint64 waiting = capacity->oldestWaiting();
    if (oldest && (waiting == 0 || handshaking.value(oldest) < waiting)) {
        capacity->noteClosed(HttpCapacity::PushedForRoom);
        dropHandshake(oldest, QString());
        return true;
    }
    // Then a connection: one waiting for its headers, one that lags, or the newest of an address
    // holding many (HttpCapacity::makeRoom).
    return capacity->makeRoom(address, true);
}

void HttpTcpServer::dropHandshake(QSslSocket* socket, const QString& why)
{
    if (!why.isEmpty() && lineWanted("http tls handshake failed", 5))
        qDebug() << "TLS handshake failed:" << why;
    handshaking.remove(socket);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

void HttpTcpServer::slotEncrypted()
{
    auto* socket = qobject_cast<QSslSocket*>(sender());
    if (!socket || !handshaking.remove(socket)) return;
    peerCertificates.insert(socket, socket->peerCertificate());
    addPendingConnection(socket);
    emit newConnection();
}

void HttpTcpServer::slotSslErrors(const QList<QSslError>& errors)
{
    auto* socket = qobject_cast<QSslSocket*>(sender());
    if (!socket) return;
    QList<QSslError> allowed;
    for (const QSslError& error : errors) {
        if (settings->ignoreSslError(error))
            allowed.append(error);
        else if (lineWanted("http tls error", 5))
            qDebug() << "sslError" << error.errorString();
    }
    socket->ignoreSslErrors(allowed);
}

void HttpTcpServer::slotPeerVerifyError(const QSslError&)
{
    auto* socket = qobject_cast<QSslSocket*>(sender());
    if (socket) secureSockets.insert(socket, false);
}

void HttpTcpServer::slotDisconnected()
{
    auto* socket = qobject_cast<QSslSocket*>(sender());
    if (!socket) return;
    secureSockets.remove(socket);
    peerCertificates.remove(socket);
    // Before its handshake the socket is still ours to free.
    if (handshaking.remove(socket)) socket->deleteLater();
}

// ---- server

struct HttpServer::LiveConnections
{
    QMutex lock;
    QSet<QObject*> objects;
};

HttpServer::HttpServer(HttpSettings* settings, QObject* parent)
    : QObject(parent), settings(settings), sharedCapacity(std::make_shared<HttpCapacity>()),
      live(std::make_shared<LiveConnections>())
{
    startReports();
    start();
}

HttpServer::HttpServer(QObject* parent)
    : QObject(parent), settings(new HttpSettings(this)), sharedCapacity(std::make_shared<HttpCapacity>()),
      live(std::make_shared<LiveConnections>())
{
    startReports();
}

void HttpServer::startReports()
{
    // One line a period however many clients are closed, so that an attack cannot fill the log.
    auto* reports = new QTimer(this);
    connect(reports, &QTimer::timeout, this, [this]() {
        int n[HttpCapacity::ClosedKinds];
        int all = 0;
        for (int why = 0; why < HttpCapacity::ClosedKinds; ++why)
            all += n[why] = sharedCapacity->takeClosed(HttpCapacity::Closed(why));
        if (all == 0) return;
        qWarning("HttpServer: in the last %d s, %d connections closed for a request body slower than %d "
                 "bytes/s, %d pushed out for a reply their client did not take, %d refused for want of "
                 "the %d places, %d pushed out to make room, %d pushed out for the %s of request bodies "
                 "in memory",
                 settings->reportInterval / 1000, n[HttpCapacity::SlowBody], settings->bodyMinRate,
                 n[HttpCapacity::StalledReply], n[HttpCapacity::RefusedForSlots], settings->maxConnections,
                 n[HttpCapacity::PushedForRoom], n[HttpCapacity::PushedForMemory],
                 qPrintable(sizeText(settings->maxBufferedBytes)));
    });
    reports->start(qMax(100, settings->reportInterval));
}

int HttpServer::openConnections() const
{
    return sharedCapacity->open();
}

HttpServer::~HttpServer()
{
    // Threaded connections are asked to go, and their threads get 5 s to end.
    {
        QMutexLocker locked(&live->lock);
        for (QObject* connection : qAsConst(live->objects))
            connection->deleteLater();
    }
    bool allEnded = true;
    for (const QPointer<QThread>& thread : qAsConst(threads)) {
        if (!thread) continue;
        if (!thread->wait(5000)) {
            qWarning("HttpServer: a connection thread did not end in time and is left running");
            thread->setParent(nullptr);
            allEnded = false;
        }
    }
    // A connection still running reads the settings: they must outlive it.
    if (!allEnded && settings->parent() == this) settings->setParent(nullptr);
}

bool HttpServer::start()
{
    const QHostAddress address = settings->address;
    const quint16 port = quint16(settings->port & 0xffff);
    if (tcpServer) {
        tcpServer->close();
        delete tcpServer;
    }
    tcpServer = new HttpTcpServer(this);
    connect(tcpServer, &QTcpServer::newConnection, this, &HttpServer::slotNewConnection);
    tcpServer->listen(address, port);
    // Qt listens with a backlog of 50: under a flood of connections the kernel then drops SYNs
    // and an ordinary client waits a second or more for the retransmit. Listening again on the
    // same socket only widens the queue.
    if (tcpServer->isListening()) {
        const int fd = int(tcpServer->socketDescriptor());
        ::listen(fd, SOMAXCONN);
        const int defer = qMax(0, settings->deferAccept);
        if (::setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer, sizeof defer) != 0)
            qWarning("HttpServer: no deferred accept: %s", strerror(errno));
    }
    return tcpServer->isListening();
}

void HttpServer::close()
{
    if (tcpServer) tcpServer->close();
}

HttpRequestHandler* HttpServer::requestHandler(HttpConnection* connection)
{
    return new HttpRequestHandler(connection);
}

QVariant HttpServer::connectionsStatus()
{
    QVariantList rows;
    for (QObject* child : children()) {
        if (qstrcmp(child->metaObject()->className(), "QuillonHttpd::HttpConnection") != 0) continue;
        rows.append(static_cast<HttpConnection*>(child)->status().toList());
    }
    return rows;
}

void HttpServer::slotNewConnection()
{
    auto* listener = qobject_cast<HttpTcpServer*>(sender());
    if (!listener) listener = tcpServer;
    if (!listener) return;
    const bool threaded = settings->threads;
    while (listener->hasPendingConnections()) {
        QTcpSocket* socket = listener->nextPendingConnection();
        if (!socket) break;
        auto* connection = new HttpConnection(this, socket);
        socket->setParent(connection);
        connection->setPeerCertificate(listener->peerCertificate(socket));
        connection->setSecure(listener->isSecure(socket));
        if (!threaded) continue;
        listener->release(socket);
        auto* thread = new QThread(this);
        thread->setObjectName(QStringLiteral("Http connection"));
        thread->start(QThread::InheritPriority);
        threads.append(thread);
        {
            QMutexLocker locked(&live->lock);
            live->objects.insert(connection);
        }
        connection->setParent(nullptr);
        connection->moveToThread(thread);
        // Direct, on the connection's thread: it leaves the set before its memory is freed.
        connect(
            connection, &QObject::destroyed, connection,
            [live = live](QObject* gone) {
                QMutexLocker locked(&live->lock);
                live->objects.remove(gone);
            },
            Qt::DirectConnection);
        connect(connection, &QObject::destroyed, this, &HttpServer::slotConnectionClosed);
        // Direct: the thread ends even while this thread is busy (or waiting in the destructor).
        connect(connection, &QObject::destroyed, thread, &QThread::quit, Qt::DirectConnection);
        connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    }
}

void HttpServer::slotConnectionClosed(QObject*)
{
    threads.removeAll(QPointer<QThread>());
}

} // namespace QuillonHttpd
