// Uplink decoding: one meter payload into data, event and setting records.
//
// Every payload comes from a radio in the field, so every read below is preceded by a length
// test against the whole payload; a truncated record ends its message with what was complete.

#include "parser_strova5.h"

#include "logger.h"
#include "ram_modems.h"
#include "sql_exchange.h"

#include <QStringList>
#include <QVariantList>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

namespace {

// The payload as bytes. Offsets count from the header byte; numbers are big-endian unless a
// reader says otherwise. Callers test `fits` before reading.
struct Bytes
{
    const uint8_t* p;
    int len;

    bool fits(int pos, int n) const { return pos >= 0 && n >= 0 && pos <= len && n <= len - pos; }
    uint8_t at(int i) const { return p[i]; }
    uint32_t be16(int i) const { return uint32_t(p[i]) << 8 | p[i + 1]; }
    uint32_t be24(int i) const { return uint32_t(p[i]) << 16 | uint32_t(p[i + 1]) << 8 | p[i + 2]; }
    uint32_t be32(int i) const { return uint32_t(p[i]) << 24 | be24(i + 1); }
    uint32_t le16(int i) const { return uint32_t(p[i + 1]) << 8 | p[i]; }
    uint32_t le32(int i) const { return le16(i + 2) << 16 | le16(i); }
    QByteArray mid(int pos) const { return QByteArray(reinterpret_cast<const char*>(p + pos), len - pos); }
};

int32_t as_signed(uint32_t v)
{
    int32_t s;
    std::memcpy(&s, &v, sizeof s);
    return s;
}

// The 12-bit archive index of bytes 1 and 2 of archive messages.
uint16_t index12(const Bytes& b)
{
    return uint16_t(b.at(1) << 4 | b.at(2) >> 4);
}

int64_t now_seconds()
{
    return int64_t(std::time(nullptr));
}

constexpr OBIS kPlainEventLog{0, 0, 99, 98, 255, 255};
constexpr OBIS kCurrentEventLog{0, 0, 99, 98, 254, 255};
constexpr OBIS kEventValue{0, 0, 0, 0, 0, 255};

// Tells storage that the modem's open command of that setting name has been answered.
void report_answered(uint32_t modem_id, const QString& setting)
{
    if (SQL_Exchange::instance)
        SQL_Exchange::instance->slot_DL_status(Rabbit_dl_status(modem_id, setting, true, 0));
}

// The one registry read of the decoder.
QVariant registry_setting(uint32_t modem_id, const QString& name)
{
    if (!RAM_modems::instance)
        return QVariant();
    return RAM_modems::instance->get_setting(modem_id, name);
}

void append_be32(QByteArray& out, uint32_t v)
{
    out.append(char(v >> 24)).append(char(v >> 16)).append(char(v >> 8)).append(char(v));
}

// value * 1000 truncated to 64 bits; out-of-range and NaN values saturate instead of being
// undefined.
int64_t milli_of(double value)
{
    const double v = value * 1000.0;
    if (std::isnan(v))
        return 0;
    if (v >= 9.2e18)
        return std::numeric_limits<int64_t>::max();
    if (v <= -9.2e18)
        return std::numeric_limits<int64_t>::min();
    return int64_t(v);
}

// ---- measurement records

// One 15-bit phase angle of a value record: the meter counts in steps of 14.1 millidegrees.
double phase_angle_of(uint32_t steps)
{
    return int(float(steps * 14.1)) / 1000.0;
}

void decode_values(Parser_ul_app& r, const Bytes& b)
{
    const uint8_t header = b.at(0);
    Ul_data_record rec;
    uint32_t raw_time = 0;
    int pos = 1;
    while (b.len - pos >= 6) {
        const unsigned c = b.at(pos) >> 1;
        const bool timed = b.at(pos) & 1;
        const unsigned e = (b.at(pos + 1) >> 1) & 7;
        const unsigned d = ((b.at(pos + 1) & 0x80) && c <= 8) ? 8 : 7;
        pos += 2;
        if (timed) {
            raw_time = b.be32(pos);
            pos += 4;
        }
        if (!b.fits(pos, 4))
            break;
        const uint32_t v = b.be32(pos);
        pos += 4;
        if (d == 7 && (c % 20 == 2 || c % 20 == 4)) {
            // Export quantities arrive as negative values of the import code below them.
            rec.values.insert(obis_pack(1, 0, c - 1, 7, e, 255), -double(as_signed(v)) / 1000.0);
        } else if (c == 81 && d == 7 && e == 0) {
            rec.values.insert(obis_pack(1, 0, 81, 7, 10, 255), phase_angle_of((v >> 16) & 0x7FFF));
            rec.values.insert(obis_pack(1, 0, 81, 7, 21, 255), phase_angle_of(v & 0x7FFF));
        } else {
            rec.values.insert(obis_pack(1, 0, c, d, e, 255), v / 1000.0);
        }
    }
    rec.ts = raw_time ? clamp_device_time(raw_time, r.ts_get) : r.ts_get;
    rec.type = archive_kind_from_code(header, raw_time);
    r.ul_datas.append(rec);
    if (header == 0x31 && rec.ts % 86400 != 0) {
        // Not a day-end record: the answer to the current-value reads.
        report_answered(r.modem_id, QStringLiteral("1.8.0"));
        report_answered(r.modem_id, QStringLiteral("94.7.0"));
    }
}

// Adds the third phase angle from the two the meter sends.
void complete_phase_angle(QMap<OBIS, QVariant>& values)
{
    bool have_x = false, have_y = false;
    double x = 0, y = 0;
    OBIS y_code;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const OBIS& k = it.key();
        if (k.C != 81 || k.D != 7)
            continue;
        if (k.E == 21) {
            x = it.value().toDouble();
            have_x = true;
        } else if (k.E == 10) {
            y = it.value().toDouble();
            y_code = k;
            have_y = true;
        }
    }
    if (!have_x || !have_y)
        return;
    double angle = 360.0 - double(float(y)) - double(float(x));
    for (int i = 0; i < 3; ++i) {
        if (angle >= 360.0)
            angle -= 360.0;
        if (angle < 0.0)
            angle += 360.0;
    }
    values.insert(obis_pack(y_code.A, y_code.B, 81, 7, 2, y_code.F), std::trunc(angle * 1000.0) / 1000.0);
}

