// The reports and diagnostics as an operator reads them: one database seeded by publishing
// uplinks through the broker to the real daemon (hour, day and current values, events; several
// modems and base stations; times before 2001 too), plus the rows no uplink can produce,
// inserted with the mariadb client; then curl with minted tokens.
#include "api_daemon.h"
#include "testsupport.h"

#include <QSqlQuery>
#include <QUrl>
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
    return QString(R"({"msg_type":"ul_app","modem_id":%1,"payload":"%2","time_detected":%3,"station_id":%4})")
        .arg(modem)
        .arg(payload)
        .arg(received)
        .arg(station);
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

qint64 count(QSqlDatabase& db, const QString& sql)
{
    QSqlQuery q(db);
    return q.exec(sql) && q.next() ? q.value(0).toLongLong() : -1;
}

QString ids(const QVariantList& list)
{
    QStringList out;
    for (const QVariant& v : list)
        out << v.toString();
    return out.join(',');
}

} // namespace

class tst_api_reports_web : public QObject
{
    Q_OBJECT

    QSqlDatabase db;
    QString uri, user;
    std::unique_ptr<Daemon> daemon;
    uint32_t now = 0, D = 0, P2 = 0, P3 = 0;

    QVariant get(const QString& path, const QList<QPair<QString, QString>>& items, const Daemon* d = nullptr,
                 const QString& token = QString())
    {
        QStringList args = cookie(token.isEmpty() ? user : token);
        args << "--get";
        for (const auto& item : items)
            args << "--data-urlencode" << item.first + "=" + item.second;
        const Reply r = (d ? d : daemon.get())->get(path, args);
        return QJsonDocument::fromJson(r.body).toVariant();
    }
    QVariantMap entry_of(const QVariant& answer, int i = 0) { return answer.toList().value(i).toMap(); }

    static QVariantMap rabbit(const QString& uri, const QString& queue)
    {
        return {{"ul", QVariantMap{{"path", uri}, {"queue", queue}, {"host", "/api"}}},
                {"dl", QVariantMap{{"path", uri}, {"exchange", "rep_dl"}, {"host", "/api"}}}};
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(testsupport::services_available(), "no throwaway services");
        db = testsupport::schema_database(k_db, "reports");
        QVERIFY(db.isOpen());
        uri = testsupport::service("STROVA_AMQP_URI");
        user = claims_token(R"({"driver-strova5": {"user": 1}})");
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
            QVariantMap{{"rabbit", rabbit(uri, "rep_ul")},
                        {"api", QVariantMap{{"diagnostics", 1}, {"interpolation", true}}}},
            0, k_db);
        QVERIFY2(daemon->start(), qPrintable(daemon->log()));
        QTRY_VERIFY_WITH_TIMEOUT(daemon->log().contains("Rabbit consume"), 20000);
        testsupport::amqp_peer(uri, QStringList{"publish", "rep_ul"} + ul);
        QTRY_VERIFY_WITH_TIMEOUT(count(db, "SELECT count(*) FROM modems_data") == 39 &&
                                     count(db, "SELECT count(*) FROM modems_event") == 9,
                                 20000);

        // No modem has the version of the day-archive diagnostics yet: nothing is examined,
        // although the day rows of modems 41 and 43 show missing days.
        QVariantMap shunt = get("/api/diagnostics/shunt_days", {}).toMap();
        QCOMPARE(shunt.value("modems").toInt(), 0);
        QCOMPARE(shunt.value("off_time_count").toInt(), 0);

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

    void list()
    {
        QCOMPARE(ids(get("/api/report/list", {}).toList()),
                 QString("5,7,8,21,22,23,24,25,31,32,33,34,40,41,42,43,300"));
        Daemon some(QVariantMap{{"api", QVariantMap{{"whilelist_modems", QVariantList{7, 9, 5}}}}}, 0, k_db);
        Daemon none(QVariantMap{{"api", QVariantMap{{"whilelist_modems", QVariantList{}}}}}, 0, k_db);
        QVERIFY(some.start() && none.start());
        QCOMPARE(ids(get("/api/report/list", {}, &some).toList()), QString("5,7"));
        QCOMPARE(get("/api/report/list", {}, &none), QVariant(QVariantList{}));
        QCOMPARE(get("/api/report/history_orig", {{"modem", "7"}}, &none), QVariant(QVariantList{}));
    }

