#include "amqp_message.h"
#include "amqp_message_p.h"

AmqpMessage::AmqpMessage() : d(new AmqpMessagePrivate) {}

AmqpMessage::AmqpMessage(const AmqpMessage& other) = default;

AmqpMessage& AmqpMessage::operator=(const AmqpMessage& other) = default;

AmqpMessage::~AmqpMessage() = default;

bool AmqpMessage::operator==(const AmqpMessage& other) const
{
    if (d == other.d) return true;
    return d->deliveryTag == other.d->deliveryTag && d->redelivered == other.d->redelivered &&
           d->exchangeName == other.d->exchangeName && d->routingKey == other.d->routingKey &&
           d->payload == other.d->payload && d->properties == other.d->properties &&
           d->headers == other.d->headers && d->leftSize == other.d->leftSize;
}

bool AmqpMessage::isValid() const
{
    return d->deliveryTag != 0 && !d->exchangeName.isNull() && !d->routingKey.isNull();
}

qlonglong AmqpMessage::deliveryTag() const
{
    return d->deliveryTag;
}

bool AmqpMessage::isRedelivered() const
{
    return d->redelivered;
}

QString AmqpMessage::exchangeName() const
{
    return d->exchangeName;
}

QString AmqpMessage::routingKey() const
{
    return d->routingKey;
}

QByteArray AmqpMessage::payload() const
{
    return d->payload;
}

bool AmqpMessage::hasProperty(Property property) const
{
    return d->properties.contains(property);
}

QVariant AmqpMessage::property(Property property, const QVariant& defaultValue) const
{
    return d->properties.value(property, defaultValue);
}

void AmqpMessage::setProperty(Property property, const QVariant& value)
{
    d.detach();
    d->properties.insert(property, value);
}

AmqpMessage::PropertyHash AmqpMessage::properties() const
{
    return d->properties;
}

bool AmqpMessage::hasHeader(const QString& name) const
{
    return d->headers.contains(name);
}

QVariant AmqpMessage::header(const QString& name, const QVariant& defaultValue) const
{
    return d->headers.value(name, defaultValue);
}

AmqpTable AmqpMessage::headers() const
{
    return d->headers;
}

void AmqpMessage::setHeader(const QString& name, const QVariant& value)
{
    d.detach();
    d->headers.insert(name, value);
}

uint qHash(const AmqpMessage& message, uint)
{
    const AmqpMessagePrivate* d = message.d.data();
    return qHash(d->deliveryTag, 0) ^ qHash(d->redelivered, 0) ^ qHash(d->exchangeName, 0) ^
           qHash(d->routingKey, 0) ^ qHash(d->payload, 0);
}
