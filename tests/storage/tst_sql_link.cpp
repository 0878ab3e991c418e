// Storage on a link that misbehaves as real networks do: a link gone silent without a reset is
// found lost within the bound, the main thread's statements never wait past it, nothing is lost
// or stored twice; and the lines of a long outage stay few.
#include "logger.h"
#include "parser_strova5.h"
#include "quit_signals.h"
#include "ram_modems.h"
#include "sql_exchange.h"
#include "sql_loader.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QSqlQuery>
#include <QTimer>
#include <QtTest>
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
    using SQL_Exchange::loader;
    using SQL_Exchange::read_lines;
    using SQL_Exchange::SQL_Exchange;
    using SQL_Exchange::tmr_save;
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
};

QTEST_GUILESS_MAIN(tst_sql_link)
#include "tst_sql_link.moc"
