#pragma once
// How many rows a report over a window will answer, counted ahead of its reads.

#include <QHash>
#include <QList>
#include <QSet>
#include <cstdint>
#include <functional>

// The rows a report of many modems will answer over one window, counted ahead so that an answer
// that cannot fit is refused before it is built, without reading the rows' pages a second time.
// The server's estimate from the (type, ts) key tells first whether the window holds rows enough
// to matter: if not, nothing is counted (the answer's own size still bounds it). Otherwise a report
// of a good share of the modems, or of a window with few rows for its modems, counts each modem's
// rows from that key, a piece of the window per call; a report of a few modems among many counts
// modem by modem, through `per_modem`, as before.
class window_count
{
public:
    // `want_counts`: each modem's count is worth its cost when the window is thin (the report
    // then reads nothing for the modems without rows).
    window_count(bool events, QList<uint32_t> kinds, uint32_t from, uint32_t to, uint32_t cap,
                 bool want_counts);
    // As report_job::count for the modems of `modems` from `at` on.
    qint64 count(const QList<uint32_t>& modems, int at, int want, qint64 row_bytes, int& done,
                 const std::function<qint64(int&)>& per_modem);
    // Whether the modem is known to have no rows in the window.
    bool none_of(uint32_t modem) const { return mode == by_key && !counts.contains(modem); }
    // Whether the modem is known to hold more rows in the window than its limit.
    bool past_limit(uint32_t modem) const { return mode == by_key && counts.value(modem) > cap; }
    // A window left uncounted is to be counted from the next call on, as one near the bound is:
    // true when it was left uncounted.
    bool exact();

private:
    enum { undecided, nothing, by_key, by_modem } mode = undecided;
    void decide(const QList<uint32_t>& modems, qint64 row_bytes);
    const bool events;
    const QList<uint32_t> kinds;
    const uint32_t from, to, cap;
    const bool want_counts;
    bool forced = false;
    quint64 piece_s = 0; // the window's piece a statement counts
    quint64 next_from = 0;
    QHash<uint32_t, uint32_t> counts; // of the report's modems with rows
    QSet<uint32_t> asked;             // the report's modems, once a piece has rows
};
