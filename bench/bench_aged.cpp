// The storage on a database of years, each figure beside a reference measured in the same run:
// - start-up (the storage's init: schema checks, the command number mark, the number window) on
//   a command table of millions of rows, against the same on an empty one;
// - age-based retention (pieces in the loader's thread) in rows a second, against one plain
//   DELETE of the same rows through the mariadb client.
//
//   bench_aged [command rows] [old readings]   (default 10000000 and 1000000; a private MariaDB)
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

int old_rows(QSqlDatabase& db, uint32_t cut)
{
    return testsupport::count_rows(db, QString("SELECT COUNT(*) FROM modems_data WHERE `type` = 66 AND ts < %1").arg(cut));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 commands = argc > 1 ? QString(argv[1]).toLongLong() : 10000000;
    const qint64 readings = argc > 2 ? QString(argv[2]).toLongLong() : 1000000;
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
                Bench_storage s(testsupport::db_config(env, aged), nullptr);
                if (!s.init()) return 1;
                took.restart();
                s.remove_old(15, cut);
                while (s.loader->removals_waiting() > 0)
                    QThread::msleep(20);
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
            rate[way] = readings * 1000.0 / ms;
        }
        std::printf("retention: %.0f rows/s in pieces, plain DELETE %.0f rows/s: ratio %.2f\n", rate[0], rate[1],
                    rate[1] > 0 ? rate[0] / rate[1] : 0.0);
        db.close();
    }
    QSqlDatabase::removeDatabase("private");
    return rc;
}
