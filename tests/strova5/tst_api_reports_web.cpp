// The reports and diagnostics as an operator reads them: one database seeded by publishing
// uplinks through the broker to the real daemon (hour, day and current values, events; several
// modems and base stations; times before 2001 too), plus the rows no uplink can produce,
// inserted with the mariadb client; then curl with minted tokens.
#include "api_daemon.h"

#include <QRegularExpression>
#include <memory>

namespace {

using namespace api_daemon;

const QString k_db = QStringLiteral("st_api_reports");

QString be(quint64 v, int bytes)
{
    QString out;
    for (int i = bytes - 1; i >= 0; --i)
        out += QString("%1").arg((v >> (8 * i)) & 0xFF, 2, 16, QChar('0')).toUpper();
    return out;
}

// Value pairs by their six-byte OBIS code; the meter sends thousandths.
const QString k_1_8_0 = "0100010800FF", k_1_6_0 = "0100010600FF", k_2_8_0 = "0100020800FF",
              k_3_8_0 = "0100030800FF", k_32_7_0 = "0100200700FF", k_21_7_0 = "0100150700FF",
              k_23_7_0 = "0100170700FF";
QString pairs(const QList<QPair<QString, qint64>>& values)
{
    QString out;
    for (const auto& p : values)
        out += p.first + be(quint64(p.second) & 0xFFFFFFFF, 4);
    return out;
}
// An archive or current-values record: header, 12-bit index, time, values.
QString record(const char* header, int index, uint32_t ts, const QList<QPair<QString, qint64>>& values)
{
    return QString(header) + be(quint64(index) << 4, 2) + be(ts, 4) + pairs(values);
}
// Events of one log: class, working time 0, then time, code and two values per entry.
QString event_log(int log, int first_index, const QList<QPair<uint32_t, int>>& entries)
{
    QString out = "4F" + be(quint64(first_index) << 4, 2) + be(quint64(log), 1) + be(0, 4);
    for (const auto& e : entries)
        out += be(e.first, 4) + be(quint64(e.second), 1) + "0708";
    return out;
}

QString uplink(quint64 modem, const QString& payload, uint32_t received, int station = 0)
{
    return api_daemon::uplink(modem, payload, received, QString(",\"station_id\":%1").arg(station));
}

// Runs SQL through the mariadb command-line client, as an operator would.
bool mariadb(const QString& sql)
{
    const auto s = testsupport::services();
    QProcess p;
    p.start("mariadb", {"--no-defaults", "--default-character-set=utf8mb4", "--protocol=tcp", "-h",
                        s["STROVA_MYSQL_HOST"], "-P", s["STROVA_MYSQL_PORT"], "-u", s["STROVA_MYSQL_USER"],
                        "-p" + s["STROVA_MYSQL_PASS"], k_db, "-e", sql});
    return p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// One value of an answer as text, by a selector of the vector file: keys or indexes, "*" for
// every element, "#" for the count, "?k" for the presence of k.
QString pick(const QVariant& v, const QStringList& steps)
{
    if (steps.isEmpty()) {
        if (v.type() == QVariant::Map || v.type() == QVariant::List) return compact(v);
        const double d = v.toDouble();
        return v.type() == QVariant::Double ? (d == qint64(d) ? QString::number(qint64(d)) : QString::number(d, 'g', 6))
                                            : v.toString();
    }
    const QString step = steps.first();
    const QStringList rest = steps.mid(1);
    if (step == "#") return QString::number(v.type() == QVariant::Map ? v.toMap().size() : v.toList().size());
    if (step.startsWith('?')) return v.toMap().contains(step.mid(1)) ? "1" : "0";
    if (step == "*") {
        QStringList out;
        for (const QVariant& e : v.toList())
            out << pick(e, rest);
        return out.join(',');
    }
    return pick(v.type() == QVariant::List ? v.toList().value(step.toInt()) : v.toMap().value(step), rest);
}

} // namespace

class tst_api_reports_web : public QObject
{
    Q_OBJECT

