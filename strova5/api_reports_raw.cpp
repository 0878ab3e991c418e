// Reports of stored rows as they lie in the tables: the modems with readings, the raw readings,
// the events, and the events that modems repeat.
#include "api_controller.h"
#include "api_reports.h"
#include "api_reports_count.h"
#include "api_reports_job.h"
#include "logger.h"
#include "ram_modems.h"
#include "sql_exchange.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>
#include <memory>

namespace {

using namespace report_items;

QVariantMap qitems_of(const QVariantMap& api_request)
{
    return api_request.value(QStringLiteral("qitems")).toMap();
}

// Stored data types asked for by the profile codes of the raw readings report.
QList<uint32_t> raw_data_types(const QString& profile)
{
    static const QList<QPair<QString, QList<uint32_t>>> table = {
        {QStringLiteral("1.0.94.7.0.255"), {64}},         {QStringLiteral("1.0.99.1.0.255"), {66, 50, 15}},
        {QStringLiteral("1.0.98.2.0.255"), {68, 49, 14}}, {QStringLiteral("1.0.98.1.0.255"), {70, 49, 13}},
        {QStringLiteral("1.0.94.7.8.255"), {72, 12}},     {QStringLiteral("1.0.94.7.5.255"), {74, 50, 16}},
    };
    QList<uint32_t> out;
    for (const QString& part : profile.split(QLatin1Char(',')))
        for (const auto& entry : table)
            if (part == entry.first) out += entry.second;
    if (out.isEmpty()) out = {49, 50, 64, 66, 68, 70, 72, 74, 15, 14, 13, 12, 16};
    return out;
}

// Each OBIS column under its "C.D.E" (events: "C.D" when E is 0), energies in units.
void put_columns(const QVariantMap& row, QVariantMap& out, bool short_e0)
{
    for (auto it = row.cbegin(); it != row.cend(); ++it) {
        const column_key& col = column_info(it.key());
        if (!col.obis) continue;
        double v = it.value().toDouble();
        if (is_scaled(col.c)) v *= 1000.0;
        if (!std::isfinite(v)) continue; // never NaN or infinity in an answer
        out.insert(short_e0 ? col.event : col.cde, v);
    }
}

// A stored number as an unsigned 32-bit value; NaN, negative and huge values held to the range.
uint32_t unsigned_part(const QVariant& v)
{
    const double d = v.toDouble();
    if (!(d > 0)) return 0;
    return d >= 4294967295.0 ? 4294967295u : uint32_t(d);
}

QString event_log_code(int32_t type)
{
    return type >= 0 && type <= 10 ? QStringLiteral("0.0.99.98.%1.255").arg(type)
                                   : QStringLiteral("0.0.99.98.255.255");
}

QString ext_key(const QString& name)
{
    QByteArray digits;
    for (const QChar ch : name) {
        const ushort u = ch.unicode();
        if ((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F')) digits += char(u);
    }
    const QByteArray b = QByteArray::fromHex(digits);
    uint8_t code[6] = {0, 0, 0, 0, 0, 0};
    if (b.size() >= 6) {
        for (int i = 0; i < 6; ++i)
            code[i] = uint8_t(b.at(i));
    } else if (b.size() == 3) {
        code[2] = uint8_t(b.at(0));
        code[3] = uint8_t(b.at(1));
        code[4] = uint8_t(b.at(2));
        code[5] = 255;
    }
    return QStringLiteral("%1.%2.%3.%4.%5.%6")
        .arg(code[0])
        .arg(code[1])
        .arg(code[2])
        .arg(code[3])
        .arg(code[4])
        .arg(code[5]);
}

QVariantMap event_map(const QVariantMap& row)
{
    QVariantMap out;
    put_columns(row, out, true);
    if (row.contains(QStringLiteral("value_old")))
        out.insert(QStringLiteral("value"), uint(unsigned_part(row.value(QStringLiteral("value_old")))));
    if (row.contains(QStringLiteral("ext"))) {
        const QJsonDocument doc =
            QJsonDocument::fromJson(row.value(QStringLiteral("ext")).toString().toUtf8());
        const QJsonObject ext = doc.object();
        for (auto it = ext.constBegin(); it != ext.constEnd(); ++it)
            out.insert(ext_key(it.key()), it.value().toVariant());
    }
    const uint32_t type = row.value(QStringLiteral("type"), 0).toUInt();
    out.insert(QStringLiteral("96.11.%1").arg(type), row.value(QStringLiteral("event"), 0).toUInt());
    out.insert(QStringLiteral("1.0.0"), row.value(QStringLiteral("ts"), 0).toUInt());
    out.insert(QStringLiteral("ts_get"), row.value(QStringLiteral("ts_get"), 0).toInt());
    out.insert(QStringLiteral("index"), row.value(QStringLiteral("index"), 0).toInt());
    out.insert(QStringLiteral("profile"), event_log_code(row.value(QStringLiteral("type"), 0).toInt()));
    const uint32_t worktime = row.value(QStringLiteral("worktime"), 0).toUInt();
    if (worktime != 0) out.insert(QStringLiteral("96.8.0"), worktime);
    return out;
}

} // namespace

namespace {

// The modems with stored readings, read in pieces between other work. One read serves every
// request that comes while it is made and those within a few seconds of its end: a dashboard
// that asks the list again and again costs one read.
struct modem_list_read
{
    static constexpr qint64 shared_ms = 5000;
    // A read left unfinished (its clients gone) is taken up by the next request within this.
    static constexpr qint64 resume_ms = 60000;

    QList<uint32_t> asked; // the whitelist, ascending without repeats; empty: all modems
    int next = 0;          // whitelist: the position of the next id
    uint32_t from = 0;     // all modems: the id the next piece starts at
    int piece = 256;
    bool complete = false, failed = false;
    QString failed_statement, failed_busy;
    QElapsedTimer started, completed;
    QByteArray entries; // "5,7,9"
    qint64 found = 0;

    bool serves(const QList<uint32_t>& whitelist) const
    {
        if (failed || asked != whitelist) return false;
        return complete ? completed.elapsed() <= shared_ms : started.elapsed() <= resume_ms;
    }
    void add(const QList<uint32_t>& ids)
    {
        for (const uint32_t id : ids) {
            if (!entries.isEmpty()) entries += ',';
            entries += QByteArray::number(id);
        }
        found += ids.size();
    }
    // One piece; pieces grow while they are quick and shrink when they are not.
    void advance(SQL_Exchange& sql)
    {
        QElapsedTimer took;
        took.start();
        if (!asked.isEmpty()) {
            add(sql.get_modems(asked.mid(next, piece)));
            next += piece;
            complete = next >= asked.size();
        } else {
            const QList<uint32_t> ids = sql.get_modems_from(from, piece);
            add(ids);
            complete = ids.size() < piece || ids.last() == 4294967295u;
            if (!ids.isEmpty()) from = ids.last() + 1;
        }
        const qint64 ms = took.elapsed();
        if (ms < report_job::slice_ms / 4)
            piece = qMin(piece * 2, 65536);
        else if (ms > report_job::slice_ms / 2)
            piece = qMax(piece / 2, 16);
    }
};

std::shared_ptr<modem_list_read>& current_list_read()
{
    static std::shared_ptr<modem_list_read> read;
    return read;
}

class list_job : public report_job
{
public:
    // `nothing`: a whitelist that lets no modem through.
    list_job(QList<uint32_t> whitelist, bool nothing_)
        : report_job(QStringLiteral("list"), {},
                     whitelist.isEmpty() ? QStringLiteral("all modems")
                                         : QStringLiteral("%1 whitelisted").arg(whitelist.size())),
          asked(std::move(whitelist)), nothing(nothing_)
    {
    }

protected:
    int serve(int, int) override { return 1; } // no walk over modems: all is done in prepare()
    bool prepare(qint64 slice_start) override
    {
        SQL_Exchange* sql = SQL_Exchange::instance;
        if (nothing || !sql) return true;
        if (!read) {
            std::shared_ptr<modem_list_read>& current = current_list_read();
            if (!current || !current->serves(asked)) {
                current = std::make_shared<modem_list_read>();
                current->asked = asked;
                current->started.start();
            }
            read = current;
        }
        while (!read->complete && !read->failed) {
            if (clock() - slice_start >= slice_ms) return false;
            const read_watch watch;
            read->advance(*sql);
            if (watch.failed()) {
                read->failed = true;
                read->failed_statement = watch.statement();
                read->failed_busy = sql->last_failed_busy();
            }
        }
        if (read->failed) {
            read_failed(read->failed_statement, &read->failed_busy);
            return false;
        }
        if (!read->completed.isValid()) read->completed.start();
        out.append_written(read->entries);
        rows = read->found;
        return true;
    }

private:
    const QList<uint32_t> asked;
    const bool nothing;
    std::shared_ptr<modem_list_read> read;
};

} // namespace

std::unique_ptr<report_job> API_controller::make_report_list(const QVariantMap&)
{
    const bool whitelisted = config.contains(QStringLiteral("whilelist_modems"));
    QList<uint32_t> ids;
    for (const QVariant& v : config.value(QStringLiteral("whilelist_modems")).toList())
        ids << v.toUInt();
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    // An empty whitelist lets no modem through; an empty id list would ask for all of them.
    return std::make_unique<list_job>(ids, whitelisted && ids.isEmpty());
}

QVariant API_controller::api_report_list(QVariantMap api_request)
{
    return make_report_list(api_request)->run();
}

namespace {

// The period of a report for its log line.
QString period_text(bool has_from, uint32_t from, uint32_t to)
{
    return has_from ? QStringLiteral("from %1 to %2").arg(from).arg(to)
                    : QStringLiteral("newest up to %1").arg(to);
}

// The rows of the leading modems of `ranges` through `fetch`, each modem's handed to `entry`;
// how many modems were served.
template <typename Entry>
int serve_rows(const QList<modem_range>& ranges,
               QHash<uint32_t, QVariantList> (SQL_Exchange::*fetch)(const QList<modem_range>&,
                                                                    QList<uint32_t>, uint32_t, int, int&),
               const QList<uint32_t>& types, uint32_t limit, Entry entry)
{
    SQL_Exchange* sql = SQL_Exchange::instance;
    if (!sql) return ranges.size();
    int done = 0;
    const QHash<uint32_t, QVariantList> got =
        (sql->*fetch)(ranges, types, limit, report_job::slice_rows, done);
    for (int i = 0; i < done; ++i)
        entry(ranges.at(i).modem_id, got.value(ranges.at(i).modem_id));
    return done;
}

// Serves the slice of at most `want` modems from `at` on through `serve`, which gets the ranges of
// the modems the count ahead did not find without rows (those answer nothing, and are read never);
// how many of the slice's modems are served.
template <typename Serve>
int serve_thin(const QList<uint32_t>& modems, const window_count& ahead, int at, int want, uint32_t from,
               uint32_t to, Serve serve)
{
    const int n = qMax(0, qMin(want, modems.size() - at));
    QList<modem_range> ranges;
    QList<int> through; // the slice's modems up to each range's
    for (int i = 0; i < n; ++i) {
        const uint32_t modem = modems.at(at + i);
        if (ahead.none_of(modem)) continue;
        ranges << modem_range{modem, from, to, ahead.past_limit(modem)};
        through << i + 1;
    }
    if (ranges.isEmpty()) return n;
    const int served = serve(ranges);
    return served >= ranges.size() ? n : through.at(qMax(1, served) - 1);
}

// Stored readings as they lie in the table, per modem.
class history_orig_job : public report_job
{
public:
    history_orig_job(QList<uint32_t> modems_, QList<uint32_t> types_, bool period_, uint32_t raw_from_,
                     uint32_t raw_to_, uint32_t from_, uint32_t to_, bool day_added_)
        : report_job(QStringLiteral("history_orig"), std::move(modems_), period_text(period_, from_, to_)),
          types(std::move(types_)), period(period_), raw_from(raw_from_), raw_to(raw_to_), from(from_),
          to(to_), day_added(day_added_), ahead(false, kinds_answered(), raw_from, raw_to, 10000, true)
    {
    }

protected:
    int serve(int at, int want) override
    {
        const read_watch watch;
        const type_memo_scope seeks(held_types, slices());
        const int served =
            serve_thin(modems, ahead, at, want, from, to, [&](const QList<modem_range>& ranges) {
                return serve_rows(ranges, &SQL_Exchange::get_data_each, types, period ? 10000 : 1,
                                  [this](uint32_t, const QVariantList& rows) { entry(rows); });
            });
        if (watch.failed()) read_failed(watch.statement());
        return served;
    }
    qint64 count(int at, int want, int& done) override
    {
        SQL_Exchange* sql = SQL_Exchange::instance;
        if (!period || !sql) return report_job::count(at, want, done);
        const read_watch watch;
        const qint64 n = ahead.count(modems, at, want, row_bytes(), done, [&](int& d) {
            return sql->count_data_each(ranges_of(at, want, raw_from, raw_to), kinds_answered(), 10000, d);
        });
        if (watch.failed()) read_failed(watch.statement());
        return n;
    }
    // Its time, time received, index and profile code.
    qint64 row_bytes() const override { return 69; }
    bool count_again() override { return ahead.exact(); }

private:
    void entry(const QVariantList& fetched)
    {
        rows += fetched.size();
        QVariantList meterings;
        uint32_t modem_id = 0;
        for (const QVariant& r : fetched) {
            const QVariantMap row = r.toMap();
            const uint32_t stored = row.value(QStringLiteral("type"), 0).toUInt();
            const uint32_t ts = row.value(QStringLiteral("ts"), 0).toUInt();
            if (period && (ts < raw_from || ts > raw_to || (normalize_arch_type(stored) == 14 && day_added)))
                continue;
            QVariantMap reading;
            put_columns(row, reading, false);
            reading.insert(QStringLiteral("1.0.0"), uint(ts));
            reading.insert(QStringLiteral("ts_get"), row.value(QStringLiteral("ts_get"), 0).toInt());
            reading.insert(QStringLiteral("index"), row.value(QStringLiteral("index"), 0).toInt());
            reading.insert(QStringLiteral("profile"), profile_obis_for_type(int32_t(stored), ts));
            meterings.prepend(reading);
            modem_id = row.value(QStringLiteral("modem_id"), 0).toUInt();
        }
        if (meterings.isEmpty()) return;
        answered += meterings.size();
        QVariantMap entry{{QStringLiteral("meterings"), meterings}, {QStringLiteral("timeto"), uint(to)}};
        if (modem_id != 0) entry.insert(QStringLiteral("modem"), uint(modem_id));
        if (period) entry.insert(QStringLiteral("timefrom"), uint(from));
        out.append(entry);
    }

    // The rows answered: those of the period asked, without the day rows read to derive.
    QList<uint32_t> kinds_answered() const { return day_added ? types.mid(0, types.size() - 3) : types; }

    const QList<uint32_t> types;
    const bool period;
    const uint32_t raw_from, raw_to, from, to;
    const bool day_added;
    window_count ahead;
    type_memo held_types;
};

// Stored events per modem.
class events_job : public report_job
{
public:
    events_job(QList<uint32_t> modems_, QList<uint32_t> types_, bool has_from_, uint32_t from_, uint32_t to_)
        : report_job(QStringLiteral("events"), std::move(modems_), period_text(has_from_, from_, to_)),
          types(std::move(types_)), has_from(has_from_), from(from_), to(to_),
          ahead(true, types, from, to, 1000, true)
    {
    }

protected:
    int serve(int at, int want) override
    {
        const read_watch watch;
        const type_memo_scope seeks(held_types, slices());
        const int served =
            serve_thin(modems, ahead, at, want, from, to, [&](const QList<modem_range>& ranges) {
                return serve_rows(ranges, &SQL_Exchange::get_events_each, types, has_from ? 1000 : 1,
                                  [this](uint32_t modem, const QVariantList& rows) { entry(modem, rows); });
            });
        if (watch.failed()) read_failed(watch.statement());
        return served;
    }
    qint64 count(int at, int want, int& done) override
    {
        SQL_Exchange* sql = SQL_Exchange::instance;
        if (!has_from || !sql) return report_job::count(at, want, done);
        const read_watch watch;
        const qint64 n = ahead.count(modems, at, want, row_bytes(), done, [&](int& d) {
            return sql->count_events_each(ranges_of(at, want, from, to), types, 1000, d);
        });
        if (watch.failed()) read_failed(watch.statement());
        return n;
    }
    // Its time, event, index, profile code and time received.
    qint64 row_bytes() const override { return 82; }
    bool count_again() override { return ahead.exact(); }

private:
    void entry(uint32_t modem, const QVariantList& fetched)
    {
        rows += fetched.size();
        QVariantList events;
        for (const QVariant& r : fetched)
            events << event_map(r.toMap());
        if (events.isEmpty()) return;
        answered += events.size();
        QVariantMap entry{{QStringLiteral("events"), events},
                          {QStringLiteral("modem"), uint(modem)},
                          {QStringLiteral("timeto"), uint(to)}};
        const QString sn =
            RAM_modems::instance
                ? RAM_modems::instance->get_settings(modem).value(QStringLiteral("sn")).toString()
                : QString();
        if (!sn.isEmpty()) entry.insert(QStringLiteral("serial"), sn);
        if (has_from) entry.insert(QStringLiteral("timefrom"), uint(from));
        out.append(entry);
    }

    const QList<uint32_t> types;
    const bool has_from;
    const uint32_t from, to;
    window_count ahead;
    type_memo held_types;
};

} // namespace

std::unique_ptr<report_job> API_controller::make_report_history_orig(const QVariantMap& api_request)
{
    const QVariantMap qitems = qitems_of(api_request);
    QList<uint32_t> types = raw_data_types(qitems.value(QStringLiteral("profile")).toString());
    const bool period = qitems.contains(QStringLiteral("timefrom"));
    const uint32_t raw_to = qitems.contains(QStringLiteral("timeto"))
                                ? low32(qitems.value(QStringLiteral("timeto")))
                                : uint32_t(quint64(time_source()) + 86400);
    const uint32_t raw_from = low32(qitems.value(QStringLiteral("timefrom")));
    uint32_t from = raw_from, to = raw_to;
    bool day_added = false;
    if (types.contains(15) && period) {
        if (!types.contains(14)) {
            types << 68 << 49 << 14;
            day_added = true;
        }
        from = day_floor(from);
        to = day_ceil_next(to);
    }
    return std::make_unique<history_orig_job>(get_modems(qitems), types, period, raw_from, raw_to, from, to,
                                              day_added);
}

QVariant API_controller::api_report_history_orig(QVariantMap api_request)
{
    return make_report_history_orig(api_request)->run();
}

std::unique_ptr<report_job> API_controller::make_report_events(const QVariantMap& api_request)
{
    const QVariantMap qitems = qitems_of(api_request);
    QList<uint32_t> types;
    for (const QString& part : qitems.value(QStringLiteral("profile")).toString().split(QLatin1Char(','))) {
        for (uint32_t t = 0; t <= 10; ++t)
            if (part == event_log_code(int32_t(t))) types << t;
        if (part == event_log_code(255)) types << 255;
    }
    if (types.isEmpty())
        for (uint32_t t = 0; t <= 10; ++t)
            types << t;
    types << 255;
    const bool has_from = qitems.contains(QStringLiteral("timefrom"));
    const uint32_t to = qitems.contains(QStringLiteral("timeto"))
                            ? low32(qitems.value(QStringLiteral("timeto")))
                            : uint32_t(quint64(time_source()) + 86400);
    const uint32_t from = low32(qitems.value(QStringLiteral("timefrom")));
    return std::make_unique<events_job>(get_modems(qitems), types, has_from, from, to);
}

QVariant API_controller::api_report_events(QVariantMap api_request)
{
    return make_report_events(api_request)->run();
}
