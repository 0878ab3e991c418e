#include "amqp_channel.h"
#include "amqp_channel_p.h"
#include "amqp_client_p.h"
#include "amqp_exchange.h"
#include "amqp_queue.h"

// ---------------------------------------------------------------------------------------------
// AmqpChannelPrivate

AmqpChannelPrivate::AmqpChannelPrivate(AmqpChannel* q) : q_ptr(q) {}

AmqpChannelPrivate::~AmqpChannelPrivate() = default;

void AmqpChannelPrivate::init(int channel, AmqpClient* c)
{
    Q_Q(AmqpChannel);
    client = c;
    AmqpClientPrivate* cd = c->d_func();
    if (channel <= 0 || channel > 65535) {
        channelNumber = cd->freeChannelNumber();
        needOpen = true;
        if (channelNumber == 0)
            AMQP::log(AMQP::LogException, QStringLiteral("AMQP %1: no free channel number (channel-max %2)")
                                              .arg(cd->peer())
                                              .arg(cd->channelMax));
    } else {
        // A number already open on this connection is shared: the other object opens it.
        channelNumber = quint16(channel);
        needOpen = !cd->channelNumberInUse(channelNumber);
    }
    cd->attachChannel(this);
    QObject::connect(c, &AmqpClient::connected, q, &AmqpChannel::_q_open);
    QObject::connect(c, &AmqpClient::disconnected, q, &AmqpChannel::_q_disconnected);
    reopenTimer = new QTimer(q);
    reopenTimer->setSingleShot(true);
    QObject::connect(reopenTimer, &QTimer::timeout, q, &AmqpChannel::_q_open);
}

AmqpClientPrivate* AmqpChannelPrivate::clientPrivate() const
{
    return client ? client->d_func() : nullptr;
}

bool AmqpChannelPrivate::clientConnected() const
{
    return client && client->isConnected();
}

QString AmqpChannelPrivate::label() const
{
    QString text = QStringLiteral("AMQP %1 channel %2")
                       .arg(client ? client->d_func()->peer() : QString())
                       .arg(channelNumber);
    if (!name.isEmpty()) text += QStringLiteral(" (%1)").arg(name);
    return text;
}

bool AmqpChannelPrivate::sendFrame(const AmqpFrame& frame)
{
    AmqpClientPrivate* cd = clientPrivate();
    return cd && cd->sendFrame(frame);
}

bool AmqpChannelPrivate::sendMethod(const AmqpMethodWriter& method)
{
    if (!method.isValid()) {
        const AmqpMethodFrame f = method.frame();
        AMQP::log(AMQP::LogException, QStringLiteral("%1: method %2.%3 could not be encoded and was not sent")
                                          .arg(label())
                                          .arg(f.classId())
                                          .arg(f.methodId()));
        return false;
    }
    return sendFrame(method.frame());
}

void AmqpChannelPrivate::_q_open()
{
    if (!needOpen || opened || opening || !clientConnected()) return;
    AmqpMethodWriter method(20, 10, channelNumber);
    method.shortString(QString());
    opening = sendMethod(method);
}

void AmqpChannelPrivate::close(int code, const QString& text, int classId, int methodId)
{
    AmqpMethodWriter method(20, 40, channelNumber);
    method.shortUint(quint16(code == 0 ? 200 : code))
        .shortString(text.isEmpty() ? QStringLiteral("OK") : text)
        .shortUint(quint16(classId))
        .shortUint(quint16(methodId));
    sendMethod(method);
}

void AmqpChannelPrivate::flow(bool active)
{
    AmqpMethodWriter method(20, 20, channelNumber);
    method.octet(active ? 1 : 0);
    sendMethod(method);
}

bool AmqpChannelPrivate::_q_method(const AmqpMethodFrame& frame)
{
    if (frame.channel() != channelNumber) return true;
    switch (frame.classId()) {
    case 60:
        if (frame.methodId() != 11) return false;
        qosOk();
        return true;
    case 20:
        switch (frame.methodId()) {
        case 11:
            openOk();
            break;
        case 20: // channel.flow from the broker: nothing here is throttled by it
            break;
        case 21:
            flowOk(frame);
            break;
        case 40:
            closeReceived(frame);
            break;
        case 41:
            closeOk();
            break;
        }
        return true;
    }
    return false;
}

