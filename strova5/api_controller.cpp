#include "api_controller.h"
#include "api_reports.h"
#include "config_keys.h"

#include "http_api_quill.h"
#include "log_limiter.h"
#include "logger.h"
#include "radio_exchange.h"
#include "ram_modems.h"
#include "strova_controller.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QSaveFile>
#include <QSet>
#include <limits>

API_controller* API_controller::instance = nullptr;
QString API_controller::files_dir;
std::function<uint32_t()> API_controller::time_source = [] {
    return uint32_t(QDateTime::currentSecsSinceEpoch());
};

namespace {

using gate = API_controller::gate_kind;

// The dispatch table, tested in this order; a route is (section, sub-command).
const API_controller::api_route k_routes[] = {
    {"rights", nullptr, gate::auth_admin, &API_controller::api_rights},
    {"report", "history", gate::view, &API_controller::api_report_history,
     &API_controller::make_report_history},
    {"report", "history_orig", gate::view, &API_controller::api_report_history_orig,
     &API_controller::make_report_history_orig},
    {"report", "events", gate::view, &API_controller::api_report_events, &API_controller::make_report_events},
    {"report", "list", gate::view, &API_controller::api_report_list, &API_controller::make_report_list},
    {"cmd", "send", gate::none, &API_controller::api_cmd_send},
    {"cmd", "status", gate::none, &API_controller::api_cmd_status},
    {"cmd", "display", gate::special_from_web, &API_controller::api_cmd_display},
    {"setting", "", gate::none, &API_controller::api_setting, &API_controller::make_setting},
    {"setting", "set", gate::special_or_b_admin, &API_controller::api_setting_set},
    {"setting", "version_list", gate::none, &API_controller::api_setting_version_list,
     &API_controller::make_setting_version_list},
    {"RAM", "indexes", gate::special_or_b_admin, &API_controller::api_RAM_indexes},
    {"RAM", "bs", gate::special_or_b_admin, &API_controller::api_RAM_bs},
    {"RAM", "modems", gate::special_or_b_admin, &API_controller::api_RAM_modems},
    {"el", "update_from_db", gate::special_or_b_admin, &API_controller::api_el_update_from_db},
    {"el", "modems_for_get_index", gate::special_or_b_admin, &API_controller::api_el_modems_for_get_index},
    {"iec104", "list", gate::view, &API_controller::api_iec104_list},
    {"diagnostics", "history", gate::diagnostics_config, &API_controller::api_diagnostics_history,
     &API_controller::make_diagnostics_history},
    {"diagnostics", "data_stm", gate::diagnostics_config, &API_controller::api_diagnostics_data_stm,
     &API_controller::make_diagnostics_data_stm},
    {"diagnostics", "shunt_days", gate::diagnostics_config, &API_controller::api_diagnostics_shunt_days,
     &API_controller::make_diagnostics_shunt_days},
    {"diagnostics", "data_time", gate::diagnostics_config, &API_controller::api_diagnostics_data_time,
     &API_controller::make_diagnostics_data_time},
    {"diagnostics", "event_spam", gate::diagnostics_config, &API_controller::api_diagnostics_event_spam,
     &API_controller::make_diagnostics_event_spam},
    {"diagnostics", "parse", gate::special, &API_controller::api_parse},
    {"sendmessage", nullptr, gate::special, &API_controller::api_sendmessage},
    {"info", nullptr, gate::none, &API_controller::api_info},
    {"time_sync", "set", gate::special_or_b_admin, &API_controller::api_time_sync_set},
    {"authorization", nullptr, gate::none, &API_controller::api_authorization},
    {"system", nullptr, gate::special_or_b_admin, &API_controller::api_system},
};

// Items that must never reach the log in clear.
const char* const k_secret_items[] = {"pass", "token", "api_key"};

const QString k_default_sync_url = QStringLiteral("pool.ntp.org");
constexpr uint32_t k_default_station = 9297;

QVariantMap mask_secrets(QVariantMap m)
{
    for (auto it = m.begin(); it != m.end(); ++it) {
        bool secret = false;
        for (const char* s : k_secret_items)
            secret = secret || it.key() == QLatin1String(s);
        if (secret)
            it.value() = QStringLiteral("***");
        else if (it.value().type() == QVariant::Map)
            it.value() = mask_secrets(it.value().toMap());
    }
    return m;
}

// The request as its log line shows it: each query item cut, and only the items that fit in one
// line's worth of text, the others counted, so that a request of thousands of items is not
// copied whole only for its line to be cut.
QVariantMap items_cut(QVariantMap api_request)
{
    const QVariantMap qitems = api_request.value(QStringLiteral("qitems")).toMap();
    QVariantMap shown;
    int length = 0;
    for (auto it = qitems.cbegin(); it != qitems.cend(); ++it) {
        if (length > log_outside_max) {
            shown.insert(QStringLiteral("..."),
                         QStringLiteral("%1 more items").arg(qitems.size() - shown.size()));
            break;
        }
        QVariant value = it.value();
        if (value.type() == QVariant::String && value.toString().size() > log_outside_max)
            value = log_cut(value.toString());
        length += it.key().size() + (value.type() == QVariant::String ? value.toString().size() : 0);
        shown.insert(it.key(), value);
    }
    api_request.insert(QStringLiteral("qitems"), shown);
    return api_request;
}

// A number item as a client sends it; text that is no number reads 0.
int32_t item_int32(const QVariant& v)
{
    bool ok = false;
    const qlonglong n = v.toString().trimmed().toLongLong(&ok);
    return ok ? int32_t(uint32_t(quint64(n))) : 0;
}

// A number item that the settings keep as a signed 32-bit integer: false when the text is a
// whole number outside that range (it would be stored wrapped); text that is no number passes
// and reads 0.
bool item_fits_int32(const QVariant& v)
{
    QString text = v.toString().trimmed();
    if (text.startsWith(QLatin1Char('+')) || text.startsWith(QLatin1Char('-'))) text.remove(0, 1);
    if (text.isEmpty()) return true;
    for (const QChar c : qAsConst(text))
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return true;
    bool ok = false;
    const qlonglong n = v.toString().trimmed().toLongLong(&ok);
    return ok && n >= std::numeric_limits<int32_t>::min() && n <= std::numeric_limits<int32_t>::max();
}

QByteArray hex_digits_only(const QByteArray& text)
{
    QByteArray out;
    out.reserve(text.size());
    for (char c : text)
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) out += c;
    return out;
}

