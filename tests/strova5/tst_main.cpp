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

    // Starts the daemon with `config` written to tmp/cfg.json and its log in tmp.
    static void start(QProcess& p, const QTemporaryDir& tmp, const QByteArray& config)
    {
        QFile f(tmp.path() + "/cfg.json");
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(config) == config.size());
        f.close();
        p.start(testsupport::daemon_path(), {"-c", f.fileName(), "-l", tmp.path() + "/drv.log"});
        QVERIFY(p.waitForStarted(5000));
    }
    // A configuration whose "sql" object points at the throwaway MariaDB.
    static QByteArray config_with_database(const QString& password)
    {
        const auto s = testsupport::services();
        return QStringLiteral(R"({"log_level": 5, "sql": {"host": "%1", "port": %2, "user": "%3", "pass": "%4", "db_name": "st_main"}, "api": {"port": 0}})")
            .arg(s["STROVA_MYSQL_HOST"], s["STROVA_MYSQL_PORT"], s["STROVA_MYSQL_USER"], password)
            .toUtf8();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(testsupport::services_available(), "no throwaway MariaDB");
        QSqlDatabase db = testsupport::schema_database("st_main", "schema");
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
        for (const char* content : {"{}", "[]", "null", "log_level = 5", ""})
            QTest::addRow("'%s'", content) << QByteArray(content);
    }
    void empty_configuration()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir tmp;
        QProcess p;
        start(p, tmp, content);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 254);
        QVERIFY(QString::fromUtf8(p.readAllStandardError()).contains("empty settings"));
    }

    // Each quit signal stops the daemon cleanly, also with the loader thread running.
    void quit_signals_data()
    {
        QTest::addColumn<int>("sig");
        for (int sig : {SIGTERM, SIGHUP, SIGINT})
            QTest::addRow("%s", strsignal(sig)) << sig;
    }
    void quit_signals()
    {
        QFETCH(int, sig);
        QTemporaryDir tmp;
        QProcess p;
        start(p, tmp, config_with_database(testsupport::service("STROVA_MYSQL_PASS")));
        QTRY_VERIFY_WITH_TIMEOUT(testsupport::read_logs(tmp.path()).contains("db_loader open"), 10000);
        ::kill(pid_t(p.processId()), sig);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(p.readAllStandardOutput()),
                 QStringLiteral("\nquit the application (user request signal = %1).\n").arg(sig));
        const QString all = testsupport::read_logs(tmp.path()) + QString::fromUtf8(p.readAllStandardError());
        QVERIFY(all.contains("sql created"));
        QVERIFY(all.contains("devices 1")); // the registry was filled from the database
        QVERIFY2(!all.contains("while thread is still running", Qt::CaseInsensitive), qPrintable(all));
        QVERIFY2(!all.contains("still in use", Qt::CaseInsensitive), qPrintable(all)); // connections removed in use
    }

    void database_refuses_login()
    {
        QTemporaryDir tmp;
        QProcess p;
        start(p, tmp, config_with_database("wrong"));
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 253);
        const QString log = testsupport::read_logs(tmp.path());
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
