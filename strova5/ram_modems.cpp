#include "ram_modems.h"

#include "logger.h"
#include "sql_exchange.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QReadLocker>
#include <QSet>
#include <QStringList>
#include <QWriteLocker>

RAM_modems* RAM_modems::instance = nullptr;
QReadWriteLock RAM_modems::registry_lock;

namespace {

const char* const k_dl_layer_names[] = {"DL_PSK_FASTDL", "DL_PSK_5000", "DL_PSK_500"};

// Names of get_index_flags bits in the order the API lists them.
const struct
{
    uint32_t bit;
    const char* name;
} k_flag_names[] = {
    {GIF_PROFILE_DAY, "profile_day"},
    {GIF_PROFILE_HOUR, "profile_hour"},
    {GIF_DAY_NOT_LOADED, "!aix_day.is_loaded"},
    {GIF_HOUR_NOT_LOADED, "!aix_hour.is_loaded"},
    {GIF_OLD_SUCCESS_DL, "old last_success_dl_ts"},
    {GIF_NO_BS_DL, "!bs_dl"},
    {GIF_LAST_DAY, "last_day"},
};

QString utc_text(uint32_t ts)
{
    return QDateTime::fromSecsSinceEpoch(qint64(ts), Qt::UTC).toString(QStringLiteral("yyyy.MM.dd hh:mm:ss"));
}

QString local_text(uint32_t ts)
{
    return QDateTime::fromSecsSinceEpoch(qint64(ts)).toString(QStringLiteral("yyyy.MM.dd hh:mm:ss"));
}

} // namespace

// ---------------------------------------------------------------- arch_index

void arch_index::reset()
{
    indexes.clear();
    is_loaded = false;
    req_index = -1;
    req_counter = 0;
    req_ts = 0;
    cmd_id = 0;
}

void arch_index::set_arch_info(QString key, QVariant value)
{
    if (key != QStringLiteral("arch_info_%1").arg(type))
        return;
    const QVariantMap info = value.toMap();
    if (info.value(QStringLiteral("index"), -1).toInt() != int(type))
        return;
    const int count = info.value(QStringLiteral("count_max"), 10).toInt();
    const int rec_size = info.value(QStringLiteral("rec_size"), 12).toInt();
    if (count <= 0 || rec_size <= 0) {
        // A broken report must not wipe a geometry that worked (nor divide by zero).
        LOG_EXC << "bad archive geometry, kept" << key << "count_max" << count << "rec_size" << rec_size
                << "max_index" << max_index << "max_count" << max_count;
        return;
    }
    // The meter keeps one 4096-byte page fewer than its ring holds.
    qint64 held = qint64(count) - 4096 / rec_size + 1;
    if (held < 0)
        held = 0;
    if (held > count)
        held = count;
    max_index = count;
    max_count = int32_t(held);
}

void arch_index::index_received(uint32_t index, uint32_t ts)
{
    const auto it = indexes.constFind(index);
    if (it != indexes.constEnd() && it.value() < ts) {
        // The ring wrapped and rewrote this slot: entries older than the overwritten one
        // are stale too, unless so many look stale that the new time is more likely wrong.
        const uint32_t overwritten = it.value();
        QList<uint32_t> stale;
        for (auto i = indexes.constBegin(); i != indexes.constEnd(); ++i)
            if (i.value() < overwritten)
                stale << i.key();
        if (stale.size() * 10 < indexes.size())
            for (uint32_t k : stale)
                indexes.remove(k);
    }
    indexes[index] = ts;
}

// ---------------------------------------------------------------- modem_record

modem_record::modem_record(QVariantMap settings_) : settings(settings_)
{
    scan_arch_info();
}

void modem_record::set_setting(QString key, QVariant value)
{
    {
        QWriteLocker lock(&RAM_modems::registry_lock);
        settings.insert(key, value);
    }
    if (key == QLatin1String("arch_info_14"))
        aix_day.set_arch_info(key, value);
    else if (key == QLatin1String("arch_info_15"))
        aix_hour.set_arch_info(key, value);
}

