// Hostile input for the reports: the metering builder and the period detection on generated
// rows (odd columns, NULLs, huge, negative and non-finite values, any order), and random query
// items through every report and diagnostics handler over a storage that answers such rows.
// Nothing may crash or read out of range, and no NaN or infinity may reach an answer.
#include "api_controller.h"
#include "api_reports.h"
#include "ram_modems.h"
#include "storage_double.h"
#include "testsupport.h"

#include <QJsonDocument>
#include <QRandomGenerator>
#include <QtTest>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {

QRandomGenerator rng(20261207);

QVariant random_number()
{
    static const double inf = std::numeric_limits<double>::infinity();
    static const double odd[] = {0.0,  -0.0, 1e308,   -1e308, std::nan(""), inf,    -inf,
                                 4294967295.0, 4294967296.0, -1.0, 65535.0, 86400.0, 9.3e18, 0.002};
    switch (rng.bounded(6)) {
    case 0:
        return odd[rng.bounded(int(std::size(odd)))];
    case 1:
        return QVariant();
    case 2:
        return QString::fromLatin1(QByteArray::number(rng.bounded(-100000, 100000)) +
                                   (rng.bounded(2) ? "x" : ""));
    case 3:
        return uint(rng.generate());
    case 4:
        return int(rng.generate());
    default:
        return rng.generateDouble() * 1e6 - 5e5;
    }
}

QString random_column()
{
    static const char* const names[] = {"type",  "ts",     "ts_get",    "index",    "index_max",  "modem_id",
                                        "OBIS_ext", "ext", "event", "worktime", "value_old", "OBIS_",
                                        "OBIS_1_8", "OBIS_x_8_0", "obis_1_8_0", "OBIS_99999999999_8_0"};
    if (rng.bounded(2)) return QLatin1String(names[rng.bounded(int(std::size(names)))]);
    return QStringLiteral("OBIS_%1_%2_%3").arg(rng.bounded(300)).arg(rng.bounded(12)).arg(rng.bounded(300));
}

QVariantMap random_row()
{
    static const int types[] = {12, 13, 14, 15, 16, 49, 50, 64, 66, 68, 70, 72, 74, 254, 0, 255};
    QVariantMap row;
    if (rng.bounded(8)) row.insert("type", types[rng.bounded(int(std::size(types)))]);
    if (rng.bounded(8)) row.insert("ts", rng.bounded(4) ? QVariant(uint(rng.generate())) : random_number());
    if (rng.bounded(2))
        row.insert("index", rng.bounded(3) ? QVariant(int(rng.bounded(65536))) : random_number());
    const int n = int(rng.bounded(12));
    for (int i = 0; i < n; ++i)
        row.insert(random_column(), random_number());
    if (rng.bounded(4) == 0) row.insert("ext", R"({"0100010800FF": 1e308, "x": [1], "": null, "0A0B": "t"})");
    if (rng.bounded(4) == 0) row.insert("OBIS_1_6_0", 1e308);
    return row;
}

QVariantList random_rows(int max)
{
    QVariantList out;
    const int n = int(rng.bounded(max + 1));
    for (int i = 0; i < n; ++i)
        out << random_row();
    return out;
}

// No double that is not finite anywhere in a value; float too.
bool all_finite(const QVariant& v)
{
    const int type = v.userType();
    if (type == QMetaType::Double || type == QMetaType::Float) return std::isfinite(v.toDouble());
    const QVariantList inner = type == QMetaType::QVariantMap ? v.toMap().values() : v.toList();
    return std::all_of(inner.cbegin(), inner.cend(), all_finite);
}