void AmqpChannelPrivate::openOk()
{
    Q_Q(AmqpChannel);
    opened = true;
    opening = false;
    ++openings;
    openedSince.start();
    AMQP::log(recovering ? AMQP::LogException : AMQP::LogNotice,
              QStringLiteral("%1: %2").arg(label(),
                                           recovering ? QStringLiteral("reopened") : QStringLiteral("open")));
    QPointer<AmqpChannel> alive(q);
    emit q->opened();
    if (!alive) return;
    if (recovering && qosRequested) q->qos(requestedPrefetchCount, requestedPrefetchSize);
    q->channelOpened();
    if (alive) recovering = false;
}

void AmqpChannelPrivate::closeOk()
{
    Q_Q(AmqpChannel);
    QPointer<AmqpChannel> alive(q);
    emit q->closed();
    if (!alive) return;
    q->channelClosed();
    if (!alive) return;
    opened = false;
    opening = false;
    if (reopenAfterClose) {
        reopenAfterClose = false;
        _q_open();
    }
}

void AmqpChannelPrivate::closeReceived(const AmqpMethodFrame& frame)
{
    Q_Q(AmqpChannel);
    const AmqpCloseReason reason = AmqpCloseReason::read(frame);
    const quint16 code = reason.code;
    const QString& text = reason.text;
    const quint16 classId = reason.classId;
    const quint16 methodId = reason.methodId;

    QPointer<AmqpChannel> alive(q);
    if (code != 0) {
        error = AMQP::Error(code);
        errorString = text;
        emit q->error(error);
        if (!alive) return;
    }
    sendMethod(AmqpMethodWriter(20, 41, channelNumber));
    reopenAfterClose = false;
    emit q->closed();
    if (!alive) return;
    q->channelClosed();
    if (!alive) return;
    opened = false;
    opening = false;
    // What the channel had set up is gone with it; the subclass starts over when it reopens.
    resetInternalState();

    // Consuming and publishing must not stop silently while the connection is up: reopen after
    // a back-off, so that a close that repeats does not become a storm.
    recovering = needOpen;
    QString next = QStringLiteral("not reopened (its number belongs to another channel object)");
    if (needOpen) {
        const AmqpTimings t = client ? client->timings() : AmqpTimings();
        if (openedSince.isValid() && openedSince.elapsed() >= t.retryGrowthLimit)
            reopenDelay = 0; // it had been healthy: start the back-off over
        if (reopenDelay < 1)
            reopenDelay = t.firstRetryDelay;
        else if (reopenDelay < t.retryGrowthLimit)
            reopenDelay *= 5;
        reopenTimer->start(reopenDelay);
        next = QStringLiteral("reopening in %1 ms").arg(reopenDelay);
    }
    AMQP::log(AMQP::LogException, QStringLiteral("%1: closed by the broker: %2 %3 (class %4, method %5); %6")
                                      .arg(label())
                                      .arg(code)
                                      .arg(text)
                                      .arg(classId)
                                      .arg(methodId)
                                      .arg(next));
}

void AmqpChannelPrivate::flowOk(const AmqpMethodFrame& frame)
{
    Q_Q(AmqpChannel);
    QDataStream in(frame.arguments());
    if (AmqpFrame::readAmqpField(in, AmqpMetaType::Boolean).toBool())
        emit q->resumed();
    else
        emit q->paused();
}

void AmqpChannelPrivate::qosOk()
{
    Q_Q(AmqpChannel);
    prefetchSize = requestedPrefetchSize;
    prefetchCount = requestedPrefetchCount;
    emit q->qosDefined();
}

void AmqpChannelPrivate::resetInternalState()
{
    if (opened) {
        opened = false;
        needOpen = true;
    }
    opening = false;
    reopenAfterClose = false;
}

void AmqpChannelPrivate::_q_disconnected()
{
    opened = false;
    opening = false;
    reopenAfterClose = false;
    // A new connection opens every channel anew; the owners redo their set-up on connected().
    recovering = false;
    reopenDelay = 0;
    reopenTimer->stop();
}

