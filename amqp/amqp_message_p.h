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
    // Which opening of its queue's channel delivered it: its tag means nothing on a later one.
    int channelGeneration = 0;
};