    void history_orig()
    {
        // Without "timefrom": the newest row only, no "timefrom" in the answer.
        QVariantMap e = entry_of(get("/api/report/history_orig", {{"modem", "7"}}));
        QCOMPARE(e.value("meterings").toList().size(), 1);
        QCOMPARE(e.value("meterings").toList().at(0).toMap().value("1.0.0").toUInt(), D + 4 * 3600);
        QVERIFY(!e.contains("timefrom") && e.value("modem").toUInt() == 7);

        // Hours asked for a period: whole days queried, day rows read but not answered, rows
        // outside the period left out, newest first.
        e = entry_of(get("/api/report/history_orig", {{"modem", "8"},
                                                      {"profile", "1.0.99.1.0.255"},
                                                      {"timefrom", QString::number(D + 10 * 3600 + 1800)},
                                                      {"timeto", QString::number(D + 86400)}}));
        QCOMPARE(e.value("timefrom").toUInt(), D);
        QCOMPARE(e.value("timeto").toUInt(), D + 2 * 86400); // a midnight moves one day on
        QVariantList m = e.value("meterings").toList();
        QCOMPARE(m.size(), 2);
        QCOMPARE(m.at(0).toMap().value("1.0.0").toUInt(), D + 12 * 3600);
        QCOMPARE(m.at(1).toMap().value("1.0.0").toUInt(), D + 11 * 3600);
        QCOMPARE(m.at(0).toMap().value("profile").toString(), QString("1.0.99.1.0.255"));
        // With the day profile asked for as well, the day rows stay.
        e = entry_of(get("/api/report/history_orig", {{"modem", "8"},
                                                      {"profile", "1.0.99.1.0.255,1.0.98.2.0.255"},
                                                      {"timefrom", QString::number(D)},
                                                      {"timeto", QString::number(D + 86400)}}));
        QCOMPARE(e.value("meterings").toList().size(), 5);

        // Energies in Wh, voltages as stored.
        m = entry_of(get("/api/report/history_orig", {{"modem", "8"}, {"profile", "1.0.94.7.0.255"}}))
                .value("meterings")
                .toList();
        QCOMPARE(m.value(0).toMap().value("1.8.0").toDouble(), 12500.0);
        QCOMPARE(m.value(0).toMap().value("32.7.0").toDouble(), 230.1);

        // The largest end: aligned it would pass 2^32, so it stays the largest time.
        e = entry_of(get(
            "/api/report/history_orig",
            {{"modem", "7"}, {"profile", "1.0.99.1.0.255"}, {"timefrom", "0"}, {"timeto", "4294967295"}}));
        QCOMPARE(e.value("timeto").toUInt(), 4294967295u);
        QCOMPARE(e.value("meterings").toList().size(), 6);
    }

