#include "iec104.h"

#include "log_limiter.h"
#include "logger.h"
#include "parser_strova5.h"
#include "ram_modems.h"
#include "sql_exchange.h"

#include <QCoreApplication>
#include <cmath>
#include <cstring>

const uint32_t sp_ioa_base = 1;
IEC104* IEC104::instance = nullptr;

namespace {

const OBIS status_a = obis_pack(0, 0, 96, 3, 0, 255);
const OBIS status_b = obis_pack(0, 0, 96, 3, 1, 255);
const OBIS frequency = obis_pack(1, 0, 14, 7, 0, 255);

OBIS instantaneous(unsigned c)
{
    return obis_pack(1, 0, c, 7, 0, 255);
}

// The station's port, and how often one that could not be bound is tried again.
constexpr int k_port = 2404;
constexpr int k_listen_retry_ms = 30000;

// Said when the port is first refused, then at most once a minute while it lasts.
log_limiter& not_bound_lines()
{
    static log_limiter lim(QStringLiteral("iec104 port not bound"), LVL_ERR, 1, 60000);
    return lim;
}
// Any master may send commands and reconnect as fast as it likes.
log_limiter& command_lines()
{
    static log_limiter lim(QStringLiteral("iec104 single command"), LVL_NTC, 50, 1000);
    return lim;
}
log_limiter& connection_lines()
{
    static log_limiter lim(QStringLiteral("iec104 connection"), LVL_DBG, 50, 1000);
    return lim;
}

qint64 sent_key(uint32_t modem, uint32_t ioa)
{
    return (qint64(modem) << 16) + qint64(ioa);
}

// A parameter of "iec104_params": absent gives the default, present but not a number gives 0.
float param(const QVariantMap& p, const char* key, float fallback)
{
    const auto it = p.constFind(QLatin1String(key));
    if (it == p.constEnd()) return fallback;
    bool ok = false;
    const float v = it->toFloat(&ok);
    return ok ? v : 0.0f;
}

QVariantMap params_of(const QVariantMap& params, uint32_t ioa)
{
    return params.value(QString::number(ioa)).toMap();
}

QString par_of(const QVariantMap& p)
{
    return p.value(QStringLiteral("par"), QStringLiteral("all_time")).toString();
}

// A measured value with time tag; one that is not a number goes out as 0 marked invalid, so no
// master takes it for a reading.
InformationObject measured_object(InformationObject storage, uint32_t ioa, float v, Cp56Time2a time)
{
    const bool valid = std::isfinite(v);
    return measured_float_cp56_create(storage, int(ioa), valid ? v : 0.0f,
                                      valid ? 0 : IEC60870_QUALITY_INVALID, time);
}

} // namespace

IEC104::IEC104(QObject* parent) : QObject(parent)
{
    instance = this;
    station = station_create(100, 100);
    if (station != nullptr) station_set_local_port(station, k_port);
    // Connection threads call back into this object and the registry: they end with the loop,
    // before the application object destroys its children.
    if (QCoreApplication* app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &IEC104::stop);
    listen_retry.setInterval(k_listen_retry_ms);
    connect(&listen_retry, &QTimer::timeout, this, &IEC104::listen);
    overwrite_timer.setSingleShot(true);
    overwrite_timer.setTimerType(Qt::PreciseTimer);
    connect(&overwrite_timer, &QTimer::timeout, this, [this] { report_overwrites(true); });
    SQL_Exchange* sql = SQL_Exchange::instance;
    RAM_modems* ram = RAM_modems::instance;
    if (sql == nullptr || ram == nullptr) return;
    sql->get_iec104_map();
    const QMap<uint32_t, uint32_t> map = ram->iec104_map();
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        const Parser_ul_app last = sql->get_last_curr(it.key());
        if (!last.ul_datas.isEmpty()) last_records.insert(it.key(), last.ul_datas.first());
    }
}

IEC104::~IEC104()
{
    stop();
    if (instance == this) instance = nullptr;
}

