// Command encoding: one setting or command request, under the requester's rights, into the
// payload of one downlink.
//
// These bytes reach real meters (one of them switches the supply), so every branch either
// encodes the request exactly or sends nothing: a value that does not fit its field, data of
// the wrong shape or malformed hex ends with state 4 and an empty payload, never with a
// truncated value or a different command.

#include "parser_strova5.h"

#include "log_limiter.h"
#include "logger.h"
#include "ram_modems.h"
#include "sql_exchange.h"

#include <QRegularExpression>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

// State codes the encoder sets.
enum : uint32_t {
    STATE_SEND = 0,     // send; the meter does not answer
    STATE_AWAIT = 1,    // send and await the meter's answer
    STATE_DONE = 3,     // done here; nothing is sent
    STATE_NOTHING = 4,  // nothing to send
    STATE_CONFIRM = 5,  // setting write awaiting confirmation
};

// Largest display frames the meter takes.
constexpr int DISPLAY_AUTO_SIZE = 33;
constexpr int DISPLAY_MANUAL_SIZE = 129;
// An octet-string value of an attribute write must stay below this many bytes.
constexpr int ATTRIBUTE_TEXT_LIMIT = 120;

// ---- registry and storage access

QVariantMap modem_settings(uint32_t modem)
{
    return RAM_modems::instance ? RAM_modems::instance->get_settings(modem) : QVariantMap();
}

void store_modem_setting(uint32_t modem, const QString& key, const QVariant& value)
{
    if (RAM_modems::instance)
        RAM_modems::instance->slot_set_setting(modem, key, value, true);
}

void queue_command(uint32_t modem, const QStringList& rights, const QString& setting, const QVariant& data)
{
    if (SQL_Exchange::instance)
        SQL_Exchange::instance->send_dl(modem, rights, setting, data);
}

// ---- reading the request's data

bool has_data(const QVariant& v)
{
    return v.isValid() && !v.isNull();
}

bool is_list(const QVariant& v)
{
    return v.userType() == QMetaType::QVariantList || v.userType() == QMetaType::QStringList;
}

bool is_map(const QVariant& v)
{
    return v.userType() == QMetaType::QVariantMap;
}

bool is_text(const QVariant& v)
{
    return v.userType() == QMetaType::QString || v.userType() == QMetaType::QByteArray;
}

bool is_number(const QVariant& v)
{
    switch (v.userType()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

// The data as text when it is a number or text; false for lists, maps and other shapes.
bool scalar_text(const QVariant& v, QString& out)
{
    if (!has_data(v)) {
        out.clear();
        return true;
    }
    if (!is_text(v) && !is_number(v))
        return false;
    out = v.toString();
    return true;
}

// An integer held by a number (integral doubles included, as JSON delivers them) or by
// decimal text; false for anything else.
bool read_int(const QVariant& v, qint64& out)
{
    switch (v.userType()) {
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar: {
        const quint64 u = v.toULongLong();
        if (u > quint64(std::numeric_limits<qint64>::max()))
            return false;
        out = qint64(u);
        return true;
    }
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = v.toDouble();
        if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > 9.0e15)
            return false;
        out = qint64(d);
        return true;
    }
    case QMetaType::QString:
    case QMetaType::QByteArray: {
        bool ok = false;
        out = v.toString().toLongLong(&ok, 10);
        return ok;
    }
    default:
        if (!is_number(v))
            return false;
        out = v.toLongLong();
        return true;
    }
}

bool read_uint(const QVariant& v, quint64 max, quint64& out)
{
    qint64 i = 0;
    if (!read_int(v, i) || i < 0 || quint64(i) > max)
        return false;
    out = quint64(i);
    return true;
}

bool read_real(const QString& text, double& out)
{
    bool ok = false;
    out = text.toDouble(&ok);
    return ok && std::isfinite(out);
}

// Hex text with an even number of hex digits and nothing else.
bool read_hex(const QString& text, QByteArray& out)
{
    if (text.size() % 2 != 0)
        return false;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F')))
            return false;
    }
    out = QByteArray::fromHex(text.toLatin1());
    return true;
}

// Six dot-separated numbers of 0..255; anything else is not an OBIS code.
bool read_obis(const QVariant& v, OBIS& out)
{
    if (!is_text(v))
        return false;
    const QStringList parts = v.toString().split(QLatin1Char('.'));
    if (parts.size() != 6)
        return false;
    quint64 n[6];
    for (int i = 0; i < 6; ++i)
        if (!read_uint(parts[i], 255, n[i]))
            return false;
    out = obis_pack(unsigned(n[0]), unsigned(n[1]), unsigned(n[2]), unsigned(n[3]), unsigned(n[4]), unsigned(n[5]));
    return true;
}

