// Uplink decoding, byte for byte: each row feeds one payload and compares every decoded
// record, its kind, time, indexes, OBIS codes, values and value types, and the commands
// reported as answered.

#include "parser_strova5.h"
#include "testsupport.h"
#include "ul_doubles.h"
#include "logger.h"

#include <QRegularExpression>
#include <QtTest>
#include <ctime>

namespace {

constexpr uint32_t T = 1700006700;       // reception time: five minutes past a whole UTC day
constexpr uint32_t kDay = 1700006400;    // that whole day
constexpr uint32_t kModem = 4711;        // no settings in the registry
constexpr uint32_t kRelayModem = 4712;   // its relay mode is filled in per test

// Tokens in vectors: {T-300}, {now-1000:3}, {1000}: a reception-time, clock or plain number,
// written big-endian into 4 bytes (or as many as after the colon) in payloads, and in
// decimal in expectations.
const QRegularExpression kToken(QStringLiteral("\\{(T|now|(?=\\d))([+-]?\\d+)?(?::(\\d))?\\}"));

int64_t token_value(const QRegularExpressionMatch& m)
{
    int64_t v = m.captured(1) == QLatin1String("T") ? T : m.captured(1) == QLatin1String("now") ? int64_t(std::time(nullptr)) : 0;
    return v + m.captured(2).toLongLong();
}

QByteArray vec(const QString& text)
{
    QString out = text;
    QRegularExpressionMatch m;
    while ((m = kToken.match(out)).hasMatch()) {
        const int bytes = m.captured(3).isEmpty() ? 4 : m.captured(3).toInt();
        const uint64_t v = uint64_t(token_value(m));
        QString hex;
        for (int i = bytes - 1; i >= 0; --i)
            hex += QStringLiteral("%1").arg((v >> (8 * i)) & 0xFF, 2, 16, QLatin1Char('0'));
        out.replace(m.capturedStart(), m.capturedLength(), hex);
    }
    return testsupport::hex(out.toLatin1().constData());
}

QString expect(const QString& text)
{
    QString out = text;
    QRegularExpressionMatch m;
    while ((m = kToken.match(out)).hasMatch())
        out.replace(m.capturedStart(), m.capturedLength(), QString::number(token_value(m)));
    return out;
}

QStringList expect(const QStringList& list)
{
    QStringList out;
    for (const QString& s : list)
        out << expect(s);
    return out;
}

// A value with its type: d: double, f: float, i: int, u: unsigned, s: text, b: bytes.
QString render(const QVariant& v)
{
    switch (int(v.userType())) {
    case QMetaType::Double: return QStringLiteral("d:") + QString::number(v.toDouble(), 'g', 12);
    case QMetaType::Float: return QStringLiteral("f:") + QString::number(double(v.toFloat()), 'g', 7);
    case QMetaType::Int: return QStringLiteral("i:") + QString::number(v.toInt());
    case QMetaType::UInt: return QStringLiteral("u:") + QString::number(v.toUInt());
    case QMetaType::QString: return QStringLiteral("s:") + v.toString();
    case QMetaType::QByteArray: {
        const QByteArray b = v.toByteArray();
        for (char c : b)
            if (c < 0x20 || c > 0x7E)
                return QStringLiteral("x:") + testsupport::hex_of(b);
        return QStringLiteral("b:") + QString::fromLatin1(b);
    }
    case QMetaType::QStringList: {
        QStringList parts;
        for (const QString& s : v.toStringList())
            parts << QStringLiteral("s:") + s;
        return QLatin1Char('[') + parts.join(QLatin1Char(',')) + QLatin1Char(']');
    }
    case QMetaType::QVariantList: {
        QStringList parts;
        for (const QVariant& e : v.toList())
            parts << render(e);
        return QLatin1Char('[') + parts.join(QLatin1Char(',')) + QLatin1Char(']');
    }
    case QMetaType::QVariantMap: {
        QStringList parts;
        const QVariantMap m = v.toMap();
        for (auto it = m.cbegin(); it != m.cend(); ++it)
            parts << it.key() + QLatin1Char(':') + render(it.value());
        return QLatin1Char('{') + parts.join(QLatin1Char(',')) + QLatin1Char('}');
    }
    default: return QStringLiteral("?%1:").arg(v.typeName()) + v.toString();
    }
}

QString render(const QMap<OBIS, QVariant>& values)
{
    QStringList parts;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        parts << obis_to_string(it.key()) + QLatin1Char('=') + render(it.value());
    return QLatin1Char('{') + parts.join(QLatin1Char(',')) + QLatin1Char('}');
}

QStringList render(const QList<Ul_data_record>& records)
{
    QStringList out;
    for (const Ul_data_record& r : records)
        out << QStringLiteral("t=%1 ts=%2 i=%3/%4 ").arg(r.type).arg(r.ts).arg(r.index).arg(r.index_max) +
                   render(r.values);
    return out;
}

QStringList render(const QList<Ul_event_record>& events)
{
    QStringList out;
    for (const Ul_event_record& e : events)
        out << QStringLiteral("ts=%1 wt=%2 i=%3/%4 e=%5 log=%6 ")
                       .arg(e.ts).arg(e.worktime).arg(e.index).arg(e.index_max).arg(e.event).arg(obis_to_string(e.type)) +
                   render(e.values);
    return out;
}

QStringList render(const QList<Ul_setting>& settings)
{
    QStringList out;
    for (const Ul_setting& s : settings)
        out << s.key + QLatin1Char('=') + render(s.value);
    return out;
}

} // namespace

class tst_parser_ul : public QObject
{
    Q_OBJECT

    Recording_storage* storage = nullptr;
    RAM_modems* ram = nullptr;

    Parser_ul_app parse(const QByteArray& payload, uint32_t ts_get = T, uint32_t modem = kModem)
    {
        Radio_ul_input in;
        in.modem_id = modem;
        in.ts_get = ts_get;
        in.payload = payload;
        return parser_strova5::parse_ul_app(in);
    }

    // The commands reported as answered, after checking the parts every report shares.
    QStringList reports(uint32_t modem = kModem)
    {
        QStringList out;
        for (const Rabbit_dl_status& s : storage->statuses) {
            if (s.modem_id != modem || !s.success || s.cmd_id != 0)
                out << QStringLiteral("bad report %1 %2 %3").arg(s.modem_id).arg(s.success).arg(s.cmd_id);
            out << s.setting;
        }
        return out;
    }

private slots:
    void initTestCase()
    {
        storage = new Recording_storage;
        ram = new RAM_modems(QVariantMap(), nullptr);
    }
    void cleanupTestCase()
    {
        delete ram;
        delete storage;
    }
    void init() { storage->statuses.clear(); }