// A device time of 0, or one outside the accepted window, makes an archive message worthless;
// a time in the very second of reception is a good one.
bool archive_time_rejected(uint32_t t, uint32_t ts_get)
{
    bool rejected = false;
    clamp_device_time(t, ts_get, rejected);
    return t == 0 || rejected;
}

void decode_archive(Parser_ul_app& r, const Bytes& b)
{
    if (b.len <= 6)
        return;
    const uint32_t t = b.be32(3);
    if (archive_time_rejected(t, r.ts_get))
        return;
    Ul_data_record rec(archive_kind_from_code(b.at(0), t), t, index12(b), b.at(2) & 0x0F);
    int pos = 7;
    while (b.len - pos >= 6) {
        OBIS code;
        const int n = obis_compact_decode(b.p + pos, b.len - pos, code);
        if (n == 0 || !b.fits(pos + n, 4))
            break;
        const uint32_t v = b.be32(pos + n);
        pos += n + 4;
        if (code.D == 7)
            rec.values.insert(code, as_signed(v) / 1000.0);
        else if (code.D == 3)
            rec.values.insert(code, uint(v));
        else
            rec.values.insert(code, v / 1000.0);
    }
    complete_phase_angle(rec.values);
    r.ul_datas.append(rec);
    report_answered(r.modem_id, QStringLiteral("get_arch_index"));
}

void decode_energy_archive(Parser_ul_app& r, const Bytes& b)
{
    r.header = 0x42;
    if (b.len < 7)
        return;
    const uint32_t t = b.be32(3);
    if (archive_time_rejected(t, r.ts_get))
        return;
    Ul_data_record rec(15, t, index12(b), 65535);
    const unsigned mask = b.at(2) & 0x0F;
    int pos = 7;
    // Fields in wire order; the first that does not fit ends the record.
    [&] {
        if (mask == 0)
            return;
        if (!b.fits(pos, 2))
            return;
        rec.values.insert(obis_pack(1, 0, 1, 6, 0, 255), b.be16(pos) / 1000.0);
        pos += 2;
        for (unsigned c = 1; c <= 4; ++c) {
            if (!(mask & (1u << (c - 1))))
                continue;
            const int size = c <= 2 ? 4 : 3;
            if (!b.fits(pos, size))
                return;
            // Reactive energies carry only the upper 24 bits of the signed number.
            const uint32_t raw = size == 4 ? b.be32(pos) : b.be24(pos) << 8;
            rec.values.insert(obis_pack(1, 0, c, 8, 0, 255), as_signed(raw) / 1000.0);
            pos += size;
        }
    }();
    r.ul_datas.append(rec);
    report_answered(r.modem_id, QStringLiteral("get_arch_index"));
}

