// The reports of many modems on a table of years, each beside one plain statement reading the
// same rows through the same client library, cold (the server restarted, its pool emptied) and
// warm (at once again). The table: a day record a day of every modem, hour records of one modem in
// twenty over the last month, 30 events a modem outside the last month; its keys built after the
// rows; the server's pool (64 MiB) a small share of it.
//
//   bench_reports_aged [modems] [days]
//   (default 10000 and 396; a private MariaDB)
//
// Reports go through the API controller in this process (the daemon's own code and connection),
// history, history_orig and events of 1,000, 10,000 and 100,000 modems (as many as there are), over
// the last whole day and the last month.
#include "api_controller.h"
#include "logger.h"
#include "ram_modems.h"
#include "sql_exchange.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlQuery>
#include <QSqlRecord>
#include <cstdio>
#include <functional>
#include <memory>

namespace {

bool run(QSqlDatabase& db, const QString& statement)
{
    QSqlQuery q(db);
    if (q.exec(statement)) return true;
    std::fprintf(stderr, "%s: %s\n", qPrintable(q.lastError().text()), qPrintable(statement.left(300)));
    return false;
}

// Milliseconds of one plain statement whose every value is fetched.
qint64 plain_ms(QSqlDatabase& db, const QString& statement, qint64& rows)
{
    QElapsedTimer took;
    took.start();
    QSqlQuery q(db);
    q.setForwardOnly(true);
    rows = 0;
    if (!q.exec(statement)) return -1;
    const int columns = q.record().count();
    while (q.next()) {
        for (int i = 0; i < columns; ++i)
            (void)q.value(i);
        ++rows;
    }
    return took.elapsed();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 modems = argc > 1 ? QString(argv[1]).toLongLong() : 10000;
    const qint64 days = qMax<qint64>(40, argc > 2 ? QString(argv[2]).toLongLong() : 396);
    log_set_level(LVL_WRN);
    register_record_metatypes();
    testsupport::Private_server server;
    QSqlDatabase db;
    const auto env = server.start_with_schema(db);
    if (env.isEmpty()) {
        std::fprintf(stderr, "MariaDB did not start\n");
        return 1;
    }
    const uint32_t first_day = 1600000000 / 86400 * 86400;
    const uint32_t end = first_day + uint32_t(days) * 86400; // after the last day
    const uint32_t last_month = end - 31 * 86400;
    QElapsedTimer built;
    built.start();
    const QString reading_columns =
        "(modem_id, ts, ts_get, `type`, `index`, OBIS_1_8_0, OBIS_1_8_1, OBIS_1_8_2, OBIS_2_8_0, OBIS_3_8_0, "
        "OBIS_4_8_0)";
    // The rows in key order, the secondary keys after them.
    if (!run(db, "ALTER TABLE modems_data DROP KEY type_ts") ||
        !run(db, "ALTER TABLE modems_event DROP KEY type_ts, DROP KEY ts") ||
        !run(db,
             QString(
                 "INSERT INTO modems_data %1 SELECT 1 + (seq - 1) DIV %2, %3 + ((seq - 1) MOD %2) * 86400, "
                 "%3 + ((seq - 1) MOD %2) * 86400 + 300, 68, (seq - 1) MOD %2, seq * 0.01, seq * 0.006, "
                 "seq * 0.004, seq * 0.001, seq * 0.002, seq * 0.0005 FROM seq_1_to_%4")
                 .arg(reading_columns)
                 .arg(days)
                 .arg(first_day)
                 .arg(modems * days)) ||
        !run(db,
             QString(
                 "INSERT INTO modems_data %1 SELECT 20 * (1 + (seq - 1) DIV 744), %2 + ((seq - 1) MOD 744) * "
                 "3600, %2 + ((seq - 1) MOD 744) * 3600 + 60, 66, (seq - 1) MOD 744, seq * 0.01, seq * "
                 "0.006, seq * 0.004, seq * 0.001, seq * 0.002, seq * 0.0005 FROM seq_1_to_%3")
                 .arg(reading_columns)
                 .arg(last_month)
                 .arg(modems / 20 * 744)) ||
        !run(db,
             QString(
                 "INSERT INTO modems_event (modem_id, ts, ts_get, `type`, `index`, index_max, `event`, "
                 "worktime) SELECT 1 + (seq - 1) DIV 30, %1 + (seq * 7919) MOD %2, %1 + (seq * 7919) MOD %2 "
                 "+ 60, (seq MOD 4) + 1, seq MOD 65535, 65535, seq, 0 FROM seq_1_to_%3")
                 .arg(first_day)
                 .arg(qint64(last_month - first_day))
                 .arg(modems * 30)) ||
        !run(db, "ALTER TABLE modems_data ADD KEY type_ts (`type`, ts)") ||
        !run(db, "ALTER TABLE modems_event ADD KEY ts (ts), ADD KEY type_ts (`type`, ts)") ||
        !run(db, "ANALYZE TABLE modems_data, modems_event"))
        return 1;
    double table_mib = 0, pool_mib = 0;
    {
        QSqlQuery size(db);
        if (size.exec(
                "SELECT (data_length + index_length) / 1048576, @@innodb_buffer_pool_size / 1048576 FROM "
                "information_schema.tables WHERE table_schema = DATABASE() AND table_name = 'modems_data'") &&
            size.next()) {
            table_mib = size.value(0).toDouble();
            pool_mib = size.value(1).toDouble();
        }
    }
    std::printf("table: %lld modems x %lld days, %lld hour records, %lld events; modems_data %.0f MiB, pool "
                "%.0f MiB; built in %lld s\n",
                modems, days, modems / 20 * 744, modems * 30, table_mib, pool_mib, built.elapsed() / 1000);
    std::fflush(stdout);

    const auto cold_restart = [&] {
        // Without the pool's dump the server starts with nothing cached.
        QSqlQuery(db).exec("SET GLOBAL innodb_buffer_pool_dump_at_shutdown = OFF");
        db.close();
        return server.run({"mysql-stop"}) && server.run({"mysql-start"}) && db.open();
    };
    const QVariantMap cfg = testsupport::db_config(env, env["STROVA_MYSQL_DB"]);
    std::unique_ptr<RAM_modems> ram;
    std::unique_ptr<SQL_Exchange> storage;
    std::unique_ptr<API_controller> api;
    // A daemon as it starts: its registry holds the modems, knowing nothing of their rows.
    const auto fresh_daemon = [&] {
        api.reset();
        storage.reset();
        ram = std::make_unique<RAM_modems>(QVariantMap(), nullptr);
        for (qint64 m = 1; m <= modems; ++m)
            ram->add_modem(uint32_t(m), {});
        storage = std::make_unique<SQL_Exchange>(cfg, nullptr);
        api = std::make_unique<API_controller>(QVariantMap(), nullptr);
        return storage->init();
    };

    struct Window
    {
        const char* name;
        uint32_t from, to;
    };
    const Window windows[] = {{"day", end - 2 * 86400, end - 86400 - 1}, {"month", last_month, end - 1}};
    std::printf("%-13s %7s %-5s %10s %10s %8s %10s %10s %8s %9s\n", "report", "modems", "span", "api cold",
                "plain cold", "ratio", "api warm", "plain warm", "ratio", "rows");
    for (const qint64 n : {qint64(1000), qint64(10000), qint64(100000)}) {
        if (n > modems) break;
        QStringList ids;
        for (qint64 m = 1; m <= n; ++m)
            ids << QString::number(m);
        const QString list = ids.join(',');
        for (const Window& w : windows)
            for (const QString route : {"history", "history_orig", "events"}) {
                const bool events = route == "events";
                const QVariantMap request{
                    {"qitems", QVariantMap{{"modem", list}, {"timefrom", w.from}, {"timeto", w.to}}}};
                const auto ask = [&] {
                    QElapsedTimer took;
                    took.start();
                    const QVariant answer = route == "history"        ? api->api_report_history(request)
                                            : route == "history_orig" ? api->api_report_history_orig(request)
                                                                      : api->api_report_events(request);
                    const bool refused = answer.userType() == qMetaTypeId<api_refusal>();
                    return refused ? -took.elapsed() : took.elapsed();
                };
                // The same rows in one statement on the (type, ts) key: the kinds' stored types of
                // the window, of the modems asked.
                const QString plain =
                    events
                        ? QString(
                              "SELECT * FROM modems_event WHERE `type` in (0,1,2,3,4,5,6,7,8,9,10,255) AND "
                              "ts >= %1 AND ts <= %2 AND modem_id <= %3")
                              .arg(w.from)
                              .arg(w.to)
                              .arg(n)
                        : QString(
                              "SELECT * FROM modems_data WHERE `type` in (66,50,15,68,49,14) AND ts >= %1 "
                              "AND ts <= %2 AND modem_id <= %3")
                              .arg(w.from)
                              .arg(w.to)
                              .arg(n);
                if (!cold_restart() || !fresh_daemon()) return 1;
                const qint64 api_cold = ask();
                const qint64 api_warm = ask();
                api.reset();
                storage.reset();
                if (!cold_restart()) return 1;
                qint64 rows = 0;
                const qint64 plain_cold = plain_ms(db, plain, rows);
                const qint64 plain_warm = plain_ms(db, plain, rows);
                const auto ratio = [](qint64 a, qint64 b) { return double(a) / double(qMax<qint64>(1, b)); };
                std::printf("%-13s %7lld %-5s %8lld ms %7lld ms %8.2f %7lld ms %7lld ms %8.2f %9lld%s\n",
                            qPrintable(route), n, w.name, qAbs(api_cold), plain_cold,
                            ratio(qAbs(api_cold), plain_cold), qAbs(api_warm), plain_warm,
                            ratio(qAbs(api_warm), plain_warm), rows,
                            api_cold < 0 || api_warm < 0 ? " (refused)" : "");
                std::fflush(stdout);
            }
    }
    return 0;
}
