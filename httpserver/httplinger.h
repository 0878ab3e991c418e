#pragma once
// The last act on a socket: closing it while the client still sends would reset the connection
// and the client could lose our reply. So once the reply has left, the sending side is shut
// down and whatever the client still sends is read and dropped, until it closes or `ms` have
// passed; then the socket is aborted (it emits disconnected()).

class QTcpSocket;

namespace QuillonHttpd {

void lingerAfterReply(QTcpSocket* socket, int ms);

// Stops reading a plain socket until lingerAfterReply: Qt takes the end of the client's sending
// for a disconnect and drops what we have not sent yet, but a client may well half-close after
// its request. A TLS socket is left as it is (it needs to read to write).
void pauseReading(QTcpSocket* socket);

} // namespace QuillonHttpd
