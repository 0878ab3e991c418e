#pragma once
// Throwaway clusters for the tests (support/cluster.sh): three Galera nodes or three RabbitMQ
// nodes, each set behind haproxy. Stopped however the test ends.
#include "testsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtDebug>

namespace testsupport {

class Cluster
{
public:
    // Runs cluster.sh COMMAND STATE ARGS; the event loop keeps running meanwhile. Its output goes
    // to the test log when it fails.
    bool run(const QStringList& args, QString* output = nullptr)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        const QStringList all = QStringList{args.first(), dir.path()} + args.mid(1);
        p.start(QStringLiteral(STROVA_SOURCE_DIR "/tests/support/cluster.sh"), all);
        QElapsedTimer t;
        t.start();
        while (!p.waitForFinished(20) && p.state() != QProcess::NotRunning && t.elapsed() < 300000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        const bool ok = p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        const QString text = QString::fromUtf8(p.readAll());
        if (output) *output = text;
        if (!ok) qWarning().noquote() << "cluster.sh" << all.join(QLatin1Char(' ')) << "failed:\n" << text;
        return ok;
    }
    // Starts the cluster (galera-start or rabbit-start with `args`); once more when a port it
    // picked was taken by another process meanwhile.
    bool start(const QStringList& args) { return run(args) || run(args); }
    // The cluster's coordinates (cluster.env), as services() gives the single servers'.
    QMap<QString, QString> env() const { return read_env_file(dir.path() + QStringLiteral("/cluster.env")); }
    ~Cluster() { run({QStringLiteral("stop")}); }

private:
    QTemporaryDir dir{qEnvironmentVariable("STROVA_TMP", QStringLiteral("/tmp")) +
                      QStringLiteral("/stcl.XXXXXX")};
};

} // namespace testsupport
