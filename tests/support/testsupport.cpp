#include "testsupport.h"

#include "logger.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QtTest>
#include <cstdio>
#include <ctime>

namespace testsupport {

QByteArray hex(const char* text)
{
    return hex(QString::fromLatin1(text));
}

QByteArray hex(const QString& text)
{
    QByteArray t = text.toLatin1();
    t.replace(' ', "").replace('\n', "");
    return QByteArray::fromHex(t);
}

QString hex_of(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex().toUpper());
}

// ---- vector files

QList<Vector> read_vectors(const QString& path, const QString& section)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        qFatal("vector file %s cannot be read", qPrintable(path));
    QList<Vector> out;
    QString current, pending;
    for (const QString& raw : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'))) {
        QString line = pending + raw.trimmed();
        pending.clear();
        if (line.endsWith(QLatin1Char('\\'))) {
            pending = line.chopped(1);
            continue;
        }
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            current = line.mid(1, line.size() - 2);
            continue;
        }
        if (!section.isEmpty() && current != section)
            continue;
        // " | " separates fields, and a bar inside a field (as in "ul|dl") stays; a line
        // without it is "name|field|...".
        static const QRegularExpression bar(QStringLiteral("\\s+\\|(\\s+|$)"));
        QStringList fields = line.contains(bar) ? line.split(bar) : line.split(QLatin1Char('|'));
        for (QString& field : fields)
            field = field.trimmed();
        out.append({current, fields.takeFirst(), fields});
    }
    if (out.isEmpty())
        qFatal("no vectors in %s [%s]", qPrintable(path), qPrintable(section));
    return out;
}

void vector_rows(const QString& path, const QString& section)
{
    QTest::addColumn<QStringList>("f");
    for (const Vector& v : read_vectors(path, section))
        QTest::newRow(qPrintable(v.name)) << v.fields;
}

namespace {
const QRegularExpression kToken(QStringLiteral("\\{(T|now|(?=\\d))([+-]?\\d+)?(?::(\\d))?\\}"));

qint64 token_value(const QRegularExpressionMatch& m, qint64 t)
{
    const QString base = m.captured(1);
    const qint64 v = base == QLatin1String("T") ? t : base == QLatin1String("now") ? qint64(std::time(nullptr)) : 0;
    return v + m.captured(2).toLongLong();
}
} // namespace

QByteArray vector_bytes(const QString& text, qint64 t)
{
    QString out = text;
    for (QRegularExpressionMatch m; (m = kToken.match(out)).hasMatch();) {
        const int bytes = m.captured(3).isEmpty() ? 4 : m.captured(3).toInt();
        const quint64 v = quint64(token_value(m, t));
        QString h;
        for (int i = bytes - 1; i >= 0; --i)
            h += QStringLiteral("%1").arg((v >> (8 * i)) & 0xFF, 2, 16, QLatin1Char('0'));
        out.replace(m.capturedStart(), m.capturedLength(), h);
    }
    return hex(out);
}

QString vector_text(const QString& text, qint64 t)
{
    QString out = text;
    for (QRegularExpressionMatch m; (m = kToken.match(out)).hasMatch();)
        out.replace(m.capturedStart(), m.capturedLength(), QString::number(token_value(m, t)));
    return out;
}

Exact::Exact(const QByteArray& src) : block(new char[size_t(qMax(1, src.size()))])
{
    if (!src.isEmpty())
        memcpy(block.get(), src.constData(), size_t(src.size()));
    bytes = QByteArray::fromRawData(block.get(), src.size());
}

// ---- log capture

namespace {
Log_capture* g_capture = nullptr;
std::mutex g_capture_mutex;
void capture_handler(QtMsgType, const QMessageLogContext&, const QString& message)
{
    Log_capture::sink(0, message);
}
} // namespace

