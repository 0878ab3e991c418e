#include "ram_modems.h"
#include "sql_exchange.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QMutex>
#include <QThread>
#include <QtTest>
#include <atomic>

namespace {

// Storage double: keeps what the registry hands over and serves stored settings.
class fake_storage : public SQL_Exchange
{
public:
    explicit fake_storage(QMap<uint32_t, QVariantMap> pending = {}) : SQL_Exchange({}, nullptr), pending(pending) {}

    QList<Parser_ul_app> uplinks;
    QMap<uint32_t, QVariantMap> pending;
    int pending_calls = 0;

    bool init() override { return true; }
    QVariantMap send_dl(uint32_t, QStringList, QString, QVariant) override { return {}; }
    void send_dl(QList<uint32_t>, QStringList, QString, QVariant) override {}
    void remove_old(uint8_t, uint32_t) override {}
    QMap<uint32_t, QVariantMap> get_pending_settings() override
    {
        ++pending_calls;
        return pending;
    }
    void slot_UL(Parser_ul_app ul) override { uplinks << ul; }
    void slot_DL_status(Rabbit_dl_status) override {}
    void slot_loader_req(uint32_t, uint8_t, uint32_t) override {}
};

// Collects the registry's log lines while alive.
struct log_capture
{
    static QStringList lines;
    QtMessageHandler previous;
    log_capture()
    {
        lines.clear();
        previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& m) { lines << m; });
    }
    ~log_capture() { qInstallMessageHandler(previous); }
};
QStringList log_capture::lines;

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

QVariantMap radio(const char* dl)
{
    return QVariantMap{{"dl", QString::fromLatin1(dl)}, {"ul", "UL_PSK_200"}};
}

using index_map = QMap<uint32_t, uint32_t>;

} // namespace

class tst_ram_modems : public QObject
{
    Q_OBJECT

private slots:
    void instance_follows_the_live_registry()
    {
        {
            RAM_modems reg({}, nullptr);
            QCOMPARE(RAM_modems::instance, &reg);
        }
        QVERIFY(RAM_modems::instance == nullptr);
    }

    void absent_modem_reads_create_nothing()
    {
        RAM_modems reg({}, nullptr);
        QCOMPARE(reg.get_settings(7), QVariantMap());
        QVERIFY(!reg.get_setting(7, "radio").isValid());
        QVERIFY(reg.find_modem(7) == nullptr);
        QVERIFY(reg.modem_ids().isEmpty());
        QVERIFY(reg.find_bs(7) == nullptr);
        QVERIFY(reg.bs_ids().isEmpty());

        reg.add_modem(7, {{"a", 1}});
        QVERIFY(!reg.get_setting(7, "b").isValid());
        QCOMPARE(reg.get_setting(7, "a"), QVariant(1));
    }

