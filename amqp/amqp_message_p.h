#pragma once

#include "amqp_message.h"

#include <QSharedData>

class AmqpMessagePrivate : public QSharedData
{
public:
    qlonglong deliveryTag = 0;
    bool redelivered = false;
    QString exchangeName;
    QString routingKey;
    QByteArray payload;
    AmqpMessage::PropertyHash properties;
    AmqpTable headers;
    // Body octets still expected while the message is assembled.
    qint64 leftSize = 0;
};