// "jwt_key" when it is a non-empty text; the compiled key otherwise, so that the token issuers
// of installations that never set one keep working.
QByteArray configured_token_key(const QVariantMap& config)
{
    const QVariant v = config.value(QStringLiteral("jwt_key"));
    if (v.type() == QVariant::String && !v.toString().isEmpty()) return v.toString().toUtf8();
    if (v.isValid()) LOG_ERR << "api: \"jwt_key\" is not a non-empty text and is ignored";
    return http_api::api_key();
}

// The build instant, read from the compiler's date and time in the C locale.
QDateTime build_time()
{
    const QString text = QString::fromLatin1(__DATE__ " " __TIME__).simplified();
    return QLocale::c().toDateTime(text, QStringLiteral("MMM d yyyy hh:mm:ss"));
}

} // namespace

API_controller::API_controller(QVariantMap config_, QObject* parent)
    : QObject(parent), rights_table(make_rights_table()), rights_flat(make_rights_flat(rights_table)),
      config(config_), token_key(configured_token_key(config_))
{
    instance = this;
    if (token_key == http_api::api_key())
        LOG_WRN << "api: no \"jwt_key\" set: tokens are checked with the compiled key, which is public;"
                   " set \"api\".\"jwt_key\" and the same key in the token issuer";
    QFile f(tst_path());
    if (f.open(QIODevice::ReadOnly)) {
        const QJsonDocument doc = QJsonDocument::fromJson(f.readAll());
        if (doc.isObject()) time_sync = doc.object().toVariantMap();
    }
    if (config.value(QStringLiteral("uspd_events"), false).toBool()) start_event_log();
}

