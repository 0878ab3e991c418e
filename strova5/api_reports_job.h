#pragma once
// Reports of many modems built a slice at a time, and the runner that shares the main thread and
// the report places among the callers that ask for them.

#include "api_reports.h"
#include "sql_exchange.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVariant>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

// A report of many modems built a slice at a time, so that a long one leaves the event loop
// running: each step() works for about `slice_ms`, and the web front serves other requests and
// the radio traffic between steps. A report is refused, with a clear answer, once its answer
// would pass `answer_max` bytes or its own work passes `time_max_ms`.
class report_job
{
public:
    static constexpr qint64 slice_ms = 100;
    static constexpr qint64 time_max_ms = 60000;
    static constexpr qint64 answer_max = qint64(64) << 20;
    // Stored rows one statement reads at most; a modem's own limit is within it.
    static constexpr int slice_rows = 10000;
    // The fewest bytes an answered row takes in any report (a time and a profile code).
    static constexpr qint64 row_bytes_min = 40;
    // Modems of one statement at most: a statement reads up to each modem's limit of rows, so
    // this bounds one statement's time however the modems' sizes change along the list.
    static constexpr int max_want = 256;

    // Monotonic milliseconds; tests replace it.
    static std::function<qint64()> clock;

    report_job(QString route, QList<uint32_t> modems, QString range);
    // A report read in `units` pieces of another kind than modems (`unit` names them in its line).
    report_job(QString route, int units, QString unit, QString range);
    virtual ~report_job() = default;
    // One slice of work; true once the answer is ready.
    bool step();
    // Runs the steps one after the other (callers that need no event loop).
    QVariant run();
    // The report's JSON text, or its refusal (api_refusal).
    const QVariant& answer() const { return result; }
    // The answer handed over, so that the caller holds the only copy of its text.
    QVariant take_answer() { return std::move(result); }
    bool finished() const { return done; }

    // Ends the report with a refusal (`why` goes to its log line).
    void refuse(int status, const QString& text, const char* why);
    // The client left before the answer: one line says so, nothing is answered.
    void abandon();
    // The clock's time when the report was asked for; the milliseconds its own steps took.
    qint64 born() const { return started; }
    qint64 busy() const { return busy_ms; }
    const QString& route_name() const { return route; }

protected:
    // Serves at most `want` modems from `from` on (at least one), appending their entries to
    // `out`; returns how many it served.
    virtual int serve(int from, int want) = 0;
    // The rows the answer will hold, counted for at most `want` modems from `from` on (at least
    // one); how many were counted goes to `done`. Reports that need no count count nothing.
    virtual qint64 count(int from, int want, int& done)
    {
        done = total - from;
        (void)want;
        return 0;
    }
    // The bytes an answered row takes at least, from the columns the route answers.
    virtual qint64 row_bytes() const { return row_bytes_min; }
    // Work before the walk over the modems that may take several steps (the list of modems reads
    // its pieces here): false while more of it remains, and the step ends there.
    virtual bool prepare(qint64 slice_start)
    {
        (void)slice_start;
        return true;
    }
    // The answer once every unit is served: the entries written so far, as a list.
    virtual QVariant conclude() { return out.finish(); }

    // The same range for `want` modems from `from` on.
    QList<modem_range> ranges_of(int from, int want, uint32_t ts_from, uint32_t ts_to) const;
    // A read the report needs was not answered: the report ends with 503 "database not
    // answering" and one limited Exc line naming the statement, cut; never an answer short of
    // the rows stored.
    void read_failed(const QString& statement);

    const QString route;
    const QList<uint32_t> modems;
    const int total; // units to serve: the modems, unless the report says otherwise
    const QString unit;
    report_items::json_list out;
    qint64 rows = 0;     // stored rows read
    qint64 answered = 0; // rows that stand in the answer (the counted ones)

private:
    void finish(QVariant answer, const char* refused);
    void refuse_too_large();
    QString summary() const;
    // Whether the answer, at the bytes per row built so far, will pass the bound.
    bool bound_to_pass() const;
    const QString range;
    const qint64 started;
    qint64 busy_ms = 0;
    int next = 0;
    int want = 16;
    bool counting = true;
    qint64 counted = 0;
    bool done = false;
    QVariant result;
};

// The long reports in progress, a step of each in turn, each step from its own pass of the event
// loop. A caller (its token, or its address without one) holds at most one of the places at a
// time; its other reports, and everyone's beyond the places, wait their turn in a queue for at
// most `wait_max_ms`.
class report_runner : public QObject
{
    Q_OBJECT
public:
    static constexpr int max_running = 4;
    static constexpr qint64 wait_max_ms = 30000;
    // However its turns fall, a report is answered or refused this long after it was asked.
    static constexpr qint64 wall_max_ms = 4 * report_job::time_max_ms;
    // Reports waiting at once: per caller, and for all callers together.
    static constexpr int max_waiting_per_caller = 4;
    static constexpr int max_waiting = 64;

    explicit report_runner(QObject* parent = nullptr);
    ~report_runner() override;

    // Whether a report of `caller` may be tried at once for the one slice that may answer it:
    // only when the caller holds no place and has no report waiting.
    bool may_try_first(const QString& caller) const;
    // Takes a report that one slice did not answer. `done` is called with the answer (or the
    // refusal) once, maybe before this returns: then the ticket is 0.
    quint64 take(std::unique_ptr<report_job> job, const QString& caller, std::function<void(QVariant)> done);
    // The client of the ticket left: its report ends unanswered and its place is free at once.
    void drop(quint64 ticket);

    int running() const { return int(active.size()); }
    int waiting() const { return int(queue.size()); }

private:
    struct entry
    {
        quint64 ticket = 0;
        QString caller;
        std::unique_ptr<report_job> job;
        std::function<void(QVariant)> done;
        qint64 queued = 0;
    };
    bool holds_place(const QString& caller) const;
    int waiting_of(const QString& caller) const;
    // Refuses the waiting reports past their bound and gives the free places out.
    void admit();
    void schedule();
    void turn();
    static void refuse_busy(entry& e, const char* why);

    std::deque<entry> active;
    std::deque<entry> queue;
    // When each caller with a report here last got a place: the longest without one goes first.
    QMap<QString, qint64> granted;
    quint64 tickets = 0;
    bool scheduled = false;
};

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

private:
    enum { undecided, nothing, by_key, by_modem } mode = undecided;
    void decide(const QList<uint32_t>& modems, qint64 row_bytes);
    const bool events;
    const QList<uint32_t> kinds;
    const uint32_t from, to, cap;
    const bool want_counts;
    quint64 piece_s = 0; // the window's piece a statement counts
    quint64 next_from = 0;
    QHash<uint32_t, uint32_t> counts; // of the report's modems with rows
    QSet<uint32_t> asked;             // the report's modems, once a piece has rows
};
