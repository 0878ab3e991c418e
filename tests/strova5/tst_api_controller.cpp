// The API's dispatcher and its access rules without the HTTP server: who is served on which
// route, what the token grants, what reaches the broker as a display downlink (also when the
// scheduler forwards display values), and the time-synchronisation file.
#include "api_controller.h"
#include "http_api_quill.h"
#include "radio_exchange.h"
#include "ram_modems.h"
#include "storage_double.h"
#include "strova_controller.h"
#include "testsupport.h"

#include <QFile>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr uint32_t T0 = 1765000000;

QVariantMap js(const QString& text)
{
    return QJsonDocument::fromJson(text.toUtf8()).toVariant().toMap();
}
QString compact(const QVariant& v)
{
    return QString::fromUtf8(QJsonDocument::fromVariant(v).toJson(QJsonDocument::Compact));
}
QVariantMap request(const QString& path, const QVariantMap& qitems = {}, const QStringList& rights = {})
{
    QVariantMap r{{"path", path.split('/', Qt::SkipEmptyParts)}, {"qitems", qitems}};
    if (!rights.isEmpty()) r.insert("rights", rights);
    return r;
}

// The callers of the route table, in its column order.
const char* const k_callers[] = {"none", "user", "admin", "b_admin", "special", "auth", "no_jwt", "diag"};

} // namespace