void modem_record::note_reactive(uint32_t type, uint32_t first, uint32_t last)
{
    const auto it = reactive.find(type);
    if (it == reactive.end())
        reactive.insert(type, qMakePair(first, last));
    else
        *it = qMakePair(qMin(it->first, first), qMax(it->second, last));
}

void modem_record::scan_arch_info()
{
    aix_day.reset();
    aix_hour.reset();
    for (auto it = settings.constBegin(); it != settings.constEnd(); ++it) {
        if (it.key() == QLatin1String("arch_info_14"))
            aix_day.set_arch_info(it.key(), it.value());
        else if (it.key() == QLatin1String("arch_info_15"))
            aix_hour.set_arch_info(it.key(), it.value());
    }
}

// ---------------------------------------------------------------- RAM_modems

RAM_modems::RAM_modems(QVariantMap config_, QObject* parent) : QObject(parent), config(config_)
{
    // slot_set_setting is also reached through queued connections.
    qRegisterMetaType<uint32_t>("uint32_t");
    instance = this;
}

RAM_modems::~RAM_modems()
{
    if (instance == this)
        instance = nullptr;
    QWriteLocker lock(&registry_lock);
    qDeleteAll(modems);
    modems.clear();
    qDeleteAll(base_stations);
    base_stations.clear();
    iec_ids.clear();
}

bool RAM_modems::is_no_db(QString name)
{
    std::call_once(no_db_once, [this] { no_db = config.value(QStringLiteral("no_db")).toList(); });
    return no_db.contains(QVariant(name));
}

modem_record* RAM_modems::find_modem(uint32_t modem)
{
    return modems.value(modem, nullptr);
}

modem_record* RAM_modems::add_modem(uint32_t modem, QVariantMap settings)
{
    auto* rec = new modem_record(settings);
    const auto limits = config.constFind(QStringLiteral("max_busyness"));
    if (limits != config.constEnd()) {
        const QVariantMap percent = limits.value().toMap();
        static const int defaults[4] = {99, 95, 80, 60};
        static const char* const keys[4] = {"DL_PSK_FASTDL", "DL_PSK_5000", "DL_PSK_500", "DL_PSK_200"};
        for (int i = 0; i < 4; ++i)
            rec->max_busyness[i] = float(percent.value(QLatin1String(keys[i]), defaults[i]).toDouble() / 100.0);
    }
    modem_record* replaced = nullptr;
    {
        QWriteLocker lock(&registry_lock);
        replaced = modems.value(modem, nullptr);
        modems.insert(modem, rec);
    }
    delete replaced;
    return rec;
}

QVariantMap RAM_modems::get_settings(uint32_t modem)
{
    QReadLocker lock(&registry_lock);
    const modem_record* rec = modems.value(modem, nullptr);
    return rec ? rec->settings : QVariantMap();
}

QVariant RAM_modems::get_setting(uint32_t modem, QString name)
{
    QReadLocker lock(&registry_lock);
    const modem_record* rec = modems.value(modem, nullptr);
    return rec ? rec->settings.value(name) : QVariant();
}

QList<uint32_t> RAM_modems::modem_ids()
{
    QReadLocker lock(&registry_lock);
    return modems.keys();
}

int RAM_modems::modem_count()
{
    QReadLocker lock(&registry_lock);
    return modems.size();
}

QList<uint32_t> RAM_modems::modems_by_version(bool by_sw, QString text)
{
    const QString field = by_sw ? QStringLiteral("sw") : QStringLiteral("hw");
    QList<uint32_t> found;
    QReadLocker lock(&registry_lock);
    for (auto it = modems.constBegin(); it != modems.constEnd(); ++it) {
        const QVariantMap version = it.value()->settings.value(QStringLiteral("version")).toMap();
        if (version.value(field).toString().contains(text))
            found << it.key();
    }
    return found;
}

