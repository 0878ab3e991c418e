#include "epoll_dispatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimerEvent>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <functional>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

// Exported by QtCore, and what Qt's own dispatchers answer.
Q_CORE_EXPORT uint qGlobalPostedEventsCount();

namespace {

const int maxEventsAPass = 256;

qint64 nowUs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Microseconds to milliseconds, rounded up: a wait ends at the deadline or after it, never before.
qint64 upToMs(qint64 us)
{
    return (us + 999) / 1000;
}

// An event's registration: the descriptor's number in the low half, its stamp in the high one.
quint64 key(int fd, quint32 stamp)
{
    return (quint64(stamp) << 32) | quint32(fd);
}
int keyFd(quint64 k)
{
    return int(quint32(k));
}
quint32 keyStamp(quint64 k)
{
    return quint32(k >> 32);
}

} // namespace

EpollDispatcher::EpollDispatcher(QObject* parent) : QAbstractEventDispatcher(parent)
{
    epollFd = epoll_create1(EPOLL_CLOEXEC);
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epollFd < 0 || wakeFd < 0) {
        qWarning("EpollDispatcher: no epoll instance: %s", strerror(errno));
        return;
    }
    if (!watchWakeUp(epollFd)) {
        close(wakeFd);
        wakeFd = -1;
    }
}

bool EpollDispatcher::watchWakeUp(int epoll)
{
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = key(wakeFd, 0);
    if (epoll_ctl(epoll, EPOLL_CTL_ADD, wakeFd, &ev) == 0) return true;
    qWarning("EpollDispatcher: the wake-up descriptor cannot be watched: %s", strerror(errno));
    return false;
}

EpollDispatcher::~EpollDispatcher()
{
    if (wakeFd >= 0) close(wakeFd);
    if (epollFd >= 0) close(epollFd);
}

bool EpollDispatcher::hasPendingEvents()
{
    return qGlobalPostedEventsCount() > 0;
}

// ---- sockets

void EpollDispatcher::registerSocketNotifier(QSocketNotifier* notifier)
{
    const int fd = int(notifier->socket());
    const int type = notifier->type();
    if (fd < 0 || type < 0 || type > 2) return;
    Socket& socket = sockets[fd];
    if (socket.notifiers[type] && socket.notifiers[type] != notifier)
        qWarning("EpollDispatcher: a second notifier of one type for socket %d replaces the first", fd);
    socket.notifiers[type] = notifier;
    updateEpoll(fd, socket);
}

void EpollDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier)
{
    const int fd = int(notifier->socket());
    const int type = notifier->type();
    const auto it = sockets.find(fd);
    if (it == sockets.end() || type < 0 || type > 2 || it->second.notifiers[type] != notifier) return;
    Socket& socket = it->second;
    socket.notifiers[type] = nullptr;
    if (socket.notifiers[0] || socket.notifiers[1] || socket.notifiers[2]) {
        updateEpoll(fd, socket);
        return;
    }
    // The descriptor may be closed already, which has taken it out of the set: no error to report.
    if (socket.inEpoll) epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
    if (socket.alwaysReady) --alwaysReadyCount;
    sockets.erase(it);
}

void EpollDispatcher::updateEpoll(int fd, Socket& socket)
{
    if (socket.alwaysReady || epollFd < 0) return;
    epoll_event ev{};
    ev.events = (socket.notifiers[QSocketNotifier::Read] ? EPOLLIN : 0u) |
                (socket.notifiers[QSocketNotifier::Write] ? EPOLLOUT : 0u) |
                (socket.notifiers[QSocketNotifier::Exception] ? EPOLLPRI : 0u);
    if (!socket.inEpoll) socket.stamp = ++stamps;
    ev.data.u64 = key(fd, socket.stamp);
    int done = epoll_ctl(epollFd, socket.inEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev);
    // A descriptor closed and opened again under the same number while it was registered: a new
    // description, a new stamp.
    if (done < 0 && (errno == ENOENT || errno == EEXIST)) {
        socket.stamp = ++stamps;
        ev.data.u64 = key(fd, socket.stamp);
        done = epoll_ctl(epollFd, errno == ENOENT ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &ev);
    }
    if (done == 0) {
        socket.inEpoll = true;
        return;
    }
    if (errno == EPERM) {
        // A regular file or the like: poll() calls it always ready, and so does this.
        socket.inEpoll = false;
        socket.alwaysReady = true;
        ++alwaysReadyCount;
        return;
    }
    qWarning("EpollDispatcher: socket %d cannot be watched: %s", fd, strerror(errno));
}

