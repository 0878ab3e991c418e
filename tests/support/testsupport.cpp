#include "testsupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>

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

QMap<QString, QString> services()
{
    QMap<QString, QString> out;
    QFile f(qEnvironmentVariable("STROVA_SERVICES_ENV"));
    if (!f.open(QIODevice::ReadOnly))
        return out;
    QTextStream in(&f);
    while (!in.atEnd()) {
        const QString line = in.readLine();
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq > 0)
            out.insert(line.left(eq), line.mid(eq + 1));
    }
    return out;
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

QString daemon_path()
{
    return QStringLiteral(STROVA_BINARY_DIR "/strova5/driver_strova5");
}

} // namespace testsupport