// The compact form of `code`, or 0 when no form carries it back unchanged (an A of 64 or
// more would be read as a shorter form by the meter).
int compact_form(uint8_t* out, const OBIS& code)
{
    const int n = obis_compact_encode(out, code);
    OBIS back;
    if (obis_compact_decode(out, n, back) != n || back != code)
        return 0;
    return n;
}

// ---- building the result

void put(QByteArray& p, std::initializer_list<uint8_t> bytes)
{
    for (uint8_t b : bytes)
        p.append(char(b));
}

void put_le16(QByteArray& p, quint64 v)
{
    put(p, {uint8_t(v), uint8_t(v >> 8)});
}

void put_be16(QByteArray& p, quint64 v)
{
    put(p, {uint8_t(v >> 8), uint8_t(v)});
}

void put_be32(QByteArray& p, quint64 v)
{
    put(p, {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}

// Ends the request with nothing to send because its data cannot be encoded as given.
void refuse(Stringify_dl_app& out, const char* why)
{
    LOG_LIMITED(LVL_EXC, "nothing to send") << "nothing to send:" << out.modem_id << log_cut(out.setting)
                                            << why << log_cut(SQL_Exchange::json_or_text(out.data));
    out.payload.clear();
    out.payload_is_text = false;
    out.state = STATE_NOTHING;
}

// ---- setting branches (device commands)

void encode_limit_old(Stringify_dl_app& out, const Dl_request& req)
{
    if (!has_data(req.data))
        return;
    quint64 v = 0;
    if (!read_uint(req.data, 0xFFFF, v))
        return refuse(out, "limit is not a number of 0..65535");
    LOG_LIMITED(LVL_EXC, "command encoding") << quint16(v);
    out.state = STATE_CONFIRM;
    put(out.payload, {0xF4, uint8_t(v >> 8), uint8_t(v), 0, 0, 0, 0, 0});
}

void encode_sending_period(Stringify_dl_app& out, const Dl_request& req)
{
    if (!has_data(req.data) || (is_map(req.data) && req.data.toMap().isEmpty())) {
        put(out.payload, {0xEF, 0x05});
        return;
    }
    if (!is_map(req.data))
        return refuse(out, "data is not a map");
    const QVariantMap m = req.data.toMap();
    const QVariant obis = m.value(QStringLiteral("OBIS"));
    if (!is_list(obis) || obis.toList().size() != 4)
        return refuse(out, "\"OBIS\" must list four codes");
    quint64 period = 60, aligment = 1, need_send = 1;
    if (m.contains(QStringLiteral("period")) && !read_uint(m.value(QStringLiteral("period")), 0xFFF, period))
        return refuse(out, "\"period\" is not a number of 0..4095");
    if (period == 0)
        period = 60;
    if (m.contains(QStringLiteral("aligment")) && !read_uint(m.value(QStringLiteral("aligment")), 3, aligment))
        return refuse(out, "\"aligment\" is not a number of 0..3");
    if (m.contains(QStringLiteral("need_send")) && !read_uint(m.value(QStringLiteral("need_send")), 1, need_send))
        return refuse(out, "\"need_send\" is not 0 or 1");

    QByteArray p;
    put(p, {0xF1, uint8_t(period >> 4), uint8_t(((period & 0x0F) << 4) | (aligment << 2) | (need_send << 1))});
    for (const QVariant& entry : obis.toList()) {
        // C.D.E; missing trailing parts are 0.
        const QStringList parts = entry.toString().split(QLatin1Char('.'));
        quint64 cde[3] = {0, 0, 0};
        const quint64 max[3] = {127, 255, 7};
        if (!is_text(entry) || parts.size() > 3)
            return refuse(out, "an \"OBIS\" entry is not C.D.E");
        for (int i = 0; i < parts.size(); ++i)
            if (!read_uint(parts[i], max[i], cde[i]))
                return refuse(out, "an \"OBIS\" entry does not fit (C up to 127, E up to 7)");
        put(p, {uint8_t(cde[0] * 2), uint8_t((cde[1] == 8 ? 0x80 : 0) | (cde[2] << 1))});
    }
    put(p, {0x00});
    out.payload = p;
}

void encode_relay(Stringify_dl_app& out, const Dl_request& req, const QStringList& rights, bool new_sw)
{
    QString text;
    if (!scalar_text(req.data, text))
        return refuse(out, "relay data is not numbers");
    const QStringList parts = text.split(QLatin1Char(','));
    // One line for the whole text, cut: a request may hold a million commas.
    if (!new_sw) LOG_LIMITED(LVL_EXC, "command encoding") << log_cut(text);
    QList<int> numbers;
    for (const QString& part : parts) {
        if (part.trimmed().isEmpty())
            continue;
        bool ok = false;
        const int n = part.toInt(&ok, 10);
        if (!ok)
            return refuse(out, "relay data holds something that is not a number");
        numbers.append(n);
    }
    if (numbers.size() > 2)
        return refuse(out, "relay data holds more than two numbers");

    if (!new_sw) {
        if (numbers.isEmpty()) {
            out.state = STATE_DONE;
            if (!modem_settings(req.modem_id).contains(QStringLiteral("96.3.10")))
                store_modem_setting(req.modem_id, QStringLiteral("96.3.10"), QStringLiteral("[2,1,1]"));
            return;
        }
        // With two numbers the second is the relay value.
        const bool on = numbers.last() == 1;
        out.state = STATE_SEND;
        if (on)
            put(out.payload, {0xF4, 0xFF, 0xFF, 0, 0, 0, 0, 0});
        else
            put(out.payload, {0xF4, 0, 0, 0, 0, 0, 0, 0});
        return;
    }

    const QString attribute = QStringLiteral("0.0.96.3.10.255_3");
    QVariant value;
    if (numbers.isEmpty())
        queue_command(req.modem_id, rights, QStringLiteral("0.0.96.3.10.255_4"), QVariant());
    else
        value = numbers.last();
    out = parser_strova5::stringify_dl_app(Dl_request(req.modem_id, req.ts, attribute, value), rights);
}

void encode_archive_request(Stringify_dl_app& out, const Dl_request& req, bool new_sw, uint8_t code)
{
    if (new_sw) {
        put(out.payload, {0xEF, code});
        return;
    }
    QString text;
    if (!scalar_text(req.data, text))
        return refuse(out, "data is not text");
    const bool info = code == 0x0F;
    if (text.isEmpty()) {
        if (info)
            put(out.payload, {0xEF, code, 0x00});
        return;
    }
    const QStringList parts = text.split(QLatin1Char(','));
    quint64 a = 0, b = 0;
    if (parts.size() == 1 && info) {
        if (!read_uint(parts[0], 0xFF, a))
            return refuse(out, "archive type is not a number of 0..255");
        put(out.payload, {0xEF, code, uint8_t(a)});
        return;
    }
    if (parts.size() != 2)
        return refuse(out, "wrong number of values");
    if (!read_uint(parts[0], 0xFF, a))
        return refuse(out, "archive type is not a number of 0..255");
    if (!read_uint(parts[1], 0xFFFFFFFF, b))
        return refuse(out, "index is not an unsigned 32-bit number");
    put(out.payload, {0xEF, code, uint8_t(a), uint8_t(b), uint8_t(b >> 8), uint8_t(b >> 16), uint8_t(b >> 24)});
}

// "DTI", "msg" (no header) and "APDU", "HDLC" (one header byte): the data is hex text.
void encode_hex(Stringify_dl_app& out, const Dl_request& req, int header)
{
    QString text;
    QByteArray bytes;
    if (!scalar_text(req.data, text))
        return refuse(out, "data is not hex text");
    if (!read_hex(text, bytes))
        return refuse(out, "data is not hex text of whole bytes");
    if (bytes.isEmpty())
        return;
    if (header >= 0)
        out.payload.append(char(header));
    out.payload.append(bytes);
    if (header < 0) {
        LOG_LIMITED(LVL_EXC, "command encoding") << out.payload.toHex().toUpper();
    }
}

// ---- device configuration

void encode_event_filter(Stringify_dl_app& out, const Dl_request& req, bool new_sw)
{
    if (!has_data(req.data)) {
        put(out.payload, {0xEF, 0x12});
        return;
    }
    QVariantList items;
    if (is_list(req.data)) {
        items = req.data.toList();
    } else if (is_text(req.data)) {
        const QString text = req.data.toString();
        if (!text.trimmed().isEmpty())
            for (const QString& part : text.split(QLatin1Char(',')))
                items.append(part);
    } else {
        return refuse(out, "event filter is neither a list nor comma-separated text");
    }
    const quint64 max = new_sw ? 15 : 127;
    uint8_t map[16] = {};
    for (const QVariant& item : items) {
        quint64 n = 0;
        if (!read_uint(item, max, n))
            return refuse(out, new_sw ? "event number is not one of 0..15" : "event number is not one of 0..127");
        map[n / 8] |= uint8_t(0x80 >> (n % 8));
    }
    put(out.payload, {0xEF, 0x12});
    if (new_sw) {
        quint64 mask = 0;
        for (int n = 0; n < 16; ++n)
            if (map[n / 8] & (0x80 >> (n % 8)))
                mask |= 1u << n;
        put_le16(out.payload, mask);
    } else {
        out.payload.append(reinterpret_cast<const char*>(map), 16);
    }
}

void encode_sensors(Stringify_dl_app& out, const Dl_request& req)
{
    if (!has_data(req.data) || (is_map(req.data) && req.data.toMap().isEmpty())) {
        put(out.payload, {0xEF, 0x0B});
        return;
    }
    if (!is_map(req.data))
        return refuse(out, "sensor data is not a map");
    const QVariantMap m = req.data.toMap();
    quint64 cover = 0, body = 0;
    if (!m.contains(QStringLiteral("sensor_cover")) || !m.contains(QStringLiteral("sensor_body")))
        return refuse(out, "\"sensor_cover\" and \"sensor_body\" are both needed");
    if (!read_uint(m.value(QStringLiteral("sensor_cover")), 0xFFFF, cover) ||
        !read_uint(m.value(QStringLiteral("sensor_body")), 0xFFFF, body))
        return refuse(out, "a sensor value is not a number of 0..65535");
    put(out.payload, {0xEF, 0x0B});
    put_le16(out.payload, cover);
    put_le16(out.payload, body);
}

void encode_fcfix(Stringify_dl_app& out, const Dl_request& req)
{
    if (!has_data(req.data))
        return;
    QString text;
    if (!scalar_text(req.data, text))
        return refuse(out, "data is not text");
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 3 && parts.size() != 4)
        return refuse(out, "three or four values are needed");
    QByteArray p;
    put(p, {0xEF, 0x1D});
    for (int i = 0; i < 3; ++i) {
        quint64 v = 0;
        if (!read_uint(parts[i], 0xFF, v))
            return refuse(out, "a value is not a number of 0..255");
        put(p, {uint8_t(v)});
    }
    if (parts.size() == 4) {
        double d = 0;
        if (!read_real(parts[3], d))
            return refuse(out, "the fourth value is not a number");
        const float f = float(d);
        if (!std::isfinite(f))
            return refuse(out, "the fourth value does not fit a single-precision number");
        quint32 bits = 0;
        static_assert(sizeof(bits) == sizeof(f), "IEEE 754 single precision");
        memcpy(&bits, &f, sizeof(bits));
        put(p, {uint8_t(bits), uint8_t(bits >> 8), uint8_t(bits >> 16), uint8_t(bits >> 24)});
    }
    out.payload = p;
}

void encode_quality(Stringify_dl_app& out, const Dl_request& req, uint8_t kind)
{
    if (!has_data(req.data)) {
        put(out.payload, {0xEF, 0x0E, kind});
        return;
    }
    QString text;
    if (!scalar_text(req.data, text))
        return refuse(out, "data is not text");
    const QStringList parts = text.split(QStringLiteral(","));
    LOG_LIMITED(LVL_EXC, "command encoding") << log_cut(text);
    if (parts.size() != 2)
        return refuse(out, "two values are needed");
    double x = 0, y = 0;
    if (!read_real(parts[0], x) || !read_real(parts[1], y))
        return refuse(out, "a value is not a number");
    const double u = std::round(x * 100), v = std::round(y * 100);
    if (u < 0 || u > 0xFFFF || v < 0 || v > 0xFFFF)
        return refuse(out, "a value does not fit 0..655.35");
    LOG_LIMITED(LVL_EXC, "command encoding") << quint16(u) << quint16(v);
    put(out.payload, {0xEF, 0x0E, kind});
    put_le16(out.payload, quint64(u));
    put_le16(out.payload, quint64(v));
}

void encode_display_period(Stringify_dl_app& out, const Dl_request& req)
{
    if (!has_data(req.data)) {
        put(out.payload, {0xEF, 0x41});
        return;
    }
    QVariantList items;
    if (is_list(req.data)) {
        items = req.data.toList();
    } else if (is_text(req.data) || is_number(req.data)) {
        for (const QString& part : req.data.toString().split(QLatin1Char(',')))
            items.append(part);
    } else {
        return refuse(out, "data is neither a list nor text");
    }
    if (items.size() != 2)
        return refuse(out, "two values are needed");
    quint64 a = 0, b = 0;
    if (!read_uint(items[0], 0xFFFF, a) || !read_uint(items[1], 0xFFFF, b))
        return refuse(out, "a value is not a number of 0..65535");
    put(out.payload, {0xEF, 0x41});
    put_le16(out.payload, a);
    put_le16(out.payload, b);
}

void encode_pulse_output(Stringify_dl_app& out, const Dl_request& req)
{
    if (!has_data(req.data)) {
        put(out.payload, {0xEF, 0x17});
        return;
    }
    if (!is_map(req.data))
        return refuse(out, "pulse output data is not a map");
    const QVariantMap m = req.data.toMap();
    quint64 type0 = 0, type1 = 0, freq0 = 1000, freq1 = 1000;
    const struct {
        const char* key;
        quint64* value;
        quint64 max;
    } fields[] = {
        {"type0", &type0, 0xFF}, {"type1", &type1, 0xFF}, {"freq0", &freq0, 0xFFFF}, {"freq1", &freq1, 0xFFFF}};
    for (const auto& f : fields) {
        const QString key = QLatin1String(f.key);
        if (m.contains(key) && !read_uint(m.value(key), f.max, *f.value))
            return refuse(out, "a pulse output value does not fit its field");
    }
    put(out.payload, {0xEF, 0x17, uint8_t(type0), uint8_t(type1)});
    put_le16(out.payload, freq0);
    put_le16(out.payload, freq1);
}

void encode_hour_ack(Stringify_dl_app& out, const Dl_request& req)
{
    if (!has_data(req.data)) {
        put(out.payload, {0xEF, 0x43});
        return;
    }
    quint64 v = 0;
    if (!read_uint(req.data, 0xFF, v))
        return refuse(out, "value is not a number of 0..255");
    put(out.payload, {0xEF, 0x43, uint8_t(v)});
}

// ---- display lists, archive indexes, attribute writes

void encode_display_auto(Stringify_dl_app& out, const Dl_request& req)
{
    if (!has_data(req.data)) {
        put(out.payload, {0xEF, 0x1B});
        return;
    }
    if (!is_list(req.data))
        return refuse(out, "display list is not a list");
    QByteArray p(DISPLAY_AUTO_SIZE, '\0');
    p[0] = char(0xEF);
    p[1] = char(0x1B);
    int pos = 2;
    for (const QVariant& item : req.data.toList()) {
        LOG_LIMITED(LVL_EXC, "command encoding") << item;
        OBIS code;
        uint8_t form[6];
        if (pos + 2 > DISPLAY_AUTO_SIZE) {
            LOG_LIMITED(LVL_EXC, "command encoding") << "err";
            return refuse(out, "more than 15 codes");
        }
        if (!read_obis(item, code))
            return refuse(out, "a display entry is not an OBIS code");
        if (compact_form(form, code) != 2) {
            LOG_LIMITED(LVL_EXC, "command encoding") << "err";
            return refuse(out, "a display entry has no 2-byte form");
        }
        // The meter keeps its entries with the two bytes swapped.
        p[pos] = char(form[1]);
        p[pos + 1] = char(form[0]);
        pos += 2;
    }
    out.payload = p;
}

void encode_display_manual(Stringify_dl_app& out, const Dl_request& req)
{
    if (!has_data(req.data)) {
        put(out.payload, {0xEF, 0x1C});
        return;
    }
    if (!is_list(req.data))
        return refuse(out, "display list is not a list");
    QList<OBIS> codes;
    for (const QVariant& item : req.data.toList()) {
        OBIS code;
        if (!read_obis(item, code))
            return refuse(out, "a display entry is not an OBIS code");
        codes.append(code);
    }
    QByteArray p(DISPLAY_MANUAL_SIZE, '\0');
    p[0] = char(0xEF);
    p[1] = char(0x1C);
    int count_at = 2;
    int pos = 3;
    bool fits = true;
    for (const OBIS& code : codes) {
        uint8_t form[6];
        // A code with F = 0 closes the group: the next count byte follows.
        const int len = code.F == 0 ? 1 : compact_form(form, code);
        if (len == 0) {
            LOG_LIMITED(LVL_EXC, "command encoding") << "err";
            fits = false;
            break;
        }
        if (pos + qMax(2, len) > DISPLAY_MANUAL_SIZE) {
            LOG_LIMITED(LVL_EXC, "command encoding") << "err";
            fits = false;
            break;
        }
        if (code.F == 0) {
            count_at = pos;
            pos += 1;
            continue;
        }
        for (int i = 0; i < len; ++i)
            p[pos + i] = char(form[i]);
        p[count_at] = char(uint8_t(p[count_at]) + 1);
        pos += len;
        LOG_LIMITED(LVL_EXC, "command encoding") << len;
    }
    if (!fits)
        p.clear();
    LOG_LIMITED(LVL_EXC, "command encoding") << p.toHex().toUpper();
    if (!fits)
        return refuse(out, "display list does not fit the frame");
    out.payload = p;
}

void encode_set_arch_index(Stringify_dl_app& out, const Dl_request& req)
{
    if (!has_data(req.data)) {
        put(out.payload, {0xEF, 0x0F});
        return;
    }
    if (!is_list(req.data) || req.data.toList().isEmpty())
        return refuse(out, "data is not a list of numbers");
    const QVariantList items = req.data.toList();
    QByteArray p;
    put(p, {0xEF, 0x0F});
    for (int i = 0; i < items.size(); ++i) {
        quint64 v = 0;
        if (i == 0 && !read_uint(items[i], 0xFF, v))
            return refuse(out, "archive type is not a number of 0..255");
        if (i > 0 && !read_uint(items[i], 0xFFFF, v))
            return refuse(out, "a value is not a number of 0..65535");
        if (i == 0)
            put(p, {uint8_t(v)});
        else
            put_be16(p, v);
    }
    out.payload = p;
}

void encode_get_arch_index(Stringify_dl_app& out, const Dl_request& req)
{
    if (!is_list(req.data) || req.data.toList().size() != 2)
        return refuse(out, "data is not [archive type, index]");
    const QVariantList items = req.data.toList();
    quint64 type = 0, index = 0;
    if (!read_uint(items[0], 0xFF, type))
        return refuse(out, "archive type is not a number of 0..255");
    // The index fills the upper 12 bits of its field.
    if (!read_uint(items[1], 0x0FFF, index))
        return refuse(out, "index is not a number of 0..4095");
    put(out.payload, {0xEF, 0x10, uint8_t(type)});
    put_be16(out.payload, index * 16);
}

void encode_display(Stringify_dl_app& out, const Dl_request& req)
{
    if (!has_data(req.data)) {
        put(out.payload, {0xEF, 0x11});
        return;
    }
    quint64 v = 0;
    if (!read_uint(req.data, 0xFFFFFFFF, v))
        return refuse(out, "partner is not an unsigned 32-bit number");
    const QString text = QStringLiteral("EF11%1[KEY%2]").arg(v, 8, 16, QLatin1Char('0')).arg(v).toUpper();
    // Anyone may ask for it, for thousands of modems a request.
    static log_limiter lim(QStringLiteral("display command"), LVL_EXC, 50, 1000);
    if (lim.pass(LVL_EXC)) LOG_EXC << text;
    out.payload = text.toLocal8Bit();
    out.payload_is_text = true;
    out.state = STATE_SEND;
}

// Appends the A-XDR form of an attribute value.
bool append_attribute_value(Stringify_dl_app& out, const QVariant& data)
{
    qint64 n = 0;
    bool integer = false;
    QString text;
    if (is_number(data) && data.userType() != QMetaType::Bool) {
        const double d = data.toDouble();
        if (!std::isfinite(d)) {
            refuse(out, "value is not a finite number");
            return false;
        }
        // A whole number too large for any integer form must not turn into its text.
        if (d == std::floor(d) && !read_int(data, n)) {
            refuse(out, "value does not fit a 32-bit number");
            return false;
        }
        integer = d == std::floor(d);
    } else if (!is_text(data) && data.userType() != QMetaType::Bool) {
        refuse(out, "value is neither a number nor text");
        return false;
    }
    if (!integer) {
        // Text that is exactly a decimal integer travels as a number.
        text = data.toString();
        static const QRegularExpression decimal(QStringLiteral("^(0|-?[1-9][0-9]*)$"));
        if (decimal.match(text).hasMatch()) {
            bool ok = false;
            n = text.toLongLong(&ok, 10);
            if (!ok) {
                refuse(out, "value does not fit a 32-bit number");
                return false;
            }
            integer = true;
        }
    }
    QByteArray& p = out.payload;
    if (integer) {
        if (n > qint64(0xFFFFFFFF) || n < qint64(std::numeric_limits<int32_t>::min())) {
            refuse(out, "value does not fit a 32-bit number");
            return false;
        }
        // Unsigned, long-unsigned, double-long-unsigned; integer, long, double-long.
        const quint64 bits = quint64(n);
        if (n >= 0 && n <= 0xFF) {
            put(p, {0x11, uint8_t(bits)});
        } else if (n >= 0 && n <= 0xFFFF) {
            put(p, {0x12});
            put_be16(p, bits);
        } else if (n >= 0) {
            put(p, {0x06});
            put_be32(p, bits);
        } else if (n >= -128) {
            put(p, {0x0F, uint8_t(bits)});
        } else if (n >= -32768) {
            put(p, {0x10});
            put_be16(p, bits);
        } else {
            put(p, {0x05});
            put_be32(p, bits);
        }
        return true;
    }
    const QByteArray bytes = text.toLocal8Bit();
    if (bytes.size() >= ATTRIBUTE_TEXT_LIMIT) {
        refuse(out, "text value is 120 bytes or longer");
        return false;
    }
    put(p, {0x09, uint8_t(bytes.size())});
    p.append(bytes);
    return true;
}

void encode_attribute_write(Stringify_dl_app& out, const Dl_request& req, const QStringList& rights, bool new_sw)
{
    static const QRegularExpression pattern(
        QStringLiteral("^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)_([0-9]+)$"));
    const QRegularExpressionMatch m = pattern.match(req.setting);
    if (!m.hasMatch() || !new_sw)
        return;
    quint64 v[7];
    for (int i = 0; i < 7; ++i)
        if (!read_uint(m.captured(i + 1), 255, v[i]))
            return refuse(out, "code or attribute number above 255");
    const OBIS code = obis_pack(unsigned(v[0]), unsigned(v[1]), unsigned(v[2]), unsigned(v[3]), unsigned(v[4]),
                                unsigned(v[5]));
    // The limiter and relay objects switch the supply.
    const bool supply = (code.C == 17 && code.D == 0) || (code.C == 96 && code.D == 3 && code.E == 10);
    if (!rights.contains(supply ? QStringLiteral("control") : QStringLiteral("settings")))
        return;
    uint8_t form[6];
    const int len = compact_form(form, code);
    if (len == 0)
        return refuse(out, "code has no compact form");
    QByteArray p;
    put(p, {0xED});
    p.append(reinterpret_cast<const char*>(form), len);
    put(p, {uint8_t(v[6])});
    out.payload = p;
    if (has_data(req.data))
        append_attribute_value(out, req.data);
}

} // namespace

