// Hostile requests: random paths, query items, rights of every JSON type and mangled tokens
// (bad Base64, huge or odd "exp", "claims" of wrong types) through the token check, the path
// reading and the dispatcher. Nothing may crash or read out of range, and nothing that is
// not a valid token of ours may grant a right.
#include "api_controller.h"
#include "http_api_quill.h"
#include "logger.h"
#include "radio_exchange.h"
#include "ram_modems.h"
#include "strova_controller.h"
#include "testsupport.h"

#include "httpsettings.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

class tst_api_hostile : public QObject
{
    Q_OBJECT

    QRandomGenerator rng{20261207};
    QTemporaryDir dir;

    QByteArray random_bytes(int max)
    {
        static const char alphabet[] = "/.%2E%2e+-_=aA0 \t\r\n\"'\\(){}[],:;$?&#\x01\x7f\xc3\xa9\xff";
        QByteArray out;
        const int n = int(rng.bounded(max + 1));
        for (int i = 0; i < n; ++i)
            out += rng.bounded(4) == 0 ? char(rng.bounded(256))
                                       : alphabet[rng.bounded(int(sizeof(alphabet) - 1))];
        return out;
    }
    QString random_text(int max) { return QString::fromLatin1(random_bytes(max)); }
    QVariant random_value(int depth = 0)
    {
        switch (rng.bounded(depth > 2 ? 4 : 6)) {
        case 0: return random_text(12);
        case 1: return rng.bounded(2) ? QVariant(rng.generate()) : QVariant(-double(rng.generate()) * 1e300);
        case 2: return QVariant();
        case 3: return QStringList{"api", "admin", "special", "_b_admin", "_auth_admin", "user"}.at(rng.bounded(6));
        case 4: return QVariantList{random_value(depth + 1), random_value(depth + 1)};
        default: return QVariantMap{{random_text(4), random_value(depth + 1)}, {"modem", random_value(depth + 1)}};
        }
    }
    // One mangling of a good token: a byte changed, cut, doubled or a part dropped.
    QString mangle(QString t)
    {
        switch (rng.bounded(5)) {
        case 0: if (!t.isEmpty()) t[int(rng.bounded(t.size()))] = QChar(char(rng.bounded(32, 127))); break;
        case 1: t.truncate(int(rng.bounded(t.size() + 1))); break;
        case 2: t += "." + t; break;
        case 3: t.replace(int(rng.bounded(t.size() + 1)), 0, random_text(6)); break;
        default: t = t.section('.', 0, 1) + "..";
        }
        return t;
    }

    // One request on its own connection; the reply as read until the server closes.
    void exchange(quint16 port, const QByteArray& raw, QByteArray& reply)
    {
        QTcpSocket sock;
        QEventLoop loop;
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        connect(&sock, &QTcpSocket::readyRead, [&] { reply += sock.readAll(); });
        connect(&sock, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
        connect(&sock, &QTcpSocket::connected, [&] { sock.write(raw); });
        sock.connectToHost(QHostAddress::LocalHost, port);
        loop.exec();
        reply += sock.readAll();
    }

private slots:
    void initTestCase()
    {
        API_controller::files_dir = dir.path();
        new RAM_modems(QVariantMap(), this);
        new strova_controller(QVariantMap(), this);
        new Radio_Exchange(QVariantMap(), this);
        new API_controller(QVariantMap{{"diagnostics", 1}}, this);
        log_set_level(0);
        QDir(dir.path()).mkpath("ui");
        QFile f(dir.path() + "/ui/redir.html");
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("<html></html>") > 0);
    }

    void tokens_grant_nothing_unless_ours()
    {
        const uint32_t now = uint32_t(QDateTime::currentSecsSinceEpoch());
        const QStringList descs{
            QString(R"({"payload": {"exp": %1, "claims": {"driver-strova5": {"admin": 1}, "b": {"admin": 1}}}})").arg(now + 600),
            R"({"payload": {"exp": 1e308, "claims": {"driver-strova5": "admin", "b": ["admin"], "auth": null}}})",
            R"({"payload": {"exp": -5, "claims": {"driver-strova5": {"admin": 1}}}})",
            R"({"payload": {"exp": [1], "claims": [1, 2]}})",
            R"({"payload": {"exp": {"a": 1}, "claims": "x"}})",
            R"({"payload": ["not", "an", "object"]})",
            R"({"payload": {"exp": 99999999999999999999, "claims": {"driver-strova5": {"": 1, "\u0000": 2}}}})",
        };
        const QStringList good = testsupport::mint_tokens(descs);
        QCOMPARE(good.size(), descs.size());
        QCOMPARE(http_api::token_rights(good[0], {}, {"api"}, now).size(), 2);
        QCOMPARE(http_api::token_rights(good[1], {}, {"api"}, now).size(), 0);
        QCOMPARE(http_api::token_rights(good[2], {}, {"api"}, now).size(), 0);

        const QStringList schemes{"Bearer ", "bearer ", "BEARER  ", "Basic ", "", "Bearer\t", " Bearer "};
        QStringList ours; // what the signed tokens grant as they are, and the callers they are
        QSet<QByteArray> callers;
        for (const QString& t : good) {
            QByteArray verified;
            ours += http_api::token_rights(t, {}, {"api", "rights"}, now, http_api::api_key(), &verified);
            if (!verified.isEmpty()) callers.insert(verified);
        }
        QVERIFY(!ours.contains("_auth_admin"));
        QCOMPARE(callers.size(), 3); // those whose "exp" is still to come
        for (int i = 0; i < 20000; ++i) {
            const QString base = good.at(int(rng.bounded(good.size())));
            const QString token = rng.bounded(3) ? mangle(base) : random_text(200);
            const QString header =
                schemes.at(int(rng.bounded(schemes.size()))) + (rng.bounded(2) ? token : base);
            QByteArray verified;
            const QStringList rights =
                http_api::token_rights(rng.bounded(2) ? token : QString(), header, {"api", "rights"}, now,
                                       http_api::api_key(), &verified);
            // Only the signed token's own claims can ever come out (a mangling that Base64
            // skips leaves it whole), as that token's own caller; nothing else.
            for (const QString& r : rights)
                QVERIFY2(ours.contains(r), qPrintable(r + " from " + header));
            QVERIFY2(verified.isEmpty() || callers.contains(verified), qPrintable(header));
            QVERIFY(rights.isEmpty() || !verified.isEmpty());
        }
    }

