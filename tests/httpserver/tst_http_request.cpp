#include "http_test_helpers.h"
#include "testsupport.h"
#include "httpcapacity.h"
#include "httpconnection.h"
#include "httprequest.h"
#include "httpsettings.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QtTest>
#include <memory>

using QuillonHttpd::HttpConnection;
using QuillonHttpd::HttpRequest;
using QuillonHttpd::HttpSettings;

namespace {

// The fields a case names, read back from a parsed request.
QJsonObject fields(const HttpRequest& r, const QJsonObject& wanted)
{
    QJsonObject out;
    out["status"] = r.statusText() == "Complete" ? "Complete"
                    : r.statusText() == "Abort"  ? "Abort"
                                                 : "waiting";
    out["reason"] = r.getAbortReason() == HttpRequest::Malformed     ? "malformed"
                    : r.getAbortReason() == HttpRequest::TooLarge    ? "too large"
                    : r.getAbortReason() == HttpRequest::Unavailable ? "unavailable"
                                                                     : "";
    out["method"] = r.getMethod();
    out["path"] = r.getPath();
    out["fullPath"] = r.getFullPath();
    out["version"] = r.getVersion();
    out["body"] = QString::fromUtf8(r.getBody());
    auto pairs = [](const QMultiMap<QString, QString>& map) {
        QJsonArray a;
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            a.append(QJsonArray{it.key(), it.value()});
        return a;
    };
    out["params"] = pairs(r.getParameterMap());
    out["headers"] = pairs(r.getHeaderMap());
    QJsonObject cookies;
    for (auto it = r.getCookieMap().cbegin(); it != r.getCookieMap().cend(); ++it)
        cookies[it.key()] = it.value();
    out["cookies"] = cookies;
    QJsonObject header;
    const QJsonObject asked = wanted.value("header").toObject();
    for (auto it = asked.begin(); it != asked.end(); ++it)
        header[it.key()] = r.header(it.key());
    out["header"] = header;
    QJsonObject result;
    for (auto it = wanted.begin(); it != wanted.end(); ++it)
        result[it.key()] = out.value(it.key());
    return result;
}

QString text(const QJsonObject& o)
{
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

// Parses `chunks` fed one after another; returns the fields `wanted` names.
QJsonObject parse(HttpSettings& settings, const QList<QByteArray>& chunks, const QJsonObject& wanted)
{
    HttpConnection connection(&settings, nullptr);
    HttpRequest request(&connection);
    FeedDevice device;
    for (const QByteArray& chunk : chunks) {
        device.feed(chunk);
        drive(request, device);
    }
    return fields(request, wanted);
}

HttpRequest::RequestStatus parseWhole(HttpSettings& settings, const QByteArray& bytes,
                                      HttpRequest** out = nullptr, HttpConnection* connection = nullptr)
{
    static HttpConnection* fallback = nullptr;
    if (!connection) {
        delete fallback;
        fallback = new HttpConnection(&settings, nullptr);
        connection = fallback;
    }
    auto* request = new HttpRequest(connection);
    connection->setCurrentRequest(request);
    FeedDevice device;
    device.feed(bytes);
    drive(*request, device);
    if (out) *out = request;
    return request->getStatus();
}

// A request of `connection` that the caller deletes.
HttpRequest* parseOwned(HttpConnection& connection, const QByteArray& bytes)
{
    auto* request = new HttpRequest(&connection);
    FeedDevice device;
    device.feed(bytes);
    drive(*request, device);
    return request;
}

QByteArray multipartBody(const QByteArray& boundary, const QList<QList<QByteArray>>& parts)
{
    QByteArray body;
    for (const auto& p : parts) {
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + p[0] + "\"";
        if (!p[1].isEmpty()) body += "; filename=\"" + p[1] + "\"\r\nContent-Type: application/octet-stream";
        body += "\r\n\r\n" + p[2] + "\r\n";
    }
    return body + "--" + boundary + "--\r\n";
}

// The decoding as it was written first (each escape replaced in place, the rest of the text
// moved each time): the reference that the one-pass decoding must agree with, byte for byte.
QString referenceUrlDecode(const QString& text)
{
    QByteArray bytes = text.toUtf8();
    bytes.replace('+', ' ');
    int p = bytes.indexOf('%');
    while (p >= 0) {
        bool ok = false;
        const int value = bytes.mid(p + 1, 2).toInt(&ok, 16);
        if (ok) bytes.replace(p, qMin(3, bytes.size() - p), QByteArray(1, char(value)));
        p = bytes.indexOf('%', p + 1);
    }
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

} // namespace

class tst_http_request : public QObject
{
    Q_OBJECT
    QTemporaryDir tmpDir;

private slots:
    void initTestCase()
    {
        // Warnings of aborted requests are expected here; their text is checked by the limits test.
        QLoggingCategory::setFilterRules("default.warning=false");
        // Uploads land in a directory of our own, so that leftovers can be counted.
        QVERIFY(tmpDir.isValid());
        qputenv("TMPDIR", QFile::encodeName(tmpDir.path()));
        QCOMPARE(QDir::tempPath(), QDir::cleanPath(tmpDir.path()));
    }

    void same_fields_however_cut_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QString>("expected");
        QFile file(QFINDTESTDATA("../data/http_requests.txt"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        while (!file.atEnd()) {
            const QString line = QString::fromUtf8(file.readLine()).trimmed();
            if (line.isEmpty() || line.startsWith('#')) continue;
            const QStringList cols = line.split('\t');
            QCOMPARE(cols.size(), 3);
            QTest::newRow(qPrintable(cols[0])) << unescape(cols[1]) << cols[2];
        }
    }

    void same_fields_however_cut()
    {
        QFETCH(QByteArray, request);
        QFETCH(QString, expected);
        const QJsonObject wanted = QJsonDocument::fromJson(expected.toUtf8()).object();
        QVERIFY(!wanted.isEmpty());
        HttpSettings settings;
        QCOMPARE(text(parse(settings, {request}, wanted)), text(wanted));
        for (int cut = 1; cut < request.size(); ++cut)
            QCOMPARE(text(parse(settings, {request.left(cut), request.mid(cut)}, wanted)), text(wanted));
        QList<QByteArray> bytes;
        for (char c : request)
            bytes.append(QByteArray(1, c));
        QCOMPARE(text(parse(settings, bytes, wanted)), text(wanted));
    }

    // Names and values that python3's urlencode wrote come back as they were.
    void parameters_agree_with_urlencode()
    {
        const QString alphabet = QString::fromUtf8("aZ09 &=+%?#;/\\\"'~._-éçČ€Жあ中\U0001F600");
        auto random = [&](int min) {
            QString s;
            const int n = min + QRandomGenerator::global()->bounded(8);
            const QVector<uint> ucs4 = alphabet.toUcs4();
            for (int i = 0; i < n; ++i)
                s += QString::fromUcs4(&ucs4[QRandomGenerator::global()->bounded(ucs4.size())], 1);
            return s;
        };
        QJsonArray pairs;
        QMultiMap<QString, QString> expected;
        for (int i = 0; i < 40; ++i) {
            const QString name = random(1).trimmed().isEmpty() ? "n" : random(1);
            const QString value = random(0);
            // The parser trims around names and values; urlencode writes spaces as "+", so no loss.
            pairs.append(QJsonArray{name, value});
            expected.insert(name, value);
        }
        int rc = -1;
        const QByteArray encoded =
            runTool("python3",
                    {"-c", "import sys,json,urllib.parse;"
                           "print(urllib.parse.urlencode([tuple(p) for p in json.load(sys.stdin)]),end='')"},
                    QJsonDocument(pairs).toJson(), &rc);
        QCOMPARE(rc, 0);
        QVERIFY(!encoded.isEmpty());

        HttpSettings settings;
        HttpRequest* request = nullptr;
        HttpConnection connection(&settings, nullptr);
        QCOMPARE(parseWhole(settings, "GET /p?" + encoded + " HTTP/1.1\r\n\r\n", &request, &connection),
                 HttpRequest::Complete);
        QCOMPARE(request->getParameterMap().values(), expected.values());
        QCOMPARE(request->getParameterMap().keys(), expected.keys());

        const QByteArray post = "POST /p HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                "Content-Length: " +
                                QByteArray::number(encoded.size()) + "\r\n\r\n" + encoded;
        QCOMPARE(parseWhole(settings, post, &request, &connection), HttpRequest::Complete);
        QCOMPARE(request->getParameterMap().values(), expected.values());
    }

    // Every pair of characters after a "%" (ASCII, and a few beyond), where the text ends, before
    // more text and before a NUL, then random texts rich in escapes: the same text as the reference.
    void url_decode_agrees_with_reference()
    {
        QVector<QChar> chars;
        for (int c = 0; c < 128; ++c)
            chars << QChar(c);
        for (const QChar c : QString::fromUtf8("\u00e9\u0100\u20ac\ufffd"))
            chars << c;
        int checked = 0;
        for (const QChar a : qAsConst(chars)) {
            for (const QString& tail : {QString(), QStringLiteral("x"), QStringLiteral("%4")}) {
                const QString one = QStringLiteral("p%") + a + tail;
                QCOMPARE(HttpRequest::urlDecode(one), referenceUrlDecode(one));
                for (const QChar b : qAsConst(chars)) {
                    const QString text = QStringLiteral("p%") + a + b + tail;
                    if (HttpRequest::urlDecode(text) != referenceUrlDecode(text))
                        QFAIL(qPrintable(
                            QStringLiteral("differs on %1").arg(QString::fromLatin1(text.toUtf8().toHex()))));
                    ++checked;
                }
            }
        }
        QVERIFY(checked > 3 * 128 * 128);

        const QString alphabet = QString::fromUtf8("%%%%0aF9g +-xX\t\n\r\u00e9\U0001F600/?&=");
        const QVector<uint> ucs4 = alphabet.toUcs4() << 0u;
        auto* rng = QRandomGenerator::global();
        for (int k = 0; k < 20000; ++k) {
            QString text;
            for (int i = rng->bounded(24); i > 0; --i)
                text += QString::fromUcs4(&ucs4[rng->bounded(ucs4.size())], 1);
            QCOMPARE(HttpRequest::urlDecode(text), referenceUrlDecode(text));
        }
        for (const char* crafted :
             {"%", "%%", "%%%41", "%2541", "%+0", "%0", "%-1", "%- ", "% f", "%f ", "%0x", "%x1", "%41%",
              "a%4", "%%4", "%-f%-0z", "+%2B+", "%e2%82%ac", "%e2%82"})
            QCOMPARE(HttpRequest::urlDecode(QString::fromLatin1(crafted)),
                     referenceUrlDecode(QString::fromLatin1(crafted)));
        // The long form body of escapes: all of it decoded (the reference would take minutes).
        const QString many = QStringLiteral("%41").repeated(2000000);
        QCOMPARE(HttpRequest::urlDecode(many), QString(2000000, QLatin1Char('A')));
    }

    void limits_data() { testsupport::vector_rows(VECTORS("http_limits.txt")); }
    void limits()
    {
        QFETCH(QStringList, f);
        HttpSettings settings;
        settings.maxRequestSize = f[1].toInt();
        QLoggingCategory::setFilterRules("default.warning=true");
        if (f[3] != "-") QTest::ignoreMessage(QtWarningMsg, qPrintable(f[3]));
        QCOMPARE(HttpRequest::statusText(parseWhole(settings, unescape(f[0]))), f[2]);
        QLoggingCategory::setFilterRules("default.warning=false");
    }

    void multipart_limit_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("warning");
        QTest::newRow("below") << 999 << int(HttpRequest::Complete) << "";
        QTest::newRow("at limit, on its last byte")
            << 1000 << int(HttpRequest::Abort)
            << "HttpRequest: multipart body reaching the 1000 bytes bound of multipart bodies";
        QTest::newRow("over, at the headers")
            << 1001 << int(HttpRequest::Abort)
            << "HttpRequest: multipart body reaching the 1000 bytes bound of multipart bodies";
    }

    void multipart_limit()
    {
        QFETCH(int, length);
        QFETCH(int, status);
        QFETCH(QString, warning);
        HttpSettings settings;
        settings.maxMultiPartSize = 1000;
        QByteArray body = multipartBody("b", {{"f", "", ""}});
        body.insert(body.indexOf("\r\n--b--"), QByteArray(length - body.size(), 'v'));
        QCOMPARE(body.size(), length);
        QLoggingCategory::setFilterRules("default.warning=true");
        if (!warning.isEmpty()) QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
        QCOMPARE(
            int(parseWhole(settings, "POST / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b\r\n"
                                     "Content-Length: " +
                                         QByteArray::number(length) + "\r\n\r\n" + body)),
            status);
        QLoggingCategory::setFilterRules("default.warning=false");
    }

    void multipart_parts_data()
    {
        QTest::addColumn<int>("parts");
        QTest::addColumn<QByteArray>("extraHeader");
        QTest::addColumn<int>("status");
        QTest::newRow("at the limit") << 100 << QByteArray() << int(HttpRequest::Complete);
        QTest::newRow("one more, too large") << 101 << QByteArray() << int(HttpRequest::Abort);
        QTest::newRow("unsupported header lines, one debug line")
            << 50 << QByteArray("X-Unsupported: {1500*u}\r\n") << int(HttpRequest::Complete);
    }

    // At most maxMultiPartParts parts, their files closed once written; unsupported part
    // headers logged once a request, cut to 1 KiB.
    void multipart_parts()
    {
        QFETCH(int, parts);
        QFETCH(QByteArray, extraHeader);
        QFETCH(int, status);
        QList<QList<QByteArray>> list;
        for (int i = 0; i < parts; ++i)
            list.append({"f" + QByteArray::number(i), "x" + QByteArray::number(i), QByteArray::number(i)});
        QByteArray body = multipartBody("b", list);
        body.replace("Content-Type: application/octet-stream\r\n",
                     "Content-Type: application/octet-stream\r\n" +
                         unescape(QString::fromLatin1(extraHeader)));
        static QStringList messages;
        messages.clear();
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString& m) { messages << m; });
        QLoggingCategory::setFilterRules("default.warning=true");
        HttpSettings settings;
        HttpConnection connection(&settings, nullptr);
        HttpRequest* r = nullptr;
        const auto result = parseWhole(
            settings,
            "POST / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b\r\nContent-Length: " +
                QByteArray::number(body.size()) + "\r\n\r\n" + body,
            &r, &connection);
        QLoggingCategory::setFilterRules("default.warning=false");
        qInstallMessageHandler(previous);
        QCOMPARE(int(result), status);
        if (status == HttpRequest::Abort) {
            QCOMPARE(r->getAbortReason(), HttpRequest::TooLarge);
            QCOMPARE(messages,
                     QStringList{"HttpRequest: multipart body of more than the 100 parts a body may have"});
            QVERIFY(r->getUploadedFiles().isEmpty());
            QCOMPARE(QDir(tmpDir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
            return;
        }
        QCOMPARE(r->getUploadedFiles().size(), parts);
        for (QTemporaryFile* f : r->getUploadedFiles())
            QVERIFY(!f->isOpen());
        QCOMPARE(r->uploadedFile("f7")->readAll(), QByteArray("7"));
        QCOMPARE(messages.size(), extraHeader.isEmpty() ? 0 : 1);
        if (!extraHeader.isEmpty()) {
            QVERIFY2(messages[0].startsWith("HttpRequest: ignoring unsupported content part"),
                     qPrintable(messages[0]));
            QVERIFY2(messages[0].endsWith("... (cut, 1515 characters in all)\""),
                     qPrintable(messages[0].right(60)));
            QVERIFY(messages[0].size() < 1200);
        }
    }

    // Bodies are booked against the server's budgets when their headers end, and given back with
    // their request.
    void body_budgets_data()
    {
        QTest::addColumn<QByteArray>("contentType");
        QTest::newRow("memory") << QByteArray("text/plain");
        QTest::newRow("temporary files") << QByteArray("multipart/form-data; boundary=b");
    }

    void body_budgets()
    {
        QFETCH(QByteArray, contentType);
        HttpSettings settings;
        settings.maxBufferedBytes = 1000;
        HttpConnection connection(&settings, nullptr);
        auto post = [&](int length) {
            auto* r = new HttpRequest(&connection);
            FeedDevice device;
            device.feed("POST / HTTP/1.1\r\nContent-Type: " + contentType +
                        "\r\nContent-Length: " + QByteArray::number(length) + "\r\n\r\n");
            drive(*r, device);
            return r;
        };
        const bool memory = contentType == "text/plain";
        auto inUse = [&]() {
            return memory ? connection.capacity()->memoryInUse() : connection.capacity()->diskInUse();
        };
        QLoggingCategory::setFilterRules("default.warning=true");
        HttpRequest* first = post(600);
        QCOMPARE(first->statusText(), QString("Wait for Body"));
        QTest::ignoreMessage(
            QtWarningMsg,
            memory ? "HttpRequest: request bodies would pass the 1000 bytes that the requests of all "
                     "clients together may hold in memory"
                   : "HttpRequest: request bodies would pass the 1000 bytes that the requests of all "
                     "clients together may hold in temporary files");
        HttpRequest* second = post(401);
        QLoggingCategory::setFilterRules("default.warning=false");
        QCOMPARE(second->statusText(), QString("Abort"));
        QCOMPARE(second->getAbortReason(), HttpRequest::Unavailable);
        HttpRequest* third = post(400);
        QCOMPARE(third->statusText(), QString("Wait for Body"));
        QCOMPARE(inUse(), 1000);
        delete first;
        delete second;
        delete third;
        QCOMPARE(inUse(), 0);
        QCOMPARE(connection.capacity()->memoryInUse() + connection.capacity()->diskInUse(), 0);
    }

    // Header bytes past a generous allowance are booked like body bytes; ordinary requests are
    // never refused for them.
    void header_budget()
    {
        HttpSettings settings;
        settings.maxBufferedBytes = 20000;
        HttpConnection connection(&settings, nullptr);
        const QByteArray big =
            "GET / HTTP/1.1\r\n" + QByteArray("X: " + QByteArray(997, 'h') + "\r\n").repeated(30) + "\r\n";
        auto parse = [&](const QByteArray& bytes) {
            auto* r = new HttpRequest(&connection);
            FeedDevice device;
            device.feed(bytes);
            drive(*r, device);
            return r;
        };
        HttpRequest* first = parse(big);
        QCOMPARE(first->statusText(), QString("Complete"));
        QCOMPARE(connection.capacity()->memoryInUse(), big.size() - HttpRequest::headerAllowance);
        QLoggingCategory::setFilterRules("default.warning=true");
        QTest::ignoreMessage(
            QtWarningMsg, "HttpRequest: request headers would pass the 20000 bytes that the requests of all "
                          "clients together may hold in memory");
        HttpRequest* second = parse(big);
        QLoggingCategory::setFilterRules("default.warning=false");
        QCOMPARE(second->getAbortReason(), HttpRequest::Unavailable);
        HttpRequest* plain = parse("GET / HTTP/1.1\r\nHost: h\r\n" +
                                   QByteArray("Cookie: " + QByteArray(8000, 'c') + "\r\n\r\n"));
        QCOMPARE(plain->statusText(), QString("Complete"));
        delete first;
        delete second;
        delete plain;
        QCOMPARE(connection.capacity()->memoryInUse(), 0);
    }

    // At most maxParameters parameters, query, form and cookies together; one more is refused
    // before any is built.
    void parameter_cap_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        auto form = [](int n, const QByteArray& extra) {
            QByteArray body;
            for (int i = 0; i < n; ++i)
                body += "p" + QByteArray::number(i) + "&";
            return "POST /a HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n" + extra +
                   "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
        };
        QByteArray query;
        for (int i = 0; i < HttpRequest::maxParameters + 1; ++i)
            query += "&q" + QByteArray::number(i);
        QTest::newRow("form at the cap")
            << form(HttpRequest::maxParameters, "") << int(HttpRequest::Complete);
        QTest::newRow("form over") << form(HttpRequest::maxParameters + 1, "") << int(HttpRequest::Abort);
        QTest::newRow("empty parts are no parameters")
            << form(HttpRequest::maxParameters, "") + QByteArray(5000, '&') << int(HttpRequest::Complete);
        QTest::newRow("form and a cookie")
            << form(HttpRequest::maxParameters, "Cookie: c=1\r\n") << int(HttpRequest::Abort);
        QTest::newRow("query over") << "GET /a?" + query + " HTTP/1.1\r\n\r\n" << int(HttpRequest::Abort);
        QTest::newRow("cookies over") << "GET / HTTP/1.1\r\nCookie: " + QByteArray("c=1;").repeated(6000) +
                                             "\r\nCookie: " + QByteArray("d;").repeated(4001) + "\r\n\r\n"
                                      << int(HttpRequest::Abort);
    }

    void parameter_cap()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        HttpSettings settings;
        HttpConnection connection(&settings, nullptr);
        HttpRequest* r = parseOwned(connection, request);
        QCOMPARE(int(r->getStatus()), status);
        if (status == HttpRequest::Abort) {
            QCOMPARE(r->getAbortReason(), HttpRequest::TooLarge);
            QVERIFY(r->getParameterMap().isEmpty() && r->getCookieMap().isEmpty());
        } else {
            QCOMPARE(r->getParameterMap().size(), HttpRequest::maxParameters);
        }
        delete r;
        QCOMPARE(connection.capacity()->memoryInUse(), 0);
    }

