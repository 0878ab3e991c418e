// The real daemon against clustered servers: a three-node Galera cluster behind haproxy that
// loses its quorum, limits its write sets or loses its active node, and a three-node RabbitMQ
// cluster with quorum queues that loses a node. Nothing acknowledged may be lost, and the daemon
// follows the cluster back by itself.
#include "cluster_support.h"
#include "testsupport.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

namespace {

using Env = QMap<QString, QString>;
using testsupport::Cluster;

using testsupport::count_rows;

// Reception time of the test uplinks: a minute ago, so every record time is in the past.
const uint T = uint(QDateTime::currentSecsSinceEpoch()) - 60;

QString uplink(uint modem, const QString& payload)
{
    return QStringLiteral(
               R"({"msg_type":"ul_app","modem_id":%1,"payload":"%2","station_id":3,"rssi":-90,"time_detected":%3})")
        .arg(modem)
        .arg(payload)
        .arg(T);
}

// A current-value record: one modems_data row per modem; a modem new to the daemon is asked
// for its version.
QString value_uplink(uint modem)
{
    return uplink(modem, QStringLiteral("320200%1").arg(modem, 8, 16, QLatin1Char('0')).toUpper());
}

// The meter's answer to the version request.
QString version_answer(uint modem)
{
    return uplink(modem, QStringLiteral("EE0001050200"));
}

QString delivered(uint modem, uint cmd)
{
    return QStringLiteral(R"({"msg_type":"dl_success","modem_id":%1,"status_id":"drvStrova5_%2"})")
        .arg(modem)
        .arg(cmd);
}

bool write_lines(const QString& path, const QStringList& lines)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(lines.join(QLatin1Char('\n')).toUtf8() + '\n') > 0;
}

QStringList value_uplinks(uint first, uint last)
{
    QStringList out;
    for (uint m = first; m <= last; ++m)
        out << value_uplink(m);
    return out;
}

QVariantMap queue_stats(const QString& uri, const QString& queue)
{
    return QJsonDocument::fromJson(testsupport::amqp_peer(uri, {"stats", queue}).value(0).toUtf8())
        .toVariant()
        .toMap();
}

// Names of this run's queues and exchanges: a broker kept from an earlier run may hold theirs.
QString run_id()
{
    return QStringLiteral("_%1").arg(QCoreApplication::applicationPid());
}

// One daemon process with its own configuration, log, uplink queue and downlink exchange.
struct Daemon : testsupport::Daemon_process
{
    QString uri, queue, exchange, capture;

    // `vhost`: the virtual host of the broker at `amqp_uri`; `declare_queue`: the radio network
    // server's side declares the uplink queue before the daemon does.
    Daemon(const Env& db_env, const QString& database, const QString& amqp_uri, const QString& vhost,
           const QString& tag, bool declare_queue = true)
        : uri(amqp_uri), queue("cl_ul_" + tag + run_id()), exchange("cl_dl_" + tag + run_id()),
          capture("cl_cap_" + tag + run_id())
    {
        write_config({{"log_level", 5},
                      {"sql", testsupport::db_config(db_env, database)},
                      {"rabbit", testsupport::rabbit_config(uri, queue, exchange, vhost, "cl")},
                      {"api", QVariantMap{{"port", 0}}}});
        if (declare_queue) testsupport::amqp_peer(uri, {"declare-queue", queue});
        testsupport::amqp_peer(uri, {"bind", exchange, capture, "#"});
    }
    bool consuming() { return queue_stats(uri, queue).value("consumers").toInt() == 1; }
    int waiting() { return queue_stats(uri, queue).value("messages").toInt(); }
    // `confirmed`: as the radio network server must publish to a quorum queue, which may drop
    // what a publisher without confirms sends just before it closes.
    bool publish(const QStringList& lines, const QString& name, bool confirmed = false)
    {
        if (!write_lines(dir.path() + "/" + name, lines)) return false;
        const QString path = dir.path() + "/" + name;
        if (!confirmed) {
            testsupport::amqp_peer(uri, {"publish-file", queue, path});
            return true;
        }
        return testsupport::amqp_peer(uri, {"publish-confirmed", queue, path, "100000"}).value(0).toInt() ==
               lines.size();
    }
    // The modem of each downlink sent since the last call, by command number.
    void downlinks(QMap<uint, uint>& cmds)
    {
        for (const QString& line : testsupport::amqp_peer(uri, {"drain", capture})) {
            const QVariantMap body =
                QJsonDocument::fromJson(
                    QJsonDocument::fromJson(line.toUtf8()).object().value("body").toString().toUtf8())
                    .toVariant()
                    .toMap();
            const QString status = body.value("status_id").toString();
            if (status.startsWith("drvStrova5_"))
                cmds.insert(status.mid(11).toUInt(), body.value("modem_id").toUInt());
        }
    }
    QString lost_lines() const { return log().split('\n').filter("row lost").mid(0, 5).join('\n'); }
};

} // namespace

