// Report helpers and the metering builder of the history report.
#include "api_controller.h"
#include "api_reports.h"
#include "logger.h"
#include "parser_strova5.h"

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QRegularExpression>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

QString profile_obis_for_type(int32_t type, uint32_t ts)
{
    if (type < 12 || type > 74) return QStringLiteral("1.0.94.7.0.255");
    switch (type) {
    case 12:
    case 72:
        return QStringLiteral("1.0.94.7.8.255");
    case 13:
    case 70:
        return QStringLiteral("1.0.98.1.0.255");
    case 14:
    case 68:
        return QStringLiteral("1.0.98.2.0.255");
    case 15:
    case 50:
    case 66:
        return QStringLiteral("1.0.99.1.0.255");
    case 16:
    case 74:
        return QStringLiteral("1.0.94.7.5.255");
    case 49:
        return ts % 86400u == 0 ? QStringLiteral("1.0.98.2.0.255") : QStringLiteral("1.0.94.7.0.255");
    default:
        return QStringLiteral("1.0.94.7.0.255");
    }
}

uint32_t normalize_arch_type(const QVariantMap& row)
{
    return normalize_arch_type(row.value(QStringLiteral("type"), 0).toUInt());
}

uint32_t normalize_arch_type(uint32_t type)
{
    switch (type) {
    case 49:
    case 68:
        return 14;
    case 50:
    case 66:
        return 15;
    case 64:
    case 254:
        return 254;
    case 70:
        return 13;
    case 72:
        return 12;
    default:
        return type;
    }
}

