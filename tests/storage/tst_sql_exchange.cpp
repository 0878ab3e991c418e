// Storage against the throwaway MariaDB: schema upgrades, stored rows byte for byte, commands and
// their states, and rows that survive a database that refuses them or goes away.
#include "logger.h"
#include "parser_strova5.h"
#include "quit_signals.h"
#include "ram_modems.h"
#include "sql_exchange.h"
#include "testsupport.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QProcess>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QSqlField>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <cmath>
#include <cstdio>
#include <memory>

namespace {
std::unique_ptr<testsupport::Log_capture> g_log; // every line, traces included, from initTestCase on

// Storage with the codec's answer fixed (the state it gives, in turn) and its bounds in reach.
class Storage : public SQL_Exchange
{
public:
    using SQL_Exchange::SQL_Exchange;
    QList<uint32_t> codec_states;
    bool real_codec = false;
    Stringify_dl_app encode(const Dl_request& request, const QStringList& rights) override
    {
        if (real_codec)
            return SQL_Exchange::encode(request, rights);
        Stringify_dl_app cmd(request);
        cmd.payload = QByteArray::fromHex("0102");
        cmd.state = codec_states.isEmpty() ? 1 : codec_states.takeFirst();
        return cmd;
    }
    // The bulk lookup of a save's commands refused, as a server would: every status goes the
    // one-by-one road.
    bool bulk_refused = false;
    int lookups_refused = 0;
    bool find_status_commands(int count, QHash<uint32_t, Cmd_row>& rows) override
    {
        if (!bulk_refused) return SQL_Exchange::find_status_commands(count, rows);
        ++lookups_refused;
        last_error =
            QSqlError("refused by the test", "refused by the test", QSqlError::StatementError, "1064");
        return false;
    }
    using SQL_Exchange::chunk_max_chars;
    using SQL_Exchange::cmd_batch;
    using SQL_Exchange::chunk_max_rows;
    using SQL_Exchange::cmd_counter;
    using SQL_Exchange::numbering;
    using SQL_Exchange::db;
    using SQL_Exchange::last_error;
    using SQL_Exchange::run_synced;
    using SQL_Exchange::continue_numbers_after;
    using SQL_Exchange::data_tuple;
    using SQL_Exchange::event_tuple;
    using SQL_Exchange::pending_cap;
    using SQL_Exchange::save_run;
    using SQL_Exchange::tmr_save;
    using SQL_Exchange::wait_for_run;
};

using testsupport::Private_server;

const OBIS A_PLUS = obis_pack(1, 0, 1, 8, 0, 255);
const OBIS NO_COLUMN = obis_pack(1, 0, 15, 8, 0, 255);

Parser_ul_app uplink(uint32_t modem, uint32_t ts_get, uint8_t header)
{
    Parser_ul_app ul;
    ul.modem_id = modem;
    ul.ts_get = ts_get;
    ul.header = header;
    return ul;
}
// Uplinks at 300 a second (a reading, an event and a setting each) and a command with a
// delivery report every 100 ms, into `s`; counts what went in.
struct Feed
{
    QTimer timer;
    uint32_t uplinks = 0;
    QList<uint32_t> cmds;
    void start(Storage* s)
    {
        // Numbers for the whole feed are taken before the database goes into any state.
        QVERIFY(s->numbering.store_mark_at(s->cmd_counter() + 100000));
        QObject::connect(&timer, &QTimer::timeout, [this, s] {
            for (int i = 0; i < 3; ++i, ++uplinks) {
                Parser_ul_app ul = uplink(5000 + uplinks % 100, 1700000000 + uplinks, 0x40);
                Ul_data_record rec(254, 1700000000 + uplinks);
                rec.values[A_PLUS] = double(uplinks);
                ul.ul_datas << rec;
                ul.ul_events << Ul_event_record(1700000000 + uplinks, 1, 1, 65535, 3,
                                                obis_make_cde(99, 98, 0));
                ul.ul_settings << Ul_setting(1700000000 + uplinks, QString("s%1").arg(uplinks), "v");
                s->slot_UL(ul);
            }
            if (uplinks % 30 == 0) {
                if (!cmds.isEmpty()) s->slot_DL_status(Rabbit_dl_status(9, QString(), true, cmds.last()));
                cmds << s->send_dl(9, {}, "13.0.0", QVariant()).value("9").toUInt();
            }
        });
        timer.start(10);
    }
};
} // namespace

class tst_sql_exchange : public QObject
{
    Q_OBJECT

    QMap<QString, QString> env;
    QSqlDatabase check; // the test's own view of the database under test
    std::unique_ptr<RAM_modems> ram;

    QVariantMap config(const QString& db_name, const QMap<QString, QString>& s)
    {
        QVariantMap c = testsupport::db_config(s, db_name);
        c.insert("timers", QVariantMap{{"data_ms", 20}});
        return c;
    }
    // A new database holding the shipped schema, and storage on it.
    std::unique_ptr<Storage> storage_on_fresh(const QString& name, bool do_init = true)
    {
        check = testsupport::schema_database(name, "check");
        QSqlQuery(check).exec("SET NAMES utf8mb4");
        auto s = std::make_unique<Storage>(config(name, env), nullptr);
        if (do_init && !s->init())
            return nullptr;
        return s;
    }
    // A storage on a private server, with `check` open on its database; `admin_first` runs as
    // the server's administrator before the storage connects. Null when any step fails.
    std::unique_ptr<Storage> storage_on_private(Private_server& server, QMap<QString, QString>& priv,
                                                const QString& admin_first = QString())
    {
        if (!server.start()) return nullptr;
        priv = server.open_check(check);
        if (!check.isOpen()) return nullptr;
        if (!admin_first.isEmpty()) {
            bool done = false;
            {
                QSqlDatabase admin = testsupport::open_admin_database("private_admin", priv);
                done = QSqlQuery(admin).exec(admin_first);
            }
            QSqlDatabase::removeDatabase("private_admin");
            if (!done) return nullptr;
        }
        auto s = std::make_unique<Storage>(config(priv["STROVA_MYSQL_DB"], priv), nullptr);
        return s->init() ? std::move(s) : nullptr;
    }
    void close_private_check()
    {
        check.close();
        check = QSqlDatabase();
        QSqlDatabase::removeDatabase("private");
    }
    QVariantList row(const QString& select)
    {
        QSqlQuery q(check);
        QVariantList out;
        if (!q.exec(select))
            qWarning() << q.lastError().text() << select;
        else if (q.next())
            for (int i = 0; i < q.record().count(); ++i)
                out << (q.value(i).userType() == QMetaType::QByteArray ? QVariant(text_of(q.value(i))) : q.value(i));
        return out;
    }
    int count(const QString& table, const QString& where = "1")
    {
        return row(QStringLiteral("SELECT COUNT(*) FROM %1 WHERE %2").arg(table, where)).value(0).toInt();
    }
    void use_registry(const QVariantList& no_db)
    {
        ram.reset();
        ram = std::make_unique<RAM_modems>(QVariantMap{{"no_db", no_db}}, nullptr);
    }

private slots:
    void initTestCase()
    {
        env = testsupport::services();
        QVERIFY2(!env.value("STROVA_MYSQL_PORT").isEmpty(), "no throwaway MariaDB");
        g_log = std::make_unique<testsupport::Log_capture>();
        register_record_metatypes();
    }
    void init() { g_log->clear(); use_registry({}); }
    void cleanup() { ram.reset(); }

    // Everything the feed made is stored, once; every command but the last was delivered.
    void verify_fed(const Feed& feed)
    {
        QCOMPARE(count("modems_data"), int(feed.uplinks));
        QCOMPARE(count("modems_data", "OBIS_1_8_0 = ts - 1700000000"), int(feed.uplinks));
        QCOMPARE(count("modems_event"), int(feed.uplinks));
        QCOMPARE(count("modems_setting"), int(feed.uplinks));
        QCOMPARE(count("modems_cmd"), feed.cmds.size());
        QCOMPARE(count("modems_cmd", "`state` = 2"), feed.cmds.size() - 1);
        QVERIFY2(!g_log->has("row lost"),
                 qPrintable(g_log->all().split('\n').filter("row lost").join('\n').left(2000)));
    }

    void json_to_variant_data()
    {
        QTest::addColumn<QVariant>("in");
        QTest::addColumn<QVariant>("out");
        QTest::newRow("object") << QVariant("{\"a\":1}") << QVariant(QVariantMap{{"a", 1}});
        QTest::newRow("array") << QVariant("[1,2]") << QVariant(QVariantList{1, 2});
        QTest::newRow("cyrillic") << QVariant(u8"{\"имя\":\"Ёж\"}") << QVariant(QVariantMap{{u8"имя", u8"Ёж"}});
        QTest::newRow("number text") << QVariant("42") << QVariant("42");
        QTest::newRow("empty object") << QVariant("{}") << QVariant("{}");
        QTest::newRow("broken") << QVariant("{\"a\":") << QVariant("{\"a\":");
        QTest::newRow("already a map") << QVariant(QVariantMap{{"k", "v"}}) << QVariant(QVariantMap{{"k", "v"}});
    }
    void json_to_variant()
    {
        QFETCH(QVariant, in);
        QFETCH(QVariant, out);
        QCOMPARE(::json_to_variant(in), out);
    }

    void schema_upgrades()
    {
        auto s = storage_on_fresh("st_schema");
        QVERIFY(s);
        const QSqlRecord cmd = check.record("modems_cmd");
        QCOMPARE(cmd.fieldName(cmd.indexOf("data") - 1), QString("state"));
        QVERIFY(!cmd.field("data").requiredStatus());
        QVERIFY(check.record("modems_iec104").contains("modem_id"));
        // No mark yet: numbering starts a wide stretch above the newest stored command.
        QCOMPARE(s->cmd_counter(), SQL_Exchange::cmd_skip_without_mark);
        QVERIFY(s->tmr_save->isActive());

        // A second start finds both in place: nothing is altered or re-created.
        QVERIFY(QSqlQuery(check).exec("INSERT INTO modems_iec104 (iec_id, modem_id) VALUES (7, 305)"));
        QVERIFY(QSqlQuery(check).exec("INSERT INTO modems_cmd VALUES (5000, 3, 1, 'x', 3, NULL)"));
        s.reset();
        s = std::make_unique<Storage>(config("st_schema", env), nullptr);
        QVERIFY(s->init());
        QCOMPARE(count("modems_iec104"), 1);
        // The mark, not the table: the first start took its first block at once.
        QCOMPARE(s->cmd_counter(), SQL_Exchange::cmd_skip_without_mark + SQL_Exchange::cmd_number_block);
        // Without the mark (a table from before marks), the skip counts from the newest command.
        QVERIFY(QSqlQuery(check).exec("INSERT INTO modems_cmd VALUES (4000000000, 3, 1, 'x', 3, NULL)"));
        QVERIFY(QSqlQuery(check).exec("DELETE FROM driver_state"));
        s.reset();
        s = std::make_unique<Storage>(config("st_schema", env), nullptr);
        QVERIFY(s->init());
        QCOMPARE(s->cmd_counter(), 4000000000u + SQL_Exchange::cmd_skip_without_mark);
        QCOMPARE(row("SELECT `value` FROM driver_state").value(0).toUInt(),
                 s->cmd_counter() + SQL_Exchange::cmd_number_block);

        // A start beside a DBA's open transaction on the command table: the upgrade waits for
        // the table longer than the 2 s any later statement would, and is made once it ends.
        s.reset();
        QVERIFY(QSqlQuery(check).exec("ALTER TABLE modems_cmd DROP COLUMN `data`"));
        QProcess dba;
        dba.start("mariadb", {"--no-defaults", "--protocol=tcp", "-h" + env["STROVA_MYSQL_HOST"],
                              "-P" + env["STROVA_MYSQL_PORT"], "-u" + env["STROVA_MYSQL_USER"],
                              "-p" + env["STROVA_MYSQL_PASS"], check.databaseName(), "-e",
                              "BEGIN; SELECT COUNT(*) FROM modems_cmd; SELECT SLEEP(4); COMMIT;"});
        QTRY_COMPARE(count("information_schema.PROCESSLIST", "INFO LIKE 'SELECT SLEEP(4)%'"), 1);
        QElapsedTimer took;
        took.start();
        s = std::make_unique<Storage>(config("st_schema", env), nullptr);
        QVERIFY2(s->init(), qPrintable(g_log->all()));
        QVERIFY2(took.elapsed() >= 2000, qPrintable(QString::number(took.elapsed())));
        QVERIFY(check.record("modems_cmd").contains("data"));
        QVERIFY(dba.waitForFinished(10000));
        // Back to the bound for everything after the start.
        QSqlQuery bound(s->db);
        QVERIFY(bound.exec("SELECT @@SESSION.lock_wait_timeout") && bound.next());
        QCOMPARE(bound.value(0).toInt(), SQL_Exchange::lock_wait_s);
    }

