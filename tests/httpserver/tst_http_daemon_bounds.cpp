// The daemon's API port against requests shaped to cost it more than their bytes: millions of
// parameters, a multipart body of bare line feeds, clients that leave half a request, and idle
// clients beyond the descriptors it may open. A probe asks /api/info every 200 ms meanwhile.
#include "http_daemon_tools.h"

#include <QSqlQuery>
#include <memory>

using namespace api_daemon;

namespace {

constexpr qint64 k_mib = 1 << 20;

int descriptors_of(qint64 pid)
{
    return QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::System | QDir::NoDotAndDotDot).size();
}

} // namespace

class tst_http_daemon_bounds : public QObject
{
    Q_OBJECT

    std::unique_ptr<Daemon> daemon;
    qint64 pid = 0;
    QTemporaryDir bodies;

    QStringList attack(Daemon& d, int seconds, const QStringList& rest) const
    {
        return QStringList{QFINDTESTDATA("http_attack.py"), QString::number(d.port),
                           QString::number(seconds)} +
               rest;
    }
    // Two clients repeat the body for `seconds` beside the probe; the probe's longest wait and the
    // daemon's memory 10 s after, against its start.
    void repeated(const QString& file, const QString& type, int seconds, double most_wait)
    {
        const qint64 start = rss_of(pid);
        const Run r = runSampling(
            "python3", attack(*daemon, seconds, {"repeat", "2", file, type, "/api/info"}), pid, 120000);
        QVERIFY2(r.err.isEmpty(), r.err.constData());
        const int probes = r.out.value("probes").toInt();
        qInfo("%d requests sent; probes %d of %d answered, longest wait %.2f s; memory %lld MiB at start, "
              "%lld MiB at most",
              r.out.value("sent").toInt(), r.out.value("ok").toInt(), probes,
              r.out.value("max_wait").toDouble(), start / k_mib, r.peakRss / k_mib);
        QVERIFY(r.out.value("sent").toInt() >= 2);
        QVERIFY(probes >= seconds * 3);
        QCOMPARE(r.out.value("ok").toInt(), probes);
        QVERIFY2(r.out.value("max_wait").toDouble() < most_wait,
                 qPrintable(QString::number(r.out.value("max_wait").toDouble())));
        QTRY_VERIFY2_WITH_TIMEOUT(rss_of(pid) - start < 64 * k_mib,
                                  qPrintable(QString("%1 MiB").arg((rss_of(pid) - start) / k_mib)), 10000);
    }

