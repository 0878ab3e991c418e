#pragma once
// An event dispatcher for Linux built on epoll. Qt 5's own dispatchers hand every registered
// socket to poll() on each pass of the loop, so a thread holding thousands of idle or stalled
// connections pays for all of them on every event; here a pass costs what is ready, and timers sit
// in a heap instead of a sorted list.
//
// Install it before the application object: QCoreApplication::setEventDispatcher(new
// EpollDispatcher). It serves the thread that creates it.

#include <QAbstractEventDispatcher>
#include <QAtomicInt>
#include <unordered_map>
#include <vector>

class EpollDispatcher : public QAbstractEventDispatcher
{
    Q_OBJECT
public:
    explicit EpollDispatcher(QObject* parent = nullptr);
    ~EpollDispatcher() override;

    // False when the kernel refused the epoll instance; the application should use Qt's own then.
    bool isValid() const { return epollFd >= 0 && wakeFd >= 0; }

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    bool hasPendingEvents() override;

    void registerSocketNotifier(QSocketNotifier* notifier) override;
    void unregisterSocketNotifier(QSocketNotifier* notifier) override;

    void registerTimer(int timerId, int interval, Qt::TimerType timerType, QObject* object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject* object) override;
    QList<TimerInfo> registeredTimers(QObject* object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;
    void interrupt() override;
    void flush() override {}

    // Registered sockets and timers, for tests.
    int socketCount() const { return int(sockets.size()); }
    int timerCount() const { return int(timers.size()); }

private:
    struct Socket
    {
        QSocketNotifier* notifiers[3] = {nullptr, nullptr, nullptr}; // Read, Write, Exception
        bool inEpoll = false;
        bool alwaysReady = false; // a file epoll cannot watch: as poll() does, always ready
        // Carried by the registration's events: epoll keeps watching a description closed under
        // its number while a copy of it lives (a child's, a dup), and an event of that one must
        // not reach the notifier of whatever reuses the number.
        quint32 stamp = 0;
    };
    struct Timer
    {
        QObject* object = nullptr;
        qint64 deadline = 0; // microseconds on the monotonic clock: never due before its interval
        int interval = 0;
        Qt::TimerType type = Qt::CoarseTimer;
        quint64 serial = 0;  // tells a timer from a later one given the same id
        quint64 pass = 0;    // the last pass that fired it: a zero interval fires once a pass
        bool inSlot = false; // its event is being delivered: it does not fire again until it returns
    };
    struct Due
    {
        qint64 deadline;
        int id;
        quint64 serial;
        bool operator>(const Due& o) const { return deadline > o.deadline; }
    };

    bool watchWakeUp(int epoll);
    void updateEpoll(int fd, Socket& socket);
    // A new epoll instance holding only the current registrations, which drops those of closed
    // descriptions that no epoll_ctl can name any more.
    void rebuildEpoll();
    int activateSockets(const void* readyEvents, int ready); // epoll_event[ready]
    int activateTimers();
    // Milliseconds until the first live timer is due, rounded up, or -1 without one.
    int nextTimeout();
    void pushDue(int id, const Timer& timer);
    void popDue();
    void rebuildHeap();

    int epollFd = -1;
    int wakeFd = -1;
    QAtomicInt woken;
    QAtomicInt interrupted;
    std::unordered_map<int, Socket> sockets;
    int alwaysReadyCount = 0;
    std::unordered_map<int, Timer> timers;
    std::unordered_map<QObject*, std::vector<int>> timersOf;
    std::vector<Due> heap; // may hold entries of timers since gone; checked when popped
    quint64 serials = 0;
    quint64 passes = 0;
    quint32 stamps = 0;
};
