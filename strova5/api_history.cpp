// The history report: readings of the requested profiles over a period, with derived values,
// per modem.
#include "api_controller.h"
#include "api_reports.h"
#include "api_reports_count.h"
#include "api_reports_job.h"
#include "logger.h"
#include "ram_modems.h"
#include "sql_exchange.h"

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

} // namespace

namespace {

// The readings of the requested profiles per modem, with derived values.
class history_job : public report_job
{
public:
    struct request
    {
        QList<uint32_t> kinds;
        bool has_from = false, index_only = false, day_added = false, interpolate = false;
        bool config_interpolation = false;
        uint32_t timefrom = 0, timeto = 0, raw_from = 0, raw_to = 0;
    };

    history_job(QList<uint32_t> modems_, request r_)
        : report_job(QStringLiteral("history"), std::move(modems_),
                     r_.has_from ? QStringLiteral("from %1 to %2").arg(r_.timefrom).arg(r_.timeto)
                                 : QStringLiteral("newest up to %1").arg(r_.timeto)),
          r(std::move(r_)), ahead(false, kinds_answered(r), r.raw_from, r.raw_to, 10000, false)
    {
    }

protected:
    int serve(int at, int want) override
    {
        SQL_Exchange* sql = SQL_Exchange::instance;
        RAM_modems* ram = RAM_modems::instance;
        const QList<uint32_t> slice = modems.mid(at, want);
        if (memory_path()) {
            // Current values kept in memory only.
            for (const uint32_t modem : slice) {
                QVariantList rows_of_modem;
                if (const modem_record* rec = ram->find_modem(modem))
                    for (auto it = rec->curr_data.cbegin(); it != rec->curr_data.cend(); ++it) {
                        if (it.key() < r.timefrom || it.key() > r.timeto) continue;
                        QVariantMap row = SQL_Exchange::arch_to_map(it.value());
                        row.insert(QStringLiteral("modem_id"), uint(modem));
                        rows_of_modem << row;
                    }
                entry(modem, rows_of_modem);
            }
            return slice.size();
        }
        if (!sql) {
            for (const uint32_t modem : slice)
                entry(modem, {});
            return slice.size();
        }
        const read_watch watch;
        const type_memo_scope seeks(held_types, slices());
        widen(*sql, slice);
        if (watch.failed()) {
            read_failed(watch.statement());
            return slice.size();
        }
        QList<modem_range> ranges;
        for (const uint32_t modem : slice) {
            const auto w = windows.value(modem, qMakePair(r.timefrom, r.timeto));
            ranges << modem_range{modem, w.first, w.second, ahead.past_limit(modem)};
        }
        int done = 0;
        QHash<uint32_t, QVariantList> got =
            sql->get_data_each(ranges, r.kinds, r.has_from ? 10000 : 1, slice_rows, done);
        if (watch.failed()) {
            read_failed(watch.statement());
            return done;
        }
        // Taken out, not copied: the entry lets each row go once built.
        for (int i = 0; i < done; ++i)
            entry(slice.at(i), got.take(slice.at(i)));
        for (int i = 0; i < done; ++i)
            windows.remove(slice.at(i));
        return done;
    }

    qint64 count(int at, int want, int& done) override
    {
        SQL_Exchange* sql = SQL_Exchange::instance;
        if (!r.has_from || !sql || memory_path()) return report_job::count(at, want, done);
        const read_watch watch;
        const qint64 n = ahead.count(modems, at, want, row_bytes(), done, [&](int& d) {
            return sql->count_data_each(ranges_of(at, want, r.raw_from, r.raw_to), kinds_answered(r), 10000,
                                        d);
        });
        if (watch.failed()) read_failed(watch.statement());
        return n;
    }

    qint64 row_bytes() const override
    {
        // A time and a profile code; full meterings add their times and index, and the hour
        // and day kinds at least their four register totals.
        if (r.index_only) return 48;
        for (const uint32_t kind : r.kinds)
            if (kind >= 12 && kind <= 15) return 109;
        return 69;
    }
    bool count_again() override { return ahead.exact(); }
    bool reads_database() const override { return !memory_path(); }

private:
    bool memory_path() const
    {
        RAM_modems* ram = RAM_modems::instance;
        return ram && ram->is_no_db(QStringLiteral("curr")) && r.kinds.contains(254) &&
               !r.kinds.contains(15) && !r.kinds.contains(14);
    }