int EpollDispatcher::activateSockets(const void* readyEvents, int ready)
{
    struct Activation
    {
        int fd;
        int type;
        QSocketNotifier* notifier;
    };
    std::vector<Activation> due;
    bool stale = false;
    const auto* events = static_cast<const epoll_event*>(readyEvents);
    for (int i = 0; i < ready; ++i) {
        const quint64 k = events[i].data.u64;
        if (k == key(wakeFd, 0)) continue;
        const int fd = keyFd(k);
        const auto it = sockets.find(fd);
        // Of a description no longer ours: its number may name another one by now.
        if (it == sockets.end() || !it->second.inEpoll || it->second.stamp != keyStamp(k)) {
            stale = true;
            continue;
        }
        const Socket& socket = it->second;
        const quint32 e = events[i].events;
        const bool broken = e & (EPOLLERR | EPOLLHUP);
        bool any = false;
        if (socket.notifiers[QSocketNotifier::Read] && (broken || (e & (EPOLLIN | EPOLLRDHUP)))) {
            due.push_back({fd, QSocketNotifier::Read, socket.notifiers[QSocketNotifier::Read]});
            any = true;
        }
        if (socket.notifiers[QSocketNotifier::Write] && (broken || (e & EPOLLOUT))) {
            due.push_back({fd, QSocketNotifier::Write, socket.notifiers[QSocketNotifier::Write]});
            any = true;
        }
        if (socket.notifiers[QSocketNotifier::Exception] && (broken || (e & EPOLLPRI) || !any))
            due.push_back({fd, QSocketNotifier::Exception, socket.notifiers[QSocketNotifier::Exception]});
    }
    if (alwaysReadyCount > 0) {
        for (const auto& [fd, socket] : sockets) {
            if (!socket.alwaysReady) continue;
            for (int type : {QSocketNotifier::Read, QSocketNotifier::Write}) {
                if (socket.notifiers[type]) due.push_back({fd, type, socket.notifiers[type]});
            }
        }
    }
    // Level-triggered, a stale registration would wake every pass: it goes before the next one.
    if (stale) rebuildEpoll();
    int delivered = 0;
    for (const Activation& a : due) {
        // An earlier notifier's slot may have removed or replaced this one.
        const auto it = sockets.find(a.fd);
        if (it == sockets.end() || it->second.notifiers[a.type] != a.notifier) continue;
        QEvent event(QEvent::SockAct);
        QCoreApplication::sendEvent(a.notifier, &event);
        ++delivered;
    }
    return delivered;
}

void EpollDispatcher::rebuildEpoll()
{
    const int fresh = epoll_create1(EPOLL_CLOEXEC);
    if (fresh < 0) {
        qWarning("EpollDispatcher: no new epoll instance: %s", strerror(errno));
        return;
    }
    if (!watchWakeUp(fresh)) {
        close(fresh);
        return;
    }
    close(epollFd);
    epollFd = fresh;
    for (auto& [fd, socket] : sockets) {
        if (!socket.inEpoll) continue;
        socket.inEpoll = false;
        updateEpoll(fd, socket);
    }
}

// ---- timers

void EpollDispatcher::pushDue(int id, const Timer& timer)
{
    heap.push_back({timer.deadline, id, timer.serial});
    std::push_heap(heap.begin(), heap.end(), std::greater<Due>());
}

void EpollDispatcher::popDue()
{
    std::pop_heap(heap.begin(), heap.end(), std::greater<Due>());
    heap.pop_back();
}

void EpollDispatcher::registerTimer(int timerId, int interval, Qt::TimerType timerType, QObject* object)
{
    if (timerId <= 0 || interval < 0 || !object) return;
    Timer& timer = timers[timerId];
    if (timer.object) {
        // Qt hands out each id once until it is released; keep the index true if it ever does not.
        auto& ids = timersOf[timer.object];
        ids.erase(std::remove(ids.begin(), ids.end(), timerId), ids.end());
    }
    timer.object = object;
    timer.interval = interval;
    timer.type = timerType;
    timer.deadline = nowUs() + qint64(interval) * 1000;
    timer.inSlot = false;
    timer.serial = ++serials;
    timer.pass = 0;
    timersOf[object].push_back(timerId);
    pushDue(timerId, timer);
    // Entries of timers since gone are dropped as they come up; rebuild when they pile up.
    if (heap.size() > 2 * timers.size() + 1024) rebuildHeap();
}

void EpollDispatcher::rebuildHeap()
{
    heap.clear();
    for (const auto& [id, t] : timers) {
        // A timer in its slot is out of the heap until the slot returns.
        if (!t.inSlot) heap.push_back({t.deadline, id, t.serial});
    }
    std::make_heap(heap.begin(), heap.end(), std::greater<Due>());
}

bool EpollDispatcher::unregisterTimer(int timerId)
{
    const auto it = timers.find(timerId);
    if (it == timers.end()) return false;
    const auto owner = timersOf.find(it->second.object);
    if (owner != timersOf.end()) {
        auto& ids = owner->second;
        ids.erase(std::remove(ids.begin(), ids.end(), timerId), ids.end());
        if (ids.empty()) timersOf.erase(owner);
    }
    timers.erase(it);
    return true;
}

bool EpollDispatcher::unregisterTimers(QObject* object)
{
    const auto owner = timersOf.find(object);
    if (owner == timersOf.end()) return false;
    for (int id : owner->second)
        timers.erase(id);
    timersOf.erase(owner);
    return true;
}

