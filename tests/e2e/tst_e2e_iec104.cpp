// The real daemon with "iec104" between the throwaway RabbitMQ and MariaDB, and our python master
// on port 2404: uplinks from the broker reach SCADA as ASDUs; APCI limits and times; shutdown;
// several masters at once. tshark reads the recorded session afterwards.
#include "../iec60870/iec104_station_fixture.h"
#include "sql_exchange.h"
#include "testsupport.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTcpServer>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

namespace {

const int port = 2404;
const uint T = uint(QDateTime::currentSecsSinceEpoch()) - 60; // reception time of the uplinks
const uint TV = T - 30;                                       // the value records' time
const uint TE = T - 100;                                      // the event's time

QString be32(qint64 v)
{
    return QStringLiteral("%1").arg(quint32(v), 8, 16, QLatin1Char('0')).toUpper();
}

QString uplink(uint modem, const QString& payload)
{
    return QStringLiteral(
               R"({"msg_type":"ul_app","modem_id":%1,"payload":"%2","station_id":3,"rssi":-90,"time_detected":%3})")
        .arg(modem)
        .arg(QString(payload).remove(' '))
        .arg(T);
}

// A current-values record at `t`: OBIS C of 1.0.C.7.0.255 -> value in meter units x 1000.
QString values_uplink(uint modem, const QList<QPair<int, qint64>>& values, uint t = TV)
{
    QString payload = "400010" + be32(t);
    for (const auto& v : values)
        payload += "0100" + QStringLiteral("%1").arg(v.first, 2, 16, QLatin1Char('0')).toUpper() + "0700FF" +
                   be32(v.second);
    return uplink(modem, payload);
}

// Empty when the station's port can be bound on every address, as the daemon will; else one line
// naming the port and, as far as `ss` shows it here, what holds it.
QString port_taken()
{
    QTcpServer probe;
    if (probe.listen(QHostAddress::Any, port)) return QString();
    QString error;
    const QString holders =
        QString::fromLocal8Bit(testsupport::run_tool("ss",
                                                     {"-Hltnp", QStringLiteral("sport = :%1").arg(port)},
                                                     QByteArray(), &error))
            .simplified();
    return QStringLiteral("port %1 is taken (%2): %3")
        .arg(port)
        .arg(probe.errorString())
        .arg(holders.isEmpty() ? QStringLiteral("ss shows no listener %1").arg(error) : holders);
}

// The daemon with "iec104" on its own database, fed through its own uplink queue.
struct Station_daemon
{
    QTemporaryDir dir;
    QProcess process;
    QString uri;
    QString queue;

    ~Station_daemon()
    {
        if (process.state() == QProcess::NotRunning) return;
        ::kill(pid_t(process.processId()), SIGTERM);
        if (!process.waitForFinished(5000)) process.kill();
    }
    // Makes database `name` with the storage's tables, runs `sql` in it, writes the configuration
    // and starts the daemon; an error text, empty when it runs.
    QString start(const QString& name, const QStringList& sql)
    {
        const QString taken = port_taken();
        if (!taken.isEmpty()) return taken;
        const auto env = testsupport::services();
        uri = env["STROVA_AMQP_URI"];
        queue = name + "_ul";
        QSqlDatabase db = testsupport::schema_database(name, name);
        if (!db.isOpen()) return "no database " + name;
        {
            // The address table is the storage's own, made when it first opens the database.
            SQL_Exchange storage(testsupport::db_config(env, name), nullptr);
            if (!storage.init()) return "storage did not open " + name;
        }
        for (const QString& statement : sql) {
            QSqlQuery q(db);
            if (!q.exec(statement)) return q.lastError().text();
        }
        const QVariantMap config{
            {"log_level", 5},
            {"sql", testsupport::db_config(env, name)},
            {"rabbit",
             QVariantMap{{"ul", QVariantMap{{"path", uri}, {"queue", queue}, {"host", "/api"}}},
                         {"dl", QVariantMap{{"path", uri}, {"exchange", name + "_dl"}, {"host", "/api"}}}}},
            {"api", QVariantMap{{"port", 0}}},
            {"iec104", QVariantMap{{"port", 1}}}, // not read: the station stays on 2404
        };
        QFile cfg(dir.path() + "/cfg.json");
        if (!cfg.open(QIODevice::WriteOnly)) return "no configuration file";
        cfg.write(QJsonDocument::fromVariant(config).toJson());
        cfg.close();
        testsupport::amqp_peer(uri, {"declare-queue", queue});
        return restart() ? QString() : "the daemon did not start";
    }
    bool restart()
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(testsupport::daemon_path(),
                      {"-c", dir.path() + "/cfg.json", "-l", dir.path() + "/drv.log"});
        return process.waitForStarted(5000);
    }
    // Publishes uplinks, in order, to the daemon's queue.
    void publish(const QStringList& uplinks)
    {
        testsupport::amqp_peer(uri, QStringList{"publish", queue} + uplinks);
    }
    QString log() const { return testsupport::read_logs(dir.path()); }
};

