#pragma once
// Helpers shared by the tests: hex vectors, the throwaway services, the daemon binary.

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

namespace testsupport {

// "01 0a ff" or "010AFF" -> bytes (blanks ignored).
QByteArray hex(const char* text);
// bytes -> "010AFF"
QString hex_of(const QByteArray& bytes);

// Coordinates of the throwaway services written by support/services.sh (STROVA_* keys).
// Empty when the test runs without the services fixture.
QMap<QString, QString> services();
// KEY=VALUE lines of a services.env written by support/services.sh.
QMap<QString, QString> read_env_file(const QString& path);
QString service(const QString& key);
bool services_available();

// Creates a fresh database (dropping one of the same name) and returns its name.
QString create_database(const QString& name);
// Opens a QMYSQL connection named `connection` to `database` on the throwaway server.
QSqlDatabase open_database(const QString& connection, const QString& database);
// Runs a SQL file (statements separated by ';' at line ends) on an open connection.
bool run_sql_file(QSqlDatabase& db, const QString& path, QString* error = nullptr);

// Runs services.sh COMMAND (mysql-stop, mysql-start, rabbit-stop, rabbit-start, rabbitmqctl ...).
int services_control(const QStringList& args, QString* output = nullptr);

// Runs support/amqp_peer.py (pika, an independent AMQP peer) against `uri`; its output lines.
QStringList amqp_peer(const QString& uri, const QStringList& args);

// Path of the built daemon executable.
QString daemon_path();

} // namespace testsupport
