// The real daemon with "iec104" between the throwaway RabbitMQ and MariaDB, and our python master
// on port 2404: uplinks from the broker reach SCADA as ASDUs; APCI limits and times; shutdown.
// tshark reads the recorded session afterwards.
#include "../iec60870/iec104_station_fixture.h"
#include "sql_exchange.h"
#include "testsupport.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

namespace {

const int port = 2404;
const uint T = uint(QDateTime::currentSecsSinceEpoch()) - 60; // reception time of the uplinks
const uint TV = T - 30;                                          // the value records' time
const uint TE = T - 100;                                         // the event's time

QString be32(qint64 v)
{
    return QStringLiteral("%1").arg(quint32(v), 8, 16, QLatin1Char('0')).toUpper();
}

QString uplink(uint modem, const QString& payload)
{
    return QStringLiteral(R"({"msg_type":"ul_app","modem_id":%1,"payload":"%2","station_id":3,"rssi":-90,"time_detected":%3})")
        .arg(modem)
        .arg(QString(payload).remove(' '))
        .arg(T);
}

// A current-values record at TV: OBIS C of 1.0.C.7.0.255 -> value in meter units x 1000.
QString values_uplink(uint modem, const QList<QPair<int, qint64>>& values)
{
    QString payload = "400010" + be32(TV);
    for (const auto& v : values)
        payload += "0100" + QStringLiteral("%1").arg(v.first, 2, 16, QLatin1Char('0')).toUpper() + "0700FF" + be32(v.second);
    return uplink(modem, payload);
}

} // namespace