bool IEC104::start()
{
    LOG_LIMITED(LVL_EXC, "iec104 starting") << "starting";
    if (station == nullptr) return false;
    station_set_local_address(station, "0.0.0.0");
    station_set_server_mode(station, SERVER_MODE_CONNECTION_IS_GROUP);
    app_params = station_get_app_layer_parameters(station);
    station_set_interrogation_handler(station, interrogation_callback, nullptr);
    station_set_asdu_handler(station, on_asdu, nullptr);
    station_set_connection_request_handler(station, on_connection_request, nullptr);
    station_set_connection_event_handler(station, on_connection_event, nullptr);
    station_set_raw_message_handler(station, on_raw_message, nullptr);
    station_set_queue_overflow_handler(station, on_queue_overflow, this);
    return listen();
}

bool IEC104::listen()
{
    if (station == nullptr) return false;
    station_start(station);
    if (!station_is_running(station)) {
        // Another program may hold the port for a while: the station keeps trying instead of
        // leaving the daemon without it until a restart.
        if (not_bound_lines().pass())
            LOG_ERR << "iec104 port" << station_get_local_port(station)
                    << "not bound:" << std::strerror(station_get_start_error(station))
                    << "- tried again every" << k_listen_retry_ms / 1000 << "s";
        if (!listen_retry.isActive()) listen_retry.start();
        return false;
    }
    listen_retry.stop();
    if (not_bound_lines().end())
        LOG_ERR << "iec104 port" << station_get_local_port(station) << "bound at last";
    LOG_LIMITED(LVL_EXC, "iec104 started") << "started";
    emit signal_listening();
    return true;
}

void IEC104::stop()
{
    listen_retry.stop();
    if (station == nullptr) return;
    // What the queues lost since the last count is said before the station goes.
    forget_dropped();
    report_overwrites(true);
    station_destroy(station);
    station = nullptr;
    app_params = nullptr;
}

QString IEC104::cp56_to_string(Cp56Time2a time)
{
    return QStringLiteral("%1:%2:%3 %4/%5/%6")
        .arg(cp56_get_hour(time))
        .arg(cp56_get_minute(time))
        .arg(cp56_get_second(time))
        .arg(cp56_get_day_of_month(time))
        .arg(cp56_get_month(time))
        .arg(2000 + cp56_get_year(time));
}

// ---- values of a record

QVector<iec104_value> IEC104::measured_values(const Ul_data_record& rec)
{
    const auto& v = rec.values;
    QVector<iec104_value> out;
    out.reserve(23);
    float sum_p = 0, sum_q = 0, sum_s = 0, sum_i = 0;
    for (const uint8_t c : {uint8_t(31), uint8_t(51), uint8_t(71)}) {
        const OBIS ou = instantaneous(c + 1u), op = instantaneous(c - 10u), oq = instantaneous(c - 8u),
                   oi = instantaneous(c);
        const bool has_u = v.contains(ou), has_p = v.contains(op), has_q = v.contains(oq),
                   has_i = v.contains(oi);
        const float u = v.value(ou).toFloat();
        const float p = v.value(op).toFloat() * 1000.0f;
        const float q = v.value(oq).toFloat() * 1000.0f;
        float i = v.value(oi).toFloat() * 1000.0f;
        if (has_p && has_q) {
            const float s = std::sqrt(p * p + q * q);
            // Derived as S / U it is in A; a measured current goes out in mA, and one point must
            // keep one unit whichever way the uplink gave it.
            if (!has_i && u > 0) i = s / u * 1000.0f;
            const float pf = s == 0 ? 1.0f : p / s;
            sum_p += std::fabs(p);
            sum_q += std::fabs(q);
            out << iec104_value{uint8_t(c - 10), p} << iec104_value{uint8_t(c - 8), q};
            if (has_u) {
                sum_s += s;
                out << iec104_value{uint8_t(c + 1), u} << iec104_value{c, i}
                    << iec104_value{uint8_t(c - 2), s} << iec104_value{uint8_t(c + 2), pf};
            }
        }
        sum_i += i;
    }
    if (v.contains(frequency)) out << iec104_value{14, v.value(frequency).toFloat()};
    out << iec104_value{11, sum_i} << iec104_value{1, sum_p} << iec104_value{3, sum_q}
        << iec104_value{9, sum_s};
    return out;
}