    void init_failures_data() { testsupport::vector_rows(VECTORS("sql_exchange.txt"), "init"); }
    void init_failures()
    {
        QFETCH(QStringList, f);
        auto s = storage_on_fresh("st_init_fail", false);
        if (f[0] != "-")
            QVERIFY(QSqlQuery(check).exec(f[0]));
        QMap<QString, QString> e = env;
        if (f[1] != "-")
            e["STROVA_MYSQL_PASS"] = f[1];
        s = std::make_unique<Storage>(config("st_init_fail", e), nullptr);
        QVERIFY(!s->init());
        QVERIFY2(g_log->has(f[2]), qPrintable(g_log->all()));
        QVERIFY(!s->tmr_save->isActive());
    }

    void decoded_uplinks_become_rows()
    {
        auto s = storage_on_fresh("st_rows");
        QVERIFY(s);
        const uint32_t ts_get = 1700000100;
        const auto be32 = [](uint32_t v) {
            const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
            return QByteArray(b, 4);
        };
        const auto code = [](const OBIS& c) {
            uint8_t b[6];
            return QByteArray(reinterpret_cast<const char*>(b), obis_compact_encode(b, c));
        };
        const QByteArray text = u8"it's \"q\" \\ \n Счётчик";
        const QList<QByteArray> payloads = {
            // Day profile record, index 7, index_max 3: a column value, a code without column, a D = 3 count.
            QByteArray("\x44\x00\x73", 3) + be32(1699920000) + code(A_PLUS) + be32(12345678) + code(NO_COLUMN) +
                be32(1250) + code(obis_pack(1, 0, 1, 3, 0, 255)) + be32(7),
            QByteArray::fromHex("32020000000000"),                   // one value, no index
            QByteArray("\x4F\x00\x42\x00", 4) + be32(5000) + be32(1699990000) + QByteArray::fromHex("11" "00E6" "0003"),
            QByteArray("\x33", 1) + be32(1699990060) + QByteArray::fromHex("05" "0102"), // plain event
            QByteArray("\xED", 1) + code(obis_make_cde(96, 1, 0)) + QByteArray("\x02\x09", 2) + char(text.size()) + text,
            QByteArray::fromHex("EE000105020000"), // versions
        };
        for (const QByteArray& payload : payloads) {
            Radio_ul_input head;
            head.modem_id = 305;
            head.ts_get = ts_get;
            head.payload = payload;
            s->slot_UL(parser_strova5::parse_ul_app(head));
        }
        s->slot_tmr_save();

        QCOMPARE(row("SELECT ts_get, `type`, `index`, index_max, OBIS_1_8_0, OBIS_1_8_1 IS NULL, JSON_VALID(OBIS_ext), "
                     "JSON_VALUE(OBIS_ext, '$.\"01000F0800FF\"') FROM modems_data WHERE `type` = 68"),
                 (QVariantList{ts_get, 68u, 7u, 3u, 12345.678, 1, 1, "1.25"}));
        QCOMPARE(row("SELECT JSON_VALUE(OBIS_ext, '$.\"0100010300FF\"') FROM modems_data WHERE `type` = 68").value(0),
                 QVariant("7"));
        QCOMPARE(row("SELECT ts, `index`, index_max IS NULL, OBIS_1_7_0, OBIS_1_8_0 IS NULL FROM modems_data WHERE `type` = 50"),
                 (QVariantList{ts_get, 65535u, 1, 0.0, 1}));
        QCOMPARE(row("SELECT `type`, `index`, index_max, `event`, worktime, OBIS_12_7_0, OBIS_12_7_4, value_old IS NULL, "
                     "JSON_VALID(ext) FROM modems_event WHERE ts = 1699990000"),
                 (QVariantList{0u, 4u, 2u, 17u, 5000u, 230.0, 3.0, 1, 1}));
        QCOMPARE(row("SELECT `type`, `index`, index_max IS NULL, `event`, value_old, OBIS_12_7_0 IS NULL FROM modems_event "
                     "WHERE ts = 1699990060"),
                 (QVariantList{255u, 65535u, 1, 5u, 258.0, 1}));
        QCOMPARE(row("SELECT HEX(`data`) FROM modems_setting WHERE `setting` = '0.0.96.1.0.255_2'").value(0).toString(),
                 testsupport::hex_of(text));
        QCOMPARE(::json_to_variant(row("SELECT `data` FROM modems_setting WHERE `setting` = 'version'").value(0)),
                 QVariant(QVariantMap{{"sw", "0.1.0.5"}, {"hw", "0.2.0.0"}}));
    }

