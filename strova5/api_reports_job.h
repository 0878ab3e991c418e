#pragma once
// Reports of many modems built a slice at a time.

#include "api_reports.h"
#include "sql_exchange.h"

#include <QList>
#include <QString>
#include <QVariant>
#include <cstdint>
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
    // Who asked (an address or a token's digest), named by the line of a refused report.
    void set_caller(QString name) { caller = std::move(name); }
    // The client left before the answer: one line says so, nothing is answered.
    void abandon();
    // The refusal text of a report not built within `ms` (`of_what` says from when it counts).
    static QString too_long_text(qint64 ms, const char* of_what);
    // The clock's time when the report was asked for; the milliseconds its own steps took.
    qint64 born() const { return started; }
    qint64 busy() const { return busy_ms; }
    const QString& route_name() const { return route; }
    // The units (modems, unless the report says otherwise) it serves.
    int units() const { return total; }
    // The slices (steps) it has had, this one included.
    quint64 slices() const { return slices_had; }
    // Whether its answer comes from the database: one served from the registry alone is answered
    // while the database is away.
    virtual bool reads_database() const { return true; }

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
    // The rows were read without a count (an estimate said they fit) and those built so far
    // foresee an answer past the bound: true when `count` will now count them after all.
    virtual bool count_again() { return false; }
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
    // `busy`: the table the read found locked elsewhere, when known apart from the storage's
    // last failed read (a read shared by several reports).
    void read_failed(const QString& statement, const QString* busy = nullptr);

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
    QString caller;
    const qint64 started;
    qint64 busy_ms = 0;
    quint64 slices_had = 0;
    int next = 0;
    int want = 16;
    bool counting = true;
    qint64 counted = 0;
    bool recounted = false;
    int resume_at = 0; // where serving goes on after a count made midway
    bool done = false;
    QVariant result;
};