// A connection of `master` once the station listens (it starts with the daemon); -1 after 20 s.
int open_when_listening(iec104test::Master& master)
{
    int c = -1;
    for (QElapsedTimer t; c < 0 && (!t.isValid() || t.elapsed() < 20000); QTest::qWait(200)) {
        if (!t.isValid()) t.start();
        c = master.open(port);
    }
    return c;
}

// STARTDT act answered with STARTDT con; the master then acknowledges every 8 I-frames.
bool start_data_transfer(iec104test::Master& master, int c)
{
    return master(QString("send %1 680407000000").arg(c)) == "ok" &&
           master(QString("recv %1 2000").arg(c)) == "apdu 68040B000000" &&
           master(QString("ack %1 8").arg(c)) == "ok";
}

// ASDUs as iec104_master.py reads them ("TYPE COT CA @T: IOA=V ..."), read until one of them
// contains `until`; every one read so far, or with "no " + `until` in front after 20 s.
QStringList asdus_until(iec104test::Master& master, int c, const QString& until)
{
    QStringList got;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 20000) {
        const QString r = master(QString("asdus %1 100").arg(c));
        if (!r.startsWith("asdus ")) return QStringList{"no " + until + ": " + r} + got;
        if (r != "asdus -") got << r.mid(6).split(" / ");
        for (const QString& a : got)
            if (a.contains(until)) return got;
    }
    return QStringList{"no " + until} + got;
}

// The measured values in `asdus` of common address `ca` (any cause) applied in order to `view`.
void apply_values(QMap<int, double>& view, const QStringList& asdus, int ca)
{
    for (const QString& a : asdus) {
        const QStringList head = a.section(':', 0, 0).split(' ');
        if (head.size() < 3 || head[0] != "36" || head[2].toInt() != ca) continue;
        for (const QString& item : a.section(": ", 1).split(' ', Qt::SkipEmptyParts))
            view[item.section('=', 0, 0).toInt()] = item.section('=', 1).toDouble();
    }
}

} // namespace

