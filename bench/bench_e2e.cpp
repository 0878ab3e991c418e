// The whole daemon on a large batch of uplinks: uplinks per second from the first delivery to the
// last row in MariaDB, next to what the two servers manage without the daemon, measured in the
// same run on the same throwaway services:
//   reference drain   librabbitmq consumes a copy of the queue from full to empty (prefetch 100,
//                     one ack a message);
//   own drain         our AMQP client does the same;
//   database ceiling  the mariadb client writes the rows the daemon wrote, as multi-row REPLACEs
//                     of the daemon's chunk size, on one connection.
// Then where the daemon's time went: CPU seconds, and per thread the share of samples on the CPU,
// waiting on MariaDB and waiting for anything else (the broker, timers), and its peak memory.
// The downlink exchange exists, as on an operator's broker, with a capture queue bound to it and
// consumed as the radio network server would: the downlinks taken are counted next to the command
// rows, which they must match.
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
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <atomic>
#include <dirent.h>
#include <fcntl.h>
#include <thread>
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

// Drains `n` messages of `queue` with our own client as the daemon consumes (prefetch 100, one
// ack a message); messages per second from the first delivery to the last acknowledgement, 0 on
// failure.
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
            // Exactly `n` acknowledged: the rest of the window goes back to the queue for the next round.
            while (!q->isEmpty() && got < n) {
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

// Messages per second of the librabbitmq consumer over `queue`; 0 when it is not built or fails.
double ref_drain_rate(const QMap<QString, QString>& env, const QString& queue, int n)
{
#ifdef STROVA_REF_DRAIN
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QStringLiteral(STROVA_REF_DRAIN), {env["STROVA_AMQP_HOST"], env["STROVA_AMQP_PORT"], env["STROVA_AMQP_VHOST"],
                                             env["STROVA_AMQP_USER"], env["STROVA_AMQP_PASS"], queue, QString::number(n)});
    if (!p.waitForFinished(300000) || p.exitCode() != 0)
        return 0;
    const QList<QByteArray> f = p.readAllStandardOutput().trimmed().split(' ');
    const double s = f.value(1).toDouble();
    return s > 0 ? f.value(0).toDouble() / s : 0;
#else
    Q_UNUSED(env) Q_UNUSED(queue) Q_UNUSED(n)
    return 0;
#endif
}

// Samples every thread of a process: on the CPU, blocked on a socket to MariaDB (read, receive,
// or a poll of that one socket), or waiting for anything else.
class Sampler
{
public:
    struct Tally {
        QString name;
        long cpu = 0, db = 0, other = 0;
        long total() const { return cpu + db + other; }
    };

