// What the reports of many modems cost the server, on a private server with nothing else running:
// the rows the engine reads for a day of 10,000 modems against the rows of their windows, and the
// statements an empty month of events takes. The neighbouring energy record stays exact for modems
// whose record lies months away, and after the rows of a span the registry holds are removed.
#include "api_controller.h"
#include "api_reports.h"
#include "api_reports_job.h"
#include "logger.h"
#include "ram_modems.h"
#include "sql_exchange.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QDateTime>
#include <QJsonDocument>
#include <QSqlQuery>
#include <QtTest>
#include <memory>

namespace {
constexpr uint32_t day = 86400;
constexpr uint32_t d0 = 1700006400; // a midnight
constexpr uint32_t fleet = 10000;
const QList<uint32_t> far_modems{20001, 20002, 20003};
} // namespace

class tst_sql_reports_read : public QObject
{
    Q_OBJECT

    std::unique_ptr<testsupport::Log_capture> log;
    testsupport::Private_server server;
    QSqlDatabase check;
    std::unique_ptr<RAM_modems> ram;
    std::unique_ptr<SQL_Exchange> storage;
    std::unique_ptr<API_controller> api;
    QString modem_list;
    QMap<QString, QString> server_env;

    void exec(const QString& statement)
    {
        QSqlQuery q(check);
        QVERIFY2(q.exec(statement), qPrintable(q.lastError().text() + " " + statement));
    }
    qint64 global_status(const QString& name)
    {
        QSqlQuery q(check);
        if (!q.exec(QString("SHOW GLOBAL STATUS LIKE '%1'").arg(name)) || !q.next()) return -1;
        return q.value(1).toLongLong();
    }
    QVariantMap request(const QString& modems, uint32_t from, uint32_t to, const QString& profile = {})
    {
        QVariantMap qitems{{"modem", modems}, {"timefrom", from}, {"timeto", to}};
        if (!profile.isEmpty()) qitems.insert("profile", profile);
        return QVariantMap{{"qitems", qitems}};
    }
    // The rows the engine read for one report, which must be answered (not refused): this
    // server's count of rows read from tables, InnoDB's own count where the server keeps it.
    qint64 rows_read_by(const std::function<QVariant()>& report)
    {
        const QString counter = global_status("Innodb_rows_read") >= 0 ? "Innodb_rows_read" : "Rows_read";
        const qint64 before = global_status(counter);
        const QVariant answer = report();
        const qint64 read = global_status(counter) - before;
        if (answer.userType() == qMetaTypeId<api_refusal>()) return -1;
        return read;
    }

