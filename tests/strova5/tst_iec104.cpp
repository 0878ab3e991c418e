// The daemon's IEC 104 station: the real IEC104 with the registry and storage on the throwaway
// MariaDB, uplinks injected through Radio_Exchange::signal_UL, and our python master connected
// to read back what goes on the wire.
#include "../iec60870/iec104_station_fixture.h"
#include "iec104.h"
#include "logger.h"
#include "parser_strova5.h"
#include "radio_exchange.h"
#include "ram_modems.h"
#include "sql_exchange.h"
#include "testsupport.h"

#include <QSqlQuery>
#include <QtTest>
#include <cmath>
#include <memory>

namespace {
std::unique_ptr<testsupport::Log_capture> g_log;

const uint32_t rule_modem = 500; // common address 7

// "t=.. C=v a=.. b=.. ev=.. ev9=.. next ..." -> one uplink of `modem`.
Parser_ul_app uplink(uint32_t modem, const QString& desc)
{
    Parser_ul_app ul;
    ul.modem_id = modem;
    uint32_t ts = 1700000000;
    for (const QString& word : desc.split(' ', Qt::SkipEmptyParts))
        if (word.startsWith("t=")) ts = word.mid(2).toUInt();
    Ul_data_record rec(254, ts);
    bool has_record = false;
    for (const QString& word : desc.split(' ', Qt::SkipEmptyParts)) {
        const QString key = word.section('=', 0, 0), text = word.section('=', 1);
        const uint32_t number = text.toUInt(nullptr, 0);
        if (word == "next") {
            ul.ul_datas << rec;
            rec = Ul_data_record(254, ts + 60);
        } else if (key == "ev" || key == "ev9") {
            Ul_event_record ev(ts, 0, 1, 65535, 0, obis_pack(0, 0, 99, 98, key == "ev" ? 10 : 9, 255));
            ev.values[obis_pack(0, 0, 96, 3, 0, 255)] = number;
            ul.ul_events << ev;
        } else if (key == "a" || key == "b") {
            rec.values[obis_pack(0, 0, 96, 3, key == "a" ? 0 : 1, 255)] = number;
            has_record = true;
        } else if (key != "t") {
            const double v = text == "nan" ? std::nan("") : text == "inf" ? INFINITY : text.toDouble();
            rec.values[obis_pack(1, 0, key.toUInt(), 7, 0, 255)] = v;
            has_record = true;
        }
    }
    if (has_record) ul.ul_datas << rec;
    return ul;
}
} // namespace

class tst_iec104 : public QObject
{
    Q_OBJECT

    QSqlDatabase check;
    std::unique_ptr<RAM_modems> ram;
    std::unique_ptr<SQL_Exchange> storage;
    std::unique_ptr<Radio_Exchange> radio;
    std::unique_ptr<IEC104> iec;
    std::unique_ptr<iec104test::Master> master;
    int port = 0;
    int link = -1; // the master's active connection

