#include "httpconnection.h"

#include "httpcapacity.h"
#include "httplinger.h"
#include "httprequest.h"
#include "httprequesthandler.h"
#include "httpresponse.h"
#include "httpserver.h"
#include "httpsettings.h"

#include <QEvent>
#include <QSslSocket>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <chrono>

namespace QuillonHttpd {

const char* const HttpConnection::timeoutReply[4] = {
    "HTTP/1.1 408 request timeout\r\n", "Connection: close\r\n", "\r\n", "408 request timeout\r\n"};
const char* const HttpConnection::abortReply[4] = {
    "HTTP/1.1 413 entity too large\r\n", "Connection: close\r\n", "\r\n", "413 entity too large\r\n"};
const char* const HttpConnection::unavailableReply[4] = {
    "HTTP/1.1 503 service unavailable\r\n", "Connection: close\r\n", "\r\n", "503 service unavailable\r\n"};
const char HttpConnection::continueReply[] = "HTTP/1.1 100 Continue\r\n\r\n";

namespace {

int milliseconds(qint64 seconds)
{
    return int(qBound<qint64>(0, seconds * 1000, std::numeric_limits<int>::max()));
}

} // namespace

HttpConnection::HttpConnection(HttpServer* server, QTcpSocket* socket)
    : QObject(server), socket(socket), server(server), ownSettings(server->getSettings()),
      sharedCapacity(server->capacity())
{
    peerAddress = socket->peerAddress();
    headUnread = true;
    home = QThread::currentThreadId();
    graceless = sharedCapacity->suspected(peerAddress, clock());
    // A client whose first bytes show a command right is never pushed out while its headers are
    // read: decided whenever they are there, for a slot may be wanted a moment later (and again
    // before it is chosen, HttpCapacity::evictOldestWaiting).
    sharedCapacity->enter(this, peerAddress, server->peekCommandRight(socket->socketDescriptor()));
    if (ownSettings->socketSendBuffer > 0)
        socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, ownSettings->socketSendBuffer);
    handler = server->requestHandler(this);
    connected = true;
    init();
    connect(socket, &QIODevice::readyRead, this, &HttpConnection::slotRead);
    connect(socket, &QAbstractSocket::disconnected, this, &HttpConnection::slotDisconnected);
}

HttpConnection::HttpConnection(HttpSettings* settings, QTcpSocket* socket, QObject* parent)
    : QObject(parent), socket(socket), ownSettings(settings), sharedCapacity(std::make_shared<HttpCapacity>())
{
    if (socket) {
        peerAddress = socket->peerAddress();
        connect(socket, &QAbstractSocket::disconnected, this, &HttpConnection::slotDisconnected);
    }
}

void HttpConnection::init()
{
    timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setInterval(milliseconds(settings()->timeout));
    restartTimer();
    connect(timer, &QTimer::timeout, this, &HttpConnection::slotTimeout);

    headerTimer = new QTimer(this);
    headerTimer->setSingleShot(true);
    connect(headerTimer, &QTimer::timeout, this, &HttpConnection::slowClient);
    // From the accept: a client that never sends a byte holds its slot no longer than one that
    // sends slowly.
    if (settings()->headerTimeout > 0) headerTimer->start(settings()->headerTimeout);
    bodyTimer = new QTimer(this);
    connect(bodyTimer, &QTimer::timeout, this, &HttpConnection::checkBodyProgress);
}

bool HttpConnection::event(QEvent* event)
{
    // Moved to a thread of its own: no peek until that thread runs it (the posted call goes
    // with it).
    if (event->type() == QEvent::ThreadChange) {
        home = nullptr;
        QMetaObject::invokeMethod(
            this, [this]() { home = QThread::currentThreadId(); }, Qt::QueuedConnection);
    }
    return QObject::event(event);
}

