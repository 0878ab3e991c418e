// Tariff calendars: the new-firmware program and the old-firmware frame, both directions, the
// "13.0.0" command, and hostile uplinks.
#include "logger.h"
#include "parser_strova5.h"
#include "ram_modems.h"
#include "testsupport.h"

#include <QDate>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QtTest>
#include <cstring>
#include <memory>

using testsupport::hex;
using testsupport::hex_of;

namespace {

// JSON written with ' for " in the test's own literals.
QByteArray dq(QByteArray text)
{
    return text.replace('\'', '"');
}

QVariantMap json(const QByteArray& text)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(dq(text), &error);
    if (error.error != QJsonParseError::NoError) qFatal("bad JSON in test: %s", text.constData());
    return doc.object().toVariantMap();
}

QByteArray json_of(const QVariantMap& map)
{
    return QJsonDocument(QJsonObject::fromVariantMap(map)).toJson(QJsonDocument::Compact);
}

// Bytes in a heap block of exactly their size, so that a read past the end is a fault under the
// address sanitizer (a QByteArray keeps a terminating zero behind its data).
class Exact
{
public:
    explicit Exact(const QByteArray& src) : block(new char[size_t(qMax(1, src.size()))])
    {
        if (!src.isEmpty()) memcpy(block.get(), src.constData(), size_t(src.size()));
        bytes = QByteArray::fromRawData(block.get(), src.size());
    }
    const QByteArray& get() const { return bytes; }
    const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(block.get()); }

private:
    std::unique_ptr<char[]> block;
    QByteArray bytes;
};

// Collects the log lines written while it lives (logging is otherwise off in this test).
class Log_capture
{
public:
    Log_capture()
    {
        current = &lines;
        previous = qInstallMessageHandler(handler);
        log_set_level(LVL_EXC);
    }
    ~Log_capture()
    {
        log_set_level(LVL_OFF);
        qInstallMessageHandler(previous);
        current = nullptr;
    }
    bool has(const QString& fragment) const
    {
        for (const QString& line : lines)
            if (line.contains(fragment)) return true;
        return false;
    }
    QString all() const { return lines.join(QLatin1Char('\n')); }

private:
    static QStringList* current;
    QStringList lines;
    QtMessageHandler previous;

    static void handler(QtMsgType, const QMessageLogContext&, const QString& message)
    {
        if (current) current->append(message);
    }
};
QStringList* Log_capture::current = nullptr;

Stringify_dl_app tariff_command(const QVariant& data, bool new_sw,
                                const QStringList& rights = {QStringLiteral("settings")})
{
    const Dl_request req(77, 1700000000, QStringLiteral("13.0.0"), data);
    Stringify_dl_app out(req);
    parser_strova5::stringify_tariff_request(out, req, rights, new_sw);
    return out;
}

// ---- calendars for the round trips, in the shapes the decoders produce

class Calendar_maker
{
public:
    explicit Calendar_maker(quint32 seed) : rng(seed) {}

    int pick(int lo, int hi) { return rng.bounded(lo, hi + 1); }
    bool chance(int percent) { return pick(1, 100) <= percent; }

    QString date()
    {
        const int month = chance(20) ? (chance(50) ? 1 : 12) : pick(1, 12);
        const int last = QDate(2000, month, 1).daysInMonth();
        const int day = chance(25) ? (chance(50) ? 1 : last) : pick(1, last);
        return QString::number(month * 100 + day);
    }

    QList<int> ids(int count)
    {
        QList<int> out;
        while (out.size() < count) {
            const int id = chance(15) ? (chance(50) ? 0 : 63) : pick(0, 63);
            if (!out.contains(id)) out.append(id);
        }
        return out;
    }

    // A calendar of new firmware: each week names defined days, each season a defined week.
    QVariantMap new_firmware()
    {
        QVariantMap days, weeks, seasons, special_days, cal;
        const QList<int> day_ids = ids(pick(1, 6));
        for (int id : day_ids) {
            QVariantMap day;
            const int points = pick(1, 8);
            while (day.size() < points) {
                const int minute = chance(20) ? (chance(50) ? 0 : 1439) : pick(0, 1439);
                day.insert(QString::number(minute), pick(0, 3));
            }
            days.insert(QString::number(id), day);
        }
        const QList<int> week_ids = ids(pick(1, 3));
        for (int id : week_ids) {
            QVariantList places;
            for (int d = 0; d < 7; ++d)
                places.append(day_ids.at(pick(0, day_ids.size() - 1)));
            weeks.insert(QString::number(id), places);
        }
        for (int n = pick(1, 4); seasons.size() < n;)
            seasons.insert(date(), week_ids.at(pick(0, week_ids.size() - 1)));
        for (int n = pick(0, 4); special_days.size() < n;)
            special_days.insert(date(), day_ids.at(pick(0, day_ids.size() - 1)));
        cal.insert("days", days);
        cal.insert("weeks", weeks);
        cal.insert("seasons", seasons);
        if (!special_days.isEmpty()) cal.insert("special_days", special_days);
        if (chance(50))
            cal.insert("activate",
                       chance(20) ? (chance(50) ? 1u : 0xFFFFFFFFu) : quint32(rng.generate() | 1));
        return cal;
    }

    // A day of half-hour switch points as the old frame gives it back.
    QVariantMap old_day()
    {
        QMap<int, int> points;
        points.insert(0, pick(0, 3));
        for (int n = pick(0, 5); n > 0; --n)
            points.insert(30 * pick(1, 47), 0);
        int previous = -1;
        for (auto it = points.begin(); it != points.end(); ++it) {
            int t = pick(0, 3);
            while (t == previous)
                t = pick(0, 3);
            it.value() = previous = t;
        }
        if (points.size() > 2 && points.last() == points.first()) points.remove(0);
        QVariantMap day;
        for (auto it = points.cbegin(); it != points.cend(); ++it)
            day.insert(QString::number(it.key()), it.value());
        return day;
    }