    void exec(const QString& statement)
    {
        QSqlQuery q(check);
        QVERIFY2(q.exec(statement), qPrintable(q.lastError().text() + " " + statement));
    }
    // One uplink through the radio link's signal, delivered the way the event loop would.
    void publish(uint32_t modem, const QString& desc)
    {
        emit radio->signal_UL(uplink(modem, desc));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    }
    QString received(int connection = -1)
    {
        const QString r = (*master)(QString("asdus %1 300").arg(connection < 0 ? link : connection));
        return r.startsWith("asdus ") ? r.mid(6) : r;
    }
    void connect_master()
    {
        link = master->open(port);
        QVERIFY(link > 0);
        QCOMPARE((*master)(QString("send %1 680407000000").arg(link)), QString("ok"));
        QCOMPARE((*master)(QString("recv %1 2000").arg(link)), QString("apdu 68040B000000"));
        QTRY_VERIFY(g_log->has("Connection activated"));
    }
    void reset_modem(uint32_t modem, const QString& params, const QString& periodic)
    {
        ram->slot_set_setting(modem, "iec104_params", params == "-" ? QString() : params, false);
        ram->slot_set_setting(modem, "iec104_send_PERIODIC", periodic == "-" ? QString() : periodic, false);
        QMutexLocker l(&iec->mutex);
        iec->last_sent.clear();
        iec->last_records.clear();
    }

private slots:
    void initTestCase()
    {
        const auto env = testsupport::services();
        QVERIFY2(!env.value("STROVA_MYSQL_PORT").isEmpty(), "no throwaway MariaDB");
        g_log = std::make_unique<testsupport::Log_capture>();
        register_record_metatypes();
        check = testsupport::schema_database("st_iec104", "check");
        ram = std::make_unique<RAM_modems>(QVariantMap(), nullptr);
        storage = std::make_unique<SQL_Exchange>(testsupport::db_config(env, "st_iec104"), nullptr);
        QVERIFY(storage->init());
        radio = std::make_unique<Radio_Exchange>(QVariantMap(), nullptr);
        iec = std::make_unique<IEC104>(nullptr);
        QCOMPARE(IEC104::instance, iec.get());
        connect(radio.get(), &Radio_Exchange::signal_UL, iec.get(), &IEC104::slot_UL, Qt::QueuedConnection);
        // The probed port may be taken by another socket before the station binds it: another
        // probed port then.
        bool started = false;
        for (int attempt = 0; attempt < 5 && !started; attempt++) {
            station_stop(iec->station); // joins the server thread of a failed start
            port = iec104test::free_port();
            station_set_local_port(iec->station, port);
            started = iec->start();
        }
        QVERIFY(started);
        QVERIFY(g_log->has("(Exc)") && g_log->has("started"));
        master = std::make_unique<iec104test::Master>();
        ram->set_iec_id(rule_modem, 7);
    }
    void cleanupTestCase()
    {
        master.reset();
        iec.reset();
        QVERIFY(IEC104::instance == nullptr);
        radio.reset();
        storage.reset();
        ram.reset();
    }

    // Before any master connects: records are kept for the interrogation, nothing is queued
    // and nothing counts as sent.
    void nothing_sent_without_master()
    {
        reset_modem(rule_modem, "-", "-");
        publish(rule_modem, "ev=0x5030 21=3 23=4 a=0x00010000");
        {
            QMutexLocker l(&iec->mutex);
            QVERIFY(iec->last_sent.isEmpty());
            QVERIFY(iec->last_records.contains(rule_modem));
        }
        connect_master();
        QCOMPARE(received(), QString("-"));
        QVERIFY(g_log->has("New connection request from \"127.0.0.1\"") ||
                g_log->has("New connection request from 127.0.0.1"));
        publish(rule_modem, "ev=0x5030 21=3 23=4 a=0x00010000");
        QCOMPARE(received(), QString("30 3 7 @1700000000: 16:1 / "
                                     "36 3 7 @1700000000: 121=3000 123=4000 111=0 101=3000 103=4000 109=0 / "
                                     "30 3 7 @1700000000: 1:1000000000000000"));
    }

    void publish_rules_data() { testsupport::vector_rows(VECTORS("iec104_publish.txt"), "publish"); }
    void publish_rules()
    {
        QFETCH(QStringList, f);
        QVERIFY(f.size() >= 4 && f.size() % 2 == 0);
        ram->set_iec_id(rule_modem, 7);
        reset_modem(rule_modem, f[0], f[1]);
        for (int i = 2; i + 1 < f.size(); i += 2) {
            publish(rule_modem, f[i]);
            QCOMPARE(received(), f[i + 1].simplified());
        }
    }

    void commands_data() { testsupport::vector_rows(VECTORS("iec104_publish.txt"), "commands"); }
    void commands()
    {
        QFETCH(QStringList, f);
        g_log->clear();
        QCOMPARE((*master)(QString("i %1 %2").arg(link).arg(QString(f[0]).remove(' '))), QString("ok"));
        QCOMPARE(received(), f[1]);
        if (f[2] != "-") QTRY_VERIFY2(g_log->has(f[2]), qPrintable(g_log->all()));
    }

