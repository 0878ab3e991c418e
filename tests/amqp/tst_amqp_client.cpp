// The connection and channel state machines against a scripted broker on a loopback socket:
// the bytes the client sends, and what it does with what it is sent.
#include "amqp_test_helpers.h"
#include "amqp_exchange.h"
#include "amqp_frame.h"
#include "amqp_queue.h"
#include "amqp_table.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using amqptest::TestChannel;
using testsupport::hex;
using testsupport::hex_of;

namespace {

std::unique_ptr<testsupport::Log_capture> g_log; // the library's log lines, from initTestCase on

AmqpTimings shortTimings()
{
    AmqpTimings t;
    t.firstRetryDelay = 50;
    t.retryGrowthLimit = 1000;
    t.openTimeout = 3000;
    return t;
}

QByteArray wire(const AmqpMethodWriter& w)
{
    return w.frame().toByteArray();
}

// A broker that says what the test tells it to, and keeps what the client sends.
class FakeBroker : public QObject
{
public:
    FakeBroker()
    {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                peer = s;
                ++connections;
                received.clear();
                connect(s, &QTcpSocket::readyRead, this, [this, s] {
                    if (s == peer && !paused) received += s->readAll();
                });
            }
        });
    }
    quint16 port() const { return server.serverPort(); }

    bool waitConnections(int n, int ms = 5000)
    {
        return QTest::qWaitFor([&] { return connections >= n; }, ms);
    }
    // The next n bytes the client sent (empty after a time-out).
    QByteArray take(int n, int ms = 5000)
    {
        if (!QTest::qWaitFor([&] { return received.size() >= n; }, ms)) return QByteArray();
        const QByteArray out = received.left(n);
        received.remove(0, n);
        return out;
    }
    QByteArray takeFrame(int ms = 5000)
    {
        if (!QTest::qWaitFor([&] { return received.size() >= 7; }, ms)) return QByteArray();
        const quint32 size = quint32(quint8(received[3])) << 24 | quint32(quint8(received[4])) << 16 |
                             quint32(quint8(received[5])) << 8 | quint32(quint8(received[6]));
        return take(int(size) + 8, ms);
    }
    bool peerClosed(int ms = 3000)
    {
        return QTest::qWaitFor([&] { return !peer || peer->state() == QAbstractSocket::UnconnectedState; },
                               ms);
    }
    void send(const QByteArray& bytes)
    {
        peer->write(bytes);
        peer->flush();
    }

    static QByteArray start(const QString& mechanisms = "PLAIN AMQPLAIN")
    {
        AmqpMethodWriter w(10, 10);
        w.octet(0).octet(9).table({{"product", "fake"}}).longString(mechanisms).longString("en_US");
        return wire(w);
    }
    static QByteArray tune(quint16 channelMax, quint32 frameMax, quint16 heartbeat)
    {
        AmqpMethodWriter w(10, 30);
        w.shortUint(channelMax).longUint(frameMax).shortUint(heartbeat);
        return wire(w);
    }
    static QByteArray openOk()
    {
        AmqpMethodWriter w(10, 41);
        w.shortString("");
        return wire(w);
    }
    static QByteArray close(quint16 code, const QString& text, quint16 classId = 0, quint16 methodId = 0,
                            quint16 ch = 0)
    {
        AmqpMethodWriter w(ch == 0 ? 10 : 20, 40 + (ch == 0 ? 10 : 0), ch);
        w.shortUint(code).shortString(text).shortUint(classId).shortUint(methodId);
        return wire(w);
    }
    static QByteArray channelOpenOk(quint16 ch)
    {
        AmqpMethodWriter w(20, 11, ch);
        w.longString("");
        return wire(w);
    }
    static QByteArray method(quint16 classId, quint16 methodId, quint16 ch = 0)
    {
        return wire(AmqpMethodWriter(classId, methodId, ch));
    }

    // The whole handshake up to open-ok; false if the client strays.
    bool handshake(AmqpClient& client, quint16 channelMax = 2047, quint32 frameMax = 131072,
                   quint16 heartbeat = 0)
    {
        if (take(8) != QByteArray("AMQP\x00\x00\x09\x01", 8)) return false;
        send(start());
        if (takeFrame().mid(7, 4) != hex("000A000B")) return false;
        send(tune(channelMax, frameMax, heartbeat));
        if (takeFrame().mid(7, 4) != hex("000A001F") || takeFrame().mid(7, 4) != hex("000A0028"))
            return false;
        send(openOk());
        return QTest::qWaitFor([&] { return client.isConnected(); }, 3000);
    }

    QTcpServer server;
    QPointer<QTcpSocket> peer;
    QByteArray received;
    int connections = 0;
    bool paused = false; // stop reading, as a broker blocking its publishers does
};

// Class and method of a frame the client sent ("60.40"), or its type for other frames ("H", "B").
QString kind(const QByteArray& frame)
{
    AmqpFrameFault fault;
    auto f = AmqpFrameReader::decode(frame, &fault);
    if (!f) return "bad: " + fault.text;
    if (f->type() == AmqpFrame::Method) {
        auto* m = static_cast<AmqpMethodFrame*>(f.get());
        return QString("%1.%2").arg(m->classId()).arg(m->methodId());
    }
    return f->type() == AmqpFrame::Header ? "H" : f->type() == AmqpFrame::Body ? "B" : "HB";
}

// A client aimed at the fake broker, reconnecting with short delays.
struct Setup
{
    explicit Setup(bool reconnect = true)
    {
        client.setTimings(shortTimings());
        client.setAutoReconnect(reconnect);
        client.setUser("u");
        client.setPassword("p");
        client.setVirtualHost("/api");
    }
    void connect() { client.connectToHost(QHostAddress::LocalHost, broker.port()); }
    // Connected through the whole handshake.
    bool up()
    {
        connect();
        return broker.handshake(client);
    }
    FakeBroker broker;
    AmqpClient client;
};

} // namespace

