// The pieces of the readings reports that need no database: profile codes and archive kinds of
// stored rows, the recording-period detection, the metering builder on stored rows, and the
// two orderings of meterings.
#include "api_controller.h"
#include "api_reports.h"
#include "testsupport.h"

#include <QJsonDocument>
#include <QRandomGenerator>
#include <QtTest>
#include <algorithm>
#include <cmath>
#include <functional>

namespace {

QVariant json(const QString& text)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError) qFatal("bad JSON in a vector: %s", qPrintable(text));
    return doc.toVariant();
}

QString compact(const QVariant& v)
{
    return QString::fromUtf8(QJsonDocument::fromVariant(v).toJson(QJsonDocument::Compact));
}

// Runs the builder as the report does: rows in order, the first sort, the interval energies.
QVariantList build(const QVariantMap& options, const QVariantList& rows)
{
    history_builder::options o;
    for (const QVariant& k : options.value("kinds").toList())
        o.kinds << k.toUInt();
    o.day_added = options.value("day_added").toBool();
    o.interpolate = options.value("interpolate").toBool();
    o.has_timefrom = options.value("has_timefrom").toBool();
    o.config_interpolation = options.value("config_interpolation").toBool();
    o.hour_period = options.value("hour_period").toInt();
    history_builder b(o);
    for (const QVariant& r : rows)
        b.add_row(r.toMap());
    QVariantList out = b.meterings();
    std::stable_sort(out.begin(), out.end(), &API_controller::history_less);
    history_builder::add_interval_energies(out, options.value("period").toInt());
    return out;
}

} // namespace

class tst_api_reports : public QObject
{
    Q_OBJECT

private slots:
    void helpers_data()
    {
        QTest::addColumn<QStringList>("f");
        for (const char* section : {"profile", "kind", "period"})
            for (const testsupport::Vector& v :
                 testsupport::read_vectors(VECTORS("api_reports.txt"), section))
                QTest::newRow(qPrintable(QString(section) + ": " + v.name)) << v.fields;
    }
    void helpers()
    {
        QFETCH(QStringList, f);
        const QString tag = QTest::currentDataTag();
        if (tag.startsWith("profile")) {
            const QStringList in = f.at(0).split(' ');
            QCOMPARE(profile_obis_for_type(in.at(0).toInt(), in.at(1).toUInt()), f.at(1));
        } else if (tag.startsWith("kind")) {
            QCOMPARE(normalize_arch_type(json(f.at(0)).toMap()), f.at(1).toUInt());
        } else {
            QList<uint32_t> times;
            for (const QString& t : f.at(0).split(','))
                times << t.toUInt();
            QCOMPARE(API_controller::check_period(times), f.at(1).toInt());
        }
    }

    void builder_data() { testsupport::vector_rows(VECTORS("api_reports.txt"), "builder"); }
    void builder()
    {
        QFETCH(QStringList, f);
        const QVariantList got = build(json(f.at(0)).toMap(), json(f.at(1)).toList());
        const QVariantList expected = json(f.at(2)).toList();
        QVERIFY2(got.size() == expected.size(), qPrintable(compact(got)));
        for (int i = 0; i < got.size(); ++i) {
            const QVariantMap m = got.at(i).toMap();
            const QVariantMap want = expected.at(i).toMap();
            for (auto it = want.cbegin(); it != want.cend(); ++it) {
                const QString where = QString("metering %1, key %2: %3").arg(i).arg(it.key()).arg(compact(m));
                if (it.value().isNull())
                    QVERIFY2(!m.contains(it.key()), qPrintable(where));
                else if (it.value().type() == QVariant::String)
                    QVERIFY2(m.value(it.key()).toString() == it.value().toString(), qPrintable(where));
                else
                    QVERIFY2(m.contains(it.key()) && m.value(it.key()).toDouble() == it.value().toDouble(),
                             qPrintable(where));
            }
        }
    }

