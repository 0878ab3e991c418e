// Storage: reading, event and incoming-message queries for the reports and diagnostics.
#include "log_limiter.h"
#include "logger.h"
#include "parser_strova5.h"
#include "ram_modems.h"
#include "sql_exchange.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QElapsedTimer>
#include <QSqlQuery>
#include <QSet>
#include <QSqlRecord>
#include <QVector>
#include <algorithm>
#include <numeric>

namespace {
const uint32_t ts_none = 4294967295u;

template <typename T> QString joined(const QList<T>& list, const QString& sep = QStringLiteral(","))
{
    QStringList out;
    for (const T& v : list)
        out << QString::number(v);
    return out.join(sep);
}

void add_absent(QList<uint32_t>& list, uint32_t type)
{
    if (!list.contains(type)) list.append(type);
}

// The optional time range; each clause carries its own trailing blank.
QString time_range(uint32_t ts_from, uint32_t ts_to)
{
    QString out;
    if (ts_from != 0) out += QStringLiteral("AND ts >= %1 ").arg(ts_from);
    if (ts_to != ts_none) out += QStringLiteral("AND ts <= %1 ").arg(ts_to);
    return out;
}

// An id list in pieces of at most `max_chars` characters each (one id always fits), so that no
// statement passes the server's packet limit, whose breach costs the connection.
QStringList id_pieces(const QList<uint32_t>& ids, int max_chars, const QString& sep = QStringLiteral(","))
{
    QStringList out;
    QString piece;
    for (const uint32_t id : ids) {
        const QString number = QString::number(id);
        if (!piece.isEmpty() && piece.size() + sep.size() + number.size() > max_chars) {
            out << piece;
            piece.clear();
        }
        if (!piece.isEmpty()) piece += sep;
        piece += number;
    }
    if (!piece.isEmpty()) out << piece;
    return out;
}

// Rows of several pieces (or of one part of a union) in the order one statement would have given,
// at most `limit` of them.
void merge_pieces(QVariantList& rows, bool newest_first_order, uint32_t limit)
{
    const auto ts = [](const QVariant& row) { return row.toMap().value(QStringLiteral("ts")).toUInt(); };
    const auto type = [](const QVariant& row) { return row.toMap().value(QStringLiteral("type")).toUInt(); };
    const auto before = [&](const QVariant& a, const QVariant& b) {
        if (newest_first_order) return ts(a) > ts(b);
        return ts(a) != ts(b) ? ts(a) < ts(b) : type(a) > type(b);
    };
    if (!std::is_sorted(rows.begin(), rows.end(), before)) std::stable_sort(rows.begin(), rows.end(), before);
    while (uint32_t(rows.size()) > limit)
        rows.removeLast();
}

QString newest_first(uint32_t limit)
{
    return QStringLiteral("order by ts desc limit %1").arg(limit);
}

// The statements of the reports of many modems, at Dbg and cut: a report of 100,000 modems sends
// hundreds of them, and its own line says what it read.
void log_report_statement(const QString& select)
{
    static log_limiter lim(QStringLiteral("report statement"), LVL_DBG, 10, 1000);
    if (lim.pass(LVL_DBG)) LOG_DBG << log_cut(select, 256);
}

// The statements of the diagnostics, at Exc before they run: clients ask for them as often as
// they like, so their lines are limited.
void log_diagnostics_statement(const QString& select)
{
    static log_limiter lim(QStringLiteral("diagnostics statement"), LVL_EXC, 20, 1000);
    if (lim.pass(LVL_EXC)) LOG_EXC << log_cut(select, 1024);
}

// Stored types of the kinds, each kind after its own codes.
QList<uint32_t> data_types_of(const QList<uint32_t>& kinds)
{
    QList<uint32_t> out;
    for (const uint32_t kind : kinds) {
        switch (kind) {
        case 12:
            out << 72 << 12;
            break;
        case 13:
            out << 70 << 49 << 13;
            break;
        case 14:
            out << 68 << 49 << 14;
            break;
        case 15:
            out << 66 << 50 << 15;
            break;
        case 16:
            out << 74 << 50 << 16;
            break;
        case 254:
            out << 64 << 254;
            break;
        default:
            out << kind;
        }
    }
    return out;
}

QList<uint32_t> energy_types_of(QList<uint32_t> kinds)
{
    if (kinds.contains(14)) {
        add_absent(kinds, 68);
        add_absent(kinds, 49);
    }
    if (kinds.contains(15)) {
        add_absent(kinds, 66);
        add_absent(kinds, 50);
    }
    return kinds;
}

QList<uint32_t> index_types_of(QList<uint32_t> kinds)
{
    static const uint32_t extra[][2] = {{12, 72}, {13, 70}, {14, 68}, {15, 66}};
    const QList<uint32_t> given = kinds;
    for (const auto& e : extra)
        if (given.contains(e[0])) add_absent(kinds, e[1]);
    return kinds;
}

// The current values kept of a modem's newest current-values row, by column name.
const QStringList& last_curr_columns()
{
    static const QStringList columns = {
        QStringLiteral("OBIS_14_7_0"),  QStringLiteral("OBIS_21_7_0"),  QStringLiteral("OBIS_23_7_0"),
        QStringLiteral("OBIS_32_7_0"),  QStringLiteral("OBIS_41_7_0"),  QStringLiteral("OBIS_43_7_0"),
        QStringLiteral("OBIS_52_7_0"),  QStringLiteral("OBIS_61_7_0"),  QStringLiteral("OBIS_63_7_0"),
        QStringLiteral("OBIS_72_7_0"),  QStringLiteral("OBIS_81_7_10"), QStringLiteral("OBIS_81_7_2"),
        QStringLiteral("OBIS_81_7_21"), QStringLiteral("OBIS_91_7_0"),  QStringLiteral("OBIS_31_7_0"),
        QStringLiteral("OBIS_51_7_0"),  QStringLiteral("OBIS_71_7_0")};
    return columns;
}

OBIS code_of_column(const QString& column)
{
    const QStringList cde = column.split(QLatin1Char('_')); // "OBIS", C, D, E
    return obis_pack(1, 0, uint8_t(cde.value(1).toUInt()), uint8_t(cde.value(2).toUInt()),
                     uint8_t(cde.value(3).toUInt()), 255);
}
} // namespace

bool SQL_Exchange::run_query(QSqlQuery& q, const QString& statement, int fail_level)
{
    q.setForwardOnly(true);
    const auto failed = [&] {
        ++failed_read_count;
        failed_read = statement;
        return false;
    };
    failed_read_busy.clear();
    if (!go_unless_link_silent()) return failed(); // said there, once an outage
    if (refused_busy(statement)) {                 // a table known locked elsewhere: not sent
        failed_read_busy = table_of(statement);
        return failed();
    }
    QElapsedTimer took;
    took.start();
    QSqlError error;
    const bool answered = exec_whole(q, statement, error);
    note_main_statement(error, answered, took, statement);
    if (answered) {
        read_lines.end();
        return true;
    }
    if (note_lock_bound(error, statement)) { // said there, once a minute
        if (Busy_tables::is_read(statement)) failed_read_busy = table_of(statement);
        return failed();
    }
    // A lost link fails every read alike: its lines are limited to one an outage. A refused
    // statement's lines are limited apart; both are cut, as a report's statement may run to
    // hundreds of KiB.
    static log_limiter refused_lines(QStringLiteral("reading statement refused"), LVL_EXC, 10, 1000);
    const bool refused = classify(error) == Error_class::refused;
    if (refused ? refused_lines.pass(fail_level) : read_lines.pass())
        STROVA_LOG(fail_level) << error.text() << log_cut(statement, 1024);
    return failed();
}

