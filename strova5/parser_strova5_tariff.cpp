// Tariff calendars: the calendar map of the setting "13.0.0", the tariff program of new firmware
// and the fixed tariff frame of old firmware, and the "13.0.0" branch of the encoder. The uplink
// hook, which reports answers to storage, is in parser_strova5_tariff_ul.cpp.
#include "log_limiter.h"
#include "logger.h"
#include "parser_strova5.h"

#include <QDate>
#include <QJsonDocument>
#include <QVector>
#include <bitset>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr int kMaxPayload = 255; // one radio payload
constexpr int kLastMinute = 1439;
constexpr int kMaxId = 63; // profile ids travel in 6 bits
constexpr int kMaxTariff = 3;
constexpr int kWeekdays = 7;
constexpr int kEmptyPlace = -1000; // a week place given as null or "": left to the check
constexpr uint16_t kMore = 0x8000; // another entry of the same section follows

enum : uint8_t {
    SEC_DAY = 0x80,
    SEC_WEEK = 0xC0,
    SEC_SEASONS = 0x50,
    SEC_SPECIAL = 0x60,
    SEC_ACTIVATE = 0x70,
};

// Old-firmware frame geometry.
constexpr int kDaySlots = 12;      // 48 half-hour slots of 2 bits
constexpr int kOldDays = 4;        // day profiles "0".."3"
constexpr int kListEntries = 10;   // special days per list
constexpr int kMaxRangeDays = 366; // a range read back expands up to a whole year

// Two bytes in transmission order (bits 8-15 first) into one entry.
void tariff_entry_pack(uint16_t* entry, const uint8_t* first, const uint8_t* second)
{
    if (entry && first && second) *entry = uint16_t(*first << 8 | *second);
}

void tariff_entry_unpack(const uint16_t* entry, uint8_t* first, uint8_t* second)
{
    if (entry && first && second) {
        *first = uint8_t(*entry >> 8);
        *second = uint8_t(*entry);
    }
}

// Upper-case hex for log lines (streamed as plain text, without quotes).
QByteArray hex_text(const QByteArray& bytes)
{
    return bytes.toHex().toUpper();
}

QString date_text(int key)
{
    return QString::number(key);
}

// ---- the calendar map, checked before anything is masked into a field

struct Calendar
{
    QMap<int, QMap<int, int>> days;              // id -> minute -> tariff
    QMap<int, QVector<int>> weeks;               // id -> seven places (day ids or kEmptyPlace)
    QMap<int, int> seasons;                      // date key -> week id
    QMap<int, int> special_days;                 // date key -> value
    QVector<QPair<int, int>> special_text_order; // the same, in the order of the map's text keys
    quint32 activate = 0;
};

bool is_map(const QVariant& v)
{
    return v.userType() == QMetaType::QVariantMap || v.userType() == QMetaType::QVariantHash;
}

bool is_list(const QVariant& v)
{
    return v.userType() == QMetaType::QVariantList || v.userType() == QMetaType::QStringList;
}

bool is_absent(const QVariant& v)
{
    return !v.isValid() || v.isNull();
}

// A whole number from a number or numeric text; fractions, booleans and containers are not.
bool to_whole(const QVariant& v, qint64& out)
{
    switch (v.userType()) {
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::SChar:
    case QMetaType::Long:
    case QMetaType::LongLong:
        out = v.toLongLong();
        return true;
    case QMetaType::UInt:
    case QMetaType::UShort:
    case QMetaType::UChar:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        if (v.toULongLong() > quint64(std::numeric_limits<qint64>::max())) return false;
        out = qint64(v.toULongLong());
        return true;
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = v.toDouble();
        if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > 9007199254740992.0) return false;
        out = qint64(d);
        return true;
    }
    case QMetaType::QString:
    case QMetaType::QByteArray: {
        bool ok = false;
        out = v.toString().trimmed().toLongLong(&ok);
        return ok;
    }
    default:
        return false;
    }
}

bool in_range(const QVariant& v, qint64 lo, qint64 hi, int& out)
{
    qint64 n = 0;
    if (!to_whole(v, n) || n < lo || n > hi) return false;
    out = int(n);
    return true;
}

