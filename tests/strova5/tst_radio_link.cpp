// The radio link against a real RabbitMQ, with pika playing the radio network server.
#include "logger.h"
#include "quit_signals.h"
#include "rabbit_dl.h"
#include "radio_exchange.h"
#include "sql_exchange.h"
#include "testsupport.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QSqlQuery>
#include <QSignalSpy>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace {

QVariantMap json(const QString& line)
{
    return QJsonDocument::fromJson(line.toUtf8()).toVariant().toMap();
}

// The command numbers of the downlinks drained from a capture queue, in arrival order.
QList<uint32_t> drained_ids(const QString& uri, const QString& queue)
{
    QList<uint32_t> out;
    for (const QString& line : testsupport::amqp_peer(uri, {"drain", queue})) {
        const QString status = json(json(line).value("body").toString()).value("status_id").toString();
        out << status.mid(QStringLiteral("drvStrova5_").size()).toUInt();
    }
    return out;
}

QVariantMap link_config(const QString& uri, const QString& tag)
{
    QVariantMap ul{{"path", uri}, {"queue", "ul_" + tag}, {"host", "/api"}};
    QVariantMap dl{{"path", uri}, {"exchange", "dl_" + tag}, {"host", "/api"}, {"api_key", "K-secret"}};
    return QVariantMap{{"ul", ul}, {"dl", dl}};
}

Stringify_dl_app command(uint32_t modem, uint32_t cmd_id, const QByteArray& payload, bool text = false)
{
    Stringify_dl_app dl(Dl_request(modem, 1, "x", QVariant()));
    dl.cmd_id = cmd_id;
    dl.payload = payload;
    dl.payload_is_text = text;
    return dl;
}

// A consumer of a queue of its own ("ul_" + `tag`, declared as the network server does), and
// the modem ids of the uplinks it passed on.
struct Own_queue_consumer
{
    QString peer_uri = testsupport::service("STROVA_AMQP_URI");
    QString name;
    std::unique_ptr<Radio_Exchange> rx;
    QSet<uint32_t> got;

    Own_queue_consumer(const QString& link_uri, const QString& tag) : name("ul_" + tag)
    {
        testsupport::amqp_peer(peer_uri, {"declare-queue", name});
        QVariantMap cfg = link_config(link_uri, tag);
        cfg.remove("dl");
        rx = std::make_unique<Radio_Exchange>(cfg, nullptr);
        QObject::connect(rx.get(), &Radio_Exchange::signal_UL, rx.get(),
                         [this](const Parser_ul_app& ul) { got.insert(ul.modem_id); });
    }
    int consumers() const
    {
        return json(testsupport::amqp_peer(peer_uri, {"stats", name}).value(0)).value("consumers").toInt();
    }
};

} // namespace

class tst_radio_link : public QObject
{
    Q_OBJECT

    QString uri;
    // A private broker for the tests that stop it or close its connections: the shared one
    // serves the tests running beside.
    std::unique_ptr<QTemporaryDir> own_dir;
    QString own_uri;

    bool own_control(const QStringList& args, QString* output = nullptr)
    {
        return testsupport::services_control(args, output, own_dir->path()) == 0;
    }
    bool start_own_broker()
    {
        if (own_dir)
            return !own_uri.isEmpty();
        own_dir.reset(new QTemporaryDir);
        if (!own_control({"start", "rabbit"}))
            return false;
        own_uri = testsupport::read_env_file(own_dir->path() + "/services.env").value("STROVA_AMQP_URI");
        return !own_uri.isEmpty();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(testsupport::services_available(), "services fixture did not run");
        register_record_metatypes();
        // The URI names another virtual host: the configured "host" must win.
        uri = testsupport::service("STROVA_AMQP_URI").replace("%2Fapi", "%2Fother");
    }
    void cleanupTestCase()
    {
        if (own_dir)
            own_control({"stop"});
    }

