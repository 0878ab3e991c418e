// Reports of many modems in slices, and the places and turns the main thread gives them.
#include "api_reports_job.h"

#include "api_controller.h"
#include "log_limiter.h"
#include "logger.h"
#include "ram_modems.h"

#include <QTimer>
#include <chrono>
#include <limits>
#include <malloc.h>

namespace {

// One line per report, whatever its size or fate: clients that repeat reports are counted
// beyond a burst.
log_limiter& report_lines()
{
    static log_limiter lim(QStringLiteral("report"), LVL_NTC, 50, 1000);
    return lim;
}

QString too_long_text(qint64 ms, const char* of_what)
{
    return QStringLiteral(
               "report too long: not built within %1 s%2; ask for fewer modems or a shorter period")
        .arg(ms / 1000)
        .arg(QLatin1String(of_what));
}

} // namespace

std::function<qint64()> report_job::clock = [] {
    return qint64(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
};

report_job::report_job(QString route_, QList<uint32_t> modems_, QString range_)
    : route(std::move(route_)), modems(std::move(modems_)), total(modems.size()),
      unit(QStringLiteral("modems")), range(std::move(range_)), started(clock())
{
    counting = total > 0;
}

report_job::report_job(QString route_, int units, QString unit_, QString range_)
    : route(std::move(route_)), total(qMax(0, units)), unit(std::move(unit_)), range(std::move(range_)),
      started(clock())
{
    counting = total > 0;
}

bool report_job::bound_to_pass() const
{
    // Judged once enough rows stand in the answer to tell their size; a tenth of room is left
    // for the rows that come out smaller than those so far.
    if (counted <= 0 || answered < 1000 || counted <= answered) return false;
    const double per_row = double(out.size()) / double(answered);
    return double(out.size()) + double(counted - answered) * per_row > double(answer_max) * 1.1;
}

bool report_job::step()
{
    if (done) return true;
    const qint64 slice_start = clock();
    const auto worked = [&] { return clock() - slice_start; };
    if (!prepare(slice_start)) {
        busy_ms += worked();
        return done;
    }
    while (next < total) {
        const qint64 piece_start = clock();
        int served = 0;
        if (counting) {
            counted += count(next, want, served);
            if (done) return true; // a read failed
            served = qMax(1, served);
            // A report known to be too large is refused at once, not counted to its end.
            if (counted * row_bytes() > answer_max) {
                busy_ms += worked();
                refuse_too_large();
                return true;
            }
            if (next + served >= total) {
                counting = false;
                next = resume_at;
                continue;
            }
        } else {
            served = qMax(1, serve(next, want));
            if (done) return true; // a read failed
        }
        next += served;
        // As many modems a piece as fit a quarter of a slice: a report of many small modems
        // takes few statements, one of big modems few rows at a time.
        const qint64 ms = clock() - piece_start;
        if (ms < slice_ms / 4 && served >= want)
            want = qMin(want * 2, max_want);
        else if (ms > slice_ms / 2)
            want = qMax(want / 2, 1);
        // Read without a count: where the modems served so far foresee more than the bound, the
        // rest is counted after all, so that the report is refused before it is built (the
        // estimate said it fits, and an uneven fleet may still fit: only the count refuses).
        if (!counting && !recounted && counted <= 0 && answered >= 1000 && next < total &&
            double(out.size()) * double(total) / double(next) > double(answer_max) * 1.1 && count_again()) {
            recounted = true;
            resume_at = next;
            next = 0;
            counting = true;
        }
        if (out.size() > answer_max || (!counting && bound_to_pass())) {
            busy_ms += worked();
            refuse_too_large();
            return true;
        }
        if (busy_ms + worked() > time_max_ms) {
            busy_ms += worked();
            refuse(503, too_long_text(time_max_ms, ""), "too long");
            return true;
        }
        // A piece like the last would take the slice past its time: it goes to the next slice.
        if (worked() + ms > slice_ms) break;
    }
    busy_ms += worked();
    if (!counting && next >= total) {
        QVariant answer = conclude();
        if (answer.userType() == qMetaTypeId<api_json_text>() &&
            answer.value<api_json_text>().json.size() > answer_max) {
            refuse_too_large();
            return true;
        }
        finish(std::move(answer), nullptr);
    }
    return done;
}

QList<modem_range> report_job::ranges_of(int from, int want, uint32_t ts_from, uint32_t ts_to) const
{
    QList<modem_range> out;
    for (int i = from; i < modems.size() && out.size() < want; ++i)
        out << modem_range{modems.at(i), ts_from, ts_to};
    return out;
}

void report_job::read_failed(const QString& statement)
{
    if (done) return;
    static log_limiter lim(QStringLiteral("report read not answered"), LVL_EXC, 5, 60000);
    if (lim.pass(LVL_EXC))
        LOG_EXC << qPrintable(QStringLiteral("report %1: database not answering, the report is refused: %2")
                                  .arg(route, log_cut(statement, 256)));
    finish(QVariant::fromValue(api_refusal{503, QStringLiteral("database not answering")}),
           "database not answering");
}

void report_job::refuse_too_large()
{
    refuse(413,
           QStringLiteral("report too large: its answer would pass %1 MiB; ask for fewer modems or a "
                          "shorter period")
               .arg(answer_max >> 20),
           "too large");
}

void report_job::refuse(int status, const QString& text, const char* why)
{
    finish(QVariant::fromValue(api_refusal{status, text}), why);
}

QVariant report_job::run()
{
    while (!step()) {
    }
    return result;
}

QString report_job::summary() const
{
    // A report refused by its count says what the count foresaw, not the empty answer.
    const bool foreseen = counting && counted > 0;
    const qint64 bytes = result.userType() == qMetaTypeId<api_json_text>()
                             ? result.value<api_json_text>().json.size()
                             : (foreseen ? counted * row_bytes() : out.size());
    return QStringLiteral("%1 %2, %3, %4 rows%5, %6 bytes%7, %8 ms")
        .arg(total)
        .arg(unit)
        .arg(range)
        .arg(foreseen ? counted : rows)
        .arg(foreseen ? QStringLiteral(" counted") : QString())
        .arg(bytes)
        .arg(foreseen ? QStringLiteral(" at least") : QString())
        .arg(clock() - started);
}

void report_job::finish(QVariant answer, const char* refused)
{
    done = true;
    result = std::move(answer);
    if (refused) {
        if (report_lines().pass(LVL_WRN))
            LOG_WRN << qPrintable(
                QStringLiteral("report %1 refused, %2: %3").arg(route, QLatin1String(refused), summary()));
        return;
    }
    if (report_lines().pass(LVL_NTC))
        LOG_NTC << qPrintable(
            QStringLiteral("report %1: %2 (%3 ms working)").arg(route, summary()).arg(busy_ms));
}

void report_job::abandon()
{
    if (done) return;
    done = true;
    if (report_lines().pass(LVL_NTC))
        LOG_NTC << qPrintable(QStringLiteral("report %1 given up, its client left: %2 (%3 ms working)")
                                  .arg(route, summary())
                                  .arg(busy_ms));
}

// ---------------------------------------------------------------- the runner

double report_runner::rest_share = 0.5;

report_runner::report_runner(QObject* parent) : QObject(parent)
{
    ticker.setSingleShot(true);
    connect(&ticker, &QTimer::timeout, this, &report_runner::turn);
}

report_runner::~report_runner() = default;

bool report_runner::holds_place(const QString& caller) const
{
    for (const entry& e : active)
        if (e.caller == caller) return true;
    return false;
}

bool report_runner::is_sending(const QString& caller) const
{
    for (const held_answer& h : held)
        if (h.caller == caller) return true;
    return false;
}

int report_runner::waiting_of(const QString& caller) const
{
    int n = 0;
    for (const entry& e : queue)
        n += e.caller == caller ? 1 : 0;
    return n;
}

int report_runner::waiting_of(report_caller kind) const
{
    int n = 0;
    for (const entry& e : queue)
        n += e.kind == kind ? 1 : 0;
    return n;
}

bool report_runner::place_free(report_caller kind, bool& kept) const
{
    int shared = 0, anonymous = 0;
    bool kept_taken = false;
    qint64 building = 0;
    for (const entry& e : active) {
        kept_taken = kept_taken || e.kept;
        shared += e.kept ? 0 : 1;
        anonymous += e.kind == report_caller::anonymous ? 1 : 0;
        building += report_job::answer_max;
    }
    // An answer being built is counted at its bound: it may grow to it.
    const qint64 limit = kind == report_caller::command ? memory_max : memory_max - memory_kept;
    if (sending_bytes + building + report_job::answer_max > limit) return false;
    kept = kind == report_caller::command && !kept_taken;
    if (kept) return true;
    if (shared >= max_running - kept_places) return false;
    return kind != report_caller::anonymous || anonymous < anonymous_places;
}

bool report_runner::queue_room(const QString& caller, report_caller kind) const
{
    if (waiting_of(caller) >= max_waiting_per_caller) return false;
    switch (kind) {
    case report_caller::command:
        return waiting_of(kind) < kept_waiting;
    case report_caller::anonymous:
        return waiting_of(kind) < anonymous_waiting;
    case report_caller::view:
        break;
    }
    return waiting_of(kind) < max_waiting - kept_waiting - anonymous_waiting;
}

bool report_runner::admits(const QString& caller, report_caller kind) const
{
    bool kept = false;
    const bool place_now = !holds_place(caller) && !is_sending(caller) && place_free(kind, kept);
    return place_now || queue_room(caller, kind);
}

bool report_runner::may_try_first(const QString& caller) const
{
    return !try_spent() && report_job::clock() >= rest_until && !holds_place(caller) &&
           waiting_of(caller) == 0 && !is_sending(caller);
}

void report_runner::rested_after(qint64 slice_start)
{
    const qint64 now = report_job::clock();
    rest_until = now + qint64(double(now - slice_start) * rest_share);
}

void report_runner::tried(qint64 ms)
{
    // With no report holding a place there is no round to share with: the rest alone paces the
    // tries.
    turns_since_try = 0;
    rested_after(report_job::clock() - ms);
    schedule();
}

QVariant report_runner::refusal()
{
    return QVariant::fromValue(
        api_refusal{503, QStringLiteral("%1 reports are being built; try again shortly").arg(max_running)});
}

void report_runner::refuse_busy(entry& e, const char* why)
{
    const api_refusal r = refusal().value<api_refusal>();
    e.job->refuse(r.status, r.text, why);
    e.done(e.job->take_answer());
}

quint64 report_runner::take(std::unique_ptr<report_job> job, const QString& caller, report_caller kind,
                            std::function<void(QVariant)> done)
{
    entry e{++tickets, caller, kind, std::move(job), std::move(done), report_job::clock()};
    if (!admits(caller, kind)) {
        refuse_busy(e, "no room to wait");
        return 0;
    }
    const quint64 ticket = e.ticket;
    queue.push_back(std::move(e));
    admit();
    schedule();
    return ticket;
}

void report_runner::admit()
{
    const qint64 now = report_job::clock();
    std::vector<entry> refused;
    for (auto it = queue.begin(); it != queue.end();) {
        if (now - it->queued > wait_max_ms || now - it->job->born() > wall_max_ms) {
            refused.push_back(std::move(*it));
            it = queue.erase(it);
        } else {
            ++it;
        }
    }
    for (;;) {
        // Command callers first; among the rest, of the callers that hold no place (and whose
        // last answer has left), the one longest without a place goes first; the order of
        // arrival among equals.
        auto best = queue.end();
        qint64 best_granted = std::numeric_limits<qint64>::max();
        bool best_kept = false;
        for (auto it = queue.begin(); it != queue.end(); ++it) {
            bool kept = false;
            if (holds_place(it->caller) || is_sending(it->caller) || !place_free(it->kind, kept)) continue;
            const bool command = it->kind == report_caller::command;
            const bool best_command = best != queue.end() && best->kind == report_caller::command;
            const qint64 g = granted.value(it->caller, std::numeric_limits<qint64>::min());
            if (best == queue.end() || (command && !best_command) ||
                (command == best_command && g < best_granted)) {
                best = it;
                best_granted = g;
                best_kept = kept;
            }
        }
        if (best == queue.end()) break;
        granted.insert(best->caller, now);
        best->kept = best_kept;
        active.push_back(std::move(*best));
        queue.erase(best);
    }
    // Callers with nothing here are forgotten: the map holds no more callers than the reports.
    for (auto it = granted.begin(); it != granted.end();) {
        if (!holds_place(it.key()) && waiting_of(it.key()) == 0)
            it = granted.erase(it);
        else
            ++it;
    }
    for (entry& e : refused)
        refuse_busy(e, "waited too long");
}

void report_runner::drop(quint64 ticket)
{
    for (std::deque<entry>* list : {&active, &queue})
        for (auto it = list->begin(); it != list->end(); ++it) {
            if (it->ticket != ticket) continue;
            std::unique_ptr<report_job> job = std::move(it->job);
            list->erase(it);
            job->abandon();
            job.reset();
            admit();
            schedule();
            return;
        }
}

quint64 report_runner::hold(const QString& caller, report_caller kind, qint64 bytes)
{
    held.insert(++holds, held_answer{caller, kind, bytes});
    sending_bytes += bytes;
    return holds;
}

void report_runner::release(quint64 key)
{
    const auto it = held.find(key);
    if (it == held.end()) return;
    sending_bytes -= it->bytes;
    held.erase(it);
    admit();
    schedule();
}

std::deque<report_runner::entry>::iterator report_runner::next_try()
{
    // The first waiting report not tried yet whose caller could have been tried on arrival;
    // command callers' first.
    auto found = queue.end();
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (it->tried || holds_place(it->caller) || is_sending(it->caller)) continue;
        bool earlier = false; // an earlier report of the same caller waits: this one after it
        for (auto before = queue.begin(); before != it && !earlier; ++before)
            earlier = before->caller == it->caller;
        if (earlier) continue;
        if (found == queue.end() ||
            (it->kind == report_caller::command && found->kind != report_caller::command))
            found = it;
    }
    return found;
}