Log_capture::Log_capture(int level) : saved_level(log_get_level())
{
    std::lock_guard<std::mutex> lock(g_capture_mutex);
    g_capture = this;
    previous = reinterpret_cast<void*>(qInstallMessageHandler(capture_handler));
    log_set_level(level);
}

Log_capture::~Log_capture()
{
    std::lock_guard<std::mutex> lock(g_capture_mutex);
    log_set_level(saved_level);
    qInstallMessageHandler(reinterpret_cast<QtMessageHandler>(previous));
    g_capture = nullptr;
}

void Log_capture::sink(int, const QString& message)
{
    std::lock_guard<std::mutex> lock(g_capture_mutex);
    if (g_capture) {
        std::lock_guard<std::mutex> inner(g_capture->mutex);
        g_capture->lines << message;
    }
    if (qEnvironmentVariableIsSet("TST_SHOW_LOG"))
        fprintf(stderr, "%s\n", qPrintable(message));
}

QSet<uint32_t> named_status_ids(const QString& log, const QString& marker)
{
    QSet<uint32_t> out;
    const QRegularExpression id(QStringLiteral("drvStrova5_(\\d+)(?:-(\\d+))?"));
    for (const QString& line : log.split(QLatin1Char('\n'))) {
        if (!line.contains(marker)) continue;
        for (auto it = id.globalMatch(line); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            const uint32_t first = m.captured(1).toUInt();
            const uint32_t last = m.captured(2).isEmpty() ? first : m.captured(2).toUInt();
            for (uint32_t n = first; n <= last && n >= first; ++n)
                out.insert(n);
        }
    }
    return out;
}

int Log_capture::count(const QString& part) const
{
    std::lock_guard<std::mutex> lock(mutex);
    int n = 0;
    for (const QString& line : lines)
        n += line.contains(part) ? 1 : 0;
    return n;
}

QString Log_capture::all() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return lines.join(QLatin1Char('\n'));
}

void Log_capture::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    lines.clear();
}

// ---- services

QMap<QString, QString> read_env_file(const QString& path)
{
    QMap<QString, QString> out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            out.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    }
    return out;
}

QMap<QString, QString> services()
{
    return read_env_file(qEnvironmentVariable("STROVA_SERVICES_ENV"));
}

QString service(const QString& key)
{
    return services().value(key);
}

bool services_available()
{
    return !service(QStringLiteral("STROVA_SERVICES_DIR")).isEmpty();
}

quint16 free_port()
{
    // Below the ephemeral range: a port the kernel hands out there may become the local end of
    // an outgoing connection (the daemon's own, to MariaDB or the broker) before the server under
    // test listens on it. Above the band where services.sh keeps rabbitmqctl's runs of ports,
    // any of which a CLI may hold for a moment.
    int low = 32768;
    QFile range(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range"));
    if (range.open(QIODevice::ReadOnly)) {
        const int first = QString::fromLatin1(range.readAll()).simplified().section(' ', 0, 0).toInt();
        if (first > 2048) low = first;
    }
    const int from = qMax(1024, low - 10000);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const quint16 port = quint16(QRandomGenerator::global()->bounded(from, low));
        QTcpServer probe;
        if (probe.listen(QHostAddress::Any, port)) return port;
    }
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QVariantMap db_config(const QMap<QString, QString>& env, const QString& db_name)
{
    return {{"host", env.value("STROVA_MYSQL_HOST")}, {"port", env.value("STROVA_MYSQL_PORT")},
            {"user", env.value("STROVA_MYSQL_USER")}, {"pass", env.value("STROVA_MYSQL_PASS")},
            {"db_name", db_name}};
}

QSqlDatabase open_database(const QString& connection, const QString& database, const QMap<QString, QString>& s)
{
    QSqlDatabase db = QSqlDatabase::contains(connection) ? QSqlDatabase::database(connection, false)
                                                         : QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), connection);
    db.setHostName(s.value(QStringLiteral("STROVA_MYSQL_HOST")));
    db.setPort(s.value(QStringLiteral("STROVA_MYSQL_PORT")).toInt());
    db.setUserName(s.value(QStringLiteral("STROVA_MYSQL_USER")));
    db.setPassword(s.value(QStringLiteral("STROVA_MYSQL_PASS")));
    db.setDatabaseName(database);
    db.open();
    return db;
}

