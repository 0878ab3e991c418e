#pragma once
// Keeps one kind of repeated line from flooding the log or pushing its history out through
// rotation: an outage that repeats the same error every second, or lines that outside input
// can make as often as it likes.

#include "logger.h"

#include <QString>
#include <QtGlobal>
#include <atomic>
#include <functional>
#include <memory>

class log_limiter
{
public:
    // The first `burst` lines of a window of `window_ms` pass. Once a line was left out, a window
    // of a second or less still lets its steady allowance pass (5 lines a second, at most
    // `burst`), however long the flood, so that no flood keeps a kind out of the log; a longer
    // window (reminders of an outage) lets none pass. The burst comes back after a whole window
    // without a line left out. Each window that left lines out is summarised in one line at
    // `level`: "<kind>: N more like it left out in S s".
    log_limiter(QString kind, int level, int burst, qint64 window_ms);
    ~log_limiter();
    log_limiter(const log_limiter&) = delete;
    log_limiter& operator=(const log_limiter&) = delete;

    // True: the caller writes its line now. False: the line was counted.
    bool pass();
    // The same for a line of `line_level`: false, and nothing counted, when the log would not
    // take that line anyway.
    bool pass(int line_level);
    // Ends an outage: summarises what was left out and starts afresh, so that the next line is
    // a first one again. True when a line had passed or been counted since the last end(): the
    // caller then writes its own line saying the outage is over.
    bool end();
    // Writes the summary now if lines were left out.
    void flush();
    // Lines counted since the last summary.
    qint64 left_out() const;
    // Monotonic milliseconds; tests step it by hand.
    void set_clock(std::function<qint64()> monotonic_ms);

    // Lines a second a flooded kind still lets pass.
    static constexpr int steady_per_second = 5;

    struct state;

private:
    std::shared_ptr<state> d;
};

// A logging call with a limiter of its own, one per call site, made on first use: the first
// lines of a second pass, the rest are counted and summarised at the line's level. For lines
// that outside input can repeat as often as it likes. Usage:
//   LOG_LIMITED(LVL_EXC, "nothing to send") << modem << why;
namespace log_detail {
// Lines a LOG_LIMITED call site lets pass a second before it counts the rest (20), read when the
// site logs for the first time; tests that expect every line raise it first.
extern std::atomic<int> limited_burst;
} // namespace log_detail
#define LOG_LIMITED(lvl, kind)                                                                               \
    for (bool strova_log_once_ = log_passes(lvl) && []() -> log_limiter& {                                   \
             static log_limiter strova_lim_(QStringLiteral(kind), lvl,                                       \
                                            log_detail::limited_burst.load(std::memory_order_relaxed),       \
                                            1000);                                                           \
             return strova_lim_;                                                                             \
         }()                                                                                                 \
                                                                .pass();                                     \
         strova_log_once_; strova_log_once_ = false)                                                         \
    log_detail::line(lvl, __FILE__, __LINE__)