HttpConnection::~HttpConnection()
{
    headUnread = false;
    if (socket) socket->disconnect(this);
    sharedCapacity->leave(this);
    close();
    connected = false;
    qDeleteAll(requests);
}

HttpSettings* HttpConnection::settings() const
{
    return ownSettings;
}

void HttpConnection::setCurrentRequest(HttpRequest* request)
{
    if (!requests.contains(request)) requests.append(request);
    currentRequest = request;
}

void HttpConnection::restartTimer()
{
    if (!timer) return;
    if (timer->interval() == 0)
        timer->stop();
    else
        timer->start();
}

HttpResponse* HttpConnection::response()
{
    restartTimer();
    return new HttpResponse(this);
}

QString HttpConnection::verifiedPeerName() const
{
    if (peerCertificate.isNull()) return QString();
    const QDateTime now = QDateTime::currentDateTime();
    if (peerCertificate.expiryDate() < now || now < peerCertificate.effectiveDate() ||
        peerCertificate.isBlacklisted())
        return QString();
    return peerCertificate.subjectInfo(QSslCertificate::CommonName).value(0);
}

QVariant HttpConnection::status() const
{
    const QString object = QStringLiteral("0x%1").arg(quintptr(this), 8, 16, QLatin1Char('0'));
    QVariantList rows;
    for (const HttpRequest* request : requests) {
        QVariantMap row;
        row.insert(QStringLiteral("object"), object);
        row.insert(QStringLiteral("path"), HttpRequest::urlDecode(request->getPath()));
        row.insert(QStringLiteral("time"), request->getCreated());
        row.insert(QStringLiteral("method"), request->getMethod());
        row.insert(QStringLiteral("status"), request->statusText());
        row.insert(QStringLiteral("connection"),
                   connected ? QStringLiteral("connected") : QStringLiteral("disconnected"));
        rows.append(row);
    }
    return rows;
}

void HttpConnection::close()
{
    headUnread = false;
    if (!connected) return;
    if (socket) socket->disconnectFromHost();
    clearRequest();
}

void HttpConnection::headersDone()
{
    headUnread = false;
    headerTimer->stop();
    sharedCapacity->headersDone(this);
}

void HttpConnection::evict()
{
    if (!connected || givenUp) return;
    // Told from another thread, it may have completed its headers meanwhile, or shown a command
    // right in those read so far: it stays (its slot is counted free, so the cap is passed by one
    // until it ends).
    if (served || rightSeen || (currentRequest && currentRequest->getStatus() >= HttpRequest::WaitForBody))
        return;
    sharedCapacity->noteClosed(HttpCapacity::PushedForRoom);
    headUnread = false;
    givenUp = true;
    inService = false; // nothing of it is in use: it may go at once
    clearRequest();
    // It hears why, and what it sent is read first, so that the close is no reset (a TLS client
    // would take the plain reply for a broken record: it is only closed).
    if (!qobject_cast<QSslSocket*>(socket)) refuseAtOnce(socket->socketDescriptor(), unavailableReply);
    socket->abort();
}

bool HttpConnection::showsCommandRight(bool* wholeHead) const
{
    if (wholeHead) *wholeHead = false;
    // Its descriptor is its own thread's to close (Qt closes it on a reset before we hear of it):
    // from another thread the number may already name a newcomer's socket. On its own thread the
    // socket tells whether it is still open.
    if (!server || !socket || !headUnread.load() || home.load() != QThread::currentThreadId()) return false;
    const qintptr descriptor = socket->socketDescriptor();
    return descriptor >= 0 && server->peekCommandRight(descriptor, wholeHead);
}

void HttpConnection::lookForCommandRight(const HttpRequest* request)
{
    if (rightSeen || !server || request->getHeaderMap().size() == headersLooked) return;
    headersLooked = request->getHeaderMap().size();
    // A token is checked again only when another header line has changed it.
    const QString cookie = request->header(QStringLiteral("Cookie"));
    const QString authorization = request->header(QStringLiteral("authorization"));
    if (cookie == lookedCookie && authorization == lookedAuthorization) return;
    lookedCookie = cookie;
    lookedAuthorization = authorization;
    if (!server->holdsCommandRight(cookie, authorization)) return;
    rightSeen = true;
    sharedCapacity->markCommandRight(this);
}

