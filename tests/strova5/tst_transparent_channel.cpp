// The transparent channel as its clients meet it: the real daemon with the throwaway MariaDB and
// RabbitMQ, python3 sockets as the TCP and UDP clients (hdlc_client.py, which also builds the
// frames with its own CRC-16/X.25). Frames reach the meters as downlinks read from a capture
// queue; the meters' answers are uplinks published through the broker.
#include "api_daemon.h"
#include "api_transparent_channel.h"

#include <QSqlQuery>
#include <QUdpSocket>
#include <numeric>

namespace {

using Env = QMap<QString, QString>;

// Modem positions: 0 is a modem, 1 is text (no modem), 17 and 30 hold the same modem.
constexpr uint kAt0 = 2400, kAt17 = 2417, kAt20 = 2420, kAt145 = 24145;

// Below the ephemeral range, as for TCP: a port the kernel hands out there may become the source
// of another process's datagrams (the floods of the tests beside) before the daemon binds it.
quint16 free_udp_port()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        const quint16 port = testsupport::free_port();
        QUdpSocket s;
        if (s.bind(QHostAddress(QHostAddress::AnyIPv4), port)) return port;
    }
    return 0;
}

// Sockets of a process by kind: TCP listeners and UDP sockets, read from /proc.
QMap<QString, int> sockets_of(qint64 pid)
{
    QSet<QString> inodes;
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString& fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
        const QString target = QFile::symLinkTarget(fds.filePath(fd));
        if (target.contains("socket:[")) inodes << target.section('[', 1).section(']', 0, 0);
    }
    QMap<QString, int> out;
    for (const char* table : {"tcp", "tcp6", "udp", "udp6"}) {
        QFile f(QStringLiteral("/proc/%1/net/%2").arg(pid).arg(table));
        if (!f.open(QIODevice::ReadOnly)) continue;
        f.readLine();
        while (!f.atEnd()) {
            const QStringList cols = QString::fromLatin1(f.readLine()).split(' ', Qt::SkipEmptyParts);
            if (cols.size() < 10 || !inodes.contains(cols[9])) continue;
            if (table[0] == 'u')
                ++out["udp"];
            else if (cols[3] == "0A")
                ++out["listen"];
        }
    }
    return out;
}

// The daemon with the channel (or without it), its uplink queue and a capture of its downlinks.
struct Daemon : api_daemon::Daemon
{
    Env env = testsupport::services();
    QString queue, capture = "hdlc_cap";
    quint16 tcp_port = 0, udp_port = 0;

    Daemon(const QVariantMap& channel, const QString& queue_, bool with_channel = true)
        : api_daemon::Daemon(config(channel, queue_, with_channel), 0, "st_hdlc"), queue(queue_)
    {
        tcp_port = quint16(channel.value("TCPport").toUInt());
        udp_port = quint16(channel.value("UDPport").toUInt());
        testsupport::amqp_peer(env["STROVA_AMQP_URI"], {"declare-queue", queue});
        testsupport::amqp_peer(env["STROVA_AMQP_URI"], {"bind", "hdlc_dl", capture, "#"});
    }
    static QVariantMap config(const QVariantMap& channel, const QString& queue, bool with_channel)
    {
        const QString uri = testsupport::service("STROVA_AMQP_URI");
        QVariantMap cfg{{"log_level", 5},
                        {"rabbit", QVariantMap{{"ul", QVariantMap{{"path", uri}, {"queue", queue}, {"host", "/api"}}},
                                               {"dl", QVariantMap{{"path", uri}, {"exchange", "hdlc_dl"},
                                                                  {"host", "/api"}}}}}};
        if (with_channel) cfg.insert("transparent_channel", channel);
        return cfg;
    }
    bool consuming() const
    {
        const QString stats = testsupport::amqp_peer(env["STROVA_AMQP_URI"], {"stats", queue}).value(0);
        return QJsonDocument::fromJson(stats.toUtf8()).toVariant().toMap().value("consumers").toInt() == 1;
    }
};