    // The gap filling stops at the cap however long the gap.
    void gap_filling_is_capped()
    {
        history_builder::options o;
        o.kinds = {14};
        o.has_timefrom = true;
        history_builder b(o);
        b.add_row({{"type", 68}, {"ts", 86400}, {"ts_get", 1}, {"index", 1}});
        b.add_row({{"type", 68}, {"ts", 4000000000u}, {"ts_get", 1}, {"index", 2}});
        QCOMPARE(b.meterings().size(), history_builder::max_meterings + 1);

        o.kinds = {15};
        o.hour_period = 60;
        history_builder h(o);
        h.add_row({{"type", 66}, {"ts", 60}, {"ts_get", 1}, {"index", 1}});
        h.add_row({{"type", 66}, {"ts", 4000000000u}, {"ts_get", 1}, {"index", 2}});
        QCOMPARE(h.meterings().size(), history_builder::max_meterings + 1);
    }

    // Both orderings are strict weak orderings over readings with missing and equal keys, the
    // one is the other reversed, and the sorts keep the fetched order of equal readings.
    void orderings()
    {
        QRandomGenerator rng(4711);
        const QVariantList times{QVariant(), 0u, 1u, 60u, 4294967295u, "120"};
        const QVariantList profiles{QVariant(), "", "1.0.98.2.0.255", "1.0.99.1.0.255",
                                    QString::fromUtf8("ж")};
        QVariantList readings;
        for (int i = 0; i < 40; ++i) {
            QVariantMap m{{"seq", i}};
            const QVariant t = times.at(int(rng.bounded(times.size())));
            const QVariant p = profiles.at(int(rng.bounded(profiles.size())));
            if (t.isValid()) m.insert("1.0.0", t);
            if (p.isValid()) m.insert("profile", p);
            readings << m;
        }
        for (auto less : {&API_controller::history_less, &API_controller::history_greater}) {
            for (const QVariant& a : readings) {
                QVERIFY(!less(a, a));
                for (const QVariant& b : readings) {
                    QVERIFY(!(less(a, b) && less(b, a)));
                    for (const QVariant& c : readings) {
                        if (less(a, b) && less(b, c)) QVERIFY(less(a, c));
                        const bool ab = !less(a, b) && !less(b, a), bc = !less(b, c) && !less(c, b);
                        if (ab && bc) QVERIFY(!less(a, c) && !less(c, a));
                    }
                }
            }
        }
        for (const QVariant& a : readings)
            for (const QVariant& b : readings)
                QCOMPARE(API_controller::history_greater(a, b), API_controller::history_less(b, a));

        for (auto less : {&API_controller::history_less, &API_controller::history_greater}) {
            QVariantList sorted = readings;
            std::stable_sort(sorted.begin(), sorted.end(), less);
            for (int i = 1; i < sorted.size(); ++i) {
                const QVariant &a = sorted.at(i - 1), &b = sorted.at(i);
                QVERIFY(!less(b, a));
                if (!less(a, b)) QVERIFY(a.toMap().value("seq").toInt() < b.toMap().value("seq").toInt());
            }
        }
        // The report's keyed sort gives the same order as a stable sort with the comparators.
        for (const bool descending : {false, true}) {
            QVariantList by_comparator = readings, keyed = readings;
            std::stable_sort(by_comparator.begin(), by_comparator.end(),
                             descending ? &API_controller::history_greater : &API_controller::history_less);
            history_builder::sort(keyed, descending);
            QCOMPARE(keyed, by_comparator);
        }
        // Missing time reads 0: first ascending, last descending.
        const QVariant none = QVariantMap{{"profile", "x"}}, one = QVariantMap{{"1.0.0", 1u}};
        QVERIFY(API_controller::history_less(none, one) && API_controller::history_greater(one, none));
    }