namespace report_items {

uint32_t low32(const QVariant& item)
{
    bool ok = false;
    const qlonglong n = item.toString().trimmed().toLongLong(&ok);
    return ok ? uint32_t(quint64(n)) : 0;
}

uint32_t unsigned32(const QVariant& item)
{
    return item.toUInt();
}

uint32_t signed32(const QVariant& item)
{
    return uint32_t(item.toInt());
}

uint32_t capped_limit(const QVariantMap& qitems, uint32_t fallback)
{
    const QString key = QStringLiteral("limit");
    if (!qitems.contains(key)) return fallback;
    const QString text = qitems.value(key).toString().trimmed();
    bool ok = false;
    const qlonglong n = text.toLongLong(&ok);
    if (!ok) {
        // Digits beyond 64 bits are still a number out of range; anything else is none.
        static const QRegularExpression digits(QStringLiteral("^[+-]?[0-9]+$"));
        return digits.match(text).hasMatch() ? fallback : 0;
    }
    if (n < 0 || n > qlonglong(fallback)) return fallback;
    return uint32_t(n);
}

double finite_or(const QVariant& item, double fallback)
{
    bool ok = false;
    const double v = item.toString().trimmed().toDouble(&ok);
    return ok && std::isfinite(v) ? v : fallback;
}

uint32_t day_floor(uint32_t ts)
{
    return ts / 86400u * 86400u;
}

uint32_t day_ceil_next(uint32_t ts)
{
    const quint64 next = (quint64(ts) / 86400u + 1) * 86400u;
    return next > ts_unbounded ? ts_unbounded : uint32_t(next);
}

uint32_t minus_clamped(uint32_t ts, uint32_t back)
{
    return ts > back ? ts - back : 0;
}

bool obis_column(const QString& column, uint8_t& c, uint8_t& d, uint8_t& e)
{
    // "OBIS_" and three groups of digits, each followed by '_' but the last; what follows the
    // last group's digits does not matter.
    if (!column.startsWith(QLatin1String("OBIS_"))) return false;
    int pos = 5;
    unsigned groups[3] = {0, 0, 0};
    for (int g = 0; g < 3; ++g) {
        if (g > 0) {
            if (pos >= column.size() || column.at(pos) != QLatin1Char('_')) return false;
            ++pos;
        }
        const int start = pos;
        unsigned v = 0;
        while (pos < column.size() && column.at(pos).isDigit() && column.at(pos).unicode() < 128) {
            v = (v * 10 + unsigned(column.at(pos).unicode() - '0')) & 0xFFFFFFu;
            ++pos;
        }
        if (pos == start) return false;
        groups[g] = v;
    }
    c = uint8_t(groups[0]);
    d = uint8_t(groups[1]);
    e = uint8_t(groups[2]);
    return true;
}

bool is_scaled(uint8_t c)
{
    return c % 20 <= 10 && c <= 80;
}

const column_key& column_info(const QString& name)
{
    // Column names come from the table's definition, so the cache stays small; a bound keeps
    // it so whatever a table holds.
    thread_local QHash<QString, column_key> cache;
    const auto found = cache.constFind(name);
    if (found != cache.cend()) return found.value();
    column_key k;
    k.obis = obis_column(name, k.c, k.d, k.e);
    if (k.obis) {
        k.cde = QStringLiteral("%1.%2.%3").arg(k.c).arg(k.d).arg(k.e);
        k.event = k.e == 0 ? QStringLiteral("%1.%2").arg(k.c).arg(k.d) : k.cde;
    }
    if (cache.size() >= 4096) {
        thread_local column_key spare;
        spare = k;
        return spare;
    }
    return cache.insert(name, k).value();
}

namespace {

void write_json(QByteArray& out, const QVariant& v);

template <typename T> void write_integer(QByteArray& out, T n)
{
    char digits[24];
    const std::to_chars_result r = std::to_chars(digits, digits + sizeof(digits), n);
    out.append(digits, int(r.ptr - digits));
}

// A text as the JSON writer of the web front writes it; plain ASCII directly, the rest through
// that writer itself.
void write_json_text(QByteArray& out, const QString& text)
{
    bool plain = true;
    for (const QChar ch : text) {
        const ushort u = ch.unicode();
        plain = plain && u >= 0x20 && u < 0x7F && u != '"' && u != '\\';
    }
    if (plain) {
        const int at = out.size();
        out.resize(at + text.size() + 2);
        char* p = out.data() + at;
        *p++ = '"';
        for (const QChar ch : text)
            *p++ = char(ch.unicode());
        *p = '"';
        return;
    }
    const QByteArray one = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    out += one.mid(1, one.size() - 2);
}

void write_json(QByteArray& out, const QVariant& v)
{
    switch (v.userType()) {
    case QMetaType::QVariantMap: {
        const QVariantMap m = v.toMap();
        out += '{';
        for (auto it = m.cbegin(); it != m.cend(); ++it) {
            if (it != m.cbegin()) out += ',';
            write_json_text(out, it.key());
            out += ':';
            write_json(out, it.value());
        }
        out += '}';
        break;
    }
    case QMetaType::QVariantList: {
        const QVariantList l = v.toList();
        out += '[';
        for (int i = 0; i < l.size(); ++i) {
            if (i) out += ',';
            write_json(out, l.at(i));
        }
        out += ']';
        break;
    }
    case QMetaType::Int:
    case QMetaType::LongLong:
        write_integer(out, v.toLongLong());
        break;
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        write_integer(out, v.toULongLong());
        break;
    case QMetaType::Double:
    case QMetaType::Float: {
        // Whole numbers within 2^53 are written as integers, the rest in the shortest form.
        const double d = v.toDouble();
        if (!std::isfinite(d))
            out += "null";
        else if (d == std::trunc(d) && std::fabs(d) <= 9007199254740992.0)
            write_integer(out, qint64(d));
        else
            out += QByteArray::number(d, 'g', QLocale::FloatingPointShortest);
        break;
    }
    case QMetaType::Bool:
        out += v.toBool() ? "true" : "false";
        break;
    case QMetaType::QString:
        write_json_text(out, v.toString());
        break;
    default: {
        const QByteArray one =
            QJsonDocument(QJsonArray{QJsonValue::fromVariant(v)}).toJson(QJsonDocument::Compact);
        out += one.mid(1, one.size() - 2);
    }
    }
}

} // namespace

void append_json(QByteArray& out, const QVariant& v)
{
    write_json(out, v);
}

void json_list::append(const QVariant& entry)
{
    if (text.size() > 1) text += ',';
    write_json(text, entry);
}

void json_list::append_written(const QByteArray& entries)
{
    if (entries.isEmpty()) return;
    if (text.size() > 1) text += ',';
    text += entries;
}

QVariant json_list::finish()
{
    text += ']';
    QVariant out = QVariant::fromValue(api_json_text{text});
    text = "[";
    return out;
}

} // namespace report_items

