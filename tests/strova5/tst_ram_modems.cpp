#include "ram_modems.h"
#include "storage_double.h"
#include "testsupport.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QTextCodec>
#include <QThread>
#include <QtTest>
#include <atomic>

namespace {

// A value of the vector file: JSON, or text ("s:"), or bytes ("b:").
QVariant value_of(const QString& f)
{
    if (f.startsWith("s:")) return f.mid(2);
    if (f.startsWith("b:")) return f.mid(2).toUtf8();
    return QJsonDocument::fromJson(("[" + f + "]").toUtf8()).toVariant().toList().value(0);
}

QVariantMap geometry(int index, QVariant count = QVariant(), QVariant rec_size = QVariant())
{
    QVariantMap m{{"index", index}};
    if (count.isValid())
        m.insert("count_max", count);
    if (rec_size.isValid())
        m.insert("rec_size", rec_size);
    return m;
}

QList<int> percents(const modem_record& rec)
{
    QList<int> out;
    for (const QVariant& v : RAM_modems::modem_to_map(rec).value("max_busyness").toList())
        out << qRound(v.toDouble());
    return out;
}

template <typename T> QList<T> sorted(QList<T> l)
{
    std::sort(l.begin(), l.end());
    return l;
}

using index_map = QMap<uint32_t, uint32_t>;

} // namespace

