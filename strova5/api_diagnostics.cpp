// Diagnostics over the stored readings of all modems: fast register rises, power failures,
// register steps and export growth, and days missing from the day archive.
#include "api_controller.h"
#include "api_reports.h"
#include "api_reports_job.h"
#include "log_limiter.h"
#include "logger.h"
#include "ram_modems.h"
#include "sql_exchange.h"

#include <QDateTime>
#include <QJsonDocument>
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

// An answer map as the web front writes it, so that its size is known before it is sent.
QVariant json_answer(const QVariant& answer)
{
    return QVariant::fromValue(
        api_json_text{QJsonDocument::fromVariant(answer).toJson(QJsonDocument::Compact)});
}

// Diagnostics read the stored rows of all modems a time window at a time, oldest or newest first,
// as the reports read theirs a few modems at a time: a window widens while its rows are few and
// narrows when they are many, so that one statement reads about a slice's worth however the rows
// spread over time. The work is counted in minutes of the period.
class window_job : public report_job
{
public:
    window_job(QString route, uint32_t from_, uint32_t to_, bool newest_, uint32_t limit_ = 4294967295u,
               qint64 first_width_s = 3600)
        : report_job(std::move(route), minutes(from_, to_), QStringLiteral("minutes"),
                     QStringLiteral("from %1 to %2").arg(from_).arg(to_)),
          from(from_), to(to_), limit(limit_), newest(newest_),
          width(qMax<qint64>(60, first_width_s / 60 * 60))
    {
    }

protected:
    // Reads the rows of the seconds `lo` to `hi`, both included; how many it read.
    virtual qint64 read(uint32_t lo, uint32_t hi) = 0;

    int serve(int at, int) override
    {
        if (enough) return total - at;
        const qint64 offset = qint64(at) * 60;
        const qint64 len = qMin(width, qint64(to) - qint64(from) + 1 - offset);
        const qint64 lo = newest ? qint64(to) - offset - len + 1 : qint64(from) + offset;
        const read_watch watch;
        const qint64 n = read(uint32_t(lo), uint32_t(lo + len - 1));
        // A window the database did not answer would leave the answer short of its rows.
        if (watch.failed()) {
            read_failed(watch.statement());
            return total - at;
        }
        rows += n;
        if (n < slice_rows / 4)
            width = qMin<qint64>(width * 2, qint64(1) << 33);
        else if (n > slice_rows)
            width = qMax<qint64>(60, width / 2 / 60 * 60);
        return int(qMin<qint64>(total - at, (len + 59) / 60));
    }

    // Rows the limit still lets in; 0, and the rest of the period left unread, once it is reached
    // (or without a database).
    uint32_t room()
    {
        if (qint64(limit) > taken && SQL_Exchange::instance) return uint32_t(qint64(limit) - taken);
        enough = true;
        return 0;
    }
    void took(qint64 n)
    {
        taken += n;
        if (taken >= qint64(limit)) enough = true;
    }

    const uint32_t from, to;
    const uint32_t limit;
    bool enough = false;
    qint64 taken = 0;

private:
    static int minutes(uint32_t from, uint32_t to)
    {
        return to < from ? 0 : int((qint64(to) - qint64(from) + 60) / 60);
    }
    const bool newest;
    qint64 width; // seconds, whole minutes
};

// Fast register rises: per archive type and modem, the highest rate between readings of each
// register. The rows come newest first, so each reading pairs with the later one seen before it.
class diag_history_job : public window_job
{
public:
    diag_history_job(QList<uint32_t> types_, uint32_t from_, uint32_t to_, uint32_t limit_, bool hex_)
        : window_job(QStringLiteral("diagnostics history"), from_, to_, true, limit_),
          types(std::move(types_)), hex(hex_)
    {
    }

protected:
    qint64 read(uint32_t lo, uint32_t hi) override
    {
        const uint32_t wanted = room();
        if (wanted == 0) return 0;
        const QVariantList got = SQL_Exchange::instance->get_energy_stamped(types, lo, hi, wanted);
        took(got.size());
        for (const QVariant& r : got) {
            const QVariantMap row = r.toMap();
            const uint32_t type = row.value(QStringLiteral("type"), 0).toUInt();
            const uint32_t modem = row.value(QStringLiteral("modem_id"), 0).toUInt();
            const uint32_t ts = row.value(QStringLiteral("ts"), 0).toUInt();
            QMap<int, float> regs;
            for (int e = 0; e <= 4; ++e) {
                const QString column = QStringLiteral("OBIS_1_8_%1").arg(e);
                if (row.contains(column)) regs.insert(e, row.value(column).toFloat() * 1000.0f);
            }
            chain& c = by_type[type][modem];
            if (regs.isEmpty()) continue;
            // Of the readings of one time the last one read stands.
            if (c.pending && c.pending_ts != ts) commit(c);
            c.pending = true;
            c.pending_ts = ts;
            c.regs = regs;
        }
        return got.size();
    }

