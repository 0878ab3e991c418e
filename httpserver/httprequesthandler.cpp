#include "httprequesthandler.h"

#include "httpconnection.h"
#include "httprequest.h"
#include "shtmlcontroller.h"
#include "staticfilecontroller.h"

namespace QuillonHttpd {

HttpRequestHandler::HttpRequestHandler(HttpConnection* connection)
    : QObject(connection), connection(connection)
{
}

HttpRequestHandler::~HttpRequestHandler() = default;

HttpSettings* HttpRequestHandler::settings() const
{
    return connection->settings();
}

HttpResponse* HttpRequestHandler::response()
{
    return connection->response();
}

void HttpRequestHandler::service(HttpRequest* request, HttpResponse* response)
{
    const QString path = HttpRequest::urlDecode(request->getPath());
    connection->setObjectName(path);
    if (path.endsWith(QLatin1String(".shtml"))) {
        ShtmlController controller(connection);
        controller.service(request, response);
    } else {
        StaticFileController controller(connection);
        controller.service(request, response);
    }
}

} // namespace QuillonHttpd
