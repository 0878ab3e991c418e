// Command encoding: the exact bytes each request puts on the air, the state it leaves with,
// the rights it needs, and the requests that must not reach a meter at all.
// Vectors: data/parser_dl.txt.
#include "log_limiter.h"
#include "parser_strova5.h"
#include "ram_modems.h"
#include "storage_double.h"
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
const QStringList CONTROL{"control"};

uint32_t modem_of(const QString& f) { return f == "old" ? OLD_SW : f == "new" ? NEW_SW : f.toUInt(); }
QStringList rights_of(const QString& f) { return f == "-" ? QStringList() : f == "all" ? ALL_RIGHTS : f.split(','); }

// Whole JSON numbers as integers, as the API's callers pass them; a number written with a point
// or an exponent stays a double.
QVariant typed(const QVariant& v, bool top_double = false)
{
    if (v.userType() == QMetaType::Double && !top_double && v.toDouble() == qint64(v.toDouble()))
        return qint64(v.toDouble()) == int(v.toDouble()) ? QVariant(int(v.toDouble())) : QVariant(qlonglong(v.toDouble()));
    if (v.userType() == QMetaType::QVariantList) {
        QVariantList out;
        for (const QVariant& e : v.toList())
            out << typed(e);
        return out;
    }
    if (v.userType() == QMetaType::QVariantMap) {
        QVariantMap out = v.toMap();
        for (auto it = out.begin(); it != out.end(); ++it)
            it.value() = typed(it.value());
        return out;
    }
    return v;
}
QVariant data_of(const QString& f)
{
    if (f == "-")
        return QVariant();
    const QVariant v = QJsonDocument::fromJson(("[" + f + "]").toUtf8()).toVariant().toList().value(0);
    return typed(v, f.contains('.') && !f.startsWith('"') && !f.startsWith('[') && !f.startsWith('{'));
}
// Hex, where a trailing "..N" pads with zero bytes up to N bytes.
QByteArray payload_of(const QString& f)
{
    if (f == "-")
        return QByteArray();
    const int dots = f.indexOf("..");
    QByteArray out = hex(f.left(dots < 0 ? f.size() : dots));
    if (dots >= 0)
        out.append(QByteArray(f.mid(dots + 2).toInt() - out.size(), '\0'));
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
    Storage_double* storage = nullptr;

    static Stringify_dl_app encode(uint32_t modem, const QString& setting, const QVariant& data, const QStringList& rights)
    {
        return parser_strova5::stringify_dl_app(Dl_request(modem, TS, setting, data), rights);
    }
    static void rows(const char* section) { testsupport::vector_rows(VECTORS("parser_dl.txt"), section); }

private slots:
    // Every refusal's line is looked for, however many come a second.
    void initTestCase() { log_detail::limited_burst = 1 << 30; }
    void init()
    {
        registry = new RAM_modems(QVariantMap(), nullptr);
        storage = new Storage_double;
        storage->encode = true;
        registry->add_modem(OLD_SW, {{"version", QVariantMap{{"sw", "2.1.2.0"}}}});
        registry->add_modem(NEW_SW, {{"version", QVariantMap{{"sw", "1.0.4.0"}}}});
    }
    void cleanup()
    {
        delete storage;
        delete registry;
    }

    void payloads_data() { rows("payload"); }
    void payloads()
    {
        QFETCH(QStringList, f);
        const uint32_t modem = modem_of(f[0]);
        const bool is_text = f[4].startsWith("text:");
        const Stringify_dl_app r = encode(modem, f[1], data_of(f[2]), rights_of(f[3]));
        if (is_text)
            QCOMPARE(QString::fromLatin1(r.payload), f[4].mid(5));
        else
            QCOMPARE(hex_of(r.payload), hex_of(payload_of(f[4])));
        QCOMPARE(r.state, f[5].toUInt());
        QCOMPARE(r.payload_is_text, is_text);
        QCOMPARE(r.setting, f[6] == "=" ? f[1] : f[6]);
        QCOMPARE(r.modem_id, modem);
        QCOMPARE(r.ts, TS);
        QCOMPARE(r.cmd_id, 0u);
        QVERIFY(storage->commands.isEmpty());
    }

    // A missing right, or data that cannot be encoded faithfully: nothing on the air.
    void refused_data() { rows("refused"); }
    void refused()
    {
        QFETCH(QStringList, f);
        QStringList rights = rights_of(f[3]);
        if (f[3] == "all") {
            rights << "_b_admin";
            // The refusal is logged, so an operator sees why the command never left.
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression("\\(Exc\\).*nothing to send"));
        }
        const Stringify_dl_app r = encode(modem_of(f[0]), f[1], data_of(f[2]), rights);
        QCOMPARE(r.state, 4u);
        QCOMPARE(hex_of(r.payload), QString());
        QVERIFY(!r.payload_is_text);
        QVERIFY(storage->commands.isEmpty());
        QVERIFY(storage->uplinks.isEmpty());
    }

    // ---- side effects on the registry

    void settings_written_by_encoding()
    {
        // "0.8.4" without data on new firmware: done here, the period is recorded and saved.
        Stringify_dl_app r = encode(NEW_SW, "0.8.4", QVariant(), {});
        QCOMPARE(r.state, 3u);
        QVERIFY(r.payload.isEmpty());
        QCOMPARE(registry->get_setting(NEW_SW, "0.8.4").toInt(), 60);
        QCOMPARE(storage->saved(), QStringList{"0.8.4"});

        // On old firmware nothing happens at all.
        r = encode(OLD_SW, "0.8.4", QVariant(), {});
        QCOMPARE(r.state, 4u);
        QVERIFY(!registry->get_setting(OLD_SW, "0.8.4").isValid());

        // Old-firmware relay without numbers: done here; the default state is recorded once.
        r = encode(OLD_SW, "96.3.10", QVariant(), CONTROL);
        QCOMPARE(r.state, 3u);
        QVERIFY(r.payload.isEmpty());
        QCOMPARE(json(registry->get_setting(OLD_SW, "96.3.10")), QString("[2,1,1]"));
        QCOMPARE(storage->saved().size(), 2);

        registry->slot_set_setting(OLD_SW, "96.3.10", "[1,0,0]", false);
        r = encode(OLD_SW, "96.3.10", "", CONTROL);
        QCOMPARE(r.state, 3u);
        QCOMPARE(json(registry->get_setting(OLD_SW, "96.3.10")), QString("[1,0,0]"));
        QCOMPARE(storage->saved().size(), 2);
        QVERIFY(storage->commands.isEmpty());
    }

    // The relay read of new firmware queues its own second command through storage.
    void relay_read_reenters_storage()
    {
        const Stringify_dl_app r = encode(NEW_SW, "96.3.10", "", CONTROL);
        QCOMPARE(storage->commands.size(), 1);
        const auto& call = storage->commands[0];
        QCOMPARE(call.modem, NEW_SW);
        QCOMPARE(call.rights, CONTROL);
        QCOMPARE(call.setting, QString("0.0.96.3.10.255_4"));
        QVERIFY(!call.data.isValid());
        QCOMPARE(hex_of(call.encoded.payload), QString("ED4060030A04"));
        QCOMPARE(call.encoded.state, 1u);
        // Then the relay attribute is read, not written with the empty text.
        QCOMPARE(r.setting, QString("0.0.96.3.10.255_3"));
        QCOMPARE(hex_of(r.payload), QString("ED4060030A03"));
        QCOMPARE(r.state, 1u);
        QVERIFY(!r.data.isValid());

        // Relay writes queue nothing.
        storage->commands.clear();
        encode(NEW_SW, "96.3.10", "1", CONTROL);
        encode(NEW_SW, "96.3.10", "1,0,1", CONTROL);
        encode(OLD_SW, "96.3.10", QVariant(), CONTROL);
        encode(NEW_SW, "96.3.10", QVariant(), {"settings"});
        QVERIFY(storage->commands.isEmpty());

        // Without storage the read still goes out.
        delete storage;
        storage = nullptr;
        QCOMPARE(hex_of(encode(NEW_SW, "96.3.10", QVariant(), CONTROL).payload), QString("ED4060030A03"));
    }

    void is_new_sw_data() { rows("firmware"); }
    void is_new_sw()
    {
        QFETCH(QStringList, f);
        const uint32_t modem = 7001;
        const bool is_new = f[1] == "1";
        if (f[0] != "-")
            registry->add_modem(modem, {{"version", QVariantMap{{"sw", data_of(f[0])}}}});
        QCOMPARE(parser_strova5::is_new_sw(modem), is_new);
        // Every gate follows it: old firmware reads the calendar with EF 04.
        QCOMPARE(hex_of(encode(modem, "13.0.0", QVariant(), {"settings"}).payload), QString(is_new ? "51" : "EF04"));
        delete registry;
        registry = nullptr;
        QVERIFY(parser_strova5::is_new_sw(OLD_SW)); // no registry: new
    }

    void convert_relay_setting_data() { rows("relay"); }
    void convert_relay_setting()
    {
        QFETCH(QStringList, f);
        const uint32_t modem = modem_of(f[0]);
        parser_strova5::convert_relay_setting(Rabbit_dl_status(modem, f[2], f[1] == "1", 12),
                                              Dl_request(modem, TS, f[2], data_of(f[3])));
        const QVariant now = registry->get_setting(modem, "96.3.10");
        if (f[4] == "-") {
            QVERIFY(!now.isValid());
            QVERIFY(storage->uplinks.isEmpty());
        } else {
            QCOMPARE(json(now), f[4]);
            QCOMPARE(storage->saved().size(), 1); // saved to the setting table too
        }
    }
};

QTEST_GUILESS_MAIN(tst_parser_dl)
#include "tst_parser_dl.moc"
