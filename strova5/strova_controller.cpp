#include "strova_controller.h"
#include "config_keys.h"

#include "api_controller.h"
#include "logger.h"
#include "parser_strova5.h"
#include "ram_modems.h"
#include "sql_exchange.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTimer>
#include <algorithm>
#include <climits>

strova_controller* strova_controller::instance = nullptr;

std::function<uint32_t()> strova_controller::time_source = [] {
    return uint32_t(QDateTime::currentSecsSinceEpoch());
};
std::function<qint64()> strova_controller::steady_source = [] {
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
};
std::function<uint32_t()> strova_controller::random_source = [] {
    return QRandomGenerator::global()->generate();
};

namespace {

const QString k_tz = QStringLiteral("0.0.1.0.0.255_3");
const QString k_time_version = QStringLiteral("time_version");
const QString k_time_sync = QStringLiteral("time_sync");
const QString k_default_sw = QStringLiteral("1.0.4.0");

constexpr int64_t k_day = 86400;
// Throttling periods, seconds: settings pushed to the meter, its geometry query, its clock.
constexpr uint32_t k_period_settings = 14400;
constexpr uint32_t k_period_arch_info = 600;
constexpr uint32_t k_period_time_sync = 43200;

const QStringList& settings_rights()
{
    static const QStringList rights{QStringLiteral("settings")};
    return rights;
}

bool contains_any(const QString& text, std::initializer_list<const char*> parts)
{
    for (const char* p : parts)
        if (text.contains(QLatin1String(p))) return true;
    return false;
}

// Firmware lines whose meters take the new event filter and the shunt calibration fix.
bool is_sw_4_0_to_3(const QString& sw)
{
    return contains_any(sw, {".4.0", ".4.1", ".4.2", ".4.3"});
}

bool bs_too_busy(RAM_modems* ram, const modem_record& rec, bs_record* bs)
{
    return bs && bs->busyness + ram->dl_time_factor(rec) > ram->max_busyness_for(rec);
}

} // namespace

strova_controller::strova_controller(QVariantMap config_, QObject* parent) : QObject(parent), config(config_)
{
    now = time_source();
    instance = this;
    time_arch_start = config.value(QStringLiteral("time_arch_start"), now).toUInt();

    timer_now = new QTimer(this);
    connect(timer_now, &QTimer::timeout, this, &strova_controller::slot_timer_now);
    timer_now->start(1000);

    timer_remover = new QTimer(this);
    connect(timer_remover, &QTimer::timeout, this, &strova_controller::slot_timer_remover);
    const QVariantMap lengths = config.value(QStringLiteral("profiles_len_days")).toMap();
    if (config.contains(QStringLiteral("profiles_len_days")) &&
        lengths.contains(QStringLiteral("remover_ms"))) {
        // A shorter period would run the deletes back to back.
        const uint32_t ms = lengths.value(QStringLiteral("remover_ms")).toUInt();
        timer_remover->start(int(std::clamp<uint32_t>(ms, 1000, INT_MAX)));
    }
    say_retention();
}

void strova_controller::say_retention()
{
    const bool listed = config.contains(QStringLiteral("profiles_len_days"));
    const QVariantMap m = config.value(QStringLiteral("profiles_len_days")).toMap();
    QStringList lengths;
    bool any = false;
    for (const char* kind : {"hour", "day", "month", "event"}) {
        const uint days = m.value(QLatin1String(kind)).toUInt();
        any = any || days > 0;
        lengths << QStringLiteral("%1 %2").arg(QLatin1String(kind)).arg(days);
    }
    const QString kept = lengths.join(QStringLiteral(", ")) + QStringLiteral(" days");
    QString line;
    bool warn = false;
    if (!listed) {
        line = QStringLiteral("retention off: strova_controller has no profiles_len_days");
    } else if (!timer_remover->isActive()) {
        // The timer starts only with its period: lengths alone remove nothing.
        warn = true;
        line = QStringLiteral(
                   "retention off: profiles_len_days has no remover_ms (the period in ms), so its lengths "
                   "are not applied (%1)")
                   .arg(kept);
    } else if (!any) {
        line = QStringLiteral("retention every %1 ms keeps everything: every length is 0 (%2)")
                   .arg(timer_remover->interval())
                   .arg(kept);
    } else {
        line = QStringLiteral(
                   "retention every %1 ms: rows older than these lengths are removed, 0 keeps all (%2)")
                   .arg(timer_remover->interval())
                   .arg(kept);
    }
    if (line == retention_said) return;
    retention_said = line;
    if (warn)
        LOG_WRN << qPrintable(line);
    else
        LOG_NTC << qPrintable(line);
}