    // The SELECTs the daemon's main session has sent so far.
    qint64 session_selects()
    {
        QSqlQuery q(QSqlDatabase::database("main_connect"));
        return q.exec("SHOW SESSION STATUS LIKE 'Com_select'") && q.next() ? q.value(1).toLongLong() : -1;
    }
    // The statements on modems_data the server's general log holds while `work` runs.
    QStringList logged_statements(const std::function<void()>& work)
    {
        QSqlDatabase admin = testsupport::open_admin_database("private_admin", server_env);
        QSqlQuery q(admin);
        QStringList out;
        if (!q.exec("TRUNCATE mysql.general_log") ||
            !q.exec("SET GLOBAL log_output = 'TABLE', GLOBAL general_log = 1"))
            return {"general log not available"};
        work();
        if (q.exec("SET GLOBAL general_log = 0") &&
            q.exec("SELECT CONVERT(argument USING utf8mb4) FROM mysql.general_log WHERE command_type = "
                   "'Query' AND argument LIKE '%modems_data%' AND argument NOT LIKE '%general_log%'"))
            while (q.next())
                out << q.value(0).toString();
        return out;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(testsupport::services_available(), "no throwaway MariaDB");
        log = std::make_unique<testsupport::Log_capture>();
        register_record_metatypes();
        const auto priv = server.start_with_schema(check);
        QVERIFY(!priv.isEmpty());
        server_env = priv;
        // Three days of hour records and four day records a modem, a reactive register in every
        // row; events only in the month before.
        exec(
            QString("INSERT INTO modems_data (modem_id, ts, ts_get, `type`, `index`, OBIS_1_8_0, OBIS_3_8_0) "
                    "SELECT 1 + (seq - 1) DIV 73, %1 + ((seq - 1) MOD 73) * 3600, %1 + ((seq - 1) MOD 73) * "
                    "3600 + 60, 66, (seq - 1) MOD 73, seq * 0.5, seq * 0.1 FROM seq_1_to_%2")
                .arg(d0 - day)
                .arg(fleet * 73));
        exec(QString(
                 "INSERT INTO modems_data (modem_id, ts, ts_get, `type`, `index`, OBIS_1_8_1, OBIS_3_8_0) "
                 "SELECT 1 + (seq - 1) DIV 4, %1 + ((seq - 1) MOD 4) * 86400, %1 + ((seq - 1) MOD 4) * 86400 "
                 "+ 120, 68, (seq - 1) MOD 4, seq * 2.5, seq * 0.2 FROM seq_1_to_%2")
                 .arg(d0 - day)
                 .arg(fleet * 4));
        exec(QString("INSERT INTO modems_event (modem_id, ts, ts_get, `type`, `index`, index_max, `event`, "
                     "worktime) "
                     "SELECT seq, %1 + seq, %1 + seq + 60, 2, 1, 65535, 17, 0 FROM seq_1_to_%2")
                 .arg(d0 - 20 * day)
                 .arg(fleet));
        // Far modems: hour records around d0 without a reactive register; theirs lie months away.
        for (const uint32_t modem : far_modems) {
            exec(QString(
                     "INSERT INTO modems_data (modem_id, ts, ts_get, `type`, `index`, OBIS_1_8_0) SELECT %1, "
                     "%2 + seq * 3600, %2 + seq * 3600 + 60, 66, seq, seq FROM seq_1_to_200")
                     .arg(modem)
                     .arg(d0 - 100 * 3600));
            exec(QString("INSERT INTO modems_data (modem_id, ts, ts_get, `type`, `index`, OBIS_4_8_1) VALUES "
                         "(%1, %2, %2, 66, 1, 1), (%1, %3, %3, 68, 1, 2), (%1, %4, %4, 66, 2, 3)")
                     .arg(modem)
                     .arg(d0 - (modem - 20000) * 60 * day)
                     .arg(d0 - 90 * day)
                     .arg(d0 + (modem - 20000) * 70 * day));
        }
        for (const char* table : {"modems_data", "modems_event"})
            exec(QString("ANALYZE TABLE %1").arg(table));

        ram = std::make_unique<RAM_modems>(QVariantMap(), nullptr);
        QStringList ids;
        for (uint32_t m = 1; m <= fleet; ++m) {
            ram->add_modem(m, {});
            ids << QString::number(m);
        }
        for (const uint32_t m : far_modems)
            ram->add_modem(m, {});
        modem_list = ids.join(',');
        storage =
            std::make_unique<SQL_Exchange>(testsupport::db_config(priv, priv["STROVA_MYSQL_DB"]), nullptr);
        QVERIFY(storage->init());
        api = std::make_unique<API_controller>(QVariantMap(), nullptr);
    }
    void cleanupTestCase()
    {
        api.reset();
        storage.reset();
        ram.reset();
        check.close();
    }

