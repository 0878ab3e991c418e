// The daemon binary as an operator starts it: exit codes, standard streams, signals.
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

class tst_main : public QObject
{
    Q_OBJECT

    static bool write_file(const QString& path, const QByteArray& content)
    {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
    }
    // A configuration whose "sql" object points at the throwaway MariaDB.
    static QByteArray config_with_database(const QString& password)
    {
        const auto s = testsupport::services();
        return QStringLiteral(R"({"log_level": 5, "sql": {"host": "%1", "port": %2, "user": "%3", "pass": "%4", "db_name": "st_main"}, "api": {"port": 0}})")
            .arg(s["STROVA_MYSQL_HOST"], s["STROVA_MYSQL_PORT"], s["STROVA_MYSQL_USER"], password)
            .toUtf8();
    }
    static QString read_logs(const QString& dir)
    {
        QString all;
        for (const QString& name : QDir(dir).entryList({"*.log"}, QDir::Files)) {
            QFile f(dir + "/" + name);
            if (f.open(QIODevice::ReadOnly))
                all += QString::fromUtf8(f.readAll());
        }
        return all;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(testsupport::services_available(), "no throwaway MariaDB");
        testsupport::create_database("st_main");
        QSqlDatabase db = testsupport::open_database("schema", "st_main");
        QString error;
        QVERIFY2(testsupport::run_sql_file(db, STROVA_SOURCE_DIR "/sql/schema.sql", &error), qPrintable(error));
        QVERIFY(QSqlQuery(db).exec("INSERT INTO modems_setting VALUES (305, 1, 0, 'sn', '0a1b')"));
    }

    void missing_configuration()
    {
        QTemporaryDir tmp;
        const QString cfg = tmp.path() + "/absent.json";
        QProcess p;
        p.start(testsupport::daemon_path(), {"-c", cfg, "-l", tmp.path() + "/logs/drv.log"});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 255);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(err.contains("(Exc)") && err.contains("no file settings \"" + cfg + "\""), qPrintable(err));
        QVERIFY(!QDir(tmp.path() + "/logs").exists()); // no log file before the configuration is read
    }

    void empty_configuration_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("empty object") << QByteArray("{}");
        QTest::newRow("array") << QByteArray("[]");
        QTest::newRow("null") << QByteArray("null");
        QTest::newRow("not json") << QByteArray("log_level = 5");
        QTest::newRow("empty file") << QByteArray();
    }
    void empty_configuration()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir tmp;
        QVERIFY(write_file(tmp.path() + "/cfg.json", content));
        QProcess p;
        p.start(testsupport::daemon_path(), {"-c", tmp.path() + "/cfg.json", "-l", tmp.path() + "/drv.log"});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 254);
        QVERIFY(QString::fromUtf8(p.readAllStandardError()).contains("empty settings"));
    }

    void quit_signals_data()
    {
        QTest::addColumn<int>("sig");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGHUP") << int(SIGHUP);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void quit_signals()
    {
        QFETCH(int, sig);
        QTemporaryDir tmp;
        QVERIFY(write_file(tmp.path() + "/cfg.json", config_with_database(testsupport::service("STROVA_MYSQL_PASS"))));
        QProcess p;
        p.start(testsupport::daemon_path(), {"-c", tmp.path() + "/cfg.json", "-l", tmp.path() + "/drv.log"});
        QVERIFY(p.waitForStarted(5000));
        // The log file appears after the handlers are installed.
        QTRY_VERIFY_WITH_TIMEOUT(!QDir(tmp.path()).entryList({"drv___*.log"}, QDir::Files).isEmpty(), 10000);
        ::kill(pid_t(p.processId()), sig);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(p.readAllStandardOutput()),
                 QStringLiteral("\nquit the application (user request signal = %1).\n").arg(sig));
        const QString log = read_logs(tmp.path());
        QVERIFY(log.contains("sql created"));
        QVERIFY(log.contains("devices 1")); // the registry was filled from the database

    }

    void stops_cleanly_with_loader_running()
    {
        QTemporaryDir tmp;
        QVERIFY(write_file(tmp.path() + "/cfg.json", config_with_database(testsupport::service("STROVA_MYSQL_PASS"))));
        QProcess p;
        p.start(testsupport::daemon_path(), {"-c", tmp.path() + "/cfg.json", "-l", tmp.path() + "/drv.log"});
        QVERIFY(p.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(read_logs(tmp.path()).contains("db_loader open"), 10000);
        ::kill(pid_t(p.processId()), SIGTERM);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        const QString all = read_logs(tmp.path()) + QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(!all.contains("while thread is still running", Qt::CaseInsensitive), qPrintable(all));
        QVERIFY2(!all.contains("still in use", Qt::CaseInsensitive), qPrintable(all)); // connections removed in use
    }

    void database_refuses_login()
    {
        QTemporaryDir tmp;
        QVERIFY(write_file(tmp.path() + "/cfg.json", config_with_database("wrong")));
        QProcess p;
        p.start(testsupport::daemon_path(), {"-c", tmp.path() + "/cfg.json", "-l", tmp.path() + "/drv.log"});
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 253);
        const QString log = read_logs(tmp.path());
        QVERIFY2(log.contains("(Exc)") && log.contains("no sql connect") && log.contains("can't open db"), qPrintable(log));
        QVERIFY(!log.contains("sql created"));
    }

    void version_option()
    {
        QProcess p;
        p.start(testsupport::daemon_path(), {"--version"});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(QString::fromUtf8(p.readAllStandardOutput()).contains("1.0.0-6"));
    }
};

QTEST_GUILESS_MAIN(tst_main)
#include "tst_main.moc"