QVariantList SQL_Exchange::row_maps(QSqlQuery& q)
{
    QVariantList out;
    // The column names once: a record per row costs more than the row's values.
    // Columns are taken in name order, so that each goes in at the end of the row's map.
    QStringList names;
    const QSqlRecord rec = q.record();
    for (int i = 0; i < rec.count(); ++i)
        names << rec.fieldName(i);
    QVector<int> order(names.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int a, int b) { return names.at(a) < names.at(b); });
    while (q.next()) {
        QVariantMap row;
        for (const int i : qAsConst(order)) {
            const QVariant v = q.value(i);
            if (v.isNull()) continue;
            row.insert(row.constEnd(), names.at(i),
                       v.userType() == QMetaType::QByteArray ? QVariant(text_of(v)) : v);
        }
        if (!row.isEmpty()) out << row;
    }
    return out;
}

QList<uint32_t> SQL_Exchange::get_modems(QList<uint32_t> ids)
{
    QList<uint32_t> out;
    const QStringList pieces =
        ids.isEmpty() ? QStringList{QString()} : id_pieces(ids, chunk_max_chars, QStringLiteral(", "));
    for (const QString& piece : pieces) {
        const QString where =
            piece.isEmpty() ? QString() : QStringLiteral("WHERE modem_id in(%1)").arg(piece);
        const QString select =
            QStringLiteral("SELECT modem_id FROM modems_data %1 group by modem_id order by modem_id;")
                .arg(where);
        if (piece.isEmpty()) loose_scan_or_analyze(select);
        QSqlQuery q(db);
        if (!run_query(q, select)) return out;
        while (q.next())
            out << q.value(0).toUInt();
    }
    if (pieces.size() > 1) {
        std::sort(out.begin(), out.end());
        out.erase(std::unique(out.begin(), out.end()), out.end());
    }
    return out;
}

QList<uint32_t> SQL_Exchange::get_modems_from(uint32_t from, int max)
{
    QList<uint32_t> out;
    if (from == 0)
        loose_scan_or_analyze(
            QStringLiteral("SELECT modem_id FROM modems_data  group by modem_id order by modem_id;"));
    const QString select = QStringLiteral("SELECT modem_id FROM modems_data WHERE modem_id >= %1 group by "
                                          "modem_id order by modem_id limit %2")
                               .arg(from)
                               .arg(qMax(max, 1));
    QSqlQuery q(db);
    if (!run_query(q, select)) return out;
    while (q.next())
        out << q.value(0).toUInt();
    return out;
}

void SQL_Exchange::loose_scan_or_analyze(const QString& select)
{
    // The list of all modems costs what the modems cost only when the server jumps from one
    // modem to the next in the primary key. It chooses that by the table's statistics, and
    // statistics taken while each modem had a row or two make it read the whole table instead,
    // ever longer as readings pile up. Fresh statistics cost the server a few sampled pages.
    constexpr qint64 analyze_every_ms = 3600 * 1000;
    if (analyzed_at.isValid() && analyzed_at.elapsed() < analyze_every_ms) return;
    if (analyze_retry_at > clock.elapsed()) return; // refused by a lock a moment ago
    // A check that fails is no failed read of the list itself: its own statement tells.
    const quint64 failed = failed_read_count;
    const QString failed_statement = failed_read;
    const auto refresh = [&] {
        QSqlQuery plan(db);
        if (!run_query(plan, QStringLiteral("EXPLAIN ") + select)) return;
        const int extra = plan.record().indexOf(QStringLiteral("Extra"));
        while (plan.next())
            if (plan.value(extra).toString().contains(QLatin1String("index for group-by"))) return;
        analyzed_at.start();
        QSqlQuery analyze(db);
        // A table locked elsewhere (in the error, or in the result's rows): tried again a minute
        // later rather than an hour later, and not at every list, each of which would wait the
        // lock's bound on the main thread.
        const auto locked_out = [&] {
            analyzed_at.invalidate();
            analyze_retry_at = clock.elapsed() + analyze_retry_ms;
        };
        if (!run_query(analyze, QStringLiteral("ANALYZE TABLE modems_data"))) {
            if (lock_bound(last_error)) locked_out();
            return;
        }
        const int type = analyze.record().indexOf(QStringLiteral("Msg_type"));
        const int text = analyze.record().indexOf(QStringLiteral("Msg_text"));
        bool error = false, locked = false;
        while (analyze.next()) {
            if (analyze.value(type).toString() != QLatin1String("Error")) continue;
            error = true;
            locked = locked || analyze.value(text).toString().contains(QLatin1String("Lock wait timeout"));
        }
        if (locked) locked_out();
        if (!error)
            LOG_WRN
                << "modems_data: statistics refreshed, the list of modems would have read the whole table";
    };
    refresh();
    failed_read_count = failed;
    failed_read = failed_statement;
}

uint32_t SQL_Exchange::get_ts_energy_before(uint32_t modem_id, QList<uint32_t> kinds, uint32_t ts)
{
    if (kinds.isEmpty()) return ts;
    const QString select = QStringLiteral("SELECT ts FROM modems_data WHERE modem_id = %1 and `type` in (%2) "
                                          "and ts <= %3 and (OBIS_3_8_1 is "
                                          "not null or OBIS_4_8_1 is not null or OBIS_3_8_0 is not null or "
                                          "OBIS_4_8_0 is not null) ORDER BY "
                                          "ts DESC LIMIT 1;")
                               .arg(modem_id)
                               .arg(joined(energy_types_of(kinds)))
                               .arg(ts);
    LOG_DBG << log_cut(select);
    QSqlQuery q(db);
    if (run_query(q, select) && q.next()) return q.value(0).toUInt();
    return ts;
}

uint32_t SQL_Exchange::get_ts_energy_after(uint32_t modem_id, QList<uint32_t> kinds, uint32_t ts)
{
    if (kinds.isEmpty()) return ts;
    const QString select = QStringLiteral("SELECT ts FROM modems_data WHERE modem_id = %1 and `type` in (%2) "
                                          "and ts >= %3 and (OBIS_3_8_1 is "
                                          "not null or OBIS_4_8_1 is not null or OBIS_3_8_0 is not null or "
                                          "OBIS_4_8_0 is not null) ORDER BY "
                                          "ts LIMIT 1;")
                               .arg(modem_id)
                               .arg(joined(energy_types_of(kinds)))
                               .arg(ts);
    QSqlQuery q(db);
    if (run_query(q, select) && q.next()) return q.value(0).toUInt();
    return ts;
}

