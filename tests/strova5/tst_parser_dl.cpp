// Command encoding: the exact bytes each request puts on the air, the state it leaves with,
// the rights it needs, and the requests that must not reach a meter at all.
#include "parser_strova5.h"
#include "ram_modems.h"
#include "sql_exchange.h"
#include "testsupport.h"

#include <QJsonDocument>
#include <QtTest>

using testsupport::hex;
using testsupport::hex_of;

namespace {

constexpr uint32_t OLD_SW = 5002; // firmware x.x.2.x
constexpr uint32_t NEW_SW = 5003;
constexpr uint32_t TS = 1700000000;

const QStringList ALL_RIGHTS{"settings", "control", "special"};
const QStringList SETTINGS{"settings"};
const QStringList CONTROL{"control"};

// Storage stand-in: records every command queued from inside an encoding and encodes it the
// way storage does, so re-entry into the encoder is exercised for real.
class Recording_storage : public SQL_Exchange
{
public:
    struct Call
    {
        uint32_t modem;
        QStringList rights;
        QString setting;
        QVariant data;
        Stringify_dl_app result;
    };
    QList<Call> calls;
    QList<Ul_setting> saved; // settings the registry asked to store

    Recording_storage() : SQL_Exchange(QVariantMap(), nullptr) {}

    bool init() override { return true; }
    QVariantMap send_dl(uint32_t modem, QStringList rights, QString setting, QVariant data) override
    {
        Call c{modem, rights, setting, data, {}};
        c.result = parser_strova5::stringify_dl_app(Dl_request(modem, TS + 1, setting, data), rights);
        calls.append(c);
        return {{"0", uint(calls.size())}};
    }
    QVariantMap send_dl(QList<uint32_t>, QStringList, QString, QVariant) override { return {}; }
    void remove_old(uint8_t, uint32_t) override {}
    QMap<uint32_t, QVariantMap> get_pending_settings() override { return {}; }
    void slot_UL(Parser_ul_app ul) override { saved += ul.ul_settings; }
    void slot_DL_status(Rabbit_dl_status) override {}
    void slot_loader_req(uint32_t, uint8_t, uint32_t) override {}
};

QVariantMap version(const char* sw)
{
    return {{"version", QVariantMap{{"sw", sw}}}};
}

QByteArray zeros_to(QByteArray head, int size)
{
    head.append(QByteArray(size - head.size(), '\0'));
    return head;
}

QVariantList codes(const char* code, int count)
{
    QVariantList out;
    for (int i = 0; i < count; ++i)
        out << code;
    return out;
}

QString json(const QVariant& v)
{
    return QString::fromUtf8(QJsonDocument::fromVariant(v).toJson(QJsonDocument::Compact));
}

} // namespace

class tst_parser_dl : public QObject
{
    Q_OBJECT

    RAM_modems* registry = nullptr;
    Recording_storage* storage = nullptr;

    static Stringify_dl_app encode(uint32_t modem, const QString& setting, const QVariant& data,
                                   const QStringList& rights)
    {
        return parser_strova5::stringify_dl_app(Dl_request(modem, TS, setting, data), rights);
    }

    // Every refusal: nothing at all on the air.
    static void verify_nothing(const Stringify_dl_app& r)
    {
        QCOMPARE(r.state, 4u);
        QCOMPARE(hex_of(r.payload), QString());
        QVERIFY(!r.payload_is_text);
    }

private slots:
    void init()
    {
        registry = new RAM_modems(QVariantMap(), nullptr);
        storage = new Recording_storage;
        registry->add_modem(OLD_SW, version("2.1.2.0"));
        registry->add_modem(NEW_SW, version("1.0.4.0"));
    }

    void cleanup()
    {
        delete storage;
        delete registry;
    }

    // ---- byte-exact payloads of every command, on both firmware generations

