#pragma once

#include "amqp_channel_p.h"
#include "amqp_message.h"
#include "amqp_queue.h"

#include <QPair>
#include <QQueue>

class AmqpQueuePrivate : public AmqpChannelPrivate,
                         public AmqpContentFrameHandler,
                         public AmqpContentBodyFrameHandler
{
public:
    explicit AmqpQueuePrivate(AmqpQueue* q);
    ~AmqpQueuePrivate() override;
    bool _q_method(const AmqpMethodFrame& frame) override;
    void resetInternalState() override;
    void _q_content(const AmqpContentFrame& frame) override;
    void _q_body(const AmqpContentBodyFrame& frame) override;

    void init(int channel, AmqpClient* client);
    void declare();
    void sendBind(const QString& exchangeName, const QString& key);
    bool consume(int options);
    void newMessage(QDataStream& in);
    void deliverMessage();

    int options = 0;
    bool delayedDeclare = false;
    bool declared = false;
    QQueue<QPair<QString, QString>> delayedBindings;
    QString consumerTag;
    AmqpMessage currentMessage;
    bool consuming = false;
    bool consumeRequested = false;
    bool cancelRequested = false; // basic.cancel sent, cancel-ok not yet received

    bool assembling = false; // a deliver or get-ok announced content that has not all come
    // What to set up again when the channel comes back after the broker closed it.
    bool declareRequested = false;
    bool consumeWanted = false;
    int consumeOptions = 0;

    Q_DECLARE_PUBLIC(AmqpQueue)
};
