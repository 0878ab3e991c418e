#pragma once
// The life of one accepted socket: its parser, its requests, its handler and the replies written
// to it; the limits that keep a slow or hostile client from holding it forever.

#include <QDateTime>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QVariant>
#include <atomic>
#include <memory>

class QTcpSocket;
class QTimer;

namespace QuillonHttpd {

class HttpCapacity;
class HttpRequest;
class HttpRequestHandler;
class HttpResponse;
class HttpServer;
class HttpSettings;

class HttpConnection : public QObject
{
    Q_OBJECT
public:
    // A served connection: the server's factory gives it its handler.
    HttpConnection(HttpServer* server, QTcpSocket* socket);
    // A connection on its own settings, without server or handler: the request and the response
    // work on it as on a served one (tools and tests).
    HttpConnection(HttpSettings* settings, QTcpSocket* socket, QObject* parent = nullptr);
    ~HttpConnection() override;

    HttpSettings* settings() const;
    // The server's slots and budgets (a connection without server has its own).
    HttpCapacity* capacity() const { return sharedCapacity.get(); }
    std::shared_ptr<HttpCapacity> sharedCapacityHandle() const { return sharedCapacity; }
    QTcpSocket* getSocket() const { return socket; }
    bool isConnected() const { return connected; }
    bool isSecure() const { return secure; }
    void setSecure(bool value) { secure = value; }
    HttpRequest* getCurrentRequest() const { return currentRequest; }
    HttpRequestHandler* getHandler() const { return handler; }
    QHostAddress getPeerAddress() const { return peerAddress; }
    QSslCertificate getPeerCertificate() const { return peerCertificate; }
    // Makes the request current; the connection owns it from now on.
    void setCurrentRequest(HttpRequest* request);
    void clearRequest() { currentRequest = nullptr; }

    void restartTimer();
    HttpResponse* response();
    void setPeerCertificate(const QSslCertificate& certificate) { peerCertificate = certificate; }
    QString verifiedPeerName() const;
    QVariant status() const;

    // Fixed replies written when the connection gives up on its client.
    static const char* const timeoutReply[4];
    static const char* const abortReply[4];
    static const char* const unavailableReply[4];
    static const char continueReply[];

    // Pushed out by a newcomer while it still waits for its request headers: the 503, and closed
    // at once.
    void evict();
    // Whether what its client has sent so far, still in the kernel, shows a command right
    // (HttpServer::peekCommandRight). Looked at only on its own thread, which alone closes its
    // socket: false on any other (its own thread reads its headers soon enough), and once its
    // headers are read or it has given up its socket. `wholeHead`: as
    // HttpServer::peekCommandRight. Safe to call from any thread while the connection is a member
    // of its capacity.
    bool showsCommandRight(bool* wholeHead = nullptr) const;
    // Pushed out for a newcomer of another address (HttpCapacity::admit) while its request is
    // not served yet: it gets a 503. The same for the memory of request bodies
    // (HttpCapacity::takeMemoryFor), counted apart.
    void pushOut();
    void pushOutForMemory();
    // Pushed out by a newcomer while it lags (see laggingSince): a slow body gets the 408, a
    // stalled reply is cut.
    void giveWay();
    // Since when (clock()) it lags: its body is below bodyMinRate past bodyRateGrace, or its
    // client has taken nothing of its reply for replyStallTime; 0 when it does not. Safe from any
    // thread while the connection is a member of its capacity.
    qint64 laggingSince(qint64 now) const;
    // The response tells whether bytes wait in the socket, and whether the client took some.
    void noteReply(bool progressed);
    // Its request, complete and admitted, taken into the server's queue: served now, unless it
    // was pushed out or its client left meanwhile.
    void serveQueued();
    // Its request found the queue full: the 503, counted as refused for want of a slot.
    void refuseQueued();
    // Milliseconds of a monotonic clock.
    static qint64 clock();
    qint64 acceptedAt() const { return accepted; }

    bool event(QEvent* event) override;

public slots:
    void close();
    void slotTimeout();
    void slotRead();
    void slotDisconnected();

private:
    void init();
    void giveUp(const char* const reply[4]);
    void headersDone();
    void pushedOut(int why);
    // Headers read so far that show a command right mark it in its capacity
    // (HttpCapacity::markCommandRight), once; looked at when a header line was added.
    void lookForCommandRight(const HttpRequest* request);
    bool rightSeen = false;
    int headersLooked = 0;
    QString lookedCookie, lookedAuthorization;
    // Once a request's headers are complete: whether it takes a slot (HttpCapacity::admit).
    bool admitted(HttpRequest* request);
    void slowClient();
    void checkBodyProgress();
    // Hands the current request, complete and admitted, to the handler.
    void serve();

    QTcpSocket* socket;
    QTimer* timer = nullptr;
    HttpRequest* currentRequest = nullptr;
    QList<HttpRequest*> requests;
    HttpRequestHandler* handler = nullptr;
    HttpServer* server = nullptr;
    QSslCertificate peerCertificate;
    QHostAddress peerAddress;
    bool connected = true;
    bool inService = false; // its handler is running
    bool secure = false;

    HttpSettings* ownSettings;
    bool served = false;           // the current request has been handed to the handler
    bool inQueue = false;          // the current request waits in the server's queue
    bool givenUp = false;          // a 408 or 413 went out: the rest of the input is discarded
    bool admissionDone = false;    // admitted() has decided for its request
    QTimer* headerTimer = nullptr; // headers complete this long after the accept
    QTimer* bodyTimer = nullptr;   // every period must bring some body
    qint64 bodyBytesInPeriod = 0;
    bool bodyBelowRate(qint64 now) const;
    // Read by the capacity from the thread of a newcomer.
    void slowBody();
    const qint64 accepted = clock();
    bool graceless = false;             // its address sent a body too slowly not long ago
    std::atomic<qint64> bodyStarted{0}; // clock() when the body began; 0 outside a body
    std::atomic<qint64> bodyReceived{0};
    std::atomic<qint64> replyStalled{0}; // clock() since which the client took nothing; 0: not stalled
    // While its request headers are being read, for showsCommandRight; cleared before we close
    // the socket.
    std::atomic<bool> headUnread{false};
    // The thread that runs it, the only one that peeks at its socket; null while it moves.
    std::atomic<Qt::HANDLE> home{nullptr};
    std::shared_ptr<HttpCapacity> sharedCapacity;
};

} // namespace QuillonHttpd
