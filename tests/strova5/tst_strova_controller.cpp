// The scheduler on simulated time: which commands reach storage, when, and what it leaves in
// the registry. Storage is a double that records every command.
#include "parser_strova5.h"
#include "ram_modems.h"
#include "sql_exchange.h"
#include "strova_controller.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

namespace {

constexpr uint32_t DAY = 86400;
constexpr uint32_t D0 = 1699920000; // 2023-11-14 00:00:00 UTC
constexpr uint32_t M = 1000;        // the modem under test
uint32_t g_now = 0;
uint32_t g_random = 0;

// JSON object text; "NOW-n" stands for the simulated time minus n seconds.
QVariantMap js(QString text)
{
    const QRegularExpression now_minus("NOW-(\\d+)");
    for (auto m = now_minus.match(text); m.hasMatch(); m = now_minus.match(text))
        text.replace(m.capturedStart(), m.capturedLength(), QString::number(g_now - m.captured(1).toUInt()));
    return QJsonDocument::fromJson(text.toUtf8()).toVariant().toMap();
}

QString compact(const QVariant& v)
{
    const QByteArray a = QJsonDocument(QJsonArray{QJsonValue::fromVariant(v)}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(a.mid(1, a.size() - 2));
}

// "5:1000 6:2000" -> {5: 1000, 6: 2000}
QMap<uint32_t, uint32_t> index_map(const QString& text)
{
    QMap<uint32_t, uint32_t> m;
    for (const QString& pair : text.split(' ', Qt::SkipEmptyParts))
        m.insert(pair.section(':', 0, 0).toUInt(), pair.section(':', 1).toUInt());
    return m;
}

// "1.0.1.8.1.255=1 1.0.1.8.2.255=0.5" -> record values
QMap<OBIS, QVariant> values_of(const QString& text)
{
    QMap<OBIS, QVariant> v;
    for (const QString& item : text.split(' ', Qt::SkipEmptyParts)) {
        OBIS code;
        obis_from_string(item.section('=', 0, 0), code);
        v.insert(code, item.section('=', 1).toDouble());
    }
    return v;
}

class sql_double : public SQL_Exchange
{
public:
    sql_double() : SQL_Exchange(QVariantMap(), nullptr) {}

    QStringList sent; // "setting data"; the list form is marked "*"
    QList<Parser_ul_app> stored;
    QStringList removed, loader;
    uint32_t next_cmd = 100;

    void record(uint32_t modem, const QStringList& rights, const QString& setting, const QVariant& data,
                const char* mark)
    {
        sent << mark + setting + (data.isNull() ? QString() : ' ' + compact(data));
        if (modem != M || rights != QStringList{"settings"})
            sent.last() += QStringLiteral(" to %1 as %2").arg(modem).arg(rights.join(','));
    }
    QVariantMap send_dl(uint32_t modem, QStringList rights, QString setting, QVariant data) override
    {
        record(modem, rights, setting, data, "");
        return {{"cmd_id", ++next_cmd}};
    }
    QVariantMap send_dl(QList<uint32_t> modems, QStringList rights, QString setting, QVariant data) override
    {
        for (uint32_t m : modems)
            record(m, rights, setting, data, "*");
        return {};
    }
    void remove_old(uint8_t type, uint32_t time) override
    {
        removed << QStringLiteral("%1:%2").arg(type).arg(time);
    }
    void slot_UL(Parser_ul_app ul) override { stored << ul; }
    void slot_loader_req(uint32_t modem, uint8_t type, uint32_t limit) override
    {
        loader << QStringLiteral("%1:%2:%3").arg(modem).arg(type).arg(limit);
    }
    // Keys of the settings saved to the database, in order.
    QStringList saved() const
    {
        QStringList keys;
        for (const Parser_ul_app& ul : stored)
            for (const Ul_setting& s : ul.ul_settings)
                keys << s.key;
        return keys;
    }
};

} // namespace

class tst_strova_controller : public QObject
{
    Q_OBJECT

    RAM_modems* ram = nullptr;
    sql_double* sql = nullptr;
    strova_controller* ctl = nullptr;

    void make(const QString& config_json) { ctl = new strova_controller(js(config_json), nullptr); }

