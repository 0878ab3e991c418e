#pragma once
// Pages with server-side includes: a line that is only <!-- #include "name" --> is replaced by
// the named file (relative to the document root), to ten levels deep.

#include "httprequesthandler.h"

#include <QByteArray>
#include <QString>

namespace QuillonHttpd {

class ShtmlController : public HttpRequestHandler
{
    Q_OBJECT
public:
    explicit ShtmlController(HttpConnection* connection);
    ~ShtmlController() override;

    void service(HttpRequest* request, HttpResponse* response) override;
    // The page with its includes; on failure writes the error page and throws false.
    QByteArray include(QString path, HttpResponse* response, int depth);

private:
    [[noreturn]] void fail(HttpResponse* response, int status, const QString& reason, const QString& body);

    HttpConnection* connection;
};

} // namespace QuillonHttpd
