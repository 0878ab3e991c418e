// The log as an operator depends on it, against the real daemon: floods that clients can repeat
// stay small, failed starts beside a running daemon delete nothing, a held IEC 104 port is said
// and retried until it is free, and configuration switches and unknown keys mean what they say.
#include "api_daemon.h"

#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpServer>
#include <memory>

using namespace api_daemon;

namespace {

constexpr quint16 k_iec_port = 2404;

// Connects to `port` again and again for `seconds`: "missing" asks for a missing UI file with a
// name of 1,000 characters, "bad" sends only "BAD", "connect" only connects. Prints the count.
const char* const k_flooder = R"(
import socket, sys, time
kind, port, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
end = time.time() + seconds
n = 0
while time.time() < end:
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=5)
        if kind == "missing":
            s.sendall(b"GET /ui/" + b"m" * 1000 + b" HTTP/1.1\r\nHost: x\r\n\r\n")
            s.recv(4096)
        elif kind == "bad":
            s.sendall(b"BAD\r\n\r\n")
            s.recv(4096)
        s.close()
        n += 1
    except OSError:
        pass
print(n)
)";

// Masters that never read: each opens the link and then sends station interrogations (C_IC,
// broadcast) as fast as the socket takes them, never reading a byte. Prints how many were sent.
const char* const k_interrogators = R"(
import socket, sys, time
port, masters, seconds = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
asdu = bytes.fromhex("64010600FFFF00000014")
end, n = time.time() + seconds, 0
links = []
for _ in range(masters):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.settimeout(1)
    s.sendall(bytes.fromhex("680407000000"))
    links.append([s, 0])
while time.time() < end and links:
    for link in list(links):
        s, ns = link
        try:
            s.sendall(bytes([0x68, 4 + len(asdu), (ns << 1) & 0xFF, (ns >> 7) & 0xFF, 0, 0]) + asdu)
            link[1] = (ns + 1) % 32768
            n += 1
        except OSError:
            links.remove(link)
print(n)
)";

// The log's bytes in all its files.
qint64 log_size(const QString& dir)
{
    qint64 n = 0;
    for (const QFileInfo& f : QDir(dir).entryInfoList({"*.log"}, QDir::Files))
        n += f.size();
    return n;
}

// Bytes of the log lines containing any of `marks`, in the part of the log after `from` bytes.
qint64 bytes_of(const QString& log, qint64 from, const QStringList& marks)
{
    qint64 n = 0;
    for (const QString& line : log.mid(int(from)).split('\n')) {
        for (const QString& mark : marks) {
            if (line.contains(mark)) {
                n += line.toUtf8().size() + 1;
                break;
            }
        }
    }
    return n;
}

// "12:00:01 7, 12:00:02 5, ...": lines a second, for a failure's message.
QString per_second_text(const QMap<QString, int>& counts)
{
    QStringList parts;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        parts << it.key().mid(11) + " " + QString::number(it.value());
    return parts.join(", ");
}

} // namespace

class tst_log_guard : public QObject
{
    Q_OBJECT

    QTcpServer holder; // plays the other program on the IEC 104 port
    std::unique_ptr<Daemon> station;
    quint16 channel_port = 0;
    QElapsedTimer since_start;
    QString own_file; // the station daemon's log file: the failed starts write files of their own