    QVariantMap old_firmware()
    {
        QVariantList week;
        for (int d = 0; d < 7; ++d)
            week.append(pick(0, 1));
        QVariantMap days, special_days;
        if (week.contains(0)) days.insert("0", old_day());
        if (week.contains(1)) days.insert("1", old_day());
        for (int value = 2; value <= 3; ++value) {
            for (int n = pick(0, 3); n > 0; --n) {
                const QString key = date();
                if (!special_days.contains(key)) special_days.insert(key, value);
            }
            if (chance(40)) { // a run of days that the frame carries as one range
                QDate d(2000, pick(1, 12), 1);
                d = d.addDays(pick(0, d.daysInMonth() - 1));
                for (int n = pick(2, 60); n > 0 && d.year() == 2000; --n, d = d.addDays(1)) {
                    const QString key = QString::number(d.month() * 100 + d.day());
                    if (!special_days.contains(key)) special_days.insert(key, value);
                }
            }
        }
        for (const QVariant& v : special_days)
            days.insert(v.toString(), old_day());
        QVariantMap cal;
        cal.insert("days", days);
        cal.insert("weeks", QVariantMap{{"0", week}});
        cal.insert("seasons", QVariantMap{{"101", 0}});
        if (!special_days.isEmpty()) cal.insert("special_days", special_days);
        return cal;
    }

private:
    QRandomGenerator rng;
};

// A few calendars at the edges of the program's fields.
QList<QPair<QString, QVariantMap>> boundary_calendars()
{
    QList<QPair<QString, QVariantMap>> out;
    QVariantMap days, weeks;
    for (int id = 0; id < 64; ++id)
        days.insert(QString::number(id), QVariantMap{{"0", id % 4}});
    out.append({"all 64 day profiles",
                QVariantMap{{"days", days},
                            {"weeks", QVariantMap{{"5", QVariantList{63, 62, 61, 0, 1, 2, 3}}}},
                            {"seasons", QVariantMap{{"101", 5}}}}});
    for (int id = 0; id < 64; ++id)
        weeks.insert(QString::number(id), QVariantList{0, 0, 0, 0, 0, 0, 0});
    out.append({"all 64 week profiles", QVariantMap{{"days", QVariantMap{{"0", QVariantMap{{"0", 0}}}}},
                                                    {"weeks", weeks},
                                                    {"seasons", QVariantMap{{"101", 0}, {"1231", 63}}}}});
    out.append({"last minute, tariff 3, ids 63, leap day",
                QVariantMap{{"days", QVariantMap{{"63", QVariantMap{{"0", 0}, {"1439", 3}}}}},
                            {"weeks", QVariantMap{{"63", QVariantList{63, 63, 63, 63, 63, 63, 63}}}},
                            {"seasons", QVariantMap{{"229", 63}, {"1231", 63}}},
                            {"special_days", QVariantMap{{"101", 63}, {"1231", 63}}},
                            {"activate", 0xFFFFFFFFu}}});
    QVariantMap seven;
    for (int id = 0; id < 7; ++id)
        seven.insert(QString::number(id), QVariantMap{{QString::number(id * 200), id % 4}});
    out.append({"seven weekdays, seven day profiles",
                QVariantMap{{"days", seven},
                            {"weeks", QVariantMap{{"0", QVariantList{6, 5, 4, 3, 2, 1, 0}}}},
                            {"seasons", QVariantMap{{"101", 0}}},
                            {"activate", 1u}}});
    return out;
}

} // namespace