QVariantList SQL_Exchange::get_data(QList<uint32_t> modems, QList<uint32_t> kinds, uint32_t ts_from,
                                    uint32_t ts_to, uint32_t limit)
{
    if (modems.isEmpty() || kinds.isEmpty()) return {};
    const QStringList pieces = id_pieces(modems, chunk_max_chars);
    QVariantList rows;
    for (const QString& piece : pieces) {
        QString select = QStringLiteral("SELECT * FROM modems_data WHERE modem_id in (%1) AND type in (%2) ")
                             .arg(piece, joined(data_types_of(kinds))) +
                         time_range(ts_from, ts_to);
        // One row asked for: the newest. Otherwise oldest first, the higher type first within a time.
        select +=
            limit == 1 ? newest_first(1) : QStringLiteral("order by ts, `type` desc limit %1").arg(limit);
        LOG_DBG << log_cut(select);
        QSqlQuery q(db);
        if (!run_query(q, select)) return {};
        rows += row_maps(q);
    }
    if (pieces.size() > 1) merge_pieces(rows, limit == 1, limit);
    return rows;
}

QVariantList SQL_Exchange::get_data(uint32_t modem_id, uint32_t kind, uint32_t ts_from, uint32_t ts_to,
                                    uint32_t limit)
{
    return get_data(QList<uint32_t>{modem_id}, QList<uint32_t>{kind}, ts_from, ts_to, limit);
}

QVariantList SQL_Exchange::get_data(uint32_t modem_id, QList<uint32_t> kinds, uint32_t ts_from,
                                    uint32_t ts_to, uint32_t limit)
{
    return get_data(QList<uint32_t>{modem_id}, kinds, ts_from, ts_to, limit);
}

QVariantList SQL_Exchange::get_indexes(QList<uint32_t> modems, QList<uint32_t> kinds, uint32_t ts_from,
                                       uint32_t ts_to, uint32_t limit)
{
    if (modems.isEmpty() || kinds.isEmpty()) return {};
    const QStringList pieces = id_pieces(modems, chunk_max_chars);
    QVariantList rows;
    for (const QString& piece : pieces) {
        const QString select = QStringLiteral("SELECT modem_id, ts, `type`, `index` FROM modems_data WHERE "
                                              "modem_id in (%1) AND type in (%2) ")
                                   .arg(piece, joined(index_types_of(kinds))) +
                               time_range(ts_from, ts_to) + newest_first(limit);
        LOG_TRC << log_cut(select);
        QSqlQuery q(db);
        if (!run_query(q, select, LVL_ERR)) return {};
        rows += row_maps(q);
    }
    if (pieces.size() > 1) merge_pieces(rows, true, limit);
    return rows;
}

QVariantList SQL_Exchange::get_indexes(uint32_t modem_id, uint32_t kind, uint32_t ts_from, uint32_t ts_to,
                                       uint32_t limit)
{
    return get_indexes(QList<uint32_t>{modem_id}, QList<uint32_t>{kind}, ts_from, ts_to, limit);
}

QVariantList SQL_Exchange::get_indexes(uint32_t modem_id, QList<uint32_t> kinds, uint32_t ts_from,
                                       uint32_t ts_to, uint32_t limit)
{
    return get_indexes(QList<uint32_t>{modem_id}, kinds, ts_from, ts_to, limit);
}

QVariantList SQL_Exchange::get_fail_time(uint32_t ts_from, uint32_t ts_to, uint32_t limit)
{
    const QString select = QStringLiteral("SELECT * FROM modems_data WHERE OBIS_ext like '%fail_time%' ") +
                           time_range(ts_from, ts_to) + newest_first(limit);
    log_diagnostics_statement(select);
    QSqlQuery q(db);
    if (!run_query(q, select)) return {};
    return row_maps(q);
}

QVariantList SQL_Exchange::get_energy_stamped(QList<uint32_t> types, uint32_t ts_from, uint32_t ts_to,
                                              uint32_t limit)
{
    if (types.isEmpty()) return {};
    const QString select =
        QStringLiteral("SELECT modem_id, type, ts, OBIS_1_8_0, OBIS_1_8_1, OBIS_1_8_2, OBIS_1_8_3, "
                       "OBIS_1_8_4 FROM modems_data WHERE ts != ts_get AND type in (%1) ")
            .arg(joined(types)) +
        time_range(ts_from, ts_to) + newest_first(limit);
    log_diagnostics_statement(select);
    QSqlQuery q(db);
    if (!run_query(q, select)) return {};
    return row_maps(q);
}

int rows_by_part(const QVariantList& rows, const QHash<uint32_t, int>& position, int parts, int max_rows,
                 bool newest_first, QHash<uint32_t, QVariantList>& out)
{
    out.clear();
    const QString modem_key = QStringLiteral("modem_id");
    int last = 0;
    bool in_order = true;
    for (const QVariant& row : rows) {
        const int at = position.value(row.toMap().value(modem_key).toUInt(), -1);
        in_order = in_order && at >= last;
        last = qMax(last, at);
    }
    const bool cut = rows.size() > max_rows;
    if (cut && !in_order) return -1;
    // The part of the last row was cut by the statement's limit, and so were those after it.
    const int whole = cut ? position.value(rows.last().toMap().value(modem_key).toUInt(), 0) : parts;
    for (const QVariant& row : rows) {
        const uint32_t modem = row.toMap().value(modem_key).toUInt();
        if (position.value(modem, whole) < whole) out[modem] << row;
    }
    for (QVariantList& list : out)
        merge_pieces(list, newest_first, uint32_t(list.size()));
    return whole;
}

void SQL_Exchange::read_each_into(QHash<uint32_t, QVariantList>& out, const QString& part,
                                  const QList<modem_range>& over, bool newest_first, uint32_t limit,
                                  int max_rows)
{
    for (int from = 0, again = 0; from < over.size(); from += again) {
        const QHash<uint32_t, QVariantList> ordered =
            rows_each(part, over.mid(from), newest_first, limit, max_rows, again, false);
        for (auto it = ordered.cbegin(); it != ordered.cend(); ++it)
            out.insert(it.key(), it.value());
        if (again < 1) break; // a failed statement: the caller sees it through failed_reads()
    }
}