    // "1 x ts=0 ev=113 tz=180": header, hardware type, then optional fields: a data record
    // stamped reception time + ts, an event code, the base station's time zone.
    static Parser_ul_app uplink(const QString& desc)
    {
        const QStringList f = desc.split(' ');
        Parser_ul_app ul;
        ul.modem_id = M;
        ul.ts_get = g_now;
        ul.header = uint8_t(f[0][0].toLatin1());
        ul.hw_type = f.value(1, "stm32").toLatin1();
        ul.phy = "UL_A";
        ul.dl_phy = "DL_PSK_FASTDL";
        ul.last_dl_bs = 5;
        ul.last_success_dl_ts = g_now - 60;
        ul.payload = QByteArray(1, char(ul.header)) + "abcdefgh";
        for (const QString& field : f.mid(2)) {
            const int value = field.section('=', 1).toInt();
            if (field.startsWith("ts="))
                ul.ul_datas << Ul_data_record(254, g_now + value);
            else if (field.startsWith("ev="))
                ul.ul_events << Ul_event_record(g_now, 0, 0, 0, uint32_t(value), OBIS());
            else if (field.startsWith("tz="))
                ul.bs_tz = int16_t(value);
        }
        return ul;
    }

    // A modem ready for archive reading: recent downlink, a base station, both maps loaded.
    modem_record* reading_modem(const QString& day_map = QString(), int max_count = 5)
    {
        modem_record* rec = ram->add_modem(
            M, js(R"({"radio": {"ul": "UL_A", "dl": "DL_PSK_FASTDL"}, "version": {"sw": "1.0.4.0"}})"));
        rec->bs_dl = 5;
        rec->last_success_dl_ts = g_now;
        rec->aix_day.is_loaded = rec->aix_hour.is_loaded = true;
        rec->aix_day.max_index = 10;
        rec->aix_day.max_count = max_count;
        rec->aix_day.indexes = index_map(day_map);
        ctl->index_modems = {M};
        return rec;
    }

private slots:
    void init()
    {
        g_now = D0 + 10 * 3600; // 13:00 at the default zone (+180 min)
        g_random = 0;
        strova_controller::time_source = [] { return g_now; };
        strova_controller::random_source = [] { return g_random; };
        ram = new RAM_modems(QVariantMap(), nullptr);
        sql = new sql_double;
    }
    void cleanup()
    {
        delete ctl;
        delete sql;
        delete ram;
        ctl = nullptr;
    }

    void timers_and_retention_data()
    {
        QTest::addColumn<QString>("lengths");
        QTest::addColumn<int>("remover_ms"); // 0: not running
        QTest::addColumn<QStringList>("removed");
        const uint t = D0 + 10 * 3600;
        QStringList events;
        for (int type = 0; type <= 11; ++type)
            events << QString("%1:%2").arg(type).arg(t - 7 * DAY);
        QTest::newRow("hour, day, month in order")
            << R"({"month": 400, "day": 30, "hour": 2, "remover_ms": 5000})" << 5000
            << QStringList{QString("15:%1").arg(t - 2 * DAY), QString("14:%1").arg(t - 30 * DAY),
                           QString("13:%1").arg(t - 400 * DAY)};
        QTest::newRow("every event type, no period") << R"({"event": 7, "day": 0})" << 0 << events;
        QTest::newRow("period 0 is no busy loop") << R"({"remover_ms": 0})" << 1000 << QStringList();
        QTest::newRow("period 999") << R"({"remover_ms": 999})" << 1000 << QStringList();
        // 60000 days reach before 1970: everything is kept, nothing wraps into the future.
        QTest::newRow("longer than the epoch") << R"({"day": 60000})" << 0 << QStringList{"14:0"};
        QTest::newRow("no lengths") << "" << 0 << QStringList();
    }
    void timers_and_retention()
    {
        QFETCH(QString, lengths);
        QFETCH(int, remover_ms);
        QFETCH(QStringList, removed);
        make(lengths.isEmpty() ? "{}" : QString(R"({"profiles_len_days": %1})").arg(lengths));
        QCOMPARE(strova_controller::instance, ctl);
        QVERIFY(ctl->timer_now->isActive());
        QCOMPARE(ctl->timer_now->interval(), 1000);
        QCOMPARE(ctl->timer_remover->isActive() ? ctl->timer_remover->interval() : 0, remover_ms);
        ctl->slot_timer_remover();
        QCOMPARE(sql->removed, removed);
    }

    void driver_settings()
    {
        make(R"({"time_arch_start": 1600000000, "event_spam_off": true, "read_arch_single": {}})");
        QCOMPARE(ctl->time_arch_start, 1600000000u);
        delete ctl;
        make(R"({"event_spam_off": true, "read_arch_single": {}})");
        QCOMPARE(ctl->time_arch_start, g_now);
        ram->add_modem(2, js(R"({"time_arch_start": 1650000000, "event_spam_off": false})"));
        QCOMPARE(ctl->load_driver_settings(), 2);
        QCOMPARE(ctl->time_arch_start, 1650000000u);
        QCOMPARE(ctl->config.value("event_spam_off").toBool(), false);
        QVERIFY(ctl->read_arch_enabled());
        QCOMPARE(ram->get_setting(2, "read_arch_single"), QVariant(QVariantMap()));
        QVERIFY(sql->stored.isEmpty()); // filled in memory only
    }

