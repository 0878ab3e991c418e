// Storage on a link that misbehaves as real networks do: a link gone silent without a reset is
// found lost within the bound, the main thread's statements never wait past it, nothing is lost
// or stored twice; the lines of a long outage stay few and say what waits; and the catch-up
// after it is no outage of its own.
#include "api_controller.h"
#include "api_reports_job.h"
#include "logger.h"
#include "parser_strova5.h"
#include "quit_signals.h"
#include "ram_modems.h"
#include "sql_exchange.h"
#include "sql_loader.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTimer>
#include <QtTest>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

namespace {
std::unique_ptr<testsupport::Log_capture> g_log;

const OBIS A_PLUS = obis_pack(1, 0, 1, 8, 0, 255);
constexpr qint64 BOUND_MS = SQL_Exchange::link_timeout_s * 1000;

class Storage : public SQL_Exchange
{
public:
    using SQL_Exchange::db;
    using SQL_Exchange::loader;
    using SQL_Exchange::outage_clock;
    using SQL_Exchange::read_lines;
    using SQL_Exchange::run_query;
    using SQL_Exchange::save_run;
    using SQL_Exchange::SQL_Exchange;
    using SQL_Exchange::tmr_save;
    using SQL_Exchange::unsent_lines;
    using SQL_Exchange::wait_for_run;
    // Commands as the codec makes a binary one: sent, awaiting their delivery reports.
    bool binary_commands = false;
    Stringify_dl_app encode(const Dl_request& request, const QStringList& rights) override
    {
        if (!binary_commands) return SQL_Exchange::encode(request, rights);
        Stringify_dl_app cmd(request);
        cmd.payload = QByteArray::fromHex("0102");
        cmd.state = 1;
        return cmd;
    }
};

// Uplinks at 300 a second (a reading and an event each) and a command every 100 ms.
struct Feed
{
    QTimer timer;
    uint32_t uplinks = 0;
    int cmds = 0;
    void start(SQL_Exchange* s)
    {
        QObject::connect(&timer, &QTimer::timeout, [this, s] {
            for (int i = 0; i < 3; ++i, ++uplinks) {
                Parser_ul_app ul;
                ul.modem_id = 5000 + uplinks % 100;
                ul.ts_get = 1700000000 + uplinks;
                ul.header = 0x40;
                Ul_data_record rec(254, 1700000000 + uplinks);
                rec.values[A_PLUS] = double(uplinks);
                ul.ul_datas << rec;
                ul.ul_events << Ul_event_record(1700000000 + uplinks, 1, 1, 65535, 3,
                                                obis_make_cde(99, 98, 0));
                s->slot_UL(ul);
            }
            if (uplinks % 30 == 0) {
                s->send_dl(9, {}, "13.0.0", QVariant());
                ++cmds;
            }
        });
        timer.start(10);
    }
};

// The uplinks of a large network after minutes away: 400,000 give 800,000 rows, each table under
// its cap; fewer under the thread checker, which needs no volume to see a race.
#if defined(__SANITIZE_THREAD__)
constexpr uint32_t CATCH_UP_UPLINKS = 100000;
#else
constexpr uint32_t CATCH_UP_UPLINKS = 400000;
#endif

// Uplink `i` of a catch-up: a reading (its value `value`) and an event, of one of 2000 modems.
Parser_ul_app catch_up_uplink(uint32_t i, double value)
{
    Parser_ul_app ul;
    ul.modem_id = 1 + i % 2000;
    ul.ts_get = 1700000000 + i / 2000 * 60;
    ul.header = 0x40;
    Ul_data_record rec(254, ul.ts_get);
    rec.values[A_PLUS] = value;
    ul.ul_datas << rec;
    ul.ul_events << Ul_event_record(ul.ts_get, 1, 1, 65535, 3, obis_make_cde(99, 98, 0));
    return ul;
}

// A report of many modems, the newest stored reading of each, in slices as the reports are built.
class newest_reading_report : public report_job
{
public:
    newest_reading_report(QList<uint32_t> ids, SQL_Exchange* s)
        : report_job(QStringLiteral("newest"), std::move(ids), QStringLiteral("all")), sql(s)
    {
    }

protected:
    int serve(int from, int) override
    {
        read_watch watch;
        const QVariantList rows = sql->get_data(modems.at(from), 254, 0, UINT32_MAX, 1);
        if (watch.failed()) {
            read_failed(watch.statement());
            return 1;
        }
        out.append(QVariantMap{{QStringLiteral("modem"), uint(modems.at(from))},
                               {QStringLiteral("rows"), rows.size()}});
        ++answered;
        return 1;
    }

private:
    SQL_Exchange* sql;
};

// The number in "rows waiting: N" of a line.
int rows_waiting(const QString& line)
{
    const QRegularExpressionMatch m = QRegularExpression("rows waiting: (\\d+)").match(line);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

// A clock the test moves by hand.
struct Fake_clock
{
    std::atomic<qint64> ms{1000000}; // read by the loader's thread too
    std::function<qint64()> fn()
    {
        return [this] { return ms.load(); };
    }
};
} // namespace

class tst_sql_link : public QObject
{
    Q_OBJECT