    void data_records_data();
    void data_records();
    void event_records_data();
    void event_records();
    void settings_data();
    void settings();
    void relay_state_data();
    void relay_state();
    void log_lines_data();
    void log_lines();
    void time24_completion_data();
    void time24_completion();
    void stringify_values_data();
    void stringify_values();
    void stringify_values_decodes_back();
    void stringify_values_stays_within_one_payload();
    void head_is_copied_and_empty_payload_is_empty();
    void no_storage_no_report();
    void tariff_headers_reach_the_tariff_codec_data();
    void tariff_headers_reach_the_tariff_codec();
};

void tst_parser_ul::data_records_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<uint>("ts_get");
    QTest::addColumn<int>("header");
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<QStringList>("reports");

    const QStringList answer{"1.8.0", "94.7.0"};
    const QStringList arch{"get_arch_index"};
    const QString none = QStringLiteral("i=65535/65535");
    auto rec = [&](const char* head, const char* values) { return QStringList{expect(QString::fromLatin1(head) + QLatin1Char(' ') + values)}; };

    // Value records (0x31, 0x32).
    QTest::newRow("32 C=1 no time, value 0") << vec("32 02 00 00000000") << T << 0x32
        << rec("t=15 ts={T} i=65535/65535", "{1.0.1.7.0.255=d:0}") << QStringList();
    QTest::newRow("31 no time is an answer") << vec("31 02 80 00003039") << T << 0x31
        << rec("t=14 ts={T} i=65535/65535", "{1.0.1.8.0.255=d:12.345}") << answer;
    QTest::newRow("31 no time, reception on a whole day") << vec("31 02 80 00003039") << kDay << 0x31
        << rec("t=14 ts=1700006400 i=65535/65535", "{1.0.1.8.0.255=d:12.345}") << QStringList();
    QTest::newRow("31 day-end record") << vec("31 03 80 {1700006400} 00003039") << T << 0x31
        << rec("t=14 ts=1700006400 i=65535/65535", "{1.0.1.8.0.255=d:12.345}") << QStringList();
    QTest::newRow("31 current record") << vec("31 03 80 {1700006460} 00003039") << T << 0x31
        << rec("t=254 ts=1700006460 i=65535/65535", "{1.0.1.8.0.255=d:12.345}") << answer;
    QTest::newRow("31 export C=2 stored negated under C=1") << vec("31 04 00 000003E8") << T << 0x31
        << rec("t=14 ts={T} i=65535/65535", "{1.0.1.7.0.255=d:-1}") << answer;
    QTest::newRow("32 export C=24 read signed") << vec("32 30 00 FFFFFFFF") << T << 0x32
        << rec("t=15 ts={T} i=65535/65535", "{1.0.23.7.0.255=d:0.001}") << QStringList();
    QTest::newRow("32 D flag on C=2 is import, not export") << vec("32 04 80 000003E8") << T << 0x32
        << rec("t=15 ts={T} i=65535/65535", "{1.0.2.8.0.255=d:1}") << QStringList();
    QTest::newRow("32 phase angles, 15 bits each") << vec("32 A2 00 FFFF8002") << T << 0x32
        << rec("t=15 ts={T} i=65535/65535", "{1.0.81.7.10.255=d:462.014,1.0.81.7.21.255=d:0.028}") << QStringList();
    QTest::newRow("32 phase angles only at E=0") << vec("32 A2 02 00010001") << T << 0x32
        << rec("t=15 ts={T} i=65535/65535", "{1.0.81.7.1.255=d:65.537}") << QStringList();
    QTest::newRow("32 D flag with C=9 stays D=7") << vec("32 12 80 00000001") << T << 0x32
        << rec("t=15 ts={T} i=65535/65535", "{1.0.9.7.0.255=d:0.001}") << QStringList();
    QTest::newRow("32 E from bits 1-3, other bits ignored") << vec("32 02 F7 00000001") << T << 0x32
        << rec("t=15 ts={T} i=65535/65535", "{1.0.1.8.3.255=d:0.001}") << QStringList();
    QTest::newRow("32 value unsigned over 2^31") << vec("32 02 80 FFFFFFFF") << T << 0x32
        << rec("t=15 ts={T} i=65535/65535", "{1.0.1.8.0.255=d:4294967.295}") << QStringList();
    QTest::newRow("32 last time wins, cut record ends") << vec("32 03 80 {T-7200} 00000001 05 80 {T-3600} 00000002 06 00 0000")
        << T << 0x32 << rec("t=15 ts={T-3600} i=65535/65535", "{1.0.1.8.0.255=d:0.001,1.0.2.8.0.255=d:0.002}") << QStringList();
    QTest::newRow("32 second value of a code replaces the first") << vec("32 02 80 00000001 02 80 00000002") << T << 0x32
        << rec("t=15 ts={T} i=65535/65535", "{1.0.1.8.0.255=d:0.002}") << QStringList();
    QTest::newRow("32 device time a day and a second ahead") << vec("32 03 80 {T+86401} 00000001") << T << 0x32
        << rec("t=15 ts={T} i=65535/65535", "{1.0.1.8.0.255=d:0.001}") << QStringList();
    QTest::newRow("32 five record bytes are not begun") << vec("32 02 80 000000") << T << 0x32
        << rec("t=15 ts={T} i=65535/65535", "{}") << QStringList();
    QTest::newRow("31 header alone") << vec("31") << T << 0x31 << rec("t=14 ts={T} i=65535/65535", "{}") << answer;

    // Archive records.
    QTest::newRow("42 pairs of all three forms") << vec("42 AB CD {T-3600} 8188 00003039 4060030A 00000005 0100200700FF FFFFFF38")
        << T << 0x42 << rec("t=15 ts={T-3600} i=2748/13", "{0.0.96.3.10.255=u:5,1.0.1.8.0.255=d:12.345,1.0.32.7.0.255=d:-0.2}") << arch;
    QTest::newRow("42 time 0 dropped") << vec("42 00 10 00000000 8188 00000001") << T << 0x42 << QStringList() << QStringList();
    QTest::newRow("42 time equal to reception dropped") << vec("42 00 10 {T} 8188 00000001") << T << 0x42 << QStringList() << QStringList();
    QTest::newRow("42 time a day ahead kept") << vec("42 00 10 {T+86400} 8188 00000001") << T << 0x42
        << rec("t=15 ts={T+86400} i=1/0", "{1.0.1.8.0.255=d:0.001}") << arch;
    QTest::newRow("42 time a day and a second ahead dropped") << vec("42 00 10 {T+86401} 8188 00000001") << T << 0x42 << QStringList() << QStringList();
    QTest::newRow("42 time 732 days back kept") << vec("42 00 10 {T-63244800} 8188 00000001") << T << 0x42
        << rec("t=15 ts={T-63244800} i=1/0", "{1.0.1.8.0.255=d:0.001}") << arch;
    QTest::newRow("42 time 732 days and a second back dropped") << vec("42 00 10 {T-63244801} 8188 00000001") << T << 0x42 << QStringList() << QStringList();
    QTest::newRow("44 of 12 bytes: day record without values") << vec("44 00 10 {T-86400} 8188 00") << T << 0x44
        << rec("t=14 ts={T-86400} i=1/0", "{}") << arch;
    QTest::newRow("44 of 6 bytes") << vec("44 00 10 {0:3}") << T << 0x44 << QStringList() << QStringList();
    QTest::newRow("46 kind 13") << vec("46 FF F0 {T-86400} 8188 00000001") << T << 0x46
        << rec("t=13 ts={T-86400} i=4095/0", "{1.0.1.8.0.255=d:0.001}") << arch;
    QTest::newRow("48 kind 12") << vec("48 00 2F {T-86400} 8188 00000001") << T << 0x48
        << rec("t=12 ts={T-86400} i=2/15", "{1.0.1.8.0.255=d:0.001}") << arch;
    QTest::newRow("4A kind 16") << vec("4A 00 10 {T-86400} 8188 00000001") << T << 0x4A
        << rec("t=16 ts={T-86400} i=1/0", "{1.0.1.8.0.255=d:0.001}") << arch;
    QTest::newRow("40 reports 94.7.0 first, kind 254") << vec("40 00 10 {T-60} 8188 00000001") << T << 0x40
        << rec("t=254 ts={T-60} i=1/0", "{1.0.1.8.0.255=d:0.001}") << QStringList{"94.7.0", "get_arch_index"};
    QTest::newRow("40 short still reports 94.7.0") << vec("40 00 10 0000") << T << 0x40 << QStringList() << QStringList{"94.7.0"};
    QTest::newRow("40 with a rejected time reports only 94.7.0") << vec("40 00 10 00000000 8188 00000001") << T << 0x40
        << QStringList() << QStringList{"94.7.0"};
    QTest::newRow("42 third phase angle 350") << vec("42 00 10 {T-3600} 4851070A 0001D4C0 48510715 0003D090") << T << 0x42
        << rec("t=15 ts={T-3600} i=1/0", "{1.0.81.7.2.255=d:350,1.0.81.7.10.255=d:120,1.0.81.7.21.255=d:250}") << arch;
    QTest::newRow("42 third phase angle 220") << vec("42 00 10 {T-3600} 4851070A 000493E0 48510715 00030D40") << T << 0x42
        << rec("t=15 ts={T-3600} i=1/0", "{1.0.81.7.2.255=d:220,1.0.81.7.10.255=d:300,1.0.81.7.21.255=d:200}") << arch;
    QTest::newRow("42 third phase angle takes A, B, F of E=10") << vec("42 00 10 {T-3600} 020351070AFE 00002710 48510715 00004E20")
        << T << 0x42 << rec("t=15 ts={T-3600} i=1/0", "{1.0.81.7.21.255=d:20,2.3.81.7.2.254=d:330,2.3.81.7.10.254=d:10}") << arch;
    QTest::newRow("42 no third angle from one") << vec("42 00 10 {T-3600} 4851070A 00002710") << T << 0x42
        << rec("t=15 ts={T-3600} i=1/0", "{1.0.81.7.10.255=d:10}") << arch;
    QTest::newRow("42 pair whose value is cut is dropped") << vec("42 00 10 {T-3600} 8188 00000001 4060030A 0000") << T << 0x42
        << rec("t=15 ts={T-3600} i=1/0", "{1.0.1.8.0.255=d:0.001}") << arch;

    // Energy archive records (0x43).
    QTest::newRow("43 all fields") << vec("43 AB CF {T-3600} 0064 000004D2 FFFFFFFF 000001 FFFFFF") << T << 0x42
        << rec("t=15 ts={T-3600} i=2748/65535",
               "{1.0.1.6.0.255=d:0.1,1.0.1.8.0.255=d:1.234,1.0.2.8.0.255=d:-0.001,1.0.3.8.0.255=d:0.256,1.0.4.8.0.255=d:-0.256}")
        << arch;
    QTest::newRow("43 of 9 bytes, mask 3: demand only") << vec("43 00 13 {T-3600} 0064") << T << 0x42
        << rec("t=15 ts={T-3600} i=1/65535", "{1.0.1.6.0.255=d:0.1}") << arch;
    QTest::newRow("43 mask picks the fields") << vec("43 00 15 {T-3600} 0064 000004D2 000001") << T << 0x42
        << rec("t=15 ts={T-3600} i=1/65535", "{1.0.1.6.0.255=d:0.1,1.0.1.8.0.255=d:1.234,1.0.3.8.0.255=d:0.256}") << arch;
    QTest::newRow("43 reactive field cut") << vec("43 00 1C {T-3600} 0064 000001 FFFF") << T << 0x42
        << rec("t=15 ts={T-3600} i=1/65535", "{1.0.1.6.0.255=d:0.1,1.0.3.8.0.255=d:0.256}") << arch;
    QTest::newRow("43 mask 0") << vec("43 00 10 {T-3600} 0064") << T << 0x42 << rec("t=15 ts={T-3600} i=1/65535", "{}") << arch;
    QTest::newRow("43 time 0 dropped") << vec("43 00 1F 00000000 0064") << T << 0x42 << QStringList() << QStringList();
    QTest::newRow("43 short") << vec("43 00 1F 0000") << T << 0x42 << QStringList() << QStringList();

    // Single current values (0x7F): C from bits 3-5 (k) and 0-2 (m).
    const struct { const char* sel; const char* code; } currents[] = {
        {"81", "1.0.1.7.0.255"},   {"84", "1.0.4.7.0.255"},   {"8D", "1.0.29.7.0.255"}, {"96", "1.0.51.7.0.255"},
        {"BF", "1.0.152.7.0.255"}, {"80", "1.0.14.7.0.255"},  {"88", "1.0.81.7.10.255"}, {"90", "1.0.81.7.21.255"},
        {"98", "1.0.81.7.2.255"},  {"A0", "1.0.0.7.0.255"},  {"B8", "1.0.0.7.0.255"},
    };
    for (const auto& c : currents)
        QTest::addRow("7F current %s", c.sel) << vec(QStringLiteral("7F %1 {now-1000:3} FFFFFF").arg(c.sel)) << T << 0x40
            << rec("t=254 ts={now-1000} i=65535/65535", QStringLiteral("{%1=d:167772.15}").arg(c.code).toLatin1()) << QStringList();
    QTest::newRow("7F selector 00") << vec("7F 00 0000000000 01") << T << 0x7F << QStringList() << QStringList();
    QTest::newRow("7F of 7 bytes") << vec("7F 81 {now-1000:3} 0001") << T << 0x7F << QStringList() << QStringList();
    QTest::newRow("7F of 9 bytes") << vec("7F 81 {now-1000:3} 000001 00") << T << 0x7F << QStringList() << QStringList();

    // Compact energy packets (0x80 to 0xBF).
    const struct { const char* head; const char* code; } compact[] = {
        {"BB", "1.0.3.8.7.255"}, {"81", "1.0.1.8.0.255"}, {"8C", "1.0.4.8.1.255"},
        {"85", "1.0.9.8.0.255"}, {"80", "1.0.0.8.0.255"}, {"86", "1.0.0.8.0.255"}, {"BF", "1.0.0.8.7.255"},
    };
    for (const auto& c : compact)
        QTest::addRow("compact %s", c.head) << vec(QStringLiteral("%1 {now-1000:3} 000004D2").arg(c.head)) << T << 0x40
            << rec("t=254 ts={now-1000} i=65535/65535", QStringLiteral("{%1=d:1.234}").arg(c.code).toLatin1()) << QStringList();
    QTest::newRow("compact of 7 bytes") << vec("BB {now-1000:3} 000004") << T << 0xBB << QStringList() << QStringList();
    QTest::newRow("compact of 9 bytes") << vec("BB {now-1000:3} 000004D2 00") << T << 0xBB << QStringList() << QStringList();
    QTest::newRow("C0 is no compact packet") << vec("C0 {now-1000:3} 000004D2") << T << 0xC0 << QStringList() << QStringList();
}

