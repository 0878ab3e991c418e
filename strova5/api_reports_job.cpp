// Reports of many modems in slices.
#include "api_reports_job.h"

#include "api_controller.h"
#include "log_limiter.h"
#include "logger.h"
#include "ram_modems.h"

#include <chrono>

namespace {

// One line per report, whatever its size or fate: clients that repeat reports are counted
// beyond a burst.
log_limiter& report_lines()
{
    static log_limiter lim(QStringLiteral("report"), LVL_NTC, 50, 1000);
    return lim;
}

// The main thread's waits for the writer and the link so far.
qint64 link_waits()
{
    return SQL_Exchange::instance ? SQL_Exchange::instance->link_waits_ms() : 0;
}

} // namespace

QString report_job::too_long_text(qint64 ms, const char* of_what)
{
    return QStringLiteral(
               "report too long: not built within %1 s%2; ask for fewer modems or a shorter period")
        .arg(ms / 1000)
        .arg(QLatin1String(of_what));
}

std::function<qint64()> report_job::clock = [] {
    return qint64(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
};

report_job::report_job(QString route_, QList<uint32_t> modems_, QString range_)
    : route(std::move(route_)), modems(std::move(modems_)), total(modems.size()),
      unit(QStringLiteral("modems")), range(std::move(range_)), started(clock())
{
    counting = total > 0;
}

report_job::report_job(QString route_, int units, QString unit_, QString range_)
    : route(std::move(route_)), total(qMax(0, units)), unit(std::move(unit_)), range(std::move(range_)),
      started(clock())
{
    counting = total > 0;
}

bool report_job::bound_to_pass() const
{
    // Judged once enough rows stand in the answer to tell their size; a tenth of room is left
    // for the rows that come out smaller than those so far.
    if (counted <= 0 || answered < 1000 || counted <= answered) return false;
    const double per_row = double(out.size()) / double(answered);
    return double(out.size()) + double(counted - answered) * per_row > double(answer_max) * 1.1;
}

bool report_job::step()
{
    if (done) return true;
    ++slices_had;
    // The report's own statements and building count, not the main thread's waits meanwhile
    // for the writer or the link.
    const qint64 slice_start = clock(), slice_waits = link_waits();
    const auto worked = [&] { return qMax<qint64>(0, clock() - slice_start - (link_waits() - slice_waits)); };
    if (!prepare(slice_start)) {
        busy_ms += worked();
        return done;
    }
    while (next < total) {
        const qint64 piece_start = clock(), piece_waits = link_waits();
        int served = 0;
        if (counting) {
            counted += count(next, want, served);
            if (done) return true; // a read failed
            served = qMax(1, served);
            // A report known to be too large is refused at once, not counted to its end.
            if (counted * row_bytes() > answer_max) {
                busy_ms += worked();
                refuse_too_large();
                return true;
            }
            if (next + served >= total) {
                counting = false;
                next = resume_at;
                continue;
            }
        } else {
            served = qMax(1, serve(next, want));
            if (done) return true; // a read failed
        }
        next += served;
        // As many modems a piece as fit a quarter of a slice: a report of many small modems
        // takes few statements, one of big modems few rows at a time.
        const qint64 ms = qMax<qint64>(0, clock() - piece_start - (link_waits() - piece_waits));
        if (ms < slice_ms / 4 && served >= want)
            want = qMin(want * 2, max_want);
        else if (ms > slice_ms / 2)
            want = qMax(want / 2, 1);
        // Read without a count: where the modems served so far foresee more than the bound, the
        // rest is counted after all, so that the report is refused before it is built (the
        // estimate said it fits, and an uneven fleet may still fit: only the count refuses).
        if (!counting && !recounted && counted <= 0 && answered >= 1000 &&
            next<total&& double(out.size()) * double(total) / double(next)> double(answer_max) * 1.1 &&
            count_again()) {
            recounted = true;
            resume_at = next;
            next = 0;
            counting = true;
        }
        if (out.size() > answer_max || (!counting && bound_to_pass())) {
            busy_ms += worked();
            refuse_too_large();
            return true;
        }
        if (busy_ms + worked() > time_max_ms) {
            busy_ms += worked();
            refuse(503, too_long_text(time_max_ms, ""), "too long");
            return true;
        }
        // A piece like the last would take the slice past its time: it goes to the next slice.
        if (worked() + ms > slice_ms) break;
    }
    busy_ms += worked();
    if (!counting && next >= total) {
        QVariant answer = conclude();
        if (answer.userType() == qMetaTypeId<api_json_text>() &&
            answer.value<api_json_text>().json.size() > answer_max) {
            refuse_too_large();
            return true;
        }
        finish(std::move(answer), nullptr);
    }
    return done;
}

QList<modem_range> report_job::ranges_of(int from, int want, uint32_t ts_from, uint32_t ts_to) const
{
    QList<modem_range> out;
    for (int i = from; i < modems.size() && out.size() < want; ++i)
        out << modem_range{modems.at(i), ts_from, ts_to};
    return out;
}

void report_job::read_failed(const QString& statement, const QString* busy_table)
{
    if (done) return;
    // A table locked elsewhere passes: the client is told so and to come back, no outage is said.
    // Only a read refused for that table, or one that met the lock's bound: a read lost to the
    // link meanwhile is no busy table.
    const SQL_Exchange* storage = SQL_Exchange::instance;
    const QString busy = busy_table                                            ? *busy_table
                         : storage && storage->last_failed_read() == statement ? storage->last_failed_busy()
                                                                               : QString();
    if (!busy.isEmpty()) {
        refuse(503, SQL_Exchange::busy_text(busy), "database busy");
        return;
    }
    static log_limiter lim(QStringLiteral("report read not answered"), LVL_EXC, 5, 60000);
    if (lim.pass(LVL_EXC))
        LOG_EXC << qPrintable(QStringLiteral("report %1: database not answering, the report is refused: %2")
                                  .arg(route, log_cut(statement, 256)));
    finish(QVariant::fromValue(api_refusal{503, QStringLiteral("database not answering")}),
           "database not answering");
}

void report_job::refuse_too_large()
{
    refuse(413,
           QStringLiteral("report too large: its answer would pass %1 MiB; ask for fewer modems or a "
                          "shorter period")
               .arg(answer_max >> 20),
           "too large");
}

void report_job::refuse(int status, const QString& text, const char* why)
{
    finish(QVariant::fromValue(api_refusal{status, text}), why);
}

QVariant report_job::run()
{
    while (!step()) {
    }
    return result;
}

QString report_job::summary() const
{
    // A report given up while it is counted says what the count foresaw, not the empty answer.
    const bool foreseen = counting && counted > 0;
    const qint64 bytes = result.userType() == qMetaTypeId<api_json_text>()
                             ? result.value<api_json_text>().json.size()
                             : (foreseen ? counted * row_bytes() : out.size());
    return QStringLiteral("%1 %2, %3, %4 rows%5, %6 bytes%7, %8 ms")
        .arg(total)
        .arg(unit)
        .arg(range)
        .arg(foreseen ? counted : rows)
        .arg(foreseen ? QStringLiteral(" counted") : QString())
        .arg(bytes)
        .arg(foreseen ? QStringLiteral(" at least") : QString())
        .arg(clock() - started);
}

void report_job::finish(QVariant answer, const char* refused)
{
    done = true;
    result = std::move(answer);
    if (refused) {
        // What the client was told, why, whom and of what: no answer was built, so no rows or
        // bytes. The same text for many reasons (the runner's 503) is told apart by the why.
        const api_refusal told = result.value<api_refusal>();
        if (report_lines().pass(LVL_WRN)) {
            const QLatin1String why(refused);
            QString about = told.text.isEmpty() || told.text == why ? QString() : why;
            if (!caller.isEmpty())
                about += (about.isEmpty() ? QStringLiteral("for ") : QStringLiteral(", for ")) + caller;
            if (!about.isEmpty()) about += QStringLiteral("; ");
            LOG_WRN << qPrintable(QStringLiteral("report %1 refused (%2): %3 (%4%5 %6, %7, %8 ms)")
                                      .arg(route)
                                      .arg(told.status)
                                      .arg(told.text.isEmpty() ? why : told.text, about)
                                      .arg(total)
                                      .arg(unit, range)
                                      .arg(clock() - started));
        }
        return;
    }
    if (report_lines().pass(LVL_NTC))
        LOG_NTC << qPrintable(
            QStringLiteral("report %1: %2 (%3 ms working)").arg(route, summary()).arg(busy_ms));
}

void report_job::abandon()
{
    if (done) return;
    done = true;
    if (report_lines().pass(LVL_NTC))
        LOG_NTC << qPrintable(QStringLiteral("report %1 given up, its client left: %2 (%3 ms working)")
                                  .arg(route, summary())
                                  .arg(busy_ms));
}
