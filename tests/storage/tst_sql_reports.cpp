// Storage's reading queries against the throwaway MariaDB: which rows each report gets, in which
// order and within which limits; events, raw incoming messages and the IEC 104 address map.
#include "logger.h"
#include "parser_strova5.h"
#include "ram_modems.h"
#include "sql_exchange.h"
#include "testsupport.h"

#include <QSqlQuery>
#include <QtTest>
#include <memory>

namespace {
std::unique_ptr<testsupport::Log_capture> g_log; // from any thread, from initTestCase on

using ids = QList<uint>;
const uint none = 4294967295u; // no upper time bound

// "modem:type@ts" of row maps, in result order.
QStringList rows_of(const QVariantList& rows)
{
    QStringList out;
    for (const QVariant& r : rows) {
        const QVariantMap m = r.toMap();
        out << QString("%1:%2@%3")
                   .arg(m.value("modem_id").toUInt())
                   .arg(m.value("type").toUInt())
                   .arg(m.value("ts").toUInt());
    }
    return out;
}
// "5 7" -> {5, 7}; "-": none
ids ids_of(const QString& field)
{
    ids out;
    for (const QString& i : field.split(' ', Qt::SkipEmptyParts))
        if (i != "-") out << i.toUInt();
    return out;
}
// The storage with its statement bound in reach, so that lists can be made to go in pieces.
struct Reports_storage : SQL_Exchange
{
    using SQL_Exchange::chunk_max_chars;
    using SQL_Exchange::SQL_Exchange;
};
} // namespace

class tst_sql_reports : public QObject
{
    Q_OBJECT

    QSqlDatabase check;
    std::unique_ptr<RAM_modems> ram;
    std::unique_ptr<Reports_storage> storage;
    // What `query` gives with every id in a statement of its own, the bound restored after.
    template <typename F> auto in_pieces(F query)
    {
        const int chunk = storage->chunk_max_chars;
        storage->chunk_max_chars = 1;
        const auto got = query();
        storage->chunk_max_chars = chunk;
        return got;
    }

    void exec(const QString& statement)
    {
        QSqlQuery q(check);
        QVERIFY2(q.exec(statement), qPrintable(q.lastError().text() + " " + statement));
    }
    // One stored reading: modem, type, ts, then "column=value" pairs (ts_get defaults to ts + 100).
    void data(uint modem, uint type, uint ts, const QStringList& columns = {})
    {
        QStringList names{"modem_id", "ts", "ts_get", "`type`", "`index`"};
        QStringList values{QString::number(modem), QString::number(ts), QString::number(ts + 100),
                           QString::number(type), "1"};
        for (const QString& c : columns) {
            const QString name = c.section('=', 0, 0);
            const QString value = c.section('=', 1);
            if (name == "ts_get")
                values[2] = value;
            else if (name == "index")
                values[4] = value;
            else {
                names << name;
                values << value;
            }
        }
        exec(QString("INSERT INTO modems_data (%1) VALUES (%2)").arg(names.join(", "), values.join(", ")));
    }
    void event(uint modem, uint type, uint ev, uint ts)
    {
        exec(QString("INSERT INTO modems_event (modem_id, ts, ts_get, `type`, `index`, `event`, worktime, "
                     "OBIS_96_8_10) "
                     "VALUES (%1, %2, %2, %3, 1, %4, 7, NULL)")
                 .arg(modem)
                 .arg(ts)
                 .arg(type)
                 .arg(ev));
    }

private slots:
    void initTestCase()
    {
        const auto env = testsupport::services();
        QVERIFY2(!env.value("STROVA_MYSQL_PORT").isEmpty(), "no throwaway MariaDB");
        g_log = std::make_unique<testsupport::Log_capture>();
        register_record_metatypes();
        check = testsupport::schema_database("st_reports", "check");
        ram = std::make_unique<RAM_modems>(QVariantMap(), nullptr);
        storage = std::make_unique<Reports_storage>(testsupport::db_config(env, "st_reports"), nullptr);
        QVERIFY(storage->init());
    }
    void init()
    {
        g_log->clear();
        for (const char* table : {"modems_data", "modems_event", "incoming", "modems_iec104"})
            exec(QString("DELETE FROM %1").arg(table));
    }
    void cleanupTestCase()
    {
        storage.reset();
        ram.reset();
    }