class tst_e2e_iec104 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(testsupport::services_available(), "services fixture did not run"); }

    void scada_session()
    {
        const auto env = testsupport::services();
        const QString uri = env["STROVA_AMQP_URI"];
        QSqlDatabase db = testsupport::schema_database("e2e_iec104", "e2e_iec104");
        QVERIFY(db.isOpen());
        {
            // The address table is the storage's own, made when it first opens the database.
            SQL_Exchange storage(testsupport::db_config(env, "e2e_iec104"), nullptr);
            QVERIFY(storage.init());
        }
        for (const char* sql : {"INSERT INTO modems_iec104 (iec_id, modem_id) VALUES (7, 3001), (8, 3002)",
                                "INSERT INTO modems_setting (modem_id, ts, state, setting, data) "
                                "VALUES (3002, 1, 0, 'iec104_send_PERIODIC', 'true')"}) {
            QSqlQuery q(db);
            QVERIFY2(q.exec(sql), qPrintable(q.lastError().text()));
        }

        QTemporaryDir dir;
        const QString queue = "e2e_ul_iec104";
        const QVariantMap config{
            {"log_level", 5},
            {"sql", testsupport::db_config(env, "e2e_iec104")},
            {"rabbit", QVariantMap{{"ul", QVariantMap{{"path", uri}, {"queue", queue}, {"host", "/api"}}},
                                   {"dl", QVariantMap{{"path", uri}, {"exchange", "e2e_dl_iec104"}, {"host", "/api"}}}}},
            {"api", QVariantMap{{"port", 0}}},
            {"iec104", QVariantMap{{"port", 1}}}, // not read: the station stays on 2404
        };
        QFile cfg(dir.path() + "/cfg.json");
        QVERIFY(cfg.open(QIODevice::WriteOnly));
        cfg.write(QJsonDocument::fromVariant(config).toJson());
        cfg.close();
        testsupport::amqp_peer(uri, {"declare-queue", queue});

        QProcess daemon;
        daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        daemon.start(testsupport::daemon_path(), {"-c", dir.path() + "/cfg.json", "-l", dir.path() + "/drv.log"});
        QVERIFY(daemon.waitForStarted(5000));

        iec104test::Master master;
        QCOMPARE(master("record on"), QString("ok"));
        int a = -1;
        for (QElapsedTimer t; a < 0 && (!t.isValid() || t.elapsed() < 20000); QTest::qWait(200)) {
            if (!t.isValid()) t.start();
            a = master.open(port);
        }
        QVERIFY(a > 0);
        const int b = master.open(port);
        QVERIFY(b > 0);
        for (int c : {a, b}) {
            QCOMPARE(master(QString("send %1 680407000000").arg(c)), QString("ok"));
            QCOMPARE(master(QString("recv %1 2000").arg(c)), QString("apdu 68040B000000"));
            QCOMPARE(master(QString("ack %1 8").arg(c)), QString("ok"));
        }
        const auto asdus = [&master](int c, int quiet = 1500) {
            const QString r = master(QString("asdus %1 %2").arg(c).arg(quiet));
            return r.startsWith("asdus ") ? r.mid(6) : r;
        };
        const auto at = [](uint t) { return QString::number(t); };

        // Three phases and the frequency, then a class-10 event archive.
        const QString values = values_uplink(3001, {{21, 3000}, {23, 4000}, {31, 20000}, {32, 230000}, {41, 6000},
                                                    {43, 8000}, {51, 10000}, {52, 231000}, {61, -3000}, {63, -4000},
                                                    {71, 5000}, {72, 229000}, {14, 50000}});
        testsupport::amqp_peer(uri, {"publish", queue, values, uplink(3001, "4F 00 10 0A 00000000" + be32(TE) + "5030")});
        const QString expected =
            "36 3 7 @" + at(TV) + ": 121=3000 123=4000 132=230 131=20000 129=5000 133=0.6 141=6000 143=8000 "
            "152=231 151=10000 149=10000 153=0.6 161=-3000 163=-4000 172=229 171=5000 / 36 3 7 @" + at(TV) +
            ": 169=5000 173=-0.6 114=50 111=35000 101=12000 103=16000 109=20000 / 30 3 7 @" + at(TE) + ": 16:1";
        QCOMPARE(asdus(a, 5000), expected);
        QCOMPARE(asdus(b), expected);

        // An unchanged repeat is not sent again; the periodic modem is sent every time.
        const QString periodic = values_uplink(3002, {{14, 50000}});
        testsupport::amqp_peer(uri, {"publish", queue, values, periodic, periodic});
        const QString twice = "36 1 8 @" + at(TV) + ": 114=50 111=0 101=0 103=0 109=0 / 36 1 8 @" + at(TV) +
                              ": 114=50 111=0 101=0 103=0 109=0";
        QCOMPARE(asdus(a, 3000), twice);
        QCOMPARE(asdus(b), twice);

        // Station interrogation answers with the values just published, broadcast and per address.
        const QString gi_broadcast = "64010600FFFF00000014", gi_8 = "640106000800000000" "14";
        const QString answer_8 = "13 20 8: 100=3002 / 36 20 8 @" + at(TV) + ": 114=50 111=0 101=0 103=0 109=0";
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
            return QString("got %1 ioas %2 badseq 0 other 0").arg(n).arg(QVector<QString>(n, "114").toList().join(','));
        };
        QCOMPARE(master(QString("collect %1 15 4000").arg(slow)), got(12));
        QCOMPARE(master(QString("s %1").arg(slow)), QString("ok"));
        QCOMPARE(master(QString("collect %1 3 4000").arg(slow)), got(3));
        QElapsedTimer unacknowledged;
        unacknowledged.start();
        asdus(a, 500);
        asdus(b, 500);
        QCOMPARE(master(QString("closed %1 20000").arg(slow)), QString("closed"));
        QVERIFY2(qAbs(unacknowledged.elapsed() - 15000) < 1000, qPrintable(QString::number(unacknowledged.elapsed())));
        QCOMPARE(master(QString("recv %1 %2").arg(silent).arg(35000 - silent_since.elapsed())), QString("closed"));
        QVERIFY2(qAbs(silent_since.elapsed() - 30000) < 1000, qPrintable(QString::number(silent_since.elapsed())));

        // SIGTERM with masters connected: a clean exit, and the masters see the close.
        QElapsedTimer stopping;
        stopping.start();
        ::kill(pid_t(daemon.processId()), SIGTERM);
        QVERIFY(daemon.waitForFinished(5000));
        QVERIFY2(stopping.elapsed() < 2000, qPrintable(QString::number(stopping.elapsed())));
        QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
        QCOMPARE(daemon.exitCode(), 0);
        QCOMPARE(master(QString("closed %1 2000").arg(a)), QString("closed"));
        QCOMPARE(master(QString("closed %1 2000").arg(b)), QString("closed"));

        // After a restart the stored current values answer at once.
        daemon.start(testsupport::daemon_path(), {"-c", dir.path() + "/cfg.json", "-l", dir.path() + "/drv.log"});
        QVERIFY(daemon.waitForStarted(5000));
        int again = -1;
        for (QElapsedTimer t; again < 0 && (!t.isValid() || t.elapsed() < 20000); QTest::qWait(200)) {
            if (!t.isValid()) t.start();
            again = master.open(port);
        }
        QVERIFY(again > 0);
        QCOMPARE(master(QString("send %1 680407000000").arg(again)), QString("ok"));
        QCOMPARE(master(QString("recv %1 2000").arg(again)), QString("apdu 68040B000000"));
        QCOMPARE(master(QString("i %1 %2").arg(again).arg(gi_8)), QString("ok"));
        QCOMPARE(asdus(again), "100 7 8: 0=14 / " + answer_8 + " / 1 20 8: 1:0000000000000000 / 100 10 8: 0=14");
        ::kill(pid_t(daemon.processId()), SIGTERM);
        QVERIFY(daemon.waitForFinished(5000));
        QCOMPARE(daemon.exitCode(), 0);

        const QString pcap = dir.path() + "/session.pcap";
        const QString written = master("pcap " + pcap);
        QVERIFY2(written.startsWith("ok "), qPrintable(written));
        int negative = 0;
        const QString disagreement = iec104test::tshark_disagrees(pcap, port, written.mid(3).toInt(), &negative);
        QVERIFY2(disagreement.isEmpty(), qPrintable(disagreement));
        QCOMPARE(negative, 1);
    }
};

QTEST_GUILESS_MAIN(tst_e2e_iec104)
#include "tst_e2e_iec104.moc"
