// Storage: the statements of the command numbering (cmd_numbering keeps the books).
#include "logger.h"
#include "sql_exchange.h"

#include <QSqlQuery>
#include <unistd.h>

const QString SQL_Exchange::cmd_mark_name = QStringLiteral("cmd_numbered_to");

cmd_numbering::Limits SQL_Exchange::numbering_limits()
{
    cmd_numbering::Limits limits;
    limits.block = cmd_number_block;
    limits.ranges_kept = int(2 * cmd_number_block);
    return limits;
}

void SQL_Exchange::continue_numbers_after(uint32_t newest)
{
    take_mark_back(link_timeout_s * 1000);
    numbering.restart(newest);
}

bool SQL_Exchange::next_cmd_number()
{
    if (commands_closed) {
        numbering.refuse(QStringLiteral("the daemon is quitting"));
        return false;
    }
    take_mark_back();
    // A mark is stored by the request itself only when no run is out (a statement would wait
    // for it) and the link is not known lost: a single quick statement. A mark the idle writer
    // is storing is as quick: the request waits for it (2 s at most) rather than be refused.
    bool ok = numbering.next(!db_away && !writer_in_flight(), db_away);
    if (!ok && mark_job_out && !db_away && !writer_in_flight()) {
        take_mark_back(2000);
        ok = numbering.next(!db_away && !writer_in_flight(), db_away);
    }
    // The next block goes to the writer as soon as it is wished (about half a block ahead of
    // need), and again at once after a refusal.
    hand_mark(false);
    return ok;
}

void SQL_Exchange::hand_mark(bool tick)
{
    if (tick) mark_retry_on_tick = false;
    take_mark_back();
    if (mark_job_out || mark_retry_on_tick || db_away || !writer.joinable() || writer_down ||
        clock.elapsed() < writer_retry_at)
        return;
    cmd_numbering::Work w = numbering.take_mark();
    if (!w.store) return;
    {
        std::lock_guard<std::mutex> lock(writer_mutex);
        mark_job = Mark_job{true, false, w, QString()};
    }
    mark_job_out = true;
    writer_cv.notify_all();
}

void SQL_Exchange::take_mark_back(qint64 wait_ms)
{
    if (!mark_job_out) return;
    cmd_numbering::Work w;
    QString error;
    {
        std::unique_lock<std::mutex> lock(writer_mutex);
        if (!writer_cv.wait_for(lock, std::chrono::milliseconds(qMax<qint64>(0, wait_ms)),
                                [this] { return mark_job.done; }))
            return;
        w = mark_job.work;
        error = mark_job.error;
        mark_job = Mark_job();
    }
    mark_job_out = false;
    // A failed one is not handed again before the next tick: each try is a statement.
    if (!w.stored) mark_retry_on_tick = true;
    numbering.take_back(w, error);
}

void SQL_Exchange::store_handed_mark()
{
    cmd_numbering::Work w;
    {
        std::lock_guard<std::mutex> lock(writer_mutex);
        if (!mark_job.handed || mark_job.done) return;
        w = mark_job.work;
    }
    const QSqlError kept = last_error;
    numbering.run_work(w); // the mark only: no search is handed this way
    const QString error = w.stored ? QString() : last_error.text();
    last_error = kept;
    {
        std::lock_guard<std::mutex> lock(writer_mutex);
        mark_job.work = w;
        mark_job.error = error;
        mark_job.done = true;
    }
    writer_cv.notify_all();
    const uint64_t one = 1;
    if (writer_wake_fd >= 0) (void)!::write(writer_wake_fd, &one, sizeof one);
}

bool SQL_Exchange::run_synced(QSqlQuery& q, const QString& select)
{
    // A cluster node answers reads from what it has applied so far; with wsrep_sync_wait it
    // first catches up with the write-sets committed on the other nodes. A server without the
    // variable (no cluster support) answers 1193, and its reads are current anyway.
    QSqlQuery set(conn());
    const bool synced = run(set, QStringLiteral("SET SESSION wsrep_sync_wait = 1"));
    if (!synced && last_error.nativeErrorCode() != QLatin1String("1193")) return false;
    const bool ok = run(q, select);
    // Back to the default whatever the select did, so that no later write of the session waits
    // for the cluster; a lost link took the session with it (a new one starts with the default),
    // and a second statement on a silent link would only wait out the time-out again.
    if (synced && (ok || classify(last_error) != Error_class::connection)) {
        const QSqlError kept = last_error;
        run(set, QStringLiteral("SET SESSION wsrep_sync_wait = DEFAULT"));
        last_error = kept;
    }
    return ok;
}

bool SQL_Exchange::read_number_window(uint32_t from, quint64 window, int rows_max,
                                      QList<cmd_numbering::Stored>& rows)
{
    // One ordered range scan of the key reads at most `window` stored numbers from `from` on;
    // LEAD pairs each with the next one, so that a gap shows without a second look at the
    // table: the cost stays that of the window, whatever the size of the table or the number of
    // gaps. The first row, every row followed by a gap and the window's last come back.
    const QString select =
        QStringLiteral(
            "SELECT cmd_id, next_id, place FROM (SELECT cmd_id, LEAD(cmd_id) OVER (ORDER BY cmd_id) AS "
            "next_id, ROW_NUMBER() OVER (ORDER BY cmd_id) AS place FROM (SELECT cmd_id FROM modems_cmd "
            "WHERE cmd_id >= %1 ORDER BY cmd_id LIMIT %2) w) g WHERE place = 1 OR next_id IS NULL OR "
            "next_id > cmd_id + 1 ORDER BY cmd_id LIMIT %3")
            .arg(from)
            .arg(window)
            .arg(rows_max);
    QSqlQuery q(conn());
    q.setForwardOnly(true);
    if (!run_synced(q, select)) return false;
    rows.clear();
    while (q.next()) {
        cmd_numbering::Stored r;
        r.id = q.value(0).toUInt();
        r.has_next = !q.value(1).isNull();
        r.next = r.has_next ? q.value(1).toUInt() : 0;
        r.place = q.value(2).toULongLong();
        rows << r;
    }
    return true;
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