void report_runner::schedule()
{
    if (active.empty() && queue.empty()) return;
    // Reports that only wait (tried, no place free) are looked at again at least once a second,
    // for their bounds.
    const qint64 now = report_job::clock();
    const qint64 wait = rest_until > now ? qMin<qint64>(rest_until - now, 1000) : 0; // never rested: no wait
    if (wait > 0) {
        if (!ticker.isActive() || ticker.remainingTime() > wait) ticker.start(int(wait));
        return;
    }
    // At once: from the next pass of the event loop, after what is pending there.
    if (posted) return;
    posted = true;
    QMetaObject::invokeMethod(
        this, [this] { turn(); }, Qt::QueuedConnection);
}

void report_runner::turn()
{
    posted = false;
    ticker.stop();
    admit();
    if (active.empty() && queue.empty()) return;
    if (report_job::clock() < rest_until) {
        schedule();
        return;
    }
    const qint64 slice_start = report_job::clock();
    // A report that waits has its one slice, as it would have had on arrival, once a turn: a
    // report of one modem need not wait for a place.
    const auto trying = try_spent() ? queue.end() : next_try();
    if (trying != queue.end()) {
        trying->tried = true;
        turns_since_try = 0;
        if (trying->job->step()) {
            entry e = std::move(*trying);
            queue.erase(trying);
            rested_after(slice_start);
            finished(std::move(e));
            return;
        }
        rested_after(slice_start);
        schedule();
        return;
    }
    if (active.empty()) {
        // Only reports already tried wait, for places or memory that are not free: they move
        // when a place or an answer is given up, or at their bound.
        if (!queue.empty()) ticker.start(1000);
        return;
    }
    turns_since_try = qMin(turns_since_try + 1, max_running);
    entry e = std::move(active.front());
    active.pop_front();
    bool done = false;
    if (report_job::clock() - e.job->born() > wall_max_ms) {
        e.job->refuse(503, too_long_text(wall_max_ms, " of its arrival"), "too long");
        done = true;
    } else {
        done = e.job->step();
    }
    rested_after(slice_start);
    if (!done) {
        active.push_back(std::move(e));
        schedule();
        return;
    }
    finished(std::move(e));
}