void decode_plain_events(Parser_ul_app& r, const Bytes& b)
{
    if (b.len < 8)
        return;
    for (int pos = 1; b.len - pos >= 7; pos += 7) {
        const uint32_t t = b.be32(pos);
        Ul_event_record ev(t ? clamp_device_time(t, r.ts_get) : r.ts_get, 0, 65535, 65535, b.at(pos + 4),
                           kPlainEventLog);
        ev.values.insert(kEventValue, int(b.be16(pos + 5)));
        r.ul_events.append(ev);
    }
}

void decode_single_current(Parser_ul_app& r, const Bytes& b)
{
    if (b.len != 8)
        return;
    const uint8_t sel = b.at(1);
    if (sel >> 6 == 2) {
        const unsigned k = (sel >> 3) & 7, m = sel & 7;
        unsigned c = 0, e = 0;
        switch (m) {
        case 1: case 2: case 3: case 4: c = 20 * k + m; break;
        case 5: c = 20 * k + 9; break;
        case 6: c = 20 * k + 11; break;
        case 7: c = 20 * k + 12; break;
        default:
            switch (k) {
            case 0: c = 14; break;
            case 1: c = 81; e = 10; break;
            case 2: c = 81; e = 21; break;
            case 3: c = 81; e = 2; break;
            default: c = 0; break;
            }
        }
        Ul_data_record rec(254, complete_time24(b.be24(2), now_seconds()));
        rec.values.insert(obis_pack(1, 0, c, 7, e, 255), b.be24(5) / 100.0);
        r.ul_datas.append(rec);
        r.header = 0x40;
        LOG_TRC << "add curr";
    } else if (sel >> 6 == 3) {
        r.ul_events.append(Ul_event_record(b.be32(2), 0, 65535, 65535, b.be16(6),
                                           (sel & 0x3F) == 0 ? kCurrentEventLog : kPlainEventLog));
        r.header = 0x40;
        LOG_TRC << "add event";
    }
}

void decode_compact_energy(Parser_ul_app& r, const Bytes& b)
{
    if (b.len != 8)
        return;
    const uint8_t h = b.at(0);
    const unsigned e = (h >> 3) & 7, q = h & 7;
    const unsigned c = (q >= 1 && q <= 4) ? q : (q == 5 ? 9 : 0);
    Ul_data_record rec(254, complete_time24(b.be24(1), now_seconds()));
    rec.values.insert(obis_pack(1, 0, c, 8, e, 255), b.be32(4) / 1000.0);
    r.ul_datas.append(rec);
    r.header = 0x40;
    LOG_TRC << "add integr";
}

// ---- event archives

// Entry size of each event class, 0 for an unknown class.
int event_entry_size(unsigned cls)
{
    switch (cls) {
    case 0: return 9;
    case 1: case 2: case 4: case 6: case 7: case 8: case 9: return 5;
    case 3: case 10: return 6;
    case 5: case 11: return 7;
    default: return 0;
    }
}

