#pragma once
// What the clients of one server share: its connection slots, the bytes of request bodies it
// holds in memory and in temporary files, the reply bytes waiting to be sent, and the addresses
// that sent bodies too slowly. One object per server, used from every connection's thread.

#include <QAtomicInteger>
#include <QHash>
#include <QHostAddress>
#include <QMap>
#include <QRecursiveMutex>
#include <functional>

namespace QuillonHttpd {

class HttpConnection;

class HttpCapacity
{
public:
    // Body bytes against a budget: false, and nothing taken, when `bytes` would pass it.
    bool takeMemory(qint64 bytes, qint64 budget) { return take(memory, bytes, budget); }
    void giveMemory(qint64 bytes) { memory.fetchAndAddOrdered(-bytes); }
    bool takeDisk(qint64 bytes, qint64 budget) { return take(disk, bytes, budget); }
    void giveDisk(qint64 bytes) { disk.fetchAndAddOrdered(-bytes); }
    qint64 memoryInUse() const { return memory.loadAcquire(); }
    // The same for the request of `connection`, whose bytes are counted for its address: when
    // they would pass the budget, the address holding the most body bytes above
    // bodyBytesPerAddress (not the connection's own) gives way with its newest request not yet
    // served, whose bytes are counted free at once. give back what was taken so; a request
    // pushed out gives back nothing more.
    bool takeMemoryFor(HttpConnection* connection, qint64 bytes, qint64 budget);
    void giveMemoryFor(HttpConnection* connection, qint64 bytes);
    static constexpr qint64 bodyBytesPerAddress = 4 << 20;
    qint64 diskInUse() const { return disk.loadAcquire(); }
    // Reply bytes waiting in the sockets' write buffers (and compressed copies of reply bodies).
    bool takeReply(qint64 bytes, qint64 budget) { return take(replies, bytes, budget); }
    void giveReply(qint64 bytes) { replies.fetchAndAddOrdered(-bytes); }
    qint64 replyInUse() const { return replies.loadAcquire(); }
    // Multipart bodies spooled at once: each holds a temporary file, and another while one of its
    // file parts is written, beside its socket. False, and nothing taken, at `cap`.
    bool takeSpool(int cap) { return take(spools, 1, cap); }
    void giveSpool() { spools.fetchAndAddOrdered(-1); }
    qint64 spoolsInUse() const { return spools.loadAcquire(); }

    // Connections the server gave up on, by why, counted for its periodic warning line: a slow
    // body, a reply its client took nothing of, a newcomer or a request refused for want of a
    // slot, a client pushed out to make room for another, one pushed out for the memory of
    // request bodies. takeClosed reads and resets.
    enum Closed { SlowBody, StalledReply, RefusedForSlots, PushedForRoom, PushedForMemory, ClosedKinds };
    void noteClosed(Closed why) { closed[why].fetchAndAddOrdered(1); }
    int takeClosed(Closed why) { return closed[why].fetchAndStoreOrdered(0); }

    // An address that sent a body too slowly: for `ms` its new connections get no grace for their
    // body (at most maxSuspects addresses are remembered; past that, none more until some expire).
    void suspect(const QHostAddress& address, qint64 now, qint64 ms);
    bool suspected(const QHostAddress& address, qint64 now) const;
    static constexpr int maxSuspects = 4096;

