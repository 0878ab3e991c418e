// The AMQP library against the throwaway RabbitMQ of the test run.
#include "amqp_exchange.h"
#include "amqp_queue.h"
#include "amqp_table.h"
#include "amqp_test_helpers.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QtTest>

using amqptest::TestChannel;

namespace {

std::unique_ptr<testsupport::Log_capture> g_log; // the library's log lines, from initTestCase on

// A client that reconnects, with a first retry after 200 ms.
struct Client : AmqpClient
{
    Client()
    {
        AmqpTimings t;
        t.firstRetryDelay = 200;
        t.retryGrowthLimit = 5000;
        setTimings(t);
        setAutoReconnect(true);
    }
};

QString uriWith(const QString& host, const QString& port, const QString& password)
{
    return QStringLiteral("amqp://u:%1@%2:%3/").arg(password, host, port) + "%2Fapi";
}

// The broker's process id of the connection that `client` holds (found by its local port).
QString connectionPid(AmqpClient& client)
{
    const QString port = QString::number(client.findChild<QSslSocket*>()->localPort());
    QString out;
    testsupport::services_control(
        {"rabbitmqctl", "list_connections", "-q", "--no-table-headers", "pid", "peer_port"}, &out);
    for (const QString& line : out.split('\n')) {
        const QStringList cols = line.split('\t');
        if (cols.size() == 2 && cols[1].trimmed() == port) return cols[0];
    }
    return QString();
}

} // namespace

