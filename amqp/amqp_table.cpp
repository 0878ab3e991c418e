#include "amqp_table.h"
#include "amqp_frame.h"
#include "amqp_wire_p.h"

#include <QDateTime>
#include <QStringList>
#include <cfloat>
#include <cstring>
#include <limits>

namespace {

const char* const writeValueSignature =
    "static void AmqpTable::writeFieldValue(QDataStream&, AmqpMetaType::ValueType, const QVariant&)";
const char* const readValueSignature =
    "static QVariant AmqpTable::readFieldValue(QDataStream&, AmqpMetaType::ValueType)";
const char* const typedValueSignature =
    "static bool AmqpTable::writeTypedFieldValue(QDataStream&, const QVariant&)";

struct OctetSlot
{
    char octet;
    AmqpMetaType::ValueType type;
};
const OctetSlot octetSlots[] = {
    {'t', AmqpMetaType::Boolean}, {'b', AmqpMetaType::ShortShortInt}, {'s', AmqpMetaType::ShortInt},
    {'I', AmqpMetaType::LongInt}, {'l', AmqpMetaType::LongLongInt},   {'f', AmqpMetaType::Float},
    {'d', AmqpMetaType::Double},  {'D', AmqpMetaType::Decimal},       {'S', AmqpMetaType::LongString},
    {'A', AmqpMetaType::Array},   {'T', AmqpMetaType::Timestamp},     {'F', AmqpMetaType::Hash},
    {'x', AmqpMetaType::Bytes},   {'V', AmqpMetaType::Void},
};

// Writes a length-prefixed block (table or array body).
void writeBlock(QDataStream& out, const QByteArray& block)
{
    out << quint32(block.size());
    out.writeRawData(block.constData(), block.size());
}

// Reads one type octet and its value from `in`; false (after a log line) when the octet is
// unknown, so that the caller stops decoding the block it is in.
bool readTypedValue(QDataStream& in, QVariant* value)
{
    qint8 octet = 0;
    in >> octet;
    if (in.status() != QDataStream::Ok) return false;
    const AmqpMetaType::ValueType type = valueTypeForOctet(octet);
    if (type == AmqpMetaType::Invalid) return false;
    *value = AmqpTable::readFieldValue(in, type);
    return in.status() == QDataStream::Ok;
}

} // namespace

AmqpMetaType::ValueType valueTypeForOctet(qint8 octet)
{
    for (const OctetSlot& s : octetSlots)
        if (s.octet == octet) return s.type;
    AMQP::log(AMQP::LogDebug,
              QStringLiteral("AmqpMetaType::ValueType valueTypeForOctet(qint8) invalid octet received: %1")
                  .arg(QChar::fromLatin1(char(octet))));
    return AmqpMetaType::Invalid;
}

qint8 valueTypeToOctet(AmqpMetaType::ValueType type)
{
    for (const OctetSlot& s : octetSlots)
        if (s.type == type) return s.octet;
    AMQP::log(AMQP::LogDebug,
              QStringLiteral("qint8 valueTypeToOctet(AmqpMetaType::ValueType) invalid type received: %1")
                  .arg(int(type)));
    return 'V';
}

AmqpMetaType::ValueType AmqpTable::typeForValue(const QVariant& value)
{
    const int t = value.userType();
    if (t == qMetaTypeId<AMQP::Decimal>()) return AmqpMetaType::Decimal;
    switch (t) {
    case QMetaType::UnknownType:
    case QMetaType::Void:
        return AmqpMetaType::Void;
    case QMetaType::Bool:
        return AmqpMetaType::Boolean;
    case QMetaType::Int: {
        const qint64 v = value.toInt();
        const qint64 magnitude = qMax(v, -v);
        return magnitude < 128     ? AmqpMetaType::ShortShortInt
               : magnitude < 32768 ? AmqpMetaType::ShortInt
                                   : AmqpMetaType::LongInt;
    }
    case QMetaType::UInt: {
        // There are no unsigned table types: from 2^31 on only the 64-bit signed type holds the value.
        const quint32 v = value.toUInt();
        return v <= 127          ? AmqpMetaType::ShortShortInt
               : v < 32768       ? AmqpMetaType::ShortInt
               : v < 0x80000000u ? AmqpMetaType::LongInt
                                 : AmqpMetaType::LongLongInt;
    }
    case QMetaType::UShort:
        return value.toUInt() < 32768 ? AmqpMetaType::ShortInt : AmqpMetaType::LongInt;
    case QMetaType::LongLong:
        return AmqpMetaType::LongLongInt;
    case QMetaType::ULongLong:
        return value.toULongLong() <= quint64(std::numeric_limits<qint64>::max()) ? AmqpMetaType::LongLongInt
                                                                                  : AmqpMetaType::Invalid;
    case QMetaType::Double:
        return value.toDouble() > double(FLT_MAX) ? AmqpMetaType::Double : AmqpMetaType::Float;
    case QMetaType::QVariantList:
        return AmqpMetaType::Array;
    case QMetaType::QString:
        return AmqpMetaType::LongString;
    case QMetaType::QByteArray:
        return AmqpMetaType::Bytes;
    case QMetaType::QDateTime:
        return AmqpMetaType::Timestamp;
    case QMetaType::QVariantHash:
        return AmqpMetaType::Hash;
    }
    return AmqpMetaType::Invalid;
}