void decode_event_archive(Parser_ul_app& r, const Bytes& b)
{
    if (b.len < 8)
        return;
    const uint16_t first_index = index12(b);
    const uint16_t index_max = b.at(2) & 0x0F;
    const unsigned cls = b.at(3);
    const uint32_t worktime = b.be32(4);
    const int size = event_entry_size(cls);
    const OBIS log = obis_pack(0, 0, 99, 98, cls, 255);
    uint32_t reference = 0;
    uint16_t position = 0;
    for (int pos = 8; size > 0 && b.len > 12 && b.fits(pos, size); pos += size, ++position) {
        const uint32_t t = b.be32(pos);
        uint32_t wt = worktime;
        if (reference == 0)
            reference = t; // the first entry with a time anchors the working-time count
        else
            wt = worktime + t - reference;
        Ul_event_record ev(t ? clamp_device_time(t, r.ts_get) : r.ts_get, wt, uint16_t(first_index + position),
                           index_max, cls == 10 ? 0 : b.at(pos + 4), log);
        switch (cls) {
        case 0:
            ev.values.insert(obis_make_cde(12, 7, 0), int(b.be16(pos + 5)));
            ev.values.insert(obis_make_cde(12, 7, 4), int(b.be16(pos + 7)));
            break;
        case 3:
            ev.values.insert(obis_make_cde(96, 12, 4), int(b.at(pos + 5)));
            break;
        case 5:
            ev.values.insert(obis_make_cde(96, 12, 4), int(b.at(pos + 5)));
            ev.values.insert(obis_make_cde(96, 12, 6), int(b.at(pos + 6)));
            break;
        case 11:
            ev.values.insert(obis_make_cde(96, 12, 2), int(b.at(pos + 5)));
            ev.values.insert(obis_make_cde(96, 12, 4), int(b.at(pos + 6)));
            break;
        case 10:
            ev.values.insert(obis_make_cde(96, 3, 0), int(b.be16(pos + 4)));
            LOG_DBG << "DLMS_ARCH_event_IO" << r.modem_id << t << b.be16(pos + 4);
            break;
        default:
            break;
        }
        r.ul_events.append(ev);
    }
    report_answered(r.modem_id, QStringLiteral("get_arch_index"));
}

// ---- answers and settings

void add(Parser_ul_app& r, const QString& key, const QVariant& value)
{
    parser_strova5::add_setting(r, Ul_setting(r.ts_get, key, value));
}

void append(Parser_ul_app& r, const QString& key, const QVariant& value)
{
    r.ul_settings.append(Ul_setting(r.ts_get, key, value));
}

QByteArray upper_hex(const QByteArray& bytes)
{
    return bytes.toHex().toUpper();
}

// The attribute value of an answer, by its A-XDR tag at `pos`; invalid when it does not fit.
QVariant axdr_value(const Bytes& b, int pos)
{
    if (!b.fits(pos, 1))
        return QVariant();
    const uint8_t tag = b.at(pos++);
    switch (tag) {
    case 5:
        return b.fits(pos, 4) ? QVariant(int(as_signed(b.be32(pos)))) : QVariant();
    case 6:
        return b.fits(pos, 4) ? QVariant(uint(b.be32(pos))) : QVariant();
    case 9: {
        if (!b.fits(pos, 1) || !b.fits(pos + 1, b.at(pos)))
            return QVariant();
        return QByteArray(reinterpret_cast<const char*>(b.p + pos + 1), b.at(pos));
    }
    case 15:
    case 17:
        if (!b.fits(pos, 1)) {
            LOG_EXC << "error len";
            return QVariant();
        }
        return tag == 15 ? QVariant(int(int8_t(b.at(pos)))) : QVariant(uint(b.at(pos)));
    case 16:
        return b.fits(pos, 2) ? QVariant(int(int16_t(b.be16(pos)))) : QVariant();
    case 18:
        return b.fits(pos, 2) ? QVariant(uint(b.be16(pos))) : QVariant();
    default:
        return QVariant();
    }
}

void decode_attribute(Parser_ul_app& r, const Bytes& b)
{
    if (b.len < 4)
        return;
    OBIS code;
    const int n = obis_compact_decode(b.p + 1, b.len - 1, code);
    // A code or attribute index cut off by the end leaves no value and no attribute 3.
    if (n == 0 || !b.fits(1 + n, 1))
        return;
    const int attribute = b.at(1 + n);
    const QVariant value = axdr_value(b, 2 + n);
    if (value.isValid())
        add(r, obis_to_string(code, attribute), value);
    if (attribute != 3)
        return;
    if (code.C == 96 && code.D == 3 && code.E == 10) {
        const QVariant stored = registry_setting(r.modem_id, QStringLiteral("0.0.96.3.10.255_4"));
        uint mode = stored.isNull() ? 5 : stored.toUInt();
        if (mode > 6)
            mode = 5;
        uint state = value.toUInt();
        if (state > 1)
            state = 0;
        append(r, QStringLiteral("96.3.10"), QStringLiteral("[%1,%2,%3]").arg(mode).arg(state).arg(state));
    } else if (code.C == 17 && code.D == 0 && code.E == 0) {
        append(r, QStringLiteral("17.0.0"), value.toUInt() == 0 ? QVariant(65535) : value);
    }
}

