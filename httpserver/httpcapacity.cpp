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

void HttpCapacity::enter(HttpConnection* connection)
{
    QMutexLocker lock(&mutex);
    const quint64 mine = arrival();
    members.insert(connection, mine);
    waiting.insert(mine, connection);
}

void HttpCapacity::headersDone(HttpConnection* connection)
{
    QMutexLocker lock(&mutex);
    const auto it = members.constFind(connection);
    if (it != members.constEnd()) waiting.remove(it.value());
}

void HttpCapacity::leave(HttpConnection* connection)
{
    QMutexLocker lock(&mutex);
    const auto it = members.find(connection);
    if (it == members.end()) return;
    waiting.remove(it.value());
    members.erase(it);
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

bool HttpCapacity::evictOldestWaiting()
{
    QMutexLocker lock(&mutex);
    if (waiting.isEmpty()) return false;
    dismiss(waiting.first(), &HttpConnection::evict);
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

bool HttpCapacity::makeRoom()
{
    QMutexLocker lock(&mutex);
    if (!waiting.isEmpty() && HttpConnection::clock() - waiting.first()->acceptedAt() >= settleTime)
        return evictOldestWaiting();
    return evictLagging() || evictOldestWaiting();
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