void report_runner::finished(entry e)
{
    QVariant answer = e.job->take_answer();
    e.job.reset();
    // The answer is handed over (and counted while it is sent) before the freed place is given
    // out: the caller's next report must not find its place already.
    e.done(std::move(answer));
    admit();
    schedule();
    // The rows and meterings a report built on are spread over the heap in small blocks: what
    // they leave free goes back to the system, so that a day of reports does not keep the peak.
    malloc_trim(0);
}

// ---------------------------------------------------------------- the count ahead

namespace {
// Rows a statement counts from the key: some tens of milliseconds of the server's time.
constexpr qint64 piece_rows = 200000;
} // namespace

window_count::window_count(bool events_, QList<uint32_t> kinds_, uint32_t from_, uint32_t to_, uint32_t cap_,
                           bool want_counts_)
    : events(events_), kinds(std::move(kinds_)), from(from_), to(to_), cap(cap_), want_counts(want_counts_)
{
}

bool window_count::exact()
{
    if (mode != nothing || forced) return false;
    forced = true;
    mode = undecided;
    return true;
}

void window_count::decide(const QList<uint32_t>& modems, qint64 row_bytes)
{
    if (from > to) {
        mode = nothing; // an empty window holds no rows
        return;
    }
    SQL_Exchange* sql = SQL_Exchange::instance;
    const qint64 estimate = sql->estimate_window_rows(events, kinds, from, to);
    if (estimate < 0) {
        mode = by_modem; // not told: counted modem by modem
        return;
    }
    const qint64 modems_n = qMax<qint64>(1, modems.size());
    // The estimate is of every modem's rows, at the fewest bytes a row takes: while it says the
    // answer fits, the count is folded into the reading (the answer's own size refuses it, should
    // the estimate fall short); otherwise the count tells before anything is built.
    const bool near_bound = forced || estimate * row_bytes > report_job::answer_max;
    const bool thin = estimate <= 4 * modems_n;
    const qint64 pieces = qMax<qint64>(1, (estimate + piece_rows - 1) / piece_rows);
    // The key holds every modem's rows: it is worth reading for a good share of them only.
    const auto most_modems = [&] {
        qint64 fleet = sql->estimate_modems(events);
        if (fleet < 0 && RAM_modems::instance) fleet = RAM_modems::instance->modem_count();
        return modems_n * 4 >= fleet;
    };
    const bool key_fits = pieces <= modems_n && (thin || (near_bound && most_modems()));
    if (!near_bound && !(want_counts && thin))
        mode = nothing;
    else if (key_fits)
        mode = by_key;
    else
        mode = near_bound ? by_modem : nothing;
    if (mode != by_key) return;
    piece_s = (quint64(to) - from) / quint64(pieces) + 1;
    next_from = from;
}