QString nibble_pair(uint8_t hi, uint8_t lo)
{
    return QStringLiteral("%1.%2.").arg(hi >> 4).arg(hi & 15) + QStringLiteral("%1.%2").arg(lo >> 4).arg(lo & 15);
}

void decode_versions(Parser_ul_app& r, const Bytes& b)
{
    if (b.len <= 5)
        return;
    switch (b.at(1)) {
    case 0: {
        QVariantMap version;
        version.insert(QStringLiteral("sw"), nibble_pair(b.at(2), b.at(3)));
        version.insert(QStringLiteral("hw"), nibble_pair(b.at(4), b.at(5)));
        if (b.len > 9)
            version.insert(QStringLiteral("modem"), uint(b.be32(6)));
        add(r, QStringLiteral("version"), version);
        break;
    }
    case 1:
        add(r, QStringLiteral("sn"), b.mid(2).toHex());
        break;
    default:
        LOG_EXC << "unknow sub_header" << log_cut(upper_hex(b.mid(0))).constData();
        break;
    }
}

void decode_arch_info(Parser_ul_app& r, const Bytes& b)
{
    auto name = [](unsigned n) { return QStringLiteral("arch_info_%1").arg(n); };
    if (b.len < 15)
        return;
    if (b.len == 15) {
        QVariantMap m;
        m.insert(QStringLiteral("index_head"), uint(b.le32(3)));
        m.insert(QStringLiteral("index_send"), uint(b.le32(7)));
        m.insert(QStringLiteral("sec_before_send"), uint(b.le32(11)));
        add(r, name(b.at(2)), m);
    } else if (b.len < 20) {
        QVariantMap m;
        m.insert(QStringLiteral("index"), int(b.at(2)));
        m.insert(QStringLiteral("rec_size"), int(b.at(3)));
        m.insert(QStringLiteral("count_max"), int(b.be16(4)));
        m.insert(QStringLiteral("index_send"), int(b.be16(6)));
        m.insert(QStringLiteral("index_head"), int(b.be16(8)));
        m.insert(QStringLiteral("index_last"), int(b.be16(10)));
        m.insert(QStringLiteral("sec_before_send_max"), int(b.be16(12)));
        m.insert(QStringLiteral("sec_before_send"), int(b.be16(14)));
        add(r, name(b.at(2)), m);
    } else {
        for (int pos = 2;; pos += 8) {
            QVariantMap m;
            m.insert(QStringLiteral("index"), int(b.at(pos)));
            m.insert(QStringLiteral("rec_size"), int(b.at(pos + 1)));
            m.insert(QStringLiteral("count_max"), int(b.be16(pos + 2)));
            m.insert(QStringLiteral("index_send"), int(b.be16(pos + 4)));
            m.insert(QStringLiteral("index_head"), int(b.be16(pos + 6)));
            add(r, name(b.at(pos)), m);
            if (b.len - (pos + 8) <= 8)
                break;
        }
    }
    report_answered(r.modem_id, QStringLiteral("set_arch_index"));
}

QVariantList event_filter_of(const Bytes& b)
{
    QVariantList events;
    if (b.len == 4) {
        const uint32_t mask = b.le16(2);
        for (int i = 0; i < 16; ++i)
            if (mask & (1u << i))
                events.append(i);
    } else {
        for (int i = 0; i < 128; ++i)
            if (b.at(2 + i / 8) & (0x80 >> (i % 8)))
                events.append(i);
    }
    return events;
}

QStringList display_auto_of(const Bytes& b)
{
    QStringList list;
    for (int pos = 2; b.len - pos >= 2; pos += 2) {
        // Each entry is a 2-byte compact form with its bytes swapped.
        const uint8_t swapped[2] = {b.at(pos + 1), b.at(pos)};
        if ((swapped[0] == 0 && swapped[1] == 0) || !(swapped[0] & 0x80))
            break;
        OBIS code;
        obis_compact_decode(swapped, 2, code);
        list.append(obis_to_string(code));
    }
    return list;
}