    QString own_log() const
    {
        QFile f(own_file);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    QProcess* flood(const QString& kind, quint16 port, int seconds)
    {
        auto* p = new QProcess(this);
        p->start("/usr/bin/python3",
                 {"-c", k_flooder, kind, QString::number(port), QString::number(seconds)});
        return p;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(testsupport::services_available(), "no throwaway services");
        QVERIFY(testsupport::schema_database("st_log_guard", "schema").isOpen());
        QVERIFY2(holder.listen(QHostAddress::Any, k_iec_port),
                 "port 2404 is taken by another program (another IEC 104 test?): run this test again later");
        channel_port = free_port();
        station = std::make_unique<Daemon>(
            QVariantMap{
                {"log_level", 5},
                {"iec104", QVariantMap()},
                {"transparent_channel", QVariantMap{{"TCPport", channel_port}, {"modems", QVariantList{9}}}}},
            0, "st_log_guard");
        since_start.start();
        QVERIFY2(station->start(), qPrintable(station->log()));
        const QStringList files = QDir(station->path("log")).entryList({"*.log"}, QDir::Files);
        QCOMPARE(files.size(), 1);
        own_file = station->path("log/" + files.first());
    }
    void cleanupTestCase() { station.reset(); }

    // The port is named with its reason at once; the station is not said to be created.
    void held_port_is_said_with_its_reason()
    {
        QTRY_VERIFY_WITH_TIMEOUT(
            station->log().contains("iec104 port 2404 not bound: Address already in use"), 10000);
        QVERIFY(since_start.elapsed() < 10000);
        QVERIFY(!station->log().contains("104 created"));
    }

    // Switches written false are off, and a misspelt key is named with the one meant.
    void switches_off_and_unknown_keys_named()
    {
        Daemon d(
            QVariantMap{{"log_level", 5},
                        {"iec104", false},
                        {"api", QVariantMap{{"diagnostics", false}, {"whitelist_modems", QVariantList{1}}}}},
            0, "st_log_guard");
        QVERIFY2(d.start(), qPrintable(d.log()));
        const QStringList unknown = d.log().split('\n').filter("configuration keys not read");
        QCOMPARE(unknown.size(), 1);
        QVERIFY2(unknown.first().contains(" (Wrn) ") &&
                     unknown.first().contains("api.whitelist_modems (did you mean api.whilelist_modems?)"),
                 qPrintable(unknown.first()));
        // The port is held by this test: a station that tried would say so.
        QTest::qWait(200);
        QVERIFY(!d.log().contains("iec104"));
        QVERIFY(!d.log().contains("104 created"));
        const Reply closed = d.get("/api/diagnostics/history?modem=5");
        QCOMPARE(closed.status, 200);
        QVERIFY2(closed.body.isEmpty(), closed.body.constData());
        Daemon open(QVariantMap{{"api", QVariantMap{{"diagnostics", true}}}}, 0, "st_log_guard");
        QVERIFY(open.start());
        QVERIFY(!open.get("/api/diagnostics/history?modem=5").body.isEmpty());
    }

    // Floods that any client can repeat, side by side for 10 s (long enough for the limiter to
    // run through many windows): each grows the log by well under 4 MB a minute. Meanwhile 17
    // starts with the same configuration fail on the taken API port and delete nothing.
    void floods_stay_small_and_failed_starts_delete_nothing()
    {
        const int seconds = 10;
        const qint64 from = own_log().size();
        const QStringList files_before = QDir(station->path("log")).entryList({"*.log"}, QDir::Files);
        QList<QProcess*> floods{flood("missing", station->port, seconds),
                                flood("bad", station->port, seconds),
                                flood("connect", channel_port, seconds)};
        for (int i = 0; i < 17; ++i) {
            QProcess again;
            again.start(station->path("driver_strova5"),
                        {"-c", station->path("cfg.json"), "-l", station->path("log/drv.log")});
            QVERIFY(again.waitForFinished(30000));
            QCOMPARE(again.exitCode(), 252);
            QTest::qWait(2); // a file name of its own for each start
        }
        QList<int> counts;
        for (QProcess* p : floods) {
            QVERIFY(p->waitForFinished(seconds * 1000 + 30000));
            counts << p->readAllStandardOutput().trimmed().toInt();
        }
        QTest::qWait(1100); // the limiters' counts of the last second
        const QString log = own_log();
        const struct
        {
            const char* name;
            QStringList marks;
        } kinds[] = {
            {"missing UI file", {"no file", "missing ui file"}},
            {"BAD request line", {"HttpRequest:", "http request refused"}},
            {"transparent-channel connect", {"new connection", "hdlc client left", "hdlc connection"}}};
        for (int i = 0; i < 3; ++i) {
            QVERIFY2(counts[i] > 20 * seconds,
                     qPrintable(QString("%1: only %2").arg(kinds[i].name).arg(counts[i])));
            const qint64 per_minute = bytes_of(log, from, kinds[i].marks) * 60 / seconds;
            qInfo("%s: %d in %d s, %lld log bytes a minute", kinds[i].name, counts[i], seconds, per_minute);
            QVERIFY2(per_minute < 4 * 1024 * 1024,
                     qPrintable(QString("%1: %2 bytes a minute").arg(kinds[i].name).arg(per_minute)));
        }
        QVERIFY(log.contains("missing ui file:") && log.contains("more like it left out"));

        // The running daemon's files are all there, and it goes on writing.
        const QStringList files = QDir(station->path("log")).entryList({"*.log"}, QDir::Files);
        for (const QString& f : files_before)
            QVERIFY2(files.contains(f), qPrintable(f));
        QCOMPARE(files.size(), files_before.size() + 17);
        const qint64 size = QFileInfo(own_file).size();
        station->get("/ui/still-missing");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(own_file).size() > size, 5000);
    }