    void uplinks_reports_and_downlinks()
    {
        const QString peer_uri = testsupport::service("STROVA_AMQP_URI");
        testsupport::amqp_peer(peer_uri, {"declare-queue", "ul_a"});
        testsupport::amqp_peer(peer_uri, {"bind", "dl_a", "cap_a", "#"});
        Radio_Exchange rx(link_config(uri, "a"), nullptr);
        QSignalSpy ul(&rx, &Radio_Exchange::signal_UL);
        QSignalSpy st(&rx, &Radio_Exchange::signal_DL_status);

        testsupport::amqp_peer(peer_uri, {"publish", "ul_a",
                        R"({"msg_type":"ul_app","modem_id":12,"payload":"3102","station_id":7,"rssi":-101,"time_detected":1765000000})",
                        R"({"msg_type":"dl_success","modem_id":7,"status_id":"drvStrova5_42"})",
                        R"({"msg_type":"dl_fault","modem_id":7,"status_id":"drvStrova5_43"})",
                        "not json at all", R"({"msg_type":"something_else"})"});
        QTRY_COMPARE_WITH_TIMEOUT(st.size(), 2, 20000);
        QCOMPARE(ul.size(), 1);
        const auto parsed = ul.first().first().value<Parser_ul_app>();
        QCOMPARE(parsed.modem_id, 12u);
        QCOMPARE(parsed.ts_get, 1765000000u);
        QCOMPARE(parsed.station_id, uint16_t(7));
        QCOMPARE(parsed.rssi, int16_t(-101));
        QCOMPARE(parsed.header, uint8_t(0x31));
        QCOMPARE(st.at(0).first().value<Rabbit_dl_status>().cmd_id, 42u);
        QVERIFY(st.at(0).first().value<Rabbit_dl_status>().success);
        QVERIFY(!st.at(1).first().value<Rabbit_dl_status>().success);
        // Every message, also the dropped ones, was acknowledged.
        QTRY_COMPARE_WITH_TIMEOUT(json(testsupport::amqp_peer(peer_uri, {"stats", "ul_a"}).value(0)).value("messages").toInt(), 0, 10000);

        rx.slot_DL(command(5, 17, testsupport::hex("01ab")));
        rx.slot_DL(command(5, 18, "F5[TIME]000000", true));
        QStringList got;
        QTRY_VERIFY_WITH_TIMEOUT((got += testsupport::amqp_peer(peer_uri, {"drain", "cap_a"}), got.size() >= 2), 20000);
        QCOMPARE(got.size(), 2);
        const QVariantMap first = json(got[0]);
        QCOMPARE(first.value("body").toString(),
                 QString(R"({"ack":true,"api_key":"K-secret","modem_id":5,"msg_type":"dl","payload":"01AB","status_id":"drvStrova5_17"})"));
        QCOMPARE(first.value("routing_key").toString(), QString("api.ostrel"));
        QCOMPARE(first.value("content_type").toString(), QString("text.plain"));
        QCOMPARE(first.value("content_encoding").toString(), QString("utf-8"));
        QVERIFY(first.value("headers").toMap().isEmpty());
        QVERIFY(json(got[1]).value("body").toString().contains(R"("payload":"F5[TIME]000000")"));
    }

    void prefetch_and_volume()
    {
        const QString peer_uri = testsupport::service("STROVA_AMQP_URI");
        testsupport::amqp_peer(peer_uri, {"declare-queue", "ul_b"});
        QStringList bodies{"publish", "ul_b"};
        for (int i = 1; i <= 300; ++i)
            bodies << QStringLiteral(R"({"msg_type":"ul_app","modem_id":%1,"payload":"3102"})").arg(i);
        testsupport::amqp_peer(peer_uri, bodies);
        QVariantMap cfg = link_config(uri, "b");
        cfg.remove("dl");
        Radio_Exchange rx(cfg, nullptr);
        QSignalSpy ul(&rx, &Radio_Exchange::signal_UL);
        QTRY_COMPARE_WITH_TIMEOUT(ul.size(), 300, 30000);
        for (int i = 0; i < 300; ++i)
            QCOMPARE(ul.at(i).first().value<Parser_ul_app>().modem_id, uint32_t(i + 1)); // delivery order
        QString channels;
        testsupport::services_control({"rabbitmqctl", "list_channels", "prefetch_count", "consumer_count"}, &channels);
        QVERIFY2(channels.contains(QRegularExpression("\\b100\\s+1\\b")), qPrintable(channels));
        QTRY_COMPARE_WITH_TIMEOUT(json(testsupport::amqp_peer(peer_uri, {"stats", "ul_b"}).value(0)).value("messages").toInt(), 0, 10000);
    }