    QVariant conclude() override
    {
        if (diag_says(LVL_EXC)) LOG_EXC << "record for diagnostics" << rows;
        QVariantMap out;
        for (auto t = by_type.begin(); t != by_type.end(); ++t) {
            QVariantMap modems;
            for (auto m = t.value().begin(); m != t.value().end(); ++m) {
                chain& c = m.value();
                if (c.pending) commit(c);
                QVariantMap result;
                for (int e = 0; e <= 4; ++e)
                    if (c.highest[e] > 13200.0f) result.insert(QStringLiteral("1_8_%1").arg(e), c.highest[e]);
                if (!result.isEmpty())
                    modems.insert(hex ? QString::number(m.key(), 16).toUpper() : QString::number(m.key()),
                                  result);
            }
            out.insert(QString::number(t.key()), modems);
        }
        by_type.clear();
        if (diag_says(LVL_EXC)) LOG_EXC << "end diagnostics";
        return json_answer(out);
    }

private:
    struct chain
    {
        bool later[5] = {false, false, false, false, false};
        uint32_t later_t[5] = {0, 0, 0, 0, 0};
        float later_v[5] = {0, 0, 0, 0, 0};
        float highest[5] = {0, 0, 0, 0, 0};
        bool pending = false;
        uint32_t pending_ts = 0;
        QMap<int, float> regs;
    };
    // The reading waiting in `c` against the later one of each register.
    static void commit(chain& c)
    {
        const uint32_t ts = c.pending_ts;
        for (auto reg = c.regs.cbegin(); reg != c.regs.cend(); ++reg) {
            const int e = reg.key();
            const float v = reg.value();
            if (!std::isfinite(v)) continue; // a value beyond float: no rate from it
            if (c.later[e] && v != 0.0f) {
                const uint32_t dt = c.later_t[e] - ts;
                if (dt > 60) {
                    const float rate = 3600.0f * ((c.later_v[e] - v) / float(dt));
                    if (std::isfinite(rate) && rate > c.highest[e]) c.highest[e] = rate;
                }
            }
            c.later[e] = true;
            c.later_v[e] = v;
            c.later_t[e] = ts;
        }
        c.pending = false;
        c.regs.clear();
    }

    const QList<uint32_t> types;
    const bool hex;
    QMap<uint32_t, QMap<uint32_t, chain>> by_type;
};

} // namespace

std::unique_ptr<report_job> API_controller::make_diagnostics_history(const QVariantMap& api_request)
{
    const QVariantMap qitems = qitems_of(api_request);
    return std::make_unique<diag_history_job>(
        stamped_types(qitems.value(QStringLiteral("profile")).toString()),
        time_item(qitems, "timefrom", minus_clamped(now(), 86400)),
        time_item(qitems, "timeto", uint32_t(quint64(now()) + 86400)), capped_limit(qitems, 1000000),
        hex_format(qitems));
}

QVariant API_controller::api_diagnostics_history(QVariantMap api_request)
{
    return make_diagnostics_history(api_request)->run();
}

