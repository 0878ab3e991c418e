// The pieces of the readings reports that need no database: profile codes and archive kinds of
// stored rows, the recording-period detection, the metering builder on stored rows, and the
// two orderings of meterings.
#include "api_controller.h"
#include "api_reports.h"
#include "api_reports_count.h"
#include "ram_modems.h"
#include "sql_exchange.h"
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
    const QVariant v = QJsonDocument::fromJson(text.toUtf8(), &error).toVariant();
    if (error.error != QJsonParseError::NoError) qFatal("bad JSON in a vector: %s", qPrintable(text));
    return v;
}
QString compact(const QVariant& v)
{
    return QString::fromUtf8(QJsonDocument::fromVariant(v).toJson(QJsonDocument::Compact));
}

QVariantList meterings(const history_builder::options& o, const QVariantList& rows)
{
    history_builder b(o);
    for (const QVariant& r : rows)
        b.add_row(r.toMap());
    return b.meterings();
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
    QVariantList out = meterings(o, rows);
    std::stable_sort(out.begin(), out.end(), &API_controller::history_less);
    history_builder::add_interval_energies(out, options.value("period").toInt());
    return out;
}

// The modems of a table, handed out as the storage's list reads do; a read fails while `failing`.
struct List_storage : SQL_Exchange
{
    QList<uint32_t> stored;
    int reads = 0;
    bool failing = false;
    List_storage() : SQL_Exchange({}, nullptr) {}
    QList<uint32_t> answer(QList<uint32_t> ids)
    {
        ++reads;
        if (failing) {
            ++failed_read_count;
            failed_read = QStringLiteral("SELECT modem_id FROM modems_data");
            return {};
        }
        return ids;
    }
    QList<uint32_t> get_modems_from(uint32_t from, int max) override
    {
        const auto at = std::lower_bound(stored.cbegin(), stored.cend(), from);
        return answer(stored.mid(int(at - stored.cbegin()), max));
    }
    QList<uint32_t> get_modems(QList<uint32_t> ids) override
    {
        QList<uint32_t> found;
        for (const uint32_t id : ids)
            if (std::binary_search(stored.cbegin(), stored.cend(), id)) found << id;
        return answer(found);
    }
};

QString list_answer(API_controller& api)
{
    const QVariant answer = api.api_exec({{"path", QStringList{"api", "report", "list"}},
                                          {"rights", QStringList{"user"}}});
    if (answer.userType() == qMetaTypeId<api_refusal>())
        return QString("%1 %2").arg(answer.value<api_refusal>().status).arg(answer.value<api_refusal>().text);
    return QString::fromUtf8(answer.value<api_json_text>().json);
}

// A window the server says is far too full to answer, on a table whose statistic may count the
// fleet many times over; the counts from the key are counted, those modem by modem too.
struct Count_storage : SQL_Exchange
{
    qint64 told_modems = -1;
    int key_counts = 0;
    Count_storage() : SQL_Exchange({}, nullptr) {}
    qint64 estimate_window_rows(bool, QList<uint32_t>, uint32_t, uint32_t) override { return 3000000; }
    qint64 estimate_modems(bool) override { return told_modems; }
    bool count_window_rows(bool, QList<uint32_t>, uint32_t, uint32_t, QHash<uint32_t, uint32_t>& per) override
    {
        ++key_counts;
        per[1] += 1;
        return true;
    }
};

} // namespace

