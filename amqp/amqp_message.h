#pragma once
// A message as the broker delivers it, and the basic content properties it travels with.

#include "amqp_global.h"
#include "amqp_table.h"

#include <QByteArray>
#include <QExplicitlySharedDataPointer>
#include <QHash>
#include <QString>
#include <QVariant>

class AmqpMessagePrivate;

class AmqpMessage
{
public:
    // Basic content properties, keyed by their bit in the property-flags word.
    enum Property {
        ContentType = 0x8000,
        ContentEncoding = 0x4000,
        Headers = 0x2000,
        DeliveryMode = 0x1000,
        Priority = 0x0800,
        CorrelationId = 0x0400,
        ReplyTo = 0x0200,
        Expiration = 0x0100,
        MessageId = 0x0080,
        Timestamp = 0x0040,
        Type = 0x0020,
        UserId = 0x0010,
        AppId = 0x0008,
        ClusterId = 0x0004
    };
    typedef QHash<int, QVariant> PropertyHash;

    AmqpMessage();
    AmqpMessage(const AmqpMessage& other);
    AmqpMessage& operator=(const AmqpMessage& other);
    ~AmqpMessage();

    bool operator==(const AmqpMessage& other) const;
    bool operator!=(const AmqpMessage& other) const { return !(*this == other); }

    // A delivered message: it has a delivery tag and its exchange and routing key were given.
    bool isValid() const;

    qlonglong deliveryTag() const;
    bool isRedelivered() const;
    QString exchangeName() const;
    QString routingKey() const;
    QByteArray payload() const;

    bool hasProperty(Property property) const;
    QVariant property(Property property, const QVariant& defaultValue = QVariant()) const;
    void setProperty(Property property, const QVariant& value);
    PropertyHash properties() const;

    bool hasHeader(const QString& name) const;
    QVariant header(const QString& name, const QVariant& defaultValue = QVariant()) const;
    AmqpTable headers() const;
    void setHeader(const QString& name, const QVariant& value);

private:
    friend class AmqpQueue;
    friend class AmqpQueuePrivate;
    friend uint qHash(const AmqpMessage& message, uint seed);
    QExplicitlySharedDataPointer<AmqpMessagePrivate> d;
};

uint qHash(const AmqpMessage& message, uint seed = 0);

Q_DECLARE_METATYPE(AmqpMessage)
Q_DECLARE_METATYPE(AmqpMessage::PropertyHash)
