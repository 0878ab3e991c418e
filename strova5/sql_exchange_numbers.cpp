// Storage: the statements of the command numbering (cmd_numbering keeps the books).
#include "logger.h"
#include "sql_exchange.h"

#include <QSqlQuery>

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
    numbering.restart(newest);
}

bool SQL_Exchange::next_cmd_number()
{
    if (commands_closed) {
        numbering.refuse(QStringLiteral("the daemon is quitting"));
        return false;
    }
    // A mark is stored by the request itself only when no run is out (a statement would wait
    // for it) and the link is not known lost: a single quick statement.
    return numbering.next(!db_away && !writer_in_flight(), db_away);
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