    // Clients that make the daemon refuse: commands whose value cannot be encoded (a display list
    // of 1,000 digits for 1,000 modems, under a token), and multipart bodies whose part carries a
    // header line we do not know. Each flood, from two addresses for 10 s, grows the log by under
    // 10 MB a minute.
    void refusal_floods_stay_small()
    {
        const int seconds = 10;
        QTemporaryDir dir;
        QByteArray form = "code=display&value=" + QByteArray(1000, '7') + "&modem=";
        for (int i = 0; i < 1000; ++i)
            form += (i ? "," : "") + QByteArray::number(8000000 + i);
        QVERIFY(write_file(dir.filePath("display"), form));
        QVERIFY(write_file(dir.filePath("multipart"),
                           "--b\r\nContent-Disposition: form-data; name=\"f\"\r\nX-Unknown: " +
                               QByteArray(1000, 'u') + "\r\n\r\nv\r\n--b--\r\n"));
        const struct
        {
            const char* name;
            const char* file;
            const char* type;
            const char* path;
            const char* mark;
            QString token;
        } floods[] = {{"unencodable commands", "display", "application/x-www-form-urlencoded",
                       "/api/cmd/send", "nothing to send", caller_tokens().value("admin")},
                      {"multipart header lines", "multipart", "multipart/form-data; boundary=b", "/api/info",
                       "ignoring unsupported content part", QString()}};
        for (const auto& f : floods) {
            const qint64 from = log_size(station->path("log"));
            QProcess attack;
            attack.start("python3",
                         {QFINDTESTDATA("../httpserver/http_attack.py"), QString::number(station->port),
                          QString::number(seconds), "repeat", "2", dir.filePath(f.file), f.type, f.path, "0",
                          f.token});
            QVERIFY(attack.waitForStarted(5000));
            QVERIFY(attack.waitForFinished((seconds + 60) * 1000));
            QTest::qWait(1100); // the limiters' counts of the last second
            const QJsonObject out = QJsonDocument::fromJson(attack.readAllStandardOutput()).object();
            const qint64 per_minute = (log_size(station->path("log")) - from) * 60 / seconds;
            qInfo("%s: %d requests in %d s, %lld log bytes a minute", f.name, out.value("sent").toInt(),
                  seconds, per_minute);
            QVERIFY2(out.value("sent").toInt() > 10 * seconds, f.name);
            QVERIFY2(per_minute < 10 * 1000 * 1000,
                     qPrintable(QString("%1: %2 bytes a minute").arg(f.name).arg(per_minute)));
            QVERIFY2(own_log().contains(f.mark), f.name);
        }
        QVERIFY(own_log().contains(QRegularExpression("nothing to send: \\d+ more like it left out")));
    }