bool AmqpTable::writeTypedFieldValue(QDataStream& out, const QVariant& value)
{
    const AmqpMetaType::ValueType type = typeForValue(value);
    if (type == AmqpMetaType::Invalid) {
        AMQP::log(AMQP::LogDebug,
                  QStringLiteral("%1 no field type for a value of type %2; left out")
                      .arg(QLatin1String(typedValueSignature), QLatin1String(value.typeName())));
        return false;
    }
    out << valueTypeToOctet(type);
    writeFieldValue(out, type, value);
    return true;
}

void AmqpTable::writeFieldValue(QDataStream& out, AmqpMetaType::ValueType type, const QVariant& value)
{
    switch (type) {
    case AmqpMetaType::ShortShortInt:
        out << qint8(value.toInt());
        return;
    case AmqpMetaType::ShortInt:
        out << qint16(value.toInt());
        return;
    case AmqpMetaType::LongInt:
        out << qint32(value.toInt());
        return;
    case AmqpMetaType::LongLongInt:
        out << qint64(value.toLongLong());
        return;
    case AmqpMetaType::Float: {
        const float f = value.toFloat();
        quint32 bits;
        memcpy(&bits, &f, sizeof bits);
        out << bits;
        return;
    }
    case AmqpMetaType::Double: {
        const double d = value.toDouble();
        quint64 bits;
        memcpy(&bits, &d, sizeof bits);
        out << bits;
        return;
    }
    case AmqpMetaType::Decimal: {
        const AMQP::Decimal dec = value.value<AMQP::Decimal>();
        out << dec.scale << dec.value;
        return;
    }
    case AmqpMetaType::Array: {
        QByteArray block;
        QDataStream items(&block, QIODevice::WriteOnly);
        for (const QVariant& item : value.toList())
            writeTypedFieldValue(items, item);
        writeBlock(out, block);
        return;
    }
    case AmqpMetaType::Bytes: {
        const QByteArray bytes = value.toByteArray();
        writeBlock(out, bytes);
        return;
    }
    case AmqpMetaType::Void:
        return;
    case AmqpMetaType::Boolean:
    case AmqpMetaType::ShortUint:
    case AmqpMetaType::LongUint:
    case AmqpMetaType::LongLongUint:
    case AmqpMetaType::ShortString:
    case AmqpMetaType::LongString:
    case AmqpMetaType::ShortShortUint:
    case AmqpMetaType::Timestamp:
    case AmqpMetaType::Hash:
        AmqpFrame::writeAmqpField(out, type, value);
        return;
    case AmqpMetaType::Invalid:
        break;
    }
    AMQP::log(AMQP::LogDebug,
              QStringLiteral("%1 unhandled type: %2").arg(QLatin1String(writeValueSignature)).arg(int(type)));
}

