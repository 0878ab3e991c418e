#pragma once
// The last act on a socket we give up on (408, 413, 503): closing it while the client still
// sends would reset the connection and the client could lose our reply. So once the reply has
// left, the sending side is shut down and whatever the client still sends is read and dropped,
// until it closes or `ms` have passed; then the socket is aborted (it emits disconnected()).

class QTcpSocket;

namespace QuillonHttpd {

void lingerAfterReply(QTcpSocket* socket, int ms);

} // namespace QuillonHttpd