    // Clients without a token from 200 addresses post display commands for 40 modems as fast as
    // they are answered, for 10 s, while an operator sends a command a second: every request and
    // every downlink of the operator is in the log, and the flood's own requests and downlinks
    // still leave some 5 lines a second each (counted over two seconds), the rest counted.
    void operator_lines_kept_beside_an_anonymous_command_flood()
    {
        const int seconds = 10;
        QTemporaryDir dir;
        QByteArray form = "code=display&value=77&modem=";
        for (int i = 0; i < 40; ++i)
            form += (i ? "," : "") + QByteArray::number(7100000 + i);
        QVERIFY(write_file(dir.filePath("display"), form));
        const qint64 from = own_log().size();
        QProcess attack;
        attack.start("python3",
                     {QFINDTESTDATA("../httpserver/http_attack.py"), QString::number(station->port),
                      QString::number(seconds), "repeat", "8", dir.filePath("display"),
                      "application/x-www-form-urlencoded", "/api/cmd/send", "200"});
        QVERIFY(attack.waitForStarted(5000));
        const QString admin = caller_tokens().value("admin");
        int asked = 0, made = 0;
        do {
            ++asked;
            made += station
                        ->json(QString("/api/cmd/send?modem=%1&code=display&value=5").arg(4200 + asked),
                               cookie(admin))
                        .value("cmd_id")
                        .toMap()
                        .size();
        } while (!QTest::qWaitFor([&] { return attack.state() == QProcess::NotRunning; }, 1000));
        QCOMPARE(attack.exitCode(), 0);
        const QJsonObject out = QJsonDocument::fromJson(attack.readAllStandardOutput()).object();
        QTest::qWait(1100); // the limiters' counts of the last second
        const QStringList lines = own_log().mid(int(from)).split('\n');

        // The operator's: one request line and one downlink line per command.
        int requests = 0, downlinks = 0;
        for (int k = 1; k <= asked; ++k) {
            const QString modem = QString::number(4200 + k);
            requests += lines.filter(" (Wrn) ").filter("\"modem\":\"" + modem + "\"").size() == 1;
            downlinks +=
                lines.filter(" (Exc) ").filter("DL {").filter("\"modem_id\":" + modem + ",").size() == 1;
        }
        // The flood's: its request lines and downlinks, by the second they were written in.
        QMap<QString, int> flood_requests, flood_downlinks;
        for (const QString& line : lines) {
            const QString second = line.left(19);
            // Requests without a right: the flood's and its probe's.
            if (line.contains("} {\"client\":") && !line.contains("\"rights\":[\"admin\"]"))
                ++flood_requests[second];
            if (line.contains("DL {") && line.contains("\"modem_id\":71000")) ++flood_downlinks[second];
        }
        qInfo(
            "operator: %d of %d made, %d request lines, %d downlink lines; flood: %d requests, %d answered; "
            "flood lines a second: requests %s, downlinks %s",
            made, asked, requests, downlinks, out.value("sent").toInt(), out.value("answered").toInt(),
            qPrintable(per_second_text(flood_requests)), qPrintable(per_second_text(flood_downlinks)));
        QVERIFY2(out.value("sent").toInt() > 50 * seconds, "the flood was too thin to test anything");
        QVERIFY(asked >= seconds / 2);
        QCOMPARE(made, asked);
        QCOMPARE(requests, asked);
        QCOMPARE(downlinks, asked);
        // Every two whole seconds of the flood (its first and last are partial) kept at least one
        // second's 5 lines: a window's lines fall over two seconds of the clock when the main
        // thread is late (sound, about 10; a kind silenced after its burst, none).
        for (const QMap<QString, int>* kind : {&flood_requests, &flood_downlinks}) {
            QVERIFY2(kind->size() >= seconds - 2, qPrintable(per_second_text(*kind)));
            const QList<int> counts = kind->values();
            for (int i = 1; i + 2 < counts.size(); ++i)
                QVERIFY2(counts[i] + counts[i + 1] >= 5, qPrintable(per_second_text(*kind)));
        }
        QVERIFY(lines.filter(QRegularExpression("api request: \\d+ more like it left out")).size() >=
                seconds / 2);
        QVERIFY(lines.filter(QRegularExpression("downlink: \\d+ more like it left out")).size() >=
                seconds / 2);
    }