QHash<uint32_t, QVariantList> SQL_Exchange::rows_each(const QString& part, const QList<modem_range>& ranges,
                                                      bool newest_first, uint32_t limit, int max_rows,
                                                      int& done, bool key_order)
{
    QHash<uint32_t, QVariantList> out;
    done = 0;
    if (ranges.isEmpty()) return out;
    // Oldest first: each modem's rows as the key holds them, one more than its limit, put in order
    // here. A sort on the server would read every row a second time; a modem whose window holds
    // more than its limit is asked again in order.
    key_order = key_order && !newest_first && limit > 1 && limit < (1u << 30);
    const QString order = key_order      ? QStringLiteral("limit ")
                          : newest_first ? QStringLiteral("order by ts desc limit ")
                                         : QStringLiteral("order by ts, `type` desc limit ");
    const uint32_t part_limit = key_order ? limit + 1 : limit;
    // One modem's rows always fit: its limit raises the bound.
    max_rows = int(qMax<qint64>(max_rows, qMin<qint64>(qMax<uint32_t>(part_limit, 1), 1 << 30)));
    // Parts of one modem each, in the order of the list: the statement's own limit cuts the rows
    // of one modem at most (when the server answers the parts in order), which is asked again.
    QString select;
    QHash<uint32_t, int> position;
    int taken = 0;
    for (const modem_range& r : ranges) {
        if (!position.contains(r.modem_id)) {
            const QString p = QStringLiteral("(") + part.arg(r.modem_id) + time_range(r.ts_from, r.ts_to) +
                              order + QString::number(part_limit) + QStringLiteral(")");
            if (!select.isEmpty() && select.size() + p.size() + 32 > chunk_max_chars) break;
            if (!select.isEmpty()) select += QStringLiteral(" UNION ALL ");
            select += p;
            position.insert(r.modem_id, position.size());
        }
        ++taken;
    }
    select += QStringLiteral(" LIMIT %1").arg(max_rows + 1);
    log_report_statement(select);
    QSqlQuery q(db);
    if (!run_query(q, select)) {
        done = taken; // no rows: the caller sees the failure through failed_reads()
        return out;
    }
    const int whole = rows_by_part(row_maps(q), position, position.size(), max_rows, newest_first, out);
    if (whole < 0) {
        // The server answered the parts out of order: the first modem alone, whose statement
        // orders its own rows.
        static log_limiter lim(QStringLiteral("many-modem rows out of order"), LVL_WRN, 1, 60000);
        if (lim.pass(LVL_WRN))
            LOG_WRN << "rows of several modems came out of order: read one modem at a time";
        return rows_each(part, ranges.mid(0, 1), newest_first, limit, max_rows, done, key_order);
    }
    while (done < taken && position.value(ranges.at(done).modem_id) < whole)
        ++done;
    if (!key_order) return out;
    QList<modem_range> over;
    for (int i = 0; i < done; ++i) {
        const modem_range& r = ranges.at(i);
        const auto got = out.constFind(r.modem_id);
        if (got != out.cend() && uint32_t(got->size()) > limit &&
            std::none_of(over.cbegin(), over.cend(),
                         [&](const modem_range& o) { return o.modem_id == r.modem_id; }))
            over << r;
    }
    read_each_into(out, part, over, newest_first, limit, max_rows);
    return out;
}

qint64 SQL_Exchange::count_each(const QString& part, const QList<modem_range>& ranges, uint32_t cap,
                                int& done)
{
    // Each modem's rows counted as far as its limit only: a modem of years of readings costs
    // no more than the rows its report would read. The server sends a tiny row per row counted,
    // which costs it less than a count of its own per modem.
    done = 0;
    QString select;
    for (const modem_range& r : ranges) {
        const QString p = QStringLiteral("(") + part.arg(r.modem_id) + time_range(r.ts_from, r.ts_to) +
                          QStringLiteral("LIMIT %1)").arg(cap);
        if (!select.isEmpty() && select.size() + p.size() + 32 > chunk_max_chars) break;
        select += select.isEmpty() ? p : QStringLiteral(" UNION ALL ") + p;
        ++done;
    }
    if (select.isEmpty()) return 0;
    log_report_statement(select);
    QSqlQuery q(db);
    if (!run_query(q, select)) return 0;
    qint64 total = 0;
    while (q.next())
        ++total;
    return total;
}

qint64 SQL_Exchange::count_data_each(const QList<modem_range>& ranges, QList<uint32_t> kinds, uint32_t cap,
                                     int& done)
{
    done = ranges.size();
    if (ranges.isEmpty() || kinds.isEmpty()) return 0;
    return count_each(QStringLiteral("SELECT 1 FROM modems_data WHERE modem_id = %1 AND type in (") +
                          joined(data_types_of(kinds)) + QStringLiteral(") "),
                      ranges, cap, done);
}

qint64 SQL_Exchange::count_events_each(const QList<modem_range>& ranges, QList<uint32_t> types, uint32_t cap,
                                       int& done)
{
    done = ranges.size();
    if (ranges.isEmpty() || types.isEmpty()) return 0;
    return count_each(QStringLiteral("SELECT 1 FROM modems_event WHERE modem_id = %1 AND type in (") +
                          joined(types) + QStringLiteral(") "),
                      ranges, cap, done);
}

namespace {
// The oldest (newest) row of one stored type within [lo, hi], whoever's: a seek on the (type, ts)
// key. Its row gives the type twice, as the modem's seeks give modem and type.
QString type_seek_part(uint32_t type, quint64 lo, quint64 hi, bool oldest, bool events = false)
{
    return QStringLiteral("(SELECT %1, %1, ts FROM %5 FORCE INDEX (type_ts) WHERE `type` = %1 and "
                          "ts >= %2 and ts <= %3 ORDER BY ts%4 LIMIT 1)")
        .arg(type)
        .arg(lo)
        .arg(hi)
        .arg(oldest ? QString() : QStringLiteral(" DESC"),
             events ? QStringLiteral("modems_event") : QStringLiteral("modems_data"));
}

// The window of the stored types on the (type, ts) key, whose entries hold each row's modem.
QString window_on_key(bool events, const QList<uint32_t>& kinds, uint32_t ts_from, uint32_t ts_to)
{
    return QStringLiteral("FROM %1 FORCE INDEX (type_ts) WHERE `type` in (%2) and ts >= %3 and ts <= %4")
        .arg(events ? QStringLiteral("modems_event") : QStringLiteral("modems_data"),
             joined(events ? kinds : data_types_of(kinds)))
        .arg(ts_from)
        .arg(ts_to);
}
} // namespace

qint64 SQL_Exchange::estimate_window_rows(bool events, QList<uint32_t> kinds, uint32_t ts_from,
                                          uint32_t ts_to)
{
    if (kinds.isEmpty() || ts_from > ts_to) return 0;
    // The plan's row figure comes from a look at the key's ends, not from its entries.
    const QString select =
        QStringLiteral("EXPLAIN SELECT modem_id ") + window_on_key(events, kinds, ts_from, ts_to);
    log_report_statement(select);
    QSqlQuery q(db);
    if (!run_query(q, select)) return -1;
    const int rows = q.record().indexOf(QStringLiteral("rows"));
    qint64 out = -1;
    while (q.next())
        out = qMax(out, q.value(rows).toLongLong());
    return out;
}

qint64 SQL_Exchange::estimate_modems(bool events)
{
    const QString select =
        QStringLiteral("SELECT CARDINALITY FROM information_schema.STATISTICS WHERE TABLE_SCHEMA = "
                       "DATABASE() AND TABLE_NAME = '%1' AND INDEX_NAME = 'PRIMARY' AND "
                       "SEQ_IN_INDEX = 1")
            .arg(events ? QStringLiteral("modems_event") : QStringLiteral("modems_data"));
    log_report_statement(select);
    QSqlQuery q(db);
    if (!run_query(q, select) || !q.next() || q.isNull(0)) return -1;
    return q.value(0).toLongLong();
}

bool SQL_Exchange::count_window_rows(bool events, QList<uint32_t> kinds, uint32_t ts_from, uint32_t ts_to,
                                     QHash<uint32_t, uint32_t>& per_modem)
{
    if (kinds.isEmpty() || ts_from > ts_to) return true;
    const QString select = QStringLiteral("SELECT modem_id, COUNT(*) ") +
                           window_on_key(events, kinds, ts_from, ts_to) +
                           QStringLiteral(" GROUP BY modem_id");
    log_report_statement(select);
    QSqlQuery q(db);
    if (!run_query(q, select)) return false;
    while (q.next())
        per_modem[q.value(0).toUInt()] += q.value(1).toUInt();
    return true;
}