int IEC104::status_states(const Ul_data_record& rec, uint64_t* states)
{
    const uint32_t a = rec.values.value(status_a).toUInt();
    const uint32_t b = rec.values.value(status_b).toUInt();
    const bool form48 = (a >> 28) == 1 && ((a >> 12) & 15) == 2 && (b >> 28) == 4 && ((b >> 12) & 15) == 8;
    if (log_passes(LVL_TRC)) {
        for (const uint32_t half : {a >> 16, a & 0xFFFF, b >> 16, b & 0xFFFF})
            LOG_LIMITED(LVL_TRC, "iec104 status states")
                << QString::number(half >> 12, 16).toUpper() << QString::number(half & 0xFFF, 16).toUpper();
        LOG_LIMITED(LVL_TRC, "iec104 status states") << form48;
    }
    if (form48) {
        *states = uint64_t((a >> 16) & 0xFFF) | (uint64_t(a & 0xFFF) << 12) |
                  (uint64_t((b >> 16) & 0xFFF) << 24) | (uint64_t(b & 0xFFF) << 36);
        return 48;
    }
    *states = a >> 16;
    return 16;
}

// ---- ASDU building

void IEC104::modem_context(Uplink& u, uint32_t ts)
{
    const QVariantMap settings =
        RAM_modems::instance ? RAM_modems::instance->get_settings(u.modem) : QVariantMap();
    u.params = settings.value(QStringLiteral("iec104_params")).toMap();
    u.cot = settings.value(QStringLiteral("iec104_send_PERIODIC")).toString() == QLatin1String("true")
                ? CS101_COT_PERIODIC
                : CS101_COT_SPONTANEOUS;
    u.time = sCp56Time2a{};
    cp56_set_from_ms_timestamp(&u.time, uint64_t(ts) * 1000u);
}

void IEC104::new_asdu(Uplink& u)
{
    u.asdu = asdu_create(app_params, false, u.cot, 0, int(u.iec_id), false, false);
    u.has_object = false;
}

void IEC104::add_object(Uplink& u, InformationObject object)
{
    if (u.asdu == nullptr) return;
    if (!asdu_add_object(u.asdu, object)) {
        station_enqueue_asdu(station, u.asdu);
        asdu_destroy(u.asdu);
        new_asdu(u);
        if (u.asdu == nullptr) return;
        asdu_add_object(u.asdu, object);
    }
    u.has_object = true;
}

void IEC104::finish_asdu(Uplink& u)
{
    if (u.asdu && u.has_object) station_enqueue_asdu(station, u.asdu);
    asdu_destroy(u.asdu);
    u.asdu = nullptr;
    u.has_object = false;
    forget_dropped();
}

void IEC104::make_io_changed(Uplink& u, uint8_t c, float x)
{
    const uint32_t ioa = uint32_t(c) + 100u;
    const qint64 key = sent_key(u.modem, ioa);
    const QVariantMap p = params_of(u.params, ioa);
    const QString par = par_of(p);
    if (par == QLatin1String("no_send")) return;
    float v = param(p, "b", 0.0f) + x * param(p, "k", 1.0f);
    if (v >= param(p, "zero_left", 0.0f) && v <= param(p, "zero_right", 0.0f)) v = 0.0f;
    if (u.cot != CS101_COT_PERIODIC) {
        const auto it = last_sent.constFind(key);
        if (it != last_sent.constEnd()) {
            const float last = it->toFloat();
            bool flag = par == QLatin1String("all_time") && !(v == last);
            // A value turning invalid, or valid again, is a change whatever the band: the
            // differences and ratios of a NaN would hold it back for good.
            const bool validity_changed = std::isfinite(v) != std::isfinite(last);
            if (par == QLatin1String("delta")) {
                const float diff = last > v ? last - v : v - last;
                if (diff >= param(p, "delta", 0.0f) || validity_changed) flag = true;
            }
            if (par == QLatin1String("persent")) {
                const float q = param(p, "persent", 100.0f) / 100.0f;
                if (!(last / v >= q || v / last >= q || flag || validity_changed)) return;
            } else if (!flag) {
                return;
            }
        }
    }
    last_sent.insert(key, v);
    add_object(u, measured_object(&u.object, ioa, v, &u.time));
}

