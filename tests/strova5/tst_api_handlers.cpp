// Commands, settings, registry views, administration, parse and the driver's own event log as
// a client meets them: curl against the real daemon with the throwaway MariaDB and RabbitMQ,
// tokens from an independent issuer, downlinks read from a capture queue bound to the
// daemon's exchange, rows read back from MariaDB.
#include "api_daemon.h"

#include <memory>

using namespace api_daemon;

class tst_api_handlers : public QObject
{
    Q_OBJECT

    QMap<QString, QString> tokens;
    std::unique_ptr<Daemon> base;
    QSqlDatabase db;

    QStringList as(const QString& caller) const { return cookie(tokens.value(caller)); }
    QVariant scalar(const QString& statement) const { return api_daemon::scalar(db, statement); }
    int count(const QString& where) const { return scalar("SELECT COUNT(*) FROM " + where).toInt(); }
    // A setting written after the rows under test: once it is stored, so is what came before.
    void settle(const QString& marker)
    {
        base->get("/api/setting/set?modem=8107&value=1&code=" + marker, as("admin"));
        QTRY_COMPARE_WITH_TIMEOUT(count("modems_setting WHERE setting='" + marker + "'"), 1, 10000);
    }
    uint sent(const QString& items, const QStringList& args = {}) const
    {
        const QVariantMap ids = base->json("/api/cmd/send?" + items, args).value("cmd_id").toMap();
        return ids.isEmpty() ? 0 : ids.first().toUInt();
    }
    static QString ul(uint32_t modem, const QString& payload, const QString& more = QString())
    {
        return uplink(modem, payload, QDateTime::currentSecsSinceEpoch() - 30, more);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(testsupport::services_available(), "no throwaway services");
        db = testsupport::schema_database("st_api_handlers", "handlers");
        QVERIFY(db.isOpen());
        QSqlQuery q(db);
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        // 8101/8107 share firmware, 8102 runs the old form x.y.2, 8103 never told its version;
        // 8201 (new) and 8202 (old) take commands; 8104 holds archive rows to reload.
        QVERIFY(q.exec(R"(INSERT INTO modems_setting (modem_id, ts, state, setting, data) VALUES
            (8101, 1, 0, 'version', '{"sw":"1.0.4.0","hw":"h1"}'), (8107, 1, 0, 'version', '{"sw":"1.0.4.0","hw":"h2"}'),
            (8102, 1, 0, 'version', '{"sw":"3.1.2.9","hw":"h1"}'), (8103, 1, 0, 'radio', 'x'),
            (8201, 1, 0, 'version', '{"sw":"1.0.4.0"}'), (8202, 1, 0, 'version', '{"sw":"1.0.2.0"}'),
            (8104, 1, 0, 'arch_info_14', '{"index":14,"count_max":1000,"rec_size":12}'),
            (8104, 1, 0, 'arch_info_15', '{"index":15,"count_max":1000,"rec_size":20}'))"));
        QStringList rows; // hour archive under the header byte 0x42, day archive under 0x44
        for (int i = 1; i <= 8; ++i)
            rows << QString("(8104, %1, %1, 66, %2)").arg(now - i * 3600).arg(i);
        for (int i = 1; i <= 3; ++i)
            rows << QString("(8104, %1, %1, 68, %2)").arg(now - i * 86400).arg(i);
        QVERIFY(q.exec("INSERT INTO modems_data (modem_id, ts, ts_get, `type`, `index`) VALUES " + rows.join(',')));
        // Commands 0, 1 and 2 exist, so that a status list shows which numbers it asked for.
        QVERIFY(q.exec(R"(INSERT INTO modems_cmd (cmd_id, modem_id, ts, setting, state) VALUES
            (0, 8999, 1, 'a', 2), (1, 8999, 1, 'b', 3), (2, 8999, 1, 'c', 4))"));
        tokens = caller_tokens();
        tokens["user_b_admin"] = claims_token(R"({"driver-strova5": {"user": 1}, "b": {"admin": 1}})");

        const QString uri = testsupport::service("STROVA_AMQP_URI");
        testsupport::amqp_peer(uri, {"declare-queue", "api_h_ul"});
        testsupport::amqp_peer(uri, {"bind", "api_h_dl", "api_h_cap", "#"});
        drain("api_h_cap");
        const QVariantMap api{{"authorization", QVariantList{QVariantMap{{"user", "ivan"}, {"pass", "s3cret-pw"}},
                                                             QVariantMap{{"user", "nopass"}}}}};
        base = std::make_unique<Daemon>(
            QVariantMap{{"rabbit", rabbit("api_h_ul", "api_h_dl", {{"api_key", "k-22"}})}, {"api", api}, {"log_level", 7}},
            0, "st_api_handlers");
        QVERIFY2(base->start(true), qPrintable(base->log()));
    }
    void cleanupTestCase() { base.reset(); }

    // Answers that no other request changes.
    void answers_data() { testsupport::vector_rows(VECTORS("api_handlers.txt"), "answers"); }
    void answers()
    {
        QFETCH(QStringList, f);
        QCOMPARE(base->get(f.at(1), f.at(0) == "-" ? QStringList() : as(f.at(0))).body, f.at(2) == "-" ? QByteArray() : f.at(2).toUtf8());
    }

    void settings()
    {
        const QStringList admin = as("admin");
        // A JSON object stays an object: in the answer, read back, and as valid JSON in MariaDB.
        const QByteArray object = R"({"8103":{"my_obj":{"a":[1,2],"b":"x"}}})";
        QCOMPARE(base->get("/api/setting/set?modem=8103&code=my_obj&value=" + enc(R"({"a":[1,2],"b":"x"})"), admin).body,
                 object);
        QCOMPARE(base->get("/api/setting?modem=8103&code=my_obj").body, object);
        QTRY_COMPARE_WITH_TIMEOUT(
            scalar("SELECT JSON_VALID(data) FROM modems_setting WHERE modem_id=8103 AND setting='my_obj'").toInt(), 1,
            10000);
        // Text that only looks like JSON stays text.
        QCOMPARE(base->get("/api/setting/set?modem=8103&code=half&value=" + enc(R"({"a":)"), admin).body,
                 QByteArray("{\"8103\":{\"half\":\"{\\\"a\\\":\"}}"));
        QTRY_COMPARE_WITH_TIMEOUT(scalar("SELECT data FROM modems_setting WHERE setting='half'").toString(),
                                  QString(R"({"a":)"), 10000);

        // An empty code, or one longer than the setting column, writes nothing.
        const int before = count("modems_setting WHERE modem_id=8103");
        QCOMPARE(base->json("/api/setting/set?modem=8103&code=&value=x", admin).value("8103").toMap().value("radio"),
                 QVariant("x"));
        const QString long_code(129, 'c');
        QCOMPARE(base->get("/api/setting/set?modem=8103&value=x&code=" + long_code, admin).body,
                 QByteArray(R"({"8103":{")" + long_code.toLatin1() + R"(":null}})"));
        settle("marker1");
        QCOMPARE(count("modems_setting WHERE modem_id=8103"), before);

        // "DLMS" is false exactly for firmware x.y.2.
        const QVariantMap dlms = base->json("/api/setting?modem=8101,8102,8103,8555");
        QString flags;
        for (const char* m : {"8101", "8102", "8103"})
            flags += dlms.value(m).toMap().value("DLMS").toBool() ? "1" : "0";
        QCOMPARE(flags, QString("101"));
        QCOMPARE(compact(dlms.value("8555")), QString(R"({"DLMS":true})"));
    }

    void commands()
    {
        drain("api_h_cap");
        // One number per modem, the same in the command table and in the downlink.
        const QVariantMap ids = base->json("/api/cmd/send?modem=8201,8202&code=version").value("cmd_id").toMap();
        const uint a = ids.value("8201").toUInt(), b = ids.value("8202").toUInt();
        QVERIFY(ids.size() == 2 && a != 0 && b == a + 1);
        QTRY_COMPARE_WITH_TIMEOUT(
            scalar(QString("SELECT CONCAT(modem_id, ' ', setting, ' ', state) FROM modems_cmd WHERE cmd_id=%1").arg(a))
                .toString(),
            QString("8201 version 1"), 10000);
        QStringList got;
        QTRY_VERIFY_WITH_TIMEOUT((got += drain("api_h_cap")).size() >= 2, 10000);
        QCOMPARE(got.at(0), QString(R"({"ack":true,"api_key":"k-22","modem_id":8201,"msg_type":"dl",)"
                                    R"("payload":"EF06","status_id":"drvStrova5_%1"})")
                                .arg(a));
        QVERIFY(got.at(1).contains(QString(R"("status_id":"drvStrova5_%1")").arg(b)));

        // Delivered, then answered by the meter.
        auto status = [&](uint n) { return base->json(QString("/api/cmd/status?cmd_id=%1").arg(n)).value(QString::number(n)); };
        QCOMPARE(status(a), QVariant("PENDING"));
        publish("api_h_ul", {QString(R"({"msg_type":"dl_success","modem_id":8201,"status_id":"drvStrova5_%1"})").arg(a)});
        QTRY_COMPARE_WITH_TIMEOUT(status(a), QVariant("WAIT_DATA"), 10000);
        publish("api_h_ul", {ul(8201, "EE0012345678800000")});
        QTRY_COMPARE_WITH_TIMEOUT(status(a), QVariant("DONE"), 10000);

        // The caller's rights reach the encoder; a value the old firmware lacks fails as well.
        drain("api_h_cap");
        const uint c = sent("modem=8201&code=1.0.0", as("user")), d = sent("modem=8201&code=1.0.0"),
                   e = sent("modem=8202&code=0.8.4&value=60", as("admin")), f = sent("modem=8202&code=version");
        QVERIFY(c && d && e && f);
        // The scheduler now talks to 8201 as well: look at these four numbers only.
        auto of = [&](const QStringList& bodies) {
            QStringList out;
            for (const QString& body : bodies)
                for (uint n : {c, d, e, f})
                    if (body.contains(QString(R"("status_id":"drvStrova5_%1")").arg(n))) out << body;
            return out;
        };
        got.clear();
        QTRY_VERIFY_WITH_TIMEOUT(of(got += drain("api_h_cap")).join(' ').contains(QString("drvStrova5_%1\"").arg(f)), 10000);
        got = of(got);
        QCOMPARE(got.size(), 2); // c and f: nothing for d and e
        QVERIFY(got.at(0).contains(QString("drvStrova5_%1\"").arg(c)) && got.at(0).contains(R"("payload":"F5[TIME]000000")"));
        QTRY_COMPARE_WITH_TIMEOUT(
            base->json(QString("/api/cmd/status?cmd_id=%1,%2,%3").arg(c).arg(d).arg(e)),
            (QVariantMap{{QString::number(c), "PENDING"}, {QString::number(d), "FAILED"}, {QString::number(e), "FAILED"}}),
            10000);
    }

    // Quotes, backslashes and Cyrillic reach MariaDB byte for byte, and so does what the HTTP
    // library hands over of a %00 (the text before it); an unknown code is a failed row under
    // its exact name, sends nothing, and changes no other row.
    void hostile_texts_stored_exactly()
    {
        // Rows of modems the scheduler leaves alone (it talks to 8201 since its uplink).
        const QString others = "SELECT GROUP_CONCAT(cmd_id, ' ', modem_id, ' ', setting, ' ', state ORDER BY cmd_id) "
                               "FROM modems_cmd WHERE modem_id<>8201";
        // The settings as the earlier tests leave them: the scheduler's stamps for 8201's uplink
        // go out in a later step of a run than the status the commands test waited for.
        settle("marker0");
        const int settings_before = count("modems_setting");
        const QString code = QString::fromUtf8("it's \"q\" \\ Кириллица ") + QChar(0) + "z";
        const QString value = QString::fromUtf8("v'a\"l\\ue Ж") + QChar(0) + "\\0";
        const QString before = scalar(others).toString();
        drain("api_h_cap");
        const uint n = sent("modem=8202&code=" + enc(code) + "&value=" + enc(value));
        QVERIFY(n);
        const QString row = QString("modems_cmd WHERE cmd_id=%1").arg(n);
        QTRY_COMPARE_WITH_TIMEOUT(count(row), 1, 10000);
        QCOMPARE(scalar("SELECT setting FROM " + row).toString(), code.section(QChar(0), 0, 0));
        QCOMPARE(scalar("SELECT data FROM " + row).toString(), value.section(QChar(0), 0, 0));
        QCOMPARE(scalar("SELECT CONCAT(state, ' ', modem_id) FROM " + row).toString(), QString("4 8202"));
        QCOMPARE(scalar(others + QString(" AND cmd_id<>%1").arg(n)).toString(), before);
        QCOMPARE(count("modems_setting"), settings_before);
        QVERIFY(!drain("api_h_cap").join('\n').contains(QString("drvStrova5_%1\"").arg(n)));

        // A code too long for the command table queues nothing.
        const int cmds = count("modems_cmd WHERE modem_id=8202");
        QCOMPARE(base->get("/api/cmd/send?modem=8202&code=" + QString(129, 'k')).body, QByteArray(R"({"cmd_id":{}})"));
        settle("marker2");
        QCOMPARE(count("modems_cmd WHERE modem_id=8202"), cmds);
    }

    void sendmessage()
    {
        drain("api_h_cap");
        QCOMPARE(base->get("/api/sendmessage?modem=1A&message=" + enc("hello [TIME]") + "&status_id=abc", as("admin")).body,
                 QByteArray(R"({"messageId":true,"result":"ok"})"));
        const QString uri = testsupport::service("STROVA_AMQP_URI");
        QStringList mine;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const QString& line : testsupport::amqp_peer(uri, {"drain", "api_h_cap"}))
                    if (line.contains("\\\"modem_id\\\":26")) mine << line;
                return !mine.isEmpty();
            }(),
            10000);
        QCOMPARE(mine.size(), 1);
        const QVariantMap m = QJsonDocument::fromJson(mine.at(0).toUtf8()).toVariant().toMap();
        QCOMPARE(m.value("body").toString(), QString(R"({"api_key":"k-22","modem_id":26,"msg_type":"dl",)"
                                                     R"("payload":"hello [TIME]","status_id":"abc"})"));
        QCOMPARE(m.value("routing_key").toString(), QString("api.ostrel"));
        QVERIFY(!base->log().contains("k-22"));
    }

    void registry_indexes()
    {
        auto view = [&](const QString& items) {
            return base->json("/api/RAM/indexes?modem=8104&" + items, as("admin")).value("8104").toMap();
        };
        auto indexes = [](const QVariantMap& v, const char* arch) {
            return v.value(arch).toMap().value("|indexes_txt").toMap().keys().join(',');
        };
        QCOMPARE(base->json("/api/RAM/indexes?modem=8999,8104", as("admin")).keys(), QStringList{"8104"});
        view("code=reload");
        QTRY_COMPARE_WITH_TIMEOUT(indexes(view(""), "15_hour"), QString("1,2,3,4,5,6,7,8"), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(indexes(view(""), "14_day"), QString("1,2,3"), 10000);
        QVariantMap v = view("");
        QVERIFY(v.value("modem_id") == 8104 && v.contains("in get_index") && v.value("15_hour").toMap().value("is_loaded").toBool());

        v = view("code=remove&arch=15&indexes=3,5");
        QCOMPARE(indexes(v, "15_hour") + " " + indexes(v, "14_day"), QString("1,2,4,6,7,8 1,2,3"));
        v = view("code=remove&arch=270&indexes=2"); // 270 is 14 in 8 bits
        QCOMPARE(indexes(v, "14_day"), QString("1,3"));
        v = view("code=remove&arch=16&indexes=1");
        QCOMPARE(indexes(v, "15_hour") + " " + indexes(v, "14_day"), QString("1,2,4,6,7,8 1,3"));

        v = view("code=clear");
        QCOMPARE(indexes(v, "15_hour") + indexes(v, "14_day"), QString());
        QVERIFY(!v.value("15_hour").toMap().value("is_loaded").toBool());
        QCOMPARE(v.value("15_hour").toMap().value("max_count").toInt(), 797); // geometry applied again
        view("code=reload");
        QTRY_COMPARE_WITH_TIMEOUT(indexes(view(""), "15_hour"), QString("1,2,3,4,5,6,7,8"), 10000);
    }

    void registry_base_stations()
    {
        publish("api_h_ul", {ul(8301, "32020000000000", R"(,"last_dl_bs":301,"last_dl_bs_busyness":42,"last_dl_bs_aver_busyness":17)"),
                             ul(8302, "32020000000000", R"(,"last_dl_bs":302,"last_dl_bs_busyness":5,"last_dl_bs_aver_busyness":50)")});
        QVariantMap bs;
        QTRY_COMPARE_WITH_TIMEOUT((bs = base->json("/api/RAM/bs", as("b_admin"))).size(), 2, 10000);
        const QVariantMap b301 = bs.value("301").toMap();
        QVERIFY(b301.value("bs") == 301 && qRound(b301.value("busyness").toDouble()) == 42 &&
                qRound(b301.value("aver_busyness").toDouble()) == 17);
        QCOMPARE(qRound(bs.value("302").toMap().value("aver_busyness").toDouble()), 50);
        QCOMPARE(base->json("/api/RAM/indexes?modem=8302", as("special")).value("8302").toMap().value("bs").toMap().value("bs"),
                 QVariant(302));
    }

    void login()
    {
        const QString failures = "modems_event WHERE modem_id=1 AND event=7 AND `type`=255";
        auto login = [&](const QString& items) { return base->get("/api/authorization?" + items).body; };
        QCOMPARE(login("user=ivan&pass=s3cret-pw"), QByteArray(R"({"res":true})"));
        const int before = count(failures);
        const qint64 t0 = QDateTime::currentSecsSinceEpoch();
        QCOMPARE(login("user=ivan&pass=wrong-pw-77"), QByteArray(R"({"res":false})"));
        QTRY_COMPARE_WITH_TIMEOUT(count(failures), before + 1, 10000);
        const qint64 ts = scalar("SELECT MAX(ts) FROM " + failures).toLongLong();
        QVERIFY2(ts >= t0 && ts <= QDateTime::currentSecsSinceEpoch(), qPrintable(QString::number(ts)));
        // Case counts, every item must be there, an account without "pass" matches nothing;
        // each failure is recorded (failures of one second share their row).
        const int recorded = base->log().count("save fail auth event");
        for (const char* items : {"user=IVAN&pass=s3cret-pw", "user=ivan", "user=nopass&pass="})
            QCOMPARE(login(items), QByteArray(R"({"res":false})"));
        const QString log = base->log();
        QCOMPARE(log.count("save fail auth event"), recorded + 3);
        QVERIFY(log.contains("ivan") && !log.contains("s3cret-pw") && !log.contains("wrong-pw-77"));
    }

    void parse()
    {
        const int before = count("modems_data");
        const qint64 t0 = QDateTime::currentSecsSinceEpoch();
        const QVariantMap answer = base->json("/api/diagnostics/parse?data=" + enc("31 02-80 00:00:30:39 zz"), as("special"));
        const qint64 t1 = QDateTime::currentSecsSinceEpoch(); // a loaded machine may take seconds to ask
        QCOMPARE(answer.value("modem_id").toUInt(), 1u);
        QCOMPARE(answer.value("header").toInt(), 0x31);
        QCOMPARE(answer.value("payload").toString(), QString("31028000003039"));
        const qint64 ts_get = answer.value("ts_get").toLongLong();
        QVERIFY2(ts_get >= t0 && ts_get <= t1, qPrintable(compact(answer)));
        QCOMPARE(answer.value("ul_datas").toList().value(0).toMap().value("1.0.1.8.0.255").toDouble(), 12.345);
        QCOMPARE(answer.value("ul_datas").toList().size(), 1);
        QVERIFY(!base->json("/api/diagnostics/parse?data=", as("admin")).isEmpty());
        settle("marker3");
        QCOMPARE(count("modems_data"), before);
    }

    void own_event_log()
    {
        // Without "uspd_events" the driver keeps no log of its own runs.
        QCOMPARE(count("modems_event WHERE modem_id=1 AND event IN (112,113,114)"), 0);
        QCOMPARE(count("modems_setting WHERE modem_id=1"), 0);

        QSqlDatabase ev = testsupport::schema_database("st_api_events", "events");
        QVERIFY(ev.isOpen());
        auto events = [&] {
            return api_daemon::scalar(ev, "SELECT GROUP_CONCAT(event, '@', ts ORDER BY ts, event DESC) FROM "
                                          "modems_event WHERE modem_id=1 AND `type`=255")
                .toString()
                .split(',', Qt::SkipEmptyParts);
        };
        auto update_ts = [&] {
            return api_daemon::scalar(ev, "SELECT data FROM modems_setting WHERE modem_id=1 AND setting='update_ts'");
        };
        Daemon d(QVariantMap{{"api", QVariantMap{{"uspd_events", true}}}}, 0, "st_api_events");
        const qint64 t0 = QDateTime::currentSecsSinceEpoch();
        QVERIFY(d.start());
        QTRY_VERIFY_WITH_TIMEOUT(!update_ts().isNull(), 10000);
        // A run writes the settings before the own events, each in its own transaction.
        QTRY_COMPARE_WITH_TIMEOUT(events().size(), 3, 10000);
        const QStringList first = events();
        const qint64 at = first.at(0).section('@', 1).toLongLong(), start = first.at(1).section('@', 1).toLongLong();
        QVERIFY2(at >= t0 + 1 && at <= t0 + 15, qPrintable(first.join(',')));
        QVERIFY(start == at || start == at + 1); // the clock is read twice in the first tick
        QCOMPARE(first, (QStringList{QString("114@%1").arg(at), QString("113@%1").arg(start), QString("112@%1").arg(start)}));
        QVERIFY(update_ts().toLongLong() >= start);

        // Ticks go on refreshing "update_ts"; the next start reports the last one with 114.
        QTRY_VERIFY_WITH_TIMEOUT(update_ts().toLongLong() >= at + 2, 10000);
        d.stop();
        const qint64 last = update_ts().toLongLong();
        QVERIFY(d.start());
        QTRY_COMPARE_WITH_TIMEOUT(events().size(), 6, 10000);
        const QStringList second = events().mid(3);
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
        const QString uri = testsupport::service("STROVA_AMQP_URI");
        testsupport::amqp_peer(uri, {"declare-queue", "api_r_ul"});
        drain("api_r_ul");
        // A long save period: only the shutdown road can have written the rows.
        Daemon d(QVariantMap{{"rabbit", rabbit("api_r_ul", "api_h_dl")}, {"sql", QVariantMap{{"data_ms", 600000}}}}, 0,
                 "st_api_restart");
        QVERIFY(d.start(true));
        QCOMPARE(d.get("/api/setting/set?modem=9000&code=pending&value=kept", as("admin")).status, 200);
        QStringList bodies;
        for (uint32_t m = 9001; m <= 9300; ++m)
            bodies << ul(m, "32020000000000");
        publish("api_r_ul", bodies);
        const Reply reply = d.get("/api/system?code=restart", as("b_admin"));
        QVERIFY(reply.status == 200 && reply.body.isEmpty());
        QVERIFY(d.proc.waitForFinished(20000));
        QVERIFY(d.proc.exitStatus() == QProcess::NormalExit && d.proc.exitCode() == 0);

        const int stored =
            api_daemon::scalar(rs, "SELECT COUNT(*) FROM modems_data WHERE modem_id BETWEEN 9001 AND 9300")
                .toInt();
        // The broker puts the deliveries the daemon held unacknowledged back into the queue once
        // it has seen the connection go, which may be a moment after the process ended.
        const auto waiting = [&] {
            return QJsonDocument::fromJson(
                       testsupport::amqp_peer(uri, {"stats", "api_r_ul"}).value(0).toUtf8())
                .toVariant()
                .toMap()
                .value("messages")
                .toInt();
        };
        QTRY_COMPARE_WITH_TIMEOUT(stored + waiting(), 300, 10000);
        QCOMPARE(api_daemon::scalar(rs, "SELECT data FROM modems_setting WHERE modem_id=9000 AND setting='pending'"),
                 QVariant("kept"));
        drain("api_r_ul");
    }

    // A restart reloads every setting the database keeps with the JSON type it had; only the
    // radio figures, which the database does not keep, wait for the next uplink.
    void settings_keep_their_types_across_a_restart()
    {
        QSqlDatabase types = testsupport::schema_database("st_api_types", "types");
        QVERIFY(types.isOpen());
        const QString uri = testsupport::service("STROVA_AMQP_URI");
        testsupport::amqp_peer(uri, {"declare-queue", "api_t_ul"});
        drain("api_t_ul");
        Daemon d(QVariantMap{{"rabbit", rabbit("api_t_ul", "api_h_dl")}}, 0, "st_api_types");
        QVERIFY(d.start(true));
        // A modem never heard of: the controller stamps "time_version" asking for its version.
        publish("api_t_ul", {ul(9501, "32020000000000"), ul(9501, "EE010A0B0C0D")});
        const QString settings = "/api/setting?modem=9501";
        QTRY_VERIFY_WITH_TIMEOUT(d.json(settings).value("9501").toMap().contains("sn"), 20000);
        for (const QString& set :
             QStringList{"code=note&value=42", "code=word&value=porch", "code=flag&value=true",
                         "code=obj&value=" + enc(R"({"a":[1,"2"]})")})
            QCOMPARE(d.get("/api/setting/set?modem=9501&" + set, as("admin")).status, 200);
        const QVariantMap before = d.json(settings).value("9501").toMap();
        QVERIFY2(before.value("time_version").canConvert<qlonglong>() &&
                     before.value("time_version").type() != QVariant::String,
                 qPrintable(compact(before)));
        QVERIFY(before.contains("radio") && before.contains("last_dl_bs"));

        QCOMPARE(d.get("/api/system?code=restart", as("b_admin")).status, 200);
        QVERIFY(d.proc.waitForFinished(20000));
        QVERIFY(d.start(true));
        QVariantMap expected = before;
        expected.remove("radio");
        expected.remove("last_dl_bs");
        QCOMPARE(compact(d.json(settings).value("9501")), compact(expected));
    }

    void registry_modem_list_is_bounded()
    {
        QSqlDatabase many = testsupport::schema_database("st_api_many", "many");
        QVERIFY(many.isOpen());
        QStringList rows;
        for (int m = 20001; m <= 26000; ++m)
            rows << QString("(%1, 1, 0, 'radio', 'x')").arg(m);
        QVERIFY(QSqlQuery(many).exec("INSERT INTO modems_setting (modem_id, ts, state, setting, data) VALUES " + rows.join(',')));
        Daemon d(QVariantMap(), 0, "st_api_many");
        QVERIFY(d.start());
        QSet<uint> seen;
        const QVariantList ids = d.answer("/api/RAM/modems", as("admin")).toList();
        for (const QVariant& v : ids)
            seen.insert(v.toUInt());
        QVERIFY(ids.size() == 5001 && seen.size() == 5001);
        for (uint id : seen) // the meters, and the pseudo modem 2 with the driver's own settings
            QVERIFY2((id >= 20001 && id <= 26000) || id == 2, qPrintable(QString::number(id)));
    }
};

QTEST_GUILESS_MAIN(tst_api_handlers)
#include "tst_api_handlers.moc"