class tst_cluster : public QObject
{
    Q_OBJECT

    Env shared;
    std::unique_ptr<Cluster> checked_galera; // health-checked on wsrep state, write sets of 500 rows
    std::unique_ptr<Cluster> rabbit;

    bool start_checked_galera()
    {
        if (checked_galera) return !checked_galera->env().isEmpty();
        checked_galera = std::make_unique<Cluster>();
        return checked_galera->start({"galera-start", "wsrep", "wsrep_max_ws_rows=500"});
    }
    bool start_rabbit()
    {
        if (rabbit) return !rabbit->env().value("STROVA_AMQP_URI").isEmpty();
        rabbit = std::make_unique<Cluster>();
        return rabbit->start({"rabbit-start"});
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(testsupport::services_available(), "services fixture did not run");
        shared = testsupport::services();
    }
    void cleanupTestCase()
    {
        checked_galera.reset();
        rabbit.reset();
    }

    // Both backups killed: the survivor is out of the primary component and answers every
    // statement with an error until it is bootstrapped 10 s later. Uplinks, delivery reports
    // and the meters' answers keep coming meanwhile; afterwards every uplink is stored once and
    // every answered command is done. The proxy checks the nodes with the plain mysql-check, so
    // the daemon stays on the survivor throughout.
    void galera_quorum_loss_loses_nothing()
    {
        Cluster galera;
        QVERIFY(galera.start({"galera-start", "plain"}));
        const Env g = galera.env();
        QSqlDatabase db = testsupport::schema_database("cl_quorum", "quorum", g);
        QVERIFY(db.tables().contains("modems_data"));
        Daemon d(g, "cl_quorum", shared["STROVA_AMQP_URI"], "/api", "quorum");
        QVERIFY(d.start());
        QTRY_VERIFY_WITH_TIMEOUT(d.consuming(), 20000);
        const uint n = 2000;
        QVERIFY(d.publish(value_uplinks(10001, 10000 + n), "a.txt"));
        QTRY_COMPARE_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_data"), int(n), 60000);
        // Each new modem is asked for its version, the one command of it stored.
        QMap<uint, uint> cmds;
        const auto asked = [&cmds] {
            const QList<uint> modems = cmds.values();
            return QSet<uint>(modems.cbegin(), modems.cend()).size();
        };
        QElapsedTimer t;
        for (t.start(); asked() < int(n) && t.elapsed() < 30000; QTest::qWait(200))
            d.downlinks(cmds);
        QCOMPARE(asked(), int(n));
        QTRY_COMPARE_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_cmd WHERE `state` = 1"), int(n),
                                  30000);