API_controller::~API_controller()
{
    if (instance == this) instance = nullptr;
}

QString API_controller::exe_dir()
{
    return files_dir.isEmpty() ? QCoreApplication::applicationDirPath() : files_dir;
}

QString API_controller::tst_path()
{
    return exe_dir() + QStringLiteral("/tst.json");
}

QVariantMap API_controller::make_rights_table()
{
    const QVariantMap user{
        {QStringLiteral("view"), QString::fromUtf8("Просмотр показаний электросчетчика")},
        {QStringLiteral("settings"), QString::fromUtf8("Настройки электросчетчика")},
        {QStringLiteral("control"), QString::fromUtf8("Управление нагрузкой электросчетчика")},
    };
    const QVariantMap admin{
        {QStringLiteral("special"), QString::fromUtf8("Специальные действие электросчетчика")},
        {QStringLiteral("user"), user},
    };
    return {{QStringLiteral("admin"), admin}};
}

QMap<QString, QStringList> API_controller::make_rights_flat(const QVariantMap& table)
{
    QMap<QString, QStringList> flat;
    flatten_rights(table, flat);
    return flat;
}

QStringList API_controller::flatten_rights(const QVariantMap& tree, QMap<QString, QStringList>& flat)
{
    QStringList out;
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        const QVariantMap inner = it.value().toMap();
        if (!inner.isEmpty()) {
            const QStringList rights = flatten_rights(inner, flat);
            flat.insert(it.key(), rights);
            out += rights;
        } else {
            out += it.key();
        }
    }
    return out;
}

QStringList API_controller::get_rights(const QVariantMap& api_request) const
{
    QStringList out;
    const QVariantList given = api_request.value(QStringLiteral("rights")).toList();
    for (const QVariant& v : given) {
        const QString name = v.toString();
        const auto role = rights_flat.constFind(name);
        const QStringList add = role != rights_flat.cend() ? role.value() : QStringList{name};
        for (const QString& r : add)
            if (!out.contains(r)) out += r;
    }
    return out;
}

void API_controller::add_open_role(QVariantMap& api_request) const
{
    // Without tokens every request holds the role `user`.
    if (!config.value(QStringLiteral("no_jwt")).toBool()) return;
    QVariantList rights = api_request.value(QStringLiteral("rights")).toList();
    rights += QStringLiteral("user");
    api_request.insert(QStringLiteral("rights"), rights);
}

report_caller API_controller::report_kind(QVariantMap api_request) const
{
    add_open_role(api_request);
    const QStringList rights = get_rights(api_request);
    if (holds_command_right(rights)) return report_caller::command;
    return rights.contains(QStringLiteral("view")) ? report_caller::view : report_caller::anonymous;
}

QList<uint32_t> API_controller::get_modems(const QVariantMap& qitems) const
{
    // Sets, not list searches: a request may carry hundreds of thousands of ids, and the daemon
    // serves nothing else while it sorts them out. The first-seen order is kept. The parts are
    // read in place: a list split into strings first cost a small allocation per id, which the
    // heap kept long after the request.
    QList<uint32_t> requested;
    QSet<uint32_t> seen;
    const QString text = qitems.value(QStringLiteral("modem")).toString();
    int left_out = 0;
    for (int from = 0; from <= text.size();) {
        int comma = text.indexOf(QLatin1Char(','), from);
        if (comma < 0) comma = text.size();
        const uint32_t id = text.midRef(from, comma - from).toUInt();
        from = comma + 1;
        if (id == 0 || seen.contains(id)) continue;
        if (requested.size() >= k_modems_max) {
            ++left_out;
            continue;
        }
        seen.insert(id);
        requested += id;
    }
    if (left_out > 0) {
        static log_limiter lim(QStringLiteral("modem list cut"), LVL_WRN, 50, 1000);
        if (lim.pass())
            LOG_WRN << "modem list:" << left_out << "entries after the first" << k_modems_max
                    << "ids left out";
    }
    if (!config.contains(QStringLiteral("whilelist_modems"))) return requested;
    QList<uint32_t> out;
    for (const QVariant& v : config.value(QStringLiteral("whilelist_modems")).toList()) {
        const uint32_t id = v.toUInt();
        // An id the whitelist names twice comes out twice, as it always did.
        if (id != 0 && seen.contains(id)) out += id;
    }
    return out;
}

