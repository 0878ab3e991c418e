// The API port's connection places shared per client address, against the real daemon: slow
// uploads that keep pace hold every place, from one address or from 300, while an operator sends
// a command a second under its token and a probe asks every 200 ms under the same token.
#include "http_daemon_tools.h"

#include <QTcpSocket>
#include <memory>

using namespace api_daemon;

class tst_http_daemon_places : public QObject
{
    Q_OBJECT

    std::unique_ptr<Daemon> daemon;

    // `uploads` uploads that each announce `length` bytes and send 12 KiB a second (above the
    // 8 KiB a second a body must keep, so none is a laggard), from `addresses` addresses, for 15 s.
    QJsonObject uploads_beside_the_operator(int addresses, int uploads = 300, int length = 200000)
    {
        const Run r = runSampling("python3",
                                  {QFINDTESTDATA("http_attack.py"), QString::number(daemon->port), "15",
                                   "places", QString::number(uploads), QString::number(length), "12288",
                                   QString::number(addresses), caller_tokens().value("admin")},
                                  daemon->proc.processId(), 120000);
        qInfo("%d addresses: operator %d of %d, probe %d of %d, longest probe wait %.2f s, %d uploads "
              "ended, %d of them pushed out",
              addresses, r.out.value("operator_ok").toInt(), r.out.value("operator").toInt(),
              r.out.value("ok").toInt(), r.out.value("probes").toInt(), r.out.value("max_wait").toDouble(),
              r.out.value("closed").toInt(), r.out.value("pushed").toInt());
        return r.out;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(testsupport::services_available(), "no throwaway services");
        QVERIFY(testsupport::schema_database("st_http_places", "schema").isOpen());
        daemon = std::make_unique<Daemon>(QVariantMap{{"log_level", 4}}, 0, "st_http_places");
        QVERIFY2(daemon->start(), qPrintable(daemon->log()));
    }
    void cleanupTestCase() { daemon.reset(); }

    // From one address: it is pushed out down to its share whenever another client comes, so
    // every command of the operator is made and every probe answered.
    void uploads_from_one_address_leave_the_others_their_places()
    {
        const QJsonObject out = uploads_beside_the_operator(1);
        QVERIFY2(out.value("operator").toInt() >= 10, "the operator hardly asked");
        QCOMPARE(out.value("operator_ok").toInt(), out.value("operator").toInt());
        QVERIFY2(out.value("probes").toInt() >= 40, "the probe hardly asked");
        QCOMPARE(out.value("ok").toInt(), out.value("probes").toInt());
        QVERIFY2(out.value("pushed").toInt() > 0, "the uploads never held every place");
    }

    // From 300 addresses, each within its share: a request under a token with a command right
    // pushes out the newest upload of an address holding the most, so every one is served.
    void uploads_from_many_addresses_leave_the_operator_its_places()
    {
        const QJsonObject out = uploads_beside_the_operator(300);
        QVERIFY2(out.value("operator").toInt() >= 10, "the operator hardly asked");
        QCOMPARE(out.value("operator_ok").toInt(), out.value("operator").toInt());
        QVERIFY2(out.value("probes").toInt() >= 40, "the probe hardly asked");
        QCOMPARE(out.value("ok").toInt(), out.value("probes").toInt());
    }

    // Four uploads from one address announce 16 MiB each and so book the 64 MiB of request
    // bodies: the operator's command, a body of a few bytes, pushes the newest of them out.
    void bodies_booked_by_one_address_leave_the_others_their_bytes()
    {
        const QJsonObject out = uploads_beside_the_operator(1, 4, 16 << 20);
        QVERIFY2(out.value("operator").toInt() >= 10, "the operator hardly asked");
        QCOMPARE(out.value("operator_ok").toInt(), out.value("operator").toInt());
        QCOMPARE(out.value("ok").toInt(), out.value("probes").toInt());
        QVERIFY2(out.value("pushed").toInt() > 0, "the uploads never booked every byte");
    }

    // Clients from 2,000 addresses that connect again as soon as they are answered, beside an
    // operator asking twice a second on new connections: no request under a command right is
    // closed unanswered (its connection, accepted a moment before the slots filled, was once
    // pushed out while its request waited unread), and every client pushed out hears the 503.
    void reconnecting_clients_leave_no_operator_request_unanswered()
    {
        const Run r = runSampling("python3",
                                  {QFINDTESTDATA("http_attack.py"), QString::number(daemon->port), "20",
                                   "reconnect", "600", "2000", caller_tokens().value("admin")},
                                  daemon->proc.processId(), 120000);
        const QJsonObject& out = r.out;
        qInfo("reconnecting: %d requests, %d answered 200, %d closed unanswered; operator %d of %d, %d "
              "closed unanswered; probe %d of %d",
              out.value("sent").toInt(), out.value("answered").toInt(), out.value("dropped").toInt(),
              out.value("operator_ok").toInt(), out.value("operator").toInt(),
              out.value("unanswered").toInt(), out.value("ok").toInt(), out.value("probes").toInt());
        QVERIFY2(out.value("operator").toInt() >= 20, "the operator hardly asked");
        QVERIFY2(out.value("sent").toInt() > 10000, "the clients were too few to fill the places");
        QCOMPARE(out.value("unanswered").toInt(), 0);
        QCOMPARE(out.value("operator_ok").toInt(), out.value("operator").toInt());
        QCOMPARE(out.value("dropped").toInt(), 0);
    }

    // What the attacks above cost their clients is found in the log: the server's minute line
    // counts the uploads refused for want of places (300 addresses), pushed out to make room (one
    // address) and pushed out for body memory (16 MiB bodies); a request past the 25 MiB gets the
    // 413 and a line naming that bound.
    void refusals_and_push_outs_are_in_the_log()
    {
        QTcpSocket big;
        QByteArray reply;
        connect(&big, &QTcpSocket::readyRead, [&] { reply += big.readAll(); });
        big.connectToHost(QHostAddress::LocalHost, daemon->port);
        big.write("POST /api/info HTTP/1.1\r\nHost: x\r\nContent-Length: 26214401\r\n\r\n");
        QTRY_VERIFY2(reply.contains("\r\n\r\n"), reply.constData());
        QVERIFY2(reply.startsWith("HTTP/1.1 413 "), reply.constData());
        QTRY_VERIFY(daemon->log().contains(
            "HttpRequest: request larger than the 25 MiB a request may have (client 127.0.0.1)"));

        const auto counted = [this](const QString& what) {
            int sum = 0;
            auto it = QRegularExpression("HttpServer: in the last 60 s, .*\\b(\\d+) " + what)
                          .globalMatch(daemon->log());
            while (it.hasNext())
                sum += it.next().captured(1).toInt();
            return sum;
        };
        // The last of them may wait for the next minute's line.
        QTRY_VERIFY_WITH_TIMEOUT(counted("refused for want of the 256 places") > 0 &&
                                     counted("pushed out to make room") > 0 &&
                                     counted("pushed out for the 64 MiB of request bodies in memory") > 0,
                                 75000);
        qInfo(
            "the minute lines: %d refused for want of places, %d pushed out to make room, %d for body memory",
            counted("refused for want of the 256 places"), counted("pushed out to make room"),
            counted("pushed out for the 64 MiB of request bodies in memory"));
    }
};

QTEST_GUILESS_MAIN(tst_http_daemon_places)
#include "tst_http_daemon_places.moc"
