// Disk taken by a day of a fleet of meters in the tables the daemon writes: each meter sends in a
// day 24 hour-archive records, one day-archive record, one current-values record with the three
// phases and the status words, and an event archive with two events. The uplinks are decoded by
// the meters' parser and written by the storage's batches, as in the daemon; the growth of each
// table's file and the server's own figure (data and indexes) are printed per row and per
// 10,000 meters a day.
//
//   bench_table_growth [meters]      (default 2000; starts and stops a private MariaDB)
#include "parser_strova5.h"
#include "radio_exchange.h"
#include "sql_exchange.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

namespace {

class Bench_storage : public SQL_Exchange
{
public:
    using SQL_Exchange::SQL_Exchange;
    using SQL_Exchange::tmr_save;
};

QString be32(uint v)
{
    return QStringLiteral("%1").arg(v, 8, 16, QLatin1Char('0')).toUpper();
}

// One meter's day of uplinks, reception times within the day that starts at `day`.
QStringList meter_day(uint modem, uint day)
{
    const auto json = [modem](const QString& payload, uint t) {
        return QStringLiteral(R"({"msg_type":"ul_app","modem_id":%1,"payload":"%2","station_id":7,)"
                              R"("rssi":-91,"snr":7,"time_detected":%3})")
            .arg(modem)
            .arg(payload)
            .arg(t);
    };
    // The four energy registers, growing through the day.
    const auto registers = [modem](uint hour) {
        QString out;
        for (int c = 1; c <= 4; ++c)
            out += QStringLiteral("%1").arg(0x80 | c, 2, 16, QLatin1Char('0')).toUpper() + "88" +
                   be32(modem % 1000 * 1000 + hour * 250 * uint(c));
        return out;
    };
    QStringList out;
    for (uint h = 1; h <= 24; ++h)
        out << json("420010" + be32(day + 3600 * h) + registers(h), day + 3600 * h + 120);
    out << json("440010" + be32(day + 86400) + registers(24), day + 86400 + 300);
    QString values = "400010" + be32(day + 43200);
    for (int c : {21, 23, 31, 32, 41, 43, 51, 52, 61, 63, 71, 72, 14})
        values += "0100" + QStringLiteral("%1").arg(c, 2, 16, QLatin1Char('0')).toUpper() + "0700FF" +
                  be32(uint(c) * 1013 + modem % 97);
    values += "0000600300FF" + be32(0x10002000 + modem % 7) + "0000600301FF" + be32(0x40008000);
    out << json(values, day + 43260);
    out << json("4F001004" + be32(0xFFFFFFFF) + be32(day + 20000) + "01" + be32(day + 20100) + "02",
                day + 43500);
    return out;
}

struct Table_size
{
    qint64 file = 0;   // bytes of the table's file
    qint64 server = 0; // data and index bytes as the server counts them
    qint64 rows = 0;
};

Table_size size_of(QSqlDatabase& db, const QString& datadir, const QString& table)
{
    Table_size s;
    s.file = QFileInfo(datadir + "/" + db.databaseName() + "/" + table + ".ibd").size();
    QSqlQuery q(db);
    q.exec("ANALYZE TABLE " + table);
    if (q.exec("SELECT DATA_LENGTH + INDEX_LENGTH FROM information_schema.TABLES WHERE TABLE_SCHEMA = "
               "DATABASE() "
               "AND TABLE_NAME = '" +
               table + "'") &&
        q.next())
        s.server = q.value(0).toLongLong();
    if (q.exec("SELECT COUNT(*) FROM " + table) && q.next()) s.rows = q.value(0).toLongLong();
    return s;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int meters = argc > 1 ? QString(argv[1]).toInt() : 2000;
    if (meters <= 0) return 2;
    // Stopped however the run ends.
    testsupport::Private_server server;
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
        const QString datadir = env["STROVA_SERVICES_DIR"] + "/mysql/data";
        const QVariantMap cfg = testsupport::db_config(env, env["STROVA_MYSQL_DB"]);
        const QStringList tables{"modems_data", "modems_event"};
        QMap<QString, Table_size> before;
        for (const QString& t : tables)
            before[t] = size_of(db, datadir, t);

        Bench_storage storage(cfg, nullptr);
        if (!storage.init()) return 1;
        storage.tmr_save->stop();
        const uint day = uint(QDateTime::currentSecsSinceEpoch()) / 86400 * 86400 - 2 * 86400;
        int uplinks = 0;
        for (int m = 0; m < meters; ++m) {
            for (const QString& json : meter_day(uint(20000000 + m), day)) {
                Radio_ul_input input;
                if (!Radio_Exchange::read_uplink(QJsonDocument::fromJson(json.toUtf8()).object(), input,
                                                 day + 2 * 86400)) {
                    std::fprintf(stderr, "uplink not read: %s\n", qPrintable(json));
                    return 1;
                }
                storage.slot_UL(parser_strova5::parse_ul_app(input));
                ++uplinks;
            }
            if (m % 200 == 199) storage.slot_tmr_save();
        }
        storage.slot_tmr_save();
        std::printf("%d meters, one day each: %d uplinks written by the storage's batches\n", meters,
                    uplinks);
        std::printf("%-14s %10s %16s %16s %22s\n", "table", "rows", "file B per row", "server B per row",
                    "MB per 10,000 meters a day");
        for (const QString& t : tables) {
            const Table_size after = size_of(db, datadir, t);
            const qint64 rows = after.rows - before[t].rows;
            if (rows <= 0) {
                std::printf("%-14s no rows written\n", qPrintable(t));
                rc = 1;
                continue;
            }
            const double file_per_row = double(after.file - before[t].file) / rows;
            const double server_per_row = double(after.server - before[t].server) / rows;
            std::printf("%-14s %10lld %16.0f %16.0f %22.1f\n", qPrintable(t), rows, file_per_row,
                        server_per_row, file_per_row * rows / meters * 10000 / 1e6);
        }
        db.close();
    }
    QSqlDatabase::removeDatabase("private");
    return rc;
}