// A date key is month x 100 + day of a real date (of a leap year, so 229 counts).
bool date_key(const QVariant& key, int& out)
{
    int k = 0;
    if (!in_range(key, 101, 1231, k) || !QDate::isValid(2000, k / 100, k % 100)) return false;
    out = k;
    return true;
}

class Calendar_reader
{
public:
    Calendar_reader(bool old_firmware, QString& why) : old(old_firmware), why(why) {}

    bool read(const QVariantMap& map, Calendar& c)
    {
        return read_days(map.value(QStringLiteral("days")), c) &&
               read_weeks(map.value(QStringLiteral("weeks")), c) &&
               read_seasons(map.value(QStringLiteral("seasons")), c) &&
               read_special_days(map.value(QStringLiteral("special_days")), c) &&
               read_activate(map.value(QStringLiteral("activate")), c) && read_whole(c);
    }

private:
    bool old;
    QString& why;

    bool fail(const QString& text)
    {
        why = text;
        return false;
    }

    bool section(const QVariant& v, const char* name, QVariantMap& out)
    {
        if (is_absent(v)) return true;
        if (!is_map(v)) return fail(QStringLiteral("\"%1\" is not a map").arg(QLatin1String(name)));
        out = v.toMap();
        return true;
    }

    bool read_days(const QVariant& v, Calendar& c)
    {
        QVariantMap days;
        if (!section(v, "days", days)) return false;
        for (auto it = days.cbegin(); it != days.cend(); ++it) {
            int id = 0;
            if (!in_range(it.key(), 0, old ? kOldDays - 1 : kMaxId, id))
                return fail(QStringLiteral("day profile id \"%1\" is not 0-%2")
                                .arg(it.key())
                                .arg(old ? kOldDays - 1 : kMaxId));
            if (c.days.contains(id)) return fail(QStringLiteral("day profile %1 is given twice").arg(id));
            if (!is_map(it.value())) return fail(QStringLiteral("day profile %1 is not a map").arg(id));
            const QVariantMap day = it.value().toMap();
            QMap<int, int> points;
            for (auto pt = day.cbegin(); pt != day.cend(); ++pt) {
                int minute = 0, tariff = 0;
                if (!in_range(pt.key(), 0, kLastMinute, minute))
                    return fail(
                        QStringLiteral("day profile %1: minute \"%2\" is not 0-1439").arg(id).arg(pt.key()));
                if (points.contains(minute))
                    return fail(
                        QStringLiteral("day profile %1: minute %2 is given twice").arg(id).arg(minute));
                if (!in_range(pt.value(), 0, kMaxTariff, tariff))
                    return fail(
                        QStringLiteral("day profile %1: tariff at minute %2 is not 0-3").arg(id).arg(minute));
                points.insert(minute, tariff);
            }
            // A day section without entries would swallow the next section's bytes as its entries.
            if (points.isEmpty() && !old)
                return fail(QStringLiteral("day profile %1 has no switch point").arg(id));
            c.days.insert(id, points);
        }
        return true;
    }

    bool read_weeks(const QVariant& v, Calendar& c)
    {
        QVariantMap weeks;
        if (!section(v, "weeks", weeks)) return false;
        if (old && weeks.size() > 1)
            return fail(QStringLiteral("old firmware holds one week profile, not %1").arg(weeks.size()));
        for (auto it = weeks.cbegin(); it != weeks.cend(); ++it) {
            int id = 0;
            if (!in_range(it.key(), 0, kMaxId, id))
                return fail(QStringLiteral("week profile id \"%1\" is not 0-63").arg(it.key()));
            if (c.weeks.contains(id)) return fail(QStringLiteral("week profile %1 is given twice").arg(id));
            if (!is_list(it.value())) return fail(QStringLiteral("week profile %1 is not a list").arg(id));
            const QVariantList list = it.value().toList();
            if (list.size() > kWeekdays)
                return fail(QStringLiteral("week profile %1 has %2 places, not 7").arg(id).arg(list.size()));
            QVector<int> places(kWeekdays, 0); // a short list is padded with day profile 0
            for (int d = 0; d < list.size(); ++d) {
                const QVariant& place = list.at(d);
                const bool empty = is_absent(place) ||
                                   (place.userType() == QMetaType::QString && place.toString().isEmpty());
                if (empty && !old) {
                    places[d] = kEmptyPlace;
                    continue;
                }
                if (!in_range(place, 0, old ? 1 : kMaxId, places[d]))
                    return fail(QStringLiteral("week profile %1: place %2 is not a day profile %3")
                                    .arg(id)
                                    .arg(d)
                                    .arg(old ? QStringLiteral("0 or 1") : QStringLiteral("id 0-63")));
            }
            c.weeks.insert(id, places);
        }
        return true;
    }