namespace {
// A piece's ids of one window, ascending.
QString id_list(QList<uint32_t> ids)
{
    std::sort(ids.begin(), ids.end());
    return joined(ids);
}

// Each modem's window (and types) as a group of its own, modems of one window and type list
// sharing one IN list: "(modem_id in (..) AND `type` in (..) AND ts >= a AND ts <= b) OR (..)".
struct window_groups
{
    struct group
    {
        QString types;
        quint64 lo, hi;
        QList<uint32_t> ids;
    };
    QList<group> groups;
    int ids = 0;
    int chars = 0;

    void add(uint32_t modem, const QString& types, quint64 lo, quint64 hi)
    {
        for (group& g : groups)
            if (g.lo == lo && g.hi == hi && g.types == types) {
                g.ids << modem;
                ++ids;
                chars += 11;
                return;
            }
        groups << group{types, lo, hi, {modem}};
        ++ids;
        chars += 80 + types.size() + 11;
    }
    QString where() const
    {
        QStringList out;
        for (const group& g : groups)
            out << QStringLiteral("(modem_id in (%1) AND `type` in (%2) AND ts >= %3 AND ts <= %4)")
                       .arg(id_list(g.ids), g.types)
                       .arg(g.lo)
                       .arg(g.hi);
        return out.join(QStringLiteral(" OR "));
    }
};
} // namespace

bool SQL_Exchange::types_held(QList<uint32_t>& types, quint64 lo, quint64 hi, bool events)
{
    if (lo > hi) {
        types.clear();
        return true;
    }
    QList<uint32_t> distinct;
    for (const uint32_t type : qAsConst(types))
        add_absent(distinct, type);
    const QString key = (events ? QStringLiteral("events ") : QString()) + joined(distinct);
    type_memo::seen* seen = memo ? &memo->by_types[key] : nullptr;
    const auto keep_held = [&](const QSet<uint32_t>& held) {
        types.erase(std::remove_if(types.begin(), types.end(), [&](uint32_t t) { return !held.contains(t); }),
                    types.end());
    };
    if (seen && seen->lo <= lo && seen->hi >= hi) {
        if (seen->slice != memo->slice) {
            // A later slice: the types absent before are looked for again, together, over the
            // times already looked in; those found stay known.
            QStringList parts;
            for (const uint32_t type : qAsConst(distinct))
                if (!seen->held.contains(type))
                    parts << type_seek_part(type, seen->lo, seen->hi, true, events);
            if (!run_seeks(parts, [&](uint32_t type, uint32_t, uint32_t) { seen->held.insert(type); }))
                return false;
            seen->slice = memo->slice;
        }
        keep_held(seen->held);
        return true;
    }
    // Past the times already looked in: the types are looked for again over both together.
    if (seen && seen->lo <= seen->hi) {
        lo = qMin(lo, seen->lo);
        hi = qMax(hi, seen->hi);
    }
    // Each stored type is a range of its own in a modem's key, and each costs a seek and a row read
    // past its end: only the types the table holds within the times are asked for. The (type, ts)
    // key tells, a seek a type.
    QStringList parts;
    for (const uint32_t type : qAsConst(distinct))
        parts << type_seek_part(type, lo, hi, true, events);
    QSet<uint32_t> held;
    if (!run_seeks(parts, [&](uint32_t type, uint32_t, uint32_t) { held.insert(type); })) return false;
    if (seen) *seen = type_memo::seen{lo, hi, held, memo->slice};
    keep_held(held);
    return true;
}

QHash<uint32_t, QVariantList> SQL_Exchange::rows_by_key(bool events, const QList<modem_range>& ranges,
                                                        const QList<uint32_t>& types, uint32_t limit,
                                                        int max_rows, int& done, const QString& seek_part)
{
    QHash<uint32_t, QVariantList> out;
    done = 0;
    if (ranges.isEmpty()) return out;
    const qint64 cap = qMax<qint64>(max_rows, qMin<qint64>(limit, 1 << 30));
    const QString type_list = joined(types);
    // The piece: the leading modems that fit one statement; those known to pass their limit are
    // read by their own seek.
    window_groups piece;
    QSet<uint32_t> taken_ids;
    QList<modem_range> seek;
    int taken = 0;
    for (const modem_range& r : ranges) {
        if (!taken_ids.contains(r.modem_id)) {
            if (taken > 0 && (piece.ids >= in_list_max || piece.chars + 256 > chunk_max_chars)) break;
            taken_ids.insert(r.modem_id);
            if (r.may_pass)
                seek << r;
            else
                piece.add(r.modem_id, type_list, r.ts_from, r.ts_to);
        }
        ++taken;
    }
    // In key order, so that a statement cut by its limit leaves its last modem and those after it
    // whole for the next one.
    QSet<uint32_t> whole, passing;
    for (const modem_range& r : qAsConst(seek))
        passing.insert(r.modem_id);
    if (!piece.groups.isEmpty()) {
        const QString select =
            QStringLiteral("SELECT * FROM %1 FORCE INDEX (PRIMARY) WHERE %2 ORDER BY %3 LIMIT %4")
                .arg(events ? QStringLiteral("modems_event") : QStringLiteral("modems_data"), piece.where(),
                     events ? QStringLiteral("modem_id, `type`, ts, `index`, `event`")
                            : QStringLiteral("modem_id, `type`, ts, `index`"))
                .arg(cap + 1);
        log_report_statement(select);
        QSqlQuery q(db);
        if (!run_query(q, select)) {
            done = taken; // no rows: the caller sees the failure through failed_reads()
            return out;
        }
        const QVariantList rows = row_maps(q);
        const QString modem_key = QStringLiteral("modem_id");
        const bool cut = rows.size() > cap;
        const uint32_t cut_at = cut ? rows.last().toMap().value(modem_key).toUInt() : 0;
        for (const QVariant& row : rows) {
            const uint32_t modem = row.toMap().value(modem_key).toUInt();
            if (!cut || modem < cut_at) out[modem] << row;
        }
        for (const window_groups::group& g : qAsConst(piece.groups))
            for (const uint32_t modem : g.ids)
                if (!cut || modem < cut_at) whole.insert(modem);
        // A modem whose rows filled the statement passes its limit.
        if (cut && rows.first().toMap().value(modem_key).toUInt() == cut_at) passing.insert(cut_at);
        for (auto it = out.cbegin(); it != out.cend(); ++it)
            if (uint32_t(it->size()) > limit) passing.insert(it.key());
    }
    whole += passing;
    while (done < taken && whole.contains(ranges.at(done).modem_id))
        ++done;
    if (done == 0) return rows_by_key(events, ranges.mid(0, 1), types, limit, max_rows, done, seek_part);
    // Past its limit: the modem's first rows in order are its own statement's.
    QList<modem_range> over;
    QSet<uint32_t> answered;
    for (int i = 0; i < done; ++i) {
        const modem_range& r = ranges.at(i);
        if (answered.contains(r.modem_id)) continue;
        answered.insert(r.modem_id);
        const auto got = out.find(r.modem_id);
        if (passing.contains(r.modem_id)) {
            if (got != out.end()) out.erase(got);
            over << r;
        } else if (got != out.end()) {
            merge_pieces(*got, events, uint32_t(got->size()));
        }
    }
    // The cut modem's rows are not whole.
    for (auto it = out.begin(); it != out.end();)
        it = answered.contains(it.key()) ? std::next(it) : out.erase(it);
    read_each_into(out, seek_part, over, events, limit, max_rows);
    return out;
}

