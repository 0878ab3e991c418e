// The history report: readings of the requested profiles over a period, with derived values,
// per modem.
#include "api_controller.h"
#include "api_reports.h"
#include "logger.h"
#include "ram_modems.h"
#include "sql_exchange.h"

#include <QDateTime>
#include <algorithm>

namespace {

using namespace report_items;

QList<uint32_t> history_kinds(const QString& profile)
{
    static const QList<QPair<QString, uint32_t>> table = {
        {QStringLiteral("1.0.94.7.0.255"), 254}, {QStringLiteral("1.0.99.1.0.255"), 15},
        {QStringLiteral("1.0.98.2.0.255"), 14},  {QStringLiteral("1.0.98.1.0.255"), 13},
        {QStringLiteral("1.0.94.7.8.255"), 12},  {QStringLiteral("1.0.94.7.5.255"), 16},
    };
    QList<uint32_t> out;
    for (const QString& part : profile.split(QLatin1Char(',')))
        for (const auto& entry : table)
            if (part == entry.first) out << entry.second;
    return out;
}

QString date_time(uint32_t ts)
{
    return QDateTime::fromSecsSinceEpoch(qint64(ts)).toString(QStringLiteral("yyyy.MM.dd hh:mm:ss"));
}

} // namespace

QVariant API_controller::api_report_history(QVariantMap api_request)
{
    const QVariantMap qitems = api_request.value(QStringLiteral("qitems")).toMap();
    const QList<uint32_t> modems = get_modems(qitems);
    QList<uint32_t> kinds = history_kinds(qitems.value(QStringLiteral("profile")).toString());
    if (kinds.isEmpty()) kinds = {15, 14};

    const bool has_from = qitems.contains(QStringLiteral("timefrom"));
    const uint32_t default_to = uint32_t(quint64(time_source()) + 86400);
    uint32_t timefrom = unsigned32(qitems.value(QStringLiteral("timefrom"), 0));
    uint32_t timeto = qitems.contains(QStringLiteral("timeto"))
                          ? unsigned32(qitems.value(QStringLiteral("timeto")))
                          : default_to;
    const bool index_only = qitems.value(QStringLiteral("index_only")).toBool();
    const uint32_t raw_from = timefrom, raw_to = timeto;

    bool day_added = false;
    if (kinds.contains(15) && has_from) {
        timeto = day_ceil_next(timeto);
        timefrom = day_floor(timefrom);
        if (!kinds.contains(14)) {
            kinds << 14;
            day_added = true;
        }
    }
    const bool config_interpolation = config.value(QStringLiteral("interpolation")).toBool();
    bool interpolate = false;
    if (has_from && config_interpolation && kinds.contains(14) && !kinds.contains(15)) {
        kinds << 15;
        interpolate = true;
    }
    const uint32_t limit = has_from ? 10000 : 1;

    json_list out;
    SQL_Exchange* sql = SQL_Exchange::instance;
    RAM_modems* ram = RAM_modems::instance;
    for (const uint32_t modem : modems) {
        LOG_TRC << "from0" << timefrom << date_time(timefrom);
        LOG_TRC << "to  0" << timeto << date_time(timeto);
        uint32_t from = timefrom, to = timeto;
        if (has_from && sql) {
            if (kinds.contains(15)) {
                QList<uint32_t> copy = kinds;
                if (copy.contains(14)) copy.removeAll(15);
                copy << 254;
                const uint32_t from1 = sql->get_ts_energy_before(modem, copy, timefrom);
                const uint32_t to1 = sql->get_ts_energy_after(modem, copy, timeto);
                LOG_TRC << "from1" << from1 << date_time(from1);
                LOG_TRC << "to  1" << to1 << date_time(to1);
                const uint32_t before2 = sql->get_ts_energy_before(modem, {15}, timefrom);
                const uint32_t after2 = sql->get_ts_energy_after(modem, {15}, timeto);
                LOG_TRC << "from2" << before2 << date_time(before2);
                LOG_TRC << "to  2" << after2 << date_time(after2);
                // An earlier hour record within two days before the first energy record.
                from = before2 < from1 && qint64(from1) - 172800 < qint64(before2) ? before2 : from1;
                to = qMax(to1, after2);
            } else if (kinds.contains(14)) {
                from = sql->get_ts_energy_before(modem, kinds, timefrom);
                to = sql->get_ts_energy_after(modem, kinds, timeto);
            }
        }
        LOG_DBG << "from " << from << date_time(from);
        LOG_DBG << "to   " << to << date_time(to);

        QVariantList rows;
        if (ram && ram->is_no_db(QStringLiteral("curr")) && kinds.contains(254) && !kinds.contains(15) &&
            !kinds.contains(14)) {
            if (const modem_record* rec = ram->find_modem(modem))
                for (auto it = rec->curr_data.cbegin(); it != rec->curr_data.cend(); ++it) {
                    if (it.key() < from || it.key() > to) continue;
                    QVariantMap row = SQL_Exchange::arch_to_map(it.value());
                    row.insert(QStringLiteral("modem_id"), uint(modem));
                    rows << row;
                }
        } else if (sql) {
            rows = sql->get_data(modem, kinds, from, to, limit);
        }

        QList<uint32_t> day_times, hour_times;
        for (const QVariant& r : qAsConst(rows)) {
            const QVariantMap row = r.toMap();
            if (row.value(QStringLiteral("ts_get"), 0).toUInt() == 0) continue;
            const uint32_t kind = normalize_arch_type(row);
            const uint32_t t = row.value(QStringLiteral("ts"), 0).toUInt() / 60u * 60u;
            if (kind == 14) day_times << t;
            if (kind == 15) hour_times << t;
        }
        const int32_t hour_period = check_period(hour_times);
        const int32_t day_period = check_period(day_times);
        int32_t period = 0;
        if (hour_period != 0 && day_period != 0)
            period = day_times.size() < hour_times.size() ? hour_period : day_period;
        else
            period = hour_period != 0 ? hour_period : day_period;

        history_builder::options opt;
        opt.kinds = kinds;
        opt.day_added = day_added;
        opt.interpolate = interpolate;
        opt.has_timefrom = has_from;
        opt.config_interpolation = config_interpolation;
        opt.hour_period = hour_period;
        history_builder builder(opt);
        // Each row is let go once built, so that rows and meterings are not held twice.
        for (int i = 0; i < rows.size(); ++i) {
            builder.add_row(rows.at(i).toMap());
            rows[i] = QVariant();
        }
        rows.clear();

        QVariantList& meterings = builder.meterings();
        history_builder::sort(meterings, false);
        LOG_EXC << "history meterings" << meterings.size() << "period" << period;
        history_builder::add_interval_energies(meterings, period);

        QVariantList kept;
        for (const QVariant& v : qAsConst(meterings)) {
            const QVariantMap m = v.toMap();
            const uint32_t t = m.value(QStringLiteral("1.0.0"), ts_unbounded).toUInt();
            if (t < raw_from || t > raw_to) continue;
            if (index_only)
                kept << QVariantMap{{QStringLiteral("1.0.0"), m.value(QStringLiteral("1.0.0"))},
                                    {QStringLiteral("profile"), m.value(QStringLiteral("profile"))}};
            else
                kept << v;
        }
        meterings.clear();
        history_builder::sort(kept, true);

        QVariantMap entry{{QStringLiteral("meterings"), kept},
                          {QStringLiteral("modem"), uint(modem)},
                          {QStringLiteral("timeto"), uint(timeto)}};
        if (period != 0) entry.insert(QStringLiteral("period"), uint(period));
        if (has_from) entry.insert(QStringLiteral("timefrom"), uint(timefrom));
        out.append(entry);
    }
    return out.finish();
}
