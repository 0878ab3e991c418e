// Diagnostics over the stored readings of all modems: fast register rises, power failures,
// register steps and export growth, and days missing from the day archive.
#include "api_controller.h"
#include "api_reports.h"
#include "log_limiter.h"
#include "logger.h"
#include "ram_modems.h"
#include "sql_exchange.h"

#include <QDateTime>
#include <QSet>
#include <algorithm>
#include <cmath>

namespace {

using namespace report_items;

// Diagnostics answer whoever the configuration lets in, as often as he asks: their lines are
// counted beyond a burst.
bool diag_says(int level)
{
    static log_limiter lim(QStringLiteral("diagnostics"), LVL_EXC, 50, 1000);
    return lim.pass(level);
}

QVariantMap qitems_of(const QVariantMap& api_request)
{
    return api_request.value(QStringLiteral("qitems")).toMap();
}

uint32_t now()
{
    return API_controller::time_source();
}

uint32_t time_item(const QVariantMap& qitems, const char* key, uint32_t fallback)
{
    const QString k = QLatin1String(key);
    return qitems.contains(k) ? signed32(qitems.value(k)) : fallback;
}

bool hex_format(const QVariantMap& qitems)
{
    return qitems.value(QStringLiteral("format"), QStringLiteral("dec")).toString().toUpper() ==
           QLatin1String("HEX");
}

QList<uint32_t> stamped_types(const QString& profile)
{
    static const QList<QPair<QString, QList<uint32_t>>> table = {
        {QStringLiteral("1.0.94.7.0.255"), {64}},     {QStringLiteral("1.0.99.1.0.255"), {66, 50}},
        {QStringLiteral("1.0.98.2.0.255"), {68, 49}}, {QStringLiteral("1.0.98.1.0.255"), {70, 49}},
        {QStringLiteral("1.0.94.7.8.255"), {72}},     {QStringLiteral("1.0.94.7.5.255"), {74, 50}},
    };
    QList<uint32_t> out;
    for (const QString& part : profile.split(QLatin1Char(',')))
        for (const auto& entry : table)
            if (part == entry.first) out += entry.second;
    if (out.isEmpty()) out = {49, 50, 64, 66, 68, 70, 72, 74};
    return out;
}

QString local_date(uint32_t ts)
{
    return QDateTime::fromSecsSinceEpoch(qint64(ts)).toString(QStringLiteral("yyyy.MM.dd"));
}

QVariantList id_list(const QList<uint32_t>& ids)
{
    QVariantList out;
    for (uint32_t id : ids)
        out << uint(id);
    return out;
}

// Modem ids in the order first met, each once; a set answers "met already?", so that a report
// over many rows and many modems does not search a list per row.
struct Id_order
{
    QList<uint32_t> ids;
    QSet<uint32_t> met;
    bool has(uint32_t id) const { return met.contains(id); }
    void add(uint32_t id, bool& added)
    {
        added = !met.contains(id);
        if (!added) return;
        met.insert(id);
        ids << id;
    }
};

} // namespace

QVariant API_controller::api_diagnostics_history(QVariantMap api_request)
{
    const QVariantMap qitems = qitems_of(api_request);
    const QList<uint32_t> types = stamped_types(qitems.value(QStringLiteral("profile")).toString());
    const uint32_t to = time_item(qitems, "timeto", uint32_t(quint64(now()) + 86400));
    const uint32_t from = time_item(qitems, "timefrom", minus_clamped(now(), 86400));
    const uint32_t limit = capped_limit(qitems, 1000000);
    const bool hex = hex_format(qitems);

    const QVariantList rows = SQL_Exchange::instance
                                  ? SQL_Exchange::instance->get_energy_stamped(types, from, to, limit)
                                  : QVariantList();
    if (diag_says(LVL_EXC)) LOG_EXC << "record for diagnostics" << rows.size();

    // type -> modem -> reading time -> tariff (0..4) -> value; times kept as numbers so that
    // they are walked in time order whatever their number of digits.
    using readings = QMap<uint32_t, QMap<int, float>>;
    QMap<uint32_t, QMap<uint32_t, readings>> by_type;
    for (const QVariant& r : rows) {
        const QVariantMap row = r.toMap();
        const uint32_t type = row.value(QStringLiteral("type"), 0).toUInt();
        const uint32_t modem = row.value(QStringLiteral("modem_id"), 0).toUInt();
        const uint32_t ts = row.value(QStringLiteral("ts"), 0).toUInt();
        QMap<int, float> regs;
        for (int e = 0; e <= 4; ++e) {
            const QString column = QStringLiteral("OBIS_1_8_%1").arg(e);
            if (row.contains(column)) regs.insert(e, row.value(column).toFloat() * 1000.0f);
        }
        readings& of_modem = by_type[type][modem];
        if (!regs.isEmpty()) of_modem.insert(ts, regs);
    }

    QVariantMap out;
    for (auto t = by_type.cbegin(); t != by_type.cend(); ++t) {
        QVariantMap modems;
        for (auto m = t.value().cbegin(); m != t.value().cend(); ++m) {
            uint32_t last_t[5] = {0, 0, 0, 0, 0};
            float last_v[5] = {0, 0, 0, 0, 0};
            float highest[5] = {0, 0, 0, 0, 0};
            for (auto reading = m.value().cbegin(); reading != m.value().cend(); ++reading) {
                const uint32_t ts = reading.key();
                for (auto reg = reading.value().cbegin(); reg != reading.value().cend(); ++reg) {
                    const int e = reg.key();
                    const float v = reg.value();
                    if (!std::isfinite(v)) continue; // a value beyond float: no rate from it
                    if (last_v[e] != 0.0f) {
                        const uint32_t dt = ts - last_t[e];
                        if (dt > 60) {
                            const float rate = 3600.0f * ((v - last_v[e]) / float(dt));
                            if (std::isfinite(rate) && rate > highest[e]) highest[e] = rate;
                        }
                    }
                    last_v[e] = v;
                    last_t[e] = ts;
                }
            }
            QVariantMap result;
            for (int e = 0; e <= 4; ++e)
                if (highest[e] > 13200.0f) result.insert(QStringLiteral("1_8_%1").arg(e), highest[e]);
            if (!result.isEmpty())
                modems.insert(hex ? QString::number(m.key(), 16).toUpper() : QString::number(m.key()),
                              result);
        }
        out.insert(QString::number(t.key()), modems);
    }
    if (diag_says(LVL_EXC)) LOG_EXC << "end diagnostics";
    return out;
}