    void payloads_data()
    {
        QTest::addColumn<uint>("modem");
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QVariant>("data");
        QTest::addColumn<QStringList>("rights");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<uint>("state");
        QTest::addColumn<bool>("is_text");
        QTest::addColumn<QString>("encoded_as"); // the setting the result carries

        const QVariant none;
        const QStringList nobody;
        auto row = [&](const char* name, uint32_t modem, const QString& setting, const QVariant& data,
                       const QByteArray& payload, uint state = 1, const QStringList& rights = ALL_RIGHTS,
                       const QString& as = QString(), bool text = false) {
            QTest::newRow(name) << uint(modem) << setting << data << rights << payload << state << text
                                << (as.isEmpty() ? setting : as);
        };
        auto text = [&](const char* name, uint32_t modem, const QString& setting, const QVariant& data,
                        const QByteArray& payload, uint state, const QStringList& rights = ALL_RIGHTS) {
            QTest::newRow(name) << uint(modem) << setting << data << rights << payload << state << true << setting;
        };

        // Aliases of new firmware become attribute writes and carry the attribute name.
        row("0.8.4 new 60", NEW_SW, "0.8.4", 60, hex("ED 80 8C 02 11 3C"), 1, ALL_RIGHTS, "1.0.0.8.4.255_2");
        row("0.8.4 old 60", OLD_SW, "0.8.4", 60, {}, 4);
        row("13.0.0 new read", NEW_SW, "13.0.0", none, hex("51"));
        row("13.0.0 old read", OLD_SW, "13.0.0", none, hex("EF 04"));
        row("13.0.0 old empty map", OLD_SW, "13.0.0", QVariantMap(), hex("EF 04"));
        text("1.0.0 new", NEW_SW, "1.0.0", none, "F5[TIME]000000", 0);
        text("1.0.0 old", OLD_SW, "1.0.0", none, "F5[TIME]000000", 0);
        row("17.0.0 old 1000", OLD_SW, "17.0.0", 1000, hex("F4 03 E8 00 00 00 00 00"), 5);
        row("17.0.0 old 65535 text", OLD_SW, "17.0.0", "65535", hex("F4 FF FF 00 00 00 00 00"), 5);
        row("17.0.0 old 0", OLD_SW, "17.0.0", 0, hex("F4 00 00 00 00 00 00 00"), 5);
        row("17.0.0 old no data", OLD_SW, "17.0.0", none, {}, 4);
        row("17.0.0 new 5000", NEW_SW, "17.0.0", 5000, hex("ED 91 00 03 12 13 88"), 1, ALL_RIGHTS, "0.0.17.0.0.255_3");
        row("17.0.0 new 70000", NEW_SW, "17.0.0", 70000, hex("ED 91 00 03 06 00 01 11 70"), 1, ALL_RIGHTS,
            "0.0.17.0.0.255_3");
        row("17.0.1 new read", NEW_SW, "17.0.1", none, hex("ED 91 01 03"), 1, CONTROL, "0.0.17.0.1.255_3");
        row("17.0.2 new 2", NEW_SW, "17.0.2", 2, hex("ED 91 02 03 11 02"), 1, CONTROL, "0.0.17.0.2.255_3");
        row("17.0.3 new read", NEW_SW, "17.0.3", none, hex("ED 91 03 03"), 1, CONTROL, "0.0.17.0.3.255_3");
        row("17.0.4 new 300", NEW_SW, "17.0.4", 300, hex("ED 91 04 03 12 01 2C"), 1, CONTROL, "0.0.17.0.4.255_3");
        row("17.0.5 new read", NEW_SW, "17.0.5", none, hex("ED 91 05 03"), 1, CONTROL, "0.0.17.0.5.255_3");
        row("17.0.3 old", OLD_SW, "17.0.3", 5, {}, 4);
        for (uint32_t m : {OLD_SW, NEW_SW}) {
            const bool o = m == OLD_SW;
            row(o ? "calibration old" : "calibration new", m, "calibration", "ignored", hex("EF 09"));
            row(o ? "94.7.0 old" : "94.7.0 new", m, "94.7.0", none, hex("EF 0A"), 1, nobody);
            row(o ? "1.8.0 old" : "1.8.0 new", m, "1.8.0", 7, hex("EF 03"), 1, nobody);
            row(o ? "version old" : "version new", m, "version", none, hex("EF 06"), 1, nobody);
            row(o ? "resetADE old" : "resetADE new", m, "resetADE", 1, hex("EF 08"));
            row(o ? "fcfix 3 old" : "fcfix 3 new", m, "fcfix", "1,2,3", hex("EF 1D 01 02 03"));
            row(o ? "fcfix 4 old" : "fcfix 4 new", m, "fcfix", "1,2,3,1.5", hex("EF 1D 01 02 03 00 00 C0 3F"));
            row(o ? "event_filter read old" : "event_filter read new", m, "event_filter", none, hex("EF 12"));
            row(o ? "DTI old" : "DTI new", m, "DTI", "0a1B", hex("0A 1B"));
            row(o ? "display read old" : "display read new", m, "display", none, hex("EF 11"), 1, nobody);
            text(o ? "display 5 old" : "display 5 new", m, "display", 5, "EF1100000005[KEY5]", 0, nobody);
        }
        row("fcfix no data", NEW_SW, "fcfix", none, {}, 4);
        row("fcfix negative float", NEW_SW, "fcfix", "0,255,7,-2", hex("EF 1D 00 FF 07 00 00 00 C0"));
        row("resetADE _b_admin only", NEW_SW, "resetADE", none, hex("EF 08"), 1, {"_b_admin"});

        // Sending period, alignment and value list of old firmware.
        const QVariantList four{"1.8.0", "2.8.0", "32.7.0", "1.8.3"};
        row("94.7.5 old read", OLD_SW, "94.7.5", none, hex("EF 05"));
        row("94.7.5 old empty map", OLD_SW, "94.7.5", QVariantMap(), hex("EF 05"));
        row("94.7.5 old full", OLD_SW, "94.7.5",
            QVariantMap{{"period", 900}, {"aligment", 2}, {"need_send", 0}, {"OBIS", four}},
            hex("F1 38 48 02 80 04 80 40 00 02 86 00"));
        row("94.7.5 old defaults", OLD_SW, "94.7.5", QVariantMap{{"OBIS", four}},
            hex("F1 03 C6 02 80 04 80 40 00 02 86 00"));
        row("94.7.5 old period 0 means 60", OLD_SW, "94.7.5",
            QVariantMap{{"period", 0}, {"OBIS", QVariantList{"1.8", "1", "127.0.7", "0.8.0"}}},
            hex("F1 03 C6 02 80 02 00 FE 0E 00 80 00"));
        row("94.7.5 old period 4095", OLD_SW, "94.7.5",
            QVariantMap{{"period", "4095"}, {"aligment", 3}, {"need_send", 1}, {"OBIS", four}},
            hex("F1 FF FE 02 80 04 80 40 00 02 86 00"));
        row("94.7.5 new", NEW_SW, "94.7.5", QVariantMap{{"OBIS", four}}, {}, 4);

        // Relay.
        row("96.3.10 old 1", OLD_SW, "96.3.10", 1, hex("F4 FF FF 00 00 00 00 00"), 0);
        row("96.3.10 old 0", OLD_SW, "96.3.10", "0", hex("F4 00 00 00 00 00 00 00"), 0);
        row("96.3.10 old 0,1 second decides", OLD_SW, "96.3.10", "0,1", hex("F4 FF FF 00 00 00 00 00"), 0);
        row("96.3.10 old 1,0 second decides", OLD_SW, "96.3.10", "1,0", hex("F4 00 00 00 00 00 00 00"), 0);
        row("96.3.10 new 5,0", NEW_SW, "96.3.10", "5,0", hex("ED 40 60 03 0A 03 11 00"), 1, ALL_RIGHTS,
            "0.0.96.3.10.255_3");
        row("96.3.10 new 1", NEW_SW, "96.3.10", 1, hex("ED 40 60 03 0A 03 11 01"), 1, CONTROL, "0.0.96.3.10.255_3");
        row("96.3.10 new -1", NEW_SW, "96.3.10", "-1", hex("ED 40 60 03 0A 03 0F FF"), 1, CONTROL,
            "0.0.96.3.10.255_3");

        // Archive information and archive records.
        row("arch_info new", NEW_SW, "arch_info", "14,100", hex("EF 0F"), 1, nobody);
        row("arch_data new", NEW_SW, "arch_data", none, hex("EF 10"), 1, nobody);
        row("arch_info old 14,100", OLD_SW, "arch_info", "14,100", hex("EF 0F 0E 64 00 00 00"), 1, nobody);
        row("arch_info old no data", OLD_SW, "arch_info", none, hex("EF 0F 00"), 1, nobody);
        row("arch_info old 14", OLD_SW, "arch_info", 14, hex("EF 0F 0E"), 1, nobody);
        row("arch_data old 15,70000", OLD_SW, "arch_data", "15,70000", hex("EF 10 0F 70 11 01 00"), 1, nobody);
        row("arch_data old max", OLD_SW, "arch_data", "255,4294967295", hex("EF 10 FF FF FF FF FF"), 1, nobody);
        row("arch_data old no data", OLD_SW, "arch_data", none, {}, 4, nobody);

        // Hex pass-through.
        row("msg", NEW_SW, "msg", "00ff10", hex("00 FF 10"));
        row("msg empty", NEW_SW, "msg", "", {}, 4);
        row("APDU", OLD_SW, "APDU", "0102", hex("D2 01 02"));
        row("HDLC", NEW_SW, "HDLC", "7ea0", hex("D3 7E A0"));
        row("HDLC no data", NEW_SW, "HDLC", none, {}, 4);
        row("HDLC empty", NEW_SW, "HDLC", "", {}, 4);

        // Device configuration.
        row("event_filter new 0,3,15", NEW_SW, "event_filter", QVariantList{0, 3, 15}, hex("EF 12 09 80"));
        row("event_filter new text", NEW_SW, "event_filter", "0, 3,15", hex("EF 12 09 80"));
        row("event_filter new empty", NEW_SW, "event_filter", QVariantList(), hex("EF 12 00 00"));
        row("event_filter old 0,3,15", OLD_SW, "event_filter", QVariantList{0, 3, 15},
            zeros_to(hex("EF 12 90 01"), 18));
        row("event_filter old 127", OLD_SW, "event_filter", QVariantList{127.0},
            zeros_to(hex("EF 12"), 17) + hex("01"));
        row("sensors old read", OLD_SW, "sensors", none, hex("EF 0B"));
        row("sensors old write", OLD_SW, "sensors", QVariantMap{{"sensor_cover", 300}, {"sensor_body", "5"}},
            hex("EF 0B 2C 01 05 00"));
        row("sensors new", NEW_SW, "sensors", none, {}, 4);
        row("qualityU old read", OLD_SW, "qualityU", none, hex("EF 0E 02"));
        row("qualityF old read", OLD_SW, "qualityF", none, hex("EF 0E 01"));
        row("qualityU old 230.5,10", OLD_SW, "qualityU", "230.5,10", hex("EF 0E 02 0A 5A E8 03"));
        row("qualityF old rounds to nearest", OLD_SW, "qualityF", "4.2,50.01", hex("EF 0E 01 A4 01 89 13"));
        row("qualityU new", NEW_SW, "qualityU", "230.5,10", {}, 4);
        row("sec_send_to_display list", NEW_SW, "sec_send_to_display", QVariantList{5, 300},
            hex("EF 41 05 00 2C 01"));
        row("sec_send_to_display text", NEW_SW, "sec_send_to_display", "5,300", hex("EF 41 05 00 2C 01"));
        row("sec_send_to_display read", NEW_SW, "sec_send_to_display", none, hex("EF 41"));
        row("sec_send_to_display old", OLD_SW, "sec_send_to_display", "5,300", {}, 4);
        row("pulse_output defaults", NEW_SW, "pulse_output", QVariantMap(), hex("EF 17 00 00 E8 03 E8 03"));
        row("pulse_output full", NEW_SW, "pulse_output",
            QVariantMap{{"type0", 1}, {"type1", 2}, {"freq0", 4800}, {"freq1", 100}},
            hex("EF 17 01 02 C0 12 64 00"));
        row("pulse_output read", NEW_SW, "pulse_output", none, hex("EF 17"));
        row("pulse_output old", OLD_SW, "pulse_output", QVariantMap(), {}, 4);
        row("hour_prf_need_ack 1", NEW_SW, "hour_prf_need_ack", 1, hex("EF 43 01"));
        row("hour_prf_need_ack read", NEW_SW, "hour_prf_need_ack", none, hex("EF 43"));
        row("hour_prf_need_ack old", OLD_SW, "hour_prf_need_ack", 1, {}, 4);

        // Display lists.
        row("display_auto read", NEW_SW, "display_auto", none, hex("EF 1B"));
        row("display_auto one", NEW_SW, "display_auto", QVariantList{"1.0.1.8.0.255"},
            zeros_to(hex("EF 1B 88 81"), 33));
        row("display_auto two", NEW_SW, "display_auto", QStringList{"1.0.1.8.0.255", "1.0.2.8.0.255"},
            zeros_to(hex("EF 1B 88 81 88 82"), 33));
        row("display_auto fifteen", NEW_SW, "display_auto", codes("0.0.32.7.0.255", 15),
            zeros_to(hex("EF 1B") + QByteArray(15, '\x70').replace("\x70", "\x70\xA0"), 33));
        row("display_auto empty", NEW_SW, "display_auto", QVariantList(), zeros_to(hex("EF 1B"), 33));
        row("display_auto old", OLD_SW, "display_auto", QVariantList{"1.0.1.8.0.255"}, {}, 4);
        row("display_manual read", NEW_SW, "display_manual", none, hex("EF 1C"));
        row("display_manual one group", NEW_SW, "display_manual", QVariantList{"1.0.1.8.0.255", "1.0.2.8.0.255"},
            zeros_to(hex("EF 1C 02 81 88 82 88"), 129));
        row("display_manual two groups", NEW_SW, "display_manual",
            QVariantList{"1.0.1.8.0.255", "0.0.0.0.0.0", "1.0.2.8.0.255"},
            zeros_to(hex("EF 1C 01 81 88 01 82 88"), 129));
        row("display_manual 4- and 6-byte forms", NEW_SW, "display_manual",
            QVariantList{"0.0.96.3.10.255", "1.0.1.8.0.1"},
            zeros_to(hex("EF 1C 02 40 60 03 0A 01 00 01 08 00 01"), 129));
        row("display_manual exactly full", NEW_SW, "display_manual", codes("1.0.1.8.0.255", 63),
            hex("EF 1C 3F") + QByteArray(63, '\x81').replace("\x81", "\x81\x88"));
        row("display_manual old", OLD_SW, "display_manual", QVariantList{"1.0.1.8.0.255"}, {}, 4);

        // Archive indexes.
        row("set_arch_index [14,1800]", NEW_SW, "set_arch_index", QVariantList{14, 1800u}, hex("EF 0F 0E 07 08"));
        row("set_arch_index read", NEW_SW, "set_arch_index", none, hex("EF 0F"));
        row("set_arch_index old", OLD_SW, "set_arch_index", QVariantList{14, 1800}, {}, 4);
        row("get_arch_index [14,100]", NEW_SW, "get_arch_index", QVariantList{14, 100}, hex("EF 10 0E 06 40"));
        row("get_arch_index [15,4095]", NEW_SW, "get_arch_index", QVariantList{15, 4095}, hex("EF 10 0F FF F0"));
        row("get_arch_index old", OLD_SW, "get_arch_index", QVariantList{14, 100}, {}, 4);

        // Display pairing text.
        text("display 255", NEW_SW, "display", 255u, "EF11000000FF[KEY255]", 0, nobody);
        text("display max", NEW_SW, "display", "4294967295", "EF11FFFFFFFF[KEY4294967295]", 0, nobody);

        // Attribute writes: A-XDR values by range and sign.
        const QString relay = "0.0.96.3.10.255_3", limit = "0.0.17.0.0.255_3", tz = "0.0.1.0.0.255_3";
        row("relay read", NEW_SW, relay, none, hex("ED 40 60 03 0A 03"), 1, CONTROL);
        row("beside the relay object", NEW_SW, "0.0.96.3.1.255_2", none, hex("ED E0 31 02"), 1, SETTINGS);
        row("beside the limiter objects", NEW_SW, "0.0.17.1.0.255_2", none, hex("ED 91 10 02"), 1, SETTINGS);
        row("0.8.4 attribute 60", NEW_SW, "1.0.0.8.4.255_2", 60, hex("ED 80 8C 02 11 3C"), 1, SETTINGS);
        row("limit 5000", NEW_SW, limit, 5000, hex("ED 91 00 03 12 13 88"), 1, CONTROL);
        row("u8 max", NEW_SW, limit, 255, hex("ED 91 00 03 11 FF"), 1, CONTROL);
        row("u16 min", NEW_SW, limit, 256, hex("ED 91 00 03 12 01 00"), 1, CONTROL);
        row("u16 max", NEW_SW, limit, 65535, hex("ED 91 00 03 12 FF FF"), 1, CONTROL);
        row("u32 min", NEW_SW, limit, 65536, hex("ED 91 00 03 06 00 01 00 00"), 1, CONTROL);
        row("u32 70000", NEW_SW, limit, 70000, hex("ED 91 00 03 06 00 01 11 70"), 1, CONTROL);
        row("u32 max text", NEW_SW, limit, "4294967295", hex("ED 91 00 03 06 FF FF FF FF"), 1, CONTROL);
        row("json whole number", NEW_SW, limit, 60.0, hex("ED 91 00 03 11 3C"), 1, CONTROL);
        row("text 60 is a number", NEW_SW, limit, "60", hex("ED 91 00 03 11 3C"), 1, CONTROL);
        row("int8 -1", NEW_SW, tz, -1, hex("ED 81 00 03 0F FF"), 1, SETTINGS);
        row("int8 min", NEW_SW, tz, -128, hex("ED 81 00 03 0F 80"), 1, SETTINGS);
        row("int16 -129", NEW_SW, tz, -129, hex("ED 81 00 03 10 FF 7F"), 1, SETTINGS);
        row("int16 time zone -300 text", NEW_SW, tz, "-300", hex("ED 81 00 03 10 FE D4"), 1, SETTINGS);
        row("int16 min", NEW_SW, tz, -32768, hex("ED 81 00 03 10 80 00"), 1, SETTINGS);
        row("int32 -32769", NEW_SW, tz, -32769, hex("ED 81 00 03 05 FF FF 7F FF"), 1, SETTINGS);
        row("int32 min", NEW_SW, tz, qlonglong(-2147483648LL), hex("ED 81 00 03 05 80 00 00 00"), 1, SETTINGS);
        row("text abc", NEW_SW, tz, "abc", hex("ED 81 00 03 09 03 61 62 63"), 1, SETTINGS);
        row("text 060", NEW_SW, tz, "060", hex("ED 81 00 03 09 03 30 36 30"), 1, SETTINGS);
        row("text -0", NEW_SW, tz, "-0", hex("ED 81 00 03 09 02 2D 30"), 1, SETTINGS);
        row("fraction as text", NEW_SW, tz, 1.5, hex("ED 81 00 03 09 03 31 2E 35"), 1, SETTINGS);
        row("text 119 bytes", NEW_SW, "0.0.96.1.0.255_2", QString(119, 'a'),
            hex("ED E0 10 02 09 77") + QByteArray(119, 'a'), 1, SETTINGS);
        row("6-byte code", NEW_SW, "1.0.1.8.0.0_2", 1, hex("ED 01 00 01 08 00 00 02 11 01"), 1, SETTINGS);
        row("4-byte code", NEW_SW, "0.0.99.98.1.255_7", none, hex("ED 40 63 62 01 07"), 1, SETTINGS);
        row("attribute old", OLD_SW, relay, none, {}, 4);
        row("attribute unknown version", 9999, relay, 1, hex("ED 40 60 03 0A 03 11 01"), 1, CONTROL);
    }