    // A form body is refused at its first parameter past the cap, before the rest of it comes.
    void parameter_cap_before_the_body_ends()
    {
        HttpSettings settings;
        HttpConnection connection(&settings, nullptr);
        QByteArray parts;
        for (int i = 0; i <= HttpRequest::maxParameters; ++i)
            parts += "p" + QByteArray::number(i) + "&";
        std::unique_ptr<HttpRequest> r(
            parseOwned(connection, "POST / HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                   "Content-Length: 20000000\r\n\r\n" +
                                       parts));
        QCOMPARE(r->statusText(), QString("Abort"));
        QCOMPARE(r->getAbortReason(), HttpRequest::TooLarge);
        r.reset();
        QCOMPARE(connection.capacity()->memoryInUse(), 0);
    }

    // The parameters built from a body take memory twice its size and more: they are booked with
    // the body, and a request whose parameters would pass the budget is refused as unavailable.
    void parameters_booked()
    {
        HttpSettings settings;
        settings.maxBufferedBytes = 400000;
        HttpConnection connection(&settings, nullptr);
        auto post = [&](int values) {
            QByteArray body;
            for (int i = 0; i < values; ++i)
                body += "v" + QByteArray::number(i) + "=" + QByteArray(1000, 'x') + "&";
            return parseOwned(connection,
                              "POST / HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                              "Content-Length: " +
                                  QByteArray::number(body.size()) + "\r\n\r\n" + body);
        };
        HttpRequest* small = post(10);
        QCOMPARE(small->statusText(), QString("Complete"));
        QCOMPARE(small->getParameterMap().size(), 10);
        HttpRequest* large = post(100);
        QCOMPARE(large->statusText(), QString("Complete"));
        // The body (100 KB) and its parameters (twice that in text) are held.
        QVERIFY2(connection.capacity()->memoryInUse() > 280000,
                 qPrintable(QString::number(connection.capacity()->memoryInUse())));
        QLoggingCategory::setFilterRules("default.warning=true");
        QTest::ignoreMessage(
            QtWarningMsg,
            "HttpRequest: request parameters would pass the 400000 bytes that the requests of all "
            "clients together may hold in memory");
        HttpRequest* refused = post(60);
        QLoggingCategory::setFilterRules("default.warning=false");
        QCOMPARE(refused->getAbortReason(), HttpRequest::Unavailable);
        QVERIFY(refused->getParameterMap().isEmpty());
        QVERIFY(large->bookMemory(1000));
        delete small;
        delete large;
        delete refused;
        QCOMPARE(connection.capacity()->memoryInUse(), 0);
    }