void tst_parser_ul::data_records()
{
    QFETCH(QByteArray, payload);
    QFETCH(uint, ts_get);
    QFETCH(int, header);
    QFETCH(QStringList, records);
    QFETCH(QStringList, reports);

    const Parser_ul_app r = parse(payload, ts_get);
    QCOMPARE(int(r.header), header);
    QCOMPARE(render(r.ul_datas), records);
    QVERIFY(r.ul_events.isEmpty());
    QVERIFY(r.ul_settings.isEmpty());
    QCOMPARE(this->reports(), reports);
}

void tst_parser_ul::event_records_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("header");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("reports");

    const QStringList arch{"get_arch_index"};
    const QString plain = QStringLiteral("log=0.0.99.98.255.255");

    // Plain events (0x33).
    QTest::newRow("33 two events, time 0 is reception") << vec("33 {T-60} 05 0102 {0} 07 FFFF") << 0x33
        << expect(QStringList{"ts={T-60} wt=0 i=65535/65535 e=5 log=0.0.99.98.255.255 {0.0.0.0.0.255=i:258}",
                              "ts={T} wt=0 i=65535/65535 e=7 log=0.0.99.98.255.255 {0.0.0.0.0.255=i:65535}"})
        << QStringList();
    QTest::newRow("33 of 7 bytes") << vec("33 {T-60} 05 01") << 0x33 << QStringList() << QStringList();
    QTest::newRow("33 cut second event") << vec("33 {T-60} 05 0102 {T} 07 FF") << 0x33
        << expect(QStringList{"ts={T-60} wt=0 i=65535/65535 e=5 log=0.0.99.98.255.255 {0.0.0.0.0.255=i:258}"}) << QStringList();
    QTest::newRow("33 rejected time") << vec("33 {T+86401} 05 0102") << 0x33
        << expect(QStringList{"ts={T} wt=0 i=65535/65535 e=5 log=0.0.99.98.255.255 {0.0.0.0.0.255=i:258}"}) << QStringList();

    // Single events (0x7F): the time is taken as it comes.
    QTest::newRow("7F event of the current log") << vec("7F C0 {T-10} 1234") << 0x40
        << expect(QStringList{"ts={T-10} wt=0 i=65535/65535 e=4660 log=0.0.99.98.254.255 {}"}) << QStringList();
    QTest::newRow("7F event of the plain log") << vec("7F C1 {5} FFFF") << 0x40
        << QStringList{"ts=5 wt=0 i=65535/65535 e=65535 log=0.0.99.98.255.255 {}"} << QStringList();
    QTest::newRow("7F selector 40") << vec("7F 40 {T} 0001") << 0x7F << QStringList() << QStringList();

    // Event archives (0x4F).
    QTest::newRow("4F class 1: index over 12 bits, working time") << vec("4F FF F3 01 00001388 {T-1000} 01 {T-940} 02 {T-800} 03")
        << 0x4F
        << expect(QStringList{"ts={T-1000} wt=5000 i=4095/3 e=1 log=0.0.99.98.1.255 {}",
                              "ts={T-940} wt=5060 i=4096/3 e=2 log=0.0.99.98.1.255 {}",
                              "ts={T-800} wt=5200 i=4097/3 e=3 log=0.0.99.98.1.255 {}"})
        << arch;
    QTest::newRow("4F a first entry at time 0 leaves the count unanchored") << vec("4F 00 10 02 00001388 {0} 01 {T-900} 02 {T-800} 03")
        << 0x4F
        << expect(QStringList{"ts={T} wt=5000 i=1/0 e=1 log=0.0.99.98.2.255 {}",
                              "ts={T-900} wt=5000 i=2/0 e=2 log=0.0.99.98.2.255 {}",
                              "ts={T-800} wt=5100 i=3/0 e=3 log=0.0.99.98.2.255 {}"})
        << arch;
    QTest::newRow("4F working time wraps in 32 bits") << vec("4F 00 10 04 FFFFFFFF {T-900} 01 {T-800} 02") << 0x4F
        << expect(QStringList{"ts={T-900} wt=4294967295 i=1/0 e=1 log=0.0.99.98.4.255 {}",
                              "ts={T-800} wt=99 i=2/0 e=2 log=0.0.99.98.4.255 {}"})
        << arch;
    QTest::newRow("4F class 0, second entry cut") << vec("4F 00 10 00 00000064 {T-100} 09 0102 0304 {T-50} 0A") << 0x4F
        << expect(QStringList{"ts={T-100} wt=100 i=1/0 e=9 log=0.0.99.98.0.255 {0.0.12.7.0.255=i:258,0.0.12.7.4.255=i:772}"})
        << arch;
    QTest::newRow("4F class 3") << vec("4F 00 20 03 00000000 {T-100} 11 07") << 0x4F
        << expect(QStringList{"ts={T-100} wt=0 i=2/0 e=17 log=0.0.99.98.3.255 {0.0.96.12.4.255=i:7}"}) << arch;
    QTest::newRow("4F class 5") << vec("4F 00 20 05 00000000 {T-100} 11 07 08") << 0x4F
        << expect(QStringList{"ts={T-100} wt=0 i=2/0 e=17 log=0.0.99.98.5.255 {0.0.96.12.4.255=i:7,0.0.96.12.6.255=i:8}"})
        << arch;
    QTest::newRow("4F class 11") << vec("4F 00 20 0B 00000000 {T-100} 11 07 08") << 0x4F
        << expect(QStringList{"ts={T-100} wt=0 i=2/0 e=17 log=0.0.99.98.11.255 {0.0.96.12.2.255=i:7,0.0.96.12.4.255=i:8}"})
        << arch;
    QTest::newRow("4F class 10: value, no event code") << vec("4F 00 10 0A 00000000 {T-100} 0102 {T-50} FFFF") << 0x4F
        << expect(QStringList{"ts={T-100} wt=0 i=1/0 e=0 log=0.0.99.98.10.255 {0.0.96.3.0.255=i:258}",
                              "ts={T-50} wt=50 i=2/0 e=0 log=0.0.99.98.10.255 {0.0.96.3.0.255=i:65535}"})
        << arch;
    for (int cls : {6, 7, 8, 9})
        QTest::addRow("4F class %d", cls) << vec(QStringLiteral("4F 00 10 %1 00000000 {T-100} 2A").arg(cls, 2, 16, QLatin1Char('0')))
            << 0x4F << expect(QStringList{QStringLiteral("ts={T-100} wt=0 i=1/0 e=42 log=0.0.99.98.%1.255 {}").arg(cls)}) << arch;
    QTest::newRow("4F class 12: no record, still answered") << vec("4F 00 10 0C 00000000 {T-100} 2A 00 00") << 0x4F
        << QStringList() << arch;
    QTest::newRow("4F of 12 bytes") << vec("4F 00 10 01 00000000 {0}") << 0x4F << QStringList() << arch;
    QTest::newRow("4F below 8 bytes") << vec("4F 00 10 01 000000") << 0x4F << QStringList() << QStringList();
}