    QMap<QString, QString> env;
    QSqlDatabase check;
    std::unique_ptr<RAM_modems> ram;

    QVariantMap config(const QString& db_name, const QMap<QString, QString>& s)
    {
        QVariantMap c = testsupport::db_config(s, db_name);
        c.insert("timers", QVariantMap{{"data_ms", 20}});
        return c;
    }
    int count(const QString& select) { return testsupport::count_rows(check, select); }
    // Lines holding `part`, summaries of left-out lines included.
    static int lines(const QString& part) { return g_log->all().split('\n').filter(part).size(); }

private slots:
    void initTestCase()
    {
        env = testsupport::services();
        QVERIFY2(!env.value("STROVA_MYSQL_PORT").isEmpty(), "no throwaway MariaDB");
        g_log = std::make_unique<testsupport::Log_capture>();
        register_record_metatypes();
    }
    void init()
    {
        g_log->clear();
        ram = std::make_unique<RAM_modems>(QVariantMap(), nullptr);
    }
    void cleanup() { ram.reset(); }

    // The link goes silent under load: it counts as lost within the bound, reads on the main
    // thread come back empty within it instead of hanging, and once the link is back every row
    // is stored once.
    void silent_link_is_lost_within_bound()
    {
        check = testsupport::schema_database("st_silent", "check");
        testsupport::Sql_proxy proxy(env["STROVA_MYSQL_PORT"].toUShort());
        QVERIFY(proxy.port());
        QMap<QString, QString> via = env;
        via["STROVA_MYSQL_PORT"] = QString::number(proxy.port());
        auto s = std::make_unique<Storage>(config("st_silent", via), nullptr);
        QVERIFY(s->init());
        Feed feed;
        feed.start(s.get());
        QTRY_VERIFY(feed.uplinks >= 300);

        const uint32_t fed_before = feed.uplinks;
        QVERIFY(proxy.hold());
        QElapsedTimer hole;
        hole.start();
        qint64 lost_at = -1, worst_read = 0;
        int reads = 0;
        while (hole.elapsed() < 25000) {
            for (int which = 0; which < 2; ++which) {
                QElapsedTimer read;
                read.start();
                if (which == 0)
                    QVERIFY(s->get_cmd_states({1, 2}).isEmpty());
                else
                    s->get_data(5000, 254, 0, UINT32_MAX, 10);
                worst_read = qMax(worst_read, read.elapsed());
                QVERIFY2(read.elapsed() <= BOUND_MS + 1000, qPrintable(QString::number(read.elapsed())));
            }
            ++reads;
            if (lost_at < 0 && g_log->has("database not reachable")) lost_at = hole.elapsed();
            QTest::qWait(300);
        }
        std::fprintf(stderr, "lost after %lld ms; slowest read %lld ms of %d\n", lost_at, worst_read, reads);
        QVERIFY2(lost_at >= 0 && lost_at <= BOUND_MS + 2000, qPrintable(QString::number(lost_at)));
        // Uplinks went on being taken all along.
        QVERIFY(s->pending_rows() > 0);
        QVERIFY(feed.uplinks >= fed_before + 1000);

        QVERIFY(proxy.release());
        feed.timer.stop();
        QTRY_COMPARE_WITH_TIMEOUT(s->pending_rows(), 0, 60000);
        QCOMPARE(count("SELECT COUNT(*) FROM modems_data"), int(feed.uplinks));
        QCOMPARE(count("SELECT COUNT(*) FROM modems_data WHERE OBIS_1_8_0 = ts - 1700000000"),
                 int(feed.uplinks));
        QCOMPARE(count("SELECT COUNT(*) FROM modems_event"), int(feed.uplinks));
        QCOMPARE(count("SELECT COUNT(*) FROM modems_cmd"), feed.cmds);
        QVERIFY(!g_log->has("row lost"));
        QVERIFY(g_log->has("database reachable again"));
        // The silent link's lines: said, then counted, never one per read.
        QVERIFY2(lines("database reads not answered") + lines("the database link is silent") <= 4,
                 qPrintable(g_log->all().split('\n').filter("silent").join('\n').left(3000)));
    }

