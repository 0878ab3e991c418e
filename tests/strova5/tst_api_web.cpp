// The API as a client meets it: curl against the real daemon, run from a temporary copy so
// that ui/ and tst.json are the test's, with the throwaway MariaDB and RabbitMQ. Tokens come
// from an independent issuer (python3's hmac).
#include "api_daemon.h"
#include "testsupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <memory>


using namespace api_daemon;

namespace {

const char* const k_callers[] = {"none", "user", "admin", "b_admin", "special", "auth", "no_jwt", "diag"};

} // namespace

class tst_api_web : public QObject
{
    Q_OBJECT

    QMap<QString, QString> tokens; // caller -> token
    std::unique_ptr<Daemon> base;

private slots:
    void initTestCase()
    {
        QVERIFY2(testsupport::services_available(), "no throwaway services");
        QSqlDatabase db = testsupport::schema_database("st_api_web", "schema");
        QVERIFY(db.isOpen());
        QSqlQuery q(db);
        // Display modems: 7001 shows "31", 7002 "32"; 7003 reports for display modem 7004 at station 55.
        QVERIFY(q.exec(R"(INSERT INTO modems_setting (modem_id, ts, state, setting, data) VALUES
            (7001, 1, 0, '31', '0A0B'), (7001, 1, 0, 'version', '{"sw":"1.0.4.0"}'),
            (7002, 1, 0, '32', '0C0D'), (7002, 1, 0, 'version', '{"sw":"1.0.4.0"}'),
            (7003, 1, 0, 'bs_display', '{"modem":7004,"bs":55}'), (7003, 1, 0, 'version', '{"sw":"1.0.4.0"}'),
            (7004, 1, 0, 'version', '{"sw":"1.0.4.0"}'))"));
        tokens["user"] = claims_token(R"({"driver-strova5": {"user": 1}})");
        tokens["admin"] = claims_token(R"({"driver-strova5": {"admin": 1}})");
        tokens["b_admin"] = claims_token(R"({"b": {"admin": 1}})");
        tokens["special"] = claims_token(R"({"driver-strova5": {"special": 1}})");
        tokens["auth"] = claims_token(R"({"auth": {"admin": 1}})");
        base = std::make_unique<Daemon>(QVariantMap());
        QVERIFY2(base->start(), qPrintable(base->log()));
    }
    void cleanupTestCase() { base.reset(); }

    // Every answering route against every caller, one loop; the table is shared with the
    // dispatcher's own test.
    void rights_matrix()
    {
        Daemon no_jwt(QVariantMap{{"api", QVariantMap{{"no_jwt", true}}}});
        Daemon diag(QVariantMap{{"api", QVariantMap{{"diagnostics", 1}}}});
        QVERIFY(no_jwt.start() && diag.start());
        for (const testsupport::Vector& v :
             testsupport::read_vectors(VECTORS("api_routes.txt"), "answered")) {
            const QStringList expected = v.fields.at(1).split(' ', Qt::SkipEmptyParts);
            for (int c = 0; c < int(std::size(k_callers)); ++c) {
                const QString caller = k_callers[c];
                const Daemon& d = caller == "no_jwt" ? no_jwt : caller == "diag" ? diag : *base;
                const Reply r = d.get("/" + v.fields.at(0) + "?modem=5",
                                      tokens.contains(caller) ? cookie(tokens[caller]) : QStringList());
                QCOMPARE(r.status, v.fields.at(0).startsWith("api") ? 200 : 404);
                QVERIFY2(r.body.isEmpty() == (expected.at(c) == "0"),
                         qPrintable(caller + " on " + v.fields.at(0) + ": " + r.body));
            }
        }
    }

    void tokens_on_the_wire()
    {
        const QString path = "/api/el/modems_for_get_index";
        const QString admin = tokens["admin"];
        const QString claims = R"({"driver-strova5": {"admin": 1}})";
        const QString forged = mint(
            QString(R"({"exp": %1, "claims": %2})").arg(QDateTime::currentSecsSinceEpoch() + 600).arg(claims),
            R"(, "key": "Strova5-JWx")");
        struct Case
        {
            const char* name;
            QStringList args;
            bool served;
        };
        const QList<Case> cases{
            {"cookie", cookie(admin), true},
            {"exp = now", cookie(claims_token(claims, 0)), false},
            {"exp = now + 60", cookie(claims_token(claims, 60)), true},
            {"forged", cookie(forged), false},
            {"URL-safe Base64",
             cookie(mint(QString(R"({"exp": %1, "claims": %2, "p": "???>>>??>>"})")
                             .arg(QDateTime::currentSecsSinceEpoch() + 600)
                             .arg(claims),
                         R"(, "urlsafe": true)")),
             false},
            {"two parts",
             cookie(mint(QString(R"({"exp": %1, "claims": %2})")
                             .arg(QDateTime::currentSecsSinceEpoch() + 600)
                             .arg(claims),
                         R"(, "parts": 2)")),
             false},
            {"four parts",
             cookie(mint(QString(R"({"exp": %1, "claims": %2})")
                             .arg(QDateTime::currentSecsSinceEpoch() + 600)
                             .arg(claims),
                         R"(, "parts": 4)")),
             false},
            {"Authorization Bearer", {"-H", "Authorization: Bearer " + admin}, true},
            {"authorization bearer", {"-H", "authorization: bearer " + admin}, true},
            {"AUTHORIZATION", {"-H", "AUTHORIZATION: Bearer " + admin}, true},
            {"two spaces keep the cookie",
             cookie(admin) + QStringList{"-H", "Authorization: Bearer  " + forged}, true},
            {"forged bearer beats a valid cookie",
             cookie(admin) + QStringList{"-H", "Authorization: Bearer " + forged}, false},
        };
        for (const Case& c : cases) {
            const Reply r = base->get(path, c.args);
            QVERIFY2(r.status == 200 && r.body.isEmpty() != c.served, c.name);
        }
        QVERIFY(!base->log().contains(admin.section('.', 2))); // no token in the log
    }

    void framing()
    {
        Reply r = base->get("/api/info?callback=cb");
        QVERIFY(r.body.startsWith("cb({\"SW\"") && r.body.endsWith("})"));
        QCOMPARE(r.header("Content-Type"), QString("jsonp; charset=utf-8"));
        r = base->get("/api/nothing?callback=cb");
        QCOMPARE(r.body, QByteArray("cb()"));
        for (const char* hostile : {"alert(1)//", "a%0Ab", "x;y", ""}) {
            r = base->get(QString("/api/info?callback=") + hostile);
            QVERIFY2(r.body.startsWith("{\"SW\""), hostile);
            QCOMPARE(r.header("Content-Type"), QString("application/json; charset=utf-8"));
        }
        // Content-Length counts bytes: the captions are Cyrillic.
        r = base->get("/api/rights", cookie(tokens["auth"]));
        QVERIFY(r.body.contains(QString::fromUtf8("Просмотр показаний электросчетчика").toUtf8()));
        QCOMPARE(r.header("Content-Length").toInt(), r.body.size());
        // A repeated item keeps its first value.
        QCOMPARE(
            base->json("/api/time_sync/set?sync_source=first&sync_source=second", cookie(tokens["admin"]))
                .value("res")
                .toBool(),
            true);
        QCOMPARE(base->json("/api/info").value("time").toMap().value("sync_source").toString(),
                 QString("first"));
    }

    // No road leaves the daemon stuck: the next request is served after each.
    void every_road_frees_the_next()
    {
        const QList<QPair<QString, int>> roads{
            {"/favicon.ico", 404}, {"/nowhere", 404},  {"/ui/redir.html", 200}, {"/ui/missing", 404},
            {"/api", 200},         {"/api/info", 200}, {"/ui/../x", 404}};
        const QString etag = base->get("/ui/x.json").header("ETag");
        for (const auto& road : roads) {
            QCOMPARE(base->get(road.first).status, road.second);
            QVERIFY2(base->get("/api/info").body.startsWith("{\"SW\""), qPrintable(road.first));
        }
        QCOMPARE(base->get("/ui/x.json", {"-H", "If-None-Match: " + etag}).status, 304);
        QVERIFY(base->get("/api/info").body.startsWith("{\"SW\""));
    }

    void ui_files()
    {
        Reply r = base->get("/");
        QCOMPARE(r.status, 200);
        QCOMPARE(r.body, QByteArray("<html>redir</html>"));
        QCOMPARE(r.header("Content-Type"), QString("text/html; charset=utf-8"));
        const QString etag = r.header("ETag");
        QCOMPARE(etag.size(), 32);
        QCOMPARE(base->get("/driver_strova5/").body, QByteArray("<html>redir</html>"));
        QCOMPARE(base->get("/ui/redir.html", {"-H", "If-None-Match: " + etag}).status, 304);
        r = base->get("/ui/redir.html", {"-H", "If-None-Match: \"" + etag + "\""});
        QCOMPARE(r.status, 304);
        QCOMPARE(r.header("ETag"), etag);
        QVERIFY(r.body.isEmpty());
        QCOMPARE(base->get("/ui/x.json").header("Content-Type"), QString("text/javascript"));
        QCOMPARE(base->get("/ui/x.html.css").header("Content-Type"), QString("text/css"));

        // A rewritten file (newer modification time) is reloaded with a new ETag.
        QVERIFY(write_file(base->path("ui/redir.html"), "<html>new</html>"));
        QFile f(base->path("ui/redir.html"));
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(30), QFileDevice::FileModificationTime));
        f.close();
        r = base->get("/ui/redir.html", {"-H", "If-None-Match: " + etag});
        QCOMPARE(r.status, 200);
        QCOMPARE(r.body, QByteArray("<html>new</html>"));
        QVERIFY(r.header("ETag") != etag);

