// Rows per second that the save batches write into MariaDB, next to the mariadb client sending a
// plain multi-row INSERT of the same rows.
//
//   bench_sql_save [rows]      (default 100000; starts and stops a private MariaDB)
#include "parser_strova5.h"
#include "sql_exchange.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

namespace {
class Bench_storage : public SQL_Exchange
{
public:
    using SQL_Exchange::SQL_Exchange;
    using SQL_Exchange::chunk_max_rows;
    using SQL_Exchange::data_batch;
    using SQL_Exchange::tmr_save;
};

// A realistic mix: one in four is a current-value record with a dozen values, the others hour
// profile records with the four energy registers.
QList<Parser_ul_app> uplinks(int rows)
{
    QList<Parser_ul_app> out;
    const uint32_t t0 = 1700000000;
    for (int i = 0; i < rows; ++i) {
        Parser_ul_app ul;
        ul.modem_id = 100000 + uint32_t(i % 10000);
        ul.ts_get = t0 + uint32_t(i);
        const bool current = i % 4 == 0;
        ul.header = current ? 0x40 : 0x42;
        Ul_data_record rec(current ? 254 : 15, t0 - 3600 * uint32_t(i / 10000 + 1), current ? 65535 : uint16_t(i / 10000),
                           current ? 65535 : 3);
        for (int c = 1; c <= 4; ++c)
            rec.values[obis_pack(1, 0, c, 8, 0, 255)] = 12345.678 + i + c;
        if (current)
            for (int c : {21, 41, 61, 31, 51, 71, 32, 52})
                rec.values[obis_pack(1, 0, c, 7, 0, 255)] = 230.1 + c / 10.0;
        ul.ul_datas << rec;
        out << ul;
    }
    return out;
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int rows = argc > 1 ? QString(argv[1]).toInt() : 100000;
    // Stopped however the run ends.
    testsupport::Private_server server;
    const QTemporaryDir& dir = server.dir;
    if (!server.start()) {
        std::fprintf(stderr, "MariaDB did not start (its output is above)\n");
        return 1;
    }
    int rc = 0;
    {
        QSqlDatabase db;
        const auto env = server.open_check(db);
        if (!db.isOpen()) {
            std::fprintf(stderr, "no database or schema\n");
            return 1;
        }
        const QVariantMap cfg = testsupport::db_config(env, env["STROVA_MYSQL_DB"]);

        const QList<Parser_ul_app> input = uplinks(rows);
        std::printf("%d uplink rows into modems_data (MariaDB on 127.0.0.1)\n", rows);
        QStringList tuples;
        QString prefix;
        for (int chunk : {100, 1000, 5000}) {
            QSqlQuery(db).exec("TRUNCATE modems_data");
            Bench_storage storage(cfg, nullptr);
            if (!storage.init()) {
                rc = 1;
                break;
            }
            storage.tmr_save->stop();
            storage.chunk_max_rows = chunk;
            QElapsedTimer t;
            t.start();
            for (const Parser_ul_app& ul : input)
                storage.slot_UL(ul);
            const qint64 build_ms = t.restart();
            tuples = storage.data_batch.tuples;
            prefix = storage.data_batch.prefix;
            storage.slot_tmr_save();
            const qint64 save_ms = qMax<qint64>(1, t.elapsed());
            QSqlQuery q(db);
            const int stored = q.exec("SELECT COUNT(*) FROM modems_data") && q.next() ? q.value(0).toInt() : -1;
            std::printf("  storage, at most %5d rows a statement: %8.0f rows/s written (%lld ms; tuples built in %lld ms; %d rows stored)\n",
                        chunk, rows * 1000.0 / save_ms, save_ms, build_ms, stored);
        }

        // The mariadb client sends the same rows as plain multi-row INSERTs of 1000 rows.
        QSqlQuery(db).exec("TRUNCATE modems_data");
        QFile sql(dir.path() + "/rows.sql");
        if (sql.open(QIODevice::WriteOnly)) {
            const QString insert = QString(prefix).replace("REPLACE INTO", "INSERT INTO");
            for (int i = 0; i < tuples.size(); i += 1000)
                sql.write((insert + tuples.mid(i, 1000).join(", ") + ";\n").toUtf8());
            sql.close();
        }
        QProcess client;
        client.setStandardInputFile(sql.fileName());
        QElapsedTimer t;
        t.start();
        client.start("mariadb", {"--no-defaults", "--protocol=tcp", "-h" + env["STROVA_MYSQL_HOST"],
                                 "-P" + env["STROVA_MYSQL_PORT"], "-u" + env["STROVA_MYSQL_USER"],
                                 "-p" + env["STROVA_MYSQL_PASS"], env["STROVA_MYSQL_DB"]});
        client.waitForFinished(600000);
        const qint64 client_ms = qMax<qint64>(1, t.elapsed());
        std::printf("  mariadb client, 1000 rows a statement: %8.0f rows/s (%lld ms, exit %d)\n",
                    rows * 1000.0 / client_ms, client_ms, client.exitCode());
        db.close();
    }
    QSqlDatabase::removeDatabase("private");
    return rc;
}