    // Which modems the tick keeps working on, and why (the flags the API shows).
    void tick_gates_data()
    {
        QTest::addColumn<QString>("config");
        QTest::addColumn<int>("bs_dl");  // -1: the modem vanished
        QTest::addColumn<int>("dl_age"); // now - last_success_dl_ts
        QTest::addColumn<bool>("hour_loaded");
        QTest::addColumn<uint>("flags");
        QTest::addColumn<bool>("listed");
        // Both archives closed by the radio gate: each reports a decision, the modem stays.
        const QString closed = R"({"read_arch_single": {}})";
        const auto row = [](const char* name, const QString& cfg, int bs, int age, bool hour, uint flags,
                            bool listed) {
            QTest::newRow(name) << cfg << bs << age << hour << flags << listed;
        };
        row("reading off", "{}", 5, 10, true, 0, true);
        row("vanished", closed, -1, 10, true, 0, false);
        row("downlink a day old", closed, 5, 86400, true, 0xC000, true);
        row("downlink too old", closed, 5, 86401, true, 0x40000, false);
        row("too old, no bs", closed, 0, 86401, true, 0xC0000, false);
        row("downlink in the future", closed, 5, -500, true, 0xC000, true);
        row("no bs", closed, 0, 10, true, 0x80000, false);
        row("hour not loaded", closed, 5, 10, false, 0x20000, false);
        // An open archive with the default geometry has nothing to ask for.
        row("day open for any layer", R"({"read_arch_single": {"14": {"ul|dl": ["any"]}}})", 5, 10, true,
            0x8000, true);
        row("hour open for both layers",
            R"({"read_arch_single": {"15": {"ul&dl": ["DL_PSK_FASTDL", "UL_A"]}}})", 5, 10, true, 0x4000,
            true);
        row("hour needs both layers", R"({"read_arch_single": {"15": {"ul&dl": ["UL_A"]}}})", 5, 10, true,
            0xC000, true);
        row("all open, nothing to ask",
            R"({"read_arch_single": {"14": {"ul|dl": ["UL_A"]}, "15": {"ul|dl": ["DL_PSK_FASTDL"]}}})", 5, 10,
            true, 0, false);
    }
    void tick_gates()
    {
        QFETCH(QString, config);
        QFETCH(int, bs_dl);
        QFETCH(int, dl_age);
        QFETCH(bool, hour_loaded);
        QFETCH(uint, flags);
        QFETCH(bool, listed);
        make(config);
        g_now += 1;
        modem_record* rec = reading_modem("", 0);
        rec->bs_dl = uint16_t(bs_dl);
        rec->last_success_dl_ts = g_now - dl_age;
        rec->aix_hour.is_loaded = hour_loaded;
        const uint32_t id = bs_dl < 0 ? M + 1 : M;
        ctl->index_modems = {id};
        ctl->slot_timer_now();
        QCOMPARE(ctl->now, g_now);
        QCOMPARE(ctl->index_modems.contains(id), listed);
        QCOMPARE(rec->get_index_flags, bs_dl < 0 ? 0u : flags);
        QCOMPARE(rec->last_success_dl_ts, g_now - qMax(dl_age, 0));
        QVERIFY(sql->sent.isEmpty());
    }

    void archive_walk_data()
    {
        QTest::addColumn<QString>("map");
        QTest::addColumn<int>("max_index");
        QTest::addColumn<int>("max_count");
        QTest::addColumn<uint>("arch_start");
        QTest::addColumn<int>("cause");
        QTest::addColumn<int>("req_index");
        QTest::addColumn<uint>("default_ts");
        const auto row = [](const char* name, const char* map, int mi, int mc, uint start, int cause, int req,
                            uint dts) {
            QTest::newRow(name) << map << mi << mc << start << cause << req << dts;
        };
        const char* line = "5:1000 6:2000 7:3000";
        const char* wrapped = "8:1000 9:2000 0:3000 1:4000";
        row("gap below the newest", line, 10, 5, 1, 251, 4, 999);
        row("held back to max_count", line, 10, 3, 1, -300, -1, 999);
        row("default geometry", "5:1000", 10, 0, 1, -300, -1, 0);
        row("busy base station", line, 10, 5, 1, 101, -1, 0);
        row("ring not wrapped", "0:1000 1:2000 2:3000", 10, 5, 1, -203, -1, 999);
        row("ring wrapped", wrapped, 10, 5, 1, 251, 7, 999);
        row("wrapped, before archive start", wrapped, 10, 5, 1000, -250, -1, 999);
        row("ring size 0", "0:1000", 0, 5, 1, -201, -1, 999);
        row("only index 0", "0:1000", 10, 5, 1, -202, -1, 999);
        row("index above the ring", "0:500 1:600 12:100", 10, 5, 1, -204, -1, 499);
        row("gap over 100", "0:500 1:600 50:100", 200, 5, 1, -205, -1, 499);
        row("gap over 24, young ring", "0:100000 1:100100 70:90000", 100, 5, 1, -207, -1, 99999);
        row("gap over 24, old ring", "0:200000 1:200100 70:90000", 100, 5, 1, 251, 99, 199999);
        row("record time 0 gives 0", "2:0 3:1", 10, 5, 0, 251, 1, 0);
    }
    void archive_walk()
    {
        QFETCH(QString, map);
        QFETCH(int, max_index);
        QFETCH(int, max_count);
        QFETCH(uint, arch_start);
        QFETCH(int, cause);
        QFETCH(int, req_index);
        QFETCH(uint, default_ts);
        make(QString(R"({"time_arch_start": %1, "read_arch_single": {"14": {"ul|dl": ["any"]}}})")
                 .arg(arch_start));
        modem_record* rec = reading_modem(map, max_count);
        rec->aix_day.max_index = max_index;
        if (cause == 101) ram->get_bs(5)->busyness = 0.95f;
        QCOMPARE(ctl->request_arch_index(M, *rec, rec->aix_day, 14), cause > 0);
        QCOMPARE(rec->aix_day.cause_ret, cause);
        QCOMPARE(rec->aix_day.req_index, req_index);
        QCOMPARE(rec->aix_day.default_ts, default_ts);
        QCOMPARE(rec->aix_day.req_counter, cause == 251 ? 5 : 0);
        QVERIFY(sql->sent.isEmpty()); // arming sends nothing yet
    }

