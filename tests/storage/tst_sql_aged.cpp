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
};

QTEST_GUILESS_MAIN(tst_sql_aged)
#include "tst_sql_aged.moc"