strova_controller::~strova_controller()
{
    if (instance == this) instance = nullptr;
}

bool strova_controller::read_arch_enabled() const
{
    return config_switch(config, QStringLiteral("read_arch_single"));
}

int strova_controller::load_driver_settings()
{
    RAM_modems* ram = RAM_modems::instance;
    if (!ram) {
        LOG_ERR << "no registry for the driver settings";
        return 0;
    }
    modem_record* rec = ram->find_modem(2);
    if (!rec) rec = ram->add_modem(2, QVariantMap());
    // Values stored for modem 2 win; the file only fills what modem 2 lacks (memory only).
    for (auto it = config.cbegin(); it != config.cend(); ++it)
        if (!rec->settings.contains(it.key())) rec->set_setting(it.key(), it.value());
    config = rec->settings;
    time_arch_start = config.value(QStringLiteral("time_arch_start"), time_arch_start).toUInt();
    say_retention();
    return 2;
}

void strova_controller::slot_modem_index_updated(uint32_t modem)
{
    if (!index_modems.contains(modem)) index_modems.append(modem);
}

bool strova_controller::radio_allows_read(const QVariantMap& settings, uint8_t type) const
{
    const QVariantMap radio = settings.value(QStringLiteral("radio")).toMap();
    const QVariant ul = radio.value(QStringLiteral("ul")).toString();
    const QVariant dl = radio.value(QStringLiteral("dl")).toString();
    const QVariantMap mode =
        config.value(QStringLiteral("read_arch_single")).toMap().value(QString::number(type)).toMap();
    const QVariantList and_list = mode.value(QStringLiteral("ul&dl")).toList();
    const QVariantList or_list = mode.value(QStringLiteral("ul|dl")).toList();
    const QVariant any = QStringLiteral("any");
    return or_list.contains(any) || and_list.contains(any) || or_list.contains(ul) || or_list.contains(dl) ||
           (and_list.contains(ul) && and_list.contains(dl));
}

bool strova_controller::send_cmd_throttled(uint32_t modem, const QVariantMap& settings,
                                           const QString& setting, const QVariant& data,
                                           const QStringList& rights, uint32_t period)
{
    const uint32_t stamp = settings.value(k_time_version).toUInt();
    if (stamp != 0 && age_of(stamp, steady_of(modem, k_time_version)) <= int64_t(period)) return false;
    if (RAM_modems::instance) RAM_modems::instance->slot_set_setting(modem, k_time_version, uint(now), true);
    note_stamp(modem, k_time_version);
    const own_commands own;
    if (SQL_Exchange::instance) SQL_Exchange::instance->send_dl(modem, rights, setting, data);
    return true;
}

bool strova_controller::check_event_filter(const QVariantList& current, const QVariantList& wanted)
{
    const auto compact = [](const QVariantList& list) {
        return QJsonDocument(QJsonArray::fromVariantList(list)).toJson(QJsonDocument::Compact);
    };
    return compact(current) != compact(wanted);
}

void strova_controller::send(uint32_t modem, const QString& setting, const QVariant& data)
{
    const own_commands own;
    if (SQL_Exchange::instance) SQL_Exchange::instance->send_dl(modem, settings_rights(), setting, data);
}

void strova_controller::send_to_list(uint32_t modem, const QString& setting, const QVariant& data)
{
    const own_commands own;
    if (SQL_Exchange::instance)
        SQL_Exchange::instance->send_dl(QList<uint32_t>{modem}, settings_rights(), setting, data);
}

bool strova_controller::stamp_fresh(uint32_t modem, const QString& stamp, uint32_t period) const
{
    if (!RAM_modems::instance) return false;
    const uint32_t t = RAM_modems::instance->get_setting(modem, stamp).toUInt();
    return t != 0 && age_of(t, steady_of(modem, stamp)) <= int64_t(period);
}

void strova_controller::set_stamp(uint32_t modem, const QString& stamp)
{
    if (RAM_modems::instance) RAM_modems::instance->slot_set_setting(modem, stamp, uint(now), true);
    note_stamp(modem, stamp);
}