    // One tick a second until the meter is given up on: sends, their spacing, the stored slot.
    void request_cycle_data()
    {
        QTest::addColumn<QString>("map");
        QTest::addColumn<int>("max_count");
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("sends");
        QTest::addColumn<uint>("default_ts");
        QTest::addColumn<int>("next_index");
        QTest::newRow("gap") << "5:1000 6:2000 7:3000" << 5 << 4 << 5 << 999u << 3;
        QTest::newRow("day rule") << QString("5:%1").arg(D0 - DAY + 1800) << 0 << 6 << 3 << D0 - DAY << -1;
    }
    void request_cycle()
    {
        QFETCH(QString, map);
        QFETCH(int, max_count);
        QFETCH(int, index);
        QFETCH(int, sends);
        QFETCH(uint, default_ts);
        QFETCH(int, next_index);
        make(R"({"time_arch_start": 1, "read_arch_single": {"14": {"ul|dl": ["any"]}}})");
        modem_record* rec = reading_modem(map, max_count);
        QList<uint32_t> times;
        for (int i = 0; i < 6000 && !rec->aix_day.indexes.contains(index); ++i, ++g_now) {
            ctl->slot_timer_now();
            if (sql->sent.size() > times.size()) {
                times << g_now;
                QCOMPARE(rec->aix_day.cmd_id, sql->next_cmd);
            }
        }
        QCOMPARE(sql->sent, QVector<QString>(sends, QString("get_arch_index [14,%1]").arg(index)).toList());
        for (int i = 1; i < times.size(); ++i)
            QCOMPARE(times[i] - times[i - 1], rec->req_timeout + 1);
        QCOMPARE(rec->aix_day.cause_ret, 2);
        QCOMPARE(rec->aix_day.indexes.value(index), default_ts);
        QCOMPARE(rec->aix_day.cmd_id, 0u);
        ctl->slot_timer_now(); // the search moves past the given-up slot
        QCOMPARE(rec->aix_day.req_index, next_index);
        QCOMPARE(sql->sent.size(), sends);
    }

