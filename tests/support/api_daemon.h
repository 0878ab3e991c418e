#pragma once
// The daemon as the API's clients meet it: run from a temporary copy so that ui/ and tst.json
// are the test's, against the throwaway MariaDB and RabbitMQ, asked with curl; tokens come from
// an independent issuer (python3's hmac).
#include "testsupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

namespace api_daemon {

struct Reply
{
    int status = 0;
    QMap<QString, QString> headers; // names lower-cased
    QByteArray body;
    QString header(const QString& name) const { return headers.value(name.toLower()); }
};

inline quint16 free_port()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

inline bool write_file(const QString& path, const QByteArray& content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
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

// The daemon run from its own directory: binary, configuration, ui/ and tst.json.
struct Daemon
{
    QTemporaryDir dir;
    QProcess proc;
    quint16 port = 0;

    explicit Daemon(const QVariantMap& extra, quint16 fixed_port = 0, const QString& db_name = "st_api_web")
    {
        port = fixed_port ? fixed_port : free_port();
        QFile::copy(testsupport::daemon_path(), dir.path() + "/driver_strova5");
        QDir(dir.path()).mkpath("ui/a");
        write_file(dir.path() + "/ui/redir.html", "<html>redir</html>");
        write_file(dir.path() + "/ui/x.json", "{}");
        write_file(dir.path() + "/ui/x.html.css", "b{}");
        write_file(dir.path() + "/x", "outside");
        const auto s = testsupport::services();
        QVariantMap cfg{{"log_level", 6},
                        {"sql", QVariantMap{{"host", s["STROVA_MYSQL_HOST"]},
                                            {"port", s["STROVA_MYSQL_PORT"].toInt()},
                                            {"user", s["STROVA_MYSQL_USER"]},
                                            {"pass", s["STROVA_MYSQL_PASS"]},
                                            {"db_name", db_name}}},
                        {"api", QVariantMap{{"port", port}}}};
        for (auto it = extra.cbegin(); it != extra.cend(); ++it) {
            if (it.key() == "api") {
                QVariantMap api = it.value().toMap();
                api.insert("port", port);
                cfg.insert("api", api);
            } else if (it.value().type() == QVariant::Map && cfg.value(it.key()).type() == QVariant::Map) {
                QVariantMap merged = cfg.value(it.key()).toMap();
                const QVariantMap more = it.value().toMap();
                for (auto m = more.cbegin(); m != more.cend(); ++m)
                    merged.insert(m.key(), m.value());
                cfg.insert(it.key(), merged);
            } else {
                cfg.insert(it.key(), it.value());
            }
        }
        write_file(dir.path() + "/cfg.json", QJsonDocument::fromVariant(cfg).toJson());
    }
    ~Daemon() { stop(); }
    QString path(const QString& name) const { return dir.path() + "/" + name; }
    bool start()
    {
        const int before = log().count("http created"); // a restart keeps the old logs
        proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        proc.start(path("driver_strova5"), {"-c", path("cfg.json"), "-l", path("log/drv.log")});
        if (!proc.waitForStarted(5000)) return false;
        for (int i = 0; i < 200 && proc.state() == QProcess::Running; ++i) {
            if (log().count("http created") > before) return true;
            QTest::qWait(50);
        }
        return false;
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
        const QByteArray out = curl.readAllStandardOutput();
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
    QVariantMap json(const QString& target, const QStringList& args = {}) const
    {
        return QJsonDocument::fromJson(get(target, args).body).toVariant().toMap();
    }
};

inline QStringList cookie(const QString& token)
{
    return {"-b", "TARVIK_JWT=" + token};
}

} // namespace api_daemon