steady_stamp* strova_controller::steady_of(uint32_t modem, const QString& stamp) const
{
    modem_record* rec = RAM_modems::instance ? RAM_modems::instance->find_modem(modem) : nullptr;
    if (!rec) return nullptr;
    if (stamp == k_time_version) return &rec->version_set;
    if (stamp == k_time_sync) return &rec->sync_set;
    return nullptr;
}

void strova_controller::note_stamp(uint32_t modem, const QString& stamp)
{
    if (steady_stamp* set = steady_of(modem, stamp)) *set = steady_stamp{now, steady_source()};
}

int64_t strova_controller::age_of(uint32_t stamp, const steady_stamp* set) const
{
    if (set && stamp != 0 && set->wall == stamp)
        return std::max<qint64>(0, steady_source() - set->steady_ms) / 1000;
    const int64_t age = int64_t(now) - int64_t(stamp);
    if (age < -k_day) return INT64_MAX;
    return std::max<int64_t>(0, age);
}

// ---------------------------------------------------------------- timers

void strova_controller::slot_timer_remover()
{
    if (!config.contains(QStringLiteral("profiles_len_days"))) return;
    const QVariantMap m = config.value(QStringLiteral("profiles_len_days")).toMap();
    const auto keep = [&m](const char* key) { return int64_t(m.value(QLatin1String(key)).toUInt()) * k_day; };
    const int64_t month = keep("month"), day = keep("day"), hour = keep("hour"), event = keep("event");
    SQL_Exchange* sql = SQL_Exchange::instance;
    if (!sql) return;
    const int64_t t = time_source();
    // A retention longer than the epoch keeps everything rather than wrapping into the future.
    const auto cut = [t](int64_t len) { return uint32_t(std::max<int64_t>(0, t - len)); };
    // One pass, one line: no kind starts before all are queued.
    sql->hold_removals(true);
    if (hour > 0) sql->remove_old(15, cut(hour));
    if (day > 0) sql->remove_old(14, cut(day));
    if (month > 0) sql->remove_old(13, cut(month));
    if (event > 0)
        for (uint8_t type = 0; type <= 11; ++type)
            sql->remove_old(type, cut(event));
    sql->hold_removals(false);
}

void strova_controller::slot_timer_now()
{
    now = time_source();
    if (!read_arch_enabled() || !RAM_modems::instance) return;
    const QList<uint32_t> modems = index_modems;
    for (uint32_t m : modems)
        tick_modem(m);
}

void strova_controller::tick_modem(uint32_t m)
{
    modem_record* rec = RAM_modems::instance->find_modem(m);
    if (!rec) {
        index_modems.removeAll(m);
        return;
    }
    const QVariantMap s = rec->settings;
    uint32_t flags = 0;
    if (!rec->aix_day.is_loaded) flags = GIF_DAY_NOT_LOADED;
    if (!rec->aix_hour.is_loaded) flags |= GIF_HOUR_NOT_LOADED;
    rec->get_index_flags = flags;

    if (rec->last_success_dl_ts <= now) {
        if (now - rec->last_success_dl_ts > k_day) {
            rec->get_index_flags |= GIF_OLD_SUCCESS_DL;
            if (rec->bs_dl == 0) rec->get_index_flags |= GIF_NO_BS_DL;
            index_modems.removeAll(m);
            return;
        }
    } else {
        rec->last_success_dl_ts = now;
    }
    if (rec->bs_dl == 0) {
        rec->get_index_flags = flags | GIF_NO_BS_DL;
        index_modems.removeAll(m);
        return;
    }
    if (flags != 0) {
        index_modems.removeAll(m);
        return;
    }

    if (rec->aix_day.req_index == -1 && !rec->aix_day.indexes.isEmpty()) apply_day_rule(m, *rec, s);
    if (request_arch_index(m, *rec, rec->aix_day, 14)) rec->get_index_flags |= GIF_PROFILE_DAY;
    if (request_arch_index(m, *rec, rec->aix_hour, 15))
        rec->get_index_flags |= GIF_PROFILE_HOUR;
    else if (rec->get_index_flags == 0)
        index_modems.removeAll(m);
}