QVariantMap API_controller::masked(QVariantMap api_request)
{
    api_request.remove(QStringLiteral("caller")); // a digest of the token: nothing for the reader
    return mask_secrets(items_cut(std::move(api_request)));
}

bool API_controller::gate_passes(gate_kind g, const QStringList& rights, bool from_driver) const
{
    switch (g) {
    case gate::none:
        return true;
    case gate::view:
        return rights.contains(QStringLiteral("view"));
    case gate::special:
        return rights.contains(QStringLiteral("special"));
    case gate::special_or_b_admin:
        return rights.contains(QStringLiteral("special")) || rights.contains(QStringLiteral("_b_admin"));
    case gate::auth_admin:
        return rights.contains(QStringLiteral("_auth_admin"));
    case gate::diagnostics_config:
        return config_switch(config, QStringLiteral("diagnostics"));
    case gate::special_from_web:
        return from_driver || rights.contains(QStringLiteral("special"));
    }
    return false;
}

const API_controller::api_route* API_controller::route_for(const QStringList& path, const QStringList& rights,
                                                           bool from_driver) const
{
    if (path.size() < 2 || path.first() != QLatin1String("api")) return nullptr;
    const QString& section = path.at(1);
    const QString sub = path.size() > 2 ? path.at(2) : QString();
    for (const api_route& r : k_routes) {
        if (section != QLatin1String(r.section)) continue;
        if (r.sub && sub != QLatin1String(r.sub)) continue;
        return gate_passes(r.gate, rights, from_driver) ? &r : nullptr;
    }
    return nullptr;
}

const API_controller::api_route* API_controller::route_of(QVariantMap& api_request, bool from_driver)
{
    add_open_role(api_request);
    // The request is outside text of any length: each item is cut before the line is made (a
    // list of millions of ids is not written out only to be cut), and a client's lines are
    // counted beyond a burst, so that no client can flood the log or push its history out. The
    // requests of callers holding a command right have a limiter of their own: no flood of
    // others keeps what an operator asked out of the log.
    static log_limiter request_lim(QStringLiteral("api request"), LVL_WRN, 50, 1000);
    static log_limiter right_request_lim(QStringLiteral("api request under a command right"), LVL_WRN, 50,
                                         1000);
    const QStringList rights = get_rights(api_request);
    if (log_passes(LVL_WRN) &&
        (from_driver || (holds_command_right(rights) ? right_request_lim : request_lim).pass()))
        LOG_WRN << log_cut(QJsonDocument::fromVariant(masked(api_request)).toJson(QJsonDocument::Compact))
                       .constData();

    const QStringList path = api_request.value(QStringLiteral("path")).toStringList();
    if (path.size() < 2 || path.first() != QLatin1String("api")) return nullptr;
    LOG_LIMITED(LVL_TRC, "rights") << "rights" << rights;

    const api_route* route = route_for(path, rights, from_driver);
    return route && route->run ? route : nullptr;
}

QVariant API_controller::api_exec(QVariantMap api_request, bool from_driver)
{
    const api_route* route = route_of(api_request, from_driver);
    return route ? (this->*(route->run))(api_request) : QVariant();
}

QVariant API_controller::api_begin(QVariantMap api_request, std::unique_ptr<report_job>& job,
                                   const std::function<QVariant()>& admit)
{
    const api_route* route = route_of(api_request, false);
    if (!route) return QVariant();
    if (route->make) {
        if (admit) {
            QVariant refused = admit();
            if (refused.isValid()) return refused;
        }
        job = (this->*(route->make))(api_request);
        return QVariant();
    }
    return (this->*(route->run))(api_request);
}

