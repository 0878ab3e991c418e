// Storage: the command numbers, never given twice, also across the wrap and a crash.
#include "logger.h"
#include "sql_exchange.h"

#include <QSqlQuery>

namespace {
// The distance from `counter` to `n` in the order numbers are given, around the wrap.
uint32_t ahead(uint32_t counter, uint32_t n)
{
    return n - counter;
}
} // namespace

void SQL_Exchange::continue_numbers_after(uint32_t newest)
{
    cmd_counter = newest;
    cmd_mark = newest; // nothing above it is taken yet
    numbering_base = newest;
    free_ranges.clear();
    search_next = Number_search();
    search_next.from = newest == UINT32_MAX ? 1 : newest + 1;
    ++numbers_epoch; // a search still out was for the numbers before
    mark_next = Mark_store();
    want_cmd_mark(newest + cmd_number_block);
    numbers_exhausted = false;
    want_free_numbers();
}

bool SQL_Exchange::run_synced(QSqlQuery& q, const QString& select)
{
    // A cluster node answers reads from what it has applied so far; with wsrep_sync_wait it
    // first catches up with the write-sets committed on the other nodes. A server without the
    // variable (no cluster support) answers 1193, and its reads are current anyway.
    QSqlQuery set(conn());
    const bool synced = run(set, QStringLiteral("SET SESSION wsrep_sync_wait = 1"));
    if (!synced && last_error.nativeErrorCode() != QLatin1String("1193")) return false;
    if (!run(q, select)) return false;
    if (synced) {
        const QSqlError kept = last_error;
        run(set, QStringLiteral("SET SESSION wsrep_sync_wait = DEFAULT"));
        last_error = kept;
    }
    return true;
}

bool SQL_Exchange::load_first_range(uint32_t from)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!run_synced(q, QStringLiteral("SELECT MIN(cmd_id) FROM modems_cmd WHERE cmd_id >= %1").arg(from)))
        return false;
    const QVariant first = q.next() ? q.value(0) : QVariant();
    search_next.wanted = false; // this read stands for it
    if (first.isNull()) {
        add_free_range(from, UINT32_MAX);
        search_next.from = 1;
    } else {
        if (first.toUInt() > from) add_free_range(from, first.toUInt() - 1);
        search_next.from = first.toUInt();
    }
    want_free_numbers();
    return true;
}

quint64 SQL_Exchange::free_numbers_known() const
{
    quint64 known = 0;
    for (const auto& r : free_ranges)
        known += quint64(r.second) -
                 (r.first <= cmd_counter && cmd_counter <= r.second ? cmd_counter : r.first - 1);
    return known;
}

void SQL_Exchange::want_free_numbers()
{
    if (search_out || search_next.wanted || numbers_exhausted) return;
    if (free_ranges.size() >= free_ranges_max || free_numbers_known() >= free_numbers_ahead) return;
    search_next.wanted = true;
    search_next.epoch = numbers_epoch;
}

bool SQL_Exchange::add_free_range(uint32_t first, uint32_t last)
{
    // Only ahead of the ranges known, in order, and never as far round as the numbers given in
    // this run (from `numbering_base` to the counter), whose rows may not be stored yet.
    const quint64 span =
        numbering_base == cmd_counter ? Q_UINT64_C(1) << 32 : ahead(cmd_counter, numbering_base);
    const quint64 from = ahead(cmd_counter, first);
    const quint64 after = free_ranges.isEmpty() ? 0 : ahead(cmd_counter, free_ranges.last().second);
    if (first == 0 || last < first || from == 0 || from <= after || from >= span) return false;
    const quint64 to = qMin<quint64>(from + (last - first), span - 1);
    free_ranges << qMakePair(first, uint32_t(first + (to - from)));
    return true;
}

void SQL_Exchange::find_free_numbers()
{
    // Writer thread. One search reads at most a window of a million stored numbers, well within
    // the link time-out however large the table; the next search goes on after it.
    Number_search& s = run_search;
    s.done = true;
    QSqlQuery q(conn());
    q.setForwardOnly(true);
    if (!run_synced(q, QStringLiteral("SELECT MIN(cmd_id) FROM modems_cmd WHERE cmd_id >= %1").arg(s.from)))
        return;
    const QVariant first_stored = q.next() ? q.value(0) : QVariant();
    if (first_stored.isNull()) {
        s.found << qMakePair(s.from, UINT32_MAX);
        s.next_from = 1;
        s.ok = true;
        return;
    }
    const uint32_t first = first_stored.toUInt();
    if (first > s.from) s.found << qMakePair(s.from, first - 1);
    const quint64 window_end = qMin<quint64>(quint64(first) + search_window - 1, UINT32_MAX);
    // The gaps after stored numbers, in order: each from the number after a stored one that is
    // not stored itself up to the next stored one.
    const QString gaps =
        QStringLiteral(
            "SELECT c.cmd_id + 1, (SELECT MIN(e.cmd_id) FROM modems_cmd e WHERE e.cmd_id > c.cmd_id + 1) "
            "FROM modems_cmd c LEFT JOIN modems_cmd d ON d.cmd_id = c.cmd_id + 1 "
            "WHERE c.cmd_id BETWEEN %1 AND %2 AND d.cmd_id IS NULL ORDER BY c.cmd_id LIMIT %3")
            .arg(first)
            .arg(window_end)
            .arg(free_ranges_max);
    if (!run_synced(q, gaps)) return;
    // Then on after the window, or after the last range found when the list was cut.
    quint64 next = window_end + 1;
    int rows = 0;
    while (q.next()) {
        ++rows;
        const quint64 start = q.value(0).toULongLong();
        if (start > UINT32_MAX) break; // the largest number is stored
        const QVariant stored = q.value(1);
        const uint32_t last = stored.isNull() ? UINT32_MAX : stored.toUInt() - 1;
        s.found << qMakePair(uint32_t(start), last);
        next = rows == free_ranges_max ? quint64(last) + 1 : qMax(next, quint64(last) + 1);
    }
    s.next_from = next > UINT32_MAX ? 1 : uint32_t(next);
    s.ok = true;
}