QMap<uint32_t, uint32_t> RAM_modems::find_cmds(QList<uint32_t> cmd_ids)
{
    QMap<uint32_t, uint32_t> states;
    if (cmd_ids.isEmpty())
        return states;
    const QSet<uint32_t> wanted(cmd_ids.begin(), cmd_ids.end());
    for (const modem_record* rec : qAsConst(modems))
        for (auto it = rec->cmds.constBegin(); it != rec->cmds.constEnd(); ++it)
            if (wanted.contains(it.key()))
                states.insert(it.key(), it.value().state);
    return states;
}

bool RAM_modems::load_settings()
{
    LOG_EXC << "start read modems settings";
    QList<modem_record*> old;
    {
        QWriteLocker lock(&registry_lock);
        old = modems.values();
        modems.clear();
    }
    qDeleteAll(old);
    QMap<uint32_t, QVariantMap> stored;
    // Never an empty registry for a read that failed: the routes, the fleet's size and the
    // version requests all go by it.
    if (SQL_Exchange::instance && !SQL_Exchange::instance->get_pending_settings(stored)) return false;
    for (auto it = stored.constBegin(); it != stored.constEnd(); ++it)
        add_modem(it.key(), it.value());
    LOG_EXC << "devices" << stored.size();
    return true;
}

bs_record* RAM_modems::find_bs(uint32_t bs)
{
    return base_stations.value(bs, nullptr);
}

bs_record* RAM_modems::get_bs(uint32_t bs)
{
    auto* rec = new bs_record;
    bs_record* replaced = nullptr;
    {
        QWriteLocker lock(&registry_lock);
        replaced = base_stations.value(bs, nullptr);
        base_stations.insert(bs, rec);
    }
    delete replaced;
    return rec;
}

QList<uint32_t> RAM_modems::bs_ids()
{
    QReadLocker lock(&registry_lock);
    return base_stations.keys();
}

int RAM_modems::dl_layer_of(const modem_record& rec)
{
    const QString dl = rec.settings.value(QStringLiteral("radio")).toMap().value(QStringLiteral("dl")).toString();
    for (int i = 0; i < 3; ++i)
        if (dl == QLatin1String(k_dl_layer_names[i]))
            return i;
    return DL_LAYER_OTHER;
}

float RAM_modems::dl_time_factor(const modem_record& rec)
{
    static const float factors[4] = {0.003f, 0.01f, 1.0f / 12.0f, 0.19333333f};
    return factors[dl_layer_of(rec)];
}

float RAM_modems::max_busyness_for(const modem_record& rec)
{
    return rec.max_busyness[dl_layer_of(rec)];
}

QVariantMap RAM_modems::bs_to_map(const bs_record& rec)
{
    return QVariantMap{{QStringLiteral("bs"), int(rec.bs)},
                       {QStringLiteral("busyness"), rec.busyness * 100},
                       {QStringLiteral("aver_busyness"), rec.aver_busyness * 100}};
}

QVariantMap RAM_modems::modem_to_map(const modem_record& rec)
{
    QVariantMap map;
    map.insert(QStringLiteral("14_day"), arch_index_to_map(rec.aix_day));
    map.insert(QStringLiteral("15_hour"), arch_index_to_map(rec.aix_hour));
    map.insert(QStringLiteral("settings"), rec.settings);
    map.insert(QStringLiteral("curr_data count"), rec.curr_data.size());
    QVariantList cmds;
    for (auto it = rec.cmds.constBegin(); it != rec.cmds.constEnd(); ++it)
        cmds << uint(it.key());
    map.insert(QStringLiteral("cmds"), cmds);
    map.insert(QStringLiteral("req_timeout"), uint(rec.req_timeout));
    map.insert(QStringLiteral("bs_dl"), int(rec.bs_dl));
    map.insert(QStringLiteral("last_success_dl_ts"), uint(rec.last_success_dl_ts));
    map.insert(QStringLiteral("last_success_dl_ts_txt"), local_text(rec.last_success_dl_ts));
    QStringList flags;
    for (const auto& f : k_flag_names)
        if (rec.get_index_flags & f.bit)
            flags << QLatin1String(f.name);
    map.insert(QStringLiteral("flags for get_index"), flags);
    QVariantList limits;
    for (float limit : rec.max_busyness)
        limits << limit * 100;
    map.insert(QStringLiteral("max_busyness"), limits);
    return map;
}

