#pragma once
// What serves the requests of one connection. The base serves files below the document root:
// ".shtml" names through the include processor, every other name as it is. Applications derive
// from it and override service().

#include <QObject>

namespace QuillonHttpd {

class HttpConnection;
class HttpRequest;
class HttpResponse;
class HttpSettings;

class HttpRequestHandler : public QObject
{
    Q_OBJECT
public:
    explicit HttpRequestHandler(HttpConnection* connection);
    ~HttpRequestHandler() override;

    // Called once for every complete request; both objects belong to the connection.
    virtual void service(HttpRequest* request, HttpResponse* response);

    HttpSettings* settings() const;
    HttpResponse* response();
    HttpConnection* getConnection() const { return connection; }

private:
    HttpConnection* connection;
};

} // namespace QuillonHttpd