// Sends one frame again and again from a source address of its own for a while: RATE a second,
// or as fast as the socket takes them with 0. Prints how many it sent.
const char* const k_udp_sender = R"(
import socket, sys, time
port, source, rate, seconds, frame = int(sys.argv[1]), sys.argv[2], float(sys.argv[3]), float(sys.argv[4]), bytes.fromhex(sys.argv[5])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((source, 0))
start = time.monotonic()
n = 0
while time.monotonic() < start + seconds:
    if rate > 0:
        wait = start + n / rate - time.monotonic()
        if wait > 0:
            time.sleep(wait)
            continue
    try:
        s.sendto(frame, ("127.0.0.1", port))
    except OSError:
        pass
    n += 1
print(n)
)";

} // namespace

class tst_transparent_channel : public QObject
{
    Q_OBJECT

    std::unique_ptr<Daemon> daemon;
    QProcess client;
    QSqlDatabase db;
    QMultiMap<uint, QString> downlinks; // modem -> "D3..." payloads, in arrival order per modem

    // One command to the python client, its one-line answer.
    QString ask(const QString& command)
    {
        client.write(command.toUtf8() + '\n');
        QElapsedTimer t;
        t.start();
        while (!client.canReadLine() && t.elapsed() < 60000)
            client.waitForReadyRead(1000);
        return QString::fromUtf8(client.readLine()).trimmed();
    }
    // Addresses as value and byte count.
    QString frame(uint dst, int dn, uint src, int sn, const char* control, const QString& info = QString())
    {
        return ask(QStringLiteral("frame %1 %2 %3 %4 %5 %6").arg(dst).arg(dn).arg(src).arg(sn).arg(control).arg(info));
    }
    QList<QString> hdlc_downlinks(uint modem)
    {
        for (const QString& line :
             testsupport::amqp_peer(daemon->env["STROVA_AMQP_URI"], {"drain", daemon->capture})) {
            const QString body =
                QJsonDocument::fromJson(line.toUtf8()).toVariant().toMap().value("body").toString();
            const QVariantMap dl = QJsonDocument::fromJson(body.toUtf8()).toVariant().toMap();
            const QString payload = dl.value("payload").toString();
            if (payload.startsWith("D3")) downlinks.insert(dl.value("modem_id").toUInt(), payload);
        }
        QList<QString> out = downlinks.values(modem);
        std::reverse(out.begin(), out.end()); // QMultiMap keeps the newest first
        return out;
    }
    int hdlc_rows(uint modem)
    {
        QSqlQuery q(db);
        const QString sql = "SELECT COUNT(*) FROM modems_cmd WHERE setting = 'HDLC' AND modem_id = %1";
        return q.exec(sql.arg(modem)) && q.next() ? q.value(0).toInt() : -1;
    }
    void answer(uint modem, const QString& frame_hex)
    {
        const QString ul =
            QStringLiteral(R"({"msg_type":"ul_app","modem_id":%1,"payload":"D3%2","station_id":3,"rssi":-90,)"
                           R"("time_detected":%3})").arg(modem).arg(frame_hex).arg(QDateTime::currentSecsSinceEpoch());
        testsupport::amqp_peer(daemon->env["STROVA_AMQP_URI"], {"publish", daemon->queue, ul});
    }
    // Whether the daemon has taken `frame_hex` as the newest answer of `modem`: its registry shows
    // it. An answer meant to be dropped is waited for so before the next client connects: taken
    // after that, it would go to that client.
    bool taken(uint modem, const QString& frame_hex) const
    {
        const QString id = QString::number(modem);
        const QVariantMap settings =
            daemon->json("/api/setting?modem=" + id + "&code=HDLC").value(id).toMap();
        return settings.value("HDLC").toString().compare(frame_hex, Qt::CaseInsensitive) == 0;
    }

