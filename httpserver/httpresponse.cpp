#include "httpresponse.h"

#include "httpcapacity.h"
#include "httpconnection.h"
#include "httpgzip.h"
#include "httplinger.h"
#include "httplog.h"
#include "httprequest.h"
#include "httpsettings.h"

#include <QDebug>
#include <QTcpSocket>
#include <QTimer>

namespace QuillonHttpd {

namespace {

// Whether an Accept-Encoding value asks for gzip: an element naming it without "q=0".
bool acceptsGzip(const QString& acceptEncoding)
{
    for (const QString& element : acceptEncoding.split(QLatin1Char(','))) {
        const QStringList params = element.split(QLatin1Char(';'));
        if (!params.first().contains(QLatin1String("gzip"))) continue;
        bool refused = false;
        for (int i = 1; i < params.size(); ++i) {
            const QString param = params.at(i).trimmed();
            if (!param.startsWith(QLatin1String("q="), Qt::CaseInsensitive)) continue;
            bool ok = false;
            const double q = param.mid(2).trimmed().toDouble(&ok);
            refused = !ok || q <= 0;
        }
        if (!refused) return true;
    }
    return false;
}

} // namespace

HttpResponse::HttpResponse(HttpConnection* connection)
    : QObject(connection), socket(connection->getSocket()), connection(connection),
      writeTimer(new QTimer(this)), progressTimer(new QTimer(this)),
      capacity(connection->sharedCapacityHandle())
{
    const HttpRequest* request = connection->getCurrentRequest();
    headOnly = request && request->getMethod() == QLatin1String("HEAD");
    writeTimer->setSingleShot(true);
    writeTimer->setInterval(1000);
    connect(writeTimer, &QTimer::timeout, this, &HttpResponse::slotWrite);
    connect(socket, &QTcpSocket::bytesWritten, this, &HttpResponse::slotWrite);

    progressTimer->setSingleShot(true);
    progressTimer->setInterval(connection->settings()->sendTimeout);
    connect(socket, &QTcpSocket::bytesWritten, this, [this]() {
        watchProgress();
        this->connection->noteReply(true);
    });
    connect(progressTimer, &QTimer::timeout, this, [this]() {
        if (socket->bytesToWrite() > 0) {
            if (lineWanted("http reply not taken", 3))
                qWarning("HttpResponse: the peer took no data for %d ms, connection aborted",
                         progressTimer->interval());
            socket->abort();
        }
    });
}

HttpResponse::~HttpResponse()
{
    capacity->giveReply(bookedPiece + bookedBody);
}

bool HttpResponse::isConnected() const
{
    return connection->isConnected();
}

void HttpResponse::setStatus(int code, const QString& text)
{
    statusCode = code;
    reasonText = text;
}

void HttpResponse::setHeader(const QString& name, const QString& value)
{
    if (!headersSent) headerMap.insert(name, value);
}

void HttpResponse::setHeader(const QString& name, int value)
{
    setHeader(name, QString::number(value));
}

void HttpResponse::clearHeaders()
{
    headerMap.clear();
}

void HttpResponse::setCookie(const HttpCookie& cookie)
{
    if (!cookie.name.isEmpty()) cookies.insert(cookie.name, cookie);
}

bool HttpResponse::isChunked() const
{
    return headerMap.value(QStringLiteral("Transfer-Encoding")).toLower() == QLatin1String("chunked");
}

void HttpResponse::writeHeaders()
{
    if (headersSent) return;
    const QString type = headerMap.value(QStringLiteral("Content-Type")).toLower();
    const bool compressible = type.startsWith(QLatin1String("text/plain")) ||
                              type.startsWith(QLatin1String("text/html")) ||
                              type.startsWith(QLatin1String("text/css")) ||
                              type.startsWith(QLatin1String("application/javascript"));
    HttpRequest* request = connection->getCurrentRequest();
    const bool chunked = isChunked();
    if (compressible && statusCode == 200 && !chunked && !bodyFile) {
        // Caches must keep the plain and the compressed form apart.
        headerMap.insert(QStringLiteral("Vary"), QStringLiteral("Accept-Encoding"));
        if (request && acceptsGzip(request->header(QStringLiteral("Accept-Encoding"))))
            headerMap.insert(QStringLiteral("Content-Encoding"), QStringLiteral("gzip"));
    }
    if (headerMap.value(QStringLiteral("Content-Encoding")).toLower() == QLatin1String("gzip")) {
        // The compressed copy is this reply's own, unlike a body shared with a cache: it counts
        // against the reply budget, and without room the body goes out as it is.
        QByteArray packed = HttpGZipCompression::compress(bodyBuffer);
        const HttpSettings* s = connection->settings();
        if (packed.size() <= s->replyAllowance || capacity->takeReply(packed.size(), s->maxBufferedBytes)) {
            if (packed.size() > s->replyAllowance) bookedBody = packed.size();
            bodyBuffer = packed;
        } else {
            headerMap.remove(QStringLiteral("Content-Encoding"));
        }
    }
    if (!chunked) headerMap.insert(QStringLiteral("Content-Length"), QString::number(bodySize()));
    // The server closes after every request; a client that keeps connections must know.
    headerMap.insert(QStringLiteral("Connection"), QStringLiteral("close"));
    // HEAD: the headers of the GET, Content-Length included, and no body.
    if (headOnly) {
        bodyBuffer.clear();
        bodyFile.reset();
    }

    headerBuffer += "HTTP/1.1 " + QByteArray::number(statusCode) + ' ' + reasonText.toUtf8() + "\r\n";
    for (auto it = headerMap.cbegin(); it != headerMap.cend(); ++it)
        headerBuffer += it.key().toUtf8() + ": " + it.value().toUtf8() + "\r\n";
    for (const HttpCookie& cookie : qAsConst(cookies))
        headerBuffer += "Set-Cookie: " + cookie.toByteArray() + "\r\n";
    headerBuffer += "\r\n";
    headersSent = true;
}

void HttpResponse::write(const QByteArray& data)
{
    if (isChunked()) {
        if (data.isEmpty()) return;
        writeHeaders();
        if (!headOnly) bodyBuffer += QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n";
        sendRequested = true;
        writeTimer->start(0);
        return;
    }
    if (flushed) {
        if (lineWanted("http reply written after its end", 5))
            qDebug(
                "You could not write to HttpRespose when the response is flushed. Data written are ignored.");
        return;
    }
    closeAfterSend = true;
    bodyBuffer += data;
}

void HttpResponse::writeFile(QIODevice* file, qint64 size)
{
    if (flushed || isChunked() || bodyFile) {
        delete file;
        return;
    }
    closeAfterSend = true;
    bodyFile.reset(file);
    bodyFileSize = qMax<qint64>(0, size);
}

void HttpResponse::flush()
{
    flushed = true;
    if (isConnected()) {
        sendRequested = true;
        // The first piece goes to the socket now, not at the next timer tick: whatever the event
        // loop runs next (a quit that the request itself asked for) finds the reply under way.
        flushSocket();
    }
}

void HttpResponse::close()
{
    closeAfterSend = true;
    flush();
}

void HttpResponse::flushAndDelete()
{
    deleteAfterSend = true;
    flush();
}

void HttpResponse::flushSocket()
{
    if (isConnected()) {
        slotWrite();
        socket->flush();
    }
}

void HttpResponse::watchProgress()
{
    if (socket->bytesToWrite() > 0)
        progressTimer->start();
    else
        progressTimer->stop();
}

void HttpResponse::settleBooking()
{
    const qint64 needed = qMax<qint64>(0, socket->bytesToWrite() - connection->settings()->replyAllowance);
    if (needed < bookedPiece) {
        capacity->giveReply(bookedPiece - needed);
        bookedPiece = needed;
    }
}

// One piece of what is left, headers first: the socket holds no more than a piece of a reply at a
// time, however large the reply and however slowly its client reads.
void HttpResponse::writePiece()
{
    const HttpSettings* s = connection->settings();
    const qint64 left = (headerBuffer.size() - headerSent) + (bodySize() - bodySent);
    qint64 n = qMin<qint64>(left, qMax(1, s->writeChunk));
    const qint64 extra = n - s->replyAllowance;
    if (extra > 0) {
        if (capacity->takeReply(extra, s->maxBufferedBytes))
            bookedPiece += extra;
        else
            n = qMin<qint64>(left, qMax(1, s->replyAllowance));
    }
    const qint64 head = qMin<qint64>(n, headerBuffer.size() - headerSent);
    if (head > 0) {
        const qint64 w = socket->write(headerBuffer.constData() + headerSent, head);
        headerSent += qMax<qint64>(0, w);
        n = w == head ? n - head : 0;
    }
    if (n > 0 && bodyFile) {
        const QByteArray piece = bodyFile->read(n);
        if (piece.size() < n) {
            // The file shrank under us: the length we announced cannot be kept.
            if (lineWanted("http file body ended early", 3))
                qWarning("HttpResponse: file body ended early, connection aborted");
            socket->abort();
            return;
        }
        const qint64 w = socket->write(piece);
        bodySent += qMax<qint64>(0, w);
    } else if (n > 0) {
        const qint64 w = socket->write(bodyBuffer.constData() + bodySent, n);
        bodySent += qMax<qint64>(0, w);
        if (isChunked()) {
            // Chunks the socket has taken are not kept: a long stream does not grow.
            bodyBuffer.remove(0, int(bodySent));
            bodySent = 0;
        }
    }
    settleBooking();
    watchProgress();
    connection->noteReply(false);
}

void HttpResponse::slotWrite()
{
    if (closing) return;
    if (!headersSent) {
        sendRequested = true;
        writeHeaders();
    }
    settleBooking();
    if (sendRequested && socket->bytesToWrite() <= 0 && isConnected() && socket->isOpen() &&
        socket->isWritable()) {
        if (headerSent < headerBuffer.size() || bodySent < bodySize()) {
            writePiece();
            // The socket's bytesWritten asks for the next piece; the timer only if it took none.
            if (socket->bytesToWrite() <= 0) writeTimer->start(100);
            return;
        }
        if (!sentSaid && flushed) {
            sentSaid = true;
            emit replySent();
        }
        if (closeAfterSend) {
            socket->flush();
            writeTimer->stop();
            closeConnection();
            return;
        }
        if (deleteAfterSend) {
            socket->flush();
            writeTimer->stop();
            deleteLater();
            return;
        }
    }
    writeTimer->start(100);
}

void HttpResponse::closeConnection()
{
    if (!isConnected()) return;
    closing = true;
    if (isChunked() && !headOnly) socket->write("0\r\n\r\n");
    socket->flush();
    watchProgress();
    // The socket closes once its bytes have left; the event loop keeps running meanwhile.
    lingerAfterReply(socket, connection->settings()->lingerTime);
}

} // namespace QuillonHttpd
