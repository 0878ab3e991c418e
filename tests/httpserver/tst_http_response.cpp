// The response writer over a real loopback socket, bytes read raw; gzip members through gzip -dc;
// the Set-Cookie value.

#include "http_test_helpers.h"
#include "testsupport.h"
#include "httpcapacity.h"
#include "httpconnection.h"
#include "httpcookie.h"
#include "httpgzip.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "httpsettings.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using QuillonHttpd::HttpConnection;
using QuillonHttpd::HttpRequest;
using QuillonHttpd::HttpResponse;
using QuillonHttpd::HttpSettings;

namespace {

// A served socket with its connection, and the client end reading everything raw.
struct Loopback
{
    HttpSettings settings;
    QTcpServer server;
    QTcpSocket client;
    QByteArray received;
    HttpConnection* connection = nullptr;
    int rawClient = -1;

    // requestText: what the client "sent", parsed into the connection's current request.
    bool open(const QByteArray& requestText = "GET / HTTP/1.1\r\n\r\n", bool rawPeerThatNeverReads = false)
    {
        if (!server.listen(QHostAddress::LocalHost)) return false;
        if (rawPeerThatNeverReads) {
            rawClient = ::socket(AF_INET, SOCK_STREAM, 0);
            int small = 4096;
            setsockopt(rawClient, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(server.serverPort());
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(rawClient, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
        } else {
            QObject::connect(&client, &QTcpSocket::readyRead, [this]() { received += client.readAll(); });
            client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        }
        if (!server.waitForNewConnection(5000)) return false;
        QTcpSocket* served = server.nextPendingConnection();
        connection = new HttpConnection(&settings, served);
        served->setParent(connection);
        auto* request = new HttpRequest(connection);
        FeedDevice device;
        device.feed(requestText);
        drive(*request, device);
        connection->setCurrentRequest(request);
        return request->getStatus() == HttpRequest::Complete;
    }
    ~Loopback()
    {
        delete connection;
        if (rawClient >= 0) ::close(rawClient);
    }
    bool closed() const { return client.state() == QAbstractSocket::UnconnectedState; }
};

QByteArray gunzip(const QByteArray& member, int* rc)
{
    return runTool("gzip", {"-dc"}, member, rc);
}

} // namespace

class tst_http_response : public QObject
{
    Q_OBJECT

private slots:
    void buffered_replies_data()
    {
        QTest::addColumn<int>("scenario");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<bool>("closes");
        QTest::newRow("404, empty body")
            << 0 << QByteArray("HTTP/1.1 404 Not found\r\nConnection: close\r\nContent-Length: 0\r\n\r\n")
            << true;
        QTest::newRow("headers sorted, length replaced")
            << 1
            << QByteArray("HTTP/1.1 200 OK\r\nA: 1\r\nConnection: close\r\nContent-Length: "
                          "4\r\nContent-Type: application/json\r\n"
                          "X-b: 3\r\nSet-Cookie: sid=42; Path=/; Version=1\r\n\r\nabcd")
            << true;
        QTest::newRow("flush without write keeps it open")
            << 2 << QByteArray("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 0\r\n\r\n") << false;
        QTest::newRow("chunked")
            << 3
            << "HTTP/1.1 200 OK\r\nConnection: close\r\nTransfer-Encoding: Chunked\r\n\r\n1a\r\n" +
                   QByteArray("abcdefghijklmnopqrstuvwxyz") + "\r\n3\r\nxyz\r\n0\r\n\r\n"
            << true;
        QTest::newRow("chunked, flushAndDelete: no terminator, left open")
            << 4
            << QByteArray(
                   "HTTP/1.1 200 OK\r\nConnection: close\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n")
            << false;
    }