class tst_parser_tariff : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { log_set_level(LVL_OFF); }

    // ---- new firmware: uplink 0x51

    void decode_program_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray one_day = "{'days':{'0':{'0':0}},";
        QTest::newRow("day, week, season") << hex("80 00 00 C0 7F 00 50 08 40")
                                           << one_day + "'seasons':{'101':0},'weeks':{'0':[0,0,0,0,0,0,0]}}";
        QTest::newRow("unassigned weekdays")
            << hex("80 00 00 C0 03 00 50 08 40")
            << one_day + "'seasons':{'101':0},'weeks':{'0':[0,0,-1,-1,-1,-1,-1]}}";
        QTest::newRow("later entry wins a weekday")
            << hex("80 00 00 81 08 00 C0 83 00 02 01")
            << QByteArray("{'days':{'0':{'0':0},'1':{'0':1}},'weeks':{'0':[0,1,-1,-1,-1,-1,-1]}}");
        QTest::newRow("switch points")
            << hex("80 88 3C 91 A4 1D 9F") << QByteArray("{'days':{'0':{'1439':3,'420':2,'60':1}}}");
        QTest::newRow("seasons and special days")
            << hex("50 88 40 30 81 60 66 45")
            << QByteArray("{'seasons':{'101':0,'602':1},'special_days':{'1225':5}}");
        QTest::newRow("activation") << hex("70 80 00 00 00") << QByteArray("{'activate':128}");
        QTest::newRow("activation, highest")
            << hex("70 FF FF FF FF") << QByteArray("{'activate':4294967295}");
        QTest::newRow("activation 0 is none") << hex("70 00 00 00 00") << QByteArray("{}");
        QTest::newRow("section byte 00") << hex("80 00 00 00") << QByteArray("{}");
        QTest::newRow("section byte 4x") << hex("80 00 00 C0 7F 00 41 00") << QByteArray("{}");
        QTest::newRow("empty body") << QByteArray() << QByteArray("{}");
        // Cut programs: nothing is read past the end; what was read whole stays.
        QTest::newRow("day byte at the end")
            << hex("80 00 00 81") << QByteArray("{'days':{'0':{'0':0},'1':{}}}");
        QTest::newRow("week byte at the end")
            << hex("C2") << QByteArray("{'weeks':{'2':[-1,-1,-1,-1,-1,-1,-1]}}");
        QTest::newRow("seasons byte at the end")
            << hex("80 00 00 50") << QByteArray("{'days':{'0':{'0':0}}}");
        QTest::newRow("half an entry") << hex("80 88") << QByteArray("{'days':{'0':{}}}");
        QTest::newRow("last entry promises more") << hex("80 88 00") << QByteArray("{'days':{'0':{'0':1}}}");
        QTest::newRow("cut inside the next entry")
            << hex("80 00 00 C0 FF 00 10") << one_day + "'weeks':{'0':[0,0,0,0,0,0,0]}}";
        QTest::newRow("activation cut")
            << hex("80 00 00 70 80 00 00") << QByteArray("{'days':{'0':{'0':0}}}");
    }
    void decode_program()
    {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, expected);
        const Exact exact(body);
        QCOMPARE(json_of(parser_strova5::parse_tariff(exact.get())), dq(expected));
    }

    // ---- which uplinks report a calendar

    void uplink_calendar_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<QString>("log");
        QTest::newRow("0x51 complete")
            << hex("51 80 00 00 C0 7F 00 50 08 40")
            << QByteArray("{'days':{'0':{'0':0}},'seasons':{'101':0},'weeks':{'0':[0,0,0,0,0,0,0]}}")
            << QString();
        QTest::newRow("0x51 without seasons") << hex("51 80 00 00 C0 7F 00") << QByteArray("{}") << QString();
        QTest::newRow("0x51 without weeks") << hex("51 80 00 00 50 08 40") << QByteArray("{}") << QString();
        QTest::newRow("0x51 with an unknown section")
            << hex("51 80 00 00 C0 7F 00 50 08 40 00") << QByteArray("{}") << QString("unknown section 00");
        QTest::newRow("0x51 alone") << hex("51") << QByteArray("{}") << QString();
        QTest::newRow("other header")
            << hex("52 80 00 00 C0 7F 00 50 08 40") << QByteArray("{}") << QString();
        QTest::newRow("no payload") << QByteArray() << QByteArray("{}") << QString();
        QTest::newRow("F0, mask only")
            << hex("F0 11 50 02")
            << QByteArray(
                   "{'days':{'0':{'0':0},'1':{'0':0}},'seasons':{'101':0},'weeks':{'0':[1,0,0,0,0,0,0]}}")
            << QString();
        QTest::newRow("F2, sections in any order")
            << hex("F2 22 70 02 05 01 50 7F 2F FF 55 55 55 55 55 55 55 55 55 55 55 55 4F 00 FF FF FF FF FF "
                   "FF FF FF FF FF FF FF")
            << QByteArray("{'days':{'1':{'0':1},'3':{'0':3}},'seasons':{'101':0},"
                          "'special_days':{'501':3},'weeks':{'0':[1,1,1,1,1,1,1]}}")
            << QString();
        QTest::newRow("part nibbles differ")
            << hex("F0 12 50 02") << QByteArray("{}") << QString("fail part tariff 2 1");
        QTest::newRow("F0 alone") << hex("F0") << QByteArray("{}") << QString("too short");
    }
    void uplink_calendar()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, expected);
        QFETCH(QString, log);
        Log_capture capture;
        QCOMPARE(json_of(parser_strova5::tariff_from_ul(payload)), dq(expected));
        if (!log.isEmpty()) QVERIFY2(capture.has(log), qPrintable(capture.all()));
    }

    // ---- old firmware: frame read back from an uplink

    void decode_frame_data()
    {
        QTest::addColumn<QByteArray>("sections");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray s0 = "'seasons':{'101':0},";
        const QByteArray w0 = "'weeks':{'0':[0,0,0,0,0,0,0]}}";
        const QByteArray d0 = "{'days':{'0':{'0':0}},";
        const QByteArray d02 = "{'days':{'0':{'0':0},'2':{'0':0}},";
        QTest::newRow("mask 00 drops day 1") << hex("50 00") << d0 + s0 + w0;
        QTest::newRow("mask 7F drops day 0")
            << hex("50 7F")
            << QByteArray("{'days':{'1':{'0':0}},'seasons':{'101':0},'weeks':{'0':[1,1,1,1,1,1,1]}}");
        QTest::newRow("mask 01 is the last place")
            << hex("50 01")
            << QByteArray(
                   "{'days':{'0':{'0':0},'1':{'0':0}},'seasons':{'101':0},'weeks':{'0':[0,0,0,0,0,0,1]}}");
        QTest::newRow("range of five days")
            << hex("60 04 41 01 81 05")
            << d02 + s0 + "'special_days':{'101':2,'102':2,'103':2,'104':2,'105':2}," + w0;
        QTest::newRow("range ending before its start")
            << hex("60 04 41 05 81 01") << d02 + s0 + "'special_days':{'105':2}," + w0;
        QTest::newRow("range end without a start") << hex("60 02 81 05") << d0 + s0 + w0;
        QTest::newRow("range start in month 0") << hex("60 04 40 05 81 06") << d0 + s0 + w0;
        QTest::newRow("empty places skipped")
            << hex("60 06 C1 01 01 02 FF FF") << d02 + s0 + "'special_days':{'102':2}," + w0;
        QTest::newRow("list 2, single and range")
            << hex("70 06 05 01 4C 1E 8C 1F")
            << "{'days':{'0':{'0':0},'3':{'0':0}}," + s0 + "'special_days':{'1230':3,'1231':3,'501':3}," + w0;
        QTest::newRow("list count past the payload") << hex("60 08 01 01") << d0 + s0 + w0;
        QTest::newRow("day section cut") << hex("2F FF 55 55") << d0 + s0 + w0;
        QTest::newRow("unknown tag stops") << hex("80 00 50 7F") << d0 + s0 + w0;
        QTest::newRow("half-hour points") << hex("1F FF 00 00 00 05 55 55 55 55 55 55 55 00")
                                          << "{'days':{'0':{'1320':0,'420':1}}," + s0 + w0;
    }
    void decode_frame()
    {
        QFETCH(QByteArray, sections);
        QFETCH(QByteArray, expected);
        const Exact exact(hex("F0 11") + sections);
        QCOMPARE(json_of(parser_strova5::parse_tariff_days(exact.get())), dq(expected));
    }

    // Ranges are read back up to a whole year, so that every range the encoder writes returns.
    void frame_ranges_read_back_whole()
    {
        const QVariantMap jan =
            parser_strova5::parse_tariff_days(hex("F0 11 60 04 41 01 81 1E"))["special_days"].toMap();
        QCOMPARE(jan.size(), 30);
        QVERIFY(jan.contains("101") && jan.contains("130"));
        const QVariantMap year =
            parser_strova5::parse_tariff_days(hex("F0 11 60 04 41 01 8C 1F"))["special_days"].toMap();
        QCOMPARE(year.size(), 366);
        QCOMPARE(year.value("229"), QVariant(2));
    }

    // ---- old firmware: half-hour slots of one day

    void day_slots_data()
    {
        QTest::addColumn<QByteArray>("day");
        QTest::addColumn<QByteArray>("slot_bytes");
        QTest::addColumn<QByteArray>("back");
        QTest::newRow("no point at 0: the last tariff")
            << QByteArray("{'420':1}") << hex("555555555555555555555555") << QByteArray("{'0':1}");
        QTest::newRow("day tariff from 07:00 to 22:00")
            << QByteArray("{'0':0,'420':1,'1320':0}") << hex("000000055555555555555500")
            << QByteArray("{'1320':0,'420':1}");
        QTest::newRow("no points") << QByteArray("{}") << hex("000000000000000000000000")
                                   << QByteArray("{'0':0}");
        QTest::newRow("tariff 3 all day")
            << QByteArray("{'0':3}") << hex("FFFFFFFFFFFFFFFFFFFFFFFF") << QByteArray("{'0':3}");
        QTest::newRow("last slot") << QByteArray("{'0':1,'1410':2}") << hex("555555555555555555555556")
                                   << QByteArray("{'0':1,'1410':2}");
        QTest::newRow("point off the half hour")
            << QByteArray("{'0':1,'15':2}") << hex("6AAAAAAAAAAAAAAAAAAAAAAA")
            << QByteArray("{'0':1,'30':2}");
    }
    void day_slots()
    {
        QFETCH(QByteArray, day);
        QFETCH(QByteArray, slot_bytes);
        QFETCH(QByteArray, back);
        uint8_t out[12];
        memset(out, 0xFF, sizeof out); // every slot is written, whatever was there
        parser_strova5::tariff_day_to_points(out, json(day));
        QCOMPARE(hex_of(QByteArray(reinterpret_cast<const char*>(out), 12)), hex_of(slot_bytes));
        QCOMPARE(json_of(parser_strova5::parse_tariff_day(slot_bytes)), dq(back));
    }

    void day_slots_odd_arguments()
    {
        parser_strova5::tariff_day_to_points(nullptr, json("{'0':1}"));
        const Exact short_slots(hex("55 55"));
        QCOMPARE(json_of(parser_strova5::parse_tariff_day(short_slots.get())), dq("{'0':1,'240':0}"));
    }

    // ---- new firmware: calendar to program

    void encode_program_data()
    {
        QTest::addColumn<QByteArray>("calendar");
        QTest::addColumn<QByteArray>("program");
        QTest::newRow("two switch points")
            << QByteArray("{'days':{'0':{'0':1,'420':2}},'weeks':{'0':[0,0,0,0,0,0,0]},'seasons':{'101':0}}")
            << hex("80 88 00 11 A4 C0 7F 00 50 08 40");
        QTest::newRow("weekdays grouped by day profile")
            << QByteArray(
                   "{'days':{'0':{'0':1},'1':{'0':2}},'weeks':{'0':[0,0,0,0,0,1,1]},'seasons':{'101':0}}")
            << hex("80 08 00 81 10 00 C0 9F 00 60 01 50 08 40");
        QTest::newRow("ids and minutes in numeric order")
            << QByteArray(
                   "{'days':{'10':{'0':1},'9':{'1439':3,'420':2,'60':1}},'weeks':{'0':[9,9,9,9,9,10,10]},"
                   "'seasons':{'1001':0,'301':0}}")
            << hex("89 88 3C 91 A4 1D 9F 8A 08 00 C0 9F 09 60 0A 50 98 40 50 40");
        QTest::newRow("special days and activation")
            << QByteArray("{'days':{'0':{'0':1}},'weeks':{'0':[0,0,0,0,0,0,0]},'seasons':{'101':0},"
                          "'special_days':{'1225':0},'activate':305419896}")
            << hex("80 08 00 C0 7F 00 50 08 40 60 66 40 70 78 56 34 12");
        QTest::newRow("activation 0 writes nothing")
            << QByteArray(
                   "{'days':{'0':{'0':1}},'weeks':{'0':[0,0,0,0,0,0,0]},'seasons':{'101':0},'activate':0}")
            << hex("80 08 00 C0 7F 00 50 08 40");
        QTest::newRow("highest ids")
            << QByteArray(
                   "{'days':{'63':{'1439':3}},'weeks':{'63':[63,63,63,63,63,63,63]},'seasons':{'1231':63}}")
            << hex("BF 1D 9F FF 7F 3F 50 67 FF");
        QTest::newRow("short week padded with day 0")
            << QByteArray("{'days':{'0':{'0':1},'1':{'0':2}},'weeks':{'0':[1,1]},'seasons':{'101':0}}")
            << hex("80 08 00 81 10 00 C0 83 01 7C 00 50 08 40");
        QTest::newRow("numbers as text") << QByteArray("{'days':{'0':{'0':'1','420':'2'}},'weeks':{'0':['0','"
                                                       "0','0','0','0','0','0']},'seasons':{'101':'0'}}")
                                         << hex("80 88 00 11 A4 C0 7F 00 50 08 40");
    }
    void encode_program()
    {
        QFETCH(QByteArray, calendar);
        QFETCH(QByteArray, program);
        QCOMPARE(hex_of(parser_strova5::stringify_tariff_calendar(json(calendar))), hex_of(program));
    }

    void program_trace()
    {
        Log_capture capture;
        parser_strova5::stringify_tariff_calendar(
            json("{'days':{'0':{'0':1},'1':{'0':2}},'weeks':{'0':[0,0,0,0,0,1,1]},'seasons':{'101':0}}"));
        QVERIFY2(capture.has("QMap((31, 0)(96, 1))"), qPrintable(capture.all()));
        // A program that fails the check is logged with its code in decimal.
        parser_strova5::stringify_tariff_calendar(
            json("{'days':{'0':{'0':1}},'weeks':{'0':[0,0,0,0,0,0,'']}}"));
        QVERIFY2(capture.has("51 800800C03F0050"), qPrintable(capture.all()));
    }

    // ---- the program check

    void check_codes_data()
    {
        QTest::addColumn<QByteArray>("program");
        QTest::addColumn<int>("code");
        const QByteArray dw = hex("80 00 00 C0 7F 00");
        QTest::newRow("empty") << QByteArray() << 0;
        QTest::newRow("one byte") << hex("00") << 0;
        QTest::newRow("valid") << dw + hex("50 08 40") << 0;
        QTest::newRow("seasons byte last") << dw + hex("50") << 0;
        QTest::newRow("activation at the end") << hex("80 00 00 70 01") << 0;
        QTest::newRow("section 00") << hex("80 00 00 00 00") << 0x01;
        QTest::newRow("minute 1440") << hex("80 05 A0") << 0x21;
        QTest::newRow("minute 1439") << hex("80 05 9F") << 0;
        QTest::newRow("tariff 4") << hex("80 20 00") << 0x22;
        QTest::newRow("week low byte above 3F") << hex("80 00 00 C0 7F 40") << 0x31;
        QTest::newRow("week before any day") << hex("C0 7F 00 50") << 0x32;
        QTest::newRow("week names an undefined day") << hex("80 00 00 C0 7F 01 50") << 0x32;
        QTest::newRow("weekday missing") << hex("80 00 00 C0 3F 00 50") << 0x33;
        QTest::newRow("weekday named twice") << hex("80 00 00 C0 FF 00 40 00 50") << 0x33;
        QTest::newRow("seasons low nibble") << dw + hex("51 08 40") << 0x91;
        QTest::newRow("season day 0") << dw + hex("50 08 00") << 0x92;
        QTest::newRow("season month 13") << dw + hex("50 68 40") << 0x93;
        QTest::newRow("season month 0") << dw + hex("50 00 40") << 0x93;
        QTest::newRow("season names an undefined week") << dw + hex("50 08 41") << 0x94;
        QTest::newRow("special days low nibble") << dw + hex("50 08 40 62 08 40") << 0xA1;
        QTest::newRow("special day 0") << dw + hex("50 08 40 60 08 00") << 0xA2;
        QTest::newRow("special month 13") << dw + hex("50 08 40 60 68 40") << 0xA3;
        QTest::newRow("special day names an undefined day") << dw + hex("50 08 40 60 08 41") << 0xA4;
        QTest::newRow("activation low nibble") << hex("80 00 00 71 00 00 00 00") << 0xB1;
        QTest::newRow("section 4x") << hex("80 00 00 40 00") << 0xC1;
        QByteArray many; // more than 64 sections, and every day id
        for (int i = 0; i < 70; ++i)
            many += char(0x80 | (i & 0x3F)) + hex("00 00");
        QTest::newRow("70 day sections") << many + hex("C0 7F 3F 50") << 0;
    }
    void check_codes()
    {
        QFETCH(QByteArray, program);
        QFETCH(int, code);
        const Exact exact(program);
        QCOMPARE(int(tariff_check(exact.data(), uint16_t(program.size()))), code);
    }

    // ---- the "13.0.0" command

    void command_data()
    {
        QTest::addColumn<QVariant>("data");
        QTest::addColumn<bool>("new_sw");
        QTest::addColumn<QStringList>("rights");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("state");
        const QStringList settings{"view", "settings"};
        const QVariantMap part =
            json("{'days':{'0':{'0':1,'420':2}},'weeks':{'0':[0,0,0,0,0,0,0]},'seasons':{'101':0}}");
        QTest::newRow("new: read") << QVariant(QVariantMap()) << true << settings << hex("51") << 1;
        QTest::newRow("new: read without data") << QVariant() << true << settings << hex("51") << 1;
        QTest::newRow("new: program")
            << QVariant(part) << true << settings << hex("51 80 88 00 11 A4 C0 7F 00 50 08 40 00") << 1;
        QTest::newRow("old: read") << QVariant(QVariantMap()) << false << settings << hex("EF 04") << 1;
        QTest::newRow("old: read without data")
            << QVariant(QString()) << false << settings << hex("EF 04") << 1;
        QTest::newRow("old: frame")
            << QVariant(json("{'days':{'0':{'0':0,'420':1,'1320':0},'1':{'420':1},'2':{'0':2},'3':{'0':3}},"
                             "'weeks':{'0':[0,0,0,0,0,1,1]},'seasons':{'101':0},"
                             "'special_days':{'101':2,'102':2,'103':2,'501':3}}"))
            << false << settings
            << hex("F0 11 1F FF 00 00 00 05 55 55 55 55 55 55 55 00 2F FF 55 55 55 55 55 55 55 55 55 55 55 55"
                   "3F FF AA AA AA AA AA AA AA AA AA AA AA AA 4F FF FF FF FF FF FF FF FF FF FF FF FF FF"
                   "50 41 60 04 41 01 81 03 70 02 05 01")
            << 1;
        QTest::newRow("new: no settings right")
            << QVariant(part) << true << QStringList{"control", "Settings"} << QByteArray() << 4;
        QTest::newRow("old: read without the right")
            << QVariant(QVariantMap()) << false << QStringList() << QByteArray() << 4;
    }
    void command()
    {
        QFETCH(QVariant, data);
        QFETCH(bool, new_sw);
        QFETCH(QStringList, rights);
        QFETCH(QByteArray, payload);
        QFETCH(int, state);
        const Stringify_dl_app out = tariff_command(data, new_sw, rights);
        QCOMPARE(hex_of(out.payload), hex_of(payload));
        QCOMPARE(int(out.state), state);
        QCOMPARE(out.payload_is_text, false);
    }

    void old_frame_trace()
    {
        Log_capture capture;
        const Stringify_dl_app out =
            tariff_command(json("{'days':{'0':{'0':1}},'weeks':{'0':[0,0,0,0,0,0,0]}}"), false);
        QCOMPARE(out.payload.size(), 64);
        QVERIFY2(capture.has("62 F0111FFF"), qPrintable(capture.all()));
        QVERIFY2(capture.has("\"weeks\": {"), qPrintable(capture.all())); // the calendar as indented JSON
    }

    // Every calendar that cannot be sent as asked: nothing to send, with the reason in the log.
    void refused_data()
    {
        QTest::addColumn<QByteArray>("calendar");
        QTest::addColumn<bool>("new_sw");
        QTest::addColumn<QString>("reason");
        const QByteArray w = "'weeks':{'0':[0,0,0,0,0,0,0]}";
        const QByteArray s = "'seasons':{'101':0}";
        const QByteArray ws = w + "," + s;
        auto with_days = [&](const char* days) { return "{\"days\":" + QByteArray(days) + "," + ws + "}"; };
        auto base_with = [&](const char* extra) {
            return "{'days':{'0':{'0':1}}," + ws + "," + QByteArray(extra) + "}";
        };
        for (bool new_sw : {true, false}) {
            const char* fw = new_sw ? "new: " : "old: ";
            auto row = [&](const char* name) -> QTestData& {
                return QTest::newRow(qPrintable(QString(fw) + name));
            };
            row("minute 1440") << with_days("{'0':{'0':1,'1440':2}}") << new_sw << "minute \"1440\"";
            row("minute not a number") << with_days("{'0':{'7h':1}}") << new_sw << "minute \"7h\"";
            row("minute twice") << with_days("{'0':{'60':1,'060':2}}") << new_sw << "given twice";
            row("tariff 4") << with_days("{'0':{'0':4}}") << new_sw << "tariff at minute 0";
            row("tariff 1.5") << with_days("{'0':{'0':1.5}}") << new_sw << "tariff at minute 0";
            row("day id 64") << with_days("{'0':{'0':1},'64':{'0':1}}") << new_sw << "day profile id \"64\"";
            row("day id twice") << with_days("{'0':{'0':1},'00':{'0':1}}") << new_sw << "given twice";
            row("day not a map") << with_days("{'0':5}") << new_sw << "day profile 0 is not a map";
            row("days not a map") << with_days("[1]") << new_sw << "\"days\" is not a map";
            row("week id 64") << QByteArray("{'days':{'0':{'0':1}},'weeks':{'64':[0,0,0,0,0,0,0]}}") << new_sw
                              << "week profile id \"64\"";
            row("week place 64") << QByteArray("{'days':{'0':{'0':1}},'weeks':{'0':[0,0,0,0,0,0,64]}}")
                                 << new_sw << "place 6";
            row("week place -1") << QByteArray("{'days':{'0':{'0':1}},'weeks':{'0':[-1,0,0,0,0,0,0]}}")
                                 << new_sw << "place 0";
            row("week of eight places")
                << QByteArray("{'days':{'0':{'0':1}},'weeks':{'0':[0,0,0,0,0,0,0,0]}}") << new_sw
                << "8 places";
            row("week not a list") << QByteArray("{'days':{'0':{'0':1}},'weeks':{'0':'0,0,0,0,0,0,0'}}")
                                   << new_sw << "not a list";
            row("season in month 13") << QByteArray("{'days':{'0':{'0':1}}," + w + ",'seasons':{'1301':0}}")
                                      << new_sw << "\"1301\" is not a date";
            row("season on 30 February") << QByteArray("{'days':{'0':{'0':1}}," + w + ",'seasons':{'230':0}}")
                                         << new_sw << "\"230\" is not a date";
            row("season week 64") << QByteArray("{'days':{'0':{'0':1}}," + w + ",'seasons':{'101':64}}")
                                  << new_sw << "value of 101";
            row("special day on 31 April")
                << base_with("'special_days':{'431':2}") << new_sw << "\"431\" is not a date";
            row("activation negative") << base_with("'activate':-1") << new_sw << "\"activate\"";
            row("activation past 32 bits") << base_with("'activate':4294967296") << new_sw << "\"activate\"";
        }
        auto row = [](const char* name) -> QTestData& { return QTest::newRow(name); };
        // New firmware: the program's own rules, and what the program cannot carry.
        row("new: special day 64") << base_with("'special_days':{'101':64}") << true << "value of 101";
        row("new: day without switch points")
            << with_days("{'0':{'0':1},'1':{}}") << true << "no switch point";
        row("new: special days without seasons")
            << QByteArray("{'days':{'0':{'0':1}}," + w + ",'special_days':{'101':0}}") << true
            << "without seasons";
        row("new: empty weekday place")
            << QByteArray("{'days':{'0':{'0':1}},'weeks':{'0':[0,0,0,null,0,0,0]}}") << true
            << "51 800800C0770050";
        row("new: week names an undefined day")
            << QByteArray("{'days':{'0':{'0':1}},'weeks':{'0':[0,0,0,1,0,0,0]}}") << true
            << "50 800800C08801";
        row("new: season names an undefined week")
            << QByteArray("{'days':{'0':{'0':1}}," + w + ",'seasons':{'101':1}}") << true
            << "148 800800C07F00500841";
        row("new: special day names an undefined day")
            << base_with("'special_days':{'101':5}") << true << "164 800800C07F00500840600845";
        QByteArray long_days = "{";
        for (int id = 0; id < 16; ++id)
            long_days += QByteArray(id ? "," : "") + "\"" + QByteArray::number(id) +
                         "':{'0':0,'60':1,'120':2,'180':3,'240':0,'300':1,'360':2,'420':3}";
        row("new: program longer than a payload") << with_days(long_days + "}") << true << "do not fit";
        // Old firmware: what its fixed frame cannot carry.
        row("old: day profile 4") << with_days("{'0':{'0':1},'4':{'0':1}}") << false
                                  << "day profile id \"4\"";
        row("old: two week profiles")
            << QByteArray("{'days':{'0':{'0':1}},'weeks':{'0':[0,0,0,0,0,0,0],'1':[0,0,0,0,0,0,0]}}") << false
            << "one week profile";
        row("old: weekday on day profile 2")
            << QByteArray("{'days':{'0':{'0':1}},'weeks':{'0':[0,0,2,0,0,0,0]}}") << false << "place 2";
        row("old: empty weekday place")
            << QByteArray("{'days':{'0':{'0':1}},'weeks':{'0':[0,0,0,0,null,0,0]}}") << false << "place 4";
        row("old: special day value 1") << base_with("'special_days':{'101':1}") << false << "value of 101";
        row("old: activation") << base_with("'activate':1700000000") << false << "no activation";
        row("old: eleven list entries")
            << base_with("'special_days':{'101':2,'103':2,'105':2,'107':2,'109':2,'111':2,'113':2,'115':2,"
                         "'117':2,'119':2,'121':2}")
            << false << "ten list entries";
        row("old: twelve entries by ranges")
            << base_with("'special_days':{'301':3,'302':3,'401':3,'402':3,'501':3,'502':3,'601':3,'602':3,"
                         "'701':3,'702':3,'801':3,'802':3}")
            << false << "ten list entries";
    }
    void refused()
    {
        QFETCH(QByteArray, calendar);
        QFETCH(bool, new_sw);
        QFETCH(QString, reason);
        Log_capture capture;
        const Stringify_dl_app out = tariff_command(json(calendar), new_sw);
        QCOMPARE(hex_of(out.payload), QString());
        QCOMPARE(int(out.state), 4);
        QVERIFY2(capture.has(reason), qPrintable(capture.all()));
        QVERIFY2(capture.has("13.0.0 not sent to modem 77"), qPrintable(capture.all()));
    }

    void refused_data_shapes_data()
    {
        QTest::addColumn<QVariant>("data");
        QTest::newRow("list") << QVariant(QVariantList{1, 2});
        QTest::newRow("text") << QVariant(QString("days"));
        QTest::newRow("number") << QVariant(5);
    }
    void refused_data_shapes()
    {
        QFETCH(QVariant, data);
        for (bool new_sw : {true, false}) {
            Log_capture capture;
            const Stringify_dl_app out = tariff_command(data, new_sw);
            QVERIFY(out.payload.isEmpty());
            QCOMPARE(int(out.state), 4);
            QVERIFY2(capture.has("not a map"), qPrintable(capture.all()));
        }
    }

    // Ten entries fit a list, also when a later date only moves the end of a range.
    void frame_lists_fill_to_ten()
    {
        const QVariantMap special = json("{'301':2,'303':2,'305':2,'307':2,'309':2,'311':2,'313':2,'315':2,"
                                         "'501':2,'502':2,'503':2}");
        QVariantMap cal =
            json("{'days':{'0':{'0':1},'2':{'0':2}},'weeks':{'0':[0,0,0,0,0,0,0]},'seasons':{'101':0}}");
        cal.insert("special_days", special);
        const QByteArray frame = parser_strova5::stringify_tariff_days(cal);
        QCOMPARE(hex_of(frame.mid(60)),
                 hex_of(hex("60 14 03 01 03 03 03 05 03 07 03 09 03 0B 03 0D 03 0F 45 01 85 03 70 00")));
        QCOMPARE(json_of(parser_strova5::parse_tariff_days(frame)), json_of(cal));
    }

    // The encoder's "13.0.0" branch: firmware from the registry, a refused calendar is never a read.
    void encoder_branch()
    {
        RAM_modems registry(QVariantMap(), nullptr);
        registry.add_modem(5002, QVariantMap{{"version", QVariantMap{{"sw", "2.1.2.0"}}}});
        registry.add_modem(5003, QVariantMap{{"version", QVariantMap{{"sw", "1.0.4.0"}}}});
        const QVariantMap cal =
            json("{'days':{'0':{'0':1,'420':2}},'weeks':{'0':[0,0,0,0,0,0,0]},'seasons':{'101':0}}");
        const QVariantMap bad =
            json("{'days':{'0':{'0':1,'1440':2}},'weeks':{'0':[0,0,0,0,0,0,0]},'seasons':{'101':0}}");
        auto encode = [](uint32_t modem, const QVariant& data) {
            return parser_strova5::stringify_dl_app(Dl_request(modem, 1700000000, "13.0.0", data),
                                                    {"settings"});
        };
        Stringify_dl_app out = encode(5003, cal);
        QCOMPARE(hex_of(out.payload), QString("5180880011A4C07F0050084000"));
        QCOMPARE(out.state, 1u);
        out = encode(5002, cal);
        QCOMPARE(out.payload.size(), 64);
        QCOMPARE(hex_of(out.payload.left(4)), QString("F0111FFF"));
        for (uint32_t modem : {5002u, 5003u}) {
            out = encode(modem, bad);
            QCOMPARE(hex_of(out.payload), QString());
            QCOMPARE(out.state, 4u);
            QCOMPARE(out.setting, QString("13.0.0"));
        }
    }

    // ---- round trips

    void round_trip_new_firmware()
    {
        auto check = [](const QString& name, const QVariantMap& cal) {
            const QByteArray program = parser_strova5::stringify_tariff_calendar(cal);
            QVERIFY2(!program.isEmpty(), qPrintable(name + " " + json_of(cal)));
            QVERIFY2(program.size() <= 253, qPrintable(name));
            const QVariantMap back = parser_strova5::parse_tariff(program);
            QCOMPARE(json_of(back), json_of(cal));
            QVERIFY2(back == cal, qPrintable(name)); // also the value types
            // The uplink carrying it is stored whole.
            QCOMPARE(json_of(parser_strova5::tariff_from_ul(char(0x51) + program)), json_of(cal));
        };
        for (const auto& b : boundary_calendars())
            check(b.first, b.second);
        for (quint32 seed = 1; seed <= 3000; ++seed)
            check(QString("seed %1").arg(seed), Calendar_maker(seed).new_firmware());
    }

    void round_trip_old_firmware()
    {
        int sent = 0;
        for (quint32 seed = 1; seed <= 3000; ++seed) {
            const QVariantMap cal = Calendar_maker(seed).old_firmware();
            const QByteArray frame = parser_strova5::stringify_tariff_days(cal);
            if (frame.isEmpty()) continue; // more special days than the two lists hold
            ++sent;
            QCOMPARE(frame.size(),
                     64 + uint8_t(frame.at(61)) + uint8_t(frame.at(63 + uint8_t(frame.at(61)))));
            const QVariantMap back = parser_strova5::tariff_from_ul(frame);
            QCOMPARE(json_of(back), json_of(cal));
            QVERIFY(back == cal);
        }
        QVERIFY2(sent > 2400, qPrintable(QString::number(sent)));
    }

    // ---- hostile uplinks: cut, flipped and random bytes never read past the payload

    void hostile_uplinks()
    {
        const QList<QByteArray> seeds{
            hex("51 80 88 00 11 A4 C0 7F 00 50 08 40 60 66 40 70 78 56 34 12"),
            hex("51 89 88 3C 91 A4 1D 9F 8A 08 00 C0 9F 09 60 0A 50 98 40 50 40"),
            hex("F0 11 1F FF 00 00 00 05 55 55 55 55 55 55 55 00 2F FF 55 55 55 55 55 55 55 55 55 55 55 55"
                "3F FF AA AA AA AA AA AA AA AA AA AA AA AA 4F FF FF FF FF FF FF FF FF FF FF FF FF FF"
                "50 41 60 04 41 01 81 03 70 02 05 01"),
            hex("F2 22 60 14 03 01 03 03 03 05 03 07 03 09 03 0B 03 0D 03 0F 45 01 85 03 70 04 4C 1E 8C 1F"),
        };
        auto run = [](const QByteArray& payload) {
            const Exact whole(payload);
            parser_strova5::tariff_from_ul(whole.get());
            parser_strova5::parse_tariff_days(whole.get());
            const Exact body(payload.mid(1));
            const QVariantMap cal = parser_strova5::parse_tariff(body.get());
            tariff_check(body.data(), uint16_t(body.get().size()));
            // Whatever a meter sends, a calendar the encoder accepts comes back unchanged.
            const QByteArray program = parser_strova5::stringify_tariff_calendar(cal);
            if (!program.isEmpty() && json_of(parser_strova5::parse_tariff(program)) != json_of(cal))
                return false;
            parser_strova5::stringify_tariff_days(parser_strova5::parse_tariff_days(whole.get()));
            return true;
        };
        for (const QByteArray& seed : seeds)
            for (int n = 0; n <= seed.size(); ++n)
                QVERIFY2(run(seed.left(n)), qPrintable(hex_of(seed.left(n))));
        QRandomGenerator rng(20240611);
        for (int i = 0; i < 20000; ++i) {
            QByteArray p = seeds.at(int(rng.bounded(seeds.size())));
            switch (rng.bounded(3)) {
            case 0: // flipped bits
                for (int k = int(rng.bounded(1, 4)); k > 0; --k) {
                    const int at = int(rng.bounded(p.size()));
                    p[at] = char(p.at(at) ^ (1 << rng.bounded(8)));
                }
                break;
            case 1: // cut and extended
                p = p.left(int(rng.bounded(p.size() + 1)));
                for (int k = int(rng.bounded(4)); k > 0; --k)
                    p.append(char(rng.bounded(256)));
                break;
            default: { // random bytes behind a tariff header
                QByteArray r(int(rng.bounded(1, 80)), 0);
                for (char& c : r)
                    c = char(rng.bounded(256));
                r[0] = p.at(0);
                p = r;
            }
            }
            QVERIFY2(run(p), qPrintable(hex_of(p)));
        }
    }
};

QTEST_GUILESS_MAIN(tst_parser_tariff)
#include "tst_parser_tariff.moc"