    void paths_and_items()
    {
        API_controller* api = API_controller::instance;
        for (int i = 0; i < 20000; ++i) {
            const QString raw = "/" + random_text(40);
            const QStringList segments = http_api::path_segments(raw);
            for (const QString& s : segments)
                QVERIFY(!s.isEmpty());
            QVariantMap qitems;
            for (int k = int(rng.bounded(5)); k > 0; --k)
                qitems.insert(QStringList{"modem", "payload", "station", "offset", "timestamp", "sync_url", "x"}.at(int(rng.bounded(7))),
                              rng.bounded(2) ? random_value() : QVariant(random_text(30)));
            QVariantMap request{{"qitems", rng.bounded(8) ? QVariant(qitems) : random_value()}};
            QStringList path{"api"};
            path << QStringList{"cmd", "info", "rights", "el", "iec104", "time_sync", "diagnostics", "x"}.at(int(rng.bounded(8)))
                 << QStringList{"display", "list", "set", "update_from_db", "modems_for_get_index", ""}.at(int(rng.bounded(6)));
            request.insert("path", rng.bounded(4) ? QVariant(path) : random_value());
            if (rng.bounded(2)) request.insert("rights", random_value());
            const QVariant answer = api->api_exec(request, rng.bounded(2));
            QVERIFY(!answer.isValid() || answer.type() == QVariant::Map || answer.type() == QVariant::List);
        }
    }

    // Raw requests through the real server and the web front: every one gets a well-formed
    // reply, and the daemon keeps serving.
    void web_front()
    {
        auto* settings = new QuillonHttpd::HttpSettings(this);
        settings->port = 0;
        settings->address = QHostAddress::LocalHost;
        http_api_quill server(settings, this);
        QVERIFY(server.getTcpServer() && server.getTcpServer()->isListening());
        const quint16 port = server.getTcpServer()->serverPort();
        const uint32_t now = uint32_t(QDateTime::currentSecsSinceEpoch());
        const QStringList minted = testsupport::mint_tokens(
            {QString(R"({"payload": {"exp": %1, "claims": {"driver-strova5": {"admin": 1}, "auth": {"admin": 1}}}})").arg(now + 600),
             R"({"payload": {"exp": 1e30, "claims": {"b": 7, "driver-strova5": [1]}}})"});
        const QStringList paths{"/", "/api", "/api/info", "/api/rights", "/api/cmd/display", "/api/time_sync/set",
                                "/ui/redir.html", "/ui/../x", "/ui/%2E%2E/x", "/driver_strova5/api/el/update_from_db",
                                "/favicon.ico", "//api///iec104/list"};
        const QStringList header_names{"Authorization", "authorization", "AUTHORIZATION", "aUtHoRiZaTiOn",
                                       "Cookie", "If-None-Match", "Content-Type"};
        const QStringList items{"callback", "modem", "payload", "station", "offset", "timestamp", "pass", "token"};
        auto text = [&](int max) { return QString::fromLatin1(random_bytes(max).toPercentEncoding()); };
        for (int i = 0; i < 1500; ++i) {
            QString target = rng.bounded(3) ? paths.at(int(rng.bounded(paths.size()))) : "/" + text(30);
            QStringList query;
            for (int k = int(rng.bounded(4)); k > 0; --k)
                query << items.at(int(rng.bounded(items.size()))) + "=" + (rng.bounded(2) ? text(20) : QString("cb"));
            if (!query.isEmpty()) target += "?" + query.join('&');
            QByteArray raw = (rng.bounded(5) ? "GET " : "POST ") + target.toLatin1() + " HTTP/1.1\r\nHost: x\r\n";
            for (int k = int(rng.bounded(4)); k > 0; --k) {
                const QString name = header_names.at(int(rng.bounded(header_names.size())));
                const QString token = rng.bounded(2) ? minted.at(int(rng.bounded(minted.size()))) : mangle(minted.at(0));
                const QString value = name.compare("cookie", Qt::CaseInsensitive) == 0 ? "TARVIK_JWT=" + token
                                      : rng.bounded(2) ? "Bearer " + token
                                                       : QString::fromLatin1(random_bytes(40)).remove('\r').remove('\n');
                raw += name.toLatin1() + ": " + value.toLatin1() + "\r\n";
            }
            raw += "Content-Length: 0\r\n\r\n";

            QByteArray reply;
            exchange(port, raw, reply);
            QVERIFY2(reply.startsWith("HTTP/1.1 "), raw.constData());
            const int status = reply.mid(9, 3).toInt();
            QVERIFY2(QList<int>({200, 304, 400, 404, 413}).contains(status), raw.constData());
        }
        // Nothing stuck: a plain request is served.
        QByteArray reply;
        exchange(port, "GET /api/info HTTP/1.1\r\nHost: x\r\n\r\n", reply);
        QVERIFY2(reply.contains("{\"SW\""), reply.constData());
    }
};

QTEST_GUILESS_MAIN(tst_api_hostile)
#include "tst_api_hostile.moc"