QVariant AmqpTable::readFieldValue(QDataStream& in, AmqpMetaType::ValueType type)
{
    switch (type) {
    case AmqpMetaType::ShortShortInt: {
        qint8 v = 0;
        in >> v;
        return int(v);
    }
    case AmqpMetaType::ShortInt: {
        qint16 v = 0;
        in >> v;
        return int(v);
    }
    case AmqpMetaType::LongInt: {
        qint32 v = 0;
        in >> v;
        return int(v);
    }
    case AmqpMetaType::LongLongInt: {
        qint64 v = 0;
        in >> v;
        return qlonglong(v);
    }
    case AmqpMetaType::Float: {
        quint32 bits = 0;
        in >> bits;
        float f;
        memcpy(&f, &bits, sizeof f);
        return f;
    }
    case AmqpMetaType::Double: {
        quint64 bits = 0;
        in >> bits;
        double d;
        memcpy(&d, &bits, sizeof d);
        return d;
    }
    case AmqpMetaType::Decimal: {
        AMQP::Decimal dec;
        in >> dec.scale >> dec.value;
        return QVariant::fromValue(dec);
    }
    case AmqpMetaType::Array: {
        AmqpWire::NestingGuard nesting;
        quint32 length = 0;
        in >> length;
        QByteArray block;
        if (in.status() != QDataStream::Ok || nesting.tooDeep()) {
            AmqpWire::corrupt(in);
            return QVariantList();
        }
        if (!AmqpWire::takeBytes(in, length, &block)) return QVariantList();
        QVariantList list;
        QDataStream items(block);
        while (!items.atEnd()) {
            QVariant item;
            if (!readTypedValue(items, &item)) break;
            list.append(item);
        }
        if (items.status() != QDataStream::Ok) AmqpWire::corrupt(in);
        return list;
    }
    case AmqpMetaType::Bytes: {
        quint32 length = 0;
        in >> length;
        QByteArray bytes;
        if (in.status() == QDataStream::Ok) AmqpWire::takeBytes(in, length, &bytes);
        return bytes;
    }
    case AmqpMetaType::Void:
        return QVariant();
    case AmqpMetaType::Boolean:
    case AmqpMetaType::ShortUint:
    case AmqpMetaType::LongUint:
    case AmqpMetaType::LongLongUint:
    case AmqpMetaType::ShortString:
    case AmqpMetaType::LongString:
    case AmqpMetaType::ShortShortUint:
    case AmqpMetaType::Timestamp:
    case AmqpMetaType::Hash:
        return AmqpFrame::readAmqpField(in, type);
    case AmqpMetaType::Invalid:
        break;
    }
    AMQP::log(AMQP::LogDebug,
              QStringLiteral("%1 unhandled type: %2").arg(QLatin1String(readValueSignature)).arg(int(type)));
    return QVariant();
}

QDataStream& operator<<(QDataStream& out, const AmqpTable& table)
{
    QStringList keys = table.keys();
    keys.sort();
    QByteArray block;
    QDataStream entries(&block, QIODevice::WriteOnly);
    for (const QString& key : keys) {
        // Each entry is built apart: one that cannot be written is left out whole, key included,
        // and the table stays readable.
        QByteArray entry;
        QDataStream es(&entry, QIODevice::WriteOnly);
        AmqpFrame::writeAmqpField(es, AmqpMetaType::ShortString, key);
        if (es.status() != QDataStream::Ok || !AmqpTable::writeTypedFieldValue(es, table.value(key)) ||
            es.status() != QDataStream::Ok) {
            AMQP::log(AMQP::LogDebug, QStringLiteral("AmqpTable: entry \"%1\" left out").arg(key.left(40)));
            continue;
        }
        entries.writeRawData(entry.constData(), entry.size());
    }
    writeBlock(out, block);
    return out;
}

QDataStream& operator>>(QDataStream& in, AmqpTable& table)
{
    AmqpWire::NestingGuard nesting;
    quint32 length = 0;
    in >> length;
    if (in.status() != QDataStream::Ok) return in;
    if (nesting.tooDeep()) {
        AmqpWire::corrupt(in);
        return in;
    }
    QByteArray block;
    if (!AmqpWire::takeBytes(in, length, &block)) return in;
    QDataStream entries(block);
    while (!entries.atEnd()) {
        const QString key = AmqpFrame::readAmqpField(entries, AmqpMetaType::ShortString).toString();
        if (entries.status() != QDataStream::Ok) break;
        QVariant value;
        const bool known = readTypedValue(entries, &value);
        if (entries.status() != QDataStream::Ok) break;
        // The last of equal keys wins; an unknown type ends the table (its length is known, so
        // the bytes after it are skipped, not misread as entries).
        table.insert(key, value);
        if (!known) break;
    }
    if (entries.status() != QDataStream::Ok) AmqpWire::corrupt(in);
    return in;
}
