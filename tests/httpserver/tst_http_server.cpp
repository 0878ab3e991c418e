// The server in-process on loopback, driven by independent clients: python3 raw sockets for the
// exact bytes of the fixed replies, curl for files, uploads, includes, paths and cookies, openssl
// for TLS. Then its life: connections and descriptors freed, restarts, the cap, threads.

#include "http_test_helpers.h"
#include "httpconnection.h"
#include "httprequest.h"
#include "httprequesthandler.h"
#include "httpresponse.h"
#include "httpserver.h"
#include "httpsessionstore.h"
#include "httpsession.h"
#include "httpsettings.h"
#include "staticfilecontroller.h"
#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <memory>

using namespace QuillonHttpd;

namespace {

QMutex uploadsMutex;
QStringList uploadedNames; // temporary files the echo handler saw
HttpSessionStore* sessionStore = nullptr;

// /echo: the uploaded "file" (or the body) back; /chunked: a chunked reply; /session: the id of
// the request's session; /sleep: 100 ms in the handler; /peer: the client certificate's name.
class TestHandler : public HttpRequestHandler
{
public:
    using HttpRequestHandler::HttpRequestHandler;
    void service(HttpRequest* request, HttpResponse* response) override
    {
        const QString path = request->getPath();
        if (path == QLatin1String("/echo")) {
            QTemporaryFile* file = request->getUploadedFiles().value(QStringLiteral("file"));
            if (file) {
                QMutexLocker locker(&uploadsMutex);
                for (QTemporaryFile* f : request->getUploadedFiles())
                    uploadedNames << f->fileName();
                response->write(file->readAll());
            } else {
                response->write(request->getBody());
            }
            response->flush();
        } else if (path == QLatin1String("/chunked")) {
            response->setHeader("Transfer-Encoding", "chunked");
            response->write("abc");
            response->write("defgh");
            response->close();
        } else if (path == QLatin1String("/session")) {
            response->write(sessionStore->session(request, response).getId());
            response->flush();
        } else if (path == QLatin1String("/sleep")) {
            QThread::msleep(100);
            response->write("slept");
            response->flush();
        } else if (path == QLatin1String("/peer")) {
            auto* connection = static_cast<HttpConnection*>(parent());
            response->write(connection->verifiedPeerName().toUtf8() + (connection->isSecure() ? " secure" : ""));
            response->flush();
        } else {
            HttpRequestHandler::service(request, response);
        }
    }
};

class TestServer : public HttpServer
{
public:
    using HttpServer::HttpServer;
    HttpRequestHandler* requestHandler(HttpConnection* connection) override { return new TestHandler(connection); }
};

struct Result
{
    QByteArray out, err;
    int code = -1;
};

// Runs a client while this thread's event loop keeps serving it.
Result run(const QString& program, const QStringList& args, const QByteArray& input = QByteArray(),
           int timeoutMs = 60000)
{
    QProcess p;
    QEventLoop loop;
    QObject::connect(&p, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop, &QEventLoop::quit);
    QObject::connect(&p, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    p.start(program, args);
    p.write(input);
    p.closeWriteChannel();
    if (p.state() != QProcess::NotRunning) loop.exec();
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(5000);
    }
    Result r;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return r;
}

QString peerScript()
{
    return QFINDTESTDATA("http_peer.py");
}

int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
}

// {N*text} -> text repeated N times.
QString expandRepeats(QString text)
{
    static const QRegularExpression repeat(QStringLiteral("\\{(\\d+)\\*([^}]*)\\}"));
    for (QRegularExpressionMatch m; (m = repeat.match(text)).hasMatch();)
        text.replace(m.capturedStart(), m.capturedLength(), m.captured(2).repeated(m.captured(1).toInt()));
    return text;
}