    // What the tick after the first send makes of the answer, a failure or a busy station.
    void request_outcome_data()
    {
        QTest::addColumn<QString>("event");
        QTest::addColumn<int>("cause");
        QTest::addColumn<int>("sends");
        QTest::addColumn<int>("counter");
        QTest::newRow("index arrives") << "answer" << 1 << 1 << 4;
        QTest::newRow("failed, sends left") << "failed" << 4 << 2 << 3;
        QTest::newRow("failed, none left") << "failed last" << -1 << 1 << 0;
        QTest::newRow("busy at the repeat") << "busy" << 3 << 1 << 4;
    }
    void request_outcome()
    {
        QFETCH(QString, event);
        QFETCH(int, cause);
        QFETCH(int, sends);
        QFETCH(int, counter);
        make(R"({"time_arch_start": 1, "read_arch_single": {"14": {"ul|dl": ["any"]}}})");
        modem_record* rec = reading_modem("5:1000 6:2000 7:3000");
        bs_record* bs = ram->get_bs(5);
        bs->busyness = 0.5f;
        ctl->slot_timer_now(); // arms 4
        ctl->slot_timer_now(); // sends
        QCOMPARE(sql->sent.size(), 1);
        QCOMPARE(bs->busyness, 0.5f + RAM_modems::dl_time_factor(*rec));
        const uint32_t first_cmd = rec->aix_day.cmd_id;
        if (event == "answer") {
            Parser_ul_app ul = uplink("D x");
            ul.ul_datas << Ul_data_record(14, 5000, 4);
            ctl->slot_UL(ul);
        } else if (event.startsWith("failed")) {
            rec->cmds.insert(first_cmd, Stringify_dl_app());
            if (event == "failed last") rec->aix_day.req_counter = 0;
        } else {
            bs->busyness = 0.99f;
            g_now += rec->req_timeout + 1;
        }
        g_now += 1;
        const uint32_t stamp = rec->aix_day.req_ts;
        ctl->slot_timer_now();
        QCOMPARE(rec->aix_day.cause_ret, cause);
        QCOMPARE(sql->sent.size(), sends);
        QCOMPARE(rec->aix_day.req_counter, counter);
        QCOMPARE(rec->aix_day.req_index, cause == 1 ? -1 : 4);
        if (event.startsWith("failed")) {
            QCOMPARE(rec->cmds.contains(first_cmd), event == "failed");
            QCOMPARE(rec->last_success_dl_ts, 0u);
        }
        if (event == "busy") QVERIFY(rec->aix_day.req_ts > stamp); // the next try waits a full time-out
    }

    void day_rule_data()
    {
        QTest::addColumn<uint>("now");
        QTest::addColumn<QString>("tz");
        QTest::addColumn<QString>("map");
        QTest::addColumn<int>("index"); // -1: nothing asked
        const uint Y = D0 - DAY, noon = D0 + 10 * 3600;
        const QString yesterday = QString("5:%1").arg(Y + 1800);
        QTest::newRow("next morning") << noon << "" << yesterday << 6;
        QTest::newRow("05:59 local") << D0 + 3 * 3600 - 1 << "" << yesterday << -1;
        QTest::newRow("06:00 local") << D0 + 3 * 3600 << "" << yesterday << 6;
        QTest::newRow("west of UTC, 05:00 local") << noon << "-300" << yesterday << -1;
        QTest::newRow("east, local morning") << D0 + 1800 << "480" << yesterday << 6;
        QTest::newRow("same day") << noon << "" << QString("5:%1").arg(D0 + 600) << -1;
        QTest::newRow("meter clock ahead") << noon << "" << QString("5:%1").arg(D0 + DAY + 600) << -1;
        QTest::newRow("three days, wraps") << noon << "" << QString("9:%1").arg(D0 - 3 * DAY) << 2;
        QTest::newRow("more than a ring") << noon << "" << QString("9:%1").arg(D0 - 25 * DAY) << 4;
        QTest::newRow("newest wins, lower index on a tie")
            << noon << "" << QString("3:%1 7:%1 8:%2").arg(Y).arg(Y - DAY) << 4;
        QTest::newRow("slot already held") << noon << "" << yesterday + " 6:100" << -1;
        QTest::newRow("before archive start") << noon << "" << QString("5:%1").arg(D0 - 30 * DAY + 100) << -1;
    }
    void day_rule()
    {
        QFETCH(uint, now);
        QFETCH(QString, tz);
        QFETCH(QString, map);
        QFETCH(int, index);
        make(QString(R"({"time_arch_start": %1, "read_arch_single": {}})").arg(D0 - 30 * DAY));
        g_now = now;
        modem_record* rec = reading_modem(map, 0);
        if (!tz.isEmpty()) rec->set_setting("0.0.1.0.0.255_3", tz.toInt());
        ctl->slot_timer_now();
        QCOMPARE(sql->sent,
                 index < 0 ? QStringList() : QStringList{QString("get_arch_index [14,%1]").arg(index)});
        QCOMPARE(rec->get_index_flags & 0x100000, index < 0 ? 0u : 0x100000u);
        if (index >= 0) {
            QCOMPARE(rec->aix_day.req_counter, 2); // three sends in all
            QCOMPARE(rec->aix_day.default_ts % DAY, 0u);
        }
    }