    void downlinks_wait_for_the_broker()
    {
        QVERIFY2(start_own_broker(), "private broker did not start");
        testsupport::amqp_peer(own_uri, {"bind", "dl_c", "cap_c", "#"});
        QVariantMap cfg = link_config(own_uri, "c");
        cfg.remove("ul");
        Radio_Exchange rx(cfg, nullptr);
        rx.slot_DL(command(9, 1, testsupport::hex("01")));
        QStringList got;
        QTRY_VERIFY_WITH_TIMEOUT((got += testsupport::amqp_peer(own_uri, {"drain", "cap_c"}), got.size() >= 1), 20000);

        QVERIFY(own_control({"rabbit-stop"}));
        QTest::qWait(500);
        for (uint32_t id = 2; id <= 4; ++id)
            rx.slot_DL(command(9, id, testsupport::hex("02")));
        QTest::qWait(500);
        QVERIFY(own_control({"rabbit-start"}));
        got.clear();
        QTRY_VERIFY_WITH_TIMEOUT((got += testsupport::amqp_peer(own_uri, {"drain", "cap_c"}), got.size() >= 3), 60000);
        QCOMPARE(got.size(), 3);
        for (int i = 0; i < 3; ++i)
            QVERIFY(json(got[i]).value("body").toString().contains(QStringLiteral("drvStrova5_%1\"").arg(i + 2)));
    }

    // Confirmed downlinks waiting in the network server's durable queue outlive a restart of
    // the broker: they are persistent.
    void downlinks_outlive_a_broker_restart()
    {
        QVERIFY2(start_own_broker(), "private broker did not start");
        testsupport::amqp_peer(own_uri, {"bind", "dl_g", "cap_g", "#"});
        QVariantMap cfg = link_config(own_uri, "g");
        cfg.remove("ul");
        Radio_Exchange rx(cfg, nullptr);
        auto* dl = rx.findChild<rabbit_man_dl*>();
        QVERIFY(dl);
        QTRY_VERIFY_WITH_TIMEOUT(testsupport::amqp_peer(own_uri, {"stats", "cap_g"}).size() == 1, 20000);
        for (uint32_t id = 1; id <= 1000; ++id)
            rx.slot_DL(command(9, id, testsupport::hex("0102")));
        QTRY_VERIFY_WITH_TIMEOUT(dl->pending() == 0 && dl->unconfirmed() == 0, 30000);

        QVERIFY(own_control({"rabbit-stop"}));
        QVERIFY(own_control({"rabbit-start"}));
        QStringList got;
        QTRY_VERIFY_WITH_TIMEOUT((got += testsupport::amqp_peer(own_uri, {"drain", "cap_g"}), got.size() >= 1000), 30000);
        QCOMPARE(got.size(), 1000);
        for (int i = 0; i < got.size(); ++i) {
            const QVariantMap m = json(got[i]);
            QCOMPARE(m.value("delivery_mode").toInt(), 2);
            QVERIFY(m.value("body").toString().contains(QStringLiteral("drvStrova5_%1\"").arg(i + 1)));
        }
    }

