// The API's dispatcher and its access rules without the HTTP server (who is served on which
// route is the web test's table): what a token grants, the display downlinks and the
// time-synchronisation file.
#include "api_controller.h"
#include "http_api_quill.h"
#include "parser_strova5.h"
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
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr uint32_t T0 = 1765000000;

QVariant js(const QString& text) { return QJsonDocument::fromJson(text.toUtf8()).toVariant(); }
QString compact(const QVariant& v)
{
    return QString::fromUtf8(QJsonDocument::fromVariant(v).toJson(QJsonDocument::Compact));
}
QString field(const QString& f) { return f == "-" ? QString() : f; }
QVariantMap request(const QString& path, const QVariantMap& qitems = {}, const QStringList& rights = {})
{
    QVariantMap r{{"path", path.split('/', Qt::SkipEmptyParts)}, {"qitems", qitems}};
    if (!rights.isEmpty()) r.insert("rights", rights);
    return r;
}

} // namespace

class tst_api_controller : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    Radio_Exchange* radio = nullptr;
    Storage_double* sql = nullptr;
    API_controller* api = nullptr;

    void make_api(const QVariantMap& config = {})
    {
        delete api;
        api = new API_controller(config, nullptr);
    }
    // The downlinks handed to the broker while `fn` runs.
    template <typename F> QStringList downlinks(F fn)
    {
        QSignalSpy spy(radio, &Radio_Exchange::signal_stringify);
        fn();
        QStringList out;
        for (const QList<QVariant>& args : spy)
            out << QString::fromUtf8(args.at(0).toByteArray());
        return out;
    }
    QVariant exec(const QString& path, const QVariantMap& qitems, const QStringList& rights)
    {
        return api->api_exec(request(path, qitems, rights));
    }
    QVariantMap tst_file() const
    {
        QFile f(API_controller::tst_path());
        return f.open(QIODevice::ReadOnly) ? js(f.readAll()).toMap() : QVariantMap();
    }
    static bool write_tst(const QByteArray& content)
    {
        QFile f(API_controller::tst_path());
        return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        API_controller::files_dir = dir.path();
        API_controller::time_source = [] { return T0; };
        new RAM_modems(QVariantMap(), this);
        sql = new Storage_double;
        new strova_controller(QVariantMap(), this);
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

    // Rights of a request, modem selection, path reading and JSONP callback names.
    void access_data() { testsupport::vector_rows(VECTORS("api_access.txt"), "access"); }
    void access()
    {
        QFETCH(QStringList, f);
        const QString kind = f.at(0), want = field(f.value(3));
        QString in = field(f.at(1));
        QString got;
        if (kind == "rights") {
            got = api->get_rights({{"rights", js(in)}}).join(',');
        } else if (kind == "modems") {
            make_api(js(field(f.at(2)).isEmpty() ? "{}" : f.at(2)).toMap());
            QStringList ids;
            for (uint32_t id : api->get_modems({{"modem", in}}))
                ids << QString::number(id);
            got = ids.join(',');
        } else if (kind == "path") {
            got = http_api::path_segments(in).join(',');
        } else {
            got = http_api::callback_allowed(in.replace("\\n", "\n").replace("{64}", QString(64, 'a')))
                      ? "1"
                      : "0";
        }
        QCOMPARE(got, want);
    }

    void answers()
    {
        QCOMPARE(compact(exec("api/rights", {}, {"_auth_admin"})),
                 QString::fromUtf8(R"({"admin":{"special":"Специальные действие электросчетчика","user":{)"
                                   R"("control":"Управление нагрузкой электросчетчика",)"
                                   R"("settings":"Настройки электросчетчика",)"
                                   R"("view":"Просмотр показаний электросчетчика"}}})"));
        RAM_modems::instance->set_iec104_map({{305, 2}, {77, 1}});
        QCOMPARE(compact(exec("api/iec104/list", {}, {"user"})), QString(R"({"1":77,"2":305})"));
        QCOMPARE(http_api::api_body(QVariantMap{{"a", 1}}, "cb"), QByteArray(R"(cb({"a":1}))"));
        QCOMPARE(http_api::api_body(QVariant(), "cb"), QByteArray("cb()"));
        QCOMPARE(http_api::api_body(QVariant("text"), {}), QByteArray());
        QCOMPARE(http_api::api_body(QVariantList{}, {}), QByteArray("[]"));
        // A report's text moved in is wrapped whole, and the caller's copy is left as it was.
        const QVariant text = QVariant::fromValue(api_json_text{"[1,2]"});
        QCOMPARE(http_api::api_body(text, "cb"), QByteArray("cb([1,2])"));
        QCOMPARE(text.value<api_json_text>().json, QByteArray("[1,2]"));
    }

    // Who holds a report place: the token the check verified, however it is spelled and whichever
    // way it comes, else the address; a peer whose request is read has left once it ends its
    // sending or resets, not when it sends more.
    void report_callers_and_leaving()
    {
        const uint32_t now = uint32_t(QDateTime::currentSecsSinceEpoch());
        const QString view =
            QString(R"({"payload": {"exp": %1, "claims": {"driver-strova5": {"view": 1}}}})");
        const QStringList t = testsupport::mint_tokens({view.arg(now + 60), view.arg(now + 61)});
        QCOMPARE(t.size(), 2);
        const auto caller = [now](const QString& cookie, const QString& authorization) {
            QByteArray verified;
            http_api::token_rights(cookie, authorization, {"api", "info"}, now, http_api::api_key(),
                                   &verified);
            return http_api::caller_of(verified, "10.0.0.9");
        };
        const QString one = caller(t[0], {});
        QVERIFY2(QRegularExpression("\\Atoken [0-9a-f]{40}\\z").match(one).hasMatch(), qPrintable(one));
        // `%65` for an `e` of the header, and a `!` inside the signature, which its Base64 skips.
        const int e = t[0].indexOf('e');
        QVERIFY(e >= 0 && e < t[0].indexOf('.'));
        const QString escaped = QString(t[0]).replace(e, 1, "%65");
        const QString bang = QString(t[0]).insert(t[0].lastIndexOf('.') + 5, '!');
        for (const QString& spelling : {t[0], escaped, bang}) {
            QCOMPARE(caller(spelling, {}), one);
            QCOMPARE(caller({}, "Bearer " + spelling), one);
            QCOMPARE(caller("x.y.z", "bearer " + spelling), one);
        }
        const QString other = caller(t[1], {});
        QVERIFY(other.startsWith("token ") && other != one);
        // A changed payload under the old signature, and an expired token: no digest, the address.
        QByteArray verified = "left over";
        const QString forged = QString(t[0]).replace(t[0].indexOf('.') + 1, 1, "f");
        QVERIFY(http_api::token_rights(forged, {}, {"api"}, now, http_api::api_key(), &verified).isEmpty());
        QVERIFY(verified.isEmpty());
        QVERIFY(
            http_api::token_rights(t[0], {}, {"api"}, now + 60, http_api::api_key(), &verified).isEmpty());
        QVERIFY(verified.isEmpty());
        QCOMPARE(caller(forged, {}), QString("address 10.0.0.9"));
        QCOMPARE(http_api::caller_of({}, "::1"), QString("address ::1"));

        int pair[2];
        QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0);
        QVERIFY(!http_api::peer_left(pair[0])); // nothing yet
        QCOMPARE(::write(pair[1], "GET / HTTP/1.1\r\n", 16), ssize_t(16));
        QVERIFY(!http_api::peer_left(pair[0])); // more bytes: still there, the bytes dropped
        ::shutdown(pair[1], SHUT_WR);
        QVERIFY(http_api::peer_left(pair[0]));
        ::close(pair[0]);
        ::close(pair[1]);
    }

    // The request line shows the request, never a secret.
    void request_log_hides_secrets()
    {
        make_api({{"no_jwt", true}});
        testsupport::Log_capture log;
        exec("api/info", {{"user", "ivan"}, {"pass", "p-secret"}, {"token", "t-secret"}, {"api_key", "k-secret"}},
             {"admin"});
        QVERIFY2(!log.all().contains("secret"), qPrintable(log.all()));
        for (const char* masked : {R"("pass":"***")", R"("token":"***")", R"("api_key":"***")"})
            QCOMPARE(log.count(masked), 1);
        QVERIFY(log.has(R"("rights":["admin","user"])")); // "no_jwt" adds the role before the line
    }

    // A request of 10,000 items logs the first of them, a line's worth, and how many are left out.
    void request_log_of_many_items_is_bounded()
    {
        make_api({});
        QVariantMap items;
        for (int i = 0; i < 10000; ++i)
            items.insert(QString("item%1").arg(i, 5, 10, QChar('0')), QString(40, 'v'));
        testsupport::Log_capture log;
        exec("api/info", items, {});
        const QString all = log.all();
        QVERIFY2(all.contains("\"item00000\":\""), qPrintable(all.left(300)));
        QVERIFY2(all.contains("more items"), qPrintable(all.right(300)));
        QVERIFY2(!all.contains("item09999"), qPrintable(all.right(300)));
        QVERIFY2(all.size() < 4096, qPrintable(QString::number(all.size())));
    }

    // Display downlinks as the broker gets them; the scheduler's own call passes the gate that
    // a client without "special" does not.
    void display_downlinks_data() { testsupport::vector_rows(VECTORS("api_access.txt"), "display"); }
    void display_downlinks()
    {
        QFETCH(QStringList, f);
        const QVariantMap qitems = js(f.at(0)).toMap();
        const QStringList expected = field(f.at(1)).isEmpty() ? QStringList() : f.at(1).split(" ; ");
        QVariant answer;
        QCOMPARE(downlinks([&] { answer = exec("api/cmd/display", qitems, {"admin"}); }), expected);
        QCOMPARE(compact(answer), QString(R"({"send":"ok"})"));
        QCOMPARE(downlinks([&] { api->api_exec(request("api/cmd/display", qitems), true); }), expected);
        QVERIFY(downlinks([&] { exec("api/cmd/display", qitems, {"user"}); }).isEmpty());
    }

    void time_sync_file()
    {
        QVERIFY(write_tst("[1,2]")); // no object: empty settings
        make_api();
        QVERIFY(api->time_sync.isEmpty());
        QVERIFY(write_tst(R"({"keep": {"a": [1]}, "offset": 0})"));
        make_api();
        const QVariantMap set{{"offset", "10800"}, {"timestamp", QString::number(T0 - 3600)}, {"sync_source", "ntp"}};
        QCOMPARE(compact(exec("api/time_sync/set", set, {"admin"})), QString(R"({"res":true})"));
        QCOMPARE(compact(tst_file()),
                 QString(R"({"keep":{"a":[1]},"offset":10800,"sync_source":"ntp","ts_shift":14400})"));
        const QVariantMap time = exec("api/info", {}, {}).toMap().value("time").toMap();
        QCOMPARE(time.value("timestamp").toUInt(), T0 + 14400);
        QCOMPARE(time.value("dt").toString(),
                 QDateTime::fromSecsSinceEpoch(T0 + 14400 + 10800).toString("yyyy.MM.dd hh:mm:ss"));

        // Ahead of the clock: a negative shift, kept over a restart; texts read 0.
        exec("api/time_sync/set", {{"offset", "0"}, {"timestamp", QString::number(T0 + 14500)}}, {"_b_admin"});
        QCOMPARE(tst_file().value("ts_shift").toDouble(), 4294967196.0);
        make_api();
        QCOMPARE(exec("api/info", {}, {}).toMap().value("time").toMap().value("timestamp").toUInt(), T0 - 100);
        exec("api/time_sync/set", {{"offset", "abc"}, {"timestamp", "x"}}, {"special"});
        QCOMPARE(tst_file().value("ts_shift").toDouble(), double(T0 - 100));

        const QVariantMap before = api->time_sync;
        QVERIFY(QFile::setPermissions(API_controller::tst_path(), QFile::ReadOwner));
        testsupport::Log_capture log;
        const QVariant answer = exec("api/time_sync/set", {{"offset", "7"}}, {"admin"});
        QFile::setPermissions(API_controller::tst_path(), QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(compact(answer), QString(R"({"res":false})"));
        QCOMPARE(api->time_sync, before);
        QVERIFY(log.has("(Err)") && log.has("time_sync not saved"));
    }

    // What tokens of an independent issuer (python3's hmac) grant; refusals on the wire are the
    // web test's.
    void tokens()
    {
        const uint32_t now = uint32_t(QDateTime::currentSecsSinceEpoch());
        const QStringList t = testsupport::mint_tokens(
            {QString(R"({"payload": {"exp": %1, "claims": {"driver-strova5": {"user": 1, "special": {}}, )"
                     R"("b": {"admin": 1}, "auth": {"admin": 1}}}})")
                 .arg(now + 60),
             R"({"payload": {"exp": 1e300, "claims": {"driver-strova5": ["user"], "b": "admin", "auth": 5}}})",
             QString(R"({"payload": {"exp": "%1", "claims": {"driver-strova5": {"admin": true}}}})").arg(now + 60)});
        QCOMPARE(t.size(), 3);
        using http_api::token_rights;
        const QStringList info{"api", "info"}, three{"special", "user", "_b_admin"};
        QCOMPARE(token_rights(t[0], {}, info, now), three);
        QCOMPARE(token_rights(t[0], {}, {"api", "rights"}, now), three + QStringList{"_auth_admin"});
        QCOMPARE(token_rights(t[0], {}, {"api", "rights", "x"}, now), three);
        QCOMPARE(token_rights(t[1], {}, info, now), QStringList());          // claims of wrong types
        QCOMPARE(token_rights(t[2], {}, info, now), QStringList({"admin"})); // "exp" as text
        QCOMPARE(token_rights(QString(t[0]).replace(".", "%2E"), {}, info, now), three);
        QCOMPARE(token_rights(t[0], "Basic " + t[1], info, now), three); // not a bearer: the cookie holds
    }

    // Long lists full of repeats give what the plain reading gives: each id once, in the order
    // first seen, through the whitelist in the whitelist's order (an id it names twice, twice).
    void modem_lists_with_many_repeats()
    {
        std::mt19937 rng(7);
        QStringList parts;
        for (int i = 0; i < 20000; ++i)
            parts << (rng() % 50 == 0 ? QString("x") : QString::number(rng() % 3000));
        QVariantList white;
        for (int i = 0; i < 500; ++i)
            white << (i % 7 == 0 ? QVariant(QString::number(rng() % 4000)) : QVariant(uint(rng() % 4000)));
        white << white.first() << white.at(3);
        // The plain reading, one search per id.
        QList<uint32_t> want_all, want_white;
        for (const QString& p : parts)
            if (p.toUInt() != 0 && !want_all.contains(p.toUInt())) want_all << p.toUInt();
        for (const QVariant& v : white)
            if (v.toUInt() != 0 && want_all.contains(v.toUInt())) want_white << v.toUInt();
        QVERIFY(want_all.size() > 2000 && want_white.size() > 300);

        const QVariantMap items{{"modem", parts.join(',')}};
        make_api();
        QCOMPARE(api->get_modems(items), want_all);
        make_api({{"whilelist_modems", white}});
        QCOMPARE(api->get_modems(items), want_white);
    }

    // The open setting routes, built a few hundred modems a slice, answer byte for byte what one
    // pass over the registry writes as JSON: keys in text order ("10" before "9"), every kind of
    // stored value, modems the registry lacks, and firmware groups.
    void setting_answers_built_in_slices_match_one_pass()
    {
        RAM_modems* ram = RAM_modems::instance;
        QList<uint32_t> ids;
        for (uint32_t i = 0; i < 3000; ++i)
            ids << (i % 3 == 0 ? 4000000000u - i : i % 3 == 1 ? 9 + i * 7 : 100000 + i);
        for (uint32_t id : ids.mid(0, 2000)) {
            ram->slot_set_setting(
                id, "version",
                QVariantMap{{"sw", QString("1.0.%1.0").arg(id % 4)}, {"hw", id % 2 ? "h\"1" : "ü"}}, false);
            ram->slot_set_setting(id, "radio", id % 5 ? QVariant(double(id) / 8) : QVariant("a\nb"), false);
            ram->slot_set_setting(id, "list", QVariantList{1, true, QVariant(), "x"}, false);
        }
        QStringList texts;
        for (uint32_t id : ids)
            texts << QString::number(id);
        texts << texts.first(); // named twice, answered once
        for (const QString& code : {QString(), QString("version"), QString("nothing")}) {
            QVariantMap one_pass;
            for (uint32_t id : ids) {
                QVariantMap entry;
                if (code.isEmpty()) {
                    entry = ram->get_settings(id);
                    entry.insert("DLMS", parser_strova5::is_new_sw(id));
                } else {
                    entry.insert(code, ram->get_setting(id, code));
                }
                one_pass.insert(QString::number(id), entry);
            }
            const QVariant sliced =
                api->api_exec(request("/api/setting", {{"modem", texts.join(',')}, {"code", code}}));
            QCOMPARE(sliced.value<api_json_text>().json,
                     QJsonDocument::fromVariant(one_pass).toJson(QJsonDocument::Compact));
        }
        QMap<QString, QVariantList> sw, hw;
        QVariantMap sizes;
        for (uint32_t id : ids) {
            const QVariantMap version = ram->get_setting(id, "version").toMap();
            sw[version.value("sw").toString()] << uint(id);
            hw[version.value("hw").toString()] << uint(id);
        }
        QVariantMap sw_map, hw_map;
        for (auto it = sw.cbegin(); it != sw.cend(); ++it) {
            sw_map.insert(it.key(), it.value());
            sizes.insert(it.key(), it.value().size());
        }
        for (auto it = hw.cbegin(); it != hw.cend(); ++it)
            hw_map.insert(it.key(), it.value());
        const QVariant groups =
            api->api_exec(request("/api/setting/version_list", {{"modem", texts.mid(0, 3000).join(',')}}));
        QCOMPARE(groups.value<api_json_text>().json,
                 QJsonDocument::fromVariant(QVariantMap{{"sw", sw_map}, {"hw", hw_map}, {"sw_size", sizes}})
                     .toJson(QJsonDocument::Compact));
    }
};

QTEST_GUILESS_MAIN(tst_api_controller)
#include "tst_api_controller.moc"
