// The scheduler on simulated time: which commands reach storage, when, and what it leaves in
// the registry. Storage is a double that records every command.
#include "parser_strova5.h"
#include "ram_modems.h"
#include "storage_double.h"
#include "strova_controller.h"
#include "testsupport.h"

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

} // namespace

QString str(const QString& f) { return f == "-" ? QString() : f; }
QStringList list(const QString& f) { return f == "-" ? QStringList() : f.split(" ; "); }

class tst_strova_controller : public QObject
{
    Q_OBJECT

    static void rows(const char* section) { testsupport::vector_rows(VECTORS("strova_controller.txt"), section); }
    // The row's fields, times {T+n} counted from D0.
    static QStringList fields()
    {
        QFETCH(QStringList, f);
        QStringList out;
        for (const QString& field : f)
            out << testsupport::vector_text(field, D0);
        return out;
    }

    RAM_modems* ram = nullptr;
    Storage_double* sql = nullptr;
    QStringList commands() const { return sql->sent(M, {"settings"}); }
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
        // No step of the wall clock here: the monotonic clock runs with it.
        strova_controller::steady_source = [] { return qint64(g_now) * 1000; };
        strova_controller::random_source = [] { return g_random; };
        ram = new RAM_modems(QVariantMap(), nullptr);
        sql = new Storage_double;
    }
    void cleanup()
    {
        delete ctl;
        delete sql;
        delete ram;
        ctl = nullptr;
    }

    void timers_and_retention_data() { rows("retention"); }
    void timers_and_retention()
    {
        const QStringList f = fields();
        const QString lengths = str(f[0]);
        const int remover_ms = f[1].toInt();
        const QStringList removed = list(f[2]);
        testsupport::Log_capture log;
        make(lengths.isEmpty() ? "{}" : QString(R"({"profiles_len_days": %1})").arg(lengths));
        QCOMPARE(strova_controller::instance, ctl);
        QCOMPARE(ctl->timer_remover->isActive() ? ctl->timer_remover->interval() : 0, remover_ms);
        // One line says what retention does, at its level; the settings merged at start repeat
        // nothing that did not change.
        ctl->load_driver_settings();
        const QString level = "(" + f[3].section(": ", 0, 0) + ")", text = f[3].section(": ", 1);
        QStringList said;
        for (const QString& line : log.all().split('\n'))
            if (line.contains("retention")) said << line;
        QCOMPARE(said.size(), 1);
        QVERIFY2(said[0].contains(level) && said[0].contains(text), qPrintable(said[0]));
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
        QVERIFY(sql->uplinks.isEmpty()); // filled in memory only
    }

    // Which modems the tick keeps working on, and why (the flags the API shows).
    void tick_gates_data() { rows("tick"); }
    void tick_gates()
    {
        const QStringList f = fields();
        const QString config = str(f[0]);
        const int bs_dl = f[1].toInt();
        const int dl_age = f[2].toInt();
        const bool hour_loaded = f[3] == "1";
        const uint flags = f[4].toUInt(nullptr, 0);
        const bool listed = f[5] == "1";
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
        QVERIFY(commands().isEmpty());
    }

    void archive_walk_data() { rows("walk"); }
    void archive_walk()
    {
        const QStringList f = fields();
        const QString map = str(f[0]);
        const int max_index = f[1].toInt();
        const int max_count = f[2].toInt();
        const uint arch_start = f[3].toUInt(nullptr, 0);
        const int cause = f[4].toInt();
        const int req_index = f[5].toInt();
        const uint default_ts = f[6].toUInt(nullptr, 0);
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
        QVERIFY(commands().isEmpty()); // arming sends nothing yet
    }

    // One tick a second until the meter is given up on: sends, their spacing, the stored slot.
    void request_cycle_data() { rows("cycle"); }
    void request_cycle()
    {
        const QStringList f = fields();
        const QString map = str(f[0]);
        const int max_count = f[1].toInt();
        const int index = f[2].toInt();
        const int sends = f[3].toInt();
        const uint default_ts = f[4].toUInt(nullptr, 0);
        const int next_index = f[5].toInt();
        make(R"({"time_arch_start": 1, "read_arch_single": {"14": {"ul|dl": ["any"]}}})");
        modem_record* rec = reading_modem(map, max_count);
        QList<uint32_t> times;
        for (int i = 0; i < 6000 && !rec->aix_day.indexes.contains(index); ++i, ++g_now) {
            ctl->slot_timer_now();
            if (commands().size() > times.size()) {
                times << g_now;
                QCOMPARE(rec->aix_day.cmd_id, sql->next_cmd);
            }
        }
        QCOMPARE(commands(), QVector<QString>(sends, QString("get_arch_index [14,%1]").arg(index)).toList());
        for (int i = 1; i < times.size(); ++i)
            QCOMPARE(times[i] - times[i - 1], rec->req_timeout + 1);
        QCOMPARE(rec->aix_day.cause_ret, 2);
        QCOMPARE(rec->aix_day.indexes.value(index), default_ts);
        QCOMPARE(rec->aix_day.cmd_id, 0u);
        ctl->slot_timer_now(); // the search moves past the given-up slot
        QCOMPARE(rec->aix_day.req_index, next_index);
        QCOMPARE(commands().size(), sends);
    }

    // What the tick after the first send makes of the answer, a failure or a busy station.
    void request_outcome_data() { rows("outcome"); }
    void request_outcome()
    {
        const QStringList f = fields();
        const QString event = str(f[0]);
        const int cause = f[1].toInt();
        const int sends = f[2].toInt();
        const int counter = f[3].toInt();
        make(R"({"time_arch_start": 1, "read_arch_single": {"14": {"ul|dl": ["any"]}}})");
        modem_record* rec = reading_modem("5:1000 6:2000 7:3000");
        bs_record* bs = ram->get_bs(5);
        bs->busyness = 0.5f;
        ctl->slot_timer_now(); // arms 4
        ctl->slot_timer_now(); // sends
        QCOMPARE(commands().size(), 1);
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
        QCOMPARE(commands().size(), sends);
        QCOMPARE(rec->aix_day.req_counter, counter);
        QCOMPARE(rec->aix_day.req_index, cause == 1 ? -1 : 4);
        if (event.startsWith("failed")) {
            QCOMPARE(rec->cmds.contains(first_cmd), event == "failed");
            QCOMPARE(rec->last_success_dl_ts, 0u);
        }
        if (event == "busy") QVERIFY(rec->aix_day.req_ts > stamp); // the next try waits a full time-out
    }

    void day_rule_data() { rows("day_rule"); }
    void day_rule()
    {
        const QStringList f = fields();
        const uint now = f[0].toUInt(nullptr, 0);
        const QString tz = str(f[1]);
        const QString map = str(f[2]);
        const int index = f[3].toInt();
        make(QString(R"({"time_arch_start": %1, "read_arch_single": {}})").arg(D0 - 30 * DAY));
        g_now = now;
        modem_record* rec = reading_modem(map, 0);
        if (!tz.isEmpty()) rec->set_setting("0.0.1.0.0.255_3", tz.toInt());
        ctl->slot_timer_now();
        QCOMPARE(commands(),
                 index < 0 ? QStringList() : QStringList{QString("get_arch_index [14,%1]").arg(index)});
        QCOMPARE(rec->get_index_flags & 0x100000, index < 0 ? 0u : 0x100000u);
        if (index >= 0) {
            QCOMPARE(rec->aix_day.req_counter, 2); // three sends in all
            QCOMPARE(rec->aix_day.default_ts % DAY, 0u);
        }
    }

    // The commands one uplink brings about, checked at storage.
    void decisions_data() { rows("decisions"); }
    void decisions()
    {
        const QStringList f = fields();
        const QString config = str(f[0]);
        const QString settings = str(f[1]);
        const QString uplink = str(f[2]);
        const uint random = f[3].toUInt(nullptr, 0);
        const QStringList sent = list(f[4]);
        make(config);
        const QVariantMap s = js(settings);
        QVERIFY(!s.isEmpty() || settings == "{}");
        ram->add_modem(M, s);
        g_random = random;
        ctl->slot_UL(this->uplink(uplink));
        QCOMPARE(commands(), sent);

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
        QCOMPARE(commands(), (QStringList{"arch_info", "event_filter [2,3,4,10]"}));
        g_now += 100;
        ctl->slot_timer_now();
        ctl->slot_UL(uplink("X"));
        QCOMPARE(commands().size(), 2);
        g_now += 501;
        ctl->slot_timer_now();
        ctl->slot_UL(uplink("X"));
        QCOMPARE(commands().mid(2), QStringList{"arch_info"}); // the filter waits for its own period
    }

    // The wall clock steps back an hour and then forward two (NTP, a restored virtual
    // machine) while 2,000 modems keep sending: no throttled command goes out again before its
    // period has passed on the monotonic clock; then each goes out once more.
    void clock_steps_repeat_no_command()
    {
        make("{}");
        qint64 steady = qint64(g_now) * 1000;
        strova_controller::steady_source = [&steady] { return steady; };
        const auto versions = [this] { return sql->sent(0, {"settings"}).filter(QRegularExpression("^version")).size(); };
        const auto all_send = [this] {
            for (uint32_t m = 10000; m < 12000; ++m) {
                Parser_ul_app ul = uplink("X");
                ul.modem_id = m;
                ul.last_success_dl_ts = g_now;
                ctl->slot_UL(ul);
            }
        };
        all_send();
        QCOMPARE(versions(), 2000);
        const uint32_t start = g_now;
        for (const int64_t wall : {-3600, +3600, 0, -7200}) {
            g_now = uint32_t(int64_t(start) + wall);
            steady += 60000;
            ctl->slot_timer_now();
            all_send();
            QCOMPARE(versions(), 2000);
        }
        // Four hours on the monotonic clock, whatever the wall clock says meanwhile.
        steady += 4 * 3600 * 1000;
        ctl->slot_timer_now();
        all_send();
        QCOMPARE(versions(), 4000);
        all_send();
        QCOMPARE(versions(), 4000);
        strova_controller::steady_source = [] { return qint64(g_now) * 1000; };
    }

    // Stamps of an earlier run carry no monotonic time: a signed difference to the wall clock
    // measures them, and one ahead of it (the clock went back since) is fresh, unless it is
    // further ahead than any clock step explains.
    void stamps_of_an_earlier_run()
    {
        make("{}");
        for (const auto& c : {qMakePair(-3 * 3600, false), qMakePair(-5 * 3600, true), qMakePair(3600, false),
                              qMakePair(2 * 86400, true)}) {
            sql->commands.clear();
            ram->add_modem(M, js(QString(R"({"time_version": %1})").arg(qint64(g_now) + c.first)));
            ctl->slot_UL(uplink("X"));
            QCOMPARE(commands().contains("version"), c.second);
        }
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
        QCOMPARE(commands().mid(1), (QStringList{"display", "display", "display 2000"}));
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
    void bs_display_data() { rows("display"); }
    void bs_display()
    {
        const QStringList f = fields();
        const QString bs_display = str(f[0]);
        const QString display_old = str(f[1]);
        const QString payload = str(f[2]);
        const QString values = str(f[3]);
        const QString expected = str(f[4]);
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
        QVERIFY(commands().isEmpty());
    }

    // A tariff calendar is followed by the pulse-output setting on the 4.0 to 4.2 lines.
    void tariff_follow_up_data() { rows("tariff"); }
    void tariff_follow_up()
    {
        const QStringList f = fields();
        const QString setting = str(f[0]);
        const bool with_data = f[1] == "1";
        const QString settings = str(f[2]);
        const QString sent = str(f[3]);
        make("{}");
        ram->add_modem(M, js(settings));
        ctl->slot_DL(Stringify_dl_app(
            Dl_request(M, g_now, setting, with_data ? QVariant(QVariantMap{{"days", 1}}) : QVariant())));
        QCOMPARE(commands().join('|'), sent);
    }
};

QTEST_GUILESS_MAIN(tst_strova_controller)
#include "tst_strova_controller.moc"
