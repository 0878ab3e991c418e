// Storage on tables of millions of rows, as years of service leave them: every statement the
// storage issues by itself reads by key or by a range bounded by what it touches, and age-based
// retention removes millions of rows without holding up the main thread.
#include "aged_tables.h"
#include "logger.h"
#include "ram_modems.h"
#include "sql_exchange.h"
#include "sql_loader.h"
#include "testsupport.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTimer>
#include <QtTest>
#include <memory>

namespace {
class Storage : public SQL_Exchange
{
public:
    using SQL_Exchange::SQL_Exchange;
    using SQL_Exchange::continue_numbers_after;
    using SQL_Exchange::loader;
    using SQL_Exchange::tmr_save;
};

const uint32_t now_s = uint32_t(QDateTime::currentSecsSinceEpoch());
const uint32_t year_ago = now_s - 366 * 86400;
} // namespace

class tst_sql_aged : public QObject
{
    Q_OBJECT
    std::unique_ptr<testsupport::Log_capture> log;
    std::unique_ptr<RAM_modems> ram;

    static int scalar(QSqlDatabase& db, const QString& sql) { return testsupport::count_rows(db, sql); }

private slots:
    void initTestCase()
    {
        QVERIFY2(testsupport::services_available(), "no throwaway MariaDB");
        log = std::make_unique<testsupport::Log_capture>();
        ram = std::make_unique<RAM_modems>(QVariantMap{}, nullptr);
    }

    // A million rows in each table the storage writes by itself; the server's own log of
    // everything the storage then sent: start-up, commands, delivery reports and answers, state
    // queries, index loads, tail removal and age-based retention. None reads a table through.
    void self_issued_statements_use_keys()
    {
        testsupport::Private_server server;
        QSqlDatabase check;
        const auto priv = server.start_with_schema(check);
        QVERIFY(!priv.isEmpty());
        QString error;
        const int rows = 1000000;
        QVERIFY2(testsupport::fill_aged_commands(check, rows, 1, year_ago, now_s, &error), qPrintable(error));
        QVERIFY2(testsupport::fill_aged_readings(check, rows, 66, year_ago, now_s, &error), qPrintable(error));
        QVERIFY2(testsupport::fill_aged_events(check, rows, 3, year_ago, now_s, &error), qPrintable(error));
        for (const char* t : {"modems_cmd", "modems_data", "modems_event"})
            QVERIFY(QSqlQuery(check).exec(QString("ANALYZE TABLE %1").arg(t)));
        {
            QSqlDatabase admin = testsupport::open_admin_database("aged_admin", priv);
            QVERIFY(QSqlQuery(admin).exec("TRUNCATE mysql.general_log"));
            QVERIFY(QSqlQuery(admin).exec("SET GLOBAL log_output = 'TABLE', GLOBAL general_log = 1"));
        }
        QSqlDatabase::removeDatabase("aged_admin");

        QVariantMap cfg = testsupport::db_config(priv, priv["STROVA_MYSQL_DB"]);
        cfg.insert("timers", QVariantMap{{"data_ms", 50}, {"remove_profile_hour_d", 200}});
        auto s = std::make_unique<Storage>(cfg, nullptr);
        QVERIFY(s->init());
        QList<uint32_t> ids;
        for (uint32_t m = 10001; m <= 10003; ++m)
            ids << s->send_dl(m, {}, "version", QVariant()).value(QString::number(m)).toUInt();
        s->slot_tmr_save();
        s->slot_DL_status(Rabbit_dl_status(10001, QString(), true, ids[0]));
        s->slot_DL_status(Rabbit_dl_status(10002, "version", true, 0));
        s->slot_tmr_save();
        QCOMPARE(s->get_cmd_states(ids).size(), 3);
        s->slot_remove_tail(10004);
        QSignalSpy loaded(s.get(), &SQL_Exchange::signal_modem_index_updated);
        ram->add_modem(10005, QVariantMap());
        s->slot_loader_req(10005, 15, 500);
        s->remove_old(15, now_s - 300 * 86400);
        s->remove_old(3, now_s - 300 * 86400);
        QTRY_VERIFY_WITH_TIMEOUT(s->loader->removals_waiting() == 0 && loaded.size() == 1 &&
                                     log->has("modem for remove_tail 10004"),
                                 60000);
        s.reset();

        {
            QSqlDatabase admin = testsupport::open_admin_database("aged_admin", priv);
            QVERIFY(QSqlQuery(admin).exec("SET GLOBAL general_log = 0"));
            QSqlQuery q(admin);
            QVERIFY(q.exec("SELECT DISTINCT CONVERT(argument USING utf8mb4) FROM mysql.general_log WHERE "
                           "command_type = 'Query' AND user_host LIKE 'u[%'"));
            QStringList statements;
            while (q.next())
                statements << q.value(0).toString();
            QSqlQuery(admin).exec("USE `" + priv["STROVA_MYSQL_DB"] + "`");
            int explained = 0;
            for (const QString& st : qAsConst(statements)) {
                const QString head = st.trimmed().section(' ', 0, 0).toUpper();
                if (head != "SELECT" && head != "WITH" && head != "UPDATE" && head != "DELETE") continue;
                // The registry loads every stored setting at start by design; the server's own
                // catalogue is no table of ours.
                if (st.contains("FROM modems_setting") || st.contains("information_schema")) continue;
                QSqlQuery e(admin);
                QVERIFY2(e.exec("EXPLAIN " + st), qPrintable(e.lastError().text() + " in " + st));
                ++explained;
                while (e.next()) {
                    // A derived table holds what its own bounded read (a key range with a LIMIT,
                    // checked on its own row) gave.
                    if (e.value("table").toString().startsWith("<derived")) continue;
                    const QString type = e.value("type").toString();
                    const qint64 scanned = e.value("rows").toLongLong();
                    QVERIFY2(!(type == "ALL" || type == "index") || scanned < 1000,
                             qPrintable(QString("%1 over %2 rows: %3").arg(type).arg(scanned).arg(st.left(400))));
                }
            }
            QVERIFY2(explained >= 10, qPrintable(statements.join("\n")));
        }
        QSqlDatabase::removeDatabase("aged_admin");
        check.close();
    }