class tst_api_reports : public QObject
{
    Q_OBJECT

private slots:
    // Profile code of a stored type at a time, archive kind of a row, period of reading times.
    void helpers_data() { testsupport::vector_rows(VECTORS("api_reports.txt"), "helpers"); }
    void helpers()
    {
        QFETCH(QStringList, f);
        const QStringList in = f.at(1).split(' ');
        QList<uint32_t> times;
        for (const QString& t : f.at(1).split(','))
            times << t.toUInt();
        const QString got = f.at(0) == "profile" ? profile_obis_for_type(in.at(0).toInt(), in.value(1).toUInt())
                            : f.at(0) == "kind"  ? QString::number(normalize_arch_type(json(f.at(1)).toMap()))
                                                 : QString::number(API_controller::check_period(times));
        QCOMPARE(got, f.at(2));
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
                const QVariant v = m.value(it.key()), w = it.value();
                const bool same = w.isNull() ? !v.isValid()
                                  : w.type() == QVariant::String ? v.toString() == w.toString()
                                                                 : v.isValid() && v.toDouble() == w.toDouble();
                QVERIFY2(same, qPrintable(QString("metering %1, key %2: %3").arg(i).arg(it.key(), compact(m))));
            }
        }
    }

    // The gap filling stops at the cap however long the gap.
    void gap_filling_is_capped()
    {
        history_builder::options o;
        o.has_timefrom = true;
        for (const int type : {68, 66}) {
            o.kinds = {type == 68 ? 14u : 15u};
            o.hour_period = 60;
            const QVariantList rows{QVariantMap{{"type", type}, {"ts", 86400}, {"ts_get", 1}, {"index", 1}},
                                    QVariantMap{{"type", type}, {"ts", 4000000000u}, {"ts_get", 1}, {"index", 2}}};
            QCOMPARE(meterings(o, rows).size(), history_builder::max_meterings + 1);
        }
    }

    // Both orderings are strict weak orderings over readings with missing and equal keys, the
    // one is the other reversed, and the sorts keep the fetched order of equal readings.
    void orderings()
    {
        QRandomGenerator rng(4711);
        const QVariantList times{QVariant(), 0u, 1u, 60u, 4294967295u, "120"};
        const QVariantList profiles{QVariant(), "", "1.0.98.2.0.255", "1.0.99.1.0.255", QString::fromUtf8("ж")};
        QVariantList readings;
        for (int i = 0; i < 40; ++i) {
            QVariantMap m{{"seq", i}};
            const QVariant t = times.at(int(rng.bounded(times.size())));
            const QVariant p = profiles.at(int(rng.bounded(profiles.size())));
            if (t.isValid()) m.insert("1.0.0", t);
            if (p.isValid()) m.insert("profile", p);
            readings << m;
        }
        for (const bool descending : {false, true}) {
            const auto less = descending ? &API_controller::history_greater : &API_controller::history_less;
            for (const QVariant& a : readings)
                for (const QVariant& b : readings) {
                    QVERIFY(!(less(a, b) && less(b, a)));
                    QCOMPARE(API_controller::history_greater(a, b), API_controller::history_less(b, a));
                    for (const QVariant& c : readings) {
                        if (less(a, b) && less(b, c)) QVERIFY(less(a, c));
                        const bool ab = !less(a, b) && !less(b, a), bc = !less(b, c) && !less(c, b);
                        if (ab && bc) QVERIFY(!less(a, c) && !less(c, a));
                    }
                }
            // The report's keyed sort gives the order of a stable sort, which keeps equal readings
            // in their fetched order.
            QVariantList sorted = readings, keyed = readings;
            std::stable_sort(sorted.begin(), sorted.end(), less);
            for (int i = 1; i < sorted.size(); ++i) {
                const QVariant &a = sorted.at(i - 1), &b = sorted.at(i);
                QVERIFY(!less(b, a) && (less(a, b) || a.toMap().value("seq").toInt() < b.toMap().value("seq").toInt()));
            }
            history_builder::sort(keyed, descending);
            QCOMPARE(keyed, sorted);
        }
        // Missing time reads 0: first ascending, last descending.
        const QVariant none = QVariantMap{{"profile", "x"}}, one = QVariantMap{{"1.0.0", 1u}};
        QVERIFY(API_controller::history_less(none, one) && API_controller::history_greater(one, none));
    }

    // Answers written out entry by entry read exactly as the web front's own writer makes them.
    void json_answers_agree()
    {
        QRandomGenerator rng(99);
        const QVariantList scalars{0, -0.0, 1.5, 0.6, 53.13, 3000.0, -7.25, 1e21, 1e-7, 9007199254740992.0,
                                   9007199254740994.0, 123456789.123, 4294967295u, -2147483647 - 1, true, false,
                                   "1.0.99.1.0.255", "", QString::fromUtf8("Счётчик \"q\" \\ \n\t\x01"),
                                   std::nan(""), 1.0 / 0.0};
        std::function<QVariant(int)> value = [&](int depth) -> QVariant {
            const int pick = int(rng.bounded(depth > 2 ? 3 : 5));
            QVariantMap m;
            QVariantList l;
            for (int i = pick == 3 ? int(rng.bounded(6)) : 0; i > 0; --i)
                m.insert(QString::number(rng.bounded(100)) + (rng.bounded(2) ? ".8.0" : "\""), value(depth + 1));
            for (int i = pick == 4 ? int(rng.bounded(5)) : 0; i > 0; --i)
                l << value(depth + 1);
            if (pick >= 3) return pick == 3 ? QVariant(m) : QVariant(l);
            if (pick == 2) return rng.generateDouble() * std::pow(10.0, int(rng.bounded(30)) - 15);
            return scalars.at(int(rng.bounded(scalars.size())));
        };
        for (int round = 0; round < 300; ++round) {
            QVariantList entries;
            report_items::json_list list;
            for (int i = int(rng.bounded(4)); i > 0; --i) {
                entries << value(0);
                list.append(entries.last());
            }
            QCOMPARE(list.finish().value<api_json_text>().json, QJsonDocument::fromVariant(entries).toJson(QJsonDocument::Compact));
        }
    }

    // The list of modems read in pieces comes whole, each id once, up to the largest id; one read
    // serves the requests right after it; a read the database does not answer refuses the list,
    // and the next request reads afresh.
    void list_read_in_pieces_and_shared()
    {
        List_storage storage;
        for (uint32_t id = 1; id <= 5000; ++id)
            storage.stored << id * 3;
        storage.stored << 4294967294u << 4294967295u;
        QStringList all;
        for (const uint32_t id : qAsConst(storage.stored))
            all << QString::number(id);
        const QString whole = "[" + all.join(',') + "]";
        API_controller api({}, nullptr);
        QCOMPARE(list_answer(api), whole);
        QVERIFY2(storage.reads > 1, "the list was read in one piece");
        const int reads = storage.reads;
        QCOMPARE(list_answer(api), whole);
        QCOMPARE(storage.reads, reads);

        // Whitelisted: its ids that have rows, ascending, once each.
        API_controller white({{"whilelist_modems", QVariantList{9, 4294967295u, 3, 9, 4, 0}}}, nullptr);
        QCOMPARE(list_answer(white), QString("[3,9,4294967295]"));
        API_controller other({{"whilelist_modems", QVariantList{6, 12}}}, nullptr);
        storage.failing = true;
        QCOMPARE(list_answer(other), QString("503 database not answering"));
        storage.failing = false;
        QCOMPARE(list_answer(other), QString("[6,12]"));
        API_controller none({{"whilelist_modems", QVariantList{}}}, nullptr);
        QCOMPARE(list_answer(none), QString("[]"));
    }

    // The whole fleet's report near the answer's bound counts from the key, whatever share of the
    // fleet the engine's sampled statistic makes of it; a few modems of the fleet count alone.
    void fleet_share_taken_from_the_registry()
    {
        Count_storage storage;
        RAM_modems ram({}, nullptr);
        QList<uint32_t> fleet;
        for (uint32_t id = 1; id <= 100; ++id) {
            ram.add_modem(id, {});
            fleet << id;
        }
        for (const qint64 told : {qint64(-1), qint64(1000), qint64(40)}) {
            for (const int share : {100, 20}) {
                storage.told_modems = told;
                storage.key_counts = 0;
                int by_modem = 0, done = 0;
                window_count ahead(false, {15}, 0, 86400, 100, false);
                ahead.count(fleet.mid(0, share), 0, share, 40, done, [&](int& d) {
                    ++by_modem;
                    d = 1;
                    return qint64(1);
                });
                const QString at = QString("statistic %1, %2 modems").arg(told).arg(share);
                // A statistic below the registry's figure may lower it: 20 of "40" are a good share.
                const bool key = share == 100 || told == 40;
                QVERIFY2(storage.key_counts == (key ? 1 : 0), qPrintable(at));
                QVERIFY2(by_modem == (key ? 0 : 1), qPrintable(at));
            }
        }
    }

    // Items of the periods and limits: alignment clamped, starts stop at 0, limits capped.
    void items()
    {
        using namespace report_items;
        QCOMPARE(day_ceil_next(4294944000u), 4294967295u); // the next midnight lies past 2^32
        QCOMPARE(day_ceil_next(86400), 172800u);
        QCOMPARE(day_floor(4294967295u), 4294944000u);
        QCOMPARE(minus_clamped(1000, 90000), 0u);
        QCOMPARE(low32("-1"), 4294967295u);
        QCOMPARE(low32("4294967296"), 0u);
        QCOMPARE(unsigned32("-1"), 0u);
        QCOMPARE(signed32("-1"), 4294967295u);
        for (const char* big : {"-1", "100001", "123456789012345678901234567890"})
            QCOMPARE(capped_limit({{"limit", big}}, 100000), 100000u);
        QCOMPARE(capped_limit({}, 100000), 100000u);
        QCOMPARE(capped_limit({{"limit", "7"}}, 100000), 7u);
        QCOMPARE(capped_limit({{"limit", "x"}}, 100000), 0u);
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