class tst_e2e_iec104 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString taken = port_taken();
        QVERIFY2(taken.isEmpty(), qPrintable(taken));
        QVERIFY2(testsupport::services_available(), "services fixture did not run");
    }

    void scada_session()
    {
        Station_daemon run;
        const QString started = run.start(
            "e2e_iec104", {"INSERT INTO modems_iec104 (iec_id, modem_id) VALUES (7, 3001), (8, 3002)",
                           "INSERT INTO modems_setting (modem_id, ts, state, setting, data) "
                           "VALUES (3002, 1, 0, 'iec104_send_PERIODIC', 'true')"});
        QVERIFY2(started.isEmpty(), qPrintable(started));
        const QString uri = run.uri, queue = run.queue;
        QProcess& daemon = run.process;

        iec104test::Master master;
        QCOMPARE(master("record on"), QString("ok"));
        const int a = open_when_listening(master);
        QVERIFY(a > 0);
        const int b = master.open(port);
        QVERIFY(b > 0);
        for (int c : {a, b})
            QVERIFY(start_data_transfer(master, c));
        const auto asdus = [&master](int c, int quiet = 1500) {
            const QString r = master(QString("asdus %1 %2").arg(c).arg(quiet));
            return r.startsWith("asdus ") ? r.mid(6) : r;
        };
        const auto at = [](uint t) { return QString::number(t); };

        // Three phases and the frequency, then a class-10 event archive.
        const QString values = values_uplink(3001, {{21, 3000},
                                                    {23, 4000},
                                                    {31, 20000},
                                                    {32, 230000},
                                                    {41, 6000},
                                                    {43, 8000},
                                                    {51, 10000},
                                                    {52, 231000},
                                                    {61, -3000},
                                                    {63, -4000},
                                                    {71, 5000},
                                                    {72, 229000},
                                                    {14, 50000}});
        testsupport::amqp_peer(
            uri, {"publish", queue, values, uplink(3001, "4F 00 10 0A 00000000" + be32(TE) + "5030")});
        const QString expected =
            "36 3 7 @" + at(TV) +
            ": 121=3000 123=4000 132=230 131=20000 129=5000 133=0.6 141=6000 143=8000 "
            "152=231 151=10000 149=10000 153=0.6 161=-3000 163=-4000 172=229 171=5000 / 36 3 7 @" +
            at(TV) + ": 169=5000 173=-0.6 114=50 111=35000 101=12000 103=16000 109=20000 / 30 3 7 @" +
            at(TE) + ": 16:1";
        // The station listens before the daemon's broker connection is made: the first uplinks may
        // wait in the queue for it.
        QCOMPARE(asdus_until(master, a, "30 3 7 @").join(" / "), expected);
        QCOMPARE(asdus(b), expected);

        // An unchanged repeat is not sent again; the periodic modem is sent every time.
        const QString periodic = values_uplink(3002, {{14, 50000}});
        testsupport::amqp_peer(uri, {"publish", queue, values, periodic, periodic});
        const QString twice = "36 1 8 @" + at(TV) + ": 114=50 111=0 101=0 103=0 109=0 / 36 1 8 @" + at(TV) +
                              ": 114=50 111=0 101=0 103=0 109=0";
        QCOMPARE(asdus(a, 3000), twice);
        QCOMPARE(asdus(b), twice);

        // Station interrogation answers with the values just published, broadcast and per address.
        const QString gi_broadcast = "64010600FFFF00000014", gi_8 = "640106000800000000"
                                                                    "14";
        const QString answer_8 =
            "13 20 8: 100=3002 / 36 20 8 @" + at(TV) + ": 114=50 111=0 101=0 103=0 109=0";
        QCOMPARE(master(QString("i %1 %2").arg(a).arg(gi_broadcast)), QString("ok"));
        QCOMPARE(asdus(a), "100 7 65535: 0=14 / 13 20 7: 100=3001 / " +
                               expected.section(" / 30 3", 0, 0).replace("36 3 7", "36 20 7") +
                               " / 100 10 65535: 0=14 / " + answer_8 + " / 100 10 65535: 0=14");
        QCOMPARE(master(QString("i %1 %2").arg(b).arg(gi_8)), QString("ok"));
        QCOMPARE(asdus(b), "100 7 8: 0=14 / " + answer_8 + " / 100 10 8: 0=14");

        // The single command the station takes, and a clock synchronisation it refuses.
        QCOMPARE(master(QString("i %1 2D010600070088130001").arg(a)), QString("ok"));
        QCOMPARE(asdus(a), QString("45 7 7: 5000=01"));
        QCOMPARE(master(QString("i %1 6701060007000000000000000001011A").arg(a)), QString("ok"));
        QCOMPARE(asdus(a), QString("103 44N 7: 0=00"));

        // A master that sends nothing at all (t0), and one withholding acknowledgements (k, t1).
        const int silent = master.open(port);
        QElapsedTimer silent_since;
        silent_since.start();
        QVERIFY(silent > 0);
        const int slow = master.open(port);
        QVERIFY(slow > 0);
        QCOMPARE(master(QString("send %1 680407000000").arg(slow)), QString("ok"));
        QCOMPARE(master(QString("recv %1 2000").arg(slow)), QString("apdu 68040B000000"));
        QStringList fifteen{"publish", queue};
        for (int i = 0; i < 15; i++)
            fifteen << periodic;
        testsupport::amqp_peer(uri, fifteen);
        const auto got = [](int n) {
            return QString("got %1 ioas %2 badseq 0 other 0")
                .arg(n)
                .arg(QVector<QString>(n, "114").toList().join(','));
        };
        QCOMPARE(master(QString("collect %1 15 4000").arg(slow)), got(12));
        QCOMPARE(master(QString("s %1").arg(slow)), QString("ok"));
        QCOMPARE(master(QString("collect %1 3 4000").arg(slow)), got(3));
        QElapsedTimer unacknowledged;
        unacknowledged.start();
        asdus(a, 500);
        asdus(b, 500);
        QCOMPARE(master(QString("closed %1 20000").arg(slow)), QString("closed"));
        // Not before t1 (15 s); the wait above bounds it from above.
        QVERIFY2(unacknowledged.elapsed() > 13000, qPrintable(QString::number(unacknowledged.elapsed())));
        QCOMPARE(master(QString("recv %1 %2").arg(silent).arg(35000 - silent_since.elapsed())),
                 QString("closed"));
        // Not before t0 (30 s).
        QVERIFY2(silent_since.elapsed() > 28000, qPrintable(QString::number(silent_since.elapsed())));

        // SIGTERM with masters connected: a clean exit, and the masters see the close.
        ::kill(pid_t(daemon.processId()), SIGTERM);
        QVERIFY(daemon.waitForFinished(5000));
        QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
        QCOMPARE(daemon.exitCode(), 0);
        QCOMPARE(master(QString("closed %1 2000").arg(a)), QString("closed"));
        QCOMPARE(master(QString("closed %1 2000").arg(b)), QString("closed"));

        // After a restart the stored current values answer at once.
        QVERIFY(run.restart());
        const int again = open_when_listening(master);
        QVERIFY(again > 0);
        QCOMPARE(master(QString("send %1 680407000000").arg(again)), QString("ok"));
        QCOMPARE(master(QString("recv %1 2000").arg(again)), QString("apdu 68040B000000"));
        QCOMPARE(master(QString("i %1 %2").arg(again).arg(gi_8)), QString("ok"));
        QCOMPARE(asdus(again),
                 "100 7 8: 0=14 / " + answer_8 + " / 1 20 8: 1:0000000000000000 / 100 10 8: 0=14");
        ::kill(pid_t(daemon.processId()), SIGTERM);
        QVERIFY(daemon.waitForFinished(5000));
        QCOMPARE(daemon.exitCode(), 0);

        const QString pcap = run.dir.path() + "/session.pcap";
        const QString written = master("pcap " + pcap);
        QVERIFY2(written.startsWith("ok "), qPrintable(written));
        int negative = 0;
        const QString disagreement =
            iec104test::tshark_disagrees(pcap, port, written.mid(3).toInt(), &negative);
        QVERIFY2(disagreement.isEmpty(), qPrintable(disagreement));
        QCOMPARE(negative, 1);
    }

    // Two masters, one interrogating after every uplink, a "delta" rule: the other master's view
    // never drifts from the meter by the band, whatever the first one asks.
    void two_masters_with_a_delta_rule()
    {
        const int delta = 10, p_delta = 10000;
        Station_daemon run;
        const QString started = run.start(
            "e2e_iec104_delta",
            {"INSERT INTO modems_iec104 (iec_id, modem_id) VALUES (21, 3101), (22, 3199)",
             QString("INSERT INTO modems_setting (modem_id, ts, state, setting, data) VALUES "
                     "(3101, 1, 0, 'iec104_params', "
                     "'{\"114\":{\"par\":\"delta\",\"delta\":%1},\"121\":{\"par\":\"delta\",\"delta\":%2},"
                     "\"101\":{\"par\":\"delta\",\"delta\":%2}}'), "
                     "(3199, 1, 0, 'iec104_send_PERIODIC', 'true')")
                 .arg(delta)
                 .arg(p_delta)});
        QVERIFY2(started.isEmpty(), qPrintable(started));
        iec104test::Master master;
        const int a = open_when_listening(master);
        QVERIFY(a > 0);
        const int b = master.open(port);
        QVERIFY(b > 0);
        QVERIFY(start_data_transfer(master, a) && start_data_transfer(master, b));

        // The meter walks by steps below and above the band; modem 3199 (periodic) marks the end
        // of each uplink's ASDUs in both masters' queues.
        const int steps[] = {6, 6, 3, -4, -9, 7, 2, -6, 8, 5, -3, -12, 4, 9, 1, -7, 11, -2, 3, -5};
        QMap<int, double> view_a, view_b;
        int f = 50, p = 20;
        for (int i = 0; i < 40; i++) {
            if (i > 0) {
                f += steps[i % 20];
                p += steps[(i + 7) % 20];
            }
            run.publish({values_uplink(3101, {{14, f * 1000}, {21, p * 1000}, {23, 0}}),
                         values_uplink(3199, {{14, i * 1000}})});
            const QString marker = QString("36 1 22 @%1: 114=%2 ").arg(TV).arg(i);
            const QStringList to_a = asdus_until(master, a, marker), to_b = asdus_until(master, b, marker);
            QVERIFY2(!to_a.first().startsWith("no "), qPrintable(to_a.join(" / ")));
            QVERIFY2(!to_b.first().startsWith("no "), qPrintable(to_b.join(" / ")));
            apply_values(view_a, to_a, 21);
            apply_values(view_b, to_b, 21);
            const QMap<int, double> meter{
                {114, f}, {121, p * 1000}, {123, 0}, {111, 0}, {101, qAbs(p) * 1000}, {103, 0}, {109, 0}};
            for (auto m = meter.constBegin(); m != meter.constEnd(); ++m) {
                const double band = m.key() == 114 ? delta : (m.key() == 121 || m.key() == 101) ? p_delta : 0;
                const QString where = QString("uplink %1, IOA %2: meter %3, A %4, B %5")
                                          .arg(i)
                                          .arg(m.key())
                                          .arg(m.value())
                                          .arg(view_a.value(m.key(), -1))
                                          .arg(view_b.value(m.key(), -1));
                QVERIFY2(view_b.contains(m.key()) && view_a.contains(m.key()), qPrintable(where));
                if (band == 0) {
                    QVERIFY2(view_b[m.key()] == m.value() && view_a[m.key()] == m.value(), qPrintable(where));
                } else {
                    QVERIFY2(qAbs(view_b[m.key()] - m.value()) < band, qPrintable(where));
                    QVERIFY2(qAbs(view_a[m.key()] - m.value()) < 2 * band, qPrintable(where));
                }
            }
            // A interrogates its modem: the answer is the meter itself.
            QCOMPARE(master(QString("i %1 640106001500000000"
                                    "14")
                                .arg(a)),
                     QString("ok"));
            const QStringList answer = asdus_until(master, a, "100 10 21:");
            QVERIFY2(!answer.first().startsWith("no "), qPrintable(answer.join(" / ")));
            apply_values(view_a, answer, 21);
            QCOMPARE(view_a.value(114), double(f));
        }
    }

    // A standby master (connected, never started) while uplinks fill its queue past 100: the
    // started master gets every change once and the unchanged modem once; the warning counts the
    // standby's overwrites apart.
    // After a restart only the modems with a stored current-values uplink (0x40) answer the
    // interrogation at once; one whose last values came in another uplink answers "unknown common
    // address" until its next uplink. A current derived as S / U and a measured one go out in
    // one unit, and the stored row answers with the measured current. A record stamped in the
    // second it was received is stored and published like any other.
    void restart_answers_from_stored_current_values_only()
    {
        Station_daemon run;
        const QString started = run.start(
            "e2e_iec104_restart",
            {"INSERT INTO modems_iec104 (iec_id, modem_id) VALUES (41, 3301), (42, 3302), (43, 3303)"});
        QVERIFY2(started.isEmpty(), qPrintable(started));
        iec104test::Master master;
        int c = open_when_listening(master);
        QVERIFY(c > 0);
        QVERIFY(start_data_transfer(master, c));
        const QString hour_values = uplink(3302, "320200000004D2");
        run.publish({values_uplink(3301, {{14, 50000}}), hour_values});
        QVERIFY(!asdus_until(master, c, " 42 @").first().startsWith("no "));
        const auto interrogate = [&master](int c, int ca) {
            const QString asdu =
                "64010600" + QString("%1").arg(ca, 2, 16, QLatin1Char('0')).toUpper() + "0000000014";
            if (master(QString("i %1 %2").arg(c).arg(asdu)) != "ok") return QString("not sent");
            const QString r = master(QString("asdus %1 1500").arg(c));
            return r.startsWith("asdus ") ? r.mid(6) : r;
        };
        const QString answer_41 = "100 7 41: 0=14 / 13 20 41: 100=3301 / 36 20 41 @" + QString::number(TV) +
                                  ": 114=50 111=0 101=0 103=0 109=0 / 100 10 41: 0=14";
        QCOMPARE(interrogate(c, 41), answer_41);
        QVERIFY(interrogate(c, 42).contains("13 20 42: 100=3302"));

        run.publish({values_uplink(3303, {{21, 3000}, {23, 4000}, {32, 250000}})});
        QStringList got = asdus_until(master, c, " 43 @");
        QCOMPARE(got.last(), "36 3 43 @" + QString::number(TV) +
                                 ": 121=3000 123=4000 132=250 131=20000 129=5000 133=0.6 111=20000 101=3000 "
                                 "103=4000 109=5000");
        run.publish({values_uplink(3303, {{21, 3000}, {23, 4000}, {32, 250000}, {31, 21000}}, TV + 1)});
        got = asdus_until(master, c, " 43 @");
        QCOMPARE(got.last(), "36 3 43 @" + QString::number(TV + 1) + ": 131=21000 111=21000");
        run.publish({values_uplink(3301, {{14, 51000}}, T)});
        got = asdus_until(master, c, " 41 @");
        QCOMPARE(got.last(), "36 3 41 @" + QString::number(T) + ": 114=51");
        {
            // The ASDU goes out at once; the row waits for the writer thread's next run.
            QSqlQuery q(QSqlDatabase::database("e2e_iec104_restart"));
            QTRY_VERIFY_WITH_TIMEOUT(
                q.exec(
                    QString("SELECT COUNT(*) FROM modems_data WHERE modem_id = 3301 AND ts = %1").arg(T)) &&
                    q.next() && q.value(0).toInt() == 1,
                20000);
        }

        ::kill(pid_t(run.process.processId()), SIGTERM);
        QVERIFY(run.process.waitForFinished(10000));
        QVERIFY(run.restart());
        c = open_when_listening(master);
        QVERIFY(c > 0);
        QVERIFY(start_data_transfer(master, c));
        // The rebuilt record is the newest stored row: both status words read as 0.
        QCOMPARE(interrogate(c, 41),
                 QString(answer_41)
                     .replace(" / 100 10 41", " / 1 20 41: 1:0000000000000000 / 100 10 41")
                     .replace("@" + QString::number(TV) + ": 114=50", "@" + QString::number(T) + ": 114=51"));
        const QString answer_43 = interrogate(c, 43);
        QVERIFY2(answer_43.contains(" 131=21000 ") && answer_43.contains(" 111=21000 "),
                 qPrintable(answer_43));
        QCOMPARE(interrogate(c, 42), QString("100 46 42: 0=14"));
        run.publish({hour_values});
        QVERIFY(!asdus_until(master, c, " 42 @").first().startsWith("no "));
        QVERIFY(interrogate(c, 42).contains("13 20 42: 100=3302"));
    }

    void standby_master_with_a_full_queue()
    {
        Station_daemon run;
        const QString started = run.start("e2e_iec104_standby",
                                          {"INSERT INTO modems_iec104 (iec_id, modem_id) VALUES (31, 3201), "
                                           "(32, 3202), (33, 3203)"});
        QVERIFY2(started.isEmpty(), qPrintable(started));
        iec104test::Master master;
        const int active = open_when_listening(master);
        QVERIFY(active > 0);
        QVERIFY(start_data_transfer(master, active));
        const int standby = master.open(port);
        QVERIFY(standby > 0);

        const auto first = [](int ca, int v) {
            return QString("36 3 %1 @%2: 114=%3 111=0 101=0 103=0 109=0").arg(ca).arg(TV).arg(v);
        };
        const auto change = [](int ca, int v) {
            return QString("36 3 %1 @%2: 114=%3").arg(ca).arg(TV).arg(v);
        };
        // Sixty rounds of two changing modems and one that never changes: 121 ASDUs.
        for (int batch = 0; batch < 6; batch++) {
            // A standby keeps its connection with test frames.
            QCOMPARE(master(QString("send %1 680443000000").arg(standby)), QString("ok"));
            QCOMPARE(master(QString("recv %1 2000").arg(standby)), QString("apdu 680483000000"));
            QStringList uplinks, expected;
            for (int round = batch * 10; round < batch * 10 + 10; round++) {
                uplinks << values_uplink(3201, {{14, (40 + round) * 1000}})
                        << values_uplink(3202, {{14, (200 + round) * 1000}})
                        << values_uplink(3203, {{14, 50000}});
                expected << (round == 0 ? first(31, 40) : change(31, 40 + round))
                         << (round == 0 ? first(32, 200) : change(32, 200 + round));
                if (round == 0) expected << first(33, 50);
            }
            run.publish(uplinks);
            const QStringList got = asdus_until(master, active, change(32, 200 + batch * 10 + 9));
            QCOMPARE(got, expected);
        }
        QCOMPARE(master(QString("asdus %1 500").arg(active)), QString("asdus -"));
        QTRY_VERIFY(run.log().contains("iec104 queue full"));
        const QRegularExpressionMatch line =
            QRegularExpression("iec104 queue full, ASDUs overwritten: (\\d+), of them in queues of stopped "
                               "connections: (\\d+)")
                .match(run.log());
        QVERIFY2(line.hasMatch(), qPrintable(run.log().right(2000)));
        QVERIFY(line.captured(1).toInt() > 0);
        QCOMPARE(line.captured(2), line.captured(1));
    }
};

QTEST_GUILESS_MAIN(tst_e2e_iec104)
#include "tst_e2e_iec104.moc"