    // Two million commands stored from number 1 on, a gap every 100,000, and the counter just
    // before 4294967295: numbering crosses the wrap into the gaps and on above the stored ones
    // while no request waits for it more than 100 ms; no number stored before is given again.
    void numbering_across_the_wrap_never_waits()
    {
        testsupport::Private_server server;
        QSqlDatabase check;
        const auto priv = server.start_with_schema(check);
        QVERIFY(!priv.isEmpty());
        QString error;
        const int rows = 2000000;
        QVERIFY2(testsupport::fill_aged_commands(check, rows, 1, year_ago, now_s, &error), qPrintable(error));
        QVERIFY(QSqlQuery(check).exec("DELETE FROM modems_cmd WHERE cmd_id MOD 100000 = 0"));
        QVariantMap cfg = testsupport::db_config(priv, priv["STROVA_MYSQL_DB"]);
        cfg.insert("timers", QVariantMap{{"data_ms", 50}});
        auto s = std::make_unique<Storage>(cfg, nullptr);
        QVERIFY(s->init());
        s->continue_numbers_after(4294967295u - 2000);

        QList<uint32_t> given;
        int refused = 0, after_wrap = 0;
        qint64 worst = 0;
        QElapsedTimer all;
        all.start();
        while (after_wrap < 100 && all.elapsed() < 60000) {
            QElapsedTimer took;
            took.start();
            const QVariantMap r = s->send_dl(20001, {}, "13.0.0", QVariant());
            worst = qMax(worst, took.elapsed());
            if (r.isEmpty()) {
                ++refused;
            } else {
                given << r.value("20001").toUInt();
                if (given.last() < 4000000000u) ++after_wrap;
            }
            QTest::qWait(1); // the saves and the writer's results in between, as the event loop has them
        }
        qInfo() << given.size() << "numbers," << after_wrap << "after the wrap," << refused << "refused; slowest"
                << worst << "ms";
        // A request that searched the table itself waited seconds; a loaded machine can hold a
        // sound one some hundred ms.
        QVERIFY2(worst <= 1000, qPrintable(QString::number(worst)));
        QCOMPARE(after_wrap, 100);
        QCOMPARE(QSet<uint32_t>(given.cbegin(), given.cend()).size(), given.size());
        // After the wrap: the gaps in order, then on above the stored numbers.
        QList<uint32_t> expected;
        for (uint32_t n = 100000; n <= 2000000; n += 100000)
            expected << n;
        for (uint32_t n = 2000001; expected.size() < 100; ++n)
            expected << n;
        QCOMPARE(given.mid(given.size() - 100), expected);
        QTRY_VERIFY_WITH_TIMEOUT((s->slot_tmr_save(), s->pending_rows() == 0), 30000);
        QCOMPARE(scalar(check, "SELECT COUNT(*) FROM modems_cmd WHERE modem_id = 20001"), given.size());
        QVERIFY(!log->has("row lost"));
        s.reset();
        check.close();
    }