namespace {

// Modems that reported fail times in the period.
class diag_data_time_job : public window_job
{
public:
    diag_data_time_job(uint32_t from_, uint32_t to_, uint32_t limit_, bool hex_)
        // One window: the statement reads the whole table whatever its period.
        : window_job(QStringLiteral("diagnostics data_time"), from_, to_, true, limit_,
                     qint64(to_) - qint64(from_) + 60),
          hex(hex_)
    {
    }

protected:
    qint64 read(uint32_t lo, uint32_t hi) override
    {
        const uint32_t wanted = room();
        if (wanted == 0) return 0;
        const QVariantList got = SQL_Exchange::instance->get_fail_time(lo, hi, wanted);
        took(got.size());
        for (const QVariant& r : got)
            met.insert(r.toMap().value(QStringLiteral("modem_id"), 0).toUInt());
        return got.size();
    }
    QVariant conclude() override
    {
        QList<uint32_t> ids(met.cbegin(), met.cend());
        std::sort(ids.begin(), ids.end());
        QVariantList out;
        for (uint32_t id : ids)
            out << (hex ? QVariant(QString::number(id, 16)) : QVariant(uint(id)));
        return json_answer(out);
    }

private:
    const bool hex;
    QSet<uint32_t> met;
};

// Register steps, export growth and both directions at once, over the current and profile
// readings of all modems in time order.
class diag_data_stm_job : public window_job
{
public:
    diag_data_stm_job(uint32_t from_, uint32_t to_, float dmin_, float am_min_)
        : window_job(QStringLiteral("diagnostics data_stm"), from_, to_, false), dmin(dmin_), am_min(am_min_)
    {
        if (diag_says(LVL_EXC)) LOG_EXC << "req start";
    }

protected:
    qint64 read(uint32_t lo, uint32_t hi) override
    {
        if (room() == 0) return 0;
        const QList<energy_record> got = SQL_Exchange::instance->get_energy_profile({}, {64, 66, 68}, lo, hi);
        for (const energy_record& row : got)
            add(row);
        return got.size();
    }

    QVariant conclude() override
    {
        if (diag_says(LVL_EXC)) LOG_EXC << "record for diagnostics" << rows;
        QList<uint32_t> am_only, am_limit_only;
        for (uint32_t id : qAsConst(export_list.ids))
            if (!apam.has(id)) am_only << id;
        for (uint32_t id : qAsConst(export_limit.ids))
            if (!apam_limit.has(id)) am_limit_only << id;
        return json_answer(QVariantMap{
            {QStringLiteral("modems"), int(seen.size())},
            {QStringLiteral("step"), id_list(step_ids.ids)},
            {QStringLiteral("step_count"), int(step_ids.ids.size())},
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
        });
    }

private:
    void add(const energy_record& row)
    {
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
                step_ids.add(m, added);
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

    const float dmin, am_min;
    QSet<uint32_t> seen;
    Id_order step_ids, export_list, export_limit, apam, apam_limit;
    QHash<uint32_t, QMap<uint32_t, float>> highest;
};

// Days missing from the day archive of the modems of one version, from the day indexes.
class diag_shunt_days_job : public window_job
{
public:
    diag_shunt_days_job(QList<uint32_t> modems_, uint32_t from_, uint32_t to_, double dmin_, double dmax_)
        : window_job(QStringLiteral("diagnostics shunt_days"), from_, to_, false), ids(std::move(modems_)),
          dmin(dmin_), dmax(dmax_)
    {
        if (diag_says(LVL_EXC)) LOG_EXC << "req start";
    }

protected:
    qint64 read(uint32_t lo, uint32_t hi) override
    {
        // No modem of that version: nothing to examine (an empty list would ask for every modem).
        if (ids.isEmpty()) enough = true;
        if (room() == 0 || enough) return 0;
        const QList<energy_record> got = SQL_Exchange::instance->get_energy_profile(ids, {68}, lo, hi);
        for (const energy_record& row : got)
            add(row);
        return got.size();
    }

    QVariant conclude() override
    {
        if (diag_says(LVL_EXC)) LOG_EXC << "record for diagnostics" << rows;
        return json_answer(QVariantMap{
            {QStringLiteral("modems"), int(seen.size())},
            {QStringLiteral("dmin"), dmin},
            {QStringLiteral("dmax"), dmax},
            {QStringLiteral("timefrom"), uint(from)},
            {QStringLiteral("timeto"), uint(to)},
            {QStringLiteral("off_time"), off},
            {QStringLiteral("off_time_count"), int(off.size())},
        });
    }

private:
    void add(const energy_record& row)
    {
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

    const QList<uint32_t> ids;
    const double dmin, dmax;
    QSet<uint32_t> seen;
    QHash<uint32_t, int> count;
    QHash<uint32_t, energy_record> last;
    QVariantList off;
};

// Events that modems repeat: per modem, the type and event pairs stored twice or more.
class diag_event_spam_job : public window_job
{
public:
    diag_event_spam_job(uint32_t from_, uint32_t to_, uint32_t limit_, bool hex_)
        : window_job(QStringLiteral("diagnostics event_spam"), from_, to_, true, limit_), hex(hex_)
    {
    }

protected:
    qint64 read(uint32_t lo, uint32_t hi) override
    {
        const uint32_t wanted = room();
        if (wanted == 0) return 0;
        const QVariantMap digest = SQL_Exchange::instance->get_events_by_time(lo, hi, wanted);
        qint64 n = 0;
        for (auto m = digest.cbegin(); m != digest.cend(); ++m) {
            QMap<QString, int>& of_modem = counts[m.key()];
            const QVariantMap pairs = m.value().toMap();
            for (auto p = pairs.cbegin(); p != pairs.cend(); ++p) {
                const int times = p.value().toList().size();
                of_modem[p.key()] += times;
                n += times;
            }
        }
        took(n);
        return n;
    }

