#pragma once
// The entry of the HTTP server library: a listener (plain TCP or TLS) whose every accepted socket
// becomes an HttpConnection served by the handler of the virtual factory requestHandler.

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSslCertificate>
#include <QSslError>
#include <QTcpServer>
#include <QVariant>
#include <deque>
#include <functional>
#include <memory>

class QSslSocket;
class QTcpSocket;
class QThread;

namespace QuillonHttpd {

class HttpCapacity;
class HttpConnection;
class HttpRequest;
class HttpRequestHandler;
class HttpServer;
class HttpSettings;

class HttpTcpServer : public QTcpServer
{
    Q_OBJECT
public:
    explicit HttpTcpServer(HttpServer* parent);
    ~HttpTcpServer() override;

    bool isSecure(QTcpSocket* socket) const;
    QSslCertificate peerCertificate(QTcpSocket* socket) const;
    // TLS sockets whose handshake has not finished yet.
    int handshakesInProgress() const { return handshaking.size(); }
    // A socket handed to another thread: its signals would reach us queued, after it may be gone.
    void release(QTcpSocket* socket);

public slots:
    void slotEncrypted();
    // An accept failed (descriptors or kernel memory short): the listener rests instead of
    // spinning on a socket that stays readable.
    void slotAcceptError(QAbstractSocket::SocketError error);
    void slotSslErrors(const QList<QSslError>& errors);
    void slotPeerVerifyError(const QSslError& error);
    void slotDisconnected();

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void refuse(qintptr socketDescriptor);
    // Without a reason nothing is logged.
    void dropHandshake(QSslSocket* socket, const QString& why);
    // `anyWaiting`: a connection or TLS handshake still without its headers may give way however
    // new (past the header places).
    bool makeRoom(const QHostAddress& address, bool anyWaiting);
    static QHostAddress peerOf(qintptr socketDescriptor);
    HttpServer* server;
    // Counts an accept; the acceptsPerPass-th since the listener last rested ends the pass.
    void countAccept();

    // Accepts in one pass of the event loop before the clients already accepted are read: 64, and
    // 64 more for every 10 ms the loop took to come round since the listener last rested, as far
    // as slots are free, up to 1024. A long pass (a report's slice, a busy handler) so does not
    // leave the listen queue to grow, where a client with a right waits in arrival order behind
    // every other, while clients past the slots are not refused only to come back at once.
    static constexpr int acceptsPerPass = 64;
    static constexpr int acceptsPerPassMax = 1024;
    int acceptBudget = acceptsPerPass;
    int acceptedThisPass = 0;
    qint64 passRestedAt = 0; // clock when the listener last rested for the pass
    int pendingLimit = 0;    // maxPendingConnections, given back when the listener resumes

    // After a failed accept: 100 ms, doubling up to 1 s while accepts keep failing.
    static constexpr int firstAcceptPause = 100;
    static constexpr int lastAcceptPause = 1000;
    // Failed accepts are reported once, then at most once in this many ms with their count.
    static constexpr qint64 acceptReportInterval = 60000;
    int acceptPause = 0;
    bool acceptResting = false;
    int acceptFailures = 0;    // not reported yet
    qint64 acceptReported = 0; // clock of the last report; 0: none

    HttpSettings* settings;
    QHash<QTcpSocket*, bool> secureSockets;
    QHash<QTcpSocket*, QSslCertificate> peerCertificates;
    // With their arrival (HttpCapacity::arrival), which also tells a reused address apart.
    QHash<QSslSocket*, quint64> handshaking;
    std::shared_ptr<HttpCapacity> capacity;
    int refusing = 0;
};

class HttpServer : public QObject
{
    Q_OBJECT
public:
    // Listens at once (the result of start() is not kept: call start() again to learn it).
    explicit HttpServer(HttpSettings* settings, QObject* parent = nullptr);
    // Own default settings; listens only once start() is called.
    explicit HttpServer(QObject* parent = nullptr);
    ~HttpServer() override;

    bool start();
    void close();
    virtual HttpRequestHandler* requestHandler(HttpConnection* connection);
    QVariant connectionsStatus();

    HttpSettings* getSettings() const { return settings; }
    HttpTcpServer* getTcpServer() const { return tcpServer; }
    // Connections whose socket is open, on every thread.
    int openConnections() const;
    // Slots and body budgets, shared with the connections.
    std::shared_ptr<HttpCapacity> capacity() const { return sharedCapacity; }
    // Whether a request (its headers complete) holds a right that keeps it a slot while anonymous
    // clients hold them all (HttpCapacity::admit). The application tells, from its token: set
    // before the server accepts; called on the connections' threads.
    // It is given the values of the Cookie and Authorization headers.
    void setCommandRightCheck(std::function<bool(const QString& cookie, const QString& authorization)> check)
    {
        commandRightCheck = std::move(check);
    }
    bool holdsCommandRight(const QString& cookie, const QString& authorization) const
    {
        return commandRightCheck && (!cookie.isEmpty() || !authorization.isEmpty()) &&
               commandRightCheck(cookie, authorization);
    }
    // Whether a complete request holds a right of any kind, told by the application from its
    // token as for setCommandRightCheck (set before the server accepts). With it, a request of a
    // connection on the server's own thread that holds none waits in a queue, served in turns of
    // at most HttpSettings::queueTurn ms, one turn a pass of the event loop, while one that holds
    // a right is served as soon as it is read: a crowd without rights cannot keep the thread
    // from them, nor take more of it than a turn a pass. At most half the slots wait so: past
    // them a request without a right gets the 503 at once (counted as refused for the slots).
    // Connections on threads of their own are served at once.
    void setRightCheck(std::function<bool(const QString& cookie, const QString& authorization)> check)
    {
        rightCheck = std::move(check);
    }
    // Takes the complete, admitted request of `connection` into the queue, to be served in its
    // turn (HttpConnection::serveQueued); false when it is to be served now.
    bool queueRequest(HttpConnection* connection, const HttpRequest* request);
    // Requests waiting in the queue.
    int queuedRequests() const { return int(queued.size()); }
    // The same for what the client of a plain socket has sent so far, read without taking it:
    // such a client passes the slots (HttpSettings::headerPlaces) and is not pushed out while
    // its headers are read. `wholeHead`, when given, tells whether the request's whole head is
    // there already (then it waits for its thread, not for its client).
    bool peekCommandRight(qintptr socketDescriptor, bool* wholeHead = nullptr) const;

public slots:
    void slotNewConnection();
    void slotConnectionClosed(QObject* connection);

private:
    void startReports();
    // One turn of the queue; another is posted while requests wait.
    void serveQueued();
    void postTurn();
    std::function<bool(const QString&, const QString&)> rightCheck;
    std::deque<QPointer<HttpConnection>> queued;
    bool turnPosted = false;
    bool inTurn = false;

    HttpTcpServer* tcpServer = nullptr;
    HttpSettings* settings;
    QList<QPointer<QThread>> threads;
    std::shared_ptr<HttpCapacity> sharedCapacity;
    std::function<bool(const QString&, const QString&)> commandRightCheck;
    // Threaded connections still alive. Each leaves this set from its own thread as it is
    // destroyed, under the lock, so the destructor never touches one already freed. Shared, since
    // a thread left running may outlive the server.
    struct LiveConnections;
    std::shared_ptr<LiveConnections> live;
};

} // namespace QuillonHttpd
