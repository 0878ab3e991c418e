// Hostile bytes for the request parser, one byte per call: every input ends Complete, Abort or
// waiting for more, with one warning line per abort, nothing read out of range, and the body
// budgets never passed and all given back.

#include "http_test_helpers.h"
#include "testsupport.h"
#include "httpcapacity.h"
#include "httpconnection.h"
#include "httprequest.h"
#include "httpsettings.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

using QuillonHttpd::HttpCapacity;
using QuillonHttpd::HttpConnection;
using QuillonHttpd::HttpRequest;
using QuillonHttpd::HttpSettings;

namespace {

int warnings = 0;

void countWarnings(QtMsgType type, const QMessageLogContext&, const QString&)
{
    if (type == QtWarningMsg || type == QtCriticalMsg) ++warnings;
}

QByteArray multipart(const QByteArray& contentType, const QByteArray& body)
{
    return "POST /u HTTP/1.1\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QList<QByteArray> seeds()
{
    QList<QByteArray> out;
    QFile file(QFINDTESTDATA("../data/http_requests.txt"));
    if (file.open(QIODevice::ReadOnly)) {
        while (!file.atEnd()) {
            const QString line = QString::fromUtf8(file.readLine()).trimmed();
            if (!line.isEmpty() && !line.startsWith('#')) out << unescape(line.section('\t', 1, 1));
        }
    }
    const QByteArray part = "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x\"\r\n\r\nabc\r\n"
                            "--b\r\nContent-Disposition: form-data; name=\"v\"\r\n\r\nval\r\n--b--\r\n";
    out << multipart("multipart/form-data; boundary=b", part);
    return out;
}

} // namespace

class tst_http_hostile : public QObject
{
    Q_OBJECT
    QTemporaryDir tmpDir;

private slots:
    void initTestCase()
    {
        qputenv("TMPDIR", QFile::encodeName(tmpDir.path()));
        qInstallMessageHandler(countWarnings);
    }

    void cleanupTestCase()
    {
        qInstallMessageHandler(nullptr);
        // No request left a temporary file behind.
        QCOMPARE(QDir(tmpDir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    void byte_by_byte_data()
    {
        QTest::addColumn<QByteArray>("input");
        auto* rng = QRandomGenerator::global();
        const QList<QByteArray> valid = seeds();
        for (int i = 0; i < valid.size(); ++i) {
            const QByteArray& s = valid[i];
            QTest::addRow("seed %d", i) << s;
            QTest::addRow("seed %d cut", i) << s.left(rng->bounded(s.size()));
            for (int k = 0; k < 8; ++k) {
                QByteArray f = s;
                for (int n = 0; n < 3; ++n)
                    f[rng->bounded(f.size())] = char(f[rng->bounded(f.size())] ^ (1 << rng->bounded(8)));
                QTest::addRow("seed %d flipped %d", i, k) << f;
            }
            QTest::addRow("seed %d repeated", i) << s.repeated(40);
        }
        for (int k = 0; k < 20; ++k) {
            QByteArray r(rng->bounded(4000), 0);
            for (char& c : r)
                c = char(rng->bounded(256));
            QTest::addRow("random %d", k) << r;
        }
        for (const auto& v : testsupport::read_vectors(VECTORS("http_hostile.txt")))
            QTest::newRow(qPrintable(v.name)) << unescape(v.fields[0]);
        const QByteArray body = "--b\r\nContent-Disposition: form-data; name=\"v\"\r\n\r\nval\r\n--b--\r\n";
        QTest::newRow("multipart no boundary") << multipart("multipart/form-data", body);
        QTest::newRow("multipart empty boundary") << multipart("multipart/form-data; boundary=", body);
        QTest::newRow("multipart empty quoted boundary")
            << multipart("multipart/form-data; boundary=\"\"", body);
        QTest::newRow("multipart quoted boundary") << multipart("multipart/form-data; boundary=\"b\"", body);
        QTest::newRow("multipart 70 KiB boundary")
            << multipart("multipart/form-data; boundary=" + QByteArray(70 * 1024, 'b'), body);
        QTest::newRow("multipart truncated part")
            << multipart("multipart/form-data; boundary=b", body.left(50));
        QTest::newRow("multipart unterminated headers") << multipart(
            "multipart/form-data; boundary=b", "--b\r\nContent-Disposition: form-data; name=\"v");
        QTest::newRow("multipart no end delimiter")
            << multipart("multipart/form-data; boundary=b", body.left(body.size() - 7));
        QTest::newRow("multipart unquoted names") << multipart(
            "multipart/form-data; boundary=b",
            "--b\r\nContent-Disposition: form-data; name=v; filename=\"\r\nContent-Type:\r\n\r\nx\r\n--b--");
        QTest::newRow("multipart three parts, over the part cap") << multipart(
            "multipart/form-data; boundary=b",
            "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x\"\r\n\r\nabc\r\n" + body);
        QTest::newRow("multipart unsupported part headers")
            << multipart("multipart/form-data; boundary=b",
                         "--b\r\nX-A: 1\r\nX-B: " + QByteArray(5000, 'b') +
                             "\r\nContent-Disposition: form-data; name=\"v\"\r\n\r\nval\r\n--b--\r\n");
        QTest::newRow("multipart 65537-byte data line") << multipart(
            "multipart/form-data; boundary=b",
            "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x\"\r\n\r\n" +
                QByteArray(65537, '-') + "\r\n--b\r\nContent-Disposition: form-data; name=\"v\"\r\n\r\n" +
                QByteArray(65537, 'v') + "\r\n--b--\r\n");
    }

    void byte_by_byte()
    {
        QFETCH(QByteArray, input);
        HttpSettings settings;
        settings.maxRequestSize = 200000;
        settings.maxMultiPartSize = 300000;
        settings.maxMultiPartParts = 2;
        settings.maxBufferedBytes = 150000;
        HttpConnection connection(&settings, nullptr);
        const HttpCapacity* capacity = connection.capacity();
        auto request = std::make_unique<HttpRequest>(&connection);
        FeedDevice device;
        warnings = 0;
        for (int i = 0; i < input.size(); ++i) {
            device.feed(input.mid(i, 1));
            drive(*request, device);
            QVERIFY(capacity->memoryInUse() <= settings.maxBufferedBytes);
            QVERIFY(capacity->diskInUse() <= settings.maxBufferedBytes);
            if (request->getStatus() == HttpRequest::Complete || request->getStatus() == HttpRequest::Abort)
                break;
        }
        checkEnd(*request, settings);
        request.reset();
        QCOMPARE(capacity->memoryInUse(), 0);
        QCOMPARE(capacity->diskInUse(), 0);
    }

private:
    void checkEnd(const HttpRequest& request, const HttpSettings& settings)
    {
        const int status = request.getStatus();
        QVERIFY(status >= HttpRequest::WaitForRequest && status <= HttpRequest::Abort);
        QCOMPARE(warnings, status == HttpRequest::Abort ? 1 : 0);
        QCOMPARE(request.getAbortReason() != HttpRequest::NotAborted, status == HttpRequest::Abort);
        if (status == HttpRequest::Complete) {
            // A complete request's declared body is all there, and no more.
            QVERIFY(request.getBody().size() <= settings.maxRequestSize);
            for (const QString& v : request.getParameterMap())
                QVERIFY(v.size() <= settings.maxRequestSize);
            QVERIFY(request.getUploadedFiles().size() <= settings.maxMultiPartParts);
        }
    }
};

QTEST_MAIN(tst_http_hostile)
#include "tst_http_hostile.moc"