    void history()
    {
        const QList<QPair<QString, QString>> hours{{"modem", "7"},
                                                   {"profile", "1.0.99.1.0.255"},
                                                   {"timefrom", QString::number(D - 3 * 3600)},
                                                   {"timeto", QString::number(D + 4 * 3600)}};
        QVariantMap e = entry_of(get("/api/report/history", hours));
        QCOMPARE(e.value("period").toInt(), 3600);
        QCOMPARE(e.value("timefrom").toUInt(), D - 86400);
        QCOMPARE(e.value("timeto").toUInt(), D + 86400);
        const QVariantList m = e.value("meterings").toList();
        QCOMPARE(m.size(), 8); // six rows and two copies in the gap
        QStringList times, demand, interval;
        for (const QVariant& v : m) {
            const QVariantMap x = v.toMap();
            times << QString::number(qint64(x.value("1.0.0").toUInt()) - D);
            demand << x.value("1.6.0").toString();
            interval << x.value("1.29.0").toString();
        }
        QCOMPARE(times.join(','), QString("14400,10800,7200,3600,0,-3600,-7200,-10800"));
        QCOMPARE(demand.join(','), QString("0,0,300,300,300,300,300,300"));
        QCOMPARE(interval.join(','), QString("0,0,3000,1000,1000,1000,1000,"));
        QCOMPARE(m.at(1).toMap().value("1.8.0").toUInt(), 17000u); // the copy carries the later row
        QVERIFY(!m.at(1).toMap().contains("index") && m.at(0).toMap().value("index").toInt() == 6);

        QVariantList only = entry_of(get("/api/report/history",
                                         hours + QList<QPair<QString, QString>>{{"index_only", "true"}}))
                                .value("meterings")
                                .toList();
        QCOMPARE(only.size(), 8);
        for (const QVariant& v : only)
            QCOMPARE(v.toMap().keys(), (QStringList{"1.0.0", "profile"}));

        // Days built from the hour records at midnight.
        e = entry_of(get("/api/report/history", {{"modem", "7"},
                                                 {"profile", "1.0.98.2.0.255"},
                                                 {"timefrom", QString::number(D - 3 * 3600)},
                                                 {"timeto", QString::number(D + 4 * 3600)}}));
        QCOMPARE(e.value("meterings").toList().size(), 1);
        const QVariantMap day = e.value("meterings").toList().at(0).toMap();
        QCOMPARE(day.value("1.0.0").toUInt(), D);
        QCOMPARE(day.value("profile").toString(), QString("1.0.98.2.0.255"));
        QCOMPARE(day.value("1.8.0").toUInt(), 12000u); // the hour before midnight

        // Without a period: the newest row, no "timefrom"; a modem without rows still answers.
        const QVariantList two = get("/api/report/history", {{"modem", "7,99"}}).toList();
        QCOMPARE(two.size(), 2);
        QCOMPARE(entry_of(two, 0).value("meterings").toList().size(), 1);
        QVERIFY(!entry_of(two, 0).contains("timefrom"));
        QCOMPARE(entry_of(two, 1).value("meterings"), QVariant(QVariantList{}));
    }

    // Current values kept only in memory are read from the registry.
    void history_from_memory()
    {
        testsupport::amqp_peer(uri, {"declare-queue", "rep_ul_curr"});
        Daemon curr(QVariantMap{{"rabbit", rabbit(uri, "rep_ul_curr")},
                                {"RAM", QVariantMap{{"no_db", QVariantList{"curr"}}}}},
                    0, k_db);
        QVERIFY(curr.start());
        QTRY_VERIFY_WITH_TIMEOUT(curr.log().contains("Rabbit consume"), 20000);
        testsupport::amqp_peer(
            uri,
            {"publish", "rep_ul_curr",
             uplink(11, record("40", 0, now - 30, {{k_21_7_0, 3000}, {k_23_7_0, 4000}, {k_32_7_0, 250000}}),
                    now)});
        QVariantList m;
        QTRY_VERIFY_WITH_TIMEOUT(!(m = entry_of(get("/api/report/history",
                                                    {{"modem", "11"}, {"profile", "1.0.94.7.0.255"}}, &curr))
                                           .value("meterings")
                                           .toList())
                                      .isEmpty(),
                                 20000);
        QCOMPARE(m.at(0).toMap().value("31.7.0").toDouble(), 20.0);
        QCOMPARE(m.at(0).toMap().value("ts_get").toInt(), 0);
        QCOMPARE(count(db, "SELECT count(*) FROM modems_data WHERE modem_id = 11"), 0);
    }