    // The spool is searched in blocks: a delimiter, its line break or a line that only looks like
    // one may fall on any block boundary; the fields come out the same wherever they fall.
    void multipart_across_blocks()
    {
        HttpSettings settings;
        HttpConnection connection(&settings, nullptr);
        const int block = 65536;
        for (int shift = -12; shift <= 12; ++shift) {
            const QByteArray lead = QByteArray(block - 60 + shift, 'a') + "\r\n--b \r\n--bb\r\n--\r\nx";
            const QByteArray file = QByteArray(block + shift, 'f') + "\n--b-\r\n\r";
            const QByteArray body =
                multipartBody("b", {{"lead", "", lead}, {"up", "u.bin", file}, {"tail", "", "t"}});
            HttpRequest* r = parseOwned(
                connection,
                "POST / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b\r\nContent-Length: " +
                    QByteArray::number(body.size()) + "\r\n\r\n" + body);
            QCOMPARE(r->statusText(), QString("Complete"));
            // "--b " with white space after it is a delimiter line: the lead ends before it.
            QCOMPARE(r->getParameterMap().value("lead").toUtf8(), QByteArray(block - 60 + shift, 'a'));
            QCOMPARE(r->uploadedFile("up")->readAll(), file);
            QCOMPARE(r->getParameterMap().value("tail"), QString("t"));
            delete r;
        }
    }