    // The query window of each modem of the slice not yet known: the period widened to the
    // neighbouring energy records.
    void widen(SQL_Exchange& sql, const QList<uint32_t>& slice)
    {
        if (!r.has_from || !(r.kinds.contains(15) || r.kinds.contains(14))) return;
        QList<uint32_t> todo;
        for (const uint32_t modem : slice)
            if (!windows.contains(modem) && !todo.contains(modem)) todo << modem;
        if (todo.isEmpty()) return;
        if (r.kinds.contains(15)) {
            QList<uint32_t> copy = r.kinds;
            if (copy.contains(14)) copy.removeAll(15);
            copy << 254;
            const QHash<uint32_t, uint32_t> before1 = sql.get_ts_energy_each(todo, copy, r.timefrom, false);
            const QHash<uint32_t, uint32_t> after1 = sql.get_ts_energy_each(todo, copy, r.timeto, true);
            // An hour record counts only within two days before the first energy record: it is
            // looked for there alone, not over each modem's whole time.
            QHash<uint32_t, QPair<uint32_t, uint32_t>> hour_spans;
            for (const uint32_t modem : todo) {
                const uint32_t from1 = before1.value(modem, r.timefrom);
                // From the day's start: modems whose records fall on one day share a part of the
                // statement (an older record found there fails the two days' test below).
                hour_spans.insert(
                    modem, qMakePair(from1 > 172799 ? (from1 - 172799) / 86400 * 86400 : 0u, r.timefrom));
            }
            const QHash<uint32_t, uint32_t> before2 = sql.get_ts_energy_within(hour_spans, {15});
            const QHash<uint32_t, uint32_t> after2 = sql.get_ts_energy_each(todo, {15}, r.timeto, true);
            for (const uint32_t modem : todo) {
                const uint32_t from1 = before1.value(modem, r.timefrom), to1 = after1.value(modem, r.timeto);
                const uint32_t b2 = before2.value(modem, r.timefrom), a2 = after2.value(modem, r.timeto);
                // An earlier hour record within two days before the first energy record.
                const uint32_t from = b2 < from1 && qint64(from1) - 172800 < qint64(b2) ? b2 : from1;
                windows.insert(modem, qMakePair(from, qMax(to1, a2)));
            }
        } else {
            const QHash<uint32_t, uint32_t> before = sql.get_ts_energy_each(todo, r.kinds, r.timefrom, false);
            const QHash<uint32_t, uint32_t> after = sql.get_ts_energy_each(todo, r.kinds, r.timeto, true);
            for (const uint32_t modem : todo)
                windows.insert(modem,
                               qMakePair(before.value(modem, r.timefrom), after.value(modem, r.timeto)));
        }
    }

