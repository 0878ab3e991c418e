// The real daemon between a real RabbitMQ and a real MariaDB: uplinks in, rows out, faults survived;
// and as an operator starts it: exit codes, standard streams, signals.
#include "testsupport.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <memory>

namespace {

using Env = QMap<QString, QString>;

QVariantMap queue_stats(const Env& env, const QString& queue)
{
    return QJsonDocument::fromJson(testsupport::amqp_peer(env["STROVA_AMQP_URI"], {"stats", queue}).value(0).toUtf8()).toVariant().toMap();
}


using testsupport::count_rows;

QString api_daemon_text(const QVariantMap& made)
{
    return QString::fromUtf8(QJsonDocument::fromVariant(made).toJson(QJsonDocument::Compact));
}

// Reception time of the test uplinks: a minute ago, so every record time is in the past.
const uint T = uint(QDateTime::currentSecsSinceEpoch()) - 60;

QString be32(uint v)
{
    return QStringLiteral("%1").arg(v, 8, 16, QLatin1Char('0')).toUpper();
}

QString uplink(uint modem, const QString& payload)
{
    return QStringLiteral(R"({"msg_type":"ul_app","modem_id":%1,"payload":"%2","station_id":3,"rssi":-90,"time_detected":%3})")
        .arg(modem)
        .arg(payload)
        .arg(T);
}

// A current-value record: one modems_data row per modem.
QString value_uplink(uint modem)
{
    return uplink(modem, QStringLiteral("320200") + be32(modem));
}

// Uplinks for modems first..last, one per line, for the peer's publish-file.
bool write_value_uplinks(const QString& path, uint first, uint last)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    for (uint m = first; m <= last; ++m)
        f.write(value_uplink(m).toUtf8() + '\n');
    return true;
}

// One daemon process with its own configuration, log directory, queue and exchange.
struct Daemon : testsupport::Daemon_process {
    Env env;
    QString queue, exchange;

    // `save_ms`: the storage's save period (0: its default).
    Daemon(const Env& e, const QString& database, const QString& tag, int save_ms = 0)
        : env(e), queue("e2e_ul_" + tag), exchange("e2e_dl_" + tag)
    {
        QVariantMap sql = testsupport::db_config(env, database);
        if (save_ms > 0)
            sql.insert("timers", QVariantMap{{"data_ms", save_ms}});
        const QString uri = env["STROVA_AMQP_URI"];
        write_config({{"log_level", 5},
                      {"sql", sql},
                      {"rabbit", testsupport::rabbit_config(uri, queue, exchange, "/api", "e2e")},
                      {"api", QVariantMap{{"port", 0}}}});
        // The radio network server's side: the uplink queue and the downlink exchange with a capture queue.
        testsupport::amqp_peer(uri, {"declare-queue", queue});
        testsupport::amqp_peer(uri, {"bind", exchange, "e2e_cap_" + tag, "#"});
    }
    bool consuming() { return queue_stats(env, queue).value("consumers").toInt() == 1; }
    int waiting() { return queue_stats(env, queue).value("messages").toInt(); }
};

} // namespace

class tst_e2e : public QObject
{
    Q_OBJECT

    Env shared;
    // Private MariaDB and RabbitMQ for the tests that stop them.
    std::unique_ptr<QTemporaryDir> own_dir;
    Env own;

    bool own_control(const QStringList& args)
    {
        return testsupport::services_control(args, nullptr, own_dir->path()) == 0;
    }

    bool start_own_services()
    {
        if (own_dir)
            return !own.isEmpty();
        own_dir.reset(new QTemporaryDir);
        // One retry: a free port picked by the script can be taken by a parallel start.
        for (int attempt = 0; !own_control({"start"}); ++attempt) {
            if (attempt == 1)
                return false;
        }
        own = testsupport::read_env_file(own_dir->path() + "/services.env");
        return !own.isEmpty();
    }