    void buffered_replies()
    {
        QFETCH(int, scenario);
        QFETCH(QByteArray, expected);
        QFETCH(bool, closes);
        Loopback loop;
        QVERIFY(loop.open());
        auto* response = new HttpResponse(loop.connection);
        switch (scenario) {
        case 0:
            response->setStatus(404, "Not found");
            response->write("");
            response->flush();
            break;
        case 1: {
            response->setHeader("X-b", "2");
            response->setHeader("Content-Type", "application/json");
            response->setHeader("A", 1);
            response->setHeader("X-b", "3");
            response->setHeader("Content-Length", 999);
            HttpCookie nameless, sid;
            nameless.value = "x";
            sid.set("sid", "42", 0, "/");
            response->setCookie(nameless);
            response->setCookie(sid);
            response->write("ab");
            response->write("cd");
            response->flush();
            QTest::ignoreMessage(QtDebugMsg,
                                 "You could not write to HttpRespose when the response is flushed. "
                                 "Data written are ignored.");
            response->write("ef");
            break;
        }
        case 2:
            response->flush();
            break;
        case 3:
            response->setHeader("Transfer-Encoding", "Chunked");
            response->write("abcdefghijklmnopqrstuvwxyz");
            response->write("");
            QTRY_VERIFY(loop.received.endsWith("z\r\n"));
            response->write("xyz");
            response->close();
            break;
        case 4:
            response->setHeader("Transfer-Encoding", "chunked");
            response->write("ab");
            response->flushAndDelete();
            break;
        }
        if (closes)
            QTRY_VERIFY(loop.closed());
        else
            QTRY_COMPARE(loop.received, expected);
        QCOMPARE(loop.received, expected);
        QTest::qWait(0);
        QCOMPARE(loop.closed(), closes);
    }

    void gzip_when_allowed_data() { testsupport::vector_rows(VECTORS("http_gzip.txt")); }
    void gzip_when_allowed()
    {
        QFETCH(QStringList, f);
        const int status = f[0].toInt();
        const bool compressed = f[3] == "1";
        Loopback loop;
        QVERIFY(loop.open("GET / HTTP/1.1\r\n" + f[2].toLatin1() + "\r\n\r\n"));
        QByteArray body;
        for (int i = 0; i < 2000; ++i)
            body += "line " + QByteArray::number(i) + " of a text that compresses well\n";
        auto* response = new HttpResponse(loop.connection);
        response->setStatus(status, "S");
        response->setHeader("Content-Type", f[1]);
        response->write(body);
        response->flush();
        QTRY_VERIFY(loop.closed());
        const int split = loop.received.indexOf("\r\n\r\n");
        QVERIFY(split > 0);
        const QByteArray head = loop.received.left(split + 2), sent = loop.received.mid(split + 4);
        QVERIFY2(head.contains("\r\nContent-Length: " + QByteArray::number(sent.size()) + "\r\n"), head);
        QCOMPARE(head.contains("\r\nContent-Encoding: gzip\r\n"), compressed);
        if (compressed) {
            int rc = -1;
            QCOMPARE(gunzip(sent, &rc), body);
            QCOMPARE(rc, 0);
            QVERIFY(sent.size() < body.size() / 4);
        } else {
            QCOMPARE(sent, body);
        }
    }

    // A compressed copy is the reply's own: with no room left in the reply budget, the body goes
    // out as it is; a large reply goes out whole either way.
    void gzip_within_the_reply_budget()
    {
        QByteArray body(300 * 1024, '\0');
        for (char& c : body)
            c = char('a' + QRandomGenerator::global()->bounded(26));
        for (const bool room : {true, false}) {
            Loopback loop;
            loop.settings.maxBufferedBytes = room ? 64 << 20 : 1000;
            QVERIFY(loop.open("GET / HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n"));
            auto* response = new HttpResponse(loop.connection);
            response->setHeader("Content-Type", "text/html");
            response->write(body);
            response->flush();
            QTRY_VERIFY(loop.closed());
            const int split = loop.received.indexOf("\r\n\r\n");
            const QByteArray head = loop.received.left(split + 2), sent = loop.received.mid(split + 4);
            QCOMPARE(head.contains("\r\nContent-Encoding: gzip\r\n"), room);
            int rc = -1;
            QCOMPARE(room ? gunzip(sent, &rc) : sent, body);
            QVERIFY(loop.connection->capacity()->replyInUse() <= (room ? sent.size() : 0));
        }
    }