    bool read_dates(const QVariant& v, const char* name, QMap<int, int>& out, int lo, int hi)
    {
        QVariantMap dates;
        if (!section(v, name, dates)) return false;
        for (auto it = dates.cbegin(); it != dates.cend(); ++it) {
            int key = 0, value = 0;
            if (!date_key(it.key(), key))
                return fail(QStringLiteral("%1: \"%2\" is not a date").arg(QLatin1String(name), it.key()));
            if (out.contains(key))
                return fail(QStringLiteral("%1: date %2 is given twice").arg(QLatin1String(name)).arg(key));
            if (!in_range(it.value(), lo, hi, value))
                return fail(QStringLiteral("%1: the value of %2 is not %3-%4")
                                .arg(QLatin1String(name))
                                .arg(key)
                                .arg(lo)
                                .arg(hi));
            out.insert(key, value);
        }
        return true;
    }

    bool read_seasons(const QVariant& v, Calendar& c)
    {
        return read_dates(v, "seasons", c.seasons, 0, kMaxId);
    }

    bool read_special_days(const QVariant& v, Calendar& c)
    {
        // Old firmware keeps special days in two lists, for day profiles 2 and 3.
        if (!read_dates(v, "special_days", c.special_days, old ? 2 : 0, old ? 3 : kMaxId)) return false;
        const QVariantMap dates = is_map(v) ? v.toMap() : QVariantMap();
        for (auto it = dates.cbegin(); it != dates.cend(); ++it) {
            int key = 0;
            date_key(it.key(), key);
            c.special_text_order.append(qMakePair(key, c.special_days.value(key)));
        }
        return true;
    }

    bool read_activate(const QVariant& v, Calendar& c)
    {
        if (is_absent(v)) return true;
        qint64 t = 0;
        if (!to_whole(v, t) || t < 0 || t > qint64(0xFFFFFFFFu))
            return fail(QStringLiteral("\"activate\" is not an unsigned 32-bit time"));
        c.activate = quint32(t);
        // The old frame has no activation: the meter would take the calendar at once.
        if (old && c.activate != 0) return fail(QStringLiteral("old firmware takes no activation time"));
        return true;
    }

    bool read_whole(const Calendar& c)
    {
        // The seasons section is always written; without entries it would take the special-day
        // or activation bytes behind it as its own.
        if (!old && c.seasons.isEmpty() && (!c.special_days.isEmpty() || c.activate != 0))
            return fail(QStringLiteral("special days or activation without seasons"));
        return true;
    }
};

bool read_calendar(const QVariantMap& map, bool old_firmware, Calendar& c)
{
    QString why;
    if (Calendar_reader(old_firmware, why).read(map, c)) return true;
    LOG_LIMITED(LVL_EXC, "tariff") << "tariff calendar refused:" << why.toUtf8().constData();
    return false;
}

// ---- old-firmware frame

// Special day of the frame; kind as on the air is 00 single, 01 range start, 10 range end,
// 11 an empty place.
struct Special_entry
{
    enum Kind : uint8_t { Empty = 0, Single = 1, Start = 2, End = 3 };
    Kind kind = Empty;
    uint8_t month = 0;
    uint8_t day = 0;

    static Special_entry from_air(uint8_t first, uint8_t second)
    {
        static const Kind kinds[4] = {Single, Start, End, Empty};
        return Special_entry{kinds[first >> 6], uint8_t(first & 0x0F), second};
    }
    void to_air(QByteArray& out) const
    {
        static const uint8_t marks[4] = {0x00, 0x00, 0x40, 0x80};
        out.append(char(marks[kind] | month));
        out.append(char(day));
    }
    QDate date() const { return QDate(2000, month, day); }
};

