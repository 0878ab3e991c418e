// Command numbers: counter, stored mark and free ranges.
#include "cmd_numbering.h"

#include "logger.h"

namespace {
// The distance from `counter` to `n` in the order numbers are given, around the wrap.
uint32_t ahead(uint32_t counter, uint32_t n)
{
    return n - counter;
}
} // namespace

cmd_numbering::cmd_numbering(Store_mark store_mark, Read_window read_window, Limits limits)
    : store_(std::move(store_mark)), read_(std::move(read_window)), limits_(limits)
{
}

quint64 cmd_numbering::reach() const
{
    // Up to the start of this process, whose numbers from there to the counter may have no row
    // yet; nothing given yet: the whole circle.
    return counter_ == base_ ? Q_UINT64_C(1) << 32 : ahead(counter_, base_);
}

bool cmd_numbering::beyond_mark(uint32_t m) const
{
    return ahead(counter_, m) > ahead(counter_, mark_) && ahead(counter_, m) < reach();
}

quint64 cmd_numbering::known() const
{
    quint64 n = 0;
    for (const auto& r : ranges_)
        n += quint64(r.second) - (r.first <= counter_ && counter_ <= r.second ? counter_ : r.first - 1);
    return n;
}

uint32_t cmd_numbering::free_number(quint64 k) const
{
    uint32_t last = counter_;
    for (const auto& r : ranges_) {
        // The range the counter is in is used up to it.
        const bool in = r.first <= counter_ && counter_ <= r.second;
        if (in && counter_ == r.second) continue;
        const uint32_t first = in ? counter_ + 1 : r.first;
        const quint64 size = quint64(r.second) - first + 1;
        if (k <= size) return first + uint32_t(k - 1);
        k -= size;
        last = r.second;
    }
    return last;
}

uint32_t cmd_numbering::block_mark() const
{
    const quint64 far =
        qMin<quint64>(qMax<quint64>(limits_.block, ahead(counter_, free_number(limits_.block))), reach() - 1);
    return counter_ + uint32_t(far);
}

bool cmd_numbering::add_range(uint32_t first, uint32_t last)
{
    // Only ahead of the ranges known, in order, and short of the numbers of this process.
    const quint64 from = ahead(counter_, first);
    const quint64 after = ranges_.isEmpty() ? 0 : ahead(counter_, ranges_.last().second);
    if (first == 0 || last < first || from == 0 || from <= after || from >= reach()) return false;
    const quint64 to = qMin<quint64>(from + (last - first), reach() - 1);
    ranges_ << qMakePair(first, uint32_t(first + (to - from)));
    return true;
}

void cmd_numbering::drop_used()
{
    while (!ranges_.isEmpty() && ranges_.first().second == counter_)
        ranges_.removeFirst();
}

void cmd_numbering::want_search()
{
    if (search_out || search_wanted || exhausted_) return;
    // Not for every range used: a search lists up to `ranges_max` of them at a time, so it waits
    // for room for that many.
    if (ranges_.size() > qMax(0, limits_.ranges_kept - limits_.ranges_max) || known() >= limits_.free_ahead)
        return;
    search_wanted = true;
}

void cmd_numbering::want_mark(uint32_t m)
{
    // One store at a time; a wish is only ever moved further.
    if (!beyond_mark(m)) return;
    if (mark_out && ahead(counter_, m) <= ahead(counter_, out_mark)) return;
    if (mark_wanted && ahead(counter_, m) <= ahead(counter_, wished)) return;
    mark_wanted = true;
    wished = m;
}

void cmd_numbering::keep_mark_ahead()
{
    // The next block is taken once fewer than half a block of free numbers lie within the mark:
    // a jump into a far free range is covered before a request needs it.
    if (ranges_.isEmpty()) return;
    const uint32_t half = free_number(qMax<quint64>(1, limits_.block / 2));
    if (ahead(counter_, half) > ahead(counter_, mark_)) want_mark(block_mark());
}

void cmd_numbering::set_mark(uint32_t m)
{
    mark_ = m;
    // A wish that is not beyond the stored mark would move it back.
    if (mark_wanted && !beyond_mark(wished)) mark_wanted = false;
}

void cmd_numbering::restart(uint32_t mark)
{
    ++epoch_; // a search still out was for the numbers before
    counter_ = mark_ = base_ = mark;
    ranges_.clear();
    exhausted_ = false;
    search_wanted = search_out = mark_wanted = mark_out = false;
    search_from = mark == UINT32_MAX ? 1 : mark + 1;
    want_search();
    want_mark(mark + limits_.block);
}

bool cmd_numbering::start(uint32_t mark)
{
    restart(mark);
    Work w = take_work();
    w.store = false;
    mark_out = false;
    run_work(w);
    if (w.search_ok) {
        take_back(w, QString());
    } else {
        search_out = false;
        search_wanted = true; // with the first run
    }
    mark_wanted = false;
    const uint32_t m = block_mark();
    if (!store_(m)) return false;
    set_mark(m);
    return true;
}