    QSqlDatabase db;
    QString user;
    std::unique_ptr<Daemon> daemon;
    uint32_t now = 0, D = 0, P2 = 0, P3 = 0;

    int count(const QString& table) const { return scalar(db, "SELECT count(*) FROM " + table).toInt(); }
    QVariant get(const QString& target, const Daemon* d = nullptr) const
    {
        return (d ? d : daemon.get())->answer(target, cookie(user));
    }
    // {D+n}, {P2-n}, {now-n} ... as numbers.
    QString times(QString text) const
    {
        static const QRegularExpression token(R"(\{(D|P2|P3|now)([+-]\d+)?\})");
        for (QRegularExpressionMatch m = token.match(text); m.hasMatch(); m = token.match(text)) {
            const QString base = m.captured(1);
            const qint64 t = (base == "D" ? D : base == "P2" ? P2 : base == "P3" ? P3 : now) + m.captured(2).toLongLong();
            text.replace(m.capturedStart(), m.capturedLength(), QString::number(t));
        }
        return text;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(testsupport::services_available(), "no throwaway services");
        db = testsupport::schema_database(k_db, "reports");
        QVERIFY(db.isOpen());
        user = claims_token(R"({"driver-strova5": {"user": 1}})");
        const QString uri = testsupport::service("STROVA_AMQP_URI");
        testsupport::amqp_peer(uri, {"declare-queue", "rep_ul"});
        testsupport::amqp_peer(uri, {"bind", "rep_dl", "rep_cap", "#"});

        now = uint32_t(QDateTime::currentSecsSinceEpoch());
        D = (now / 86400 - 3) * 86400; // a midnight three days ago
        P2 = D - 10 * 86400;
        P3 = D - 30 * 86400;
        const uint32_t got = now - 60;
        QStringList ul;
        // Modem 7: an hour profile across a midnight with a gap of two hours (consecutive
        // indexes), through two base stations.
        const int hours[] = {-3, -2, -1, 0, 1, 4};
        for (int i = 0; i < 6; ++i)
            ul << uplink(7,
                         record("42", i + 1, D + hours[i] * 3600,
                                {{k_1_8_0, 10000 + 1000 * (hours[i] + 3)}, {k_3_8_0, 500}, {k_1_6_0, 300}}),
                         got, 100 + i % 2);
        // Modem 8: hours, the days around them, and current values.
        for (int h = 10; h <= 12; ++h)
            ul << uplink(8, record("42", h, D + h * 3600, {{k_1_8_0, 2000 * h}, {k_3_8_0, 1}}), got);
        ul << uplink(8, record("44", 1, D, {{k_1_8_0, 1000}}), got)
           << uplink(8, record("44", 2, D + 86400, {{k_1_8_0, 30000}}), got)
           << uplink(8, record("40", 0, now - 120, {{k_1_8_0, 12500}, {k_32_7_0, 230100}}), got);
        // Modems 21 to 25: active energy rises per hour for the diagnostics.
        const uint32_t P = D - 5 * 86400;
        auto pair_of = [&](quint64 modem, uint32_t t1, qint64 v1, uint32_t t2, qint64 v2, uint32_t rx) {
            ul << uplink(modem, record("42", 1, t1, {{k_1_8_0, v1}}), rx)
               << uplink(modem, record("42", 2, t2, {{k_1_8_0, v2}}), rx);
        };
        pair_of(21, P, 1000, P + 60, 101000, got);
        pair_of(22, P, 1000, P + 61, 101000, got);
        pair_of(23, P, 1000, P + 9000, 34000, got);
        pair_of(24, P, 1000, P + 9000, 34500, got);
        pair_of(25, 999999000, 1000, 1000002600, 50000, 1000003000); // before and after 2001-09-09
        // Modems 31 to 34: register steps and export growth.
        ul << uplink(31, record("42", 1, P2, {{k_1_8_0, 100000}}), got)
           << uplink(31, record("42", 2, P2 + 3600, {{k_1_8_0, 94000}}), got)
           << uplink(32, record("42", 1, P2, {{k_1_8_0, 100000}}), got)
           << uplink(32, record("42", 2, P2 + 3600, {{k_1_8_0, 95000}}), got)
           << uplink(33, record("42", 1, P2, {{k_1_8_0, 10000}, {k_2_8_0, 1000}}), got)
           << uplink(33, record("42", 2, P2 + 3600, {{k_2_8_0, 1500}}), got)
           << uplink(33, record("42", 3, P2 + 7200, {{k_1_8_0, 11000}}), got)
           << uplink(34, record("42", 1, P2, {{k_1_8_0, 10000}, {k_2_8_0, 1000}}), got)
           << uplink(34, record("42", 2, P2 + 3600, {{k_1_8_0, 11000}, {k_2_8_0, 1500}}), got);
        // Modems 41 to 43: day archives with days missing.
        for (quint64 m : {41, 43})
            ul << uplink(m, record("44", 10, P3, {{k_1_8_0, 1}}), got)
               << uplink(m, record("44", 11, P3 + 86400, {{k_1_8_0, 2}}), got)
               << uplink(m, record("44", 12, P3 + 5 * 86400, {{k_1_8_0, 3}, {k_1_6_0, 500}}), got);
        ul << uplink(42, record("44", 10, P3, {{k_1_8_0, 1}}), got)
           << uplink(42, record("44", 11, P3 + 5 * 86400, {{k_1_8_0, 3}, {k_1_6_0, 500}}), got);
        // Events: modem 5 repeats code 17 three times in log 5; two large ids repeat it twice.
        ul << uplink(5, event_log(5, 2, {{now - 100, 17}, {now - 90, 17}, {now - 80, 17}, {now - 70, 18}}),
                     now)
           << uplink(5, event_log(3, 2, {{now - 200, 17}}), now)
           << uplink(3000017, event_log(5, 2, {{now - 60, 17}, {now - 50, 17}}), now)
           << uplink(4000000000u, event_log(5, 2, {{now - 40, 17}, {now - 30, 17}}), now);

        daemon = std::make_unique<Daemon>(
            QVariantMap{{"rabbit", rabbit("rep_ul", "rep_dl")}, {"api", QVariantMap{{"diagnostics", 1}, {"interpolation", true}}}},
            0, k_db);
        QVERIFY2(daemon->start(true), qPrintable(daemon->log()));
        publish("rep_ul", ul);
        QTRY_VERIFY_WITH_TIMEOUT(count("modems_data") == 39 && count("modems_event") == 9, 20000);

        // No modem has the version of the day-archive diagnostics yet: nothing is examined,
        // although the day rows of modems 41 and 43 show missing days.
        const QVariant shunt = get("/api/diagnostics/shunt_days");
        QCOMPARE(pick(shunt, {"modems"}) + " " + pick(shunt, {"off_time_count"}), QString("0 0"));

        // Rows no uplink makes: power-failure records, the modems' versions and serial number.
        QVERIFY(
            mariadb(QString("INSERT INTO modems_data (modem_id, ts, ts_get, type, `index`, OBIS_ext) VALUES "
                            "(300, %1, %1, 64, 65535, '{\"fail_time\": 1}'), (5, %2, %2, 64, 65535, "
                            "'{\"fail_time\": 2}'), (40, %3, %3, 64, 65535, '{\"fail_time\": 3}'), "
                            "(40, %4, %4, 64, 65535, '{\"fail_time\": 4}');")
                        .arg(now - 1000)
                        .arg(now - 2000)
                        .arg(now - 3000)
                        .arg(now - 4000)));
        QVERIFY(mariadb(QString::fromUtf8(
            "INSERT INTO modems_setting (modem_id, ts, state, setting, data) VALUES "
            "(41, 1, 0, 'version', '{\"sw\":\"1.9.4.3\"}'), (42, 1, 0, 'version', '{\"sw\":\"1.9.4.3\"}'), "
            "(43, 1, 0, 'version', '{\"sw\":\"1.9.5.0\"}'), (5, 1, 0, 'sn', 'Счётчик-5');")));
        daemon->stop();
        QVERIFY(daemon->start());
    }
    void cleanupTestCase() { daemon.reset(); }

