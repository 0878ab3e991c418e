// The history report over a large archive: 100 modems x 10,000 hour rows with tariff registers,
// the report for 10 modems over the whole period (100,000 rows) through curl, next to the same
// rows read bare through QSqlQuery (forward-only, every value read) in the same run; the ratio of
// the two times and the daemon's memory growth during the report against the size of its answer.
// Four such reports of four callers at once against the same four one after another, and the
// memory the four take together per byte of their answers.
// Then an aged database (100,000 modems more, of ten readings each): the history of all of them
// and the list of modems, each next to its statements bare, with the longest wait of a probe that
// asks /api/info every 200 ms meanwhile.
//
//   bench_reports [modems_in_report]      (default 10; starts and stops its own MariaDB)
#include "aged_tables.h"
#include "api_daemon.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

const QString script = QStringLiteral(STROVA_SOURCE_DIR "/tests/support/services.sh");
constexpr int k_modems = 100;
constexpr int k_rows = 10000;
constexpr uint32_t k_start = 1599998400; // a whole hour
constexpr uint32_t k_aged_first = 1000000;
constexpr int k_aged_modems = 100000;

QByteArray fetch(const QString& url, const QString& token)
{
    QProcess curl;
    curl.start("curl", {"-s", "--max-time", "600", "-b", "TARVIK_JWT=" + token, url});
    curl.waitForFinished(620000);
    return curl.readAllStandardOutput();
}

