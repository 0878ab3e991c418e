// What anonymous floods can make the daemon hold: commands, registry entries, answers, log lines
// and memory. Each attack runs against the real daemon (throwaway MariaDB and RabbitMQ) while a
// probe asks an authorised question every 200 ms and notes its longest wait.
#include "api_daemon.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <memory>

using namespace api_daemon;

namespace {

constexpr qint64 k_mib = 1024 * 1024;
// A flood that held the main thread kept the probe waiting tens of seconds; a loaded 2-core
// machine can keep a sound daemon a second or two.
constexpr qint64 k_probe_bound_ms = 6000;
// The floods of minutes are run for this long: the lines, the memory and the probe are bounded
// per second, so a shorter run meets the same bounds.
constexpr int k_flood_s = 15;

// Sends datagrams to the port for `seconds`: random bytes of 1400, or the given frames in turn.
const char* k_udp_flood = R"(
import os, socket, sys, time
port, seconds, frames = int(sys.argv[1]), float(sys.argv[2]), [bytes.fromhex(h) for h in sys.argv[3:]]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
end, n = time.time() + seconds, 0
while time.time() < end:
    for _ in range(200):
        data = frames[n % len(frames)] if frames else os.urandom(1400)
        try:
            s.sendto(data, ("127.0.0.1", port))
        except OSError:
            pass
        n += 1
print(n)
)";

// Writes the frames, again and again, to the channel's TCP port for `seconds`, as fast as the
// socket takes them. Prints the bytes written.
const char* k_tcp_flood = R"(
import socket, sys, time
port, seconds = int(sys.argv[1]), float(sys.argv[2])
block = b"".join(bytes.fromhex(h) for h in sys.argv[3:]) * 200
s = socket.create_connection(("127.0.0.1", port), timeout=1)
end, n = time.time() + seconds, 0
while time.time() < end:
    try:
        n += s.send(block)
    except socket.timeout:
        pass
    except OSError:
        break
print(n)
)";

} // namespace

class tst_api_floods : public QObject
{
    Q_OBJECT

    QMap<QString, QString> tokens;
    std::unique_ptr<Daemon> daemon;
    QSqlDatabase db;
    quint16 udp_port = 0, tcp_port = 0;
    QString list_file;