bool parser_strova5::is_new_sw(uint32_t modem_id)
{
    const QVariantMap version = modem_settings(modem_id).value(QStringLiteral("version")).toMap();
    const QString sw = version.value(QStringLiteral("sw")).toString();
    QList<int> numbers;
    for (const QString& part : sw.split(QLatin1Char('.')))
        numbers.append(part.toInt(nullptr, 10));
    while (numbers.size() < 4)
        numbers.append(-1);
    const int n = numbers[2];
    return n > 1 ? n > 2 : true;
}

QString parser_strova5::relay_setting_value(const Rabbit_dl_status& status, const Dl_request& command)
{
    if (!status.success || command.setting != QLatin1String("96.3.10")) return QString();
    return relay_setting_value(status, command, is_new_sw(status.modem_id));
}

QString parser_strova5::relay_setting_value(const Rabbit_dl_status& status, const Dl_request& command, bool new_sw)
{
    if (!status.success || command.setting != QLatin1String("96.3.10") || new_sw)
        return QString();
    QList<int> numbers;
    for (const QString& part : command.data.toString().split(QLatin1Char(','))) {
        bool ok = false;
        const int n = part.toInt(&ok, 10);
        if (ok)
            numbers.append(n);
    }
    if (numbers.size() == 1)
        return QStringLiteral("[%1,%2,%3]").arg(2).arg(numbers[0]).arg(numbers[0] % 2);
    if (numbers.size() == 2)
        return QStringLiteral("[%1,%2,%3]").arg(numbers[0]).arg(numbers[1]).arg(numbers[1] % 2);
    return QString();
}