QVariant API_controller::api_rights(QVariantMap)
{
    return rights_table;
}

QVariant API_controller::api_el_update_from_db(QVariantMap)
{
    if (!strova_controller::instance || !RAM_modems::instance) return QVariant();
    const int modem = strova_controller::instance->load_driver_settings();
    return RAM_modems::instance->get_settings(uint32_t(modem));
}

QVariant API_controller::api_el_modems_for_get_index(QVariantMap)
{
    QVariantList out;
    if (strova_controller::instance)
        for (uint32_t id : qAsConst(strova_controller::instance->index_modems))
            out += uint(id);
    return out;
}

QVariant API_controller::api_iec104_list(QVariantMap)
{
    QVariantMap out;
    if (!RAM_modems::instance) return out;
    const QMap<uint32_t, uint32_t> map = RAM_modems::instance->iec104_map();
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        out.insert(QString::number(it.value()), uint(it.key()));
    return out;
}

QVariant API_controller::api_cmd_display(QVariantMap api_request)
{
    const QVariantMap qitems = api_request.value(QStringLiteral("qitems")).toMap();
    const QList<uint32_t> modems = get_modems(qitems);
    const QByteArray payload = QByteArray::fromHex(
        hex_digits_only(qitems.value(QStringLiteral("payload")).toString().toLocal8Bit()));
    const QString payload_hex = QString::fromLatin1(payload.toHex().toUpper());
    const uint32_t station = qitems.contains(QStringLiteral("station"))
                                 ? qitems.value(QStringLiteral("station")).toUInt()
                                 : k_default_station;
    for (uint32_t modem : modems) {
        QVariantMap dl;
        dl.insert(QStringLiteral("msg_type"), QStringLiteral("dl"));
        dl.insert(QStringLiteral("modem_id"), uint(modem));
        dl.insert(QStringLiteral("payload"), payload_hex);
        if (station != 0) {
            dl.insert(QStringLiteral("station_id"), uint(station));
            dl.insert(QStringLiteral("dl_freq"), quint64(modem % 100) * 10000 + 445000000);
            dl.insert(QStringLiteral("f_ack"), false);
        }
        dl.insert(QStringLiteral("max_payload_len"), station != 0 ? 128 : 8);
        // The route asks for `special` (or comes from the driver itself).
        if (Radio_Exchange::instance) Radio_Exchange::instance->post_dl(dl, true);
    }
    return QVariantMap{{QStringLiteral("send"), QStringLiteral("ok")}};
}

QVariant API_controller::api_info(QVariantMap)
{
    const QVariantMap sw_conf = config.value(QStringLiteral("sw")).toMap();
    QVariantMap sw;
    sw.insert(QStringLiteral("name"), sw_conf.value(QStringLiteral("name"), QString()));
    sw.insert(QStringLiteral("ver"), sw_conf.value(QStringLiteral("ver"), QStringLiteral("1.0")).toString());
    sw.insert(QStringLiteral("sn"), sw_conf.value(QStringLiteral("sn"), QStringLiteral("05 18 ")).toString());
    const QByteArray md5_text = sw_conf.value(QStringLiteral("md5"), QString()).toString().toLocal8Bit();
    sw.insert(
        QStringLiteral("MD5"),
        QString::fromLatin1(QCryptographicHash::hash(md5_text, QCryptographicHash::Md5).toHex().toUpper()));

    const int32_t shift = item_int32(time_sync.value(QStringLiteral("ts_shift"), 0));
    const int32_t offset = item_int32(time_sync.value(QStringLiteral("offset"), 0));
    const qint64 now = qint64(time_source());
    const uint32_t stamp = uint32_t(quint64(now + shift));
    QVariantMap time;
    time.insert(QStringLiteral("timestamp"), uint(stamp));
    time.insert(
        QStringLiteral("dt"),
        QDateTime::fromSecsSinceEpoch(now + shift + offset).toString(QStringLiteral("yyyy.MM.dd hh:mm:ss")));
    time.insert(QStringLiteral("sync_source"),
                time_sync.value(QStringLiteral("sync_source"), QStringLiteral("gps")).toString());
    time.insert(QStringLiteral("offset"),
                time_sync.value(QStringLiteral("offset"), QStringLiteral("0")).toString());
    time.insert(QStringLiteral("sync_url"),
                time_sync.value(QStringLiteral("sync_url"), k_default_sync_url).toString());

    const QDateTime built = build_time();
    QVariantMap out;
    out.insert(QStringLiteral("SW"), sw);
    out.insert(QStringLiteral("time"), time);
    out.insert(QStringLiteral("build_ts"), uint(built.toSecsSinceEpoch()));
    out.insert(QStringLiteral("build_dt"), built.toString(QStringLiteral("yyyy.MM.dd hh:mm:ss")));
    return out;
}