void SQL_Exchange::take_back_search()
{
    if (!search_out) return;
    search_out = false;
    const Number_search s = run_search;
    run_search = Number_search();
    if (s.epoch != numbers_epoch) {
        want_free_numbers();
        return;
    }
    if (!s.ok) {
        // Not answered (or the run did not get that far): with the next run.
        if (s.done && search_lines.pass())
            LOG_ERR << "the search for free command numbers failed:" << writer_error.text()
                    << "; commands are refused once the known numbers are used up";
        search_next.wanted = true;
        search_next.from = s.from;
        search_next.epoch = s.epoch;
        return;
    }
    if (search_lines.end()) LOG_WRN << "free command numbers are found again";
    for (const auto& r : s.found)
        add_free_range(r.first, r.second);
    // Gone all the way round to the numbers of this run: nothing more is to be found.
    if (ahead(cmd_counter, s.next_from) <= ahead(cmd_counter, s.from)) {
        numbers_exhausted = true;
        if (free_ranges.isEmpty())
            LOG_ERR << "no free command number is left: every number ahead of" << cmd_counter << "is stored";
        return;
    }
    search_next.from = s.next_from;
    want_free_numbers();
}

bool SQL_Exchange::next_cmd_number()
{
    if (commands_closed) {
        number_refusal = QStringLiteral("the daemon is quitting");
        return false;
    }
    // Ranges used up go; the next number is the one after the counter inside the first range,
    // or that range's first.
    while (!free_ranges.isEmpty() && free_ranges.first().second == cmd_counter)
        free_ranges.removeFirst();
    if (free_ranges.isEmpty()) {
        want_free_numbers();
        number_refusal =
            QStringLiteral("no free number is known yet; the search for one runs with the next save");
        return false;
    }
    const QPair<uint32_t, uint32_t> range = free_ranges.first();
    const uint32_t n =
        range.first <= cmd_counter && cmd_counter < range.second ? cmd_counter + 1 : range.first;
    // Beyond the mark: the next block must be taken first. The writer takes it ahead of need; a
    // request does not wait for a run in flight or for a link known lost. Distances count
    // around the wrap.
    if (ahead(cmd_counter, n) > ahead(cmd_counter, cmd_mark) &&
        (db_away || writer_in_flight() || !store_cmd_mark(n + cmd_number_block))) {
        // Here only when no run is out (a statement would wait for it) and the link is not
        // known lost: a single quick statement.
        want_cmd_mark(n + cmd_number_block);
        number_refusal = QStringLiteral("the next block of numbers is not taken yet: ") +
                         (db_away ? QStringLiteral("the database does not answer")
                                  : QStringLiteral("its mark is stored with the next save"));
        return false;
    }
    cmd_counter = n;
    if (n == range.second) free_ranges.removeFirst();
    want_free_numbers();
    // Ahead of need: the next block is taken once half of this one is used.
    if (ahead(cmd_counter, cmd_mark) < cmd_number_block / 2) want_cmd_mark(cmd_mark + cmd_number_block);
    return true;
}

void SQL_Exchange::want_cmd_mark(uint32_t mark)
{
    // One store at a time; a wanted one is moved further when a jump needs more.
    if (mark_out && ahead(cmd_counter, mark) <= ahead(cmd_counter, run_mark.mark)) return;
    if (mark_next.wanted && ahead(cmd_counter, mark) <= ahead(cmd_counter, mark_next.mark)) return;
    mark_next.wanted = true;
    mark_next.mark = mark;
}

bool SQL_Exchange::write_cmd_mark(uint32_t mark)
{
    const QString store = QStringLiteral("INSERT INTO driver_state (`name`, `value`) VALUES ('%1', %2) "
                                         "ON DUPLICATE KEY UPDATE `value` = %2")
                              .arg(cmd_mark_name)
                              .arg(mark);
    QSqlQuery q(conn());
    return run(q, store);
}

void SQL_Exchange::take_back_mark()
{
    if (!mark_out) return;
    mark_out = false;
    const Mark_store m = run_mark;
    run_mark = Mark_store();
    if (!m.stored) {
        want_cmd_mark(m.mark);
        return;
    }
    if (ahead(cmd_counter, m.mark) > ahead(cmd_counter, cmd_mark)) cmd_mark = m.mark;
    if (number_lines.end()) LOG_WRN << "command numbers are taken again";
}

const QString SQL_Exchange::cmd_mark_name = QStringLiteral("cmd_numbered_to");

bool SQL_Exchange::store_cmd_mark(uint32_t mark)
{
    if (!write_cmd_mark(mark)) return false;
    cmd_mark = mark;
    if (number_lines.end()) LOG_WRN << "command numbers are taken again";
    return true;
}