        QVERIFY(galera.run({"galera-kill", "2", "3"}));
        // The delivery reports, then the meters' answers (a report and its answer in one burst
        // may reach storage the other way round), then uplinks of new modems.
        QStringList reports, answers;
        for (auto it = cmds.cbegin(); it != cmds.cend(); ++it)
            reports << delivered(it.value(), it.key());
        for (uint m = 10001; m <= 10000 + n; ++m)
            answers << version_answer(m);
        QVERIFY(d.publish(reports, "b.txt"));
        QVERIFY(d.publish(answers, "c.txt"));
        QVERIFY(d.publish(value_uplinks(10001 + n, 10000 + 2 * n), "d.txt"));
        QTRY_VERIFY_WITH_TIMEOUT(d.log().contains("the database is in a passing state"), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(d.waiting(), 0, 30000); // all of it acknowledged by the daemon
        QTest::qWait(10000);                              // the cluster stays without quorum this long
        QVERIFY(galera.run({"galera-bootstrap", "1"}));

        QTRY_COMPARE_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_data"), int(2 * n), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(
            count_rows(db, QStringLiteral("SELECT COUNT(*) FROM modems_cmd WHERE `state` = 3 AND modem_id <= %1")
                          .arg(10000 + n)),
            int(n), 30000);
        QCOMPARE(count_rows(db, "SELECT COUNT(DISTINCT modem_id) FROM modems_data"), int(2 * n));
        QTRY_COMPARE_WITH_TIMEOUT(
            count_rows(db,
                       QStringLiteral(
                           "SELECT COUNT(*) FROM modems_setting WHERE setting = 'version' AND modem_id <= %1")
                           .arg(10000 + n)),
            int(n), 30000); // a run writes the settings after the states, and the catch-up's runs are cut
        QVERIFY2(!d.log().contains("row lost"), qPrintable(d.lost_lines()));
        // The writer's commit is visible before the main thread takes in its result and says so.
        QTRY_VERIFY_WITH_TIMEOUT(d.log().contains("the database takes rows again"), 15000);
        QVERIFY(d.running());