    // Answers written out entry by entry read exactly as the web front's own writer makes them.
    void json_answers_agree()
    {
        QRandomGenerator rng(99);
        const QVariantList scalars{0,
                                   -0.0,
                                   1.5,
                                   0.6,
                                   53.13,
                                   3000.0,
                                   -7.25,
                                   1e21,
                                   1e-7,
                                   9007199254740992.0,
                                   9007199254740994.0,
                                   123456789.123,
                                   4294967295u,
                                   -2147483647 - 1,
                                   true,
                                   false,
                                   "1.0.99.1.0.255",
                                   "",
                                   QString::fromUtf8("Счётчик \"q\" \\ \n\t\x01"),
                                   std::nan(""),
                                   1.0 / 0.0};
        std::function<QVariant(int)> value = [&](int depth) -> QVariant {
            const int pick = int(rng.bounded(depth > 2 ? 3 : 5));
            if (pick == 3) {
                QVariantMap m;
                for (int i = 0; i < int(rng.bounded(6)); ++i)
                    m.insert(QString::number(rng.bounded(100)) + (rng.bounded(2) ? ".8.0" : "\""),
                             value(depth + 1));
                return m;
            }
            if (pick == 4) {
                QVariantList l;
                for (int i = 0; i < int(rng.bounded(5)); ++i)
                    l << value(depth + 1);
                return l;
            }
            if (pick == 2) return rng.generateDouble() * std::pow(10.0, int(rng.bounded(30)) - 15);
            return scalars.at(int(rng.bounded(scalars.size())));
        };
        for (int round = 0; round < 300; ++round) {
            QVariantList entries;
            report_items::json_list list;
            for (int i = 0; i < int(rng.bounded(4)); ++i) {
                const QVariant e = value(0);
                entries << e;
                list.append(e);
            }
            const QByteArray ours = list.finish().value<api_json_text>().json;
            QCOMPARE(ours, QJsonDocument::fromVariant(entries).toJson(QJsonDocument::Compact));
        }
    }

    // Items of the periods and limits: alignment clamped, starts stop at 0, limits capped.
    void items()
    {
        using namespace report_items;
        QCOMPARE(day_ceil_next(4294967295u), 4294967295u);
        QCOMPARE(day_ceil_next(4294944000u), 4294967295u); // the next midnight lies past 2^32
        QCOMPARE(day_ceil_next(86400), 172800u);
        QCOMPARE(day_floor(4294967295u), 4294944000u);
        QCOMPARE(minus_clamped(1000, 90000), 0u);
        QCOMPARE(low32("-1"), 4294967295u);
        QCOMPARE(low32("4294967296"), 0u);
        QCOMPARE(unsigned32("-1"), 0u);
        QCOMPARE(signed32("-1"), 4294967295u);
        QCOMPARE(capped_limit({}, 100000), 100000u);
        QCOMPARE(capped_limit({{"limit", "-1"}}, 100000), 100000u);
        QCOMPARE(capped_limit({{"limit", "100001"}}, 100000), 100000u);
        QCOMPARE(capped_limit({{"limit", "7"}}, 100000), 7u);
        QCOMPARE(capped_limit({{"limit", "x"}}, 100000), 0u);
        QCOMPARE(capped_limit({{"limit", "123456789012345678901234567890"}}, 100000), 100000u);
        for (const char* bad : {"nan", "inf", "-inf", "x", ""})
            QCOMPARE(finite_or(bad, 5.0), 5.0);
        uint8_t c = 0, d = 0, e = 0;
        QVERIFY(obis_column("OBIS_81_7_10", c, d, e) && c == 81 && d == 7 && e == 10);
        QVERIFY(obis_column("OBIS_300_8_1x", c, d, e) && c == 44 && d == 8 && e == 1);
        QVERIFY(!obis_column("OBIS_ext", c, d, e) && !obis_column("obis_1_8_0", c, d, e) &&
                !obis_column("OBIS_1_8", c, d, e));
    }
};

QTEST_GUILESS_MAIN(tst_api_reports)
#include "tst_api_reports.moc"
