#include "log_limiter.h"

#include "logger.h"

#include <QAbstractEventDispatcher>
#include <QThread>
#include <QTimer>
#include <mutex>
#include <chrono>

std::atomic<int> log_detail::limited_burst{20};

struct log_limiter::state
{
    QString kind;
    int level = LVL_WRN;
    int burst = 1;
    int steady = 0; // lines a window lets pass while a flood lasts
    qint64 window_ms = 1000;
    std::function<qint64()> now;

    // A standard mutex: the thread checker sees it (a limiter may serve several threads).
    mutable std::mutex mutex;
    bool active = false;   // a window is open
    bool in_burst = false; // a line was left out and no quiet window followed yet: the steady
                           // allowance, not the burst, is what passes
    bool armed = false;    // a timer will close the window
    qint64 start = 0;
    int passed = 0;
    qint64 left = 0;

    void summarise(qint64 elapsed_ms)
    {
        if (left == 0) return;
        const qint64 seconds = (elapsed_ms + 999) / 1000;
        log_write(level * 16,
                  QStringLiteral("%1: %2 more like it left out in %3 s").arg(kind).arg(left).arg(seconds));
        left = 0;
    }

    // Closes the window when its time is up.
    void roll(qint64 t)
    {
        if (!active || t - start < window_ms) return;
        // A window that left nothing out, whether seen or passed over since, ends the burst.
        const bool quiet = left == 0 || t - start >= 2 * window_ms;
        summarise(qMin(t - start, window_ms));
        if (quiet) {
            active = false;
            in_burst = false;
        } else {
            // The windows of a flood keep their pace: each second of it gets its allowance.
            start += (t - start) / window_ms * window_ms;
        }
        passed = 0;
    }
};

static qint64 steady_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

log_limiter::log_limiter(QString kind, int level, int burst, qint64 window_ms) : d(std::make_shared<state>())
{
    d->kind = std::move(kind);
    d->level = level;
    d->burst = qMax(0, burst);
    d->window_ms = qMax<qint64>(1, window_ms);
    if (d->window_ms <= 1000) {
        const qint64 per_window = (steady_per_second * d->window_ms + 999) / 1000;
        d->steady = int(qMin<qint64>(d->burst, per_window));
    }
    d->now = steady_ms;
}

log_limiter::~log_limiter() = default;

bool log_limiter::pass()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    const qint64 t = d->now();
    d->roll(t);
    if (!d->active) {
        d->active = true;
        d->start = t;
        d->passed = 0;
    }
    if (d->passed < (d->in_burst ? d->steady : d->burst)) {
        ++d->passed;
        return true;
    }
    ++d->left;
    d->in_burst = true;
    // Said when the window closes even if no further line comes, where this thread runs an
    // event loop; elsewhere the next line or end() says it.
    if (!d->armed && QAbstractEventDispatcher::instance(QThread::currentThread())) {
        d->armed = true;
        const qint64 due = qBound<qint64>(1, d->window_ms - (t - d->start), d->window_ms);
        std::weak_ptr<state> weak = d;
        QTimer::singleShot(int(qMin<qint64>(due, INT_MAX)), [weak] {
            if (auto s = weak.lock()) {
                std::lock_guard<std::mutex> l(s->mutex);
                s->armed = false;
                s->roll(s->now());
            }
        });
    }
    return false;
}

bool log_limiter::pass(int line_level)
{
    return log_passes(line_level) && pass();
}

bool log_limiter::end()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    const bool was = d->active || d->in_burst;
    d->summarise(qMin(d->now() - d->start, d->window_ms));
    d->active = false;
    d->in_burst = false;
    d->passed = 0;
    return was;
}

void log_limiter::flush()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->summarise(qMin(d->now() - d->start, d->window_ms));
}

qint64 log_limiter::left_out() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->left;
}

void log_limiter::set_clock(std::function<qint64()> monotonic_ms)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->now = monotonic_ms ? std::move(monotonic_ms) : std::function<qint64()>(steady_ms);
}