    // The uplink queue deleted (as moving it to another queue type needs): the consumer says it
    // stopped, declares the queue again and consumes within 5 s, also when another client
    // declared it first. A hold released before the broker's cancel-ok consumes again.
    void consumer_comes_back_after_its_queue_is_deleted()
    {
        testsupport::Log_capture log(LVL_WRN);
        Own_queue_consumer c(uri, QStringLiteral("d%1").arg(QDateTime::currentMSecsSinceEpoch()));
        const QString& name = c.name;
        const QString& peer_uri = c.peer_uri;
        QSet<uint32_t>& got = c.got;
        const auto consumers = [&c] { return c.consumers(); };
        const auto publish = [&](int from, int count) {
            QStringList args{"publish", name};
            for (int m = from; m < from + count; ++m)
                args << QStringLiteral(R"({"msg_type":"ul_app","modem_id":%1,"payload":"3102"})").arg(m);
            testsupport::amqp_peer(peer_uri, args);
        };
        QTRY_COMPARE_WITH_TIMEOUT(consumers(), 1, 20000);

        for (int round = 0; round < 2; ++round) {
            testsupport::amqp_peer(peer_uri, {"delete-queue", name});
            QElapsedTimer since;
            since.start();
            if (round == 1) testsupport::amqp_peer(peer_uri, {"declare-queue", name}); // another client first
            QTRY_COMPARE_WITH_TIMEOUT(consumers(), 1, 10000);
            QVERIFY2(since.elapsed() < 5000, qPrintable(QString::number(since.elapsed())));
            publish(100 * round + 1, 10);
            QTRY_COMPARE_WITH_TIMEOUT(got.size(), 10 * (round + 1), 20000);
        }
        QCOMPARE(log.count("uplink consumer not consuming: the broker cancelled the consumer of queue \"" +
                           name + "\" (queue deleted?); declaring it again"),
                 2); // one a stop: the consumer was back in between
        QCOMPARE(log.count("uplink consumer consuming again"), 2);

        // Held and released back to back: the release comes before the cancel-ok.
        c.rx->take_uplinks(false);
        c.rx->take_uplinks(true);
        QTRY_COMPARE_WITH_TIMEOUT(consumers(), 1, 10000);
        publish(1001, 20);
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), 40, 20000);
    }

    // Uplinks flowing, confirmed by the broker, while the queue is deleted and declared again by
    // another client: consuming again within 5 s of the declare, and every uplink published well
    // after it is taken.
    void uplinks_flowing_while_the_queue_is_deleted()
    {
        Own_queue_consumer c(uri, QStringLiteral("f%1").arg(QDateTime::currentMSecsSinceEpoch()));
        const QString& name = c.name;
        const QString& peer_uri = c.peer_uri;
        QSet<uint32_t>& got = c.got;
        const auto consumers = [&c] { return c.consumers(); };
        QTRY_COMPARE_WITH_TIMEOUT(consumers(), 1, 20000);
        QTemporaryDir dir;
        QFile f(dir.filePath("uplinks"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        for (int m = 1; m <= 300; ++m)
            f.write(
                QStringLiteral(R"({"msg_type":"ul_app","modem_id":%1,"payload":"3102"})").arg(m).toUtf8() +
                '\n');
        f.close();
        QProcess publisher;
        publisher.start("/usr/bin/python3", {QStringLiteral(STROVA_SOURCE_DIR "/tests/support/amqp_peer.py"),
                                             peer_uri, "publish-confirmed", name, f.fileName(), "100"});
        QTRY_VERIFY_WITH_TIMEOUT(got.size() >= 30, 20000);
        testsupport::amqp_peer(peer_uri, {"delete-queue", name});
        testsupport::amqp_peer(peer_uri, {"declare-queue", name});
        QElapsedTimer since;
        since.start();
        QTRY_COMPARE_WITH_TIMEOUT(consumers(), 1, 10000);
        QVERIFY2(since.elapsed() < 5000, qPrintable(QString::number(since.elapsed())));
        QVERIFY(publisher.waitForFinished(60000));
        QCOMPARE(publisher.readAllStandardOutput().trimmed(), QByteArray("300"));
        QTRY_VERIFY_WITH_TIMEOUT(got.contains(300), 20000);
        for (uint32_t m = 201; m <= 300; ++m)
            QVERIFY2(got.contains(m), qPrintable(QString::number(m)));
    }

    // A queue declared elsewhere with other arguments refuses our declaration, and a wrong
    // password keeps the uplink link out: both said at Err as the alert grep finds them, and
    // a refusal that repeats with the channel's back-off is not repeated within the minute.
    void consumer_that_cannot_start_says_so()
    {
        const QString peer_uri = testsupport::service("STROVA_AMQP_URI");
        const QString tag = QStringLiteral("r%1").arg(QDateTime::currentMSecsSinceEpoch());
        testsupport::amqp_peer(peer_uri, {"declare-queue", "ul_" + tag, R"({"x-max-length": 10})"});
        QVariantMap cfg = link_config(uri, tag);
        cfg.remove("dl");
        testsupport::Log_capture log(LVL_WRN);
        {
            Radio_Exchange rx(cfg, nullptr);
            QTRY_VERIFY_WITH_TIMEOUT(log.has("uplink consumer not consuming: queue \"ul_" + tag +
                                             "\": 406 PRECONDITION_FAILED - inequivalent arg 'x-max-length'"),
                                     30000);
            // Refused again after 1 s and 5 s of back-off: still one line.
            QTest::qWait(7000);
            QCOMPARE(log.count("uplink consumer not consuming"), 1);
        }
        testsupport::amqp_peer(peer_uri, {"delete-queue", "ul_" + tag});

        QVariantMap ul = cfg.value("ul").toMap();
        ul.insert("path", QString(uri).replace(QRegularExpression("//u:[^@]*@"), "//u:wrong@"));
        cfg.insert("ul", ul);
        log.clear();
        Radio_Exchange rx(cfg, nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(log.has("uplink consumer not consuming: "), 30000);
        QVERIFY2(log.has("login refused (wrong user or password?)") || log.has("ACCESS_REFUSED"),
                 qPrintable(log.all()));
    }

    // A database outage long enough to pass the storage's cap: the consumer stops, the uplinks
    // wait in the broker's queue, and once the database is back every one is stored, none lost.
    void uplinks_wait_in_the_broker_at_the_storage_cap()
    {
        testsupport::Private_server server;
        QVERIFY(server.start());
        QSqlDatabase check;
        const auto priv = server.open_check(check);
        QVERIFY(check.isOpen());
        QVariantMap sql = testsupport::db_config(priv, priv["STROVA_MYSQL_DB"]);
        sql.insert("timers", QVariantMap{{"data_ms", 20}});
        testsupport::Log_capture log(LVL_WRN);
        {
            SQL_Exchange storage(sql, nullptr, 200);
            QVERIFY(storage.init());
            const QString peer_uri = testsupport::service("STROVA_AMQP_URI");
            // A queue of this run's own: one left by an earlier run may still hold uplinks.
            const QString tag = QStringLiteral("h%1").arg(QDateTime::currentMSecsSinceEpoch());
            testsupport::amqp_peer(peer_uri, {"declare-queue", "ul_" + tag});
            QVariantMap cfg = link_config(uri, tag);
            cfg.remove("dl");
            Radio_Exchange rx(cfg, nullptr);
            connect(&rx, &Radio_Exchange::signal_UL, &storage, &SQL_Exchange::slot_UL, Qt::QueuedConnection);
            connect(&storage, &SQL_Exchange::signal_intake, &rx, [&rx](bool open) { rx.take_uplinks(open); });
            const auto queued = [&] { return json(testsupport::amqp_peer(peer_uri, {"stats", "ul_" + tag}).value(0)); };
            QTRY_COMPARE_WITH_TIMEOUT(queued().value("consumers").toInt(), 1, 20000);

            QVERIFY(server.run({"mysql-stop"}));
            const uint t = uint(QDateTime::currentSecsSinceEpoch()) - 60;
            QTemporaryDir dir;
            QFile f(dir.filePath("uplinks"));
            QVERIFY(f.open(QIODevice::WriteOnly));
            for (uint m = 1; m <= 1000; ++m)
                f.write(QStringLiteral(R"({"msg_type":"ul_app","modem_id":%1,"payload":"320200%2","time_detected":%3})")
                            .arg(m)
                            .arg(m, 8, 16, QLatin1Char('0'))
                            .arg(t)
                            .toUtf8() +
                        '\n');
            f.close();
            testsupport::amqp_peer(peer_uri, {"publish-file", "ul_" + tag, f.fileName()});
            // Past the cap the consumer goes; what the storage did not take waits in the broker.
            QTRY_VERIFY_WITH_TIMEOUT(log.has("uplinks stay in the broker"), 20000);
            QTRY_COMPARE_WITH_TIMEOUT(queued().value("consumers").toInt(), 0, 20000);
            const int in_broker = queued().value("messages").toInt();
            // The storage's cap, and what the consumer had taken before the storage saw it: the
            // prefetch and the deliveries of the socket reads in between.
            QVERIFY2(in_broker >= 1000 - 200 - 500,  qPrintable(QString::number(in_broker)));
            QVERIFY(storage.pending_rows() <= 200 + 500);

            QVERIFY(server.run({"mysql-start"}));
            // Stored, not only gone from the queue: a stats call that fails under load reads as
            // an empty queue.
            const auto stored = [&] {
                QSqlQuery n(check);
                if (n.exec("SELECT COUNT(*) FROM modems_data") && n.next()) return n.value(0).toInt();
                check.close(); // the server was restarted under it
                check.open();
                return -1;
            };
            QTRY_COMPARE_WITH_TIMEOUT(stored(), 1000, 60000);
            QTRY_COMPARE_WITH_TIMEOUT(queued().value("messages").toInt(), 0, 60000);
            QTRY_COMPARE_WITH_TIMEOUT(storage.pending_rows(), 0, 30000);
            QVERIFY(log.has("uplinks are taken again"));
            QVERIFY(!log.has("dropped"));
        }
        check.close();
        QVERIFY(check.open());
        QSqlQuery q(check);
        QVERIFY(q.exec("SELECT COUNT(*), COUNT(DISTINCT modem_id), MIN(modem_id), MAX(modem_id) FROM modems_data"));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toInt(), 1000);
        QCOMPARE(q.value(1).toInt(), 1000);
        QCOMPARE(q.value(2).toInt(), 1);
        QCOMPARE(q.value(3).toInt(), 1000);
        q = QSqlQuery();
        check.close();
        check = QSqlDatabase();
        QSqlDatabase::removeDatabase("private");
    }

    // Downlinks written into the socket just before the connection goes are published again
    // once it is back: every one arrives at least once, in the order they were first sent.
    void downlinks_survive_a_closed_connection()
    {
        QVERIFY2(start_own_broker(), "private broker did not start");
        testsupport::amqp_peer(own_uri, {"bind", "dl_d", "cap_d", "#"});
        QVariantMap cfg = link_config(own_uri, "d");
        cfg.remove("ul");
        Radio_Exchange rx(cfg, nullptr);
        auto* dl = rx.findChild<rabbit_man_dl*>();
        QVERIFY(dl);
        const uint32_t total = 2000;
        uint32_t sent = 0;
        const auto feed = [&](uint32_t upto) {
            while (sent < upto) {
                ++sent;
                rx.slot_DL(command(9, sent, testsupport::hex("0102")));
            }
        };
        feed(500);
        QTRY_VERIFY_WITH_TIMEOUT(dl->pending() == 0 && dl->unconfirmed() == 0, 20000);

        // A memory alarm makes the broker stop reading publishes: the ones published before it
        // blocked the connection stay unconfirmed when the connection is closed.
        QVERIFY(own_control({"rabbitmqctl", "set_vm_memory_high_watermark", "0"}));
        feed(1500);
        QTRY_VERIFY_WITH_TIMEOUT(dl->unconfirmed() > 0, 20000);
        QString listing; // the daemon's connection is the one whose client calls itself AMQPC
        QVERIFY(own_control({"rabbitmqctl", "list_connections", "--silent", "pid", "client_properties"}, &listing));
        QString pid;
        for (const QString& line : listing.split('\n'))
            if (line.contains("AMQPC"))
                pid = line.section('\t', 0, 0).trimmed();
        QVERIFY2(!pid.isEmpty(), qPrintable(listing));
        QVERIFY(own_control({"rabbitmqctl", "close_connection", pid, "closed by the test"}));
        feed(total);
        QVERIFY(own_control({"rabbitmqctl", "set_vm_memory_high_watermark", "0.4"}));
        QTRY_VERIFY_WITH_TIMEOUT(dl->pending() == 0 && dl->unconfirmed() == 0, 60000);

        QList<uint32_t> first_seen;
        QSet<uint32_t> seen;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const QString& line : testsupport::amqp_peer(own_uri, {"drain", "cap_d"})) {
                    const QString status = json(json(line).value("body").toString()).value("status_id").toString();
                    const uint32_t id = status.mid(QStringLiteral("drvStrova5_").size()).toUInt();
                    if (!seen.contains(id)) {
                        seen.insert(id);
                        first_seen << id;
                    }
                }
                return uint32_t(seen.size()) >= total;
            }(),
            10000); // nominal: every try also drains the queue
        QCOMPARE(uint32_t(first_seen.size()), total);
        for (uint32_t i = 0; i < total; ++i)
            QCOMPARE(first_seen.at(int(i)), i + 1);
    }

    // A memory alarm blocks the publishing connection: downlinks wait in order (the oldest
    // waiting ones beyond the cap dropped, every one named), while uplinks go on being taken.
    void downlinks_wait_out_a_memory_alarm_data()
    {
        QTest::addColumn<uint32_t>("made");
        QTest::newRow("within the cap") << 8000u;
        QTest::newRow("beyond the cap") << 20000u;
    }
    void downlinks_wait_out_a_memory_alarm()
    {
        QFETCH(uint32_t, made);
        QVERIFY2(start_own_broker(), "private broker did not start");
        const QString tag = QStringLiteral("e%1").arg(made);
        testsupport::amqp_peer(own_uri, {"bind", "dl_" + tag, "cap_" + tag, "#"});
        // The alarm blocks every publisher, the radio network server too: its uplinks first.
        QStringList bodies{"publish", "ul_" + tag};
        for (int i = 1; i <= 300; ++i)
            bodies << QStringLiteral(R"({"msg_type":"ul_app","modem_id":%1,"payload":"3102"})").arg(i);
        testsupport::amqp_peer(own_uri, {"declare-queue", "ul_" + tag});
        testsupport::amqp_peer(own_uri, bodies);
        QVERIFY(own_control({"rabbitmqctl", "set_vm_memory_high_watermark", "0"}));

        testsupport::Log_capture log(LVL_ERR);
        Radio_Exchange rx(link_config(own_uri, tag), nullptr);
        QSignalSpy ul(&rx, &Radio_Exchange::signal_UL);
        auto* dl = rx.findChild<rabbit_man_dl*>();
        QVERIFY(dl);
        QTest::qWait(0);
        for (uint32_t id = 1; id <= made; ++id)
            rx.slot_DL(command(9, id, testsupport::hex("0102")));
        QTRY_COMPARE_WITH_TIMEOUT(ul.size(), 300, 30000);
        QVERIFY(dl->unconfirmed() <= rabbit_man_dl::max_unconfirmed);
        QVERIFY(dl->pending() + dl->unconfirmed() <= 10000);

        QVERIFY(own_control({"rabbitmqctl", "set_vm_memory_high_watermark", "0.4"}));
        QTRY_VERIFY_WITH_TIMEOUT(dl->pending() == 0 && dl->unconfirmed() == 0, 60000);
        const QList<uint32_t> got = drained_ids(own_uri, "cap_" + tag);
        // The broker may have confirmed a few before it blocked the connection.
        const int beyond = int(made) - 10000;
        // Named in ranges within a second of the drops, however many.
        QSet<uint32_t> dropped;
        QTRY_VERIFY_WITH_TIMEOUT(
            (dropped = testsupport::named_status_ids(log.all(), "oldest downlinks dropped:")).size() >=
                beyond - rabbit_man_dl::max_unconfirmed,
            5000);
        const int all_dropped = dropped.size();
        QVERIFY(all_dropped <= qMax(beyond, 0));
        QCOMPARE(uint32_t(got.size() + all_dropped), made);
        for (int i = 0; i < got.size(); ++i) {
            QVERIFY(!dropped.contains(got[i]));
            if (i) QVERIFY2(got[i] > got[i - 1], "out of order"); // none twice either
        }
    }

    // At quit the publisher waits a while for the broker; every downlink it could not get
    // confirmed is named, a full queue of scattered numbers over as many lines as it takes.
    void quit_names_unconfirmed_downlinks()
    {
        QVERIFY2(start_own_broker(), "private broker did not start");
        testsupport::amqp_peer(own_uri, {"bind", "dl_f", "cap_f", "#"});
        QVariantMap cfg = link_config(own_uri, "f");
        cfg.remove("ul");
        testsupport::Log_capture log(LVL_ERR);
        Radio_Exchange rx(cfg, nullptr);
        auto* dl = rx.findChild<rabbit_man_dl*>();
        rx.slot_DL(command(9, 1, testsupport::hex("01")));
        QTRY_VERIFY_WITH_TIMEOUT(dl->pending() == 0 && dl->unconfirmed() == 0, 20000);
        QVERIFY(own_control({"rabbitmqctl", "set_vm_memory_high_watermark", "0"}));
        // Every other number, so that no two make a range.
        QSet<uint32_t> expected;
        for (uint32_t id = 2; id <= 20000; id += 2) {
            rx.slot_DL(command(9, id, testsupport::hex("02")));
            expected.insert(id);
        }
        QTRY_COMPARE_WITH_TIMEOUT(dl->pending() + dl->unconfirmed(), 10000, 10000);
        run_quit_hooks(quit_stage_flush);
        const QStringList lines = log.all().split('\n').filter("downlinks not confirmed by the broker");
        QVERIFY(lines.size() > 1);
        for (const QString& line : lines)
            QVERIFY2(line.contains(" 10000 downlinks"), qPrintable(line.left(200)));
        QCOMPARE(testsupport::named_status_ids(lines.join('\n'), "not confirmed"), expected);
        QVERIFY(own_control({"rabbitmqctl", "set_vm_memory_high_watermark", "0.4"}));
    }
};

QTEST_GUILESS_MAIN(tst_radio_link)
#include "tst_radio_link.moc"