    // A day of every modem reads each row of its window once: no counting pass over the rows, the
    // window's ends one seek a modem and kind. The registry learns each modem's spans once (the
    // first report of a running daemon pays two rows a type for it).
    void day_of_the_fleet_reads_its_window_once()
    {
        const qint64 window = testsupport::count_rows(
            check, QString("SELECT COUNT(*) FROM modems_data WHERE modem_id <= %1 AND ts >= %2 AND ts <= %3")
                       .arg(fleet)
                       .arg(d0)
                       .arg(d0 + day));
        QCOMPARE(window, qint64(fleet) * 27); // 25 hour records and two day records a modem
        const auto ratio = [&](qint64 read) { return double(read) / double(window); };

        const qint64 orig = rows_read_by([&] {
            return api->api_report_history_orig(request(modem_list, d0, d0 + day - 1, "1.0.99.1.0.255"));
        });
        qInfo() << "history_orig of a day:" << orig << "rows read for" << window << "in the windows";
        QVERIFY2(orig > 0 && ratio(orig) <= 1.2, qPrintable(QString::number(orig)));

        // The day before, while the registry learns the spans.
        const qint64 learning =
            rows_read_by([&] { return api->api_report_history(request(modem_list, d0 - day, d0 - 1)); });
        qInfo() << "history of the day before, spans learned:" << learning << "rows read";
        QVERIFY2(learning > 0 && ratio(learning) <= 1.5, qPrintable(QString::number(learning)));

        // Besides its window, a modem's history reads the hour on each side of its window's ends
        // where their records are searched for (hour and day kinds, before and after: six rows),
        // and the row past each stretch read.
        const qint64 history =
            rows_read_by([&] { return api->api_report_history(request(modem_list, d0, d0 + day - 1)); });
        qInfo() << "history of a day:" << history << "rows read for" << window << "in the windows";
        QVERIFY2(history > 0 && double(history) <= 1.2 * double(window + 8 * fleet),
                 qPrintable(QString::number(history)));
    }

    // The statements of a day of 10,000 modems, as the server's general log holds them: the rows
    // of a piece of modems in one statement on the primary key (every modem in exactly one, none
    // a union of parts a modem), the window's ends near the window, never over a modem's whole
    // time when its record lies within days.
    void day_of_the_fleet_in_few_statements()
    {
        QSqlDatabase admin = testsupport::open_admin_database("private_admin", server_env);
        QVERIFY(admin.isOpen());
        const auto statements = [&](const std::function<QVariant()>& report) {
            QSqlQuery q(admin);
            [&] {
                QVERIFY(q.exec("TRUNCATE mysql.general_log"));
                QVERIFY(q.exec("SET GLOBAL log_output = 'TABLE', GLOBAL general_log = 1"));
            }();
            const QVariant answer = report();
            QStringList out;
            if (q.exec("SET GLOBAL general_log = 0") &&
                q.exec("SELECT CONVERT(argument USING utf8mb4) FROM mysql.general_log WHERE command_type = "
                       "'Query' AND argument LIKE '%modems_data%' AND argument NOT LIKE '%general_log%'"))
                while (q.next())
                    out << q.value(0).toString();
            if (answer.userType() == qMetaTypeId<api_refusal>()) out << "refused";
            return out;
        };
        for (const bool history : {false, true}) {
            const QStringList sent = statements([&] {
                return history ? api->api_report_history(request(modem_list, d0, d0 + day - 1))
                               : api->api_report_history_orig(
                                     request(modem_list, d0, d0 + day - 1, "1.0.99.1.0.255"));
            });
            QVERIFY(!sent.contains("refused"));
            int row_statements = 0, ids_read = 0;
            for (const QString& s : sent) {
                QVERIFY2(!s.contains("modem_id = "), qPrintable(s.left(300))); // a part a modem
                QVERIFY2(!s.contains("ts >= 0 AND ts <= 4294967295"), qPrintable(s.left(300)));
                if (!s.startsWith("SELECT * FROM modems_data")) continue;
                ++row_statements;
                const QRegularExpression list("modem_id in \\(([0-9,]*)\\)");
                for (auto m = list.globalMatch(s); m.hasNext();)
                    ids_read += m.next().captured(1).split(',').size();
            }
            qInfo() << (history ? "history:" : "history_orig:") << sent.size() << "statements,"
                    << row_statements << "of rows";
            QCOMPARE(ids_read, int(fleet));
            QVERIFY2(row_statements <= int(fleet) / 16, qPrintable(QString::number(row_statements)));
        }
    }

