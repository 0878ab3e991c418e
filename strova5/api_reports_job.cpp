// Reports of many modems in slices, and the turns the main thread gives them.
#include "api_controller.h"
#include "api_reports.h"
#include "log_limiter.h"
#include "logger.h"

#include <QTimer>

report_job::report_job(QString route_, QList<uint32_t> modems_, QString range_)
    : route(std::move(route_)), modems(std::move(modems_)), range(std::move(range_))
{
    counting = !modems.isEmpty();
    started.start();
}

bool report_job::step()
{
    if (done) return true;
    QElapsedTimer slice;
    slice.start();
    if (!prepare(slice)) {
        busy_ms += slice.elapsed();
        return done;
    }
    while (next < modems.size()) {
        QElapsedTimer piece;
        piece.start();
        int served = 0;
        if (counting) {
            counted += count(next, want, served);
            if (done) return true; // a read failed
            served = qMax(1, served);
            if (next + served >= modems.size()) {
                counting = false;
                next = 0;
                if (counted * row_bytes_min > answer_max) {
                    rows = counted;
                    busy_ms += slice.elapsed();
                    refuse_too_large();
                    return true;
                }
                continue;
            }
        } else {
            served = qMax(1, serve(next, want));
            if (done) return true; // a read failed
        }
        next += served;
        // As many modems a piece as fit a quarter of a slice: a report of many small modems
        // takes few statements, one of big modems few rows at a time.
        const qint64 ms = piece.elapsed();
        if (ms < slice_ms / 4 && served >= want)
            want = qMin(want * 2, max_want);
        else if (ms > slice_ms / 2)
            want = qMax(want / 2, 1);
        if (out.size() > answer_max) {
            busy_ms += slice.elapsed();
            refuse_too_large();
            return true;
        }
        if (started.elapsed() > time_max_ms) {
            busy_ms += slice.elapsed();
            finish(QVariant::fromValue(api_refusal{
                       503, QStringLiteral("report too long: not built within %1 s; ask for fewer modems "
                                           "or a shorter period")
                                .arg(time_max_ms / 1000)}),
                   "too long");
            return true;
        }
        if (slice.elapsed() >= slice_ms) break;
    }
    busy_ms += slice.elapsed();
    if (!counting && next >= modems.size()) finish(out.finish(), nullptr);
    return done;
}

QList<modem_range> report_job::ranges_of(int from, int want, uint32_t ts_from, uint32_t ts_to) const
{
    QList<modem_range> out;
    for (int i = from; i < modems.size() && out.size() < want; ++i)
        out << modem_range{modems.at(i), ts_from, ts_to};
    return out;
}

void report_job::read_failed(const QString& statement)
{
    if (done) return;
    static log_limiter lim(QStringLiteral("report read not answered"), LVL_EXC, 5, 60000);
    if (lim.pass(LVL_EXC))
        LOG_EXC << qPrintable(QStringLiteral("report %1: database not answering, the report is refused: %2")
                                  .arg(route, log_cut(statement, 256)));
    finish(QVariant::fromValue(api_refusal{503, QStringLiteral("database not answering")}),
           "database not answering");
}

void report_job::refuse_too_large()
{
    finish(
        QVariant::fromValue(api_refusal{413, QStringLiteral("report too large: its answer would pass %1 MiB; "
                                                            "ask for fewer modems or a shorter period")
                                                 .arg(answer_max >> 20)}),
        "too large");
}

QVariant report_job::run()
{
    while (!step()) {
    }
    return result;
}

void report_job::finish(QVariant answer, const char* refused)
{
    done = true;
    result = std::move(answer);
    // One line per report, whatever its size: clients that repeat reports are counted beyond a
    // burst.
    static log_limiter lim(QStringLiteral("report"), LVL_NTC, 50, 1000);
    const qint64 bytes = result.userType() == qMetaTypeId<api_json_text>()
                             ? result.value<api_json_text>().json.size()
                             : out.size();
    const QString what = QStringLiteral("%1 modems, %2, %3 rows, %4 bytes, %5 ms")
                             .arg(modems.size())
                             .arg(range)
                             .arg(rows)
                             .arg(bytes)
                             .arg(started.elapsed());
    if (refused) {
        if (lim.pass(LVL_WRN))
            LOG_WRN << qPrintable(
                QStringLiteral("report %1 refused, %2: %3").arg(route, QLatin1String(refused), what));
        return;
    }
    if (lim.pass(LVL_NTC))
        LOG_NTC << qPrintable(QStringLiteral("report %1: %2 (%3 ms working)").arg(route, what).arg(busy_ms));
}

bool report_runner::scheduled = false;

std::deque<report_runner::entry>& report_runner::jobs()
{
    static std::deque<entry> list;
    return list;
}

bool report_runner::full()
{
    return int(jobs().size()) >= max_running;
}

void report_runner::take(std::unique_ptr<report_job> job, std::function<bool()> alive,
                         std::function<void(const QVariant&)> done)
{
    jobs().push_back(entry{std::move(job), std::move(alive), std::move(done)});
    if (!scheduled) {
        scheduled = true;
        QTimer::singleShot(0, [] { turn(); });
    }
}

void report_runner::turn()
{
    scheduled = false;
    if (jobs().empty()) return;
    entry e = std::move(jobs().front());
    jobs().pop_front();
    if (e.alive()) {
        if (e.job->step())
            e.done(e.job->answer());
        else
            jobs().push_back(std::move(e));
    }
    if (!jobs().empty()) {
        scheduled = true;
        QTimer::singleShot(0, [] { turn(); });
    }
}