QVariantMap RAM_modems::arch_index_to_map(const arch_index& aix)
{
    QVariantMap map;
    map.insert(QStringLiteral("max_index"), int(aix.max_index));
    map.insert(QStringLiteral("max_count"), int(aix.max_count));
    map.insert(QStringLiteral("is_loaded"), aix.is_loaded);
    map.insert(QStringLiteral("req_index"), int(aix.req_index));
    map.insert(QStringLiteral("req_counter"), int(aix.req_counter));
    map.insert(QStringLiteral("req_ts"), uint(aix.req_ts));
    map.insert(QStringLiteral("req_ts_txt"), utc_text(aix.req_ts));
    map.insert(QStringLiteral("cmd_id"), int(aix.cmd_id));
    map.insert(QStringLiteral("cause_ret"), int(aix.cause_ret));
    map.insert(QStringLiteral("default_ts"), uint(aix.default_ts));
    QVariantMap indexes;
    for (auto it = aix.indexes.constBegin(); it != aix.indexes.constEnd(); ++it)
        indexes.insert(QString::number(it.key()), QStringLiteral("%1 %2").arg(it.value()).arg(utc_text(it.value())));
    map.insert(QStringLiteral("|indexes_txt"), indexes);
    map.insert(QStringLiteral("|indexes_count"), aix.indexes.size());
    return map;
}

QMap<uint32_t, uint32_t> RAM_modems::iec104_map()
{
    QReadLocker lock(&registry_lock);
    return iec_ids;
}

uint32_t RAM_modems::iec_id(uint32_t modem)
{
    QReadLocker lock(&registry_lock);
    return iec_ids.value(modem, 0);
}

void RAM_modems::set_iec104_map(QMap<uint32_t, uint32_t> map)
{
    QWriteLocker lock(&registry_lock);
    iec_ids = map;
}

void RAM_modems::set_iec_id(uint32_t modem, uint32_t iec_id)
{
    QWriteLocker lock(&registry_lock);
    iec_ids.insert(modem, iec_id);
}

modem_record* RAM_modems::find_or_create(uint32_t modem)
{
    modem_record* rec = find_modem(modem);
    if (!rec) {
        // Not through add_modem: a modem first met this way keeps the default limits.
        rec = new modem_record;
        QWriteLocker lock(&registry_lock);
        modems.insert(modem, rec);
    }
    return rec;
}

namespace {
// Whether `map` holds exactly the keys of `fields`, in the order given; the sizes are equal.
bool keys_in_order(const QVariantMap& map, std::initializer_list<RAM_modems::setting_field> fields)
{
    auto node = map.constBegin();
    for (const RAM_modems::setting_field& f : fields)
        if ((node++).key() != f.first) return false;
    return true;
}
} // namespace

void RAM_modems::set_map_setting(uint32_t modem, const QString& setting,
                                 std::initializer_list<setting_field> fields)
{
    modem_record* rec = find_or_create(modem);
    // The archive geometry is applied by set_setting: those keys take the whole road.
    if (!setting.startsWith(QLatin1String("arch_info_"))) {
        QWriteLocker lock(&registry_lock);
        const auto it = rec->settings.find(setting);
        if (it != rec->settings.end() && it.value().userType() == QMetaType::QVariantMap) {
            auto* held = static_cast<QVariantMap*>(it.value().data());
            if (held->size() == int(fields.size())) {
                // Fields given in the map's own key order take one walk, without look-ups.
                if (keys_in_order(*held, fields)) {
                    auto node = held->begin();
                    for (const setting_field& f : fields)
                        (node++).value() = shared_value(f.second);
                    return;
                }
                bool same_keys = true;
                for (const setting_field& f : fields)
                    same_keys = same_keys && held->contains(f.first);
                if (same_keys) {
                    for (const setting_field& f : fields)
                        (*held)[f.first] = shared_value(f.second);
                    return;
                }
            }
        }
    }
    QVariantMap map;
    {
        QWriteLocker lock(&registry_lock);
        for (const setting_field& f : fields)
            map.insert(f.first, shared_value(f.second));
    }
    rec->set_setting(setting, map);
}