QStringList display_manual_of(const Bytes& b)
{
    QStringList list;
    int pos = 2;
    while (b.len - pos >= 2) {
        const unsigned count = b.at(pos++);
        if (count == 0)
            break;
        list.append(QStringLiteral("0.0.0.0.0.0")); // group marker
        for (unsigned i = 0; i < count; ++i) {
            OBIS code;
            const int n = b.len - pos >= 2 ? obis_compact_decode(b.p + pos, b.len - pos, code) : 0;
            if (n == 0 || code == OBIS())
                return list;
            list.append(obis_to_string(code));
            pos += n;
        }
    }
    return list;
}

float le_float(const Bytes& b, int pos)
{
    const uint32_t bits = b.le32(pos);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

void decode_device_settings(Parser_ul_app& r, const Bytes& b)
{
    if (b.len <= 1)
        return;
    const int len = b.len;
    switch (b.at(1)) {
    case 0x09: {
        const unsigned n = len > 2 ? b.at(2) : 0;
        append(r, QStringLiteral("calibration_%1").arg(n), upper_hex(b.mid(0)));
        report_answered(r.modem_id, QStringLiteral("calibration"));
        break;
    }
    case 0x0B:
        if (len > 11) {
            QVariantMap m;
            m.insert(QStringLiteral("sensor_cover"), int(b.le16(2)));
            m.insert(QStringLiteral("sensor_body"), int(b.le16(4)));
            m.insert(QStringLiteral("adc_cover"), int(b.le16(6)));
            m.insert(QStringLiteral("adc_body"), int(b.le16(8)));
            m.insert(QStringLiteral("hall"), int(b.at(10)));
            m.insert(QStringLiteral("state_cover"), int(b.at(11) & 1));
            m.insert(QStringLiteral("state_body"), int((b.at(11) >> 1) & 1));
            m.insert(QStringLiteral("state_hall"), int((b.at(11) >> 2) & 1));
            add(r, QStringLiteral("sensors"), m);
        }
        break;
    case 0x0E:
        if (len >= 7 && (b.at(2) == 1 || b.at(2) == 2)) {
            QVariantMap m;
            m.insert(QStringLiteral("max"), float(b.le16(3) / 100.0f));
            m.insert(QStringLiteral("min"), float(b.le16(5) / 100.0f));
            add(r, b.at(2) == 1 ? QStringLiteral("qualityF") : QStringLiteral("qualityU"), m);
        }
        break;
    case 0x0F:
        decode_arch_info(r, b);
        break;
    case 0x11:
        if (len == 5) {
            add(r, QStringLiteral("display"), uint(b.be24(2)));
        } else if (len == 6) {
            const uint v = b.be32(2);
            LOG_EXC << "display 4" << v << "from" << r.modem_id;
            add(r, QStringLiteral("display"), v);
        }
        break;
    case 0x12:
        if (len == 4 || len == 18)
            add(r, QStringLiteral("event_filter"), event_filter_of(b));
        break;
    case 0x17:
        if (len > 7) {
            QVariantMap m;
            m.insert(QStringLiteral("type0"), int(b.at(2)));
            m.insert(QStringLiteral("type1"), int(b.at(3)));
            m.insert(QStringLiteral("freq0"), int(b.le16(4)));
            m.insert(QStringLiteral("freq1"), int(b.le16(6)));
            add(r, QStringLiteral("pulse_output"), m);
        }
        break;
    case 0x1B:
        if (len % 2 == 0)
            add(r, QStringLiteral("display_auto"), display_auto_of(b));
        break;
    case 0x1C:
        add(r, QStringLiteral("display_manual"), display_manual_of(b));
        break;
    case 0x1D:
        if (len > 8)
            add(r, QStringLiteral("fcfix"),
                QVariantList{int(b.at(2)), int(b.at(3)), int(b.at(4)), QVariant::fromValue(le_float(b, 5))});
        break;
    case 0x41:
        if (len > 5)
            add(r, QStringLiteral("sec_send_to_display"), QVariantList{uint(b.le16(2)), uint(b.le16(4))});
        break;
    case 0x43:
        if (len > 2)
            add(r, QStringLiteral("hour_prf_need_ack"), int(b.at(2)));
        break;
    default:
        LOG_EXC << "unknow sub header" << log_cut(upper_hex(b.mid(0))).constData();
        break;
    }
}

void decode_reporting_period(Parser_ul_app& r, const Bytes& b)
{
    if (b.len != 12) {
        LOG_EXC << "0xF1 wrong length" << b.len;
        return;
    }
    QVariantMap m;
    m.insert(QStringLiteral("period"), int(b.at(1) << 4 | b.at(2) >> 4));
    m.insert(QStringLiteral("aligment"), int((b.at(2) >> 2) & 3));
    m.insert(QStringLiteral("need_send"), int((b.at(2) >> 1) & 1));
    QStringList codes;
    for (int pos = 3; pos <= 9; pos += 2) {
        unsigned c = b.at(pos) >> 1;
        const unsigned e = (b.at(pos + 1) >> 1) & 7;
        unsigned d = 7;
        if ((b.at(pos + 1) & 0x80) && c <= 8)
            d = 8;
        else if (c == 44)
            c = 43;
        codes.append(QStringLiteral("%1.%2.%3").arg(c).arg(d).arg(e));
    }
    m.insert(QStringLiteral("OBIS"), codes);
    add(r, QStringLiteral("94.7.5"), m);
}

} // namespace