void IEC104::publish_events(const Parser_ul_app& ul, uint32_t iec_id)
{
    for (const Ul_event_record& ev : ul.ul_events) {
        if (ev.type.E != 10) continue;
        LOG_LIMITED(LVL_DBG, "iec104 event") << "event 10";
        if (station_get_open_connections(station) == 0 || !is_publishable(iec_id)) return;
        LOG_LIMITED(LVL_DBG, "iec104 event") << "event 10" << iec_id;
        Uplink u;
        u.modem = ul.modem_id;
        u.iec_id = iec_id;
        modem_context(u, ev.ts);
        bool state = false;
        uint8_t offset = 0;
        for (auto it = ev.values.constBegin(); it != ev.values.constEnd(); ++it) {
            if (it.key().C != 96 || it.key().D != 3 || it.key().E != 0) continue;
            const uint32_t v = it.value().toUInt();
            if (v & 0x4000) state = true;
            offset = uint8_t(((v >> 4) & 15) + ((v >> 12) & 3) * 12);
        }
        LOG_LIMITED(LVL_DBG, "iec104 event") << ul.modem_id << state << offset;
        const uint32_t ioa = sp_ioa_base + offset;
        const qint64 key = sent_key(ul.modem_id, ioa);
        if (par_of(params_of(u.params, ioa)) == QLatin1String("no_send")) continue;
        if (u.cot == CS101_COT_SPONTANEOUS && last_sent.contains(key) &&
            last_sent.value(key).toInt() == int(state))
            continue;
        last_sent.insert(key, state);
        new_asdu(u);
        add_object(u, single_point_cp56_create(&u.object, int(ioa), state, 0, &u.time));
        finish_asdu(u);
    }
}

void IEC104::publish_status(Uplink& u, const Ul_data_record& rec)
{
    uint64_t states = 0;
    const int n = status_states(rec, &states);
    new_asdu(u);
    for (int i = 0; i < n; i++) {
        const uint32_t ioa = sp_ioa_base + uint32_t(i);
        const qint64 key = sent_key(u.modem, ioa);
        if (par_of(params_of(u.params, ioa)) == QLatin1String("no_send")) continue;
        const bool st = (states >> i) & 1u;
        if (u.cot == CS101_COT_SPONTANEOUS && last_sent.contains(key) &&
            last_sent.value(key).toInt() == int(st))
            continue;
        last_sent.insert(key, st);
        add_object(u, single_point_cp56_create(&u.object, int(ioa), st, 0, &u.time));
    }
    finish_asdu(u);
}

void IEC104::assign_address(uint32_t modem, const QMap<uint32_t, uint32_t>& map)
{
    uint32_t highest = 0;
    for (const uint32_t id : map)
        highest = qMax(highest, id);
    const uint64_t next = uint64_t(highest) + 1u;
    if (next > 65534u) {
        if (!unaddressable.contains(modem)) {
            unaddressable << modem;
            LOG_LIMITED(LVL_ERR, "iec104 no common address")
                << "iec104 no common address left for modem" << modem << "highest" << highest;
        }
        return;
    }
    if (SQL_Exchange::instance) SQL_Exchange::instance->add_iec104_modem(modem, uint32_t(next));
}