bool cmd_numbering::next(bool may_store, bool link_lost)
{
    drop_used();
    if (ranges_.isEmpty()) {
        want_search();
        refusal_ =
            exhausted_
                ? QStringLiteral("every number ahead is stored")
                : QStringLiteral("no free number is known yet; the search for one runs with the next save");
        return false;
    }
    const QPair<uint32_t, uint32_t> r = ranges_.first();
    const uint32_t n = r.first <= counter_ && counter_ < r.second ? counter_ + 1 : r.first;
    if (ahead(counter_, n) > ahead(counter_, mark_)) {
        // Beyond the mark: the next block is taken first, counted from here. A request does not
        // wait for a run in flight or for a link known lost.
        const uint32_t m = block_mark();
        if (!may_store || mark_out || !store_(m)) {
            want_mark(m);
            refusal_ = QStringLiteral("the next block of numbers is not taken yet: ") +
                       (link_lost ? QStringLiteral("the database does not answer")
                                  : QStringLiteral("its mark is stored with the next save"));
            return false;
        }
        set_mark(m);
    }
    counter_ = n;
    drop_used();
    want_search();
    keep_mark_ahead();
    if (refusal_lines.end()) LOG_WRN << "command numbers are taken again";
    return true;
}

bool cmd_numbering::store_mark_at(uint32_t mark)
{
    if (mark_out || ahead(counter_, mark) >= reach() || !store_(mark)) return false;
    set_mark(mark);
    return true;
}

cmd_numbering::Work cmd_numbering::take_work()
{
    Work w;
    if (search_wanted) {
        w.search = true;
        w.from = search_from;
        w.epoch = epoch_;
        search_wanted = false;
        search_out = true;
    }
    take_mark_into(w);
    return w;
}

cmd_numbering::Work cmd_numbering::take_mark()
{
    Work w;
    take_mark_into(w);
    return w;
}

void cmd_numbering::take_mark_into(Work& w)
{
    // The wish waits while a mark is out: it goes with the next hand-out.
    if (mark_out) return;
    // Written only when it still lies beyond the mark: a request may have stored one further.
    if (mark_wanted && beyond_mark(wished)) {
        w.store = true;
        w.mark = wished;
        mark_out = true;
        out_mark = wished;
    }
    mark_wanted = false;
}

void cmd_numbering::run_work(Work& w) const
{
    // The mark first: requests may wait for it.
    if (w.store) w.stored = store_(w.mark);
    if (!w.search) return;
    // Window after window while they hold only stored numbers (a long run of old commands), so
    // that one run gets past it; each statement's cost is that of its window.
    w.searched = true;
    w.found.clear();
    uint32_t from = w.from;
    for (int i = 0; i < limits_.windows_max; ++i) {
        QList<Stored> rows;
        if (!read_(from, limits_.window, limits_.ranges_max + 2, rows)) break;
        w.search_ok = true;
        window_ranges(from, limits_.window, rows, w.found, w.next_from);
        if (!w.found.isEmpty() || w.next_from == 1) break;
        from = w.next_from;
    }
}

void cmd_numbering::take_back(const Work& w, const QString& error)
{
    if (w.store) {
        mark_out = false;
        // Taken only when beyond the mark: a stored wish never moves the mark back.
        if (w.stored && beyond_mark(w.mark))
            set_mark(w.mark);
        else if (!w.stored)
            want_mark(w.mark);
    }
    if (w.search) {
        search_out = false;
        if (w.epoch != epoch_) {
            // For an earlier start: its numbers mean nothing now.
        } else if (!w.search_ok) {
            // Not answered (or the run did not get that far): with the next run.
            if (w.searched && search_lines.pass())
                LOG_ERR << "the search for free command numbers failed:" << error
                        << "; commands are refused once the known numbers are used up";
            search_wanted = true;
            search_from = w.from;
        } else {
            if (search_lines.end()) LOG_WRN << "free command numbers are found again";
            const uint32_t next_from = w.next_from;
            for (const auto& r : w.found)
                add_range(r.first, r.second);
            // Round to the numbers of this process (or past the counter): nothing more to find.
            if (ahead(counter_, next_from) >= reach() ||
                ahead(counter_, next_from) <= ahead(counter_, w.from)) {
                exhausted_ = true;
                drop_used();
                if (ranges_.isEmpty())
                    LOG_ERR << "no free command number is left: every number ahead of" << counter_
                            << "is stored";
            }
            search_from = next_from;
        }
    }
    want_search();
    keep_mark_ahead();
}

void cmd_numbering::window_ranges(uint32_t from, quint64 window, const QList<Stored>& rows,
                                  QList<QPair<uint32_t, uint32_t>>& found, uint32_t& next_from)
{
    found.clear();
    next_from = 1;
    if (rows.isEmpty()) { // nothing stored from `from` on
        found << qMakePair(from, UINT32_MAX);
        return;
    }
    if (rows.first().id > from) found << qMakePair(from, rows.first().id - 1);
    for (const Stored& r : rows) {
        if (r.has_next) {
            if (quint64(r.next) > quint64(r.id) + 1) found << qMakePair(r.id + 1, r.next - 1);
            // Cut by the statement's limit: the next search starts at the stored one after it.
            next_from = r.next;
            continue;
        }
        // The window's last: the largest stored number when the window was not full.
        if (r.place < window) {
            if (r.id < UINT32_MAX) found << qMakePair(r.id + 1, UINT32_MAX);
            next_from = 1;
        } else {
            next_from = r.id == UINT32_MAX ? 1 : r.id + 1;
        }
        return;
    }
}