        for (const char* outside : {"/ui/../x", "/ui/a/%2E%2E/../x", "/ui/a/%2e%2e/b", "/ui/..", "/x"}) {
            r = base->get(outside);
            QVERIFY2(r.status == 404 && r.body.isEmpty() && r.header("Content-Length") == "0", outside);
        }
    }

    void time_sync()
    {
        Daemon d{QVariantMap()};
        QVERIFY(write_file(d.path("tst.json"), R"({"custom": {"k": [1, 2]}, "offset": 0})"));
        QVERIFY(d.start());
        const QStringList admin = cookie(tokens["admin"]);
        qint64 now = QDateTime::currentSecsSinceEpoch();
        QCOMPARE(
            d.json(QString("/api/time_sync/set?timestamp=%1").arg(now - 3600), admin).value("res").toBool(),
            true);
        qint64 shown = d.json("/api/info").value("time").toMap().value("timestamp").toLongLong();
        QVERIFY2(qAbs(shown - (QDateTime::currentSecsSinceEpoch() + 3600)) <= 2,
                 qPrintable(QString::number(shown)));
        QFile f(d.path("tst.json"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(f.readAll()).toVariant().toMap().value("custom"),
                 QVariant(QVariantMap{{"k", QVariantList{1, 2}}}));
        f.close();

        // Refused without the right: nothing changes.
        QVERIFY(d.get("/api/time_sync/set?offset=99", cookie(tokens["user"])).body.isEmpty());
        QCOMPARE(d.json("/api/info").value("time").toMap().value("offset").toString(), QString("0"));

        // A negative shift survives a restart.
        now = QDateTime::currentSecsSinceEpoch();
        d.json(QString("/api/time_sync/set?timestamp=%1").arg(now + 3600 + 1000), admin);
        d.stop();
        QVERIFY(d.start());
        shown = d.json("/api/info").value("time").toMap().value("timestamp").toLongLong();
        QVERIFY2(qAbs(shown - (QDateTime::currentSecsSinceEpoch() - 1000)) <= 3,
                 qPrintable(QString::number(shown)));

        // A read-only file answers false and stays as it was.
        QVERIFY(QFile::setPermissions(d.path("tst.json"),
                                      QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        QCOMPARE(d.get("/api/time_sync/set?offset=5", admin).body, QByteArray(R"({"res":false})"));
        QCOMPARE(d.json("/api/info").value("time").toMap().value("offset").toString(), QString("0"));
        QVERIFY(d.log().contains("(Err)"));
    }

    void port_in_use()
    {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        Daemon d(QVariantMap(), holder.serverPort());
        d.proc.start(d.path("driver_strova5"), {"-c", d.path("cfg.json"), "-l", d.path("log/drv.log")});
        QVERIFY(d.proc.waitForFinished(20000));
        QCOMPARE(d.proc.exitCode(), 252);
        const QString log = d.log();
        QVERIFY(log.contains("web created"));
        QVERIFY2(log.contains("(Exc)") && log.contains("api can't start"), qPrintable(log));
        QVERIFY(!log.contains("http created"));
    }

    // Values uplinks of display modems become display downlinks on the broker.
    void display_forwarding()
    {
        const QString uri = testsupport::service("STROVA_AMQP_URI");
        const QVariantMap rabbit{
            {"ul", QVariantMap{{"path", uri}, {"queue", "api_web_ul"}, {"host", "/api"}}},
            {"dl", QVariantMap{{"path", uri}, {"exchange", "api_web_dl"}, {"host", "/api"}}}};
        testsupport::amqp_peer(uri, {"declare-queue", "api_web_ul"});
        testsupport::amqp_peer(uri, {"bind", "api_web_dl", "api_web_cap", "#"});
        testsupport::amqp_peer(uri, {"drain", "api_web_cap"});
        Daemon d(QVariantMap{{"rabbit", rabbit}});
        QVERIFY(d.start());
        QTRY_VERIFY_WITH_TIMEOUT(d.log().contains("Rabbit consume"), 20000);

        // A client without "special" sends no display downlink.
        QVERIFY(d.get("/api/cmd/display?modem=7001&payload=FF", cookie(tokens["user"])).body.isEmpty());

        const QString ul = R"({"msg_type":"ul_app","modem_id":%1,"payload":"%2","time_detected":%3})";
        const qint64 t = QDateTime::currentSecsSinceEpoch() - 60;
        testsupport::amqp_peer(uri, {"publish", "api_web_ul", ul.arg(7001).arg("31028000003039").arg(t),
                                     ul.arg(7002).arg("32020000000000").arg(t),
                                     ul.arg(7003).arg("31028000003039").arg(t)});
        const QStringList expected{
            R"({"max_payload_len":8,"modem_id":7001,"msg_type":"dl","payload":"0A0B"})",
            R"({"max_payload_len":8,"modem_id":7002,"msg_type":"dl","payload":"0C0D"})",
            R"({"dl_freq":445040000,"f_ack":false,"max_payload_len":128,"modem_id":7004,"msg_type":"dl","payload":"31028000003039028000003039","station_id":55})",
        };
        QStringList got;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const QString& line : testsupport::amqp_peer(uri, {"drain", "api_web_cap"})) {
                    const QString body =
                        QJsonDocument::fromJson(line.toUtf8()).toVariant().toMap().value("body").toString();
                    if (!body.contains("status_id")) got << body; // commands of the scheduler aside
                }
                return got.size() >= expected.size();
            }(),
            20000);
        QCOMPARE(got, expected);
    }
};

QTEST_GUILESS_MAIN(tst_api_web)
#include "tst_api_web.moc"
