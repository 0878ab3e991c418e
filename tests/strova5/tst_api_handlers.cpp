// Commands, settings, registry views, administration, parse and the driver's own event log as
// a client meets them: curl against the real daemon with the throwaway MariaDB and RabbitMQ,
// tokens from an independent issuer, downlinks read from a capture queue bound to the
// daemon's exchange, rows read back from MariaDB.
#include "api_daemon.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <memory>

using namespace api_daemon;

namespace {

const QString k_db = "st_api_handlers";

QString enc(const QString& text)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(text));
}
QString compact(const QVariant& v)
{
    return QString::fromUtf8(QJsonDocument::fromVariant(v).toJson(QJsonDocument::Compact));
}

} // namespace

class tst_api_handlers : public QObject
{
    Q_OBJECT

    QMap<QString, QString> tokens; // caller -> token
    QString uri;
    QVariantMap rabbit;
    std::unique_ptr<Daemon> base;
    QSqlDatabase db;

    QStringList as(const QString& caller) const { return cookie(tokens.value(caller)); }
    QVariant scalar(const QString& statement, QSqlDatabase d = QSqlDatabase())
    {
        QSqlQuery q(d.isValid() ? d : db);
        if (!q.exec(statement)) qWarning() << q.lastError().text() << statement;
        return q.next() ? q.value(0) : QVariant();
    }
    // Bodies that reached the capture queue since the last call.
    QStringList drained()
    {
        QStringList out;
        for (const QString& line : testsupport::amqp_peer(uri, {"drain", "api_h_cap"}))
            out << QJsonDocument::fromJson(line.toUtf8()).toVariant().toMap().value("body").toString();
        return out;
    }
    void publish(const QStringList& bodies)
    {
        testsupport::amqp_peer(uri, QStringList{"publish", "api_h_ul"} + bodies);
    }
    static QString ul(uint32_t modem, const QString& payload, const QString& more = QString())
    {
        return QString(R"({"msg_type":"ul_app","modem_id":%1,"payload":"%2","time_detected":%3%4})")
            .arg(modem)
            .arg(payload)
            .arg(QDateTime::currentSecsSinceEpoch() - 30)
            .arg(more);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(testsupport::services_available(), "no throwaway services");
        db = testsupport::schema_database(k_db, "handlers");
        QVERIFY(db.isOpen());
        QSqlQuery q(db);
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        // 8101/8107 share firmware, 8102 runs the old form x.y.2, 8103 never told its version;
        // 8201 (new) and 8202 (old) take commands; 8104 holds archive rows to reload.
        QVERIFY(q.exec(R"(INSERT INTO modems_setting (modem_id, ts, state, setting, data) VALUES
            (8101, 1, 0, 'version', '{"sw":"1.0.4.0","hw":"h1"}'),
            (8107, 1, 0, 'version', '{"sw":"1.0.4.0","hw":"h2"}'),
            (8102, 1, 0, 'version', '{"sw":"3.1.2.9","hw":"h1"}'),
            (8103, 1, 0, 'radio', 'x'),
            (8201, 1, 0, 'version', '{"sw":"1.0.4.0"}'),
            (8202, 1, 0, 'version', '{"sw":"1.0.2.0"}'),
            (8104, 1, 0, 'arch_info_14', '{"index":14,"count_max":1000,"rec_size":12}'),
            (8104, 1, 0, 'arch_info_15', '{"index":15,"count_max":1000,"rec_size":20}'))"));
        QStringList rows;
        for (int i = 1; i <= 8; ++i) // hour archive, stored under the header byte 0x42
            rows << QString("(8104, %1, %1, 66, %2)").arg(now - i * 3600).arg(i);
        for (int i = 1; i <= 3; ++i) // day archive, 0x44
            rows << QString("(8104, %1, %1, 68, %2)").arg(now - i * 86400).arg(i);
        QVERIFY(q.exec("INSERT INTO modems_data (modem_id, ts, ts_get, `type`, `index`) VALUES " +
                       rows.join(',')));
        // Commands 0, 1 and 2 exist, so that a status list shows which numbers it asked for.
        QVERIFY(q.exec(R"(INSERT INTO modems_cmd (cmd_id, modem_id, ts, setting, state) VALUES
            (0, 8999, 1, 'a', 2), (1, 8999, 1, 'b', 3), (2, 8999, 1, 'c', 4))"));

        tokens["user"] = claims_token(R"({"driver-strova5": {"user": 1}})");
        tokens["admin"] = claims_token(R"({"driver-strova5": {"admin": 1}})");
        tokens["special"] = claims_token(R"({"driver-strova5": {"special": 1}})");
        tokens["b_admin"] = claims_token(R"({"b": {"admin": 1}})");
        tokens["user_b_admin"] = claims_token(R"({"driver-strova5": {"user": 1}, "b": {"admin": 1}})");

        uri = testsupport::service("STROVA_AMQP_URI");
        rabbit = QVariantMap{
            {"ul", QVariantMap{{"path", uri}, {"queue", "api_h_ul"}, {"host", "/api"}}},
            {"dl",
             QVariantMap{{"path", uri}, {"exchange", "api_h_dl"}, {"host", "/api"}, {"api_key", "k-22"}}}};
        testsupport::amqp_peer(uri, {"declare-queue", "api_h_ul"});
        testsupport::amqp_peer(uri, {"bind", "api_h_dl", "api_h_cap", "#"});
        drained();
        const QVariantMap api{
            {"authorization", QVariantList{QVariantMap{{"user", "ivan"}, {"pass", "s3cret-pw"}},
                                           QVariantMap{{"user", "nopass"}}}}};
        base = std::make_unique<Daemon>(QVariantMap{{"rabbit", rabbit}, {"api", api}, {"log_level", 7}}, 0,
                                        k_db);
        QVERIFY2(base->start(), qPrintable(base->log()));
        QTRY_VERIFY_WITH_TIMEOUT(base->log().contains("Rabbit consume"), 20000);
    }
    void cleanupTestCase() { base.reset(); }

    void settings()
    {
        const QStringList admin = as("admin");
        // A JSON object stays an object: in the answer, read back, and as valid JSON in MariaDB.
        const QString object = R"({"a":[1,2],"b":"x"})";
        QCOMPARE(base->get("/api/setting/set?modem=8103&code=my_obj&value=" + enc(object), admin).body,
                 QByteArray(R"({"8103":{"my_obj":{"a":[1,2],"b":"x"}}})"));
        QCOMPARE(base->get("/api/setting?modem=8103&code=my_obj").body,
                 QByteArray(R"({"8103":{"my_obj":{"a":[1,2],"b":"x"}}})"));
        QTRY_COMPARE_WITH_TIMEOUT(
            scalar("SELECT JSON_VALID(data) FROM modems_setting WHERE modem_id=8103 AND setting='my_obj'")
                .toInt(),
            1, 10000);
        // Text that only looks like JSON stays text.
        QCOMPARE(base->get("/api/setting/set?modem=8103&code=half&value=" + enc(R"({"a":)"), admin).body,
                 QByteArray("{\"8103\":{\"half\":\"{\\\"a\\\":\"}}"));
        QTRY_COMPARE_WITH_TIMEOUT(
            scalar("SELECT data FROM modems_setting WHERE modem_id=8103 AND setting='half'").toString(),
            QString(R"({"a":)"), 10000);

        // An empty code, or one longer than the setting column, writes nothing.
        const int before = scalar("SELECT COUNT(*) FROM modems_setting WHERE modem_id=8103").toInt();
        const QVariantMap all = base->json("/api/setting/set?modem=8103&code=&value=x", admin);
        QCOMPARE(all.value("8103").toMap().value("radio").toString(), QString("x"));
        const QString long_code(129, 'c');
        QCOMPARE(base->get("/api/setting/set?modem=8103&value=x&code=" + long_code, admin).body,
                 QByteArray(R"({"8103":{")" + long_code.toLatin1() + R"(":null}})"));
        // A write after them marks the end of the save that would have carried them.
        base->get("/api/setting/set?modem=8107&code=marker&value=1", admin);
        QTRY_COMPARE_WITH_TIMEOUT(scalar("SELECT COUNT(*) FROM modems_setting WHERE modem_id=8107").toInt(),
                                  2, 10000);
        QCOMPARE(scalar("SELECT COUNT(*) FROM modems_setting WHERE modem_id=8103").toInt(), before);

        // "DLMS" is false exactly for firmware x.y.2.
        const QVariantMap dlms = base->json("/api/setting?modem=8101,8102,8103,8555");
        QCOMPARE(dlms.value("8101").toMap().value("DLMS").toBool(), true);
        QCOMPARE(dlms.value("8102").toMap().value("DLMS").toBool(), false);
        QCOMPARE(dlms.value("8103").toMap().value("DLMS").toBool(), true);
        QCOMPARE(compact(dlms.value("8555")), QString(R"({"DLMS":true})"));
        QCOMPARE(base->get("/api/setting?modem=8103&code=version").body,
                 QByteArray(R"({"8103":{"version":null}})"));

        QCOMPARE(base->get("/api/setting/version_list?modem=8101,8107,8103").body,
                 QByteArray(R"({"hw":{"":[8103],"h1":[8101],"h2":[8107]},)"
                            R"("sw":{"":[8103],"1.0.4.0":[8101,8107]},"sw_size":{"":1,"1.0.4.0":2}})"));
        QCOMPARE(base->get("/api/setting/version_list").body,
                 QByteArray(R"({"hw":{},"sw":{},"sw_size":{}})"));
    }

    void commands()
    {
        drained();
        // One number per modem, the same in the command table and in the downlink.
        const QVariantMap ids =
            base->json("/api/cmd/send?modem=8201,8202&code=version").value("cmd_id").toMap();
        QCOMPARE(ids.size(), 2);
        const uint a = ids.value("8201").toUInt(), b = ids.value("8202").toUInt();
        QVERIFY(a != 0 && b == a + 1);
        QTRY_COMPARE_WITH_TIMEOUT(
            scalar(
                QString("SELECT CONCAT(modem_id, ' ', setting, ' ', state) FROM modems_cmd WHERE cmd_id=%1")
                    .arg(a))
                .toString(),
            QString("8201 version 1"), 10000);
        QStringList got;
        QTRY_VERIFY_WITH_TIMEOUT((got += drained()).size() >= 2, 10000);
        QCOMPARE(got.at(0), QString(R"({"ack":true,"api_key":"k-22","modem_id":8201,"msg_type":"dl",)"
                                    R"("payload":"EF06","status_id":"drvStrova5_%1"})")
                                .arg(a));
        QVERIFY(got.at(1).contains(QString(R"("status_id":"drvStrova5_%1")").arg(b)));

        // Delivered, then answered by the meter.
        const QString status = QString("/api/cmd/status?cmd_id=%1").arg(a);
        QCOMPARE(base->json(status).value(QString::number(a)).toString(), QString("PENDING"));
        publish({QString(R"({"msg_type":"dl_success","modem_id":8201,"status_id":"drvStrova5_%1"})").arg(a)});
        QTRY_COMPARE_WITH_TIMEOUT(base->json(status).value(QString::number(a)).toString(),
                                  QString("WAIT_DATA"), 10000);
        publish({ul(8201, "EE0012345678800000")});
        QTRY_COMPARE_WITH_TIMEOUT(base->json(status).value(QString::number(a)).toString(), QString("DONE"),
                                  10000);

        // The caller's rights reach the encoder.
        drained();
        const uint c = base->json("/api/cmd/send?modem=8201&code=1.0.0", as("user"))
                           .value("cmd_id")
                           .toMap()
                           .value("8201")
                           .toUInt();
        const uint d =
            base->json("/api/cmd/send?modem=8201&code=1.0.0").value("cmd_id").toMap().value("8201").toUInt();
        // A value the encoder refuses (old firmware, no such setting there) fails as well.
        const uint e = base->json("/api/cmd/send?modem=8202&code=0.8.4&value=60", as("admin"))
                           .value("cmd_id")
                           .toMap()
                           .value("8202")
                           .toUInt();
        const uint f = base->json("/api/cmd/send?modem=8202&code=version")
                           .value("cmd_id")
                           .toMap()
                           .value("8202")
                           .toUInt();
        QVERIFY(c && d && e && f);
        // The scheduler now talks to 8201 as well: look at these four numbers only.
        auto of = [](const QStringList& bodies, const QList<uint>& numbers) {
            QStringList out;
            for (const QString& body : bodies)
                for (uint n : numbers)
                    if (body.contains(QString(R"("status_id":"drvStrova5_%1")").arg(n))) out << body;
            return out;
        };
        got.clear();
        QTRY_VERIFY_WITH_TIMEOUT(!of(got += drained(), {f}).isEmpty(), 10000);
        got = of(got, {c, d, e, f});
        QCOMPARE(got.size(), 2); // c and f: nothing for d and e
        QVERIFY(got.at(0).contains(QString("drvStrova5_%1\"").arg(c)) &&
                got.at(0).contains(R"("payload":"F5[TIME]000000")"));
        QTRY_COMPARE_WITH_TIMEOUT(base->json(QString("/api/cmd/status?cmd_id=%1,%2,%3").arg(c).arg(d).arg(e)),
                                  (QVariantMap{{QString::number(c), "PENDING"},
                                               {QString::number(d), "FAILED"},
                                               {QString::number(e), "FAILED"}}),
                                  10000);

        // "1,x,,2" asks for 1, 0 and 2.
        QCOMPARE(base->get("/api/cmd/status?cmd_id=1,x,,2").body,
                 QByteArray(R"({"0":"WAIT_DATA","1":"DONE","2":"FAILED"})"));
    }

    // Quotes, backslashes and Cyrillic reach MariaDB byte for byte, and so does what the HTTP
    // library hands over of a %00 (the text before it); an unknown code is a failed row under
    // its exact name, sends nothing, and changes no other row.
    void hostile_texts_stored_exactly()
    {
        // Rows of modems the scheduler leaves alone (it talks to 8201 since its uplink).
        const QString others =
            "SELECT GROUP_CONCAT(cmd_id, ' ', modem_id, ' ', setting, ' ', state ORDER BY cmd_id) "
            "FROM modems_cmd WHERE modem_id<>8201";
        const QString settings_before = scalar("SELECT COUNT(*) FROM modems_setting").toString();
        const QString code = QString::fromUtf8("it's \"q\" \\ Кириллица ") + QChar(0) + "z";
        const QString value = QString::fromUtf8("v'a\"l\\ue Ж") + QChar(0) + "\\0";
        const QString before = scalar(others).toString();
        drained();
        const uint n = base->json("/api/cmd/send?modem=8202&code=" + enc(code) + "&value=" + enc(value))
                           .value("cmd_id")
                           .toMap()
                           .value("8202")
                           .toUInt();
        QVERIFY(n);
        QTRY_VERIFY_WITH_TIMEOUT(
            scalar(QString("SELECT COUNT(*) FROM modems_cmd WHERE cmd_id=%1").arg(n)).toInt() == 1, 10000);
        QSqlQuery q(db);
        QVERIFY(
            q.exec(QString("SELECT setting, state, data, modem_id FROM modems_cmd WHERE cmd_id=%1").arg(n)));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(), code.section(QChar(0), 0, 0));
        QCOMPARE(q.value(1).toInt(), 4);
        QCOMPARE(q.value(2).toString(), value.section(QChar(0), 0, 0));
        QCOMPARE(q.value(3).toUInt(), 8202u);
        QCOMPARE(scalar(others + QString(" AND cmd_id<>%1").arg(n)).toString(), before);
        QCOMPARE(scalar("SELECT COUNT(*) FROM modems_setting").toString(), settings_before);
        QVERIFY(!drained().join('\n').contains(QString("drvStrova5_%1\"").arg(n)));

        // A code too long for the command table queues nothing.
        const QString count = scalar("SELECT COUNT(*) FROM modems_cmd WHERE modem_id=8202").toString();
        QCOMPARE(base->get("/api/cmd/send?modem=8202&code=" + QString(129, 'k')).body,
                 QByteArray(R"({"cmd_id":{}})"));
        base->get("/api/setting/set?modem=8107&code=marker2&value=1", as("admin"));
        QTRY_COMPARE_WITH_TIMEOUT(
            scalar("SELECT COUNT(*) FROM modems_setting WHERE setting='marker2'").toInt(), 1, 10000);
        QCOMPARE(scalar("SELECT COUNT(*) FROM modems_cmd WHERE modem_id=8202").toString(), count);
    }

    void sendmessage()
    {
        drained();
        QCOMPARE(base->get("/api/sendmessage?modem=1A&message=" + enc("hello [TIME]") + "&status_id=abc",
                           as("admin"))
                     .body,
                 QByteArray(R"({"messageId":true,"result":"ok"})"));
        QVERIFY(base->get("/api/sendmessage?modem=1A&message=x", as("user")).body.isEmpty());
        QStringList lines, mine;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const QString& line : testsupport::amqp_peer(uri, {"drain", "api_h_cap"}))
                    if (line.contains("\\\"modem_id\\\":26")) mine << line;
                return !mine.isEmpty();
            }(),
            10000);
        lines = mine;
        QCOMPARE(lines.size(), 1);
        const QVariantMap m = QJsonDocument::fromJson(lines.at(0).toUtf8()).toVariant().toMap();
        QCOMPARE(m.value("body").toString(), QString(R"({"api_key":"k-22","modem_id":26,"msg_type":"dl",)"
                                                     R"("payload":"hello [TIME]","status_id":"abc"})"));
        QCOMPARE(m.value("routing_key").toString(), QString("api.ostrel"));
        QVERIFY(!base->log().contains("k-22"));
    }

    void registry_indexes()
    {
        const QStringList admin = as("admin");
        auto view = [&](const QString& items) {
            return base->json("/api/RAM/indexes?modem=8104&" + items, admin).value("8104").toMap();
        };
        auto indexes = [](const QVariantMap& v, const char* arch) {
            return v.value(arch).toMap().value("|indexes_txt").toMap().keys();
        };
        QVERIFY(base->json("/api/RAM/indexes?modem=8999,8104", admin).size() == 1); // 8999 is not held

        view("code=reload");
        QTRY_COMPARE_WITH_TIMEOUT(indexes(view(""), "15_hour").size(), 8, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(indexes(view(""), "14_day").size(), 3, 10000);
        QVariantMap v = view("");
        QCOMPARE(v.value("modem_id").toUInt(), 8104u);
        QVERIFY(v.contains("in get_index") && v.value("15_hour").toMap().value("is_loaded").toBool());

        v = view("code=remove&arch=15&indexes=3,5");
        QCOMPARE(indexes(v, "15_hour"), (QStringList{"1", "2", "4", "6", "7", "8"}));
        QCOMPARE(indexes(v, "14_day").size(), 3);
        v = view("code=remove&arch=270&indexes=2"); // 270 is 14 in 8 bits
        QCOMPARE(indexes(v, "14_day"), (QStringList{"1", "3"}));
        v = view("code=remove&arch=16&indexes=1");
        QCOMPARE(indexes(v, "14_day").size() + indexes(v, "15_hour").size(), 8);

        v = view("code=clear");
        QVERIFY(indexes(v, "14_day").isEmpty() && indexes(v, "15_hour").isEmpty());
        QVERIFY(!v.value("15_hour").toMap().value("is_loaded").toBool());
        QCOMPARE(v.value("15_hour").toMap().value("max_count").toInt(), 797); // geometry applied again

        view("code=reload");
        QTRY_COMPARE_WITH_TIMEOUT(indexes(view(""), "15_hour").size(), 8, 10000);
    }

    void registry_base_stations()
    {
        publish({ul(8301, "32020000000000",
                    R"(,"last_dl_bs":301,"last_dl_bs_busyness":42,"last_dl_bs_aver_busyness":17)"),
                 ul(8302, "32020000000000",
                    R"(,"last_dl_bs":302,"last_dl_bs_busyness":5,"last_dl_bs_aver_busyness":50)")});
        QVariantMap bs;
        QTRY_COMPARE_WITH_TIMEOUT((bs = base->json("/api/RAM/bs", as("b_admin"))).size(), 2, 10000);
        const QVariantMap b301 = bs.value("301").toMap();
        QCOMPARE(b301.value("bs").toInt(), 301);
        QCOMPARE(qRound(b301.value("busyness").toDouble()), 42);
        QCOMPARE(qRound(b301.value("aver_busyness").toDouble()), 17);
        QCOMPARE(qRound(bs.value("302").toMap().value("aver_busyness").toDouble()), 50);
        const QVariantMap v = base->json("/api/RAM/indexes?modem=8302", as("special")).value("8302").toMap();
        QCOMPARE(v.value("bs").toMap().value("bs").toInt(), 302);
        QVERIFY(base->get("/api/RAM/bs", as("user")).body.isEmpty());
    }

    void system_rights_per_role()
    {
        const QString path = "/api/system?code=rights";
        QCOMPARE(base->get(path, as("admin")).body, QByteArray(R"(["special","control","settings","view"])"));
        QCOMPARE(base->get(path, as("special")).body, QByteArray(R"(["special"])"));
        QCOMPARE(base->get(path, as("b_admin")).body, QByteArray(R"(["_b_admin"])"));
        QCOMPARE(base->get(path, as("user_b_admin")).body,
                 QByteArray(R"(["control","settings","view","_b_admin"])"));
        QVERIFY(base->get(path, as("user")).body.isEmpty());
        QVERIFY(base->get("/api/system?code=x", as("admin")).body.isEmpty());
    }

    void login()
    {
        auto failures = [&] {
            return scalar("SELECT COUNT(*) FROM modems_event WHERE modem_id=1 AND event=7 AND `type`=255")
                .toInt();
        };
        auto login = [&](const QString& items) { return base->get("/api/authorization?" + items).body; };
        QCOMPARE(login("user=ivan&pass=s3cret-pw"), QByteArray(R"({"res":true})"));
        const int before = failures();
        const qint64 t0 = QDateTime::currentSecsSinceEpoch();
        QCOMPARE(login("user=ivan&pass=wrong-pw-77"), QByteArray(R"({"res":false})"));
        QTRY_COMPARE_WITH_TIMEOUT(failures(), before + 1, 10000);
        const qint64 ts =
            scalar("SELECT MAX(ts) FROM modems_event WHERE modem_id=1 AND event=7").toLongLong();
        QVERIFY2(ts >= t0 && ts <= QDateTime::currentSecsSinceEpoch(), qPrintable(QString::number(ts)));
        // Case counts, every item must be there, and an account without "pass" matches nothing;
        // each failure is recorded (failures of one second share their row).
        const int recorded = base->log().count("save fail auth event");
        QCOMPARE(login("user=IVAN&pass=s3cret-pw"), QByteArray(R"({"res":false})"));
        QCOMPARE(login("user=ivan"), QByteArray(R"({"res":false})"));
        QCOMPARE(login("user=nopass&pass="), QByteArray(R"({"res":false})"));
        const QString log = base->log();
        QCOMPARE(log.count("save fail auth event"), recorded + 3);
        QVERIFY(log.contains("save fail auth event") && log.contains("ivan"));
        QVERIFY(!log.contains("s3cret-pw") && !log.contains("wrong-pw-77"));
    }

    void parse()
    {
        const QString rows = "SELECT COUNT(*) FROM modems_data";
        const int before = scalar(rows).toInt();
        const qint64 t0 = QDateTime::currentSecsSinceEpoch();
        const QVariantMap answer =
            base->json("/api/diagnostics/parse?data=" + enc("31 02-80 00:00:30:39 zz"), as("special"));
        QCOMPARE(answer.value("modem_id").toUInt(), 1u);
        QCOMPARE(answer.value("header").toInt(), 0x31);
        QCOMPARE(answer.value("payload").toString(), QString("31028000003039"));
        QVERIFY(qAbs(answer.value("ts_get").toLongLong() - t0) <= 2);
        const QVariantList datas = answer.value("ul_datas").toList();
        QCOMPARE(datas.size(), 1);
        QCOMPARE(datas.at(0).toMap().value("1.0.1.8.0.255").toDouble(), 12.345);
        QVERIFY(!base->json("/api/diagnostics/parse?data=", as("admin")).isEmpty());
        QVERIFY(base->get("/api/diagnostics/parse?data=3102800000303", as("user")).body.isEmpty());
        base->get("/api/setting/set?modem=8107&code=marker3&value=1", as("admin"));
        QTRY_COMPARE_WITH_TIMEOUT(
            scalar("SELECT COUNT(*) FROM modems_setting WHERE setting='marker3'").toInt(), 1, 10000);
        QCOMPARE(scalar(rows).toInt(), before);
    }

    // Without "uspd_events" the driver keeps no log of its own runs.
    void no_own_event_log_without_the_key()
    {
        QCOMPARE(
            scalar("SELECT COUNT(*) FROM modems_event WHERE modem_id=1 AND event IN (112,113,114)").toInt(),
            0);
        QCOMPARE(scalar("SELECT COUNT(*) FROM modems_setting WHERE modem_id=1").toInt(), 0);
    }

    void own_event_log()
    {
        QSqlDatabase ev = testsupport::schema_database("st_api_events", "events");
        QVERIFY(ev.isOpen());
        const QString events =
            "SELECT GROUP_CONCAT(event, '@', ts ORDER BY ts, event DESC) FROM modems_event "
            "WHERE modem_id=1 AND `type`=255";
        const QString update_ts = "SELECT data FROM modems_setting WHERE modem_id=1 AND setting='update_ts'";
        Daemon d(QVariantMap{{"api", QVariantMap{{"uspd_events", true}}}}, 0, "st_api_events");
        const qint64 t0 = QDateTime::currentSecsSinceEpoch();
        QVERIFY(d.start());
        QTRY_VERIFY_WITH_TIMEOUT(!scalar(update_ts, ev).isNull(), 10000);
        const QStringList first = scalar(events, ev).toString().split(',');
        QCOMPARE(first.size(), 3);
        const qint64 at = first.at(0).section('@', 1).toLongLong();
        const qint64 start = first.at(1).section('@', 1).toLongLong();
        QVERIFY2(at >= t0 + 1 && at <= t0 + 15, qPrintable(first.join(',')));
        QVERIFY(start == at || start == at + 1); // the clock is read twice in the first tick
        QCOMPARE(first, (QStringList{QString("114@%1").arg(at), QString("113@%1").arg(start),
                                     QString("112@%1").arg(start)}));
        QVERIFY(scalar(update_ts, ev).toLongLong() >= start);

        // Ticks go on refreshing "update_ts"; a stop leaves the last one, which the next start
        // reports with 114.
        QTRY_VERIFY_WITH_TIMEOUT(scalar(update_ts, ev).toLongLong() >= at + 2, 10000);
        d.stop();
        const qint64 last = scalar(update_ts, ev).toLongLong();
        QVERIFY(d.start());
        QTRY_COMPARE_WITH_TIMEOUT(scalar(events, ev).toString().split(',').size(), 6, 10000);
        const QStringList second = scalar(events, ev).toString().split(',').mid(3);
        QCOMPARE(second.at(0), QString("114@%1").arg(last));
        QVERIFY(second.at(1).startsWith("113@") && second.at(2).startsWith("112@"));
        QVERIFY(second.at(1).section('@', 1).toLongLong() > last);
    }

    // Uplinks in flight and a pending setting when "restart" arrives: the reply comes, the
    // daemon ends with 0, and whatever the broker saw acknowledged is in MariaDB.
    void restart_keeps_everything()
    {
        QSqlDatabase rs = testsupport::schema_database("st_api_restart", "restart");
        QVERIFY(rs.isOpen());
        testsupport::amqp_peer(uri, {"declare-queue", "api_r_ul"});
        testsupport::amqp_peer(uri, {"drain", "api_r_ul"});
        QVariantMap r = rabbit;
        r.insert("ul", QVariantMap{{"path", uri}, {"queue", "api_r_ul"}, {"host", "/api"}});
        // A long save period: only the shutdown road can have written the rows.
        Daemon d(QVariantMap{{"rabbit", r}, {"sql", QVariantMap{{"data_ms", 600000}}}}, 0, "st_api_restart");
        QVERIFY(d.start());
        QTRY_VERIFY_WITH_TIMEOUT(d.log().contains("Rabbit consume"), 20000);
        QCOMPARE(d.get("/api/setting/set?modem=9000&code=pending&value=kept", as("admin")).status, 200);
        QStringList bodies;
        for (uint32_t m = 9001; m <= 9300; ++m)
            bodies << ul(m, "32020000000000");
        testsupport::amqp_peer(uri, QStringList{"publish", "api_r_ul"} + bodies);
        const Reply reply = d.get("/api/system?code=restart", as("b_admin"));
        QCOMPARE(reply.status, 200);
        QVERIFY(reply.body.isEmpty());
        QVERIFY(d.proc.waitForFinished(20000));
        QCOMPARE(d.proc.exitStatus(), QProcess::NormalExit);
        QCOMPARE(d.proc.exitCode(), 0);

        const QVariantMap left =
            QJsonDocument::fromJson(testsupport::amqp_peer(uri, {"stats", "api_r_ul"}).value(0).toUtf8())
                .toVariant()
                .toMap();
        const int waiting = left.value("messages").toInt();
        QCOMPARE(scalar("SELECT COUNT(*) FROM modems_data WHERE modem_id BETWEEN 9001 AND 9300", rs).toInt(),
                 300 - waiting);
        QCOMPARE(scalar("SELECT data FROM modems_setting WHERE modem_id=9000 AND setting='pending'", rs)
                     .toString(),
                 QString("kept"));
        testsupport::amqp_peer(uri, {"drain", "api_r_ul"});
    }

    void registry_modem_list_is_bounded()
    {
        QSqlDatabase many = testsupport::schema_database("st_api_many", "many");
        QVERIFY(many.isOpen());
        QStringList rows;
        for (int m = 20001; m <= 26000; ++m)
            rows << QString("(%1, 1, 0, 'radio', 'x')").arg(m);
        QSqlQuery q(many);
        QVERIFY(q.exec("INSERT INTO modems_setting (modem_id, ts, state, setting, data) VALUES " +
                       rows.join(',')));
        Daemon d(QVariantMap(), 0, "st_api_many");
        QVERIFY(d.start());
        const QVariantList ids =
            QJsonDocument::fromJson(d.get("/api/RAM/modems", as("admin")).body).toVariant().toList();
        QCOMPARE(ids.size(), 5001);
        QSet<uint> seen;
        for (const QVariant& v : ids)
            seen.insert(v.toUInt());
        QCOMPARE(seen.size(), 5001);
        for (uint id : seen) // the meters, and the pseudo modem 2 with the driver's own settings
            QVERIFY2((id >= 20001 && id <= 26000) || id == 2, qPrintable(QString::number(id)));
    }
};

QTEST_GUILESS_MAIN(tst_api_handlers)
#include "tst_api_handlers.moc"