QHash<uint32_t, QVariantList> SQL_Exchange::get_data_each(const QList<modem_range>& ranges,
                                                          QList<uint32_t> kinds, uint32_t limit, int max_rows,
                                                          int& done)
{
    done = ranges.size();
    if (ranges.isEmpty() || kinds.isEmpty()) return {};
    QList<uint32_t> types = data_types_of(kinds);
    if (limit > 1) {
        quint64 lo = ts_none, hi = 0;
        for (const modem_range& r : ranges) {
            lo = qMin<quint64>(lo, r.ts_from);
            hi = qMax<quint64>(hi, r.ts_to);
        }
        if (!types_held(types, lo, hi) || types.isEmpty()) return {};
    }
    const QString part = QStringLiteral("SELECT * FROM modems_data WHERE modem_id = %1 AND type in (") +
                         joined(types) + QStringLiteral(") ");
    if (limit > 1) return rows_by_key(false, ranges, types, limit, max_rows, done, part);
    return rows_each(part, ranges, true, limit, max_rows, done);
}

QHash<uint32_t, QVariantList> SQL_Exchange::get_events_each(const QList<modem_range>& ranges,
                                                            QList<uint32_t> types, uint32_t limit,
                                                            int max_rows, int& done)
{
    done = ranges.size();
    if (ranges.isEmpty() || types.isEmpty()) return {};
    if (limit > 1) {
        quint64 lo = ts_none, hi = 0;
        for (const modem_range& r : ranges) {
            lo = qMin<quint64>(lo, r.ts_from);
            hi = qMax<quint64>(hi, r.ts_to);
        }
        if (!types_held(types, lo, hi, true) || types.isEmpty()) return {};
    }
    const QString part = QStringLiteral("SELECT * FROM modems_event WHERE modem_id = %1 AND type in (") +
                         joined(types) + QStringLiteral(") ");
    if (limit > 1) return rows_by_key(true, ranges, types, limit, max_rows, done, part);
    return rows_each(part, ranges, true, limit, max_rows, done);
}

namespace {
const QString& reactive_clause()
{
    static const QString clause = QStringLiteral("(OBIS_3_8_1 is not null or OBIS_4_8_1 is not null or "
                                                 "OBIS_3_8_0 is not null or OBIS_4_8_0 is not null)");
    return clause;
}

// The steps around a window's end within which its neighbouring record is looked for first: an
// hour record, a day record, a few days; each reads the rows of its stretch.
constexpr quint64 near_steps[] = {3600, 86400 + 3600, 3 * 86400};
} // namespace

bool SQL_Exchange::run_seeks(const QStringList& parts,
                             const std::function<void(uint32_t, uint32_t, uint32_t)>& row)
{
    QString select;
    const auto flush = [&] {
        if (select.isEmpty()) return true;
        log_report_statement(select);
        QSqlQuery q(db);
        const bool ok = run_query(q, select);
        select.clear();
        if (!ok) return false;
        while (q.next())
            row(q.value(0).toUInt(), q.value(1).toUInt(), q.value(2).toUInt());
        return true;
    };
    for (const QString& part : parts) {
        if (!select.isEmpty() && select.size() + part.size() + 16 > chunk_max_chars && !flush()) return false;
        select += select.isEmpty() ? part : QStringLiteral(" UNION ALL ") + part;
    }
    return flush();
}

bool SQL_Exchange::reactive_ends(
    const QList<reactive_cond>& conds, bool oldest, bool learn, uint32_t ts,
    const std::function<void(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t)>& row)
{
    // The reactive rows of each modem's range, grouped on the primary key: one statement for a
    // piece of modems, each range read once.
    const QString end = learn ? (oldest ? QStringLiteral("MIN(IF(ts >= %1, ts, NULL))").arg(ts)
                                        : QStringLiteral("MAX(IF(ts <= %1, ts, NULL))").arg(ts))
                              : (oldest ? QStringLiteral("MIN(ts)") : QStringLiteral("MAX(ts)"));
    const auto run = [&](const window_groups& piece) {
        const QString select =
            QStringLiteral("SELECT modem_id, `type`, %1, MIN(ts), MAX(ts) FROM modems_data FORCE INDEX "
                           "(PRIMARY) WHERE (%2) AND %3 GROUP BY modem_id, `type`")
                .arg(end, piece.where(), reactive_clause());
        log_report_statement(select);
        QSqlQuery q(db);
        if (!run_query(q, select)) return false;
        while (q.next())
            row(q.value(0).toUInt(), q.value(1).toUInt(), q.isNull(2) ? ts_none : q.value(2).toUInt(),
                q.value(3).toUInt(), q.value(4).toUInt());
        return true;
    };
    window_groups piece;
    QSet<uint32_t> in_piece;
    for (const reactive_cond& c : conds) {
        if (!in_piece.contains(c.modem) &&
            (piece.ids >= in_list_max || piece.chars + 256 > chunk_max_chars)) {
            if (!run(piece)) return false;
            piece = window_groups();
            in_piece.clear();
        }
        in_piece.insert(c.modem);
        piece.add(c.modem, joined(c.types), c.lo, c.hi);
    }
    return piece.groups.isEmpty() || run(piece);
}

std::function<uint32_t()> SQL_Exchange::present = [] { return uint32_t(QDateTime::currentSecsSinceEpoch()); };

QHash<uint32_t, uint32_t> SQL_Exchange::energy_after_present(const QList<uint32_t>& modems,
                                                             const QList<uint32_t>& types, uint32_t ts)
{
    // Rows at or after a time not yet come are those of meters whose clock runs ahead: the (type,
    // ts) key holds them together, a few pages for the whole fleet, and each piece's modems are
    // told apart on the key's entries before any row is read. Neither the steps near `ts` nor a
    // modem's whole time would find more, and the registry's spans are not needed.
    QHash<uint32_t, uint32_t> out;
    QList<uint32_t> listed = modems; // each modem once
    std::sort(listed.begin(), listed.end());
    listed.erase(std::unique(listed.begin(), listed.end()), listed.end());
    for (int at = 0; at < listed.size(); at += in_list_max) {
        const QString select =
            QStringLiteral("SELECT modem_id, MIN(ts) FROM modems_data FORCE INDEX (type_ts) WHERE `type` in "
                           "(%1) AND ts >= %2 AND modem_id in (%3) AND %4 GROUP BY modem_id")
                .arg(joined(types))
                .arg(ts)
                .arg(id_list(listed.mid(at, in_list_max)), reactive_clause());
        log_report_statement(select);
        QSqlQuery q(db);
        if (!run_query(q, select)) return out; // the caller sees it through failed_reads()
        while (q.next())
            out.insert(q.value(0).toUInt(), q.value(1).toUInt());
    }
    return out;
}

