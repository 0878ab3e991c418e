// Uplink decoding against the vectors of data/parser_ul.txt: every decoded record, its kind,
// time, indexes, OBIS codes, values and value types, and the commands reported as answered.

#include "logger.h"
#include "parser_strova5.h"
#include "ram_modems.h"
#include "storage_double.h"
#include "testsupport.h"

#include <QRegularExpression>
#include <QtTest>

using testsupport::hex_of;

namespace {

constexpr uint32_t T = 1700006700; // reception time of the vectors
constexpr uint32_t kModem = 4711;  // no settings in the registry
constexpr uint32_t kRelayModem = 4712;

QByteArray vec(const QString& text) { return testsupport::vector_bytes(text, T); }
QStringList items(const QString& field)
{
    return field == QLatin1String("-") ? QStringList() : testsupport::vector_text(field, T).split(QStringLiteral(" ; "));
}

// A value with its type: d: double, f: float, i: int, u: unsigned, s: text, b: bytes, x: binary.
QString render(const QVariant& v)
{
    const auto join = [](const QStringList& parts, char open, char close) {
        return QLatin1Char(open) + parts.join(QLatin1Char(',')) + QLatin1Char(close);
    };
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
                return QStringLiteral("x:") + hex_of(b);
        return QStringLiteral("b:") + QString::fromLatin1(b);
    }
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        QStringList parts;
        for (const QVariant& e : v.toList())
            parts << render(e);
        return join(parts, '[', ']');
    }
    case QMetaType::QVariantMap: {
        QStringList parts;
        const QVariantMap m = v.toMap();
        for (auto it = m.cbegin(); it != m.cend(); ++it)
            parts << it.key() + QLatin1Char(':') + render(it.value());
        return join(parts, '{', '}');
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

QStringList render(const Parser_ul_app& r)
{
    QStringList out;
    for (const Ul_data_record& d : r.ul_datas)
        out << QStringLiteral("D t=%1 ts=%2 i=%3/%4 ").arg(d.type).arg(d.ts).arg(d.index).arg(d.index_max) + render(d.values);
    for (const Ul_event_record& e : r.ul_events)
        out << QStringLiteral("E ts=%1 wt=%2 i=%3/%4 e=%5 log=%6 ")
                       .arg(e.ts).arg(e.worktime).arg(e.index).arg(e.index_max).arg(e.event).arg(obis_to_string(e.type)) +
                   render(e.values);
    for (const Ul_setting& s : r.ul_settings)
        out << QStringLiteral("S ") + s.key + QLatin1Char('=') + render(s.value) + (s.ts == r.ts_get ? "" : " (time?)");
    return out;
}

} // namespace

class tst_parser_ul : public QObject
{
    Q_OBJECT

    Storage_double storage;
    RAM_modems ram{QVariantMap(), nullptr};

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
        for (const Rabbit_dl_status& s : storage.statuses) {
            if (s.modem_id != modem || !s.success || s.cmd_id != 0)
                out << QStringLiteral("bad report %1 %2 %3").arg(s.modem_id).arg(s.success).arg(s.cmd_id);
            out << s.setting;
        }
        return out;
    }