    void payloads()
    {
        QFETCH(uint, modem);
        QFETCH(QString, setting);
        QFETCH(QVariant, data);
        QFETCH(QStringList, rights);
        QFETCH(QByteArray, payload);
        QFETCH(uint, state);
        QFETCH(bool, is_text);
        QFETCH(QString, encoded_as);

        const Stringify_dl_app r = encode(modem, setting, data, rights);
        if (is_text)
            QCOMPARE(QString::fromLatin1(r.payload), QString::fromLatin1(payload));
        else
            QCOMPARE(hex_of(r.payload), hex_of(payload));
        QCOMPARE(r.state, state);
        QCOMPARE(r.payload_is_text, is_text);
        QCOMPARE(r.setting, encoded_as);
        QCOMPARE(r.modem_id, modem);
        QCOMPARE(r.ts, TS);
        QCOMPARE(r.cmd_id, 0u);
        QVERIFY(storage->calls.isEmpty());
    }

    // ---- rights: a missing right means nothing to send, whatever the data

    void rights_data()
    {
        QTest::addColumn<uint>("modem");
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QVariant>("data");
        QTest::addColumn<QStringList>("rights");

        const QVariant none;
        const QStringList no_settings{"control", "special", "view"};
        const QStringList no_special{"settings", "control", "_auth_admin"};
        const QStringList no_control{"settings", "special"};
        auto row = [](const char* name, uint32_t modem, const QString& setting, const QVariant& data,
                      const QStringList& rights) {
            QTest::newRow(name) << uint(modem) << setting << data << rights;
        };
        row("13.0.0", NEW_SW, "13.0.0", none, no_settings);
        row("1.0.0", NEW_SW, "1.0.0", none, no_settings);
        row("17.0.0 old", OLD_SW, "17.0.0", 1000, no_settings);
        row("17.0.0 new needs control too", NEW_SW, "17.0.0", 1000, SETTINGS);
        row("17.0.3 new needs control", NEW_SW, "17.0.3", none, no_control);
        row("0.8.4 new needs settings", NEW_SW, "0.8.4", 60, CONTROL);
        row("calibration", NEW_SW, "calibration", none, no_special);
        row("94.7.5", OLD_SW, "94.7.5", none, no_settings);
        row("96.3.10 old", OLD_SW, "96.3.10", 1, no_control);
        row("96.3.10 new", NEW_SW, "96.3.10", 1, no_control);
        row("DTI", NEW_SW, "DTI", "00", no_special);
        row("msg", NEW_SW, "msg", "00", no_special);
        row("APDU", NEW_SW, "APDU", "00", no_special);
        row("HDLC", NEW_SW, "HDLC", "00", no_special);
        row("event_filter", NEW_SW, "event_filter", QVariantList{1}, no_settings);
        row("sensors", OLD_SW, "sensors", none, no_special);
        row("fcfix", OLD_SW, "fcfix", "1,2,3", no_special);
        row("resetADE", NEW_SW, "resetADE", none, {"settings", "control", "_auth_admin"});
        row("qualityU", OLD_SW, "qualityU", none, no_settings);
        row("qualityF", OLD_SW, "qualityF", none, no_settings);
        row("sec_send_to_display", NEW_SW, "sec_send_to_display", none, no_settings);
        row("pulse_output", NEW_SW, "pulse_output", none, no_settings);
        row("hour_prf_need_ack", NEW_SW, "hour_prf_need_ack", none, no_settings);
        row("display_auto", NEW_SW, "display_auto", none, no_settings);
        row("display_manual", NEW_SW, "display_manual", none, no_settings);
        row("set_arch_index", NEW_SW, "set_arch_index", none, no_settings);
        row("get_arch_index", NEW_SW, "get_arch_index", QVariantList{14, 1}, no_settings);
        row("relay attribute with settings", NEW_SW, "0.0.96.3.10.255_3", none, no_control);
        row("limiter attribute with settings", NEW_SW, "0.0.17.0.2.255_3", 1, no_control);
        row("limiter of any A, B, F", NEW_SW, "1.1.17.0.9.1_2", 1, no_control);
        row("other attribute with control", NEW_SW, "1.0.0.8.4.255_2", 60, {"control", "special"});
        row("rights are case-sensitive", NEW_SW, "1.0.0", none, {"Settings", "SETTINGS"});
        row("names are case-sensitive", NEW_SW, "hdlc", "00", ALL_RIGHTS);
        row("unknown name", NEW_SW, "reboot", none, ALL_RIGHTS + QStringList{"_b_admin"});
        row("code without attribute", NEW_SW, "0.0.96.3.10.255", none, ALL_RIGHTS);
        row("dots are dots", NEW_SW, "0x0x96x3x10x255_3", none, ALL_RIGHTS);
        row("digits run together", NEW_SW, "10203040506_7", none, ALL_RIGHTS);
    }

