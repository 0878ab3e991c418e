#pragma once
// Helpers every suite shares. The shape of a suite:
// - Byte vectors live in tests/data/<suite>.txt, one case a line: "name | input | expected ...",
//   under "[section]" headers; " | " separates fields, "-" marks an empty one (the suite reads
//   it so), '#' starts a comment, a trailing '\' continues a line. A _data() slot is one call:
//       void decode_data() { testsupport::vector_rows(VECTORS("parser_ul.txt"), "decode"); }
//   and the slot reads the fields with QFETCH(QStringList, f). Inputs are hex (blanks ignored)
//   and may hold time tokens, see vector_bytes(). The same files seed the hostile-input tests
//   (label SANITIZE) and the fuzz corpus, so a new vector is fuzzed as well: a new parser of
//   outside bytes gets a harness with one stanza in fuzz/CMakeLists.txt naming its vector file.
// - Properties (encode -> decode round trips, agreement with an independent reading) over
//   generated inputs, plus a few exact vectors pinning each form's bytes.
// - Suites test what would catch a real fault (wrong bytes, lost rows, wrong state, bad input
//   handled badly), not what restates the code (lookup tables, timer intervals read back).
// - Log lines: Log_capture (or QTest::ignoreMessage). Storage stand-in: storage_double.h.
//   Throwaway MariaDB and RabbitMQ: services(), services_control(), schema_database().
// - Waits: QTRY_VERIFY_WITH_TIMEOUT on a condition, never a fixed sleep.

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <mutex>

// Path of a vector file under tests/data, found the way QtTest finds test data.
#define VECTORS(file) QFINDTESTDATA("../data/" file)