    void readings_data() { testsupport::vector_rows(VECTORS("sql_reports.txt"), "readings"); }
    void readings()
    {
        QFETCH(QStringList, f);
        const ids modems = ids_of(f[0]), kinds = ids_of(f[1]);
        const uint from = f[2].toUInt(), to = f[3] == "-" ? none : f[3].toUInt(), limit = f[4].toUInt();
        const QStringList rows = f[5] == "-" ? QStringList() : f[5].split(' ');
        data(5, 68, 864000, {"OBIS_1_8_0=10.5", "OBIS_ext='{\"0100010800FF\":10.5}'"});
        data(5, 49, 864000);
        data(5, 14, 950400);
        data(5, 66, 3600);
        data(5, 50, 7200);
        data(5, 15, 1000);
        data(5, 70, 990000);
        data(5, 64, 2000000);
        data(5, 72, 5000); // kind 12 only
        data(7, 68, 900000);
        data(9, 68, 800000); // not asked for

        const QVariantList got = storage->get_data(modems, kinds, from, to, limit);
        QCOMPARE(rows_of(got), rows);
        // In pieces: the same rows in the same order, the limit over all of them.
        QCOMPARE(rows_of(in_pieces([&] { return storage->get_data(modems, kinds, from, to, limit); })), rows);
        if (rows.isEmpty() && (modems.isEmpty() || kinds.isEmpty()))
            QVERIFY(!g_log->has("SELECT")); // nothing is sent with an empty list
        for (const QVariant& r : got)
            if (r.toMap().value("type").toUInt() == 68 && r.toMap().value("modem_id").toUInt() == 5) {
                // A row map holds the non-NULL columns only.
                const QVariantMap m = r.toMap();
                QCOMPARE(m.value("OBIS_1_8_0").toDouble(), 10.5);
                QCOMPARE(m.value("OBIS_ext").toString(), QString("{\"0100010800FF\":10.5}"));
                QVERIFY(!m.contains("OBIS_1_8_1") && !m.contains("index_max"));
                QCOMPARE(m.size(), 7); // modem_id, ts, ts_get, type, index and the two values
            }
    }

    void indexes_and_modems()
    {
        data(5, 68, 864000, {"index=3"});
        data(5, 49, 900000); // not an index of the day archive
        data(5, 14, 950400, {"index=4"});
        data(5, 66, 3600, {"index=9"});
        data(9, 68, 800000);
        data(7, 68, 800000);

        const QVariantList got = storage->get_indexes(5, ids{14}, 0, none, 10);
        QCOMPARE(rows_of(got), (QStringList{"5:14@950400", "5:68@864000"})); // newest first
        QCOMPARE(got.value(0).toMap().keys(), (QStringList{"index", "modem_id", "ts", "type"}));
        QCOMPARE(got.value(1).toMap().value("index").toUInt(), 3u);
        QCOMPARE(rows_of(storage->get_indexes(5, 15, 0, none, 10)), QStringList{"5:66@3600"});
        QCOMPARE(rows_of(storage->get_indexes(ids{5}, ids{14}, 900000, none, 1)), QStringList{"5:14@950400"});

        QCOMPARE(storage->get_modems({}), (QList<uint32_t>{5, 7, 9}));
        QCOMPARE(storage->get_modems({9, 5, 42}), (QList<uint32_t>{5, 9}));

        // In pieces: as one statement, across the pieces' bounds.
        QCOMPARE(in_pieces([&] {
                     return storage->get_modems({9, 5, 42, 7, 5});
                 }),
                 (QList<uint32_t>{5, 7, 9}));
        QCOMPARE(rows_of(in_pieces([&] {
                     return storage->get_indexes(ids{9, 5, 7}, ids{14}, 0, none, 2);
                 })),
                 (QStringList{"5:14@950400", "5:68@864000"}));
        // A list longer than one statement may be: every stored id found, the connection kept.
        QList<uint32_t> many;
        for (uint32_t id = 1000000; many.size() < 2000000; ++id)
            many << id;
        many << 7;
        QCOMPARE(storage->get_modems(many), QList<uint32_t>{7});
        QCOMPARE(storage->get_modems({9}), QList<uint32_t>{9});
    }