    // An empty month of events: the key tells that no modem has one, and nothing is read per modem.
    void empty_month_of_events_takes_few_statements()
    {
        QSqlQuery session(QSqlDatabase::database("main_connect"));
        const auto questions = [&] {
            return session.exec("SHOW SESSION STATUS LIKE 'Questions'") && session.next()
                       ? session.value(1).toLongLong()
                       : -1;
        };
        const qint64 before = questions();
        const QVariant answer = api->api_report_events(request(modem_list, d0 + 30 * day, d0 + 60 * day));
        const qint64 statements = questions() - before - 1; // less the SHOW itself
        QVERIFY(answer.userType() != qMetaTypeId<api_refusal>());
        QCOMPARE(answer.value<api_json_text>().json, QByteArray("[]"));
        QVERIFY2(statements <= 5, qPrintable(QString::number(statements)));

        // The month before holds one event a modem: each is answered.
        const QVariant full = api->api_report_events(request(modem_list, d0 - 30 * day, d0));
        QCOMPARE(QJsonDocument::fromJson(full.value<api_json_text>().json).array().size(), int(fleet));
    }

    // The window's end of modems whose neighbouring record is months away, and of spans whose rows
    // were removed meanwhile, agrees with the one-modem search.
    void far_neighbours_as_each_alone()
    {
        const auto agree = [&](const QString& when) {
            for (const uint32_t ts :
                 {d0 - 200 * day, d0 - 90 * day, d0 - 60 * day, d0, d0 + 70 * day, d0 + 300 * day})
                for (const bool after : {false, true})
                    for (const QList<uint32_t>& kinds :
                         {QList<uint32_t>{15}, QList<uint32_t>{14, 254}, QList<uint32_t>{15, 14}}) {
                        const QHash<uint32_t, uint32_t> each =
                            storage->get_ts_energy_each(far_modems, kinds, ts, after);
                        for (const uint32_t modem : far_modems) {
                            const uint32_t alone = after ? storage->get_ts_energy_after(modem, kinds, ts)
                                                         : storage->get_ts_energy_before(modem, kinds, ts);
                            QVERIFY2(each.value(modem, ts) == alone,
                                     qPrintable(QString("%1: modem %2 at %3 %4: %5 against %6")
                                                    .arg(when)
                                                    .arg(modem)
                                                    .arg(ts)
                                                    .arg(after ? "after" : "before")
                                                    .arg(each.value(modem, ts))
                                                    .arg(alone)));
                        }
                    }
        };
        agree("learned");
        agree("known");
        // Another program removes the reactive rows the spans were learned from.
        exec(QString("DELETE FROM modems_data WHERE modem_id IN (20001, 20002) AND OBIS_4_8_1 IS NOT NULL "
                     "AND ts > %1")
                 .arg(d0));
        agree("removed");
        agree("learned again");
    }