    // A termination signal while the link is silent: the waiting line comes within the bound,
    // then the wait goes on until the link is back and the rows are stored.
    void quit_in_silent_link_says_so_within_bound()
    {
        check = testsupport::schema_database("st_silent_quit", "check");
        testsupport::Sql_proxy proxy(env["STROVA_MYSQL_PORT"].toUShort());
        QVERIFY(proxy.port());
        QMap<QString, QString> via = env;
        via["STROVA_MYSQL_PORT"] = QString::number(proxy.port());
        auto s = std::make_unique<Storage>(config("st_silent_quit", via), nullptr);
        QVERIFY(s->init());
        Feed feed;
        feed.start(s.get());
        QTRY_VERIFY(feed.uplinks >= 300);
        QVERIFY(proxy.hold());
        QTest::qWait(3000); // a run of the writer is out on the silent link
        feed.timer.stop();
        QVERIFY(s->pending_rows() > 0);

        // The hook runs on this thread as the quit would; the link comes back 25 s later.
        QElapsedTimer since;
        since.start();
        qint64 said_at = -1;
        std::atomic<bool> done{false};
        std::thread watcher([&] {
            while (!done) {
                if (said_at < 0 && g_log->has("quitting: waiting for the database"))
                    said_at = since.elapsed();
                if (since.elapsed() >= 25000) {
                    proxy.release();
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
        run_quit_hooks(quit_stage_flush);
        done = true;
        watcher.join();
        QVERIFY2(said_at >= 0 && said_at <= BOUND_MS + 1000, qPrintable(QString::number(said_at)));
        QVERIFY(since.elapsed() >= 25000);
        QCOMPARE(s->pending_rows(), 0);
        QCOMPARE(count("SELECT COUNT(*) FROM modems_data"), int(feed.uplinks));
        QCOMPARE(count("SELECT COUNT(*) FROM modems_event"), int(feed.uplinks));
    }

    // Ten minutes of a stopped server on a clock the test moves: each kind of repeated line
    // is said when the outage starts, then at most once a minute with a count, and its end once.
    void outage_lines_stay_few()
    {
        testsupport::Private_server server;
        QVERIFY(server.start());
        QSqlDatabase priv_check;
        const auto priv = server.open_check(priv_check);
        QVERIFY(priv_check.isOpen());
        Fake_clock clock;
        auto s = std::make_unique<Storage>(config(priv["STROVA_MYSQL_DB"], priv), nullptr);
        QVERIFY(s->init());
        s->tmr_save->stop();
        s->read_lines.set_clock(clock.fn());
        s->unsent_lines.set_clock(clock.fn());
        SQL_loader* loader = s->loader;
        loader->set_log_clock(clock.fn());
        QTRY_VERIFY(g_log->has("db_loader open"));
        const auto loader_tick = [loader] {
            loader->queue_remove_tail(305);
            QMetaObject::invokeMethod(loader, "slot_timer_sec", Qt::BlockingQueuedConnection);
        };
        loader_tick();
        QVERIFY(!g_log->has("db_loader session not set"));

        QVERIFY(server.run({"mysql-stop"}));
        g_log->clear();
        for (int second = 0; second < 600; ++second, clock.ms += 1000) {
            loader_tick();
            QVERIFY(s->get_cmd_states({1}).isEmpty());
            QVERIFY(s->get_data(305, 254, 0, UINT32_MAX, 10).isEmpty());
        }
        QVERIFY(server.run({"mysql-start"}));
        QTRY_VERIFY_WITH_TIMEOUT((loader_tick(), g_log->has("db_loader session set again")), 20000);
        // Once a save of the writer (here its probe) finds the server again, a read answered
        // again ends the main thread's outage with its count.
        QTRY_VERIFY_WITH_TIMEOUT(
            (s->slot_tmr_save(), s->get_data(305, 254, 0, UINT32_MAX, 1), s->read_lines.left_out() == 0), 30000);
        const QString said = g_log->all();
        std::fprintf(stderr, "%s\n",
                     qPrintable(said.split('\n')
                                    .filter(QRegularExpression("db_loader|not answered|silent|\\(Exc\\)"))
                                    .join('\n')
                                    .left(6000)));
        // Said at the start, at most one summary a minute, and the end.
        QVERIFY(lines("db_loader session not set") >= 1);
        QVERIFY(lines("db_loader session not set") <= 2 + 10);
        QCOMPARE(lines("db_loader session set again"), 1);
        QVERIFY(lines("db_loader statement failed") <= 2 + 10);
        // Two reads a second, one kind of line: the first failure and the counts.
        const QStringList exc = said.split('\n').filter("(Exc)");
        const int reads =
            exc.filter(QRegularExpression("FROM modems|reads not answered|silent or lost")).size();
        QVERIFY(reads >= 2);
        QVERIFY2(reads <= 2 + 10, qPrintable(QString::number(reads)));
        s.reset();
        priv_check.close();
    }

    // A table locked elsewhere (a DBA's LOCK TABLES) is a passing state, not an outage: the
    // writer's statement meets the lock bound and its line names the table, again a minute on; a
    // read of the table waits the bound once, then fails at once, unsent; reads of other tables
    // never wait for it; nothing says the link is lost; and once the lock goes every row is
    // stored once.
    void table_locked_elsewhere_is_no_outage()
    {
        check = testsupport::schema_database("st_locked", "check");
        auto s = std::make_unique<Storage>(config("st_locked", env), nullptr);
        Fake_clock minutes;
        s->outage_clock = minutes.fn();
        QVERIFY(s->init());
        Feed feed;
        feed.start(s.get());
        QTRY_VERIFY(feed.uplinks >= 300);
        g_log->clear();
        QSqlDatabase locker = testsupport::open_database("locker", check.databaseName(), env);
        QVERIFY(QSqlQuery(locker).exec("LOCK TABLES modems_data WRITE"));
        QElapsedTimer locked;
        locked.start();

        QElapsedTimer took;
        took.start();
        read_watch first;
        s->get_data(5000, 254, 0, UINT32_MAX, 10);
        const qint64 first_ms = took.restart();
        QVERIFY(first.failed());
        QCOMPARE(s->busy_table_of(first.statement()), QString("modems_data"));
        read_watch again;
        s->get_data(5001, 254, 0, UINT32_MAX, 10);
        const qint64 again_ms = took.elapsed();
        QVERIFY(again.failed());
        QVERIFY2(first_ms >= 1900 && first_ms <= 3000, qPrintable(QString::number(first_ms)));
        QVERIFY2(again_ms <= 200, qPrintable(QString::number(again_ms)));

        QTRY_VERIFY(g_log->has("the database is in a passing state: 1205"));
        minutes.ms += 61000;
        qint64 worst = 0;
        while ((g_log->count("passing state") < 2 || locked.elapsed() < 6000) && locked.elapsed() < 30000) {
            QElapsedTimer read;
            read.start();
            read_watch other;
            s->get_cmd_states({1});
            worst = qMax(worst, read.elapsed());
            QVERIFY(!other.failed());
            QTest::qWait(200);
        }
        QVERIFY(QSqlQuery(locker).exec("UNLOCK TABLES"));
        locker.close();
        const QStringList passing = g_log->all().split('\n').filter("passing state");
        std::fprintf(stderr, "slowest read of another table %lld ms\n%s\n", worst,
                     qPrintable(passing.join('\n')));
        QCOMPARE(passing.size(), 2);
        QVERIFY2(passing.at(0).contains("on modems_data") && passing.at(1).contains("on modems_data") &&
                     passing.at(1).contains("for 61 s"),
                 qPrintable(passing.join('\n')));
        QVERIFY2(worst <= 1000, qPrintable(QString::number(worst)));
        QVERIFY2(!g_log->has("not reachable") && !g_log->has("sends no statement"), qPrintable(g_log->all()));
        feed.timer.stop();
        QTRY_COMPARE_WITH_TIMEOUT(s->pending_rows(), 0, 30000);
        QCOMPARE(count("SELECT COUNT(*) FROM modems_data"), int(feed.uplinks));
        QCOMPARE(count("SELECT COUNT(*) FROM modems_event"), int(feed.uplinks));
        QCOMPARE(count("SELECT COUNT(*) FROM modems_cmd"), feed.cmds);
        QVERIFY(g_log->has("the database takes rows again"));
    }

    // The client library's silent reconnection of the main connection (the server closed it: its
    // idle time-out, a KILL, a restart) brings the server's own session back, whose lock wait is
    // a year: the bounds come with the reconnection itself, so that the very statement that
    // reconnects meets a table locked elsewhere as busy within the bound, not as an outage.
    void session_bounds_survive_a_reconnection()
    {
        check = testsupport::schema_database("st_session", "check");
        auto s = std::make_unique<Storage>(config("st_session", env), nullptr);
        QVERIFY(s->init());
        const auto bound = [&] {
            QSqlQuery q(s->db);
            return q.exec("SELECT @@SESSION.lock_wait_timeout") && q.next() ? q.value(0).toInt() : -1;
        };
        QCOMPARE(bound(), SQL_Exchange::lock_wait_s);
        const unsigned long before = SQL_Exchange::session_id(s->db);
        QVERIFY(before != 0);
        QVERIFY(QSqlQuery(check).exec(QString("KILL %1").arg(before)));
        QSqlDatabase locker = testsupport::open_database("st_session_locker", "st_session", env);
        QVERIFY(QSqlQuery(locker).exec("LOCK TABLES modems_cmd WRITE"));
        QElapsedTimer took;
        took.start();
        s->get_cmd_states({1});
        const qint64 ms = took.elapsed();
        // It met the lock's bound: the table is remembered busy.
        QCOMPARE(s->busy_table_of("SELECT * FROM modems_cmd"), QString("modems_cmd"));
        QVERIFY2(ms < 3500, qPrintable(QString::number(ms)));
        QVERIFY(SQL_Exchange::session_id(s->db) != before);
        QVERIFY(QSqlQuery(locker).exec("UNLOCK TABLES"));
        locker.close();
        QVERIFY2(!g_log->has("not reachable") && !g_log->has("sends no statement"), qPrintable(g_log->all()));
        QCOMPARE(bound(), SQL_Exchange::lock_wait_s);
    }

    // A write that meets a row lock (the server's 1205 after its row-lock bound) tells nothing of
    // the table's reads, which pass row locks: they are served, not refused as busy.
    void row_lock_met_by_a_write_leaves_reads_served()
    {
        check = testsupport::schema_database("st_row_lock", "check");
        auto s = std::make_unique<Storage>(config("st_row_lock", env), nullptr);
        QVERIFY(s->init());
        QVERIFY(s->add_iec104_modem(7, 1));
        QVERIFY(QSqlQuery(check).exec("BEGIN"));
        QVERIFY(QSqlQuery(check).exec("SELECT * FROM modems_iec104 FOR UPDATE"));
        QVERIFY(!s->add_iec104_modem(8, 2)); // waits for the gap lock, then 1205
        QVERIFY(QSqlQuery(check).exec("ROLLBACK"));
        QCOMPARE(s->busy_table_of("SELECT * FROM modems_iec104"), QString());
        read_watch watch;
        QCOMPARE(s->get_iec104_map().value(7), 1u);
        QVERIFY(!watch.failed());
    }

    // An answer whose rows keep coming is read to its end however long it takes: only the link's
    // own evidence tells a cut, never the statement's duration.
    void rows_coming_past_the_link_time_out_are_answered()
    {
        check = testsupport::schema_database("st_stream", "check");
        auto s = std::make_unique<Storage>(config("st_stream", env), nullptr);
        QVERIFY(s->init());
        QSqlQuery q(s->db);
        QVERIFY(s->run_query(q, "SELECT REPEAT('x', 20000), SLEEP(3) FROM seq_1_to_4"));
        int rows = 0;
        while (q.next())
            rows += q.value(0).toString().size() == 20000;
        QCOMPARE(rows, 4);
        QVERIFY(!s->link_known_away());
        QVERIFY2(!g_log->has("not reachable") && !g_log->has("lost while the rows came"),
                 qPrintable(g_log->all()));
    }

    // A long catch-up on a healthy server is no silent link: rows queued while nothing was
    // written (800,000), then written with a main-thread read every 200 ms; the reads go beside
    // the writer's runs instead of waiting for them (nine in ten within 0.3 s, none 2 s), a
    // report of 300 modems asked amid it is answered within 5 s, no outage is said, and every row
    // is stored once, in the order it came: commands before their reports, a later reading or
    // setting of the same key last. A quit with many rows waiting writes them all, without a
    // word of waiting.
    void catch_up_is_no_outage()
    {
        check = testsupport::schema_database("st_catch_up", "check");
        auto s = std::make_unique<Storage>(config("st_catch_up", env), nullptr);
        QVERIFY(s->init());
        s->tmr_save->stop(); // nothing is written meanwhile, as while the server is away
        s->binary_commands = true;

        QList<uint32_t> cmds;
        for (uint32_t m = 2; m <= 2001; ++m)
            cmds << s->send_dl(m, {}, "13.0.0", QVariant()).value(QString::number(m)).toUInt();
        for (uint32_t m = 2; m <= 2001; ++m)
            s->slot_DL_status(Rabbit_dl_status(m, QString(), true, cmds.at(int(m - 2))));
        const auto setting = [&](const QString& value) {
            Parser_ul_app ul;
            ul.modem_id = 7;
            ul.ul_settings << Ul_setting(1700000000, "radio", value);
            s->slot_UL(ul);
        };
        setting("first");
        QElapsedTimer took;
        took.start();
        for (uint32_t i = 0; i < CATCH_UP_UPLINKS; ++i)
            s->slot_UL(catch_up_uplink(i, double(i)));
        // The first thousand readings again, newer: they must be the ones kept.
        for (uint32_t i = 0; i < 1000; ++i)
            s->slot_UL(catch_up_uplink(i, -1.0 - i));
        setting("last");
        const qint64 queued_ms = took.restart();
        QVERIFY(s->pending_rows() >= int(2 * CATCH_UP_UPLINKS + 2000 + 4000));

        g_log->clear();
        s->tmr_save->start();
        // The report goes a slice at a time from the event loop, as the runner steps reports.
        QList<uint32_t> report_modems;
        for (uint32_t m = 1; m <= 300; ++m)
            report_modems << m;
        newest_reading_report report(report_modems, s.get());
        QElapsedTimer report_took;
        qint64 report_ms = -1;
        QTimer report_steps;
        QObject::connect(&report_steps, &QTimer::timeout, [&] {
            if (report.step() && report_ms < 0) {
                report_ms = report_took.elapsed();
                report_steps.stop();
            }
        });
        QList<qint64> waits;
        int reads_while_waiting = 0;
        while (s->pending_rows() > 0 && took.elapsed() < 280000) {
            read_watch watch;
            QElapsedTimer read;
            read.start();
            s->get_data(7, 254, 0, UINT32_MAX, 1);
            s->get_cmd_states({cmds.first()});
            waits << read.elapsed();
            QVERIFY2(!watch.failed(), qPrintable(watch.statement().left(200)));
            if (s->pending_rows() > int(CATCH_UP_UPLINKS / 4)) ++reads_while_waiting; // answered amid it
            if (waits.size() == 3) {
                report_took.start();
                report_steps.start(10);
            }
            QTest::qWait(200);
        }
        const qint64 catch_up_ms = took.elapsed();
        QTRY_VERIFY_WITH_TIMEOUT(report_ms >= 0, 10000);
        std::sort(waits.begin(), waits.end());
        const qint64 p90 = waits.isEmpty() ? 0 : waits.at(waits.size() * 9 / 10);
        const qint64 worst = waits.isEmpty() ? 0 : waits.last();
        std::fprintf(stderr,
                     "%u uplinks queued in %lld ms, written in %lld ms; %d reads: p90 %lld ms, slowest %lld "
                     "ms; a report of 300 modems in %lld ms\n",
                     CATCH_UP_UPLINKS, queued_ms, catch_up_ms, int(waits.size()), p90, worst, report_ms);
        QCOMPARE(s->pending_rows(), 0);
        QVERIFY2(p90 <= 300, qPrintable(QString::number(p90)));
        QVERIFY2(worst <= 2000, qPrintable(QString::number(worst)));
        QVERIFY2(reads_while_waiting >= 2, qPrintable(QString::number(reads_while_waiting)));
        QVERIFY2(report_ms >= 0 && report_ms <= 5000, qPrintable(QString::number(report_ms)));
        QVERIFY(report.answer().userType() != qMetaTypeId<api_refusal>());
        QVERIFY2(!g_log->has("not reachable") && !g_log->has("sends no statement") &&
                     !g_log->has("not answered"),
                 qPrintable(g_log->all().left(3000)));

        const int n = int(CATCH_UP_UPLINKS);
        QCOMPARE(count("SELECT COUNT(*) FROM modems_data"), n);
        QCOMPARE(count("SELECT COUNT(*) FROM modems_event"), n);
        QCOMPARE(count("SELECT COUNT(*) FROM modems_data WHERE OBIS_1_8_0 < 0"), 1000);
        // Every other reading holds its own value: uplink i is modem 1 + i % 2000 at minute i / 2000.
        QCOMPARE(count("SELECT COUNT(*) FROM modems_data WHERE OBIS_1_8_0 = "
                       "(ts - 1700000000) / 60 * 2000 + modem_id - 1"),
                 n - 1000);
        QCOMPARE(count("SELECT COUNT(*) FROM modems_cmd WHERE `state` = 2"), 2000);
        QCOMPARE(count("SELECT COUNT(*) FROM modems_setting WHERE modem_id = 7 AND `data` = 'last'"), 1);

        // The quit: an eighth as many again, all written before the hook returns.
        s->tmr_save->stop();
        for (uint32_t i = 0; i < CATCH_UP_UPLINKS / 8; ++i)
            s->slot_UL(catch_up_uplink(CATCH_UP_UPLINKS + i, double(CATCH_UP_UPLINKS + i)));
        took.restart();
        run_quit_hooks(quit_stage_flush);
        std::fprintf(stderr, "quit wrote %u rows in %lld ms\n", CATCH_UP_UPLINKS / 4, took.elapsed());
        QCOMPARE(s->pending_rows(), 0);
        QCOMPARE(count("SELECT COUNT(*) FROM modems_data"), n + n / 8);
        QCOMPARE(count("SELECT COUNT(*) FROM modems_event"), n + n / 8);
        QVERIFY(!g_log->has("quitting: waiting") && !g_log->has("has not come back"));
    }

    // A 20 s outage with a report reading all along, on a server stopped: the first read fails
    // (its line), and the first one refused says at once that the main thread sends nothing;
    // "database not reachable" comes again a minute on (the outage's clock runs 3.5 times as
    // fast here: 70 s) with the rows waiting then, and "reachable again" tells what waited.
    void outage_lines_say_what_waits()
    {
        testsupport::Private_server server;
        QVERIFY(server.start());
        QSqlDatabase priv_check;
        const auto priv = server.open_check(priv_check);
        QVERIFY(priv_check.isOpen());
        auto s = std::make_unique<Storage>(config(priv["STROVA_MYSQL_DB"], priv), nullptr);
        QVERIFY(s->init());
        QElapsedTimer real;
        real.start();
        std::atomic<qint64> fast_from{-1};
        s->outage_clock = [&] {
            const qint64 from = fast_from.load();
            return from < 0 ? real.elapsed() : from + (real.elapsed() - from) * 7 / 2;
        };
        Feed feed;
        feed.start(s.get());
        QTRY_VERIFY(feed.uplinks >= 300);

        // No save runs while the server stops: a read of the report is the first to find it gone.
        s->tmr_save->stop();
        QVERIFY(s->wait_for_run(BOUND_MS));
        QVERIFY(server.run({"mysql-stop"}));
        g_log->clear();
        fast_from = real.elapsed();
        QElapsedTimer outage;
        outage.start();
        qint64 first_refused = -1, said = -1;
        int failed = 0;
        while (outage.elapsed() < 20000) {
            const qint64 at = outage.elapsed();
            const bool away = g_log->has("database not reachable");
            read_watch watch;
            s->get_data(5000, 254, 0, UINT32_MAX, 10);
            if (watch.failed()) ++failed;
            if (away && first_refused < 0) {
                first_refused = at;
                s->tmr_save->start(); // saves from now on: they fail too
            }
            if (said < 0 && g_log->has("the main thread sends no statement")) said = outage.elapsed();
            QTest::qWait(100);
        }
        const QStringList away = g_log->all().split('\n').filter("database not reachable");
        std::fprintf(stderr, "first refusal at %lld ms, said at %lld ms; %d reads failed\n%s\n",
                     first_refused, said, failed, qPrintable(away.join('\n')));
        QVERIFY(first_refused >= 0);
        QVERIFY2(said >= 0 && said <= first_refused + 1000, qPrintable(QString::number(said)));
        QCOMPARE(g_log->count("the main thread sends no statement"), 1);
        QVERIFY(failed >= 50);
        // Said at the start and once more after a minute, with the rows that came meanwhile.
        QCOMPARE(away.size(), 2);
        QVERIFY2(rows_waiting(away.at(1)) > rows_waiting(away.at(0)) && rows_waiting(away.at(0)) > 0,
                 qPrintable(away.join('\n')));

        // The runs by hand from here, uplinks coming while each is out: what waited when the link
        // came back is what waited before the run that got through and what came during it, not
        // what waited when that run began.
        feed.timer.stop();
        s->tmr_save->stop();
        QVERIFY(s->wait_for_run(BOUND_MS));
        const int waited = s->pending_rows();
        QVERIFY(waited >= rows_waiting(away.at(1)));
        QVERIFY(server.run({"mysql-start"}));
        int came = 0;
        for (int run = 0; run < 100 && !g_log->has("database reachable again"); ++run) {
            s->save_run();
            for (int i = 0; i < 50; ++i, came += 2)
                s->slot_UL(catch_up_uplink(feed.uplinks++, 1.0));
            s->wait_for_run(-1);
            QTest::qWait(100);
        }
        const QString back = g_log->all().split('\n').filter("database reachable again").value(0);
        QVERIFY2(rows_waiting(back) == waited + came && back.contains("after the first run back"),
                 qPrintable(QString("%1 + %2: %3").arg(waited).arg(came).arg(back)));
        s->tmr_save->start();
        QTRY_COMPARE_WITH_TIMEOUT(s->pending_rows(), 0, 60000);
        priv_check.close(); // its link went with the server
        QVERIFY(priv_check.open());
        QCOMPARE(testsupport::count_rows(priv_check, "SELECT COUNT(*) FROM modems_data"), int(feed.uplinks));
        QCOMPARE(testsupport::count_rows(priv_check, "SELECT COUNT(*) FROM modems_event"), int(feed.uplinks));
        QCOMPARE(testsupport::count_rows(priv_check, "SELECT COUNT(*) FROM modems_cmd"), feed.cmds);
        s.reset();
        priv_check.close();
    }
};

QTEST_GUILESS_MAIN(tst_sql_link)
#include "tst_sql_link.moc"