    void answers_data() { testsupport::vector_rows(VECTORS("api_reports_web.txt"), "answers"); }
    void answers()
    {
        QFETCH(QStringList, f);
        const QVariant answer = get(times(f.at(0)));
        for (const QString& check : f.at(1).split(" ; ")) {
            const QString selector = check.section(" => ", 0, 0).trimmed(), want = check.section(" => ", 1).trimmed();
            QCOMPARE(pick(answer, selector == "-" ? QStringList() : selector.split('/')), want == "-" ? QString() : times(want));
        }
    }

    void whitelist()
    {
        Daemon some(QVariantMap{{"api", QVariantMap{{"whilelist_modems", QVariantList{7, 9, 5}}}}}, 0, k_db);
        Daemon none(QVariantMap{{"api", QVariantMap{{"whilelist_modems", QVariantList{}}}}}, 0, k_db);
        QVERIFY(some.start() && none.start());
        QCOMPARE(pick(get("/api/report/list", &some), {"*"}), QString("5,7"));
        QCOMPARE(get("/api/report/list", &none), QVariant(QVariantList{}));
        QCOMPARE(get("/api/report/history_orig?modem=7", &none), QVariant(QVariantList{}));
    }

    // Current values kept only in memory are read from the registry.
    void history_from_memory()
    {
        testsupport::amqp_peer(testsupport::service("STROVA_AMQP_URI"), {"declare-queue", "rep_ul_curr"});
        Daemon curr(QVariantMap{{"rabbit", rabbit("rep_ul_curr", "rep_dl")}, {"RAM", QVariantMap{{"no_db", QVariantList{"curr"}}}}},
                    0, k_db);
        QVERIFY(curr.start(true));
        publish("rep_ul_curr",
                {uplink(11, record("40", 0, now - 30, {{k_21_7_0, 3000}, {k_23_7_0, 4000}, {k_32_7_0, 250000}}), now)});
        QVariant m;
        QTRY_VERIFY_WITH_TIMEOUT((m = get("/api/report/history?modem=11&profile=1.0.94.7.0.255", &curr)).toList().size() == 1,
                                 20000);
        QCOMPARE(pick(m, {"0", "meterings", "0", "31.7.0"}) + " " + pick(m, {"0", "meterings", "0", "ts_get"}),
                 QString("20 0"));
        QCOMPARE(count("modems_data WHERE modem_id = 11"), 0);
    }

