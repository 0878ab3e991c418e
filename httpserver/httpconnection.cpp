#include "httpconnection.h"

#include "httprequest.h"
#include "httpsettings.h"

#include <QTcpSocket>

namespace QuillonHttpd {

HttpConnection::HttpConnection(HttpSettings* settings, QTcpSocket* socket, QObject* parent)
    : QObject(parent), socket(socket), ownSettings(settings)
{
    if (socket) connect(socket, &QTcpSocket::disconnected, this, &HttpConnection::slotDisconnected);
}

HttpConnection::~HttpConnection()
{
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

void HttpConnection::slotDisconnected()
{
    connected = false;
    currentRequest = nullptr;
}

} // namespace QuillonHttpd