void parser_strova5::convert_relay_setting(const Rabbit_dl_status& status, const Dl_request& command)
{
    const QString value = relay_setting_value(status, command);
    if (!value.isEmpty())
        store_modem_setting(status.modem_id, QStringLiteral("96.3.10"), value);
}

Stringify_dl_app parser_strova5::stringify_dl_app(const Dl_request& req, const QStringList& rights)
{
    Stringify_dl_app out(req);
    out.payload.clear();
    out.cmd_id = 0;
    out.state = STATE_AWAIT;
    out.payload_is_text = false;

    const bool new_sw = is_new_sw(req.modem_id);
    const QString& s = req.setting;
    auto is = [&s](const char* name) { return s == QLatin1String(name); };
    auto may = [&rights](const char* right) { return rights.contains(QLatin1String(right)); };
    auto alias = [&](const QString& name, const QVariant& data) {
        return stringify_dl_app(Dl_request(req.modem_id, req.ts, name, data), rights);
    };

    if (is("0.8.4")) {
        if (new_sw && !has_data(req.data)) {
            out.state = STATE_DONE;
            // Only a meter the registry holds keeps the period: an address never heard must not
            // leave a record behind, nor a setting row.
            if (RAM_modems::instance && RAM_modems::instance->find_modem(req.modem_id))
                store_modem_setting(req.modem_id, QStringLiteral("0.8.4"), 60);
        } else if (new_sw) {
            return alias(QStringLiteral("1.0.0.8.4.255_2"), req.data);
        }
    } else if (is("13.0.0") && may("settings")) {
        if (!encode_tariff_program(out, req, rights)) {
            if (new_sw)
                put(out.payload, {0x51});
            else
                put(out.payload, {0xEF, 0x04});
        }
    } else if (is("1.0.0") && may("settings")) {
        out.payload = QByteArrayLiteral("F5[TIME]000000");
        out.payload_is_text = true;
        out.state = STATE_SEND;
    } else if (is("17.0.0") && may("settings")) {
        if (new_sw)
            return alias(QStringLiteral("0.0.17.0.0.255_3"), req.data);
        encode_limit_old(out, req);
    } else if (is("17.0.1") || is("17.0.2") || is("17.0.3") || is("17.0.4") || is("17.0.5")) {
        if (new_sw)
            return alias(QStringLiteral("0.0.17.0.%1.255_3").arg(s.right(1)), req.data);
    } else if (is("calibration") && may("special")) {
        put(out.payload, {0xEF, 0x09});
    } else if (is("94.7.0")) {
        put(out.payload, {0xEF, 0x0A});
    } else if (is("1.8.0")) {
        put(out.payload, {0xEF, 0x03});
    } else if (is("version")) {
        put(out.payload, {0xEF, 0x06});
    } else if (is("94.7.5") && may("settings")) {
        if (!new_sw)
            encode_sending_period(out, req);
    } else if (is("96.3.10") && may("control")) {
        encode_relay(out, req, rights, new_sw);
        if (new_sw)
            return out;
    } else if (is("arch_info")) {
        encode_archive_request(out, req, new_sw, 0x0F);
    } else if (is("arch_data")) {
        encode_archive_request(out, req, new_sw, 0x10);
    } else if ((is("DTI") || is("msg")) && may("special")) {
        encode_hex(out, req, -1);
    } else if (is("APDU") && may("special")) {
        encode_hex(out, req, 0xD2);
    } else if (is("HDLC") && may("special")) {
        encode_hex(out, req, 0xD3);
    } else if (is("event_filter") && may("settings")) {
        encode_event_filter(out, req, new_sw);
    } else if (is("sensors") && may("special")) {
        if (!new_sw)
            encode_sensors(out, req);
    } else if (is("fcfix") && may("special")) {
        encode_fcfix(out, req);
    } else if (is("resetADE") && (may("special") || may("_b_admin"))) {
        put(out.payload, {0xEF, 0x08});
    } else if (is("qualityU") && may("settings")) {
        if (!new_sw)
            encode_quality(out, req, 0x02);
    } else if (is("qualityF") && may("settings")) {
        if (!new_sw)
            encode_quality(out, req, 0x01);
    } else if (is("sec_send_to_display") && may("settings")) {
        if (new_sw)
            encode_display_period(out, req);
    } else if (is("pulse_output") && may("settings")) {
        if (new_sw)
            encode_pulse_output(out, req);
    } else if (is("hour_prf_need_ack") && may("settings")) {
        if (new_sw)
            encode_hour_ack(out, req);
    } else if (is("display_auto") && may("settings")) {
        if (new_sw)
            encode_display_auto(out, req);
    } else if (is("display_manual") && may("settings")) {
        if (new_sw)
            encode_display_manual(out, req);
    } else if (is("set_arch_index") && may("settings")) {
        if (new_sw)
            encode_set_arch_index(out, req);
    } else if (is("get_arch_index") && may("settings")) {
        if (new_sw)
            encode_get_arch_index(out, req);
    } else if (is("display")) {
        encode_display(out, req);
    } else {
        encode_attribute_write(out, req, rights, new_sw);
    }

    if (out.payload.isEmpty() && out.state == STATE_AWAIT)
        out.state = STATE_NOTHING;
    return out;
}