namespace {

using namespace report_items;

// trunc(v * 1000) / 1000 toward zero; values too large for that already have no decimals.
double trunc3(double v)
{
    const double k = v * 1000.0;
    if (!std::isfinite(k) || std::fabs(k) >= 9.0e18) return v;
    return double(qint64(k)) / 1000.0;
}

// No NaN or infinity reaches an answer: such a value leaves its key out.
void put(QVariantMap& m, const QString& key, double v)
{
    // Keys mostly arrive in ascending order: the end is tried first.
    if (std::isfinite(v))
        m.insert(m.constEnd(), key, v);
    else
        m.remove(key);
}

double num(const QVariantMap& m, const char* key)
{
    const double v = m.value(QLatin1String(key)).toDouble();
    return std::isfinite(v) ? v : 0.0;
}

// The unsigned integer part of v + 0.5, held to the 32-bit range.
uint32_t rounded_u32(double v)
{
    const double r = v + 0.5;
    if (!(r > 0)) return 0;
    if (r >= 4294967295.0) return ts_unbounded;
    return uint32_t(r);
}

// The integer part, held to the 64-bit range.
qint64 int_part(double v)
{
    if (!std::isfinite(v)) return 0;
    if (v >= 9.0e18) return qint64(9000000000000000000LL);
    if (v <= -9.0e18) return -qint64(9000000000000000000LL);
    return qint64(v);
}

// "C.8.E" of the register table, C 1..4 and E 0..4, and the stored columns of the same.
struct register_keys
{
    QString key[5][5];
    QString column[5][5];
    register_keys()
    {
        for (int c = 1; c <= 4; ++c)
            for (int e = 0; e <= 4; ++e) {
                key[c][e] = QStringLiteral("%1.8.%2").arg(c).arg(e);
                column[c][e] = QStringLiteral("OBIS_%1_8_%2").arg(c).arg(e);
            }
    }
};
const register_keys& regkeys()
{
    static const register_keys k;
    return k;
}

const QString k_ts = QStringLiteral("1.0.0");
const QString k_profile = QStringLiteral("profile");
const QString k_index = QStringLiteral("index");
const QString k_ts_get = QStringLiteral("ts_get");

QVariantMap day_copy(QVariantMap from, uint32_t at, const QVariant& ts_get, const QString& profile)
{
    from.remove(k_index);
    from.insert(k_ts, uint(at / 60u * 60u));
    from.insert(k_ts_get, ts_get.toInt());
    from.insert(k_profile, profile);
    return from;
}

bool next_index(qint64 prev, qint64 idx)
{
    return prev + 1 == idx || (prev != -1 && idx == 0);
}

} // namespace

void history_builder::add_current_values(QVariantMap& m)
{
    const double P1 = num(m, "21.7.0"), P2 = num(m, "41.7.0"), P3 = num(m, "61.7.0");
    const double Q1 = num(m, "23.7.0"), Q2 = num(m, "43.7.0"), Q3 = num(m, "63.7.0");
    const double U1 = num(m, "32.7.0"), U2 = num(m, "52.7.0"), U3 = num(m, "72.7.0");
    double IN = num(m, "91.7.0");

    const bool single = !(m.contains(QStringLiteral("72.7.0")) && m.contains(QStringLiteral("52.7.0")) &&
                          float(U3) <= 500.0f);
    const double S1 = std::sqrt(P1 * P1 + Q1 * Q1);
    const double S2 = std::sqrt(P2 * P2 + Q2 * Q2);
    const double S3 = std::sqrt(P3 * P3 + Q3 * Q3);
    double I1 = U1 != 0 ? S1 / U1 : 0;
    double I2 = U2 != 0 ? S2 / U2 : 0;
    double I3 = U3 != 0 ? S3 / U3 : 0;
    if (single) I2 = U1 != 0 ? S2 / U1 : 0;
    if (m.contains(QStringLiteral("31.7.0"))) I1 = num(m, "31.7.0");
    if (m.contains(QStringLiteral("51.7.0"))) I2 = num(m, "51.7.0");
    if (m.contains(QStringLiteral("71.7.0"))) I3 = num(m, "71.7.0");
    if (U1 < 25 && U2 < 25 && U3 < 25) m.insert(QStringLiteral("14.7.0"), 0);

    const double deg = 180.0 / M_PI;
    const double A1 = std::atan2(Q1, P1) * deg, A2 = std::atan2(Q2, P2) * deg, A3 = std::atan2(Q3, P3) * deg;
    const double PF1 = S1 != 0 ? P1 / S1 : 1.0, PF2 = S2 != 0 ? P2 / S2 : 1.0, PF3 = S3 != 0 ? P3 / S3 : 1.0;

    double P, Q, I, PF, S;
    if (!single) {
        P = P1 + P2 + P3;
        Q = Q1 + Q2 + Q3;
        I = I1 + I2 + I3;
        PF = (PF1 + PF2 + PF3) / 3;
        S = S1 + S2 + S3;
    } else {
        P = P1;
        Q = Q1;
        I = I1;
        PF = PF1;
        S = S1;
        I3 = 0;
        IN = I2;
    }
    put(m, QStringLiteral("1.7.0"), trunc3(P));
    put(m, QStringLiteral("3.7.0"), trunc3(Q));
    put(m, QStringLiteral("9.7.0"), trunc3(S));
    put(m, QStringLiteral("29.7.0"), trunc3(S1));
    put(m, QStringLiteral("49.7.0"), trunc3(S2));
    put(m, QStringLiteral("69.7.0"), trunc3(S3));
    put(m, QStringLiteral("11.7.0"), trunc3(I));
    if (!m.contains(QStringLiteral("31.7.0"))) put(m, QStringLiteral("31.7.0"), trunc3(I1));
    if (!m.contains(QStringLiteral("51.7.0"))) put(m, QStringLiteral("51.7.0"), trunc3(I2));
    if (!m.contains(QStringLiteral("71.7.0"))) put(m, QStringLiteral("71.7.0"), trunc3(I3));
    put(m, QStringLiteral("13.7.0"), trunc3(PF));
    put(m, QStringLiteral("33.7.0"), trunc3(PF1));
    put(m, QStringLiteral("53.7.0"), trunc3(PF2));
    put(m, QStringLiteral("73.7.0"), trunc3(PF3));
    put(m, QStringLiteral("81.7.40"), trunc3(A1));
    put(m, QStringLiteral("81.7.51"), trunc3(A2));
    put(m, QStringLiteral("81.7.62"), trunc3(A3));
    if (single) {
        put(m, QStringLiteral("12.7.0"), trunc3(U1));
        put(m, QStringLiteral("91.7.0"), trunc3(IN));
        for (const char* k : {"69.7.0", "71.7.0", "73.7.0", "81.7.51", "81.7.62"})
            m.remove(QLatin1String(k));
    }
}