QVariant API_controller::api_time_sync_set(QVariantMap api_request)
{
    const QVariantMap qitems = api_request.value(QStringLiteral("qitems")).toMap();
    for (const char* name : {"offset", "timestamp"}) {
        const QString key = QLatin1String(name);
        if (qitems.contains(key) && !item_fits_int32(qitems.value(key))) {
            LOG_LIMITED(LVL_WRN, "time_sync refused")
                << "time_sync set:" << key << log_cut(qitems.value(key).toString())
                << "outside the signed 32-bit range, nothing stored";
            return QVariantMap{{QStringLiteral("res"), false}};
        }
    }
    QVariantMap next = time_sync;
    if (qitems.contains(QStringLiteral("sync_source")))
        next.insert(QStringLiteral("sync_source"), qitems.value(QStringLiteral("sync_source")).toString());
    if (qitems.contains(QStringLiteral("sync_url")))
        next.insert(QStringLiteral("sync_url"), qitems.value(QStringLiteral("sync_url")).toString());
    if (qitems.contains(QStringLiteral("offset")))
        next.insert(QStringLiteral("offset"), int(item_int32(qitems.value(QStringLiteral("offset")))));
    if (qitems.contains(QStringLiteral("timestamp"))) {
        const qint64 sum = qint64(time_source()) + item_int32(next.value(QStringLiteral("ts_shift"), 0)) -
                           item_int32(qitems.value(QStringLiteral("timestamp"))) +
                           item_int32(next.value(QStringLiteral("offset"), 0));
        if (sum < std::numeric_limits<int32_t>::min() || sum > std::numeric_limits<int32_t>::max()) {
            // The shift is read back as a signed 32-bit number: stored wrapped, it would move
            // the driver's clock by decades.
            LOG_LIMITED(LVL_WRN, "time_sync refused")
                << "time_sync set: timestamp" << log_cut(qitems.value(QStringLiteral("timestamp")).toString())
                << "gives a shift of" << sum << "s, outside the signed 32-bit range, nothing stored";
            return QVariantMap{{QStringLiteral("res"), false}};
        }
        next.insert(QStringLiteral("ts_shift"), uint(uint32_t(quint64(sum))));
    }

    // Written whole to a temporary file and renamed, so a reader never sees half a file; a file
    // made read-only by the operator is left alone.
    const QFileInfo existing(tst_path());
    // Mode bits, not access(): root may write anything.
    constexpr QFile::Permissions any_write = QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther;
    const bool read_only = existing.exists() && !(existing.permissions() & any_write);
    QSaveFile f(tst_path());
    const bool written = !read_only && f.open(QIODevice::WriteOnly) &&
                         f.write(QJsonDocument::fromVariant(next).toJson(QJsonDocument::Indented)) >= 0 &&
                         f.commit();
    if (!written) {
        LOG_LIMITED(LVL_ERR, "time_sync not saved")
            << "time_sync not saved" << tst_path()
            << (read_only ? QStringLiteral("read-only") : f.errorString());
        return QVariantMap{{QStringLiteral("res"), false}};
    }
    time_sync = next;
    return QVariantMap{{QStringLiteral("res"), true}};
}