void tst_parser_ul::event_records()
{
    QFETCH(QByteArray, payload);
    QFETCH(int, header);
    QFETCH(QStringList, events);
    QFETCH(QStringList, reports);

    const Parser_ul_app r = parse(payload);
    QCOMPARE(int(r.header), header);
    QCOMPARE(render(r.ul_events), events);
    QVERIFY(r.ul_datas.isEmpty());
    QVERIFY(r.ul_settings.isEmpty());
    QCOMPARE(this->reports(), reports);
}

void tst_parser_ul::settings_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QStringList>("settings");
    QTest::addColumn<QStringList>("reports");

    auto one = [](const char* s) { return QStringList{QString::fromLatin1(s)}; };
    auto row = [](const char* name, const char* payload, const QStringList& settings, const QStringList& reports) {
        QTest::newRow(name) << vec(QString::fromLatin1(payload)) << settings << reports;
    };

    // Transparent answers.
    row("3B whole payload", "3B 01 ab", one("DTI=b:3B01AB"), one("DTI"));
    row("D2 after the header", "D2 01 ab", one("APDU=b:01AB"), one("APDU"));
    row("D3 header alone", "D3", one("HDLC=b:"), one("HDLC"));

    // Attribute answers (0xED).
    row("ED relay state, no stored mode", "ED 4060030A 03 11 01", {"0.0.96.3.10.255_3=u:1", "96.3.10=s:[5,1,1]"},
        one("0.0.96.3.10.255_3"));
    row("ED limiter 0 means none", "ED 9100 03 06 00000000", {"0.0.17.0.0.255_3=u:0", "17.0.0=i:65535"},
        one("0.0.17.0.0.255_3"));
    row("ED limiter value", "ED 9100 03 12 01F4", {"0.0.17.0.0.255_3=u:500", "17.0.0=u:500"}, one("0.0.17.0.0.255_3"));
    row("ED limiter without value", "ED 9100 03 01 00", one("17.0.0=i:65535"), {});
    row("ED limiter, other attribute", "ED 9100 02 12 01F4", one("0.0.17.0.0.255_2=u:500"), one("0.0.17.0.0.255_2"));
    row("ED limiter, A B F not tested", "ED 010211000007 03 12 01F4", {"1.2.17.0.0.7_3=u:500", "17.0.0=u:500"},
        one("1.2.17.0.0.7_3"));
    row("ED octet string", "ED 8188 02 09 02 4142", one("1.0.1.8.0.255_2=b:AB"), one("1.0.1.8.0.255_2"));
    row("ED octet string longer than the payload", "ED 8188 02 09 05 0102", {}, {});
    row("ED octet string without length", "ED 8188 02 09", {}, {});
    row("ED double-long signed", "ED 8188 02 05 FFFFFFFE", one("1.0.1.8.0.255_2=i:-2"), one("1.0.1.8.0.255_2"));
    row("ED double-long-unsigned", "ED 8188 02 06 FFFFFFFE", one("1.0.1.8.0.255_2=u:4294967294"), one("1.0.1.8.0.255_2"));
    row("ED integer signed", "ED 8188 02 0F FF", one("1.0.1.8.0.255_2=i:-1"), one("1.0.1.8.0.255_2"));
    row("ED unsigned", "ED 8188 02 11 FF", one("1.0.1.8.0.255_2=u:255"), one("1.0.1.8.0.255_2"));
    row("ED long signed", "ED 8188 02 10 FFFE", one("1.0.1.8.0.255_2=i:-2"), one("1.0.1.8.0.255_2"));
    row("ED long-unsigned", "ED 8188 02 12 FFFE", one("1.0.1.8.0.255_2=u:65534"), one("1.0.1.8.0.255_2"));
    row("ED long cut", "ED 8188 02 10 FF", {}, {});
    row("ED unknown tag", "ED 8188 02 03 01", {}, {});
    row("ED six-byte code", "ED 0100010800FE 04 11 05", one("1.0.1.8.0.254_4=u:5"), one("1.0.1.8.0.254_4"));
    row("ED without tag", "ED 8188 02", {}, {});
    row("ED of 3 bytes", "ED 8188", {}, {});
    row("ED code cut", "ED 01000108", {}, {});

    // Versions (0xEE).
    row("EE 00 short", "EE 00 0105 0200", one("version={hw:s:0.2.0.0,sw:s:0.1.0.5}"), one("version"));
    row("EE 00 of 9 bytes has no modem", "EE 00 1234 5678 800000", one("version={hw:s:5.6.7.8,sw:s:1.2.3.4}"),
        one("version"));
    row("EE 00 modem unsigned", "EE 00 1234 5678 80000000", one("version={hw:s:5.6.7.8,modem:u:2147483648,sw:s:1.2.3.4}"),
        one("version"));
    row("EE 01 serial", "EE 01 0A0B0C0D", one("sn=b:0a0b0c0d"), one("sn"));
    row("EE 02", "EE 02 0A0B0C0D", {}, {});
    row("EE of 5 bytes", "EE 00 0105 02", {}, {});

    // Device settings (0xEF).
    row("EF 09 calibration", "EF 09 03 AA", one("calibration_3=b:EF0903AA"), one("calibration"));
    row("EF 09 without number", "EF 09", one("calibration_0=b:EF09"), one("calibration"));
    row("EF 0B sensors", "EF 0B 0100 0200 0300 0400 05 07",
        one("sensors={adc_body:i:4,adc_cover:i:3,hall:i:5,sensor_body:i:2,sensor_cover:i:1,state_body:i:1,state_cover:i:1,"
            "state_hall:i:1}"),
        one("sensors"));
    row("EF 0B state bits", "EF 0B 0000 0000 0000 0000 00 FA",
        one("sensors={adc_body:i:0,adc_cover:i:0,hall:i:0,sensor_body:i:0,sensor_cover:i:0,state_body:i:1,state_cover:i:0,"
            "state_hall:i:0}"),
        one("sensors"));
    row("EF 0B of 11 bytes", "EF 0B 0100 0200 0300 0400 05", {}, {});
    row("EF 0E frequency", "EF 0E 01 8913 6400", one("qualityF={max:f:50.01,min:f:1}"), one("qualityF"));
    row("EF 0E voltage", "EF 0E 02 FFFF 0000", one("qualityU={max:f:655.35,min:f:0}"), one("qualityU"));
    row("EF 0E other kind", "EF 0E 03 8913 6400", {}, {});
    row("EF 0E of 6 bytes", "EF 0E 01 8913 64", {}, {});
    row("EF 0F of 15 bytes", "EF 0F 0E 01000000 02000000 FFFFFFFF",
        one("arch_info_14={index_head:u:1,index_send:u:2,sec_before_send:u:4294967295}"), {"arch_info_14", "set_arch_index"});
    row("EF 0F of 19 bytes", "EF 0F 0F 20 0001 0002 0003 0004 0005 FFFF 000000",
        one("arch_info_15={count_max:i:1,index:i:15,index_head:i:3,index_last:i:4,index_send:i:2,rec_size:i:32,"
            "sec_before_send:i:65535,sec_before_send_max:i:5}"),
        {"arch_info_15", "set_arch_index"});
    row("EF 0F of 20 bytes: two entries", "EF 0F 0E 20 0001 0002 0003 0F 10 0004 0005 0006 0000",
        {"arch_info_14={count_max:i:1,index:i:14,index_head:i:3,index_send:i:2,rec_size:i:32}",
         "arch_info_15={count_max:i:4,index:i:15,index_head:i:6,index_send:i:5,rec_size:i:16}"},
        {"arch_info_14", "arch_info_15", "set_arch_index"});
    row("EF 0F of 26 bytes: only two entries", "EF 0F 0E 20 0001 0002 0003 0F 10 0004 0005 0006 0C 08 0007 0008 0009",
        {"arch_info_14={count_max:i:1,index:i:14,index_head:i:3,index_send:i:2,rec_size:i:32}",
         "arch_info_15={count_max:i:4,index:i:15,index_head:i:6,index_send:i:5,rec_size:i:16}"},
        {"arch_info_14", "arch_info_15", "set_arch_index"});
    row("EF 0F of 27 bytes: three entries", "EF 0F 0E 20 0001 0002 0003 0F 10 0004 0005 0006 0C 08 0007 0008 0009 00",
        {"arch_info_14={count_max:i:1,index:i:14,index_head:i:3,index_send:i:2,rec_size:i:32}",
         "arch_info_15={count_max:i:4,index:i:15,index_head:i:6,index_send:i:5,rec_size:i:16}",
         "arch_info_12={count_max:i:7,index:i:12,index_head:i:9,index_send:i:8,rec_size:i:8}"},
        {"arch_info_14", "arch_info_15", "arch_info_12", "set_arch_index"});
    row("EF 0F of 14 bytes", "EF 0F 0E 01000000 02000000 FFFFFF", {}, {});
    row("EF 11 three bytes", "EF 11 010203", one("display=u:66051"), one("display"));
    row("EF 11 four bytes", "EF 11 FFFFFFFF", one("display=u:4294967295"), one("display"));
    row("EF 11 of 7 bytes", "EF 11 0102030405", {}, {});
    row("EF 12 mask 05 00", "EF 12 0500", one("event_filter=[i:0,i:2]"), one("event_filter"));
    row("EF 12 mask high bit", "EF 12 0080", one("event_filter=[i:15]"), one("event_filter"));
    row("EF 12 of 18 bytes, first bit", "EF 12 80 000000000000000000000000000000", one("event_filter=[i:0]"),
        one("event_filter"));
    row("EF 12 of 18 bytes, bits 9 and 127", "EF 12 00 40 0000000000000000000000000001", one("event_filter=[i:9,i:127]"),
        one("event_filter"));
    row("EF 12 of 5 bytes", "EF 12 050000", {}, {});
    row("EF 17 pulse output", "EF 17 01 02 E803 D007",
        one("pulse_output={freq0:i:1000,freq1:i:2000,type0:i:1,type1:i:2}"), one("pulse_output"));
    row("EF 17 of 7 bytes", "EF 17 01 02 E803 D0", {}, {});
    row("EF 1B one code, then the end", "EF 1B 8881 0000 78A0", one("display_auto=[s:1.0.1.8.0.255]"),
        one("display_auto"));
    row("EF 1B two codes", "EF 1B 8881 78A0", one("display_auto=[s:1.0.1.8.0.255,s:1.0.32.7.0.255]"), one("display_auto"));
    row("EF 1B not a 2-byte form ends", "EF 1B 8881 8801", one("display_auto=[s:1.0.1.8.0.255]"), one("display_auto"));
    row("EF 1B empty", "EF 1B", one("display_auto=[]"), one("display_auto"));
    row("EF 1B odd length", "EF 1B 8881 00", {}, {});
    row("EF 1C two groups", "EF 1C 02 8188 4060030A 01 A078 00",
        one("display_manual=[s:0.0.0.0.0.0,s:1.0.1.8.0.255,s:0.0.96.3.10.255,s:0.0.0.0.0.0,s:1.0.32.7.0.255]"),
        one("display_manual"));
    row("EF 1C zero code ends", "EF 1C 03 8188 000000000000 8288",
        one("display_manual=[s:0.0.0.0.0.0,s:1.0.1.8.0.255]"), one("display_manual"));
    row("EF 1C code cut", "EF 1C 02 8188 4060", one("display_manual=[s:0.0.0.0.0.0,s:1.0.1.8.0.255]"),
        one("display_manual"));
    row("EF 1C count without a code", "EF 1C 01 81", one("display_manual=[s:0.0.0.0.0.0]"), one("display_manual"));
    row("EF 1C last byte alone", "EF 1C 01", one("display_manual=[]"), one("display_manual"));
    row("EF 1D fcfix", "EF 1D 01 02 03 0000C03F", one("fcfix=[i:1,i:2,i:3,f:1.5]"), one("fcfix"));
    row("EF 1D of 8 bytes", "EF 1D 01 02 03 0000C0", {}, {});
    row("EF 41", "EF 41 0A00 FFFF", one("sec_send_to_display=[u:10,u:65535]"), one("sec_send_to_display"));
    row("EF 41 of 5 bytes", "EF 41 0A00 14", {}, {});
    row("EF 43", "EF 43 01", one("hour_prf_need_ack=i:1"), one("hour_prf_need_ack"));
    row("EF 43 of 2 bytes", "EF 43", {}, {});
    row("EF unknown", "EF 55 01", {}, {});
    row("EF alone", "EF", {}, {});

    // Reporting period (0xF1).
    row("F1 period", "F1 01 5E 5880 0280 0200 1286 FF",
        one("94.7.5={OBIS:[s:43.7.0,s:1.8.0,s:1.7.0,s:9.7.3],aligment:i:3,need_send:i:1,period:i:21}"), one("94.7.5"));
    row("F1 C=44 written 43 only with D=7", "F1 FF F0 5800 0880 5A80 10FE 00",
        one("94.7.5={OBIS:[s:43.7.0,s:4.8.0,s:45.7.0,s:8.8.7],aligment:i:0,need_send:i:0,period:i:4095}"), one("94.7.5"));
    row("F1 of 11 bytes", "F1 01 5E 5880 0280 0200 1286", {}, {});

    // Not in the table.
    row("unknown header", "50 01 02 03", {}, {});
}