QVariant API_controller::api_diagnostics_data_time(QVariantMap api_request)
{
    const QVariantMap qitems = qitems_of(api_request);
    const uint32_t to = time_item(qitems, "timeto", uint32_t(quint64(now()) + 86400));
    const uint32_t from = time_item(qitems, "timefrom", minus_clamped(to, 172800));
    const uint32_t limit = capped_limit(qitems, 100000);
    const bool hex = hex_format(qitems);

    QSet<uint32_t> met;
    if (SQL_Exchange::instance)
        for (const QVariant& r : SQL_Exchange::instance->get_fail_time(from, to, limit))
            met.insert(r.toMap().value(QStringLiteral("modem_id"), 0).toUInt());
    QList<uint32_t> ids(met.cbegin(), met.cend());
    std::sort(ids.begin(), ids.end());
    QVariantList out;
    for (uint32_t id : ids)
        out << (hex ? QVariant(QString::number(id, 16)) : QVariant(uint(id)));
    return out;
}

QVariant API_controller::api_diagnostics_data_stm(QVariantMap api_request)
{
    const QVariantMap qitems = qitems_of(api_request);
    const uint32_t to = time_item(qitems, "timeto", uint32_t(quint64(now()) + 86400));
    const uint32_t from = time_item(qitems, "timefrom", minus_clamped(now(), 86400));
    const float dmin = float(
        qitems.contains(QStringLiteral("dmin")) ? finite_or(qitems.value(QStringLiteral("dmin")), 5.0) : 5.0);
    const float am_min = float(qitems.contains(QStringLiteral("Am_min"))
                                   ? finite_or(qitems.value(QStringLiteral("Am_min")), 2.0)
                                   : 2.0) /
                         1000.0f;
    if (diag_says(LVL_EXC)) LOG_EXC << "req start";
    QList<energy_record> rows;
    if (SQL_Exchange::instance) rows = SQL_Exchange::instance->get_energy_profile({}, {64, 66, 68}, from, to);
    if (diag_says(LVL_EXC)) LOG_EXC << "record for diagnostics" << rows.size();

    QSet<uint32_t> seen;
    Id_order step, export_list, export_limit, apam, apam_limit;
    QHash<uint32_t, QMap<uint32_t, float>> highest;
    while (!rows.isEmpty()) {
        const energy_record row = rows.takeFirst();
        const uint32_t m = row.modem_id;
        seen.insert(m);
        QMap<uint32_t, float> prev = highest.value(m);
        for (auto it = row.values.cbegin(); it != row.values.cend(); ++it) {
            const uint32_t k = it.key();
            const float v = it.value();
            const bool known = prev.contains(k);
            const float p = prev.value(k);
            bool added = false;
            auto note = [&](const char* what) {
                if (added && diag_says(LVL_DBG)) LOG_DBG << what << m << row.ts << k << v << p;
            };
            if (known && v - p < -dmin) {
                step.add(m, added);
                note("step");
            }
            if (known && k > 19 && v > p && v > 1.0f) {
                export_list.add(m, added);
                note("export");
                if (v - p > am_min) {
                    export_limit.add(m, added);
                    note("export limit");
                }
            }
            if (known && k <= 19 && v > p && export_list.has(m) && !apam.has(m)) {
                apam.add(m, added);
                note("ApAm");
            }
            if (known && k <= 19 && v > p && export_limit.has(m) && !apam_limit.has(m)) {
                apam_limit.add(m, added);
                note("ApAm_limit");
            }
            if (!known || v > p) prev.insert(k, v);
        }
        highest.insert(m, prev);
    }

    QList<uint32_t> am_only, am_limit_only;
    for (uint32_t id : qAsConst(export_list.ids))
        if (!apam.has(id)) am_only << id;
    for (uint32_t id : qAsConst(export_limit.ids))
        if (!apam_limit.has(id)) am_limit_only << id;
    return QVariantMap{
        {QStringLiteral("modems"), int(seen.size())},
        {QStringLiteral("step"), id_list(step.ids)},
        {QStringLiteral("step_count"), int(step.ids.size())},
        {QStringLiteral("ApAm"), id_list(apam.ids)},
        {QStringLiteral("ApAm_count"), int(apam.ids.size())},
        {QStringLiteral("ApAm_limit"), id_list(apam_limit.ids)},
        {QStringLiteral("ApAm_limit_count"), int(apam_limit.ids.size())},
        {QStringLiteral("Am_only"), id_list(am_only)},
        {QStringLiteral("Am_only_count"), int(am_only.size())},
        {QStringLiteral("Am_limit_only"), id_list(am_limit_only)},
        {QStringLiteral("Am_limit_only_count"), int(am_limit_only.size())},
        {QStringLiteral("timefrom"), uint(from)},
        {QStringLiteral("timeto"), uint(to)},
    };
}