void IEC104::slot_UL(Parser_ul_app ul_parse)
{
    RAM_modems* ram = RAM_modems::instance;
    if (station == nullptr || app_params == nullptr || ram == nullptr) return;
    if (ul_parse.ul_events.isEmpty() && ul_parse.ul_datas.isEmpty()) return;
    const uint32_t modem = ul_parse.modem_id;
    QMap<uint32_t, uint32_t> map = ram->iec104_map();
    const bool has_status =
        !ul_parse.ul_datas.isEmpty() && ul_parse.ul_datas.first().values.contains(status_a);

    if (!mutex.tryLock(1000)) {
        LOG_LIMITED(LVL_ERR, "iec104 lock not taken")
            << "iec104 lock not taken, uplink of modem" << modem << "not published";
        if (has_status && !map.contains(modem)) assign_address(modem, map);
        return;
    }
    if (!ul_parse.ul_events.isEmpty() && map.contains(modem)) publish_events(ul_parse, map.value(modem));

    if (!ul_parse.ul_datas.isEmpty()) {
        const Ul_data_record& rec = ul_parse.ul_datas.first();
        const bool addressed = map.contains(modem) && is_publishable(map.value(modem));
        if (has_status || addressed) {
            if (has_status && !map.contains(modem)) {
                assign_address(modem, map);
                map = ram->iec104_map();
            }
            last_records.insert(modem, rec);
            const uint32_t iec_id = map.value(modem);
            if (station_get_open_connections(station) > 0 && is_publishable(iec_id)) {
                LOG_LIMITED(LVL_DBG, "iec104 publish") << "iec addr" << iec_id << modem;
                Uplink u;
                u.modem = modem;
                u.iec_id = iec_id;
                modem_context(u, rec.ts);
                new_asdu(u);
                for (const iec104_value& v : measured_values(rec))
                    make_io_changed(u, v.c, v.value);
                finish_asdu(u);
                if (has_status) publish_status(u, rec);
            }
        }
    }
    mutex.unlock();
}

// ---- a full queue overwrote ASDUs
//
// A started master lost values it will not see again unless they are sent anew: they leave
// `last_sent`, so the next uplink sends them. A master that is not started (a standby) receives
// nothing until it starts and then interrogates, so its overwrites leave `last_sent` alone;
// otherwise a standby's full queue would make every uplink resend everything to the others.

void IEC104::on_queue_overflow(void* parameter, ClientConnection connection, const uint8_t* asdu, int size)
{
    IEC104* self = static_cast<IEC104*>(parameter);
    const bool started = client_connection_is_active(connection);
    std::lock_guard<std::mutex> l(self->dropped_lock);
    self->overwritten++;
    if (started)
        self->dropped << QByteArray(reinterpret_cast<const char*>(asdu), size);
    else
        self->overwritten_stopped++;
}

void IEC104::forget_dropped()
{
    QList<QByteArray> lost;
    qint64 all = 0, stopped = 0;
    {
        std::lock_guard<std::mutex> l(dropped_lock);
        lost.swap(dropped);
        all = overwritten;
        stopped = overwritten_stopped;
        overwritten = overwritten_stopped = 0;
    }
    if (all == 0) return;
    const QMap<uint32_t, uint32_t> map =
        RAM_modems::instance ? RAM_modems::instance->iec104_map() : QMap<uint32_t, uint32_t>();
    for (QByteArray& bytes : lost) {
        Asdu a = asdu_create_from_buffer(app_params, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
        if (a == nullptr) continue;
        const uint32_t ca = uint32_t(asdu_get_ca(a));
        const int n = asdu_get_element_count(a);
        for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
            if (it.value() != ca) continue;
            for (int i = 0; i < n; i++) {
                sInformationObject storage;
                if (InformationObject o = asdu_get_element_into(a, &storage, i))
                    last_sent.remove(sent_key(it.key(), uint32_t(info_object_get_address(o))));
            }
        }
        asdu_destroy(a);
    }
    overwrites += all;
    overwrites_stopped += stopped;
    report_overwrites(false);
}

