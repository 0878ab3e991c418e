#pragma once
// A queue channel: declares, binds and deletes a queue, consumes it, and assembles each delivered
// message, which it appends to itself before it emits messageReceived().

#include "amqp_channel.h"
#include "amqp_message.h"
#include "amqp_table.h"

#include <QQueue>

class AmqpClient;
class AmqpExchange;
class AmqpQueuePrivate;

class AmqpQueue : public AmqpChannel, public QQueue<AmqpMessage>
{
    Q_OBJECT
    Q_PROPERTY(int options READ options)
    Q_PROPERTY(QString consumerTag READ consumerTag WRITE setConsumerTag)

public:
    enum QueueOption { NoOptions = 0, Passive = 1, Durable = 2, Exclusive = 4, AutoDelete = 8, NoWait = 16 };
    Q_DECLARE_FLAGS(QueueOptions, QueueOption)
    Q_FLAG(QueueOptions)
    enum ConsumeOption { coNoLocal = 1, coNoAck = 2, coExclusive = 4, coNoWait = 8 };
    Q_ENUM(ConsumeOption)
    enum RemoveOption { roForce = 0, roIfUnused = 1, roIfEmpty = 2, roNoWait = 4 };
    Q_ENUM(RemoveOption)

    ~AmqpQueue() override;

    int options() const;
    QString consumerTag() const;
    void setConsumerTag(const QString& consumerTag);
    bool isConsuming() const;
    bool isDeclared() const;

Q_SIGNALS:
    // On every declare-ok, also when the channel comes back after the broker closed it (the queue
    // then restores qos, declaration and consumer by itself): connect set-up slots only once.
    void declared();
    void bound();
    void unbound();
    void removed();
    void purged(int messageCount);
    void messageReceived();
    void empty();
    void consuming(const QString& consumerTag);
    void cancelled(const QString& consumerTag);
    // The broker ended the consumer by itself (its queue was deleted, or its node went): no
    // deliveries come until the owner consumes again, on a queue that exists.
    void cancelledByBroker(const QString& consumerTag);

public Q_SLOTS:
    void declare(int options = Durable | AutoDelete, const AmqpTable& arguments = AmqpTable());
    void bind(const QString& exchangeName, const QString& key);
    void bind(AmqpExchange* exchange, const QString& key);
    void unbind(const QString& exchangeName, const QString& key);
    void unbind(AmqpExchange* exchange, const QString& key);
    void purge();
    void remove(int options = roIfUnused | roIfEmpty | roNoWait);
    bool consume(int options = 0);
    void get(bool noAck = true);
    bool cancel(bool noWait = false);
    void ack(const AmqpMessage& message);
    void ack(qlonglong deliveryTag, bool multiple);
    void reject(const AmqpMessage& message, bool requeue);
    void reject(qlonglong deliveryTag, bool requeue);

protected:
    void channelOpened() override;
    void channelClosed() override;

private:
    AmqpQueue(int channelNumber, AmqpClient* client);
    Q_DISABLE_COPY(AmqpQueue)
    Q_DECLARE_PRIVATE(AmqpQueue)
    friend class AmqpClient;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(AmqpQueue::QueueOptions)