    // What slot_set_setting keeps for a value, and what it hands to storage.
    void set_setting_values_data()
    {
        QTest::addColumn<uint>("modem");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QVariant>("stored");
        QTest::newRow("object text") << 10u << QVariant("{\"a\":1}") << QVariant(QVariantMap{{"a", 1}});
        QTest::newRow("array text") << 10u << QVariant("[1,2]") << QVariant(QVariantList{1, 2});
        QTest::newRow("nested object text")
            << 10u << QVariant("{\"dl\":\"DL_PSK_500\",\"n\":[1,{\"b\":true}]}")
            << QVariant(QVariantMap{{"dl", "DL_PSK_500"}, {"n", QVariantList{1, QVariantMap{{"b", true}}}}});
        QTest::newRow("utf-8 text inside") << 10u << QVariant(QString::fromUtf8("{\"name\":\"Сч\xc3\xabtchik Σ\"}"))
                                           << QVariant(QVariantMap{{"name", QString::fromUtf8("Сч\xc3\xabtchik Σ")}});
        QTest::newRow("json as bytes") << 10u << QVariant(QByteArray("{\"a\":2}")) << QVariant(QVariantMap{{"a", 2}});
        QTest::newRow("number") << 10u << QVariant(42) << QVariant(42);
        QTest::newRow("number as text") << 10u << QVariant("42") << QVariant("42");
        QTest::newRow("plain text") << 10u << QVariant("abc") << QVariant("abc");
        QTest::newRow("empty object text") << 10u << QVariant("{}") << QVariant("{}");
        QTest::newRow("empty array text") << 10u << QVariant("[]") << QVariant("[]");
        QTest::newRow("broken json") << 10u << QVariant("{\"a\":") << QVariant("{\"a\":");
        QTest::newRow("already a map") << 10u << QVariant(QVariantMap{{"x", "{\"y\":1}"}})
                                       << QVariant(QVariantMap{{"x", "{\"y\":1}"}});
        QTest::newRow("driver settings modem 2") << 2u << QVariant("{\"data_ms\":200}")
                                                 << QVariant(QVariantMap{{"data_ms", 200}});
        QTest::newRow("event log modem 1") << 1u << QVariant(1700000000u) << QVariant(1700000000u);
    }
    void set_setting_values()
    {
        QFETCH(uint, modem);
        QFETCH(QVariant, value);
        QFETCH(QVariant, stored);
        fake_storage sql;
        RAM_modems reg({}, nullptr);

        const uint32_t before = uint32_t(QDateTime::currentSecsSinceEpoch());
        reg.slot_set_setting(modem, "s", value);
        const uint32_t after = uint32_t(QDateTime::currentSecsSinceEpoch());
        QCOMPARE(reg.get_setting(modem, "s"), stored);
        QCOMPARE(reg.get_settings(modem), QVariantMap({{"s", stored}}));

        QCOMPARE(sql.uplinks.size(), 1);
        const Parser_ul_app& ul = sql.uplinks.first();
        QCOMPARE(ul.modem_id, uint32_t(modem));
        QVERIFY(ul.ts_get >= before && ul.ts_get <= after);
        QVERIFY(ul.ul_datas.isEmpty());
        QVERIFY(ul.ul_events.isEmpty());
        QVERIFY(ul.payload.isEmpty());
        QCOMPARE(ul.ul_settings.size(), 1);
        QCOMPARE(ul.ul_settings.first().ts, ul.ts_get);
        QCOMPARE(ul.ul_settings.first().key, QString("s"));
        QCOMPARE(ul.ul_settings.first().value, stored);

        // Memory only: storage hears nothing, the record still changes.
        reg.slot_set_setting(modem, "t", value, false);
        QCOMPARE(reg.get_setting(modem, "t"), stored);
        QCOMPARE(sql.uplinks.size(), 1);
    }

    void set_setting_without_storage()
    {
        RAM_modems reg({}, nullptr);
        QVERIFY(SQL_Exchange::instance == nullptr);
        reg.slot_set_setting(5, "s", "[3]");
        QCOMPARE(reg.get_setting(5, "s"), QVariant(QVariantList{3}));
    }

    void set_setting_keeps_the_record()
    {
        fake_storage sql;
        RAM_modems reg({}, nullptr);
        modem_record* rec = reg.add_modem(5, {{"a", 1}});
        rec->aix_day.indexes.insert(3, 100);
        reg.slot_set_setting(5, "b", 2);
        QCOMPARE(reg.find_modem(5), rec);
        QCOMPARE(reg.get_settings(5), QVariantMap({{"a", 1}, {"b", 2}}));
        QCOMPARE(rec->aix_day.indexes.value(3), 100u);
    }

    void queued_slot_with_three_arguments()
    {
        fake_storage sql;
        RAM_modems reg({}, nullptr);
        QVERIFY(QMetaObject::invokeMethod(&reg, "slot_set_setting", Qt::QueuedConnection, Q_ARG(uint32_t, 77),
                                          Q_ARG(QString, "radio"), Q_ARG(QVariant, QVariant("{\"dl\":\"x\"}"))));
        QVERIFY(!reg.get_setting(77, "radio").isValid());
        QCoreApplication::processEvents();
        QCOMPARE(reg.get_setting(77, "radio"), QVariant(QVariantMap{{"dl", "x"}}));
        QCOMPARE(sql.uplinks.size(), 1); // save_to_db defaults to true
    }

