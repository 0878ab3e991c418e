// The places and turns the main thread gives the reports of many modems.
#include "api_reports_runner.h"

#include "api_controller.h"
#include "logger.h"

#include <QCoreApplication>
#include <QEvent>
#include <QSet>
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

int report_runner::waiting_of(report_caller kind, bool for_try) const
{
    int n = 0;
    for (const entry& e : queue)
        n += e.kind == kind && e.for_try == for_try ? 1 : 0;
    return n;
}

bool report_runner::memory_room(report_caller kind, qint64 more) const
{
    // An answer being built is counted at its bound: it may grow to it.
    const qint64 building = qint64(active.size()) * report_job::answer_max;
    const qint64 limit = kind == report_caller::command ? memory_max : memory_max - memory_kept;
    return sending_bytes + building + more <= limit;
}

std::deque<report_runner::entry>::const_iterator report_runner::displaced(const QString& caller,
                                                                          report_caller kind) const
{
    QMap<QString, int> held;
    for (const entry& e : queue)
        if (e.kind == kind && e.caller != caller && !e.for_try) ++held[e.caller];
    QString most;
    int count = 1;
    for (auto it = held.cbegin(); it != held.cend(); ++it)
        if (it.value() > count) {
            most = it.key();
            count = it.value();
        }
    if (most.isNull()) return queue.cend();
    for (auto it = queue.crbegin(); it != queue.crend(); ++it)
        if (it->caller == most && it->kind == kind && !it->for_try) return std::prev(it.base());
    return queue.cend();
}

std::deque<report_runner::entry>::iterator report_runner::displaced(const QString& caller, report_caller kind)
{
    const auto found = static_cast<const report_runner*>(this)->displaced(caller, kind);
    return queue.begin() + (found - queue.cbegin());
}

bool report_runner::try_barred(const QString& caller) const
{
    const auto it = barred.constFind(caller);
    return it != barred.cend() && report_job::clock() < it->until;
}

void report_runner::bar_tries(const QString& caller, quint64 ticket)
{
    const qint64 now = report_job::clock();
    // Callers whose bar has passed are forgotten: the map holds no more than the callers barred
    // in the last wait_max_ms.
    for (auto it = barred.begin(); it != barred.end();)
        it = it->until <= now ? barred.erase(it) : std::next(it);
    barred.insert(caller, barred_try{ticket, now + wait_max_ms});
}

report_runner::admission report_runner::rule(const QString& caller, report_caller kind,
                                             const entry* self) const
{
    admission a;
    const bool own_free = !holds_place(caller) && !is_sending(caller);
    int mine = 0;        // the caller's waiting reports, this one left out
    bool before = false; // one of them waits before this one
    bool self_seen = false;
    for (const entry& e : queue) {
        if (&e == self) {
            self_seen = true;
            continue;
        }
        if (e.caller != caller) continue;
        ++mine;
        before = before || !self_seen;
    }
    if (own_free && memory_room(kind, report_job::answer_max)) {
        const auto [shared, anonymous, kept_taken] = places_taken();
        a.kept = kind == report_caller::command && !kept_taken;
        a.place = a.kept || (shared < max_running - kept_places &&
                             (kind != report_caller::anonymous || anonymous < anonymous_places));
    }
    // A new report's try takes its kind's turn in the round: not while a report of a kind due
    // before it waits for a try.
    a.try_now = own_free && !(self ? self->tried || before : mine > 0) && !try_barred(caller) &&
                !try_spent() && report_job::clock() >= rest_until && (self || next_try_kind(kind) == kind);
    if (self) {
        a.wait = true; // it waits already
        return a;
    }
    a.wait = mine < max_waiting_per_caller && (waiting_of(kind) < waiting_room(kind) ||
                                               (mine == 0 && displaced(caller, kind) != queue.cend()));
    if (!a.place && !a.wait && own_free && mine == 0 && !try_barred(caller))
        a.try_later = waiting_of(kind, true) < try_room(kind);
    return a;
}

int report_runner::waiting_room(report_caller kind)
{
    switch (kind) {
    case report_caller::command:
        return kept_waiting;
    case report_caller::anonymous:
        return anonymous_waiting;
    case report_caller::view:
        break;
    }
    return max_waiting - kept_waiting - anonymous_waiting;
}

void report_runner::rested_after(qint64 slice_start)
{
    const qint64 now = report_job::clock();
    rest_due = now + qint64(double(now - slice_start) * rest_share);
    // Rests only once something else waits (eventFilter).
    rest_until = std::numeric_limits<qint64>::min();
}