    // Station interrogation: the exact ASDUs each request gives; the spontaneous change test that
    // follows it sees nothing of it.
    void interrogation_data() { testsupport::vector_rows(VECTORS("iec104_publish.txt"), "interrogation"); }
    void interrogation()
    {
        QFETCH(QStringList, f);
        QVERIFY(f.size() >= 4 && f.size() % 2 == 0);
        reset_modem(rule_modem, f[0], "-");
        QMap<uint32_t, uint32_t> map;
        QMap<uint32_t, Ul_data_record> records;
        if (f[1] != "-") {
            for (const QString& entry : f[1].split(" ; ")) {
                const QString head = entry.section(' ', 0, 0), desc = entry.section(' ', 1);
                const uint32_t modem = head.section('=', 0, 0).toUInt();
                map.insert(modem, head.section('=', 1).toUInt());
                const Parser_ul_app ul = uplink(modem, desc);
                if (!ul.ul_datas.isEmpty()) records.insert(modem, ul.ul_datas.first());
            }
        }
        ram->set_iec104_map(map);
        {
            QMutexLocker l(&iec->mutex);
            iec->last_records = records;
        }
        QCOMPARE((*master)(QString("i %1 %2").arg(link).arg(QString(f[2]).remove(' '))), QString("ok"));
        QCOMPARE(received(), f[3].simplified());
        for (int i = 4; i + 1 < f.size(); i += 2) {
            publish(rule_modem, f[i]);
            QCOMPARE(received(), f[i + 1].simplified());
        }
    }

    // 300 modems with full records to a master that acknowledges late: every ASDU, in order.
    void interrogation_volume()
    {
        QMap<uint32_t, uint32_t> map;
        QMap<uint32_t, Ul_data_record> records;
        const Ul_data_record full =
            uplink(0, "21=3 23=4 31=20 32=230 41=6 43=8 51=10 52=231 61=-3 63=-4 71=5 "
                      "72=229 14=50 a=0x1ABC2DEF b=0x4123856F")
                .ul_datas.first();
        QStringList expected{"100 7 65535 1"};
        for (uint32_t i = 1; i <= 300; i++) {
            map.insert(2000 + i, i);
            records.insert(2000 + i, full);
            expected << QString("13 20 %1 1").arg(i) << QString("36 20 %1 16").arg(i)
                     << QString("36 20 %1 7").arg(i) << QString("1 20 %1 48").arg(i) << "100 10 65535 1";
        }
        ram->set_iec104_map(map);
        {
            QMutexLocker l(&iec->mutex);
            iec->last_records = records;
            iec->last_sent.clear();
        }
        QCOMPARE((*master)(QString("ack %1 12 50").arg(link)), QString("ok"));
        QCOMPARE((*master)(QString("i %1 64010600FFFF00000014").arg(link)), QString("ok"));
        const QString r = (*master)(QString("summary %1 3000").arg(link));
        QCOMPARE((*master)(QString("ack %1 0").arg(link)), QString("ok"));
        QCOMPARE(r, "summary " + expected.join(" / ") + " badseq 0");
        QMutexLocker l(&iec->mutex);
        QVERIFY(iec->last_sent.isEmpty()); // answers leave the spontaneous change test alone
    }

