#include "amqp_queue.h"
#include "amqp_client_p.h"
#include "amqp_exchange.h"
#include "amqp_message_p.h"
#include "amqp_queue_p.h"

namespace {

// Names of a delivered message are never null: an empty exchange name is the default exchange.
QString readName(QDataStream& in)
{
    QString s = AmqpFrame::readAmqpField(in, AmqpMetaType::ShortString).toString();
    return s.isNull() ? QLatin1String("") : s;
}

// The largest body a QByteArray holds comfortably.
const qint64 maxBodySize = 0x7FFFFF00;

} // namespace

// ---------------------------------------------------------------------------------------------
// AmqpQueuePrivate

AmqpQueuePrivate::AmqpQueuePrivate(AmqpQueue* q) : AmqpChannelPrivate(q) {}

AmqpQueuePrivate::~AmqpQueuePrivate()
{
    if (AmqpClientPrivate* cd = clientPrivate()) {
        cd->contentHandlersByChannel[channelNumber].removeAll(this);
        cd->bodyHandlersByChannel[channelNumber].removeAll(this);
    }
}

void AmqpQueuePrivate::init(int channel, AmqpClient* c)
{
    AmqpChannelPrivate::init(channel, c);
    AmqpClientPrivate* cd = clientPrivate();
    cd->contentHandlersByChannel[channelNumber].append(this);
    cd->bodyHandlersByChannel[channelNumber].append(this);
}

void AmqpQueuePrivate::declare()
{
    declareRequested = true;
    if (!opened) {
        delayedDeclare = true;
        return;
    }
    delayedDeclare = false;
    AmqpMethodWriter method(50, 10, channelNumber);
    method.shortUint(0).shortString(name).octet(quint8(options)).table(arguments);
    sendMethod(method);
}

void AmqpQueuePrivate::sendBind(const QString& exchangeName, const QString& key)
{
    AmqpMethodWriter method(50, 20, channelNumber);
    method.shortUint(0)
        .shortString(name)
        .shortString(exchangeName)
        .shortString(key)
        .octet(0)
        .table(AmqpTable());
    sendMethod(method);
}

bool AmqpQueuePrivate::consume(int consumeOptionsWanted)
{
    if (!opened || consuming || consumeRequested) return false;
    AmqpMethodWriter method(60, 20, channelNumber);
    method.shortUint(0)
        .shortString(name)
        .shortString(consumerTag)
        .octet(quint8(consumeOptionsWanted))
        .table(AmqpTable());
    if (!sendMethod(method)) return false;
    consumeRequested = true;
    consumeWanted = true;
    consumeOptions = consumeOptionsWanted;
    return true;
}

bool AmqpQueuePrivate::_q_method(const AmqpMethodFrame& frame)
{
    Q_Q(AmqpQueue);
    if (AmqpChannelPrivate::_q_method(frame)) return true;
    QDataStream in(frame.arguments());
    if (frame.classId() == 50) {
        switch (frame.methodId()) {
        case 11: // declare-ok: the broker's name, then two counts not kept
            declared = true;
            name = AmqpFrame::readAmqpField(in, AmqpMetaType::ShortString).toString();
            emit q->declared();
            return true;
        case 21:
            emit q->bound();
            return true;
        case 31:
            emit q->purged(int(AmqpFrame::readAmqpField(in, AmqpMetaType::LongUint).toUInt()));
            return true;
        case 41:
            declared = false;
            emit q->removed();
            return true;
        case 51:
            emit q->unbound();
            return true;
        }
        return false;
    }
    if (frame.classId() == 60) {
        switch (frame.methodId()) {
        case 21:
            consumerTag = AmqpFrame::readAmqpField(in, AmqpMetaType::ShortString).toString();
            consuming = true;
            consumeRequested = false;
            emit q->consuming(consumerTag);
            return true;
        case 30: {
            const QString tag = AmqpFrame::readAmqpField(in, AmqpMetaType::ShortString).toString();
            const bool noWait = AmqpFrame::readAmqpField(in, AmqpMetaType::Boolean).toBool();
            if (!noWait) {
                AmqpMethodWriter ok(60, 31, channelNumber);
                ok.shortString(tag);
                sendMethod(ok);
            }
            if (tag == consumerTag && (consuming || consumeRequested)) {
                consumerTag = QString();
                consuming = false;
                consumeRequested = false;
                cancelRequested = false;
                // Reopening the channel must not consume a queue that may be gone.
                consumeWanted = false;
                AMQP::log(AMQP::LogException,
                          QStringLiteral("%1: consumer \"%2\" cancelled by the broker").arg(label(), tag));
                emit q->cancelledByBroker(tag);
            }
            return true;
        }
        case 31: {
            const QString tag = AmqpFrame::readAmqpField(in, AmqpMetaType::ShortString).toString();
            if (tag == consumerTag) {
                consumerTag = QString();
                consuming = false;
                consumeRequested = false;
                cancelRequested = false;
                emit q->cancelled(tag);
            }
            return true;
        }
        case 60:
            if (AmqpFrame::readAmqpField(in, AmqpMetaType::ShortString).toString() == consumerTag)
                newMessage(in);
            return true;
        case 71:
            newMessage(in);
            return true;
        case 72:
            emit q->empty();
            return true;
        }
    }
    return false;
}

