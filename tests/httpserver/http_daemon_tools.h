#pragma once
// The daemon under an attack tool (http_attack.py, slowhttptest): run to its end while the
// daemon's resident memory is sampled.
#include "api_daemon.h"

#include <QElapsedTimer>
#include <QJsonObject>

namespace api_daemon {

struct Run
{
    QJsonObject out;
    QByteArray err;
    qint64 peakRss = 0;
};

// Runs a tool to its end, sampling the daemon's resident memory meanwhile.
inline Run runSampling(const QString& program, const QStringList& args, qint64 pid, int timeoutMs)
{
    QProcess p;
    p.start(program, args);
    Run r;
    QElapsedTimer t;
    t.start();
    while (!p.waitForFinished(100) && t.elapsed() < timeoutMs)
        r.peakRss = qMax(r.peakRss, rss_of(pid));
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(5000);
    }
    r.out = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    r.err = p.readAllStandardError();
    return r;
}

} // namespace api_daemon