    // Many modems in one statement, each with its own range and limit, answer each as its own
    // statement does, however the row bound or the statement bound cuts the list; a modem listed
    // twice is read once and answered for both.
    // A report reads its modems slice by slice while rows keep coming: a type that had no row in
    // the window at the first slice and has one when a later slice reads its modem is answered,
    // for readings, events and a window's end alike.
    void types_written_between_slices_are_answered()
    {
        data(1, 49, 90000);
        event(1, 2, 17, 90000);
        data(3, 49, 200000, {"OBIS_3_8_0=1"});
        type_memo memo;
        int done = 0;
        const ids days{14};
        const QList<modem_range> first{{1, 0, 300000}, {3, 0, 300000}};
        {
            const type_memo_scope slice(memo);
            QCOMPARE(rows_of(storage->get_data_each(first, days, 100, 100, done).value(1)),
                     QStringList{"1:49@90000"});
            QCOMPARE(storage->get_events_each(first, {2, 3}, 100, 100, done).value(1).size(), 1);
            QCOMPARE(storage->get_ts_energy_each({3}, days, 100000, true).value(3), 200000u);
        }
        data(2, 68, 90000);
        data(2, 49, 93600);
        event(2, 3, 18, 90000);
        data(4, 68, 150000, {"OBIS_3_8_0=1"});
        {
            const type_memo_scope slice(memo);
            const QList<modem_range> second{{2, 0, 300000}, {4, 0, 300000}};
            QCOMPARE(rows_of(storage->get_data_each(second, days, 100, 100, done).value(2)),
                     (QStringList{"2:68@90000", "2:49@93600"}));
            QCOMPARE(rows_of(storage->get_events_each(second, {2, 3}, 100, 100, done).value(2)),
                     QStringList{"2:3@90000"});
            QCOMPARE(storage->get_ts_energy_each({4}, days, 100000, true).value(4), 150000u);
        }
    }

    void many_modems_as_each_alone()
    {
        data(5, 66, 3600);
        data(5, 50, 7200);
        data(5, 68, 864000);
        data(5, 49, 864000);
        data(5, 15, 1000);
        data(5, 64, 2000000); // not of the kinds asked
        data(7, 68, 900000, {"OBIS_3_8_0=1"});
        data(7, 66, 7200, {"OBIS_4_8_1=2"});
        data(7, 66, 10800, {"index=2"});
        data(11, 66, 5000, {"OBIS_3_8_1=3"});
        for (const uint32_t modem : {5u, 7u, 11u})
            for (const uint32_t ts : {1000u, 7200u, 8000u, 950000u})
                event(modem, 2, 17, ts);
        const ids kinds{14, 15};
        const QList<modem_range> ranges{
            {7, 0, none}, {5, 0, 864000}, {9, 0, none}, {7, 0, none}, {11, 6000, none}};
        for (const int chunk : {storage->chunk_max_chars, 1})
            for (const uint limit : {1u, 2u, 5u, 100u})
                for (const int max_rows : {100, 3, 2}) {
                    const QString at =
                        QString("chunk %1, limit %2, rows %3").arg(chunk).arg(limit).arg(max_rows);
                    storage->chunk_max_chars = chunk;
                    for (int from = 0, done = 0; from < ranges.size(); from += done) {
                        const QHash<uint32_t, QVariantList> got =
                            storage->get_data_each(ranges.mid(from), kinds, limit, max_rows, done);
                        const QHash<uint32_t, QVariantList> events =
                            storage->get_events_each(ranges.mid(from, done), {2}, limit, 100, done);
                        QVERIFY2(done >= 1, qPrintable(at));
                        // Counted as they are read: each modem up to its limit.
                        int counted_ranges = 0;
                        const qint64 counted =
                            storage->count_data_each(ranges.mid(from, done), kinds, limit, counted_ranges);
                        qint64 read = 0;
                        for (int i = from; i < from + counted_ranges; ++i)
                            read += storage
                                        ->get_data(ranges.at(i).modem_id, kinds, ranges.at(i).ts_from,
                                                   ranges.at(i).ts_to, limit)
                                        .size();
                        QCOMPARE(counted, read);
                        for (int i = from; i < from + done; ++i) {
                            const modem_range& r = ranges.at(i);
                            QVERIFY2(got.value(r.modem_id).size() <= qMax(max_rows, int(limit)),
                                     qPrintable(at));
                            QCOMPARE(
                                rows_of(got.value(r.modem_id)),
                                rows_of(storage->get_data(r.modem_id, kinds, r.ts_from, r.ts_to, limit)));
                            QCOMPARE(
                                rows_of(events.value(r.modem_id)),
                                rows_of(storage->get_events(r.modem_id, ids{2}, r.ts_from, r.ts_to, limit)));
                        }
                    }
                }
        storage->chunk_max_chars = 256 * 1024;
        // The window of each modem: the neighbouring records holding a reactive register.
        for (const bool after : {false, true})
            for (const uint32_t ts : {0u, 7200u, 9000u, 4000000u}) {
                const QHash<uint32_t, uint32_t> each =
                    storage->get_ts_energy_each({5, 7, 11, 9}, {15, 14}, ts, after);
                for (const uint32_t modem : {5u, 7u, 11u, 9u}) {
                    const uint32_t alone = after ? storage->get_ts_energy_after(modem, {15, 14}, ts)
                                                 : storage->get_ts_energy_before(modem, {15, 14}, ts);
                    QCOMPARE(each.value(modem, ts), alone);
                }
            }
    }

