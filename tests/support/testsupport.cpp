#include "testsupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QDebug>

namespace testsupport {

QByteArray hex(const char* text)
{
    QByteArray t(text);
    t.replace(' ', "").replace('\n', "");
    return QByteArray::fromHex(t);
}

QString hex_of(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex().toUpper());
}

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

QSqlDatabase open_database(const QString& connection, const QString& database)
{
    const auto s = services();
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

QString create_database(const QString& name)
{
    {
        QSqlDatabase db = open_database(QStringLiteral("testsupport_admin"), QString());
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
    const QString text = QString::fromUtf8(f.readAll());
    QString statement;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
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

int services_control(const QStringList& args, QString* output)
{
    const auto s = services();
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    QStringList all;
    all << args.first() << s.value(QStringLiteral("STROVA_SERVICES_STATE")) << args.mid(1);
    p.start(s.value(QStringLiteral("STROVA_SERVICES_SCRIPT")), all);
    p.waitForFinished(180000);
    if (output)
        *output = QString::fromUtf8(p.readAll());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
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

QString daemon_path()
{
    return QStringLiteral(STROVA_BINARY_DIR "/strova5/driver_strova5");
}

} // namespace testsupport