QVariant API_controller::api_diagnostics_shunt_days(QVariantMap api_request)
{
    const QVariantMap qitems = qitems_of(api_request);
    const uint32_t to = time_item(qitems, "timeto", uint32_t(quint64(now()) + 86400));
    const uint32_t from = time_item(qitems, "timefrom", 0);
    const double dmin =
        qitems.contains(QStringLiteral("dmin")) ? finite_or(qitems.value(QStringLiteral("dmin")), 0.0) : 0.0;
    const double dmax = qitems.contains(QStringLiteral("dmax"))
                            ? finite_or(qitems.value(QStringLiteral("dmax")), 30.0)
                            : 30.0;
    const QList<uint32_t> modems =
        RAM_modems::instance ? RAM_modems::instance->modems_by_version(true, QStringLiteral("1.9.4."))
                             : QList<uint32_t>();
    if (diag_says(LVL_EXC)) LOG_EXC << "req start";
    // No modem of that version: nothing to examine (an empty list would ask for every modem).
    QList<energy_record> rows;
    if (!modems.isEmpty() && SQL_Exchange::instance)
        rows = SQL_Exchange::instance->get_energy_profile(modems, {68}, from, to);
    if (diag_says(LVL_EXC)) LOG_EXC << "record for diagnostics" << rows.size();

    QSet<uint32_t> seen;
    QHash<uint32_t, int> count;
    QHash<uint32_t, energy_record> last;
    QVariantList off;
    while (!rows.isEmpty()) {
        const energy_record row = rows.takeFirst();
        const uint32_t m = row.modem_id;
        seen.insert(m);
        if (!count.contains(m)) count.insert(m, 1);
        const auto prev = last.constFind(m);
        if (prev != last.cend()) {
            count[m] += 1;
            if (row.index > prev->index && double(row.OBIS_1_6_0) > 0.002) {
                const int32_t advance = int32_t(row.index - prev->index);
                const qint64 days = (qint64(row.ts) - qint64(prev->ts)) / 86400;
                const qint64 delta = days - advance;
                const float missing = float(delta);
                if (dmin < missing && missing < dmax && count.value(m) > 2) {
                    off << QVariantMap{{QStringLiteral("modem_id"), uint(m)},
                                       {QStringLiteral("delta"), qlonglong(delta)},
                                       {QStringLiteral("ts_from"), uint(prev->ts)},
                                       {QStringLiteral("ts_to"), uint(row.ts)},
                                       {QStringLiteral("ts_date_from"), local_date(prev->ts)},
                                       {QStringLiteral("ts_date_to"), local_date(row.ts)}};
                    if (diag_says(LVL_EXC))
                        LOG_EXC << m << days << advance << delta << local_date(prev->ts)
                                << local_date(row.ts);
                }
            }
        }
        last.insert(m, row);
    }
    return QVariantMap{
        {QStringLiteral("modems"), int(seen.size())},
        {QStringLiteral("dmin"), dmin},
        {QStringLiteral("dmax"), dmax},
        {QStringLiteral("timefrom"), uint(from)},
        {QStringLiteral("timeto"), uint(to)},
        {QStringLiteral("off_time"), off},
        {QStringLiteral("off_time_count"), int(off.size())},
    };
}