    void entry(uint32_t modem, QVariantList fetched)
    {
        rows += fetched.size();
        QList<uint32_t> day_times, hour_times;
        // Every metering the rows make lies at or before the newest row: rows all read before
        // the period, only to derive values, make none of its own.
        bool any_within = false;
        for (const QVariant& v : qAsConst(fetched)) {
            const QVariantMap row = v.toMap();
            any_within = any_within ||
                         uint32_t(quint64(row.value(QStringLiteral("ts"), 0).toLongLong())) >= r.raw_from;
            if (row.value(QStringLiteral("ts_get"), 0).toUInt() == 0) continue;
            const uint32_t kind = normalize_arch_type(row);
            const uint32_t t = row.value(QStringLiteral("ts"), 0).toUInt() / 60u * 60u;
            if (kind == 14) day_times << t;
            if (kind == 15) hour_times << t;
        }
        const int32_t hour_period = API_controller::check_period(hour_times);
        const int32_t day_period = API_controller::check_period(day_times);
        int32_t period = 0;
        if (hour_period != 0 && day_period != 0)
            period = day_times.size() < hour_times.size() ? hour_period : day_period;
        else
            period = hour_period != 0 ? hour_period : day_period;

        QVariantMap entry{{QStringLiteral("meterings"), QVariantList()},
                          {QStringLiteral("modem"), uint(modem)},
                          {QStringLiteral("timeto"), uint(r.timeto)}};
        if (period != 0) entry.insert(QStringLiteral("period"), uint(period));
        if (r.has_from) entry.insert(QStringLiteral("timefrom"), uint(r.timefrom));
        if (!any_within) {
            out.append(entry);
            return;
        }

        history_builder::options opt;
        opt.kinds = r.kinds;
        opt.day_added = r.day_added;
        opt.interpolate = r.interpolate;
        opt.has_timefrom = r.has_from;
        opt.config_interpolation = r.config_interpolation;
        opt.hour_period = hour_period;
        history_builder builder(opt);
        // Each row is let go once built, so that rows and meterings are not held twice.
        for (int i = 0; i < fetched.size(); ++i) {
            builder.add_row(fetched.at(i).toMap());
            fetched[i] = QVariant();
        }
        fetched.clear();

        QVariantList& meterings = builder.meterings();
        history_builder::sort(meterings, false);
        history_builder::add_interval_energies(meterings, period);

        QVariantList kept;
        for (const QVariant& v : qAsConst(meterings)) {
            const QVariantMap m = v.toMap();
            const uint32_t t = m.value(QStringLiteral("1.0.0"), ts_unbounded).toUInt();
            if (t < r.raw_from || t > r.raw_to) continue;
            if (r.index_only)
                kept << QVariantMap{{QStringLiteral("1.0.0"), m.value(QStringLiteral("1.0.0"))},
                                    {QStringLiteral("profile"), m.value(QStringLiteral("profile"))}};
            else
                kept << v;
        }
        meterings.clear();
        history_builder::sort(kept, true);
        answered += kept.size();

        entry.insert(QStringLiteral("meterings"), kept);
        out.append(entry);
    }

    // The rows answered: those of the period asked, of the kinds asked (not those read only to
    // derive values).
    static QList<uint32_t> kinds_answered(const request& r)
    {
        QList<uint32_t> kinds = r.kinds;
        if (r.day_added) kinds.removeAll(14);
        if (r.interpolate) kinds.removeAll(15);
        return kinds;
    }

    const request r;
    window_count ahead;
    type_memo held_types;
    QHash<uint32_t, QPair<uint32_t, uint32_t>> windows; // widened, of modems not yet served
};

} // namespace

std::unique_ptr<report_job> API_controller::make_report_history(const QVariantMap& api_request)
{
    const QVariantMap qitems = api_request.value(QStringLiteral("qitems")).toMap();
    history_job::request r;
    r.kinds = history_kinds(qitems.value(QStringLiteral("profile")).toString());
    if (r.kinds.isEmpty()) r.kinds = {15, 14};

    r.has_from = qitems.contains(QStringLiteral("timefrom"));
    const uint32_t default_to = uint32_t(quint64(time_source()) + 86400);
    r.timefrom = unsigned32(qitems.value(QStringLiteral("timefrom"), 0));
    r.timeto = qitems.contains(QStringLiteral("timeto")) ? unsigned32(qitems.value(QStringLiteral("timeto")))
                                                         : default_to;
    r.index_only = qitems.value(QStringLiteral("index_only")).toBool();
    r.raw_from = r.timefrom;
    r.raw_to = r.timeto;

    if (r.kinds.contains(15) && r.has_from) {
        r.timeto = day_ceil_next(r.timeto);
        r.timefrom = day_floor(r.timefrom);
        if (!r.kinds.contains(14)) {
            r.kinds << 14;
            r.day_added = true;
        }
    }
    r.config_interpolation = config.value(QStringLiteral("interpolation")).toBool();
    if (r.has_from && r.config_interpolation && r.kinds.contains(14) && !r.kinds.contains(15)) {
        r.kinds << 15;
        r.interpolate = true;
    }
    return std::make_unique<history_job>(get_modems(qitems), r);
}

QVariant API_controller::api_report_history(QVariantMap api_request)
{
    return make_report_history(api_request)->run();
}