struct Tariff_work
{
    uint8_t day_slots[kOldDays][kDaySlots] = {};
    uint8_t mask = 0;
    Special_entry lists[2][kListEntries];
};

// The slot s covers minutes 30 s .. 30 s + 29 and sits in byte s / 4, from bits 7-6 down.
int slot_shift(int s)
{
    return 6 - 2 * (s % 4);
}

void fill_slots(uint8_t* slots12, QMap<int, int> points)
{
    if (points.isEmpty()) points.insert(0, 0);
    if (!points.contains(0)) // the day begins with the tariff in force at the end of the day before
        points.insert(0, points.last());
    for (int s = 0; s < 48; ++s) {
        auto it = points.upperBound(30 * s);
        --it; // the point at minute 0 is always there
        const int shift = slot_shift(s);
        slots12[s / 4] = uint8_t((slots12[s / 4] & ~(3 << shift)) | ((it.value() & 3) << shift));
    }
}

// Adds one special day to a list of the frame, joining it to the range that ends the day before.
void add_special(QVector<Special_entry>& list, int key)
{
    Special_entry e{Special_entry::Single, uint8_t(key / 100), uint8_t(key % 100)};
    if (!list.isEmpty()) {
        Special_entry& last = list.last();
        if (last.date().addDays(1) == e.date()) {
            if (last.kind == Special_entry::Single) {
                last.kind = Special_entry::Start;
                e.kind = Special_entry::End;
            } else if (last.kind == Special_entry::End) {
                last.day = e.day;
                last.month = e.month;
                return;
            }
        }
    }
    list.append(e);
}

// Reads one special-day list of the frame into the calendar with the given value.
void read_special_list(const Special_entry (&list)[kListEntries], int value, QVariantMap& special_days)
{
    const bool trace = value == 3;
    Special_entry start;
    for (const Special_entry& e : list) {
        switch (e.kind) {
        case Special_entry::Empty:
            break;
        case Special_entry::Single:
            special_days.insert(date_text(e.month * 100 + e.day), value);
            break;
        case Special_entry::Start:
            start = e;
            if (trace) {
                LOG_LIMITED(LVL_EXC, "tariff") << "tariff range start" << e.day << e.month;
            }
            break;
        case Special_entry::End: {
            if (start.kind != Special_entry::Start || start.month == 0 || start.day == 0) break;
            const QDate from = start.date(), to = e.date();
            const qint64 count = from.isValid() && to.isValid() ? from.daysTo(to) : 0;
            if (trace) {
                LOG_LIMITED(LVL_EXC, "tariff") << "tariff range" << from << to << count;
            }
            if (count >= 1 && count <= kMaxRangeDays) {
                for (QDate d = from; d <= to; d = d.addDays(1))
                    special_days.insert(date_text(d.month() * 100 + d.day()), value);
            } else {
                special_days.insert(date_text(start.month * 100 + start.day), value);
            }
            start = Special_entry();
            break;
        }
        }
    }
}

} // namespace

// ---- new firmware: tariff program