    // Busyness limits in percent as the API shows them, by how the record came to be.
    void busyness_limits_data()
    {
        QTest::addColumn<QVariantMap>("config");
        QTest::addColumn<bool>("through_add");
        QTest::addColumn<QList<int>>("limits");
        const QVariantMap none;
        QTest::newRow("add without config") << none << true << QList<int>{95, 90, 80, 70};
        QTest::newRow("add, empty config map")
            << QVariantMap{{"max_busyness", QVariantMap()}} << true << QList<int>{99, 95, 80, 60};
        QTest::newRow("add, partial config")
            << QVariantMap{{"max_busyness", QVariantMap{{"DL_PSK_500", 50}, {"DL_PSK_200", 33}}}} << true
            << QList<int>{99, 95, 50, 33};
        QTest::newRow("add, full config")
            << QVariantMap{{"max_busyness",
                            QVariantMap{{"DL_PSK_FASTDL", 10}, {"DL_PSK_5000", 20}, {"DL_PSK_500", 30}, {"DL_PSK_200", 40}}}}
            << true << QList<int>{10, 20, 30, 40};
        QTest::newRow("set_setting ignores config")
            << QVariantMap{{"max_busyness", QVariantMap{{"DL_PSK_FASTDL", 10}}}} << false << QList<int>{95, 90, 80, 70};
    }
    void busyness_limits()
    {
        QFETCH(QVariantMap, config);
        QFETCH(bool, through_add);
        QFETCH(QList<int>, limits);
        RAM_modems reg(config, nullptr);
        if (through_add)
            reg.add_modem(3, {});
        else
            reg.slot_set_setting(3, "x", 1, false);
        QVERIFY(reg.find_modem(3));
        QCOMPARE(percents(*reg.find_modem(3)), limits);
    }

    // Cost and limit of one downlink follow the modem's downlink layer.
    void downlink_layer_data()
    {
        QTest::addColumn<QVariant>("radio_setting");
        QTest::addColumn<float>("factor");
        QTest::addColumn<int>("limit_index");
        QTest::newRow("fast") << QVariant(radio("DL_PSK_FASTDL")) << 0.003f << 0;
        QTest::newRow("5000") << QVariant(radio("DL_PSK_5000")) << 0.01f << 1;
        QTest::newRow("500") << QVariant(radio("DL_PSK_500")) << 1.0f / 12 << 2;
        QTest::newRow("200") << QVariant(radio("DL_PSK_200")) << 0.19333333f << 3;
        QTest::newRow("lower case") << QVariant(radio("dl_psk_500")) << 0.19333333f << 3;
        QTest::newRow("no radio") << QVariant() << 0.19333333f << 3;
        QTest::newRow("radio as text") << QVariant("DL_PSK_500") << 0.19333333f << 3;
    }
    void downlink_layer()
    {
        QFETCH(QVariant, radio_setting);
        QFETCH(float, factor);
        QFETCH(int, limit_index);
        RAM_modems reg({}, nullptr);
        modem_record* rec = reg.add_modem(4, {});
        if (radio_setting.isValid())
            rec->set_setting("radio", radio_setting);
        const float limits[4] = {0.5f, 0.4f, 0.3f, 0.2f};
        std::copy(limits, limits + 4, rec->max_busyness);
        QCOMPARE(RAM_modems::dl_time_factor(*rec), factor);
        QCOMPARE(RAM_modems::max_busyness_for(*rec), limits[limit_index]);
    }

    void no_db_list_is_read_once()
    {
        RAM_modems reg({{"no_db", QVariantList{"cmd"}}}, nullptr);
        QVERIFY(reg.is_no_db("cmd"));
        QVERIFY(!reg.is_no_db("curr"));
        QVERIFY(!reg.is_no_db("CMD"));
        reg.config.insert("no_db", QVariantList{"curr"});
        QVERIFY(reg.is_no_db("cmd"));
        QVERIFY(!reg.is_no_db("curr"));

        RAM_modems bare({}, nullptr);
        QVERIFY(!bare.is_no_db("cmd"));
        QVERIFY(!bare.is_no_db(""));
    }

    void modems_by_version()
    {
        RAM_modems reg({}, nullptr);
        reg.add_modem(11, {{"version", QVariantMap{{"sw", "5.4.2"}, {"hw", "HW-A"}}}});
        reg.add_modem(12, {{"version", QVariantMap{{"sw", "5.3.4"}, {"hw", "HW-B"}}}});
        reg.add_modem(13, {});
        reg.add_modem(14, {{"version", QVariantMap{{"hw", "HW-A.4."}}}});
        reg.add_modem(15, {{"version", "5.4.1"}});
        auto sorted = [](QList<uint32_t> l) {
            std::sort(l.begin(), l.end());
            return l;
        };
        QCOMPARE(sorted(reg.modems_by_version(true, ".4.")), QList<uint32_t>{11});
        QCOMPARE(sorted(reg.modems_by_version(false, "HW-A")), (QList<uint32_t>{11, 14}));
        QCOMPARE(sorted(reg.modems_by_version(false, "hw-a")), QList<uint32_t>());
        QCOMPARE(sorted(reg.modems_by_version(true, "5.")), (QList<uint32_t>{11, 12}));
    }

