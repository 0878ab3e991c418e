#include "httplinger.h"

#include <QSocketNotifier>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <cerrno>
#include <memory>
#include <sys/socket.h>

namespace QuillonHttpd {

namespace {

// True once the sending side is shut (or there is nothing left to shut).
bool shutWhenSent(QTcpSocket* socket)
{
    if (socket->state() != QAbstractSocket::ConnectedState) return true;
    if (qobject_cast<QSslSocket*>(socket)) {
        // TLS closes with its own alert after the pending records; no half-close below it.
        socket->disconnectFromHost();
        return true;
    }
    if (socket->bytesToWrite() > 0) return false;
    ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    return true;
}

// Reads and drops the client's bytes (which also notices its close) until `ms` have passed.
void drain(QTcpSocket* socket, int ms)
{
    QObject::connect(socket, &QIODevice::readyRead, socket, [socket]() { socket->readAll(); });
    socket->readAll(); // also resumes reading after pauseReading
    // A child of the socket: it goes with it, rather than waiting out its time among the event
    // loop's timers (thousands of them under load, each insertion a walk of the list).
    auto* timer = new QTimer(socket);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, socket, [socket]() {
        if (socket->state() != QAbstractSocket::UnconnectedState) socket->abort();
    });
    timer->start(qMax(0, ms));
}

} // namespace

void refuseAtOnce(qintptr socketDescriptor, const char* const reply[4])
{
    const int fd = int(socketDescriptor);
    if (fd < 0) return;
    QByteArray bytes;
    for (int i = 0; i < 4; ++i)
        bytes += reply[i];
    ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    // Only what is there already: no wait. The receive queue holds at most its buffer's size.
    char scratch[16384];
    for (;;) {
        const ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        break;
    }
}

void pauseReading(QTcpSocket* socket)
{
    if (qobject_cast<QSslSocket*>(socket)) return;
    // The socket's engine watches the descriptor with a read notifier; the socket turns it on
    // again on its next read, which is the one lingerAfterReply makes.
    for (QSocketNotifier* notifier : socket->findChildren<QSocketNotifier*>()) {
        if (notifier->type() == QSocketNotifier::Read) notifier->setEnabled(false);
    }
}

void lingerAfterReply(QTcpSocket* socket, int ms)
{
    socket->flush();
    if (shutWhenSent(socket)) {
        drain(socket, ms);
        return;
    }
    auto once = std::make_shared<QMetaObject::Connection>();
    *once = QObject::connect(socket, &QIODevice::bytesWritten, socket, [socket, once, ms]() {
        if (!shutWhenSent(socket)) return;
        QObject::disconnect(*once);
        drain(socket, ms);
    });
}

} // namespace QuillonHttpd