void AmqpQueuePrivate::newMessage(QDataStream& in)
{
    AmqpMessage message;
    AmqpMessagePrivate* m = message.d.data();
    m->deliveryTag = qlonglong(AmqpFrame::readAmqpField(in, AmqpMetaType::LongLongUint).toULongLong());
    m->redelivered = AmqpFrame::readAmqpField(in, AmqpMetaType::Boolean).toBool();
    m->exchangeName = readName(in);
    m->routingKey = readName(in);
    m->channelGeneration = openings;
    currentMessage = message;
    assembling = true;
}

void AmqpQueuePrivate::_q_content(const AmqpContentFrame& frame)
{
    if (!assembling || frame.channel() != channelNumber) return;
    AmqpMessagePrivate* m = currentMessage.d.data();
    if (frame.bodySize() > maxBodySize) {
        AMQP::log(AMQP::LogException, QStringLiteral("%1: a message of %2 bytes is too large; dropped")
                                          .arg(label())
                                          .arg(frame.bodySize()));
        assembling = false;
        return;
    }
    m->leftSize = frame.bodySize();
    const AmqpMessage::PropertyHash properties = frame.properties();
    for (auto it = properties.constBegin(); it != properties.constEnd(); ++it)
        m->properties.insert(it.key(), it.value());
    if (properties.contains(AmqpMessage::Headers))
        m->headers = AmqpTable(properties.value(AmqpMessage::Headers).toHash());
    if (m->leftSize == 0) deliverMessage();
}

void AmqpQueuePrivate::_q_body(const AmqpContentBodyFrame& frame)
{
    if (!assembling || frame.channel() != channelNumber) return;
    AmqpMessagePrivate* m = currentMessage.d.data();
    const QByteArray bytes = frame.body();
    if (bytes.size() > m->leftSize) {
        AMQP::log(AMQP::LogException,
                  QStringLiteral("%1: message body longer than its header announced; dropped").arg(label()));
        assembling = false;
        return;
    }
    m->payload.append(bytes);
    m->leftSize -= bytes.size();
    if (m->leftSize == 0) deliverMessage();
}

void AmqpQueuePrivate::deliverMessage()
{
    Q_Q(AmqpQueue);
    assembling = false;
    q->enqueue(currentMessage);
    emit q->messageReceived();
}

void AmqpQueuePrivate::resetInternalState()
{
    AmqpChannelPrivate::resetInternalState();
    delayedDeclare = false;
    declared = false;
    consuming = false;
    consumeRequested = false;
    cancelRequested = false;
    assembling = false;
}

// ---------------------------------------------------------------------------------------------
// AmqpQueue

AmqpQueue::AmqpQueue(int channelNumber, AmqpClient* client) : AmqpChannel(new AmqpQueuePrivate(this), client)
{
    d_func()->init(channelNumber, client);
}

AmqpQueue::~AmqpQueue() = default;

int AmqpQueue::options() const
{
    return d_func()->options;
}

QString AmqpQueue::consumerTag() const
{
    return d_func()->consumerTag;
}

void AmqpQueue::setConsumerTag(const QString& consumerTag)
{
    d_func()->consumerTag = consumerTag;
}

bool AmqpQueue::isConsuming() const
{
    return d_func()->consuming;
}

bool AmqpQueue::isDeclared() const
{
    return d_func()->declared;
}

void AmqpQueue::declare(int options, const AmqpTable& arguments)
{
    Q_D(AmqpQueue);
    d->options = options;
    d->arguments = arguments;
    d->declare();
}