    // A window ending at the present, the first time after a start (the registry knows no span):
    // the rows after its end are the few stamped ahead of the clock, read in one statement a piece
    // of modems, never in widening steps or over each modem's whole time; the ends found are those
    // plain SQL finds, on both sides, for modems whose record lies a year away, one that stopped
    // long ago, one with rows stamped ahead (a reactive one and one without a reactive register).
    void window_end_at_the_present_in_one_statement_a_piece()
    {
        const uint32_t now = SQL_Exchange::present();
        const uint32_t today = now / day * day;
        const uint32_t first = 40001, last = 40300;
        QStringList rows;
        const auto row = [&](uint32_t modem, uint32_t type, qint64 ts, const char* column) {
            rows << QString("(%1, %2, %2, %3, 1, %4)").arg(modem).arg(ts).arg(type).arg(column);
        };
        for (uint32_t m = first; m <= last; ++m) {
            ram->add_modem(m, {});
            if (m % 10 == 1)
                row(m, 68, today - 365 * day, "NULL, 1"); // stopped a year ago
            else if (m % 10 == 2)
                row(m, 68, today - day, "1, NULL"); // no reactive register
            else
                row(m, 68, today - day, "NULL, 2");
            if (m % 20 == 0) {
                row(m, 66, today - 7200, "NULL, 3");
                row(m, 66, today - 3600, "NULL, 4");
            }
            if (m % 50 == 3) { // a clock running ahead: an hour and a half, and a year
                row(m, 68, now + 5400, "NULL, 5");
                row(m, 66, qint64(now) + 365 * day, "NULL, 6");
            }
            if (m % 50 == 4) row(m, 68, now + 600, "7, NULL");
        }
        exec("INSERT INTO modems_data (modem_id, ts, ts_get, `type`, `index`, OBIS_1_8_0, OBIS_3_8_0) "
             "VALUES " +
             rows.join(','));

        QList<uint32_t> modems;
        for (uint32_t m = first; m <= last; ++m)
            modems << m;
        const auto plain = [&](const QString& types, uint32_t ts, bool after) {
            QHash<uint32_t, uint32_t> out;
            QSqlQuery q(check);
            const bool ok = q.exec(
                QString("SELECT modem_id, %1(ts) FROM modems_data WHERE modem_id BETWEEN %2 AND %3 AND "
                        "`type` IN (%4) AND ts %5 %6 AND (OBIS_3_8_0 IS NOT NULL OR OBIS_3_8_1 IS "
                        "NOT NULL OR OBIS_4_8_0 IS NOT NULL OR OBIS_4_8_1 IS NOT NULL) GROUP BY "
                        "modem_id")
                    .arg(after ? "MIN" : "MAX")
                    .arg(first)
                    .arg(last)
                    .arg(types, after ? ">=" : "<=")
                    .arg(ts));
            while (ok && q.next())
                out.insert(q.value(0).toUInt(), q.value(1).toUInt());
            return out;
        };
        // The kinds of a history of hour and day records, as it widens its window, with the stored
        // types they stand for.
        const QList<QPair<QList<uint32_t>, QString>> kinds{{{14, 254}, "14, 254, 68, 49"},
                                                           {{15}, "15, 66, 50"}};
        const uint32_t end = today + day; // the end of today's history
        for (const auto& k : kinds) {
            const qint64 before = session_selects();
            const QHash<uint32_t, uint32_t> after_end =
                storage->get_ts_energy_each(modems, k.first, end, true);
            QCOMPARE(session_selects() - before, qint64(1));
            QCOMPARE(after_end, plain(k.second, end, true));
            QCOMPARE(storage->get_ts_energy_each(modems, k.first, now, true), plain(k.second, now, true));
            QCOMPARE(storage->get_ts_energy_each(modems, k.first, today, false),
                     plain(k.second, today, false));
        }
        // Not vacuous: rows ahead of the clock within today and past its end.
        QCOMPARE(plain("14, 254, 68, 49", now, true).size(), 6);
        QCOMPARE(plain("15, 66, 50", end, true).size(), 6);
        // More modems than one statement lists: a statement a piece.
        QList<uint32_t> more = modems;
        for (uint32_t m = 1; m <= 1000; ++m)
            more << m;
        const qint64 before = session_selects();
        const QHash<uint32_t, uint32_t> ahead = storage->get_ts_energy_each(more, {15}, end, true);
        QCOMPARE(session_selects() - before, qint64(2));
        QCOMPARE(ahead, plain("15, 66, 50", end, true));

        // The history of today keeps a row stamped ahead of the clock in its answer.
        const QVariant answer = api->api_report_history(request("40003", today, now + 5401));
        QVERIFY(answer.userType() == qMetaTypeId<api_json_text>());
        QVERIFY2(answer.value<api_json_text>().json.contains(QByteArray::number(now + 5400)),
                 answer.value<api_json_text>().json.left(500).constData());
        exec(QString("DELETE FROM modems_data WHERE modem_id BETWEEN %1 AND %2").arg(first).arg(last));
    }

