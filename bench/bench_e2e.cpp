// The whole daemon on a large batch of uplinks: uplinks per second from the first delivery to the
// last row in MariaDB, next to the rate at which our AMQP client alone drains and acknowledges a
// copy of the same queue, and the daemon's peak memory.
//
//   bench_e2e [uplinks] [modems]      (default 100000 and 10000; starts and stops its own
//                                       MariaDB and RabbitMQ)
#include "amqp_client.h"
#include "amqp_message.h"
#include "amqp_queue.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

const QString script = QStringLiteral(STROVA_SOURCE_DIR "/tests/support/services.sh");

QString be32(uint v)
{
    return QStringLiteral("%1").arg(v, 8, 16, QLatin1Char('0')).toUpper();
}

struct Expected {
    int data = 0, events = 0;
};

// Uplink i goes to modem i % modems in round i / modems; every round of a modem carries its own
// record times, so no row replaces another. The kinds rotate over the rounds: hour profiles
// most, then current values, day records, event archives and settings answers.
Expected write_uplinks(const QString& path, int n, int modems, uint t)
{
    Expected e;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return e;
    for (int i = 0; i < n; ++i) {
        const uint modem = 10000000 + uint(i % modems), round = uint(i / modems), v = uint(i);
        QString payload;
        switch ((i + int(round)) % 20) {
        case 0: case 1: case 2: case 3: case 4: case 5: case 6: case 7:
            payload = "420010" + be32(t - 3600 * (round + 1)) + "8188" + be32(v) + "4060030A" + be32(v % 7);
            ++e.data;
            break;
        case 8: case 9: case 10: case 11:
            payload = "320380" + be32(t - 60 * (round + 1)) + be32(v);
            ++e.data;
            break;
        case 12: case 13: case 14:
            payload = "440010" + be32(t - 86400 * (round + 1)) + "8188" + be32(v);
            ++e.data;
            break;
        case 15: case 16: case 17:
            payload = "4F00100100001388" + be32(t - 1000 - 100 * round) + "01" + be32(t - 950 - 100 * round) + "02";
            e.events += 2;
            break;
        default:
            payload = round % 2 ? "EE000105" + QStringLiteral("%1").arg(round % 256, 2, 16, QLatin1Char('0')) + "00"
                                : "EE01" + be32(modem);
            break;
        }
        f.write(QStringLiteral(R"({"msg_type":"ul_app","modem_id":%1,"payload":"%2","station_id":7,"rssi":-95,"snr":8,"time_detected":%3})")
                    .arg(modem)
                    .arg(payload)
                    .arg(t)
                    .toUtf8() +
                '\n');
    }
    return e;
}

int count(QSqlDatabase& db, const QString& sql)
{
    QSqlQuery q(db);
    return q.exec(sql) && q.next() ? q.value(0).toInt() : -1;
}

// Drains `queue` with our own client as the daemon consumes (prefetch 100, one ack a message);
// messages per second from the first delivery to the last acknowledgement, 0 on failure.
double drain_rate(const QString& uri, const QString& queue, int n)
{
    AmqpClient client;
    AmqpQueue* q = nullptr;
    QEventLoop loop;
    QElapsedTimer t;
    int got = 0;
    QObject::connect(&client, &AmqpClient::connected, [&] {
        q = client.createQueue(queue);
        QObject::connect(q, &AmqpQueue::declared, [&] {
            q->qos(100, 0);
            q->consume(AmqpQueue::coNoLocal);
        });
        QObject::connect(q, &AmqpQueue::messageReceived, [&] {
            while (!q->isEmpty()) {
                const AmqpMessage m = q->dequeue();
                if (got++ == 0)
                    t.start();
                q->ack(m);
            }
            if (got >= n)
                loop.quit();
        });
        q->declare(AmqpQueue::Durable);
    });
    QTimer::singleShot(300000, &loop, &QEventLoop::quit);
    client.connectToHost(uri);
    loop.exec();
    const qint64 ms = got > 1 ? qMax<qint64>(1, t.elapsed()) : 0;
    client.disconnectFromHost();
    if (got < n)
        std::fprintf(stderr, "drain: only %d of %d messages\n", got, n);
    return ms ? got * 1000.0 / ms : 0;
}

