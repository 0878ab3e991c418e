// The storage on a database of years, each figure beside a reference measured in the same run:
// - start-up (the storage's init: schema checks, the command number mark, the number window) on
//   a command table of millions of rows, against the same on an empty one;
// - age-based retention (pieces in the loader's thread) in rows a second, against one plain
//   DELETE of the same rows through the mariadb client;
// - retention switched on over a year of day records: 100,000 modems x 40, every modem's k-th
//   record in the same second, the cut-off taking 30 of each, on a buffer pool emptied by a
//   restart; its rate beside the hour records' rate of the same run (the target: at least half),
//   and the rows at or after the cut-off all kept.
//
//   bench_aged [command rows] [old readings] [day-record modems]
//   (default 10000000, 1000000 and 100000; a private MariaDB)
#include "aged_tables.h"
#include "sql_exchange.h"
#include "sql_loader.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QSqlQuery>
#include <QThread>
#include <cstdio>

namespace {

class Bench_storage : public SQL_Exchange
{
public:
    using SQL_Exchange::loader;
    using SQL_Exchange::SQL_Exchange;
};

// Microseconds of the storage's init on `database`, the best of three.
qint64 init_us(const QMap<QString, QString>& env, const QString& database)
{
    qint64 best = -1;
    for (int i = 0; i < 3; ++i) {
        Bench_storage s(testsupport::db_config(env, database), nullptr);
        QElapsedTimer took;
        took.start();
        if (!s.init()) return -1;
        const qint64 us = took.nsecsElapsed() / 1000;
        best = best < 0 ? us : qMin(best, us);
    }
    return best;
}

int old_rows(QSqlDatabase& db, uint32_t cut, int type = 66)
{
    return testsupport::count_rows(
        db, QString("SELECT COUNT(*) FROM modems_data WHERE `type` = %1 AND ts < %2").arg(type).arg(cut));
}

// Rows a second of the storage's retention of `kind` up to `cut`, from the call to the end of the
// pass; `rows` were to go.
double retention_rate(const QMap<QString, QString>& env, const QString& database, uint8_t kind, uint32_t cut,
                      qint64 rows)
{
    Bench_storage s(testsupport::db_config(env, database), nullptr);
    if (!s.init()) return -1;
    QElapsedTimer took;
    took.start();
    s.remove_old(kind, cut);
    while (s.loader->removals_waiting() > 0)
        QThread::msleep(20);
    return rows * 1000.0 / qMax<qint64>(1, took.elapsed());
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 commands = argc > 1 ? QString(argv[1]).toLongLong() : 10000000;
    const qint64 readings = argc > 2 ? QString(argv[2]).toLongLong() : 1000000;
    const qint64 day_modems = argc > 3 ? QString(argv[3]).toLongLong() : 100000;
    testsupport::Private_server server; // stopped however the run ends
    if (!server.start()) {
        std::fprintf(stderr, "MariaDB did not start (its output is above)\n");
        return 1;
    }
    int rc = 0;
    {
        QSqlDatabase db;
        const auto env = server.open_check(db);
        if (!db.isOpen()) return 1;
        const QString aged = env["STROVA_MYSQL_DB"];
        const QString empty = "bench_empty";
        QSqlQuery(db).exec("CREATE DATABASE " + empty);
        QSqlQuery(db).exec("USE " + empty);
        if (!testsupport::run_sql_file(db, STROVA_SOURCE_DIR "/sql/schema.sql")) return 1;
        QSqlQuery(db).exec("USE " + aged);
        const uint32_t now = uint32_t(QDateTime::currentSecsSinceEpoch());
        QString error;
        if (!testsupport::fill_aged_commands(db, commands, 1, now - 3 * 366 * 86400, now, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        const qint64 on_empty = init_us(env, empty);
        const qint64 on_aged = init_us(env, aged);
        std::printf("start-up: %lld command rows %.1f ms, empty table %.1f ms: ratio %.2f\n", commands,
                    on_aged / 1000.0, on_empty / 1000.0, on_empty > 0 ? double(on_aged) / on_empty : 0.0);
        if (on_aged < 0 || on_empty < 0) rc = 1;

        // Retention: the same old rows removed twice, once by the storage, once by one DELETE.
        const uint32_t cut = now - 30 * 86400;
        double rate[2] = {0, 0};
        for (int way = 0; way < 2; ++way) {
            if (!testsupport::fill_aged_readings(db, readings, 66, now - 400 * 86400, cut, &error)) {
                std::fprintf(stderr, "%s\n", qPrintable(error));
                return 1;
            }
            QSqlQuery(db).exec("ANALYZE TABLE modems_data");
            QElapsedTimer took;
            took.start();
            if (way == 0) {
                rate[0] = retention_rate(env, aged, 15, cut, readings);
            } else {
                testsupport::run_tool("mariadb",
                                      {"--no-defaults", "-h", env["STROVA_MYSQL_HOST"], "-P", env["STROVA_MYSQL_PORT"],
                                       "-u", env["STROVA_MYSQL_USER"], "-p" + env["STROVA_MYSQL_PASS"], aged, "-e",
                                       QString("DELETE FROM modems_data WHERE `type` = 66 AND ts < %1").arg(cut)});
            }
            const qint64 ms = qMax<qint64>(1, took.elapsed());
            if (old_rows(db, cut) != 0) {
                std::fprintf(stderr, "old rows left after the %s\n", way ? "plain DELETE" : "retention");
                rc = 1;
            }
            if (way == 1) rate[1] = readings * 1000.0 / ms;
        }
        std::printf("retention: %.0f rows/s in pieces, plain DELETE %.0f rows/s: ratio %.2f\n", rate[0], rate[1],
                    rate[1] > 0 ? rate[0] / rate[1] : 0.0);

        // Day records of many modems, each second shared by all of them, beside hour records of
        // 10,000 modems, each pass starting on a buffer pool emptied by a restart.
        const uint32_t first_day = (now - 40 * 86400) / 86400 * 86400;
        const uint32_t day_cut = first_day + 30 * 86400;
        const qint64 day_rows = day_modems * 40;
        // Month records, a year of each modem, half of them to go.
        const uint32_t month_first = now - 400 * 86400;
        const uint32_t month_cut = month_first + 6 * 31 * 86400;
        if (!testsupport::fill_aged_readings(db, day_rows, 68, first_day, first_day + 40 * 86400, &error,
                                             day_modems) ||
            !testsupport::fill_aged_readings(db, readings, 66, now - 400 * 86400, cut, &error) ||
            !testsupport::fill_aged_readings(db, day_modems * 12, 70, month_first,
                                             month_first + 12 * 31 * 86400, &error, day_modems) ||
            !testsupport::fill_aged_events(db, readings, 3, now - 400 * 86400, cut, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        QSqlQuery(db).exec("ANALYZE TABLE modems_data");
        QSqlQuery size(db);
        size.exec("SELECT (data_length + index_length) / 1048576, @@innodb_buffer_pool_size / 1048576 FROM "
                  "information_schema.tables WHERE table_schema = DATABASE() AND table_name = 'modems_data'");
        const bool sized = size.next();
        const double table_mib = sized ? size.value(0).toDouble() : 0.0,
                     pool_mib = sized ? size.value(1).toDouble() : 0.0;
        const auto cold_restart = [&] {
            // Without the pool's dump the server starts with nothing cached.
            QSqlQuery(db).exec("SET GLOBAL innodb_buffer_pool_dump_at_shutdown = OFF");
            db.close();
            return server.run({"mysql-stop"}) && server.run({"mysql-start"}) && db.open();
        };
        if (!cold_restart()) {
            std::fprintf(stderr, "MariaDB did not restart\n");
            return 1;
        }
        const double day_rate = retention_rate(env, aged, 14, day_cut, day_modems * 30);
        if (!cold_restart()) return 1;
        const double hour_rate = retention_rate(env, aged, 15, cut, readings);
        if (!cold_restart()) return 1;
        const double month_rate = retention_rate(env, aged, 13, month_cut, day_modems * 6);
        if (!cold_restart()) return 1;
        const double event_rate = retention_rate(env, aged, 3, cut, readings);
        const int events_left = testsupport::count_rows(
            db, QString("SELECT COUNT(*) FROM modems_event WHERE `type` = 3 AND ts < %1").arg(cut));
        const int months_left = old_rows(db, month_cut, 70);
        const int day_old = old_rows(db, day_cut, 68);
        const int day_kept = testsupport::count_rows(
            db, QString("SELECT COUNT(*) FROM modems_data WHERE `type` = 68 AND ts >= %1").arg(day_cut));
        std::printf(
            "retention on a cold buffer pool (table %.0f MiB, pool %.0f MiB): day records of %lld modems "
            "x 40, 30 each removed, %.0f rows/s; hour records %.0f rows/s: ratio %.2f (target at least 0.5)\n",
            table_mib, pool_mib, day_modems, day_rate, hour_rate, hour_rate > 0 ? day_rate / hour_rate : 0.0);
        std::printf("retention on a cold buffer pool: month records of %lld modems x 12, 6 each removed, "
                    "%.0f rows/s; events of 10,000 modems %.0f rows/s\n",
                    day_modems, month_rate, event_rate);
        if (events_left != 0 || months_left != 0) rc = 1;
        if (old_rows(db, cut) != 0) rc = 1;
        if (day_old != 0 || day_kept != day_modems * 10) {
            std::fprintf(stderr, "day records: %d left before the cut-off, %d of %lld kept at or after it\n",
                         day_old, day_kept, day_modems * 10);
            rc = 1;
        }
        db.close();
    }
    QSqlDatabase::removeDatabase("private");
    return rc;
}