private slots:
    void init() { storage.statuses.clear(); }

    void decode_data() { testsupport::vector_rows(VECTORS("parser_ul.txt"), "decode"); }
    void decode()
    {
        QFETCH(QStringList, f);
        const Parser_ul_app r = parse(vec(f[0]), f.value(4, QString::number(T)).toUInt());
        QCOMPARE(hex_of(QByteArray(1, char(r.header))), f[1]);
        QCOMPARE(render(r), items(f[2]));
        QCOMPARE(reports(), f[3] == "-" ? QStringList() : f[3].split(','));
    }

    void relay_state_data() { testsupport::vector_rows(VECTORS("parser_ul.txt"), "relay"); }
    void relay_state()
    {
        QFETCH(QStringList, f);
        const QVariant mode = f[0].startsWith('"') ? QVariant(f[0].mid(1, f[0].size() - 2)) : QVariant(f[0].toInt());
        ram.add_modem(kRelayModem, QVariantMap{{QStringLiteral("0.0.96.3.10.255_4"), mode}});
        const Parser_ul_app r = parse(vec(f[1]), T, kRelayModem);
        QVERIFY(!r.ul_settings.isEmpty());
        QCOMPARE(r.ul_settings.last().key, QStringLiteral("96.3.10"));
        QCOMPARE(r.ul_settings.last().value, QVariant(f[2]));
        // The relay text is no answer of its own: only the attribute, when it had a value.
        QVERIFY(!reports(kRelayModem).contains(QStringLiteral("96.3.10")));
    }

    void log_lines_data() { testsupport::vector_rows(VECTORS("parser_ul.txt"), "log"); }
    void log_lines()
    {
        QFETCH(QStringList, f);
        const int saved = log_get_level();
        log_set_level(f[1].toInt());
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(f[2]));
        parse(vec(f[0]));
        log_set_level(saved);
    }

    void time24_completion_data() { testsupport::vector_rows(VECTORS("parser_ul.txt"), "time24"); }
    void time24_completion()
    {
        QFETCH(QStringList, f);
        QCOMPARE(complete_time24(f[0].toUInt(), f[1].toLongLong()), f[2].toUInt());
    }

    void stringify_values_data() { testsupport::vector_rows(VECTORS("parser_ul.txt"), "stringify"); }
    void stringify_values()
    {
        QFETCH(QStringList, f);
        Ul_data_record record(254, T);
        for (const QString& item : items(f[1])) {
            OBIS code;
            QVERIFY(obis_from_string(item.section('=', 0, 0), code));
            const QString v = item.section('=', 1);
            record.values.insert(code, v.startsWith("s:") ? QVariant(v.mid(2)) : QVariant(v.toDouble()));
        }
        QCOMPARE(hex_of(parser_strova5::stringify_values(uint8_t(f[0].toUInt(nullptr, 16)), record)), hex_of(vec(f[2])));
    }

    // Property: what stringify_values writes decodes back to the same record.
    void stringify_values_decodes_back()
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

        // Whole values only, within one payload: 1 + (2 + 4 + 4) + 6 for each further one.
        Ul_data_record many(254, T);
        for (unsigned c = 1; c <= 60; ++c)
            many.values.insert(obis_pack(1, 0, c, 8, 0, 255), double(c));
        const QByteArray bytes = parser_strova5::stringify_values(0x31, many);
        QCOMPARE(bytes.size(), 251);
        QCOMPARE(hex_of(bytes.right(6)), QStringLiteral("52C00000A028")); // C=41, 41.0
    }

    void head_is_copied_and_no_storage_no_report()
    {
        Radio_ul_input in;
        in.modem_id = 77;
        in.ts_get = T;
        in.hw_type = "strova5";
        in.rssi = -120;
        in.last_dl_bs_busyness = 55;
        // A payload of 256 bytes is not a payload of 0 bytes.
        in.payload = vec("32 02 80 00000001") + QByteArray(249, '\0');
        const Parser_ul_app full = parser_strova5::parse_ul_app(in);
        QCOMPARE(full.modem_id, in.modem_id);
        QCOMPARE(full.hw_type, in.hw_type);
        QCOMPARE(full.rssi, in.rssi);
        QCOMPARE(full.last_dl_bs_busyness, in.last_dl_bs_busyness);
        QCOMPARE(full.ul_datas.size(), 1);

        SQL_Exchange* saved = SQL_Exchange::instance;
        SQL_Exchange::instance = nullptr;
        const Parser_ul_app r = parse(vec("EF 43 01"));
        SQL_Exchange::instance = saved;
        QCOMPARE(render(r), QStringList{"S hour_prf_need_ack=i:1"});
        QVERIFY(storage.statuses.isEmpty());
    }

    void tariff_headers_reach_the_tariff_codec()
    {
        int calendars = 0;
        for (const char* p : {"51 80 00 00 C0 7F 00 50 08 40", "F0 11 50 02", "F2 11 50 02", "51 80 00 00 C0 7F 00",
                              "52 80 00 00 C0 7F 00 50 08 40"}) {
            storage.statuses.clear();
            const QByteArray payload = vec(p);
            const Parser_ul_app r = parse(payload);
            const QVariantMap calendar = parser_strova5::tariff_from_ul(payload);
            QCOMPARE(r.ul_settings.size(), calendar.isEmpty() ? 0 : 1);
            if (!calendar.isEmpty()) {
                QCOMPARE(r.ul_settings[0].key, QStringLiteral("13.0.0"));
                QCOMPARE(r.ul_settings[0].value.toMap(), calendar);
                QCOMPARE(reports(), QStringList{"13.0.0"});
                ++calendars;
            }
        }
        QCOMPARE(calendars, 3);
    }
};

QTEST_GUILESS_MAIN(tst_parser_ul)
#include "tst_parser_ul.moc"