    // The newest hour record within each modem's own span, as plain SQL finds it: both ends
    // included, rows without a reactive register passed over, rows just outside left out, a
    // record two days back found past the span's last hour; two statements a piece at most.
    void newest_energy_within_each_span()
    {
        const uint32_t first = 50001, last = 50400;
        const uint32_t hi = d0 + 10 * day, lo = hi - 2 * day;
        QStringList rows;
        const auto row = [&](uint32_t modem, qint64 ts, const char* column) {
            rows << QString("(%1, %2, %2, 66, 1, %3)").arg(modem).arg(ts).arg(column);
        };
        QHash<uint32_t, QPair<uint32_t, uint32_t>> spans;
        for (uint32_t m = first; m <= last; ++m) {
            spans.insert(m, qMakePair(m % 7 == 0 ? lo - day : lo, hi));
            switch (m % 6) {
            case 0:
                row(m, hi, "NULL, 1"); // at the end
                row(m, hi - 1800, "NULL, 2");
                break;
            case 1:
                row(m, lo, "NULL, 1"); // at the start, and outside on both sides
                row(m, lo - 1, "NULL, 2");
                row(m, hi + 1, "NULL, 3");
                break;
            case 2:
                row(m, hi - 600, "4, NULL"); // newer, without a reactive register
                row(m, hi - 40 * 3600, "NULL, 4");
                break;
            case 3:
                row(m, lo - day + 5, "NULL, 5"); // within the wider spans only
                break;
            default:
                break; // none
            }
        }
        exec("INSERT INTO modems_data (modem_id, ts, ts_get, `type`, `index`, OBIS_1_8_0, OBIS_3_8_0) "
             "VALUES " +
             rows.join(','));
        QHash<uint32_t, uint32_t> plain;
        QSqlQuery q(check);
        QVERIFY(q.exec(QString("SELECT modem_id, ts FROM modems_data WHERE modem_id BETWEEN %1 AND %2 AND "
                               "`type` = 66 AND OBIS_3_8_0 IS NOT NULL")
                           .arg(first)
                           .arg(last)));
        while (q.next()) {
            const uint32_t m = q.value(0).toUInt(), t = q.value(1).toUInt();
            if (t >= spans[m].first && t <= spans[m].second && t > plain.value(m, 0)) plain.insert(m, t);
        }
        QCOMPARE(plain.size(), 209); // not vacuous: those of the wider spans among them
        const qint64 before = session_selects();
        QCOMPARE(storage->get_ts_energy_within(spans, {15}), plain);
        QVERIFY2(session_selects() - before <= 5, qPrintable(QString::number(session_selects() - before)));
        exec(QString("DELETE FROM modems_data WHERE modem_id BETWEEN %1 AND %2").arg(first).arg(last));
    }

    // A report whose many pieces fall within one slice of the runner looks again for the types its
    // memo found absent at most once a key in that slice, not once a piece.
    void memo_looks_again_once_a_slice()
    {
        std::unique_ptr<report_job> job = api->make_report_history(request(modem_list, d0, d0 + day - 1));
        const std::function<qint64()> clock = report_job::clock;
        report_job::clock = [] { return qint64(0); }; // every piece fits the slice
        bool finished = false;
        const QStringList sent = logged_statements([&] { finished = job->step(); });
        report_job::clock = clock;
        QVERIFY(finished && job->answer().userType() == qMetaTypeId<api_json_text>());
        QCOMPARE(job->slices(), quint64(1));
        int pieces = 0, seeks = 0;
        for (const QString& s : sent) {
            if (s.startsWith("SELECT * FROM modems_data FORCE INDEX (PRIMARY)")) ++pieces;
            if (s.contains("FORCE INDEX (type_ts) WHERE `type` = ")) ++seeks;
        }
        qInfo() << "one slice:" << pieces << "pieces," << seeks << "type seeks";
        QVERIFY2(pieces >= 20, qPrintable(QString::number(pieces)));
        // Three keys (the rows' types, the day and the hour ends), each looked for on both sides
        // of the window at most.
        QVERIFY2(seeks <= 6, qPrintable(QString::number(seeks)));
    }
};

QTEST_GUILESS_MAIN(tst_sql_reports_read)
#include "tst_sql_reports_read.moc"