uint8_t tariff_check(const uint8_t* program, uint16_t count)
{
    const int n = count;
    if (n <= 1 || !program) return 0;
    std::bitset<kMaxId + 1> day_ids, week_ids;
    int p = 0;
    for (;;) {
        const uint8_t b = program[p];
        int q = p + 1;
        // Walks the entries from q; `check` returns a failure code or 0.
        auto entries = [&](auto&& check) -> uint8_t {
            while (q < n - 1) {
                uint16_t e = 0;
                tariff_entry_pack(&e, program + q, program + q + 1);
                q += 2;
                if (const uint8_t code = check(e)) return code;
                if (!(e & kMore)) break;
            }
            return 0;
        };
        uint8_t code = 0;
        switch (b >> 6) {
        case 2: // day profile
            day_ids.set(b & 0x3F);
            code = entries([](uint16_t e) -> uint8_t {
                if ((e & 0x7FF) > kLastMinute) return 0x21;
                if (((e >> 11) & 0xF) > kMaxTariff) return 0x22;
                return 0;
            });
            break;
        case 3: { // week profile
            week_ids.set(b & 0x3F);
            unsigned weekdays = 0x7F;
            code = entries([&](uint16_t e) -> uint8_t {
                if (e & 0xC0) return 0x31;
                weekdays ^= (e >> 8) & 0x7F;
                return day_ids.test(e & 0x3F) ? 0 : 0x32;
            });
            if (!code && weekdays) code = 0x33; // every weekday named exactly once
            break;
        }
        case 1:
            switch ((b >> 4) & 3) {
            case 1: // seasons
                if (b & 0x0F) return 0x91;
                code = entries([&](uint16_t e) -> uint8_t {
                    if (((e >> 6) & 0x1F) == 0) return 0x92;
                    const int month = (e >> 11) & 0xF;
                    if (month == 0 || month > 12) return 0x93;
                    return week_ids.test(e & 0x3F) ? 0 : 0x94;
                });
                break;
            case 2: // special days
                if (b & 0x0F) return 0xA1;
                code = entries([&](uint16_t e) -> uint8_t {
                    if (((e >> 6) & 0x1F) == 0) return 0xA2;
                    const int month = (e >> 11) & 0xF;
                    if (month == 0 || month > 12) return 0xA3;
                    return day_ids.test(e & 0x3F) ? 0 : 0xA4;
                });
                break;
            case 3: // activation: the time itself is not checked
                if (b & 0x0F) return 0xB1;
                q = p + 5;
                break;
            default:
                return 0xC1;
            }
            break;
        default:
            return 0x01;
        }
        if (code) return code;
        p = q;
        if (p >= n - 1) // the last byte is never read as a section
            return 0;
    }
}

QVariantMap parser_strova5::parse_tariff(const QByteArray& body)
{
    const auto* b = reinterpret_cast<const uint8_t*>(body.constData());
    const int n = body.size();
    QVariantMap days, weeks, seasons, special_days;
    quint32 activate = 0;
    bool cut = false;
    int p = 0;

    // Reads the entries of the section whose section byte was just passed. A section byte at the
    // very end is an empty section; an entry cut by the end (or a last entry that promises
    // another) ends the decoding with what was read.
    auto entries = [&](auto&& take) {
        if (p == n) return;
        for (;;) {
            if (n - p < 2) {
                cut = true;
                return;
            }
            uint16_t e = 0;
            tariff_entry_pack(&e, b + p, b + p + 1);
            p += 2;
            take(e);
            if (!(e & kMore)) return;
        }
    };
    auto dates = [&](QVariantMap& into) {
        entries([&](uint16_t e) {
            into.insert(date_text(((e >> 6) & 0x1F) + 100 * ((e >> 11) & 0xF)), int(e & 0x3F));
        });
    };

    while (p < n && !cut) {
        const uint8_t s = b[p++];
        bool known = true;
        switch (s >> 6) {
        case 2: {
            QVariantMap day;
            entries([&](uint16_t e) { day.insert(QString::number(e & 0x7FF), int((e >> 11) & 0xF)); });
            days.insert(QString::number(s & 0x3F), day);
            break;
        }
        case 3: {
            QVariantList places;
            for (int d = 0; d < kWeekdays; ++d)
                places.append(-1); // a weekday the program leaves unassigned
            entries([&](uint16_t e) {
                for (int d = 0; d < kWeekdays; ++d)
                    if (e & (0x100 << d)) places[d] = int(e & 0x3F);
            });
            weeks.insert(QString::number(s & 0x3F), places);
            break;
        }
        case 1:
            switch ((s >> 4) & 3) {
            case 1:
                dates(seasons);
                break;
            case 2:
                dates(special_days);
                break;
            case 3:
                if (n - p < 4) {
                    cut = true;
                    break;
                }
                activate = quint32(b[p]) | quint32(b[p + 1]) << 8 | quint32(b[p + 2]) << 16 |
                           quint32(b[p + 3]) << 24;
                p += 4;
                break;
            default:
                known = false;
            }
            break;
        default:
            known = false;
        }
        if (!known) {
            LOG_LIMITED(LVL_EXC, "tariff")
                << "tariff program: unknown section" << hex_text(QByteArray(1, char(s))).constData()
                << log_cut(hex_text(body)).constData();
            return QVariantMap();
        }
    }
    if (cut) {
        LOG_LIMITED(LVL_EXC, "tariff") << "tariff program cut short:" << log_cut(hex_text(body)).constData();
    }

    QVariantMap result;
    if (!days.isEmpty()) result.insert(QStringLiteral("days"), days);
    if (!weeks.isEmpty()) result.insert(QStringLiteral("weeks"), weeks);
    if (!seasons.isEmpty()) result.insert(QStringLiteral("seasons"), seasons);
    if (!special_days.isEmpty()) result.insert(QStringLiteral("special_days"), special_days);
    if (activate != 0) result.insert(QStringLiteral("activate"), activate);
    return result;
}