QHash<uint32_t, uint32_t>
SQL_Exchange::get_ts_energy_within(const QHash<uint32_t, QPair<uint32_t, uint32_t>>& spans,
                                   QList<uint32_t> kinds)
{
    QHash<uint32_t, uint32_t> out;
    if (spans.isEmpty() || kinds.isEmpty()) return out;
    QList<uint32_t> types;
    for (const uint32_t type : energy_types_of(kinds))
        add_absent(types, type);
    quint64 lo = ts_none, hi = 0;
    for (const auto& span : spans) {
        lo = qMin<quint64>(lo, span.first);
        hi = qMax<quint64>(hi, span.second);
    }
    if (!types_held(types, lo, hi) || types.isEmpty()) return out;
    QList<uint32_t> listed = spans.keys(); // in key order, as the pieces read them
    std::sort(listed.begin(), listed.end());
    // The span's last hour first (the newest row is mostly there, one row read), then the rest
    // for the modems not found in it: a span's every row would be read for its maximum.
    const auto newest = [&](uint32_t modem, uint32_t, uint32_t t, uint32_t, uint32_t) {
        const auto held = out.find(modem);
        if (held == out.end())
            out.insert(modem, t);
        else if (t > *held)
            *held = t;
    };
    QList<reactive_cond> near, rest;
    for (const uint32_t modem : qAsConst(listed)) {
        const auto span = spans.value(modem);
        if (span.first > span.second) continue;
        const quint64 split = span.second - span.first > 3600 ? span.second - 3600 : span.first;
        near << reactive_cond{modem, types, split, span.second};
        if (split > span.first) rest << reactive_cond{modem, types, span.first, split - 1};
    }
    if (!reactive_ends(near, false, false, 0, newest)) return out;
    rest.erase(std::remove_if(rest.begin(), rest.end(),
                              [&](const reactive_cond& c) { return out.contains(c.modem); }),
               rest.end());
    reactive_ends(rest, false, false, 0, newest);
    return out;
}

QHash<uint32_t, uint32_t> SQL_Exchange::get_ts_energy_each(const QList<uint32_t>& modems,
                                                           QList<uint32_t> kinds, uint32_t ts, bool after)
{
    QHash<uint32_t, uint32_t> out;
    if (modems.isEmpty() || kinds.isEmpty()) return out;
    QList<uint32_t> types;
    for (const uint32_t type : energy_types_of(kinds))
        add_absent(types, type);
    if (after && ts >= present()) return energy_after_present(modems, types, ts);
    // Only the types the table holds on this side of `ts`.
    if (!types_held(types, after ? ts : 0, after ? ts_none : ts)) return out;
    if (types.isEmpty()) return out;
    // (No row at the unbounded time itself is told apart from none.)
    const auto better = [&](uint32_t modem, uint32_t t) {
        if (t == ts_none) return;
        const auto held = out.find(modem);
        if (held == out.end())
            out.insert(modem, t);
        else if (after ? t < *held : t > *held)
            *held = t;
    };
    const auto on_side = [&](const QPair<uint32_t, uint32_t>& span) {
        return after ? span.second >= ts : span.first <= ts;
    };
    RAM_modems* ram = RAM_modems::instance;
    const auto known = [&](const modem_record* rec, uint32_t type) {
        return rec && rec->reactive_known.contains(type);
    };
    // First near `ts`, in widening steps, each for the modems not found in the one before and in
    // one statement a piece; a modem is left out when the registry knows all its types and none
    // of their spans reaches this side.
    QList<uint32_t> listed;
    {
        QSet<uint32_t> seen;
        for (const uint32_t modem : modems) {
            if (seen.contains(modem)) continue;
            seen.insert(modem);
            const modem_record* rec = ram ? ram->find_modem(modem) : nullptr;
            bool may_have = false;
            for (const uint32_t type : qAsConst(types)) {
                if (!known(rec, type)) {
                    may_have = true;
                    break;
                }
                const auto span = rec->reactive.constFind(type);
                may_have = may_have || (span != rec->reactive.cend() && on_side(*span));
            }
            if (may_have) listed << modem;
        }
    }
    quint64 searched = 0; // the distance from `ts` already looked within
    for (const quint64 band : near_steps) {
        const quint64 lo = after ? quint64(ts) + searched + (searched ? 1 : 0) : (ts > band ? ts - band : 0);
        const quint64 hi = after ? qMin<quint64>(quint64(ts) + band, ts_none)
                                 : (searched ? (ts > searched ? ts - searched - 1 : 0) : ts);
        const bool empty = after ? lo > hi : (searched && ts <= searched);
        searched = band;
        if (empty) continue;
        QList<reactive_cond> near;
        for (const uint32_t modem : qAsConst(listed))
            if (!out.contains(modem)) near << reactive_cond{modem, types, lo, hi};
        if (near.isEmpty()) break;
        if (!reactive_ends(
                near, after, false, ts,
                [&](uint32_t modem, uint32_t, uint32_t t, uint32_t, uint32_t) { better(modem, t); }))
            return out;
    }
    // Further only for the modems not found there. Where the registry knows a modem's spans, the
    // span's end on this side is its record unless rows were removed since (then, as where `ts`
    // lies within a span, the span is read up to `ts`); the others are read once over all their
    // time, which teaches the registry their spans.
    QList<reactive_cond> points, within, learning;
    for (const uint32_t modem : qAsConst(listed)) {
        if (out.contains(modem)) continue;
        const modem_record* rec = ram ? ram->find_modem(modem) : nullptr;
        QList<uint32_t> unknown;
        for (const uint32_t type : qAsConst(types)) {
            if (!known(rec, type)) {
                unknown << type;
                continue;
            }
            const auto span = rec->reactive.constFind(type);
            if (span == rec->reactive.cend() || !on_side(*span)) continue;
            const uint32_t end = after ? span->first : span->second;
            if (after ? end >= ts : end <= ts)
                points << reactive_cond{modem, {type}, end, end};
            else
                within << reactive_cond{modem, {type}, after ? ts : span->first, after ? span->second : ts};
        }
        if (!unknown.isEmpty()) learning << reactive_cond{modem, unknown, 0, ts_none};
    }
    QSet<quint64> confirmed; // modem << 32 | type
    if (!reactive_ends(points, after, false, ts,
                       [&](uint32_t modem, uint32_t type, uint32_t t, uint32_t, uint32_t) {
                           confirmed.insert(quint64(modem) << 32 | type);
                           better(modem, t);
                       }))
        return out;
    for (const reactive_cond& p : qAsConst(points))
        if (!confirmed.contains(quint64(p.modem) << 32 | p.types.first())) {
            // Its end was removed: the span is read up to it (spans stay wider, never narrower,
            // since a row the intake has queued may not be written yet).
            const modem_record* rec = ram->find_modem(p.modem);
            const auto span = rec->reactive.value(p.types.first());
            within << reactive_cond{p.modem, p.types, span.first, span.second};
        }
    if (!reactive_ends(within, after, false, ts,
                       [&](uint32_t modem, uint32_t, uint32_t t, uint32_t, uint32_t) { better(modem, t); }))
        return out;
    if (!reactive_ends(learning, after, true, ts,
                       [&](uint32_t modem, uint32_t type, uint32_t t, uint32_t first, uint32_t last) {
                           better(modem, t);
                           if (modem_record* rec = ram ? ram->find_modem(modem) : nullptr)
                               rec->note_reactive(type, first, last);
                       }))
        return out;
    for (const reactive_cond& c : qAsConst(learning))
        if (modem_record* rec = ram ? ram->find_modem(c.modem) : nullptr)
            for (const uint32_t type : c.types)
                rec->reactive_known.insert(type);
    return out;
}