QList<QAbstractEventDispatcher::TimerInfo> EpollDispatcher::registeredTimers(QObject* object) const
{
    QList<TimerInfo> out;
    const auto owner = timersOf.find(object);
    if (owner == timersOf.end()) return out;
    for (int id : owner->second) {
        const Timer& t = timers.at(id);
        out << TimerInfo(id, t.interval, t.type);
    }
    return out;
}

int EpollDispatcher::remainingTime(int timerId)
{
    const auto it = timers.find(timerId);
    if (it == timers.end()) return -1;
    return int(qBound<qint64>(0, upToMs(it->second.deadline - nowUs()), INT_MAX));
}

int EpollDispatcher::nextTimeout()
{
    while (!heap.empty()) {
        const Due& d = heap.front();
        const auto it = timers.find(d.id);
        if (it == timers.end() || it->second.serial != d.serial || it->second.deadline != d.deadline) {
            popDue();
            continue;
        }
        return int(qBound<qint64>(0, upToMs(d.deadline - nowUs()), INT_MAX));
    }
    return -1;
}

int EpollDispatcher::activateTimers()
{
    if (heap.empty()) return 0;
    const qint64 now = nowUs();
    const quint64 pass = ++passes;
    // Timers started during the pass (a slot restarting its own) wait for the next one.
    const quint64 startedBefore = serials;
    std::vector<Due> nextPass;
    int fired = 0;
    while (!heap.empty() && heap.front().deadline <= now) {
        const Due d = heap.front();
        popDue();
        auto it = timers.find(d.id);
        if (it == timers.end() || it->second.serial != d.serial || it->second.deadline != d.deadline ||
            it->second.inSlot)
            continue;
        Timer& timer = it->second;
        if (timer.pass == pass || timer.serial > startedBefore) {
            nextPass.push_back(d);
            continue;
        }
        timer.pass = pass;
        const qint64 interval = qint64(timer.interval) * 1000;
        timer.deadline += interval;
        if (timer.deadline < now) timer.deadline = now + interval;
        timer.inSlot = true;
        // As Qt's own: a zero timer is no event, so processEvents(flags, maxtime) may return.
        if (timer.interval > 0) ++fired;
        // Out of the heap while its event is delivered, so that a loop run from its own slot does
        // not fire it again, however the heap is rebuilt meanwhile; back in afterwards, unless the
        // slot stopped it.
        QTimerEvent event(d.id);
        QCoreApplication::sendEvent(timer.object, &event);
        it = timers.find(d.id);
        if (it != timers.end() && it->second.serial == d.serial) {
            it->second.inSlot = false;
            pushDue(d.id, it->second);
        }
    }
    for (const Due& d : nextPass) {
        heap.push_back(d);
        std::push_heap(heap.begin(), heap.end(), std::greater<Due>());
    }
    return fired;
}

// ---- the loop

void EpollDispatcher::wakeUp()
{
    if (wakeFd >= 0 && woken.testAndSetAcquire(0, 1)) {
        const quint64 one = 1;
        ssize_t written;
        do {
            written = write(wakeFd, &one, sizeof one);
        } while (written < 0 && errno == EINTR);
    }
}

void EpollDispatcher::interrupt()
{
    interrupted.storeRelaxed(1);
    wakeUp();
}

bool EpollDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    interrupted.storeRelaxed(0);
    emit awake();
    QCoreApplication::sendPostedEvents();

    const bool includeTimers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool includeSockets = !(flags & QEventLoop::ExcludeSocketNotifiers);
    const bool canWait = (flags & QEventLoop::WaitForMoreEvents) && !interrupted.loadRelaxed();
    if (canWait) emit aboutToBlock();
    if (interrupted.loadRelaxed()) return false;

    int timeout = 0;
    if (canWait) {
        timeout = includeTimers ? nextTimeout() : -1;
        if (includeSockets && alwaysReadyCount > 0) timeout = 0;
    }

    epoll_event events[maxEventsAPass];
    int ready = 0;
    bool wake = false;
    if (includeSockets) {
        ready = epoll_wait(epollFd, events, maxEventsAPass, timeout);
        if (ready < 0) ready = 0; // EINTR: a signal; the pass goes on with the timers
        for (int i = 0; i < ready; ++i)
            wake = wake || events[i].data.u64 == key(wakeFd, 0);
    } else {
        // Ready sockets would end every wait at once: wait on the wake-up descriptor alone.
        pollfd one{wakeFd, POLLIN, 0};
        wake = poll(&one, 1, timeout) > 0;
    }
    if (wake) {
        quint64 count;
        while (read(wakeFd, &count, sizeof count) > 0) {
        }
        woken.storeRelease(0);
    }

    int handled = wake ? 1 : 0;
    if (includeSockets) handled += activateSockets(events, ready);
    if (includeTimers) handled += activateTimers();
    return handled > 0;
}