qint64 window_count::count(const QList<uint32_t>& modems, int at, int want, qint64 row_bytes, int& done,
                           const std::function<qint64(int&)>& per_modem)
{
    if (mode == undecided) decide(modems, row_bytes);
    if (mode == by_modem) return per_modem(done);
    if (mode == nothing) {
        done = modems.size() - at;
        return 0;
    }
    (void)want;
    SQL_Exchange* sql = SQL_Exchange::instance;
    // Rows lie unevenly in time: a piece is halved while the key's estimate says it holds more
    // than a statement should count.
    quint64 piece_end = qMin<quint64>(quint64(to), next_from + piece_s - 1);
    while (piece_end > next_from &&
           sql->estimate_window_rows(events, kinds, uint32_t(next_from), uint32_t(piece_end)) > piece_rows)
        piece_end = next_from + (piece_end - next_from) / 2;
    const uint32_t piece_to = uint32_t(piece_end);
    QHash<uint32_t, uint32_t> piece;
    if (!sql->count_window_rows(events, kinds, uint32_t(next_from), piece_to, piece)) {
        done = modems.size() - at; // the caller sees the failure through its read watch
        return 0;
    }
    next_from = quint64(piece_to) + 1;
    // Only the report's modems, each up to its own limit.
    static const auto capped = [](uint32_t n, uint32_t c) { return qint64(qMin(n, c)); };
    qint64 added = 0;
    if (counts.isEmpty() && !piece.isEmpty()) counts.reserve(modems.size());
    for (auto it = piece.cbegin(); it != piece.cend(); ++it) {
        auto held = counts.find(it.key());
        if (held == counts.end()) {
            if (asked.isEmpty()) asked = QSet<uint32_t>(modems.cbegin(), modems.cend());
            if (!asked.contains(it.key())) continue;
            held = counts.insert(it.key(), 0);
        }
        added += capped(*held + it.value(), cap) - capped(*held, cap);
        *held += it.value();
    }
    done = next_from > quint64(to) ? modems.size() - at : 1;
    return added;
}