// The meter writes one day record a day: once the local morning has come and the newest
// record held is from an earlier day, ask straight for the index today's record should have.
void strova_controller::apply_day_rule(uint32_t m, modem_record& rec, const QVariantMap& s)
{
    arch_index& aix = rec.aix_day;
    if (aix.max_index <= 0) return;
    auto it = aix.indexes.cbegin();
    uint32_t last_index = it.key(), last_ts = it.value();
    for (++it; it != aix.indexes.cend(); ++it)
        if (it.value() > last_ts) {
            last_index = it.key();
            last_ts = it.value();
        }
    const int64_t tz = s.value(k_tz, 180).toInt();
    const int64_t local = ((int64_t(now) + tz * 60) % k_day + k_day) % k_day;
    const int64_t today = int64_t(now) / k_day, last_day = int64_t(last_ts) / k_day;
    if (local <= 21599 || today <= last_day || last_day * k_day <= int64_t(time_arch_start)) return;
    const int64_t expected = int64_t(last_index) + (today - last_day);
    const int32_t slot = int32_t(expected % aix.max_index);
    // A slot already held (also one stored after giving up on it) has nothing to ask for;
    // arming it anyway would close at once every second and keep the search for gaps away.
    if (aix.indexes.contains(uint32_t(slot))) return;
    rec.get_index_flags |= GIF_LAST_DAY;
    LOG_NTC << m << "read last index" << expected;
    aix.req_index = slot;
    aix.req_counter = 3;
    aix.req_ts = 0;
    aix.default_ts = uint32_t(last_day * k_day);
}

bool strova_controller::request_arch_index(uint32_t modem, modem_record& rec, arch_index& aix, uint8_t type)
{
    aix.cause_ret = 0;
    RAM_modems* ram = RAM_modems::instance;
    if (!ram) return false;

    if (aix.req_index == -1) {
        if (bs_too_busy(ram, rec, ram->find_bs(rec.bs_dl))) {
            aix.cause_ret = 101;
            return true;
        }
        if (!radio_allows_read(rec.settings, type)) {
            aix.cause_ret = 102;
            return true;
        }
        const auto& idx = aix.indexes;
        const auto held = [&idx](int64_t i) {
            return i >= 0 && i <= UINT32_MAX && idx.contains(uint32_t(i));
        };
        const auto time_at = [&](int64_t i) { return held(i) ? idx.value(uint32_t(i)) : 0u; };

        int64_t hi = 0, lo = aix.max_index, newest = 0;
        uint32_t newest_ts = 0;
        for (auto it = idx.cbegin(); it != idx.cend(); ++it) {
            hi = std::max<int64_t>(hi, it.key());
            lo = std::min<int64_t>(lo, it.key());
            if (it.value() > newest_ts) {
                newest = it.key();
                newest_ts = it.value();
            }
        }

        aix.default_ts = 0;
        const int64_t mi = aix.max_index;
        int64_t i = newest;
        for (int64_t n = 0;; ++n) {
            if (i < 0) {
                // Below index 0 the ring continues at its top, provided the map looks like a
                // ring that has really wrapped.
                int32_t cause = 0;
                const int64_t gap = mi - hi;
                if (mi <= lo)
                    cause = -201;
                else if (hi == 0)
                    cause = -202;
                else if (!idx.isEmpty() && time_at(lo) < time_at(hi))
                    cause = -203;
                else if (mi < hi)
                    cause = -204;
                else if (gap > 100)
                    cause = -205;
                else if (gap > 24 && (idx.isEmpty() || int64_t(time_at(lo)) - int64_t(time_at(hi)) < k_day))
                    cause = -207;
                if (cause != 0) {
                    aix.cause_ret = cause;
                    return false;
                }
                i = mi - 1;
            }
            if (aix.max_count <= n) {
                aix.cause_ret = -300;
                return false;
            }
            if (!held(i)) break;
            const uint32_t t = time_at(i);
            aix.default_ts = t > 0 ? t - 1 : 0;
            --i;
        }
        if (aix.default_ts < time_arch_start) {
            aix.cause_ret = -250;
            return false;
        }
        aix.req_index = int32_t(i);
        aix.req_counter = 5;
        aix.req_ts = 0;
        LOG_NTC << "skip_index" << aix.req_index << modem << aix.max_index;
        aix.cause_ret = 251;
        return true;
    }

    // A request is outstanding. With commands kept in memory their state is seen here.
    auto cmd = rec.cmds.find(aix.cmd_id);
    if (cmd != rec.cmds.end()) {
        if (cmd->state == 4 || cmd->state == 255) {
            aix.req_ts = 0;
            rec.last_success_dl_ts = 0;
            if (aix.req_counter == 0) {
                rec.cmds.erase(cmd);
                aix.cause_ret = -1;
                return false;
            }
        } else if (cmd->state == 3) {
            rec.cmds.erase(cmd);
        }
    }
    const uint32_t wanted = uint32_t(aix.req_index);
    if (aix.indexes.contains(wanted)) {
        aix.req_index = -1;
        aix.cmd_id = 0;
        aix.cause_ret = 1;
        return true;
    }
    if (aix.req_ts != 0 && age_of(aix.req_ts, &aix.req_set) <= int64_t(rec.req_timeout)) {
        aix.cause_ret = 4;
        return true;
    }
    if (aix.req_counter > 0) {
        aix.req_ts = now;
        aix.req_set = steady_stamp{now, steady_source()};
        --aix.req_counter;
        if (bs_record* bs = ram->find_bs(rec.bs_dl)) {
            if (bs_too_busy(ram, rec, bs)) {
                ++aix.req_counter;
                aix.cause_ret = 3;
                return true;
            }
            bs->busyness += ram->dl_time_factor(rec);
        }
        if (SQL_Exchange* sql = SQL_Exchange::instance) {
            const own_commands own;
            const QVariantMap made = sql->send_dl(modem, settings_rights(), QStringLiteral("get_arch_index"),
                                                  QVariantList{int(type), int(aix.req_index)});
            if (!made.isEmpty()) aix.cmd_id = made.first().toUInt();
        }
        aix.cause_ret = 4;
        return true;
    }
    // The meter never answered: take the slot as empty so the search moves past it.
    aix.indexes[wanted] = aix.default_ts;
    aix.req_index = -1;
    aix.cmd_id = 0;
    aix.cause_ret = 2;
    return true;
}