qint64 status_kb(qint64 pid, const char* key)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// User plus system CPU seconds the process has used so far.
double cpu_seconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = f.readAll();
    // Fields after the command name, which may hold blanks: state is field 3, utime 14, stime 15.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int n = argc > 1 ? QString(argv[1]).toInt() : 100000;
    const int modems = argc > 2 ? QString(argv[2]).toInt() : 10000;
    if (n <= 0 || modems <= 0)
        return 2;
    QTemporaryDir dir(QStringLiteral("/tmp/stbench.XXXXXX"));
    if (QProcess::execute(script, {"start", dir.path()}) != 0) {
        std::fprintf(stderr, "services did not start\n");
        return 1;
    }
    const auto env = testsupport::read_env_file(dir.path() + "/services.env");
    const QString uri = env["STROVA_AMQP_URI"];
    int rc = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QMYSQL", "bench");
        db.setHostName(env["STROVA_MYSQL_HOST"]);
        db.setPort(env["STROVA_MYSQL_PORT"].toInt());
        db.setUserName(env["STROVA_MYSQL_USER"]);
        db.setPassword(env["STROVA_MYSQL_PASS"]);
        db.setDatabaseName(env["STROVA_MYSQL_DB"]);
        QString error;
        if (!db.open() || !testsupport::run_sql_file(db, STROVA_SOURCE_DIR "/sql/schema.sql", &error)) {
            std::fprintf(stderr, "no database or schema: %s %s\n", qPrintable(db.lastError().text()), qPrintable(error));
            rc = 1;
        }

        const uint t = uint(QDateTime::currentSecsSinceEpoch()) - 60;
        const Expected e = write_uplinks(dir.path() + "/ul.txt", n, modems, t);
        QElapsedTimer pub;
        pub.start();
        for (const char* queue : {"bench_ul", "bench_drain"}) {
            testsupport::amqp_peer(uri, {"declare-queue", queue});
            testsupport::amqp_peer(uri, {"publish-file", queue, dir.path() + "/ul.txt"});
        }
        std::printf("%d uplinks for %d modems (%d data rows, %d event rows expected), published twice in %.1f s\n", n,
                    modems, e.data, e.events, pub.elapsed() / 1000.0);

        const double drain = rc ? 0 : drain_rate(uri, "bench_drain", n);
        std::printf("  own AMQP client, drain and ack:  %9.0f msg/s\n", drain);

        const QVariantMap sql{{"host", env["STROVA_MYSQL_HOST"]}, {"port", env["STROVA_MYSQL_PORT"].toInt()},
                              {"db_name", env["STROVA_MYSQL_DB"]}, {"user", env["STROVA_MYSQL_USER"]},
                              {"pass", env["STROVA_MYSQL_PASS"]}};
        const QVariantMap rabbit{{"ul", QVariantMap{{"path", uri}, {"queue", "bench_ul"}, {"host", "/api"}}},
                                 {"dl", QVariantMap{{"path", uri}, {"exchange", "bench_dl"}, {"host", "/api"}, {"api_key", "bench"}}}};
        QFile cfg(dir.path() + "/cfg.json");
        if (cfg.open(QIODevice::WriteOnly))
            cfg.write(QJsonDocument::fromVariant(QVariantMap{{"log_level", 2}, {"sql", sql}, {"rabbit", rabbit}, {"api", QVariantMap{{"port", 0}}}}).toJson());
        cfg.close();

        QProcess daemon;
        daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (!rc)
            daemon.start(testsupport::daemon_path(), {"-c", cfg.fileName(), "-l", dir.path() + "/drv.log"});
        if (!rc && daemon.waitForStarted(5000)) {
            // The first delivery follows the consume request within a round trip: watch the log for it.
            QElapsedTimer e2e;
            bool consuming = false;
            QElapsedTimer wait;
            wait.start();
            qint64 offset = 0;
            while (!consuming && wait.elapsed() < 60000) {
                for (const QString& name : QDir(dir.path()).entryList({"*.log"}, QDir::Files)) {
                    QFile log(dir.path() + "/" + name);
                    if (log.open(QIODevice::ReadOnly) && log.seek(offset)) {
                        const QByteArray text = log.readAll();
                        consuming = text.contains("Rabbit consume");
                        offset += qMax(0, text.lastIndexOf('\n') + 1);
                    }
                }
                if (!consuming)
                    QThread::msleep(5);
            }
            e2e.start();
            const double cpu_start = cpu_seconds(daemon.processId());
            int data = 0, events = 0;
            qint64 last_ms = 0;
            while (e2e.elapsed() < 600000 && daemon.state() == QProcess::Running) {
                const int d = count(db, "SELECT COUNT(*) FROM modems_data");
                const int ev = count(db, "SELECT COUNT(*) FROM modems_event");
                if (d != data || ev != events)
                    last_ms = e2e.elapsed();
                data = d;
                events = ev;
                if (data >= e.data && events >= e.events)
                    break;
                QThread::msleep(20);
            }
            const qint64 peak = status_kb(daemon.processId(), "VmHWM:");
            const double cpu = cpu_seconds(daemon.processId()) - cpu_start;
            const int cmds = count(db, "SELECT COUNT(*) FROM modems_cmd");
            const int settings = count(db, "SELECT COUNT(*) FROM modems_setting");
            std::printf("  daemon, broker to MariaDB:       %9.0f uplinks/s (%.2f s; %d data, %d event, %d setting, %d command rows%s)\n",
                        n * 1000.0 / qMax<qint64>(1, last_ms), last_ms / 1000.0, data, events, settings, cmds,
                        data >= e.data && events >= e.events ? "" : "; INCOMPLETE");
            std::printf("  ratio to the bare drain:          %9.2f\n", drain > 0 ? n * 1000.0 / qMax<qint64>(1, last_ms) / drain : 0);
            std::printf("  daemon peak memory (VmHWM):       %9lld kB\n", peak);
            std::printf("  daemon CPU time meanwhile:        %9.2f s (%.0f uplinks per CPU second)\n", cpu,
                        cpu > 0 ? n / cpu : 0);
            if (data < e.data || events < e.events)
                rc = 1;
            ::kill(pid_t(daemon.processId()), SIGTERM);
            if (!daemon.waitForFinished(60000))
                daemon.kill();
        } else {
            std::fprintf(stderr, "daemon did not start\n");
            rc = 1;
        }
        db.close();
    }
    QSqlDatabase::removeDatabase("bench");
    QProcess::execute(script, {"stop", dir.path()});
    return rc;
}
