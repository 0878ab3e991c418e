#pragma once
// What the clients of one server share: its connection slots, the bytes of request bodies it
// holds in memory and in temporary files, the reply bytes waiting to be sent, and the addresses
// that sent bodies too slowly. One object per server, used from every connection's thread.

#include <QAtomicInteger>
#include <QHash>
#include <QHostAddress>
#include <QMap>
#include <QRecursiveMutex>

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

    // Connections closed for a slow body or a reply their client took nothing of, counted for
    // the server's periodic warning line; take* reads and resets.
    void noteSlowBody() { slowBodies.fetchAndAddOrdered(1); }
    void noteStalledReply() { stalledReplies.fetchAndAddOrdered(1); }
    int takeSlowBodies() { return slowBodies.fetchAndStoreOrdered(0); }
    int takeStalledReplies() { return stalledReplies.fetchAndStoreOrdered(0); }

    // An address that sent a body too slowly: for `ms` its new connections get no grace for their
    // body (at most maxSuspects addresses are remembered; past that, none more until some expire).
    void suspect(const QHostAddress& address, qint64 now, qint64 ms);
    bool suspected(const QHostAddress& address, qint64 now) const;
    static constexpr int maxSuspects = 4096;

    // Slots. A connection enters waiting for its request headers; once they are complete it can
    // no longer be pushed out. leave() may be called more than once.
    void enter(HttpConnection* connection);
    void headersDone(HttpConnection* connection);
    void leave(HttpConnection* connection);
    int open() const;
    // Of those, the ones whose request headers are complete (no newcomer can push them out).
    int pastHeaders() const;
    // Order of arrival, shared with the listener's TLS handshakes: a larger number came later.
    quint64 arrival() { return arrivals.fetchAndAddOrdered(1) + 1; }
    // The arrival of the connection that has waited longest for its headers; 0 when none waits.
    quint64 oldestWaiting() const;
    // Frees the slot of the connection that has waited longest for its request headers (it is
    // closed without a reply); false when every connection has sent its headers.
    bool evictOldestWaiting();
    // Frees the slot of the connection that has lagged longest: a body below its rate past its
    // grace, or a reply stalled (HttpConnection::laggingSince); false when none lags.
    bool evictLagging();
    // Frees a slot for a newcomer: the connection that has waited longest for its headers once it
    // has had settleTime to send them, else the one that lags longest, else the one that has
    // waited longest. A burst of arrivals thus does not push out its own members, whose headers
    // may well be there unread, while laggards hold slots.
    bool makeRoom();
    static constexpr qint64 settleTime = 1000;

private:
    // Takes the victim's place and tells it to go (`how`) on its own thread; the lock is held.
    void dismiss(HttpConnection* victim, void (HttpConnection::*how)());
    static bool take(QAtomicInteger<qint64>& used, qint64 bytes, qint64 budget);

    QAtomicInteger<qint64> memory{0};
    QAtomicInteger<qint64> disk{0};
    QAtomicInteger<qint64> replies{0};
    QAtomicInteger<qint64> spools{0};
    QAtomicInteger<int> slowBodies{0};
    QAtomicInteger<int> stalledReplies{0};
    // Recursive: an evicted connection of this thread leaves while we still hold the lock.
    mutable QRecursiveMutex mutex;
    QAtomicInteger<quint64> arrivals{0};
    QHash<HttpConnection*, quint64> members; // with their order of arrival
    QMap<quint64, HttpConnection*> waiting;  // still without complete headers, oldest first
    QHash<QHostAddress, qint64> suspects;    // until when
};

} // namespace QuillonHttpd
