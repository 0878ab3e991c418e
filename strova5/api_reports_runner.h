#pragma once
// The runner that shares the main thread and the report places among the callers that ask for
// reports.

#include "api_reports_job.h"

#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariant>
#include <deque>
#include <functional>
#include <limits>
#include <memory>

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
// report is tried for) the event loop is left free for at least `rest_share` of that slice while
// other work waits (sockets, timers, queued calls: events the loop delivers to others than the
// runner between the slices), and the tries of all callers together take at most one slice per
// round of the reports with places. With nothing else pending the next slice follows at once.
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
    // Counts the events of other work, which start the rest due after the last slice.
    bool eventFilter(QObject* watched, QEvent* event) override;
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
    // The rest the last slice earned, taken once other work shows up before the next one.
    qint64 rest_due = std::numeric_limits<qint64>::min();
    // Turns of reports with places since the last try: the tries have one slice a round of them.
    int turns_since_try = max_running;
    bool try_spent() const { return !active.empty() && turns_since_try < int(active.size()); }
};