// ---------------------------------------------------------------- uplinks and downlinks

void strova_controller::slot_UL(Parser_ul_app ul)
{
    RAM_modems* ram = RAM_modems::instance;
    if (!ram) return;
    const uint32_t M = ul.modem_id;

    // Keys in the map's own order: the registry refreshes them in one walk.
    ram->set_map_setting(M, QStringLiteral("radio"),
                         {{QStringLiteral("dl"), ul.dl_phy},
                          {QStringLiteral("last_success_dl_ts"), uint(ul.last_success_dl_ts)},
                          {QStringLiteral("rssi"), int(ul.rssi)},
                          {QStringLiteral("snr"), int(ul.snr)},
                          {QStringLiteral("ul"), ul.phy}});
    ram->set_shared_map_setting(M, QStringLiteral("last_dl_bs"),
                                {{QStringLiteral("aver_busyness"), int(ul.last_dl_bs_aver_busyness)},
                                 {QStringLiteral("busyness"), int(ul.last_dl_bs_busyness)},
                                 {QStringLiteral("id"), int(ul.last_dl_bs)}});
    if (SQL_Exchange::instance) emit SQL_Exchange::instance->signal_remove_tail(M);
    if (ul.last_dl_bs != 0) {
        bs_record* bs = ram->find_bs(ul.last_dl_bs);
        if (!bs) {
            bs = ram->get_bs(ul.last_dl_bs);
            bs->bs = ul.last_dl_bs;
        }
        bs->busyness = float(ul.last_dl_bs_busyness) / 100.0f;
        bs->aver_busyness = float(ul.last_dl_bs_aver_busyness) / 100.0f;
    }
    const bool stm = ul.hw_type.contains("stm");

    modem_record* rec = ram->find_modem(M);
    if (!rec) rec = ram->add_modem(M, QVariantMap());
    const QVariantMap s = rec->settings;
    rec->bs_dl = ul.last_dl_bs;
    rec->last_success_dl_ts = ul.last_success_dl_ts;

    // Pairing with a display modem: both sides must be free.
    for (const Ul_setting& setting : qAsConst(ul.ul_settings)) {
        if (setting.key != QLatin1String("display")) continue;
        const uint32_t partner_id = setting.value.toUInt();
        if (partner_id == 0) continue;
        modem_record* partner = ram->find_modem(partner_id);
        if (!partner || partner->settings.value(QStringLiteral("display"), 0).toUInt() != 0) {
            send(M, QStringLiteral("display"));
            continue;
        }
        partner->set_setting(QStringLiteral("display"), uint(M));
        if (modem_record* own = ram->find_modem(M))
            own->set_setting(QStringLiteral("display"), uint(partner_id));
        send(M, QStringLiteral("display"), uint(partner_id));
    }

    if (stm && read_arch_enabled()) {
        if (modem_record* r = ram->find_modem(M)) {
            const bool day_loaded = r->aix_day.is_loaded, hour_loaded = r->aix_hour.is_loaded;
            const auto limit = [](const arch_index& aix) { return uint32_t(std::max(0, aix.max_index)); };
            if (!day_loaded && SQL_Exchange::instance)
                SQL_Exchange::instance->slot_loader_req(M, 14, limit(r->aix_day));
            if (!hour_loaded && SQL_Exchange::instance)
                SQL_Exchange::instance->slot_loader_req(M, 15, limit(r->aix_hour));
            if (day_loaded && hour_loaded) slot_modem_index_updated(M);
        }
    }

    if (!s.contains(QStringLiteral("version")))
        send_cmd_throttled(M, s, QStringLiteral("version"), QVariant(), settings_rights(), k_period_settings);
    else if (stm)
        check_settings(M, ul, s);

    switch (ul.header) {
    case '1':
    case '2':
        if (!check_time_sync_on_values(M, ul)) return;
        break;
    case '3':
        if (config.value(QStringLiteral("power_on_time_sync")).toBool()) {
            for (const Ul_event_record& ev : qAsConst(ul.ul_events))
                if (ev.event == 113) {
                    set_stamp(M, k_time_sync);
                    send(M, QStringLiteral("1.0.0"));
                    break;
                }
        }
        return;
    case 'B':
    case 'C':
    case 'D':
        if (!ul.ul_datas.isEmpty() && read_arch_enabled())
            if (modem_record* r = ram->find_modem(M)) {
                arch_index& aix = ul.header == 'D' ? r->aix_day : r->aix_hour;
                aix.index_received(ul.ul_datas.first().index, ul.ul_datas.first().ts);
            }
        return;
    case 'O':
        if (!ul.ul_events.isEmpty() && config.value(QStringLiteral("event_spam_off")).toBool() &&
            !stamp_fresh(M, k_time_version, k_period_settings)) {
            send(M, QStringLiteral("event_filter"), QVariantList{2, 4, 10, 11});
            set_stamp(M, k_time_version);
        }
        return;
    default:
        return;
    }

    // A display modem shows the values record it keeps for this header ("31" or "32").
    const QString shown = ul.header == '1' ? QStringLiteral("31") : QStringLiteral("32");
    if (s.contains(shown)) send_display(M, s.value(shown).toString(), 0);
    if (s.contains(QStringLiteral("bs_display")) && !forward_bs_display(M, ul, s)) return;
    auto_time_sync(M);
}