void tst_parser_ul::settings()
{
    QFETCH(QByteArray, payload);
    QFETCH(QStringList, settings);
    QFETCH(QStringList, reports);

    const Parser_ul_app r = parse(payload);
    QCOMPARE(int(r.header), int(uint8_t(payload.at(0))));
    QCOMPARE(render(r.ul_settings), settings);
    for (const Ul_setting& s : r.ul_settings)
        QCOMPARE(s.ts, T);
    QVERIFY(r.ul_datas.isEmpty());
    QVERIFY(r.ul_events.isEmpty());
    QCOMPARE(this->reports(), reports);
}

void tst_parser_ul::relay_state_data()
{
    QTest::addColumn<QVariant>("mode");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("text");

    QTest::newRow("stored 2, on") << QVariant(2) << vec("ED 4060030A 03 11 01") << "[2,1,1]";
    QTest::newRow("stored 9 is out of range, 4 is no state") << QVariant(9) << vec("ED 4060030A 03 11 04") << "[5,0,0]";
    QTest::newRow("stored 6 is the highest mode") << QVariant(6) << vec("ED 4060030A 03 11 00") << "[6,0,0]";
    QTest::newRow("stored as text") << QVariant(QStringLiteral("3")) << vec("ED 4060030A 03 11 01") << "[3,1,1]";
    QTest::newRow("no value reads as off") << QVariant(1) << vec("ED 4060030A 03 03 01") << "[1,0,0]";
    QTest::newRow("A, B and F are not tested") << QVariant(0) << vec("ED 01026003 0A00 03 12 0001") << "[0,1,1]";
}

