// The API under wrk: requests per second of API answers next to a cached UI file of the same
// daemon in the same run (the reference), a new connection per request as the daemon closes
// after each reply. A last row times anonymous version lists of 20,000 and 200,000 modem ids,
// whose ratio shows how the cost of a request grows with its list.
//
//   bench_api [seconds]      (default 10; starts and stops its own MariaDB)
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <cstdio>

namespace {

const QString script = QStringLiteral(STROVA_SOURCE_DIR "/tests/support/services.sh");

// wrk's "Requests/sec" for `url`, 0 when wrk fails.
double wrk_rate(const QString& url, int seconds, const QString& token)
{
    QProcess wrk;
    wrk.start("wrk", {"-t2", "-c16", QString("-d%1s").arg(seconds), "-H", "Connection: close", "-H",
                      "Cookie: TARVIK_JWT=" + token, url});
    wrk.waitForFinished((seconds + 30) * 1000);
    const QString out = QString::fromLatin1(wrk.readAllStandardOutput());
    const QRegularExpressionMatch m = QRegularExpression("Requests/sec:\\s+([0-9.]+)").match(out);
    return m.hasMatch() ? m.captured(1).toDouble() : 0;
}

QByteArray fetch(const QString& url, const QString& token)
{
    QProcess curl;
    curl.start("curl", {"-s", "-b", "TARVIK_JWT=" + token, url});
    curl.waitForFinished(10000);
    return curl.readAllStandardOutput();
}

// Seconds curl takes to POST `ids` modem ids (every one twice, half of them first) as a form
// field to `url`; the best of three, -1 when nothing is answered.
double list_post_seconds(const QString& url, int ids, const QString& dir)
{
    QStringList list;
    for (int i = 0; i < ids; ++i)
        list << QString::number(100000 + i % (ids / 2));
    const QString file = dir + QString("/ids_%1").arg(ids);
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly) || f.write(list.join(',').toLatin1()) < 0) return -1;
    f.close();
    double best = -1;
    for (int run = 0; run < 3; ++run) {
        QProcess curl;
        // No "Expect: 100-continue": curl would wait a second for a go-ahead the server never sends.
        curl.start("curl", {"-s", "-o", "/dev/null", "-w", "%{http_code} %{time_total}", "--max-time", "600",
                            "-H", "Expect:", "-F", "modem=<" + file, url});
        curl.waitForFinished(620000);
        const QStringList out = QString::fromLatin1(curl.readAllStandardOutput()).split(' ');
        if (out.value(0) != "200") return -1;
        const double t = out.value(1).toDouble();
        if (best < 0 || t < best) best = t;
    }
    return best;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? QString(argv[1]).toInt() : 10;
    QTemporaryDir state(QStringLiteral("/tmp/stbapi.XXXXXX"));
    if (QProcess::execute(script, {"start", state.path(), "mysql"}) != 0) {
        std::fprintf(stderr, "services did not start\n");
        return 1;
    }
    const auto env = testsupport::read_env_file(state.path() + "/services.env");
    int rc = 0;
    {
        QSqlDatabase db = testsupport::open_database("bench", env["STROVA_MYSQL_DB"], env);
        QString error;
        if (!db.isOpen() || !testsupport::run_sql_file(db, STROVA_SOURCE_DIR "/sql/schema.sql", &error) ||
            !QSqlQuery(db).exec(
                "INSERT INTO modems_setting VALUES (5001, 1, 0, 'version', '{\"sw\":\"1.0.4.0\"}')")) {
            std::fprintf(stderr, "no database or schema: %s %s\n", qPrintable(db.lastError().text()),
                         qPrintable(error));
            rc = 1;
        }

        // The daemon from its own directory, with a UI file of a typical size.
        QTemporaryDir dir;
        QFile::copy(testsupport::daemon_path(), dir.path() + "/driver_strova5");
        QDir(dir.path()).mkpath("ui");
        QFile ui(dir.path() + "/ui/app.js");
        ui.open(QIODevice::WriteOnly);
        ui.write(QByteArray(20000, 'x'));
        ui.close();
        const quint16 port = testsupport::free_port();
        const QVariantMap sql = testsupport::db_config(env, env["STROVA_MYSQL_DB"]);
        QFile cfg(dir.path() + "/cfg.json");
        cfg.open(QIODevice::WriteOnly);
        cfg.write(QJsonDocument::fromVariant(
                      QVariantMap{{"log_level", 2}, {"sql", sql}, {"api", QVariantMap{{"port", port}}}})
                      .toJson());
        cfg.close();

        QProcess daemon;
        daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (!rc)
            daemon.start(dir.path() + "/driver_strova5",
                         {"-c", cfg.fileName(), "-l", dir.path() + "/drv.log"});
        const QString base = QString("http://127.0.0.1:%1").arg(port);
        for (int i = 0; !rc && i < 100 && fetch(base + "/api/info", {}).isEmpty(); ++i)
            QThread::msleep(100);
        const QString token =
            testsupport::mint_tokens(
                {QString(R"({"payload": {"exp": %1, "claims": {"driver-strova5": {"admin": 1}}}})")
                     .arg(QDateTime::currentSecsSinceEpoch() + 3600)})
                .value(0);

        if (!rc) {
            const double reference = wrk_rate(base + "/ui/app.js", seconds, token);
            std::printf("cached UI file (20 kB):          %9.0f req/s (reference)\n", reference);
            struct Target
            {
                const char* name;
                QString path;
                double target;
            };
            const QList<Target> targets{
                {"registry read, one modem", "/api/setting?modem=5001", 0.5},
                {"command send \"version\"", "/api/cmd/send?modem=5001&code=version", 0.25},
                {"info (no registry, no storage)", "/api/info", 0},
                {"IEC 104 address list", "/api/iec104/list", 0},
            };
            for (const Target& t : targets) {
                if (fetch(base + t.path, token).isEmpty()) {
                    std::printf("%-32s not answered by this build\n", t.name);
                    continue;
                }
                const double rate = wrk_rate(base + t.path, seconds, token);
                std::printf("%-32s %9.0f req/s, ratio %.2f", t.name, rate,
                            reference > 0 ? rate / reference : 0.0);
                if (t.target > 0) std::printf(" (target %.2f)", t.target);
                std::printf("\n");
            }

            // The cost of a modem list against its length: ten times the ids should take about
            // ten times as long (n log n), not a hundred (a search per id).
            const double small = list_post_seconds(base + "/api/setting/version_list", 20000, dir.path());
            const double large = list_post_seconds(base + "/api/setting/version_list", 200000, dir.path());
            std::printf("version_list, 20,000 ids:        %9.3f s\n", small);
            std::printf("version_list, 200,000 ids:       %9.3f s, ratio %.1f (linear 10)\n", large,
                        small > 0 ? large / small : 0.0);
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