void history_builder::add_row(const QVariantMap& row)
{
    const uint32_t kind = normalize_arch_type(row);
    const uint32_t ts = uint32_t(quint64(row.value(QStringLiteral("ts"), 0).toLongLong()));
    QVariantMap m;

    const register_keys& rk = regkeys();
    // Hour rows with totals and no tariff registers switch the register output to totals.
    bool has_totals = false, has_tariffs = false;
    for (auto it = row.cbegin(); it != row.cend(); ++it) {
        const column_key& col = column_info(it.key());
        if (!col.obis) continue;
        const uint8_t c = col.c, d = col.d, e = col.e;
        if (kind == 15 && d == 8 && c >= 1 && c <= 4 && it.key() == rk.column[c][e <= 4 ? e : 0]) {
            has_totals = has_totals || e == 0;
            has_tariffs = has_tariffs || (e >= 1 && e <= 4);
        }
        double v = it.value().toDouble();
        if (!std::isfinite(v)) v = 0;
        if (is_scaled(c)) v *= 1000.0;
        const QString& key = col.cde;
        if (d != 8) {
            put(m, key, trunc3(v));
            continue;
        }
        const uint16_t r = uint16_t(c * 16 + e);
        if (kind != 15) {
            regs.insert(r, v);
        } else {
            const bool held_known = regs.contains(r);
            const double held = regs.value(r, 0.0);
            const bool low_byte_zero = (int_part(v + 0.4) & 0xFF) == 0;
            const uint32_t held_hi = held_known ? uint32_t(int_part(held) / 256) & 0xFFFFFFu : 0;
            const uint32_t new_hi = uint32_t(int_part(v) / 256) & 0xFFFFFFu;
            const bool glitch = c >= 3 && low_byte_zero && held_hi >= new_hi;
            if (v > held && !glitch) regs.insert(r, v);
        }
        if (kind == 254) put(m, key, trunc3(v));
    }
    if (has_totals) hour_totals = true;
    if (has_tariffs) hour_totals = false;

    if (!hour_totals || kind == 12 || kind == 13 || kind == 14)
        for (int c = 1; c <= 4; ++c) {
            const double sum = regs.value(uint16_t(c * 16 + 1), 0) + regs.value(uint16_t(c * 16 + 2), 0) +
                               regs.value(uint16_t(c * 16 + 3), 0) + regs.value(uint16_t(c * 16 + 4), 0);
            regs.insert(uint16_t(c * 16), sum);
        }

    if (kind >= 12 && kind <= 15)
        for (int c = 1; c <= 4; ++c)
            for (int e = 0; e <= 4; ++e) {
                if (kind == 15 && hour_totals && e != 0) continue;
                m.insert(m.constEnd(), rk.key[c][e], uint(rounded_u32(regs.value(uint16_t(c * 16 + e), 0))));
            }

    bool aux = false;
    if (o.has_timefrom) {
        uint32_t last_day_t = last_day.value(k_ts, 0).toUInt();
        const uint32_t last_hour_t = last_hour.value(k_ts, 0).toUInt();
        if (kind == 14 && o.day_added) {
            aux = true;
        } else if (kind == 15 && o.interpolate) {
            aux = true;
            if (ts % 86400u == 0 && ts != last_day_t) {
                last_day = day_copy(last_hour, ts, row.value(k_ts_get, 0), profile_obis_for_type(14, ts));
                put_front(last_day);
                last_day_t = ts;
            }
        } else if (kind == 14 && o.interpolate && ts == last_day_t) {
            list.removeOne(last_day);
        }
        if (last_day_t / 86400u < ts / 86400u && ts % 86400u != 0 && last_hour_t != 0 && last_day_t != 0 &&
            o.kinds.contains(14) && o.config_interpolation) {
            last_day = day_copy(last_hour, ts / 86400u * 86400u, row.value(k_ts_get, 0),
                                QStringLiteral("1.0.98.2.0.255"));
            put_front(last_day);
        }
    }

    if (kind == 254 && !aux)
        for (int c = 1; c <= 4; ++c) {
            bool all = true;
            double sum = 0;
            for (int e = 1; e <= 4; ++e) {
                all = all && m.contains(rk.key[c][e]);
                sum += m.value(rk.key[c][e]).toDouble();
            }
            if (all) put(m, rk.key[c][0], sum);
        }

    const int32_t raw_type = row.value(QStringLiteral("type"), 0).toInt();
    if (profile_obis_for_type(raw_type, ts) == QLatin1String("1.0.94.7.0.255")) add_current_values(m);

    m.insert(k_ts, uint(ts / 60u * 60u));
    m.insert(k_ts_get, row.value(k_ts_get, 0).toInt());
    const int32_t idx = row.value(k_index, 0).toInt();
    if (idx != 65535) m.insert(k_index, idx);
    m.insert(k_profile, profile_obis_for_type(int32_t(kind), ts));

    if (kind == 254 && !o.kinds.contains(254)) return;

    if (!aux) {
        if (kind == 15 && last_hour.contains(k_profile) && o.hour_period > 0 &&
            next_index(last_hour.value(k_index, 0).toLongLong(), idx)) {
            const quint64 cur = m.value(k_ts).toUInt();
            const quint64 period = quint64(o.hour_period);
            QVariantMap copy = m;
            copy.remove(k_index);
            quint64 t = last_hour.value(k_ts, 0).toUInt();
            while (list.size() < max_meterings) {
                t = (t / period + 1) * period;
                if (t >= cur) break;
                copy.insert(k_ts, uint(t));
                put_front(copy);
                copy.insert(QStringLiteral("1.6.0"), 0);
                m.insert(QStringLiteral("1.6.0"), 0);
            }
        } else if (kind == 14 && last_day.contains(k_profile) &&
                   next_index(last_day.value(k_index, 0).toLongLong(), idx) && list.size() < max_meterings) {
            const quint64 cur = m.value(k_ts).toUInt();
            QVariantMap copy = m;
            copy.remove(k_index);
            uint16_t d = uint16_t(last_day.value(k_ts, 0).toUInt() / 86400u);
            for (;;) {
                const quint64 t = (quint64(d) + 1) * 86400u;
                if (t >= cur) break;
                copy.insert(k_ts, uint(t));
                put_front(copy);
                copy.insert(QStringLiteral("1.6.0"), 0);
                m.insert(QStringLiteral("1.6.0"), 0);
                if (list.size() > max_meterings - 1) break;
                d = uint16_t(t / 86400u);
            }
        }
    }

    if (kind == 14) last_day = m;
    if (kind == 15) last_hour = m;
    if (!aux) put_front(m);
}