bool report_runner::try_first(report_job& job, const QString& caller, report_caller kind)
{
    const qint64 start = report_job::clock();
    job.set_caller(caller);
    // A try at arrival is its kind's turn in the round, as one from the queue is.
    last_try_kind = kind;
    job.step();
    // Not answered, it may still go on among the tries (take): the caller is barred only if it
    // is refused then.
    const bool done = after_try(job, caller, kind, 0, start, worth_a_try(job));
    if (!done) just_tried = caller;
    schedule();
    return done;
}

bool report_runner::after_try(report_job& job, const QString& caller, report_caller kind, quint64 ticket,
                              qint64 start, bool goes_on)
{
    // With no report holding a place there is no round to share with: the rest alone paces the
    // tries.
    turns_since_try = 0;
    rested_after(start);
    if (!job.finished()) {
        if (!goes_on) bar_tries(caller, ticket);
        return false;
    }
    // The answer is held while it is sent, as a place's is, and against the same memory: one that
    // would take the answers sent and built past the kind's memory is refused, not kept (it did
    // not answer).
    const QVariant& answer = job.answer();
    const qint64 bytes =
        answer.userType() == qMetaTypeId<api_json_text>() ? answer.value<api_json_text>().json.size() : 0;
    if (bytes > unheld_max && !memory_room(kind, bytes)) {
        refuse_busy_job(job, caller, kind, "no memory for its answer");
        bar_tries(caller, 0);
        return true;
    }
    barred.remove(caller);
    return true;
}

report_runner::taken report_runner::places_taken() const
{
    taken t;
    for (const entry& e : active) {
        t.kept = t.kept || e.kept;
        t.shared += e.kept ? 0 : 1;
        t.anonymous += e.kind == report_caller::anonymous ? 1 : 0;
    }
    return t;
}

QString report_runner::met(report_caller kind) const
{
    const auto [shared, anonymous, kept_taken] = places_taken();
    const int shared_free = qMax(0, max_running - kept_places - shared);
    int places = max_running - kept_places, free = shared_free;
    const char* who = "view callers";
    if (kind == report_caller::command) {
        places = max_running;
        free += kept_taken ? 0 : 1;
        who = "callers with a command right";
    } else if (kind == report_caller::anonymous) {
        places = anonymous_places;
        free = qMin(shared_free, qMax(0, anonymous_places - anonymous));
        who = "callers without a right";
    }
    QString text = QStringLiteral("%1: %2 of %3 report %4 and %5 of %6 waiting entries taken")
                       .arg(QLatin1String(who))
                       .arg(places - free)
                       .arg(places)
                       .arg(places == 1 ? QLatin1String("place") : QLatin1String("places"))
                       .arg(waiting_of(kind))
                       .arg(waiting_room(kind));
    // A place free but not given: the answers built and sent are at their bound.
    if (free > 0 && !memory_room(kind, report_job::answer_max))
        text += QStringLiteral(", answers at their %1 MiB")
                    .arg((kind == report_caller::command ? memory_max : memory_max - memory_kept) >> 20);
    return text;
}

QVariant report_runner::refusal(const QString& caller, report_caller kind, const char* why) const
{
    QString text;
    if (qstrcmp(why, "gave way to another caller") == 0)
        text = QStringLiteral("gave way to another caller's first report; ") + met(kind);
    else if (qstrcmp(why, "waited too long") == 0)
        text = QStringLiteral("no place within %1 s; ").arg(wait_max_ms / 1000) + met(kind);
    else if (qstrcmp(why, "no memory for its answer") == 0)
        text = QStringLiteral("its answer does not fit the %1 MiB of answers; ")
                   .arg((kind == report_caller::command ? memory_max : memory_max - memory_kept) >> 20) +
               met(kind);
    else if (waiting_of(caller) >= max_waiting_per_caller)
        text = QStringLiteral("%1 reports of this caller wait already").arg(max_waiting_per_caller);
    else
        text = met(kind);
    return QVariant::fromValue(api_refusal{503, text + QStringLiteral("; try again shortly")});
}

void report_runner::refuse_busy_job(report_job& job, const QString& caller, report_caller kind,
                                    const char* why) const
{
    const api_refusal r = refusal(caller, kind, why).value<api_refusal>();
    job.refuse(r.status, r.text, why);
}

void report_runner::refuse_busy(entry& e, const char* why) const
{
    refuse_busy_job(*e.job, e.caller, e.kind, why);
    e.done(e.job->take_answer());
}