    void find_cmds_across_modems()
    {
        RAM_modems reg({}, nullptr);
        auto cmd = [](uint32_t id, uint32_t state) {
            Stringify_dl_app c;
            c.cmd_id = id;
            c.state = state;
            return c;
        };
        modem_record* a = reg.add_modem(20, {});
        modem_record* b = reg.add_modem(21, {});
        a->cmds.insert(100, cmd(100, 1));
        a->cmds.insert(101, cmd(101, 5));
        b->cmds.insert(200, cmd(200, 3));
        QCOMPARE(reg.find_cmds({100, 200, 300}), (QMap<uint32_t, uint32_t>{{100, 1}, {200, 3}}));
        QCOMPARE(reg.find_cmds({}), (QMap<uint32_t, uint32_t>{}));
        QCOMPARE(reg.find_cmds({101, 101}), (QMap<uint32_t, uint32_t>{{101, 5}}));
    }

    void base_stations()
    {
        RAM_modems reg({}, nullptr);
        QVERIFY(reg.find_bs(300) == nullptr);
        bs_record* bs = reg.get_bs(300);
        QCOMPARE(bs->bs, 0u);
        QCOMPARE(bs->busyness, 0.0f);
        QCOMPARE(bs->aver_busyness, 0.0f);
        bs->bs = 300;
        bs->busyness = 0.25f;
        bs->aver_busyness = 0.125f;
        QCOMPARE(reg.find_bs(300), bs);
        QCOMPARE(reg.bs_ids(), QList<uint32_t>{300});

        const QVariantMap map = RAM_modems::bs_to_map(*bs);
        QCOMPARE(map.value("bs").toInt(), 300);
        QCOMPARE(map.value("busyness").toDouble(), 25.0);
        QCOMPARE(map.value("aver_busyness").toDouble(), 12.5);
        QCOMPARE(map.size(), 3);

        // get_bs hands out a fresh, zeroed record under the same id.
        bs_record* again = reg.get_bs(300);
        QCOMPARE(reg.find_bs(300), again);
        QCOMPARE(again->busyness, 0.0f);
        QCOMPARE(reg.bs_ids().size(), 1);
    }

    void add_modem_replaces()
    {
        RAM_modems reg({}, nullptr);
        modem_record* first = reg.add_modem(8, {{"a", 1}});
        first->bs_dl = 9;
        modem_record* second = reg.add_modem(8, {{"b", 2}});
        QCOMPARE(reg.find_modem(8), second);
        QCOMPARE(second->bs_dl, uint16_t(0));
        QCOMPARE(reg.get_settings(8), QVariantMap({{"b", 2}}));
        QCOMPARE(reg.modem_ids().size(), 1);
    }

    void load_settings_replaces_modems_keeps_stations()
    {
        const QMap<uint32_t, QVariantMap> stored{
            {1, {{"update_ts", 1700000000u}}},
            {2, {{"data_ms", 200}, {"auto_time_sync", 86400}}},
            {100, {{"arch_info_14", geometry(14, 2000, 64)}, {"radio", radio("DL_PSK_500")}}},
        };
        fake_storage sql(stored);
        RAM_modems reg({{"max_busyness", QVariantMap{{"DL_PSK_500", 42}}}}, nullptr);
        reg.add_modem(9, {{"old", true}});
        reg.get_bs(5);

        log_capture logs;
        reg.load_settings();
        QCOMPARE(sql.pending_calls, 1);
        QVERIFY(reg.find_modem(9) == nullptr);
        QVERIFY(reg.find_bs(5) != nullptr);
        QList<uint32_t> ids = reg.modem_ids();
        std::sort(ids.begin(), ids.end());
        QCOMPARE(ids, (QList<uint32_t>{1, 2, 100}));
        for (uint32_t id : stored.keys())
            QCOMPARE(reg.get_settings(id), stored.value(id));
        QCOMPARE(reg.get_setting(1, "update_ts").toUInt(), 1700000000u);

        const modem_record* m = reg.find_modem(100);
        QCOMPARE(m->aix_day.max_index, 2000);
        QCOMPARE(m->aix_day.max_count, 1937);
        QCOMPARE(m->aix_hour.max_index, 1);
        QCOMPARE(RAM_modems::max_busyness_for(*m), 0.42f);
        QVERIFY(sql.uplinks.isEmpty()); // loading saves nothing back

        QVERIFY(logs.lines.filter("start read modems settings").size() == 1);
        QVERIFY(logs.lines.filter(QRegularExpression("devices 3$")).size() == 1);
    }