    // Three million commands stored after the wrap with a gap of three numbers after every 100
    // (every window of the search holds more gaps than one search lists) and only 50 free numbers
    // right after the wrap: 2,000 commands one at a time with saves in between are all numbered
    // once the first search answered, each with a number of its own that no stored command has,
    // none waiting a second. The search reads one window per statement, whatever the gaps.
    void numbering_through_many_gaps_after_the_wrap()
    {
        testsupport::Private_server server;
        QSqlDatabase check;
        const auto priv = server.start_with_schema(check);
        QVERIFY(!priv.isEmpty());
        QElapsedTimer fill;
        fill.start();
        for (uint32_t from = 51; from <= 3100000; from += 620000) {
            const uint32_t to = qMin<uint32_t>(from + 619999, 3100000);
            QSqlQuery q(check);
            QVERIFY2(q.exec(QString("INSERT INTO modems_cmd (cmd_id, modem_id, ts, setting, `state`) SELECT seq, 7, %1, "
                                    "'version', 3 FROM seq_%2_to_%3 WHERE seq MOD 103 > 2")
                                .arg(year_ago)
                                .arg(from)
                                .arg(to)),
                     qPrintable(q.lastError().text()));
        }
        QVERIFY(QSqlQuery(check).exec("ANALYZE TABLE modems_cmd"));
        QVERIFY(scalar(check, "SELECT COUNT(*) FROM modems_cmd") >= 3000000);
        fprintf(stderr, "filled in %lld ms\n", fill.elapsed()); if (0) qInfo() << "filled in" << fill.elapsed() << "ms";

        QVariantMap cfg = testsupport::db_config(priv, priv["STROVA_MYSQL_DB"]);
        auto s = std::make_unique<Storage>(cfg, nullptr);
        QVERIFY(s->init());
        s->tmr_save->stop();
        s->continue_numbers_after(4294967295u - 500);
        s->slot_tmr_save(); // the first search
        QList<uint32_t> given;
        qint64 worst = 0;
        for (int i = 0; i < 2000; ++i) {
            QElapsedTimer took;
            took.start();
            const QVariantMap r = s->send_dl(20002, {}, "13.0.0", QVariant());
            worst = qMax(worst, took.elapsed());
            QVERIFY2(!r.isEmpty(), qPrintable(QString("command %1 refused after %2").arg(i).arg(given.value(i - 1))));
            given << r.value("20002").toUInt();
            s->slot_tmr_save();
        }
        fprintf(stderr, "slowest request %lld ms total %lld\n", worst, fill.elapsed());
        QVERIFY2(worst < 1000, qPrintable(QString::number(worst)));
        // In order: the end of the numbers, the free stretch after the wrap, then the gaps.
        QList<uint32_t> expected;
        for (uint32_t n = 4294967295u - 499; n != 0; ++n)
            expected << n;
        for (uint32_t n = 1; n <= 50; ++n)
            expected << n;
        for (uint32_t n = 51; expected.size() < 2000; ++n)
            if (n % 103 <= 2) expected << n;
        QCOMPARE(given, expected);
        QCOMPARE(scalar(check, "SELECT COUNT(*) FROM modems_cmd WHERE modem_id = 20002"), 2000);
        QVERIFY(!log->has("row lost"));
        QVERIFY(!log->has("search for free command numbers failed"));
        // The stored mark covers every number given.
        const uint32_t mark = uint32_t(scalar(check, "SELECT `value` FROM driver_state WHERE `name` = 'cmd_numbered_to'"));
        QVERIFY2(mark >= given.last() && mark < 4000000000u, qPrintable(QString::number(mark)));
        s.reset();
        check.close();
    }
};

QTEST_GUILESS_MAIN(tst_sql_aged)
#include "tst_sql_aged.moc"
