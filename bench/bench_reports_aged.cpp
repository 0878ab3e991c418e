// The reports of many modems on a table of years, each beside one plain statement reading the
// same rows through the same client library, cold (the server restarted, its pool emptied) and
// warm (at once again). The table: a day record a day of every modem, hour records of one modem in
// twenty over the last month, 30 events a modem before the last month; the rows in key order from
// several connections at once, the secondary keys built after them; the server then restarted on
// a pool of 256 MiB, a small share of the table.
//
//   bench_reports_aged [modems] [days]
//   (default 100000 and 396; a private MariaDB)
//   STROVA_MYSQL_POOL=32M sets another pool. BENCH_STATE=DIR keeps the server's state in DIR: a table built
//   there for the same size is used again (another build of the daemon can be measured on the same rows);
//   BENCH_KEEP=1 leaves it there, stopped. BENCH_CASES=history,list runs only those reports.
//
// Reports go through the API controller and the report runner in this process (the daemon's own
// code, connection and event loop): history and history_orig of a day of 10,000 and 100,000
// modems, the history of today of 100,000 (the clock stands at noon of the day after the last day
// record: a window with no row yet), events of a month with events of 10,000 modems and of an
// empty month of 100,000, and the list of modems. Each answer's size and checksum are printed, so
// that two builds can be compared byte for byte, and the statements the daemon's session sent
// for it. BENCH_CASES=history,list runs only those routes (history:today, one case).
#include "api_controller.h"
#include "api_reports_runner.h"
#include "logger.h"
#include "ram_modems.h"
#include "sql_exchange.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

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
    const qint64 modems = argc > 1 ? QString(argv[1]).toLongLong() : 100000;
    const qint64 days = qMax<qint64>(70, argc > 2 ? QString(argv[2]).toLongLong() : 396);
    log_set_level(LVL_WRN);
    register_record_metatypes();

    QTemporaryDir temp(QStringLiteral("/tmp/stbench.XXXXXX"));
    const QString state =
        qEnvironmentVariableIsSet("BENCH_STATE") ? qEnvironmentVariable("BENCH_STATE") : temp.path();
    const bool keep = qEnvironmentVariableIsSet("BENCH_KEEP");
    QDir().mkpath(state);
    const QString marker = QString("%1/built-%2x%3").arg(state).arg(modems).arg(days);
    const bool reuse = QFile::exists(state + "/services.env") && QFile::exists(marker);
    if (!qEnvironmentVariableIsSet("STROVA_MYSQL_POOL")) qputenv("STROVA_MYSQL_POOL", "256M");
    if (testsupport::services_control(reuse ? QStringList{"mysql-start"} : QStringList{"start", "mysql"},
                                      nullptr, state) != 0) {
        std::fprintf(stderr, "MariaDB did not start\n");
        return 1;
    }
    struct stopper
    {
        QString state;
        bool keep;
        ~stopper() { testsupport::services_control({keep ? "mysql-stop" : "stop"}, nullptr, state); }
    } stop_at_end{state, keep};
    const auto env = testsupport::read_env_file(state + "/services.env");
    QSqlDatabase db = testsupport::open_database("bench", env["STROVA_MYSQL_DB"], env);
    if (!db.isOpen()) return 1;

    const uint32_t first_day = 1600000000 / 86400 * 86400;
    const uint32_t end = first_day + uint32_t(days) * 86400; // after the last day
    const uint32_t last_month = end - 31 * 86400;
    const QString reading_columns =
        "(modem_id, ts, ts_get, `type`, `index`, OBIS_1_8_0, OBIS_1_8_1, OBIS_1_8_2, OBIS_2_8_0, OBIS_3_8_0, "
        "OBIS_4_8_0)";
    QElapsedTimer built;
    built.start();
    if (!reuse) {
        QSqlDatabase admin = testsupport::open_admin_database("bench_admin", env);
        if (!testsupport::run_sql_file(db, STROVA_SOURCE_DIR "/sql/schema.sql") ||
            !run(admin, "SET GLOBAL innodb_buffer_pool_size = 1073741824") ||
            !run(admin, "SET GLOBAL innodb_flush_log_at_trx_commit = 0") ||
            !run(db, "ALTER TABLE modems_data DROP KEY type_ts") ||
            !run(db, "ALTER TABLE modems_event DROP KEY type_ts, DROP KEY ts"))
            return 1;
        // Pieces of 1,000 modems in key order, from four connections at once.
        constexpr qint64 piece = 1000;
        const qint64 pieces = (modems + piece - 1) / piece;
        std::atomic<qint64> next{0};
        std::atomic<bool> failed{false};
        std::vector<std::thread> streams;
        for (int s = 0; s < 4; ++s)
            streams.emplace_back([&, s] {
                const QString name = QString("bench_stream%1").arg(s);
                {
                    QSqlDatabase c = testsupport::open_database(name, env["STROVA_MYSQL_DB"], env);
                    for (qint64 p = next++; p < pieces && !failed; p = next++) {
                        const qint64 lo = p * piece + 1, hi = qMin(modems, (p + 1) * piece);
                        const qint64 n = hi - lo + 1;
                        // Hour records: every twentieth modem.
                        const qint64 hour_lo = (lo + 19) / 20, hour_hi = hi / 20;
                        const bool ok =
                            (hour_hi < hour_lo ||
                             run(c,
                                 QString(
                                     "INSERT INTO modems_data %1 SELECT 20 * (%2 + (seq - 1) DIV 744), %3 + "
                                     "((seq - 1) MOD 744) * 3600, %3 + ((seq - 1) MOD 744) * 3600 + 60, 66, "
                                     "(seq - 1) MOD 744, seq * 0.01, seq * 0.006, seq * 0.004, seq * 0.001, "
                                     "seq * 0.002, seq * 0.0005 FROM seq_1_to_%4")
                                     .arg(reading_columns)
                                     .arg(hour_lo)
                                     .arg(last_month)
                                     .arg((hour_hi - hour_lo + 1) * 744))) &&
                            run(c,
                                QString(
                                    "INSERT INTO modems_data %1 SELECT %2 + (seq - 1) DIV %3, %4 + ((seq - "
                                    "1) "
                                    "MOD %3) * 86400, %4 + ((seq - 1) MOD %3) * 86400 + 300, 68, (seq - 1) "
                                    "MOD %3, seq * 0.01, seq * 0.006, seq * 0.004, seq * 0.001, seq * 0.002, "
                                    "seq * 0.0005 FROM seq_1_to_%5")
                                    .arg(reading_columns)
                                    .arg(lo)
                                    .arg(days)
                                    .arg(first_day)
                                    .arg(n * days)) &&
                            run(c, QString(
                                       "INSERT INTO modems_event (modem_id, ts, ts_get, `type`, `index`, "
                                       "index_max, `event`, worktime) SELECT %1 + (seq - 1) DIV 30, %2 + "
                                       "(seq * 7919) MOD %3, %2 + (seq * 7919) MOD %3 + 60, (seq MOD 4) + 1, "
                                       "seq MOD 65535, 65535, seq, 0 FROM seq_1_to_%4")
                                       .arg(lo)
                                       .arg(first_day)
                                       .arg(qint64(last_month - first_day))
                                       .arg(n * 30));
                        if (!ok) failed = true;
                    }
                    c.close();
                }
                QSqlDatabase::removeDatabase(name);
            });
        for (std::thread& t : streams)
            t.join();
        if (failed || !run(db, "ALTER TABLE modems_data ADD KEY type_ts (`type`, ts)") ||
            !run(db, "ALTER TABLE modems_event ADD KEY ts (ts), ADD KEY type_ts (`type`, ts)") ||
            !run(db, "ANALYZE TABLE modems_data, modems_event"))
            return 1;
        QFile(marker).open(QIODevice::WriteOnly);
    }
    const auto cold_restart = [&] {
        // Without the pool's dump the server starts with nothing cached, on the pool of its start.
        QSqlQuery(db).exec("SET GLOBAL innodb_buffer_pool_dump_at_shutdown = OFF");
        db.close();
        return testsupport::services_control({"mysql-stop"}, nullptr, state) == 0 &&
               testsupport::services_control({"mysql-start"}, nullptr, state) == 0 && db.open();
    };
    if (!cold_restart()) return 1;
    double table_mib = 0, pool_mib = 0;
    qint64 rows_total = 0;
    {
        QSqlQuery size(db);
        if (size.exec("SELECT (data_length + index_length) / 1048576, @@innodb_buffer_pool_size / 1048576, "
                      "table_rows FROM information_schema.tables WHERE table_schema = DATABASE() AND "
                      "table_name = 'modems_data'") &&
            size.next()) {
            table_mib = size.value(0).toDouble();
            pool_mib = size.value(1).toDouble();
            rows_total = size.value(2).toLongLong();
        }
    }
    std::printf(
        "table: %lld modems x %lld days, %lld hour records, %lld events; modems_data about %lld rows, "
        "%.0f MiB, pool %.0f MiB; %s in %lld s\n",
        modems, days, modems / 20 * 744, modems * 30, rows_total, table_mib, pool_mib,
        reuse ? "found" : "built", built.elapsed() / 1000);
    std::fflush(stdout);

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

    struct Case
    {
        const char* route;
        qint64 modems;
        const char* span;
        uint32_t from, to;
    };
    // The table ends yesterday: the clock stands at noon of the day after its last day record.
    const uint32_t now = end + 43200;
    SQL_Exchange::present = [now] { return now; };
    API_controller::time_source = [now] { return now; };
    const uint32_t day_from = end - 2 * 86400, day_to = end - 86400 - 1;
    const uint32_t events_from = last_month - 31 * 86400, events_to = last_month - 1;
    const Case cases[] = {
        {"history_orig", 10000, "day", day_from, day_to},
        {"history", 10000, "day", day_from, day_to},
        {"events", 10000, "month", events_from, events_to},
        {"events", 100000, "empty", last_month, end - 1},
        {"list", 100000, "all", 0, 0},
        {"history_orig", 100000, "day", day_from, day_to},
        {"history", 100000, "day", day_from, day_to},
        // Today up to now: no row in the window yet, the window's ends yesterday and ahead.
        {"history", 100000, "today", end, now},
        // A day before the hour records: a day record a modem (the last month's day passes 64 MiB).
        {"history", 100000, "day0", last_month - 2 * 86400, last_month - 86400 - 1},
    };
    std::printf("%-13s %7s %-5s %10s %10s %6s %10s %10s %6s %11s %9s %10s %s\n", "report", "modems", "span",
                "api cold", "plain cold", "ratio", "api warm", "plain warm", "ratio", "statements", "rows",
                "bytes", "md5");
    // BENCH_CASES="history_orig,list" runs only those routes.
    const QStringList only = qEnvironmentVariable("BENCH_CASES").split(',', Qt::SkipEmptyParts);
    for (const Case& c : cases) {
        if (!only.isEmpty() && !only.contains(c.route) &&
            !only.contains(QString("%1:%2").arg(c.route, c.span)))
            continue;
        const qint64 n = qMin(c.modems, modems);
        const QString route = c.route;
        QStringList ids;
        for (qint64 m = 1; m <= n; ++m)
            ids << QString::number(m);
        const QVariantMap request{
            {"qitems", QVariantMap{{"modem", ids.join(',')}, {"timefrom", c.from}, {"timeto", c.to}}}};
        QByteArray answer_text;
        int refused_with = 0;
        // The statements the daemon's main session sent for the last report asked.
        qint64 sent = 0;
        const auto questions = [] {
            QSqlQuery q(QSqlDatabase::database("main_connect"));
            return q.exec("SHOW SESSION STATUS LIKE 'Questions'") && q.next() ? q.value(1).toLongLong() : 0;
        };
        // Through the runner, as the web front hands a report over: its first slice at once.
        const auto ask = [&] {
            std::unique_ptr<report_job> job = route == "history" ? api->make_report_history(request)
                                              : route == "history_orig"
                                                  ? api->make_report_history_orig(request)
                                              : route == "events" ? api->make_report_events(request)
                                                                  : api->make_report_list(request);
            const qint64 asked_before = questions();
            QElapsedTimer took;
            took.start();
            QVariant answer;
            bool done = false;
            report_runner runner;
            if (job->step()) {
                answer = job->take_answer();
                done = true;
            } else {
                runner.take(std::move(job), "bench", report_caller::command, [&](QVariant v) {
                    answer = std::move(v);
                    done = true;
                });
            }
            while (!done)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            const qint64 ms = took.elapsed();
            sent = questions() - asked_before - 1; // less the first SHOW
            const bool refused = answer.userType() == qMetaTypeId<api_refusal>();
            if (refused) refused_with = answer.value<api_refusal>().status;
            answer_text = refused ? QByteArray() : answer.value<api_json_text>().json;
            return refused ? -ms : ms;
        };
        // Today's history: today's rows, each modem's newest rows before the window (the day before;
        // no modem of this table stopped earlier) and the rows after it, each on the (type, ts) key.
        const uint32_t today_end = (c.to / 86400 + 1) * 86400;
        const QStringList plain_today{
            QString(
                "SELECT * FROM modems_data FORCE INDEX (type_ts) WHERE `type` in (66,50,15,68,49,14) AND ts "
                ">= %1 AND ts <= %2 AND modem_id <= %3")
                .arg(c.from)
                .arg(today_end)
                .arg(n),
            QString("SELECT * FROM modems_data FORCE INDEX (type_ts) WHERE `type` in (66,50,15,68,49,14,254) "
                    "AND ts >= %1 AND ts < %2 AND modem_id <= %3 AND (OBIS_3_8_1 is not null or OBIS_4_8_1 "
                    "is not null or OBIS_3_8_0 is not null or OBIS_4_8_0 is not null)")
                .arg(c.from - 86400)
                .arg(c.from)
                .arg(n),
            QString("SELECT modem_id, MIN(ts) FROM modems_data FORCE INDEX (type_ts) WHERE `type` in "
                    "(66,50,15,68,49,14,254) AND ts > %1 AND modem_id <= %2 AND (OBIS_3_8_1 is not null or "
                    "OBIS_4_8_1 is not null or OBIS_3_8_0 is not null or OBIS_4_8_0 is not null) GROUP BY "
                    "modem_id")
                .arg(today_end)
                .arg(n)};
        const QString plain =
            route == "list" ? QString("SELECT modem_id FROM modems_data group by modem_id order by modem_id")
            : route == "events"
                ? QString(
                      "SELECT * FROM modems_event WHERE `type` in (0,1,2,3,4,5,6,7,8,9,10,255) AND ts >= %1 "
                      "AND ts <= %2 AND modem_id <= %3")
                      .arg(c.from)
                      .arg(c.to)
                      .arg(n)
                : QString(
                      "SELECT * FROM modems_data WHERE `type` in (66,50,15,68,49,14) AND ts >= %1 AND ts <= "
                      "%2 AND modem_id <= %3")
                      .arg(c.from)
                      .arg(c.to)
                      .arg(n);
        if (!cold_restart() || !fresh_daemon()) return 1;
        const qint64 api_cold = ask();
        const qint64 sent_cold = sent;
        // One read of the list serves the requests of the 5 s after it: the warm one is read anew.
        if (route == "list") QThread::msleep(5100);
        const qint64 api_warm = ask();
        const qint64 sent_warm = sent;
        api.reset();
        storage.reset();
        if (!cold_restart()) return 1;
        qint64 rows = 0;
        const QStringList plains = QString(c.span) == "today" ? plain_today : QStringList{plain};
        const auto plain_all = [&] {
            qint64 ms = 0, read = 0;
            rows = 0;
            for (const QString& p : plains) {
                ms += plain_ms(db, p, read);
                rows += read;
            }
            return ms;
        };
        const qint64 plain_cold = plain_all();
        const qint64 plain_warm = plain_all();
        const auto ratio = [](qint64 a, qint64 b) { return double(a) / double(qMax<qint64>(1, b)); };
        std::printf(
            "%-13s %7lld %-5s %7lld ms %7lld ms %6.2f %7lld ms %7lld ms %6.2f %5lld/%5lld %9lld %10d %s%s\n",
            qPrintable(route), n, c.span, qAbs(api_cold), plain_cold, ratio(qAbs(api_cold), plain_cold),
            qAbs(api_warm), plain_warm, ratio(qAbs(api_warm), plain_warm), sent_cold, sent_warm, rows,
            int(answer_text.size()),
            QCryptographicHash::hash(answer_text, QCryptographicHash::Md5).toHex().left(12).constData(),
            refused_with ? qPrintable(QString(" (refused %1)").arg(refused_with)) : "");
        std::fflush(stdout);
    }
    return 0;
}