QSqlDatabase open_admin_database(const QString& connection, const QMap<QString, QString>& env)
{
    QMap<QString, QString> admin = env;
    admin.insert(QStringLiteral("STROVA_MYSQL_USER"), env.value(QStringLiteral("STROVA_MYSQL_ADMIN")));
    admin.insert(QStringLiteral("STROVA_MYSQL_PASS"), QString());
    return open_database(connection, QString(), admin);
}

Sql_proxy::Sql_proxy(quint16 server_port, const QString& pattern, int n, int pass_bytes)
{
    QStringList args{QStringLiteral(STROVA_SOURCE_DIR "/tests/support/sql_proxy.py"),
                     QString::number(server_port), pattern, QString::number(n)};
    if (pass_bytes >= 0) args << QString::number(pass_bytes);
    process.start(QStringLiteral("/usr/bin/python3"), args);
    while (!process.canReadLine() && process.waitForReadyRead(10000)) {
    }
    if (process.canReadLine()) listen_port = quint16(process.readLine().trimmed().toUInt());
}

bool Sql_proxy::order(const QByteArray& word)
{
    process.write(word + '\n');
    QByteArray answer;
    while (answer.isEmpty()) {
        while (!process.canReadLine()) {
            if (!process.waitForReadyRead(10000)) {
                std::fprintf(stderr, "sql_proxy.py did not take %s: state %d, %s\n", word.constData(),
                             int(process.state()), process.readAllStandardError().constData());
                return false;
            }
        }
        answer = process.readLine().trimmed();
    }
    if (answer != "ok")
        std::fprintf(stderr, "sql_proxy.py answered %s to %s\n", answer.constData(), word.constData());
    return answer == "ok";
}

Sql_proxy::~Sql_proxy()
{
    process.kill();
    process.waitForFinished(5000);
}

QString create_database(const QString& name, const QMap<QString, QString>& env)
{
    {
        QSqlDatabase db = open_database(QStringLiteral("testsupport_admin"), QString(), env);
        QSqlQuery q(db);
        q.exec(QStringLiteral("DROP DATABASE IF EXISTS `%1`").arg(name));
        q.exec(QStringLiteral("CREATE DATABASE `%1` CHARACTER SET utf8mb4").arg(name));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("testsupport_admin"));
    return name;
}

bool run_sql_file(QSqlDatabase& db, const QString& path, QString* error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot open ") + path;
        return false;
    }
    QString statement;
    for (const QString& line : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'))) {
        if (line.trimmed().startsWith(QLatin1String("--")))
            continue;
        statement += line + QLatin1Char('\n');
        if (line.trimmed().endsWith(QLatin1Char(';'))) {
            QSqlQuery q(db);
            if (!q.exec(statement)) {
                if (error)
                    *error = q.lastError().text() + QStringLiteral(" in ") + statement;
                return false;
            }
            statement.clear();
        }
    }
    return true;
}

int count_rows(QSqlDatabase& db, const QString& sql)
{
    QSqlQuery q(db);
    if (!q.exec(sql) || !q.next()) {
        qWarning() << sql << q.lastError().text();
        return -1;
    }
    return q.value(0).toInt();
}

QSqlDatabase schema_database(const QString& name, const QString& connection, const QMap<QString, QString>& env)
{
    create_database(name, env);
    QSqlDatabase db = open_database(connection, name, env);
    QString error;
    if (!run_sql_file(db, QStringLiteral(STROVA_SOURCE_DIR "/sql/schema.sql"), &error))
        qWarning("schema not loaded: %s", qPrintable(error));
    return db;
}

