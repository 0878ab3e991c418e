// The API as a client meets it: curl against the real daemon, run from a temporary copy so
// that ui/ and tst.json are the test's, with the throwaway MariaDB and RabbitMQ.
#include "api_daemon.h"

#include <QTcpServer>
#include <memory>

using namespace api_daemon;

class tst_api_web : public QObject
{
    Q_OBJECT

    QMap<QString, QString> tokens;
    std::unique_ptr<Daemon> base;

    QStringList as(const QString& caller) const { return cookie(tokens.value(caller)); }
    QVariantMap time_of(const Daemon& d) const { return d.json("/api/info").value("time").toMap(); }
    bool serves(const Daemon& d) const { return d.get("/api/info").body.startsWith("{\"SW\""); }

private slots:
    void initTestCase()
    {
        QVERIFY2(testsupport::services_available(), "no throwaway services");
        QSqlDatabase db = testsupport::schema_database("st_api_web", "schema");
        QVERIFY(db.isOpen());
        // Display modems: 7001 shows "31", 7002 "32"; 7003 reports for display modem 7004 at station 55.
        QVERIFY(QSqlQuery(db).exec(R"(INSERT INTO modems_setting (modem_id, ts, state, setting, data) VALUES
            (7001, 1, 0, '31', '0A0B'), (7001, 1, 0, 'version', '{"sw":"1.0.4.0"}'),
            (7002, 1, 0, '32', '0C0D'), (7002, 1, 0, 'version', '{"sw":"1.0.4.0"}'),
            (7003, 1, 0, 'bs_display', '{"modem":7004,"bs":55}'), (7003, 1, 0, 'version', '{"sw":"1.0.4.0"}'),
            (7004, 1, 0, 'version', '{"sw":"1.0.4.0"}'))"));
        tokens = caller_tokens();
        base = std::make_unique<Daemon>(QVariantMap());
        QVERIFY2(base->start(), qPrintable(base->log()));
    }
    void cleanupTestCase() { base.reset(); }

    // Every answering route against every caller; the table is shared with the dispatcher's test.
    void rights_matrix()
    {
        const QStringList callers{"none", "user", "admin", "b_admin", "special", "auth", "no_jwt", "diag"};
        Daemon no_jwt(QVariantMap{{"api", QVariantMap{{"no_jwt", true}}}});
        Daemon diag(QVariantMap{{"api", QVariantMap{{"diagnostics", 1}}}});
        QVERIFY(no_jwt.start() && diag.start());
        for (const testsupport::Vector& v : testsupport::read_vectors(VECTORS("api_routes.txt"), "answered")) {
            const QStringList expected = v.fields.at(1).split(' ', Qt::SkipEmptyParts);
            for (int c = 0; c < callers.size(); ++c) {
                const Daemon& d = callers[c] == "no_jwt" ? no_jwt : callers[c] == "diag" ? diag : *base;
                const Reply r = d.get("/" + v.fields.at(0) + "?modem=5",
                                      tokens.contains(callers[c]) ? as(callers[c]) : QStringList());
                QCOMPARE(r.status, v.fields.at(0).startsWith("api") ? 200 : 404);
                QVERIFY2(r.body.isEmpty() == (expected.at(c) == "0"),
                         qPrintable(callers[c] + " on " + v.fields.at(0) + ": " + r.body));
            }
        }
    }

    void tokens_on_the_wire()
    {
        const QString admin = tokens["admin"], claims = R"({"driver-strova5": {"admin": 1}})";
        const QString payload =
            QString(R"({"exp": %1, "claims": %2})").arg(QDateTime::currentSecsSinceEpoch() + 600).arg(claims);
        const QString forged = mint(payload, R"(, "key": "Strova5-JWx")");
        const QString urlsafe = mint(QString(payload).replace("}}", R"(}, "p": "???>>>??>>"})"), R"(, "urlsafe": true)");
        const QList<QPair<QStringList, bool>> cases{
            {cookie(admin), true},
            {cookie(claims_token(claims, 0)), false}, // "exp" = now
            {cookie(claims_token(claims, 60)), true},
            {cookie(forged), false},
            {cookie(urlsafe), false},
            {cookie(mint(payload, R"(, "parts": 2)")), false},
            {cookie(mint(payload, R"(, "parts": 4)")), false},
            {{"-H", "Authorization: Bearer " + admin}, true},
            {{"-H", "authorization: bearer " + admin}, true},
            {{"-H", "AUTHORIZATION: Bearer " + admin}, true},
            {cookie(admin) + QStringList{"-H", "Authorization: Bearer  " + forged}, true}, // two spaces
            {cookie(admin) + QStringList{"-H", "Authorization: Bearer " + forged}, false},
        };
        for (int i = 0; i < cases.size(); ++i) {
            const Reply r = base->get("/api/el/modems_for_get_index", cases[i].first);
            QVERIFY2(r.status == 200 && r.body.isEmpty() != cases[i].second, qPrintable(QString::number(i)));
        }
        QVERIFY(!base->log().contains(admin.section('.', 2))); // no token in the log
    }

    void framing()
    {
        Reply r = base->get("/api/info?callback=cb");
        QVERIFY(r.body.startsWith("cb({\"SW\"") && r.body.endsWith("})"));
        QCOMPARE(r.header("Content-Type"), QString("jsonp; charset=utf-8"));
        QCOMPARE(base->get("/api/nothing?callback=cb").body, QByteArray("cb()"));
        for (const char* hostile : {"alert(1)//", "a%0Ab", "x;y", ""}) {
            r = base->get(QString("/api/info?callback=") + hostile);
            QVERIFY2(r.body.startsWith("{\"SW\""), hostile);
            QCOMPARE(r.header("Content-Type"), QString("application/json; charset=utf-8"));
        }
        r = base->get("/api/rights", as("auth")); // Cyrillic captions: the length counts bytes
        QVERIFY(r.body.contains(QString::fromUtf8("Просмотр показаний электросчетчика").toUtf8()));
        QCOMPARE(r.header("Content-Length").toInt(), r.body.size());
        QVERIFY(base->json("/api/time_sync/set?sync_source=first&sync_source=second", as("admin")).value("res").toBool());
        QCOMPARE(time_of(*base).value("sync_source").toString(), QString("first"));
    }

    // An installation's own key: tokens under the compiled key (public) are refused, its own are
    // taken; without one the compiled key still serves, and start-up says once that it is public.
    void own_token_key()
    {
        const QString payload = QString(R"({"exp": %1, "claims": {"driver-strova5": {"admin": 1}}})")
                                    .arg(QDateTime::currentSecsSinceEpoch() + 600);
        const QString compiled = tokens["admin"], own = mint(payload, R"(, "key": "own key 'x' \u0416")");
        Daemon keyed(QVariantMap{{"api", QVariantMap{{"jwt_key", QString::fromUtf8("own key 'x' Ж")}}}});
        QVERIFY(keyed.start());
        auto granted = [](const Daemon& d, const QString& token) {
            return !d.get("/api/el/modems_for_get_index", cookie(token)).body.isEmpty();
        };
        QVERIFY(!granted(keyed, compiled));
        QVERIFY(granted(keyed, own));
        QVERIFY(granted(*base, compiled));
        QVERIFY(!granted(*base, own));
        const QString warning = R"(no "jwt_key" set)";
        QCOMPARE(base->log().count(warning), 1);
        QCOMPARE(keyed.log().count(warning), 0);
    }

    // 12 MiB of callback and of an item, in a form body: the log grows by a few KiB at most,
    // and the answer is still right; so does a long query string.
    void long_texts_leave_the_log_small()
    {
        const QTemporaryDir dir;
        const QByteArray big(12 << 20, 'c');
        QVERIFY(write_file(dir.filePath("big"), big));
        auto log_size = [&] {
            qint64 n = 0;
            for (const QFileInfo& f : QDir(base->path("log")).entryInfoList({"*.log"}, QDir::Files))
                n += f.size();
            return n;
        };
        const qint64 before = log_size();
        const Reply r = base->get("/api/info", {"-F", "callback=<" + dir.filePath("big"), "-F",
                                                "anything=<" + dir.filePath("big")});
        QCOMPARE(r.status, 200);
        QVERIFY2(r.body.startsWith("{\"SW\""), r.body.left(100).constData()); // the name is no script name
        base->get("/api/info?callback=" + QString(64 << 10, 'q') + "&x=" + QString(64 << 10, 'x'));
        QVERIFY(serves(*base));
        QVERIFY2(log_size() - before < 8 * 1024, qPrintable(QString::number(log_size() - before)));
        QVERIFY(base->log().contains(" in all)"));
    }

    // No road leaves the daemon stuck: the next request is served after each.
    void every_road_frees_the_next()
    {
        const QString etag = base->get("/ui/x.json").header("ETag");
        const QList<QPair<QStringList, int>> roads{
            {{"/favicon.ico"}, 404}, {{"/nowhere"}, 404}, {{"/ui/redir.html"}, 200}, {{"/ui/missing"}, 404},
            {{"/api"}, 200},         {{"/api/info"}, 200}, {{"/ui/../x"}, 404},
            {{"/ui/x.json", "-H", "If-None-Match: " + etag}, 304}};
        for (const auto& road : roads) {
            QCOMPARE(base->get(road.first.at(0), road.first.mid(1)).status, road.second);
            QVERIFY2(serves(*base), qPrintable(road.first.at(0)));
        }
    }

    void ui_files()
    {
        Reply r = base->get("/");
        QVERIFY(r.status == 200 && r.body == "<html>redir</html>");
        QCOMPARE(r.header("Content-Type"), QString("text/html; charset=utf-8"));
        const QString etag = r.header("ETag");
        QCOMPARE(etag.size(), 32);
        QCOMPARE(base->get("/driver_strova5/").body, QByteArray("<html>redir</html>"));
        QCOMPARE(base->get("/ui/redir.html", {"-H", "If-None-Match: " + etag}).status, 304);
        r = base->get("/ui/redir.html", {"-H", "If-None-Match: \"" + etag + "\""});
        QVERIFY(r.status == 304 && r.header("ETag") == etag && r.body.isEmpty());
        QCOMPARE(base->get("/ui/x.json").header("Content-Type"), QString("text/javascript"));
        QCOMPARE(base->get("/ui/x.html.css").header("Content-Type"), QString("text/css"));

        // A rewritten file (newer modification time) is reloaded with a new ETag.
        QVERIFY(write_file(base->path("ui/redir.html"), "<html>new</html>"));
        QFile f(base->path("ui/redir.html"));
        QVERIFY(f.open(QIODevice::ReadWrite) &&
                f.setFileTime(QDateTime::currentDateTime().addSecs(30), QFileDevice::FileModificationTime));
        f.close();
        r = base->get("/ui/redir.html", {"-H", "If-None-Match: " + etag});
        QVERIFY(r.status == 200 && r.body == "<html>new</html>" && r.header("ETag") != etag);

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
        // The daemon reads its clock somewhere within each request: the seconds they take on a
        // loaded machine widen the window.
        qint64 slack = 0;
        auto timed = [&](auto request) {
            const qint64 before = QDateTime::currentSecsSinceEpoch();
            const auto result = request();
            slack += QDateTime::currentSecsSinceEpoch() - before;
            return result;
        };
        auto shown_minus_now = [&] {
            const qint64 shown = timed([&] { return time_of(d).value("timestamp").toLongLong(); });
            return shown - QDateTime::currentSecsSinceEpoch();
        };
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        QVERIFY(timed([&] {
            return d.json(QString("/api/time_sync/set?timestamp=%1").arg(now - 3600), as("admin"))
                .value("res")
                .toBool();
        }));
        const qint64 shifted = shown_minus_now();
        QVERIFY2(qAbs(shifted - 3600) <= 2 + slack,
                 qPrintable(QString("%1, slack %2").arg(shifted).arg(slack)));
        QFile f(d.path("tst.json"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(compact(QJsonDocument::fromJson(f.readAll()).toVariant().toMap().value("custom")),
                 QString(R"({"k":[1,2]})"));

        QVERIFY(d.get("/api/time_sync/set?offset=99", as("user")).body.isEmpty()); // no right
        QCOMPARE(time_of(d).value("offset").toString(), QString("0"));

        timed([&] {
            return d.json(
                QString("/api/time_sync/set?timestamp=%1").arg(QDateTime::currentSecsSinceEpoch() + 4600),
                as("admin"));
        });
        d.stop();
        QVERIFY(d.start());
        const qint64 restarted = shown_minus_now(); // a negative shift survives the restart
        QVERIFY2(qAbs(restarted + 1000) <= 3 + slack,
                 qPrintable(QString("%1, slack %2").arg(restarted).arg(slack)));

        QVERIFY(QFile::setPermissions(d.path("tst.json"), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        QCOMPARE(d.get("/api/time_sync/set?offset=5", as("admin")).body, QByteArray(R"({"res":false})"));
        QCOMPARE(time_of(d).value("offset").toString(), QString("0"));
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
        QVERIFY2(log.contains("web created") && log.contains("(Exc)") && log.contains("api can't start") &&
                     !log.contains("http created"),
                 qPrintable(log));
    }

    // Values uplinks of display modems become display downlinks on the broker.
    void display_forwarding()
    {
        const QString uri = testsupport::service("STROVA_AMQP_URI");
        testsupport::amqp_peer(uri, {"declare-queue", "api_web_ul"});
        testsupport::amqp_peer(uri, {"bind", "api_web_dl", "api_web_cap", "#"});
        drain("api_web_cap");
        Daemon d(QVariantMap{{"rabbit", rabbit("api_web_ul", "api_web_dl")}});
        QVERIFY(d.start(true));
        QVERIFY(d.get("/api/cmd/display?modem=7001&payload=FF", as("user")).body.isEmpty());

        const qint64 t = QDateTime::currentSecsSinceEpoch() - 60;
        publish("api_web_ul", {uplink(7001, "31028000003039", t), uplink(7002, "32020000000000", t),
                               uplink(7003, "31028000003039", t)});
        const QStringList expected{
            R"({"max_payload_len":8,"modem_id":7001,"msg_type":"dl","payload":"0A0B"})",
            R"({"max_payload_len":8,"modem_id":7002,"msg_type":"dl","payload":"0C0D"})",
            R"({"dl_freq":445040000,"f_ack":false,"max_payload_len":128,"modem_id":7004,"msg_type":"dl","payload":"31028000003039028000003039","station_id":55})",
        };
        QStringList got;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const QString& body : drain("api_web_cap"))
                    if (!body.contains("status_id")) got << body; // commands of the scheduler aside
                return got.size() >= expected.size();
            }(),
            20000);
        QCOMPARE(got, expected);
    }
};

QTEST_GUILESS_MAIN(tst_api_web)
#include "tst_api_web.moc"