QByteArray parser_strova5::stringify_tariff_calendar(const QVariantMap& calendar)
{
    Calendar c;
    if (!read_calendar(calendar, false, c)) return QByteArray();

    QByteArray program;
    auto put = [&program](uint16_t e) {
        uint8_t first = 0, second = 0;
        tariff_entry_unpack(&e, &first, &second);
        program.append(char(first));
        program.append(char(second));
    };
    auto put_dates = [&](const QMap<int, int>& dates) {
        for (auto it = dates.cbegin(); it != dates.cend(); ++it) {
            const int month = it.key() / 100, day = it.key() % 100;
            const bool more = std::next(it) != dates.cend();
            put(uint16_t((it.value() & 0x3F) | (day & 0x1F) << 6 | (month & 0xF) << 11 | (more ? kMore : 0)));
        }
    };

    for (auto day = c.days.cbegin(); day != c.days.cend(); ++day) {
        program.append(char(SEC_DAY | (day.key() & 0x3F)));
        for (auto it = day->cbegin(); it != day->cend(); ++it) {
            const bool more = std::next(it) != day->cend();
            put(uint16_t((it.key() & 0x7FF) | (it.value() & 0xF) << 11 | (more ? kMore : 0)));
        }
    }
    for (auto week = c.weeks.cbegin(); week != c.weeks.cend(); ++week) {
        program.append(char(SEC_WEEK | (week.key() & 0x3F)));
        // The weekdays that share a day profile travel as one entry with a weekday mask.
        QVector<int> places = week.value();
        QMap<int, int> groups; // mask -> day profile
        for (int d = 0; d < kWeekdays; ++d) {
            if (places[d] == kEmptyPlace) continue;
            int mask = 1 << d;
            for (int e = d + 1; e < kWeekdays; ++e) {
                if (places[e] == places[d]) {
                    mask |= 1 << e;
                    places[e] = kEmptyPlace;
                }
            }
            groups.insert(mask, places[d]);
        }
        LOG_LIMITED(LVL_EXC, "tariff") << groups;
        for (auto it = groups.cbegin(); it != groups.cend(); ++it) {
            const bool more = std::next(it) != groups.cend();
            put(uint16_t((it.value() & 0x3F) | (it.key() & 0x7F) << 8 | (more ? kMore : 0)));
        }
    }
    program.append(char(SEC_SEASONS));
    put_dates(c.seasons);
    if (!c.special_days.isEmpty()) {
        program.append(char(SEC_SPECIAL));
        put_dates(c.special_days);
    }
    if (c.activate != 0) {
        program.append(char(SEC_ACTIVATE));
        for (int i = 0; i < 4; ++i)
            program.append(char(c.activate >> (8 * i)));
    }

    // The command carries 51, the program and 00 in one payload.
    if (program.size() > kMaxPayload - 2) {
        LOG_LIMITED(LVL_EXC, "tariff")
            << "tariff program refused:" << program.size() << "bytes do not fit one payload";
        return QByteArray();
    }
    const uint8_t code =
        tariff_check(reinterpret_cast<const uint8_t*>(program.constData()), uint16_t(program.size()));
    if (code != 0) {
        LOG_LIMITED(LVL_EXC, "tariff") << unsigned(code) << log_cut(hex_text(program)).constData();
        return QByteArray();
    }
    return program;
}

// ---- old firmware: tariff frame

void parser_strova5::tariff_day_to_points(uint8_t* slots12, const QVariantMap& day)
{
    if (!slots12) return;
    QMap<int, int> points;
    for (auto it = day.cbegin(); it != day.cend(); ++it)
        points.insert(it.key().toInt(), it.value().toInt());
    fill_slots(slots12, points);
}