class tst_amqp_rabbitmq : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(testsupport::services_available(), "services fixture did not run");
        g_log = std::make_unique<testsupport::Log_capture>();
        AMQP::setLogHandler(testsupport::Log_capture::sink);
    }
    void init() { g_log->clear(); }

    // Login with AMQPLAIN on "/api", the broker's tune values, and heartbeats both ways: with a
    // 1 s heartbeat and nothing else said for 4 s, either side would drop a silent peer.
    void login_tune_and_heartbeats()
    {
        Client client;
        QSignalSpy connected(&client, &AmqpClient::connected);
        client.connectToHost(testsupport::service("STROVA_AMQP_URI"));
        QTRY_COMPARE(connected.size(), 1);
        QCOMPARE(client.virtualHost(), QString("/api"));
        QCOMPARE(client.user(), QString("u"));
        QCOMPARE(client.frameMax(), 131072);
        QCOMPARE(client.channelMax(), quint16(2047));
        QCOMPARE(client.heartbeatDelay(), quint16(60));
        client.disconnectFromHost();
        QTRY_VERIFY(!client.isConnected());

        client.setHeartbeatDelay(1);
        client.connectToHost();
        QTRY_COMPARE(connected.size(), 2);
        QCOMPARE(client.heartbeatDelay(), quint16(1));
        QString out;
        testsupport::services_control({"rabbitmqctl", "list_connections", "-q", "--no-table-headers",
                                       "peer_port", "timeout", "client_properties"},
                                      &out);
        const QString port = QString::number(client.findChild<QSslSocket*>()->localPort());
        bool seen = false;
        for (const QString& line : out.split('\n')) {
            const QStringList cols = line.split('\t');
            if (cols.size() == 3 && cols[0] == port) {
                seen = true;
                QCOMPARE(cols[1], QString("1"));
                QVERIFY2(cols[2].contains("AMQPC"), qPrintable(cols[2]));
            }
        }
        QVERIFY2(seen, qPrintable(out));
        QTest::qWait(4000);
        QVERIFY(client.isConnected());
        QCOMPARE(connected.size(), 2);
        QVERIFY(!g_log->has("nothing received"));
        QVERIFY(!g_log->has("closed by the broker"));
        client.disconnectFromHost();
    }

    // A refused login is logged as such and retried with a growing delay until it succeeds.
    void wrong_password_retried_with_back_off()
    {
        Client client;
        client.connectToHost(uriWith(testsupport::service("STROVA_AMQP_HOST"),
                                     testsupport::service("STROVA_AMQP_PORT"), "wrong"));
        QTRY_VERIFY_WITH_TIMEOUT(g_log->has("reconnecting in 1000 ms"), 15000);
        QVERIFY(g_log->has("reconnecting in 200 ms"));
        QVERIFY(g_log->has("the broker closed the connection after the AMQPLAIN login of user \"u\" (wrong user "
                       "or password?)"));
        QVERIFY(!client.isConnected());
        client.setPassword(testsupport::service("STROVA_AMQP_PASS"));
        QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), 15000);
        client.disconnectFromHost();
    }

    // The broker closes the connection (an operator, a fail-over): the client is back at once and
    // its channel opens again and redoes its declaration.
    void forced_close_reconnects_and_reopens_channels()
    {
        Client client;
        TestChannel channel(&client);
        channel.setup = [](TestChannel* c) { c->declare("tst_amqp_forced"); };
        QSignalSpy connected(&client, &AmqpClient::connected);
        client.connectToHost(testsupport::service("STROVA_AMQP_URI"));
        QTRY_COMPARE(channel.count(50, 11), 1);
        const QString pid = connectionPid(client);
        QVERIFY(!pid.isEmpty());
        QCOMPARE(
            testsupport::services_control({"rabbitmqctl", "close_connection", pid, "tst_amqp forced close"}),
            0);
        QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 2, 15000);
        QVERIFY(g_log->has("connection closed by the broker: 320 CONNECTION_FORCED - tst_amqp forced close"));
        QVERIFY(g_log->has("reconnecting in 0 ms"));
        QTRY_COMPARE(channel.count(50, 11), 2);
        QCOMPARE(channel.openings, 2);
        QCOMPARE(channel.channelNumber(), 1);
        client.disconnectFromHost();
    }

    // Re-declaring an existing queue with other arguments closes that channel: logged, reopened
    // after the back-off with its set-up run again, and the connection and the other channel stay.
    void channel_error_reopens_channel_connection_stays()
    {
        Client client;
        QSignalSpy connected(&client, &AmqpClient::connected);
        client.connectToHost(testsupport::service("STROVA_AMQP_URI"));
        TestChannel owner(&client);
        owner.setup = [](TestChannel* c) { c->declare("tst_amqp_inequivalent"); };
        QTRY_COMPARE(owner.count(50, 11), 1);

        TestChannel rival(&client);
        rival.setup = [](TestChannel* c) {
            c->declare("tst_amqp_inequivalent",
                       c->openings == 1 ? QVariantHash{{"x-max-length", 10}} : QVariantHash());
        };
        QSignalSpy errors(&rival, qOverload<AMQP::Error>(&AmqpChannel::error));
        QTRY_COMPARE(errors.size(), 1);
        QCOMPARE(int(rival.error()), 406);
        QVERIFY2(rival.errorString().startsWith("PRECONDITION_FAILED - inequivalent arg 'x-max-length'"),
                 qPrintable(rival.errorString()));
        QVERIFY(g_log->has("channel 2: closed by the broker: 406 PRECONDITION_FAILED - inequivalent arg"));
        QVERIFY(g_log->has("(class 50, method 10); reopening in 200 ms"));
        QTRY_COMPARE(rival.count(50, 11), 1);
        QCOMPARE(rival.openings, 2);
        QCOMPARE(rival.recoveringAtOpen, (QList<bool>{false, true}));
        QVERIFY(g_log->has("channel 2: reopened"));

        QVERIFY(client.isConnected());
        QCOMPARE(connected.size(), 1);
        QVERIFY(owner.isOpen());
        owner.declare("tst_amqp_inequivalent");
        QTRY_COMPARE(owner.count(50, 11), 2);
        client.disconnectFromHost();
    }

    // A consumer set up as the uplink consumer does (declare on connected, qos and consume on
    // declared, ack each message) and a publisher on the default exchange. A bad ack makes the
    // broker close the consumer's channel; consumption comes back by itself on the same connection.
    // Publishing to an exchange that does not exist closes the publisher's channel; it reopens.
    void publish_consume_and_recover()
    {
        const QString queueName = "tst_amqp_e2e";
        Client consumerClient;
        AmqpQueue* queue = nullptr;
        QList<AmqpMessage> got;
        connect(&consumerClient, &AmqpClient::connected, this, [&] {
            if (!queue) { // the same object comes back after a reconnect: connect once
                queue = consumerClient.createQueue(queueName);
                connect(queue, &AmqpQueue::declared, this, [&] {
                    queue->qos(100, 0);
                    queue->consume(AmqpQueue::coNoLocal);
                });
                connect(queue, &AmqpQueue::messageReceived, this, [&] {
                    const AmqpMessage m = queue->dequeue();
                    got << m;
                    queue->ack(m);
                });
            }
            queue->declare(AmqpQueue::Durable);
        });
        QSignalSpy consumerConnected(&consumerClient, &AmqpClient::connected);
        consumerClient.connectToHost(testsupport::service("STROVA_AMQP_URI"));
        QTRY_VERIFY(queue && queue->isConsuming());
        QCOMPARE(queue->prefetchCount(), qint16(100));

        Client publisherClient;
        publisherClient.connectToHost(testsupport::service("STROVA_AMQP_URI"));
        QTRY_VERIFY(publisherClient.isConnected());
        AmqpExchange* exchange = publisherClient.createExchange("");
        QTRY_VERIFY(exchange->isOpen());

        QByteArray large(300000, 'L'); // three body frames at 131072
        large[299999] = 'E';
        exchange->publish(QString("{\"n\":1}"), queueName);
        exchange->publish(large, queueName, "application/octet-stream", AmqpTable({{"k", 40000}}));
        exchange->publish(QString::fromUtf8("\xC3\xA4"), queueName);
        QTRY_COMPARE(got.size(), 3);
        QCOMPARE(got[0].payload(), QByteArray("{\"n\":1}"));
        QCOMPARE(got[0].property(AmqpMessage::ContentType).toString(), QString("text.plain"));
        QCOMPARE(got[0].property(AmqpMessage::ContentEncoding).toString(), QString("utf-8"));
        QCOMPARE(got[0].routingKey(), queueName);
        QCOMPARE(got[1].payload(), large);
        QCOMPARE(got[1].header("k").toInt(), 40000);
        QCOMPARE(got[2].payload(), QByteArray("\xC3\xA4"));

        // An acknowledgement the broker does not know closes the consumer's channel.
        queue->ack(999999, false);
        QTRY_VERIFY(g_log->has("closed by the broker: 406 PRECONDITION_FAILED - unknown delivery tag 999999"));
        QTRY_VERIFY(queue->isConsuming());
        QVERIFY(g_log->has(" (tst_amqp_e2e): reopened"));
        exchange->publish(QString("after"), queueName);
        QTRY_COMPARE(got.size(), 4);
        QCOMPARE(got[3].payload(), QByteArray("after"));
        QCOMPARE(consumerConnected.size(), 1);

        // A publish to a missing exchange closes that channel; it comes back after the back-off.
        AmqpExchange* missing = publisherClient.createExchange("tst_amqp_missing");
        QTRY_VERIFY(missing->isOpen());
        missing->publish(QString("lost"), queueName);
        QTRY_VERIFY(g_log->has("closed by the broker: 404 NOT_FOUND - no exchange 'tst_amqp_missing'"));
        missing->publish(QString("also lost"), queueName);
        QVERIFY(g_log->has("(tst_amqp_missing): not open; a message of 9 bytes for routing key \"tst_amqp_e2e\" "
                       "is dropped"));
        QTRY_VERIFY(missing->isOpen());
        QVERIFY(publisherClient.isConnected());
        exchange->publish(QString("still"), queueName);
        QTRY_COMPARE(got.size(), 5);
        QCOMPARE(got[4].payload(), QByteArray("still"));
        publisherClient.disconnectFromHost();
        consumerClient.disconnectFromHost();
    }

    // The consumer's queue deleted: the broker, told that we take cancel notifications, cancels
    // the consumer; the channel stays open and a new declaration consumes again.
    void deleted_queue_cancels_the_consumer()
    {
        Client client;
        client.connectToHost(testsupport::service("STROVA_AMQP_URI"));
        QTRY_VERIFY(client.isConnected());
        AmqpQueue* queue = client.createQueue("tst_amqp_cancel");
        connect(queue, &AmqpQueue::declared, this, [queue] { queue->consume(); });
        QSignalSpy byBroker(queue, &AmqpQueue::cancelledByBroker);
        queue->declare(AmqpQueue::Durable);
        QTRY_VERIFY(queue->isConsuming());
        const QString tag = queue->consumerTag();
        QCOMPARE(
            testsupport::services_control({"rabbitmqctl", "delete_queue", "-p", "/api", "tst_amqp_cancel"}),
            0);
        QTRY_COMPARE_WITH_TIMEOUT(byBroker.size(), 1, 10000);
        QCOMPARE(byBroker.first().first().toString(), tag);
        QVERIFY(!queue->isConsuming());
        QVERIFY(queue->isOpen());
        queue->declare(AmqpQueue::Durable);
        QTRY_VERIFY(queue->isConsuming());
        QVERIFY(!g_log->has("closed by the broker"));
        queue->remove(AmqpQueue::roForce);
        QTRY_COMPARE(byBroker.size(), 2);
        client.disconnectFromHost();
    }

    // A broker that stops and starts again (a restart): refused connections back off, and the
    // client comes back with its channels once the broker is up.
    void broker_restart_on_a_private_node()
    {
        // A broker of this test's own: the shared one must stay up.
        QTemporaryDir dir;
        QString out;
        QVERIFY2(testsupport::services_control({"start", "rabbit"}, &out, dir.path()) == 0, qPrintable(out));
        const auto stop = qScopeGuard([&] { testsupport::services_control({"stop"}, nullptr, dir.path()); });
        const auto env = testsupport::read_env_file(dir.path() + "/services.env");
        Client client;
        TestChannel channel(&client);
        channel.setup = [](TestChannel* c) { c->declare("tst_amqp_restart"); };
        QSignalSpy connected(&client, &AmqpClient::connected);
        client.connectToHost(env.value("STROVA_AMQP_URI"));
        QTRY_COMPARE_WITH_TIMEOUT(channel.count(50, 11), 1, 10000);

        QCOMPARE(testsupport::services_control({"rabbit-stop"}, nullptr, dir.path()), 0);
        QTRY_VERIFY_WITH_TIMEOUT(g_log->has("Connection refused"), 15000);
        QVERIFY(g_log->has("connection closed by the broker: 320 CONNECTION_FORCED"));
        QVERIFY(!client.isConnected());
        QCOMPARE(testsupport::services_control({"rabbit-start"}, nullptr, dir.path()), 0);
        QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 2, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(channel.count(50, 11), 2, 10000);
        client.disconnectFromHost();
    }
};

QTEST_GUILESS_MAIN(tst_amqp_rabbitmq)
#include "tst_amqp_rabbitmq.moc"
