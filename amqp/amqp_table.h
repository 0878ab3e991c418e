#pragma once
// Field tables: a QVariantHash with the wire encoding of AMQP field tables.

#include "amqp_global.h"

#include <QDataStream>
#include <QVariant>
#include <QVariantHash>

class AmqpTable : public QVariantHash
{
public:
    AmqpTable() = default;
    AmqpTable(const QVariantHash& other) : QVariantHash(other) {}

    // The value after its type octet. Reading checks every length against the bytes left and
    // marks the stream ReadCorruptData instead of reading past them.
    static QVariant readFieldValue(QDataStream& in, AmqpMetaType::ValueType type);
    static void writeFieldValue(QDataStream& out, AmqpMetaType::ValueType type, const QVariant& value);

    // Chooses the type from the value, then writes its octet and the value. A value of a type
    // that has no encoding writes nothing and yields false.
    static bool writeTypedFieldValue(QDataStream& out, const QVariant& value);
    // The type a value is written as; Invalid when it has none.
    static AmqpMetaType::ValueType typeForValue(const QVariant& value);
};

// Entries go out sorted by key, so that the same table always gives the same bytes.
QDataStream& operator<<(QDataStream& out, const AmqpTable& table);
QDataStream& operator>>(QDataStream& in, AmqpTable& table);

AmqpMetaType::ValueType valueTypeForOctet(qint8 octet);
qint8 valueTypeToOctet(AmqpMetaType::ValueType type);

Q_DECLARE_METATYPE(AmqpTable)
