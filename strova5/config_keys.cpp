#include "config_keys.h"

#include <QVector>
#include <algorithm>

namespace {

// A known key: a section whose keys are all checked (`nested`, possibly none), or a value whose
// content, if any (accounts, maps keyed by data, lists), is not looked into.
struct known_key
{
    const char* name;
    QVector<known_key> nested;
    bool is_value = false;
};

known_key value(const char* name)
{
    return known_key{name, {}, true};
}

// Every key a component reads, documented or not. A component that reads a new key adds it here.
const QVector<known_key>& known_keys()
{
    static const QVector<known_key> keys{
        value("log_level"),
        {"RAM",
         {value("no_db"),
          {"max_busyness",
           {value("DL_PSK_FASTDL"), value("DL_PSK_5000"), value("DL_PSK_500"), value("DL_PSK_200")}}}},
        {"strova_controller",
         {value("time_arch_start"),
          value("read_arch_single"),
          value("power_on_time_sync"),
          value("event_spam_off"),
          value("DLMS_tz_auto_set_from_bs"),
          value("event_filter_set"),
          value("ARCH_profile_day_period"),
          value("shunt_1_off"),
          value("fail_time_time_sync"),
          value("auto_time_sync"),
          {"profiles_len_days",
           {value("remover_ms"), value("month"), value("day"), value("hour"), value("event")}},
          {"display_old", {value("obis_add"), value("obis_remove")}}}},
        {"sql",
         {value("db"),
          value("host"),
          value("port"),
          value("db_name"),
          value("user"),
          value("pass"),
          value("ts_req_curr_last"),
          {"timers",
           {value("data_ms"), value("remove_profile_hour_d"), value("remove_profile_day_d"),
            value("remove_profile_other_d")}}}},
        {"rabbit",
         {{"ul", {value("path"), value("queue"), value("host")}},
          {"dl", {value("path"), value("exchange"), value("host"), value("api_key")}}}},
        {"api",
         {value("port"),
          value("no_jwt"),
          value("diagnostics"),
          value("whilelist_modems"),
          value("interpolation"),
          value("uspd_events"),
          value("authorization"),
          value("jwt_key"),
          {"sw", {value("name"), value("ver"), value("sn"), value("md5")}}}},
        {"iec104", {}}, // its content is not read
        {"transparent_channel", {value("TCPport"), value("UDPport"), value("modems")}},
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
        if (!found->is_value && it.value().type() == QVariant::Map)
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