    // The reply goes out from the event loop: a peer that never reads holds up nothing, and is
    // dropped once it has taken no byte for the no-progress limit.
    void peer_that_never_reads()
    {
        Loopback loop;
        loop.settings.sendTimeout = 300;
        QVERIFY(loop.open("GET / HTTP/1.1\r\n\r\n", true));
        auto* response = new HttpResponse(loop.connection);
        response->write(QByteArray(5 * 1024 * 1024, 'x'));
        response->flush();
        bool fired = false;
        QElapsedTimer clock;
        clock.start();
        QTimer::singleShot(50, [&]() { fired = true; });
        QTRY_VERIFY_WITH_TIMEOUT(fired, 100);
        QVERIFY(loop.connection->isConnected());
        QVERIFY(loop.connection->getSocket()->bytesToWrite() > 0);
        QTest::ignoreMessage(QtWarningMsg,
                             "HttpResponse: the peer took no data for 300 ms, connection aborted");
        QTRY_VERIFY_WITH_TIMEOUT(!loop.connection->isConnected(), 5000);
        QVERIFY(clock.elapsed() >= 300);
    }

    // A reply says once that it has left, when the socket has taken its last byte, and never
    // when its peer does not read: the report runner counts an answer until then.
    void reply_sent_once_taken()
    {
        Loopback loop;
        QVERIFY(loop.open());
        auto* response = new HttpResponse(loop.connection);
        const QByteArray body(3 * 1024 * 1024 + 17, 'r');
        int said = 0;
        connect(response, &HttpResponse::replySent, [&] { ++said; });
        response->write(body);
        response->flush();
        QTRY_VERIFY_WITH_TIMEOUT(loop.received.endsWith(body), 10000);
        QTRY_COMPARE(said, 1);
        QTest::qWait(100);
        QCOMPARE(said, 1);

        Loopback stuck;
        stuck.settings.sendTimeout = 300;
        QVERIFY(stuck.open("GET / HTTP/1.1\r\n\r\n", true));
        auto* never = new HttpResponse(stuck.connection);
        bool neverSaid = false;
        connect(never, &HttpResponse::replySent, [&] { neverSaid = true; });
        never->write(QByteArray(5 * 1024 * 1024, 'x'));
        never->flush();
        QTest::ignoreMessage(QtWarningMsg,
                             "HttpResponse: the peer took no data for 300 ms, connection aborted");
        QTRY_VERIFY_WITH_TIMEOUT(!stuck.connection->isConnected(), 5000);
        QTest::qWait(100);
        QVERIFY(!neverSaid);
    }

    // Members that gzip -dc reads back, of random and repetitive input, and the exact bytes of two.
    void gzip_members()
    {
        QCOMPARE(HttpGZipCompression::compress(""),
                 QByteArray::fromHex("1f8b080000000000000b03000000000000000000"));
        QVERIFY(HttpGZipCompression::compress("abc").endsWith(QByteArray::fromHex("c241243503000000")));
        for (int i = 0; i < 8; ++i) {
            QByteArray input(i < 2 ? i : QRandomGenerator::global()->bounded(1 << 20) + 1, 0);
            for (int k = 0; k < input.size(); ++k) // half random, half repetitive: both deflate paths
                input[k] = k % 2 ? char(QRandomGenerator::global()->bounded(256)) : char(k % 7);
            const QByteArray member = HttpGZipCompression::compress(input);
            QVERIFY(member.startsWith(QByteArray::fromHex("1f8b080000000000000b")));
            int rc = -1;
            QCOMPARE(gunzip(member, &rc), input);
            QCOMPARE(rc, 0);
        }
    }

    void cookie_text()
    {
        HttpCookie plain;
        plain.name = "sid";
        plain.value = "42";
        QCOMPARE(plain.toByteArray(), QByteArray("sid=42; Version=1"));
        HttpCookie all;
        all.set("sid", "42", -1, "/p", "a comment", "example.org", true);
        QCOMPARE(
            all.toByteArray(),
            QByteArray(
                "sid=42; Comment=a comment; Domain=example.org; Max-Age=-1; Path=/p; Secure; Version=1"));
    }
};

QTEST_MAIN(tst_http_response)
#include "tst_http_response.moc"