    // 3,000 meters never heard before send their first values at once: the daemon asks each for
    // its version and sets its clock (6,000 commands of its own, under the right `settings`),
    // while an operator sends 20 commands at 10 a second. Every one of the operator's downlinks
    // is in the log; the daemon's own are counted beyond their burst.
    void operator_downlinks_kept_beside_the_daemons_own()
    {
        QVERIFY(testsupport::schema_database("st_log_own", "own").isOpen());
        testsupport::amqp_peer(testsupport::service("STROVA_AMQP_URI"), {"bind", "lg_dl", "lg_dl_seen", "#"});
        Daemon d(QVariantMap{{"log_level", 4},
                             {"rabbit", rabbit("lg_ul", "lg_dl")},
                             {"strova_controller", QVariantMap{{"auto_time_sync", 86400}}}},
                 0, "st_log_own");
        QVERIFY2(d.start(true), qPrintable(d.log()));
        QTemporaryDir dir;
        QStringList uplinks;
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        for (int i = 0; i < 3000; ++i)
            uplinks << uplink(7300000 + i, "320200000004D2", now - 60, ",\"station_id\":1");
        QVERIFY(write_file(dir.filePath("uplinks"), uplinks.join('\n').toUtf8() + '\n'));
        QProcess meters;
        meters.start("/usr/bin/python3",
                     {QFINDTESTDATA("../support/amqp_peer.py"), testsupport::service("STROVA_AMQP_URI"),
                      "publish-file", "lg_ul", dir.filePath("uplinks")});
        QVERIFY(meters.waitForStarted(5000));
        // The operator's commands go while the meters' queries are made.
        QTRY_VERIFY_WITH_TIMEOUT(d.log().count("DL {") >= 50, 20000);
        const QString admin = caller_tokens().value("admin");
        int made = 0;
        QElapsedTimer pace;
        pace.start();
        for (int k = 0; k < 20; ++k) {
            QTest::qWait(int(qMax<qint64>(0, k * 100 - pace.elapsed())));
            made +=
                d.json(QString("/api/cmd/send?modem=%1&code=display&value=5").arg(4300 + k), cookie(admin))
                    .value("cmd_id")
                    .toMap()
                    .size();
        }
        QVERIFY(meters.state() == QProcess::NotRunning || meters.waitForFinished(60000));
        QCOMPARE(meters.exitCode(), 0);
        QTest::qWait(1100); // the limiters' counts of the last second
        const QStringList lines = d.log().split('\n');
        int downlinks = 0;
        for (int k = 0; k < 20; ++k)
            downlinks +=
                lines.filter("DL {").filter("\"modem_id\":" + QString::number(4300 + k) + ",").size() == 1;
        const QStringList own_left =
            lines.filter(QRegularExpression("downlink of the daemon's own: \\d+ more"));
        qInfo("operator: %d of 20 made, %d downlink lines; the daemon's own downlinks: %d lines, %s", made,
              downlinks, lines.filter("DL {").filter("\"modem_id\":73").size(),
              qPrintable(own_left.join(" | ").right(300)));
        QCOMPARE(made, 20);
        QCOMPARE(downlinks, 20);
        // The meters' queries were made meanwhile, and their lines were cut to their burst.
        QVERIFY2(!own_left.isEmpty(), "the daemon's own downlinks never passed their burst");
        QVERIFY(lines.filter("downlink under a command right:").isEmpty());
        testsupport::amqp_peer(testsupport::service("STROVA_AMQP_URI"), {"delete-queue", "lg_dl_seen"});
    }

