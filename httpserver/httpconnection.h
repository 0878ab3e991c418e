#pragma once
// The life of one accepted socket: its parser, its requests and the replies written to it.

#include <QList>
#include <QObject>
#include <QPointer>

class QTcpSocket;

namespace QuillonHttpd {

class HttpRequest;
class HttpSettings;

class HttpConnection : public QObject
{
    Q_OBJECT
public:
    // A connection on its own settings, without server or handler: the request and the response
    // work on it as on a served one (tools and tests).
    HttpConnection(HttpSettings* settings, QTcpSocket* socket, QObject* parent = nullptr);
    ~HttpConnection() override;

    HttpSettings* settings() const;
    QTcpSocket* getSocket() const { return socket; }
    bool isConnected() const { return connected; }
    HttpRequest* getCurrentRequest() const { return currentRequest; }
    // Makes the request current; the connection owns it from now on.
    void setCurrentRequest(HttpRequest* request);
    void clearRequest() { currentRequest = nullptr; }

public slots:
    void slotDisconnected();

private:
    QTcpSocket* socket;
    HttpRequest* currentRequest = nullptr;
    QList<HttpRequest*> requests;
    HttpSettings* ownSettings;
    bool connected = true;
};

} // namespace QuillonHttpd
