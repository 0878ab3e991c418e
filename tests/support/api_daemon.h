#pragma once
// The daemon as the API's clients meet it: run from a temporary copy so that ui/ and tst.json
// are the test's, against the throwaway MariaDB and RabbitMQ, asked with curl; tokens come from
// an independent issuer (python3's hmac).
#include "testsupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QtTest>
#include <algorithm>
#include <csignal>
#include <unistd.h>

namespace api_daemon {

struct Reply
{
    int status = 0;
    QMap<QString, QString> headers; // names lower-cased
    QByteArray body;
    QString header(const QString& name) const { return headers.value(name.toLower()); }
};

inline bool write_file(const QString& path, const QByteArray& content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}
// The modem ids first .. first + count - 1, comma-separated, in a file for a form field.
inline QString id_file(const QString& path, uint32_t first, uint32_t count)
{
    QStringList ids;
    for (uint32_t i = 0; i < count; ++i)
        ids << QString::number(first + i);
    write_file(path, ids.join(',').toLatin1());
    return path;
}
inline QString enc(const QString& text)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(text));
}
inline QString compact(const QVariant& v)
{
    return QString::fromUtf8(QJsonDocument::fromVariant(v).toJson(QJsonDocument::Compact));
}
// The first column of the first row, or null.
inline QVariant scalar(const QSqlDatabase& db, const QString& statement)
{
    QSqlQuery q(db);
    if (!q.exec(statement)) qWarning() << q.lastError().text() << statement;
    return q.next() ? q.value(0) : QVariant();
}

inline QString mint(const QString& payload, const QString& extra = QString())
{
    return testsupport::mint_tokens({QString(R"({"payload": %1%2})").arg(payload, extra)}).value(0);
}
inline QString claims_token(const QString& claims, qint64 exp_from_now = 600)
{
    return mint(QString(R"({"exp": %1, "claims": %2})")
                    .arg(QDateTime::currentSecsSinceEpoch() + exp_from_now)
                    .arg(claims));
}
// A token per caller: "user", "admin", "special" (roles), "b_admin", "auth" (other claims).
inline QMap<QString, QString> caller_tokens()
{
    QMap<QString, QString> t;
    for (const char* role : {"user", "admin", "special"})
        t[role] = claims_token(QString(R"({"driver-strova5": {"%1": 1}})").arg(role));
    t["b_admin"] = claims_token(R"({"b": {"admin": 1}})");
    t["auth"] = claims_token(R"({"auth": {"admin": 1}})");
    return t;
}
inline QStringList cookie(const QString& token)
{
    return {"-b", "TARVIK_JWT=" + token};
}

// The broker as the daemon is configured for it: uplinks from `ul_queue`, downlinks to
// `dl_exchange` with `dl_extra` keys.
inline QVariantMap rabbit(const QString& ul_queue, const QString& dl_exchange,
                          const QVariantMap& dl_extra = {})
{
    const QString uri = testsupport::service("STROVA_AMQP_URI");
    QVariantMap dl{{"path", uri}, {"exchange", dl_exchange}, {"host", "/api"}};
    dl.insert(dl_extra);
    return {{"ul", QVariantMap{{"path", uri}, {"queue", ul_queue}, {"host", "/api"}}}, {"dl", dl}};
}
// The message bodies waiting on `queue`, which are taken.
inline QStringList drain(const QString& queue)
{
    QStringList out;
    for (const QString& line :
         testsupport::amqp_peer(testsupport::service("STROVA_AMQP_URI"), {"drain", queue}))
        out << QJsonDocument::fromJson(line.toUtf8()).toVariant().toMap().value("body").toString();
    return out;
}
inline void publish(const QString& queue, const QStringList& bodies)
{
    testsupport::amqp_peer(testsupport::service("STROVA_AMQP_URI"), QStringList{"publish", queue} + bodies);
}
// An uplink as the radio network's broker hands it over; `more` adds keys (",\"k\":v").
inline QString uplink(quint64 modem, const QString& payload, qint64 received, const QString& more = QString())
{
    return QString(R"({"msg_type":"ul_app","modem_id":%1,"payload":"%2","time_detected":%3%4})")
        .arg(modem)
        .arg(payload)
        .arg(received)
        .arg(more);
}

using testsupport::free_port;

// A process's resident memory in bytes, -1 when it is gone.
inline qint64 rss_of(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    const auto m =
        QRegularExpression(QStringLiteral("VmRSS:\\s+(\\d+) kB")).match(QString::fromLatin1(f.readAll()));
    return m.captured(1).toLongLong() * 1024;
}
// The processor time a process has used, user and system, in seconds.
inline double cpu_seconds_of(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    const QByteArray stat = f.readAll();
    // The fields after the command name, which may hold spaces: utime and stime are 14 and 15.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(::sysconf(_SC_CLK_TCK));
}

// The daemon run from its own directory: binary, configuration, ui/ and tst.json.
struct Daemon
{
    QTemporaryDir dir;
    QProcess proc;
    quint16 port = 0;
    // A program the daemon is started through, with its arguments (prlimit, for instance); it
    // must run the daemon in its own process.
    QStringList launcher;