    // Released, the port is taken at the next try (every 30 s) and a master gets in; single
    // commands as fast as the master can send them then stay small in the log too.
    void released_port_is_taken_and_commands_stay_small()
    {
        holder.close();
        QElapsedTimer released;
        released.start();
        QTRY_VERIFY_WITH_TIMEOUT(station->log().contains("104 created"), 60000);
        QCOMPARE(station->log().count("104 created"), 1);
        QVERIFY(station->log().contains("iec104 port 2404 bound at last"));

        QProcess master;
        master.start("/usr/bin/python3", {QFINDTESTDATA("../iec60870/iec104_master.py")});
        QVERIFY(master.waitForStarted());
        auto ask = [&master](const QString& line) {
            master.write((line + "\n").toUtf8());
            while (!master.canReadLine() && master.waitForReadyRead(60000)) {
            }
            return QString::fromUtf8(master.readLine()).trimmed();
        };
        const QString opened = ask(QString("open %1").arg(k_iec_port));
        QVERIFY2(opened.startsWith("ok "), qPrintable(opened));
        const qint64 connected_after = released.elapsed();
        QVERIFY(connected_after < 90000);
        const QString id = opened.mid(3);
        QCOMPARE(ask("send " + id + " 680407000000"), QString("ok"));
        QVERIFY(ask("recv " + id + " 5000").startsWith("apdu 68040B"));
        QCOMPARE(ask("ack " + id + " 8"), QString("ok"));

        const int seconds = 10;
        const qint64 from = own_log().size();
        QElapsedTimer flooding;
        flooding.start();
        int sent = 0;
        while (flooding.elapsed() < seconds * 1000) {
            // C_SC_NA_1, activation, common address 1, IOA 5000, on; its confirmation back.
            QCOMPARE(ask("i " + id + " 2D01060001008813000001"), QString("ok"));
            const QString r = ask("recv " + id + " 5000");
            QVERIFY2(r.startsWith("apdu 68"), qPrintable(r));
            ++sent;
        }
        QVERIFY2(sent > 50 * seconds, qPrintable(QString::number(sent)));
        QVERIFY(own_log().mid(int(from)).contains("iec104 single command: "));
        QTest::qWait(1100);
        const qint64 per_minute =
            bytes_of(own_log(), from, {"single command", "IOA:", "iec104 connection"}) * 60 / seconds;
        qInfo("single commands: %d in %d s, %lld log bytes a minute; a master in %lld ms after the release",
              sent, seconds, per_minute, connected_after);
        QVERIFY2(per_minute < 4 * 1024 * 1024, qPrintable(QString("%1 bytes a minute").arg(per_minute)));
        master.write("quit\n");
        master.waitForFinished(5000);
    }

    // Five masters that never read send station interrogations as fast as their sockets take
    // them for 10 s: the log grows by under 10 MB a minute.
    void interrogations_from_masters_that_never_read_stay_small()
    {
        QTRY_VERIFY_WITH_TIMEOUT(station->log().contains("104 created"), 60000);
        const int seconds = 10;
        const qint64 from = log_size(station->path("log"));
        QProcess masters;
        masters.start("/usr/bin/python3",
                      {"-c", k_interrogators, QString::number(k_iec_port), "5", QString::number(seconds)});
        QVERIFY(masters.waitForStarted(5000));
        QVERIFY(masters.waitForFinished((seconds + 30) * 1000));
        QTest::qWait(1100);
        const qint64 sent = masters.readAllStandardOutput().trimmed().toLongLong();
        const qint64 per_minute = (log_size(station->path("log")) - from) * 60 / seconds;
        qInfo("interrogations: %lld sent in %d s, %lld log bytes a minute", sent, seconds, per_minute);
        QVERIFY2(sent > 1000, qPrintable(QString::number(sent) + masters.readAllStandardError()));
        QVERIFY2(per_minute < 10 * 1000 * 1000, qPrintable(QString("%1 bytes a minute").arg(per_minute)));
        QVERIFY(own_log().contains(QRegularExpression("iec104 interrogation: \\d+ more like it left out")));
    }
};

QTEST_GUILESS_MAIN(tst_log_guard)
#include "tst_log_guard.moc"