namespace {
constexpr int k_shared_max = 4096; // distinct values kept for sharing

bool same_value(const QVariant& a, const QVariant& b)
{
    return a.userType() == b.userType() && a == b;
}

uint content_hash(const QVariant& v)
{
    switch (v.userType()) {
    case QMetaType::Int:
    case QMetaType::UInt:
        return qHash(v.toUInt());
    case QMetaType::QString:
        return qHash(v.toString());
    default:
        return uint(v.userType());
    }
}
} // namespace

QVariant RAM_modems::shared_value(const QVariant& value)
{
    if (value.userType() != QMetaType::QString) return value;
    const QString text = value.toString();
    const auto it = shared_texts.constFind(text);
    if (it != shared_texts.constEnd()) return *it;
    if (shared_texts.size() >= k_shared_max) shared_texts.clear();
    shared_texts.insert(text);
    return value;
}

void RAM_modems::set_shared_map_setting(uint32_t modem, const QString& setting,
                                        std::initializer_list<setting_field> fields)
{
    modem_record* rec = find_or_create(modem);
    if (setting.startsWith(QLatin1String("arch_info_"))) {
        set_map_setting(modem, setting, fields);
        return;
    }
    // Keys are part of the comparison below, not of the hash: hashing them per uplink costs more
    // than the rare collision.
    uint h = qHash(setting);
    for (const setting_field& f : fields)
        h = h * 31 + content_hash(f.second);
    QWriteLocker lock(&registry_lock);
    auto cached = shared_maps.find(h);
    bool same = cached != shared_maps.end() && cached->size() == int(fields.size());
    if (same && keys_in_order(*cached, fields)) {
        auto node = cached->constBegin();
        for (const setting_field& f : fields)
            same = same && same_value((node++).value(), f.second);
    } else {
        for (const setting_field& f : fields) {
            if (!same) break;
            const auto it = cached->constFind(f.first);
            same = it != cached->constEnd() && same_value(it.value(), f.second);
        }
    }
    if (!same) {
        QVariantMap map;
        for (const setting_field& f : fields)
            map.insert(f.first, shared_value(f.second));
        if (shared_maps.size() >= k_shared_max) shared_maps.clear();
        cached = shared_maps.insert(h, map);
    }
    rec->settings.insert(setting, *cached);
}

namespace {
// Whether `value` may read as JSON text of an object or array. A map, a list or a number never
// does, and asking costs a conversion and a parse per setting.
bool may_be_json_text(const QVariant& value)
{
    switch (value.userType()) {
    case QMetaType::UnknownType:
    case QMetaType::QVariantMap:
    case QMetaType::QVariantList:
    case QMetaType::QVariantHash:
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return false;
    default:
        return true;
    }
}
} // namespace

QVariant RAM_modems::stored_value(const QVariant& value)
{
    // JSON text of an object or array is kept as the structure it describes.
    if (may_be_json_text(value)) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(value.toString().toUtf8(), &error);
        if (error.error == QJsonParseError::NoError &&
            ((doc.isObject() && !doc.object().isEmpty()) || (doc.isArray() && !doc.array().isEmpty())))
            return doc.toVariant();
    }
    return value;
}

void RAM_modems::slot_set_setting(uint32_t modem, QString setting, QVariant value, bool save_to_db)
{
    modem_record* rec = find_or_create(modem);
    const QVariant stored = stored_value(value);
    rec->set_setting(setting, stored);

    if (save_to_db && SQL_Exchange::instance) {
        const uint32_t now = uint32_t(QDateTime::currentSecsSinceEpoch());
        Parser_ul_app ul;
        ul.modem_id = modem;
        ul.ts_get = now;
        ul.ul_settings << Ul_setting(now, setting, stored);
        SQL_Exchange::instance->slot_UL(ul);
    }
}