    // Hostile items read as numbers or are compared as texts: a normal answer, no statement
    // error, tables unchanged.
    void hostile_items()
    {
        const QStringList tables{"modems_data", "modems_event", "modems_setting", "modems_cmd"};
        QList<int> before;
        for (const QString& t : tables)
            before << count(t);
        const QStringList paths{"report/history", "report/history_orig", "report/events", "report/list",
                                "diagnostics/history", "diagnostics/data_stm", "diagnostics/shunt_days",
                                "diagnostics/data_time", "diagnostics/event_spam"};
        const QStringList items{"modem", "profile", "timefrom", "timeto", "limit", "format", "dmin", "index_only"};
        const QStringList values{"7'\"", "7\\", "7 OR 1=1", QString::fromUtf8("Счётчик"), "123456789012345678901234567890"};
        for (const QString& path : paths)
            for (const QString& item : items)
                for (const QString& value : values) {
                    const QString query = item + "=" + enc(value) + (item == "modem" ? "" : "&modem=7");
                    const Reply r = daemon->get("/api/" + path + "?" + query, cookie(user));
                    const QJsonDocument doc = QJsonDocument::fromJson(r.body);
                    QVERIFY2(r.status == 200 && (doc.isObject() || doc.isArray()), qPrintable(path + " " + query));
                }
        const QString log = daemon->log();
        QVERIFY(!log.contains("SQL syntax") && !log.contains("QMYSQL: Unable"));
        for (int i = 0; i < tables.size(); ++i)
            QCOMPARE(count(tables.at(i)), before.at(i));
    }
};

QTEST_GUILESS_MAIN(tst_api_reports_web)
#include "tst_api_reports_web.moc"