    void numeric_values_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QVariant>("stored"); // null: NULL
        QTest::newRow("int") << QVariant(-5) << QVariant(-5.0);
        QTest::newRow("uint max") << QVariant(4294967295u) << QVariant(4294967295.0);
        QTest::newRow("nan") << QVariant(std::nan("")) << QVariant();
        QTest::newRow("infinity") << QVariant(HUGE_VAL) << QVariant();
        QTest::newRow("number text") << QVariant("12.5") << QVariant(12.5);
        QTest::newRow("injection") << QVariant("1); DROP TABLE modems_data; --") << QVariant();
        QTest::newRow("map") << QVariant(QVariantMap{{"a", 1}}) << QVariant();
    }
    void numeric_values()
    {
        QFETCH(QVariant, value);
        QFETCH(QVariant, stored);
        auto s = storage_on_fresh("st_numbers");
        QVERIFY(s);
        Parser_ul_app ul = uplink(9, 1700000100, 0x40);
        Ul_data_record rec(254, 1700000000);
        rec.values[A_PLUS] = value;
        ul.ul_datas << rec;
        s->slot_UL(ul);
        s->slot_tmr_save();
        const QVariantList r = row("SELECT OBIS_1_8_0, JSON_VALID(OBIS_ext) FROM modems_data");
        QCOMPARE(r.size(), 2);
        QCOMPARE(r.at(0).isNull(), stored.isNull());
        if (!stored.isNull())
            QCOMPARE(r.at(0).toDouble(), stored.toDouble());
        QCOMPARE(r.at(1).toInt(), 1);
    }

    void hostile_texts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("apostrophe") << "it's";
        QTest::newRow("backslashes") << "C:\\new\\table\\\\ \\' \\\"";
        QTest::newRow("double quotes") << "say \"hi\"";
        QTest::newRow("line breaks") << "a\nb\r\nc\td";
        QTest::newRow("cyrillic") << u8"Счётчик №5 «ввод»";
        QTest::newRow("emoji") << u8"\U0001F50C plug";
        QTest::newRow("control-z and nul") << QString("z\x1a") + QChar(0) + "end";
        QTest::newRow("injection") << "x'); DROP TABLE modems_setting; --";
    }
    void hostile_texts()
    {
        QFETCH(QString, text);
        auto s = storage_on_fresh("st_texts");
        QVERIFY(s);
        Parser_ul_app ul = uplink(305, 1700000100, 0xED);
        ul.ul_settings << Ul_setting(1700000100, "t" + text, text)
                       << Ul_setting(1700000100, "map", QVariantMap{{text, text}, {"n", 1}});
        s->slot_UL(ul);
        s->send_dl(305, {}, "cmd" + text, text);
        s->send_dl(305, {}, "json", QVariantMap{{"k", text}});
        s->slot_tmr_save();
        QCOMPARE(s->pending_rows(), 0);

        // Byte for byte as UTF-8, compared on the server.
        const QString hex = testsupport::hex_of(text.toUtf8());
        QCOMPARE(row("SELECT HEX(`setting`), HEX(`data`) FROM modems_setting WHERE `setting` <> 'map'"),
                 (QVariantList{"74" + hex, hex}));
        QCOMPARE(row("SELECT HEX(`setting`), HEX(`data`) FROM modems_cmd WHERE `setting` <> 'json'"),
                 (QVariantList{"636D64" + hex, hex}));
        QCOMPARE(row("SELECT JSON_VALID(`data`) FROM modems_setting WHERE `setting` = 'map'").value(0).toInt(), 1);
        const QVariantList json = row("SELECT JSON_VALID(`data`), `data` FROM modems_cmd WHERE `setting` = 'json'");
        QCOMPARE(json.value(0).toInt(), 1);
        QCOMPARE(::json_to_variant(json.value(1)), QVariant(QVariantMap{{"k", text}}));

        // What the registry loads at the next start is what was stored (Qt's reading of a text
        // stops at a NUL, so that one is checked on the server only).
        if (text.contains(QChar(0)))
            return;
        QMap<uint32_t, QVariantMap> stored;
        QVERIFY(s->get_pending_settings(stored));
        const QVariantMap loaded = stored.value(305);
        QCOMPARE(loaded.value("t" + text).toString(), text);
        QCOMPARE(loaded.value("map"), QVariant(QVariantMap{{text, text}, {"n", 1}}));
    }

    // The start's read goes on from the last key of a full piece, whatever that key holds:
    // quotes, a backslash, 4-byte characters.
    void settings_read_in_pieces_go_on_past_any_key()
    {
        auto s = storage_on_fresh("st_pieces");
        QVERIFY(s);
        const QString odd = u8"k1 it's \"q\" \\ Счётчик 😀";
        const int piece = SQL_Exchange::settings_piece_rows;
        QVERIFY(QSqlQuery(check).exec(
            QString("INSERT INTO modems_setting SELECT 7, 1, 0, CONCAT('k0', LPAD(seq, 5, '0')), "
                    "seq FROM seq_1_to_%1")
                .arg(piece - 1)));
        QSqlQuery add(check);
        QVERIFY(add.prepare("INSERT INTO modems_setting VALUES (7, 1, 0, ?, '\"odd\"'), (7, 1, 0, 'z', 1), "
                            "(8, 1, 0, 'a', 2), (8, 1, 1, 'b', 3)"));
        add.addBindValue(odd);
        QVERIFY2(add.exec(), qPrintable(add.lastError().text()));
        QMap<uint32_t, QVariantMap> stored;
        QVERIFY(s->get_pending_settings(stored));
        QCOMPARE(stored.value(7).size(), piece + 1); // the odd key is the piece's last
        QCOMPARE(stored.value(7).value(odd).toString(), QString("odd"));
        QCOMPARE(stored.value(7).value("z").toInt(), 1);
        QCOMPARE(stored.value(8), (QVariantMap{{"a", 2}})); // state 0 only
    }

    // What the registry reloads at start has the JSON type it was stored with: a number stays a
    // number and a text of digits stays a text.
    void setting_types_survive_a_reload()
    {
        auto s = storage_on_fresh("st_types");
        QVERIFY(s);
        const QVariantMap settings{{"time_version", uint(1796626497)},
                                   {"tz", -180},
                                   {"ratio", 0.25},
                                   {"flag", true},
                                   {"digits", QString("0102")},
                                   {"number text", QString("42")},
                                   {"true text", QString("true")},
                                   {"quoted text", QString("\"q\"")},
                                   {"spaced number text", QString(" 7 ")},
                                   {"plain text", QString("porch")},
                                   {"array text", QString("[1,2]")},
                                   {"object text", QString("{\"a\":1}")},
                                   {"spaced object text", QString(" {\"a\": [true]} ")},
                                   {"empty array text", QString("[]")},
                                   {"broken array text", QString("[1,")},
                                   {"bytes", QByteArray("1234")},
                                   {"list", QVariantList{1, "a"}},
                                   {"map", QVariantMap{{"sw", "1.2.3"}}}};
        Parser_ul_app ul = uplink(306, 1700000100, 0xED);
        for (auto it = settings.cbegin(); it != settings.cend(); ++it)
            ul.ul_settings << Ul_setting(1700000100, it.key(), it.value());
        s->slot_UL(ul);
        s->slot_tmr_save();
        QCOMPARE(s->pending_rows(), 0);
        QMap<uint32_t, QVariantMap> stored;
        QVERIFY(s->get_pending_settings(stored));
        const QVariantMap loaded = stored.value(306);
        QCOMPARE(QJsonDocument(QJsonObject::fromVariantMap(loaded)).toJson(QJsonDocument::Compact),
                 QJsonDocument(QJsonObject::fromVariantMap(settings)).toJson(QJsonDocument::Compact));
        QCOMPARE(loaded.value("time_version").toUInt(), 1796626497u);
        // Texts that read as nothing else are stored as they are, as before.
        QCOMPARE(row("SELECT `data` FROM modems_setting WHERE `setting` = 'plain text'").value(0).toString(),
                 QString("porch"));
        QCOMPARE(row("SELECT `data` FROM modems_setting WHERE `setting` = 'digits'").value(0).toString(),
                 QString("0102"));
        QCOMPARE(row("SELECT `data` FROM modems_setting WHERE `setting` = 'number text'").value(0).toString(),
                 QString("\"42\""));
        QCOMPARE(row("SELECT `data` FROM modems_setting WHERE `setting` = 'array text'").value(0).toString(),
                 QString("\"[1,2]\""));
        QCOMPARE(row("SELECT `data` FROM modems_setting WHERE `setting` = 'broken array text'")
                     .value(0)
                     .toString(),
                 QString("[1,"));
    }

    void refused_row_loses_only_itself()
    {
        auto s = storage_on_fresh("st_refused");
        QVERIFY(s);
        QVERIFY(QSqlQuery(check).exec("CREATE TRIGGER refuse BEFORE INSERT ON modems_data FOR EACH ROW "
                                      "IF NEW.modem_id = 666 THEN SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused'; END IF"));
        s->chunk_max_rows = 20;
        for (uint32_t m = 600; m < 650; ++m) {
            Parser_ul_app ul = uplink(m == 625 ? 666 : m, 1700000100, 0x40);
            ul.ul_datas << Ul_data_record(254, 1700000000);
            s->slot_UL(ul);
        }
        s->slot_tmr_save();
        QCOMPARE(s->pending_rows(), 0);
        QCOMPARE(count("modems_data"), 49);
        QVERIFY(g_log->has("row lost:") && g_log->has("(666, 1700000000"));
    }

    void chunks_and_cap()
    {
        auto s = storage_on_fresh("st_chunks", false);
        s->chunk_max_rows = 7;
        s->chunk_max_chars = 3000;
        s->pending_cap = 100;
        QSignalSpy intake(s.get(), &SQL_Exchange::signal_intake);
        // Before the connection opens nothing can be written: at the cap the uplinks are to wait
        // in the broker, with one line; no row is dropped.
        for (uint32_t i = 0; i < 130; ++i) {
            Parser_ul_app ul = uplink(7, 1700000000 + i, 0xEF);
            ul.ul_settings << Ul_setting(1700000000 + i, QString("s%1").arg(i), i == 129 ? QString(5000, 'x') : "v");
            s->slot_UL(ul);
        }
        s->slot_tmr_save();
        s->slot_tmr_save();
        QCOMPARE(s->pending_rows(), 130);
        QCOMPARE(intake.size(), 1);
        QCOMPARE(intake.at(0).at(0).toBool(), false);
        QCOMPARE(g_log->count("100 rows of modems_setting wait"), 1);
        QVERIFY(!g_log->has("dropped"));
        QVERIFY(s->init());
        s->slot_tmr_save();
        QCOMPARE(s->pending_rows(), 0);
        QCOMPARE(count("modems_setting"), 130);
        QCOMPARE(count("modems_setting", "setting IN ('s0', 's29', 's129')"), 3);
        QCOMPARE(intake.size(), 2);
        QCOMPARE(intake.at(1).at(0).toBool(), true);
        QCOMPARE(g_log->count("uplinks are taken again"), 1);
    }

    void quit_writes_pending_rows()
    {
        auto s = storage_on_fresh("st_quit");
        QVERIFY(s);
        s->tmr_save->stop();
        Parser_ul_app ul = uplink(5, 1700000100, 0x40);
        ul.ul_datas << Ul_data_record(254, 1700000000);
        s->slot_UL(ul);
        run_quit_hooks(quit_stage_flush);
        QCOMPARE(count("modems_data"), 1);
    }

    // Timers due in the same pass as the termination signal fire after the quit hook: the save
    // timer starts nothing any more, and the rows such a timer adds (the driver's own events)
    // are written when the storage goes, or named in an Err line when they cannot be.
    void rows_after_the_quit_hook_written_or_named_data()
    {
        QTest::addColumn<bool>("server_up");
        QTest::newRow("database there") << true;
        QTest::newRow("database gone") << false;
    }
    void rows_after_the_quit_hook_written_or_named()
    {
        QFETCH(bool, server_up);
        Private_server server;
        QMap<QString, QString> priv;
        auto s = storage_on_private(server, priv);
        QVERIFY(s);
        Parser_ul_app early = uplink(5, 1700000100, 0xEE);
        early.ul_settings << Ul_setting(1700000100, "early", 1);
        s->slot_UL(early);
        run_quit_hooks(quit_stage_flush);
        QCOMPARE(count("modems_setting"), 1);
        QVERIFY(!s->tmr_save->isActive());
        if (!server_up) QVERIFY(server.run({"mysql-stop"}));
        Parser_ul_app late = uplink(5, 1700000200, 0xEE);
        late.ul_settings << Ul_setting(1700000200, "update_ts", 1700000200);
        late.ul_events << Ul_event_record(1700000200, 0, 65535, 65535, 7, obis_make_cde(99, 98, 255));
        s->slot_UL(late);
        QCoreApplication::processEvents(); // what the rest of the event loop's pass may run
        s.reset();
        const QStringList err = g_log->all().split('\n').filter("quitting: the database did not take");
        if (server_up) {
            QCOMPARE(count("modems_setting"), 2);
            QCOMPARE(count("modems_event"), 1);
            QVERIFY2(err.isEmpty(), qPrintable(err.join('\n')));
        } else {
            QCOMPARE(err.size(), 2);
            QVERIFY(err.filter("1 rows of modems_setting with times from 1700000200 to 1700000200").size() == 1);
            QVERIFY(err.filter("1 rows of modems_event").size() == 1);
            // Each lost row is named by its modem, not by a cut statement.
            QCOMPARE(err.filter("they are lost: modem_5").size(), 2);
        }
        close_private_check();
    }

    void database_stopped()
    {
        Private_server server;
        QMap<QString, QString> priv;
        auto s = storage_on_private(server, priv);
        QVERIFY(s);

        // Uplinks keep arriving every 10 ms while the server stops, stays away and comes back.
        uint32_t sent = 0;
        QTimer feed;
        connect(&feed, &QTimer::timeout, [&] {
            Parser_ul_app ul = uplink(1000 + sent, 1700000100, 0x40);
            ul.ul_datas << Ul_data_record(254, 1700000000);
            ul.ul_settings << Ul_setting(1700000100, u8"имя", u8"Счётчик 🔌 '№" + QString::number(sent));
            s->slot_UL(ul);
            ++sent;
        });
        feed.start(10);
        QTest::qWait(500);
        QVERIFY(server.run({"mysql-stop"}));
        QTest::qWait(3000);
        QVERIFY(s->pending_rows() > 0);
        QVERIFY(server.run({"mysql-start"}));
        QTest::qWait(500);
        feed.stop();
        QTRY_COMPARE_WITH_TIMEOUT(s->pending_rows(), 0, 20000);
        s.reset();

        check.close(); // its session went with the server
        QVERIFY(check.open());
        QSqlQuery(check).exec("SET NAMES utf8mb4");
        QCOMPARE(count("modems_data"), int(sent));
        QCOMPARE(count("modems_setting"), int(sent));
        // Texts written after the reconnection keep their characters too.
        QCOMPARE(row(QString("SELECT `data` FROM modems_setting WHERE modem_id = %1").arg(1000 + sent - 1)).value(0).toString(),
                 QString(u8"Счётчик 🔌 '№") + QString::number(sent - 1));
        QVERIFY(g_log->has("database not reachable") && g_log->has("database reachable again"));
        close_private_check();
    }

    void oversized_row_loses_only_itself()
    {
        // A row beyond max_allowed_packet makes the server drop the connection, which looks like
        // the server going away; it must not hold back its batch and every later one for ever.
        Private_server server;
        QMap<QString, QString> priv;
        auto s = storage_on_private(server, priv, "SET GLOBAL max_allowed_packet = 65536");
        QVERIFY(s);
        s->tmr_save->stop();

        Parser_ul_app ul = uplink(305, 1700000100, 0xEF);
        ul.ul_settings << Ul_setting(1700000100, "before", "a") << Ul_setting(1700000100, "huge", QString(100000, 'h'))
                       << Ul_setting(1700000100, "after", "b");
        s->slot_UL(ul);
        s->slot_tmr_save();
        Parser_ul_app later = uplink(306, 1700000200, 0x40);
        later.ul_datas << Ul_data_record(254, 1700000200);
        later.ul_events << Ul_event_record(1700000150, 10, 1, 65535, 3, obis_make_cde(99, 98, 0));
        later.ul_settings << Ul_setting(1700000200, "later", "c");
        s->slot_UL(later);
        s->send_dl(306, {}, "13.0.0", QVariant());
        s->slot_tmr_save();
        QCOMPARE(s->pending_rows(), 0);

        QCOMPARE(row("SELECT GROUP_CONCAT(setting ORDER BY setting) FROM modems_setting").value(0).toString(),
                 QString("after,before,later"));
        QCOMPARE(count("modems_data", "modem_id = 306"), 1);
        QCOMPARE(count("modems_event", "modem_id = 306"), 1);
        QCOMPARE(count("modems_cmd", "modem_id = 306"), 1);
        const QStringList lost = g_log->all().split('\n').filter("row lost, it drops the connection");
        QCOMPARE(lost.size(), 1);
        QVERIFY(lost.first().contains("'huge'"));
        QVERIFY(lost.first().size() < 1300); // the statement is cut, not written out whole
        s.reset();
        close_private_check();
    }

    // States of the server that pass: the rows wait, in order, and all are stored once it
    // takes them again.
    void passing_state_loses_nothing_data()
    {
        QTest::addColumn<QString>("state");
        QTest::newRow("read-only for 15 s") << "read-only";
        QTest::newRow("row lock held for 20 s") << "row lock";
    }
    void passing_state_loses_nothing()
    {
        QFETCH(QString, state);
        Private_server server;
        QMap<QString, QString> priv;
        auto s = storage_on_private(server, priv);
        QVERIFY(s);
        QSqlDatabase admin = testsupport::open_admin_database("passing_admin", priv);
        QVERIFY(admin.isOpen());
        Feed feed;
        feed.start(s.get());
        QTRY_VERIFY(count("modems_data") > 0);

        QSqlQuery a(admin);
        if (state == "read-only") {
            QVERIFY(a.exec("SET GLOBAL read_only = 1"));
        } else {
            // Another session holds every row (and gap) of the readings the writer replaces.
            QVERIFY(a.exec("START TRANSACTION"));
            QVERIFY(a.exec("SELECT COUNT(*) FROM `" + priv["STROVA_MYSQL_DB"] + "`.modems_data FOR UPDATE"));
        }
        QTest::qWait(state == "read-only" ? 15000 : 20000); // the state lasts this long
        QVERIFY(s->pending_rows() > 0);
        QVERIFY(g_log->has("passing state"));
        QVERIFY(a.exec(state == "read-only" ? "SET GLOBAL read_only = 0" : "COMMIT"));
        feed.timer.stop();
        QTRY_COMPARE_WITH_TIMEOUT(s->pending_rows(), 0, 30000);
        verify_fed(feed);
        s.reset();
        admin.close();
        admin = QSqlDatabase();
        QSqlDatabase::removeDatabase("passing_admin");
        close_private_check();
    }

    // A cluster node that cannot take writes for a while answers every write with one of these
    // errors: rows and statuses wait, in order, and nothing is lost or left undelivered.
    void node_not_ready_loses_nothing_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("joining or out of the primary component")
            << 1047 << "WSREP has not yet prepared node for application use";
        QTest::newRow("read-only mode") << 1836 << "Running in read-only mode";
        QTest::newRow("read-only transactions")
            << 1792 << "Cannot execute statement in a READ ONLY transaction";
    }
    void node_not_ready_loses_nothing()
    {
        QFETCH(int, code);
        QFETCH(QString, text);
        auto s = storage_on_fresh("st_not_ready");
        QVERIFY(s);
        // While `gate` holds a row, every write of the daemon gets the node's answer.
        QVERIFY(QSqlQuery(check).exec("CREATE TABLE gate (x INT)"));
        const QString signal =
            QStringLiteral(
                "IF EXISTS (SELECT 1 FROM gate) THEN SIGNAL SQLSTATE '08S01' SET MYSQL_ERRNO = %1, "
                "MESSAGE_TEXT = '%2'; END IF")
                .arg(code)
                .arg(text);
        for (const char* table : {"modems_data", "modems_event", "modems_setting", "modems_cmd"})
            QVERIFY(QSqlQuery(check).exec(
                QStringLiteral("CREATE TRIGGER gate_%1 BEFORE INSERT ON %1 FOR EACH ROW %2")
                    .arg(table, signal)));
        QVERIFY(QSqlQuery(check).exec(
            "CREATE TRIGGER gate_cmd_update BEFORE UPDATE ON modems_cmd FOR EACH ROW " + signal));
        Feed feed;
        feed.start(s.get());
        QTRY_VERIFY(count("modems_cmd", "`state` = 2") > 0);
        QVERIFY(QSqlQuery(check).exec("INSERT INTO gate VALUES (1)"));
        QTest::qWait(2000); // uplinks and statuses keep coming while the node refuses
        QVERIFY(s->pending_rows() > 0);
        QVERIFY(QSqlQuery(check).exec("DELETE FROM gate"));
        QTest::qWait(500);
        feed.timer.stop();
        QTRY_COMPARE_WITH_TIMEOUT(s->pending_rows(), 0, 30000);
        verify_fed(feed);
        QVERIFY(g_log->has(QStringLiteral("passing state: %1").arg(code)));
        QVERIFY(g_log->has("the database takes rows again"));
    }

    // A server that refuses writes of more rows than it allows at once (a cluster's write-set
    // limit, said as an error during commit): after a pause the same chunk meets it again, and
    // chunks and status groups get smaller until they pass; a quit does not wait for ever.
    void write_set_limit_splits_chunks_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("rows") << 1180 << "wsrep_max_ws_rows exceeded";
        QTest::newRow("size") << 1105 << "Maximum writeset size exceeded";
    }
    void write_set_limit_splits_chunks()
    {
        QFETCH(int, code);
        QFETCH(QString, text);
        auto s = storage_on_fresh("st_ws_rows");
        QVERIFY(s);
        s->tmr_save->stop();
        // Rows of one statement counted by the statement's own time, to the microsecond.
        const auto limit = [&](const char* name, const char* when, int rows) {
            return QSqlQuery(check).exec(
                QStringLiteral(
                    "CREATE TRIGGER %1 %2 FOR EACH ROW BEGIN IF @t <=> NOW(6) THEN SET @n = @n + 1; "
                    "ELSE SET @t = NOW(6), @n = 1; END IF; IF @n > %3 THEN SIGNAL SQLSTATE 'HY000' "
                    "SET MYSQL_ERRNO = %4, MESSAGE_TEXT = '%5'; END IF; END")
                    .arg(name, when)
                    .arg(rows)
                    .arg(code)
                    .arg(text));
        };
        QVERIFY(limit("ws_data", "BEFORE INSERT ON modems_data", 7));
        QVERIFY(limit("ws_cmd", "BEFORE UPDATE ON modems_cmd", 3));
        QList<uint32_t> cmds;
        for (uint32_t m = 2; m <= 401; ++m)
            cmds << s->send_dl(m, {}, "13.0.0", QVariant()).value(QString::number(m)).toUInt();
        s->slot_tmr_save();
        QCOMPARE(count("modems_cmd", "`state` = 1"), 400);
        // Uplinks and delivery reports keep coming, every 50 ms, while the server refuses: the
        // group that meets it again is longer, and still it goes in halves, so that the reports
        // (and the rows behind them) are written while the traffic lasts.
        uint32_t fed = 0;
        int reported = 0;
        const auto feed = [&] {
            for (int i = 0; i < 3 && fed < 300; ++i) {
                ++fed;
                Parser_ul_app ul = uplink(fed, 1700000100, 0x40);
                ul.ul_datas << Ul_data_record(254, 1700000000);
                s->slot_UL(ul);
            }
            for (int i = 0; i < 4 && reported < cmds.size(); ++i, ++reported)
                s->slot_DL_status(
                    Rabbit_dl_status(uint32_t(reported + 2), QString(), true, cmds.at(reported)));
            s->slot_tmr_save();
        };
        for (int i = 0; i < 100; ++i) {
            feed();
            QTest::qWait(50);
        }
        QVERIFY(count("modems_cmd", "`state` = 2") > 100);
        QVERIFY(count("modems_data") > 100);
        QTRY_VERIFY_WITH_TIMEOUT((feed(), s->pending_rows() == 0), 20000);
        QCOMPARE(count("modems_data"), 300);
        QCOMPARE(count("modems_cmd", "`state` = 2"), 400);
        // A quit with more of them waiting ends once they are written.
        for (uint32_t m = 301; m <= 600; ++m) {
            Parser_ul_app ul = uplink(m, 1700000100, 0x40);
            ul.ul_datas << Ul_data_record(254, 1700000000);
            s->slot_UL(ul);
        }
        run_quit_hooks(quit_stage_flush);
        QCOMPARE(count("modems_data"), 600);
        QVERIFY(g_log->has("rows of modems_data ; writing"));
        QVERIFY(g_log->has("statuses; applying"));
        QVERIFY(!g_log->has("row lost"));
    }

    // One row the server finds too large even alone is the refused-row road: it alone is lost,
    // with its line, and the rows after it are written.
    void row_too_large_alone_is_lost_alone()
    {
        auto s = storage_on_fresh("st_ws_row");
        QVERIFY(s);
        s->tmr_save->stop();
        QVERIFY(QSqlQuery(check).exec(
            "CREATE TRIGGER ws_row BEFORE INSERT ON modems_data FOR EACH ROW IF NEW.modem_id = 666 THEN "
            "SIGNAL SQLSTATE 'HY000' SET MYSQL_ERRNO = 1180, MESSAGE_TEXT = 'wsrep_max_ws_rows exceeded'; "
            "END IF"));
        for (uint32_t m = 600; m < 700; ++m) {
            Parser_ul_app ul = uplink(m, 1700000100, 0x40);
            ul.ul_datas << Ul_data_record(254, 1700000000);
            s->slot_UL(ul);
        }
        QTRY_VERIFY_WITH_TIMEOUT((s->slot_tmr_save(), s->pending_rows() == 0), 20000);
        QCOMPARE(count("modems_data"), 99);
        QCOMPARE(count("modems_data", "modem_id = 666"), 0);
        const QStringList lost = g_log->all().split('\n').filter("row lost");
        QCOMPARE(lost.size(), 1);
        QVERIFY(lost.first().contains("(666, 1700000000"));
        // The chunk is whole again for what comes next.
        for (uint32_t m = 700; m < 800; ++m) {
            Parser_ul_app ul = uplink(m, 1700000100, 0x40);
            ul.ul_datas << Ul_data_record(254, 1700000000);
            s->slot_UL(ul);
        }
        g_log->clear();
        s->slot_tmr_save();
        QCOMPARE(count("modems_data"), 199);
        QVERIFY(!g_log->has("passing state"));
    }

    void deadlock_victim_retried()
    {
        auto s = storage_on_fresh("st_deadlock");
        QVERIFY(s);
        // The other session's rows: it will have modified more of them than the writer, so
        // InnoDB rolls the writer's statement back.
        for (uint32_t m = 100; m < 600; ++m) {
            Parser_ul_app ul = uplink(m, 1700000100, 0x40);
            ul.ul_datas << Ul_data_record(254, 1700000000);
            s->slot_UL(ul);
        }
        for (uint32_t m : {11, 12}) {
            Parser_ul_app ul = uplink(m, 1700000100, 0x40);
            ul.ul_datas << Ul_data_record(254, 1700000000);
            s->slot_UL(ul);
        }
        s->slot_tmr_save();
        QSqlDatabase other = testsupport::open_database("deadlock_other", "st_deadlock");
        {
            QSqlQuery o(other);
            QVERIFY(o.exec("START TRANSACTION"));
            QVERIFY(o.exec("UPDATE modems_data SET ts_get = ts_get + 1 WHERE modem_id >= 100"));
            QVERIFY(o.exec("UPDATE modems_data SET ts_get = ts_get + 1 WHERE modem_id = 12"));
            // The writer replaces 11, then waits for 12.
            for (uint32_t m : {11, 12}) {
                Parser_ul_app ul = uplink(m, 1700000200, 0x40);
                ul.ul_datas << Ul_data_record(254, 1700000000);
                s->slot_UL(ul);
            }
            // Only a statement already waiting for 12 holds 11: a REPLACE merely seen running may
            // not have reached 11 yet, and on a loaded server the other session would then take 11
            // first and no deadlock would come. A third session asks for 11 without waiting.
            QSqlDatabase probe = testsupport::open_database("deadlock_probe", "st_deadlock");
            QTRY_VERIFY_WITH_TIMEOUT(
                !QSqlQuery(probe).exec("SELECT modem_id FROM modems_data WHERE modem_id = 11 FOR UPDATE NOWAIT"),
                8000);
            probe.close();
            probe = QSqlDatabase();
            QSqlDatabase::removeDatabase("deadlock_probe");
            QVERIFY(o.exec("UPDATE modems_data SET ts_get = ts_get + 1 WHERE modem_id = 11"));
            QVERIFY(o.exec("COMMIT"));
        }
        QTRY_COMPARE_WITH_TIMEOUT(s->pending_rows(), 0, 10000);
        QTRY_COMPARE(count("modems_data", "modem_id IN (11, 12) AND ts_get = 1700000200"), 2);
        QVERIFY(g_log->has("passing state: 1213"));
        QVERIFY(!g_log->has("row lost"));
        other.close();
        other = QSqlDatabase();
        QSqlDatabase::removeDatabase("deadlock_other");
    }

    // An account limited in connections: the writer's own connection is refused, its rows go
    // over the main connection and the server's reason is logged.
    void writer_connection_refused()
    {
        Private_server server;
        QMap<QString, QString> priv;
        // The daemon's main and loader connections; the test's own view, opened before the
        // limit, is not counted by the server.
        auto s = storage_on_private(server, priv, "ALTER USER 'u'@'127.0.0.1' WITH MAX_USER_CONNECTIONS 2");
        QVERIFY(s);
        // The loader thread has its connection: the writer's is the one too many.
        QTRY_COMPARE(
            row("SELECT COUNT(*) FROM information_schema.processlist WHERE user = 'u'").value(0).toInt(), 3);
        Feed feed;
        feed.start(s.get());
        QTRY_VERIFY(feed.uplinks >= 300);
        feed.timer.stop();
        QTRY_COMPARE_WITH_TIMEOUT(s->pending_rows(), 0, 10000);
        verify_fed(feed);
        const QStringList err =
            g_log->all().split('\n').filter("writer's own database connection cannot be opened");
        QCOMPARE(err.size(), 1);
        QVERIFY2(err.first().contains("max_user_connections"), qPrintable(err.first()));
        s.reset();
        close_private_check();
    }

    // The answer to a statement is lost with its connection after the server did the work: the
    // stored state stays whole.
    void lost_answer_keeps_state_whole_data()
    {
        QTest::addColumn<QString>("statement");
        QTest::newRow("command done") << "UPDATE modems_cmd";
        QTest::newRow("command insert") << "INSERT INTO modems_cmd";
        QTest::newRow("commit of the statuses") << "COMMIT";
    }
    void lost_answer_keeps_state_whole()
    {
        QFETCH(QString, statement);
        check = testsupport::schema_database("st_lost_answer", "check");
        testsupport::Sql_proxy proxy(env["STROVA_MYSQL_PORT"].toUShort(), statement, 1);
        QVERIFY(proxy.port());
        QMap<QString, QString> via = env;
        via["STROVA_MYSQL_PORT"] = QString::number(proxy.port());
        auto s = std::make_unique<Storage>(config("st_lost_answer", via), nullptr);
        QVERIFY(s->init());
        s->tmr_save->stop();
        // Setting writes, confirmed by the meter: each is done only with its setting stored.
        s->codec_states = {5, 5, 5};
        QList<uint32_t> ids;
        for (uint32_t m : {21, 22, 23})
            ids << s->send_dl(m, {}, "0.0.17.0.0.255_3", int(m)).value(QString::number(m)).toUInt();
        s->slot_tmr_save();
        for (uint32_t m : {21, 22, 23})
            s->slot_DL_status(Rabbit_dl_status(m, QString(), true, ids[int(m - 21)]));
        QTRY_VERIFY_WITH_TIMEOUT((s->slot_tmr_save(), s->pending_rows() == 0), 10000);
        QCOMPARE(count("modems_cmd"), 3);
        QCOMPARE(count("modems_cmd", "`state` = 3"), 3);
        QCOMPARE(count("modems_setting", "setting = '0.0.17.0.0.255_3' AND `data` = modem_id"), 3);
        for (uint32_t m : {21, 22, 23})
            QCOMPARE(ram->get_setting(m, "0.0.17.0.0.255_3").toUInt(), m);
        QVERIFY(!g_log->has("row lost"));
        QVERIFY(g_log->has("answer was lost") || !statement.startsWith("INSERT"));
    }

    void codec_states_data() { testsupport::vector_rows(VECTORS("sql_exchange.txt"), "codec"); }
    void codec_states()
    {
        QFETCH(QStringList, f);
        const uint codec = f[0].toUInt(), stored = f[1].toUInt();
        const bool sent = f[2] == "1";
        auto s = storage_on_fresh("st_codec_states");
        QVERIFY(s);
        QSignalSpy spy(s.get(), &SQL_Exchange::signal_DL);
        s->codec_states = {codec};
        const QVariantMap r = s->send_dl(305, {"special"}, "13.0.0", QVariant());
        s->slot_tmr_save();
        QCOMPARE(spy.count(), sent ? 1 : 0);
        QCOMPARE(row("SELECT cmd_id, `state`, `data` IS NULL FROM modems_cmd"),
                 (QVariantList{r.value("305").toUInt(), stored, 1}));
    }

    void command_numbers()
    {
        auto s = storage_on_fresh("st_numbers_cmd");
        QVERIFY(s);
        QSignalSpy spy(s.get(), &SQL_Exchange::signal_DL);
        const uint32_t first = s->cmd_counter() + 1;
        const QVariantMap r = s->send_dl(QList<uint32_t>{10, 1, 11}, {}, "13.0.0", "{\"a\": 'b'}");
        QCOMPARE(r, (QVariantMap{{"10", first}, {"11", first + 2}})); // modem 1 used a number
        QCOMPARE(spy.count(), 2);
        QCOMPARE(spy.at(1).at(0).value<Stringify_dl_app>().cmd_id, first + 2);
        QCOMPARE(s->send_dl(12, {}, "13.0.0", 5).value("12").toUInt(), first + 3);

        // Current values: one request per "ts_req_curr_last" seconds, across all modems.
        QCOMPARE(s->send_dl(QList<uint32_t>{20, 21}, {}, "94.7.0", QVariant()).keys(), QStringList{"20"});
        QVERIFY(s->send_dl(22, {}, "94.7.0", QVariant()).isEmpty());
        s->slot_tmr_save();
        QCOMPARE(row("SELECT GROUP_CONCAT(cmd_id - " + QString::number(first) + " ORDER BY cmd_id) FROM modems_cmd")
                     .value(0).toString(), QString("0,2,3,4"));
        QCOMPARE(row("SELECT `data` FROM modems_cmd WHERE modem_id = 12").value(0).toString(), QString("5"));
        QCOMPARE(s->get_cmd_states({first, first + 4, 999999}),
                 (QVariantMap{{QString::number(first), "PENDING"}, {QString::number(first + 4), "PENDING"}}));
        // A list asked in pieces answers as one statement would.
        const int chunk = s->chunk_max_chars;
        s->chunk_max_chars = 1;
        QCOMPARE(s->get_cmd_states({999999, first, 888888, first + 4}),
                 (QVariantMap{{QString::number(first), "PENDING"}, {QString::number(first + 4), "PENDING"}}));
        s->chunk_max_chars = chunk;
        // A run of numbers is asked as a range: those stored in it, no others.
        const QString one = QString::number(first);
        QCOMPARE(s->get_cmd_states({first + 4, first + 3, first + 2, first + 1, first, first + 1, 999999}).keys(),
                 (QStringList{one, QString::number(first + 2), QString::number(first + 3), QString::number(first + 4)}));
        QCOMPARE(s->get_cmd_states({first + 1, first + 2, first + 3}).size(), 2);
        g_log->clear();
        QVERIFY(s->get_cmd_states({}).isEmpty());
        QVERIFY(g_log->all().isEmpty()); // no statement with an empty IN list
    }

    void relay_request_reenters()
    {
        // The codec queues the mode read from inside the encoding of the relay command.
        auto s = storage_on_fresh("st_relay");
        QVERIFY(s);
        s->real_codec = true;
        QSignalSpy spy(s.get(), &SQL_Exchange::signal_DL);
        const uint32_t n = s->cmd_counter();
        QCOMPARE(s->send_dl(305, {"control"}, "96.3.10", QVariant()), (QVariantMap{{"305", n + 2}}));
        QCOMPARE(s->send_dl(305, {"control"}, "13.0.0", "1").value("305").toUInt(), n + 3);
        QCOMPARE(spy.count(), 2);
        QCOMPARE(spy.at(0).at(0).value<Stringify_dl_app>().cmd_id, n + 1);
        QCOMPARE(spy.at(1).at(0).value<Stringify_dl_app>().cmd_id, n + 2);
        s->slot_tmr_save();
        QCOMPARE(row("SELECT GROUP_CONCAT(CONCAT(cmd_id - " + QString::number(n) + ", ' ', setting, ' ', state) ORDER BY cmd_id) FROM modems_cmd")
                     .value(0).toString(),
                 QString("1 0.0.96.3.10.255_4 1,2 0.0.96.3.10.255_3 1,3 13.0.0 4"));
    }

    void status_rules_in_table_data() { testsupport::vector_rows(VECTORS("sql_exchange.txt"), "status"); }
    void status_rules_in_table()
    {
        QFETCH(QStringList, f);
        const uint before = f[0].toUInt(), after = f[4].toUInt();
        const bool success = f[1] == "1", by_number = f[2] == "1";
        const QString named = f[3] == "-" ? QString() : f[3];
        auto s = storage_on_fresh("st_status_db");
        QVERIFY(s);
        // A stray row numbered 0 shows whether an unmatched status updated "cmd_id=0".
        QVERIFY(QSqlQuery(check).exec("INSERT INTO modems_cmd VALUES (0, 305, 1, 'other', 1, NULL)"));
        s->codec_states = {before};
        const uint32_t id = s->send_dl(305, {}, "13.0.0", "{\"t\":\"it's\"}").value("305").toUInt();
        s->slot_tmr_save();
        s->slot_DL_status(Rabbit_dl_status(305, named, success, by_number ? id : 0));
        s->slot_tmr_save();
        QCOMPARE(row(QString("SELECT `state` FROM modems_cmd WHERE cmd_id = %1").arg(id)).value(0).toUInt(), after);
        QCOMPARE(row("SELECT `state` FROM modems_cmd WHERE cmd_id = 0").value(0).toUInt(), 1u);
        // A confirmed write is stored as the modem's setting, with the command's time.
        const bool confirmed = before == 5 && success;
        QCOMPARE(count("modems_setting", "setting = '13.0.0' AND data = '{\"t\":\"it''s\"}'"),
                 confirmed ? 1 : 0);
        QCOMPARE(ram->get_setting(305, "13.0.0").isValid(), confirmed);
    }

    // Delivery reports and answers for 200 modems, each applied in a save of its own or all in
    // one save window: what the table, the settings and the registry end with.
    QStringList statuses_outcome(const QString& db_name, bool one_per_save)
    {
        use_registry({});
        auto s = storage_on_fresh(db_name);
        if (!s) return {"no storage"};
        s->tmr_save->stop();
        const QString written = "0.0.17.0.0.255_3";
        QMap<uint32_t, QPair<uint32_t, uint32_t>> cmds; // modem -> (read, setting write)
        for (uint32_t m = 400; m < 600; ++m) {
            s->codec_states = {1, 5};
            cmds[m].first = s->send_dl(m, {}, "13.0.0", QVariant()).value(QString::number(m)).toUInt();
            cmds[m].second = s->send_dl(m, {}, written, int(m)).value(QString::number(m)).toUInt();
        }
        s->slot_tmr_save();
        int statuses = 0;
        const auto status = [&](uint32_t m, const QString& setting, bool success, uint32_t cmd_id) {
            s->slot_DL_status(Rabbit_dl_status(m, setting, success, cmd_id));
            ++statuses;
            if (one_per_save) s->slot_tmr_save();
        };
        for (uint32_t m = 400; m < 600; ++m) {
            status(m, "", m % 7 != 0, cmds[m].first); // delivered, or failed
            status(m, "13.0.0", true, 0);             // the answer
            if (m % 3 == 0)                           // the write confirmed by the meter's answer...
                status(m, written, true, 0);
            else // ...or by its delivery report, or failed
                status(m, "", m % 11 != 0, cmds[m].second);
            // A new command after the answer: the earlier answer must not reach it, the later one does.
            if (m % 5 == 0) {
                s->codec_states = {1};
                s->send_dl(m, {}, "13.0.0", QVariant());
            }
            status(m, m % 2 ? written : "get_arch_index", true, 0); // a repeated answer, or none due
            status(m, "13.0.0", true, 0);
        }
        s->slot_tmr_save();
        QStringList out;
        out << QString::number(statuses) << QString::number(s->pending_rows());
        out << row(QString(
                       "SELECT GROUP_CONCAT(CONCAT_WS(':', cmd_id - %1, modem_id, setting, `state`, `data`) "
                       "ORDER BY cmd_id) FROM modems_cmd")
                       .arg(cmds.first().first))
                   .value(0)
                   .toString();
        out << row("SELECT GROUP_CONCAT(CONCAT_WS(':', modem_id, setting, `state`, `data`) ORDER BY "
                   "modem_id, setting) "
                   "FROM modems_setting")
                   .value(0)
                   .toString();
        // A confirmed setting carries its command's time.
        out << QString::number(count("modems_setting s",
                                     "NOT EXISTS (SELECT 1 FROM modems_cmd c WHERE "
                                     "c.modem_id = s.modem_id AND c.setting = s.setting AND c.ts = s.ts)"));
        QStringList registry;
        for (uint32_t m = 400; m < 600; ++m)
            registry << ram->get_setting(m, written).toString();
        out << registry.join(',');
        return out;
    }

    void statuses_in_one_save_as_one_by_one()
    {
        const QStringList each = statuses_outcome("st_status_each", true);
        const QStringList once = statuses_outcome("st_status_once", false);
        QCOMPARE(each.value(0), QString("1000"));
        QCOMPARE(each.value(1), QString("0"));
        QCOMPARE(each.value(4), QString("0"));
        // Every kind of outcome is there: failed, done, and copied settings; every answered
        // command is done, so none is left awaiting its answer.
        QVERIFY(!each.value(2).contains(":13.0.0:2,"));
        for (const char* state : {":13.0.0:4,", ":13.0.0:3,", ":0.0.17.0.0.255_3:3:", ":0.0.17.0.0.255_3:4:"})
            QVERIFY2(each.value(2).contains(QLatin1String(state)), state);
        QCOMPARE(each.value(3).count(":0.0.17.0.0.255_3:0:"), 188); // all but the 12 failed writes
        QCOMPARE(once, each);
        QVERIFY(!g_log->has("WITH p(m, s)")); // the bulk lookup was taken
        QVERIFY(!g_log->has("in the statuses of a save"));
    }

    // One random history of writes awaiting confirmation, reads, delivery reports, failures,
    // answers, uplinks reporting the setting and saves, replayed through the table's bulk road,
    // its one-by-one road or the registry: the states and the settings it leaves.
    QStringList history_outcome(const QString& road, quint32 seed)
    {
        use_registry(road == "registry" ? QVariantList{"cmd"} : QVariantList{});
        auto s = storage_on_fresh("st_history");
        if (!s) return {"no storage"};
        s->tmr_save->stop();
        s->bulk_refused = road == "one by one";
        QRandomGenerator rng(seed);
        const QString written = "0.0.17.0.0.255_3";
        const QStringList names{written, "13.0.0", "version"};
        // A command the meter answered, then reported failed: it stays done.
        s->codec_states = {1};
        const uint32_t answered = s->send_dl(809, {}, "version", QVariant()).value("809").toUInt();
        s->slot_DL_status(Rabbit_dl_status(809, "version", true, 0));
        s->slot_DL_status(Rabbit_dl_status(809, QString(), false, answered));

        QList<uint32_t> ids{answered};
        QStringList registry;
        QHash<uint32_t, uint32_t> modem_of{{answered, 809}};
        for (int step = 0; step < 200; ++step) {
            const uint32_t m = 800 + rng.bounded(3);
            const uint32_t id = ids.at(int(rng.bounded(uint32_t(ids.size()))));
            // Values of each kind a client may give: numbers, texts that read as numbers or lists.
            const QVariantList values{step, QString::number(step), QString("v%1").arg(step),
                                      QString("[%1,2]").arg(step)};
            switch (rng.bounded(16)) {
            case 0:
            case 1:
            case 2:
            case 3: {
                s->codec_states = {5};
                const uint32_t n = s->send_dl(m, {}, written, values.at(int(rng.bounded(4))))
                                       .value(QString::number(m))
                                       .toUInt();
                ids << n;
                modem_of.insert(n, m);
                break;
            }
            case 4:
            case 5: {
                s->codec_states = {1};
                const uint32_t n = s->send_dl(m, {}, names.at(1 + int(rng.bounded(2))), QVariant())
                                       .value(QString::number(m))
                                       .toUInt();
                ids << n;
                modem_of.insert(n, m);
                break;
            }
            case 6:
            case 7:
            case 8:
                s->slot_DL_status(Rabbit_dl_status(modem_of.value(id), QString(), true, id));
                break;
            case 9:
                s->slot_DL_status(Rabbit_dl_status(modem_of.value(id), QString(), false, id));
                break;
            case 10:
            case 11:
            case 12:
                s->slot_DL_status(Rabbit_dl_status(m, names.at(int(rng.bounded(3))), true, 0));
                break;
            case 13: {
                Parser_ul_app ul = uplink(m, 1700000000, 0xED);
                ul.ul_settings << Ul_setting(1700000000, written, QString("[%1]").arg(step));
                s->slot_UL(ul);
                break;
            }
            default:
                // After a save the registry knows every setting the statuses left, on either road.
                s->slot_tmr_save();
                for (uint32_t k = 800; k < 803; ++k)
                    registry << QJsonDocument(QJsonArray::fromVariantList({ram->get_setting(k, written)}))
                                    .toJson(QJsonDocument::Compact);
            }
        }
        s->slot_tmr_save();
        if (s->pending_rows() != 0) return {"rows left"};
        if (s->bulk_refused && s->lookups_refused == 0) return {"the one-by-one road was not taken"};
        QStringList states;
        const QVariantMap by_number = s->get_cmd_states(ids);
        for (const uint32_t id : ids)
            states
                << QString("%1:%2").arg(id - answered).arg(by_number.value(QString::number(id)).toString());
        return {
            states.join(' '), registry.join(' '),
            row("SELECT GROUP_CONCAT(CONCAT_WS(':', modem_id, setting, `data`) ORDER BY modem_id, setting) "
                "FROM modems_setting")
                .value(0)
                .toString()};
    }

    void table_and_registry_agree_on_random_histories()
    {
        QSet<QString> seen;
        for (quint32 seed = 1; seed <= 5; ++seed) {
            const QStringList bulk = history_outcome("bulk", seed);
            QVERIFY2(bulk.size() == 3, qPrintable(bulk.join(' ')));
            QVERIFY2(bulk.first().startsWith("0:DONE "), qPrintable(bulk.first().left(40)));
            QCOMPARE(history_outcome("one by one", seed), bulk);
            QCOMPARE(history_outcome("registry", seed), bulk);
            for (const QString& state : bulk.first().split(' '))
                seen.insert(state.section(':', 1));
        }
        // The histories reached every state and the roads' differences.
        QCOMPARE(seen, (QSet<QString>{"PENDING", "WAIT_DATA", "DONE", "FAILED"}));
    }

    // The row text of a reading and of an event, byte for byte: values in the first, a middle and
    // the last of the 54 value columns, a code without a column (only in the JSON), no values.
    void tuples_byte_exact()
    {
        const auto nulls = [](int n) { return QStringLiteral(", NULL").repeated(n); };
        Parser_ul_app ul = uplink(4294967295u, 1700000000, 0x42);
        Ul_data_record rec(15, 1699996400, 0, 65535);
        rec.values.insert(SQL_Exchange::obis_list.at(0), 12345);
        rec.values.insert(SQL_Exchange::obis_list.at(27), 2.5);
        rec.values.insert(SQL_Exchange::obis_list.last(), -7);
        rec.values.insert(obis_make_cde(99, 7, 0), 1);
        QCOMPARE(Storage::data_tuple(ul, rec),
                 "(4294967295, 1699996400, 1700000000, 66, 0, NULL, 12345" + nulls(26) + ", 2.5" + nulls(25) +
                     ", -7, '{\"0000630700FF\":1,\"0100010800FF\":12345,\"0100150700FF\":2.5,\"0100510702FF\":-7}')");
        QCOMPARE(Storage::data_tuple(ul, Ul_data_record(254, 1699999999, 65534, 65534)),
                 "(4294967295, 1699999999, 1700000000, 66, 65534, 65534" + nulls(54) + ", NULL)");
        Ul_event_record ev(1699999000, 3600, 7, 200, 4096, obis_make_cde(99, 98, 3));
        ev.values.insert(obis_make_cde(12, 7, 4), 231);
        QCOMPARE(Storage::event_tuple(ul, ev),
                 QString("(4294967295, 1699999000, 1700000000, 3, 7, 200, 4096, 3600, NULL, 231, NULL, NULL, NULL, "
                         "NULL, '{\"00000C0704FF\":231}')"));
    }

    // The statuses go to the database with the writer while uplinks go on arriving: a setting an
    // uplink reports meanwhile is newer than the one a status confirms, in the table and in the
    // registry alike; a delivered relay command of an old software leaves its relay setting.
    void status_settings_while_the_run_is_out()
    {
        auto s = storage_on_fresh("st_status_meanwhile");
        QVERIFY(s);
        s->tmr_save->stop();
        const QString written = "0.0.17.0.0.255_3";
        ram->slot_set_setting(702, "version", QVariantMap{{"sw", "1.0.2.0"}}, false);
        s->codec_states = {5, 5, 1};
        s->send_dl(700, {}, written, 7);
        s->send_dl(701, {}, written, 7);
        const uint32_t relay = s->send_dl(702, {"control"}, "96.3.10", "5").value("702").toUInt();
        s->slot_tmr_save();
        QCOMPARE(count("modems_cmd", "`state` = 1 OR `state` = 5"), 3);

        s->slot_DL_status(Rabbit_dl_status(700, written, true, 0));
        s->slot_DL_status(Rabbit_dl_status(701, written, true, 0));
        s->slot_DL_status(Rabbit_dl_status(702, "", true, relay));
        s->save_run(); // with the writer; taken back by the next statement or save
        Parser_ul_app ul = uplink(700, 1700000100, 0xEE);
        ul.ul_settings << Ul_setting(1700000100, written, 9);
        s->slot_UL(ul);
        s->slot_tmr_save();
        s->slot_tmr_save();
        QCOMPARE(s->pending_rows(), 0);

        QCOMPARE(count("modems_cmd", "`state` = 3"), 2);
        QCOMPARE(count("modems_cmd", QString("cmd_id = %1 AND `state` = 2").arg(relay)), 1);
        QCOMPARE(row(QString("SELECT `data` FROM modems_setting WHERE modem_id = 700 AND setting = '%1'").arg(written)),
                 QVariantList{"9"});
        QCOMPARE(ram->get_setting(700, written).toInt(), 9);
        QCOMPARE(row(QString("SELECT `data` FROM modems_setting WHERE modem_id = 701 AND setting = '%1'").arg(written)),
                 QVariantList{"7"});
        QCOMPARE(ram->get_setting(701, written).toInt(), 7);
        QCOMPARE(row("SELECT `data` FROM modems_setting WHERE modem_id = 702 AND setting = '96.3.10'"),
                 QVariantList{"[2,5,1]"});
        QCOMPARE(ram->get_setting(702, "96.3.10"), QVariant(QVariantList{2, 5, 1}));
    }

    // Delivered relay commands of modems with the old software leave the relay setting; the
    // writer applies them while the main thread stores modems and settings in the registry. What
    // a status needs of the registry was decided when it came: the writer reads none of it (the
    // thread checker's run of this test sees every hand-off).
    void old_firmware_relay_statuses_while_the_registry_is_written()
    {
        auto s = storage_on_fresh("st_relay_registry");
        QVERIFY(s);
        s->tmr_save->stop();
        QList<uint32_t> modems;
        for (uint32_t m = 710; m < 730; ++m) {
            modems << m;
            ram->slot_set_setting(m, "version", QVariantMap{{"sw", m % 2 ? "1.0.2.0" : "1.0.3.0"}}, false);
        }
        for (int round = 0; round < 10; ++round) {
            const QString data = QString::number(3 + round);
            QMap<uint32_t, uint32_t> ids;
            for (const uint32_t m : modems)
                ids.insert(m, s->send_dl(m, {"control"}, "96.3.10", data).value(QString::number(m)).toUInt());
            s->slot_tmr_save();
            for (const uint32_t m : modems)
                s->slot_DL_status(Rabbit_dl_status(m, "", true, ids.value(m)));
            s->save_run(); // the statuses go with the writer...
            for (int i = 0; i < 50; ++i) { // ...while modems and settings are stored
                ram->add_modem(5000 + uint32_t(round * 50 + i), QVariantMap{{"radio", i}});
                for (const uint32_t m : modems)
                    ram->slot_set_setting(m, "13.0.0", round * 50 + i, false);
            }
            s->slot_tmr_save();
        }
        s->slot_tmr_save();
        QCOMPARE(s->pending_rows(), 0);
        // Only the old software's modems have the relay setting, that of their last command.
        const QVariantList last{2, 12, 0};
        for (const uint32_t m : modems) {
            const QString where = QString("modem_id = %1 AND setting = '96.3.10'").arg(m);
            if (m % 2) {
                QCOMPARE(row("SELECT `data` FROM modems_setting WHERE " + where), QVariantList{"[2,12,0]"});
                QCOMPARE(ram->get_setting(m, "96.3.10"), QVariant(last));
            } else {
                QCOMPARE(count("modems_setting", where), 0);
            }
        }
    }

    // A status's run fails while an uplink reports a newer value of the setting it confirms: the
    // newer value stays, in the table and in the registry, however the run comes back.
    void newer_setting_outlives_a_failed_status_run_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::newRow("lookup answer lost") << "lookup";
        QTest::newRow("row lock for 7 s") << "lock";
    }
    void newer_setting_outlives_a_failed_status_run()
    {
        QFETCH(QString, failure);
        check = testsupport::schema_database("st_newer_setting", "check");
        QSqlQuery(check).exec("SET NAMES utf8mb4");
        std::unique_ptr<testsupport::Sql_proxy> proxy;
        QMap<QString, QString> via = env;
        if (failure == "lookup") {
            proxy = std::make_unique<testsupport::Sql_proxy>(env["STROVA_MYSQL_PORT"].toUShort(), "WITH p(m, s)", 1);
            QVERIFY(proxy->port());
            via["STROVA_MYSQL_PORT"] = QString::number(proxy->port());
        }
        auto s = std::make_unique<Storage>(config("st_newer_setting", via), nullptr);
        QVERIFY(s->init());
        s->tmr_save->stop();
        const QString written = "0.0.17.0.0.255_3";
        s->codec_states = {5};
        const uint32_t id = s->send_dl(730, {}, written, 7).value("730").toUInt();
        s->slot_tmr_save();
        QSqlDatabase locker = testsupport::open_database("newer_locker", "st_newer_setting");
        QSqlQuery l(locker);
        if (failure == "lock") {
            QVERIFY(l.exec("START TRANSACTION"));
            QVERIFY(l.exec(QString("SELECT * FROM modems_cmd WHERE cmd_id = %1 FOR UPDATE").arg(id)));
        }
        s->slot_DL_status(Rabbit_dl_status(730, written, true, 0));
        s->save_run(); // the status goes out with the writer...
        Parser_ul_app ul = uplink(730, 1700000100, 0xEE);
        ul.ul_settings << Ul_setting(1700000100, written, 9); // ...while the meter reports a newer value
        s->slot_UL(ul);
        if (failure == "lock") {
            QTRY_VERIFY_WITH_TIMEOUT(g_log->has("passing state: 1205"), 15000);
            QVERIFY(l.exec("COMMIT"));
        }
        QTRY_VERIFY_WITH_TIMEOUT((s->slot_tmr_save(), s->pending_rows() == 0), 20000);
        QCOMPARE(row(QString("SELECT `state` FROM modems_cmd WHERE cmd_id = %1").arg(id)), QVariantList{3});
        QCOMPARE(row(QString("SELECT `data` FROM modems_setting WHERE modem_id = 730 AND setting = '%1'").arg(written)),
                 QVariantList{"9"});
        QCOMPARE(ram->get_setting(730, written).toInt(), 9);
        l = QSqlQuery();
        locker.close();
        locker = QSqlDatabase();
        QSqlDatabase::removeDatabase("newer_locker");
    }

    // The COMMIT of a group of statuses is answered to nobody: each status moves its command
    // one step, not two, and a confirmed setting reaches table and registry once.
    void statuses_applied_once_when_the_commit_answer_is_lost()
    {
        check = testsupport::schema_database("st_commit_lost", "check");
        testsupport::Sql_proxy proxy(env["STROVA_MYSQL_PORT"].toUShort(), "COMMIT", 1);
        QVERIFY(proxy.port());
        QMap<QString, QString> via = env;
        via["STROVA_MYSQL_PORT"] = QString::number(proxy.port());
        auto s = std::make_unique<Storage>(config("st_commit_lost", via), nullptr);
        QVERIFY(s->init());
        s->tmr_save->stop();
        s->codec_states = {1, 1, 5};
        const uint32_t answered = s->send_dl(740, {}, "13.0.0", QVariant()).value("740").toUInt();
        const uint32_t delivered = s->send_dl(741, {}, "13.0.0", QVariant()).value("741").toUInt();
        const uint32_t confirmed = s->send_dl(742, {}, "0.0.17.0.0.255_3", 42).value("742").toUInt();
        s->slot_tmr_save();
        s->slot_DL_status(Rabbit_dl_status(740, "13.0.0", true, 0));    // 1 -> 3
        s->slot_DL_status(Rabbit_dl_status(741, QString(), true, delivered)); // 1 -> 2
        s->slot_DL_status(Rabbit_dl_status(742, QString(), true, confirmed)); // 5 -> 3
        QTRY_VERIFY_WITH_TIMEOUT((s->slot_tmr_save(), s->pending_rows() == 0), 10000);
        QCOMPARE(row(QString("SELECT GROUP_CONCAT(`state` ORDER BY cmd_id) FROM modems_cmd WHERE cmd_id IN (%1, %2, %3)")
                         .arg(answered).arg(delivered).arg(confirmed)).value(0).toString(),
                 QString("3,2,3"));
        QCOMPARE(count("modems_setting", "modem_id = 742 AND `data` = '42'"), 1);
        QCOMPARE(ram->get_setting(742, "0.0.17.0.0.255_3").toInt(), 42);
        QVERIFY(g_log->has("statuses stored before their answer was lost"));
    }

    // On the one-by-one road (a status of the group refused), the answer to a confirmed write's
    // state is lost: the setting is in the table and in the registry, the command done.
    void one_by_one_status_keeps_table_and_registry_together()
    {
        check = testsupport::schema_database("st_one_lost", "check");
        QVERIFY(QSqlQuery(check).exec("CREATE TRIGGER refuse_state BEFORE UPDATE ON modems_cmd FOR EACH ROW "
                                      "IF NEW.modem_id = 750 THEN SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = "
                                      "'refused'; END IF"));
        testsupport::Sql_proxy proxy(env["STROVA_MYSQL_PORT"].toUShort(), "modems_cmd SET `state`='3'", 1);
        QVERIFY(proxy.port());
        QMap<QString, QString> via = env;
        via["STROVA_MYSQL_PORT"] = QString::number(proxy.port());
        auto s = std::make_unique<Storage>(config("st_one_lost", via), nullptr);
        QVERIFY(s->init());
        s->tmr_save->stop();
        s->codec_states = {1, 5};
        const uint32_t refused = s->send_dl(750, {}, "13.0.0", QVariant()).value("750").toUInt();
        const uint32_t confirmed = s->send_dl(751, {}, "0.0.17.0.0.255_3", 51).value("751").toUInt();
        s->slot_tmr_save();
        s->slot_DL_status(Rabbit_dl_status(750, QString(), true, refused));
        s->slot_DL_status(Rabbit_dl_status(751, QString(), true, confirmed));
        QTRY_VERIFY_WITH_TIMEOUT((s->slot_tmr_save(), s->pending_rows() == 0), 10000);
        QCOMPARE(row(QString("SELECT `state` FROM modems_cmd WHERE cmd_id = %1").arg(confirmed)), QVariantList{3});
        QCOMPARE(row(QString("SELECT `state` FROM modems_cmd WHERE cmd_id = %1").arg(refused)), QVariantList{1});
        QCOMPARE(count("modems_setting", "modem_id = 751 AND `data` = '51'"), 1);
        QCOMPARE(ram->get_setting(751, "0.0.17.0.0.255_3").toInt(), 51);
        QVERIFY(g_log->has("applying them one by one"));
    }

    // 5,000 confirmed setting writes in one save, of which the server refuses one setting row (a
    // trigger): the refused group goes one status at a time, in runs that each end within their
    // second and go on where the last one stopped, while the main thread's reads go beside them.
    // Only the refused row is lost: every state and every other setting is stored.
    void refused_row_in_a_group_keeps_each_run_short()
    {
        check = testsupport::schema_database("st_group_refused", "check");
        {
            QSqlDatabase admin = testsupport::open_admin_database("group_admin", env);
            QVERIFY(admin.isOpen());
            QSqlQuery a(admin);
            QVERIFY2(a.exec("CREATE TRIGGER st_group_refused.refuse_setting BEFORE INSERT ON "
                            "st_group_refused.modems_setting FOR EACH ROW IF NEW.modem_id = 2500 THEN SIGNAL "
                            "SQLSTATE '45000' SET MESSAGE_TEXT = 'refused'; END IF"),
                     qPrintable(a.lastError().text()));
        }
        QSqlDatabase::removeDatabase("group_admin");
        g_log->clear();
        auto s = std::make_unique<Storage>(config("st_group_refused", env), nullptr);
        QVERIFY(s->init());
        s->tmr_save->stop();
        const QString written = "0.0.17.0.0.255_3";
        QList<uint32_t> cmds;
        for (uint32_t m = 2; m < 5002; ++m) {
            s->codec_states = {5};
            cmds << s->send_dl(m, {}, written, int(m)).value(QString::number(m)).toUInt();
        }
        s->slot_tmr_save();
        QCOMPARE(count("modems_cmd", "`state` = 5"), 5000);
        for (uint32_t m = 2; m < 5002; ++m)
            s->slot_DL_status(Rabbit_dl_status(m, QString(), true, cmds.at(int(m - 2))));

        // Run after run, as the timer hands them out, with a read of the main thread every 100 ms.
        qint64 longest_run = 0, worst_read = 0;
        int runs = 0;
        QElapsedTimer all;
        all.start();
        while (s->pending_rows() > 0 && all.elapsed() < 120000) {
            QElapsedTimer run;
            run.start();
            s->save_run();
            ++runs;
            for (bool back = false; !back;) {
                QElapsedTimer read;
                read.start();
                s->get_cmd_states({cmds.first()});
                s->get_data(2, 254, 0, UINT32_MAX, 1);
                worst_read = qMax(worst_read, read.elapsed());
                back = s->wait_for_run(100);
            }
            longest_run = qMax(longest_run, run.elapsed());
        }
        std::fprintf(stderr,
                     "5,000 statuses in %d runs, %lld ms; longest run %lld ms, slowest read %lld ms\n", runs,
                     all.elapsed(), longest_run, worst_read);
        QCOMPARE(s->pending_rows(), 0);
        QVERIFY2(worst_read <= 2000, qPrintable(QString::number(worst_read)));
        QVERIFY2(longest_run <= 2500, qPrintable(QString::number(longest_run)));
        QVERIFY(runs >= 2);
        // The group's refusal, then the refused status's own, alone.
        QCOMPARE(g_log->count("in the statuses of a save; applying them one by one"), 2);
        QCOMPARE(count("modems_cmd", "`state` = 3"), 5000);
        QCOMPARE(count("modems_setting", QString("setting = '%1' AND `data` = modem_id").arg(written)), 4999);
        QCOMPARE(count("modems_setting", "modem_id = 2500"), 0);
    }

    // The counter passes 4294967295 while old commands 1-20 are still in the table: every new
    // command gets a number of its own, its row, its answers and its state, also across a restart.
    void command_numbers_across_the_wrap()
    {
        auto s = storage_on_fresh("st_wrap");
        QVERIFY(s);
        const uint32_t now = uint32_t(QDateTime::currentSecsSinceEpoch());
        for (int i = 1; i <= 20; ++i)
            QVERIFY(QSqlQuery(check).exec(QString("INSERT INTO modems_cmd VALUES (%1, 800, %2, '13.0.0', 1, 'old')").arg(i).arg(now)));
        s->continue_numbers_after(4294967290u);
        s->slot_tmr_save(); // the writer finds the free numbers ahead
        QList<uint32_t> ids;
        for (int k = 0; k < 30; ++k) {
            if (k == 15) { // a restart in the middle continues after the newest command
                s.reset();
                s = std::make_unique<Storage>(config("st_wrap", env), nullptr);
                QVERIFY(s->init());
            }
            s->tmr_save->stop();
            const uint32_t id = s->send_dl(800, {}, "13.0.0", k).value("800").toUInt();
            ids << id;
            s->slot_tmr_save();
            s->slot_DL_status(Rabbit_dl_status(800, QString(), true, id)); // delivered: 1 -> 2
            s->slot_DL_status(Rabbit_dl_status(800, "13.0.0", true, 0));   // the answer: 2 -> 3
            s->slot_tmr_save();
            QCOMPARE(s->pending_rows(), 0);
        }
        QCOMPARE(ids.mid(0, 7), (QList<uint32_t>{4294967291u, 4294967292u, 4294967293u, 4294967294u, 4294967295u, 21, 22}));
        // The restart goes on above the stored mark: the rest of the block stays unused.
        QVERIFY2(ids[15] > ids[14] && ids[15] <= ids[14] + SQL_Exchange::cmd_number_block + 1,
                 qPrintable(QString::number(ids[15])));
        QCOMPARE(QSet<uint32_t>(ids.begin(), ids.end()).size(), 30);
        QCOMPARE(count("modems_cmd"), 50);
        // The old commands of that modem and setting were open when the answers came: done too.
        QCOMPARE(count("modems_cmd", "`state` = 3 AND cmd_id <= 20 AND `data` = 'old'"), 20);
        QStringList numbers;
        for (int k = 0; k < 30; ++k) {
            numbers << QString::number(ids[k]);
            QCOMPARE(row(QString("SELECT `data`, `state` FROM modems_cmd WHERE cmd_id = %1").arg(ids[k])),
                     (QVariantList{QString::number(k), 3}));
        }
        const QVariantMap states = s->get_cmd_states(ids);
        QCOMPARE(states.size(), 30);
        for (const QVariant& v : states)
            QCOMPARE(v.toString(), QString("DONE"));
        QVERIFY(!g_log->has("row lost"));
    }

    // Old numbers still stored over more than one window of the lookahead: each one is skipped,
    // the gaps between them are used.
    void command_numbers_skip_long_runs_of_stored_ones()
    {
        auto s = storage_on_fresh("st_wrap_long");
        QVERIFY(s);
        s->tmr_save->stop();
        QVERIFY(QSqlQuery(check).exec("INSERT INTO modems_cmd SELECT seq, 801, 1, 'old', 3, NULL FROM seq_1_to_9500 "
                                      "WHERE seq <> 9001 AND seq NOT BETWEEN 9200 AND 9201"));
        s->continue_numbers_after(4294967295u);
        // No free number is known yet: refused at once, found by the writer with the next save.
        QVERIFY(s->send_dl(802, {}, "13.0.0", -1).isEmpty());
        s->slot_tmr_save();
        QList<uint32_t> ids;
        for (int k = 0; k < 4; ++k)
            ids << s->send_dl(802, {}, "13.0.0", k).value("802").toUInt();
        QCOMPARE(ids, (QList<uint32_t>{9001, 9200, 9201, 9501}));
        s->slot_tmr_save();
        QCOMPARE(count("modems_cmd", "modem_id = 802"), 4);
        QVERIFY(!g_log->has("row lost"));
    }

    // Rows 7,001..200,000 stored and the mark at 1,000 (a restore without the raise): 6,000
    // commands without a save, then a request jumps into the free range above the rows and takes
    // its block itself; the saves after it never write a lower mark, and after more commands and
    // a crash with three numbers not yet written, the next process gives none of them again.
    void mark_never_goes_back_after_a_jump()
    {
        auto s = storage_on_fresh("st_jump");
        QVERIFY(s);
        QVERIFY(QSqlQuery(check).exec("INSERT INTO modems_cmd SELECT seq, 803, 1, 'old', 3, NULL FROM seq_7001_to_200000"));
        QVERIFY(QSqlQuery(check).exec("UPDATE driver_state SET `value` = 1000"));
        s.reset();
        s = std::make_unique<Storage>(config("st_jump", env), nullptr);
        QVERIFY(s->init());
        s->tmr_save->stop();
        const auto stored_mark = [this] { return row("SELECT `value` FROM driver_state").value(0).toUInt(); };
        QSet<uint32_t> given;
        uint32_t last = 0;
        const auto command = [&] {
            const QVariantMap r = s->send_dl(804, {}, "13.0.0", QVariant());
            if (r.isEmpty()) return false;
            last = r.value("804").toUInt();
            given.insert(last);
            return true;
        };
        for (int i = 0; i < 6000; ++i)
            QVERIFY(command());
        while (last < 200001)
            if (!command()) s->slot_tmr_save(); // refused until the search found the range
        QCOMPARE(last, 200001u);
        for (int i = 0; i < 3000; ++i) {
            QVERIFY(command());
            if (i % 100 == 0) {
                s->slot_tmr_save();
                QVERIFY2(stored_mark() >= last && stored_mark() < 4000000000u, qPrintable(QString::number(stored_mark())));
            }
        }
        s->slot_tmr_save();
        QList<uint32_t> unsaved;
        for (int i = 0; i < 3; ++i) {
            QVERIFY(command());
            unsaved << last;
        }
        QVERIFY(stored_mark() >= last);
        s->cmd_batch.tuples.clear(); // lost with the process
        s.reset();
        s = std::make_unique<Storage>(config("st_jump", env), nullptr);
        QVERIFY(s->init());
        s->tmr_save->stop();
        for (int i = 0; i < 3; ++i) {
            const uint32_t n = s->send_dl(804, {}, "13.0.0", QVariant()).value("804").toUInt();
            QVERIFY2(n > unsaved.last() && !given.contains(n), qPrintable(QString::number(n)));
        }
        QCOMPARE(given.size(), 6000 + int(unsaved.last() - 200001) + 1); // no number skipped after the jump
        s->slot_tmr_save();
        QVERIFY(!g_log->has("row lost"));
    }

    // A read with the cluster's sync wait puts the session's setting back also when the read
    // fails, so that no later write of the session waits for the cluster.
    void synced_read_resets_the_session_when_it_fails()
    {
        auto s = storage_on_fresh("st_synced");
        QVERIFY(s);
        s->tmr_save->stop();
        QSqlQuery q(s->db);
        QVERIFY(q.exec("SELECT @@SESSION.wsrep_sync_wait")); // Debian's server has it without a cluster
        QSqlQuery bad(s->db);
        QVERIFY(!s->run_synced(bad, "SELECT no_such_column FROM modems_cmd"));
        QCOMPARE(s->last_error.nativeErrorCode(), QString("1054")); // the select's error, not the reset's
        QVERIFY(q.exec("SELECT @@SESSION.wsrep_sync_wait") && q.next());
        QCOMPARE(q.value(0).toInt(), 0);
        QSqlQuery good(s->db);
        QVERIFY(s->run_synced(good, "SELECT COUNT(*) FROM modems_cmd"));
        QVERIFY(q.exec("SELECT @@SESSION.wsrep_sync_wait") && q.next());
        QCOMPARE(q.value(0).toInt(), 0);
    }

    // While the command rows wait at their cap, a new command is refused before it has a number
    // or goes out; once they are written, commands are made again.
    void commands_refused_at_the_cap()
    {
        auto s = storage_on_fresh("st_cmd_cap");
        QVERIFY(s);
        s->tmr_save->stop();
        s->pending_cap = 5;
        QSignalSpy spy(s.get(), &SQL_Exchange::signal_DL);
        const uint32_t before = s->cmd_counter();
        const QVariantMap made = s->send_dl(QList<uint32_t>{901, 902, 903, 904, 905, 906, 907}, {}, "13.0.0", QVariant());
        QCOMPARE(made.size(), 5);
        QVERIFY(!made.contains("906") && !made.contains("907"));
        QVERIFY(s->send_dl(908, {}, "13.0.0", QVariant()).isEmpty());
        QCOMPARE(spy.size(), 5);
        QCOMPARE(s->cmd_counter(), before + 5);
        QCOMPARE(g_log->count("commands refused"), 1);
        s->slot_tmr_save();
        QCOMPARE(count("modems_cmd"), 5);
        QCOMPARE(s->send_dl(909, {}, "13.0.0", QVariant()).value("909").toUInt(), before + 6);
        QVERIFY(g_log->has("commands are made again"));
    }

    // Numbers handed out are never handed out again, also when the rows of a run that ends
    // without writing them (a crash) are lost; once the taken block is used up while the
    // database does not answer, commands are refused and made again when it answers.
    void numbers_never_given_twice_data()
    {
        QTest::addColumn<QVariantList>("no_db");
        QTest::newRow("commands in the table") << QVariantList{};
        QTest::newRow("commands in the registry") << QVariantList{"cmd"};
    }
    void numbers_never_given_twice()
    {
        QFETCH(QVariantList, no_db);
        use_registry(no_db);
        Private_server server;
        QMap<QString, QString> priv;
        auto s = storage_on_private(server, priv);
        QVERIFY(s);
        s->tmr_save->stop();
        QList<uint32_t> modems;
        for (uint32_t m = 2; m < 2 + 2 * SQL_Exchange::cmd_number_block + 500; ++m)
            modems << m;
        uint32_t newest = 0;
        for (const QVariant& n : s->send_dl(modems, {}, "13.0.0", QVariant()))
            newest = qMax(newest, n.toUInt());
        QCOMPARE(s->cmd_counter(), newest);
        QVERIFY(s->numbering.mark() >= newest);
        s->cmd_batch.tuples.clear(); // lost with the process
        ram.reset();
        s.reset();

        use_registry(no_db);
        s = std::make_unique<Storage>(config(priv["STROVA_MYSQL_DB"], priv), nullptr);
        QVERIFY(s->init());
        QVERIFY2(s->cmd_counter() >= newest, qPrintable(QString("%1 < %2").arg(s->cmd_counter()).arg(newest)));
        QVERIFY(s->cmd_counter() <= newest + SQL_Exchange::cmd_number_block);

        s->tmr_save->stop();
        QVERIFY(s->numbering.store_mark_at(s->cmd_counter() + 3));
        QVERIFY(server.run({"mysql-stop"}));
        QCOMPARE(s->send_dl(QList<uint32_t>{11, 12, 13, 14, 15}, {}, "13.0.0", QVariant()).size(), 3);
        QCOMPARE(g_log->count("commands refused: no command number"), 1);
        QVERIFY(server.run({"mysql-start"}));
        // The main thread sends nothing until a save of the writer finds the server again.
        QVERIFY(s->send_dl(16, {}, "13.0.0", QVariant()).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT((s->slot_tmr_save(), !s->send_dl(16, {}, "13.0.0", QVariant()).isEmpty()), 30000);
        QVERIFY(g_log->has("command numbers are taken again"));
        QTRY_VERIFY_WITH_TIMEOUT((s->slot_tmr_save(), s->pending_rows() == 0), 20000);
        s.reset();
        close_private_check();
    }

    // A command is done once the meter answers, whatever came first, and a delivery report
    // after that changes nothing; one answer completes every open command of its setting.
    void answers_complete_commands_data()
    {
        QTest::addColumn<QVariantList>("no_db");
        QTest::addColumn<QString>("order"); // r: delivery report, a: answer, '|': a save between
        QTest::addColumn<int>("commands");
        for (const bool in_ram : {false, true}) {
            const QVariantList no_db = in_ram ? QVariantList{"cmd"} : QVariantList{};
            const char* where = in_ram ? "registry" : "table";
            QTest::addRow("%s: report then answer", where) << no_db << "ra" << 1;
            QTest::addRow("%s: answer then report", where) << no_db << "ar" << 1;
            QTest::addRow("%s: report, pause, answer", where) << no_db << "r|a" << 1;
            QTest::addRow("%s: answer, pause, report", where) << no_db << "a|r" << 1;
            QTest::addRow("%s: two commands, one answer", where) << no_db << "r|a" << 2;
        }
    }
    void answers_complete_commands()
    {
        QFETCH(QVariantList, no_db);
        QFETCH(QString, order);
        QFETCH(int, commands);
        use_registry(no_db);
        auto s = storage_on_fresh("st_answers");
        QVERIFY(s);
        s->tmr_save->stop();
        QList<uint32_t> ids;
        for (int i = 0; i < commands; ++i)
            ids << s->send_dl(930, {}, "version", QVariant()).value("930").toUInt();
        s->send_dl(930, {}, "13.0.0", QVariant()); // another setting: not answered
        s->slot_tmr_save();
        for (const QChar c : order) {
            if (c == 'r')
                s->slot_DL_status(Rabbit_dl_status(930, QString(), true, ids.first()));
            else if (c == 'a')
                s->slot_DL_status(Rabbit_dl_status(930, "version", true, 0));
            else
                s->slot_tmr_save();
        }
        s->slot_tmr_save();
        const QVariantMap states = s->get_cmd_states(ids + QList<uint32_t>{ids.last() + 1});
        QCOMPARE(states.size(), commands + 1);
        for (const uint32_t id : ids)
            QCOMPARE(states.value(QString::number(id)).toString(), QString("DONE"));
        QCOMPARE(states.value(QString::number(ids.last() + 1)).toString(), QString("PENDING"));
    }

    // Failed logins and the driver's other events while the database is away: one row per
    // modem, event code and second, at most 10,000 waiting, and the uplinks' intake stays open.
    void own_events_folded_and_capped()
    {
        Private_server server;
        QMap<QString, QString> priv;
        auto s = storage_on_private(server, priv);
        QVERIFY(s);
        s->pending_cap = 1000; // far below the own events' cap: they must not count against it
        QSignalSpy intake(s.get(), &SQL_Exchange::signal_intake);
        QVERIFY(server.run({"mysql-stop"}));
        const auto failed_login = [](uint32_t ts) {
            Parser_ul_app ul = uplink(1, ts, 0x33);
            ul.ul_events << Ul_event_record(ts, 0, 65535, 65535, 7, obis_make_cde(99, 98, 255));
            return ul;
        };
        for (int i = 0; i < 1000; ++i) // a thousand in one second
            s->slot_UL(failed_login(1700000000));
        QCOMPARE(s->pending_rows(), 1);
        for (uint32_t i = 1; i <= 30000; ++i)
            s->slot_UL(failed_login(1700000000 + i));
        s->slot_tmr_save();
        QCOMPARE(s->pending_rows(), SQL_Exchange::own_event_cap);
        QCOMPARE(g_log->count("the driver's own events wait for the database"), 1);
        QCOMPARE(intake.size(), 0);
        QVERIFY(server.run({"mysql-start"}));
        QTRY_VERIFY_WITH_TIMEOUT((s->slot_tmr_save(), s->pending_rows() == 0), 30000);
        check.close(); // its session went with the server
        QVERIFY(check.open());
        QCOMPARE(count("modems_event", "modem_id = 1 AND `event` = 7 AND `type` = 255"), SQL_Exchange::own_event_cap);
        s.reset();
        close_private_check();
    }

    void commands_in_registry()
    {
        use_registry({"cmd"});
        auto s = storage_on_fresh("st_cmd_ram");
        QVERIFY(s);
        QSignalSpy spy(s.get(), &SQL_Exchange::signal_DL);
        s->codec_states = {1, 5, 5, 9};
        const uint32_t a = s->send_dl(305, {}, "13.0.0", QVariant()).value("305").toUInt();
        const uint32_t b = s->send_dl(305, {}, "0.0.17.0.0.255_3", 7).value("305").toUInt();
        const uint32_t c = s->send_dl(305, {}, "0.0.17.0.0.255_3", 8).value("305").toUInt();
        const uint32_t d = s->send_dl(306, {}, "13.0.0", QVariant()).value("306").toUInt();
        QCOMPARE(spy.count(), 4);
        modem_record* m = ram->find_modem(305);
        QVERIFY(m && m->cmds.size() == 3);
        QCOMPARE(ram->find_modem(306)->cmds.value(d).state, 9u); // the registry keeps the codec's state

        s->slot_DL_status(Rabbit_dl_status(305, "", true, a));
        QCOMPARE(m->cmds.value(a).state, 2u);
        s->slot_DL_status(Rabbit_dl_status(305, "13.0.0", true, 0));
        QCOMPARE(m->cmds.value(a).state, 3u);
        // One answer confirms both writes of the setting and copies it once.
        s->slot_DL_status(Rabbit_dl_status(305, "0.0.17.0.0.255_3", true, 0));
        QCOMPARE(m->cmds.value(b).state, 3u);
        QCOMPARE(m->cmds.value(c).state, 3u);
        QCOMPARE(g_log->count("copy setting"), 1);
        QCOMPARE(ram->get_setting(305, "0.0.17.0.0.255_3").toInt(), 8); // the newer write's
        // A late failure report leaves the answered command done.
        s->slot_DL_status(Rabbit_dl_status(305, "", false, a));
        QCOMPARE(m->cmds.value(a).state, 3u);
        QCOMPARE(s->get_cmd_states({a, b, d, 12345}), (QVariantMap{{QString::number(a), "DONE"},
                                                                   {QString::number(b), "DONE"},
                                                                   {QString::number(d), "PENDING"}}));

        // A modem the registry lacks goes the table's way; nothing reaches the command table.
        s->slot_DL_status(Rabbit_dl_status(999, "", true, a));
        s->slot_tmr_save();
        QCOMPARE(count("modems_cmd"), 0);
        QCOMPARE(count("modems_setting"), 1);

        // Commands older than a day go when a new one arrives.
        m->cmds[a].ts -= 86401;
        s->send_dl(305, {}, "13.0.0", QVariant());
        QVERIFY(!m->cmds.contains(a) && m->cmds.contains(b) && m->cmds.size() == 3);
    }

    void current_values_in_registry()
    {
        use_registry({"curr"});
        auto s = storage_on_fresh("st_curr");
        QVERIFY(s);
        const OBIS relay = obis_make_cde(96, 3, 0);
        const QList<QVariant> relay_values = {1, 1, 0, 0, QVariant(), 0};
        for (int i = 0; i < relay_values.size() + 9; ++i) {
            Parser_ul_app ul = uplink(305, 1700000100 + i, 0x40);
            Ul_data_record rec(254, 1700000000 + i);
            const QVariant v = relay_values.value(i, 0);
            if (v.isValid())
                rec.values[relay] = v;
            ul.ul_datas << rec;
            s->slot_UL(ul);
            Parser_ul_app profile = uplink(305, 1700000100 + i, 0x42);
            profile.ul_datas << Ul_data_record(15, 1699999200 + i);
            s->slot_UL(profile);
        }
        s->slot_tmr_save();
        // Written: the change 1 -> 0 and the value vanishing; the record after the gap has no
        // stored relay state to compare with. Profile records are always written.
        QCOMPARE(row("SELECT GROUP_CONCAT(ts - 1700000000 ORDER BY ts) FROM modems_data WHERE `type` = 64").value(0).toString(),
                 QString("2,4"));
        QCOMPARE(count("modems_data", "`type` = 66"), relay_values.size() + 9);
        QCOMPARE(ram->find_modem(305)->curr_data.size(), 10);
    }
};

QTEST_GUILESS_MAIN(tst_sql_exchange)
#include "tst_sql_exchange.moc"
