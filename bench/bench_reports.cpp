// The history report over a large archive: 100 modems x 10,000 hour rows with tariff registers,
// the report for 10 modems over the whole period (100,000 rows) through curl, next to the same
// statements run bare through QSqlQuery (forward-only, every value read) in the same run; the
// ratio of the two times and the daemon's memory growth during the report against the size of
// its answer.
//
//   bench_reports [modems_in_report]      (default 10; starts and stops its own MariaDB)
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

namespace {

const QString script = QStringLiteral(STROVA_SOURCE_DIR "/tests/support/services.sh");
constexpr int k_modems = 100;
constexpr int k_rows = 10000;
constexpr uint32_t k_start = 1599998400; // a whole hour

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
        // Level 4 writes each row query of the report, which the reference then runs bare.
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

            // The same row statements, as the daemon logged them, bare.
            QStringList statements;
            for (const QString& name : QDir(dir.path() + "/log").entryList({"*.log"})) {
                QFile f(dir.path() + "/log/" + name);
                if (!f.open(QIODevice::ReadOnly)) continue;
                for (const QString& line : QString::fromUtf8(f.readAll()).split('\n')) {
                    const int at = line.indexOf("SELECT * FROM modems_data");
                    if (at >= 0) statements << line.mid(at).remove('"').trimmed();
                    if (qEnvironmentVariableIsSet("STROVA_PERF") &&
                        (at >= 0 || line.contains("history meterings")))
                        std::printf("%s\n", qPrintable(line.left(90)));
                }
            }
            t.restart();
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