void history_builder::add_interval_energies(QVariantList& ascending, int32_t period)
{
    if (period < 60 || period > 3600) return;
    double prev_t = 4294967295.0;
    double prev[4] = {-1, -1, -1, -1};
    static const char* const totals[4] = {"1.8.0", "2.8.0", "3.8.0", "4.8.0"};
    static const char* const intervals[4] = {"1.29.0", "2.29.0", "3.29.0", "4.29.0"};
    for (QVariant& v : ascending) {
        QVariantMap m = v.toMap();
        if (m.value(k_profile).toString() != QLatin1String("1.0.99.1.0.255")) continue;
        v = QVariant(); // the map alone holds its data now, so a change does not copy it
        const double t = double(m.value(k_ts, ts_unbounded).toUInt());
        double e[4];
        for (int c = 0; c < 4; ++c) {
            const QVariant x = m.value(QLatin1String(totals[c]));
            e[c] = x.isValid() ? x.toDouble() : -1.0;
        }
        if (std::fabs(t - prev_t) <= double(period))
            for (int c = 0; c < 4; ++c)
                if (e[c] >= 0 && prev[c] >= 0) put(m, QLatin1String(intervals[c]), std::fabs(e[c] - prev[c]));
        v = m;
        for (int c = 0; c < 4; ++c)
            prev[c] = e[c];
        prev_t = t;
    }
}