QVariantMap parser_strova5::parse_tariff_day(const QByteArray& slots12)
{
    QMap<int, int> points;
    int previous = -1;
    for (int s = 0; s < 48; ++s) {
        const uint8_t byte = s / 4 < slots12.size() ? uint8_t(slots12.at(s / 4)) : 0;
        const int tariff = (byte >> slot_shift(s)) & 3;
        if (tariff != previous) points.insert(30 * s, tariff);
        previous = tariff;
    }
    // The point at minute 0 continues the day before when the day ends in the same tariff.
    if (points.size() > 2 && points.last() == points.first()) points.remove(0);
    QVariantMap day;
    for (auto it = points.cbegin(); it != points.cend(); ++it)
        day.insert(QString::number(it.key()), it.value());
    return day;
}

QByteArray parser_strova5::stringify_tariff_days(const QVariantMap& calendar)
{
    LOG_LIMITED(LVL_EXC, "tariff") << log_cut(QJsonDocument::fromVariant(calendar).toJson()).constData();
    Calendar c;
    if (!read_calendar(calendar, true, c)) return QByteArray();

    Tariff_work w;
    for (int k = 0; k < kOldDays; ++k)
        fill_slots(w.day_slots[k], c.days.value(k));

    // The frame's weekday order starts with the list's last place.
    QVector<int> week = c.weeks.isEmpty() ? QVector<int>(kWeekdays, 0) : c.weeks.first();
    week.prepend(week.takeLast());
    for (int i = 0; i < kWeekdays; ++i)
        if (week[i] != 0) w.mask |= uint8_t(1 << i);

    QVector<Special_entry> lists[2];
    for (const auto& day : c.special_text_order) {
        QVector<Special_entry>& list = lists[day.second == 2 ? 0 : 1];
        add_special(list, day.first);
        if (list.size() > kListEntries) {
            LOG_LIMITED(LVL_EXC, "tariff") << "tariff calendar refused: more special days with value"
                                           << day.second << "than ten list entries hold";
            return QByteArray();
        }
    }

    QByteArray frame;
    frame.append(char(0xF0)).append(char(0x11));
    for (int k = 0; k < kOldDays; ++k) {
        frame.append(char(0x1F + 0x10 * k)).append(char(0xFF));
        frame.append(reinterpret_cast<const char*>(w.day_slots[k]), kDaySlots);
    }
    frame.append(char(0x50)).append(char(w.mask));
    for (int l = 0; l < 2; ++l) {
        frame.append(char(0x60 + 0x10 * l)).append(char(2 * lists[l].size()));
        for (const Special_entry& e : lists[l])
            e.to_air(frame);
    }
    LOG_LIMITED(LVL_EXC, "tariff") << frame.size() - 2 << log_cut(hex_text(frame)).constData();
    return frame;
}