    // UDP senders, each {source address, frames a second (0: as fast as it can), frame}, side by
    // side for `seconds`; the frames each sent.
    QList<int> udp_senders(const QList<std::tuple<QString, int, QString>>& senders, int seconds)
    {
        QList<QProcess*> runs;
        for (const auto& sender : senders) {
            auto* p = new QProcess(this);
            p->start("/usr/bin/python3",
                     {"-c", k_udp_sender, QString::number(daemon->udp_port), std::get<0>(sender),
                      QString::number(std::get<1>(sender)), QString::number(seconds), std::get<2>(sender)});
            runs << p;
        }
        QList<int> sent;
        for (QProcess* p : runs) {
            p->waitForFinished((seconds + 30) * 1000);
            sent << p->readAllStandardOutput().trimmed().toInt();
            p->deleteLater();
        }
        return sent;
    }
    // The command rows of `modem` once no more come for a second.
    int settled_rows(uint modem)
    {
        int rows = hdlc_rows(modem);
        for (int i = 0; i < 30; ++i) {
            QTest::qWait(1000);
            const int now = hdlc_rows(modem);
            if (now == rows) break;
            rows = now;
        }
        return rows;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(testsupport::services_available(), "services fixture did not run");
        db = testsupport::schema_database("st_hdlc", "hdlc");
        QVERIFY(db.isOpen());
        client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        client.start("/usr/bin/python3", {STROVA_SOURCE_DIR "/tests/strova5/hdlc_client.py"});
        QVERIFY(client.waitForStarted(5000));

        QVariantList modems;
        for (int i = 0; i <= 145; ++i)
            modems << 0;
        modems[0] = kAt0;
        modems[1] = "abc";
        modems[17] = kAt17;
        modems[20] = kAt20;
        modems[30] = kAt17;
        modems[145] = kAt145;
        daemon.reset(new Daemon(
            {{"TCPport", testsupport::free_port()}, {"UDPport", free_udp_port()}, {"modems", modems}}, "hdlc_ul"));
        QVERIFY(daemon->start());
        QTRY_VERIFY_WITH_TIMEOUT(daemon->consuming(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(daemon->log().contains("hdlc transparent_channel created"), 10000);
    }
    void cleanupTestCase()
    {
        daemon.reset();
        client.closeWriteChannel();
        client.waitForFinished(5000);
    }

    void start_up()
    {
        const QString log = daemon->log();
        QVERIFY(log.indexOf("http created") < log.indexOf("hdlc transparent_channel created"));
        QVERIFY(log.contains(QStringLiteral("listen %1").arg(daemon->tcp_port)));
        QVERIFY(log.contains("(2400, 0, 0,"));
        const auto with = sockets_of(daemon->proc.processId());
        QCOMPARE(with.value("udp"), 1);
        QCOMPARE(with.value("listen"), 2); // the API and the channel

        Daemon none({}, "hdlc_ul_none", false);
        QVERIFY(none.start());
        QTRY_VERIFY_WITH_TIMEOUT(none.log().contains("hdlc transparent_channel created"), 20000);
        QVERIFY(!none.log().contains("listen"));
        const auto without = sockets_of(none.proc.processId());
        QCOMPARE(without.value("udp"), 0);
        QCOMPARE(without.value("listen"), 1);
    }

    // Each good frame gives one command row and one downlink D3 + the frame with its index part
    // set to 0; the bad ones give none.
    void tcp_frames()
    {
        const QString port = QString::number(daemon->tcp_port);
        const QString early = frame(16, 1, 145, 2, "73");
        answer(kAt17, early); // before any client: dropped
        QTRY_VERIFY_WITH_TIMEOUT(taken(kAt17, early), 10000);
        QCOMPARE(ask("tcp a " + port), QStringLiteral("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(daemon->log().contains("new connection"), 10000);

        const QString info = "E6E600";
        QCOMPARE(ask("slow a " + frame(145, 2, 16, 1, "93")), QStringLiteral("ok"));
        QString bad_fcs = frame(145, 2, 16, 1, "B3");
        bad_fcs[bad_fcs.size() - 4] = bad_fcs[bad_fcs.size() - 4] == '0' ? '1' : '0';
        QString bad_hcs = frame(145, 2, 16, 1, "10", info);
        bad_hcs[16] = bad_hcs[16] == '0' ? '1' : '0';
        // Two frames in one write, garbage before one, two bad ones, a 5-byte address, entry
        // "abc", a position past the list, position 0.
        for (const QString& write :
             {frame(145, 2, 16, 1, "10", info) + frame(17 << 14 | 5, 4, 16, 1, "13"),
              "00FF417E127E7E" + frame(145, 2, 16, 1, "53"), bad_fcs + bad_hcs, frame(17, 5, 16, 1, "13"),
              frame(1, 2, 16, 1, "13"), frame(1000 << 14, 4, 16, 1, "13"), frame(0x11, 1, 16, 1, "13"),
              frame(145, 2, 16, 1, "F3")})
            QCOMPARE(ask("send a " + write), QStringLiteral("ok"));

        const QStringList want17{"D3" + frame(128, 2, 16, 1, "93"), "D3" + frame(128, 2, 16, 1, "10", info),
                                 "D3" + frame(5, 4, 16, 1, "13"), "D3" + frame(128, 2, 16, 1, "53"),
                                 "D3" + frame(128, 2, 16, 1, "F3")};
        QTRY_COMPARE_WITH_TIMEOUT(hdlc_downlinks(kAt17).size(), want17.size(), 20000);
        QCOMPARE(hdlc_downlinks(kAt17), want17);
        QCOMPARE(hdlc_downlinks(kAt0), QStringList{"D3" + frame(0x11, 1, 16, 1, "13")});
        QTRY_COMPARE_WITH_TIMEOUT(hdlc_rows(kAt17), 5, 10000);
        QCOMPARE(hdlc_rows(kAt0), 1);
        QCOMPARE(downlinks.size(), 6);
        QVERIFY(daemon->log().contains("hdlc tcp frame refused"));
        // Each frame's line names the address read and the position this road took from it.
        for (const char* line : {"hdlc tcp frame to address 145 of 2 bytes: position 17",
                                 "hdlc tcp frame to address 278533 of 4 bytes: position 17",
                                 "hdlc tcp frame to address 17 of 1 bytes: position 0",
                                 "hdlc tcp frame to address 16384000 of 4 bytes: position 1000"})
            QVERIFY2(daemon->log().contains(line), line);
    }

    // Datagrams go unchanged to the position of their whole 14-bit address; bad ones nowhere.
    void udp_frames()
    {
        const QString port = QString::number(daemon->udp_port);
        const QString good = frame(145, 2, 16, 1, "93");
        QString bad_fcs = good;
        bad_fcs[bad_fcs.size() - 3] = bad_fcs[bad_fcs.size() - 3] == '0' ? '1' : '0';
        QString long_info;
        for (int i = 0; i < 288; ++i)
            long_info += QStringLiteral("%1").arg((i * 37) & 0xFF, 2, 16, QLatin1Char('0'));
        const QString long_frame = frame(145, 2, 16, 1, "10", long_info);
        QCOMPARE(long_frame.size(), 600);
        const QString wrong_length = "7EA00902232193F96F7E"; // FCS right, length field one too long

        for (const QString& d : {good, bad_fcs, wrong_length, long_frame, frame(20, 2, 16, 1, "13")})
            QCOMPARE(ask("udp " + port + " " + d), QStringLiteral("ok"));
        QTRY_COMPARE_WITH_TIMEOUT(hdlc_downlinks(kAt20).size(), 1, 20000);
        QCOMPARE(hdlc_downlinks(kAt145), (QStringList{"D3" + good, "D3" + long_frame}));
        QCOMPARE(hdlc_downlinks(kAt0).size(), 1); // only the TCP frame of before
        QTRY_COMPARE_WITH_TIMEOUT(hdlc_rows(kAt145), 2, 10000);
        QCOMPARE(downlinks.size(), 9);
    }

    // Answers: to the TCP client with the source address part set to the modem's position, to
    // the UDP sender unchanged; the newest TCP client takes them over, a gone one gets nothing.
    void answers()
    {
        const QString port = QString::number(daemon->tcp_port);
        const QString to17 = "7EA008210201 73F9537E";
        const QString seen17 = "7EA00821022373 7A437E";
        const auto recv = [this](const char* name) { return ask(QStringLiteral("recv %1 10 30").arg(name)); };
        const QString udp_answer = frame(16, 1, 145, 2, "73");

        answer(kAt145, udp_answer);
        answer(kAt17, QString(to17).remove(' '));
        QCOMPARE(ask("udprecv 30"), udp_answer);
        QCOMPARE(recv("a"), QString(seen17).remove(' ')); // nothing of the UDP answer or the early one

        QString corrupt = QString(to17).remove(' ');
        corrupt[14] = '0';
        answer(kAt17, corrupt);
        answer(kAt17, QString()); // an empty answer
        answer(kAt17, frame(16, 1, 1 << 7 | 0, 2, "30"));
        QCOMPARE(recv("a"), frame(16, 1, 1 << 7 | 17, 2, "30"));

        QCOMPARE(ask("tcp b " + port), QStringLiteral("ok"));
        QCOMPARE(ask("closed a 30"), QStringLiteral("yes"));
        answer(kAt17, QString(to17).remove(' '));
        QCOMPARE(recv("b"), QString(seen17).remove(' '));

        // Gone clients: the answers in between are dropped, not kept for the next one.
        QCOMPARE(ask("close b"), QStringLiteral("ok"));
        QTRY_COMPARE_WITH_TIMEOUT(daemon->log().count("hdlc client left"), 1, 10000);
        answer(kAt17, frame(16, 1, 1 << 7 | 0, 2, "31"));
        QCOMPARE(ask("tcp z " + port), QStringLiteral("ok"));
        QCOMPARE(ask("close z"), QStringLiteral("ok"));
        QTRY_COMPARE_WITH_TIMEOUT(daemon->log().count("hdlc client left"), 2, 10000);
        const QString dropped = frame(16, 1, 1 << 7 | 0, 2, "32");
        answer(kAt17, dropped);
        QTRY_VERIFY_WITH_TIMEOUT(taken(kAt17, dropped), 10000);
        QCOMPARE(ask("tcp c " + port), QStringLiteral("ok"));
        QTRY_COMPARE_WITH_TIMEOUT(daemon->log().count("new connection"), 4, 10000);
        answer(kAt17, frame(16, 1, 1 << 7 | 0, 2, "33"));
        QCOMPARE(recv("c"), frame(16, 1, 1 << 7 | 17, 2, "33"));

        QCOMPARE(daemon->proc.state(), QProcess::Running);
        QCOMPARE(hdlc_rows(kAt17), 5);
    }

    // 700 frames in one write: they go at the channel's 100 a second after a first second's
    // worth, none lost; the client waits meanwhile instead of being read into memory.
    void frames_beyond_the_budget_wait_their_turn()
    {
        const int before = hdlc_rows(kAt17);
        QString many;
        for (int i = 0; i < 700; ++i)
            many += frame(145, 2, 16, 1, "13");
        QElapsedTimer t;
        t.start();
        QCOMPARE(ask("send c " + many), QStringLiteral("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(hdlc_rows(kAt17) - before >= 100, 10000);
        QVERIFY2(hdlc_rows(kAt17) - before < 700, qPrintable(QString::number(hdlc_rows(kAt17) - before)));
        QTRY_COMPARE_WITH_TIMEOUT(hdlc_rows(kAt17) - before, 700, 30000);
        qInfo("700 frames forwarded in %lld ms", t.elapsed());
        QVERIFY2(t.elapsed() >= 4000, qPrintable(QString::number(t.elapsed())));

        // A client that leaves at once after its frames: they all go still.
        const QString port = QString::number(daemon->tcp_port);
        QCOMPARE(ask("tcp d " + port), QStringLiteral("ok"));
        QCOMPARE(ask("send d " + many.left(many.size() * 3 / 7)), QStringLiteral("ok"));
        QCOMPARE(ask("close d"), QStringLiteral("ok"));
        QTRY_COMPARE_WITH_TIMEOUT(hdlc_rows(kAt17) - before, 1000, 30000);
        // Every command went out as a downlink, and the capture is left empty for the next run.
        QTRY_COMPARE_WITH_TIMEOUT(hdlc_downlinks(kAt17).size(), hdlc_rows(kAt17), 30000);
    }

    // The shares on a clock of their own, a minute of 1 ms steps: a flooder (a frame every
    // millisecond), a sender of 50 frames a second and one of 5. All together keep to the 100 a
    // second; the quiet sender loses at most its first frame, the middle one gets its third and
    // part of what the quiet one leaves, the flooder the rest.
    void shares_keep_the_rate_and_each_sender_its_part()
    {
        Channel_shares shares(100);
        const QHostAddress flooder("127.0.0.2"), middle("127.0.0.3"), quiet("127.0.0.4");
        const int seconds = 60;
        int sent[3] = {0, 0, 0}, got[3] = {0, 0, 0};
        QList<int> per_second;
        int this_second = 0;
        for (qint64 t = 0; t < seconds * 1000; ++t) {
            const struct
            {
                const QHostAddress& who;
                bool due;
            } offers[] = {{flooder, true}, {middle, t % 20 == 0}, {quiet, t % 200 == 0}};
            for (int i = 0; i < 3; ++i) {
                if (!offers[i].due) continue;
                ++sent[i];
                if (shares.ready(offers[i].who, t)) {
                    shares.take(offers[i].who);
                    ++got[i];
                    ++this_second;
                }
            }
            if (t % 1000 == 999) {
                per_second << this_second;
                this_second = 0;
            }
        }
        qInfo("forwarded a minute: flooder %d, middle %d of %d, quiet %d of %d", got[0], got[1], sent[1],
              got[2], sent[2]);
        QVERIFY(got[0] + got[1] + got[2] <= 100 * seconds + 100);
        for (int s = 1; s < per_second.size(); ++s)
            QVERIFY2(per_second[s] <= 101, qPrintable(QString("second %1: %2").arg(s).arg(per_second[s])));
        QVERIFY2(got[2] >= sent[2] - 1, qPrintable(QString("%1 of %2").arg(got[2]).arg(sent[2])));
        QVERIFY2(got[1] >= 40 * seconds, qPrintable(QString::number(got[1])));
        QVERIFY2(got[0] >= 40 * seconds, qPrintable(QString::number(got[0])));
        QCOMPARE(shares.senders(), 3);
        // Quiet for longer than idle_ms, every sender is forgotten.
        QVERIFY(shares.ready(flooder, seconds * 1000 + Channel_shares::idle_ms + 20));
        QCOMPARE(shares.senders(), 1);
    }

    // A thousand senders flooding 20,000 frames a second together beside a client that was
    // sending 5 a second when the flood began: the channel forwards its 100 frames every second
    // (parts summed as fractions once stopped a hair below a whole frame, and the channel with
    // them), and the client keeps a part of at least one frame a second.
    void shares_flow_under_a_thousand_senders_and_keep_the_client_its_part()
    {
        Channel_shares shares(100);
        const QHostAddress client("127.0.0.2");
        const int seconds = 60;
        QVector<int> all(seconds), mine(seconds);
        for (qint64 t = 0; t < seconds * 1000; ++t) {
            const int s = int(t / 1000);
            if (t % 200 == 0 && shares.ready(client, t)) {
                shares.take(client);
                ++all[s];
                ++mine[s];
            }
            for (int k = 0; k < 20; ++k) {
                const QHostAddress source(quint32(0x7F010000u + quint32((t * 20 + k) % 1000)));
                if (shares.ready(source, t)) {
                    shares.take(source);
                    ++all[s];
                }
            }
            QVERIFY(shares.stored() <= 100 * Channel_shares::unit);
        }
        for (int s = 1; s < seconds; ++s) {
            QVERIFY2(all[s] >= 99 && all[s] <= 101, qPrintable(QString("second %1: %2").arg(s).arg(all[s])));
            QVERIFY2(mine[s] >= 1, qPrintable(QString("second %1: the client got nothing").arg(s)));
        }
    }

    // A flood from more addresses than are tracked (forged sources): the table stays bounded and
    // all of them together still keep to the rate.
    void shares_of_forged_sources_stay_bounded()
    {
        Channel_shares shares(100);
        int got = 0;
        const int seconds = 10;
        for (qint64 t = 0; t < seconds * 1000; ++t) {
            for (int k = 0; k < 3; ++k) {
                const QHostAddress source(quint32(0x0A000000u + quint32(t * 3 + k)));
                if (shares.ready(source, t)) {
                    shares.take(source);
                    ++got;
                }
            }
        }
        QVERIFY(shares.senders() <= shares.max_senders());
        QVERIFY2(got <= 100 * seconds + 100, qPrintable(QString::number(got)));
        QVERIFY2(got >= 90 * seconds, qPrintable(QString::number(got)));
    }

    // TCP clients that come and go, one at a time as the channel takes them, beside a UDP client
    // sending 5 frames a second: 150 clients from addresses of their own connect in turn, each
    // connection bringing 4 frames, taken at once and then by a pass every 20 ms until the next
    // connection replaces it and the shares are told it is gone. The channel keeps its 100 a
    // second and the UDP client its part; after the churn it gets all its frames. (Full parts
    // of gone clients once held the whole store: seconds at 0, for everyone.)
    void shares_flow_under_tcp_churn_data()
    {
        QTest::addColumn<int>("connections"); // a second
        QTest::newRow("a client's every 4 frames on a connection of its own") << 1500;
        QTest::newRow("a client back after 1.5 s") << 100;
        QTest::newRow("a client back after 3.75 s") << 40;
    }
    void shares_flow_under_tcp_churn()
    {
        QFETCH(int, connections);
        Channel_shares shares(100);
        const QHostAddress udp("127.0.0.2");
        const int churn = 40, seconds = churn + 10;
        QVector<int> all(seconds), mine(seconds);
        QHostAddress tcp;
        int waiting = 0; // frames of the current connection not yet taken
        for (qint64 t = 0, made = 0; t < seconds * 1000; ++t) {
            const int s = int(t / 1000);
            if (t % 200 == 0 && shares.ready(udp, t)) {
                shares.take(udp);
                ++all[s];
                ++mine[s];
            }
            const bool due = t % 20 == 0;
            for (; t < churn * 1000 && made * 1000 <= t * connections; ++made) {
                if (made > 0) shares.gone(tcp);
                tcp = QHostAddress(quint32(0x7F000100u + quint32(made % 150)));
                waiting = 4;
                for (; waiting > 0 && shares.ready(tcp, t); --waiting, ++all[s])
                    shares.take(tcp);
            }
            if (t == churn * 1000) {
                shares.gone(tcp);
                waiting = 0;
            }
            for (; due && waiting > 0 && shares.ready(tcp, t); --waiting, ++all[s])
                shares.take(tcp);
            QVERIFY(shares.stored() <= 100 * Channel_shares::unit);
        }
        // The rate, and at most a second of it stored.
        QVERIFY(std::accumulate(all.begin(), all.end(), 0) <= 100 * seconds + 100);
        for (int s = 1; s < churn; ++s) {
            QVERIFY2(all[s] >= 90, qPrintable(QString("second %1: %2").arg(s).arg(all[s])));
            QVERIFY2(mine[s] >= 1, qPrintable(QString("second %1: the UDP client got nothing").arg(s)));
        }
        for (int s = churn; s < seconds; ++s)
            QVERIFY2(mine[s] == 5,
                     qPrintable(QString("second %1 after the churn: %2 of 5").arg(s).arg(mine[s])));
    }

    // A slow forged flood: 1,000 addresses sending a frame every 5 s each for a minute, then
    // silent, beside a client sending all along and one that starts as the flood stops. The
    // first keeps a frame every second; after the flood both are served at once. (What the
    // flood's senders left in their parts, full or in fractions nobody could spend, once shut
    // the clients out for 8 s, or held one to another's pace.)
    void shares_serve_the_clients_after_a_slow_forged_flood_data()
    {
        QTest::addColumn<int>("holding"); // frames a second
        QTest::addColumn<int>("coming");
        QTest::newRow("1 and 1 a second") << 1 << 1;
        QTest::newRow("10 and 10") << 10 << 10;
        QTest::newRow("5 and 20") << 5 << 20;
    }
    void shares_serve_the_clients_after_a_slow_forged_flood()
    {
        QFETCH(int, holding);
        QFETCH(int, coming);
        Channel_shares shares(100);
        const QHostAddress holder("127.0.0.2"), late("127.0.0.3");
        const int flood = 60, seconds = flood + 10;
        QVector<int> all(seconds), held(seconds), came(seconds);
        for (qint64 t = 0; t < seconds * 1000; ++t) {
            const int s = int(t / 1000);
            if (t % (1000 / holding) == 0 && shares.ready(holder, t)) {
                shares.take(holder);
                ++all[s];
                ++held[s];
            }
            if (t >= flood * 1000 && t % (1000 / coming) == 500 / coming && shares.ready(late, t)) {
                shares.take(late);
                ++all[s];
                ++came[s];
            }
            // One of them every 5 ms.
            const QHostAddress forged(quint32(0x0A000000u + quint32(t / 5 % 1000)));
            if (t < flood * 1000 && t % 5 == 0 && shares.ready(forged, t)) {
                shares.take(forged);
                ++all[s];
            }
            QVERIFY(shares.stored() <= 100 * Channel_shares::unit);
        }
        QVERIFY(std::accumulate(all.begin(), all.end(), 0) <= 100 * seconds + 100);
        for (int s = 1; s < flood; ++s) {
            QVERIFY2(all[s] >= 90, qPrintable(QString("second %1: %2").arg(s).arg(all[s])));
            QVERIFY2(held[s] >= 1, qPrintable(QString("second %1: the client got nothing").arg(s)));
        }
        for (int s = flood; s < seconds; ++s) {
            QVERIFY2(
                held[s] >= (s > flood ? holding : 1) && came[s] >= (s > flood ? coming : 1),
                qPrintable(QString("second %1 after the flood: %2 and %3").arg(s).arg(held[s]).arg(came[s])));
        }
    }

    // One sender floods (20,000 frames a second, as many as the daemon surely reads even on a
    // loaded machine: beyond that the kernel drops datagrams of all senders alike) beside a
    // client sending 5 frames a second from another address: the client keeps its share, every
    // frame of it but the first forwarded; the flood takes the rest of the channel's 100 frames
    // a second and no more.
    void a_udp_flood_leaves_a_slow_client_its_share()
    {
        const int seconds = 8;
        const int flood0 = hdlc_rows(kAt17), client0 = hdlc_rows(kAt20);
        const QList<int> sent = udp_senders(
            {{"127.0.0.2", 20000, frame(17, 2, 16, 1, "13")}, {"127.0.0.3", 5, frame(20, 2, 16, 1, "13")}},
            seconds);
        const int flood = settled_rows(kAt17) - flood0, client = settled_rows(kAt20) - client0;
        qInfo("flood: %d sent, %d forwarded; client: %d sent, %d forwarded", sent[0], flood, sent[1], client);
        QVERIFY2(sent[0] > 100 * seconds * 20, "the flood was too thin to test anything");
        QVERIFY2(client * 5 >= sent[1] * 4, qPrintable(QString("%1 of %2").arg(client).arg(sent[1])));
        QVERIFY2(flood + client <= 100 * (seconds + 2), qPrintable(QString::number(flood + client)));
        // The flood takes what the client leaves.
        QVERIFY2(flood >= 50 * seconds, qPrintable(QString::number(flood)));
        hdlc_downlinks(0); // the capture is left empty
    }

    // Two flooders, one ten times as fast as the other: the slower still gets its half of the
    // channel's frames, at least 45 a second.
    void two_udp_floods_share_the_channel()
    {
        const int seconds = 8;
        const int fast0 = hdlc_rows(kAt17), slow0 = hdlc_rows(kAt145);
        const QList<int> sent = udp_senders(
            {{"127.0.0.4", 2000, frame(17, 2, 16, 1, "13")}, {"127.0.0.5", 200, frame(145, 2, 16, 1, "13")}},
            seconds);
        const int fast = settled_rows(kAt17) - fast0, slow = settled_rows(kAt145) - slow0;
        qInfo("fast: %d sent, %d forwarded; slow: %d sent, %d forwarded", sent[0], fast, sent[1], slow);
        QVERIFY2(sent[0] >= 9 * sent[1], qPrintable(QString("%1 and %2 sent").arg(sent[0]).arg(sent[1])));
        QVERIFY2(slow >= 45 * seconds, qPrintable(QString("%1 in %2 s").arg(slow).arg(seconds)));
        QVERIFY2(fast + slow <= 100 * (seconds + 2), qPrintable(QString::number(fast + slow)));
        hdlc_downlinks(0);
    }
};

QTEST_GUILESS_MAIN(tst_transparent_channel)
#include "tst_transparent_channel.moc"
