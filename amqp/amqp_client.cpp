#include "amqp_client.h"
#include "amqp_authenticator.h"
#include "amqp_channel_p.h"
#include "amqp_client_p.h"
#include "amqp_exchange.h"
#include "amqp_message.h"
#include "amqp_queue.h"
#include "amqp_table.h"

#include <QUrl>

namespace {

const char protocolHeader[] = {'A', 'M', 'Q', 'P', 0, 0, 9, 1};

// The lower of two limits, where 0 stands for "no limit".
quint32 lowerLimit(quint32 a, quint32 b)
{
    return a == 0 ? b : b == 0 ? a : qMin(a, b);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// AmqpClientPrivate

AmqpClientPrivate::AmqpClientPrivate(AmqpClient* q) : q_ptr(q) {}

AmqpClientPrivate::~AmqpClientPrivate() = default;

void AmqpClientPrivate::init()
{
    Q_Q(AmqpClient);
    // Queued signals and properties carry these.
    qRegisterMetaType<AmqpMessage>("AmqpMessage");
    qRegisterMetaType<AmqpMessage::PropertyHash>("AmqpMessage::PropertyHash");
    qRegisterMetaType<AmqpTable>("AmqpTable");
    exchanges = new AmqpChannelHash;
    exchanges->setParent(q);
    queues = new AmqpChannelHash;
    queues->setParent(q);
    initSocket();

    heartbeatTimer = new QTimer(q);
    QObject::connect(heartbeatTimer, &QTimer::timeout, q, &AmqpClient::_q_heartbeat);

    reconnectTimer = new QTimer(q);
    reconnectTimer->setSingleShot(true);
    QObject::connect(reconnectTimer, &QTimer::timeout, q, &AmqpClient::_q_connect);

    openTimer = new QTimer(q);
    openTimer->setSingleShot(true);
    QObject::connect(openTimer, &QTimer::timeout, q, [this] {
        AMQP::log(AMQP::LogException,
                  QStringLiteral("AMQP %1: no connection.open-ok %2 ms after connecting; aborting")
                      .arg(peer())
                      .arg(timings.openTimeout));
        scheduleReconnect(true);
        socket->abort();
    });

    silenceTimer = new QTimer(q);
    silenceTimer->setSingleShot(true);
    QObject::connect(silenceTimer, &QTimer::timeout, q, [this] {
        AMQP::log(AMQP::LogException,
                  QStringLiteral("AMQP %1: nothing received for %2 ms (heartbeat %3 s); aborting")
                      .arg(peer())
                      .arg(silenceTimer->interval())
                      .arg(heartbeatDelay));
        scheduleReconnect(true);
        socket->abort();
    });

    authenticator.reset(new AmqpPlainAuthenticator(QStringLiteral("marsh"), QStringLiteral("marsh")));
}

void AmqpClientPrivate::initSocket()
{
    Q_Q(AmqpClient);
    socket = new QSslSocket(q);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    QObject::connect(socket, &QSslSocket::connected, q, &AmqpClient::_q_socketConnected);
    QObject::connect(socket, &QSslSocket::disconnected, q, &AmqpClient::_q_socketDisconnected);
    QObject::connect(socket, &QSslSocket::readyRead, q, &AmqpClient::_q_readyRead);
    QObject::connect(socket, &QAbstractSocket::errorOccurred, q, &AmqpClient::_q_socketError);
    QObject::connect(socket, &QAbstractSocket::errorOccurred, q,
                     qOverload<QAbstractSocket::SocketError>(&AmqpClient::socketError));
    QObject::connect(socket, &QAbstractSocket::stateChanged, q, &AmqpClient::socketStateChanged);
    QObject::connect(socket, qOverload<const QList<QSslError>&>(&QSslSocket::sslErrors), q,
                     &AmqpClient::sslErrors);
}

QString AmqpClientPrivate::peer() const
{
    return host + QLatin1Char(':') + QString::number(port);
}

void AmqpClientPrivate::parseConnectionString(const QString& uri)
{
    Q_Q(AmqpClient);
    const QUrl url = QUrl::fromUserInput(uri);
    const QString scheme = url.scheme();
    if (scheme != QLatin1String("amqp") && scheme != QLatin1String("amqps")) return;
    useSsl = scheme == QLatin1String("amqps");
    port = quint16(url.port(useSsl ? 5671 : 5672));
    host = url.host(QUrl::FullyDecoded);
    QString path = url.path(QUrl::FullyDecoded);
    if (path.startsWith(QLatin1Char('/')) && path.size() > 1) path.remove(0, 1);
    virtualHost = path;
    q->setPassword(url.password(QUrl::FullyDecoded));
    q->setUser(url.userName(QUrl::FullyDecoded));
}

void AmqpClientPrivate::_q_connect()
{
    reconnectTimer->stop();
    if (socket->state() != QAbstractSocket::UnconnectedState) {
        // Whatever is left of the previous connection goes; it must not race the new one.
        replacingSocket = true;
        socket->abort();
        replacingSocket = false;
    }
    stopTimers();
    connected = false;
    discardInput = false;
    loginSent = false;
    reader = AmqpFrameReader();
    frameMax = requestedFrameMax;
    channelMax = requestedChannelMax;
    heartbeatDelay = requestedHeartbeatDelay;
    AMQP::log(
        AMQP::LogNotice,
        QStringLiteral("AMQP %1: connecting%2").arg(peer(), useSsl ? QStringLiteral(" (TLS)") : QString()));
    if (useSsl)
        socket->connectToHostEncrypted(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    else
        socket->connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    // The time-out counts from here: a host that never answers the TCP connect would otherwise
    // hold the connection in its attempt for minutes.
    openTimer->start(timings.openTimeout);
}

void AmqpClientPrivate::_q_socketConnected()
{
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    socket->write(protocolHeader, sizeof protocolHeader);
}

void AmqpClientPrivate::reportRefusedLogin()
{
    if (!loginSent) return;
    loginSent = false;
    errorString = QStringLiteral("login refused (wrong user or password?)");
    if (!userClosed && !replacingSocket)
        AMQP::log(
            AMQP::LogException,
            QStringLiteral("AMQP %1: the broker closed the connection after the %2 login of user \"%3\" "
                           "(wrong user or password?)")
                .arg(peer(), authenticator->type(), q_ptr->user()));
}

void AmqpClientPrivate::_q_socketDisconnected()
{
    Q_Q(AmqpClient);
    reportRefusedLogin();
    reader = AmqpFrameReader();
    closingChannels.clear();
    const QList<AmqpChannelPrivate*> all = channels;
    for (AmqpChannelPrivate* channel : all)
        if (channels.contains(channel)) channel->resetInternalState();
    connected = false;
    stopTimers();
    AMQP::log(AMQP::LogNotice, QStringLiteral("AMQP %1: disconnected").arg(peer()));
    // A new connection starts unblocked; the broker says so again if the alarm still holds.
    setBlocked(false, QString());
    QPointer<AmqpClient> alive(q);
    emit q->disconnected();
    if (alive && !replacingSocket) scheduleReconnect(true);
}

void AmqpClientPrivate::_q_socketError(QAbstractSocket::SocketError error)
{
    // A frame write that outlasts the write time-out is not a broken connection: its bytes stay
    // queued. Dead peers are the heartbeat's business.
    if (replacingSocket || error == QAbstractSocket::SocketTimeoutError) return;
    errorString = socket->errorString();
    // A connect that failed is followed by no disconnected signal: its open time-out ends here,
    // so that it cannot fire for an attempt that is over.
    openTimer->stop();
    reportRefusedLogin();
    if (!userClosed)
        AMQP::log(AMQP::LogException, QStringLiteral("AMQP %1: socket error: %2").arg(peer(), errorString));
    scheduleReconnect(true);
    if (socket->state() == QAbstractSocket::ConnectingState ||
        socket->state() == QAbstractSocket::ConnectedState)
        socket->abort();
}

void AmqpClientPrivate::scheduleReconnect(bool grow)
{
    if (!autoReconnect || userClosed || reconnectTimer->isActive()) return;
    if (grow) {
        if (reconnectDelay < 1)
            reconnectDelay = timings.firstRetryDelay;
        else if (reconnectDelay < timings.retryGrowthLimit)
            reconnectDelay *= 5;
    }
    AMQP::log(AMQP::LogException,
              QStringLiteral("AMQP %1: reconnecting in %2 ms").arg(peer()).arg(reconnectDelay));
    reconnectTimer->start(reconnectDelay);
}

void AmqpClientPrivate::stopTimers()
{
    if (heartbeatTimer) heartbeatTimer->stop();
    silenceTimer->stop();
    openTimer->stop();
}

void AmqpClientPrivate::_q_readyRead()
{
    Q_Q(AmqpClient);
    if (discardInput) {
        socket->readAll();
        return;
    }
    if (inSend || inRead) {
        // A frame write waits for the socket and may report new bytes from inside a handler;
        // they are read once that handler has returned.
        QMetaObject::invokeMethod(q, &AmqpClient::_q_readyRead, Qt::QueuedConnection);
        return;
    }
    if (silenceTimer->isActive()) silenceTimer->start(); // any bytes prove the peer alive

    QPointer<AmqpClient> alive(q);
    inRead = true;
    for (;;) {
        std::unique_ptr<AmqpFrame> frame;
        AmqpFrameFault fault;
        const AmqpFrameReader::Result r = reader.read(socket, frameMax, &frame, &fault);
        if (r == AmqpFrameReader::NeedMore) break;
        if (r == AmqpFrameReader::Failed) {
            frameError(fault);
            break;
        }
        dispatch(*frame);
        if (!alive) return;
        if (discardInput || socket->state() != QAbstractSocket::ConnectedState) break;
    }
    flushWrites();
    inRead = false;
}

void AmqpClientPrivate::dispatch(const AmqpFrame& frame)
{
    Q_Q(AmqpClient);
    const quint16 channel = frame.channel();
    QPointer<AmqpClient> alive(q);
    switch (frame.type()) {
    case AmqpFrame::Method: {
        const auto& method = static_cast<const AmqpMethodFrame&>(frame);
        if (method.classId() == 10) {
            _q_method(method);
            return;
        }
        if (closingChannels.contains(channel) && !methodHandlersByChannel.contains(channel) &&
            method.classId() == 20) {
            // The channel of an object that is gone: finish its close.
            if (method.methodId() == 40) sendFrame(AmqpMethodWriter(20, 41, channel).frame());
            if (method.methodId() == 40 || method.methodId() == 41) closingChannels.remove(channel);
            return;
        }
        // A handler may destroy another channel: each is looked up again before its turn.
        const QList<AmqpMethodFrameHandler*> handlers = methodHandlersByChannel.value(channel);
        for (AmqpMethodFrameHandler* h : handlers) {
            if (!alive) return;
            if (methodHandlersByChannel.value(channel).contains(h)) h->_q_method(method);
        }
        return;
    }
    case AmqpFrame::Header: {
        const auto& header = static_cast<const AmqpContentFrame&>(frame);
        const QList<AmqpContentFrameHandler*> handlers = contentHandlersByChannel.value(channel);
        for (AmqpContentFrameHandler* h : handlers) {
            if (!alive) return;
            if (contentHandlersByChannel.value(channel).contains(h)) h->_q_content(header);
        }
        return;
    }
    case AmqpFrame::Body: {
        const auto& body = static_cast<const AmqpContentBodyFrame&>(frame);
        const QList<AmqpContentBodyFrameHandler*> handlers = bodyHandlersByChannel.value(channel);
        for (AmqpContentBodyFrameHandler* h : handlers) {
            if (!alive) return;
            if (bodyHandlersByChannel.value(channel).contains(h)) h->_q_body(body);
        }
        return;
    }
    case AmqpFrame::Heartbeat:
        return;
    }
}

bool AmqpClientPrivate::_q_method(const AmqpMethodFrame& frame)
{
    if (frame.classId() != 10) return false;
    switch (frame.methodId()) {
    case 10:
        start(frame);
        break;
    case 20: // connection.secure: AMQPLAIN needs no challenge
        break;
    case 30:
        tune(frame);
        break;
    case 41:
        openOk();
        break;
    case 50:
        closeReceived(frame);
        break;
    case 51:
        closeOk();
        break;
    case 60:
        blockedReceived(frame);
        break;
    case 61:
        setBlocked(false, QString());
        break;
    default:
        AMQP::log(AMQP::LogDebug, QStringLiteral("Unknown method-id %1").arg(frame.methodId()));
        break;
    }
    return true;
}

void AmqpClientPrivate::start(const AmqpMethodFrame& frame)
{
    QDataStream in(frame.arguments());
    quint8 versionMajor = 0;
    quint8 versionMinor = 0;
    AmqpTable serverProperties;
    in >> versionMajor >> versionMinor >> serverProperties;
    const QString mechanisms = AmqpFrame::readAmqpField(in, AmqpMetaType::LongString).toString();
    if (mechanisms.split(QLatin1Char(' '), Qt::KeepEmptyParts).contains(authenticator->type())) {
        startOk();
        return;
    }
    AMQP::log(AMQP::LogException,
              QStringLiteral("AMQP %1: the broker offers no %2 login (mechanisms: \"%3\"); disconnecting")
                  .arg(peer(), authenticator->type(), mechanisms));
    socket->disconnectFromHost();
}

void AmqpClientPrivate::startOk()
{
    AmqpMethodWriter method(10, 11);
    AmqpTable properties;
    properties.insert(QStringLiteral("version"), QStringLiteral("0.5.0"));
    properties.insert(QStringLiteral("platform"), QStringLiteral("Qt %1").arg(QLatin1String(qVersion())));
    properties.insert(QStringLiteral("product"), QStringLiteral("AMQPC"));
    // The broker tells a client that says so when it stops reading from it (a memory or disk
    // alarm), so that the client holds back its publishes instead of filling its socket; and
    // when it cancels a consumer (its queue deleted), which would otherwise just fall silent.
    properties.insert(QStringLiteral("capabilities"),
                      QVariantHash{{QStringLiteral("connection.blocked"), true},
                                   {QStringLiteral("consumer_cancel_notify"), true}});
    method.table(properties);
    authenticator->write(method.stream());
    method.shortString(QStringLiteral("en_US"));
    if (method.isValid())
        loginSent = sendFrame(method.frame());
    else
        AMQP::log(AMQP::LogException, QStringLiteral("AMQP %1: the login could not be encoded").arg(peer()));
}

void AmqpClientPrivate::tune(const AmqpMethodFrame& frame)
{
    QDataStream in(frame.arguments());
    quint16 serverChannelMax = 0;
    quint32 serverFrameMax = 0;
    quint16 serverHeartbeat = 0;
    in >> serverChannelMax >> serverFrameMax >> serverHeartbeat;
    loginSent = false;

    // Limits: the lower of both sides, 0 meaning none. The heartbeat is the client's when set.
    frameMax = qint32(lowerLimit(quint32(requestedFrameMax), serverFrameMax));
    channelMax = quint16(lowerLimit(requestedChannelMax, serverChannelMax));
    heartbeatDelay = requestedHeartbeatDelay == 0 ? serverHeartbeat : requestedHeartbeatDelay;

    const int interval = int(heartbeatDelay) * timings.heartbeatUnit;
    if (heartbeatTimer) {
        heartbeatTimer->setInterval(interval);
        if (interval != 0)
            heartbeatTimer->start();
        else
            heartbeatTimer->stop();
    }
    if (interval != 0) {
        silenceTimer->setInterval(2 * interval);
        silenceTimer->start();
    } else {
        silenceTimer->stop();
    }
    tuneOk();
    open();
}

void AmqpClientPrivate::tuneOk()
{
    AmqpMethodWriter method(10, 31);
    method.shortUint(channelMax).longUint(quint32(frameMax)).shortUint(heartbeatDelay);
    sendFrame(method.frame());
}

void AmqpClientPrivate::open()
{
    AmqpMethodWriter method(10, 40);
    method.shortString(virtualHost).octet(0).octet(0);
    if (method.isValid()) sendFrame(method.frame());
}

void AmqpClientPrivate::openOk()
{
    Q_Q(AmqpClient);
    connected = true;
    // Only a full login counts as success: a broker that refuses the login keeps the back-off growing.
    reconnectDelay = 0;
    openTimer->stop();
    AMQP::log(AMQP::LogNotice,
              QStringLiteral(
                  "AMQP %1: connected to virtual host \"%2\" (frame-max %3, channel-max %4, heartbeat %5 s)")
                  .arg(peer(), virtualHost)
                  .arg(frameMax)
                  .arg(channelMax)
                  .arg(heartbeatDelay));
    emit q->connected();
}

void AmqpClientPrivate::close(int code, const QString& text, int classId, int methodId)
{
    AmqpMethodWriter method(10, 50);
    method.shortUint(quint16(code))
        .shortString(text)
        .shortUint(quint16(classId))
        .shortUint(quint16(methodId));
    sendFrame(method.frame());
}

void AmqpClientPrivate::closeOk()
{
    connected = false;
    stopTimers();
    socket->disconnectFromHost();
}

void AmqpClientPrivate::closeReceived(const AmqpMethodFrame& frame)
{
    Q_Q(AmqpClient);
    const AmqpCloseReason reason = AmqpCloseReason::read(frame);
    const quint16 code = reason.code;
    const QString& text = reason.text;
    const quint16 classId = reason.classId;
    const quint16 methodId = reason.methodId;
    AMQP::log(AMQP::LogException,
              QStringLiteral("AMQP %1: connection closed by the broker: %2 %3 (class %4, method %5)")
                  .arg(peer())
                  .arg(code)
                  .arg(text)
                  .arg(classId)
                  .arg(methodId));
    QPointer<AmqpClient> alive(q);
    if (code != 0) {
        error = AMQP::Error(code);
        errorString = text;
        emit q->error(error);
        if (!alive) return;
    }
    if (code == AMQP::ConnectionForcedError) {
        // The broker is going away (restart, fail-over, an operator's close): try again at once,
        // the back-off takes over if it is not back yet.
        scheduleReconnect(false);
        closeOk();
        return;
    }
    connected = false;
    emit q->disconnected();
    if (!alive) return;
    sendFrame(AmqpMethodWriter(10, 51).frame());
    socket->disconnectFromHost();
}

void AmqpClientPrivate::blockedReceived(const AmqpMethodFrame& frame)
{
    QDataStream in(frame.arguments());
    setBlocked(true, AmqpFrame::readAmqpField(in, AmqpMetaType::ShortString).toString());
}

void AmqpClientPrivate::setBlocked(bool value, const QString& reason)
{
    Q_Q(AmqpClient);
    if (blocked == value) return;
    blocked = value;
    if (value) {
        AMQP::log(AMQP::LogWarning,
                  QStringLiteral("AMQP %1: the broker blocks publishing: %2").arg(peer(), reason));
        emit q->blocked(reason);
    } else {
        AMQP::log(AMQP::LogWarning, QStringLiteral("AMQP %1: the broker takes publishes again").arg(peer()));
        emit q->unblocked();
    }
}

void AmqpClientPrivate::frameError(const AmqpFrameFault& fault)
{
    AMQP::log(AMQP::LogException, QStringLiteral("AMQP %1: frame error: %2; closing the connection (%3)")
                                      .arg(peer(), fault.text)
                                      .arg(int(fault.code)));
    error = fault.code;
    errorString = fault.text;
    close(fault.code, fault.text, 0, 0);
    // The rest of the stream cannot be trusted; the close goes out and the socket with it.
    discardInput = true;
    socket->disconnectFromHost();
}

void AmqpClientPrivate::_q_heartbeat()
{
    sendFrame(AmqpHeartbeatFrame());
}

void AmqpClientPrivate::_q_disconnect()
{
    if (socket->state() == QAbstractSocket::UnconnectedState) return;
    reader = AmqpFrameReader();
    if (connected)
        close(200, QStringLiteral("client disconnect"), 0, 0);
    else
        socket->abort();
}

bool AmqpClientPrivate::sendFrame(const AmqpFrame& frame)
{
    return sendFrames({&frame});
}

bool AmqpClientPrivate::sendFrames(const QList<const AmqpFrame*>& frames, bool wait)
{
    if (!socket || socket->state() != QAbstractSocket::ConnectedState || frames.isEmpty()) return false;
    QByteArray wire;
    for (const AmqpFrame* frame : frames) {
        bool ok = false;
        wire += frame->toByteArray(&ok);
        if (!ok) {
            AMQP::log(AMQP::LogException,
                      QStringLiteral("AMQP %1: a frame for channel %2 could not be encoded; "
                                     "%3 frame(s) not sent")
                          .arg(peer())
                          .arg(frame->channel())
                          .arg(frames.size()));
            return false;
        }
    }
    inSend = true;
    socket->write(wire);
    // Within a read pass the frames (mostly acknowledgements) wait in the socket's buffer and
    // leave together when the pass ends: one system call for the whole pass, not one a frame.
    if (!inRead && wait) socket->waitForBytesWritten(AmqpFrame::writeTimeout());
    inSend = false;
    return true;
}

void AmqpClientPrivate::flushWrites()
{
    if (!socket || socket->state() != QAbstractSocket::ConnectedState || socket->bytesToWrite() == 0) return;
    inSend = true;
    socket->flush();
    if (socket->bytesToWrite() > 0) socket->waitForBytesWritten(AmqpFrame::writeTimeout());
    inSend = false;
}

quint16 AmqpClientPrivate::freeChannelNumber() const
{
    const quint32 limit = channelMax != 0 ? channelMax : 65535;
    for (quint32 n = 1; n <= limit; ++n)
        if (!channelNumberInUse(quint16(n)) && !closingChannels.contains(quint16(n))) return quint16(n);
    return 0;
}

bool AmqpClientPrivate::channelNumberInUse(quint16 number, const AmqpChannelPrivate* except) const
{
    for (const AmqpChannelPrivate* c : channels)
        if (c != except && c->channelNumber == number) return true;
    return false;
}

void AmqpClientPrivate::attachChannel(AmqpChannelPrivate* channel)
{
    channels.append(channel);
    methodHandlersByChannel[channel->channelNumber].append(channel);
}

void AmqpClientPrivate::detachChannel(AmqpChannelPrivate* channel)
{
    channels.removeAll(channel);
    const quint16 number = channel->channelNumber;
    if ((channel->opened || channel->opening) && connected && !channelNumberInUse(number)) {
        AmqpMethodWriter close(20, 40, number);
        close.shortUint(200).shortString(QStringLiteral("OK")).shortUint(0).shortUint(0);
        if (sendFrame(close.frame())) closingChannels.insert(number);
    }
    auto it = methodHandlersByChannel.find(channel->channelNumber);
    if (it != methodHandlersByChannel.end()) {
        it->removeAll(channel);
        if (it->isEmpty()) methodHandlersByChannel.erase(it);
    }
}

// ---------------------------------------------------------------------------------------------
// AmqpClient

AmqpClient::AmqpClient(QObject* parent) : QObject(parent), d_ptr(new AmqpClientPrivate(this))
{
    d_ptr->init();
}

AmqpClient::~AmqpClient()
{
    Q_D(AmqpClient);
    d->userClosed = true;
    if (d->connected) d->_q_disconnect();
    // Nothing from the socket may reach a client that is half destroyed.
    d->socket->disconnect(this);
    d->reconnectTimer->stop();
    d->stopTimers();
    delete d;
}

bool AmqpClient::isConnected() const
{
    return d_func()->connected;
}

bool AmqpClient::isBlocked() const
{
    return d_func()->blocked;
}

quint16 AmqpClient::port() const
{
    return d_func()->port;
}

void AmqpClient::setPort(quint16 port)
{
    d_func()->port = port;
}

QString AmqpClient::host() const
{
    return d_func()->host;
}

void AmqpClient::setHost(const QString& host)
{
    d_func()->host = host;
}

QString AmqpClient::virtualHost() const
{
    return d_func()->virtualHost;
}

void AmqpClient::setVirtualHost(const QString& virtualHost)
{
    d_func()->virtualHost = virtualHost;
}

QString AmqpClient::user() const
{
    auto* plain = dynamic_cast<AmqpPlainAuthenticator*>(d_func()->authenticator.data());
    return plain ? plain->login() : QString();
}

void AmqpClient::setUser(const QString& user)
{
    if (auto* plain = dynamic_cast<AmqpPlainAuthenticator*>(d_func()->authenticator.data()))
        plain->setLogin(user);
}

QString AmqpClient::password() const
{
    auto* plain = dynamic_cast<AmqpPlainAuthenticator*>(d_func()->authenticator.data());
    return plain ? plain->password() : QString();
}

void AmqpClient::setPassword(const QString& password)
{
    if (auto* plain = dynamic_cast<AmqpPlainAuthenticator*>(d_func()->authenticator.data()))
        plain->setPassword(password);
}

bool AmqpClient::autoReconnect() const
{
    return d_func()->autoReconnect;
}

void AmqpClient::setAutoReconnect(bool value)
{
    Q_D(AmqpClient);
    d->autoReconnect = value;
    if (!value) d->reconnectTimer->stop();
}

quint16 AmqpClient::channelMax() const
{
    return d_func()->channelMax;
}

void AmqpClient::setChannelMax(quint16 channelMax)
{
    Q_D(AmqpClient);
    if (d->connected) return;
    d->requestedChannelMax = d->channelMax = channelMax;
}

qint32 AmqpClient::frameMax() const
{
    return d_func()->frameMax;
}

void AmqpClient::setFrameMax(qint32 frameMax)
{
    Q_D(AmqpClient);
    if (d->connected) return;
    d->requestedFrameMax = d->frameMax = qMax<qint32>(frameMax, AmqpFrame::MinFrameMax);
}

quint16 AmqpClient::heartbeatDelay() const
{
    return d_func()->heartbeatDelay;
}

void AmqpClient::setHeartbeatDelay(quint16 seconds)
{
    Q_D(AmqpClient);
    if (d->connected) return;
    d->requestedHeartbeatDelay = d->heartbeatDelay = seconds;
}

void AmqpClient::setAuthenticator(AmqpAuthenticator* authenticator)
{
    d_func()->authenticator.reset(authenticator);
}

AmqpAuthenticator* AmqpClient::auth() const
{
    return d_func()->authenticator.data();
}

AmqpTimings AmqpClient::timings() const
{
    return d_func()->timings;
}

void AmqpClient::setTimings(const AmqpTimings& timings)
{
    d_func()->timings = timings;
}

int AmqpClient::writeTimeout()
{
    return AmqpFrame::writeTimeout();
}

void AmqpClient::setWriteTimeout(int msecs)
{
    AmqpFrame::setWriteTimeout(msecs);
}

QAbstractSocket::SocketError AmqpClient::socketError() const
{
    return d_func()->socket->error();
}

QAbstractSocket::SocketState AmqpClient::socketState() const
{
    return d_func()->socket->state();
}

AMQP::Error AmqpClient::error() const
{
    return d_func()->error;
}

QString AmqpClient::errorString() const
{
    return d_func()->errorString;
}

QSslConfiguration AmqpClient::sslConfiguration() const
{
    return d_func()->socket->sslConfiguration();
}

void AmqpClient::setSslConfiguration(const QSslConfiguration& configuration)
{
    Q_D(AmqpClient);
    if (configuration.isNull()) return;
    d->useSsl = true;
    d->port = 5671;
    d->socket->setSslConfiguration(configuration);
}

void AmqpClient::connectToHost(const QString& uri)
{
    Q_D(AmqpClient);
    if (!uri.isEmpty()) d->parseConnectionString(uri);
    d->userClosed = false;
    d->_q_connect();
}

void AmqpClient::connectToHost(const QHostAddress& address, quint16 port)
{
    Q_D(AmqpClient);
    d->host = address.toString();
    d->port = port;
    d->userClosed = false;
    d->_q_connect();
}

void AmqpClient::disconnectFromHost()
{
    Q_D(AmqpClient);
    d->userClosed = true;
    d->reconnectTimer->stop();
    d->_q_disconnect();
}

AmqpExchange* AmqpClient::createExchange(int channelNumber)
{
    return createExchange(QString(), channelNumber);
}

AmqpExchange* AmqpClient::createExchange(const QString& name, int channelNumber)
{
    Q_D(AmqpClient);
    if (auto* known = qobject_cast<AmqpExchange*>(d->exchanges->get(name))) return known;
    auto* exchange = new AmqpExchange(channelNumber, this);
    if (!name.isEmpty()) exchange->setName(name);
    exchange->d_ptr->_q_open();
    d->exchanges->put(exchange);
    return exchange;
}

AmqpQueue* AmqpClient::createQueue(int channelNumber)
{
    return createQueue(QString(), channelNumber);
}

AmqpQueue* AmqpClient::createQueue(const QString& name, int channelNumber)
{
    Q_D(AmqpClient);
    if (auto* known = qobject_cast<AmqpQueue*>(d->queues->get(name))) return known;
    auto* queue = new AmqpQueue(channelNumber, this);
    if (!name.isEmpty()) queue->setName(name);
    queue->d_ptr->_q_open();
    d->queues->put(queue);
    return queue;
}

void AmqpClient::ignoreSslErrors(const QList<QSslError>& errors)
{
    d_func()->socket->ignoreSslErrors(errors);
}

void AmqpClient::_q_socketConnected()
{
    d_func()->_q_socketConnected();
}

void AmqpClient::_q_socketDisconnected()
{
    d_func()->_q_socketDisconnected();
}

void AmqpClient::_q_readyRead()
{
    d_func()->_q_readyRead();
}

void AmqpClient::_q_socketError(QAbstractSocket::SocketError error)
{
    d_func()->_q_socketError(error);
}

void AmqpClient::_q_heartbeat()
{
    d_func()->_q_heartbeat();
}

void AmqpClient::_q_connect()
{
    d_func()->_q_connect();
}

void AmqpClient::_q_disconnect()
{
    d_func()->_q_disconnect();
}