    // The commands one uplink brings about, checked at storage.
    void decisions_data()
    {
        QTest::addColumn<QString>("config");
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("uplink");
        QTest::addColumn<uint>("random");
        QTest::addColumn<QStringList>("sent");
        // sent: the commands, separated by '|'
        const auto row = [](const char* name, const QString& config, const QString& settings,
                            const char* uplink, const QString& sent, uint random = 0) {
            QTest::newRow(name) << config << settings << uplink << random
                                << sent.split('|', Qt::SkipEmptyParts);
        };
        const QString v = R"({"version": {"sw": "1.0.4.0"})",
                      full = v + R"(, "arch_info_14": {}, "arch_info_15": {})";
        const QString tz = R"({"DLMS_tz_auto_set_from_bs": true})", spam = R"({"event_spam_off": true})";
        const QString all =
            R"({"event_spam_off": true, "DLMS_tz_auto_set_from_bs": true, "ARCH_profile_day_period": 1})";
        row("no version", "{}", "{}", "X", "version");
        row("no version, stamp fresh", "{}", R"({"time_version": NOW-14400})", "X", "");
        row("no version, stamp old", "{}", R"({"time_version": NOW-14401})", "X", "version");
        row("no version asks nothing else", all, "{}", "X stm tz=120", "version");
        row("not stm", all, v + "}", "X x tz=120", "");
        row("geometry unknown", "{}", v + "}", "X", "arch_info");
        row("geometry, stamp 600 s", "{}", v + R"(, "time_version": NOW-600})", "X", "");
        row("two throttled in one uplink", spam, v + "}", "X", "arch_info|event_filter [2,3,4,10]");
        row("tz held", tz, full + R"(, "0.0.1.0.0.255_3": 180})", "X stm tz=180", "");
        row("tz differs, not throttled", tz, full + R"(, "0.0.1.0.0.255_3": 120, "time_version": NOW-10})",
            "X stm tz=180", "0.0.1.0.0.255_3 180");
        row("quiet filter held", spam, full + R"(, "event_filter": [2, 3, 4, 10]})", "X", "");
        row("quiet filter differs", spam, full + R"(, "event_filter": [2, 3, 4]})", "X",
            "event_filter [2,3,4,10]");
        row("filter, new line", R"({"event_filter_set": true})",
            R"({"version": {"sw": "1.0.5.0"}, "arch_info_14": {}, "arch_info_15": {}})", "X",
            "event_filter [0,2,3,4,5,6,7,8,9,10]");
        row("filter, 4.x line", R"({"event_filter_set": true})", full + "}", "X", "");
        row("day period differs", R"({"ARCH_profile_day_period": 3600})",
            v + R"(, "arch_info_14": {"sec_before_send_max": 1800}, "arch_info_15": {}})", "X",
            "set_arch_index [14,3600]");

        const QString shunt = R"({"shunt_1_off": true})";
        const QString cal =
            R"({"version": {"hw": "1.1.2.0", "sw": "1.0.4.2"}, "arch_info_14": {}, "arch_info_15": {})";
        const QString a40 = QString(40, 'A'), b24 = QString(24, 'B');
        const auto with = [&](const QString& c) { return cal + ", \"calibration_0\": \"" + c + "\"}"; };
        row("calibration unknown", shunt, cal + "}", "X", "calibration");
        row("calibration 71 chars", shunt, with(QString(71, 'A')), "X", "");
        row("calibration clean", shunt, with(a40 + "00000000" + b24), "X", "");
        row("calibration fixed", shunt, with(a40 + "12345678" + b24), "X",
            "msg \"" + a40 + "00000000" + b24 + "\"");

        const QString fail = R"({"fail_time_time_sync": true})", autos = R"({"auto_time_sync": 1000})";
        const auto synced = [&](int age) { return v + QString(R"(, "time_sync": NOW-%1})").arg(age); };
        row("clock rejected, stamp 43201 s", fail, synced(43201), "1 x ts=0", "*1.0.0");
        row("clock rejected, stamp 43200 s", fail, synced(43200), "1 x ts=0", "");
        row("clock good", fail, v + "}", "1 x ts=5", "");
        row("no record", fail, v + "}", "1 x", "");
        row("power on", R"({"power_on_time_sync": true})", synced(10), "3 x ev=113", "1.0.0");
        row("power on, other event", R"({"power_on_time_sync": true})", v + "}", "3 x ev=112", "");
        row("auto, inside the spread", autos, synced(1500), "1 x ts=5", "", 500);
        row("auto, past the spread", autos, synced(1501), "1 x ts=5", "*1.0.0", 500);
        row("auto, spread 0.999", autos, synced(1998), "2 x ts=5", "", 1999);
        row("auto after a rejected clock", R"({"auto_time_sync": 1000, "fail_time_time_sync": true})",
            synced(50000), "1 x ts=0", "*1.0.0");
    }
    void decisions()
    {
        QFETCH(QString, config);
        QFETCH(QString, settings);
        QFETCH(QString, uplink);
        QFETCH(uint, random);
        QFETCH(QStringList, sent);
        make(config);
        const QVariantMap s = js(settings);
        QVERIFY(!s.isEmpty() || settings == "{}");
        ram->add_modem(M, s);
        g_random = random;
        ctl->slot_UL(this->uplink(uplink));
        QCOMPARE(sql->sent, sent);

        // Every stamp written is saved; radio figures and the station's zone stay in memory.
        const QStringList saved = sql->saved();
        const bool syncs = !sent.isEmpty() && sent.first().endsWith("1.0.0");
        const bool tz_set = !sent.isEmpty() && sent.first().startsWith("0.0.1.0.0.255_3");
        QCOMPARE(saved.contains("time_sync"), syncs);
        QCOMPARE(saved.contains("time_version"), !sent.isEmpty() && !syncs && !tz_set);
        if (!sent.isEmpty() && !tz_set)
            QCOMPARE(ram->get_setting(M, syncs ? "time_sync" : "time_version").toUInt(), g_now);
        QVERIFY(!saved.contains("0.0.1.0.0.255_3") && !saved.contains("radio") &&
                !saved.contains("last_dl_bs"));
        if (tz_set)
            QCOMPARE(ram->get_setting(M, "0.0.1.0.0.255_3"), QVariant(int(this->uplink(uplink).bs_tz)));
        if (s.contains("calibration_0"))
            QCOMPARE(ram->get_setting(M, "calibration_0_save"), s.value("calibration_0"));
    }

