#pragma once
// The last act on a socket: closing it while the client still sends would reset the connection
// and the client could lose our reply. So once the reply has left, the sending side is shut
// down and whatever the client still sends is read and dropped, until it closes or `ms` have
// passed; then the socket is aborted (it emits disconnected()).

#include <QtGlobal>

class QTcpSocket;

namespace QuillonHttpd {

void lingerAfterReply(QTcpSocket* socket, int ms);

// A refusal that takes no time of its own: `reply` is handed to the kernel, the sending side shut,
// and what the client sent that the kernel holds is read and dropped, so that the close the
// caller makes next sends no reset in place of the reply.
void refuseAtOnce(qintptr socketDescriptor, const char* const reply[4]);

// Stops reading a plain socket until lingerAfterReply: Qt takes the end of the client's sending
// for a disconnect and drops what we have not sent yet, but a client may well half-close after
// its request. A TLS socket is left as it is (it needs to read to write).
void pauseReading(QTcpSocket* socket);

} // namespace QuillonHttpd