    Sampler(qint64 pid, int mysql_port) : pid(pid), port(mysql_port)
    {
        mem = ::open(QStringLiteral("/proc/%1/mem").arg(pid).toUtf8().constData(), O_RDONLY);
        worker = std::thread([this] { run(); });
    }
    ~Sampler() { stop(); }
    void stop()
    {
        done = true;
        if (worker.joinable())
            worker.join();
        if (mem >= 0)
            ::close(mem);
        mem = -1;
    }
    QMap<qint64, Tally> tallies;

private:
    static QByteArray slurp(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    // The inodes of the process's TCP sockets whose peer is the MariaDB port.
    void find_db_sockets()
    {
        QSet<QByteArray> inodes;
        for (const char* table : {"tcp", "tcp6"}) {
            const QList<QByteArray> lines = slurp(QStringLiteral("/proc/%1/net/%2").arg(pid).arg(table)).split('\n');
            for (const QByteArray& line : lines) {
                const QList<QByteArray> f = line.simplified().split(' ');
                if (f.size() > 9 && f[2].split(':').value(1).toInt(nullptr, 16) == port)
                    inodes.insert(f[9]);
            }
        }
        db_fds.clear();
        const QByteArray dir = QStringLiteral("/proc/%1/fd").arg(pid).toUtf8();
        if (DIR* d = ::opendir(dir.constData())) {
            while (dirent* entry = ::readdir(d)) {
                char target[64] = {};
                const QByteArray link = dir + QByteArray("/") + QByteArray(entry->d_name);
                const ssize_t len = ::readlink(link.constData(), target, sizeof target - 1);
                const QByteArray t(target, len > 0 ? int(len) : 0);
                if (t.startsWith("socket:[") && inodes.contains(t.mid(8, t.size() - 9)))
                    db_fds.insert(QByteArray(entry->d_name).toLongLong());
            }
            ::closedir(d);
        }
    }

    bool on_db(const QList<QByteArray>& call)
    {
        const int nr = call.value(0).toInt();
        const qint64 a0 = call.value(1).toLongLong(nullptr, 16), a1 = call.value(2).toLongLong(nullptr, 16);
        switch (nr) {
        case 0: case 1: case 44: case 45: case 46: case 47: // read write sendto recvfrom sendmsg recvmsg
            return db_fds.contains(a0);
        case 7: case 271: { // poll, ppoll of one descriptor: look at which
            int fd = -1;
            return a1 == 1 && mem >= 0 && ::pread(mem, &fd, sizeof fd, off_t(a0)) == sizeof fd && db_fds.contains(fd);
        }
        default:
            return false;
        }
    }

    void run()
    {
        int round = 0;
        while (!done) {
            if (round++ % 50 == 0)
                find_db_sockets();
            const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
            for (const QString& t : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
                const QByteArray call = slurp(tasks + "/" + t + "/syscall").trimmed();
                if (call.isEmpty())
                    continue;
                Tally& tally = tallies[t.toLongLong()];
                if (tally.name.isEmpty())
                    tally.name = QString::fromUtf8(slurp(tasks + "/" + t + "/comm").trimmed());
                if (call == "running")
                    ++tally.cpu;
                else if (on_db(call.split(' ')))
                    ++tally.db;
                else
                    ++tally.other;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    qint64 pid;
    int port;
    int mem = -1;
    QSet<qint64> db_fds;
    std::atomic<bool> done{false};
    std::thread worker;
};

QString mysql_args(const QMap<QString, QString>& env)
{
    return QStringLiteral("--no-defaults --protocol=tcp -h%1 -P%2 -u%3 -p%4")
        .arg(env["STROVA_MYSQL_HOST"], env["STROVA_MYSQL_PORT"], env["STROVA_MYSQL_USER"], env["STROVA_MYSQL_PASS"]);
}

// Seconds the mariadb client takes, on one connection into a fresh copy of the schema, to write
// the rows the daemon wrote as REPLACE statements of up to `chunk_rows` rows (and the daemon's
// 256 KiB); 0 on failure.
double db_ceiling_seconds(QSqlDatabase& db, const QMap<QString, QString>& env, const QString& dir, int chunk_rows)
{
    const QString tables = QStringLiteral("modems_data modems_event modems_setting modems_cmd");
    QProcess dump;
    dump.setStandardOutputFile(dir + "/rows.sql");
    dump.start(QStringLiteral("sh"), {"-c", QStringLiteral("mariadb-dump %1 --no-create-info --skip-extended-insert --replace "
                                                           "--compact --skip-tz-utc %2 %3")
                                                .arg(mysql_args(env), env["STROVA_MYSQL_DB"], tables)});
    if (!dump.waitForFinished(300000) || dump.exitCode() != 0)
        return 0;
    QFile in(dir + "/rows.sql"), out(dir + "/chunks.sql");
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return 0;
    QByteArray prefix, statement;
    int rows = 0;
    auto flush = [&] {
        if (rows)
            out.write(statement + ";\n");
        statement.clear();
        rows = 0;
    };
    while (!in.atEnd()) {
        QByteArray line = in.readLine();
        while (line.endsWith('\n') || line.endsWith(';'))
            line.chop(1);
        const int values = line.indexOf(" VALUES (");
        if (!line.startsWith("REPLACE INTO") || values < 0)
            continue;
        const QByteArray p = line.left(values + 8), tuple = line.mid(values + 8);
        if (p != prefix || rows >= chunk_rows || statement.size() + tuple.size() + 2 > 256 * 1024)
            flush();
        prefix = p;
        statement += rows++ ? ", " + tuple : p + tuple;
    }
    flush();
    out.close();

    QSqlQuery q(db);
    if (!q.exec("DROP DATABASE IF EXISTS strova_ref") || !q.exec("CREATE DATABASE strova_ref CHARACTER SET utf8mb4"))
        return 0;
    // The daemon may have upgraded its tables: copy their definitions as they are now.
    for (const QString& table : tables.split(' '))
        if (!q.exec(QStringLiteral("CREATE TABLE strova_ref.%1 LIKE %2.%1").arg(table, env["STROVA_MYSQL_DB"])))
            return 0;
    QProcess load;
    load.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    load.setStandardInputFile(out.fileName());
    QElapsedTimer t;
    t.start();
    load.start(QStringLiteral("sh"), {"-c", QStringLiteral("mariadb %1 strova_ref").arg(mysql_args(env))});
    if (!load.waitForFinished(300000) || load.exitCode() != 0)
        return 0;
    return t.elapsed() / 1000.0;
}

// The server's statement counters (Com_insert, Com_replace, Com_update, Com_select, ...).
QMap<QString, qlonglong> statement_counts(QSqlDatabase& db)
{
    QMap<QString, qlonglong> out;
    QSqlQuery q(db);
    if (q.exec("SHOW GLOBAL STATUS WHERE Variable_name IN ('Com_insert', 'Com_replace', 'Com_update', "
               "'Com_select', 'Com_delete', 'Com_set_option', 'Questions')"))
        while (q.next())
            out[q.value(0).toString()] = q.value(1).toLongLong();
    return out;
}

// Takes the downlinks off the capture queue as they come, as the radio network server takes
// them, and counts them: a queue left to grow to a million messages would slow the broker's
// confirms of every further downlink, which no operator's broker sees.
class Capture : public QThread
{
public:
    Capture(const QString& uri, const QString& queue) : uri(uri), queue(queue) {}
    ~Capture() override { stop(); }
    void stop()
    {
        quit();
        wait();
    }
    std::atomic<int> received{0};

protected:
    void run() override
    {
        AmqpClient client;
        QObject::connect(&client, &AmqpClient::connected, [&] {
            AmqpQueue* q = client.createQueue(queue);
            QObject::connect(q, &AmqpQueue::declared, [q] {
                q->qos(1000, 0);
                q->consume(AmqpQueue::coNoLocal);
            });
            QObject::connect(q, &AmqpQueue::messageReceived, [this, q] {
                while (!q->isEmpty()) {
                    q->ack(q->dequeue());
                    ++received;
                }
            });
            q->declare(AmqpQueue::Durable);
        });
        client.connectToHost(uri);
        exec();
        client.disconnectFromHost();
    }

private:
    QString uri, queue;
};

// The downlinks taken once they equal the command rows, or once neither has changed for two
// seconds; `cmds` is left at the last count of command rows.
int settled_downlinks(QSqlDatabase& db, const Capture& capture, int& cmds)
{
    int last = capture.received;
    cmds = count(db, "SELECT COUNT(*) FROM modems_cmd");
    QElapsedTimer still;
    still.start();
    while (last != cmds && still.elapsed() < 2000) {
        QThread::msleep(100);
        const int now = capture.received, rows = count(db, "SELECT COUNT(*) FROM modems_cmd");
        if (now != last || rows != cmds) still.restart();
        last = now;
        cmds = rows;
    }
    return last;
}

double ratio(double a, double b)
{
    return b > 0 ? a / b : 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int n = argc > 1 ? QString(argv[1]).toInt() : 100000;
    const int modems = argc > 2 ? QString(argv[2]).toInt() : 10000;
    const int chunk_rows = 1000; // the daemon's rows per statement
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
        QSqlDatabase db = testsupport::open_database("bench", env["STROVA_MYSQL_DB"], env);
        QString error;
        if (!db.isOpen() || !testsupport::run_sql_file(db, STROVA_SOURCE_DIR "/sql/schema.sql", &error)) {
            std::fprintf(stderr, "no database or schema: %s %s\n", qPrintable(db.lastError().text()), qPrintable(error));
            rc = 1;
        }

        const uint t = uint(QDateTime::currentSecsSinceEpoch()) - 60;
        const Expected e = write_uplinks(dir.path() + "/ul.txt", n, modems, t);
        QElapsedTimer pub;
        pub.start();
        for (const char* queue : {"bench_ul", "bench_drain", "bench_ref"}) {
            testsupport::amqp_peer(uri, {"declare-queue", queue});
            testsupport::amqp_peer(uri, {"publish-file", queue, dir.path() + "/ul.txt"});
        }
        std::printf("%d uplinks for %d modems (%d data rows, %d event rows expected), published three times in %.1f s\n",
                    n, modems, e.data, e.events, pub.elapsed() / 1000.0);

        // Each drain takes a quarter of its queue four times, the two clients taking turns, so
        // that other work on the machine falls on both alike. A queue's pace grows as it empties
        // (the broker's cost per message grows with the messages it holds), and the daemon
        // drains its queue from full to empty: each reference is its whole queue's, the
        // messages over the time of the four rounds together, not its best (last) quarter.
        double ref_s = 0, drain_s = 0;
        for (int round = 0; round < 4 && !rc; ++round) {
            const double r = ref_drain_rate(env, "bench_ref", n / 4), o = drain_rate(uri, "bench_drain", n / 4);
            std::printf("drain round %d: reference %.0f, own %.0f msg/s\n", round + 1, r, o);
            ref_s = r > 0 && ref_s >= 0 ? ref_s + (n / 4) / r : -1;
            drain_s = o > 0 && drain_s >= 0 ? drain_s + (n / 4) / o : -1;
        }
        const double ref = ref_s > 0 ? (n / 4) * 4 / ref_s : 0, drain = drain_s > 0 ? (n / 4) * 4 / drain_s : 0;

        const QVariantMap sql = testsupport::db_config(env, env["STROVA_MYSQL_DB"]);
        const QVariantMap rabbit{{"ul", QVariantMap{{"path", uri}, {"queue", "bench_ul"}, {"host", "/api"}}},
                                 {"dl", QVariantMap{{"path", uri}, {"exchange", "bench_dl"}, {"host", "/api"}, {"api_key", "bench"}}}};
        QFile cfg(dir.path() + "/cfg.json");
        if (cfg.open(QIODevice::WriteOnly))
            cfg.write(QJsonDocument::fromVariant(QVariantMap{{"log_level", 2}, {"sql", sql}, {"rabbit", rabbit}, {"api", QVariantMap{{"port", 0}}}}).toJson());
        cfg.close();
        // The daemon never declares its downlink exchange: without it the broker refuses every publish.
        const QString dl_queue = QStringLiteral("bench_dl_capture");
        testsupport::amqp_peer(uri, {"bind", "bench_dl", dl_queue, "#"});
        Capture capture(uri, dl_queue);
        capture.start();

        double e2e_rate = 0, cpu = 0;
        qint64 peak = 0, last_ms = 0;
        QMap<qint64, Sampler::Tally> threads;
        QString statements; // the bench's own counting queries included
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
            Sampler sampler(daemon.processId(), env["STROVA_MYSQL_PORT"].toInt());
            const QMap<QString, qlonglong> counts_before = statement_counts(db);
            int data = 0, events = 0;
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
            sampler.stop();
            threads = sampler.tallies;
            const QMap<QString, qlonglong> counts_after = statement_counts(db);
            for (auto it = counts_after.cbegin(); it != counts_after.cend(); ++it)
                statements += QStringLiteral(" %1 %2").arg(it.key().mid(it.key().startsWith("Com_") ? 4 : 0))
                                  .arg(it.value() - counts_before.value(it.key()));
            peak = status_kb(daemon.processId(), "VmHWM:");
            cpu = cpu_seconds(daemon.processId()) - cpu_start;
            e2e_rate = n * 1000.0 / qMax<qint64>(1, last_ms);
            int cmds = count(db, "SELECT COUNT(*) FROM modems_cmd");
            const int settings = count(db, "SELECT COUNT(*) FROM modems_setting");
            std::printf("rows: %d data, %d event, %d setting, %d command%s\n", data, events, settings, cmds,
                        data >= e.data && events >= e.events ? "" : "; INCOMPLETE");
            if (data < e.data || events < e.events)
                rc = 1;
            // Each command row leaves as one downlink: wait until the downlinks stop coming.
            const int downlinks = settled_downlinks(db, capture, cmds);
            std::printf("downlinks: %d taken from the capture queue, %d command rows%s\n", downlinks, cmds,
                        downlinks == cmds ? "" : "; MISMATCH");
            if (downlinks != cmds) rc = 1;
            ::kill(pid_t(daemon.processId()), SIGTERM);
            if (!daemon.waitForFinished(60000))
                daemon.kill();
        } else {
            std::fprintf(stderr, "daemon did not start\n");
            rc = 1;
        }
        const double ceiling_s = rc ? 0 : db_ceiling_seconds(db, env, dir.path(), chunk_rows);
        const double ceiling = ceiling_s > 0 ? n / ceiling_s : 0;
        const double lower = ref > 0 && ceiling > 0 ? qMin(ref, ceiling) : qMax(ref, ceiling);

        std::printf("                                                   uplinks/s   ratio  target\n");
        std::printf("  (a) librabbitmq drain and ack, whole queue       %9.0f\n", ref);
        std::printf("  (b) mariadb client, REPLACE x %d rows          %9.0f\n", chunk_rows, ceiling);
        std::printf("  own AMQP client, drain and ack, whole queue (to a) %7.0f   %5.2f  >= 0.90\n", drain, ratio(drain, ref));
        std::printf("  daemon, broker to MariaDB (to lower of a, b)     %9.0f   %5.2f  >= 0.80  (%.2f s)\n", e2e_rate,
                    ratio(e2e_rate, lower), last_ms / 1000.0);
        std::printf("  daemon CPU: %.2f s, %.0f uplinks per CPU second (target >= 50000)\n", cpu, ratio(n, cpu));
        std::printf("  daemon peak memory (VmHWM): %lld kB for %d modems, %d uplinks\n", peak, modems, n);
        std::printf("  server statements meanwhile:%s\n", qPrintable(statements));
        std::printf("  daemon threads, share of samples:   on CPU  on MariaDB  other waits\n");
        for (const Sampler::Tally& th : qAsConst(threads)) {
            if (th.total() == 0 || th.cpu + th.db == 0)
                continue;
            std::printf("    %-30s %9.2f %11.2f %12.2f\n", qPrintable(th.name), ratio(th.cpu, th.total()),
                        ratio(th.db, th.total()), ratio(th.other, th.total()));
        }
        db.close();
    }
    QSqlDatabase::removeDatabase("bench");
    QProcess::execute(script, {"stop", dir.path()});
    return rc;
}
