#include "parser_strova5.h"

#include <QStringList>

OBIS obis_pack(unsigned a, unsigned b, unsigned c, unsigned d, unsigned e, unsigned f)
{
    OBIS o;
    o.A = uint8_t(a);
    o.B = uint8_t(b);
    o.C = uint8_t(c);
    o.D = uint8_t(d);
    o.E = uint8_t(e);
    o.F = uint8_t(f);
    return o;
}

OBIS obis_make_cde(unsigned c, unsigned d, unsigned e)
{
    return obis_pack(0, 0, c, d, e, 255);
}

int obis_compact_decode(const uint8_t* p, int remaining, OBIS& out)
{
    if (remaining < 1)
        return 0;
    if (p[0] & 0x80) {
        if (remaining < 2)
            return 0;
        out = obis_pack((p[1] >> 3) & 1, 0, p[0] & 0x7F, p[1] >> 4, p[1] & 7, 255);
        return 2;
    }
    if ((p[0] & 0xC0) == 0x40) {
        if (remaining < 4)
            return 0;
        out = obis_pack((p[0] >> 3) & 7, p[0] & 7, p[1], p[2], p[3], 255);
        return 4;
    }
    if (remaining < 6)
        return 0;
    out = obis_pack(p[0], p[1], p[2], p[3], p[4], p[5]);
    return 6;
}

int obis_compact_encode(uint8_t* out, const OBIS& o)
{
    uint8_t two[2] = {uint8_t(0x80 | (o.C & 0x7F)), uint8_t(((o.D & 0x0F) << 4) | ((o.A & 1) << 3) | (o.E & 7))};
    OBIS back;
    if (obis_compact_decode(two, 2, back) == 2 && back == o) {
        out[0] = two[0];
        out[1] = two[1];
        return 2;
    }
    uint8_t four[4] = {uint8_t(0x40 | ((o.A & 7) << 3) | (o.B & 7)), o.C, o.D, o.E};
    if (obis_compact_decode(four, 4, back) == 4 && back == o) {
        for (int i = 0; i < 4; ++i)
            out[i] = four[i];
        return 4;
    }
    const uint8_t six[6] = {o.A, o.B, o.C, o.D, o.E, o.F};
    for (int i = 0; i < 6; ++i)
        out[i] = six[i];
    return 6;
}

uint32_t clamp_device_time(uint32_t t, uint32_t ref, bool& rejected)
{
    // Unsigned 32-bit arithmetic on purpose: the bounds wrap exactly as the meters expect.
    rejected = uint32_t(ref + 86400u) < t || t < uint32_t(ref - 63244800u);
    return rejected ? ref : t;
}

uint32_t clamp_device_time(uint32_t t, uint32_t ref)
{
    bool rejected = false;
    return clamp_device_time(t, ref, rejected);
}

uint32_t archive_kind_from_code(uint32_t code, uint32_t t)
{
    switch (code) {
    case 12: case 72: return 12;
    case 13: case 70: return 13;
    case 14: case 68: return 14;
    case 15: case 50: case 66: case 67: return 15;
    case 16: case 74: return 16;
    case 49: return t % 86400 == 0 ? 14 : 254;
    default: return 254;
    }
}

QString obis_to_string(const OBIS& o)
{
    return QStringLiteral("%1.%2.%3.%4.%5.%6").arg(o.A).arg(o.B).arg(o.C).arg(o.D).arg(o.E).arg(o.F);
}

QString obis_to_string(const OBIS& o, int attribute)
{
    return QStringLiteral("%1.%2.%3.%4.%5.%6_%7").arg(o.A).arg(o.B).arg(o.C).arg(o.D).arg(o.E).arg(o.F).arg(attribute);
}

QString obis_to_cde(const OBIS& o)
{
    return QStringLiteral("%1.%2.%3").arg(o.C).arg(o.D).arg(o.E);
}

QString obis_to_column(const OBIS& o)
{
    return QStringLiteral("OBIS_%1_%2_%3").arg(o.C).arg(o.D).arg(o.E);
}

QString obis_to_hex(const OBIS& o)
{
    const char bytes[6] = {char(o.A), char(o.B), char(o.C), char(o.D), char(o.E), char(o.F)};
    return QString::fromLatin1(QByteArray(bytes, 6).toHex().toUpper());
}

bool obis_from_string(const QString& text, OBIS& out, int* attribute)
{
    QString body = text;
    int attr = -1;
    const int us = text.indexOf(QLatin1Char('_'));
    if (us >= 0) {
        bool ok = false;
        attr = text.mid(us + 1).toInt(&ok);
        if (!ok || attr < 0)
            return false;
        body = text.left(us);
    }
    const QStringList parts = body.split(QLatin1Char('.'));
    if (parts.size() != 6)
        return false;
    unsigned v[6];
    for (int i = 0; i < 6; ++i) {
        bool ok = false;
        v[i] = parts[i].toUInt(&ok);
        if (!ok || v[i] > 255)
            return false;
    }
    out = obis_pack(v[0], v[1], v[2], v[3], v[4], v[5]);
    if (attribute)
        *attribute = attr;
    return true;
}

bool obis_from_hex(const QString& hex, OBIS& out)
{
    if (hex.size() != 12)
        return false;
    for (QChar c : hex) {
        // By code point: a non-ASCII letter must not reach the C character tables.
        const ushort u = c.unicode();
        if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F')))
            return false;
    }
    const QByteArray b = QByteArray::fromHex(hex.toLatin1());
    out = obis_pack(uint8_t(b[0]), uint8_t(b[1]), uint8_t(b[2]), uint8_t(b[3]), uint8_t(b[4]), uint8_t(b[5]));
    return true;
}