// ---- comparators and period detection

namespace {
uint32_t reading_ts(const QVariant& v)
{
    return v.toMap().value(k_ts, 0).toUInt();
}
QString reading_profile(const QVariant& v)
{
    return v.toMap().value(k_profile).toString();
}
} // namespace

void history_builder::sort(QVariantList& meterings, bool descending)
{
    // The keys read once per metering rather than at every comparison; the order is that of
    // history_less / history_greater, equal keys keeping their places.
    struct keyed
    {
        uint32_t ts;
        QString profile;
        QVariant metering;
    };
    std::vector<keyed> items;
    items.reserve(size_t(meterings.size()));
    for (QVariant& v : meterings) {
        items.push_back({reading_ts(v), reading_profile(v), QVariant()});
        items.back().metering.swap(v);
    }
    if (descending)
        std::stable_sort(items.begin(), items.end(), [](const keyed& a, const keyed& b) {
            return a.ts != b.ts ? a.ts > b.ts : b.profile < a.profile;
        });
    else
        std::stable_sort(items.begin(), items.end(), [](const keyed& a, const keyed& b) {
            return a.ts != b.ts ? a.ts < b.ts : a.profile < b.profile;
        });
    for (int i = 0; i < meterings.size(); ++i)
        meterings[i].swap(items[size_t(i)].metering);
}

bool API_controller::history_less(const QVariant& a, const QVariant& b)
{
    const uint32_t ta = reading_ts(a), tb = reading_ts(b);
    if (ta != tb) return ta < tb;
    return reading_profile(a) < reading_profile(b);
}

bool API_controller::history_greater(const QVariant& a, const QVariant& b)
{
    const uint32_t ta = reading_ts(a), tb = reading_ts(b);
    if (ta != tb) return ta > tb;
    return reading_profile(b) < reading_profile(a);
}

int32_t API_controller::check_period(const QList<uint32_t>& times)
{
    if (times.size() < 5) return 0;
    QMap<int32_t, int> histogram;
    for (int i = 1; i < times.size(); ++i) {
        const uint32_t prev = times.at(i - 1);
        if (prev == 0) continue;
        int32_t gap = int32_t(prev - times.at(i));
        if (gap < 0) gap = int32_t(0u - uint32_t(gap));
        ++histogram[gap];
    }
    int32_t best_gap = 0;
    int best = 0;
    for (auto it = histogram.cbegin(); it != histogram.cend(); ++it) {
        if (it.value() > best) {
            best = it.value();
            best_gap = it.key();
        }
    }
    const int threshold = best * 75 / 100;
    int strong = 0;
    for (int count : histogram)
        if (count > threshold) ++strong;
    if (strong == 1 && best >= 3) return best_gap < 0 ? 0 : best_gap;
    if (best >= 11 && best_gap >= 0 && strong == 2) {
        int32_t second_gap = best_gap;
        int second = -1;
        for (auto it = histogram.cbegin(); it != histogram.cend(); ++it)
            if (it.value() != best && it.value() > second) {
                second = it.value();
                second_gap = it.key();
            }
        return qMax(second_gap, best_gap);
    }
    return 0;
}
