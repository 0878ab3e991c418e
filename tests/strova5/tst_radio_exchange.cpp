// Uplink, delivery-report and downlink JSON as the radio network server exchanges it.
#include "radio_exchange.h"
#include "testsupport.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

class tst_radio_exchange : public QObject
{
    Q_OBJECT

    static QJsonObject json(const char* text) { return QJsonDocument::fromJson(text).object(); }

private slots:
    void initTestCase() { register_record_metatypes(); }

    void uplink_fields()
    {
        Radio_ul_input r;
        QVERIFY(Radio_Exchange::read_uplink(
            json(R"({"msg_type":"ul_app","modem_id":12,"payload":"0102","bs_tz":-10800,"station_id":70000,
                     "last_dl_bs":"65537","rssi":-120,"snr":"7","hw_type":"x1","protocol":"p","phy":"lora",
                     "dl_phy":"fsk","last_success_dl_ts":1700000000,"last_dl_bs_aver_busyness":3,
                     "last_dl_bs_busyness":4,"time_detected":1760000000})"),
            r, 1));
        QCOMPARE(r.modem_id, 12u);
        QCOMPARE(r.payload, testsupport::hex("0102"));
        QCOMPARE(r.bs_tz, int16_t(-180));
        QCOMPARE(r.station_id, uint16_t(4464));
        QCOMPARE(r.last_dl_bs, uint16_t(1));
        QCOMPARE(r.rssi, int16_t(-120));
        QCOMPARE(r.snr, int16_t(7));
        QCOMPARE(r.hw_type, QByteArray("x1"));
        QCOMPARE(r.protocol, QByteArray("p"));
        QCOMPARE(r.phy, QString("lora"));
        QCOMPARE(r.dl_phy, QString("fsk"));
        QCOMPARE(r.last_success_dl_ts, 1700000000u);
        QCOMPARE(r.last_dl_bs_aver_busyness, 3);
        QCOMPARE(r.last_dl_bs_busyness, 4);
        QCOMPARE(r.ts_get, 1760000000u);
    }

    void uplink_defaults_and_drops_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<bool>("kept");
        QTest::addColumn<int>("bs_tz");
        QTest::newRow("minimal") << QByteArray(R"({"modem_id":12,"payload":"0102"})") << true << 0;
        QTest::newRow("bs_tz +90s") << QByteArray(R"({"modem_id":1,"payload":"01","bs_tz":90})") << true << 1;
        QTest::newRow("bs_tz -90s") << QByteArray(R"({"modem_id":1,"payload":"01","bs_tz":-90})") << true << -1;
        QTest::newRow("bs_tz 3h") << QByteArray(R"({"modem_id":1,"payload":"01","bs_tz":10800})") << true << 180;
        QTest::newRow("modem 0") << QByteArray(R"({"modem_id":0,"payload":"0102"})") << false << 0;
        QTest::newRow("no modem") << QByteArray(R"({"payload":"0102"})") << false << 0;
        QTest::newRow("empty payload") << QByteArray(R"({"modem_id":3,"payload":""})") << false << 0;
        QTest::newRow("odd hex") << QByteArray(R"({"modem_id":3,"payload":"010"})") << false << 0;
        QTest::newRow("not hex") << QByteArray(R"({"modem_id":3,"payload":"01zz"})") << false << 0;
    }
    void uplink_defaults_and_drops()
    {
        QFETCH(QByteArray, message);
        QFETCH(bool, kept);
        QFETCH(int, bs_tz);
        Radio_ul_input r;
        QCOMPARE(Radio_Exchange::read_uplink(json(message.constData()), r, 1765000000), kept);
        if (kept) {
            QCOMPARE(r.ts_get, 1765000000u); // reception time defaults to now
            QCOMPARE(int(r.bs_tz), bs_tz);
            QCOMPARE(r.station_id, uint16_t(0));
        }
    }

    void delivery_reports_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<bool>("kept");
        QTest::addColumn<bool>("success");
        QTest::addColumn<uint>("cmd_id");
        QTest::newRow("success") << QByteArray(R"({"msg_type":"dl_success","modem_id":7,"status_id":"drvStrova5_42"})") << true << true << 42u;
        QTest::newRow("fault") << QByteArray(R"({"msg_type":"dl_fault","modem_id":7,"status_id":"drvStrova5_42"})") << true << false << 42u;
        QTest::newRow("large number") << QByteArray(R"({"msg_type":"dl_success","modem_id":7,"status_id":"drvStrova5_4000000000"})") << true << true << 4000000000u;
        QTest::newRow("prefix alone") << QByteArray(R"({"msg_type":"dl_success","modem_id":7,"status_id":"drvStrova5_"})") << false << false << 0u;
        QTest::newRow("not a number") << QByteArray(R"({"msg_type":"dl_success","modem_id":7,"status_id":"drvStrova5_x1"})") << false << false << 0u;
        QTest::newRow("other prefix") << QByteArray(R"({"msg_type":"dl_success","modem_id":7,"status_id":"other_42"})") << false << false << 0u;
        QTest::newRow("letter case") << QByteArray(R"({"msg_type":"DL_success","modem_id":7,"status_id":"drvStrova5_42"})") << false << false << 0u;
        QTest::newRow("modem 0") << QByteArray(R"({"msg_type":"dl_success","modem_id":0,"status_id":"drvStrova5_42"})") << false << false << 0u;
    }
    void delivery_reports()
    {
        QFETCH(QByteArray, message);
        QFETCH(bool, kept);
        QFETCH(bool, success);
        QFETCH(uint, cmd_id);
        Rabbit_dl_status s;
        QCOMPARE(Radio_Exchange::read_dl_status(json(message.constData()), s), kept);
        if (kept) {
            QCOMPARE(s.success, success);
            QCOMPARE(s.modem_id, 7u);
            QCOMPARE(s.cmd_id, uint32_t(cmd_id));
            QVERIFY(s.setting.isEmpty());
        }
    }

    void slot_parse_routes_messages()
    {
        Radio_Exchange rx(QVariantMap(), nullptr);
        QSignalSpy ul(&rx, &Radio_Exchange::signal_UL);
        QSignalSpy st(&rx, &Radio_Exchange::signal_DL_status);
        rx.slot_parse(R"({"msg_type":"ul_app","modem_id":12,"payload":"0102"})");
        rx.slot_parse(R"({"msg_type":"dl_success","modem_id":7,"status_id":"drvStrova5_42"})");
        rx.slot_parse("not json");
        rx.slot_parse("[1,2]");
        rx.slot_parse(R"({"modem_id":12,"payload":"0102"})");
        QCOMPARE(ul.size(), 1);
        const auto parsed = ul.first().first().value<Parser_ul_app>();
        QCOMPARE(parsed.modem_id, 12u);
        QCOMPARE(parsed.payload, testsupport::hex("0102"));
        QVERIFY(qAbs(qint64(parsed.ts_get) - QDateTime::currentDateTime().toTime_t()) < 5);
        QCOMPARE(st.size(), 1);
        QCOMPARE(st.first().first().value<Rabbit_dl_status>().cmd_id, 42u);
    }

    void downlink_json_data()
    {
        QTest::addColumn<QVariantMap>("config");
        QTest::addColumn<bool>("is_text");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("binary") << QVariantMap() << false << testsupport::hex("01ab")
                                << QByteArray(R"({"ack":true,"modem_id":5,"msg_type":"dl","payload":"01AB","status_id":"drvStrova5_17"})");
        QTest::newRow("text placeholders") << QVariantMap() << true << QByteArray("F5[TIME]000000")
                                           << QByteArray(R"({"ack":true,"modem_id":5,"msg_type":"dl","payload":"F5[TIME]000000","status_id":"drvStrova5_17"})");
        QTest::newRow("text bytes as hex") << QVariantMap() << false << QByteArray("F5[")
                                           << QByteArray(R"({"ack":true,"modem_id":5,"msg_type":"dl","payload":"46355B","status_id":"drvStrova5_17"})");
        QTest::newRow("empty payload is null") << QVariantMap() << false << QByteArray()
                                               << QByteArray(R"({"ack":true,"modem_id":5,"msg_type":"dl","payload":null,"status_id":"drvStrova5_17"})");
        QVariantMap withKey;
        withKey.insert("dl", QVariantMap{{"api_key", "K1"}});
        QTest::newRow("api key") << withKey << false << testsupport::hex("01ab")
                                 << QByteArray(R"({"ack":true,"api_key":"K1","modem_id":5,"msg_type":"dl","payload":"01AB","status_id":"drvStrova5_17"})");
    }
    void downlink_json()
    {
        QFETCH(QVariantMap, config);
        QFETCH(bool, is_text);
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, expected);
        Radio_Exchange rx(config, nullptr);
        QSignalSpy out(&rx, &Radio_Exchange::signal_stringify);
        Stringify_dl_app dl(Dl_request(5, 1, "x", QVariant()));
        dl.cmd_id = 17;
        dl.payload = payload;
        dl.payload_is_text = is_text;
        rx.slot_DL(dl);
        QCOMPARE(out.size(), 1);
        QCOMPARE(out.first().at(0).toByteArray(), expected);
        QCOMPARE(out.first().at(1).toByteArray(), QByteArray("api.ostrel"));
    }

    void configured_api_key_replaces_callers()
    {
        QVariantMap config;
        config.insert("dl", QVariantMap{{"api_key", "mine"}});
        Radio_Exchange rx(config, nullptr);
        QSignalSpy out(&rx, &Radio_Exchange::signal_stringify);
        QVariantMap dlmap{{"msg_type", "dl"}, {"api_key", "theirs"}, {"station_id", 4}};
        rx.slot_rabbit_DL(dlmap);
        QCOMPARE(dlmap.value("api_key").toString(), QString("theirs")); // caller's map untouched
        const QVariantMap sent = QJsonDocument::fromJson(out.first().at(0).toByteArray()).toVariant().toMap();
        QCOMPARE(sent.value("api_key").toString(), QString("mine"));
        QCOMPARE(sent.value("station_id").toInt(), 4);

        Radio_Exchange plain(QVariantMap(), nullptr);
        QSignalSpy out2(&plain, &Radio_Exchange::signal_stringify);
        plain.slot_rabbit_DL(dlmap);
        QVERIFY(out2.first().at(0).toByteArray().contains("\"api_key\":\"theirs\""));
    }
};

QTEST_GUILESS_MAIN(tst_radio_exchange)
#include "tst_radio_exchange.moc"
