// The daemon binary as an operator starts it: exit codes, standard streams, signals.
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
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

private slots:
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
        QVERIFY(write_file(tmp.path() + "/cfg.json", R"({"log_level": 5})"));
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
