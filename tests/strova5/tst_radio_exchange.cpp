// Uplink, delivery-report and downlink JSON as the radio network server exchanges it.
#include "logger.h"
#include "radio_exchange.h"
#include "testsupport.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtTest>

class tst_radio_exchange : public QObject
{
    Q_OBJECT

    static QJsonObject json(const QByteArray& text) { return QJsonDocument::fromJson(text).object(); }

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

    void uplink_defaults_and_drops_data() { testsupport::vector_rows(VECTORS("radio_exchange.txt"), "uplink"); }
    void uplink_defaults_and_drops()
    {
        QFETCH(QStringList, f);
        const bool kept = f[1] == "1";
        Radio_ul_input r;
        QCOMPARE(Radio_Exchange::read_uplink(json(f[0].toUtf8()), r, 1765000000), kept);
        if (kept) {
            QCOMPARE(r.ts_get, 1765000000u); // reception time defaults to now
            QCOMPARE(int(r.bs_tz), f[2].toInt());
            QCOMPARE(r.station_id, uint16_t(0));
        }
    }

    // Each message dropped for its id says so once at Wrn; an id of 0, or none, is dropped
    // silently as ever; a bad time says nothing and is replaced.
    void bad_modem_ids_are_said()
    {
        testsupport::Log_capture log(LVL_WRN);
        Radio_ul_input r;
        Rabbit_dl_status s;
        QVERIFY(!Radio_Exchange::read_uplink(json(R"({"modem_id":4294967298,"payload":"01"})"), r, 1));
        QVERIFY(!Radio_Exchange::read_dl_status(
            json(R"({"msg_type":"dl_success","modem_id":-7,"status_id":"drvStrova5_1"})"), s));
        QVERIFY(!Radio_Exchange::read_uplink(json(R"({"modem_id":0,"payload":"01"})"), r, 1));
        QVERIFY(
            Radio_Exchange::read_uplink(json(R"({"modem_id":5,"payload":"01","time_detected":-1})"), r, 1));
        QCOMPARE(log.count("modem_id is not a whole number from 1 to 4294967295"), 2);
        QVERIFY(log.has("4294967298"));
        QVERIFY(log.has("from 1 to 4294967295: -7"));
    }

    void delivery_reports_data() { testsupport::vector_rows(VECTORS("radio_exchange.txt"), "report"); }
    void delivery_reports()
    {
        QFETCH(QStringList, f);
        const bool kept = f[1] == "1";
        Rabbit_dl_status s;
        QCOMPARE(Radio_Exchange::read_dl_status(json(f[0].toUtf8()), s), kept);
        if (kept) {
            QCOMPARE(s.success, f[2] == "1");
            QCOMPARE(s.modem_id, 7u);
            QCOMPARE(s.cmd_id, f[3].toUInt());
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

    void downlink_json_data() { testsupport::vector_rows(VECTORS("radio_exchange.txt"), "downlink"); }
    void downlink_json()
    {
        QFETCH(QStringList, f);
        const bool is_text = f[1].startsWith("text:");
        QVariantMap config;
        if (f[0] != "-") config.insert("dl", QVariantMap{{"api_key", f[0]}});
        Radio_Exchange rx(config, nullptr);
        QSignalSpy out(&rx, &Radio_Exchange::signal_stringify);
        Stringify_dl_app dl(Dl_request(5, 1, "x", QVariant()));
        dl.cmd_id = 17;
        dl.payload = is_text ? f[1].mid(5).toUtf8() : f[1] == "-" ? QByteArray() : testsupport::hex(f[1]);
        dl.payload_is_text = is_text;
        rx.slot_DL(dl);
        QCOMPARE(out.size(), 1);
        QCOMPARE(out.first().at(0).toByteArray(), f[2].toUtf8());
        QCOMPARE(out.first().at(1).toByteArray(), QByteArray("api.ostrel"));
    }

    // Commands of hex octets are written without the document model: byte for byte what the
    // document writer makes of the same object, for any modem, number, octets and configured key.
    void downlink_json_as_the_document_writer()
    {
        testsupport::Log_capture log(LVL_ERR);
        QRandomGenerator rnd(20261207);
        const QList<uint32_t> modems{0, 1, 9, 10, 999999, 1000000, 10000000, 123456789, 4294967295u};
        int written = 0, written_with_key = 0;
        for (int i = 0; i < 2000; ++i) {
            QVariantMap config;
            if (i % 4) {
                QString key;
                for (int n = rnd.bounded(12); n > 0; --n)
                    key += QChar(ushort(rnd.bounded(3) ? rnd.bounded(0x20, 0x80) : rnd.bounded(0, 0x3000)));
                if (i % 8 == 1) key += QStringLiteral("\"\\\b\f\n\r\t\x01\x1f\x7f") + QChar(0xD800) + QChar(0xDC00) + QChar(0xDFFF);
                config.insert("dl", QVariantMap{{"api_key", key}});
            }
            Radio_Exchange rx(config, nullptr);
            QSignalSpy out(&rx, &Radio_Exchange::signal_stringify);
            Stringify_dl_app dl(Dl_request(i < modems.size() ? modems[i] : rnd.generate(), 1, "x", QVariant()));
            dl.cmd_id = i % 3 ? rnd.generate() : uint32_t(i);
            for (int n = 1 + rnd.bounded(40); n > 0; --n)
                dl.payload += char(rnd.bounded(256));
            rx.slot_DL(dl);
            QVariantMap expected = Radio_Exchange::dl_to_map(dl);
            if (config.contains("dl")) expected.insert("api_key", config["dl"].toMap()["api_key"].toString());
            QCOMPARE(out.size(), 1);
            QCOMPARE(out.first().at(0).toByteArray(), QJsonDocument::fromVariant(expected).toJson(QJsonDocument::Compact));
            // The log line shows the same object with the key masked. Beyond a burst the lines
            // are counted rather than written; each one written is exact.
            const bool keyed = expected.contains("api_key");
            if (keyed) expected.insert("api_key", "***");
            const int shown = log.count("DL ");
            QVERIFY(shown <= 1);
            if (shown) {
                const QByteArray line = QJsonDocument::fromVariant(expected).toJson(QJsonDocument::Compact);
                QCOMPARE(log.count("DL " + line), 1);
                ++written;
                written_with_key += keyed;
            }
            log.clear();
        }
        QVERIFY2(written >= 20 && written_with_key >= 10, qPrintable(QString::number(written)));
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