    void throttle_across_uplinks()
    {
        make(R"({"event_spam_off": true})");
        ram->add_modem(M, js(R"({"version": {"sw": "1.0.4.0"}})"));
        ctl->slot_UL(uplink("X"));
        QCOMPARE(sql->sent, (QStringList{"arch_info", "event_filter [2,3,4,10]"}));
        g_now += 100;
        ctl->slot_timer_now();
        ctl->slot_UL(uplink("X"));
        QCOMPARE(sql->sent.size(), 2);
        g_now += 501;
        ctl->slot_timer_now();
        ctl->slot_UL(uplink("X"));
        QCOMPARE(sql->sent.mid(2), QStringList{"arch_info"}); // the filter waits for its own period
    }

    void uplink_bookkeeping()
    {
        make(R"({"read_arch_single": {}})");
        QSignalSpy tails(sql, &SQL_Exchange::signal_remove_tail);
        Parser_ul_app ul = uplink("X");
        ul.rssi = -110;
        ul.snr = 7;
        ul.last_dl_bs_busyness = 40;
        ul.last_dl_bs_aver_busyness = 30;
        ctl->slot_UL(ul);
        modem_record* rec = ram->find_modem(M);
        QVERIFY(rec);
        QCOMPARE(rec->settings.value("radio"), QVariant(js(R"({"ul": "UL_A", "dl": "DL_PSK_FASTDL",
            "rssi": -110, "snr": 7, "last_success_dl_ts": NOW-60})")));
        QCOMPARE(rec->settings.value("last_dl_bs"),
                 QVariant(js(R"({"id": 5, "busyness": 40, "aver_busyness": 30})")));
        QCOMPARE(tails.size(), 1);
        QCOMPARE(tails.first().first().toUInt(), M);
        const bs_record* bs = ram->find_bs(5);
        QVERIFY(bs);
        QCOMPARE(bs->bs, 5u);
        QCOMPARE(bs->busyness, 0.4f);
        QCOMPARE(bs->aver_busyness, 0.3f);
        QCOMPARE(rec->bs_dl, uint16_t(5));
        QCOMPARE(rec->last_success_dl_ts, g_now - 60);
        QCOMPARE(sql->loader, (QStringList{"1000:14:1", "1000:15:1"}));
        QVERIFY(ctl->index_modems.isEmpty());

        rec->aix_day.is_loaded = rec->aix_hour.is_loaded = true;
        ctl->slot_UL(ul);
        ctl->slot_UL(ul);
        ctl->slot_modem_index_updated(M);
        QCOMPARE(ctl->index_modems, QList<uint32_t>{M});
        rec->aix_day.is_loaded = false;
        ctl->slot_UL(uplink("X x")); // only stm modems read archives
        QCOMPARE(sql->loader.size(), 2);

        // Pairing with a display modem: refused while the partner is unknown or taken.
        ul.ul_settings << Ul_setting(g_now, "display", 0) << Ul_setting(g_now, "display", 2000);
        ctl->slot_UL(ul);
        ram->add_modem(2000, js(R"({"display": 77})"));
        ctl->slot_UL(ul);
        ram->add_modem(2000, {});
        ctl->slot_UL(ul);
        QCOMPARE(sql->sent.mid(1), (QStringList{"display", "display", "display 2000"}));
        QCOMPARE(ram->get_setting(2000, "display").toUInt(), M);
        QCOMPARE(ram->get_setting(M, "display").toUInt(), 2000u);
        QVERIFY(!sql->saved().contains("display"));

        ul.ul_datas << Ul_data_record(15, 7000, 3);
        ul.header = 'C';
        ctl->slot_UL(ul);
        QCOMPARE(rec->aix_hour.indexes, (QMap<uint32_t, uint32_t>{{3, 7000}}));
        QVERIFY(rec->aix_day.indexes.isEmpty());
    }

    // Values a modem reports for its display modem (7), kept as "31"/"32" on the display modem.
    void bs_display_data()
    {
        QTest::addColumn<QString>("bs_display");
        QTest::addColumn<QString>("display_old"); // empty: none
        QTest::addColumn<QString>("payload");     // its first byte is the header
        QTest::addColumn<QString>("values");
        QTest::addColumn<QString>("expected"); // "hex:..." or "values:..."; empty: nothing stored
        const auto row = [](const char* name, const char* bs, const char* old, const char* payload,
                            const QString& values, const QString& expected) {
            QTest::newRow(name) << bs << old << payload << values << expected;
        };
        const QString v = "1.0.1.8.1.255=1 1.0.1.8.2.255=0.5 1.0.2.8.1.255=4";
        const char* on = R"({"modem": 7, "bs": 0})";
        const char* p8 = "3101020304050607";
        row("payload and its tail", on, "", p8, v, "hex:3101020304050607020304050607");
        row("short payload, header 2", R"({"modem": 7, "bs": 3})", "", "320102030405", v, "hex:320102030405");
        row("no station", R"({"modem": 7})", "", p8, v, "");
        row("total added", on, R"({"obis_add": ["1.8.0", "2.8.0"]})", p8, v,
            "values:1.0.1.8.0.255=1.5 1.0.2.8.0.255=4 " + v);
        row("meter sent its total", on, R"({"obis_add": ["1.8.0"]})", p8, "1.0.1.8.0.255=9 1.0.1.8.1.255=1",
            "values:1.0.1.8.0.255=9 1.0.1.8.1.255=1");
        row("values removed", on, R"({"obis_remove": ["1.8.2", "1.0.2.8.1.255", "9.9"]})", p8, v,
            "values:1.0.1.8.1.255=1");
        row("re-encoded as is", on, "{}", "32", v, "values:" + v);
    }
    void bs_display()
    {
        QFETCH(QString, bs_display);
        QFETCH(QString, display_old);
        QFETCH(QString, payload);
        QFETCH(QString, values);
        QFETCH(QString, expected);
        make(display_old.isEmpty() ? "{}" : QString(R"({"display_old": %1})").arg(display_old));
        ram->add_modem(M, js(QString(R"({"version": {"sw": "1.0.4.0"}, "bs_display": %1})").arg(bs_display)));
        const QByteArray bytes = testsupport::hex(payload.toLatin1().constData());
        const uint8_t header = uint8_t(bytes[0]);
        Parser_ul_app ul = uplink(QChar(header) + QString(" x ts=-100"));
        ul.payload = bytes;
        ul.ul_datas.first().values = values_of(values);
        ctl->slot_UL(ul);
        QString want = expected.mid(4);
        if (expected.startsWith("values:")) {
            Ul_data_record r(254, g_now - 100);
            r.values = values_of(expected.mid(7));
            want = testsupport::hex_of(parser_strova5::stringify_values(header, r));
        }
        const QString key = header == '1' ? "31" : "32";
        QCOMPARE(ram->get_setting(7, key).toString(), want);
        QCOMPARE(sql->saved().contains(key), !want.isEmpty());
        QVERIFY(sql->sent.isEmpty());
    }

    // A tariff calendar is followed by the pulse-output setting on the 4.0 to 4.2 lines.
    void tariff_follow_up_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<bool>("with_data");
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("sent");
        QTest::newRow("version unknown") << "13.0.0" << true << "{}"
                                         << R"(pulse_output {"freq0":4800,"freq1":4800,"type0":0,"type1":1})";
        QTest::newRow("4.3 line") << "13.0.0" << true << R"({"version": {"sw": "1.0.4.3"}})"
                                  << "";
        QTest::newRow("outputs known")
            << "13.0.0" << true << R"({"version": {"sw": "1.0.4.1"}, "pulse_output": {"freq0": 100}})"
            << R"(pulse_output {"freq0":100})";
        QTest::newRow("no data") << "13.0.0" << false << "{}"
                                 << "";
        QTest::newRow("other command") << "1.0.0" << true << "{}"
                                       << "";
    }
    void tariff_follow_up()
    {
        QFETCH(QString, setting);
        QFETCH(bool, with_data);
        QFETCH(QString, settings);
        QFETCH(QString, sent);
        make("{}");
        ram->add_modem(M, js(settings));
        ctl->slot_DL(Stringify_dl_app(
            Dl_request(M, g_now, setting, with_data ? QVariant(QVariantMap{{"days", 1}}) : QVariant())));
        QCOMPARE(sql->sent.join('|'), sent);
    }
};

QTEST_GUILESS_MAIN(tst_strova_controller)
#include "tst_strova_controller.moc"