    // A union of many modems need not answer its parts in order: the statement's own limit can be
    // placed only when the rows came part after part; otherwise nothing is taken, never rows of a
    // modem cut short. Within the bound every row is kept, each modem's in its part's order.
    void union_rows_checked_for_order()
    {
        const auto row = [](uint modem, uint ts, uint type = 66) {
            return QVariantMap{{"modem_id", modem}, {"ts", ts}, {"type", type}};
        };
        const QHash<uint32_t, int> position{{5, 0}, {7, 1}, {9, 2}};
        QHash<uint32_t, QVariantList> out;
        QCOMPARE(rows_by_part({row(5, 1), row(5, 2), row(7, 1), row(7, 2)}, position, 3, 3, false, out), 1);
        QCOMPARE(out.keys(), QList<uint32_t>{5});
        QCOMPARE(rows_by_part({row(5, 1), row(7, 1), row(5, 2), row(7, 2)}, position, 3, 3, false, out), -1);
        QVERIFY(out.isEmpty());
        QCOMPARE(rows_by_part({row(7, 2), row(5, 2), row(7, 1, 50), row(5, 1), row(7, 1, 66)}, position, 3,
                              10, false, out),
                 3);
        QCOMPARE(rows_of(out.value(7)), (QStringList{"7:66@1", "7:50@1", "7:66@2"}));
        QCOMPARE(rows_of(out.value(5)), (QStringList{"5:66@1", "5:66@2"}));
        QCOMPARE(rows_by_part({row(9, 1), row(5, 1), row(9, 3)}, position, 3, 10, true, out), 3);
        QCOMPARE(rows_of(out.value(9)), (QStringList{"9:66@3", "9:66@1"}));
    }