QList<energy_record> SQL_Exchange::get_energy_profile(QList<uint32_t> modems, QList<int> types,
                                                      uint32_t ts_from, uint32_t ts_to)
{
    QList<energy_record> out;
    if (types.isEmpty()) return out;
    // None: all modems.
    const QStringList pieces = modems.isEmpty() ? QStringList{QString()} : id_pieces(modems, chunk_max_chars);
    for (const QString& piece : pieces) {
        QString select =
            QStringLiteral(
                "SELECT modem_id, type, ts, `index`, OBIS_1_6_0, OBIS_1_8_0, OBIS_1_8_1, OBIS_1_8_2, "
                "OBIS_1_8_3, OBIS_1_8_4, OBIS_2_8_0, OBIS_2_8_1, OBIS_2_8_2, OBIS_2_8_3, OBIS_2_8_4 FROM "
                "modems_data WHERE type in (%1) ")
                .arg(joined(types));
        if (!piece.isEmpty()) select += QStringLiteral("AND modem_id in (%1) ").arg(piece);
        select += time_range(ts_from, ts_to) + QStringLiteral("order by ts");
        log_diagnostics_statement(select);
        QSqlQuery q(db);
        if (!run_query(q, select)) return out;
        // Columns 5.. of the statement: 1.8.0..1.8.4, then 2.8.0..2.8.4.
        static const uint32_t codes[] = {10, 11, 12, 13, 14, 20, 21, 22, 23, 24};
        while (q.next()) {
            energy_record rec;
            rec.modem_id = q.value(0).toUInt();
            rec.type = q.value(1).toUInt();
            rec.ts = q.value(2).toUInt();
            rec.index = q.value(3).toUInt();
            rec.OBIS_1_6_0 = q.value(4).toFloat();
            for (int i = 0; i < 10; ++i)
                if (!q.isNull(5 + i)) rec.values.insert(codes[i], q.value(5 + i).toFloat());
            if (!rec.values.isEmpty()) out << rec;
        }
    }
    if (pieces.size() > 1)
        std::stable_sort(out.begin(), out.end(),
                         [](const energy_record& a, const energy_record& b) { return a.ts < b.ts; });
    return out;
}

Parser_ul_app SQL_Exchange::get_last_curr(uint32_t modem_id)
{
    Parser_ul_app out;
    const QString select =
        QStringLiteral("SELECT * FROM modems_data WHERE modem_id = %1 AND type = 64 AND OBIS_ext is not "
                       "null order by ts desc limit 1")
            .arg(modem_id);
    QSqlQuery q(db);
    if (!run_query(q, select) || !q.next()) return out;
    Ul_data_record rec(254, q.value(QStringLiteral("ts")).toUInt(), 0, 65535);
    for (const QString& column : last_curr_columns()) {
        const QVariant v = q.value(column);
        if (!v.isNull()) rec.values.insert(code_of_column(column), v.toFloat());
    }
    // The relay state lives only in the JSON of all values; absent counts as 0.
    const QJsonObject ext =
        QJsonDocument::fromJson(text_of(q.value(QStringLiteral("OBIS_ext"))).toUtf8()).object();
    rec.values.insert(obis_make_cde(96, 3, 0),
                      ext.value(QStringLiteral("0000600300FF")).toVariant().toUInt());
    rec.values.insert(obis_make_cde(96, 3, 1),
                      ext.value(QStringLiteral("0000600301FF")).toVariant().toUInt());
    out.modem_id = modem_id;
    out.ul_datas << rec;
    return out;
}

QVariantMap SQL_Exchange::arch_to_map(const Ul_data_record& rec)
{
    QVariantMap out{{QStringLiteral("index"), int(rec.index)},
                    {QStringLiteral("index_max"), int(rec.index_max)},
                    {QStringLiteral("ts"), uint(rec.ts)},
                    {QStringLiteral("type"), int(rec.type)}};
    for (auto it = rec.values.cbegin(); it != rec.values.cend(); ++it)
        out.insert(obis_to_column(it.key()), it.value());
    return out;
}

QVariantMap SQL_Exchange::get_events_by_time(uint32_t ts_from, uint32_t ts_to, uint32_t limit)
{
    QVariantMap out;
    QString select = QStringLiteral("SELECT * FROM modems_event WHERE ts >= %1 ").arg(ts_from);
    if (ts_to != ts_none) select += QStringLiteral("AND ts <= %1 ").arg(ts_to);
    select += newest_first(limit);
    log_diagnostics_statement(select);
    QSqlQuery q(db);
    if (!run_query(q, select)) return out;
    while (q.next()) {
        const QString modem = QString::number(q.value(QStringLiteral("modem_id")).toUInt());
        const QString key = QStringLiteral("%1_%2")
                                .arg(q.value(QStringLiteral("type")).toUInt())
                                .arg(q.value(QStringLiteral("event")).toUInt());
        QVariantMap inner = out.value(modem).toMap();
        QVariantList times = inner.value(key).toList();
        times << uint(q.value(QStringLiteral("ts")).toUInt());
        inner.insert(key, times);
        out.insert(modem, inner);
    }
    return out;
}

QVariantList SQL_Exchange::get_events(QList<uint32_t> modems, QList<uint32_t> types, uint32_t ts_from,
                                      uint32_t ts_to, uint32_t limit)
{
    if (modems.isEmpty() || types.isEmpty()) return {};
    const QString select =
        QStringLiteral("SELECT * FROM modems_event WHERE modem_id in (%1) AND type in (%2) ")
            .arg(joined(modems), joined(types)) +
        time_range(ts_from, ts_to) + newest_first(limit);
    LOG_DBG << log_cut(select);
    QSqlQuery q(db);
    if (!run_query(q, select)) return {};
    return row_maps(q);
}

QVariantList SQL_Exchange::get_events(uint32_t modem_id, uint32_t type, uint32_t ts_from, uint32_t ts_to,
                                      uint32_t limit)
{
    return get_events(QList<uint32_t>{modem_id}, QList<uint32_t>{type}, ts_from, ts_to, limit);
}

QVariantList SQL_Exchange::get_events(uint32_t modem_id, QList<uint32_t> types, uint32_t ts_from,
                                      uint32_t ts_to, uint32_t limit)
{
    return get_events(QList<uint32_t>{modem_id}, types, ts_from, ts_to, limit);
}

QVariantList SQL_Exchange::get_incoming(uint32_t id_from, int32_t id_to)
{
    QVariantList out;
    const qint64 upper = id_to == 0 ? qint64(id_from) + 100000 : qint64(id_to);
    const QString select =
        QStringLiteral("SELECT * FROM incoming WHERE id >= %1 AND id <= %2 order by id limit 100000")
            .arg(id_from)
            .arg(upper);
    QSqlQuery q(db);
    if (!run_query(q, select)) return out;
    while (q.next()) {
        out << QVariantMap{
            {QStringLiteral("id"), q.value(QStringLiteral("id")).toLongLong()},
            {QStringLiteral("modem_id"),
             text_of(q.value(QStringLiteral("modem_id"))).trimmed().toLongLong(nullptr, 16)},
            {QStringLiteral("payload"), text_of(q.value(QStringLiteral("data")))},
            {QStringLiteral("time_detected"), q.value(QStringLiteral("event_time")).toLongLong()}};
    }
    return out;
}