    // A value that is not a number: tshark reads it as 0 with the invalid bit of its quality.
    void not_a_number_read_by_tshark_as_invalid()
    {
        if (QStandardPaths::findExecutable("tshark").isEmpty())
            QFAIL("tshark is needed (scripts/install-deps)");
        reset_modem(rule_modem, "-", "-");
        ram->set_iec_id(rule_modem, 7);
        QCOMPARE((*master)("record on"), QString("ok"));
        const int c = master->open(port);
        QCOMPARE((*master)("record off"), QString("ok"));
        QVERIFY(c > 0);
        QCOMPARE((*master)(QString("send %1 680407000000").arg(c)), QString("ok"));
        QCOMPARE((*master)(QString("recv %1 2000").arg(c)), QString("apdu 68040B000000"));
        publish(rule_modem, "14=nan 21=3 23=4");
        const QString expected =
            "36 3 7 @1700000000: 121=3000 123=4000 114=0q80 111=0 101=3000 103=4000 109=0";
        QCOMPARE(received(c), expected);
        QCOMPARE(received(), expected);
        QCOMPARE((*master)(QString("close %1").arg(c)), QString("ok"));

        QTemporaryDir dir;
        const QString pcap = dir.filePath("nan.pcap");
        QVERIFY((*master)("pcap " + pcap).startsWith("ok "));
        QProcess tshark;
        tshark.start("tshark",
                     {"-r", pcap, "-d", QString("tcp.port==%1,iec60870_104").arg(port), "-Y",
                      "iec60870_asdu.typeid == 36", "-T", "fields", "-E", "separator=|", "-e",
                      "iec60870_asdu.ioa", "-e", "iec60870_asdu.float", "-e", "iec60870_asdu.qds.iv"});
        QVERIFY(tshark.waitForFinished(60000));
        const QStringList fields = QString::fromUtf8(tshark.readAllStandardOutput()).trimmed().split('|');
        QCOMPARE(fields.size(), 3);
        const QStringList ioas = fields[0].split(','), values = fields[1].split(','),
                          invalid = fields[2].split(',');
        QCOMPARE(ioas, QString("121,123,114,111,101,103,109").split(','));
        QCOMPARE(values.size(), 7);
        QCOMPARE(invalid.size(), 7);
        for (int i = 0; i < 7; i++) {
            const bool nan = ioas[i] == "114";
            QCOMPARE(invalid[i] == "1" || invalid[i] == "True", nan);
            if (nan) QCOMPARE(values[i].toDouble(), 0.0);
        }
    }

    void raw_messages_traced_at_trace_level()
    {
        g_log->clear();
        QCOMPARE((*master)(QString("i %1 2D010600070088130001").arg(link)), QString("ok"));
        QCOMPARE(received(), QString("45 7 7: 5000=01"));
        QTRY_COMPARE(g_log->count("RCVD: 680E"), 1);
        QTRY_COMPARE(g_log->count("SEND: 680E"), 1);
        QTRY_VERIFY(g_log->has("RCVD: 68040100")); // the master's acknowledgement
        log_set_level(LVL_DBG);
        g_log->clear();
        QCOMPARE((*master)(QString("i %1 2D010600070088130001").arg(link)), QString("ok"));
        QCOMPARE(received(), QString("45 7 7: 5000=01"));
        QVERIFY(g_log->has("switch to true"));
        QVERIFY2(!g_log->has("RCVD:") && !g_log->has("SEND:"), qPrintable(g_log->all()));
        log_set_level(LVL_TRC);
    }