// Settings a meter of the new line (stm) must hold; a wrong one is pushed again.
void strova_controller::check_settings(uint32_t M, const Parser_ul_app& ul, const QVariantMap& s)
{
    if (config.value(QStringLiteral("DLMS_tz_auto_set_from_bs")).toBool() && ul.bs_tz != 0 &&
        !(s.contains(k_tz) && s.value(k_tz).toInt() == ul.bs_tz)) {
        LOG_EXC << M << "set tz";
        RAM_modems::instance->slot_set_setting(M, k_tz, int(ul.bs_tz), false);
        send(M, k_tz, int(ul.bs_tz));
    }

    if (!s.contains(QStringLiteral("arch_info_14")) || !s.contains(QStringLiteral("arch_info_15")))
        send_cmd_throttled(M, s, QStringLiteral("arch_info"), QVariant(), settings_rights(),
                           k_period_arch_info);

    const QVariantMap version = s.value(QStringLiteral("version")).toMap();
    const QString hw = version.value(QStringLiteral("hw")).toString();
    const QString sw = version.value(QStringLiteral("sw"), k_default_sw).toString();
    QVariantList wanted;
    if (config.value(QStringLiteral("event_spam_off")).toBool())
        wanted = {2, 3, 4, 10};
    else if (config.value(QStringLiteral("event_filter_set")).toBool() && !is_sw_4_0_to_3(sw))
        wanted = {0, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    if (!wanted.isEmpty() && check_event_filter(s.value(QStringLiteral("event_filter")).toList(), wanted))
        send_cmd_throttled(M, s, QStringLiteral("event_filter"), wanted, settings_rights(), k_period_settings);

    const uint32_t period = config.value(QStringLiteral("ARCH_profile_day_period")).toUInt();
    if (period != 0 && period != s.value(QStringLiteral("arch_info_14"))
                                     .toMap()
                                     .value(QStringLiteral("sec_before_send_max"))
                                     .toUInt())
        send_cmd_throttled(M, s, QStringLiteral("set_arch_index"), QVariantList{14, uint(period)},
                           settings_rights(), k_period_settings);

    if ((hw == QLatin1String("1.1.2.0") || hw == QLatin1String("1.9.2.0")) &&
        config.value(QStringLiteral("shunt_1_off")).toBool() && is_sw_4_0_to_3(sw))
        check_calibration(M, s);
}

// Meters of these lines shipped with a shunt calibration whose bytes 40..47 must be zero.
void strova_controller::check_calibration(uint32_t M, const QVariantMap& s)
{
    if (!s.contains(QStringLiteral("calibration_0"))) {
        if (!stamp_fresh(M, k_time_version, k_period_settings)) {
            send(M, QStringLiteral("calibration"));
            set_stamp(M, k_time_version);
        }
        return;
    }
    if (!s.contains(QStringLiteral("calibration_0_save")))
        RAM_modems::instance->slot_set_setting(M, QStringLiteral("calibration_0_save"),
                                               s.value(QStringLiteral("calibration_0")), true);
    QByteArray c = s.value(QStringLiteral("calibration_0")).toString().toLocal8Bit();
    if (c.size() != 72 || c.mid(40, 8) == "00000000") return;
    c.replace(40, 8, "00000000");
    if (!stamp_fresh(M, k_time_version, k_period_settings)) {
        send(M, QStringLiteral("msg"), QString::fromLocal8Bit(c.constData()));
        set_stamp(M, k_time_version);
    }
}

// A value record stamped with the reception time means the meter's clock was rejected.
// Returns false when the uplink's handling ends here.
bool strova_controller::check_time_sync_on_values(uint32_t M, const Parser_ul_app& ul)
{
    if (ul.ul_datas.isEmpty()) return false;
    if (config.value(QStringLiteral("fail_time_time_sync")).toBool() && ul.ul_datas.first().ts == ul.ts_get) {
        if (M == 0) return false;
        LOG_EXC << M << "to sync time";
        if (!stamp_fresh(M, k_time_sync, k_period_time_sync)) {
            set_stamp(M, k_time_sync);
            send_to_list(M, QStringLiteral("1.0.0"));
        }
    }
    return true;
}

// Keeps the values a modem reports for the display modem paired with it through a base
// station ("bs_display"). Returns false when the uplink's handling ends here.
bool strova_controller::forward_bs_display(uint32_t M, Parser_ul_app& ul, const QVariantMap& s)
{
    const QVariantMap bs_display = s.value(QStringLiteral("bs_display")).toMap();
    const uint32_t X = bs_display.value(QStringLiteral("modem"), 0).toUInt();
    const int B = bs_display.value(QStringLiteral("bs"), -1).toInt();
    if (X == 0 || B < 0) return false;
    LOG_TRC << "bs_display" << M << X << B;
    QByteArray bytes = ul.payload;
    if (bytes.size() > 6) bytes += ul.payload.right(6);
    // With a base station given, the bytes also go to the display at once, through it.
    if (B != 0) send_display(X, QString::fromLatin1(bytes.toHex().toUpper()), uint32_t(B));

    const bool has_old = config.contains(QStringLiteral("display_old"));
    const QVariantMap old = config.value(QStringLiteral("display_old")).toMap();
    if (has_old && old.contains(QStringLiteral("obis_add")) && ul.ul_datas.size() == 1) {
        Ul_data_record r = ul.ul_datas.first();
        const QVariantList add = old.value(QStringLiteral("obis_add")).toList();
        for (uint8_t c : {1, 2}) {
            if (!add.contains(QVariant(QStringLiteral("%1.8.0").arg(c)))) continue;
            // The total is added only when the meter did not send one itself.
            double sum = 0;
            int count = 0;
            bool has_total = false;
            for (auto it = r.values.cbegin(); it != r.values.cend(); ++it) {
                if (it.key().C != c || it.key().D != 8) continue;
                if (it.key().E == 0) {
                    has_total = true;
                    break;
                }
                sum += it.value().toDouble();
                ++count;
            }
            if (!has_total && count > 0) r.values.insert(obis_pack(1, 0, c, 8, 0, 255), sum);
        }
        ul.ul_datas = {r};
    }
    if (has_old && old.contains(QStringLiteral("obis_remove")) && ul.ul_datas.size() == 1) {
        Ul_data_record r = ul.ul_datas.first();
        const QVariantList remove = old.value(QStringLiteral("obis_remove")).toList();
        for (const QVariant& item : remove) {
            const QStringList p = item.toString().split(QLatin1Char('.'));
            if (p.size() == 3)
                r.values.remove(obis_pack(1, 0, p[0].toUInt(), p[1].toUInt(), p[2].toUInt(), 255));
            else if (p.size() == 6)
                r.values.remove(obis_pack(p[0].toUInt(), p[1].toUInt(), p[2].toUInt(), p[3].toUInt(),
                                          p[4].toUInt(), p[5].toUInt()));
        }
        ul.ul_datas = {r};
    }
    if (has_old && ul.ul_datas.size() == 1)
        bytes = parser_strova5::stringify_values(ul.header, ul.ul_datas.first());
    RAM_modems::instance->slot_set_setting(X, ul.header == '1' ? QStringLiteral("31") : QStringLiteral("32"),
                                           QString::fromLatin1(bytes.toHex().toUpper()), true);
    return true;
}

// Hands display bytes (hex) to the API's display command, as the driver itself.
void strova_controller::send_display(uint32_t modem, const QString& payload_hex, uint32_t station)
{
    if (!API_controller::instance) return;
    const QVariantMap request{
        {QStringLiteral("path"), QStringList{QStringLiteral("api"), QStringLiteral("cmd"), QStringLiteral("display")}},
        {QStringLiteral("qitems"),
         QVariantMap{{QStringLiteral("modem"), uint(modem)},
                     {QStringLiteral("payload"), payload_hex},
                     {QStringLiteral("station"), uint(station)}}}};
    const own_commands own;
    API_controller::instance->api_exec(request, true);
}

// Synchronises the meter's clock now and then, spread over up to twice the period so that
// a whole network does not ask at once.
void strova_controller::auto_time_sync(uint32_t M)
{
    if (!config_switch(config, QStringLiteral("auto_time_sync"))) return;
    const uint32_t t = RAM_modems::instance->get_setting(M, k_time_sync).toUInt();
    if (t != 0) {
        const int64_t age = age_of(t, steady_of(M, k_time_sync));
        const double limit = double(config.value(QStringLiteral("auto_time_sync"), 86400).toUInt()) *
                             (1.0 + double(random_source() % 1000) / 1000.0);
        if (double(age) <= limit) return;
    }
    set_stamp(M, k_time_sync);
    send_to_list(M, QStringLiteral("1.0.0"));
}

void strova_controller::slot_DL(Stringify_dl_app dl_app)
{
    if (dl_app.setting != QLatin1String("13.0.0") || dl_app.data.isNull() || !RAM_modems::instance) return;
    const QVariantMap s = RAM_modems::instance->get_settings(dl_app.modem_id);
    if (s.contains(QStringLiteral("version")) &&
        !contains_any(
            s.value(QStringLiteral("version")).toMap().value(QStringLiteral("sw"), k_default_sw).toString(),
            {".4.0", ".4.1", ".4.2"}))
        return;
    // These firmware lines take their pulse-output setting again after a tariff calendar.
    QVariantMap po = s.value(QStringLiteral("pulse_output")).toMap();
    if (po.isEmpty())
        po = {{QStringLiteral("freq0"), 4800},
              {QStringLiteral("freq1"), 4800},
              {QStringLiteral("type0"), 0},
              {QStringLiteral("type1"), 1}};
    send(dl_app.modem_id, QStringLiteral("pulse_output"), po);
}