void HttpConnection::pushOut()
{
    pushedOut(HttpCapacity::PushedForRoom);
}

void HttpConnection::pushOutForMemory()
{
    pushedOut(HttpCapacity::PushedForMemory);
}

void HttpConnection::pushedOut(int why)
{
    if (!connected || givenUp || served) return;
    sharedCapacity->noteClosed(HttpCapacity::Closed(why));
    giveUp(unavailableReply);
}

bool HttpConnection::admitted(HttpRequest* request)
{
    if (admissionDone || !server) return true;
    admissionDone = true;
    const bool right = server->holdsCommandRight(request->header(QStringLiteral("Cookie")),
                                                 request->header(QStringLiteral("authorization")));
    if (sharedCapacity->admit(this, right, settings()->maxConnections)) return true;
    sharedCapacity->noteClosed(HttpCapacity::RefusedForSlots);
    return false;
}

qint64 HttpConnection::clock()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool HttpConnection::bodyBelowRate(qint64 now) const
{
    const qint64 started = bodyStarted.load();
    if (started <= 0) return false;
    const qint64 late = now - started - (graceless ? 0 : settings()->bodyRateGrace);
    return late > 0 && bodyReceived.load() < late * settings()->bodyMinRate / 1000;
}

qint64 HttpConnection::laggingSince(qint64 now) const
{
    if (bodyBelowRate(now)) return bodyStarted.load();
    const qint64 stalled = replyStalled.load();
    if (stalled > 0 && now - stalled >= settings()->replyStallTime) return stalled;
    return 0;
}

void HttpConnection::noteReply(bool progressed)
{
    if (!socket || socket->bytesToWrite() <= 0)
        replyStalled = 0;
    else if (progressed || replyStalled.load() == 0)
        replyStalled = clock();
}

void HttpConnection::slowBody()
{
    if (!connected || givenUp || served) return;
    sharedCapacity->noteClosed(HttpCapacity::SlowBody);
    sharedCapacity->suspect(peerAddress, clock(), settings()->suspectTime);
    giveUp(timeoutReply);
}

void HttpConnection::giveWay()
{
    if (!connected || givenUp) return;
    if (bodyBelowRate(clock())) {
        slowBody();
        return;
    }
    if (served && socket->bytesToWrite() > 0) {
        sharedCapacity->noteClosed(HttpCapacity::StalledReply);
        givenUp = true;
        socket->abort();
    }
    // Anything else has caught up meanwhile (it was told from another thread): it stays, its
    // slot counted free.
}

void HttpConnection::giveUp(const char* const reply[4])
{
    headUnread = false;
    bodyStarted = 0;
    sharedCapacity->headersDone(this);
    timer->stop();
    headerTimer->stop();
    bodyTimer->stop();
    givenUp = true;
    for (int i = 0; i < 4; ++i)
        socket->write(reply[i]);
    clearRequest();
    lingerAfterReply(socket, settings()->lingerTime);
}

void HttpConnection::slotTimeout()
{
    if (!connected || givenUp) return;
    // A reply still on its way is not cut by a 408; the response drops a peer that takes nothing.
    if (served && socket->bytesToWrite() > 0) {
        restartTimer();
        return;
    }
    giveUp(timeoutReply);
}

void HttpConnection::slowClient()
{
    if (connected && !givenUp && !served) giveUp(timeoutReply);
}

void HttpConnection::checkBodyProgress()
{
    if (!currentRequest || currentRequest->getStatus() != HttpRequest::WaitForBody) {
        bodyTimer->stop();
        return;
    }
    if (bodyBytesInPeriod < settings()->bodyMinBytes || bodyBelowRate(clock())) {
        slowBody();
        return;
    }
    bodyBytesInPeriod = 0;
}