void tst_parser_ul::relay_state()
{
    QFETCH(QVariant, mode);
    QFETCH(QByteArray, payload);
    QFETCH(QString, text);

    ram->add_modem(kRelayModem, QVariantMap{{QStringLiteral("0.0.96.3.10.255_4"), mode}});
    const Parser_ul_app r = parse(payload, T, kRelayModem);
    QVERIFY(!r.ul_settings.isEmpty());
    QCOMPARE(r.ul_settings.last().key, QStringLiteral("96.3.10"));
    QCOMPARE(r.ul_settings.last().value, QVariant(text));
    // The relay text is no answer of its own: only the attribute, when it had a value.
    QVERIFY(!reports(kRelayModem).contains(QStringLiteral("96.3.10")));
}

void tst_parser_ul::log_lines_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("pattern");

    QTest::newRow("ED integer missing") << vec("ED 8188 02 11") << 1 << "error len";
    QTest::newRow("EE unknown") << vec("EE 05 0102030405") << 1 << "unknow sub_header EE050102030405";
    QTest::newRow("EF unknown") << vec("EF 55 01") << 1 << "unknow sub header EF5501";
    QTest::newRow("EF 11 four bytes") << vec("EF 11 00000102") << 1 << "display 4 258 from 4711";
    QTest::newRow("F1 length") << vec("F1 01") << 1 << "wrong length 2$";
    QTest::newRow("4F class 10") << vec("4F 00 10 0A 00000000 {1000} 0102") << 5 << "DLMS_ARCH_event_IO 4711 1000 258";
    QTest::newRow("7F current") << vec("7F 81 {now-1000:3} 000001") << 6 << "add curr";
    QTest::newRow("7F event") << vec("7F C1 {1000} 0001") << 6 << "add event";
    QTest::newRow("compact energy") << vec("81 {now-1000:3} 00000001") << 6 << "add integr";
}