    explicit Daemon(const QVariantMap& extra, quint16 fixed_port = 0, const QString& db_name = "st_api_web")
    {
        port = fixed_port ? fixed_port : free_port();
        QFile::copy(testsupport::daemon_path(), path("driver_strova5"));
        QDir(dir.path()).mkpath("ui/a");
        write_file(path("ui/redir.html"), "<html>redir</html>");
        write_file(path("ui/x.json"), "{}");
        write_file(path("ui/x.html.css"), "b{}");
        write_file(path("x"), "outside");
        const auto s = testsupport::services();
        QVariantMap cfg{{"log_level", 6},
                        {"sql", testsupport::db_config(s, db_name)},
                        {"api", QVariantMap{{"port", port}}}};
        for (auto it = extra.cbegin(); it != extra.cend(); ++it) { // sections merge key by key
            QVariantMap merged = cfg.value(it.key()).toMap();
            merged.insert(it.value().toMap());
            cfg.insert(it.key(), it.value().type() == QVariant::Map ? QVariant(merged) : it.value());
        }
        write_file(path("cfg.json"), QJsonDocument::fromVariant(cfg).toJson());
    }
    ~Daemon() { stop(); }
    QString path(const QString& name) const { return dir.path() + "/" + name; }
    bool start(bool consuming = false)
    {
        const int before = log().count("http created"); // a restart keeps the old logs
        proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const QStringList command =
            launcher + QStringList{path("driver_strova5"), "-c", path("cfg.json"), "-l", path("log/drv.log")};
        proc.start(command.first(), command.mid(1));
        if (!proc.waitForStarted(5000)) return false;
        // Whether it ended or timed out, the log below tells.
        (void)QTest::qWaitFor(
            [&] { return proc.state() != QProcess::Running || log().count("http created") > before; }, 10000);
        if (log().count("http created") <= before) return false;
        // Uplinks published before the daemon consumes would wait in the queue unseen.
        return !consuming || QTest::qWaitFor([&] { return log().contains("Rabbit consume"); }, 20000);
    }
    void stop()
    {
        if (proc.state() == QProcess::NotRunning) return;
        ::kill(pid_t(proc.processId()), SIGTERM);
        if (!proc.waitForFinished(10000)) proc.kill();
        proc.waitForFinished(5000);
    }
    QString log() const
    {
        QString all;
        const QDir d(path("log"));
        for (const QString& name : d.entryList({"*.log"}, QDir::Files)) {
            QFile f(d.filePath(name));
            if (f.open(QIODevice::ReadOnly)) all += QString::fromUtf8(f.readAll());
        }
        return all;
    }
    // One request; `args` go to curl as they are (headers, cookies).
    Reply get(const QString& target, const QStringList& args = {}) const
    {
        QProcess curl;
        curl.start("curl", QStringList{"-s", "-i", "--path-as-is", "--max-time", "10"} + args +
                               QStringList{QString("http://127.0.0.1:%1%2").arg(port).arg(target)});
        curl.waitForFinished(15000);
        QByteArray out = curl.readAllStandardOutput();
        // An interim "100 Continue" stands before the real reply.
        while (out.startsWith("HTTP/1.1 100 ") && out.indexOf("\r\n\r\n") > 0)
            out.remove(0, out.indexOf("\r\n\r\n") + 4);
        Reply r;
        const int end = out.indexOf("\r\n\r\n");
        if (end < 0) return r;
        const QList<QByteArray> lines = out.left(end).split('\n');
        r.status = lines.value(0).split(' ').value(1).toInt();
        for (const QByteArray& line : lines.mid(1)) {
            const int colon = line.indexOf(':');
            if (colon > 0)
                r.headers.insert(QString::fromLatin1(line.left(colon)).toLower(),
                                 QString::fromUtf8(line.mid(colon + 1)).trimmed());
        }
        r.body = out.mid(end + 4);
        return r;
    }
    QVariant answer(const QString& target, const QStringList& args = {}) const
    {
        return QJsonDocument::fromJson(get(target, args).body).toVariant();
    }
    QVariantMap json(const QString& target, const QStringList& args = {}) const
    {
        return answer(target, args).toMap();
    }
};

// An authorised request every 200 ms; a request still open when the next is due is not doubled,
// its wait goes on counting.
class Probe : public QObject
{
public:
    Probe(quint16 port, const QString& token, const QString& target = "/api/setting?modem=3001&code=version")
    {
        request.setUrl(QUrl(QString("http://127.0.0.1:%1%2").arg(port).arg(target)));
        request.setRawHeader("Cookie", "TARVIK_JWT=" + token.toLatin1());
        tick.setInterval(200);
        connect(&tick, &QTimer::timeout, this, &Probe::fire);
        tick.start();
        fire();
    }
    // The longest wait, the one still open included.
    qint64 stop()
    {
        tick.stop();
        if (open) worst = qMax(worst, since.elapsed());
        return worst;
    }
    // The wait that 95 of 100 probes did not pass.
    qint64 p95() const
    {
        QList<qint64> sorted = waits;
        std::sort(sorted.begin(), sorted.end());
        return sorted.isEmpty() ? worst : sorted.at(sorted.size() * 95 / 100);
    }
    int answered = 0;
    QList<qint64> waits;

private:
    void fire()
    {
        if (open) {
            worst = qMax(worst, since.elapsed());
            return;
        }
        since.start();
        open = nam.get(request);
        connect(open, &QNetworkReply::finished, this, [this] {
            worst = qMax(worst, since.elapsed());
            waits << since.elapsed();
            if (open->error() == QNetworkReply::NoError) ++answered;
            open->deleteLater();
            open = nullptr;
        });
    }
    QNetworkAccessManager nam;
    QNetworkRequest request;
    QTimer tick;
    QElapsedTimer since;
    QNetworkReply* open = nullptr;
    qint64 worst = 0;
};

} // namespace api_daemon