void IEC104::report_overwrites(bool now)
{
    if (overwrites == 0) return;
    if (!now && overwrite_report.isValid() && overwrite_report.elapsed() < 60000) {
        // The count waits for the end of its minute, not for the next overwrite.
        if (!overwrite_timer.isActive()) overwrite_timer.start(int(60000 - overwrite_report.elapsed()));
        return;
    }
    overwrite_timer.stop();
    LOG_WRN << qPrintable(QStringLiteral("iec104 queue full, ASDUs overwritten: %1, of them in queues of "
                                         "stopped connections: %2")
                              .arg(overwrites)
                              .arg(overwrites_stopped));
    overwrites = overwrites_stopped = 0;
    overwrite_report.start();
}

// ---- station interrogation (connection threads)

bool IEC104::interrogation_callback(void*, ClientConnection connection, Asdu asdu, uint8_t qoi)
{
    if (IEC104* self = instance) self->on_interrogation(connection, qoi, asdu);
    return true;
}

void IEC104::make_io_all(Reply& r, uint8_t c, float x)
{
    const uint32_t ioa = uint32_t(c) + 100u;
    const QVariantMap p = params_of(r.params, ioa);
    if (par_of(p) == QLatin1String("no_send")) return;
    float v = param(p, "b", 0.0f) + x * param(p, "k", 1.0f);
    if (v >= param(p, "zero_left", 0.0f) && v <= param(p, "zero_right", 0.0f)) v = 0.0f;
    reply_object(r, measured_object(&r.object, ioa, v, &r.time));
}

void IEC104::reply_object(Reply& r, InformationObject object)
{
    if (r.asdu == nullptr) return;
    if (!asdu_add_object(r.asdu, object)) {
        client_connection_send_asdu(r.connection, r.asdu);
        asdu_destroy(r.asdu);
        r.asdu =
            asdu_create(app_params, false, CS101_COT_INTERROGATED_BY_STATION, 0, int(r.iec_id), false, false);
        if (r.asdu == nullptr) return;
        asdu_add_object(r.asdu, object);
    }
    r.has_object = true;
}

void IEC104::reply_finish(Reply& r)
{
    if (r.asdu && r.has_object) client_connection_send_asdu(r.connection, r.asdu);
    asdu_destroy(r.asdu);
    r.asdu = nullptr;
    r.has_object = false;
}

void IEC104::on_interrogation(ClientConnection connection, uint8_t qoi, Asdu request)
{
    const int ca = asdu_get_ca(request);
    const bool broadcast = asdu_is_broadcast_ca(request);
    LOG_LIMITED(LVL_DBG, "iec104 interrogation") << "qoi" << qoi << "ca" << ca << broadcast;
    if (asdu_get_cot(request) == CS101_COT_DEACTIVATION) {
        asdu_set_cot(request, 9); // deactivation confirmation
        asdu_set_negative(request, false);
        client_connection_send_asdu(connection, request);
        return;
    }
    if (qoi != 20) {
        client_connection_send_act_con(connection, request, true);
        return;
    }
    bool first = true;
    const QMap<uint32_t, uint32_t> map =
        RAM_modems::instance ? RAM_modems::instance->iec104_map() : QMap<uint32_t, uint32_t>();
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        const uint32_t modem = it.key(), iec_id = it.value();
        if (!is_publishable(iec_id) || (!broadcast && iec_id != uint32_t(ca))) continue;
        LOG_LIMITED(LVL_TRC, "iec104 interrogation") << "out qoi" << 20 << "ca" << iec_id;
        if (!mutex.tryLock(1000)) {
            LOG_LIMITED(LVL_ERR, "iec104 lock not taken")
                << "iec104 lock not taken, modem" << modem << "not interrogated";
            continue;
        }
        const auto found = last_records.constFind(modem);
        if (found == last_records.constEnd()) {
            mutex.unlock();
            continue;
        }
        const Ul_data_record rec = *found;
        mutex.unlock();

        Reply r;
        r.connection = connection;
        r.modem = modem;
        r.iec_id = iec_id;
        r.params =
            RAM_modems::instance
                ? RAM_modems::instance->get_settings(modem).value(QStringLiteral("iec104_params")).toMap()
                : QVariantMap();
        cp56_set_from_ms_timestamp(&r.time, uint64_t(rec.ts) * 1000u);

        Asdu id =
            asdu_create(app_params, false, CS101_COT_INTERROGATED_BY_STATION, 0, int(iec_id), false, false);
        if (id) asdu_add_object(id, measured_float_create(&r.object, 100, float(modem), 0));
        if (first) {
            asdu_set_cot(request, CS101_COT_ACTIVATION_CON);
            asdu_set_negative(request, false);
            client_connection_send_asdu(connection, request);
            first = false;
        }
        if (id) client_connection_send_asdu(connection, id);
        asdu_destroy(id);

        r.asdu =
            asdu_create(app_params, false, CS101_COT_INTERROGATED_BY_STATION, 0, int(iec_id), false, false);
        for (const iec104_value& v : measured_values(rec))
            make_io_all(r, v.c, v.value);
        reply_finish(r);

        if (rec.values.contains(status_a)) {
            uint64_t states = 0;
            const int n = status_states(rec, &states);
            r.asdu = asdu_create(app_params, false, CS101_COT_INTERROGATED_BY_STATION, 0, int(iec_id), false,
                                 false);
            for (int i = 0; i < n; i++) {
                const uint32_t ioa = sp_ioa_base + uint32_t(i);
                if (par_of(params_of(r.params, ioa)) == QLatin1String("no_send")) continue;
                reply_object(r, single_point_create(&r.object, int(ioa), (states >> i) & 1u, 0));
            }
            reply_finish(r);
        }
        asdu_set_cot(request, CS101_COT_ACTIVATION_TERMINATION);
        asdu_set_negative(request, false);
        client_connection_send_asdu(connection, request);
    }
    if (first) {
        asdu_set_cot(request, CS101_COT_UNKNOWN_CA);
        asdu_set_negative(request, false);
        client_connection_send_asdu(connection, request);
    }
}