void tst_parser_ul::log_lines()
{
    QFETCH(QByteArray, payload);
    QFETCH(int, level);
    QFETCH(QString, pattern);

    const int saved = log_get_level();
    log_set_level(level);
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(pattern));
    parse(payload);
    log_set_level(saved);
}

void tst_parser_ul::time24_completion_data()
{
    QTest::addColumn<uint>("t24");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<uint>("expected");

    const qint64 now = 1700000000;
    const uint floor = uint(now - 15768000);
    QTest::newRow("0 completes to the first multiple past the floor") << 0u << now << 1694498816u;
    QTest::newRow("a recent time") << uint((now - 1000) & 0xFFFFFF) << now << uint(now - 1000);
    QTest::newRow("a time just ahead of the clock") << uint((now + 600) & 0xFFFFFF) << now << uint(now + 600);
    QTest::newRow("exactly half a year back is kept") << (floor & 0xFFFFFF) << now << floor;
    QTest::newRow("a second more goes forward") << ((floor - 1) & 0xFFFFFF) << now << floor - 1 + 16777216u;
    QTest::newRow("clock at 0 leaves the time") << 0xFFFFFFu << qint64(0) << 0xFFFFFFu;
    QTest::newRow("clock before mid-1970 leaves the time") << 5u << qint64(15767999) << 5u;
    QTest::newRow("clock before 1970 leaves the time") << 7u << qint64(-100) << 7u;
    QTest::newRow("clock at the half year") << 0u << qint64(15768000) << 0u;
    QTest::newRow("clock a second later") << 0u << qint64(15768001) << 16777216u;
}

void tst_parser_ul::time24_completion()
{
    QFETCH(uint, t24);
    QFETCH(qint64, now);
    QFETCH(uint, expected);
    QCOMPARE(complete_time24(t24, now), expected);
}

