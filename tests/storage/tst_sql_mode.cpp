// Hostile texts through the daemon's roads into MariaDB, under the server's default sql_mode and
// under a global mode holding NO_BACKSLASH_ESCAPES (a common setting), on a private server whose
// mode this test may change: commands, settings set through the API, and settings of uplinks
// are stored byte for byte, and nothing else is written. And the text form of SQL texts reads
// back the same under any session mode, so a silent reconnection (which brings the server's own
// mode back) cannot turn a text into a statement.
#include "api_daemon.h"
#include "sql_exchange.h"

using namespace api_daemon;

class tst_sql_mode : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(testsupport::services_available(), "no throwaway services"); }

    void sql_text_reads_back_under_every_mode_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("default") << QString("STRICT_TRANS_TABLES");
        QTest::newRow("NO_BACKSLASH_ESCAPES") << QString("NO_BACKSLASH_ESCAPES");
        QTest::newRow("ANSI_QUOTES") << QString("ANSI_QUOTES");
        QTest::newRow("ANSI and NO_BACKSLASH_ESCAPES") << QString("ANSI,NO_BACKSLASH_ESCAPES");
    }
    void sql_text_reads_back_under_every_mode()
    {
        QFETCH(QString, mode);
        QSqlDatabase db = testsupport::open_database("modes", testsupport::service("STROVA_MYSQL_DB"));
        QVERIFY(db.isOpen());
        QSqlQuery q(db);
        QVERIFY(q.exec("SET NAMES utf8mb4, SESSION sql_mode = '" + mode + "'"));
        QStringList texts{"",
                          "'",
                          "\\",
                          "\\'",
                          "'\\",
                          "a\\",
                          "\"",
                          "\"'\"",
                          "''",
                          "\\\\'",
                          "%1 %2 ?",
                          QString::fromUtf8("Кириллица 🔌 №"),
                          "1 OR 1=1",
                          "x\\', 1, CONCAT(USER(), VERSION())) -- ",
                          QString("nul") + QChar(0) + "after",
                          QString(QChar(0x1A)) + "\r\n\t\b"};
        for (int c = 1; c < 128; ++c)
            texts.last() += QChar(c);
        for (const QString& t : texts) {
            QVERIFY2(q.exec("SELECT " + SQL_Exchange::sql_text(t) + ", 'end'"),
                     qPrintable(q.lastError().text()));
            QVERIFY(q.next());
            QCOMPARE(q.value(0).toString(), t);
            QCOMPARE(q.value(1).toString(), QString("end"));
        }
        q.finish();
        db.close();
    }

    void hostile_texts_stored_exactly_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("server default") << QString();
        QTest::newRow("NO_BACKSLASH_ESCAPES") << QString("NO_BACKSLASH_ESCAPES,STRICT_TRANS_TABLES");
        QTest::newRow("ANSI with NO_BACKSLASH_ESCAPES") << QString("ANSI,NO_BACKSLASH_ESCAPES");
    }
    void hostile_texts_stored_exactly()
    {
        QFETCH(QString, mode);
        testsupport::Private_server server;
        QVERIFY(server.start());
        QSqlDatabase check;
        const QMap<QString, QString> priv = server.open_check(check);
        QVERIFY(check.isOpen());
        if (!mode.isEmpty()) {
            // The daemon's account may not change the server's mode; the administrator does.
            QSqlDatabase admin = testsupport::open_admin_database("sqlm_admin", priv);
            QVERIFY(admin.isOpen());
            QVERIFY(QSqlQuery(admin).exec("SET GLOBAL sql_mode = '" + mode + "'"));
            admin.close();
        }
        auto value = [&](const QString& statement) { return api_daemon::scalar(check, statement); };
        const QString server_user = value("SELECT USER()").toString().section('@', 0, 0);
        const QString server_version = value("SELECT VERSION()").toString();

        // Written for a server that reads \' as a backslash and the end of the text.
        const QString crafted = "x\\', 1, CONCAT(USER(), VERSION())) -- ";
        const QStringList texts{crafted, QString::fromUtf8("it's \"q\" \\ Кириллица \\\\' \\0 `b` %1 ?"),
                                "1 OR 1=1", "a\\", "''; DROP TABLE modems_cmd; --"};

        const QString db = priv["STROVA_MYSQL_DB"];
        const QString uri = testsupport::service("STROVA_AMQP_URI");
        testsupport::amqp_peer(uri, {"declare-queue", "sqlm_ul"});
        drain("sqlm_ul");
        Daemon d(
            QVariantMap{{"sql", testsupport::db_config(priv, db)}, {"rabbit", rabbit("sqlm_ul", "sqlm_dl")}});
        QVERIFY2(d.start(true), qPrintable(d.log().right(3000)));
        const QStringList admin = cookie(caller_tokens().value("admin"));

        for (int i = 0; i < texts.size(); ++i) {
            const QString& t = texts.at(i);
            const QVariantMap sent = d.json(
                QString("/api/cmd/send?modem=%1&code=%2&value=%3").arg(9300 + i).arg(enc(t), enc(t + "v")));
            QVERIFY2(sent.value("cmd_id").toMap().size() == 1, qPrintable(compact(sent)));
            d.get(
                QString("/api/setting/set?modem=%1&code=%2&value=%3").arg(9400 + i).arg(enc(t), enc(t + "s")),
                admin);
        }
        // A JSON value holding a backslash and quotes, and an uplink whose setting is JSON text.
        const QString object = R"({"a":"b\\c'd","e":"\"q\""})";
        d.get("/api/setting/set?modem=9499&code=obj&value=" + enc(object), admin);
        publish("sqlm_ul", {uplink(9500, "EE0012345678800000", QDateTime::currentSecsSinceEpoch() - 30)});

        auto count = [&](const QString& where) { return value("SELECT COUNT(*) FROM " + where).toInt(); };
        QTRY_COMPARE_WITH_TIMEOUT(count("modems_cmd WHERE modem_id BETWEEN 9300 AND 9399"), int(texts.size()),
                                  15000);
        QTRY_COMPARE_WITH_TIMEOUT(count("modems_setting WHERE modem_id BETWEEN 9400 AND 9499"),
                                  int(texts.size()) + 1, 15000);
        QTRY_COMPARE_WITH_TIMEOUT(count("modems_setting WHERE modem_id=9500 AND setting='version'"), 1,
                                  15000);

        for (int i = 0; i < texts.size(); ++i) {
            const QString& t = texts.at(i);
            QCOMPARE(value(QString("SELECT CONCAT(setting, '|', data) FROM modems_cmd WHERE modem_id=%1")
                               .arg(9300 + i))
                         .toString(),
                     t + "|" + t + "v");
            QCOMPARE(value(QString("SELECT CONCAT(setting, '|', data) FROM modems_setting WHERE modem_id=%1")
                               .arg(9400 + i))
                         .toString(),
                     t + "|" + t + "s");
        }
        QCOMPARE(QJsonDocument::fromJson(
                     value("SELECT data FROM modems_setting WHERE modem_id=9499").toByteArray())
                     .toVariant(),
                 QJsonDocument::fromJson(object.toUtf8()).toVariant());
        QCOMPARE(QJsonDocument::fromJson(
                     value("SELECT data FROM modems_setting WHERE modem_id=9500 AND setting='version'")
                         .toByteArray())
                     .toVariant(),
                 QVariant(QVariantMap{{"hw", "5.6.7.8"}, {"sw", "1.2.3.4"}}));

        // Nothing else: no row of another modem, and the server's user and version nowhere.
        QCOMPARE(count("modems_cmd WHERE modem_id NOT BETWEEN 9300 AND 9399 AND modem_id<>9500"), 0);
        QCOMPARE(count("modems_setting WHERE modem_id NOT BETWEEN 9400 AND 9500"), 0);
        for (const char* table : {"modems_cmd", "modems_setting"})
            QCOMPARE(count(QString("%1 WHERE LOCATE('%2', CONCAT(setting, IFNULL(data, ''))) > 0 OR "
                                   "LOCATE('%3', CONCAT(setting, IFNULL(data, ''))) > 0")
                               .arg(table, server_version, server_user + "@")),
                     0);
        QVERIFY2(!d.log().contains("SQL syntax"), qPrintable(d.log().right(2000)));
        check.close();
    }
};

QTEST_GUILESS_MAIN(tst_sql_mode)
#include "tst_sql_mode.moc"