uint32_t complete_time24(uint32_t t24, int64_t now)
{
    const int64_t floor = now - 15768000; // half a year
    int64_t t = t24 & 0xFFFFFFu;
    if (t < floor)
        t += ((floor - t + 0xFFFFFF) >> 24) << 24;
    return uint32_t(t);
}

void parser_strova5::add_setting(Parser_ul_app& result, const Ul_setting& item)
{
    result.ul_settings.append(item);
    report_answered(result.modem_id, item.key);
}

Parser_ul_app parser_strova5::parse_ul_app(const Radio_ul_input& input)
{
    Parser_ul_app r(input);
    const Bytes b{reinterpret_cast<const uint8_t*>(input.payload.constData()), input.payload.size()};
    if (b.len == 0)
        return r;
    r.header = b.at(0);
    switch (r.header) {
    case 0x31:
    case 0x32:
        decode_values(r, b);
        break;
    case 0x33:
        decode_plain_events(r, b);
        break;
    case 0x3B:
        add(r, QStringLiteral("DTI"), upper_hex(input.payload));
        break;
    case 0x40:
        report_answered(r.modem_id, QStringLiteral("94.7.0"));
        decode_archive(r, b);
        break;
    case 0x42:
    case 0x44:
    case 0x46:
    case 0x48:
    case 0x4A:
        decode_archive(r, b);
        break;
    case 0x43:
        decode_energy_archive(r, b);
        break;
    case 0x4F:
        decode_event_archive(r, b);
        break;
    case 0x51:
    case 0xF0:
    case 0xF2:
        parse_ul_tariff(r, input.payload);
        break;
    case 0x7F:
        decode_single_current(r, b);
        break;
    case 0xD2:
        add(r, QStringLiteral("APDU"), upper_hex(b.mid(1)));
        break;
    case 0xD3:
        add(r, QStringLiteral("HDLC"), upper_hex(b.mid(1)));
        break;
    case 0xED:
        decode_attribute(r, b);
        break;
    case 0xEE:
        decode_versions(r, b);
        break;
    case 0xEF:
        decode_device_settings(r, b);
        break;
    case 0xF1:
        decode_reporting_period(r, b);
        break;
    default:
        if (r.header >= 0x80 && r.header <= 0xBF)
            decode_compact_energy(r, b);
        break;
    }
    return r;
}

QByteArray parser_strova5::stringify_values(uint8_t header, const Ul_data_record& record)
{
    QByteArray out;
    out.reserve(64);
    out.append(char(header));
    bool first = true;
    for (auto it = record.values.cbegin(); it != record.values.cend(); ++it) {
        // Only whole values, and never past what one payload can carry.
        if (out.size() + (first ? 10 : 6) > 255)
            break;
        const OBIS& k = it.key();
        out.append(char(((k.C & 0x7F) << 1) | (first ? 1 : 0)));
        out.append(char((k.D == 8 ? 0x80 : 0) | 0x40 | ((k.E & 7) << 1)));
        if (first)
            append_be32(out, record.ts);
        append_be32(out, uint32_t(milli_of(it.value().toDouble())));
        first = false;
    }
    return out;
}