class tst_amqp_client : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        g_log = std::make_unique<testsupport::Log_capture>();
        AMQP::setLogHandler(testsupport::Log_capture::sink);
    }
    void init() { g_log->clear(); }

    void handshake_bytes()
    {
        Setup s(false);
        QSignalSpy connected(&s.client, &AmqpClient::connected);
        s.connect();
        QCOMPARE(hex_of(s.broker.take(8)), QString("414D515000000901"));
        s.broker.send(FakeBroker::start("AMQPLAIN PLAIN"));

        const QByteArray platform = QByteArray("Qt ") + qVersion();
        QByteArray props = hex("0C") + "capabilities" + hex("46 0000002E 12") + "connection.blocked" +
                           hex("74 01 16") + "consumer_cancel_notify" + hex("74 01") + hex("08") +
                           "platform" + hex("53 000000") + char(platform.size()) + platform + hex("07") +
                           "product" + hex("53 00000005") + "AMQPC" + hex("07") + "version" +
                           hex("53 00000005") + "0.5.0";
        QByteArray args = hex("000A 000B 000000") + char(props.size()) + props + hex("08") + "AMQPLAIN" +
                          hex("0000001B 05 4C4F47494E 53 00000001 75 08 50415353574F5244 53 00000001 70") +
                          hex("05") + "en_US";
        const QByteArray startOk = hex("01 0000 000000") + char(args.size()) + args + hex("CE");
        QCOMPARE(hex_of(s.broker.takeFrame()), hex_of(startOk));

        s.broker.send(FakeBroker::tune(2047, 131072, 60));
        QCOMPARE(hex_of(s.broker.takeFrame()),
                 hex_of(hex("01 0000 0000000C 000A 001F 07FF 00020000 003C CE")));
        QCOMPARE(hex_of(s.broker.takeFrame()),
                 hex_of(hex("01 0000 0000000B 000A 0028 04 2F617069 00 00 CE")));
        QVERIFY(connected.isEmpty());
        s.broker.send(FakeBroker::openOk());
        QTRY_COMPARE(connected.size(), 1);
        QVERIFY(s.client.isConnected());

        // The user's close: connection.close 200, then the socket goes on close-ok; no reconnect.
        QSignalSpy disconnected(&s.client, &AmqpClient::disconnected);
        s.client.disconnectFromHost();
        QCOMPARE(hex_of(s.broker.takeFrame()), hex_of(hex("01 0000 0000001C 000A 0032 00C8 11") +
                                                      "client disconnect" + hex("0000 0000 CE")));
        s.broker.send(FakeBroker::method(10, 51));
        QVERIFY(s.broker.peerClosed());
        QTRY_VERIFY(!disconnected.isEmpty());
        QVERIFY(!s.client.isConnected());
        QTest::qWait(150);
        QCOMPARE(s.broker.connections, 1);
    }

    void tune_negotiation_data() { testsupport::vector_rows(VECTORS("amqp_client.txt"), "tune"); }
    void tune_negotiation()
    {
        QFETCH(QStringList, f);
        const QStringList mine = f[0].split(' ', Qt::SkipEmptyParts), broker = f[1].split(' ', Qt::SkipEmptyParts);
        const QByteArray tuneOk = hex(f[2]);
        Setup s(false);
        s.client.setChannelMax(quint16(mine[0].toInt()));
        s.client.setFrameMax(mine[1].toInt());
        s.client.setHeartbeatDelay(quint16(mine[2].toInt()));
        s.connect();
        s.broker.take(8);
        s.broker.send(FakeBroker::start());
        s.broker.takeFrame();
        s.broker.send(FakeBroker::tune(quint16(broker[0].toInt()), broker[1].toUInt(), quint16(broker[2].toInt())));
        QCOMPARE(hex_of(s.broker.takeFrame().mid(11, 8)), hex_of(tuneOk));
        QCOMPARE(s.client.channelMax(), quint16(f[2].left(4).toUInt(nullptr, 16)));
        QCOMPARE(s.client.heartbeatDelay(), quint16(f[2].right(4).toUInt(nullptr, 16)));
        s.broker.takeFrame();
        s.broker.send(FakeBroker::openOk());
        QTRY_VERIFY(s.client.isConnected());
        s.client.setFrameMax(100); // ignored while connected
        QCOMPARE(s.client.frameMax(), qint32(f[2].mid(5, 8).toUInt(nullptr, 16)));
    }

    void uri_parsing_data() { testsupport::vector_rows(VECTORS("amqp_client.txt"), "uri"); }
    void uri_parsing()
    {
        QFETCH(QStringList, f);
        for (QString& field : f)
            if (field == "-") field.clear();
        AmqpClient client;
        client.setHost("127.0.0.9");
        client.setPort(7);
        client.setVirtualHost("keep");
        client.setUser("ku");
        client.setPassword("kp");
        client.connectToHost(f[0]);
        client.disconnectFromHost();
        QCOMPARE(QStringList({client.host(), QString::number(client.port()), client.virtualHost(), client.user(),
                              client.password()}),
                 f.mid(1));
    }

    // A broker without the login mechanism is left, logged with its list, and tried again.
    void missing_login_mechanism()
    {
        Setup s;
        s.connect();
        s.broker.take(8);
        s.broker.send(FakeBroker::start("PLAIN amqplain"));
        QVERIFY(s.broker.peerClosed());
        QVERIFY(g_log->has("offers no AMQPLAIN login (mechanisms: \"PLAIN amqplain\")"));
        QVERIFY(g_log->has("reconnecting in 50 ms"));
        QVERIFY(s.broker.waitConnections(2));
    }

    void broker_closes_connection_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("closeOkSent");
        QTest::addColumn<int>("delay");
        QTest::newRow("320 connection forced: again at once") << 320 << false << 0;
        QTest::newRow("541 internal error") << 541 << true << 50;
        QTest::newRow("0 without a code") << 0 << true << 50;
    }
    void broker_closes_connection()
    {
        QFETCH(int, code);
        QFETCH(bool, closeOkSent);
        QFETCH(int, delay);
        Setup s;
        TestChannel channel(&s.client);
        QSignalSpy errors(&s.client, qOverload<AMQP::Error>(&AmqpClient::error));
        QSignalSpy disconnected(&s.client, &AmqpClient::disconnected);
        QVERIFY(s.up());
        s.broker.takeFrame(); // channel.open
        s.broker.send(FakeBroker::close(quint16(code), "going down"));
        if (closeOkSent) QCOMPARE(hex_of(s.broker.takeFrame()), hex_of(hex("01 0000 00000004 000A 0033 CE")));
        QVERIFY(s.broker.peerClosed());
        QTRY_VERIFY(!disconnected.isEmpty());
        QCOMPARE(errors.size(), code ? 1 : 0);
        if (code) {
            QCOMPARE(int(s.client.error()), code);
            QCOMPARE(s.client.errorString(), QString("going down"));
        }
        QVERIFY(g_log->has(QString("connection closed by the broker: %1 going down").arg(code)));
        QVERIFY(g_log->has(QString("reconnecting in %1 ms").arg(delay)));
        if (!closeOkSent) QVERIFY(s.broker.received.isEmpty());

        // Back again: the channel opens on the new connection under its number.
        QVERIFY(s.broker.waitConnections(2));
        QVERIFY(s.broker.handshake(s.client));
        QCOMPARE(hex_of(s.broker.takeFrame()), QString("010001000000050014000A00CE"));
    }

    // connection.blocked / unblocked (advertised in start-ok): the client knows when the broker
    // stops reading its publishes; a new connection starts unblocked.
    void broker_blocks_and_unblocks()
    {
        Setup s;
        QSignalSpy blocked(&s.client, &AmqpClient::blocked);
        QSignalSpy unblocked(&s.client, &AmqpClient::unblocked);
        QVERIFY(s.up());
        AmqpMethodWriter block(10, 60);
        block.shortString("low on memory");
        s.broker.send(wire(block));
        QTRY_VERIFY(s.client.isBlocked());
        QCOMPARE(blocked.size(), 1);
        QCOMPARE(blocked.first().first().toString(), QString("low on memory"));
        s.broker.send(FakeBroker::method(10, 61));
        QTRY_VERIFY(!s.client.isBlocked());
        QCOMPARE(unblocked.size(), 1);

        s.broker.send(wire(block));
        QTRY_VERIFY(s.client.isBlocked());
        s.broker.peer->abort();
        QTRY_VERIFY(!s.client.isBlocked());
        QVERIFY(s.broker.received.isEmpty()); // nothing is answered to either
    }

    // Bytes that break the framing close the connection with the frame-error reply, and the
    // client comes back on a new connection.
    void frame_errors_close_and_reconnect_data()
    {
        QTest::addColumn<QByteArray>("bad");
        QTest::addColumn<QByteArray>("closeArgs");
        QTest::newRow("wrong frame end")
            << hex("08 0000 00000000 00") << hex("01F9 12") + "wrong end of frame" + hex("0000 0000");
        QTest::newRow("frame over frame-max")
            << hex("03 0001 00001001") << hex("01F5 14") + "frame size too large" + hex("0000 0000");
        QTest::newRow("long string longer than frame")
            << hex("01 0000 00000008 000A0014 7FFFFFFF CE")
            << hex("01F5 16") + "malformed method frame" + hex("0000 0000");
        QTest::newRow("unknown frame type")
            << hex("05 0000 00000000 CE") << hex("01F5 12") + "invalid frame type" + hex("0000 0000");
    }
    void frame_errors_close_and_reconnect()
    {
        QFETCH(QByteArray, bad);
        QFETCH(QByteArray, closeArgs);
        Setup s;
        s.connect();
        QVERIFY(s.broker.handshake(s.client, 2047, 4096, 0));
        s.broker.send(bad);
        QByteArray close = hex("01 0000 00000000 000A 0032") + closeArgs + hex("CE");
        close[6] = char(close.size() - 8);
        QCOMPARE(hex_of(s.broker.takeFrame()), hex_of(close));
        QVERIFY(s.broker.peerClosed());
        QVERIFY(g_log->has("frame error: "));
        QVERIFY(s.broker.waitConnections(2));
        QVERIFY(s.broker.handshake(s.client));
    }

    // Failed attempts back off 50, 250, 1250 ms and stay there; only a full login resets it,
    // so a broker that takes the TCP connection but refuses the login is not hammered.
    void back_off_grows_until_a_login_succeeds()
    {
        Setup s;
        s.connect();
        for (int attempt = 1; attempt <= 4; ++attempt) {
            QVERIFY(s.broker.waitConnections(attempt, 4000));
            s.broker.take(8);
            s.broker.send(FakeBroker::start());
            s.broker.takeFrame();
            s.broker.peer->abort(); // as a broker refusing the password does
        }
        QTRY_COMPARE(g_log->count("reconnecting in 1250 ms"), 2);
        QCOMPARE(g_log->count("reconnecting in 50 ms"), 1);
        QCOMPARE(g_log->count("reconnecting in 250 ms"), 1);
        QCOMPARE(g_log->count("after the AMQPLAIN login of user \"u\" (wrong user or password?)"),
                 4);
        QVERIFY(s.broker.waitConnections(5, 4000));
        QVERIFY(s.broker.handshake(s.client));
        g_log->clear();
        s.broker.peer->abort();
        QTRY_VERIFY(g_log->has("reconnecting in 50 ms"));
        QVERIFY(s.broker.waitConnections(6));
    }

    void refused_connections_back_off()
    {
        quint16 port;
        {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            port = probe.serverPort();
        }
        AmqpClient client;
        AmqpTimings t = shortTimings();
        t.firstRetryDelay = 10;
        t.retryGrowthLimit = 300;
        client.setTimings(t);
        client.setAutoReconnect(true);
        QSignalSpy socketErrors(&client, qOverload<QAbstractSocket::SocketError>(&AmqpClient::socketError));
        client.connectToHost(QHostAddress::LocalHost, port);
        QTRY_VERIFY_WITH_TIMEOUT(g_log->has("reconnecting in 1250 ms"), 3000);
        QVERIFY(g_log->has("reconnecting in 10 ms"));
        QVERIFY(g_log->has("reconnecting in 50 ms"));
        QVERIFY(g_log->has("reconnecting in 250 ms"));
        QVERIFY(g_log->has("Connection refused"));
        QCOMPARE(socketErrors.size(), 4);
        // One pending reconnect at a time, however many errors arrive.
        QCOMPARE(g_log->count("reconnecting in"), 4);
        client.setAutoReconnect(false);
    }

    // With a heartbeat, the client sends one each interval and gives up on a silent peer after
    // two intervals; a chatty peer stays.
    void heartbeats_and_silent_peers()
    {
        Setup s;
        AmqpTimings t = shortTimings();
        t.heartbeatUnit = 100;
        s.client.setTimings(t);
        s.connect();
        QVERIFY(s.broker.handshake(s.client, 2047, 131072, 1));
        QCOMPARE(hex_of(s.broker.takeFrame(1000)), hex_of(hex("08 0000 00000000 CE")));
        for (int i = 0; i < 5; ++i) { // keep talking: the connection stays
            s.broker.send(hex("08 0000 00000000 CE"));
            QTest::qWait(100);
        }
        QVERIFY(s.client.isConnected());
        QVERIFY(s.broker.peerClosed(1000));
        QVERIFY(g_log->has("nothing received for 200 ms (heartbeat 1 s); aborting"));
        QVERIFY(s.broker.waitConnections(2));
    }

    // Writes that wait longer than the write time-out leave the connection up; the bytes go out
    // once the broker reads again.
    void slow_writes_keep_the_connection()
    {
        Setup s;
        QVERIFY(s.up());
        TestChannel channel(&s.client);
        s.broker.takeFrame();
        s.broker.paused = true;
        s.broker.peer->setReadBufferSize(1024);
        const int previous = AmqpClient::writeTimeout();
        AmqpClient::setWriteTimeout(20);
        QSignalSpy socketErrors(&s.client, qOverload<QAbstractSocket::SocketError>(&AmqpClient::socketError));
        const QByteArray chunk(100000, 'x');
        for (int i = 0; i < 200; ++i)
            QVERIFY(channel.send(AmqpMethodWriter(60, 40, 1).raw(chunk)));
        AmqpClient::setWriteTimeout(previous);
        QVERIFY(!socketErrors.isEmpty()); // the writes did time out
        QVERIFY(s.client.isConnected());
        QVERIFY(!g_log->has("socket error"));
        s.broker.paused = false;
        s.broker.peer->setReadBufferSize(0);
        s.broker.received += s.broker.peer->readAll();
        QTRY_COMPARE_WITH_TIMEOUT(s.broker.received.size(), 200 * (chunk.size() + 12), 10000);
        QVERIFY(s.client.isConnected());
    }

    void no_open_ok_aborts()
    {
        Setup s;
        AmqpTimings t = shortTimings();
        t.openTimeout = 300;
        s.client.setTimings(t);
        s.connect();
        s.broker.take(8);
        s.broker.send(FakeBroker::start());
        QVERIFY(s.broker.peerClosed(2000));
        QVERIFY(g_log->has("no connection.open-ok 300 ms after connecting; aborting"));
        QVERIFY(s.broker.waitConnections(2));
    }

    // Channel numbers belong to a connection: the lowest free one, reused once freed.
    void channel_numbers_per_connection()
    {
        AmqpClient a;
        AmqpClient b;
        auto* a1 = new TestChannel(&a);
        auto* a2 = new TestChannel(&a);
        TestChannel b1(&b);
        QCOMPARE(a1->channelNumber(), 1);
        QCOMPARE(a2->channelNumber(), 2);
        QCOMPARE(b1.channelNumber(), 1);
        delete a1;
        TestChannel a3(&a);
        QCOMPARE(a3.channelNumber(), 1);
        TestChannel a4(&a);
        QCOMPARE(a4.channelNumber(), 3);
        delete a2;
    }

    // A publish is the method, the header and as many body frames as the frame size asks for.
    void exchange_publish_frames_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QList<int>>("bodies");
        QTest::newRow("empty body: no body frame") << 0 << QList<int>{};
        QTest::newRow("frame-max - 8: one body frame") << 4088 << QList<int>{4088};
        QTest::newRow("frame-max - 7: two body frames") << 4089 << QList<int>{4088, 1};
        QTest::newRow("three frames") << 9000 << QList<int>{4088, 4088, 824};
    }
    void exchange_publish_frames()
    {
        QFETCH(int, size);
        QFETCH(QList<int>, bodies);
        Setup s;
        s.connect();
        QVERIFY(s.broker.handshake(s.client, 2047, 4096, 0));
        AmqpExchange* exchange = s.client.createExchange("ex");
        QCOMPARE(s.client.createExchange("ex"), exchange);
        QCOMPARE(kind(s.broker.takeFrame()), QString("20.10"));
        s.broker.send(FakeBroker::channelOpenOk(1));
        QTRY_VERIFY(exchange->isOpen());

        QByteArray message(size, 'm');
        for (int i = 0; i < size; ++i)
            message[i] = char('a' + i % 26);
        exchange->publish(message, "rk", "text.plain");
        QCOMPARE(hex_of(s.broker.takeFrame()),
                 hex_of(hex("01 0001 0000000D 003C 0028 0000 02 6578 02 726B 00 CE")));
        QByteArray header = hex("02 0001 00000023 003C 0000 00000000") + hex("00000000 E000 0A") +
                            "text.plain" + hex("05") + "utf-8" + hex("00000000 CE");
        header[17] = char(size >> 8);
        header[18] = char(size);
        QCOMPARE(hex_of(s.broker.takeFrame()), hex_of(header));
        QByteArray joined;
        for (int expected : bodies) {
            const QByteArray f = s.broker.takeFrame();
            QCOMPARE(kind(f), QString("B"));
            QCOMPARE(f.size() - 8, expected);
            joined += f.mid(7, f.size() - 8);
        }
        QCOMPARE(joined, message);
        QTest::qWait(30);
        QVERIFY(s.broker.received.isEmpty());
    }

    void exchange_properties_declare_and_confirms()
    {
        Setup s;
        QVERIFY(s.up());
        AmqpExchange* exchange = s.client.createExchange("ex");
        exchange->declare(AmqpExchange::Topic, AmqpExchange::Durable);
        exchange->enableConfirms();
        QCOMPARE(kind(s.broker.takeFrame()), QString("20.10"));
        QTest::qWait(30);
        QVERIFY(s.broker.received.isEmpty()); // held back until the channel is open
        s.broker.send(FakeBroker::channelOpenOk(1));
        QCOMPARE(kind(s.broker.takeFrame()), QString("85.10"));
        QCOMPARE(hex_of(s.broker.takeFrame()),
                 hex_of(hex("01 0001 00000014 0028 000A 0000 02 6578 05") + "topic" + hex("02 00000000 CE")));
        exchange->declare(); // direct by default
        QVERIFY(s.broker.takeFrame().contains(QByteArray("\x06"
                                                         "direct")));

        // A content type in the properties replaces the mime type; other properties join in.
        exchange->publish(QByteArray("x"), "rk", "text.plain",
                          {{AmqpMessage::ContentType, "application/json"}, {AmqpMessage::DeliveryMode, 2}});
        s.broker.takeFrame();
        AmqpFrameFault fault;
        auto header = AmqpFrameReader::decode(s.broker.takeFrame(), &fault);
        QVERIFY(header && header->type() == AmqpFrame::Header);
        auto* h = static_cast<AmqpContentFrame*>(header.get());
        QCOMPARE(h->property(AmqpMessage::ContentType).toString(), QString("application/json"));
        QCOMPARE(h->property(AmqpMessage::ContentEncoding).toString(), QString("utf-8"));
        QCOMPARE(h->property(AmqpMessage::DeliveryMode).toInt(), 2);
        s.broker.takeFrame();

        // Confirms: three more publishes are numbered 2, 3, 4 (the first took 1).
        QSignalSpy delivered(exchange, &AmqpExchange::allMessagesDelivered);
        QSignalSpy marks(exchange, &AmqpChannel::qosDefined);
        for (int i = 0; i < 3; ++i)
            exchange->publish(QString("m"), "rk");
        // Each ack is followed by a qos-ok, whose signal says the ack has been handled.
        auto ack = [&](quint64 tag, bool multiple) {
            AmqpMethodWriter w(60, 80, 1);
            w.longLongUint(tag).octet(multiple ? 1 : 0);
            const int before = marks.size();
            s.broker.send(wire(w) + FakeBroker::method(60, 11, 1));
            QTRY_COMPARE(marks.size(), before + 1);
        };
        ack(3, true);
        QCOMPARE(delivered.size(), 0);
        QVERIFY(!exchange->waitForConfirms(0));
        ack(99, false);
        QCOMPARE(delivered.size(), 0);
        ack(4, false);
        QCOMPARE(delivered.size(), 1);
        QVERIFY(exchange->waitForConfirms(0));
        exchange->publish(QString("m"), "rk");
        ack(0, false);
        QCOMPARE(delivered.size(), 2);
    }

    void queue_consume_and_assembly()
    {
        Setup s;
        QVERIFY(s.up());
        AmqpQueue* queue = s.client.createQueue("q");
        QCOMPARE(s.client.createQueue("q"), queue);
        queue->declare(AmqpQueue::Durable);
        s.broker.takeFrame();
        s.broker.send(FakeBroker::channelOpenOk(1));
        QCOMPARE(hex_of(s.broker.takeFrame()),
                 hex_of(hex("01 0001 0000000D 0032 000A 0000 01 71 02 00000000 CE")));
        QVERIFY(queue->consume(AmqpQueue::coNoLocal));
        QVERIFY(!queue->consume(AmqpQueue::coNoLocal));
        QCOMPARE(hex_of(s.broker.takeFrame()),
                 hex_of(hex("01 0001 0000000E 003C 0014 0000 01 71 00 01 00000000 CE")));
        AmqpMethodWriter consumeOk(60, 21, 1);
        consumeOk.shortString("ct");
        s.broker.send(wire(consumeOk));
        QTRY_VERIFY(queue->isConsuming());
        QCOMPARE(queue->consumerTag(), QString("ct"));

        QSignalSpy received(queue, &AmqpQueue::messageReceived);
        auto deliver = [&](const QString& tag, quint64 delivery, const QList<QByteArray>& parts,
                           qint64 announced) {
            AmqpMethodWriter d(60, 60, 1);
            d.shortString(tag).longLongUint(delivery).octet(0).shortString("").shortString("q");
            AmqpContentFrame header(60);
            header.setChannel(1);
            header.setBodySize(announced);
            header.setProperty(AmqpMessage::ContentType, "text.plain");
            QByteArray bytes = wire(d) + header.toByteArray();
            for (const QByteArray& part : parts) {
                AmqpContentBodyFrame body(part);
                body.setChannel(1);
                bytes += body.toByteArray();
            }
            s.broker.send(bytes);
        };
        deliver("ct", 7, {"ab", "cd", "ef"}, 6);
        QTRY_COMPARE(received.size(), 1);
        deliver("other", 8, {"zz"}, 2); // not this consumer's: ignored, as the next shows
        deliver("ct", 9, {}, 0);
        QTRY_COMPARE(received.size(), 2);
        deliver("ct", 10, {"toolong"}, 3);
        QTRY_VERIFY(g_log->has("message body longer than its header announced; dropped"));
        QCOMPARE(received.size(), 2);
        QCOMPARE(queue->size(), 2);
        const AmqpMessage first = queue->dequeue();
        QVERIFY(first.isValid());
        QCOMPARE(first.payload(), QByteArray("abcdef"));
        QCOMPARE(first.deliveryTag(), qlonglong(7));
        QCOMPARE(first.exchangeName(), QString(""));
        QCOMPARE(first.routingKey(), QString("q"));
        QCOMPARE(first.property(AmqpMessage::ContentType).toString(), QString("text.plain"));
        const AmqpMessage empty = queue->dequeue();
        QCOMPARE(empty.deliveryTag(), qlonglong(9));
        QVERIFY(empty.payload().isEmpty());

        queue->ack(first);
        QCOMPARE(hex_of(s.broker.takeFrame()),
                 hex_of(hex("01 0001 0000000D 003C 0050 0000000000000007 00 CE")));
        queue->reject(empty, true);
        QCOMPARE(hex_of(s.broker.takeFrame()),
                 hex_of(hex("01 0001 0000000D 003C 005A 0000000000000009 01 CE")));
    }

    // The broker cancels the consumer (its queue deleted): the client answers cancel-ok unless
    // told no-wait, only its own tag ends the consumer, and consuming is allowed again. Our own
    // cancel is sent once while its cancel-ok is outstanding.
    void broker_cancels_the_consumer()
    {
        Setup s;
        QVERIFY(s.up());
        AmqpQueue* queue = s.client.createQueue("q");
        queue->declare(AmqpQueue::Durable);
        s.broker.takeFrame();
        s.broker.send(FakeBroker::channelOpenOk(1));
        s.broker.takeFrame();
        QSignalSpy byBroker(queue, &AmqpQueue::cancelledByBroker);
        QSignalSpy cancelled(queue, &AmqpQueue::cancelled);
        const auto consumeAs = [&](const char* tagHex) {
            if (!queue->consume(AmqpQueue::coNoLocal)) return false;
            s.broker.takeFrame();
            s.broker.send(hex(QString("01 0001 00000007 003C 0015 02 %1 CE").arg(tagHex)));
            return QTest::qWaitFor([&] { return queue->isConsuming(); }, 3000);
        };
        QVERIFY(consumeAs("6374")); // "ct"

        // Another consumer's tag, no-wait clear: answered, our consumer stays.
        s.broker.send(hex("01 0001 00000008 003C 001E 02 7878 00 CE"));
        QCOMPARE(hex_of(s.broker.takeFrame()), hex_of(hex("01 0001 00000007 003C 001F 02 7878 CE")));
        QVERIFY(queue->isConsuming());
        QVERIFY(byBroker.isEmpty());

        s.broker.send(hex("01 0001 00000008 003C 001E 02 6374 00 CE"));
        QCOMPARE(hex_of(s.broker.takeFrame()), hex_of(hex("01 0001 00000007 003C 001F 02 6374 CE")));
        QTRY_COMPARE(byBroker.size(), 1);
        QCOMPARE(byBroker.first().first().toString(), QString("ct"));
        QVERIFY(!queue->isConsuming());
        QVERIFY(cancelled.isEmpty());
        QVERIFY(g_log->has("channel 1 (q): consumer \"ct\" cancelled by the broker"));
        QVERIFY(!queue->cancel()); // nothing left to cancel
        QVERIFY(s.broker.take(1, 100).isEmpty());

        // No-wait set: nothing is answered.
        QVERIFY(consumeAs("6332")); // "c2"
        s.broker.send(hex("01 0001 00000008 003C 001E 02 6332 01 CE"));
        QTRY_COMPARE(byBroker.size(), 2);
        QVERIFY(s.broker.take(1, 200).isEmpty());

        // Our own cancel: one basic.cancel, no second one and no consume until cancel-ok.
        QVERIFY(consumeAs("6333")); // "c3"
        QVERIFY(queue->cancel());
        QCOMPARE(hex_of(s.broker.takeFrame()), hex_of(hex("01 0001 00000008 003C 001E 02 6333 00 CE")));
        QVERIFY(!queue->cancel());
        QVERIFY(!queue->consume(AmqpQueue::coNoLocal));
        QVERIFY(s.broker.take(1, 100).isEmpty());
        s.broker.send(hex("01 0001 00000007 003C 001F 02 6333 CE"));
        QTRY_COMPARE(cancelled.size(), 1);
        QCOMPARE(byBroker.size(), 2);
        QVERIFY(queue->consume(AmqpQueue::coNoLocal));
        QCOMPARE(kind(s.broker.takeFrame()), QString("60.20"));
    }

    // Deliveries that arrive in one read are acknowledged one by one, in order, and the acks are
    // on the wire before any work queued by their handlers runs (a consumer hands the bodies on
    // through queued connections).
    void acks_of_one_read_leave_before_queued_work()
    {
        Setup s;
        s.connect();
        QVERIFY(s.broker.handshake(s.client));
        AmqpQueue* queue = s.client.createQueue("q");
        queue->declare(AmqpQueue::Durable);
        s.broker.takeFrame();
        s.broker.send(FakeBroker::channelOpenOk(1));
        s.broker.takeFrame();
        QVERIFY(queue->consume(AmqpQueue::coNoLocal));
        s.broker.takeFrame();
        AmqpMethodWriter consumeOk(60, 21, 1);
        consumeOk.shortString("ct");
        s.broker.send(wire(consumeOk));
        QTRY_VERIFY(queue->isConsuming());

        int issued = 0;
        int seen_by_queued_work = -1;
        QObject context;
        connect(queue, &AmqpQueue::messageReceived, &context, [&] {
            queue->ack(queue->dequeue());
            if (issued++ > 0) return;
            QMetaObject::invokeMethod(&context, [&] {
                // The client's event loop does not run in here: only bytes already written count.
                while (s.broker.received.size() < issued * 21 && s.broker.peer->waitForReadyRead(500)) {}
                seen_by_queued_work = s.broker.received.size() / 21;
            }, Qt::QueuedConnection);
        });
        QByteArray bytes;
        for (quint64 tag = 1; tag <= 3; ++tag) {
            AmqpMethodWriter d(60, 60, 1);
            d.shortString("ct").longLongUint(tag).octet(0).shortString("").shortString("q");
            AmqpContentFrame header(60);
            header.setChannel(1);
            header.setBodySize(1);
            AmqpContentBodyFrame body(QByteArray::number(tag));
            body.setChannel(1);
            bytes += wire(d) + header.toByteArray() + body.toByteArray();
        }
        s.broker.send(bytes);
        QTRY_COMPARE(issued, 3);
        QTRY_VERIFY(seen_by_queued_work >= 0);
        QCOMPARE(seen_by_queued_work, issued);
        QCOMPARE(hex_of(s.broker.take(3 * 21)),
                 hex_of(hex("01 0001 0000000D 003C 0050 0000000000000001 00 CE"
                            "01 0001 0000000D 003C 0050 0000000000000002 00 CE"
                            "01 0001 0000000D 003C 0050 0000000000000003 00 CE")));
        QVERIFY(s.broker.take(1, 200).isEmpty());
    }

    // The broker closes the queue's channel: after the back-off it is opened again and qos,
    // declaration and consumer come back without the owner's help; a tag of the old channel is
    // not acknowledged on the new one. A lost connection, by contrast, leaves the set-up to the
    // owner's connected() handler.
    void queue_set_up_comes_back_after_a_broker_close()
    {
        Setup s;
        QVERIFY(s.up());
        AmqpQueue* queue = s.client.createQueue("q");
        s.broker.takeFrame();
        s.broker.send(FakeBroker::channelOpenOk(1));
        QTRY_VERIFY(queue->isOpen());
        queue->declare(AmqpQueue::Durable);
        queue->qos(100);
        QVERIFY(queue->consume(AmqpQueue::coNoLocal));
        QStringList sent;
        for (int i = 0; i < 3; ++i)
            sent << kind(s.broker.takeFrame());
        QCOMPARE(sent, QStringList({"50.10", "60.10", "60.20"}));
        AmqpMethodWriter consumeOk(60, 21, 1);
        consumeOk.shortString("ct");
        AmqpMethodWriter deliver(60, 60, 1);
        deliver.shortString("ct").longLongUint(5).octet(0).shortString("").shortString("q");
        AmqpContentFrame header(60);
        header.setChannel(1);
        s.broker.send(wire(consumeOk) + wire(deliver) + header.toByteArray());
        QTRY_COMPARE(queue->size(), 1);

        s.broker.send(FakeBroker::close(406, "PRECONDITION_FAILED - unknown delivery tag 3", 60, 80, 1));
        QCOMPARE(kind(s.broker.takeFrame()), QString("20.41"));
        QCOMPARE(kind(s.broker.takeFrame(2000)), QString("20.10"));
        s.broker.send(FakeBroker::channelOpenOk(1));
        sent.clear();
        for (int i = 0; i < 3; ++i)
            sent << kind(s.broker.takeFrame());
        QCOMPARE(sent, QStringList({"60.10", "50.10", "60.20"}));
        queue->ack(queue->dequeue());
        QTest::qWait(50);
        QVERIFY(s.broker.received.isEmpty());
        QVERIFY(g_log->has("delivery 5 came on an earlier opening of the channel; not acknowledged"));

        s.broker.peer->abort();
        QVERIFY(s.broker.waitConnections(2));
        QVERIFY(s.broker.handshake(s.client));
        QCOMPARE(kind(s.broker.takeFrame()), QString("20.10"));
        s.broker.send(FakeBroker::channelOpenOk(1));
        QTest::qWait(100);
        QVERIFY(s.broker.received.isEmpty());
        QVERIFY(!queue->isDeclared());
    }

    // The client's registry: a queue without a name enters it under the broker's name once
    // declared; a destroyed channel leaves it, even when its owner cut all its signals.
    void channel_registry()
    {
        Setup s;
        QVERIFY(s.up());
        AmqpQueue* unnamed = s.client.createQueue();
        QVERIFY(s.client.createQueue() != unnamed);
        unnamed->declare(AmqpQueue::Exclusive);
        s.broker.takeFrame();
        s.broker.takeFrame();
        s.broker.send(FakeBroker::channelOpenOk(1));
        QCOMPARE(kind(s.broker.takeFrame()), QString("50.10"));
        AmqpMethodWriter declareOk(50, 11, 1);
        declareOk.shortString("amq.gen-1").longUint(0).longUint(0);
        s.broker.send(wire(declareOk));
        QTRY_COMPARE(unnamed->name(), QString("amq.gen-1"));
        QCOMPARE(s.client.createQueue("amq.gen-1"), unnamed);

        AmqpQueue* named = s.client.createQueue("q");
        QObject::disconnect(named, nullptr, nullptr, nullptr);
        delete named;
        AmqpQueue* again = s.client.createQueue("q");
        QVERIFY(again);
        QVERIFY(!again->isOpen());
        QCOMPARE(again->name(), QString("q"));
    }

    // A channel object destroyed while open closes its channel, and its number is not handed out
    // again before the broker confirmed: a second channel.open on it would end the connection.
    void destroyed_open_channel_holds_its_number_until_closed()
    {
        Setup s;
        QVERIFY(s.up());
        auto* first = new TestChannel(&s.client);
        QCOMPARE(hex_of(s.broker.takeFrame()), QString("010001000000050014000A00CE"));
        s.broker.send(FakeBroker::channelOpenOk(1));
        QTRY_VERIFY(first->isOpen());
        delete first;
        QCOMPARE(hex_of(s.broker.takeFrame()),
                 hex_of(hex("01 0001 0000000D 0014 0028 00C8 02 4F4B 0000 0000 CE")));
        TestChannel second(&s.client);
        QCOMPARE(second.channelNumber(), 2);
        s.broker.takeFrame();
        s.broker.send(FakeBroker::method(20, 41, 1));
        QTest::qWait(50);
        TestChannel third(&s.client);
        QCOMPARE(third.channelNumber(), 1);
        QVERIFY(s.client.isConnected());
    }

    void channel_lifecycle_bytes()
    {
        Setup s;
        TestChannel channel(&s.client);
        QSignalSpy opened(&channel, &AmqpChannel::opened);
        QSignalSpy closed(&channel, &AmqpChannel::closed);
        bool openAtClosed = false;
        connect(&channel, &AmqpChannel::closed, this, [&] { openAtClosed = channel.isOpen(); });
        QVERIFY(s.up());
        QCOMPARE(hex_of(s.broker.takeFrame()), QString("010001000000050014000A00CE"));

        // open-ok split into single bytes arrives once, whole.
        const QByteArray openOk = FakeBroker::channelOpenOk(1);
        for (char c : openOk) {
            s.broker.send(QByteArray(1, c));
            QTest::qWait(2);
        }
        QTRY_COMPARE(opened.size(), 1);
        QVERIFY(channel.isOpen());
        QCOMPARE(channel.openings, 1);

        channel.qos(100, 0);
        QCOMPARE(hex_of(s.broker.takeFrame()), hex_of(hex("01 0001 0000000B 003C 000A 00000000 0064 00 CE")));
        QSignalSpy qos(&channel, &AmqpChannel::qosDefined);
        QSignalSpy paused(&channel, &AmqpChannel::paused);
        AmqpMethodWriter flowOk(20, 21, 1);
        flowOk.octet(0);
        s.broker.send(FakeBroker::method(60, 11, 1) + wire(flowOk)); // two frames in one read
        QTRY_COMPARE(qos.size(), 1);
        QCOMPARE(paused.size(), 1);
        QCOMPARE(channel.prefetchCount(), qint16(100));

        channel.close();
        QCOMPARE(hex_of(s.broker.takeFrame()),
                 hex_of(hex("01 0001 0000000D 0014 0028 00C8 02 4F4B 0000 0000 CE")));
        s.broker.send(FakeBroker::method(20, 41, 1));
        QTRY_COMPARE(closed.size(), 1);
        QVERIFY(openAtClosed);
        QVERIFY(!channel.isOpen());

        // reopen() on a closed channel opens it; on an open one it closes first, then opens.
        channel.reopen();
        QCOMPARE(hex_of(s.broker.takeFrame()), QString("010001000000050014000A00CE"));
        s.broker.send(FakeBroker::channelOpenOk(1));
        QTRY_COMPARE(opened.size(), 2);
        channel.reopen();
        QCOMPARE(hex_of(s.broker.takeFrame().mid(7, 4)), QString("00140028"));
        QTest::qWait(50);
        QVERIFY(s.broker.received.isEmpty());
        s.broker.send(FakeBroker::method(20, 41, 1));
        QCOMPARE(hex_of(s.broker.takeFrame()), QString("010001000000050014000A00CE"));
    }

    // The broker closes the channel (a refused declaration): the close is answered, logged and
    // reported, the connection stays, and the channel comes back after the back-off with its
    // set-up run again.
    void channel_closed_by_broker_reopens()
    {
        Setup s;
        TestChannel channel(&s.client);
        QSignalSpy errors(&channel, qOverload<AMQP::Error>(&AmqpChannel::error));
        QVERIFY(s.up());
        s.broker.takeFrame();
        s.broker.send(FakeBroker::channelOpenOk(1));
        QTRY_COMPARE(channel.openings, 1);

        for (int round = 0; round < 2; ++round) {
            s.broker.send(FakeBroker::close(406, "PRECONDITION_FAILED - inequivalent arg", 50, 10, 1));
            QCOMPARE(hex_of(s.broker.takeFrame()), hex_of(hex("01 0001 00000004 0014 0029 CE")));
            QTRY_COMPARE(errors.size(), round + 1);
            QCOMPARE(int(channel.error()), 406);
            QCOMPARE(channel.errorString(), QString("PRECONDITION_FAILED - inequivalent arg"));
            QVERIFY(!channel.isOpen());
            const int delay = round == 0 ? 50 : 250;
            QVERIFY(
                g_log->has(QString("channel 1: closed by the broker: 406 PRECONDITION_FAILED - inequivalent arg "
                               "(class 50, method 10); reopening in %1 ms")
                           .arg(delay)));
            QCOMPARE(hex_of(s.broker.takeFrame(2000)), QString("010001000000050014000A00CE"));
            s.broker.send(FakeBroker::channelOpenOk(1));
            QTRY_COMPARE(channel.openings, round + 2);
            QCOMPARE(channel.recoveringAtOpen.last(), true);
        }
        QVERIFY(s.client.isConnected());
        QCOMPARE(s.broker.connections, 1);
    }

    // After the connection is lost the channel is not reopened by the old back-off, and opens
    // once on the new connection.
    void lost_connection_reopens_channels_once()
    {
        Setup s;
        TestChannel channel(&s.client);
        QVERIFY(s.up());
        s.broker.takeFrame();
        s.broker.send(FakeBroker::channelOpenOk(1));
        QTRY_VERIFY(channel.isOpen());
        s.broker.send(FakeBroker::close(406, "x", 50, 10, 1));
        s.broker.takeFrame();
        s.broker.peer->abort();
        QTRY_VERIFY(!s.client.isConnected());
        QVERIFY(s.broker.waitConnections(2));
        QVERIFY(s.broker.handshake(s.client));
        QCOMPARE(hex_of(s.broker.takeFrame()), QString("010001000000050014000A00CE"));
        s.broker.send(FakeBroker::channelOpenOk(1));
        QTRY_COMPARE(channel.openings, 2);
        QCOMPARE(channel.recoveringAtOpen.last(), false);
        QTest::qWait(300);
        QVERIFY(s.broker.received.isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_amqp_client)
#include "tst_amqp_client.moc"