namespace testsupport {

// "01 0a ff" or "010AFF" -> bytes (blanks ignored).
QByteArray hex(const char* text);
QByteArray hex(const QString& text);
// bytes -> "010AFF"
QString hex_of(const QByteArray& bytes);

// ---- vector files

struct Vector
{
    QString section;
    QString name;
    QStringList fields; // after the name, trimmed
};
// The cases of `section` (all of them when empty). A file that cannot be read fails loudly.
QList<Vector> read_vectors(const QString& path, const QString& section = QString());
// Inside a _data() slot: one row per case, its fields in the QStringList column "f".
void vector_rows(const QString& path, const QString& section = QString());
// Hex with tokens written big-endian: {T+n} (reception time `t` plus n), {now-n} (the clock),
// {n} (a number); 4 bytes unless ":k" follows, as in {now-1000:3}.
QByteArray vector_bytes(const QString& text, qint64 t);
// The same tokens in decimal, for expected texts.
QString vector_text(const QString& text, qint64 t);

// Bytes in a heap block of exactly their size, so that a read of even one byte past the end is
// a fault under the address sanitizer (a QByteArray keeps a terminating zero behind its data).
class Exact
{
public:
    explicit Exact(const QByteArray& src);
    const QByteArray& get() const { return bytes; }
    uint8_t* data() const { return reinterpret_cast<uint8_t*>(block.get()); }
    int size() const { return bytes.size(); }

private:
    std::unique_ptr<char[]> block;
    QByteArray bytes;
};

// ---- log capture: every message of the process (our logger and, through sink(), the AMQP
// library's) while it lives, from any thread.
class Log_capture
{
public:
    explicit Log_capture(int level = 6); // LVL_TRC: format every line
    ~Log_capture();
    bool has(const QString& part) const { return count(part) > 0; }
    int count(const QString& part) const;
    QString all() const;
    void clear();
    static void sink(int, const QString& message); // for AMQP::setLogHandler

private:
    mutable std::mutex mutex; // seen by the thread checker, unlike QMutex
    QStringList lines;
    int saved_level;
    void* previous;
};

// The command numbers of the "drvStrova5_N" status ids named, singly or as ranges "drvStrova5_N-M",
// in the lines of `log` that contain `marker`.
QSet<uint32_t> named_status_ids(const QString& log, const QString& marker);

// ---- the throwaway services (support/services.sh, ctest fixture "services")

// KEY=VALUE lines of a services.env written by services.sh.
QMap<QString, QString> read_env_file(const QString& path);
// Coordinates of the shared services; empty when the test runs without the fixture.
QMap<QString, QString> services();
QString service(const QString& key);
bool services_available();
// Storage settings ("host", "port", "user", "pass", "db_name") for `env`'s MariaDB.
QVariantMap db_config(const QMap<QString, QString>& env, const QString& db_name);
// A TCP port nothing listens on at the moment, below the ephemeral range (so no outgoing
// connection takes it before the server under test listens on it).
quint16 free_port();

// The same as the server's administrator (SET GLOBAL, account limits): the daemon's account
// lacks those rights.
QSqlDatabase open_admin_database(const QString& connection, const QMap<QString, QString>& env = services());
// A python3 TCP proxy in front of the throwaway MariaDB that loses the answer to the n-th
// statement containing `pattern` and closes that connection, or passes the answer's first
// `pass_bytes` and then holds that connection silent (support/sql_proxy.py); later
// connections pass through. Without a pattern it relays any protocol's bytes as they come (the
// broker's too). hold() makes it a black hole, old and new connections alike, without closing
// a socket; release() delivers what was held and forwards again. rate() lets the server's bytes
// reach the client at `bytes_per_s` (0: freely): the answers of statements containing `text`
// (a proxy started with a pattern reads the statements), or everything without it. Ends with the
// object.
class Sql_proxy
{
public:
    Sql_proxy(quint16 server_port, const QString& pattern = QString(), int n = 0, int pass_bytes = -1);
    ~Sql_proxy();
    quint16 port() const { return listen_port; }
    bool hold() { return order("hold"); }
    bool release() { return order("release"); }
    bool rate(int bytes_per_s, const QString& text = QString())
    {
        return order(
            ("rate " + QString::number(bytes_per_s) + (text.isEmpty() ? QString() : " " + text)).toUtf8());
    }

private:
    bool order(const QByteArray& word);
    QProcess process;
    quint16 listen_port = 0;
};

// Creates a fresh database (dropping one of the same name) and returns its name.
QString create_database(const QString& name, const QMap<QString, QString>& env = services());
// Opens a QMYSQL connection named `connection` to `database` on the throwaway server.
QSqlDatabase open_database(const QString& connection, const QString& database,
                           const QMap<QString, QString>& env = services());
// Runs a SQL file (statements separated by ';' at line ends) on an open connection.
bool run_sql_file(QSqlDatabase& db, const QString& path, QString* error = nullptr);
// A fresh database with sql/schema.sql loaded, opened as `connection`.
QSqlDatabase schema_database(const QString& name, const QString& connection,
                             const QMap<QString, QString>& env = services());
// The first column of the first row of `sql` as a number, -1 (and a warning) when it fails.
int count_rows(QSqlDatabase& db, const QString& sql);

// Runs services.sh COMMAND STATE ARGS (mysql-stop, rabbit-start, rabbitmqctl ...) on the
// services whose state directory is `state` (the shared ones when empty). When it fails, its
// output goes to the test log.
int services_control(const QStringList& args, QString* output = nullptr, const QString& state = QString());

// A private MariaDB with the shipped schema, for tests that stop it or change its settings: the
// shared one serves the tests running beside. It is stopped however the test ends.
struct Private_server
{
    QTemporaryDir dir{qEnvironmentVariable("STROVA_TMP", QStringLiteral("/tmp")) + "/stpriv.XXXXXX"};
    bool run(const QStringList& args) { return services_control(args, nullptr, dir.path()) == 0; }
    bool start() { return run({"start", "mysql"}); }
    // Opens `check` on the server's database, loads the schema; the server's coordinates.
    QMap<QString, QString> open_check(QSqlDatabase& check)
    {
        const auto priv = read_env_file(dir.path() + "/services.env");
        check = open_database("private", priv["STROVA_MYSQL_DB"], priv);
        if (check.isOpen()) QSqlQuery(check).exec("SET NAMES utf8mb4");
        if (check.isOpen() && !run_sql_file(check, STROVA_SOURCE_DIR "/sql/schema.sql")) check.close();
        return priv;
    }
    // start() and open_check() in one: the server's coordinates, empty when either failed.
    QMap<QString, QString> start_with_schema(QSqlDatabase& check)
    {
        if (!start()) return {};
        const auto priv = open_check(check);
        return check.isOpen() ? priv : QMap<QString, QString>{};
    }
    ~Private_server() { run({"stop"}); }
};

// Runs support/amqp_peer.py (pika, an independent AMQP peer) against `uri`; its output lines.
QStringList amqp_peer(const QString& uri, const QStringList& args);

// Runs `program` with `input` on its standard input and returns its standard output; a program
// that does not start, does not end within two minutes or fails sets *error.
QByteArray run_tool(const QString& program, const QStringList& args, const QByteArray& input = QByteArray(),
                    QString* error = nullptr);

// API access tokens minted by support/mint_token.py (python3's hmac, an independent issuer),
// one per token: a JSON object with "payload" and optionally "key", "urlsafe", "parts".
QStringList mint_tokens(const QStringList& descs);

// The *.log files of `dir` (a daemon's log directory), concatenated.
QString read_logs(const QString& dir);

// Path of the built daemon executable.
QString daemon_path();

// The "rabbit" section of a configuration: uplinks from `queue`, downlinks to `exchange`, both on
// the virtual host `vhost` of the broker at `uri`.
QVariantMap rabbit_config(const QString& uri, const QString& queue, const QString& exchange, const QString& vhost,
                          const QString& api_key);

// A daemon process with its configuration and log in a directory of its own, killed at the end
// if it still runs.
struct Daemon_process
{
    QTemporaryDir dir;
    QProcess proc;

    Daemon_process() = default;
    Daemon_process(const Daemon_process&) = delete;
    Daemon_process& operator=(const Daemon_process&) = delete;
    ~Daemon_process();
    bool write_config(const QVariantMap& config) const;
    bool start();
    bool running() const { return proc.state() == QProcess::Running; }
    QString log() const { return read_logs(dir.path()); }
};

} // namespace testsupport