    void modem_dump()
    {
        RAM_modems reg({}, nullptr);
        modem_record* rec = reg.add_modem(30, {{"radio", radio("DL_PSK_5000")}});
        rec->curr_data.insert(10, Ul_data_record(254, 10));
        rec->curr_data.insert(11, Ul_data_record(254, 11));
        rec->cmds.insert(7, Stringify_dl_app());
        rec->cmds.insert(9, Stringify_dl_app());
        rec->req_timeout = 600;
        rec->bs_dl = 65535;
        rec->last_success_dl_ts = 1700000000;
        rec->get_index_flags = 0x1 | GIF_LAST_DAY | GIF_PROFILE_DAY | GIF_NO_BS_DL | GIF_DAY_NOT_LOADED;
        rec->aix_hour.indexes.insert(3, 3600);

        const QVariantMap map = RAM_modems::modem_to_map(*rec);
        QCOMPARE(map.keys(), (QStringList{"14_day", "15_hour", "bs_dl", "cmds", "curr_data count", "flags for get_index",
                                          "last_success_dl_ts", "last_success_dl_ts_txt", "max_busyness", "req_timeout",
                                          "settings"}));
        QCOMPARE(map.value("settings").toMap(), rec->settings);
        QCOMPARE(map.value("curr_data count").toInt(), 2);
        QVariantList cmds = map.value("cmds").toList();
        std::sort(cmds.begin(), cmds.end(), [](const QVariant& a, const QVariant& b) { return a.toUInt() < b.toUInt(); });
        QCOMPARE(cmds, (QVariantList{7u, 9u}));
        QCOMPARE(map.value("req_timeout"), QVariant(600u));
        QCOMPARE(map.value("bs_dl"), QVariant(65535));
        QCOMPARE(map.value("last_success_dl_ts"), QVariant(1700000000u));
        QCOMPARE(map.value("last_success_dl_ts_txt").toString(),
                 QDateTime::fromSecsSinceEpoch(1700000000).toString("yyyy.MM.dd hh:mm:ss"));
        QCOMPARE(map.value("flags for get_index").toStringList(),
                 (QStringList{"profile_day", "!aix_day.is_loaded", "!bs_dl", "last_day"}));
        QCOMPARE(map.value("14_day").toMap().value("|indexes_count").toInt(), 0);
        QCOMPARE(map.value("15_hour").toMap().value("|indexes_count").toInt(), 1);
        QCOMPARE(percents(*rec), (QList<int>{95, 90, 80, 70}));

        rec->get_index_flags = 0xFFFFFFFF;
        QCOMPARE(RAM_modems::modem_to_map(*rec).value("flags for get_index").toStringList(),
                 (QStringList{"profile_day", "profile_hour", "!aix_day.is_loaded", "!aix_hour.is_loaded",
                              "old last_success_dl_ts", "!bs_dl", "last_day"}));
    }

    void arch_index_dump()
    {
        arch_index aix(15);
        aix.max_index = 100;
        aix.max_count = 90;
        aix.is_loaded = true;
        aix.req_index = 42;
        aix.req_counter = 2;
        aix.req_ts = 86400 + 3661;
        aix.cmd_id = 77;
        aix.cause_ret = -3;
        aix.default_ts = 1700000000;
        aix.indexes.insert(0, 0);
        aix.indexes.insert(41, 1700003600);
        const QVariantMap map = RAM_modems::arch_index_to_map(aix);
        const QVariantMap want{
            {"max_index", 100},
            {"max_count", 90},
            {"is_loaded", true},
            {"req_index", 42},
            {"req_counter", 2},
            {"req_ts", 90061u},
            {"req_ts_txt", "1970.01.02 01:01:01"},
            {"cmd_id", 77},
            {"cause_ret", -3},
            {"default_ts", 1700000000u},
            {"|indexes_txt", QVariantMap{{"0", "0 1970.01.01 00:00:00"}, {"41", "1700003600 2023.11.14 23:13:20"}}},
            {"|indexes_count", 2},
        };
        QCOMPARE(map, want);
    }