    void rights()
    {
        QFETCH(uint, modem);
        QFETCH(QString, setting);
        QFETCH(QVariant, data);
        QFETCH(QStringList, rights);
        verify_nothing(encode(modem, setting, data, rights));
        QVERIFY(storage->calls.isEmpty());
        QVERIFY(storage->saved.isEmpty());
    }

    // ---- requests that cannot be encoded faithfully: nothing is sent

    void refusals_data()
    {
        QTest::addColumn<uint>("modem");
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QVariant>("data");

        auto row = [](const char* name, uint32_t modem, const QString& setting, const QVariant& data) {
            QTest::newRow(name) << uint(modem) << setting << data;
        };
        const QVariantList four{"1.8.0", "2.8.0", "3.8.0", "4.8.0"};
        auto period = [&](const char* key, const QVariant& v) {
            return QVariantMap{{key, v}, {"OBIS", four}};
        };
        auto first_entry = [](const char* entry) {
            return QVariantMap{{"OBIS", QVariantList{entry, "2.8.0", "3.8.0", "4.8.0"}}};
        };

        row("96.3.10 old three numbers", OLD_SW, "96.3.10", "1,0,1");
        row("96.3.10 new three numbers", NEW_SW, "96.3.10", "1,0,1");
        row("96.3.10 old not a number", OLD_SW, "96.3.10", "on");
        row("96.3.10 new not a number", NEW_SW, "96.3.10", "1,x");
        row("96.3.10 list", NEW_SW, "96.3.10", QVariantList{1});
        row("17.0.0 old over 16 bits", OLD_SW, "17.0.0", 70000);
        row("17.0.0 old negative", OLD_SW, "17.0.0", -1);
        row("17.0.0 old text", OLD_SW, "17.0.0", "1000A");

        row("94.7.5 three entries", OLD_SW, "94.7.5", QVariantMap{{"OBIS", QVariantList{"1.8.0", "2.8.0", "3.8.0"}}});
        row("94.7.5 no OBIS", OLD_SW, "94.7.5", QVariantMap{{"period", 60}});
        row("94.7.5 OBIS not a list", OLD_SW, "94.7.5", QVariantMap{{"OBIS", "1.8.0"}});
        row("94.7.5 not a map", OLD_SW, "94.7.5", "900");
        row("94.7.5 period over 12 bits", OLD_SW, "94.7.5", period("period", 4096));
        row("94.7.5 period text", OLD_SW, "94.7.5", period("period", "hourly"));
        row("94.7.5 aligment 4", OLD_SW, "94.7.5", period("aligment", 4));
        row("94.7.5 need_send 2", OLD_SW, "94.7.5", period("need_send", 2));
        row("94.7.5 C over 127", OLD_SW, "94.7.5", first_entry("128.8.0"));
        row("94.7.5 E over 7", OLD_SW, "94.7.5", first_entry("1.8.8"));
        row("94.7.5 full OBIS", OLD_SW, "94.7.5", first_entry("1.0.1.8.0.255"));
        row("94.7.5 entry not numbers", OLD_SW, "94.7.5", first_entry("a.8.0"));

        row("arch_info type over 255", OLD_SW, "arch_info", "300");
        row("arch_info index not a number", OLD_SW, "arch_info", "14,abc");
        row("arch_info three parts", OLD_SW, "arch_info", "1,2,3");
        row("arch_info list", OLD_SW, "arch_info", QVariantList{14, 100});
        row("arch_data one part", OLD_SW, "arch_data", "14");
        row("arch_data index over 32 bits", OLD_SW, "arch_data", "14,4294967296");

        row("HDLC odd length", NEW_SW, "HDLC", "123");
        row("HDLC not hex", NEW_SW, "HDLC", "12G4");
        row("HDLC blank inside", NEW_SW, "HDLC", "12 34");
        row("APDU 0x prefix", NEW_SW, "APDU", "0x12");
        row("DTI not hex", NEW_SW, "DTI", "abc");
        row("msg odd length", NEW_SW, "msg", "1");
        row("HDLC list", NEW_SW, "HDLC", QVariantList{"7E"});

        row("event_filter new 16", NEW_SW, "event_filter", QVariantList{1, 16});
        row("event_filter new negative", NEW_SW, "event_filter", QVariantList{-1});
        row("event_filter old 128", OLD_SW, "event_filter", QVariantList{128});
        row("event_filter empty part", NEW_SW, "event_filter", "1,,2");
        row("event_filter element not a number", NEW_SW, "event_filter", QVariantList{"a"});
        row("event_filter number", NEW_SW, "event_filter", 5);
        row("event_filter map", NEW_SW, "event_filter", QVariantMap{{"0", 1}});

        row("sensors missing body", OLD_SW, "sensors", QVariantMap{{"sensor_cover", 1}});
        row("sensors over 16 bits", OLD_SW, "sensors", QVariantMap{{"sensor_cover", 70000}, {"sensor_body", 1}});
        row("sensors text", OLD_SW, "sensors", "1,2");

        row("fcfix two", NEW_SW, "fcfix", "1,2");
        row("fcfix five", NEW_SW, "fcfix", "1,2,3,4,5");
        row("fcfix over 255", NEW_SW, "fcfix", "256,2,3");
        row("fcfix float not a number", NEW_SW, "fcfix", "1,2,3,abc");
        row("fcfix float overflow", NEW_SW, "fcfix", "1,2,3,1e39");

        row("qualityU one value", OLD_SW, "qualityU", "230.5");
        row("qualityU three values", OLD_SW, "qualityU", "230.5,10,1");
        row("qualityU not a number", OLD_SW, "qualityU", "abc,10");
        row("qualityU over 655.35", OLD_SW, "qualityU", "700,10");
        row("qualityF negative", OLD_SW, "qualityF", "-1,10");

        row("sec_send_to_display three", NEW_SW, "sec_send_to_display", QVariantList{1, 2, 3});
        row("sec_send_to_display one", NEW_SW, "sec_send_to_display", "5");
        row("sec_send_to_display over 16 bits", NEW_SW, "sec_send_to_display", QVariantList{70000, 1});
        row("sec_send_to_display not numbers", NEW_SW, "sec_send_to_display", "a,b");

        row("pulse_output JSON text", NEW_SW, "pulse_output", "{\"type0\":1}");
        row("pulse_output list", NEW_SW, "pulse_output", QVariantList{1, 2});
        row("pulse_output freq over 16 bits", NEW_SW, "pulse_output", QVariantMap{{"freq0", 70000}});
        row("pulse_output type over 8 bits", NEW_SW, "pulse_output", QVariantMap{{"type0", 256}});
        row("pulse_output type not a number", NEW_SW, "pulse_output", QVariantMap{{"type1", "x"}});

        row("hour_prf_need_ack over 8 bits", NEW_SW, "hour_prf_need_ack", 256);
        row("hour_prf_need_ack text", NEW_SW, "hour_prf_need_ack", "yes");

        row("display_auto sixteen", NEW_SW, "display_auto", codes("1.0.1.8.0.255", 16));
        row("display_auto no 2-byte form", NEW_SW, "display_auto", QVariantList{"0.0.96.3.10.255"});
        row("display_auto element not a code", NEW_SW, "display_auto",
            QVariantList{"1.0.1.8.0.255", "x", "1.0.2.8.0.255"});
        row("display_auto part over 255", NEW_SW, "display_auto", QVariantList{"1.0.1.8.0.256"});
        row("display_auto text", NEW_SW, "display_auto", "1.0.1.8.0.255");
        row("display_manual 64 codes", NEW_SW, "display_manual", codes("1.0.1.8.0.255", 64));
        row("display_manual 4-byte form past the end", NEW_SW, "display_manual",
            codes("1.0.1.8.0.255", 62) << "0.0.96.3.10.255");
        row("display_manual element not a code", NEW_SW, "display_manual", QVariantList{"x"});
        row("display_manual A over 63", NEW_SW, "display_manual", QVariantList{"64.0.1.8.0.1"});

        row("set_arch_index over 16 bits", NEW_SW, "set_arch_index", QVariantList{14, 70000});
        row("set_arch_index type over 8 bits", NEW_SW, "set_arch_index", QVariantList{300, 1});
        row("set_arch_index empty list", NEW_SW, "set_arch_index", QVariantList());
        row("set_arch_index text", NEW_SW, "set_arch_index", "14,1800");
        row("get_arch_index one element", NEW_SW, "get_arch_index", QVariantList{14});
        row("get_arch_index no data", NEW_SW, "get_arch_index", QVariant());
        row("get_arch_index index 4096", NEW_SW, "get_arch_index", QVariantList{14, 4096});
        row("get_arch_index type over 8 bits", NEW_SW, "get_arch_index", QVariantList{256, 1});
        row("get_arch_index three elements", NEW_SW, "get_arch_index", QVariantList{14, 1, 2});

        row("display not a number", NEW_SW, "display", "abc");
        row("display negative", NEW_SW, "display", -1);
        row("display over 32 bits", OLD_SW, "display", qulonglong(4294967296ULL));

        const QString relay = "0.0.96.3.10.255_3";
        row("attribute over 32 bits", NEW_SW, relay, "4294967296");
        row("attribute below int32", NEW_SW, relay, qlonglong(-2147483649LL));
        row("attribute large JSON number", NEW_SW, relay, 1e10);
        row("attribute text of 120 bytes", NEW_SW, relay, QString(120, 'a'));
        row("attribute list", NEW_SW, relay, QVariantList{1});
        row("attribute code over 255", NEW_SW, "256.0.1.8.0.255_2", 1);
        row("attribute number over 255", NEW_SW, "1.0.1.8.0.255_256", 1);
        row("attribute A without compact form", NEW_SW, "64.0.1.8.0.255_2", 1);
    }

