// The places and turns the main thread gives the reports of many modems.
#include "api_reports_runner.h"

#include "api_controller.h"
#include "logger.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <limits>
#include <malloc.h>

double report_runner::rest_share = 0.5;

report_runner::report_runner(QObject* parent) : QObject(parent)
{
    ticker.setSingleShot(true);
    connect(&ticker, &QTimer::timeout, this, &report_runner::turn);
    if (QCoreApplication* app = QCoreApplication::instance()) app->installEventFilter(this);
}

bool report_runner::eventFilter(QObject* watched, QEvent* event)
{
    // The work of others that the loop hands out: sockets ready, timers due, queued calls and
    // posted events of the daemon's own kinds. The runner's own turns do not count.
    if (rest_due > rest_until && watched != this && watched != &ticker) {
        const QEvent::Type type = event->type();
        if (type == QEvent::SockAct || type == QEvent::SockClose || type == QEvent::Timer ||
            type == QEvent::MetaCall || type >= QEvent::User)
            rest_until = rest_due;
    }
    return QObject::eventFilter(watched, event);
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
    rest_due = now + qint64(double(now - slice_start) * rest_share);
    // Rests only once something else waits (eventFilter).
    rest_until = std::numeric_limits<qint64>::min();
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
        e.job->refuse(503, report_job::too_long_text(wall_max_ms, " of its arrival"), "too long");
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