class tst_api_controller : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    RAM_modems* ram = nullptr;
    Storage_double* sql = nullptr;
    strova_controller* ctl = nullptr;
    Radio_Exchange* radio = nullptr;
    API_controller* api = nullptr;

    void make_api(const QVariantMap& config = {})
    {
        delete api;
        api = new API_controller(config, nullptr);
    }
    // The downlinks handed to the broker while `fn` runs, as compact JSON.
    template <typename F> QStringList downlinks(F fn)
    {
        QSignalSpy spy(radio, &Radio_Exchange::signal_stringify);
        fn();
        QStringList out;
        for (const QList<QVariant>& args : spy)
            out << QString::fromUtf8(args.at(0).toByteArray());
        return out;
    }
    QVariantMap tst_file() const
    {
        QFile f(API_controller::tst_path());
        return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).toVariant().toMap()
                                           : QVariantMap();
    }
    static bool write_file(const QString& path, const QByteArray& content)
    {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
    }

    // Rows of several sections, tagged "section: name".
    static void section_rows(const QString& path, const QStringList& sections)
    {
        QTest::addColumn<QStringList>("f");
        for (const QString& section : sections)
            for (const testsupport::Vector& v : testsupport::read_vectors(path, section))
                QTest::newRow(qPrintable(section + ": " + v.name)) << v.fields;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        API_controller::files_dir = dir.path();
        API_controller::time_source = [] { return T0; };
        strova_controller::time_source = [] { return T0; };
        ram = new RAM_modems(QVariantMap(), this);
        sql = new Storage_double;
        ctl = new strova_controller(QVariantMap(), this);
        radio = new Radio_Exchange(QVariantMap(), this);
    }
    void cleanupTestCase()
    {
        delete api;
        delete sql;
    }
    void init()
    {
        QFile::remove(API_controller::tst_path());
        make_api();
    }

    // Every route against every caller: served (an answer, or for routes answered elsewhere
    // the gate passed) or refused.
    void routes_data() { section_rows(VECTORS("api_routes.txt"), {"answered", "gated"}); }
    void routes()
    {
        QFETCH(QStringList, f);
        const QString path = f.at(0);
        const QStringList expected = f.at(1).split(' ', Qt::SkipEmptyParts);
        QCOMPARE(expected.size(), int(std::size(k_callers)));
        const bool answered = QString(QTest::currentDataTag()).startsWith("answered");
        const QStringList segments = path.split('/', Qt::SkipEmptyParts);
        for (int c = 0; c < expected.size(); ++c) {
            const QString caller = k_callers[c];
            QVariantMap config;
            if (caller == "no_jwt") config.insert("no_jwt", true);
            if (caller == "diag") config.insert("diagnostics", QVariantMap());
            make_api(config);
            QStringList rights;
            if (caller == "user" || caller == "admin" || caller == "special") rights << caller;
            if (caller == "b_admin") rights << "_b_admin";
            if (caller == "auth" && segments == QStringList{"api", "rights"}) rights << "_auth_admin";
            bool served;
            if (answered) {
                served = api->api_exec(request(path, {{"modem", "5"}}, rights)).isValid();
            } else {
                QVariantMap r = request(path, {}, rights);
                if (caller == "no_jwt") r.insert("rights", QStringList{"user"});
                served = api->route_for(segments, api->get_rights(r), false) != nullptr;
            }
            QVERIFY2(served == (expected.at(c) == "1"), qPrintable(caller + " on " + path));
        }
    }

    void effective_rights_and_modems_data() { section_rows(VECTORS("api_access.txt"), {"rights", "modems"}); }
    void effective_rights_and_modems()
    {
        QFETCH(QStringList, f);
        const QString tag = QTest::currentDataTag();
        if (tag.startsWith("rights")) {
            const QVariantMap r{{"rights", QJsonDocument::fromJson(f.at(0).toUtf8()).toVariant()}};
            QCOMPARE(api->get_rights(r).join(','), f.at(1) == "-" ? QString() : f.at(1));
        } else {
            make_api(js(f.at(0) == "-" ? "{}" : f.at(0)));
            QStringList got;
            for (uint32_t id : api->get_modems({{"modem", f.at(1) == "-" ? QString() : f.at(1)}}))
                got << QString::number(id);
            QCOMPARE(got.join(','), f.at(2) == "-" ? QString() : f.at(2));
        }
    }

    void rights_table_and_registry_views()
    {
        const QVariant table = api->api_exec(request("api/rights", {}, {"_auth_admin"}));
        QCOMPARE(compact(table),
                 QString::fromUtf8(R"({"admin":{"special":"Специальные действие электросчетчика","user":{)"
                                   R"("control":"Управление нагрузкой электросчетчика",)"
                                   R"("settings":"Настройки электросчетчика",)"
                                   R"("view":"Просмотр показаний электросчетчика"}}})"));
        ram->set_iec104_map({{305, 2}, {77, 1}});
        QCOMPARE(compact(api->api_exec(request("api/iec104/list", {}, {"user"}))),
                 QString(R"({"1":77,"2":305})"));
        ctl->index_modems = {9, 4};
        QCOMPARE(compact(api->api_exec(request("api/el/modems_for_get_index", {}, {"admin"}))),
                 QString("[9,4]"));
        ctl->config = {{"data_ms", 300}};
        QCOMPARE(api->api_exec(request("api/el/update_from_db", {}, {"_b_admin"}))
                     .toMap()
                     .value("data_ms")
                     .toInt(),
                 300);
    }

    // The request line shows the request, but never a secret.
    void request_log_hides_secrets()
    {
        make_api({{"no_jwt", true}});
        testsupport::Log_capture log;
        api->api_exec(request(
            "api/info",
            {{"user", "ivan"}, {"pass", "p4ss-secret"}, {"token", "tok-secret"}, {"api_key", "key-secret"}},
            {"admin"}));
        QVERIFY2(!log.all().contains("secret"), qPrintable(log.all()));
        QCOMPARE(log.count(R"("pass":"***")"), 1);
        QCOMPARE(log.count(R"("token":"***")"), 1);
        QCOMPARE(log.count(R"("api_key":"***")"), 1);
        QVERIFY(log.has(R"("rights":["admin","user"])")); // "no_jwt" adds the role before the line
        QVERIFY(log.has(R"(rights ("special", "control", "settings", "view"))"));
    }

    // Display downlinks exactly as the broker gets them; the scheduler's own call passes the
    // gate that a client without "special" does not.
    void display_downlinks_data() { testsupport::vector_rows(VECTORS("api_access.txt"), "display"); }
    void display_downlinks()
    {
        QFETCH(QStringList, f);
        const QVariantMap qitems = js(f.at(0));
        const QStringList expected = f.at(1) == "-" ? QStringList() : f.at(1).split(" ; ");
        QVariant answer;
        QCOMPARE(downlinks([&] { answer = api->api_exec(request("api/cmd/display", qitems, {"admin"})); }),
                 expected);
        QCOMPARE(compact(answer), QString(R"({"send":"ok"})"));
        QCOMPARE(downlinks([&] { api->api_exec(request("api/cmd/display", qitems), true); }), expected);
        QVERIFY(downlinks([&] { api->api_exec(request("api/cmd/display", qitems, {"user"})); }).isEmpty());
    }

    void display_forwarding()
    {
        const uint32_t M = 4100, X = 3071;
        ram->add_modem(
            M,
            js(R"({"31": "0a0b0c", "version": {"sw": "1.0.4.0"}, "bs_display": {"modem": 3071, "bs": 77}})"));
        ram->add_modem(X, QVariantMap());
        Parser_ul_app ul;
        ul.modem_id = M;
        ul.header = '1';
        ul.payload = QByteArray::fromHex("3101020304050607");
        ul.ul_datas << Ul_data_record(254, T0);
        const QStringList sent = downlinks([&] { ctl->slot_UL(ul); });
        QCOMPARE(
            sent,
            QStringList() << R"({"max_payload_len":8,"modem_id":4100,"msg_type":"dl","payload":"0A0B0C"})"
                          << R"({"dl_freq":445710000,"f_ack":false,"max_payload_len":128,"modem_id":3071,)"
                             R"("msg_type":"dl","payload":"3101020304050607020304050607","station_id":77})");
        QCOMPARE(ram->get_setting(X, "31").toString(), QString("3101020304050607020304050607"));

        // Station 0 of "bs_display": the bytes are only kept for the display modem.
        ram->slot_set_setting(M, "bs_display", js(R"({"modem": 3071, "bs": 0})"), false);
        ul.header = '2';
        ul.payload = QByteArray::fromHex("32AABB");
        QVERIFY(downlinks([&] { ctl->slot_UL(ul); }).isEmpty());
        QCOMPARE(ram->get_setting(X, "32").toString(), QString("32AABB"));
    }

    void time_sync_file()
    {
        // A file that is no object gives empty settings; unknown keys are kept on rewrite.
        QVERIFY(write_file(API_controller::tst_path(), "[1,2]"));
        make_api();
        QVERIFY(api->time_sync.isEmpty());
        QVERIFY(write_file(API_controller::tst_path(), R"({"keep": {"a": [1]}, "offset": 0})"));
        make_api();
        QVariantMap answer = api->api_exec(request("api/time_sync/set",
                                                   {{"offset", "10800"},
                                                    {"timestamp", QString::number(T0 - 3600)},
                                                    {"sync_source", "ntp"}},
                                                   {"admin"}))
                                 .toMap();
        QCOMPARE(compact(answer), QString(R"({"res":true})"));
        QVariantMap file = tst_file();
        QCOMPARE(compact(file),
                 QString(R"({"keep":{"a":[1]},"offset":10800,"sync_source":"ntp","ts_shift":14400})"));

        // "info" reports the corrected clock.
        QVariantMap time = api->api_exec(request("api/info")).toMap().value("time").toMap();
        QCOMPARE(time.value("timestamp").toUInt(), T0 + 14400);
        QCOMPARE(time.value("dt").toString(),
                 QDateTime::fromSecsSinceEpoch(T0 + 14400 + 10800).toString("yyyy.MM.dd hh:mm:ss"));
        QCOMPARE(time.value("offset").toString(), QString("10800"));
        QCOMPARE(time.value("sync_source").toString(), QString("ntp"));

        // A timestamp ahead of the clock gives a negative shift that survives a restart.
        api->api_exec(request("api/time_sync/set",
                              {{"offset", "0"}, {"timestamp", QString::number(T0 + 14400 + 100)}},
                              {"_b_admin"}));
        QCOMPARE(tst_file().value("ts_shift").toDouble(), 4294967196.0);
        make_api();
        QCOMPARE(api->api_exec(request("api/info")).toMap().value("time").toMap().value("timestamp").toUInt(),
                 T0 - 100);

        // Non-numeric items read 0; refused without the right.
        api->api_exec(request("api/time_sync/set", {{"offset", "abc"}, {"timestamp", "x"}}, {"special"}));
        QCOMPARE(tst_file().value("ts_shift").toDouble(), double(T0 - 100));
        QVERIFY(!api->api_exec(request("api/time_sync/set", {{"offset", "5"}}, {"user"})).isValid());
        QCOMPARE(tst_file().value("offset").toInt(), 0);

        // A read-only file: nothing changes, an Err line, and "res" false.
        const QVariantMap before = api->time_sync;
        QVERIFY(QFile::setPermissions(API_controller::tst_path(), QFile::ReadOwner));
        testsupport::Log_capture log;
        answer = api->api_exec(request("api/time_sync/set", {{"offset", "7"}}, {"admin"})).toMap();
        QFile::setPermissions(API_controller::tst_path(), QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(compact(answer), QString(R"({"res":false})"));
        QCOMPARE(api->time_sync, before);
        QVERIFY(log.has("(Err)") && log.has("time_sync not saved"));
    }

    void info_defaults()
    {
        const QVariantMap info = api->api_exec(request("api/info")).toMap();
        QCOMPARE(
            compact(info.value("SW")),
            QString(R"({"MD5":"D41D8CD98F00B204E9800998ECF8427E","name":"","sn":"05 18 ","ver":"1.0"})"));
        const QVariantMap time = info.value("time").toMap();
        QCOMPARE(time.value("sync_source").toString(), QString("gps"));
        QCOMPARE(time.value("offset").toString(), QString("0"));
        QVERIFY(!time.value("sync_url").toString().isEmpty());
        const QDateTime built = QDateTime::fromSecsSinceEpoch(info.value("build_ts").toLongLong());
        QVERIFY(built.isValid() && built.date().year() >= 2024);
        QCOMPARE(info.value("build_dt").toString(), built.toString("yyyy.MM.dd hh:mm:ss"));
    }

    // Tokens minted by an independent issuer (python3's hmac), read by the web front's check.
    // The exact grants of tokens minted by an independent issuer (python3's hmac); refusals on
    // the wire (expiry, forgery, Base64 forms, part counts, header spellings) are the web test's.
    void tokens()
    {
        const uint32_t now = uint32_t(QDateTime::currentSecsSinceEpoch());
        const QStringList descs{
            QString(R"({"payload": {"exp": %1, "claims": {"driver-strova5": {"user": 1, "special": {}}, )"
                    R"("b": {"admin": 1}, "auth": {"admin": 1}}}})")
                .arg(now + 60),
            R"({"payload": {"exp": 1e300, "claims": {"driver-strova5": ["user"], "b": "admin", "auth": 5}}})",
            QString(R"({"payload": {"exp": "%1", "claims": {"driver-strova5": {"admin": true}}}})")
                .arg(now + 60),
        };
        const QStringList t = testsupport::mint_tokens(descs);
        QCOMPARE(t.size(), descs.size());
        using http_api::token_rights;
        const QStringList info{"api", "info"};
        QCOMPARE(token_rights(t[0], {}, info, now), QStringList({"special", "user", "_b_admin"}));
        QCOMPARE(token_rights(t[0], {}, {"api", "rights"}, now),
                 QStringList({"special", "user", "_b_admin", "_auth_admin"}));
        QCOMPARE(token_rights(t[0], {}, {"api", "rights", "x"}, now).size(), 3);
        QCOMPARE(token_rights(t[1], {}, info, now), QStringList());          // claims of wrong types
        QCOMPARE(token_rights(t[2], {}, info, now), QStringList({"admin"})); // "exp" as text
        QCOMPARE(token_rights(QString(t[0]).replace(".", "%2E"), {}, info, now).size(), 3);
        QCOMPARE(token_rights(t[0], "Basic " + t[1], info, now).size(), 3); // not a bearer: the cookie holds
    }

    void web_helpers()
    {
        using http_api::path_segments;
        QCOMPARE(path_segments("/driver_strova5/api/info"), QStringList({"api", "info"}));
        QCOMPARE(path_segments("//api///info"), QStringList({"api", "info"}));
        QCOMPARE(path_segments("/ui/a/%2E%2E/b"), QStringList({"ui", "a", "..", "b"}));
        QCOMPARE(path_segments("/ui/%252E%252E/b"), QStringList({"ui", "%2E%2E", "b"})); // decoded once
        QCOMPARE(path_segments("/driver_strova5/driver_strova5/x"), QStringList({"driver_strova5", "x"}));
        QVERIFY(http_api::callback_allowed("jQuery_1.cb$"));
        QVERIFY(http_api::callback_allowed(QString(64, 'a')));
        QVERIFY(!http_api::callback_allowed(QString(65, 'a')));
        QVERIFY(!http_api::callback_allowed("alert(1);x"));
        QVERIFY(!http_api::callback_allowed("1cb"));
        QVERIFY(!http_api::callback_allowed("cb\n"));
        QCOMPARE(http_api::api_body(QVariantMap{{"a", 1}}, "cb"), QByteArray(R"(cb({"a":1}))"));
        QCOMPARE(http_api::api_body(QVariant(), "cb"), QByteArray("cb()"));
        QCOMPARE(http_api::api_body(QVariant("text"), {}), QByteArray());
        QCOMPARE(http_api::api_body(QVariantList{}, {}), QByteArray("[]"));
    }
};

QTEST_GUILESS_MAIN(tst_api_controller)
#include "tst_api_controller.moc"
