#pragma once
// The runner that shares the main thread and the report places among the callers that ask for
// reports.

#include "api_reports_job.h"

#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariant>
#include <array>
#include <deque>
#include <functional>
#include <limits>
#include <memory>

// Who asks for a report, as far as its places go: callers whose rights hold a command right
// ("control", "settings", "special" or "_b_admin"), callers with "view" alone, and callers with
// no right at all (the diagnostics, where they are open to anyone). The tries go round the kinds
// in this order.
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
// The main thread is shared: after each slice (of a report with a place, or of a try) the event
// loop is left free for at least `rest_share` of that slice while other work waits (sockets,
// timers, queued calls: events the loop delivers to others than the runner between the slices);
// with nothing else pending the next slice follows at once. The tries of new reports take at most
// one slice per round of the reports with places, those of waiting reports at most every other
// turn. The reports waiting only for their tries are kept by kind as the entries are (8 of command
// callers, 48 of `view` callers, 8 of callers without a right), and the tries' turns go round the
// kinds that have one due: a report worth a try has its kind's turn wherever it waits (for a place
// or only for its tries), and a new report's try is its kind's turn, never another's that waits
// for one. A crowd of one kind fills its own share and waits its own turns.
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
    // Reports that found neither a place nor room to wait and wait only for their tries
    // (try_later), all callers together; split by kind as the entries are.
    static constexpr int max_try_waiting = 64;
    // The slices such a report has before it is refused: a loaded machine may take more than one
    // for a report of one modem.
    static constexpr int try_slices_max = 3;
    static constexpr qint64 memory_max = qint64(256) << 20;
    static constexpr qint64 memory_kept = qint64(64) << 20;
    // The share of each slice the event loop is left free afterwards; tests on a clock of their
    // own set 0.
    static double rest_share;

    explicit report_runner(QObject* parent = nullptr);
    ~report_runner() override;

    // What a report of `caller`, of `kind`, may have now: one rule for every road in (a new
    // report, a waiting one given a place, a waiting one tried).
    //  - A place: the caller holds none and is sent no answer, a place of its kind is free, and
    //    the answers being built (each counted at `report_job::answer_max`) and sent leave room
    //    for one more within the kind's memory.
    //  - A try, the one slice that may answer a report at once: the caller holds no place, waits
    //    for none before it and is sent no answer; its last try answered, or that report had a
    //    place since, or `wait_max_ms` passed; the tries have not had their slice of this round,
    //    the rest after the last slice is over, and no report of a kind before it in the round
    //    waits for a try. Its answer counts against the kind's memory as a place's does
    //    (try_first). A waiting report has its one try in its kind's turn (next_try).
    //  - Room to wait: the caller waits for fewer than `max_waiting_per_caller`, and its kind has
    //    an entry free, or (for a caller that waits for nothing) another caller of its kind waits
    //    for two or more: its newest entry is given up for this one.
    //  - Else, a try later: the caller, not barred from tries, waits for nothing and its kind's
    //    share of the `max_try_waiting` tries has room; the report (of at most `try_units_max`
    //    units) has its tries in its kind's next turns, and is refused if they do not answer it.
    // A report is refused (refuse_now) before any work only when it may have none of these.
    struct admission
    {
        bool place = false;
        bool kept = false; // the place is the one kept for command callers
        bool try_now = false;
        bool wait = false;
        bool try_later = false;
        bool any() const { return place || try_now || wait || try_later; }
    };
    admission admits(const QString& caller, report_caller kind) const { return rule(caller, kind, nullptr); }
    // A one-slice try of `job` for `caller`, made now that admits() allowed it: its time is noted
    // for the turns. An answer held while sent (above `unheld_max`) that would take the answers
    // sent and built past the kind's memory is refused instead, and counts as a try that did not
    // answer. True when the job is finished (answered or refused).
    bool try_first(report_job& job, const QString& caller, report_caller kind);
    // Reports of more units than a first piece serves are not tried: one slice does not answer
    // them, and their tries would take the slice of those it does.
    static constexpr int try_units_max = 16;
    static bool worth_a_try(const report_job& job) { return job.units() <= try_units_max; }
    // Answers no larger leave with their reply's first piece: they are not held.
    static constexpr qint64 unheld_max = 64 * 1024;
    // The refusal of a report of `caller` that found no room (`why`, as its log line says it, or
    // before any work): what it met, its kind's places and entries taken.
    QVariant refusal(const QString& caller, report_caller kind, const char* why = "no room to wait") const;
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
        bool kept = false;    // holds the place kept for command callers
        bool tried = false;   // had its one slice while waiting
        bool for_try = false; // admitted only for its tries
        int slices = 0;       // the slices it had so
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
    // The entries of `kind` that wait for a place, or (`for_try`) only for their tries.
    int waiting_of(report_caller kind, bool for_try = false) const;
    // The rule of admits(), for a new report (`self` null) or a waiting one.
    admission rule(const QString& caller, report_caller kind, const entry* self) const;
    // Whether the answers sent and built (each at its bound) leave `more` bytes for `kind`.
    bool memory_room(report_caller kind, qint64 more) const;
    // The newest entry of the caller of `kind` that waits for the most reports, two or more
    // (never `caller`'s): it gives way to a caller that waits for nothing.
    std::deque<entry>::iterator displaced(const QString& caller, report_caller kind);
    std::deque<entry>::const_iterator displaced(const QString& caller, report_caller kind) const;
    // A try that did not answer: no other for its caller until `ticket` has had a place or
    // `wait_max_ms` passed.
    void bar_tries(const QString& caller, quint64 ticket);
    bool try_barred(const QString& caller) const;
    // Notes a try's slice for the turns, bars its caller when it did not answer and refuses an
    // answer past the memory; true when the job is finished.
    // `goes_on`: a report not answered is tried again (among the tries waiting), not barred yet.
    bool after_try(report_job& job, const QString& caller, report_caller kind, quint64 ticket, qint64 start,
                   bool goes_on);
    // Refuses the waiting reports past their bound and gives the free places out.
    void admit();
    void schedule();
    void turn();
    // The waiting report to try in this turn, of the kind next in the round, or the end of the
    // queue.
    std::deque<entry>::iterator next_try();
    // Per kind, the index in the queue of its first report due a try, or -1.
    std::array<int, 3> tries_due() const;
    // The kind whose turn the next try is, of those with a report due one; `fallback` when none.
    report_caller next_try_kind(report_caller fallback) const;
    void rested_after(qint64 slice_start);
    // Counts the events of other work, which start the rest due after the last slice.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void finished(entry e);
    void refuse_busy(entry& e, const char* why) const;
    void refuse_busy_job(report_job& job, const QString& caller, report_caller kind, const char* why) const;
    // The kind's places and entries as a refusal names them.
    QString met(report_caller kind) const;
    // The places the running reports hold: shared ones, those of anonymous callers among them,
    // and whether the command callers' kept place is taken.
    struct taken
    {
        int shared = 0, anonymous = 0;
        bool kept = false;
    };
    taken places_taken() const;
    // Entries of `kind` that may wait at once, for a place or only for their tries.
    static int waiting_room(report_caller kind);
    static int try_room(report_caller kind) { return waiting_room(kind) * max_try_waiting / max_waiting; }

    std::deque<entry> active;
    std::deque<entry> queue;
    // When each caller with a report here last got a place: the longest without one goes first.
    QMap<QString, qint64> granted;
    struct barred_try
    {
        quint64 ticket; // 0: the report was refused
        qint64 until;
    };
    QMap<QString, barred_try> barred;
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
    bool last_was_try = false; // the last turn was a try
    QString just_tried;        // the caller whose try_first did not answer, until its take()
    // The kind whose try came last: the next try goes to the next kind with one waiting.
    report_caller last_try_kind = report_caller::anonymous;
    bool try_spent() const { return !active.empty() && turns_since_try < int(active.size()); }
};