// A field of /proc/PID/status in KiB.
qint64 status_kib(qint64 pid, const char* field)
{
    QFile f(QString("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// Runs the statements forward-only, every value read: rows and non-NULL values.
QPair<qint64, qint64> bare(QSqlDatabase& db, const QStringList& statements)
{
    qint64 rows = 0, values = 0;
    for (const QString& s : statements) {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (!q.exec(s)) {
            std::fprintf(stderr, "reference: %s\n", qPrintable(q.lastError().text()));
            continue;
        }
        const int columns = q.record().count();
        while (q.next()) {
            ++rows;
            for (int c = 0; c < columns; ++c)
                values += q.value(c).isNull() ? 0 : 1;
        }
    }
    return {rows, values};
}

// A request through curl (a form post when fields are given) with the event loop, and so the
// probe, running; the body.
QByteArray post(const QString& url, const QString& token, const QStringList& fields)
{
    QProcess curl;
    QStringList args{"-s", "--max-time", "600", "-b", "TARVIK_JWT=" + token};
    for (const QString& f : fields)
        args << "-F" << f;
    curl.start("curl", args << url);
    (void)QTest::qWaitFor([&] { return curl.state() == QProcess::NotRunning; }, 620000);
    return curl.readAllStandardOutput();
}

// The best of `n` runs of `f`, in seconds.
template <typename F> double best_of(int n, F f)
{
    double best = 1e9;
    for (int i = 0; i < n; ++i) {
        QElapsedTimer t;
        t.start();
        f();
        best = qMin(best, double(t.nsecsElapsed()) / 1e9);
    }
    return best;
}

bool seed(QSqlDatabase& db)
{
    QSqlQuery q(db);
    for (int m = 1; m <= k_modems; ++m) {
        for (int chunk = 0; chunk < k_rows; chunk += 1000) {
            QString sql =
                "INSERT INTO modems_data (modem_id, ts, ts_get, type, `index`, OBIS_1_6_0, OBIS_1_8_0, "
                "OBIS_1_8_1, OBIS_1_8_2, OBIS_1_8_3, OBIS_1_8_4, OBIS_2_8_0, OBIS_2_8_1, OBIS_2_8_2, "
                "OBIS_2_8_3, OBIS_2_8_4, OBIS_3_8_0, OBIS_4_8_0) VALUES ";
            for (int i = chunk; i < chunk + 1000; ++i) {
                const uint32_t ts = k_start + uint32_t(i) * 3600;
                const double e = 1000.0 + i * 0.75 + m;
                sql += QString("%1(%2,%3,%4,66,%5,%6,%7,%8,%9,%10,%11,%12,%13,%14,%15,%16,%17,%18)")
                           .arg(i == chunk ? "" : ",")
                           .arg(m)
                           .arg(ts)
                           .arg(ts + 120)
                           .arg(i % 65535)
                           .arg(0.5 + (i % 7) * 0.1)
                           .arg(e)
                           .arg(e * 0.4)
                           .arg(e * 0.3)
                           .arg(e * 0.2)
                           .arg(e * 0.1)
                           .arg(e / 10)
                           .arg(e / 40)
                           .arg(e / 40)
                           .arg(e / 40)
                           .arg(e / 40)
                           .arg(e / 3)
                           .arg(e / 9);
            }
            if (!q.exec(sql)) {
                std::fprintf(stderr, "seed: %s\n", qPrintable(q.lastError().text()));
                return false;
            }
        }
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int report_modems = argc > 1 ? QString(argv[1]).toInt() : 10;
    QTemporaryDir state(QStringLiteral("/tmp/stbrep.XXXXXX"));
    if (QProcess::execute(script, {"start", state.path(), "mysql"}) != 0) {
        std::fprintf(stderr, "services did not start\n");
        return 1;
    }
    const auto env = testsupport::read_env_file(state.path() + "/services.env");
    int rc = 0;
    {
        QSqlDatabase db = testsupport::open_database("bench", env["STROVA_MYSQL_DB"], env);
        QString error;
        QElapsedTimer seeding;
        seeding.start();
        if (!db.isOpen() || !testsupport::run_sql_file(db, STROVA_SOURCE_DIR "/sql/schema.sql", &error) ||
            !seed(db)) {
            std::fprintf(stderr, "no database or schema: %s %s\n", qPrintable(db.lastError().text()),
                         qPrintable(error));
            rc = 1;
        }
        std::printf("seeded %d rows in %.1f s\n", k_modems * k_rows, double(seeding.elapsed()) / 1000);

        QTemporaryDir dir;
        QFile::copy(testsupport::daemon_path(), dir.path() + "/driver_strova5");
        const quint16 port = testsupport::free_port();
        const QVariantMap sql = testsupport::db_config(env, env["STROVA_MYSQL_DB"]);
        QFile cfg(dir.path() + "/cfg.json");
        cfg.open(QIODevice::WriteOnly);
        cfg.write(QJsonDocument::fromVariant(
                      QVariantMap{{"log_level", 4}, {"sql", sql}, {"api", QVariantMap{{"port", port}}}})
                      .toJson());
        cfg.close();

        QProcess daemon;
        daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (!rc) {
            daemon.start(dir.path() + "/driver_strova5",
                         {"-c", cfg.fileName(), "-l", dir.path() + "/log/drv.log"});
            daemon.waitForStarted(5000);
        }
        const QString base = QString("http://127.0.0.1:%1").arg(port);
        for (int i = 0; !rc && i < 100 && fetch(base + "/api/info", {}).isEmpty(); ++i)
            QThread::msleep(100);
        const QString token =
            testsupport::mint_tokens(
                {QString(R"({"payload": {"exp": %1, "claims": {"driver-strova5": {"user": 1}}}})")
                     .arg(QDateTime::currentSecsSinceEpoch() + 3600)})
                .value(0);

        if (!rc && daemon.state() != QProcess::Running) {
            std::fprintf(stderr, "the daemon did not run (exit %d, %s)\n", daemon.exitCode(),
                         qPrintable(daemon.errorString()));
            for (const QString& name : QDir(dir.path() + "/log").entryList({"*.log"})) {
                QFile f(dir.path() + "/log/" + name);
                if (f.open(QIODevice::ReadOnly))
                    std::fprintf(stderr, "%s\n", f.readAll().right(3000).constData());
            }
            rc = 1;
        }
        if (!rc) {
            QStringList modems;
            for (int m = 1; m <= report_modems; ++m)
                modems << QString::number(m);
            const QString url =
                QString("%1/api/report/history?modem=%2&profile=1.0.99.1.0.255&timefrom=%3&timeto=%4")
                    .arg(base, modems.join(","))
                    .arg(k_start)
                    .arg(k_start + uint32_t(k_rows) * 3600);
            const qint64 pid = daemon.processId();
            // Resets the peak so that it counts this report only.
            QFile refs(QString("/proc/%1/clear_refs").arg(pid));
            if (refs.open(QIODevice::WriteOnly)) refs.write("5");
            refs.close();
            const qint64 before = status_kib(pid, "VmRSS:");
            // STROVA_PERF=1: the report runs under perf record (perf.data in the working directory).
            QProcess perf;
            if (qEnvironmentVariableIsSet("STROVA_PERF")) {
                perf.start("perf", {"record", "-g", "-p", QString::number(pid), "-o", "perf.data"});
                perf.waitForStarted(5000);
                QThread::msleep(1000);
            }
            QElapsedTimer t;
            t.start();
            const QByteArray answer = fetch(url, token);
            const double report_s = double(t.nsecsElapsed()) / 1e9;
            const qint64 peak = status_kib(pid, "VmHWM:");
            if (perf.state() != QProcess::NotRunning) {
                ::kill(pid_t(perf.processId()), SIGINT);
                perf.waitForFinished(30000);
            }
            qint64 meterings = 0;
            for (const QVariant& e : QJsonDocument::fromJson(answer).toVariant().toList())
                meterings += e.toMap().value("meterings").toList().size();

            // The same rows, one statement a modem as the report reads them, bare.
            QStringList statements;
            for (int m = 1; m <= report_modems; ++m)
                statements
                    << QString(
                           "SELECT * FROM modems_data WHERE modem_id = %1 AND type in (66,50,15,68,49,14) "
                           "AND ts >= %2 AND ts <= %3 order by ts, `type` desc limit 10000")
                           .arg(m)
                           .arg(k_start / 86400 * 86400)
                           .arg((k_start + uint32_t(k_rows) * 3600) / 86400 * 86400 + 86400);
            t.restart();
            const auto [rows, values] = bare(db, statements);
            const double bare_s = double(t.nsecsElapsed()) / 1e9;
            const double growth_kib = double(peak - before);
            const double answer_kib = double(answer.size()) / 1024;
            std::printf("report over %d modems: %lld meterings, answer %.1f MiB, %.2f s through curl\n",
                        report_modems, meterings, answer_kib / 1024, report_s);
            std::printf("bare statements (%d): %lld rows, %lld values read, %.2f s (reference)\n",
                        int(statements.size()), rows, values, bare_s);
            std::printf("time ratio %.2f (target at most 3)\n", bare_s > 0 ? report_s / bare_s : 0.0);
            std::printf("daemon memory: %.1f MiB before, peak %.1f MiB, growth %.1f MiB = %.2f x the answer "
                        "(target at most 3)\n",
                        double(before) / 1024, double(peak) / 1024, growth_kib / 1024,
                        answer_kib > 0 ? growth_kib / answer_kib : 0.0);

            // Four reports of as many callers at once, against the same four one after another:
            // sharing the main thread costs the four together no more than their sum. The stored
            // rows as they are (history_orig) beside the history: memory per answer byte of each.
            QStringList four_tokens;
            for (int i = 0; i < 4; ++i)
                four_tokens
                    << testsupport::mint_tokens(
                           {QString(R"({"payload": {"exp": %1, "claims": {"driver-strova5": {"user": %2}}}})")
                                .arg(QDateTime::currentSecsSinceEpoch() + 3600)
                                .arg(i + 2)})
                           .value(0);
            for (const char* route : {"history", "history_orig"}) {
                QStringList four_urls;
                for (int i = 0; i < 4; ++i) {
                    QStringList ids;
                    for (int m = 1 + i * report_modems; m <= (i + 1) * report_modems; ++m)
                        ids << QString::number((m - 1) % k_modems + 1);
                    four_urls << QString("%1/api/report/%2?modem=%3&profile=1.0.99.1.0.255&timefrom=%4&timeto=%5")
                                     .arg(base, route, ids.join(","))
                                     .arg(k_start)
                                     .arg(k_start + uint32_t(k_rows) * 3600);
                }
                t.restart();
                for (int i = 0; i < 4; ++i)
                    fetch(four_urls.at(i), four_tokens.at(i));
                const double apart_s = double(t.nsecsElapsed()) / 1e9;
                if (refs.open(QIODevice::WriteOnly)) refs.write("5");
                refs.close();
                const qint64 four_before = status_kib(pid, "VmRSS:");
                std::vector<std::unique_ptr<QProcess>> together;
                t.restart();
                for (int i = 0; i < 4; ++i) {
                    together.push_back(std::make_unique<QProcess>());
                    together.back()->start("curl", {"-s", "--max-time", "600", "-b",
                                                    "TARVIK_JWT=" + four_tokens.at(i), four_urls.at(i)});
                }
                qint64 four_bytes = 0;
                for (auto& p : together) {
                    p->waitForFinished(620000);
                    four_bytes += p->readAllStandardOutput().size();
                }
                const double together_s = double(t.nsecsElapsed()) / 1e9;
                const double four_growth_kib = double(status_kib(pid, "VmHWM:") - four_before);
                std::printf("four %s reports of %d modems: at once %.2f s, one after another %.2f s; ratio "
                            "%.2f (target at most 1.1)\n",
                            route, report_modems, together_s, apart_s, apart_s > 0 ? together_s / apart_s : 0.0);
                std::printf("four %s at once: memory growth %.1f MiB for %.1f MiB of answers = %.2f per answer "
                            "byte (target at most 2)\n",
                            route, four_growth_kib / 1024, double(four_bytes) / 1048576,
                            four_bytes > 0 ? four_growth_kib * 1024 / double(four_bytes) : 0.0);
            }

            // Years of readings: 100,000 more modems of ten hour readings each.
            QElapsedTimer aging;
            aging.start();
            QSqlQuery fill(db);
            if (!fill.exec(testsupport::hour_readings_sql(k_aged_first, k_aged_modems, 10, k_start)))
                std::fprintf(stderr, "aged fill: %s\n", qPrintable(fill.lastError().text()));
            std::printf("aged: %d modems of ten readings more in %.1f s\n", k_aged_modems,
                        double(aging.elapsed()) / 1000);
            QStringList ids;
            for (uint32_t m = k_aged_first; m < k_aged_first + k_aged_modems; ++m)
                ids << QString::number(m);
            const QString list_file = dir.path() + "/ids.txt";
            QFile idf(list_file);
            if (idf.open(QIODevice::WriteOnly)) idf.write(ids.join(',').toLatin1());
            idf.close();

            // The newest reading of each, as a dashboard's overview asks, with a probe beside it.
            api_daemon::Probe probe(port, token, "/api/info");
            t.restart();
            const QByteArray many = post(base + "/api/report/history", token, {"modem=<" + list_file});
            const double many_s = double(t.nsecsElapsed()) / 1e9;
            const qint64 many_wait = probe.stop();
            // The same rows bare: the newest of each modem, a thousand modems a statement.
            QStringList parts, newest;
            for (const QString& m : qAsConst(ids)) {
                parts << QString(
                             "(SELECT * FROM modems_data WHERE modem_id = %1 AND type in (66,50,15,68,49,14) "
                             "order by ts desc limit 1)")
                             .arg(m);
                if (parts.size() == 1000) {
                    newest << parts.join(" UNION ALL ");
                    parts.clear();
                }
            }
            if (!parts.isEmpty()) newest << parts.join(" UNION ALL ");
            t.restart();
            const auto [newest_rows, newest_values] = bare(db, newest);
            const double newest_s = double(t.nsecsElapsed()) / 1e9;
            std::printf(
                "history of %d modems: answer %.1f MiB in %.2f s through curl; bare %lld rows in %.2f s; "
                "ratio %.2f; the probe waited at most %lld ms\n",
                k_aged_modems, double(many.size()) / 1048576, many_s, newest_rows, newest_s,
                newest_s > 0 ? many_s / newest_s : 0.0, many_wait);

            // The list of all modems: the daemon against its statement bare.
            api_daemon::Probe list_probe(port, token, "/api/info");
            QByteArray listed;
            const double list_s = best_of(3, [&] { listed = post(base + "/api/report/list", token, {}); });
            const qint64 list_wait = list_probe.stop();
            const double list_bare_s = best_of(3, [&] {
                bare(db, {"SELECT modem_id FROM modems_data  group by modem_id order by modem_id;"});
            });
            std::printf(
                "list of %d modems over %lld rows: %.3f s through curl, %.3f s bare; ratio %.2f; the probe "
                "waited at most %lld ms\n",
                int(QJsonDocument::fromJson(listed).array().size()),
                qint64(k_modems) * k_rows + qint64(k_aged_modems) * 10, list_s, list_bare_s,
                list_bare_s > 0 ? list_s / list_bare_s : 0.0, list_wait);
        }
        if (daemon.state() != QProcess::NotRunning) {
            ::kill(pid_t(daemon.processId()), SIGTERM);
            daemon.waitForFinished(10000);
        }
    }
    QSqlDatabase::removeDatabase("bench");
    QProcess::execute(script, {"stop", state.path()});
    return rc;
}