    QVariant conclude() override
    {
        QVariantMap out;
        for (auto m = counts.cbegin(); m != counts.cend(); ++m) {
            QVariantMap repeated;
            for (auto p = m.value().cbegin(); p != m.value().cend(); ++p)
                if (p.value() >= 2) repeated.insert(p.key(), p.value());
            if (repeated.isEmpty()) continue;
            out.insert(hex ? QString::number(m.key().toULongLong(), 16).toUpper() : m.key(), repeated);
        }
        return json_answer(out);
    }

private:
    const bool hex;
    QMap<QString, QMap<QString, int>> counts;
};

} // namespace

std::unique_ptr<report_job> API_controller::make_diagnostics_data_time(const QVariantMap& api_request)
{
    const QVariantMap qitems = qitems_of(api_request);
    const uint32_t to = time_item(qitems, "timeto", uint32_t(quint64(now()) + 86400));
    return std::make_unique<diag_data_time_job>(time_item(qitems, "timefrom", minus_clamped(to, 172800)), to,
                                                capped_limit(qitems, 100000), hex_format(qitems));
}

QVariant API_controller::api_diagnostics_data_time(QVariantMap api_request)
{
    return make_diagnostics_data_time(api_request)->run();
}

std::unique_ptr<report_job> API_controller::make_diagnostics_data_stm(const QVariantMap& api_request)
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
    return std::make_unique<diag_data_stm_job>(from, to, dmin, am_min);
}

QVariant API_controller::api_diagnostics_data_stm(QVariantMap api_request)
{
    return make_diagnostics_data_stm(api_request)->run();
}

std::unique_ptr<report_job> API_controller::make_diagnostics_shunt_days(const QVariantMap& api_request)
{
    const QVariantMap qitems = qitems_of(api_request);
    const uint32_t to = time_item(qitems, "timeto", uint32_t(quint64(now()) + 86400));
    const uint32_t from = time_item(qitems, "timefrom", 0);
    const double dmin =
        qitems.contains(QStringLiteral("dmin")) ? finite_or(qitems.value(QStringLiteral("dmin")), 0.0) : 0.0;
    const double dmax = qitems.contains(QStringLiteral("dmax"))
                            ? finite_or(qitems.value(QStringLiteral("dmax")), 30.0)
                            : 30.0;
    return std::make_unique<diag_shunt_days_job>(
        RAM_modems::instance ? RAM_modems::instance->modems_by_version(true, QStringLiteral("1.9.4."))
                             : QList<uint32_t>(),
        from, to, dmin, dmax);
}

QVariant API_controller::api_diagnostics_shunt_days(QVariantMap api_request)
{
    return make_diagnostics_shunt_days(api_request)->run();
}

std::unique_ptr<report_job> API_controller::make_diagnostics_event_spam(const QVariantMap& api_request)
{
    const QVariantMap qitems = qitems_of(api_request);
    const uint32_t to = qitems.contains(QStringLiteral("timeto"))
                            ? low32(qitems.value(QStringLiteral("timeto")))
                            : uint32_t(quint64(time_source()) + 86400);
    const uint32_t from = qitems.contains(QStringLiteral("timefrom"))
                              ? low32(qitems.value(QStringLiteral("timefrom")))
                              : minus_clamped(to, 90000);
    return std::make_unique<diag_event_spam_job>(from, to, capped_limit(qitems, 100000), hex_format(qitems));
}

QVariant API_controller::api_diagnostics_event_spam(QVariantMap api_request)
{
    return make_diagnostics_event_spam(api_request)->run();
}