    void refusals()
    {
        QFETCH(uint, modem);
        QFETCH(QString, setting);
        QFETCH(QVariant, data);
        // The refusal is logged, so an operator sees why the command never left.
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("\\(Exc\\).*nothing to send"));
        verify_nothing(encode(modem, setting, data, ALL_RIGHTS + QStringList{"_b_admin"}));
        QVERIFY(storage->calls.isEmpty());
        QVERIFY(storage->saved.isEmpty());
    }

    // ---- side effects on the registry

    void settings_written_by_encoding()
    {
        // "0.8.4" without data on new firmware: done here, the period is recorded and saved.
        Stringify_dl_app r = encode(NEW_SW, "0.8.4", QVariant(), {});
        QCOMPARE(r.state, 3u);
        QVERIFY(r.payload.isEmpty());
        QCOMPARE(registry->get_setting(NEW_SW, "0.8.4").toInt(), 60);
        QCOMPARE(storage->saved.size(), 1);
        QCOMPARE(storage->saved[0].key, QString("0.8.4"));

        // On old firmware nothing happens at all.
        r = encode(OLD_SW, "0.8.4", QVariant(), {});
        verify_nothing(r);
        QVERIFY(!registry->get_setting(OLD_SW, "0.8.4").isValid());

        // Old-firmware relay without numbers: done here; the default state is recorded once.
        r = encode(OLD_SW, "96.3.10", QVariant(), CONTROL);
        QCOMPARE(r.state, 3u);
        QVERIFY(r.payload.isEmpty());
        QCOMPARE(json(registry->get_setting(OLD_SW, "96.3.10")), QString("[2,1,1]"));
        QCOMPARE(storage->saved.size(), 2);

        registry->slot_set_setting(OLD_SW, "96.3.10", "[1,0,0]", false);
        r = encode(OLD_SW, "96.3.10", "", CONTROL);
        QCOMPARE(r.state, 3u);
        QCOMPARE(json(registry->get_setting(OLD_SW, "96.3.10")), QString("[1,0,0]"));
        QCOMPARE(storage->saved.size(), 2);
        QVERIFY(storage->calls.isEmpty());
    }

    // ---- the relay read of new firmware queues its own second command

    void relay_read_reenters_storage()
    {
        const Stringify_dl_app r = encode(NEW_SW, "96.3.10", "", CONTROL);

        // First the status attribute went through storage, encoded there under the same rights.
        QCOMPARE(storage->calls.size(), 1);
        const auto& call = storage->calls[0];
        QCOMPARE(call.modem, NEW_SW);
        QCOMPARE(call.rights, CONTROL);
        QCOMPARE(call.setting, QString("0.0.96.3.10.255_4"));
        QVERIFY(!call.data.isValid());
        QCOMPARE(hex_of(call.result.payload), QString("ED4060030A04"));
        QCOMPARE(call.result.state, 1u);

        // Then the relay attribute is read, not written with the empty text.
        QCOMPARE(r.setting, QString("0.0.96.3.10.255_3"));
        QCOMPARE(hex_of(r.payload), QString("ED4060030A03"));
        QCOMPARE(r.state, 1u);
        QVERIFY(!r.data.isValid());
    }

    void relay_without_storage()
    {
        delete storage;
        storage = nullptr;
        const Stringify_dl_app r = encode(NEW_SW, "96.3.10", QVariant(), CONTROL);
        QCOMPARE(hex_of(r.payload), QString("ED4060030A03"));
        QCOMPARE(r.state, 1u);
        storage = new Recording_storage;
    }

    void relay_writes_queue_nothing_data()
    {
        QTest::addColumn<uint>("modem");
        QTest::addColumn<QVariant>("data");
        QTest::addColumn<QStringList>("rights");
        QTest::newRow("new with a number") << uint(NEW_SW) << QVariant("1") << CONTROL;
        QTest::newRow("new refused") << uint(NEW_SW) << QVariant("1,0,1") << CONTROL;
        QTest::newRow("old without numbers") << uint(OLD_SW) << QVariant() << CONTROL;
        QTest::newRow("new without right") << uint(NEW_SW) << QVariant() << SETTINGS;
    }

    void relay_writes_queue_nothing()
    {
        QFETCH(uint, modem);
        QFETCH(QVariant, data);
        QFETCH(QStringList, rights);
        encode(modem, "96.3.10", data, rights);
        QVERIFY(storage->calls.isEmpty());
    }

    // ---- firmware generation

    void is_new_sw_data()
    {
        QTest::addColumn<QVariant>("version"); // invalid: the modem is not in the registry
        QTest::addColumn<bool>("is_new");
        QTest::newRow("x.x.2.x is old") << QVariant("2.1.2.0") << false;
        QTest::newRow("three numbers") << QVariant("2.1.2") << false;
        QTest::newRow("leading zero") << QVariant("1.0.02.0") << false;
        QTest::newRow("letters before") << QVariant("a.b.2.c") << false;
        QTest::newRow("20 is new") << QVariant("2.1.20.0") << true;
        QTest::newRow("3 is new") << QVariant("1.1.3.0") << true;
        QTest::newRow("1 is new") << QVariant("1.1.1.0") << true;
        QTest::newRow("0 is new") << QVariant("1.0.0.0") << true;
        QTest::newRow("4 is new") << QVariant("1.0.4.0") << true;
        QTest::newRow("two numbers") << QVariant("1.2") << true;
        QTest::newRow("empty") << QVariant("") << true;
        QTest::newRow("no version") << QVariant() << true;
    }

    void is_new_sw()
    {
        QFETCH(QVariant, version);
        QFETCH(bool, is_new);
        const uint32_t modem = 7001;
        if (version.isValid())
            registry->add_modem(modem, QVariantMap{{"version", QVariantMap{{"sw", version}}}});
        QCOMPARE(parser_strova5::is_new_sw(modem), is_new);
        // Every gate follows it: old firmware reads the calendar with EF 04.
        QCOMPARE(hex_of(encode(modem, "13.0.0", QVariant(), SETTINGS).payload), QString(is_new ? "51" : "EF04"));
    }

    void is_new_sw_without_registry()
    {
        delete registry;
        registry = nullptr;
        QVERIFY(parser_strova5::is_new_sw(OLD_SW));
        registry = new RAM_modems(QVariantMap(), nullptr);
    }

    // ---- relay state recorded when an old-firmware relay command is confirmed

    void convert_relay_setting_data()
    {
        QTest::addColumn<uint>("modem");
        QTest::addColumn<bool>("success");
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QVariant>("data");
        QTest::addColumn<QString>("stored"); // empty: nothing stored

        QTest::newRow("two numbers") << uint(OLD_SW) << true << "96.3.10" << QVariant("1,0") << "[1,0,0]";
        QTest::newRow("one number") << uint(OLD_SW) << true << "96.3.10" << QVariant(1) << "[2,1,1]";
        QTest::newRow("negative keeps sign") << uint(OLD_SW) << true << "96.3.10" << QVariant("-1") << "[2,-1,-1]";
        QTest::newRow("non-numbers dropped") << uint(OLD_SW) << true << "96.3.10" << QVariant("x,3") << "[2,3,1]";
        QTest::newRow("three numbers") << uint(OLD_SW) << true << "96.3.10" << QVariant("1,0,1") << "";
        QTest::newRow("no numbers") << uint(OLD_SW) << true << "96.3.10" << QVariant("") << "";
        QTest::newRow("failed") << uint(OLD_SW) << false << "96.3.10" << QVariant("1") << "";
        QTest::newRow("new firmware") << uint(NEW_SW) << true << "96.3.10" << QVariant("1") << "";
        QTest::newRow("other setting") << uint(OLD_SW) << true << "17.0.0" << QVariant("1") << "";
    }

    void convert_relay_setting()
    {
        QFETCH(uint, modem);
        QFETCH(bool, success);
        QFETCH(QString, setting);
        QFETCH(QVariant, data);
        QFETCH(QString, stored);

        parser_strova5::convert_relay_setting(Rabbit_dl_status(modem, setting, success, 12),
                                              Dl_request(modem, TS, setting, data));
        const QVariant now = registry->get_setting(modem, "96.3.10");
        if (stored.isEmpty()) {
            QVERIFY(!now.isValid());
            QVERIFY(storage->saved.isEmpty());
        } else {
            QCOMPARE(json(now), stored);
            QCOMPARE(storage->saved.size(), 1); // saved to the setting table too
        }
    }
};

QTEST_GUILESS_MAIN(tst_parser_dl)
#include "tst_parser_dl.moc"