// ---- station callbacks (server and connection threads; they touch nothing of the object)

bool IEC104::on_connection_request(void*, const char* ip_address)
{
    if (connection_lines().pass(LVL_DBG)) LOG_DBG << "New connection request from" << ip_address;
    return true;
}

bool IEC104::on_asdu(void*, ClientConnection connection, Asdu asdu)
{
    if (asdu_get_type_id(asdu) != 45) return false;
    const bool say = command_lines().pass(LVL_NTC);
    if (say) LOG_NTC << "received single command";
    if (asdu_get_cot(asdu) == CS101_COT_ACTIVATION) {
        sInformationObject storage;
        InformationObject element =
            asdu_get_element_count(asdu) > 0 ? asdu_get_element_into(asdu, &storage, 0) : nullptr;
        if (element == nullptr) {
            asdu_set_cot(asdu, CS101_COT_UNKNOWN_IOA);
            asdu_set_negative(asdu, true);
        } else if (info_object_get_address(element) == 5000) {
            if (say) LOG_DBG << "IOA:" << 5000 << "switch to" << single_command_get_state(element);
            asdu_set_cot(asdu, CS101_COT_ACTIVATION_CON);
        } else {
            asdu_set_cot(asdu, CS101_COT_UNKNOWN_IOA);
        }
    } else {
        asdu_set_cot(asdu, CS101_COT_UNKNOWN_COT);
    }
    client_connection_send_asdu(connection, asdu);
    return true;
}

void IEC104::on_connection_event(void*, ClientConnection connection, int event)
{
    static const char* const names[] = {"Connection opened", "Connection closed", "Connection activated",
                                        "Connection deactivated"};
    if (event < 0 || event > 3) return;
    if (connection_lines().pass(LVL_DBG)) LOG_DBG << names[event] << static_cast<const void*>(connection);
}

void IEC104::on_raw_message(void*, ClientConnection, uint8_t* bytes, int size, bool sent)
{
    LOG_LIMITED(LVL_TRC, "iec104 raw message")
        << QByteArray(sent ? "SEND: " : "RCVD: ") +
               QByteArray(reinterpret_cast<const char*>(bytes), size).toHex().toUpper();
}
