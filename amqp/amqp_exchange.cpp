#include "amqp_exchange.h"
#include "amqp_client_p.h"
#include "amqp_exchange_p.h"

#include <QEventLoop>

// ---------------------------------------------------------------------------------------------
// AmqpExchangePrivate

AmqpExchangePrivate::AmqpExchangePrivate(AmqpExchange* q) : AmqpChannelPrivate(q) {}

void AmqpExchangePrivate::declare()
{
    declareRequested = true;
    if (!opened) {
        delayedDeclare = true;
        return;
    }
    delayedDeclare = false;
    if (name.isEmpty()) // the default exchange exists by definition
        return;
    AmqpMethodWriter method(40, 10, channelNumber);
    method.shortUint(0).shortString(name).shortString(type).octet(quint8(options)).table(arguments);
    sendMethod(method);
}

bool AmqpExchangePrivate::_q_method(const AmqpMethodFrame& frame)
{
    Q_Q(AmqpExchange);
    if (AmqpChannelPrivate::_q_method(frame)) return true;
    switch (frame.classId()) {
    case 40:
        if (frame.methodId() == 11) {
            declared = true;
            emit q->declared();
        } else if (frame.methodId() == 21) {
            declared = false;
            emit q->removed();
        }
        return true;
    case 60:
        if (frame.methodId() == 80 || frame.methodId() == 120)
            confirm(frame, frame.methodId() == 80);
        else if (frame.methodId() == 50)
            basicReturn(frame);
        return true;
    case 85:
        if (frame.methodId() != 11) return false;
        emit q->confirmsEnabled();
        return true;
    }
    return false;
}

void AmqpExchangePrivate::confirm(const AmqpMethodFrame& frame, bool ack)
{
    Q_Q(AmqpExchange);
    QDataStream in(frame.arguments());
    const qint64 tag = qint64(AmqpFrame::readAmqpField(in, AmqpMetaType::LongLongUint).toULongLong());
    bool multiple = AmqpFrame::readAmqpField(in, AmqpMetaType::Boolean).toBool();
    // Acknowledged or not, the broker is done with these numbers.
    if (tag == 0) {
        multiple = true;
        unconfirmedDeliveryTags.clear();
    } else {
        const int at = unconfirmedDeliveryTags.indexOf(tag);
        if (at < 0) return;
        if (multiple)
            unconfirmedDeliveryTags.remove(0, at + 1);
        else
            unconfirmedDeliveryTags.remove(at);
    }
    QPointer<AmqpExchange> alive(q);
    if (ack)
        emit q->acknowledged(tag, multiple);
    else
        emit q->notAcknowledged(tag, multiple);
    if (alive && unconfirmedDeliveryTags.isEmpty()) emit q->allMessagesDelivered();
}

void AmqpExchangePrivate::basicReturn(const AmqpMethodFrame& frame)
{
    Q_Q(AmqpExchange);
    QDataStream in(frame.arguments());
    const int code = int(AmqpFrame::readAmqpField(in, AmqpMetaType::ShortUint).toUInt());
    const QString text = AmqpFrame::readAmqpField(in, AmqpMetaType::ShortString).toString();
    const QString exchange = AmqpFrame::readAmqpField(in, AmqpMetaType::ShortString).toString();
    const QString key = AmqpFrame::readAmqpField(in, AmqpMetaType::ShortString).toString();
    AMQP::log(
        AMQP::LogException,
        QStringLiteral("%1: message returned by the broker: %2 %3 (exchange \"%4\", routing key \"%5\")")
            .arg(label())
            .arg(code)
            .arg(text, exchange, key));
    if (code == 0) return;
    error = AMQP::Error(code);
    errorString = text;
    emit q->error(error);
}

void AmqpExchangePrivate::resetInternalState()
{
    AmqpChannelPrivate::resetInternalState();
    delayedDeclare = false;
    declared = false;
    nextDeliveryTag = 0;
    // Numbers the broker will never acknowledge now.
    unconfirmedDeliveryTags.clear();
}

void AmqpExchangePrivate::_q_disconnected()
{
    AmqpChannelPrivate::_q_disconnected();
    delayedDeclare = false;
    declared = false;
    unconfirmedDeliveryTags.clear();
}

// ---------------------------------------------------------------------------------------------
// AmqpExchange

AmqpExchange::AmqpExchange(int channelNumber, AmqpClient* client)
    : AmqpChannel(new AmqpExchangePrivate(this), client)
{
    d_func()->init(channelNumber, client);
}

AmqpExchange::~AmqpExchange() = default;

QString AmqpExchange::type() const
{
    return d_func()->type;
}

AmqpExchange::ExchangeOptions AmqpExchange::options() const
{
    return ExchangeOptions(d_func()->options);
}

bool AmqpExchange::isDeclared() const
{
    return d_func()->declared;
}

void AmqpExchange::declare(ExchangeType type, ExchangeOptions options, const AmqpTable& args)
{
    static const char* const names[] = {"direct", "fanout", "topic", "headers"};
    const int t = int(type);
    declare(QLatin1String(t >= 0 && t <= 3 ? names[t] : names[0]), options, args);
}