    int count(const QString& where) const { return scalar(db, "SELECT COUNT(*) FROM " + where).toInt(); }
    qint64 rss() const { return rss_of(daemon->proc.processId()); }
    qint64 log_bytes() const
    {
        qint64 n = 0;
        for (const QFileInfo& f : QDir(daemon->path("log")).entryInfoList(QDir::Files))
            n += f.size();
        return n;
    }
    // A command whose row is stored once everything made before it is.
    void settle(const QString& marker)
    {
        daemon->get("/api/setting/set?modem=3001&value=1&code=" + marker, cookie(tokens["admin"]));
        QTRY_COMPARE_WITH_TIMEOUT(count("modems_setting WHERE setting='" + marker + "'"), 1, 30000);
    }
    // `ids` written comma-separated into a file that curl sends as one form field.
    QString id_list(qint64 first, qint64 count)
    {
        QFile f(list_file);
        if (!f.open(QIODevice::WriteOnly)) return QString();
        QByteArray chunk;
        for (qint64 i = 0; i < count; ++i) {
            if (i) chunk += ',';
            chunk += QByteArray::number(first + i);
            if (chunk.size() > 1 << 20) {
                f.write(chunk);
                chunk.clear();
            }
        }
        f.write(chunk);
        return "@" + list_file;
    }
    // A form post as an attacker sends it (no token unless given), run while the event loop, and
    // so the probe, goes on; the reply's body.
    QByteArray post(const QString& route, const QStringList& fields, const QString& token = QString())
    {
        QProcess curl;
        QStringList args{"-s", "--max-time", "120"};
        if (!token.isEmpty()) args << cookie(token);
        for (const QString& field : fields) {
            const int eq = field.indexOf('=');
            const QString value = field.mid(eq + 1);
            args << "-F" << (value.startsWith('@') ? field.left(eq + 1) + "<" + value.mid(1) : field);
        }
        curl.start("curl", args << QString("http://127.0.0.1:%1%2").arg(daemon->port).arg(route));
        if (!curl.waitForStarted(5000)) return QByteArray();
        (void)QTest::qWaitFor([&] { return curl.state() == QProcess::NotRunning; }, 130000);
        return curl.readAllStandardOutput();
    }
    // Clients post the form in a file to /api/cmd/send again and again (http_attack.py "repeat":
    // seconds, clients, the file, then its optional addresses and token) while an operator sends
    // one command a second, for as long as the clients last.
    struct Flooded
    {
        bool started = false;
        int asked = 0, made = 0;
        qint64 seconds = 0;
        qint64 slowest_ms = 0; // the operator's longest wait for an answer
        QJsonObject out;
    };
    Flooded flood_with_operator(const QStringList& attack, const QString& target = "/api/cmd/send")
    {
        Flooded f;
        QProcess flood;
        flood.start("python3",
                    QStringList{QFINDTESTDATA("../httpserver/http_attack.py"), QString::number(daemon->port),
                                attack.value(0), "repeat", attack.value(1), attack.value(2),
                                "application/x-www-form-urlencoded", target}
                        << attack.mid(3));
        if (!(f.started = flood.waitForStarted(5000))) return f;
        QElapsedTimer t;
        t.start();
        do {
            ++f.asked;
            QElapsedTimer one;
            one.start();
            f.made += daemon->json("/api/cmd/send?modem=3002&code=version", cookie(tokens["admin"]))
                          .value("cmd_id")
                          .toMap()
                          .size();
            f.slowest_ms = qMax(f.slowest_ms, one.elapsed());
        } while (!QTest::qWaitFor([&] { return flood.state() == QProcess::NotRunning; }, 1000));
        f.seconds = (t.elapsed() + 999) / 1000;
        f.out = QJsonDocument::fromJson(flood.readAllStandardOutput()).object();
        return f;
    }
    QString frame(int dst, int src) const
    {
        return QString::fromLatin1(
            testsupport::run_tool("python3", {QFINDTESTDATA("hdlc_client.py")},
                                  QString("frame %1 2 %2 1 13\n").arg(dst).arg(src).toLatin1())
                .trimmed());
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(testsupport::services_available(), "no throwaway services");
        db = testsupport::schema_database("st_api_floods", "floods");
        QVERIFY(db.isOpen());
        QSqlQuery q(db);
        // 3001 runs new firmware; the channel's positions 0-2 are 3001-3003.
        QVERIFY(q.exec(R"(INSERT INTO modems_setting (modem_id, ts, state, setting, data) VALUES
            (3001, 1, 0, 'version', '{"sw":"1.0.4.0","hw":"h1"}'),
            (3002, 1, 0, 'version', '{"sw":"1.0.4.0","hw":"h1"}'),
            (3003, 1, 0, 'version', '{"sw":"1.0.4.0","hw":"h1"}'))"));
        tokens = caller_tokens();
        const QString uri = testsupport::service("STROVA_AMQP_URI");
        testsupport::amqp_peer(uri, {"declare-queue", "floods_ul"});
        testsupport::amqp_peer(uri, {"bind", "floods_dl", "floods_cap", "#"});
        testsupport::amqp_peer(uri, {"purge", "floods_cap"});
        udp_port = free_port();
        tcp_port = free_port();
        const QVariantMap api{
            {"authorization", QVariantList{QVariantMap{{"user", "ivan"}, {"pass", "s3cret-pw"}}}}};
        const QVariantMap channel{
            {"UDPport", udp_port}, {"TCPport", tcp_port}, {"modems", QVariantList{3001, 3002, 3003}}};
        daemon = std::make_unique<Daemon>(QVariantMap{{"rabbit", rabbit("floods_ul", "floods_dl")},
                                                      {"api", api},
                                                      {"transparent_channel", channel},
                                                      {"log_level", 5}},
                                          0, "st_api_floods");
        list_file = daemon->path("list.txt");
        QVERIFY2(daemon->start(true), qPrintable(daemon->log()));
        QTRY_VERIFY_WITH_TIMEOUT(daemon->log().contains("hdlc transparent_channel created"), 10000);
    }
    void cleanupTestCase()
    {
        if (daemon) QVERIFY2(daemon->log().contains("http created"), "the start-up lines left the log");
        daemon.reset();
    }
    void cleanup()
    {
        testsupport::amqp_peer(testsupport::service("STROVA_AMQP_URI"), {"purge", "floods_cap"});
    }

    // A million modems in one command request (under a token: without one a client is held to
    // its share): only as many commands as the downlink queue has room for are numbered, the
    // rest are refused before they are made.
    void command_flood_makes_only_what_the_queue_takes()
    {
        const QVariantMap real =
            daemon->json("/api/cmd/send?modem=3002&code=version").value("cmd_id").toMap();
        QCOMPARE(real.size(), 1);
        const qint64 log0 = log_bytes();
        Probe probe(daemon->port, tokens["admin"]);
        const QByteArray body =
            post("/api/cmd/send", {"modem=" + id_list(2, 1000000), "code=version"}, tokens["admin"]);
        const qint64 worst = probe.stop();
        qInfo() << "longest probe wait" << worst << "ms";
        const QVariantMap made = QJsonDocument::fromJson(body).toVariant().toMap().value("cmd_id").toMap();
        QVERIFY2(!made.isEmpty(), body.left(200).constData());
        QVERIFY2(made.size() <= 10000, qPrintable(QString::number(made.size())));
        QVERIFY2(worst <= k_probe_bound_ms, qPrintable(QString("probe waited %1 ms").arg(worst)));
        QTRY_VERIFY_WITH_TIMEOUT(daemon->log().contains("commands refused, the downlink queue is full"),
                                 5000);

        // Every command made has its row, the real one made before included; none was dropped.
        settle("flood_1");
        QCOMPARE(count("modems_cmd WHERE setting='version'"), made.size() + 1);
        QCOMPARE(count("modems_cmd WHERE cmd_id=" + real.first().toString()), 1);
        QVERIFY(!daemon->log().contains("took nothing for too long"));
        QVERIFY(!daemon->log().contains("oldest downlinks dropped"));
        QVERIFY2(log_bytes() - log0 < 4 * k_mib, qPrintable(QString::number(log_bytes() - log0)));

        // Once the broker took them, commands are made again.
        QTRY_VERIFY_WITH_TIMEOUT(
            !daemon->json("/api/cmd/send?modem=3003&code=version").value("cmd_id").toMap().isEmpty(), 30000);
    }

    // The period command to meters never heard is done on the spot but leaves nothing behind;
    // a meter the registry holds still keeps it.
    void period_command_to_unknown_meters_leaves_no_registry()
    {
        const qint64 rss0 = rss();
        const int devices0 = daemon->answer("/api/RAM/modems", cookie(tokens["admin"])).toList().size();
        const QByteArray body =
            post("/api/cmd/send", {"modem=" + id_list(5000000, 500000), "code=0.8.4"}, tokens["user"]);
        const QVariantMap made = QJsonDocument::fromJson(body).toVariant().toMap().value("cmd_id").toMap();
        QVERIFY2(!made.isEmpty(), body.left(200).constData());
        QVERIFY(daemon->log().contains("entries after the first 100000 ids left out"));
        daemon->get("/api/cmd/send?modem=3001&code=0.8.4");
        settle("flood_2");
        QTRY_COMPARE_WITH_TIMEOUT(count("modems_cmd WHERE setting='0.8.4'"), made.size() + 1, 30000);
        QCOMPARE(count("modems_setting WHERE setting='0.8.4' AND modem_id >= 5000000"), 0);
        QCOMPARE(count("modems_setting WHERE setting='0.8.4' AND modem_id = 3001"), 1);
        QCOMPARE(daemon->answer("/api/RAM/modems", cookie(tokens["admin"])).toList().size(), devices0);
        QTRY_VERIFY2_WITH_TIMEOUT(rss() - rss0 < 64 * k_mib, qPrintable(QString::number(rss() - rss0)),
                                  10000);
    }

    // Settings of two million modems: the list is cut, the answer bounded, the memory given back.
    // Two anonymous clients repeat a display command for 10,000 modems while an operator sends a
    // command a second: the anonymous ones keep to 100 commands a second each, and every command
    // of the operator is made.
    void open_commands_leave_room_for_the_operator()
    {
        QTemporaryDir dir;
        QByteArray form = "code=display&modem=";
        for (int i = 0; i < 10000; ++i)
            form += (i ? "," : "") + QByteArray::number(7000000 + i);
        QVERIFY(write_file(dir.filePath("form"), form));
        const int before = count("modems_cmd WHERE setting='display'");
        const Flooded f = flood_with_operator({"8", "2", dir.filePath("form")});
        QVERIFY(f.started);
        const int asked = f.asked, made = f.made;
        const qint64 seconds = f.seconds;
        const QJsonObject& out = f.out;
        settle("flood_open");
        const int open = count("modems_cmd WHERE setting='display'") - before;
        qInfo("open commands: %d made in %lld s from %d requests; operator %d of %d", open, seconds,
              out.value("sent").toInt(), made, asked);
        QVERIFY(asked >= 6);
        QCOMPARE(made, asked);
        QVERIFY(out.value("sent").toInt() > 2 * int(seconds));
        QVERIFY2(open > 0 && open <= 2 * 100 * (seconds + 1), qPrintable(QString::number(open)));
        QVERIFY(daemon->log().contains("commands refused (at most 100 a second a client"));
    }

    // Callers holding a command right share the downlink room: 20 clients under one `control`
    // token asking commands for 500 modems each, as fast as they are answered, left the operator's
    // command unnumbered 42 times of 45; beside one such flood, and beside two under two tokens,
    // every command of the operator is numbered. Each flood meets the room, and its refusals name
    // it.
    void command_right_floods_leave_the_others_their_commands_data()
    {
        QTest::addColumn<int>("floods");
        QTest::newRow("one flood") << 1;
        QTest::newRow("two floods") << 2;
    }
    void command_right_floods_leave_the_others_their_commands()
    {
        QFETCH(int, floods);
        QTemporaryDir dir;
        QByteArray form = "code=version&modem=";
        for (int i = 0; i < 500; ++i)
            form += (i ? "," : "") + QByteArray::number(9100000 + i);
        QVERIFY(write_file(dir.filePath("form"), form));
        const QString seconds = "10";
        // Two callers: the same right, another expiry, so another token.
        QStringList flooders;
        for (int i = 0; i < floods; ++i)
            flooders << claims_token(R"({"driver-strova5": {"control": 1}})", 600 + i);
        QProcess beside;
        if (floods > 1) {
            beside.start("python3",
                         {QFINDTESTDATA("../httpserver/http_attack.py"), QString::number(daemon->port),
                          seconds, "repeat", "20", dir.filePath("form"), "application/x-www-form-urlencoded",
                          "/api/cmd/send", "0", flooders.at(1)});
            QVERIFY(beside.waitForStarted(5000));
        }
        const qint64 log0 = daemon->log().size();
        const Flooded f = flood_with_operator({seconds, "20", dir.filePath("form"), "0", flooders.at(0)});
        QVERIFY(f.started);
        QTRY_VERIFY_WITH_TIMEOUT(beside.state() == QProcess::NotRunning, 30000);
        QSet<QString> named;
        const QRegularExpression refusal(
            "commands refused, the downlink queue is full for (token [0-9a-f]+)");
        for (auto m = refusal.globalMatch(daemon->log().mid(int(log0))); m.hasNext();)
            named.insert(m.next().captured(1));
        qInfo("%d command-right floods: %d requests answered; operator %d of %d, slowest %lld ms", floods,
              f.out.value("answered").toInt(), f.made, f.asked, f.slowest_ms);
        QVERIFY(f.asked >= 5);
        QCOMPARE(f.made, f.asked);
        QCOMPARE(named.size(), floods);
        settle("flood_right_" + QString::number(floods));
    }

    // Callers below the command rights share one budget, from however many addresses and under
    // whatever token, also for the commands refused for want of a right (each is numbered and
    // stored): the table grows by about 100 rows a second in all, while every command of an
    // operator, one a second, goes through.
    void callers_below_the_command_rights_share_one_budget_data()
    {
        QTest::addColumn<QString>("claims");
        QTest::addColumn<QString>("code");
        QTest::newRow("no token") << ""
                                  << "display";
        QTest::newRow("view") << R"({"driver-strova5": {"view": 1}})"
                              << "display";
        QTest::newRow("a made-up right") << R"({"driver-strova5": {"viewer": 1}})"
                                         << "display";
        QTest::newRow("refused under view") << R"({"driver-strova5": {"view": 1}})"
                                            << "96.3.10";
    }
    void callers_below_the_command_rights_share_one_budget()
    {
        QFETCH(QString, claims);
        QFETCH(QString, code);
        static int round = 0;
        const int first = 7100000 + 1000 * round++;
        QTemporaryDir dir;
        QByteArray form = "value=1&code=" + code.toLatin1() + "&modem=";
        for (int i = 0; i < 100; ++i)
            form += (i ? "," : "") + QByteArray::number(first + i);
        QVERIFY(write_file(dir.filePath("form"), form));
        const QString mine =
            QString("modems_cmd WHERE modem_id BETWEEN %1 AND %2").arg(first).arg(first + 99);
        // 16 clients, each request from the next of 1000 addresses.
        const Flooded f = flood_with_operator(
            {"6", "16", dir.filePath("form"), "1000", claims.isEmpty() ? QString() : claims_token(claims)});
        QVERIFY(f.started);
        settle("flood_budget_" + QString::number(round));
        const int rows = count(mine);
        const int answered = f.out.value("answered").toInt();
        qInfo("%d rows in %lld s from %d requests of 100 commands; operator %d of %d", rows, f.seconds,
              answered, f.made, f.asked);
        QVERIFY(f.asked >= 5);
        QCOMPARE(f.made, f.asked);
        QVERIFY2(answered > 10 * int(f.seconds), qPrintable(QString::number(answered)));
        QVERIFY2(rows > 0 && rows <= 100 * (f.seconds + 2), qPrintable(QString::number(rows)));
        if (code == "96.3.10") QCOMPARE(count(mine + " AND `state` = 4"), rows); // stored as failed
        QVERIFY(daemon->log().contains("commands refused (at most 100 a second a client"));
    }

    // 50 addresses without a token ask the settings of 100,000 modems (a form of 610 KB) again
    // and again: the answers are built in slices through the report places of callers without a
    // right, so the operator's commands are made within the probe's bound (one such answer held the
    // main thread 0.45 s, and the operator waited 16 s).
    void open_settings_of_many_modems_leave_the_operator_its_commands()
    {
        QTemporaryDir dir;
        QByteArray form = "code=version&modem=";
        for (int i = 0; i < 100000; ++i)
            form += (i ? "," : "") + QByteArray::number(8000000 + i);
        QVERIFY(write_file(dir.filePath("form"), form));
        const Flooded f = flood_with_operator({"10", "50", dir.filePath("form")}, "/api/setting");
        QVERIFY(f.started);
        qInfo("open settings: %d of %d requests answered in %lld s; operator %d of %d, slowest %lld ms",
              f.out.value("answered").toInt(), f.out.value("sent").toInt(), f.seconds, f.made, f.asked,
              f.slowest_ms);
        // Each command waits for its answer: on two busy cores answers of 2 s leave room for 7.
        QVERIFY(f.asked >= 5);
        QCOMPARE(f.made, f.asked);
        QVERIFY2(f.out.value("answered").toInt() > 0, "no answer of the flood was built");
        QVERIFY2(f.slowest_ms <= k_probe_bound_ms,
                 qPrintable(QString("the operator waited %1 ms").arg(f.slowest_ms)));
    }

    void settings_of_millions_are_cut()
    {
        const qint64 rss0 = rss();
        Probe probe(daemon->port, tokens["admin"]);
        const QByteArray body = post("/api/setting", {"modem=" + id_list(1, 2000000), "code=version"});
        const qint64 worst = probe.stop();
        qInfo() << "longest probe wait" << worst << "ms";
        const QVariantMap answer = QJsonDocument::fromJson(body).toVariant().toMap();
        QCOMPARE(answer.size(), 100000);
        QVERIFY(answer.contains("3001") && answer.contains("100000") && !answer.contains("100001"));
        QVERIFY2(worst <= k_probe_bound_ms, qPrintable(QString("probe waited %1 ms").arg(worst)));
        QTRY_VERIFY2_WITH_TIMEOUT(rss() - rss0 < 64 * k_mib, qPrintable(QString::number(rss() - rss0)),
                                  10000);
    }

    // States of two million command numbers (the most a form field carries): asked in pieces
    // the server takes; every stored one answered, the connection kept.
    void states_of_millions_in_pieces()
    {
        QSqlQuery q(db);
        QVERIFY(q.exec("INSERT INTO modems_cmd (cmd_id, modem_id, ts, setting, state) VALUES "
                       "(21999990, 8999, 1, 'st_a', 3), (21999991, 8999, 1, 'st_b', 4), (20000007, 8999, 1, "
                       "'st_c', 2)"));
        Probe probe(daemon->port, tokens["admin"]);
        const QByteArray body = post("/api/cmd/status", {"cmd_id=" + id_list(20000000, 2000000)});
        const qint64 worst = probe.stop();
        qInfo() << "longest probe wait" << worst << "ms";
        QVERIFY2(worst <= k_probe_bound_ms, qPrintable(QString("probe waited %1 ms").arg(worst)));
        const QVariantMap states = QJsonDocument::fromJson(body).toVariant().toMap();
        QCOMPARE(states.value("21999990").toString(), QString("DONE"));
        QCOMPARE(states.value("21999991").toString(), QString("FAILED"));
        QCOMPARE(states.value("20000007").toString(), QString("WAIT_DATA"));
        QCOMPARE(states.size(), 3);
        QVERIFY(!daemon->log().contains("MySQL server has gone away"));
        QVERIFY(!daemon->log().contains("Lost connection"));
        // The connection still serves.
        QCOMPARE(daemon->json("/api/cmd/status?cmd_id=20000007").value("20000007").toString(),
                 QString("WAIT_DATA"));
    }

    // Datagrams from anywhere: random bytes, then valid frames to the three positions. The log
    // keeps its history, the probe its pace, the memory its bound; frames beyond the downlink
    // road's room are dropped and counted.
    void datagram_floods_are_bounded()
    {
        const qint64 rss0 = rss(), log0 = log_bytes();
        const QStringList frames{frame(0, 16), frame(1, 16), frame(2, 16)};
        for (const QStringList& payload : {QStringList(), frames}) {
            Probe probe(daemon->port, tokens["admin"]);
            QProcess flood;
            flood.start("/usr/bin/python3", QStringList{"-c", k_udp_flood, QString::number(udp_port),
                                                        QString::number(k_flood_s)} +
                                                payload);
            QVERIFY(flood.waitForStarted(5000));
            QTRY_VERIFY_WITH_TIMEOUT(flood.state() == QProcess::NotRunning, (k_flood_s + 30) * 1000);
            const qint64 worst = probe.stop();
            qInfo() << "longest probe wait" << worst << "ms";
            QVERIFY2(flood.readAllStandardOutput().trimmed().toLongLong() > 10000, "the flood did not run");
            QVERIFY2(worst <= k_probe_bound_ms, qPrintable(QString("probe waited %1 ms").arg(worst)));
            QVERIFY2(probe.answered > 0, "the probe got no answer");
            QVERIFY2(rss() - rss0 < 64 * k_mib, qPrintable(QString::number(rss() - rss0)));
        }
        // The limiter's summary comes from a timer of the main thread, which may still be working
        // off the flood's backlog.
        QTRY_VERIFY_WITH_TIMEOUT(daemon->log().contains("hdlc datagram:"), 15000);
        QVERIFY2(log_bytes() - log0 < 8 * k_mib, qPrintable(QString::number(log_bytes() - log0)));
        QVERIFY(daemon->log().contains("http created"));
    }

    // One TCP client writes valid frames as fast as the socket takes them for 20 s, while the
    // operator sends a command every 200 ms: the channel keeps to its 100 frames a second, the
    // probe to its pace, the memory to its bound, and every command of the operator is made.
    void tcp_frame_flood_leaves_the_daemon_to_the_others()
    {
        const int seconds = 20;
        const QString hdlc = "modems_cmd WHERE setting='HDLC'";
        const QString mine = "modems_cmd WHERE setting='version' AND modem_id=3002";
        const int hdlc0 = count(hdlc), mine0 = count(mine);
        const QStringList frames_sent{frame(0, 16), frame(1, 16), frame(2, 16)};
        const qint64 rss0 = rss();
        Probe probe(daemon->port, tokens["admin"]);
        Probe operator_commands(daemon->port, tokens["admin"], "/api/cmd/send?modem=3002&code=version");
        QProcess flood;
        flood.start("/usr/bin/python3",
                    QStringList{"-c", k_tcp_flood, QString::number(tcp_port), QString::number(seconds)} +
                        frames_sent);
        QVERIFY(flood.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(flood.state() == QProcess::NotRunning, (seconds + 30) * 1000);
        const qint64 worst = probe.stop();
        operator_commands.stop();
        QList<qint64> waits = probe.waits;
        std::sort(waits.begin(), waits.end());
        const qint64 written = flood.readAllStandardOutput().trimmed().toLongLong();
        settle("flood_tcp");
        const int frames = count(hdlc) - hdlc0;
        qInfo("tcp flood: %lld bytes written in %d s, %d frames forwarded; probe median %lld ms, worst %lld "
              "ms; operator %d of %d answered; memory %lld MiB over the start",
              written, seconds, frames, waits.value(waits.size() / 2), worst, count(mine) - mine0,
              operator_commands.answered, (rss() - rss0) / k_mib);
        QVERIFY2(written > 1000000, "the flood did not run");
        QVERIFY2(frames > 0 && frames <= 100 * (seconds + 2), qPrintable(QString::number(frames)));
        QVERIFY2(worst < 500, qPrintable(QString("probe waited %1 ms").arg(worst)));
        QVERIFY(operator_commands.answered >= 5 * seconds / 2);
        QTRY_COMPARE_WITH_TIMEOUT(count(mine) - mine0, operator_commands.answered, 10000);
        QTRY_VERIFY2_WITH_TIMEOUT(rss() - rss0 < 64 * k_mib, qPrintable(QString::number(rss() - rss0)),
                                  10000);
        QVERIFY(daemon->log().contains("hdlc tcp frame to address"));
    }

    // Wrong passwords from 500 connections: the failed logins are counted, not all written.
    void failed_login_flood_keeps_the_log()
    {
        const qint64 rss0 = rss(), log0 = log_bytes();
        Probe probe(daemon->port, tokens["admin"]);
        QProcess wrk;
        wrk.start("wrk",
                  {"-t", "2", "-c", "500", "-d", QString("%1s").arg(k_flood_s),
                   QString("http://127.0.0.1:%1/api/authorization?user=ivan&pass=wrong").arg(daemon->port)});
        QVERIFY(wrk.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(wrk.state() == QProcess::NotRunning, (k_flood_s + 30) * 1000);
        const qint64 worst = probe.stop();
        qInfo() << "longest probe wait" << worst << "ms";
        const QByteArray report = wrk.readAllStandardOutput();
        QVERIFY2(report.contains("requests in"), report.constData());
        // 500 clients that reconnect for every request fill the listen queue of the HTTP server
        // now and then, and a probe's connection then waits for its SYN to be sent again (1 s,
        // then 3 s): the daemon's own pace is what the 95th percentile shows.
        qInfo() << "95th percentile of the probe's waits" << probe.p95() << "ms";
        QVERIFY2(probe.p95() <= k_probe_bound_ms, qPrintable(QString("probe p95 %1 ms").arg(probe.p95())));
        QTRY_VERIFY_WITH_TIMEOUT(daemon->log().contains("failed login:"), 15000); // as the datagrams' summary
        QVERIFY2(log_bytes() - log0 < 8 * k_mib, qPrintable(QString::number(log_bytes() - log0)));
        QVERIFY(daemon->log().contains("http created"));
        QTRY_VERIFY2_WITH_TIMEOUT(rss() - rss0 < 64 * k_mib, qPrintable(QString::number(rss() - rss0)),
                                  20000);
    }

    // Values the shift cannot hold are refused whole: nothing stored, the driver's time as it was.
    void time_sync_refuses_values_beyond_32_bits_data()
    {
        QTest::addColumn<QString>("items");
        QTest::newRow("offset below") << "offset=-2147483649";
        QTest::newRow("offset above") << "offset=2147483648";
        QTest::newRow("offset 2^63") << "offset=9223372036854775808";
        QTest::newRow("timestamp 2^64") << "timestamp=18446744073709551616";
        QTest::newRow("timestamp below") << "timestamp=-2147483649";
        QTest::newRow("shift beyond") << "timestamp=-2147483648";
        QTest::newRow("good offset, bad timestamp") << "offset=60&timestamp=4294967296";
    }
    void time_sync_refuses_values_beyond_32_bits()
    {
        QFETCH(QString, items);
        const QStringList admin = cookie(tokens["admin"]);
        QCOMPARE(daemon->json("/api/time_sync/set?offset=0", admin).value("res").toBool(), true);
        const QByteArray before = [&] {
            QFile f(daemon->path("tst.json"));
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        }();
        QCOMPARE(daemon->json("/api/time_sync/set?" + items, admin), (QVariantMap{{"res", false}}));
        QFile f(daemon->path("tst.json"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), before);
        const QVariantMap time = daemon->json("/api/info", admin).value("time").toMap();
        QVERIFY(qAbs(time.value("timestamp").toLongLong() - QDateTime::currentSecsSinceEpoch()) < 5);
        QCOMPARE(time.value("offset").toString(), QString("0"));
    }
};

QTEST_GUILESS_MAIN(tst_api_floods)
#include "tst_api_floods.moc"