void tst_parser_ul::stringify_values_data()
{
    QTest::addColumn<int>("header");
    QTest::addColumn<QVariantMap>("values"); // OBIS text -> value
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("one value") << 0x31 << QVariantMap{{"1.0.1.8.0.255", 1.5}} << vec("31 03 C0 {T} 000005DC");
    QTest::newRow("second value has no time, D=7 sent as such")
        << 0x32 << QVariantMap{{"1.0.1.8.0.255", 1.5}, {"1.0.2.7.1.255", -2.0}} << vec("32 03 C0 {T} 000005DC 04 42 FFFFF830");
    QTest::newRow("other D written as 7") << 0x31 << QVariantMap{{"1.0.1.6.3.255", 0.001}} << vec("31 03 46 {T} 00000001");
    QTest::newRow("C over 127 and E over 7 masked") << 0x31 << QVariantMap{{"1.0.200.8.9.255", 1.0}} << vec("31 91 C2 {T} 000003E8");
    QTest::newRow("text value") << 0x31 << QVariantMap{{"1.0.1.8.0.255", QStringLiteral("2.5")}} << vec("31 03 C0 {T} 000009C4");
    QTest::newRow("negative truncated toward zero") << 0x31 << QVariantMap{{"1.0.1.8.0.255", -0.0015}} << vec("31 03 C0 {T} FFFFFFFF");
    QTest::newRow("low 32 bits of a large value") << 0x31 << QVariantMap{{"1.0.1.8.0.255", 5e6}} << vec("31 03 C0 {T} 2A05F200");
    QTest::newRow("empty record") << 0x31 << QVariantMap() << vec("31");
}

void tst_parser_ul::stringify_values()
{
    QFETCH(int, header);
    QFETCH(QVariantMap, values);
    QFETCH(QByteArray, bytes);

    Ul_data_record record(254, T);
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        OBIS code;
        QVERIFY(obis_from_string(it.key(), code));
        record.values.insert(code, it.value());
    }
    QCOMPARE(testsupport::hex_of(parser_strova5::stringify_values(uint8_t(header), record)), testsupport::hex_of(bytes));
}

void tst_parser_ul::stringify_values_decodes_back()
{
    Ul_data_record record(15, T - 3600);
    for (unsigned c = 1; c <= 8; ++c)
        for (unsigned e = 0; e < 4; ++e)
            record.values.insert(obis_pack(1, 0, c, 8, e, 255), c * 1000.0 + e + 0.125);
    record.values.insert(obis_pack(1, 0, 14, 7, 0, 255), 50.01);
    record.values.insert(obis_pack(1, 0, 32, 7, 0, 255), 229.875);

    const Parser_ul_app r = parse(parser_strova5::stringify_values(0x32, record));
    QCOMPARE(r.ul_datas.size(), 1);
    QCOMPARE(r.ul_datas[0].ts, record.ts);
    QCOMPARE(r.ul_datas[0].type, 15u);
    QCOMPARE(render(r.ul_datas[0].values), render(record.values));
}

void tst_parser_ul::stringify_values_stays_within_one_payload()
{
    Ul_data_record record(254, T);
    for (unsigned c = 1; c <= 60; ++c)
        record.values.insert(obis_pack(1, 0, c, 8, 0, 255), double(c));
    const QByteArray bytes = parser_strova5::stringify_values(0x31, record);
    // 1 header + (2 + 4 + 4) for the first value + 6 for each further one: 41 whole values.
    QCOMPARE(bytes.size(), 251);
    QCOMPARE(testsupport::hex_of(bytes.right(6)), QStringLiteral("52C00000A028")); // C=41, 41.0
}

void tst_parser_ul::head_is_copied_and_empty_payload_is_empty()
{
    Radio_ul_input in;
    in.modem_id = 77;
    in.ts_get = T;
    in.hw_type = "strova5";
    in.rssi = -120;
    in.last_dl_bs_busyness = 55;
    // A payload of 256 bytes is not a payload of 0 bytes.
    in.payload = QByteArray(1, char(0x32)) + vec("02 80 00000001") + QByteArray(249, '\0');
    const Parser_ul_app full = parser_strova5::parse_ul_app(in);
    QCOMPARE(full.modem_id, in.modem_id);
    QCOMPARE(full.hw_type, in.hw_type);
    QCOMPARE(full.rssi, in.rssi);
    QCOMPARE(full.last_dl_bs_busyness, in.last_dl_bs_busyness);
    QCOMPARE(full.header, uint8_t(0x32));
    QCOMPARE(full.ul_datas.size(), 1);
    QCOMPARE(full.ul_datas[0].values.value(obis_pack(1, 0, 1, 8, 0, 255)).toDouble(), 0.001);

    in.payload.clear();
    const Parser_ul_app empty = parser_strova5::parse_ul_app(in);
    QCOMPARE(empty.header, uint8_t(0));
    QVERIFY(empty.ul_datas.isEmpty() && empty.ul_events.isEmpty() && empty.ul_settings.isEmpty());
}

void tst_parser_ul::no_storage_no_report()
{
    SQL_Exchange* saved = SQL_Exchange::instance;
    SQL_Exchange::instance = nullptr;
    const Parser_ul_app r = parse(vec("EF 43 01"));
    SQL_Exchange::instance = saved;
    QCOMPARE(render(r.ul_settings), QStringList{"hour_prf_need_ack=i:1"});
    QVERIFY(storage->statuses.isEmpty());
}

void tst_parser_ul::tariff_headers_reach_the_tariff_codec_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("calendar");

    QTest::newRow("51") << vec("51 80 00 00 C0 7F 00 50 08 40") << true;
    QTest::newRow("F0") << vec("F0 11 50 02") << true;
    QTest::newRow("F2") << vec("F2 11 50 02") << true;
    QTest::newRow("51 without seasons") << vec("51 80 00 00 C0 7F 00") << false;
    QTest::newRow("52 is no tariff header") << vec("52 80 00 00 C0 7F 00 50 08 40") << false;
}

void tst_parser_ul::tariff_headers_reach_the_tariff_codec()
{
    QFETCH(QByteArray, payload);
    QFETCH(bool, calendar);

    const Parser_ul_app r = parse(payload);
    QCOMPARE(int(r.header), int(uint8_t(payload.at(0))));
    if (!calendar) {
        QVERIFY(r.ul_settings.isEmpty());
        return;
    }
    QCOMPARE(r.ul_settings.size(), 1);
    QCOMPARE(r.ul_settings[0].key, QStringLiteral("13.0.0"));
    QCOMPARE(r.ul_settings[0].value.toMap(), parser_strova5::tariff_from_ul(payload));
    QVERIFY(!r.ul_settings[0].value.toMap().isEmpty());
    QCOMPARE(reports(), QStringList{"13.0.0"});
}

QTEST_GUILESS_MAIN(tst_parser_ul)
#include "tst_parser_ul.moc"
