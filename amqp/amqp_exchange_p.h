#pragma once

#include "amqp_channel_p.h"
#include "amqp_exchange.h"

#include <QVector>

class AmqpExchangePrivate : public AmqpChannelPrivate
{
public:
    explicit AmqpExchangePrivate(AmqpExchange* q);
    bool _q_method(const AmqpMethodFrame& frame) override;
    void resetInternalState() override;
    void _q_disconnected() override;

    void declare();
    void confirm(const AmqpMethodFrame& frame, bool ack);
    void basicReturn(const AmqpMethodFrame& frame);

    QString type;
    int options = 0;
    bool delayedDeclare = false;
    bool declared = false;
    qint64 nextDeliveryTag = 0;
    qint64 lastDeliveryTag = 0;
    bool publishWaits = true;
    QVector<qint64> unconfirmedDeliveryTags;

    // What to set up again when the channel comes back after the broker closed it.
    bool declareRequested = false;
    bool confirmsRequested = false;
    bool confirmsNoWait = false;

    Q_DECLARE_PUBLIC(AmqpExchange)
};