void AmqpExchange::declare(const QString& type, ExchangeOptions options, const AmqpTable& args)
{
    Q_D(AmqpExchange);
    d->type = type;
    d->options = int(options);
    d->arguments = args;
    d->declare();
}

void AmqpExchange::remove(int options)
{
    Q_D(AmqpExchange);
    // A method on a channel that is not open would make the broker end the whole connection.
    if (!d->opened) return;
    d->declareRequested = false;
    AmqpMethodWriter method(40, 20, d->channelNumber);
    method.shortUint(0).shortString(d->name).octet(quint8(options));
    d->sendMethod(method);
}

void AmqpExchange::enableConfirms(bool noWait)
{
    Q_D(AmqpExchange);
    d->confirmsRequested = true;
    d->confirmsNoWait = noWait;
    if (d->opened) {
        AmqpMethodWriter method(85, 10, d->channelNumber);
        method.octet(noWait ? 1 : 0);
        d->sendMethod(method);
    }
    if (d->nextDeliveryTag == 0) d->nextDeliveryTag = 1;
}

bool AmqpExchange::waitForConfirms(int msecs)
{
    Q_D(AmqpExchange);
    if (!d->unconfirmedDeliveryTags.isEmpty()) {
        QEventLoop loop;
        connect(this, &AmqpExchange::allMessagesDelivered, &loop, &QEventLoop::quit);
        QTimer::singleShot(msecs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return d->unconfirmedDeliveryTags.isEmpty();
}

void AmqpExchange::publish(const QString& message, const QString& routingKey,
                           const AmqpMessage::PropertyHash& properties, int publishOptions)
{
    publish(message.toUtf8(), routingKey, QStringLiteral("text.plain"), AmqpTable(), properties,
            publishOptions);
}

void AmqpExchange::publish(const QByteArray& message, const QString& routingKey, const QString& mimeType,
                           const AmqpMessage::PropertyHash& properties, int publishOptions)
{
    publish(message, routingKey, mimeType, AmqpTable(), properties, publishOptions);
}

void AmqpExchange::publish(const QByteArray& message, const QString& routingKey, const QString& mimeType,
                           const AmqpTable& headers, const AmqpMessage::PropertyHash& properties,
                           int publishOptions)
{
    Q_D(AmqpExchange);
    d->lastDeliveryTag = 0;
    AmqpClientPrivate* cd = d->clientPrivate();
    // Frames on a channel that is not open would make the broker end the whole connection; the
    // message is lost either way, but not without a word.
    if (!d->opened || !cd) {
        AMQP::log(AMQP::LogException,
                  QStringLiteral("%1: not open; a message of %2 bytes for routing key \"%3\" is dropped")
                      .arg(d->label())
                      .arg(message.size())
                      .arg(routingKey));
        return;
    }

    AmqpMethodWriter method(60, 40, d->channelNumber);
    method.shortUint(0).shortString(d->name).shortString(routingKey).octet(quint8(publishOptions));
    const AmqpMethodFrame publishFrame = method.frame();

    AmqpContentFrame header(60);
    header.setChannel(d->channelNumber);
    header.setBodySize(message.size());
    header.setProperty(AmqpMessage::ContentType, mimeType);
    header.setProperty(AmqpMessage::ContentEncoding, QStringLiteral("utf-8"));
    header.setProperty(AmqpMessage::Headers, QVariantHash(headers));
    for (auto it = properties.constBegin(); it != properties.constEnd(); ++it)
        header.setProperty(it.key(), it.value());

    // Each body frame, with its 7-octet header and end octet, stays within the frame size.
    QList<AmqpContentBodyFrame> bodies;
    const int chunk = cd->frameMax - AmqpFrame::Overhead;
    for (int at = 0; at < message.size(); at += chunk) {
        bodies.append(AmqpContentBodyFrame(message.mid(at, chunk)));
        bodies.last().setChannel(d->channelNumber);
    }
    QList<const AmqpFrame*> frames{&publishFrame, &header};
    for (const AmqpContentBodyFrame& body : bodies)
        frames.append(&body);

    if (!method.isValid() || !cd->sendFrames(frames, d->publishWaits)) {
        if (!method.isValid())
            AMQP::log(AMQP::LogException,
                      QStringLiteral("%1: publish for routing key \"%2\" could not be encoded; dropped")
                          .arg(d->label(), routingKey.left(40)));
        return;
    }
    if (d->nextDeliveryTag > 0) {
        d->lastDeliveryTag = d->nextDeliveryTag++;
        d->unconfirmedDeliveryTags.append(d->lastDeliveryTag);
    }
}

void AmqpExchange::setPublishWaits(bool wait)
{
    d_func()->publishWaits = wait;
}

qint64 AmqpExchange::lastDeliveryTag() const
{
    return d_func()->lastDeliveryTag;
}

void AmqpExchange::channelOpened()
{
    Q_D(AmqpExchange);
    if (d->confirmsRequested && (isRecovering() || d->nextDeliveryTag > 0)) {
        d->nextDeliveryTag = 0;
        enableConfirms(d->confirmsNoWait);
    }
    if (d->delayedDeclare || (isRecovering() && d->declareRequested)) d->declare();
}

void AmqpExchange::channelClosed() {}
