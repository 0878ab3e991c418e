#pragma once
// An exchange channel: declares and deletes an exchange and publishes messages on it, with
// optional publisher confirms.

#include "amqp_channel.h"
#include "amqp_message.h"
#include "amqp_table.h"

class AmqpClient;
class AmqpExchangePrivate;

class AmqpExchange : public AmqpChannel
{
    Q_OBJECT
    Q_PROPERTY(QString type READ type)
    Q_PROPERTY(ExchangeOptions options READ options)

public:
    enum ExchangeType { Direct, FanOut, Topic, Headers };
    Q_ENUM(ExchangeType)
    enum ExchangeOption {
        NoOptions = 0,
        Passive = 1,
        Durable = 2,
        AutoDelete = 4,
        Internal = 8,
        NoWait = 16
    };
    Q_DECLARE_FLAGS(ExchangeOptions, ExchangeOption)
    Q_FLAG(ExchangeOptions)
    enum PublishOption { poNoOptions = 0, poMandatory = 1, poImmediate = 2 };

    ~AmqpExchange() override;

    QString type() const;
    ExchangeOptions options() const;
    bool isDeclared() const;

    // confirm.select; from then on published messages are numbered 1, 2, ...
    void enableConfirms(bool noWait = false);
    // The number of the last message publish() sent in confirm mode; 0 when it was not sent or
    // confirms are off. Numbers start again at 1 whenever the channel opens anew.
    qint64 lastDeliveryTag() const;
    // Runs a local event loop until the broker has acknowledged (or refused) every numbered
    // message or the time is up.
    bool waitForConfirms(int msecs = 30000);
    // Whether publish() waits up to the write time-out for its bytes to leave (the default).
    // Without the wait they leave from the event loop; the caller then bounds what it publishes.
    void setPublishWaits(bool wait);

Q_SIGNALS:
    void declared();
    void removed();
    void confirmsEnabled();
    void allMessagesDelivered();
    // basic.ack / basic.nack from the broker: the message numbered deliveryTag, or with
    // `multiple` every unconfirmed one up to it (0: all of them).
    void acknowledged(qint64 deliveryTag, bool multiple);
    void notAcknowledged(qint64 deliveryTag, bool multiple);

public Q_SLOTS:
    void declare(ExchangeType type = Direct, ExchangeOptions options = NoOptions,
                 const AmqpTable& args = AmqpTable());
    void declare(const QString& type, ExchangeOptions options = NoOptions,
                 const AmqpTable& args = AmqpTable());
    // The default 5: if-unused (bit 0) and bit 2, which AMQP leaves reserved.
    void remove(int options = 5);
    void publish(const QString& message, const QString& routingKey,
                 const AmqpMessage::PropertyHash& properties = AmqpMessage::PropertyHash(),
                 int publishOptions = 0);
    void publish(const QByteArray& message, const QString& routingKey, const QString& mimeType,
                 const AmqpMessage::PropertyHash& properties = AmqpMessage::PropertyHash(),
                 int publishOptions = 0);
    void publish(const QByteArray& message, const QString& routingKey, const QString& mimeType,
                 const AmqpTable& headers,
                 const AmqpMessage::PropertyHash& properties = AmqpMessage::PropertyHash(),
                 int publishOptions = 0);

protected:
    void channelOpened() override;
    void channelClosed() override;

private:
    AmqpExchange(int channelNumber, AmqpClient* client);
    Q_DISABLE_COPY(AmqpExchange)
    Q_DECLARE_PRIVATE(AmqpExchange)
    friend class AmqpClient;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(AmqpExchange::ExchangeOptions)