    // Archive geometry from the meter's "arch_info_<type>" settings, written after a first,
    // good geometry of 500 slots with 493 held (512-byte records) for both archives.
    void archive_geometry_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<int>("day_index");
        QTest::addColumn<int>("day_count");
        QTest::addColumn<int>("hour_index");
        QTest::addColumn<int>("hour_count");
        QTest::addColumn<bool>("complains");
        const int gi = 500, gc = 493;
        QTest::newRow("defaults") << "arch_info_14" << QVariant(geometry(14)) << 10 << 0 << gi << gc << false;
        QTest::newRow("ring larger than a page")
            << "arch_info_14" << QVariant(geometry(14, 2000, 64)) << 2000 << 1937 << gi << gc << false;
        QTest::newRow("ring smaller than a page")
            << "arch_info_14" << QVariant(geometry(14, 300, 12)) << 300 << 0 << gi << gc << false;
        QTest::newRow("hour, record of a page")
            << "arch_info_15" << QVariant(geometry(15, 100, 4096)) << gi << gc << 100 << 100 << false;
        QTest::newRow("hour, record over a page never holds more than the ring")
            << "arch_info_15" << QVariant(geometry(15, 100, 5000)) << gi << gc << 100 << 100 << false;
        QTest::newRow("huge ring does not overflow")
            << "arch_info_15" << QVariant(geometry(15, 2147483647, 8192)) << gi << gc << 2147483647 << 2147483647 << false;
        QTest::newRow("values as text") << "arch_info_14" << QVariant(QVariantMap{{"index", "14"}, {"count_max", "2000"}, {"rec_size", "64"}})
                                        << 2000 << 1937 << gi << gc << false;
        QTest::newRow("map for the other archive") << "arch_info_14" << QVariant(geometry(15, 500))
                                                   << gi << gc << gi << gc << false;
        QTest::newRow("no index") << "arch_info_14" << QVariant(QVariantMap{{"count_max", 50}}) << gi << gc << gi << gc << false;
        QTest::newRow("not a map") << "arch_info_14" << QVariant("garbage") << gi << gc << gi << gc << false;
        QTest::newRow("record size 0") << "arch_info_14" << QVariant(geometry(14, 50, 0)) << gi << gc << gi << gc << true;
        QTest::newRow("negative record size")
            << "arch_info_15" << QVariant(geometry(15, 50, -12)) << gi << gc << gi << gc << true;
        QTest::newRow("count 0") << "arch_info_14" << QVariant(geometry(14, 0, 12)) << gi << gc << gi << gc << true;
        QTest::newRow("negative count") << "arch_info_15" << QVariant(geometry(15, -5, 12)) << gi << gc << gi << gc << true;
        QTest::newRow("count not a number")
            << "arch_info_14" << QVariant(geometry(14, "many", 12)) << gi << gc << gi << gc << true;
        QTest::newRow("other key") << "arch_info_13" << QVariant(geometry(13, 50)) << gi << gc << gi << gc << false;
    }
    void archive_geometry()
    {
        QFETCH(QString, key);
        QFETCH(QVariant, value);
        QFETCH(int, day_index);
        QFETCH(int, day_count);
        QFETCH(int, hour_index);
        QFETCH(int, hour_count);
        QFETCH(bool, complains);

        RAM_modems reg({}, nullptr);
        // A record created with the settings reads its geometry at construction.
        modem_record* rec = reg.add_modem(
            40, {{"arch_info_14", geometry(14, 500, 512)}, {"arch_info_15", geometry(15, 500, 512)}});
        QCOMPARE(rec->aix_day.max_index, 500);
        QCOMPARE(rec->aix_day.max_count, 493);
        QCOMPARE(rec->aix_hour.max_count, 493);
        rec->aix_day.indexes.insert(1, 100);
        rec->aix_day.is_loaded = true;
        rec->aix_day.req_index = 1;

        log_capture logs;
        reg.slot_set_setting(40, key, value, false);
        QCOMPARE(rec->aix_day.max_index, day_index);
        QCOMPARE(rec->aix_day.max_count, day_count);
        QCOMPARE(rec->aix_hour.max_index, hour_index);
        QCOMPARE(rec->aix_hour.max_count, hour_count);
        QVERIFY(rec->aix_day.max_count <= rec->aix_day.max_index);
        QVERIFY(rec->aix_hour.max_count <= rec->aix_hour.max_index);
        QCOMPARE(logs.lines.filter("(Exc)").filter(key).size(), complains ? 1 : 0);
        // A geometry change leaves what was loaded alone; the setting is kept as given.
        QCOMPARE(rec->aix_day.indexes.size(), 1);
        QVERIFY(rec->aix_day.is_loaded);
        QCOMPARE(rec->aix_day.req_index, 1);
        QCOMPARE(reg.get_setting(40, key), value);
    }

    void scan_arch_info_resets_both_archives()
    {
        RAM_modems reg({}, nullptr);
        modem_record* rec = reg.add_modem(41, {{"arch_info_15", geometry(15, 1000, 4)}});
        QCOMPARE(rec->aix_day.type, 14u);
        QCOMPARE(rec->aix_hour.type, 15u);
        QCOMPARE(rec->aix_hour.max_index, 1000);
        QCOMPARE(rec->aix_hour.max_count, 0);
        QCOMPARE(rec->req_timeout, 900u);
        for (arch_index* aix : {&rec->aix_day, &rec->aix_hour}) {
            QCOMPARE(aix->max_index == 1, aix == &rec->aix_day);
            QCOMPARE(aix->req_index, -1);
            QVERIFY(!aix->is_loaded);
            aix->indexes.insert(1, 1);
            aix->is_loaded = true;
            aix->req_index = 1;
            aix->req_counter = 3;
            aix->req_ts = 5;
            aix->cmd_id = 6;
            aix->default_ts = 7;
            aix->cause_ret = 8;
        }
        rec->settings.insert("arch_info_14", geometry(14, 20, 4096));
        rec->scan_arch_info();
        for (arch_index* aix : {&rec->aix_day, &rec->aix_hour}) {
            QVERIFY(aix->indexes.isEmpty());
            QVERIFY(!aix->is_loaded);
            QCOMPARE(aix->req_index, -1);
            QCOMPARE(aix->req_counter, 0);
            QCOMPARE(aix->req_ts, 0u);
            QCOMPARE(aix->cmd_id, 0u);
            QCOMPARE(aix->default_ts, 7u);
            QCOMPARE(aix->cause_ret, 8);
        }
        QCOMPARE(rec->aix_day.max_index, 20);
        QCOMPARE(rec->aix_day.max_count, 20);
        QCOMPARE(rec->aix_hour.max_index, 1000);
    }

    // index_received keeps the newest time per slot and drops slots the ring has evidently
    // overwritten, but only when they are few.
    void index_received_data()
    {
        QTest::addColumn<QMap<uint32_t, uint32_t>>("before");
        QTest::addColumn<uint>("index");
        QTest::addColumn<uint>("ts");
        QTest::addColumn<QMap<uint32_t, uint32_t>>("after");
        using M = QMap<uint32_t, uint32_t>;

        QTest::newRow("first index") << M() << 5u << 1000u << M{{5, 1000}};
        QTest::newRow("older time overwrites, prunes nothing")
            << M{{5, 1000}, {1, 10}} << 5u << 900u << M{{5, 900}, {1, 10}};
        QTest::newRow("same time") << M{{5, 1000}, {1, 10}} << 5u << 1000u << M{{5, 1000}, {1, 10}};
        QTest::newRow("new index prunes nothing") << M{{5, 1000}, {1, 10}} << 6u << 5000u
                                                  << M{{5, 1000}, {1, 10}, {6, 5000}};

        // 30 entries: index 5 at 1000, `older` entries below 1000, the rest above.
        auto ring = [](int older) {
            M m;
            m.insert(5, 1000);
            for (int i = 0; i < older; ++i)
                m.insert(100 + i, 500 + i);
            for (uint32_t i = 0; m.size() < 30; ++i)
                m.insert(200 + i, 2000 + i);
            return m;
        };
        M pruned = ring(2);
        pruned.remove(100);
        pruned.remove(101);
        pruned.insert(5, 2000);
        QTest::newRow("two of thirty stale: pruned") << ring(2) << 5u << 2000u << pruned;
        M kept = ring(3);
        kept.insert(5, 2000);
        QTest::newRow("three of thirty stale: kept") << ring(3) << 5u << 2000u << kept;
        // Entries as old as the overwritten one are not older than it.
        M equal = ring(0);
        equal.insert(300, 1000);
        M equal_after = equal;
        equal_after.insert(5, 4000);
        QTest::newRow("equal time not stale") << equal << 5u << 4000u << equal_after;
    }
    void index_received()
    {
        QFETCH(index_map, before);
        QFETCH(uint, index);
        QFETCH(uint, ts);
        QFETCH(index_map, after);
        arch_index aix(14);
        aix.indexes = before;
        aix.is_loaded = true;
        aix.req_index = 7;
        aix.index_received(index, ts);
        QCOMPARE(aix.indexes, after);
        QVERIFY(aix.is_loaded);
        QCOMPARE(aix.req_index, 7);
    }

    void iec_address_map()
    {
        RAM_modems reg({}, nullptr);
        QCOMPARE(reg.iec_id(5), 0u);
        QVERIFY(reg.iec104_map().isEmpty());
        reg.set_iec104_map({{30, 3}, {10, 1}, {20, 2}});
        QCOMPARE(reg.iec104_map().keys(), (QList<uint32_t>{10, 20, 30}));
        reg.set_iec_id(15, 7);
        reg.set_iec_id(20, 9);
        QCOMPARE(reg.iec104_map(), (QMap<uint32_t, uint32_t>{{10, 1}, {15, 7}, {20, 9}, {30, 3}}));
        QCOMPARE(reg.iec_id(15), 7u);
        // A copy handed out earlier does not follow later changes.
        const QMap<uint32_t, uint32_t> copy = reg.iec104_map();
        reg.set_iec104_map({});
        QCOMPARE(copy.size(), 4);
        QVERIFY(reg.iec104_map().isEmpty());
    }

    // The main thread writes settings, adds modems and rewrites the IEC 104 map while reader
    // threads copy them; every copy must be whole: a setting's two fields always agree, and
    // every address of one map version carries the same generation.
    void concurrent_readers_see_whole_values()
    {
        RAM_modems reg({}, nullptr);
        for (uint32_t m = 10; m < 20; ++m)
            reg.add_modem(m, {{"pair", QVariantMap{{"n", 0}, {"twice", 0}}}});

        std::atomic<bool> stop{false};
        QAtomicInt torn{0};
        QAtomicInt reads{0};
        QList<QThread*> readers;
        for (int r = 0; r < 3; ++r) {
            readers << QThread::create([&, r] {
                while (!stop.load()) {
                    const uint32_t m = 10 + uint32_t(reads.fetchAndAddRelaxed(1) % 14); // some not yet added
                    const QVariantMap pair =
                        (r % 2 ? reg.get_settings(m).value("pair") : reg.get_setting(m, "pair")).toMap();
                    if (!pair.isEmpty() && pair.value("twice").toInt() != 2 * pair.value("n").toInt())
                        torn.ref();
                    const QMap<uint32_t, uint32_t> map = reg.iec104_map();
                    const uint32_t gen = map.isEmpty() ? 0 : map.first() >> 16;
                    for (uint32_t v : map)
                        if (v >> 16 != gen)
                            torn.ref();
                    reg.iec_id(m);
                    reg.modem_ids();
                    reg.modems_by_version(true, "1.");
                }
            });
            readers.last()->start();
        }

        for (int i = 1; i <= 3000; ++i) {
            const uint32_t m = 10 + uint32_t(i % 10);
            if (i % 2)
                reg.slot_set_setting(m, "pair", QStringLiteral("{\"n\":%1,\"twice\":%2}").arg(i).arg(2 * i), false);
            else
                reg.find_modem(m)->set_setting("pair", QVariantMap{{"n", i}, {"twice", 2 * i}});
            reg.find_modem(m)->set_setting("version", QVariantMap{{"sw", QStringLiteral("1.%1").arg(i)}});
            if (i % 100 == 0)
                reg.add_modem(20 + uint32_t(i / 100 % 4), {{"pair", QVariantMap{{"n", i}, {"twice", 2 * i}}}});
            if (i % 3 == 0) {
                QMap<uint32_t, uint32_t> map;
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
        QVERIFY(reads.loadRelaxed() > 0);
        QCOMPARE(torn.loadRelaxed(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_ram_modems)
#include "tst_ram_modems.moc"