// ---------------------------------------------------------------------------------------------
// AmqpChannel

AmqpChannel::AmqpChannel(AmqpChannelPrivate* dd, QObject* parent) : QObject(parent), d_ptr(dd) {}

AmqpChannel::~AmqpChannel()
{
    Q_D(AmqpChannel);
    if (AmqpClientPrivate* cd = d->clientPrivate()) cd->detachChannel(d);
    delete d_ptr;
}

int AmqpChannel::channelNumber() const
{
    return d_func()->channelNumber;
}

bool AmqpChannel::isOpen() const
{
    return d_func()->opened;
}

QString AmqpChannel::name() const
{
    return d_func()->name;
}

void AmqpChannel::setName(const QString& name)
{
    d_func()->name = name;
}

void AmqpChannel::qos(qint16 prefetchCount, qint32 prefetchSize)
{
    Q_D(AmqpChannel);
    d->requestedPrefetchCount = prefetchCount;
    d->requestedPrefetchSize = prefetchSize;
    d->qosRequested = true;
    AmqpMethodWriter method(60, 10, d->channelNumber);
    method.longUint(quint32(prefetchSize)).shortUint(quint16(prefetchCount)).octet(0);
    d->sendMethod(method);
}

qint16 AmqpChannel::prefetchCount() const
{
    return d_func()->prefetchCount;
}

qint32 AmqpChannel::prefetchSize() const
{
    return d_func()->prefetchSize;
}

AMQP::Error AmqpChannel::error() const
{
    return d_func()->error;
}

QString AmqpChannel::errorString() const
{
    return d_func()->errorString;
}

bool AmqpChannel::isRecovering() const
{
    return d_func()->recovering;
}

void AmqpChannel::close()
{
    Q_D(AmqpChannel);
    d->needOpen = true;
    d->recovering = false;
    d->reopenTimer->stop();
    if (d->opened) d->close(200, QStringLiteral("OK"), 0, 0);
}

void AmqpChannel::reopen()
{
    Q_D(AmqpChannel);
    if (d->opened) {
        close();
        d->reopenAfterClose = true;
    }
    d->_q_open();
}

void AmqpChannel::resume()
{
    d_func()->flow(true);
}

void AmqpChannel::_q_open()
{
    d_func()->_q_open();
}

void AmqpChannel::_q_disconnected()
{
    d_func()->_q_disconnected();
}

// ---------------------------------------------------------------------------------------------
// AmqpChannelHash

bool AmqpChannelHash::contains(const QString& name) const
{
    return !byName.value(name).isNull();
}

AmqpChannel* AmqpChannelHash::get(const QString& name) const
{
    return byName.value(name);
}

QStringList AmqpChannelHash::channels() const
{
    QStringList names;
    for (auto it = byName.constBegin(); it != byName.constEnd(); ++it)
        if (!it.value().isNull()) names << it.key();
    return names;
}

void AmqpChannelHash::put(const QString& name, AmqpChannel* channel)
{
    connect(channel, &QObject::destroyed, this, &AmqpChannelHash::channelDestroyed, Qt::UniqueConnection);
    byName.insert(name, channel);
}

void AmqpChannelHash::put(AmqpExchange* exchange)
{
    put(exchange->name(), exchange);
}

void AmqpChannelHash::put(AmqpQueue* queue)
{
    // A queue the broker is to name enters the hash under that name, once declared.
    if (queue->name().isEmpty())
        connect(queue, &AmqpQueue::declared, this, &AmqpChannelHash::queueDeclared, Qt::UniqueConnection);
    else
        put(queue->name(), queue);
}

void AmqpChannelHash::queueDeclared()
{
    if (auto* queue = qobject_cast<AmqpQueue*>(sender())) put(queue->name(), queue);
}

void AmqpChannelHash::channelDestroyed(QObject* object)
{
    for (auto it = byName.begin(); it != byName.end();) {
        if (it.value().isNull() || it.value() == object)
            it = byName.erase(it);
        else
            ++it;
    }
}