    void cp56_text()
    {
        sCp56Time2a t{};
        cp56_set_from_ms_timestamp(
            &t, uint64_t(QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9, 500), Qt::UTC).toMSecsSinceEpoch()));
        QCOMPARE(IEC104::cp56_to_string(&t), QString("7:8:9 5/3/2024"));
    }

    // New modems take the next address after the highest; 0 and the broadcast are never used.
    void addresses()
    {
        exec("DELETE FROM modems_iec104");
        storage->get_iec104_map();
        publish(601, "a=0");
        publish(602, "14=50 a=0");
        publish(603, "14=50"); // no status word: no address
        QCOMPARE(ram->iec104_map(), (QMap<uint32_t, uint32_t>{{601, 1}, {602, 2}}));
        QCOMPARE(storage->get_iec104_map(), (QMap<uint32_t, uint32_t>{{601, 1}, {602, 2}}));
        QCOMPARE(received(),
                 QString("36 3 1 @1700000000: 111=0 101=0 103=0 109=0 / 30 3 1 @1700000000: "
                         "1:0000000000000000 / 36 3 2 @1700000000: 114=50 111=0 101=0 103=0 109=0 / "
                         "30 3 2 @1700000000: 1:0000000000000000"));

        exec("DELETE FROM modems_iec104");
        exec("INSERT INTO modems_iec104 (iec_id, modem_id) VALUES (5, 701), (9, 702)");
        storage->get_iec104_map();
        publish(703, "a=0");
        QCOMPARE(ram->iec_id(703), 10u);
        received();

        ram->set_iec_id(704, 0);
        publish(704, "14=50 a=0x00010000");
        QCOMPARE(ram->iec104_map().value(704, 99), 0u);
        QCOMPARE(received(), QString("-"));
        {
            QMutexLocker l(&iec->mutex);
            QVERIFY(iec->last_records.contains(704)); // a status word keeps the record
        }
        ram->set_iec_id(705, 70000);
        publish(705, "14=50 a=0x00010000");
        QCOMPARE(received(), QString("-"));

        exec("DELETE FROM modems_iec104");
        exec("INSERT INTO modems_iec104 (iec_id, modem_id) VALUES (65533, 801)");
        storage->get_iec104_map();
        publish(802, "a=0");
        QCOMPARE(ram->iec_id(802), 65534u);
        QCOMPARE(received(), QString("36 3 65534 @1700000000: 111=0 101=0 103=0 109=0 / "
                                     "30 3 65534 @1700000000: 1:0000000000000000"));
        g_log->clear();
        publish(803, "a=0");
        publish(803, "a=1");
        QVERIFY(!ram->iec104_map().contains(803));
        QCOMPARE(g_log->count("no common address left for modem 803"), 1);
        QCOMPARE(g_log->count("(Err)"), 1);
        QCOMPARE(received(), QString("-"));
    }

    // After a restart the stored current values of every addressed modem are the last records,
    // the measured currents among them: the current point keeps the value and unit it had.
    void last_records_rebuilt_from_storage()
    {
        exec("DELETE FROM modems_data");
        exec("DELETE FROM modems_iec104");
        exec("INSERT INTO modems_iec104 (iec_id, modem_id) VALUES (3, 901), (4, 902)");
        exec("INSERT INTO modems_data (modem_id, ts, ts_get, `type`, `index`, OBIS_14_7_0, OBIS_21_7_0, "
             "OBIS_23_7_0, OBIS_32_7_0, OBIS_31_7_0, OBIS_ext) VALUES (901, 1700000500, 1700000500, 64, 1, "
             "49.5, "
             "3, 4, 230, 20, '{\"0000600300FF\":65536}')");
        IEC104 restarted(nullptr);
        IEC104::instance = iec.get();
        QCOMPARE(restarted.last_records.keys(), QList<uint32_t>{901});
        const Ul_data_record rec = restarted.last_records.value(901);
        QCOMPARE(rec.ts, 1700000500u);
        QCOMPARE(rec.values.value(obis_pack(1, 0, 14, 7, 0, 255)).toFloat(), 49.5f);
        QVariantMap sent;
        for (const iec104_value& v : IEC104::measured_values(rec))
            sent.insert(QString::number(100 + v.c), v.value);
        QCOMPARE(sent.value("131").toFloat(), 20000.0f);
        QCOMPARE(sent.value("111").toFloat(), 20000.0f);
        uint64_t states = 0;
        QCOMPARE(IEC104::status_states(rec, &states), 16);
        QCOMPARE(states, uint64_t(1));
    }

    // The maps are never touched without the lock; an address is still given.
    void busy_lock_skips_publishing()
    {
        g_log->clear();
        QMutexLocker busy(&iec->mutex);
        publish(990, "14=50 a=0");
        busy.unlock();
        QCOMPARE(g_log->count("(Err)"), 1);
        QVERIFY(g_log->has("iec104 lock not taken, uplink of modem 990 not published"));
        QVERIFY(ram->iec104_map().contains(990));
        QMutexLocker l(&iec->mutex);
        QVERIFY(!iec->last_records.contains(990));
        QCOMPARE(received(), QString("-"));
    }

    // Full queues. A standby's (connected, never started) is counted apart and leaves the change
    // test alone, so the started master gets every change once; a started master's lost values
    // are sent again.
    void queue_overwrites()
    {
        const qint64 key_114 = (qint64(rule_modem) << 16) + 114, key_111 = (qint64(rule_modem) << 16) + 111;
        const int standby = master->open(port);
        QVERIFY(standby > 0);
        QTRY_COMPARE(station_get_open_connections(iec->station), 2);
        reset_modem(rule_modem, "-", "-");
        ram->set_iec_id(rule_modem, 7);
        QCOMPARE((*master)(QString("ack %1 8").arg(link)), QString("ok"));
        g_log->clear();
        // The started master reads every ten uplinks; the standby's queue takes all 105.
        for (int i = 0; i < 105; i++) {
            publish(rule_modem, QString("14=%1").arg(i));
            if (i % 10 != 9 && i != 104) continue;
            QStringList expected;
            for (int j = i - i % 10; j <= i; j++)
                expected << QString("36 3 7 @1700000000: 114=%1").arg(j) +
                                (j == 0 ? " 111=0 101=0 103=0 109=0" : "");
            QCOMPARE(received(), expected.join(" / "));
            QCOMPARE(g_log->has("overwritten"), i >= 100);
        }
        QCOMPARE(g_log->count(
                     "iec104 queue full, ASDUs overwritten: 1, of them in queues of stopped connections: 1"),
                 1);
        {
            QMutexLocker l(&iec->mutex);
            QVERIFY(iec->last_sent.contains(key_111) && iec->last_sent.contains(key_114));
        }
        QCOMPARE((*master)(QString("close %1").arg(standby)), QString("ok"));
        QTRY_COMPARE(station_get_open_connections(iec->station), 1);

        // The started master stops acknowledging: its window takes 12, then its queue of 100
        // fills; the next uplink overwrites a waiting ASDU and its values leave last_sent.
        QCOMPARE((*master)(QString("ack %1 0").arg(link)), QString("ok"));
        QStringList expected;
        for (int i = 0; i < 12; i++)
            publish(rule_modem, QString("14=%1").arg(1000 + i));
        QVERIFY((*master)(QString("collect %1 12 3000").arg(link)).startsWith("got 12 "));
        for (int i = 12; i < 112; i++) {
            publish(rule_modem, QString("14=%1").arg(1000 + i));
            if (i >= 14) expected << QString("36 3 7 @1700000000: 114=%1").arg(1000 + i);
        }
        {
            QMutexLocker l(&iec->mutex);
            QVERIFY(iec->last_sent.contains(key_114));
        }
        publish(rule_modem, "14=2000"); // overwrites "114=1012", waiting
        {
            QMutexLocker l(&iec->mutex);
            QVERIFY(!iec->last_sent.contains(key_114));
            QVERIFY(iec->last_sent.contains(key_111));
        }
        publish(rule_modem,
                "14=2000"); // unchanged, sent again since the master lost one; overwrites "114=1013"
        expected << "36 3 7 @1700000000: 114=2000"
                 << "36 3 7 @1700000000: 114=2000";
        QCOMPARE(g_log->count("overwritten"), 1); // one line a minute at most
        QCOMPARE((*master)(QString("ack %1 8").arg(link)), QString("ok"));
        QCOMPARE((*master)(QString("s %1").arg(link)), QString("ok"));
        QCOMPARE(received(), expected.join(" / "));
        // The overwrites since that line (four in the standby's queue, two in the master's) wait
        // for the end of its minute; a stop before it writes them instead of losing the count.
        iec->stop();
        QVERIFY2(g_log->count("iec104 queue full, ASDUs overwritten: 6, of them in queues of stopped connections: 4") ==
                     1,
                 qPrintable(g_log->all().split('\n').filter("overwritten").join('\n')));
    }
};

QTEST_GUILESS_MAIN(tst_iec104)
#include "tst_iec104.moc"