int services_control(const QStringList& args, QString* output, const QString& state)
{
    const auto s = services();
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    QStringList all;
    all << args.first() << (state.isEmpty() ? s.value(QStringLiteral("STROVA_SERVICES_STATE")) : state)
        << args.mid(1);
    p.start(QStringLiteral(STROVA_SOURCE_DIR "/tests/support/services.sh"), all);
    // The event loop keeps running meanwhile: a client under test must go on sending its
    // heartbeats while rabbitmqctl takes its seconds.
    QElapsedTimer t;
    t.start();
    while (!p.waitForFinished(20) && p.state() != QProcess::NotRunning && t.elapsed() < 180000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    const QString text = QString::fromUtf8(p.readAll());
    if (output)
        *output = text;
    const int rc = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    // A failed start in CI must say why.
    if (rc != 0)
        qWarning().noquote() << "services.sh" << all.join(QLatin1Char(' ')) << "failed:\n" << text;
    return rc;
}

QByteArray run_tool(const QString& program, const QStringList& args, const QByteArray& input, QString* error)
{
    QProcess p;
    p.start(program, args);
    QString why;
    if (!p.waitForStarted(10000)) {
        why = program + QStringLiteral(" did not start");
    } else {
        p.write(input);
        p.closeWriteChannel();
        if (!p.waitForFinished(120000))
            why = program + QStringLiteral(" did not finish");
        else if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
            why = program + QStringLiteral(" failed: ") + QString::fromUtf8(p.readAllStandardError());
    }
    if (error)
        *error = why;
    return p.readAllStandardOutput();
}

QString read_logs(const QString& dir)
{
    QString all;
    for (const QString& name : QDir(dir).entryList({QStringLiteral("*.log")}, QDir::Files, QDir::Name)) {
        QFile f(dir + QLatin1Char('/') + name);
        if (f.open(QIODevice::ReadOnly))
            all += QString::fromUtf8(f.readAll());
    }
    return all;
}

QStringList amqp_peer(const QString& uri, const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"),
            QStringList() << QStringLiteral(STROVA_SOURCE_DIR "/tests/support/amqp_peer.py") << uri << args);
    p.waitForFinished(120000);
    if (p.exitCode() != 0)
        qWarning() << "amqp peer failed" << args.mid(0, 2) << p.readAllStandardError();
    return QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList mint_tokens(const QStringList& descs)
{
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(STROVA_SOURCE_DIR "/tests/support/mint_token.py")});
    p.write(descs.join(QLatin1Char('\n')).toUtf8() + '\n');
    p.closeWriteChannel();
    p.waitForFinished(30000);
    if (p.exitCode() != 0) qWarning() << "token minting failed" << p.readAllStandardError();
    return QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString daemon_path()
{
    return QStringLiteral(STROVA_BINARY_DIR "/strova5/driver_strova5");
}

QVariantMap rabbit_config(const QString& uri, const QString& queue, const QString& exchange, const QString& vhost,
                          const QString& api_key)
{
    return QVariantMap{
        {QStringLiteral("ul"), QVariantMap{{"path", uri}, {"queue", queue}, {"host", vhost}}},
        {QStringLiteral("dl"),
         QVariantMap{{"path", uri}, {"exchange", exchange}, {"host", vhost}, {"api_key", api_key}}}};
}

Daemon_process::~Daemon_process()
{
    if (proc.state() != QProcess::NotRunning) {
        proc.kill();
        proc.waitForFinished(10000);
    }
}

bool Daemon_process::write_config(const QVariantMap& config) const
{
    QFile cfg(dir.path() + QStringLiteral("/cfg.json"));
    return cfg.open(QIODevice::WriteOnly) && cfg.write(QJsonDocument::fromVariant(config).toJson()) > 0;
}

bool Daemon_process::start()
{
    proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    proc.start(daemon_path(), {"-c", dir.path() + "/cfg.json", "-l", dir.path() + "/drv.log"});
    return proc.waitForStarted(5000);
}

} // namespace testsupport