    void events()
    {
        QVariantMap e = entry_of(get("/api/report/events", {{"modem", "5"}}));
        QCOMPARE(e.value("serial").toString(), QString::fromUtf8("Счётчик-5"));
        QCOMPARE(e.value("events").toList().size(), 1);
        QVERIFY(!e.contains("timefrom"));
        const QVariantMap newest = e.value("events").toList().at(0).toMap();
        QCOMPARE(newest.value("1.0.0").toUInt(), now - 70);
        QCOMPARE(newest.value("96.11.5").toUInt(), 18u);
        QCOMPARE(newest.value("profile").toString(), QString("0.0.99.98.5.255"));
        QCOMPARE(newest.value("96.12.4").toDouble(), 7.0);         // from its column
        QCOMPARE(newest.value("0.0.96.12.4.255").toDouble(), 7.0); // and from the values' JSON

        e = entry_of(get("/api/report/events", {{"modem", "5"}, {"timefrom", "abc"}}));
        QCOMPARE(e.value("events").toList().size(), 5);
        QCOMPARE(e.value("timefrom").toUInt(), 0u);
        e = entry_of(
            get("/api/report/events", {{"modem", "5"}, {"timefrom", "0"}, {"profile", "0.0.99.98.3.255"}}));
        QCOMPARE(e.value("events").toList().size(), 1);
        QCOMPARE(get("/api/report/events", {{"modem", "7"}}), QVariant(QVariantList{}));
    }

    void event_spam()
    {
        QCOMPARE(
            QJsonDocument::fromVariant(get("/api/diagnostics/event_spam", {})).toJson(QJsonDocument::Compact),
            QByteArray(R"({"3000017":{"5_17":2},"4000000000":{"5_17":2},"5":{"5_17":3}})"));
        QCOMPARE(QJsonDocument::fromVariant(get("/api/diagnostics/event_spam", {{"format", "hex"}}))
                     .toJson(QJsonDocument::Compact),
                 QByteArray(R"({"2DC6D1":{"5_17":2},"5":{"5_17":3},"EE6B2800":{"5_17":2}})"));
        // The newest three rows of all modems: only the last pair of the largest id.
        QCOMPARE(QJsonDocument::fromVariant(get("/api/diagnostics/event_spam", {{"limit", "3"}}))
                     .toJson(QJsonDocument::Compact),
                 QByteArray(R"({"4000000000":{"5_17":2}})"));
        QCOMPARE(get("/api/diagnostics/event_spam", {{"limit", "-1"}}),
                 get("/api/diagnostics/event_spam", {}));
        QCOMPARE(get("/api/diagnostics/event_spam", {{"timeto", QString::number(now - 150)}}),
                 QVariant(QVariantMap{}));
    }