void AmqpQueue::bind(const QString& exchangeName, const QString& key)
{
    Q_D(AmqpQueue);
    if (d->opened)
        d->sendBind(exchangeName, key);
    else
        d->delayedBindings.enqueue(qMakePair(exchangeName, key));
}

void AmqpQueue::bind(AmqpExchange* exchange, const QString& key)
{
    if (exchange) bind(exchange->name(), key);
}

void AmqpQueue::unbind(const QString& exchangeName, const QString& key)
{
    Q_D(AmqpQueue);
    if (!d->opened) return;
    AmqpMethodWriter method(50, 50, d->channelNumber);
    method.shortUint(0).shortString(d->name).shortString(exchangeName).shortString(key).table(AmqpTable());
    d->sendMethod(method);
}

void AmqpQueue::unbind(AmqpExchange* exchange, const QString& key)
{
    if (exchange) unbind(exchange->name(), key);
}

void AmqpQueue::purge()
{
    Q_D(AmqpQueue);
    if (!d->opened) return;
    AmqpMethodWriter method(50, 30, d->channelNumber);
    method.shortUint(0).shortString(d->name).octet(0);
    d->sendMethod(method);
}

void AmqpQueue::remove(int options)
{
    Q_D(AmqpQueue);
    // A method on a channel that is not open would make the broker end the whole connection.
    if (!d->declared || !d->opened) return;
    d->declareRequested = false;
    d->consumeWanted = false;
    AmqpMethodWriter method(50, 40, d->channelNumber);
    method.shortUint(0).shortString(d->name).octet(quint8(options));
    d->sendMethod(method);
}

bool AmqpQueue::consume(int options)
{
    return d_func()->consume(options);
}

void AmqpQueue::get(bool noAck)
{
    Q_D(AmqpQueue);
    if (!d->opened) return;
    AmqpMethodWriter method(60, 70, d->channelNumber);
    method.shortUint(0).shortString(d->name).octet(noAck ? 1 : 0);
    d->sendMethod(method);
}

bool AmqpQueue::cancel(bool noWait)
{
    Q_D(AmqpQueue);
    // One cancel at a time: the second would only earn a second cancel-ok.
    if (!d->consuming || d->consumerTag.isEmpty() || d->cancelRequested) return false;
    d->consumeWanted = false;
    AmqpMethodWriter method(60, 30, d->channelNumber);
    method.shortString(d->consumerTag).octet(noWait ? 1 : 0);
    if (!d->sendMethod(method)) return false;
    d->cancelRequested = !noWait;
    return true;
}

void AmqpQueue::ack(const AmqpMessage& message)
{
    Q_D(AmqpQueue);
    // A tag from before the channel was reopened means nothing on the new channel, and the
    // broker would close it for an unknown tag; it delivers the message again anyway.
    if (message.d->channelGeneration != d->openings) {
        AMQP::log(
            AMQP::LogNotice,
            QStringLiteral("%1: delivery %2 came on an earlier opening of the channel; not acknowledged")
                .arg(d->label())
                .arg(message.deliveryTag()));
        return;
    }
    ack(message.deliveryTag(), false);
}

void AmqpQueue::ack(qlonglong deliveryTag, bool multiple)
{
    Q_D(AmqpQueue);
    if (!d->opened) return;
    AmqpMethodWriter method(60, 80, d->channelNumber);
    method.longLongUint(quint64(deliveryTag)).octet(multiple ? 1 : 0);
    d->sendMethod(method);
}

void AmqpQueue::reject(const AmqpMessage& message, bool requeue)
{
    Q_D(AmqpQueue);
    if (message.d->channelGeneration != d->openings) return;
    reject(message.deliveryTag(), requeue);
}

void AmqpQueue::reject(qlonglong deliveryTag, bool requeue)
{
    Q_D(AmqpQueue);
    if (!d->opened) return;
    AmqpMethodWriter method(60, 90, d->channelNumber);
    method.longLongUint(quint64(deliveryTag)).octet(requeue ? 1 : 0);
    d->sendMethod(method);
}

void AmqpQueue::channelOpened()
{
    Q_D(AmqpQueue);
    if (d->delayedDeclare || (isRecovering() && d->declareRequested)) d->declare();
    while (!d->delayedBindings.isEmpty()) {
        const QPair<QString, QString> binding = d->delayedBindings.dequeue();
        d->sendBind(binding.first, binding.second);
    }
    // After a close by the broker nobody else restarts the consumer.
    if (isRecovering() && d->consumeWanted) d->consume(d->consumeOptions);
}

void AmqpQueue::channelClosed() {}