// The header block of a curl -D dump: name (lower case) -> value.
QMap<QString, QString> headerLines(const QByteArray& dump)
{
    QMap<QString, QString> out;
    for (const QByteArray& line : dump.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon > 0) out.insert(QString::fromLatin1(line.left(colon)).toLower(), line.mid(colon + 1).trimmed());
    }
    return out;
}

} // namespace

class tst_http_server : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString root;
    HttpSettings* settings = nullptr;
    TestServer* server = nullptr;

    quint16 port() const { return server->getTcpServer()->serverPort(); }
    QString url(const QString& path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path); }

    void write(const QString& name, const QByteArray& content)
    {
        QFile f(root + "/" + name);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }

    // A fresh server on a free loopback port; `tune` adjusts the settings before it listens.
    void startServer(const std::function<void(HttpSettings*)>& tune = {})
    {
        delete server;
        delete settings;
        settings = new HttpSettings;
        settings->address = QHostAddress(QHostAddress::LocalHost);
        settings->port = 0;
        settings->root = root;
        if (tune) tune(settings);
        server = new TestServer(settings);
        QVERIFY(server->getTcpServer()->isListening());
        sessionStore = new HttpSessionStore(server);
    }

    Result curl(const QStringList& args) { return run(QStringLiteral("curl"), QStringList{"-s", "-S"} + args); }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        root = dir.path() + "/root";
        QVERIFY(QDir().mkpath(root + "/sub"));
        write("index.html", "<html>hello</html>\n");
        write("page.json", "{\"a\":1}");
        write("sub/index.html", "sub index");
        write("noext", "plain");
        QByteArray big;
        for (int i = 0; i < 500; ++i)
            big += "<p>line " + QByteArray::number(i) + " of a page that compresses well</p>\n";
        write("big.html", big);
        for (int i = 0; i < 10; ++i) {
            QByteArray page = "level " + QByteArray::number(i) + "\n";
            if (i < 9) page += "  <!-- #include \"c" + QByteArray::number(i + 1) + ".shtml\" -->\r\n";
            write(QStringLiteral("c%1.shtml").arg(i), page);
        }
        write("self.shtml", "a\n<!-- #include \"self.shtml\" -->\n");
        write("missing.shtml", "a\n<!-- #include \"nothere.html\" -->\nb\n");
        write("up.shtml", "<!-- #include \"../secret.txt\" -->\n");
        write("outward.shtml", "<!-- #include \"out.txt\" -->\n");
        QFile secret(dir.path() + "/secret.txt");
        QVERIFY(secret.open(QIODevice::WriteOnly));
        secret.write("TOP SECRET");
        secret.close();
        QVERIFY(QFile::link(dir.path() + "/secret.txt", root + "/out.txt"));
        QVERIFY(QFile::link(root + "/index.html", root + "/in.html"));
    }

    void cleanup()
    {
        delete server;
        server = nullptr;
        delete settings;
        settings = nullptr;
    }

    // ---- exact bytes to a raw-socket client

    void replies_data() { testsupport::vector_rows(VECTORS("http_server.txt"), "replies"); }
    void replies()
    {
        QFETCH(QStringList, f);
        QCOMPARE(f.size(), 3);
        startServer([&](HttpSettings* s) {
            if (f[0] == "-") return;
            for (const QString& pair : f[0].split(' ')) {
                const QString name = pair.section('=', 0, 0);
                const int value = pair.section('=', 1).toInt();
                if (name == "timeout") s->timeout = value;
                else if (name == "headerTimeout") s->headerTimeout = value;
                else if (name == "bodyTimeout") s->bodyTimeout = value;
                else if (name == "maxRequestSize") s->maxRequestSize = value;
                else QFAIL(qPrintable("unknown setting " + name));
            }
        });
        const Result r = run("python3", {peerScript(), QString::number(port()), expandRepeats(f[1])});
        QVERIFY2(r.code == 0, r.err.constData());
        const QJsonObject o = QJsonDocument::fromJson(r.out).object();
        const QByteArray reply = QByteArray::fromHex(o.value("reply").toString().toLatin1());
        QVERIFY2(o.value("closed").toBool() && !o.value("reset").toBool(), r.out.constData());
        QCOMPARE(reply.count("HTTP/1.1 "), 1);
        const QByteArray expected = unescape(f[2]);
        const int gap = expected.indexOf("...");
        if (gap < 0) {
            QCOMPARE(reply, expected);
        } else {
            QVERIFY2(reply.startsWith(expected.left(gap)), reply.constData());
            QVERIFY2(reply.endsWith(expected.mid(gap + 3)), reply.constData());
        }
    }

    void over_the_cap_503()
    {
        startServer([](HttpSettings* s) { s->maxConnections = 8; });
        std::vector<std::unique_ptr<QTcpSocket>> held;
        for (int i = 0; i < 8; ++i) {
            held.emplace_back(new QTcpSocket);
            held.back()->connectToHost(QHostAddress::LocalHost, port());
        }
        QTRY_COMPARE(server->openConnections(), 8);
        QTcpSocket extra;
        QByteArray reply;
        connect(&extra, &QTcpSocket::readyRead, [&]() { reply += extra.readAll(); });
        extra.connectToHost(QHostAddress::LocalHost, port());
        QTRY_COMPARE(extra.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(reply, QByteArray("HTTP/1.1 503 service unavailable\r\nConnection: close\r\n\r\n"
                                   "503 service unavailable\r\n"));
        // A place freed is a place taken again.
        held.front()->abort();
        QTRY_COMPARE(server->openConnections(), 7);
        QCOMPARE(run("python3", {peerScript(), QString::number(port()), "repeat", "1",
                                 "GET /index.html HTTP/1.1\r\n\r\n"})
                     .out.trimmed(),
                 QByteArray("{\"replies\": 1, \"ok\": 1}"));
    }

    // ---- files, uploads and replies through curl

    void files_through_curl()
    {
        startServer();
        QFile big(root + "/big.html");
        QVERIFY(big.open(QIODevice::ReadOnly));
        const QByteArray bigContent = big.readAll();

        Result r = curl({"--compressed", "-D", "-", url("/big.html")});
        QVERIFY2(r.code == 0, r.err.constData());
        QVERIFY(r.out.contains("Content-Encoding: gzip\r\n"));
        QVERIFY(r.out.endsWith("\r\n\r\n" + bigContent));

        r = curl({"--compressed", "-D", "-", url("/page.json")});
        QVERIFY(!r.out.contains("Content-Encoding"));
        QVERIFY(r.out.endsWith("\r\n\r\n{\"a\":1}"));
        const QMap<QString, QString> h = headerLines(r.out);
        QCOMPARE(h.value("content-type"), QString("application/json"));
        QCOMPARE(h.value("cache-control"), QString("Public,max-age=3600"));
        QDateTime expires = QDateTime::fromString(h.value("expires"), "ddd, dd MMM yyyy hh:mm:ss 'GMT'");
        expires.setTimeSpec(Qt::UTC);
        QVERIFY2(qAbs(expires.secsTo(QDateTime::currentDateTimeUtc().addSecs(3600))) <= 5,
                 qPrintable(h.value("expires")));

        r = curl({"-D", "-", url("/")});
        QVERIFY(r.out.endsWith("<html>hello</html>\n"));
        QVERIFY(r.out.contains("Content-Type: text/html\r\n"));
        r = curl({"-D", "-", url("/noext")});
        QVERIFY(r.out.endsWith("\r\n\r\nplain"));
        QVERIFY(!r.out.contains("Content-Type"));
        r = curl({"-D", "-", url("/sub/")});
        QVERIFY(r.out.endsWith("\r\n\r\nsub index"));

        r = curl({"-D", "-", url("/chunked")});
        QVERIFY(r.out.contains("Transfer-Encoding: chunked\r\n"));
        QVERIFY(r.out.endsWith("\r\n\r\nabcdefgh"));
    }

    void upload_echoed_byte_exact()
    {
        startServer();
        QByteArray binary;
        binary += "--boundary-look-alike\r\n\r\n";
        binary += QByteArray(65537, 'x') + "\r\n";
        for (int i = 0; i < 4096; ++i)
            binary += char(i * 7 + (i >> 8));
        binary += QByteArray("\0\r\n\r\n\xff\xfe", 7);
        write("upload.bin", binary);
        const Result r = curl({"-F", "field=value", "-F", "file=@" + root + "/upload.bin", url("/echo")});
        QVERIFY2(r.code == 0, r.err.constData());
        QCOMPARE(r.out.size(), binary.size());
        QVERIFY(r.out == binary);
        QStringList names;
        {
            QMutexLocker locker(&uploadsMutex);
            names = uploadedNames;
        }
        QVERIFY(!names.isEmpty());
        QTRY_COMPARE(server->findChildren<HttpConnection*>().size(), 0);
        for (const QString& name : names)
            QVERIFY2(!QFile::exists(name), qPrintable(name));
    }

    void includes()
    {
        startServer();
        Result r = curl({"-D", "-", url("/c0.shtml")});
        QByteArray expected;
        for (int i = 0; i < 10; ++i)
            expected += "level " + QByteArray::number(i) + "\n";
        QVERIFY(r.out.startsWith("HTTP/1.1 200 OK\r\n"));
        QVERIFY(r.out.contains("Content-Type: text/html; charset=UTF-8\r\n"));
        QVERIFY2(r.out.endsWith("\r\n\r\n" + expected), r.out.constData());

        r = curl({"-D", "-", url("/self.shtml")});
        QVERIFY(r.out.startsWith("HTTP/1.1 500 Server error\r\n"));
        QVERIFY(r.out.endsWith("500 server error: self.shtml<br>\nRecursive loop detected in included files."));
        r = curl({"-D", "-", url("/missing.shtml")});
        QVERIFY(r.out.startsWith("HTTP/1.1 404 Not found\r\n"));
        QVERIFY(r.out.endsWith("404 File not found: " + root.toUtf8() + "/nothere.html"));
        QVERIFY(!r.out.contains("Content-Type"));
        for (const char* page : {"/up.shtml", "/outward.shtml"}) {
            r = curl({"-D", "-", url(page)});
            QVERIFY2(r.out.startsWith("HTTP/1.1 403 Forbidden\r\n"), page);
            QVERIFY(!r.out.contains("SECRET"));
        }
    }

    void nothing_outside_the_root_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::newRow("/../") << "/../secret.txt" << 403;
        QTest::newRow("/a/../../") << "/a/../../secret.txt" << 403;
        QTest::newRow("encoded dots") << "/%2e%2e/secret.txt" << 403;
        QTest::newRow("encoded slash and dots") << "/sub%2f..%2f..%2fsecret.txt" << 403;
        QTest::newRow("NUL before a suffix") << "/index.html%00.txt" << 403;
        QTest::newRow("outward symlink") << "/out.txt" << 403;
        QTest::newRow("inner symlink") << "/in.html" << 200;
        QTest::newRow("dots that stay inside") << "/sub/../index.html" << 200;
        QTest::newRow("no leading slash") << "index.html" << 200;
        QTest::newRow("missing") << "/nothere" << 404;
    }
    void nothing_outside_the_root()
    {
        QFETCH(QString, path);
        QFETCH(int, status);
        startServer();
        const Result r = run("python3", {peerScript(), QString::number(port()),
                                         QStringLiteral("[{\"send\":\"GET %1 HTTP/1.1\\r\\n\\r\\n\"},{\"read\":5}]").arg(path)});
        const QByteArray reply = QByteArray::fromHex(QJsonDocument::fromJson(r.out).object().value("reply").toString().toLatin1());
        QVERIFY2(reply.startsWith("HTTP/1.1 " + QByteArray::number(status) + " "), reply.constData());
        QVERIFY(!reply.contains("SECRET"));
        const Result c = curl({"--path-as-is", "-w", "%{http_code}", url(path.startsWith('/') ? path : "/" + path)});
        QVERIFY(!c.out.contains("SECRET"));
    }

    void sessions_through_curl()
    {
        startServer();
        const QString jar = dir.path() + "/jar";
        const Result first = curl({"-c", jar, "-D", "-", url("/session")});
        QCOMPARE(first.out.count("Set-Cookie: sessionid="), 1);
        const QByteArray id = first.out.mid(first.out.lastIndexOf("\r\n\r\n") + 4);
        QCOMPARE(id.size(), 38);
        const Result again = curl({"-b", jar, "-c", jar, "-D", "-", url("/session")});
        QVERIFY(!again.out.contains("Set-Cookie"));
        QVERIFY(again.out.endsWith("\r\n\r\n" + id));
        const Result forged = curl({"-b", "sessionid={00000000-0000-0000-0000-000000000000}", "-D", "-", url("/session")});
        QCOMPARE(forged.out.count("Set-Cookie: sessionid="), 1);
        QVERIFY(!forged.out.endsWith(id));
    }

    // ---- life

    void thousand_requests_leave_nothing()
    {
        startServer();
        run("python3", {peerScript(), QString::number(port()), "repeat", "1", "GET /index.html HTTP/1.1\r\n\r\n"});
        QTRY_COMPARE(server->findChildren<HttpConnection*>().size(), 0);
        const int before = openDescriptors();
        const Result r = run("python3", {peerScript(), QString::number(port()), "repeat", "1000",
                                         "GET /index.html HTTP/1.1\r\n\r\n"},
                             QByteArray(), 120000);
        QCOMPARE(r.out.trimmed(), QByteArray("{\"replies\": 1000, \"ok\": 1000}"));
        QTRY_COMPARE(server->findChildren<HttpConnection*>().size(), 0);
        QCOMPARE(server->openConnections(), 0);
        QTRY_COMPARE(openDescriptors(), before);
    }

    void silent_connection_kept_without_timeout()
    {
        // A control server with a one-second time-out marks the time that has passed.
        HttpSettings controlSettings;
        controlSettings.address = QHostAddress(QHostAddress::LocalHost);
        controlSettings.port = 0;
        controlSettings.timeout = 1;
        TestServer control(&controlSettings);
        QTcpSocket controlClient;
        startServer([](HttpSettings* s) { s->timeout = 0; });
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port());
        controlClient.connectToHost(QHostAddress::LocalHost, control.getTcpServer()->serverPort());
        QTRY_COMPARE(server->openConnections(), 1);
        QTRY_COMPARE(controlClient.state(), QAbstractSocket::UnconnectedState);
        QVERIFY(controlClient.readAll().startsWith("HTTP/1.1 408 "));
        QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
        QCOMPARE(client.bytesAvailable(), 0);
        QVariantList status = server->connectionsStatus().toList();
        QVERIFY(status.isEmpty());
        client.write("GET /ind");
        QTRY_COMPARE(server->connectionsStatus().toList().size(), 1);
        status = server->connectionsStatus().toList();
        QCOMPARE(status[0].toMap().value("status").toString(), QString("Wait for Request"));
        QCOMPARE(status[0].toMap().value("connection").toString(), QString("connected"));
    }

    void restart_on_the_same_port()
    {
        startServer();
        const quint16 first = port();
        settings->port = first + 65536; // only the low 16 bits count
        QVERIFY(server->start());
        QCOMPARE(port(), first);
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::LocalHost));
        settings->port = squatter.serverPort();
        QVERIFY(!server->start());
    }

    void threads_destroyed_midway()
    {
        startServer([](HttpSettings* s) { s->threads = true; });
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        int replies = 0;
        for (int i = 0; i < 50; ++i) {
            clients.emplace_back(new QTcpSocket);
            QTcpSocket* c = clients.back().get();
            connect(c, &QTcpSocket::readyRead, [c, &replies]() {
                if (c->readAll().contains("slept")) ++replies;
            });
            c->connectToHost(QHostAddress::LocalHost, port());
            c->write("GET /sleep HTTP/1.1\r\n\r\n");
        }
        QTRY_VERIFY(replies > 0);
        QVERIFY(server->connectionsStatus().toList().isEmpty());
        QElapsedTimer t;
        t.start();
        delete server;
        server = nullptr;
        QVERIFY2(t.elapsed() < 6000, qPrintable(QString::number(t.elapsed())));
        for (auto& c : clients)
            QTRY_COMPARE(c->state(), QAbstractSocket::UnconnectedState);
    }

    // ---- TLS, with a key pair made here by openssl

    void tls()
    {
        const QString key = dir.path() + "/server.key", crt = dir.path() + "/server.crt";
        const QString ckey = dir.path() + "/client.key", ccrt = dir.path() + "/client.crt";
        for (const auto& pair : {std::make_pair(key, crt), std::make_pair(ckey, ccrt)}) {
            const QString cn = pair.first == key ? "localhost" : "meter-client";
            const Result r = run("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", pair.first,
                                             "-out", pair.second, "-days", "2", "-subj", "/CN=" + cn});
            QVERIFY2(r.code == 0, r.err.constData());
        }
        startServer([&](HttpSettings* s) {
            s->useSSL = true;
            s->sslKey = key;
            s->sslCrt = crt;
            s->handshakeTimeout = 600;
            s->maxConnections = 3;
        });
        const QString https = QStringLiteral("https://127.0.0.1:%1").arg(port());

        Result r = curl({"-k", https + "/index.html"});
        QVERIFY2(r.code == 0, r.err.constData());
        QCOMPARE(r.out, QByteArray("<html>hello</html>\n"));
        r = curl({"-k", https + "/peer"});
        QCOMPARE(r.out, QByteArray(" secure"));
        r = curl({"-k", "--cert", ccrt, "--key", ckey, https + "/peer"});
        // A self-signed client certificate fails verification: named, but not secure.
        QCOMPARE(r.out, QByteArray("meter-client"));
        r = run("openssl", {"s_client", "-connect", QStringLiteral("127.0.0.1:%1").arg(port()), "-quiet"},
                "GET /page.json HTTP/1.1\r\n\r\n");
        QVERIFY2(r.out.startsWith("HTTP/1.1 200 OK\r\n") && r.out.endsWith("\r\n\r\n{\"a\":1}"), r.out.constData());

        // Clients that never finish a handshake: dropped in time, their descriptors freed.
        QTRY_COMPARE(server->findChildren<HttpConnection*>().size(), 0);
        const int before = openDescriptors();
        QTcpSocket silent, garbage;
        silent.connectToHost(QHostAddress::LocalHost, port());
        garbage.connectToHost(QHostAddress::LocalHost, port());
        garbage.write("GET / HTTP/1.1\r\n\r\n");
        QTRY_COMPARE(garbage.state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(server->getTcpServer()->handshakesInProgress(), 1);
        // The handshake counts against the cap.
        QTcpSocket second, third;
        second.connectToHost(QHostAddress::LocalHost, port());
        third.connectToHost(QHostAddress::LocalHost, port());
        QTRY_COMPARE(server->getTcpServer()->handshakesInProgress(), 3);
        QTcpSocket refused;
        QByteArray reply;
        connect(&refused, &QTcpSocket::readyRead, [&]() { reply += refused.readAll(); });
        refused.connectToHost(QHostAddress::LocalHost, port());
        QTRY_COMPARE(refused.state(), QAbstractSocket::UnconnectedState);
        QVERIFY(reply.startsWith("HTTP/1.1 503 service unavailable\r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(silent.state(), QAbstractSocket::UnconnectedState, 3000);
        QTRY_COMPARE(server->getTcpServer()->handshakesInProgress(), 0);
        silent.close();
        garbage.close();
        second.close();
        third.close();
        refused.close();
        QTRY_COMPARE(openDescriptors(), before);
    }

    // ---- sessions on a clock of the test's own

    void sessions_by_clock()
    {
        HttpSettings s;
        QDateTime now(QDate(2026, 12, 5), QTime(9, 0), Qt::UTC);
        HttpSessionStore store(&s);
        store.setClock([&now]() { return now; });
        QTcpSocket socket;
        HttpConnection connection(&s, &socket);
        auto request = [&](const QByteArray& text) {
            auto* r = new HttpRequest(&connection);
            FeedDevice device;
            device.feed(text);
            drive(*r, device);
            connection.setCurrentRequest(r);
            return r;
        };

        HttpRequest* first = request("GET / HTTP/1.1\r\n\r\n");
        auto* firstResponse = new HttpResponse(&connection);
        HttpSession session = store.session(first, firstResponse);
        const QByteArray id = session.getId();
        QVERIFY(QRegularExpression("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$")
                    .match(QString(id)).hasMatch());
        const HttpCookie cookie = firstResponse->getCookies().value("sessionid");
        QCOMPARE(cookie.value, QString(id));
        QCOMPARE(cookie.maxAge, 3600);
        QCOMPARE(cookie.path, QString("/"));
        QCOMPARE(store.session(first, firstResponse).getId(), id); // found in the response's cookie
        session.set("user", "operator");
        const HttpSession kept = session;

        HttpRequest* later = request("GET / HTTP/1.1\r\nCookie: sessionid=" + id + "\r\n\r\n");
        auto* laterResponse = new HttpResponse(&connection);
        QCOMPARE(store.session(later, laterResponse).getId(), id);
        QVERIFY(laterResponse->getCookies().isEmpty());
        HttpRequest* forged = request("GET / HTTP/1.1\r\nCookie: sessionid={forged}\r\n\r\n");
        auto* forgedResponse = new HttpResponse(&connection);
        QVERIFY(store.session(forged, forgedResponse).getId() != id);
        QCOMPARE(forgedResponse->getCookies().size(), 1);

        // Removed a second after its lifetime, announced while still in the store.
        QStringList announced;
        connect(&store, &HttpSessionStore::aboutToRemove, [&](const HttpSession& leaving) {
            auto* probe = new HttpResponse(&connection);
            announced << QString(leaving.getId()) + (store.sessionId(later, probe) == id ? " stored" : "");
        });
        now = now.addSecs(3599);
        store.slotCleaner();
        QVERIFY(!announced.contains(QString(id) + " stored"));
        QCOMPARE(announced.size(), 0);
        now = now.addSecs(2);
        store.slotCleaner();
        QVERIFY(announced.contains(QString(id) + " stored"));
        QCOMPARE(announced.size(), 2); // the forged request's session as well
        QCOMPARE(store.sessionId(later, new HttpResponse(&connection)), QByteArray());
        QCOMPARE(kept.get("user").toString(), QString("operator"));
        QCOMPARE(kept.getId(), id);

        HttpSession other = store.session(request("GET / HTTP/1.1\r\n\r\n"), new HttpResponse(&connection));
        announced.clear();
        store.removeSession(other);
        QCOMPARE(announced, QStringList{QString(other.getId())});
    }

    void http_date()
    {
        QCOMPARE(StaticFileController::httpDate(QDateTime(QDate(2026, 12, 5), QTime(10, 3, 7), Qt::UTC)),
                 QString("Sat, 05 Dec 2026 10:03:07 GMT"));
        QCOMPARE(StaticFileController::httpDate(QDateTime(QDate(2024, 2, 29), QTime(0, 0, 9), Qt::UTC)),
                 QString("Thu, 29 Feb 2024 00:00:09 GMT"));
    }
};

QTEST_GUILESS_MAIN(tst_http_server)
#include "tst_http_server.moc"