    void diagnostics()
    {
        // Rises per hour above 13200 Wh/h; readings 60 s apart give no rate.
        const QVariantMap rises = get("/api/diagnostics/history",
                                      {{"profile", "1.0.99.1.0.255"}, {"timefrom", "0"}, {"timeto", "-1"}})
                                      .toMap()
                                      .value("66")
                                      .toMap();
        QVERIFY(!rises.contains("21") && rises.contains("22"));
        QVERIFY(!rises.contains("23")); // exactly 13200
        QVERIFY(qAbs(rises.value("24").toMap().value("1_8_0").toDouble() - 13400.0) < 0.1);
        QVERIFY(qAbs(rises.value("25").toMap().value("1_8_0").toDouble() - 49000.0) <
                0.1); // times before 2001
        QVERIFY(get("/api/diagnostics/history",
                    {{"profile", "1.0.99.1.0.255"}, {"timefrom", "0"}, {"timeto", "-1"}, {"format", "HEX"}})
                    .toMap()
                    .value("66")
                    .toMap()
                    .contains("19"));

        // Power-failure records: distinct ids ascending.
        QCOMPARE(ids(get("/api/diagnostics/data_time", {}).toList()), QString("5,40,300"));
        QCOMPARE(ids(get("/api/diagnostics/data_time", {{"format", "Hex"}}).toList()), QString("5,28,12c"));
        QCOMPARE(ids(get("/api/diagnostics/data_time", {{"limit", "1"}}).toList()), QString("300"));

        // Steps and export growth.
        const QVariantMap stm = get("/api/diagnostics/data_stm", {{"timefrom", QString::number(P2 - 10)},
                                                                  {"timeto", QString::number(P2 + 4 * 3600)},
                                                                  {"dmin", "nan"},
                                                                  {"Am_min", "inf"}})
                                    .toMap();
        QCOMPARE(stm.value("modems").toInt(), 4);
        QCOMPARE(ids(stm.value("step").toList()), QString("31"));
        QCOMPARE(ids(stm.value("ApAm").toList()), QString("33"));
        QCOMPARE(ids(stm.value("ApAm_limit").toList()), QString("33"));
        QCOMPARE(ids(stm.value("Am_only").toList()), QString("34"));
        QCOMPARE(ids(stm.value("Am_limit_only").toList()), QString("34"));
        QCOMPARE(stm.value("timefrom").toUInt(), P2 - 10);

        // Days missing from the day archive of the modems of version 1.9.4.
        const QVariantMap shunt = get("/api/diagnostics/shunt_days", {{"dmax", "x"}}).toMap();
        QCOMPARE(shunt.value("modems").toInt(), 2);
        QCOMPARE(shunt.value("dmax").toDouble(), 30.0);
        QCOMPARE(shunt.value("off_time_count").toInt(), 1);
        const QVariantMap off = shunt.value("off_time").toList().at(0).toMap();
        QCOMPARE(off.value("modem_id").toUInt(), 41u);
        QCOMPARE(off.value("delta").toInt(), 3);
        QCOMPARE(off.value("ts_from").toUInt(), P3 + 86400);
        QCOMPARE(off.value("ts_to").toUInt(), P3 + 5 * 86400);
    }

    // Hostile items read as numbers or are compared as texts: a normal answer, no statement
    // error, tables unchanged.
    void hostile_items()
    {
        const QStringList tables{"modems_data", "modems_event", "modems_setting", "modems_cmd"};
        QList<qint64> before;
        for (const QString& t : tables)
            before << count(db, "SELECT count(*) FROM " + t);
        const QStringList paths{"report/history",         "report/history_orig",
                                "report/events",          "report/list",
                                "diagnostics/history",    "diagnostics/data_stm",
                                "diagnostics/shunt_days", "diagnostics/data_time",
                                "diagnostics/event_spam"};
        const QStringList items{"modem", "profile", "timefrom", "timeto",
                                "limit", "format",  "dmin",     "index_only"};
        const QStringList values{"7'\"", "7\\", "7 OR 1=1", QString::fromUtf8("Счётчик"),
                                 "123456789012345678901234567890"};
        for (const QString& path : paths)
            for (const QString& item : items)
                for (const QString& value : values) {
                    QList<QPair<QString, QString>> q{{item, value}};
                    if (item != "modem") q << qMakePair(QString("modem"), QString("7"));
                    QString query;
                    for (const auto& p : q)
                        query += (query.isEmpty() ? "" : "&") + p.first + "=" +
                                 QString::fromLatin1(QUrl::toPercentEncoding(p.second));
                    const Reply r = daemon->get("/api/" + path + "?" + query, cookie(user));
                    QVERIFY2(r.status == 200 && !r.body.isEmpty() &&
                                 QJsonDocument::fromJson(r.body).isObject() !=
                                     QJsonDocument::fromJson(r.body).isArray(),
                             qPrintable(path + " " + item + "=" + value));
                }
        const QString log = daemon->log();
        QVERIFY(!log.contains("SQL syntax"));
        QVERIFY(!log.contains("QMYSQL: Unable"));
        for (int i = 0; i < tables.size(); ++i)
            QCOMPARE(count(db, "SELECT count(*) FROM " + tables.at(i)), before.at(i));
    }
};

QTEST_GUILESS_MAIN(tst_api_reports_web)
#include "tst_api_reports_web.moc"
