#pragma once
// State of an AmqpClient; used by the channel classes.

#include "amqp_client.h"
#include "amqp_frame.h"

#include <QHash>
#include <QPointer>
#include <QSet>
#include <QSharedPointer>
#include <QSslSocket>
#include <QTimer>

class AmqpChannel;
class AmqpChannelHash;
class AmqpChannelPrivate;

class AmqpClientPrivate : public AmqpMethodFrameHandler
{
public:
    explicit AmqpClientPrivate(AmqpClient* q);
    bool _q_method(const AmqpMethodFrame& frame) override;
    ~AmqpClientPrivate() override;
    virtual void init();
    virtual void initSocket();
    virtual void _q_connect();

    void parseConnectionString(const QString& uri);

    void _q_socketConnected();
    void _q_socketDisconnected();
    void _q_readyRead();
    void _q_socketError(QAbstractSocket::SocketError error);
    void _q_heartbeat();
    void _q_disconnect();

    // Writes one frame when the socket is connected; a frame that cannot be encoded is refused
    // with a log line. Returns whether it was written.
    bool sendFrame(const AmqpFrame& frame);
    // Several frames in one write: all of them or (when one cannot be encoded) none. Without
    // `wait` the bytes leave from the event loop, without waiting for the socket here.
    bool sendFrames(const QList<const AmqpFrame*>& frames, bool wait = true);
    // Hands what a read pass wrote to the socket in one go, waiting up to the write time-out.
    void flushWrites();

    // Channel bookkeeping: numbers are per connection, the lowest free one first.
    quint16 freeChannelNumber() const;
    bool channelNumberInUse(quint16 number, const AmqpChannelPrivate* except = nullptr) const;
    void attachChannel(AmqpChannelPrivate* channel);
    // A channel object going away while its channel is open closes it at the broker; the number
    // stays taken until the close-ok, so that no new channel.open can cross it.
    void detachChannel(AmqpChannelPrivate* channel);

    QString peer() const;

    quint16 port = 5672;
    QString host = QStringLiteral("localhost");
    QString virtualHost = QStringLiteral("/");
    QSharedPointer<AmqpAuthenticator> authenticator;
    bool autoReconnect = false;
    int reconnectDelay = 0;
    bool useSsl = false;
    QSslSocket* socket = nullptr;
    QHash<quint16, QList<AmqpMethodFrameHandler*>> methodHandlersByChannel;
    QHash<quint16, QList<AmqpContentFrameHandler*>> contentHandlersByChannel;
    QHash<quint16, QList<AmqpContentBodyFrameHandler*>> bodyHandlersByChannel;
    bool connected = false;
    QPointer<QTimer> heartbeatTimer;
    quint16 channelMax = 0;
    quint16 heartbeatDelay = 0;
    qint32 frameMax = 131072;
    AMQP::Error error = AMQP::NoError;
    QString errorString;

    // What the user asked for; the fields above hold the values negotiated with the broker.
    quint16 requestedChannelMax = 0;
    quint16 requestedHeartbeatDelay = 0;
    qint32 requestedFrameMax = 131072;

    AmqpTimings timings;
    AmqpFrameReader reader;
    QTimer* reconnectTimer = nullptr;
    QTimer* openTimer = nullptr;    // TCP connect to connection.open-ok
    QTimer* silenceTimer = nullptr; // nothing received for two heartbeat intervals
    bool userClosed = false;        // the user asked to disconnect: no reconnect
    bool discardInput = false;      // after a frame error the stream is not trusted
    bool replacingSocket = false;   // a new connect drops the old socket
    bool loginSent = false;         // start-ok sent, tune not yet received
    bool blocked = false;           // connection.blocked received, no unblocked since
    bool inSend = false;
    bool inRead = false;
    QList<AmqpChannelPrivate*> channels;
    QSet<quint16> closingChannels;
    AmqpChannelHash* exchanges = nullptr;
    AmqpChannelHash* queues = nullptr;

    AmqpClient* const q_ptr;
    Q_DECLARE_PUBLIC(AmqpClient)

private:
    void dispatch(const AmqpFrame& frame);
    void start(const AmqpMethodFrame& frame);
    void startOk();
    void tune(const AmqpMethodFrame& frame);
    void tuneOk();
    void open();
    void openOk();
    void close(int code, const QString& text, int classId, int methodId);
    void closeOk();
    void closeReceived(const AmqpMethodFrame& frame);
    void frameError(const AmqpFrameFault& fault);
    void blockedReceived(const AmqpMethodFrame& frame);
    void setBlocked(bool value, const QString& reason);
    void stopTimers();
    // A broker drops the socket when it refuses a login; that deserves its own line.
    void reportRefusedLogin();
    // One pending reconnect at a time; `grow` advances the back-off first.
    void scheduleReconnect(bool grow);
};
