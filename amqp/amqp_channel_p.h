#pragma once
// State of an AmqpChannel; the base of the exchange and queue private parts.

#include "amqp_channel.h"
#include "amqp_client.h"
#include "amqp_frame.h"
#include "amqp_table.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>

class AmqpClientPrivate;

class AmqpChannelPrivate : public AmqpMethodFrameHandler
{
public:
    explicit AmqpChannelPrivate(AmqpChannel* q);
    bool _q_method(const AmqpMethodFrame& frame) override;
    ~AmqpChannelPrivate() override;
    // The connection was lost: the channel is closed and must be opened again.
    virtual void resetInternalState();
    virtual void _q_disconnected();

    // Takes the channel number (`channel` <= 0: the lowest free one on this connection) and
    // attaches the channel to the client.
    void init(int channel, AmqpClient* client);

    bool sendFrame(const AmqpFrame& frame);
    // Sends a method built for this channel; one that could not be written faithfully is refused.
    bool sendMethod(const AmqpMethodWriter& method);
    bool clientConnected() const;
    AmqpClientPrivate* clientPrivate() const;

    void _q_open();
    void close(int code, const QString& text, int classId, int methodId);
    void flow(bool active);
    QString label() const;

    QPointer<AmqpClient> client;
    QString name;
    quint16 channelNumber = 0;
    bool opened = false;
    bool needOpen = true;
    qint32 prefetchSize = 0;
    qint32 requestedPrefetchSize = 0;
    qint16 prefetchCount = 0;
    qint16 requestedPrefetchCount = 0;
    AMQP::Error error = AMQP::NoError;
    QString errorString;
    AmqpChannel* const q_ptr;
    AmqpTable arguments;

    bool opening = false;          // channel.open sent, open-ok not yet received
    bool reopenAfterClose = false; // reopen() asked on an open channel: open again after close-ok
    bool recovering = false;       // reopening after the broker closed the channel
    bool qosRequested = false;
    int openings = 0; // open-oks so far; tells deliveries of one opening from the next
    int reopenDelay = 0;
    QElapsedTimer openedSince;
    QTimer* reopenTimer = nullptr;

    Q_DECLARE_PUBLIC(AmqpChannel)

private:
    void openOk();
    void closeOk();
    void closeReceived(const AmqpMethodFrame& frame);
    void flowOk(const AmqpMethodFrame& frame);
    void qosOk();
    void scheduleReopen();
};
