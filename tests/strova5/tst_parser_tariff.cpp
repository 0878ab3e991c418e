// Tariff calendars: the new-firmware program and the old-firmware frame, both directions, the
// "13.0.0" command, and hostile uplinks. Vectors: data/parser_tariff.txt.
#include "log_limiter.h"
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
using testsupport::Exact;
using testsupport::Log_capture;

namespace {

// JSON written with ' for " in the vectors and the test's own literals.
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
QVariantMap json(const QString& text) { return json(text.toUtf8()); }
QVariantMap json(const char* text) { return json(QByteArray(text)); }

QByteArray json_of(const QVariantMap& map)
{
    return QJsonDocument(QJsonObject::fromVariantMap(map)).toJson(QJsonDocument::Compact);
}

QByteArray bytes(const QString& field) { return field == "-" ? QByteArray() : hex(field); }

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

} // namespace

class tst_parser_tariff : public QObject
{
    Q_OBJECT

    static void rows(const char* section) { testsupport::vector_rows(VECTORS("parser_tariff.txt"), section); }

private slots:
    void initTestCase()
    {
        log_set_level(LVL_OFF);
        // Every refusal's line is looked for, however many come a second.
        log_detail::limited_burst = 1 << 30;
    }

    void decode_program_data() { rows("program"); }
    void decode_program()
    {
        QFETCH(QStringList, f);
        const Exact exact(bytes(f[0]));
        QCOMPARE(json_of(parser_strova5::parse_tariff(exact.get())), dq(f[1].toUtf8()));
    }

    void uplink_calendar_data() { rows("uplink"); }
    void uplink_calendar()
    {
        QFETCH(QStringList, f);
        Log_capture capture;
        const Exact exact(bytes(f[0]));
        QCOMPARE(json_of(parser_strova5::tariff_from_ul(exact.get())), dq(f[1].toUtf8()));
        if (f[2] != "-") QVERIFY2(capture.has(f[2]), qPrintable(capture.all()));
    }

    void decode_frame_data() { rows("frame"); }
    void decode_frame()
    {
        QFETCH(QStringList, f);
        const Exact exact(hex("F0 11") + bytes(f[0]));
        QCOMPARE(json_of(parser_strova5::parse_tariff_days(exact.get())), dq(f[1].toUtf8()));
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

    void day_slots_data() { rows("day"); }
    void day_slots()
    {
        QFETCH(QStringList, f);
        uint8_t out[12];
        memset(out, 0xFF, sizeof out); // every slot is written, whatever was there
        parser_strova5::tariff_day_to_points(out, json(f[0]));
        QCOMPARE(hex_of(QByteArray(reinterpret_cast<const char*>(out), 12)), hex_of(bytes(f[1])));
        QCOMPARE(json_of(parser_strova5::parse_tariff_day(bytes(f[1]))), dq(f[2].toUtf8()));
    }

    void day_slots_odd_arguments()
    {
        parser_strova5::tariff_day_to_points(nullptr, json("{'0':1}"));
        const Exact short_slots(hex("55 55"));
        QCOMPARE(json_of(parser_strova5::parse_tariff_day(short_slots.get())), dq("{'0':1,'240':0}"));
    }

    void encode_program_data() { rows("encode"); }
    void encode_program()
    {
        QFETCH(QStringList, f);
        QCOMPARE(hex_of(parser_strova5::stringify_tariff_calendar(json(f[0]))), hex_of(bytes(f[1])));
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

    void check_codes_data() { rows("check"); }
    void check_codes()
    {
        QFETCH(QStringList, f);
        const Exact exact(bytes(f[0]));
        QCOMPARE(int(tariff_check(exact.data(), uint16_t(exact.get().size()))), f[1].toInt(nullptr, 16));
    }

    void command_data() { rows("command"); }
    void command()
    {
        QFETCH(QStringList, f);
        const QVariant data = f[0] == "-" ? QVariant() : f[0] == "\"\"" ? QVariant(QString()) : QVariant(json(f[0]));
        const QStringList rights = f[2] == "-" ? QStringList() : f[2].split(',');
        const Stringify_dl_app out = tariff_command(data, f[1] == "new", rights);
        QCOMPARE(hex_of(out.payload), hex_of(bytes(f[3])));
        QCOMPARE(int(out.state), f[4].toInt());
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
    void refused_data() { rows("refused"); }
    void refused()
    {
        QFETCH(QStringList, f);
        for (bool new_sw : {true, false}) {
            if (f[1] != "both" && (f[1] == "new") != new_sw) continue;
            Log_capture capture(LVL_EXC);
            const Stringify_dl_app out = tariff_command(json(f[0]), new_sw);
            QCOMPARE(hex_of(out.payload), QString());
            QCOMPARE(int(out.state), 4);
            QVERIFY2(capture.has(f[2]), qPrintable(capture.all()));
            QVERIFY2(capture.has("13.0.0 not sent to modem 77"), qPrintable(capture.all()));
        }
        // Data of another shape is refused the same way.
        for (const QVariant& data : {QVariant(QVariantList{1, 2}), QVariant(QString("days")), QVariant(5)}) {
            Log_capture capture(LVL_EXC);
            QVERIFY(tariff_command(data, f[1] != "old").payload.isEmpty());
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
        for (const auto& v : testsupport::read_vectors(VECTORS("parser_tariff.txt"), "boundary"))
            check(v.name, json(v.fields[0]));
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
        QList<QByteArray> seeds;
        for (const auto& v : testsupport::read_vectors(VECTORS("parser_tariff.txt"), "uplink"))
            if (v.fields[0].size() > 8) seeds << bytes(v.fields[0]);
        for (const auto& v : testsupport::read_vectors(VECTORS("parser_tariff.txt"), "command"))
            if (v.fields[3].size() > 8) seeds << bytes(v.fields[3]);
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