    // The neighbouring energy record is exact whatever the registry knows of a modem, and once it
    // knows where a modem's reactive registers lie (or that there are none), 13 months of hour
    // records without them are not walked again; a reactive row an uplink brings later is found.
    void neighbour_record_spared_by_the_registry()
    {
        constexpr uint32_t day = 86400;
        for (const uint modem : {21u, 22u})
            exec(QString(
                     "INSERT INTO modems_data (modem_id, ts, ts_get, `type`, `index`, OBIS_1_8_0) SELECT %1, "
                     "%2 + (seq - 1) * 3600, %2 + (seq - 1) * 3600 + 60, 66, 1, seq FROM seq_1_to_9500")
                     .arg(modem)
                     .arg(10 * day));
        data(21, 68, 12 * day, {"OBIS_3_8_0=1"}); // a reactive register long ago, in a day record
        data(23, 66, 20 * day, {"OBIS_4_8_1=1"});
        data(23, 66, 200 * day, {"OBIS_3_8_1=2"});
        for (const uint32_t modem : {21u, 22u, 23u})
            ram->add_modem(modem, {});
        const QList<uint32_t> modems{21, 22, 23, 24}; // 24: neither held nor stored
        const auto agree = [&](const QList<uint32_t>& times) {
            for (const uint32_t ts : times)
                for (const bool after : {false, true})
                    for (const ids& kinds : {ids{15}, ids{14}, ids{15, 14}}) {
                        const QHash<uint32_t, uint32_t> each =
                            storage->get_ts_energy_each(modems, kinds, ts, after);
                        for (const uint32_t modem : modems) {
                            const uint32_t alone = after ? storage->get_ts_energy_after(modem, kinds, ts)
                                                         : storage->get_ts_energy_before(modem, kinds, ts);
                            QVERIFY2(each.value(modem, ts) == alone,
                                     qPrintable(QString("modem %1 at %2 %3: %4 against %5")
                                                    .arg(modem)
                                                    .arg(ts)
                                                    .arg(after ? "after" : "before")
                                                    .arg(each.value(modem, ts))
                                                    .arg(alone)));
                        }
                    }
        };
        agree({0, 15 * day, 100 * day, 300 * day, 500 * day});
        QSqlQuery status(QSqlDatabase::database("main_connect"));
        const auto rows_read = [&] {
            qint64 n = 0;
            if (status.exec(
                    "SHOW SESSION STATUS WHERE Variable_name IN ('Handler_read_next', 'Handler_read_prev')"))
                while (status.next())
                    n += status.value(1).toLongLong();
            return n;
        };
        const qint64 read0 = rows_read();
        for (const bool after : {false, true})
            storage->get_ts_energy_each({21, 22}, {15}, 300 * day, after);
        const qint64 read = rows_read() - read0;
        QVERIFY2(read < 2000, qPrintable(QString("%1 rows read for two modems of 9,500 each").arg(read)));

        Parser_ul_app ul;
        ul.modem_id = 22;
        ul.header = 66;
        ul.ts_get = 400 * day + 60;
        Ul_data_record rec(15, 400 * day, 2, 65535); // beside the stored hour record of that time
        rec.values.insert(OBIS{1, 0, 3, 8, 0, 255}, 5.0);
        ul.ul_datas << rec;
        storage->slot_UL(ul);
        // A late record before the first the registry learned of modem 23.
        ul.modem_id = 23;
        ul.ul_datas = {Ul_data_record(15, 5 * day, 3, 65535)};
        ul.ul_datas.first().values.insert(OBIS{1, 0, 3, 8, 0, 255}, 5.0);
        storage->slot_UL(ul);
        storage->slot_tmr_save();
        QTRY_COMPARE(testsupport::count_rows(check, "SELECT COUNT(*) FROM modems_data WHERE OBIS_3_8_0 = 5"),
                     2);
        agree({6 * day, 15 * day, 300 * day, 401 * day});
        QCOMPARE(storage->get_ts_energy_each({23}, {15}, 15 * day, false).value(23), 5 * day);
        QCOMPARE(storage->get_ts_energy_each({22}, {15}, 300 * day, true).value(22), 400 * day);
    }

    void energy_times_data() { testsupport::vector_rows(VECTORS("sql_reports.txt"), "energy"); }
    void energy_times()
    {
        QFETCH(QStringList, f);
        const bool after = f[0] == "after";
        const ids kinds = ids_of(f[1]);
        const uint ts = f[2].toUInt(), expected = f[3].toUInt();
        data(5, 68, 864000, {"OBIS_3_8_0=1"});
        data(5, 49, 1036800, {"OBIS_4_8_1=2"});
        data(5, 68, 1123200, {"OBIS_1_8_0=3"}); // no reactive register
        data(5, 50, 7200, {"OBIS_3_8_1=4"});
        data(7, 68, 1000000, {"OBIS_3_8_0=1"}); // another modem
        const uint got =
            after ? storage->get_ts_energy_after(5, kinds, ts) : storage->get_ts_energy_before(5, kinds, ts);
        QCOMPARE(got, expected);
        if (kinds.isEmpty()) QVERIFY(!g_log->has("SELECT"));
    }

    void stamped_and_fail_time()
    {
        data(5, 68, 864000, {"OBIS_1_8_0=1.5", "OBIS_2_8_0=9"});
        data(7, 68, 900000);
        data(9, 68, 950000, {"ts_get=950000"}); // read at its own time: not stamped
        data(9, 49, 960000);                    // types are taken as given
        data(7, 64, 3000000, {"OBIS_ext='{\"fail_time\":1}'"});
        data(9, 64, 3100000, {"OBIS_ext='{\"fail_time\":2}'"});
        data(5, 64, 3200000, {"OBIS_ext='{\"0100010800FF\":1}'"});

        const QVariantList stamped = storage->get_energy_stamped({68}, 0, none, 10);
        QCOMPARE(rows_of(stamped), (QStringList{"7:68@900000", "5:68@864000"}));
        QCOMPARE(stamped.value(1).toMap().keys(), (QStringList{"OBIS_1_8_0", "modem_id", "ts", "type"}));
        QCOMPARE(rows_of(storage->get_energy_stamped({68, 49}, 0, none, 1)), QStringList{"9:49@960000"});
        QVERIFY(storage->get_energy_stamped({}, 0, none, 10).isEmpty());

        QCOMPARE(rows_of(storage->get_fail_time(0, none, 10)), (QStringList{"9:64@3100000", "7:64@3000000"}));
        QCOMPARE(rows_of(storage->get_fail_time(0, none, 1)), QStringList{"9:64@3100000"});
        QCOMPARE(rows_of(storage->get_fail_time(3050000, none, 10)), QStringList{"9:64@3100000"});
    }