void HttpConnection::slotRead()
{
    if (!connected || !handler) return;
    if (givenUp) return;
    if (served || inQueue) {
        // One request a connection: what follows a served (or queued) request is not parsed
        // (this is reached on TLS only; a plain socket stops reading once its request is
        // complete).
        socket->readAll();
        return;
    }
    restartTimer();
    if (!currentRequest) setCurrentRequest(new HttpRequest(this));
    HttpRequest* request = currentRequest;
    const HttpSettings* s = settings();

    while (socket->bytesAvailable() > 0 && request->getStatus() != HttpRequest::Complete &&
           request->getStatus() != HttpRequest::Abort) {
        const HttpRequest::RequestStatus before = request->getStatus();
        const qint64 available = socket->bytesAvailable();
        request->readFromSocket(socket);
        const qint64 consumed = available - socket->bytesAvailable();
        if (before == HttpRequest::WaitForBody) {
            bodyBytesInPeriod += consumed;
            bodyReceived += consumed;
        }
        if (request->getStatus() == HttpRequest::WaitForBody) {
            restartTimer();
            if (before != HttpRequest::WaitForBody) {
                headersDone();
                if (!admitted(request)) {
                    giveUp(unavailableReply);
                    return;
                }
                bodyBytesInPeriod = 0;
                bodyReceived = 0;
                bodyStarted = clock();
                if (s->bodyTimeout > 0) bodyTimer->start(s->bodyTimeout);
                if (request->expectsContinue()) socket->write(continueReply, sizeof continueReply - 1);
            }
        }
        if (consumed == 0 && request->getStatus() == before) break;
    }
    if (request->getStatus() == HttpRequest::WaitForHeader) lookForCommandRight(request);

    if (request->getStatus() == HttpRequest::Abort) {
        giveUp(request->getAbortReason() == HttpRequest::Unavailable ? unavailableReply : abortReply);
        return;
    }
    if (request->getStatus() != HttpRequest::Complete) return;

    headersDone();
    if (!admitted(request)) {
        giveUp(unavailableReply);
        return;
    }
    timer->stop();
    bodyTimer->stop();
    bodyStarted = 0;
    // The client may now end its sending side (a half-close): that is no disconnect, the reply
    // still goes out. Reading resumes when the reply has left (lingerAfterReply).
    pauseReading(socket);
    // A request without a right waits for its turn on a busy thread (HttpServer::queueRequest).
    if (server && server->queueRequest(this, request)) {
        inQueue = true;
        return;
    }
    serve();
}

void HttpConnection::refuseQueued()
{
    sharedCapacity->noteClosed(HttpCapacity::RefusedForSlots);
    giveUp(unavailableReply);
}

void HttpConnection::serveQueued()
{
    // Pushed out, timed out or gone while it waited: nothing to serve.
    if (!connected || givenUp || served || !handler || !currentRequest) return;
    serve();
}

void HttpConnection::serve()
{
    HttpRequest* request = currentRequest;
    served = true;
    sharedCapacity->serving(this);
    auto* reply = new HttpResponse(this);
    inService = true;
    handler->service(request, reply);
    inService = false;
    if (!connected) {
        deleteLater();
        return;
    }
    restartTimer();
}

void HttpConnection::slotDisconnected()
{
    headUnread = false;
    if (!connected) return;
    connected = false;
    clearRequest();
    sharedCapacity->leave(this);
    if (!server) return;
    socket->close();
    timer->stop();
    headerTimer->stop();
    bodyTimer->stop();
    // Only a handler still on the stack may touch the connection later; one that never reached
    // its handler goes at once, however many clients connect and leave.
    if (inService)
        QTimer::singleShot(3000, this, &QObject::deleteLater);
    else
        deleteLater();
}

} // namespace QuillonHttpd