class tst_ram_modems : public QObject
{
    Q_OBJECT

private slots:
    // Under a Latin-1 locale, JSON text read in the local encoding would lose its non-ASCII text.
    void initTestCase() { QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1")); }

    void absent_ids_create_nothing()
    {
        {
            RAM_modems reg({}, nullptr);
            QCOMPARE(RAM_modems::instance, &reg);
            QCOMPARE(reg.get_settings(7), QVariantMap());
            QVERIFY(!reg.get_setting(7, "radio").isValid());
            QVERIFY(!reg.find_modem(7) && !reg.find_bs(7) && reg.modem_ids().isEmpty());
            reg.add_modem(7, {{"a", 1}});
            QVERIFY(!reg.get_setting(7, "b").isValid());
        }
        QVERIFY(!RAM_modems::instance);
    }

    // What slot_set_setting keeps for a value and hands to storage; modems 1 and 2 included.
    void set_setting_values_data() { testsupport::vector_rows(VECTORS("ram_modems.txt"), "set_setting"); }
    void set_setting_values()
    {
        QFETCH(QStringList, f);
        const uint modem = f[0].toUInt();
        const QVariant value = value_of(f[1]), stored = value_of(f[2]);
        Storage_double sql;
        RAM_modems reg({}, nullptr);
        const uint32_t before = uint32_t(QDateTime::currentSecsSinceEpoch());
        reg.slot_set_setting(modem, "s", value);
        QCOMPARE(reg.get_settings(modem), QVariantMap({{"s", stored}}));

        QCOMPARE(sql.uplinks.size(), 1);
        const Parser_ul_app& ul = sql.uplinks.first();
        QCOMPARE(ul.modem_id, modem);
        QVERIFY(ul.ts_get >= before && ul.ts_get <= before + 5);
        QVERIFY(ul.ul_datas.isEmpty() && ul.ul_events.isEmpty());
        QCOMPARE(ul.ul_settings.size(), 1);
        QCOMPARE(ul.ul_settings.first().ts, ul.ts_get);
        QCOMPARE(ul.ul_settings.first().key, QString("s"));
        QCOMPARE(ul.ul_settings.first().value, stored);

        reg.slot_set_setting(modem, "t", value, false); // memory only
        QCOMPARE(reg.get_setting(modem, "t"), stored);
        QCOMPARE(sql.uplinks.size(), 1);
    }

    void set_setting_keeps_record_and_needs_no_storage()
    {
        RAM_modems reg({}, nullptr);
        modem_record* rec = reg.add_modem(5, {{"a", 1}});
        rec->aix_day.indexes.insert(3, 100);
        reg.slot_set_setting(5, "b", "[3]"); // no storage instance: nothing to save to
        QCOMPARE(reg.find_modem(5), rec);
        QCOMPARE(reg.get_settings(5), QVariantMap({{"a", 1}, {"b", QVariantList{3}}}));
        QCOMPARE(rec->aix_day.indexes.size(), 1);

        Storage_double sql;
        QVERIFY(QMetaObject::invokeMethod(&reg, "slot_set_setting", Qt::QueuedConnection, Q_ARG(uint32_t, 77),
                                          Q_ARG(QString, "radio"), Q_ARG(QVariant, QVariant("{\"dl\":\"x\"}"))));
        QCoreApplication::processEvents();
        QCOMPARE(reg.get_setting(77, "radio"), QVariant(QVariantMap{{"dl", "x"}}));
        QCOMPARE(sql.uplinks.size(), 1); // save_to_db defaults to true
    }

    // A map setting refreshed in place ends exactly as slot_set_setting with the whole map would
    // leave it (keys, values and their types), and a snapshot taken before keeps its old values.
    void map_setting_as_a_whole_map_data()
    {
        QTest::addColumn<QVariant>("held"); // invalid: the modem is not known yet
        QTest::addColumn<bool>("shared");
        for (bool shared : {false, true}) {
            const char* how = shared ? "shared" : "in place";
            QTest::addRow("%s: new modem", how) << QVariant() << shared;
            QTest::addRow("%s: setting absent", how) << QVariant(QVariantMap{{"other", 1}}) << shared;
            QTest::addRow("%s: same keys", how)
                << QVariant(QVariantMap{{"ul", "a"}, {"dl", "d"}, {"rssi", 1}}) << shared;
            QTest::addRow("%s: same content", how)
                << QVariant(QVariantMap{{"ul", "c"}, {"dl", "d"}, {"rssi", 2}}) << shared;
            QTest::addRow("%s: same keys, other types", how)
                << QVariant(QVariantMap{{"ul", 5}, {"dl", QVariantList{1}}, {"rssi", "2"}}) << shared;
            QTest::addRow("%s: fewer keys", how) << QVariant(QVariantMap{{"ul", "a"}}) << shared;
            QTest::addRow("%s: more keys", how)
                << QVariant(QVariantMap{{"ul", "a"}, {"dl", "b"}, {"rssi", 1}, {"x", 1}}) << shared;
            QTest::addRow("%s: as many keys, one other", how)
                << QVariant(QVariantMap{{"ul", "a"}, {"dl", "b"}, {"x", 1}}) << shared;
            QTest::addRow("%s: held as text", how) << QVariant("{\"ul\":\"a\"}") << shared;
        }
    }
    void map_setting_as_a_whole_map()
    {
        QFETCH(QVariant, held);
        QFETCH(bool, shared);
        const QVariantMap fields{{"ul", "c"}, {"dl", "d"}, {"rssi", 2}};
        RAM_modems whole({}, nullptr);
        RAM_modems reg({}, nullptr);
        for (RAM_modems* r : {&whole, &reg})
            if (held.isValid()) r->add_modem(9, {{"radio", held}, {"kept", 7}});
        // Another modem already holding this content, and one holding other content of these keys.
        reg.set_shared_map_setting(8, "radio", {{"ul", "c"}, {"dl", "d"}, {"rssi", 2}});
        reg.set_map_setting(7, "radio", {{"ul", "c"}, {"dl", "d"}, {"rssi", 3}});
        const QVariantMap before = reg.get_settings(9);
        whole.slot_set_setting(9, "radio", fields, false);
        if (shared)
            reg.set_shared_map_setting(9, "radio", {{"ul", "c"}, {"dl", "d"}, {"rssi", 2}});
        else
            reg.set_map_setting(9, "radio", {{"ul", "c"}, {"dl", "d"}, {"rssi", 2}});
        const auto json = [](const QVariantMap& m) {
            return QJsonDocument::fromVariant(m).toJson(QJsonDocument::Compact);
        };
        QCOMPARE(json(reg.get_settings(9)), json(whole.get_settings(9)));
        QCOMPARE(reg.get_setting(9, "radio").toMap(), fields);
        QCOMPARE(json(before),
                 json(held.isValid() ? QVariantMap{{"radio", held}, {"kept", 7}} : QVariantMap()));

        // A later change of one modem leaves the others as they were.
        reg.set_map_setting(9, "radio", {{"ul", "e"}, {"dl", "d"}, {"rssi", 4}});
        reg.set_shared_map_setting(7, "radio", {{"ul", "c"}, {"dl", "d"}, {"rssi", 5}});
        QCOMPARE(reg.get_setting(8, "radio").toMap(), fields);
        QCOMPARE(reg.get_setting(9, "radio").toMap(), QVariantMap({{"ul", "e"}, {"dl", "d"}, {"rssi", 4}}));
        QCOMPARE(reg.get_setting(7, "radio").toMap(), QVariantMap({{"ul", "c"}, {"dl", "d"}, {"rssi", 5}}));
    }

    // Equal numbers of another type are other content: sharing keeps each modem's types.
    void shared_map_keeps_types()
    {
        RAM_modems reg({}, nullptr);
        reg.set_shared_map_setting(1, "last_dl_bs", {{"id", 7}, {"busyness", 12}});
        reg.set_shared_map_setting(2, "last_dl_bs", {{"id", 7u}, {"busyness", QStringLiteral("12")}});
        reg.set_shared_map_setting(3, "last_dl_bs", {{"id", 7}, {"busyness", 12}});
        QCOMPARE(reg.get_setting(2, "last_dl_bs").toMap().value("id").userType(), int(QMetaType::UInt));
        QCOMPARE(reg.get_setting(2, "last_dl_bs").toMap().value("busyness").userType(),
                 int(QMetaType::QString));
        for (uint32_t m : {1u, 3u}) {
            QCOMPARE(reg.get_setting(m, "last_dl_bs").toMap().value("id").userType(), int(QMetaType::Int));
            QCOMPARE(reg.get_setting(m, "last_dl_bs").toMap().value("busyness").userType(),
                     int(QMetaType::Int));
        }
    }

    void busyness_limits_data()
    {
        QTest::addColumn<QVariantMap>("percent");
        QTest::addColumn<bool>("through_add");
        QTest::addColumn<QList<int>>("limits");
        QTest::newRow("no config") << QVariantMap() << true << QList<int>{95, 90, 80, 70};
        QTest::newRow("empty map") << QVariantMap{{"max_busyness", QVariantMap()}} << true
                                   << QList<int>{99, 95, 80, 60};
        QTest::newRow("partial") << QVariantMap{{"max_busyness", QVariantMap{{"DL_PSK_500", 50}, {"DL_PSK_200", 33}}}}
                                 << true << QList<int>{99, 95, 50, 33};
        QTest::newRow("set_setting ignores config")
            << QVariantMap{{"max_busyness", QVariantMap{{"DL_PSK_FASTDL", 10}}}} << false
            << QList<int>{95, 90, 80, 70};
    }
    void busyness_limits()
    {
        QFETCH(QVariantMap, percent);
        QFETCH(bool, through_add);
        QFETCH(QList<int>, limits);
        RAM_modems reg(percent, nullptr);
        if (through_add)
            reg.add_modem(3, {});
        else
            reg.slot_set_setting(3, "x", 1, false);
        QCOMPARE(percents(*reg.find_modem(3)), limits);
    }

    void load_settings_replaces_modems_keeps_stations()
    {
        const QMap<uint32_t, QVariantMap> stored{{1, {{"update_ts", 1700000000u}}},
                                                 {2, {{"data_ms", 200}}},
                                                 {100, {{"arch_info_14", geometry(14, 2000, 64)}}}};
        Storage_double sql;
        sql.pending = stored;
        RAM_modems reg({{"max_busyness", QVariantMap{{"DL_PSK_200", 42}}}}, nullptr);
        reg.add_modem(9, {});
        reg.get_bs(5);
        testsupport::Log_capture logs;
        reg.load_settings();
        QVERIFY(!reg.find_modem(9) && reg.find_bs(5));
        QCOMPARE(sorted(reg.modem_ids()), (QList<uint32_t>{1, 2, 100}));
        for (uint32_t id : stored.keys())
            QCOMPARE(reg.get_settings(id), stored.value(id));
        const modem_record* m = reg.find_modem(100);
        QCOMPARE(m->aix_day.max_index, 2000);
        QCOMPARE(m->aix_day.max_count, 1937);
        QCOMPARE(percents(*m).last(), 42);
        QVERIFY(sql.uplinks.isEmpty());
        QVERIFY(logs.has("start read modems settings") && logs.has("devices 3"));
    }

    // Geometry from "arch_info_<type>", written over a good one (500 slots, 493 held) of both
    // archives.
    void archive_geometry_data() { testsupport::vector_rows(VECTORS("ram_modems.txt"), "geometry"); }
    void archive_geometry()
    {
        QFETCH(QStringList, f);
        const QString key = f[0];
        const QStringList g = f[1].split(',');
        const auto num = [](const QString& x) {
            bool ok;
            const int v = x.toInt(&ok);
            return x == "-" ? QVariant() : ok ? QVariant(v) : QVariant(x);
        };
        const QVariant value = g.size() < 3 ? QVariant(f[1]) : QVariant(geometry(g[0].toInt(), num(g[1]), num(g[2])));
        QList<int> day_hour;
        for (const QString& n : (f[2] + "," + f[3]).split(','))
            day_hour << n.toInt();
        const bool complains = f[4] == "1";
        RAM_modems reg({}, nullptr);
        modem_record* rec =
            reg.add_modem(40, {{"arch_info_14", geometry(14, 500, 512)}, {"arch_info_15", geometry(15, 500, 512)}});
        rec->aix_day.indexes.insert(1, 100);
        rec->aix_day.is_loaded = true;

        testsupport::Log_capture logs;
        reg.slot_set_setting(40, key, value, false);
        QCOMPARE((QList<int>{rec->aix_day.max_index, rec->aix_day.max_count, rec->aix_hour.max_index,
                             rec->aix_hour.max_count}),
                 day_hour);
        QCOMPARE(logs.has("bad archive geometry, kept"), complains);
        QVERIFY(rec->aix_day.is_loaded && rec->aix_day.indexes.size() == 1); // no reset
        QCOMPARE(reg.get_setting(40, key), value);
    }

    void scan_arch_info_resets_both_archives()
    {
        modem_record rec({{"arch_info_15", geometry(15, 1000, 4)}});
        QVERIFY(rec.aix_day.type == 14 && rec.aix_day.max_index == 1 && rec.aix_hour.max_index == 1000);
        for (arch_index* aix : {&rec.aix_day, &rec.aix_hour}) {
            aix->indexes.insert(1, 1);
            aix->is_loaded = true;
            aix->req_index = aix->req_counter = aix->cause_ret = 3;
            aix->req_ts = aix->cmd_id = aix->default_ts = 5;
        }
        rec.settings.insert("arch_info_14", geometry(14, 20, 4096));
        rec.scan_arch_info();
        for (arch_index* aix : {&rec.aix_day, &rec.aix_hour}) {
            QVERIFY(aix->indexes.isEmpty() && !aix->is_loaded);
            QVERIFY(aix->req_index == -1 && aix->req_counter == 0 && aix->req_ts == 0 && aix->cmd_id == 0);
            QVERIFY(aix->default_ts == 5 && aix->cause_ret == 3);
        }
        QVERIFY(rec.aix_day.max_index == 20 && rec.aix_day.max_count == 20 && rec.aix_hour.max_index == 1000);
    }

    // The newest time per slot is kept; slots the ring evidently overwrote are dropped only
    // when they are few.
    void index_received_data()
    {
        QTest::addColumn<index_map>("before");
        QTest::addColumn<uint>("index");
        QTest::addColumn<uint>("ts");
        QTest::addColumn<index_map>("after");
        QTest::newRow("first") << index_map() << 5u << 1000u << index_map{{5, 1000}};
        QTest::newRow("older time overwrites") << index_map{{5, 1000}, {1, 10}} << 5u << 900u
                                               << index_map{{5, 900}, {1, 10}};
        QTest::newRow("new index") << index_map{{5, 1000}, {1, 10}} << 6u << 5000u
                                   << index_map{{5, 1000}, {1, 10}, {6, 5000}};
        // 30 entries: index 5 at 1000, `older` entries below it, `equal` at 1000, the rest above.
        auto ring = [](int older, int equal, uint32_t ts5) {
            index_map m{{5, ts5}};
            for (int i = 0; i < older; ++i)
                m.insert(100 + i, 500 + i);
            for (int i = 0; i < equal; ++i)
                m.insert(150 + i, 1000);
            for (uint32_t i = 0; m.size() < 30; ++i)
                m.insert(200 + i, 2000 + i);
            return m;
        };
        index_map pruned = ring(2, 0, 2000);
        pruned.remove(100);
        pruned.remove(101);
        QTest::newRow("2 of 30 stale: pruned") << ring(2, 0, 1000) << 5u << 2000u << pruned;
        QTest::newRow("3 of 30 stale: kept") << ring(3, 0, 1000) << 5u << 2000u << ring(3, 0, 2000);
        QTest::newRow("equal time not stale") << ring(0, 5, 1000) << 5u << 4000u << ring(0, 5, 4000);
    }
    void index_received()
    {
        QFETCH(index_map, before);
        QFETCH(uint, index);
        QFETCH(uint, ts);
        QFETCH(index_map, after);
        arch_index aix;
        aix.indexes = before;
        aix.index_received(index, ts);
        QCOMPARE(aix.indexes, after);
    }

    // The main thread writes settings, adds modems and rewrites the IEC 104 map while reader
    // threads copy them: a setting's two fields always agree, and all addresses of one map
    // copy carry the same generation.
    void concurrent_readers_see_whole_values()
    {
        RAM_modems reg({}, nullptr);
        for (uint32_t m = 10; m < 20; ++m)
            reg.add_modem(m, {});
        std::atomic<bool> stop{false};
        std::atomic<int> torn{0}, reads{0};
        QList<QThread*> readers;
        for (int r = 0; r < 3; ++r) {
            readers << QThread::create([&, r] {
                while (!stop) {
                    const uint32_t m = 10 + uint32_t(reads++ % 14); // 20..23 come and go
                    const QVariantMap pair =
                        (r ? reg.get_settings(m).value("pair") : reg.get_setting(m, "pair")).toMap();
                    if (pair.value("twice").toInt() != 2 * pair.value("n").toInt())
                        ++torn;
                    const index_map map = reg.iec104_map();
                    for (uint32_t v : map)
                        if (v >> 16 != map.first() >> 16)
                            ++torn;
                    reg.iec_id(m);
                    reg.modem_ids();
                    reg.modems_by_version(true, "1.");
                }
            });
            readers.last()->start();
        }
        for (int i = 1; i <= 20000; ++i) {
            const uint32_t m = 10 + uint32_t(i % 10);
            if (i % 2)
                reg.slot_set_setting(m, "pair", QStringLiteral("{\"n\":%1,\"twice\":%2}").arg(i).arg(2 * i), false);
            else if (i % 4)
                reg.find_modem(m)->set_setting("pair", QVariantMap{{"n", i}, {"twice", 2 * i}});
            else // in place, while readers hold copies of the map
                reg.set_map_setting(m, "pair", {{"n", i}, {"twice", 2 * i}});
            reg.find_modem(m)->set_setting("version", QVariantMap{{"sw", QStringLiteral("1.%1").arg(i)}});
            if (i % 100 == 0)
                reg.add_modem(20 + uint32_t(i / 100 % 4), {{"pair", QVariantMap{{"n", i}, {"twice", 2 * i}}}});
            if (i % 3 == 0) {
                index_map map;
                for (uint32_t k = 0; k < 50; ++k)
                    map.insert(k, (uint32_t(i) << 16) | k);
                reg.set_iec104_map(map);
            } else {
                reg.set_iec_id(uint32_t(i % 50), (uint32_t(i / 3 * 3) << 16) | uint32_t(i % 50));
            }
        }
        stop = true;
        for (QThread* t : readers) {
            QVERIFY(t->wait(30000));
            delete t;
        }
        QVERIFY(reads > 0);
        QCOMPARE(torn.load(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_ram_modems)
#include "tst_ram_modems.moc"