    // Starts the daemon with `config` written to tmp/cfg.json and its log in tmp.
    static void start(QProcess& p, const QTemporaryDir& tmp, const QByteArray& config)
    {
        QFile f(tmp.path() + "/cfg.json");
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(config) == config.size());
        f.close();
        p.start(testsupport::daemon_path(), {"-c", f.fileName(), "-l", tmp.path() + "/drv.log"});
        QVERIFY(p.waitForStarted(5000));
    }
    // A configuration whose "sql" object points at the throwaway MariaDB.
    static QByteArray config_with_database(const QString& password)
    {
        const auto s = testsupport::services();
        return QStringLiteral(R"({"log_level": 5, "sql": {"host": "%1", "port": %2, "user": "%3", "pass": "%4", "db_name": "st_main"}, "api": {"port": 0}})")
            .arg(s["STROVA_MYSQL_HOST"], s["STROVA_MYSQL_PORT"], s["STROVA_MYSQL_USER"], password)
            .toUtf8();
    }

    // The first 200 uplinks are stored, then MariaDB stops and 1,000 more are published.
    void publish_into_outage(Daemon& d, QSqlDatabase& db)
    {
        QVERIFY(d.start());
        QTRY_VERIFY_WITH_TIMEOUT(d.consuming(), 20000);
        QVERIFY(write_value_uplinks(d.dir.path() + "/a.txt", 1, 200));
        QVERIFY(write_value_uplinks(d.dir.path() + "/b.txt", 201, 1200));
        testsupport::amqp_peer(own["STROVA_AMQP_URI"], {"publish-file", d.queue, d.dir.path() + "/a.txt"});
        QTRY_COMPARE_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_data"), 200, 20000);

        QVERIFY(own_control({"mysql-stop"}));
        testsupport::amqp_peer(own["STROVA_AMQP_URI"], {"publish-file", d.queue, d.dir.path() + "/b.txt"});
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(testsupport::services_available(), "services fixture did not run");
        shared = testsupport::services();
        QSqlDatabase db = testsupport::schema_database("st_main", "schema");
        QVERIFY(QSqlQuery(db).exec("INSERT INTO modems_setting VALUES (305, 1, 0, 'sn', '0a1b')"));
    }
    void cleanupTestCase()
    {
        if (own_dir)
            own_control({"stop"});
    }

    void uplinks_become_rows()
    {
        QSqlDatabase db = testsupport::schema_database("e2e_rows", "rows", shared);
        QVERIFY(db.tables().contains("modems_data"));
        Daemon d(shared, "e2e_rows", "rows");
        QVERIFY(d.start());
        QTRY_VERIFY_WITH_TIMEOUT(d.consuming(), 20000);

        testsupport::amqp_peer(
            shared["STROVA_AMQP_URI"],
            {"publish", d.queue, value_uplink(1001),
             uplink(1002, "4F001004FFFFFFFF" + be32(T - 900) + "01" + be32(T - 800) + "02"),
             uplink(1003, "EE010A0B0C0D"),
             "{\"msg_type\":\"ul_app\",\"modem_id\":1004,", // cut JSON
             uplink(1005, "4F001001000000"),                // event archive cut before its first entry
             uplink(1006, "zz-not-hex"),
             // Out of their 32-bit range: no modem 2, and reception times never wrapped.
             QString(value_uplink(2)).replace("\"modem_id\":2,", "\"modem_id\":4294967298,"),
             QString(value_uplink(1008)).replace(QString::number(T), "253402300799"),
             QString(value_uplink(1009)).replace(QString::number(T), "-1"),
             QString(value_uplink(1010)).replace(QString::number(T), "-2147483648"), value_uplink(1007)});

        // The last uplink stored means every earlier one went through the daemon.
        QTRY_COMPARE_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_data WHERE modem_id = 1007"), 1, 20000);
        const struct {
            const char* sql;
            int rows;
        } expected[] = {
            {"SELECT COUNT(*) FROM modems_data WHERE modem_id = 1001 AND type = 50 AND OBIS_1_7_0 IS NOT NULL", 1},
            {"SELECT COUNT(*) FROM modems_event WHERE modem_id = 1002 AND event IN (1, 2)", 2},
            {"SELECT COUNT(*) FROM modems_setting WHERE modem_id = 1003 AND setting = 'sn'", 1},
            {"SELECT COUNT(*) FROM modems_data WHERE modem_id BETWEEN 1004 AND 1006", 0},
            {"SELECT COUNT(*) FROM modems_event WHERE modem_id BETWEEN 1004 AND 1006", 0},
            {"SELECT COUNT(*) FROM modems_data WHERE modem_id = 2", 0},
            {"SELECT COUNT(*) FROM modems_data WHERE modem_id BETWEEN 1008 AND 1010 "
             "AND ts BETWEEN UNIX_TIMESTAMP() - 600 AND UNIX_TIMESTAMP() + 60 AND ts_get = ts",
             3},
        };
        // A run writes readings before events and settings, each in its own transaction, and may
        // leave the later ones to the next run when its time is spent.
        for (const auto& e : expected)
            QTRY_VERIFY2_WITH_TIMEOUT(count_rows(db, e.sql) == e.rows, e.sql, 20000);
        QVERIFY(d.running());
        QTRY_COMPARE_WITH_TIMEOUT(d.waiting(), 0, 10000); // the dropped ones were acknowledged too
    }

    // An unknown modem is asked for its version; the delivery reports and the meter's answer
    // move the command through its states.
    void commands_and_delivery_reports()
    {
        QSqlDatabase db = testsupport::schema_database("e2e_cmd", "cmd", shared);
        QVERIFY(db.tables().contains("modems_data"));
        Daemon d(shared, "e2e_cmd", "cmd");
        QVERIFY(d.start());
        QTRY_VERIFY_WITH_TIMEOUT(d.consuming(), 20000);
        const QString uri = shared["STROVA_AMQP_URI"];
        testsupport::amqp_peer(uri, {"publish", d.queue, value_uplink(3001), value_uplink(3002)});

        QTRY_COMPARE_WITH_TIMEOUT(
            count_rows(db, "SELECT COUNT(*) FROM modems_cmd WHERE setting = 'version' AND modem_id IN (3001, 3002)"), 2, 20000);
        const auto cmd_of = [&db](uint modem) {
            return count_rows(db, QStringLiteral("SELECT cmd_id FROM modems_cmd WHERE setting = 'version' AND modem_id = %1").arg(modem));
        };
        const auto state_of = [&db](int cmd) {
            return count_rows(db, QStringLiteral("SELECT state FROM modems_cmd WHERE cmd_id = %1").arg(cmd));
        };
        const int first = cmd_of(3001), second = cmd_of(3002);
        QVERIFY(first > 0 && second > 0 && first != second);
        QCOMPARE(state_of(first), 1);
        QCOMPARE(state_of(second), 1);

        // The downlinks as the radio network server receives them.
        QMap<uint, QVariantMap> downlinks;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const QString& line : testsupport::amqp_peer(uri, {"drain", "e2e_cap_cmd"})) {
                    const QVariantMap body = QJsonDocument::fromJson(QJsonDocument::fromJson(line.toUtf8())
                                                                         .object()
                                                                         .value("body")
                                                                         .toString()
                                                                         .toUtf8())
                                                 .toVariant()
                                                 .toMap();
                    downlinks.insert(body.value("modem_id").toUInt(), body);
                }
                return downlinks.contains(3001) && downlinks.contains(3002);
            }(),
            20000);
        for (uint modem : {3001u, 3002u}) {
            const QVariantMap dl = downlinks.value(modem);
            QCOMPARE(dl.value("msg_type").toString(), QStringLiteral("dl"));
            QCOMPARE(dl.value("payload").toString(), QStringLiteral("EF06"));
            QCOMPARE(dl.value("api_key").toString(), QStringLiteral("e2e"));
            QCOMPARE(dl.value("status_id").toString(), QStringLiteral("drvStrova5_%1").arg(modem == 3001 ? first : second));
        }

        const auto report = [](const char* type, uint modem, int cmd) {
            return QStringLiteral(R"({"msg_type":"%1","modem_id":%2,"status_id":"drvStrova5_%3"})").arg(type).arg(modem).arg(cmd);
        };
        testsupport::amqp_peer(uri, {"publish", d.queue,
                                     report("dl_fault", 3002, first), // another modem's command: no change
                                     report("dl_success", 3001, first), report("dl_fault", 3002, second)});
        QTRY_COMPARE_WITH_TIMEOUT(state_of(second), 4, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(state_of(first), 2, 5000); // delivered, the answer still awaited

        // The meter's answer completes the command and stores the setting.
        testsupport::amqp_peer(uri, {"publish", d.queue, uplink(3001, "EE0001050200")});
        QTRY_COMPARE_WITH_TIMEOUT(state_of(first), 3, 20000);
        // The answer's setting and its command's new state are written apart: wait for the row.
        QTRY_COMPARE_WITH_TIMEOUT(
            count_rows(db,
                       "SELECT COUNT(*) FROM modems_setting WHERE modem_id = 3001 AND setting = 'version'"),
            1, 20000);
        QCOMPARE(state_of(second), 4);
        QVERIFY(d.running());
    }

    // A display answer from a modem whose partner is unknown makes the controller send "display"
    // back; that answer must not complete the command made in reply to it, while an answer to
    // an older command in the same save does complete that one.
    void answers_match_only_older_commands()
    {
        QSqlDatabase db = testsupport::schema_database("e2e_answer", "answer", shared);
        QVERIFY(db.tables().contains("modems_data"));
        Daemon d(shared, "e2e_answer", "answer", 1500);
        QVERIFY(d.start());
        QTRY_VERIFY_WITH_TIMEOUT(d.consuming(), 20000);
        const QString uri = shared["STROVA_AMQP_URI"];
        const auto state_of = [&db](const char* setting) {
            return count_rows(db, QStringLiteral("SELECT COALESCE(MAX(state), -1) FROM modems_cmd WHERE modem_id = 3101 AND setting = '%1'").arg(setting));
        };
        const auto cmd_of = [&db](const char* setting) {
            return count_rows(db, QStringLiteral("SELECT cmd_id FROM modems_cmd WHERE modem_id = 3101 AND setting = '%1'").arg(setting));
        };
        const auto delivered = [](int cmd) {
            return QStringLiteral(R"({"msg_type":"dl_success","modem_id":3101,"status_id":"drvStrova5_%1"})").arg(cmd);
        };
        testsupport::amqp_peer(uri, {"publish", d.queue, value_uplink(3101)});
        QTRY_COMPARE_WITH_TIMEOUT(state_of("version"), 1, 20000);
        testsupport::amqp_peer(uri, {"publish", d.queue, delivered(cmd_of("version"))});
        QTRY_COMPARE_WITH_TIMEOUT(state_of("version"), 2, 20000);

        // Partner 3999 is unknown: "display" with no data goes back to 3101.
        testsupport::amqp_peer(uri, {"publish", d.queue, uplink(3101, "EF1100000F9F"), uplink(3101, "EE0001050200")});
        QTRY_COMPARE_WITH_TIMEOUT(state_of("version"), 3, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(
            count_rows(db, "SELECT COUNT(*) FROM modems_cmd WHERE modem_id = 3101 AND setting = 'display'"),
            1, 20000);
        QCOMPARE(state_of("display"), 1);
        testsupport::amqp_peer(uri, {"publish", d.queue, delivered(cmd_of("display"))});
        QTRY_COMPARE_WITH_TIMEOUT(state_of("display"), 2, 20000);
        QVERIFY(d.running());
    }

    void sigterm_keeps_acknowledged_uplinks()
    {
        QSqlDatabase db = testsupport::schema_database("e2e_term", "term", shared);
        QVERIFY(db.tables().contains("modems_data"));
        Daemon d(shared, "e2e_term", "term");
        const int n = 30000;
        QVERIFY(write_value_uplinks(d.dir.path() + "/ul.txt", 1, n));
        testsupport::amqp_peer(shared["STROVA_AMQP_URI"], {"publish-file", d.queue, d.dir.path() + "/ul.txt"});
        // The broker may answer the count before its queue has taken in every message published.
        QTRY_COMPARE_WITH_TIMEOUT(d.waiting(), n, 20000);

        QVERIFY(d.start());
        QTRY_VERIFY_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_data") > 0, 30000);
        ::kill(pid_t(d.proc.processId()), SIGTERM);
        QVERIFY(d.proc.waitForFinished(60000));
        QCOMPARE(d.proc.exitCode(), 0);

        // The broker requeues what was delivered but not acknowledged as it drops the consumer.
        QTRY_VERIFY_WITH_TIMEOUT(queue_stats(shared, d.queue).value("consumers").toInt() == 0, 20000);
        const int remaining = d.waiting();
        const int rows = count_rows(db, "SELECT COUNT(*) FROM modems_data");
        qInfo() << "stored" << rows << "still queued" << remaining;
        // Every uplink the broker gave up (acknowledged) must be stored.
        QVERIFY2(rows >= n - remaining, qPrintable(QStringLiteral("acknowledged %1, stored %2").arg(n - remaining).arg(rows)));
        QVERIFY(rows <= n);
    }

    void database_outage_loses_nothing()
    {
        QVERIFY2(start_own_services(), "private services did not start");
        QSqlDatabase db = testsupport::schema_database("e2e_outage", "outage", own);
        QVERIFY(db.tables().contains("modems_data"));
        Daemon d(own, "e2e_outage", "outage");
        publish_into_outage(d, db);
        if (QTest::currentTestFailed()) return;
        QTest::qWait(6000);
        QVERIFY(d.running());
        QVERIFY(own_control({"mysql-start"}));
        db.close();
        db = testsupport::open_database("outage", "e2e_outage", own);
        QTRY_COMPARE_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_data"), 1200, 60000);
    }

    // Acknowledged uplinks are the daemon's to keep: a quit while the database is away waits for
    // it to come back and writes them.
    void quit_during_database_outage_loses_nothing()
    {
        QVERIFY2(start_own_services(), "private services did not start");
        QSqlDatabase db = testsupport::schema_database("e2e_quit", "quit", own);
        QVERIFY(db.tables().contains("modems_data"));
        Daemon d(own, "e2e_quit", "quit");
        publish_into_outage(d, db);
        if (QTest::currentTestFailed()) return;
        QTRY_COMPARE_WITH_TIMEOUT(d.waiting(), 0, 20000);
        ::kill(pid_t(d.proc.processId()), SIGTERM);
        QTRY_VERIFY_WITH_TIMEOUT(d.log().contains("quitting: waiting for the database"), 20000);
        QVERIFY(d.running());
        QVERIFY(own_control({"mysql-start"}));
        QVERIFY(d.proc.waitForFinished(60000));
        QCOMPARE(d.proc.exitCode(), 0);

        // What was delivered but not acknowledged went back to the broker; everything else is stored.
        QTRY_VERIFY_WITH_TIMEOUT(queue_stats(own, d.queue).value("consumers").toInt() == 0, 20000);
        const int remaining = d.waiting();
        db.close();
        db = testsupport::open_database("quit", "e2e_quit", own);
        QCOMPARE(count_rows(db, "SELECT COUNT(*) FROM modems_data"), 1200 - remaining);
    }

    // The account may open two connections: the writer's own is refused, its rows go over the
    // main one, the reason is logged, and a quit does not hang.
    void limited_account_stores_everything()
    {
        QVERIFY2(start_own_services(), "private services did not start");
        QSqlDatabase db = testsupport::schema_database("e2e_limit", "limit", own);
        QVERIFY(db.tables().contains("modems_data"));
        QSqlDatabase admin = testsupport::open_admin_database("limit_admin", own);
        QVERIFY(QSqlQuery(admin).exec("ALTER USER 'u'@'127.0.0.1' WITH MAX_USER_CONNECTIONS 2"));
        struct Unlimit
        {
            QSqlDatabase& a;
            ~Unlimit() { QSqlQuery(a).exec("ALTER USER 'u'@'127.0.0.1' WITH MAX_USER_CONNECTIONS 0"); }
        } unlimit{admin};
        Daemon d(own, "e2e_limit", "limit");
        QVERIFY(write_value_uplinks(d.dir.path() + "/ul.txt", 2, 501));
        testsupport::amqp_peer(own["STROVA_AMQP_URI"], {"publish-file", d.queue, d.dir.path() + "/ul.txt"});
        QVERIFY(d.start());
        QTRY_COMPARE_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_data"), 500, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_cmd"), 500, 10000);
        const QStringList err =
            d.log().split('\n').filter("writer's own database connection cannot be opened");
        QCOMPARE(err.size(), 1);
        QVERIFY2(err.first().contains("max_user_connections"), qPrintable(err.first()));
        ::kill(pid_t(d.proc.processId()), SIGTERM);
        QVERIFY(d.proc.waitForFinished(10000));
        QCOMPARE(d.proc.exitCode(), 0);
    }

    // A quit while the broker's memory alarm holds the downlinks back: the daemon ends, names
    // every downlink it could not get confirmed, and their commands stay pending.
    void quit_during_memory_alarm_names_downlinks()
    {
        QVERIFY2(start_own_services(), "private services did not start");
        QSqlDatabase db = testsupport::schema_database("e2e_alarm", "alarm", own);
        QVERIFY(db.tables().contains("modems_data"));
        Daemon d(own, "e2e_alarm", "alarm");
        QVERIFY(write_value_uplinks(d.dir.path() + "/ul.txt", 2, 201));
        testsupport::amqp_peer(own["STROVA_AMQP_URI"], {"publish-file", d.queue, d.dir.path() + "/ul.txt"});
        QVERIFY(own_control({"rabbitmqctl", "set_vm_memory_high_watermark", "0"}));
        struct Lift
        {
            tst_e2e* t;
            ~Lift() { t->own_control({"rabbitmqctl", "set_vm_memory_high_watermark", "0.4"}); }
        } lift{this};
        QVERIFY(d.start());
        // Uplinks are taken and stored during the alarm; every new modem is asked for its version.
        QTRY_COMPARE_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_data"), 200, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_cmd"), 200, 10000);
        ::kill(pid_t(d.proc.processId()), SIGTERM);
        QVERIFY(d.proc.waitForFinished(30000));
        QCOMPARE(d.proc.exitCode(), 0);
        const QStringList err = d.log().split('\n').filter("downlinks not confirmed by the broker");
        QVERIFY(!err.isEmpty());
        QStringList ids;
        for (uint32_t id : testsupport::named_status_ids(err.join('\n'), "not confirmed"))
            ids << QString::number(id);
        QCOMPARE(ids.size(), 200);
        QVERIFY2(err.first().contains(QStringLiteral(" 200 ")), qPrintable(err.first().left(300)));
        QCOMPARE(count_rows(db, "SELECT COUNT(*) FROM modems_cmd WHERE state = 1 AND cmd_id IN (" + ids.join(',') +
                               ")"),
                 ids.size());
    }

    // SIGTERM while MariaDB is stopped (SIGSTOP) and the broker's memory alarm holds the
    // downlinks, with clients asking for commands before and after it; then MariaDB goes on. The
    // daemon ends within 10 s of that, every acknowledged uplink is stored, every command it
    // answered with a number is stored or named, and the commands asked after the signal got none.
    void quit_with_database_stopped_and_downlinks_held()
    {
        QVERIFY2(start_own_services(), "private services did not start");
        QSqlDatabase db = testsupport::schema_database("e2e_held", "held", own);
        QVERIFY(db.tables().contains("modems_data"));
        Daemon d(own, "e2e_held", "held");
        const quint16 api_port = testsupport::free_port();
        QVERIFY(d.write_config({{"log_level", 5},
                                {"sql", testsupport::db_config(own, "e2e_held")},
                                {"rabbit", testsupport::rabbit_config(own["STROVA_AMQP_URI"], d.queue, d.exchange,
                                                                      "/api", "e2e")},
                                {"api", QVariantMap{{"port", api_port}}}}));
        QVERIFY(write_value_uplinks(d.dir.path() + "/a.txt", 2, 201));
        QVERIFY(write_value_uplinks(d.dir.path() + "/b.txt", 202, 501));
        testsupport::amqp_peer(own["STROVA_AMQP_URI"], {"publish-file", d.queue, d.dir.path() + "/a.txt"});
        const qint64 mysqld = QString::fromLatin1(
                                  [&] {
                                      QFile f(own["STROVA_SERVICES_DIR"] + "/mysql/pid");
                                      return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
                                  }())
                                  .trimmed()
                                  .toLongLong();
        QVERIFY(mysqld > 0);
        struct Resume
        {
            tst_e2e* t;
            pid_t server;
            ~Resume()
            {
                ::kill(server, SIGCONT);
                t->own_control({"rabbitmqctl", "set_vm_memory_high_watermark", "0.4"});
            }
        } resume{this, pid_t(mysqld)};
        QVERIFY(d.start());
        QTRY_COMPARE_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_data"), 200, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_cmd"), 200, 10000);

        QVERIFY(::kill(pid_t(mysqld), SIGSTOP) == 0);
        testsupport::amqp_peer(own["STROVA_AMQP_URI"], {"publish-file", d.queue, d.dir.path() + "/b.txt"});
        QTRY_COMPARE_WITH_TIMEOUT(d.waiting(), 0, 20000);
        // From here on the broker holds what the daemon publishes (the uplinks are all in).
        QVERIFY(own_control({"rabbitmqctl", "set_vm_memory_high_watermark", "0"}));
        const QString send = QString("http://127.0.0.1:%1/api/cmd/send?modem=5001,5002,5003&code=display&value=9")
                                 .arg(api_port);
        const auto ask = [&send] {
            auto* curl = new QProcess;
            curl->start("curl", {"-s", "--max-time", "90", send});
            return curl;
        };
        QList<uint> answered;
        for (int i = 0; i < 3; ++i) {
            std::unique_ptr<QProcess> curl(ask());
            QVERIFY(curl->waitForFinished(20000));
            for (const QVariant& n :
                 QJsonDocument::fromJson(curl->readAllStandardOutput()).toVariant().toMap().value("cmd_id").toMap())
                answered << n.toUInt();
        }
        QCOMPARE(answered.size(), 9);

        ::kill(pid_t(d.proc.processId()), SIGTERM);
        std::vector<std::unique_ptr<QProcess>> after;
        for (int i = 0; i < 8; ++i) {
            QTest::qWait(1000);
            after.emplace_back(ask());
        }
        QTRY_VERIFY_WITH_TIMEOUT(d.log().contains("quitting: waiting for the database"), 20000);
        QVERIFY(d.running());
        QVERIFY(::kill(pid_t(mysqld), SIGCONT) == 0);
        QElapsedTimer back;
        back.start();
        QVERIFY(d.proc.waitForFinished(60000));
        const qint64 ended = back.elapsed();
        qInfo() << "ended" << ended << "ms after the database went on";
        QVERIFY2(ended <= 10000, qPrintable(QString::number(ended)));
        QCOMPARE(d.proc.exitCode(), 0);

        // Asked after the signal: no number (or no answer at all).
        for (auto& curl : after) {
            curl->waitForFinished(10000);
            const QVariantMap made =
                QJsonDocument::fromJson(curl->readAllStandardOutput()).toVariant().toMap().value("cmd_id").toMap();
            QVERIFY2(made.isEmpty(), qPrintable(api_daemon_text(made)));
        }
        QVERIFY(d.log().contains("commands refused: no command number: the daemon is quitting"));
        // Every uplink acknowledged is stored; every command answered is stored or named.
        db.close();
        db = testsupport::open_database("held", "e2e_held", own);
        QCOMPARE(count_rows(db, "SELECT COUNT(*) FROM modems_data"), 500);
        const QSet<uint32_t> named =
            testsupport::named_status_ids(d.log(), "quitting: the database did not take");
        QStringList stored;
        for (const uint n : answered)
            if (!named.contains(n)) stored << QString::number(n);
        QCOMPARE(count_rows(db, "SELECT COUNT(*) FROM modems_cmd WHERE cmd_id IN (" +
                                    (stored.isEmpty() ? QString("0") : stored.join(',')) + ")"),
                 stored.size());
        // The version requests of the modems new in the outage too.
        QCOMPARE(count_rows(db, "SELECT COUNT(*) FROM modems_cmd WHERE setting = 'version'") +
                     int(testsupport::named_status_ids(d.log(), "quitting: the database did not take").size()) -
                     int(answered.size() - stored.size()),
                 500);
    }

    void broker_restart_resumes_consumption()
    {
        QVERIFY2(start_own_services(), "private services did not start");
        QSqlDatabase db = testsupport::schema_database("e2e_broker", "broker", own);
        QVERIFY(db.tables().contains("modems_data"));
        Daemon d(own, "e2e_broker", "broker");
        const int n = 30000;
        QVERIFY(write_value_uplinks(d.dir.path() + "/a.txt", 1, n));
        QVERIFY(write_value_uplinks(d.dir.path() + "/b.txt", n + 1, n + 100));
        testsupport::amqp_peer(own["STROVA_AMQP_URI"], {"publish-file", d.queue, d.dir.path() + "/a.txt"});

        QVERIFY(d.start());
        QTRY_VERIFY_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_data") > 0, 30000);
        QVERIFY(own_control({"rabbit-stop"}));
        QTest::qWait(2000);
        QVERIFY(own_control({"rabbit-start"}));
        // Uplinks published after the restart arrive too: the daemon subscribed again by itself.
        QTRY_VERIFY_WITH_TIMEOUT(d.consuming(), 60000);
        testsupport::amqp_peer(own["STROVA_AMQP_URI"], {"publish-file", d.queue, d.dir.path() + "/b.txt"});
        QTRY_COMPARE_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_data"), n + 100, 90000);
        QCOMPARE(d.waiting(), 0);
        QVERIFY(d.running());
    }

    // ---- start-up

    void missing_configuration()
    {
        QTemporaryDir tmp;
        const QString cfg = tmp.path() + "/absent.json";
        QProcess p;
        p.start(testsupport::daemon_path(), {"-c", cfg, "-l", tmp.path() + "/logs/drv.log"});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 255);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(err.contains("(Exc)") && err.contains("no file settings \"" + cfg + "\""), qPrintable(err));
        QVERIFY(!QDir(tmp.path() + "/logs").exists()); // no log file before the configuration is read
    }

    void empty_configuration_data()
    {
        QTest::addColumn<QByteArray>("content");
        for (const char* content : {"{}", "[]", "null", "log_level = 5", ""})
            QTest::addRow("'%s'", content) << QByteArray(content);
    }
    void empty_configuration()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir tmp;
        QProcess p;
        start(p, tmp, content);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 254);
        QVERIFY(QString::fromUtf8(p.readAllStandardError()).contains("empty settings"));
    }

    // Each quit signal stops the daemon cleanly, also with the loader thread running.
    void quit_signals_data()
    {
        QTest::addColumn<int>("sig");
        for (int sig : {SIGTERM, SIGHUP, SIGINT})
            QTest::addRow("%s", strsignal(sig)) << sig;
    }
    void quit_signals()
    {
        QFETCH(int, sig);
        QTemporaryDir tmp;
        QProcess p;
        start(p, tmp, config_with_database(testsupport::service("STROVA_MYSQL_PASS")));
        QTRY_VERIFY_WITH_TIMEOUT(testsupport::read_logs(tmp.path()).contains("db_loader open"), 10000);
        ::kill(pid_t(p.processId()), sig);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(p.readAllStandardOutput()),
                 QStringLiteral("\nquit the application (user request signal = %1).\n").arg(sig));
        const QString all = testsupport::read_logs(tmp.path()) + QString::fromUtf8(p.readAllStandardError());
        QVERIFY(all.contains("sql created"));
        QVERIFY(all.contains("devices 1")); // the registry was filled from the database
        QVERIFY2(!all.contains("while thread is still running", Qt::CaseInsensitive), qPrintable(all));
        QVERIFY2(!all.contains("still in use", Qt::CaseInsensitive), qPrintable(all)); // connections removed in use
        // The log file says the quit and its cause too, and ends with the stop, after everything
        // the components said on their way out.
        const QString log = testsupport::read_logs(tmp.path()).trimmed();
        QVERIFY(log.contains(QStringLiteral("(Wrn)")));
        QVERIFY2(log.contains(QStringLiteral("quit the application (user request signal = %1).").arg(sig)),
                 qPrintable(log.right(1000)));
        QVERIFY2(log.endsWith("driver_strova5 stopped, exit code 0"), qPrintable(log.right(1000)));
    }

    void database_refuses_login()
    {
        QTemporaryDir tmp;
        QProcess p;
        start(p, tmp, config_with_database("wrong"));
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 253);
        const QString log = testsupport::read_logs(tmp.path());
        QVERIFY2(log.contains("(Exc)") && log.contains("no sql connect") && log.contains("can't open db"), qPrintable(log));
        QVERIFY(!log.contains("sql created"));
        // The log's last line names the status the shell sees, not main's -3.
        QVERIFY2(log.trimmed().endsWith("driver_strova5 stopped, exit code 253 (-3)"),
                 qPrintable(log.right(500)));
        // Also said where whoever started the daemon looks first.
        const QStringList err = QString::fromUtf8(p.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(err.size(), 1);
        QVERIFY2(err.first().startsWith("driver_strova5: no sql connect: database \"st_main\" on ") &&
                     err.first().contains(tmp.path()),
                 qPrintable(err.first()));
    }

    void api_port_taken()
    {
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::Any));
        QTemporaryDir tmp;
        QProcess p;
        start(
            p, tmp,
            config_with_database(testsupport::service("STROVA_MYSQL_PASS"))
                .replace(R"("port": 0)", QByteArray(R"("port": )") + QByteArray::number(taken.serverPort())));
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitCode(), 252);
        const QString log = testsupport::read_logs(tmp.path()).trimmed();
        QVERIFY(log.contains("api can't start"));
        QVERIFY2(log.endsWith("driver_strova5 stopped, exit code 252 (-4)"), qPrintable(log.right(500)));
        // The descriptors line, said before the bind, reads as the guide shows it.
        static const QRegularExpression descriptors(
            R"(\(Wrn\).* descriptors: limit \d+ \(was \d+, hard limit (\d+|unlimited)\), the daemon's own \d+, kept free 64\n)");
        QVERIFY2(descriptors.match(log).hasMatch(), qPrintable(log.left(3000)));
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(
            err.startsWith(
                QString("driver_strova5: api can't start: port %1 cannot be bound").arg(taken.serverPort())),
            qPrintable(err));
    }

    // Without a log file the lines fall through to standard error, and the reason is said once.
    void log_directory_not_creatable()
    {
        QTemporaryDir tmp;
        QFile cfg(tmp.path() + "/cfg.json");
        const QByteArray config = config_with_database("wrong");
        QVERIFY(cfg.open(QIODevice::WriteOnly) && cfg.write(config) == config.size());
        cfg.close();
        QProcess p;
        p.start(testsupport::daemon_path(),
                {"-c", cfg.fileName(), "-l", tmp.path() + "/missing/logs/drv.log"});
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitCode(), 253);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QCOMPARE(err.count("cannot be created or written"), 1);
        QVERIFY2(err.contains("ram created") && err.contains("no sql connect"), qPrintable(err));
    }

    void version_option()
    {
        QProcess p;
        p.start(testsupport::daemon_path(), {"--version"});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(QString::fromUtf8(p.readAllStandardOutput()).contains("1.0.0-6"));
    }
};

QTEST_GUILESS_MAIN(tst_e2e)
#include "tst_e2e.moc"
