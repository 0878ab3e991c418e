#include "httplinger.h"

#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
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

} // namespace

void lingerAfterReply(QTcpSocket* socket, int ms)
{
    QObject::connect(socket, &QIODevice::readyRead, socket, [socket]() { socket->readAll(); });
    socket->flush();
    if (!shutWhenSent(socket)) {
        auto once = std::make_shared<QMetaObject::Connection>();
        *once = QObject::connect(socket, &QIODevice::bytesWritten, socket, [socket, once]() {
            if (shutWhenSent(socket)) QObject::disconnect(*once);
        });
    }
    socket->readAll();
    QTimer::singleShot(qMax(0, ms), socket, [socket]() {
        if (socket->state() != QAbstractSocket::UnconnectedState) socket->abort();
    });
}

} // namespace QuillonHttpd
