#include "httpcapacity.h"

#include "httpconnection.h"

#include <QMutexLocker>
#include <QThread>

namespace QuillonHttpd {

bool HttpCapacity::take(QAtomicInteger<qint64>& used, qint64 bytes, qint64 budget)
{
    qint64 now = used.loadAcquire();
    do {
        if (bytes > budget - now) return false;
    } while (!used.testAndSetOrdered(now, now + bytes, now));
    return true;
}

namespace {
// One key per client, whichever address family its connection came by.
QHostAddress clientKey(const QHostAddress& address)
{
    bool v4 = false;
    const quint32 a = address.toIPv4Address(&v4);
    return v4 ? QHostAddress(a) : address;
}
} // namespace

void HttpCapacity::enter(HttpConnection* connection, const QHostAddress& address, bool commandRight)
{
    QMutexLocker lock(&mutex);
    member m;
    m.commandRight = commandRight;
    m.arrival = arrival();
    m.address = clientKey(address);
    members.insert(connection, m);
    waiting.insert(m.arrival, connection);
}

void HttpCapacity::headersDone(HttpConnection* connection)
{
    QMutexLocker lock(&mutex);
    const auto it = members.constFind(connection);
    if (it != members.constEnd()) waiting.remove(it->arrival);
}

void HttpCapacity::serving(HttpConnection* connection)
{
    QMutexLocker lock(&mutex);
    const auto it = members.find(connection);
    if (it != members.end()) it->served = true;
}

void HttpCapacity::leave(HttpConnection* connection)
{
    QMutexLocker lock(&mutex);
    const auto it = members.find(connection);
    if (it == members.end()) return;
    waiting.remove(it->arrival);
    members.erase(it);
}

void HttpCapacity::markCommandRight(HttpConnection* connection)
{
    QMutexLocker lock(&mutex);
    const auto it = members.find(connection);
    if (it != members.end()) it->commandRight = true;
}

HttpCapacity::Heaviest
HttpCapacity::heaviest(const std::function<qint64(HttpConnection*, const member&)>& weigh) const
{
    QHash<QHostAddress, qint64> held;
    QHash<QHostAddress, HttpConnection*> newest;
    for (auto it = members.cbegin(); it != members.cend(); ++it) {
        const member& m = it.value();
        if (m.served || m.commandRight) continue;
        const qint64 weight = weigh(it.key(), m);
        if (weight <= 0) continue;
        held[m.address] += weight;
        HttpConnection*& n = newest[m.address];
        if (!n || members.value(n).arrival < m.arrival) n = it.key();
    }
    Heaviest top;
    for (auto it = held.cbegin(); it != held.cend(); ++it) {
        if (it.value() > top.weight) {
            top.weight = it.value();
            top.address = it.key();
        }
    }
    top.newest = newest.value(top.address);
    return top;
}

HttpConnection* HttpCapacity::pushOutVictim(const QHostAddress& own, int floor) const
{
    // No address can hold more than `floor` when not that many are past their headers.
    if (members.size() - waiting.size() <= floor) return nullptr;
    const Heaviest top =
        heaviest([this](HttpConnection*, const member& m) { return waiting.contains(m.arrival) ? 0 : 1; });
    if (top.weight <= floor) return nullptr;
    if (!own.isNull() && top.address == clientKey(own)) return nullptr;
    return top.newest;
}

bool HttpCapacity::takeMemoryFor(HttpConnection* connection, qint64 bytes, qint64 budget)
{
    QMutexLocker lock(&mutex);
    for (int tries = 0; !take(memory, bytes, budget); ++tries) {
        const auto self = members.constFind(connection);
        if (tries >= 16 || self == members.constEnd()) return false;
        // The address holding the most body bytes of requests that can still be pushed out.
        const Heaviest top =
            heaviest([this](HttpConnection* c, const member&) { return bodyBytes.value(c); });
        if (top.weight <= bodyBytesPerAddress || top.address == self->address) return false;
        HttpConnection* victim = top.newest;
        memory.fetchAndAddOrdered(-bodyBytes.take(victim));
        dismiss(victim, &HttpConnection::pushOutForMemory);
    }
    bodyBytes[connection] += bytes;
    return true;
}

void HttpCapacity::giveMemoryFor(HttpConnection* connection, qint64 bytes)
{
    QMutexLocker lock(&mutex);
    const auto it = bodyBytes.find(connection);
    if (it == bodyBytes.end()) return;
    const qint64 given = qMin(bytes, it.value());
    it.value() -= given;
    if (it.value() <= 0) bodyBytes.erase(it);
    memory.fetchAndAddOrdered(-given);
}

bool HttpCapacity::admit(HttpConnection* connection, bool commandRight, int places)
{
    QMutexLocker lock(&mutex);
    const auto it = members.find(connection);
    if (it == members.end()) return false;
    it->commandRight = commandRight;
    if (members.size() - waiting.size() <= places) return true;
    // It came on a header place: what lags gives way first, as for a newcomer at the listener.
    if (evictLagging()) return true;
    const QHostAddress own = it->address;
    if (HttpConnection* victim =
            pushOutVictim(commandRight ? QHostAddress() : own, commandRight ? 0 : placesPerAddress)) {
        dismiss(victim, &HttpConnection::pushOut);
        return true;
    }
    return commandRight;
}

int HttpCapacity::open() const
{
    QMutexLocker lock(&mutex);
    return members.size();
}

int HttpCapacity::pastHeaders() const
{
    QMutexLocker lock(&mutex);
    return members.size() - waiting.size();
}

quint64 HttpCapacity::oldestWaiting() const
{
    QMutexLocker lock(&mutex);
    return waiting.isEmpty() ? 0 : waiting.firstKey();
}

HttpConnection* HttpCapacity::oldestWaitingVictim()
{
    // A flood of newcomers each peeks here under the lock: a few whole heads in a row are enough
    // to say the oldest wait for their threads.
    int wholeHeads = 0;
    for (HttpConnection* c : qAsConst(waiting)) {
        const auto it = members.find(c);
        if (it == members.end() || it->commandRight) continue;
        // Its request may have arrived since it was accepted: what its thread has not read yet
        // decides again before it is chosen (what it has read marked it, markCommandRight), when
        // that thread is this one. A whole head already there waits for its busy thread, not for a
        // slow client: it stays.
        bool wholeHead = false;
        if (c->showsCommandRight(&wholeHead)) {
            it->commandRight = true;
            continue;
        }
        if (!wholeHead) return c;
        if (++wholeHeads == 8) break;
    }
    return nullptr;
}

bool HttpCapacity::evictOldestWaiting()
{
    QMutexLocker lock(&mutex);
    HttpConnection* victim = oldestWaitingVictim();
    if (!victim) return false;
    dismiss(victim, &HttpConnection::evict);
    return true;
}

void HttpCapacity::dismiss(HttpConnection* victim, void (HttpConnection::*how)())
{
    leave(victim);
    // While we hold the lock the victim cannot finish leaving, so it is alive here; a connection
    // of another thread is told through its event loop.
    if (victim->thread() == QThread::currentThread())
        (victim->*how)();
    else
        QMetaObject::invokeMethod(victim, how, Qt::QueuedConnection);
}

bool HttpCapacity::makeRoom(const QHostAddress& address, bool anyWaiting)
{
    QMutexLocker lock(&mutex);
    HttpConnection* oldest = oldestWaitingVictim();
    if (oldest && HttpConnection::clock() - oldest->acceptedAt() >= settleTime) return evictOldestWaiting();
    if (evictLagging()) return true;
    if (!address.isNull()) {
        if (HttpConnection* victim = pushOutVictim(address, placesPerAddress)) {
            dismiss(victim, &HttpConnection::pushOut);
            return true;
        }
    }
    return anyWaiting && evictOldestWaiting();
}

void HttpCapacity::suspect(const QHostAddress& address, qint64 now, qint64 ms)
{
    QMutexLocker lock(&mutex);
    if (suspects.size() >= maxSuspects && !suspects.contains(address)) {
        for (auto it = suspects.begin(); it != suspects.end();) {
            if (it.value() <= now)
                it = suspects.erase(it);
            else
                ++it;
        }
        if (suspects.size() >= maxSuspects) return;
    }
    suspects.insert(address, now + ms);
}

bool HttpCapacity::suspected(const QHostAddress& address, qint64 now) const
{
    QMutexLocker lock(&mutex);
    return suspects.value(address, 0) > now;
}

bool HttpCapacity::evictLagging()
{
    QMutexLocker lock(&mutex);
    const qint64 now = HttpConnection::clock();
    HttpConnection* victim = nullptr;
    qint64 since = 0;
    for (auto it = members.cbegin(); it != members.cend(); ++it) {
        const qint64 lagging = it.key()->laggingSince(now);
        if (lagging > 0 && (!victim || lagging < since)) {
            victim = it.key();
            since = lagging;
        }
    }
    if (!victim) return false;
    dismiss(victim, &HttpConnection::giveWay);
    return true;
}

} // namespace QuillonHttpd