    // Slots. A connection enters waiting for its request headers; once they are complete only
    // pushOut (below) can take its slot, until its request is handed to the handler (serving);
    // then nothing can. leave() may be called more than once.
    // `commandRight`: what it sent so far shows a token with a command right (admit() decides
    // from its headers): it is not pushed out while it reads them.
    void enter(HttpConnection* connection, const QHostAddress& address, bool commandRight = false);
    void headersDone(HttpConnection* connection);
    void serving(HttpConnection* connection);
    void leave(HttpConnection* connection);
    // Its own thread has read headers showing a command right before they are complete: it is no
    // longer chosen to make room while the rest arrive.
    void markCommandRight(HttpConnection* connection);
    // Down to this many slots an address may be pushed out for a newcomer from another one.
    static constexpr int placesPerAddress = 16;
    // Called once a request's headers are complete. True when it holds one of `places` slots:
    // there is one free; or the address holding the most slots of requests not yet served holds
    // more than placesPerAddress and is not its own, and gives way with its newest one; or,
    // `commandRight`, whichever address holds the most gives way so (it is served even beyond
    // the slots when none can). Requests with a command right are never pushed out.
    bool admit(HttpConnection* connection, bool commandRight, int places);
    int open() const;
    // Of those, the ones whose request headers are complete (no newcomer can push them out).
    int pastHeaders() const;
    // Order of arrival, shared with the listener's TLS handshakes: a larger number came later.
    quint64 arrival() { return arrivals.fetchAndAddOrdered(1) + 1; }
    // The arrival of the connection that has waited longest for its headers; 0 when none waits.
    quint64 oldestWaiting() const;
    // Frees the slot of the connection that has waited longest for its request headers (it gets
    // the 503 and is closed at once); false when every connection has sent its headers.
    bool evictOldestWaiting();
    // Frees the slot of the connection that has lagged longest: a body below its rate past its
    // grace, or a reply stalled (HttpConnection::laggingSince); false when none lags.
    bool evictLagging();
    // Frees a slot for a newcomer: the connection that has waited longest for its headers once it
    // has had settleTime to send them, else the one that lags longest, else the one that has
    // waited longest. A burst of arrivals thus does not push out its own members, whose headers
    // may well be there unread, while laggards hold slots.
    // A newcomer from `address` may also push out the newest request of the address holding the
    // most slots above placesPerAddress; then, with `anyWaiting`, any connection still without
    // its headers. Connections whose first bytes show a command right are never pushed out so.
    bool makeRoom(const QHostAddress& address = QHostAddress(), bool anyWaiting = true);
    static constexpr qint64 settleTime = 1000;

private:
    // Takes the victim's place and tells it to go (`how`) on its own thread; the lock is held.
    void dismiss(HttpConnection* victim, void (HttpConnection::*how)());
    // The newest request past its headers, not served and without a command right, of the
    // address holding the most such requests: only when that address holds more than `floor`
    // and is not `own`. Null when there is none; the lock is held.
    HttpConnection* pushOutVictim(const QHostAddress& own, int floor) const;
    struct member;
    // Of the requests not served and without a command right, the address whose weights add up
    // to the most (a weight of 0 is not counted), with its newest; the lock is held.
    struct Heaviest
    {
        QHostAddress address;
        qint64 weight = 0;
        HttpConnection* newest = nullptr;
    };
    Heaviest heaviest(const std::function<qint64(HttpConnection*, const member&)>& weigh) const;
    // The connection that has waited longest for its headers, of those without a command right
    // seen in their first bytes and without their whole head in the kernel (looked at again here
    // when the connection runs on this thread; one of another thread reads its own head at once);
    // the lock is held.
    HttpConnection* oldestWaitingVictim();
    static bool take(QAtomicInteger<qint64>& used, qint64 bytes, qint64 budget);

    QAtomicInteger<qint64> memory{0};
    QAtomicInteger<qint64> disk{0};
    QAtomicInteger<qint64> replies{0};
    QAtomicInteger<qint64> spools{0};
    QAtomicInteger<int> closed[ClosedKinds] = {};
    // Recursive: an evicted connection of this thread leaves while we still hold the lock.
    mutable QRecursiveMutex mutex;
    QAtomicInteger<quint64> arrivals{0};
    struct member
    {
        quint64 arrival = 0;
        QHostAddress address;
        bool commandRight = false;
        bool served = false;
    };
    QHash<HttpConnection*, member> members;
    QHash<HttpConnection*, qint64> bodyBytes; // taken by takeMemoryFor, not yet given back
    QMap<quint64, HttpConnection*> waiting;  // still without complete headers, oldest first
    QHash<QHostAddress, qint64> suspects;    // until when
};

} // namespace QuillonHttpd