    void energy_profile()
    {
        data(5, 68, 864000, {"index=3", "OBIS_1_8_0=10.5", "OBIS_2_8_4=2"});
        data(7, 68, 800000, {"OBIS_1_6_0=3"}); // a maximum demand but no register: left out
        data(7, 14, 1200000, {"index=8", "OBIS_2_8_3=7", "OBIS_1_6_0=2.5"});
        data(9, 66, 700000, {"OBIS_1_8_1=1"}); // a type not asked for

        const QList<energy_record> all = storage->get_energy_profile({}, {68, 14}, 0, none);
        QCOMPARE(all.size(), 2);
        QCOMPARE(all[0].modem_id, 5u);
        QCOMPARE(all[0].ts, 864000u);
        QCOMPARE(all[0].type, 68u);
        QCOMPARE(all[0].index, 3u);
        QCOMPARE(all[0].values, (QMap<uint32_t, float>{{10, 10.5f}, {24, 2.f}}));
        QCOMPARE(all[0].OBIS_1_6_0, 0.f);
        QCOMPARE(all[1].values, (QMap<uint32_t, float>{{23, 7.f}}));
        QCOMPARE(all[1].OBIS_1_6_0, 2.5f);
        QCOMPARE(storage->get_energy_profile({7}, {68, 14}, 0, none).value(0).modem_id, 7u);
        const QList<energy_record> split = in_pieces([&] {
            return storage->get_energy_profile({7, 9, 5}, {68, 14}, 0, none);
        });
        QCOMPARE(split.size(), 2);
        QCOMPARE(split[0].modem_id, 5u); // oldest first across the pieces
        QCOMPARE(split[1].modem_id, 7u);
        QVERIFY(storage->get_energy_profile({5}, {}, 0, none).isEmpty());
    }

    void last_current_values()
    {
        const OBIS relay = obis_make_cde(96, 3, 0), relay_cmd = obis_make_cde(96, 3, 1);
        data(5, 64, 1900000, {"OBIS_ext='{\"0000600300FF\":0}'"});
        data(5, 64, 2000000,
             {"OBIS_14_7_0=50.0", "OBIS_81_7_10=1.5", "OBIS_1_8_0=99",
              "OBIS_ext='{\"0000600300FF\":1,\"0000600301FF\":2}'"});
        data(5, 64, 2100000); // newer, but without the values object
        data(5, 66, 2200000, {"OBIS_ext='{\"0000600300FF\":1}'"});
        data(7, 64, 1000, {"OBIS_ext='{\"0100010800FF\":1}'"});

        Parser_ul_app ul = storage->get_last_curr(5);
        QCOMPARE(ul.modem_id, 5u);
        QCOMPARE(ul.ul_datas.size(), 1);
        const Ul_data_record& rec = ul.ul_datas.first();
        QCOMPARE(rec.ts, 2000000u);
        QCOMPARE(rec.index, uint16_t(0));
        QCOMPARE(rec.index_max, uint16_t(65535));
        QCOMPARE(rec.values.keys(),
                 (QList<OBIS>{obis_make_cde(96, 3, 0), obis_make_cde(96, 3, 1),
                              obis_pack(1, 0, 14, 7, 0, 255), obis_pack(1, 0, 81, 7, 10, 255)}));
        QCOMPARE(rec.values.value(obis_pack(1, 0, 14, 7, 0, 255)).toFloat(), 50.f);
        QCOMPARE(rec.values.value(relay).toUInt(), 1u);
        QCOMPARE(rec.values.value(relay_cmd).toUInt(), 2u);

        ul = storage->get_last_curr(7); // no relay keys: both read as 0
        QCOMPARE(ul.ul_datas.value(0).values, (QMap<OBIS, QVariant>{{relay, 0u}, {relay_cmd, 0u}}));
        QVERIFY(storage->get_last_curr(9).ul_datas.isEmpty());
    }

