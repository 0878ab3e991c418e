#pragma once
// Reports of many modems built a slice at a time, and the runner that shares the main thread and
// the report places among the callers that ask for them.

#include "api_reports.h"
#include "sql_exchange.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariant>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
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

// Who asks for a report, as far as its places go: callers whose rights hold a command right
// ("control", "settings", "special" or "_b_admin"), callers with "view" alone, and callers with
// no right at all (the diagnostics, where they are open to anyone).
enum class report_caller { command, view, anonymous };

// The long reports in progress, a step of each in turn, each step from its own pass of the event
// loop. A caller (its token, or its address without one) holds at most one of the places at a
// time; its other reports, and everyone's beyond the places, wait their turn in a queue for at
// most `wait_max_ms`. The places and the room to wait are split by kind of caller, so that no
// number of callers of one kind keeps the operator out: one place and 8 entries are kept for
// command callers (whose waiting reports go first), callers without a right hold at most one of
// the other 3 places and 8 entries together, `view` callers share the rest.
//
// Answers count against the memory of the reports until their clients have taken them: a place
// is given only while the answers being built (each counted at `report_job::answer_max`) and
// those being sent stay within `memory_max`, of which `memory_kept` is for command callers, and
// not to a caller whose last answer is still being sent.
//
// The main thread is shared: after each slice (of a report with a place, or the one slice a new
// report is tried for) the event loop is left free for at least `rest_share` of that slice, and
// the tries of all callers together take at most one slice per round of the reports with places.
class report_runner : public QObject
{
    Q_OBJECT
public:
    static constexpr int max_running = 4;
    static constexpr int kept_places = 1;      // for command callers
    static constexpr int anonymous_places = 1; // of the others, for callers without a right
    static constexpr qint64 wait_max_ms = 30000;
    // However its turns fall, a report is answered or refused this long after it was asked.
    static constexpr qint64 wall_max_ms = 4 * report_job::time_max_ms;
    // Reports waiting at once: per caller, and for all callers together.
    static constexpr int max_waiting_per_caller = 4;
    static constexpr int max_waiting = 64;
    static constexpr int kept_waiting = 8;      // of command callers
    static constexpr int anonymous_waiting = 8; // of all callers without a right together
    static constexpr qint64 memory_max = qint64(256) << 20;
    static constexpr qint64 memory_kept = qint64(64) << 20;
    // The share of each slice the event loop is left free afterwards; tests on a clock of their
    // own set 0.
    static double rest_share;

    explicit report_runner(QObject* parent = nullptr);
    ~report_runner() override;

    // Whether a report of `caller` would find a place or room to wait now: a report that would
    // not is refused (refuse_now) before any work is done for it.
    bool admits(const QString& caller, report_caller kind) const;
    // Whether a report of `caller` may be tried at once for the one slice that may answer it:
    // only when the caller holds no place, has no report waiting and no answer being sent, and
    // the tries have not had their slice of this round.
    bool may_try_first(const QString& caller) const;
    // A try took `ms` of the main thread (noted after each try, answered or not).
    void tried(qint64 ms);
    // The refusal of a report that found no room.
    static QVariant refusal();
    // Takes a report that one slice did not answer. `done` is called with the answer (or the
    // refusal) once, maybe before this returns: then the ticket is 0.
    quint64 take(std::unique_ptr<report_job> job, const QString& caller, report_caller kind,
                 std::function<void(QVariant)> done);
    quint64 take(std::unique_ptr<report_job> job, const QString& caller, std::function<void(QVariant)> done)
    {
        return take(std::move(job), caller, report_caller::command, std::move(done));
    }
    // The client of the ticket left: its report ends unanswered and its place is free at once.
    void drop(quint64 ticket);

    // An answer of `bytes` being sent to `caller`: it counts until released (its last byte taken
    // or its connection gone). Returns the key to release it with.
    quint64 hold(const QString& caller, report_caller kind, qint64 bytes);
    void release(quint64 key);

    int running() const { return int(active.size()); }
    int waiting() const { return int(queue.size()); }
    // Bytes of answers being sent.
    qint64 sending() const { return sending_bytes; }

private:
    struct entry
    {
        quint64 ticket = 0;
        QString caller;
        report_caller kind = report_caller::command;
        std::unique_ptr<report_job> job;
        std::function<void(QVariant)> done;
        qint64 queued = 0;
        bool kept = false;  // holds the place kept for command callers
        bool tried = false; // had its one slice while waiting
    };
    struct held_answer
    {
        QString caller;
        report_caller kind;
        qint64 bytes;
    };
    bool holds_place(const QString& caller) const;
    bool is_sending(const QString& caller) const;
    int waiting_of(const QString& caller) const;
    int waiting_of(report_caller kind) const;
    // Whether a report of this kind may take a place now (the caller's own rules aside); `kept`
    // tells which.
    bool place_free(report_caller kind, bool& kept) const;
    bool queue_room(const QString& caller, report_caller kind) const;
    // Refuses the waiting reports past their bound and gives the free places out.
    void admit();
    void schedule();
    void turn();
    // The waiting report to try in this turn, or the end of the queue.
    std::deque<entry>::iterator next_try();
    void rested_after(qint64 slice_start);
    void finished(entry e);
    static void refuse_busy(entry& e, const char* why);

    std::deque<entry> active;
    std::deque<entry> queue;
    // When each caller with a report here last got a place: the longest without one goes first.
    QMap<QString, qint64> granted;
    QMap<quint64, held_answer> held;
    qint64 sending_bytes = 0;
    quint64 tickets = 0;
    quint64 holds = 0;
    QTimer ticker;
    bool posted = false;
    // No slice begins before this time of the clock.
    qint64 rest_until = std::numeric_limits<qint64>::min();
    // Turns of reports with places since the last try: the tries have one slice a round of them.
    int turns_since_try = max_running;
    bool try_spent() const { return !active.empty() && turns_since_try < int(active.size()); }
};