    // Kills the daemon's database links; a command state then asks the database, and the link is
    // opened again, with a descriptor of its own.
    static bool links_come_back(const Daemon& d, QSqlDatabase& admin, const QString& db)
    {
        const QString links_of = "FROM information_schema.PROCESSLIST WHERE DB='" + db + "'";
        QSqlQuery links(admin);
        if (!links.exec("SELECT ID " + links_of)) return false;
        int killed = 0;
        while (links.next()) {
            QSqlQuery kill(admin);
            killed += kill.exec("KILL " + links.value(0).toString());
        }
        return killed > 0 && QTest::qWaitFor(
                                 [&] {
                                     return d.get("/api/cmd/status?cmd_id=1").status == 200 &&
                                            scalar(admin, "SELECT COUNT(*) " + links_of).toInt() > 0;
                                 },
                                 15000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(testsupport::services_available(), "no throwaway services");
        QVERIFY(testsupport::schema_database("st_http_bounds", "schema").isOpen());
        daemon = std::make_unique<Daemon>(QVariantMap{{"log_level", 4}}, 0, "st_http_bounds");
        QVERIFY2(daemon->start(), qPrintable(daemon->log()));
        pid = daemon->proc.processId();
        QVERIFY(bodies.isValid());
    }
    void cleanupTestCase() { daemon.reset(); }

    // 24 MB of 2.5 million distinct empty parameters, again and again from two clients: refused
    // once counted, before a map is built.
    void millions_of_parameters()
    {
        QByteArray form;
        form.reserve(24 << 20);
        for (int i = 0; form.size() < 24000000; ++i)
            form += 'p' + QByteArray::number(i) + '&';
        QVERIFY(write_file(bodies.filePath("form"), form));
        repeated(bodies.filePath("form"), "application/x-www-form-urlencoded", 8, 2.0);
        QVERIFY(daemon->log().contains("\"SW\"") || daemon->get("/api/info").status == 200);
    }

    // 24 MB of bare line feeds as a multipart body: searched once, never line by line.
    void multipart_of_bare_line_feeds()
    {
        QVERIFY(write_file(bodies.filePath("multipart"), QByteArray(24000000, '\n')));
        repeated(bodies.filePath("multipart"), "multipart/form-data; boundary=----b", 8, 1.0);
    }

    // Clients that connect, send half a request and close, as fast as they can for 4 s: each
    // connection goes as its peer does.
    void half_requests_closed_at_once()
    {
        const qint64 start = rss_of(pid);
        const Run r = runSampling("python3", attack(*daemon, 4, {"halfclose", "8", "/api/info"}), pid, 60000);
        QVERIFY2(r.err.isEmpty(), r.err.constData());
        qInfo("%d connections closed by their clients; memory %lld MiB at start, %lld MiB at most",
              r.out.value("closed").toInt(), start / k_mib, r.peakRss / k_mib);
        QVERIFY(r.out.value("closed").toInt() > 1000);
        QVERIFY2(r.peakRss - start < 64 * k_mib,
                 qPrintable(QString("%1 MiB").arg((r.peakRss - start) / k_mib)));
    }

    // Started with 256 descriptors and held by 300 idle half-requests for 20 s: the API still
    // answers, the loop does not spin, and the database link, killed meanwhile, comes back.
    void idle_clients_beyond_the_descriptors()
    {
        QVERIFY(testsupport::schema_database("st_http_bounds_fd", "schema_fd").isOpen());
        Daemon short_of(QVariantMap{{"log_level", 4}}, 0, "st_http_bounds_fd");
        short_of.launcher = QStringList{"prlimit", "--nofile=256:256"};
        QVERIFY2(short_of.start(), qPrintable(short_of.log()));
        QVERIFY2(short_of.log().contains("descriptors short: the limit of 256"), qPrintable(short_of.log()));
        const qint64 fd_pid = short_of.proc.processId();
        QSqlDatabase admin = testsupport::open_admin_database("bounds_admin");
        QVERIFY(admin.isOpen());

        const double cpu0 = cpu_seconds_of(fd_pid);
        QElapsedTimer t;
        t.start();
        QProcess idle;
        idle.start("python3", attack(short_of, 20, {"idle", "300", "/api/info"}));
        QVERIFY(idle.waitForStarted(5000));
        // Once the attack holds its connections, the daemon's database links are cut.
        QVERIFY(!QTest::qWaitFor([&] { return idle.state() == QProcess::NotRunning; }, 5000));
        QVERIFY(links_come_back(short_of, admin, "st_http_bounds_fd"));
        QVERIFY(idle.waitForFinished(40000));
        const double cpu = (cpu_seconds_of(fd_pid) - cpu0) / (double(t.elapsed()) / 1000.0);
        const QJsonObject out = QJsonDocument::fromJson(idle.readAllStandardOutput()).object();
        const int probes = out.value("probes").toInt(), ok = out.value("ok").toInt();
        qInfo("256 descriptors: %d of %d probes answered, longest wait %.2f s; %d attack connections "
              "closed; the daemon used %.2f of a core",
              ok, probes, out.value("max_wait").toDouble(), out.value("closed").toInt(), cpu);
        QVERIFY(probes > 40);
        QVERIFY2(ok >= probes * 80 / 100, qPrintable(QString("%1 of %2").arg(ok).arg(probes)));
        // A loop that spins on the descriptors it cannot accept takes the whole core; taking and
        // closing the attack's connections as fast as it makes them takes about half of one.
        QVERIFY2(cpu < 0.8, qPrintable(QString::number(cpu)));
        QVERIFY(!short_of.log().contains("Can't create TCP/IP socket"));
    }

    // 400 uploads that trickle in, under a limit of 300 descriptors: each holds its socket, a
    // spooled body and, while a file part is written, that file. The daemon's descriptors stay
    // below the limit less what it keeps free, it never fails to accept, and the database link,
    // killed meanwhile, comes back.
    void slow_uploads_beyond_the_descriptors()
    {
        QVERIFY(testsupport::schema_database("st_http_bounds_up", "schema_up").isOpen());
        Daemon short_of(QVariantMap{{"log_level", 4}}, 0, "st_http_bounds_up");
        short_of.launcher = QStringList{"prlimit", "--nofile=300:300"};
        QVERIFY2(short_of.start(), qPrintable(short_of.log()));
        QVERIFY2(short_of.log().contains("descriptors short: the limit of 300"), qPrintable(short_of.log()));
        const qint64 fd_pid = short_of.proc.processId();
        const int limit = 300, reserve = 64;
        QSqlDatabase admin = testsupport::open_admin_database("bounds_admin_up");
        QVERIFY(admin.isOpen());

        int most = descriptors_of(fd_pid);
        QTimer sampler;
        connect(&sampler, &QTimer::timeout, this, [&] { most = qMax(most, descriptors_of(fd_pid)); });
        sampler.start(20);
        QProcess uploads;
        uploads.start("python3", attack(short_of, 15,
                                        {"slowbody", "400", "150000", "8192", "0.5", "/api/info", "0.2", "0",
                                         "multipart"}));
        QVERIFY(uploads.waitForStarted(5000));
        QVERIFY(!QTest::qWaitFor([&] { return uploads.state() == QProcess::NotRunning; }, 4000));
        QVERIFY(links_come_back(short_of, admin, "st_http_bounds_up"));
        QVERIFY(uploads.waitForFinished(40000));
        sampler.stop();
        const QJsonObject out = QJsonDocument::fromJson(uploads.readAllStandardOutput()).object();
        const int probes = out.value("probes").toInt(), ok = out.value("ok").toInt();
        qInfo("300 descriptors, 400 uploads: at most %d open; %d of %d probes answered, longest wait %.2f s; "
              "%d upload connections closed",
              most, ok, probes, out.value("max_wait").toDouble(), out.value("closed").toInt());
        QVERIFY2(most < limit - reserve, qPrintable(QString::number(most)));
        QVERIFY(out.value("closed").toInt() > 400);
        QVERIFY2(ok >= probes * 80 / 100, qPrintable(QString("%1 of %2").arg(ok).arg(probes)));
        QVERIFY(!short_of.log().contains("accepting a connection failed"));
        QVERIFY(!short_of.log().contains("Can't create TCP/IP socket"));
    }
};

QTEST_GUILESS_MAIN(tst_http_daemon_bounds)
#include "tst_http_daemon_bounds.moc"