QVariantMap parser_strova5::parse_tariff_days(const QByteArray& payload)
{
    const auto* b = reinterpret_cast<const uint8_t*>(payload.constData());
    const int n = payload.size();
    if (n < 2) {
        LOG_LIMITED(LVL_EXC, "tariff") << "tariff frame too short:" << log_cut(hex_text(payload)).constData();
        return QVariantMap();
    }
    if ((b[1] & 0x0F) != (b[1] >> 4)) {
        LOG_LIMITED(LVL_EXC, "tariff") << "fail part tariff" << (b[1] & 0x0F) << (b[1] >> 4);
        return QVariantMap();
    }

    Tariff_work w;
    int p = 2;
    while (n - p >= 2) {
        const int tag = b[p] >> 4;
        if (tag >= 1 && tag <= 4) {
            if (n - p - 2 < kDaySlots) break;
            memcpy(w.day_slots[tag - 1], b + p + 2, kDaySlots);
            p += 2 + kDaySlots;
        } else if (tag == 5) {
            w.mask = b[p + 1];
            p += 2;
        } else if (tag == 6 || tag == 7) {
            const int c = b[p + 1];
            if (c > n - p - 2) break;
            Special_entry(&list)[kListEntries] = w.lists[tag - 6];
            const int count = qMin(c / 2, kListEntries);
            for (int i = 0; i < kListEntries; ++i)
                list[i] =
                    i < count ? Special_entry::from_air(b[p + 2 + 2 * i], b[p + 3 + 2 * i]) : Special_entry();
            p += 2 + c;
        } else {
            break;
        }
    }

    QVariantMap days;
    for (int k = 0; k < kOldDays; ++k)
        days.insert(QString::number(k), parse_tariff_day(QByteArray::fromRawData(
                                            reinterpret_cast<const char*>(w.day_slots[k]), kDaySlots)));

    // Mask bit d names the weekday place d; the list then starts one place later.
    QVariantList week;
    bool any0 = false, any1 = false;
    for (int d = 0; d < kWeekdays; ++d) {
        const int v = (w.mask >> ((d + 1) % kWeekdays)) & 1;
        week.append(v);
        (v ? any1 : any0) = true;
    }
    if (!any1) days.remove(QStringLiteral("1"));
    if (!any0) days.remove(QStringLiteral("0"));

    QVariantMap special_days;
    read_special_list(w.lists[0], 2, special_days);
    if (special_days.isEmpty()) days.remove(QStringLiteral("2"));
    read_special_list(w.lists[1], 3, special_days);
    if (!special_days.values().contains(QVariant(3))) days.remove(QStringLiteral("3"));

    QVariantMap calendar;
    calendar.insert(QStringLiteral("days"), days);
    calendar.insert(QStringLiteral("weeks"), QVariantMap{{QStringLiteral("0"), week}});
    calendar.insert(QStringLiteral("seasons"), QVariantMap{{QStringLiteral("101"), 0}});
    if (!special_days.isEmpty()) calendar.insert(QStringLiteral("special_days"), special_days);
    return calendar;
}

// ---- the uplinks and the command

QVariantMap parser_strova5::tariff_from_ul(const QByteArray& payload)
{
    if (payload.isEmpty()) return QVariantMap();
    const uint8_t header = uint8_t(payload.at(0));
    if (header == 0x51) {
        const QVariantMap calendar = parse_tariff(payload.mid(1));
        // A program without days, weeks or seasons is no calendar the meter can run.
        if (calendar.contains(QStringLiteral("days")) && calendar.contains(QStringLiteral("weeks")) &&
            calendar.contains(QStringLiteral("seasons")))
            return calendar;
        return QVariantMap();
    }
    if (header == 0xF0 || header == 0xF2) return parse_tariff_days(payload);
    return QVariantMap();
}

void parser_strova5::stringify_tariff_request(Stringify_dl_app& out, const Dl_request& req,
                                              const QStringList& rights, bool new_sw)
{
    out.payload.clear();
    out.state = 4;
    if (!rights.contains(QStringLiteral("settings"))) return;

    const QVariant& data = req.data;
    const bool no_data = is_absent(data) ||
                         (data.userType() == QMetaType::QString && data.toString().isEmpty()) ||
                         (data.userType() == QMetaType::QByteArray && data.toByteArray().isEmpty());
    if (!no_data && !is_map(data)) {
        LOG_LIMITED(LVL_EXC, "tariff")
            << "13.0.0 not sent to modem" << req.modem_id << "- the calendar is not a map";
        return;
    }
    const QVariantMap calendar = data.toMap();
    if (calendar.isEmpty()) { // the calendar read
        out.payload = new_sw ? QByteArray(1, char(0x51)) : QByteArray::fromHex("EF04");
        out.state = 1;
        return;
    }
    const QByteArray body = new_sw ? stringify_tariff_calendar(calendar) : stringify_tariff_days(calendar);
    if (body.isEmpty()) {
        LOG_LIMITED(LVL_EXC, "tariff") << "13.0.0 not sent to modem" << req.modem_id << "- calendar refused";
        return;
    }
    out.payload = new_sw ? char(0x51) + body + char(0x00) : body;
    out.state = 1;
}

bool parser_strova5::encode_tariff_program(Stringify_dl_app& out, const Dl_request& req,
                                           const QStringList& rights)
{
    stringify_tariff_request(out, req, rights, is_new_sw(req.modem_id));
    return true;
}