// Storage that answers every reading query with generated rows.
class Hostile_storage : public Storage_double
{
public:
    QList<uint32_t> get_modems(QList<uint32_t> ids) override { return ids.mid(0, 3) << rng.generate(); }
    QList<uint32_t> get_modems_from(uint32_t from, int) override { return {from, rng.generate()}; }
    uint32_t get_ts_energy_before(uint32_t, QList<uint32_t>, uint32_t ts) override { return rng.bounded(2) ? ts : rng.generate(); }
    uint32_t get_ts_energy_after(uint32_t, QList<uint32_t>, uint32_t ts) override { return rng.bounded(2) ? ts : rng.generate(); }
    QVariantList get_data(QList<uint32_t>, QList<uint32_t>, uint32_t, uint32_t, uint32_t) override { return random_rows(60); }
    QVariantList get_fail_time(uint32_t, uint32_t, uint32_t) override { return random_rows(20); }
    QVariantList get_energy_stamped(QList<uint32_t>, uint32_t, uint32_t, uint32_t) override
    {
        QVariantList rows = random_rows(60);
        for (QVariant& r : rows) {
            QVariantMap m = r.toMap();
            m.insert("modem_id", uint(rng.bounded(4)));
            m.insert("ts", uint(rng.bounded(4000)));
            m.insert(QStringLiteral("OBIS_1_8_%1").arg(rng.bounded(5)), random_number());
            r = m;
        }
        return rows;
    }
    QList<energy_record> get_energy_profile(QList<uint32_t>, QList<int>, uint32_t, uint32_t) override
    {
        QList<energy_record> out;
        const int n = int(rng.bounded(60));
        for (int i = 0; i < n; ++i) {
            energy_record r;
            r.modem_id = rng.bounded(4);
            r.ts = rng.generate();
            r.index = rng.bounded(2) ? rng.bounded(20) : rng.generate();
            r.type = 68;
            r.OBIS_1_6_0 = float(random_number().toDouble());
            for (int k = 0; k < 3; ++k)
                r.values.insert(rng.bounded(2) ? 10 + rng.bounded(5) : 20 + rng.bounded(5),
                                float(random_number().toDouble()));
            out << r;
        }
        return out;
    }
    QVariantMap get_events_by_time(uint32_t, uint32_t, uint32_t) override
    {
        QVariantMap out;
        for (int i = 0; i < int(rng.bounded(10)); ++i)
            out.insert(QString::number(rng.bounded(2) ? rng.generate() : rng.bounded(300)),
                       QVariantMap{{"1_2", QVariantList{1, 2, 3}}, {"3_4", QVariantList{1}}});
        return out;
    }
    QVariantList get_events(QList<uint32_t>, QList<uint32_t>, uint32_t, uint32_t, uint32_t) override { return random_rows(30); }
    QHash<uint32_t, QVariantList> get_data_each(const QList<modem_range>& ranges, QList<uint32_t>, uint32_t,
                                                int, int& done) override
    {
        return each(ranges, done, 60);
    }
    QHash<uint32_t, QVariantList> get_events_each(const QList<modem_range>& ranges, QList<uint32_t>, uint32_t,
                                                  int, int& done) override
    {
        return each(ranges, done, 30);
    }
    // Now and then more rows than any answer may hold: the report is refused.
    qint64 count_data_each(const QList<modem_range>& ranges, QList<uint32_t>, uint32_t, int& done) override
    {
        done = ranges.size();
        return rng.bounded(4) ? 0 : qint64(rng.generate()) * 64;
    }
    qint64 count_events_each(const QList<modem_range>& ranges, QList<uint32_t>, uint32_t, int& done) override
    {
        return count_data_each(ranges, {}, 0, done);
    }
    QHash<uint32_t, uint32_t> get_ts_energy_each(const QList<uint32_t>& modems, QList<uint32_t>, uint32_t,
                                                 bool) override
    {
        QHash<uint32_t, uint32_t> out;
        for (const uint32_t m : modems)
            if (rng.bounded(2)) out.insert(m, rng.generate());
        return out;
    }
    QHash<uint32_t, uint32_t> get_ts_energy_within(const QHash<uint32_t, QPair<uint32_t, uint32_t>>& spans,
                                                   QList<uint32_t>) override
    {
        return get_ts_energy_each(spans.keys(), {}, 0, false);
    }

private:
    // Rows for a random number of the leading ranges, as a cut statement leaves them.
    QHash<uint32_t, QVariantList> each(const QList<modem_range>& ranges, int& done, int rows)
    {
        QHash<uint32_t, QVariantList> out;
        done = ranges.isEmpty() ? 0 : 1 + int(rng.bounded(ranges.size()));
        for (int i = 0; i < done; ++i)
            out.insert(ranges.at(i).modem_id, random_rows(rows));
        return out;
    }
};

} // namespace