        // A killed node rejoins from the position its own data reached and has every row.
        QVERIFY(galera.run({"galera-rejoin", "2"}));
        QString out;
        // A node says it is synced with write sets possibly still queued for applying: the read waits
        // for them.
        QVERIFY(galera.run({"galera-sql", "2",
                            "SET SESSION wsrep_sync_wait = 1; SELECT COUNT(*) FROM cl_quorum.modems_data"},
                           &out));
        QCOMPARE(out.trimmed().toInt(), int(2 * n));
    }

    // A cluster that allows 500 rows in one write set: chunks of readings and commands get
    // smaller, 20,000 uplinks of new modems are stored within two minutes, and a quit with rows
    // waiting ends within 15 s having written them.
    void galera_write_set_limit()
    {
        QVERIFY(start_checked_galera());
        const Env g = checked_galera->env();
        QSqlDatabase db = testsupport::schema_database("cl_ws", "ws", g);
        QVERIFY(db.tables().contains("modems_data"));
        Daemon d(g, "cl_ws", shared["STROVA_AMQP_URI"], "/api", "ws");
        const int n = 20000;
        QVERIFY(d.publish(value_uplinks(20001, 20000 + n), "a.txt"));
        for (const char* node : {"1", "2", "3"})
            QVERIFY(checked_galera->run({"galera-sql", node,
                                         "SET SESSION wsrep_on = OFF; TRUNCATE mysql.general_log; "
                                         "SET GLOBAL log_output = 'TABLE', GLOBAL general_log = 1"}));
        QElapsedTimer t;
        t.start();
        QVERIFY(d.start());
        QTRY_COMPARE_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_data"), n, 120000);
        qInfo() << n << "uplinks stored in" << t.elapsed() << "ms";
        // The node that served the start read the mark with wsrep_sync_wait set on that session:
        // each session's statements in order, the SET right before the read.
        int synced_reads = 0;
        for (const char* node : {"1", "2", "3"}) {
            QString out;
            QVERIFY(checked_galera->run(
                {"galera-sql", node,
                 "SET GLOBAL general_log = 0; SELECT thread_id, REPLACE(CONVERT(argument USING utf8mb4), '\\n', ' ') "
                 "FROM mysql.general_log WHERE command_type = 'Query' AND (argument LIKE '%driver_state%' OR "
                 "argument LIKE '%wsrep_sync_wait%') ORDER BY event_time, thread_id"},
                &out));
            QMap<QString, QString> last; // thread -> its previous statement of these
            for (const QString& line : out.split('\n', Qt::SkipEmptyParts)) {
                const QString thread = line.section('\t', 0, 0), statement = line.section('\t', 1);
                if (statement.startsWith("SELECT `value` FROM driver_state")) {
                    QVERIFY2(last.value(thread) == "SET SESSION wsrep_sync_wait = 1", qPrintable(out));
                    ++synced_reads;
                }
                last[thread] = statement;
            }
        }
        QCOMPARE(synced_reads, 1);
        // Every uplink was taken, so every command is made: those the downlink queue had no room
        // for in the burst are refused before they are numbered (said in the log), and every one
        // that went out is stored.
        QTRY_COMPARE_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_cmd"),
                                  queue_stats(d.uri, d.capture).value("messages").toInt(), 30000);
        const int cmds = count_rows(db, "SELECT COUNT(*) FROM modems_cmd");
        QVERIFY2(cmds == n || (cmds > n / 2 && d.log().contains("the downlink queue is full")),
                 qPrintable(QString::number(cmds)));
        // The next block of numbers was taken while rows waited for the server's pauses.
        QVERIFY2(!d.log().contains("no command number"),
                 qPrintable(d.log().split('\n').filter("no command number").mid(0, 3).join('\n')));
        QVERIFY(d.log().contains("wsrep_max_ws_rows exceeded"));
        QVERIFY(d.log().contains("at a time"));

        QVERIFY(d.publish(value_uplinks(20001 + n, 25000 + n), "b.txt"));
        QTRY_VERIFY_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_data") > n, 30000);
        t.restart();
        ::kill(pid_t(d.proc.processId()), SIGTERM);
        QVERIFY(d.proc.waitForFinished(15000));
        qInfo() << "quit in" << t.elapsed() << "ms";
        QCOMPARE(d.proc.exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(queue_stats(d.uri, d.queue).value("consumers").toInt(), 0, 20000);
        const int acknowledged = n + 5000 - d.waiting();
        QCOMPARE(count_rows(db, "SELECT COUNT(*) FROM modems_data"), acknowledged);
        QVERIFY2(!d.log().contains("row lost"), qPrintable(d.lost_lines()));
    }

    // The active node is killed: the proxy's check on the node's wsrep state takes it out and
    // cuts the daemon's sessions, a backup takes the rows. The node rejoins from its recovered
    // position, becomes the active one again, and the daemon follows it.
    void galera_active_node_killed()
    {
        QVERIFY(start_checked_galera());
        const Env g = checked_galera->env();
        QSqlDatabase db = testsupport::schema_database("cl_fail", "fail", g);
        QVERIFY(db.tables().contains("modems_data"));
        Daemon d(g, "cl_fail", shared["STROVA_AMQP_URI"], "/api", "fail");
        QVERIFY(d.start());
        QTRY_VERIFY_WITH_TIMEOUT(d.consuming(), 20000);
        QVERIFY(write_lines(d.dir.path() + "/a.txt", value_uplinks(50001, 53000)));
        QProcess publisher;
        publisher.start("/usr/bin/python3", {STROVA_SOURCE_DIR "/tests/support/amqp_peer.py", d.uri,
                                             "publish-confirmed", d.queue, d.dir.path() + "/a.txt", "500"});
        QTRY_VERIFY_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_data") > 500, 20000);
        QVERIFY(checked_galera->run({"galera-kill", "1"}));
        QVERIFY(publisher.waitForFinished(60000));
        db.close();
        QVERIFY(db.open()); // the test's own session went with the node
        QTRY_COMPARE_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_data"), 3000, 60000);

        QVERIFY(checked_galera->run({"galera-rejoin", "1"}));
        QVERIFY(d.publish(value_uplinks(53001, 53100), "b.txt"));
        QString out;
        QTRY_VERIFY_WITH_TIMEOUT(
            (checked_galera->run({"galera-sql", "1", "SELECT COUNT(*) FROM cl_fail.modems_data"}, &out),
             out.trimmed().toInt() == 3100),
            60000);
        QVERIFY2(!d.log().contains("row lost"), qPrintable(d.lost_lines()));
        QVERIFY(d.running());
    }

    // A virtual host whose default queue type is quorum: the daemon's own declaration (durable,
    // no arguments) makes a quorum queue, and the daemon consumes it.
    void quorum_queue_by_default()
    {
        QVERIFY(start_rabbit());
        const Env r = rabbit->env();
        QSqlDatabase db = testsupport::schema_database("cl_qq", "qq", shared);
        QVERIFY(db.tables().contains("modems_data"));
        Daemon d(shared, "cl_qq", r["STROVA_AMQP_URI"], "/q", "qq", false);
        QVERIFY(d.start());
        QTRY_VERIFY_WITH_TIMEOUT(d.consuming(), 30000);
        QString out;
        QVERIFY(rabbit->run(
            {"rabbitmqctl", "1", "list_queues", "-p", "/q", "--no-table-headers", "-q", "name", "type"},
            &out));
        QVERIFY2(out.contains(QRegularExpression(d.queue + "\\s+quorum")), qPrintable(out));
        QVERIFY(d.publish(value_uplinks(60001, 61000), "a.txt", true));
        QTRY_COMPARE_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_data"), 1000, 30000);
    }

    // The broker node the daemon is connected to, which leads the quorum queue, is killed while
    // the radio network server publishes with confirms to another node: every confirmed uplink
    // is stored, and the daemon consumes again through the proxy.
    void broker_node_killed()
    {
        QVERIFY(start_rabbit());
        const Env r = rabbit->env();
        QSqlDatabase db = testsupport::schema_database("cl_rk", "rk", shared);
        QVERIFY(db.tables().contains("modems_data"));
        Daemon d(shared, "cl_rk", r["STROVA_AMQP_URI"], "/q", "rk", false);
        QVERIFY(d.start());
        QTRY_VERIFY_WITH_TIMEOUT(d.consuming(), 30000);
        const int n = 3000;
        QVERIFY(write_lines(d.dir.path() + "/a.txt", value_uplinks(70001, 70000 + n)));
        QProcess publisher;
        publisher.start("/usr/bin/python3",
                        {STROVA_SOURCE_DIR "/tests/support/amqp_peer.py", r["RABBIT_URI_2"],
                         "publish-confirmed", d.queue, d.dir.path() + "/a.txt", "500"});
        QTRY_VERIFY_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_data") > 500, 20000);
        QVERIFY(rabbit->run({"rabbit-kill", "1"}));
        QVERIFY(publisher.waitForFinished(120000));
        QCOMPARE(publisher.readAllStandardOutput().trimmed().toInt(), n);
        QTRY_COMPARE_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_data"), n, 90000);
        // Consuming again: what is published now arrives too (the broker may count the consumer
        // of the lost connection for a while yet).
        d.uri = r["RABBIT_URI_2"];
        QVERIFY(d.publish(value_uplinks(70001 + n, 70100 + n), "b.txt", true));
        QTRY_COMPARE_WITH_TIMEOUT(count_rows(db, "SELECT COUNT(*) FROM modems_data"), n + 100, 30000);
        QVERIFY(d.running());
    }
};

QTEST_GUILESS_MAIN(tst_cluster)
#include "tst_cluster.moc"
