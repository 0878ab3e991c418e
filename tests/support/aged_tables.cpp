#include "aged_tables.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace testsupport {
namespace {

bool exec(QSqlDatabase& db, const QString& statement, QString* error)
{
    QSqlQuery q(db);
    if (q.exec(statement)) return true;
    if (error) *error = q.lastError().text() + QStringLiteral(" in: ") + statement.left(300);
    return false;
}

// Runs `insert` (its "%seq" the sequence of row numbers, "%modem" the modem of row `seq`, "%k"
// its place among that modem's rows, "%ts" its time) with the
// table's secondary keys dropped, then builds them again in one statement.
bool bulk_insert(QSqlDatabase& db, const QString& table, const QString& insert, qint64 rows, uint32_t ts_from,
                 uint32_t ts_to, QString* error, qint64 modems = 10000)
{
    if (rows <= 0) return true;
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT index_name, GROUP_CONCAT(CONCAT('`', column_name, '`') ORDER BY seq_in_index) "
                               "FROM information_schema.statistics WHERE table_schema = DATABASE() AND "
                               "table_name = '%1' AND index_name <> 'PRIMARY' GROUP BY index_name")
                    .arg(table))) {
        if (error) *error = q.lastError().text();
        return false;
    }
    QStringList drops, adds;
    while (q.next()) {
        drops << QStringLiteral("DROP KEY `%1`").arg(q.value(0).toString());
        adds << QStringLiteral("ADD KEY `%1` (%2)").arg(q.value(0).toString(), q.value(1).toString());
    }
    // Rows in the order of the tables' primary keys (modem, then time), so that the server
    // appends them: modem `10000 + (seq - 1) DIV per_modem`, its `k`-th row at an even step.
    const qint64 per_modem = (rows + modems - 1) / qMax<qint64>(1, modems);
    const QString k = QStringLiteral("((seq - 1) MOD %1)").arg(per_modem);
    const QString ts = QStringLiteral("(%1 + %2 * %3 DIV %4)")
                           .arg(ts_from)
                           .arg(k)
                           .arg(qint64(ts_to) - qint64(ts_from))
                           .arg(per_modem);
    const QString modem = QStringLiteral("(10000 + (seq - 1) DIV %1)").arg(per_modem);
    const QString seq = QStringLiteral("seq_1_to_%1").arg(rows);
    const QString filled = QString(insert)
                               .replace(QLatin1String("%ts"), ts)
                               .replace(QLatin1String("%seq"), seq)
                               .replace(QLatin1String("%modem"), modem)
                               .replace(QLatin1String("%k"), k);
    return (drops.isEmpty() || exec(db, QStringLiteral("ALTER TABLE `%1` %2").arg(table, drops.join(", ")), error)) &&
           exec(db, filled, error) &&
           (adds.isEmpty() || exec(db, QStringLiteral("ALTER TABLE `%1` %2").arg(table, adds.join(", ")), error));
}

} // namespace

bool fill_aged_commands(QSqlDatabase& db, qint64 rows, uint32_t first_id, uint32_t ts_from, uint32_t ts_to,
                        QString* error)
{
    return bulk_insert(db, QStringLiteral("modems_cmd"),
                       QStringLiteral("INSERT INTO modems_cmd (cmd_id, modem_id, ts, setting, `state`) "
                                      "SELECT %1 + seq - 1, %modem, %ts, ELT(1 + seq % 4, 'version', "
                                      "'13.0.0', 'get_arch_index', '0.0.17.0.0.255_3'), 3 FROM %seq")
                           .arg(first_id),
                       rows, ts_from, ts_to, error);
}

bool fill_aged_readings(QSqlDatabase& db, qint64 rows, int type, uint32_t ts_from, uint32_t ts_to,
                        QString* error, qint64 modems)
{
    return bulk_insert(
        db, QStringLiteral("modems_data"),
        QStringLiteral("INSERT INTO modems_data (modem_id, ts, ts_get, `type`, `index`, index_max, "
                       "OBIS_1_8_0, OBIS_ext) SELECT %modem, %ts, %ts + 60, %1, %k % 65535, 4000, seq, "
                       "CONCAT('{\"0100010800FF\":', seq, '}') "
                       "FROM %seq")
            .arg(type),
        rows, ts_from, ts_to, error, modems);
}

bool fill_aged_events(QSqlDatabase& db, qint64 rows, int type, uint32_t ts_from, uint32_t ts_to, QString* error)
{
    return bulk_insert(db, QStringLiteral("modems_event"),
                       QStringLiteral("INSERT INTO modems_event (modem_id, ts, ts_get, `type`, `index`, index_max, "
                                      "`event`, worktime) SELECT %modem, %ts, %ts + 60, %1, %k % 65535, NULL, 3, seq "
                                      "FROM %seq")
                           .arg(type),
                       rows, ts_from, ts_to, error);
}

} // namespace testsupport