quint64 report_runner::take(std::unique_ptr<report_job> job, const QString& caller, report_caller kind,
                            std::function<void(QVariant)> done)
{
    entry e{++tickets, caller, kind, std::move(job), std::move(done), report_job::clock()};
    e.job->set_caller(caller);
    const admission a = admits(caller, kind);
    const bool tried_now = just_tried == caller;
    just_tried.clear();
    if (!a.place && !a.wait && !(a.try_later && worth_a_try(*e.job))) {
        // Its try just now did not answer, and it goes no further.
        if (tried_now) bar_tries(caller, 0);
        refuse_busy(e, "no room to wait");
        return 0;
    }
    std::vector<entry> refused;
    if (!a.place && a.wait && waiting_of(kind) >= waiting_room(kind)) {
        // Its kind's entries are all taken: the newest of a caller waiting for two or more gives
        // way, so that one caller's many reports do not keep out another's first.
        const auto gone = displaced(caller, kind);
        if (gone != queue.end()) {
            refused.push_back(std::move(*gone));
            queue.erase(gone);
        }
    }
    // Admitted only for its tries, in the turns to come: answered then, or refused.
    e.for_try = !a.place && !a.wait;
    const quint64 ticket = e.ticket;
    queue.push_back(std::move(e));
    // A try made for it just now did not answer: the bar on its caller's tries lifts once this
    // report has a place.
    const auto bar = barred.find(caller);
    if (bar != barred.end() && bar->ticket == 0) bar->ticket = ticket;
    for (entry& r : refused)
        refuse_busy(r, "gave way to another caller");
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
            if (it->for_try) continue;
            const admission a = rule(it->caller, it->kind, &*it);
            if (!a.place) continue;
            const bool kept = a.kept;
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
        // The report whose try did not answer has its place: its caller may try again.
        const auto bar = barred.find(best->caller);
        if (bar != barred.end() && bar->ticket == best->ticket) barred.erase(bar);
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

std::array<int, 3> report_runner::tries_due() const
{
    std::array<int, 3> first = {-1, -1, -1};
    QSet<QString> seen; // callers with an entry before
    for (int i = 0; i < int(queue.size()); ++i) {
        const entry& e = queue[size_t(i)];
        int& f = first[size_t(e.kind)];
        const bool earlier = seen.contains(e.caller);
        seen.insert(e.caller);
        if (f >= 0) continue;
        // One admitted only for its tries has them all; one waiting for a place has one, once it
        // is its caller's first and its caller holds no place, as on arrival.
        if (e.for_try || (!e.tried && !earlier && worth_a_try(*e.job) && !holds_place(e.caller) &&
                          !is_sending(e.caller) && !try_barred(e.caller)))
            f = i;
    }
    return first;
}

report_caller report_runner::next_try_kind(report_caller fallback) const
{
    const std::array<int, 3> due = tries_due();
    for (int i = 1; i <= 3; ++i) {
        const int k = (int(last_try_kind) + i) % 3;
        if (due[size_t(k)] >= 0) return report_caller(k);
    }
    return fallback;
}

std::deque<report_runner::entry>::iterator report_runner::next_try()
{
    // At most every other turn while reports hold places: the tries must not wait long, nor
    // take the places' turns.
    if (last_was_try && !active.empty()) return queue.end();
    const std::array<int, 3> due = tries_due();
    // The kinds take the tries in turn, so that no kind's queue holds up another's; within a
    // kind, the order of arrival, whether a report waits for a place or only for its tries.
    for (int i = 1; i <= 3; ++i) {
        const int k = (int(last_try_kind) + i) % 3;
        if (due[size_t(k)] < 0) continue;
        last_try_kind = report_caller(k);
        return queue.begin() + due[size_t(k)];
    }
    return queue.end();
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
    const auto trying = next_try();
    last_was_try = trying != queue.end();
    if (trying != queue.end()) {
        trying->tried = true;
        trying->job->step();
        if (after_try(*trying->job, trying->caller, trying->kind, trying->ticket, slice_start,
                      trying->for_try && trying->slices + 1 < try_slices_max)) {
            entry e = std::move(*trying);
            queue.erase(trying);
            finished(std::move(e));
            return;
        }
        if (trying->for_try && ++trying->slices >= try_slices_max) {
            // Unless room to wait came meanwhile, it is refused now, as on arrival.
            if (waiting_of(trying->kind) < waiting_room(trying->kind)) {
                trying->for_try = false;
            } else {
                bar_tries(trying->caller, 0);
                entry e = std::move(*trying);
                queue.erase(trying);
                refuse_busy(e, "no room to wait");
                admit();
            }
        }
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