    // A body of bare line feeds, and one of endless part header lines: each is read once, and
    // the part without a delimiter is dropped.
    void multipart_without_delimiters()
    {
        HttpSettings settings;
        HttpConnection connection(&settings, nullptr);
        for (const QByteArray& body :
             {QByteArray(4 << 20, '\n'), "--b\r\n" + QByteArray("X: y\r\n").repeated(500000)}) {
            HttpRequest* r = parseOwned(
                connection,
                "POST / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b\r\nContent-Length: " +
                    QByteArray::number(body.size()) + "\r\n\r\n" + body);
            QCOMPARE(r->statusText(), QString("Complete"));
            QVERIFY(r->getParameterMap().isEmpty());
            delete r;
        }
    }

    void multipart_data()
    {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<bool>("byteByByte");
        QTest::newRow("plain boundary") << QByteArray("multipart/form-data; boundary=XyZ-42") << false;
        QTest::newRow("quoted boundary, parameter after")
            << QByteArray("Multipart/Form-Data; boundary=\"XyZ-42\"; charset=utf-8") << false;
        QTest::newRow("byte by byte") << QByteArray("multipart/form-data; boundary=XyZ-42") << true;
    }

    void multipart()
    {
        QFETCH(QByteArray, contentType);
        QFETCH(bool, byteByByte);
        QByteArray file;
        for (int i = 0; i < 256; ++i)
            file += char(i);
        file += "\r\n\r\n--XyZ-42x\r\nx--XyZ-42\r\n--XyZ-4\r\n" + QByteArray(65537, 'L') + "\n\r\n\0end";
        const QByteArray value2 = "line 1\r\nline 2\r\n";
        const QByteArray body = multipartBody("XyZ-42", {{"field1", "", "v1 é"},
                                                         {"upload", "data.bin", file},
                                                         {"field2", "", value2},
                                                         {"empty", "none.txt", ""},
                                                         {"again", "first.bin", "first"},
                                                         {"again", "second.bin", "second"}});
        const QByteArray request = "POST /up HTTP/1.1\r\nContent-Type: " + contentType +
                                   "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" +
                                   body;

        HttpSettings settings;
        HttpConnection connection(&settings, nullptr);
        auto* r = new HttpRequest(&connection);
        FeedDevice device;
        if (byteByByte) {
            for (char c : request) {
                device.feed(QByteArray(1, c));
                drive(*r, device);
            }
        } else {
            device.feed(request);
            drive(*r, device);
        }
        QCOMPARE(r->statusText(), QString("Complete"));
        QCOMPARE(r->getParameterMap().value("field1"), QString::fromUtf8("v1 é"));
        QCOMPARE(r->getParameterMap().value("field2"), QString::fromUtf8(value2));
        QCOMPARE(r->getParameterMap().value("upload"), QString("data.bin"));
        QCOMPARE(r->getParameterMap().values("again"), QStringList({"second.bin", "first.bin"}));
        QCOMPARE(r->getUploadedFileTypes().value("upload"), QString("application/octet-stream"));
        QStringList names;
        for (const char* field : {"upload", "empty", "again"}) {
            QTemporaryFile* f = r->getUploadedFiles().value(field);
            QVERIFY2(f, qPrintable(field));
            names << f->fileName();
        }
        QCOMPARE(r->uploadedFile("upload")->readAll(), file);
        QCOMPARE(r->uploadedFile("empty")->size(), 0);
        QCOMPARE(r->uploadedFile("again")->readAll(), QByteArray("second"));
        QCOMPARE(names.size(), 3);
        QDir tmp(tmpDir.path());
        delete r;
        for (const QString& name : names)
            QVERIFY2(!QFile::exists(name), qPrintable(name));
        // The replaced upload and the spool file went with their request too.
        QCOMPARE(tmp.entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    // An empty settings file gives the limits of a configured server, not the built-in ones.
    void settings_defaults()
    {
        QTemporaryDir dir;
        QSettings empty(dir.filePath("empty.ini"), QSettings::IniFormat);
        HttpSettings read(&empty);
        QCOMPARE(read.maxRequestSize, 16384);
        QCOMPARE(read.maxMultiPartSize, 16728064);
        QCOMPARE(read.threads, true);
        QCOMPARE(read.IgnoreAllSslErrors, true);
        QVERIFY(read.ignoreSslError(QSslError(QSslError::CertificateRevoked)));
    }

    void settings_group_before_fallback()
    {
        QTemporaryDir dir;
        QFile ini(dir.filePath("http.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[web]\nport=9001\naddress=127.0.0.1\nIgnoreAllSslErrors=false\n"
                  "IgnoreCertificateExpired=false\nIgnoreSelfSignedCertificate=true\n"
                  "[base]\nport=9002\ntimeout=42\nroot=/srv/www\nIgnoreCertificateExpired=true\n"
                  "IgnoreHostNameMismatch=true\nmaxRequestSize=nonsense\n");
        ini.close();
        QSettings file(ini.fileName(), QSettings::IniFormat);
        HttpSettings s;
        QTest::ignoreMessage(QtDebugMsg, "obsahuje sekce 1, nastavuji \"127.0.0.1\"");
        s.readSettings(&file, "web", "base");
        QCOMPARE(s.port, 9001);
        QCOMPARE(s.timeout, 42);
        QCOMPARE(s.root, QString("/srv/www"));
        QCOMPARE(s.maxRequestSize, 0);
        QCOMPARE(s.maxAge, 3600);
        QCOMPARE(s.address, QHostAddress("127.0.0.1"));
        QVERIFY(s.ignoreSslError(QSslError(QSslError::SelfSignedCertificate)));
        QVERIFY(s.ignoreSslError(QSslError(QSslError::HostNameMismatch)));
        QVERIFY(!s.ignoreSslError(QSslError(QSslError::CertificateExpired)));
        QVERIFY(!s.ignoreSslError(QSslError(QSslError::CertificateRevoked)));
    }
};

QTEST_MAIN(tst_http_request)
#include "tst_http_request.moc"
