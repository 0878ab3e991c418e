#include "config_keys.h"

#include <QVector>
#include <algorithm>

namespace {

// A known key and what it holds: nested known keys, or free-form content (accounts, maps keyed by
// data, lists) that is not checked.
struct known_key
{
    const char* name;
    QVector<known_key> nested;
    bool free_form = false;
};

known_key free_form(const char* name)
{
    return known_key{name, {}, true};
}
known_key leaf(const char* name)
{
    return known_key{name, {}, false};
}

// Every key a component reads, documented or not. A component that reads a new key adds it here.
const QVector<known_key>& known_keys()
{
    static const QVector<known_key> keys{
        leaf("log_level"),
        {"RAM",
         {free_form("no_db"),
          {"max_busyness",
           {leaf("DL_PSK_FASTDL"), leaf("DL_PSK_5000"), leaf("DL_PSK_500"), leaf("DL_PSK_200")}}}},
        {"strova_controller",
         {leaf("time_arch_start"),
          leaf("read_arch_single"),
          leaf("power_on_time_sync"),
          leaf("event_spam_off"),
          leaf("DLMS_tz_auto_set_from_bs"),
          free_form("event_filter_set"),
          leaf("ARCH_profile_day_period"),
          leaf("shunt_1_off"),
          leaf("fail_time_time_sync"),
          leaf("auto_time_sync"),
          {"profiles_len_days",
           {leaf("remover_ms"), leaf("month"), leaf("day"), leaf("hour"), leaf("event")}},
          {"display_old", {free_form("obis_add"), free_form("obis_remove")}}}},
        {"sql",
         {leaf("db"),
          leaf("host"),
          leaf("port"),
          leaf("db_name"),
          leaf("user"),
          leaf("pass"),
          leaf("ts_req_curr_last"),
          {"timers",
           {leaf("data_ms"), leaf("remove_profile_hour_d"), leaf("remove_profile_day_d"),
            leaf("remove_profile_other_d")}}}},
        {"rabbit",
         {{"ul", {leaf("path"), leaf("queue"), leaf("host")}},
          {"dl", {leaf("path"), leaf("exchange"), leaf("host"), leaf("api_key")}}}},
        {"api",
         {leaf("port"),
          leaf("no_jwt"),
          leaf("diagnostics"),
          free_form("whilelist_modems"),
          leaf("interpolation"),
          leaf("uspd_events"),
          free_form("authorization"),
          leaf("jwt_key"),
          {"sw", {leaf("name"), leaf("ver"), leaf("sn"), leaf("md5")}}}},
        free_form("iec104"),
        {"transparent_channel", {leaf("TCPport"), leaf("UDPport"), free_form("modems")}},
    };
    return keys;
}

int distance(const QString& a, const QString& b)
{
    QVector<int> row(b.size() + 1);
    for (int j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (int i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= b.size(); ++j) {
            const int above = row[j];
            const int cost = a[i - 1].toLower() == b[j - 1].toLower() ? 0 : 1;
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + cost});
            diagonal = above;
        }
    }
    return row[b.size()];
}

void check(const QVariantMap& section, const QVector<known_key>& known, const QString& prefix,
           QStringList& out)
{
    for (auto it = section.cbegin(); it != section.cend(); ++it) {
        const QString path = prefix + it.key();
        const auto found = std::find_if(known.cbegin(), known.cend(), [&](const known_key& k) {
            return it.key() == QLatin1String(k.name);
        });
        if (found == known.cend()) {
            // A slip of a letter or two, or another case: the key the writer most likely meant.
            QString nearest;
            int best = std::max(2, int(it.key().size()) / 4) + 1;
            for (const known_key& k : known) {
                const int d = distance(it.key(), QLatin1String(k.name));
                if (d < best) {
                    best = d;
                    nearest = QLatin1String(k.name);
                }
            }
            out << (nearest.isEmpty() ? path
                                      : QStringLiteral("%1 (did you mean %2%3?)").arg(path, prefix, nearest));
            continue;
        }
        if (!found->free_form && !found->nested.isEmpty() && it.value().type() == QVariant::Map)
            check(it.value().toMap(), found->nested, path + QLatin1Char('.'), out);
    }
}

} // namespace

bool config_switch(const QVariantMap& section, const QString& key)
{
    const auto it = section.constFind(key);
    if (it == section.constEnd() || it->isNull() || it->userType() == QMetaType::Nullptr) return false;
    switch (int(it->type())) {
    case QVariant::Bool:
        return it->toBool();
    case QVariant::Int:
    case QVariant::UInt:
    case QVariant::LongLong:
    case QVariant::ULongLong:
    case QVariant::Double:
        return it->toDouble() != 0.0;
    default:
        return true;
    }
}

QStringList config_unknown_keys(const QVariantMap& config)
{
    QStringList out;
    check(config, known_keys(), QString(), out);
    return out;
}