    void events()
    {
        event(7, 2, 5, 200);
        event(7, 2, 5, 100);
        event(7, 3, 1, 150);
        event(8, 2, 5, 300);
        event(8, 4, 9, 50);

        const QVariantMap all{
            {"7", QVariantMap{{"2_5", QVariantList{200u, 100u}}, {"3_1", QVariantList{150u}}}},
            {"8", QVariantMap{{"2_5", QVariantList{300u}}, {"4_9", QVariantList{50u}}}}};
        QCOMPARE(storage->get_events_by_time(0, none, 500), all);
        QCOMPARE(storage->get_events_by_time(0, none, 2),
                 (QVariantMap{{"7", QVariantMap{{"2_5", QVariantList{200u}}}},
                              {"8", QVariantMap{{"2_5", QVariantList{300u}}}}}));
        QCOMPARE(storage->get_events_by_time(100, 160, 10),
                 (QVariantMap{{"7", QVariantMap{{"2_5", QVariantList{100u}}, {"3_1", QVariantList{150u}}}}}));

        QCOMPARE(rows_of(storage->get_events(7, ids{2, 3}, 0, none, 10)),
                 (QStringList{"7:2@200", "7:3@150", "7:2@100"}));
        QCOMPARE(rows_of(storage->get_events(ids{7, 8}, ids{2}, 0, none, 2)),
                 (QStringList{"8:2@300", "7:2@200"}));
        QCOMPARE(rows_of(storage->get_events(7, 2, 120, 250, 10)), QStringList{"7:2@200"});
        const QVariantMap row = storage->get_events(8, 4, 0, none, 10).value(0).toMap();
        QCOMPARE(row.value("event").toUInt(), 9u);
        QCOMPARE(row.value("worktime").toUInt(), 7u);
        QVERIFY(!row.contains("OBIS_96_8_10"));

        g_log->clear();
        QVERIFY(storage->get_events(7, ids{}, 0, none, 10).isEmpty());
        QVERIFY(storage->get_events(ids{}, ids{2}, 0, none, 10).isEmpty());
        QVERIFY(!g_log->has("SELECT"));
    }

    void incoming()
    {
        for (const uint id : {9u, 10u, 11u, 100010u, 100011u})
            exec(QString("INSERT INTO incoming (id, modem_id, data, event_time) VALUES (%1, '1A', 'p%1', "
                         "1700000000)")
                     .arg(id));
        QVariantList got = storage->get_incoming(10, 0); // up to 10 + 100000
        QStringList seen;
        for (const QVariant& m : got)
            seen << m.toMap().value("payload").toString();
        QCOMPARE(seen, (QStringList{"p10", "p11", "p100010"}));
        QCOMPARE(
            got.value(0).toMap(),
            (QVariantMap{{"id", 10}, {"modem_id", 26}, {"payload", "p10"}, {"time_detected", 1700000000}}));
        QCOMPARE(storage->get_incoming(11, 11).size(), 1);
    }

    void iec104_map()
    {
        ram->set_iec104_map({{1, 1}});
        QVERIFY(storage->get_iec104_map().isEmpty());
        QVERIFY(ram->iec104_map().isEmpty()); // an empty table empties the registry's map

        QVERIFY(storage->add_iec104_modem(305, 7));
        QCOMPARE(ram->iec_id(305), 7u);
        QVERIFY(!storage->add_iec104_modem(306, 7)); // address taken
        QVERIFY(g_log->has("VALUES ('7', '306')"));
        QCOMPARE(ram->iec_id(306), 0u);
        QVERIFY(storage->add_iec104_modem(306, 8));
        QVERIFY(storage->add_iec104_modem(305, 9)); // a second address of one modem: the later row wins

        ram->set_iec104_map({});
        const QMap<uint32_t, uint32_t> expected{{305, 9}, {306, 8}};
        QCOMPARE(storage->get_iec104_map(), expected);
        QCOMPARE(ram->iec104_map(), expected);
    }
};

QTEST_GUILESS_MAIN(tst_sql_reports)
#include "tst_sql_reports.moc"