class tst_api_reports_hostile : public QObject
{
    Q_OBJECT

private slots:
    void builder_on_generated_rows()
    {
        for (int round = 0; round < 120; ++round) {
            history_builder::options o;
            static const uint32_t kinds[] = {12, 13, 14, 15, 16, 254, 0};
            for (int i = 0; i < int(rng.bounded(4)); ++i)
                o.kinds << kinds[rng.bounded(int(std::size(kinds)))];
            o.day_added = rng.bounded(2);
            o.interpolate = rng.bounded(2);
            o.has_timefrom = rng.bounded(2);
            o.config_interpolation = rng.bounded(2);
            static const int32_t periods[] = {0, 1, 60, 3600, 86400, -1, 2147483647};
            o.hour_period = periods[rng.bounded(int(std::size(periods)))];
            history_builder b(o);
            QList<uint32_t> times;
            for (const QVariant& r : random_rows(40)) {
                b.add_row(r.toMap());
                times << r.toMap().value("ts").toUInt();
            }
            API_controller::check_period(times);
            QVariantList list = b.meterings();
            QVERIFY(list.size() <= 2 * history_builder::max_meterings);
            std::stable_sort(list.begin(), list.end(), &API_controller::history_less);
            history_builder::add_interval_energies(list, periods[rng.bounded(int(std::size(periods)))]);
            QVERIFY2(all_finite(list), qPrintable(QJsonDocument::fromVariant(list).toJson()));
        }
        QList<uint32_t> odd_times{0, 4294967295u, 0, 2147483648u, 1, 4294967295u, 0};
        API_controller::check_period(odd_times);
    }

    void random_items_through_every_handler()
    {
        Hostile_storage storage;
        RAM_modems ram(QVariantMap{{"no_db", QVariantList{"curr"}}}, nullptr);
        for (uint32_t id : {1u, 2u, 3u, 4294967295u}) {
            modem_record* rec =
                ram.add_modem(id, {{"version", QVariantMap{{"sw", "1.9.4.7"}}}, {"sn", "S\"N"}});
            Ul_data_record curr(254, rng.generate());
            curr.values.insert(OBIS{1, 0, 32, 7, 0, 255}, 1e308);
            curr.values.insert(OBIS{1, 0, 21, 7, 0, 255}, std::numeric_limits<double>::infinity());
            rec->curr_data.insert(curr.ts, curr);
        }
        static const char* const paths[] = {"report/history", "report/history_orig", "report/events", "report/list",
                                            "diagnostics/history", "diagnostics/data_stm", "diagnostics/shunt_days",
                                            "diagnostics/data_time", "diagnostics/event_spam"};
        static const char* const items[] = {"modem",  "profile",    "timefrom", "timeto", "limit",
                                            "format", "index_only", "dmin",     "dmax",   "Am_min"};
        static const char* const values[] = {"1,2,3", "4294967295", "-1", "0", "abc", "nan", "inf", "-inf", "1e309",
                                             "1.0.99.1.0.255", "1.0.94.7.0.255,1.0.98.2.0.255", ",,,", "HEX", "hex",
                                             "'; DROP TABLE modems_data; --", "1 OR 1=1", "\\\"", "Счётчик",
                                             "123456789012345678901234567890", "4294944000", "true"};
        for (int round = 0; round < 300; ++round) {
            QVariantMap config{{"diagnostics", 1}, {"interpolation", bool(rng.bounded(2))}};
            if (rng.bounded(3) == 0) config.insert("whilelist_modems", QVariantList{3, "x", 4294967295u});
            API_controller api(config, nullptr);
            QVariantMap qitems;
            for (int i = 0; i < int(rng.bounded(6)); ++i)
                qitems.insert(items[rng.bounded(int(std::size(items)))],
                              values[rng.bounded(int(std::size(values)))]);
            const QString path = QString("api/") + paths[rng.bounded(int(std::size(paths)))];
            const QVariant answer = api.api_exec(
                {{"path", path.split('/')}, {"qitems", qitems}, {"rights", QStringList{"user"}}});
            QVERIFY2(answer.isValid(), qPrintable(path));
            if (answer.userType() == qMetaTypeId<api_refusal>()) {
                QCOMPARE(answer.value<api_refusal>().status, 413);
                continue;
            }
            if (answer.userType() == qMetaTypeId<api_json_text>()) {
                // Already written out: it must read back as one JSON list (a diagnostics map, or
                // list, as the handler built it).
                const QByteArray text = answer.value<api_json_text>().json;
                QJsonParseError error{};
                const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
                QVERIFY2(doc.isArray() || (path.startsWith("api/diagnostics") && doc.isObject()),
                         text.constData());
                QVERIFY(!text.contains("null") && !text.contains("nan") && !text.contains("inf"));
                continue;
            }
            QVERIFY2(all_finite(answer),
                     qPrintable(path + " " + QJsonDocument::fromVariant(answer).toJson()));
        }
    }
};

QTEST_GUILESS_MAIN(tst_api_reports_hostile)
#include "tst_api_reports_hostile.moc"
