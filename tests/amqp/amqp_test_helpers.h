#pragma once
// Shared by the AMQP client tests: a channel standing in for exchanges and queues.

#include "amqp_channel_p.h"
#include "amqp_client.h"

#include <QStringList>
#include <functional>

namespace amqptest {

// The smallest concrete channel: it records its openings and runs `setup` on each, as an
// exchange or queue sends its declarations.
class TestChannel : public AmqpChannel
{
public:
    explicit TestChannel(AmqpClient* client, int number = -1)
        : AmqpChannel(new AmqpTestChannelPrivate(this), client)
    {
        d_ptr->init(number, client);
        d_ptr->_q_open();
    }

    bool send(const AmqpMethodWriter& method) { return d_ptr->sendMethod(method); }
    // queue.declare of `queue` (not durable, auto-delete) with these arguments.
    bool declare(const QString& queue, const QVariantHash& arguments = QVariantHash())
    {
        return send(AmqpMethodWriter(50, 10, quint16(channelNumber()))
                        .shortUint(0)
                        .shortString(queue)
                        .octet(0x08)
                        .table(arguments));
    }
    int count(quint16 classId, quint16 methodId) const { return replies.count(qMakePair(classId, methodId)); }

    int openings = 0;
    int closings = 0;
    QList<bool> recoveringAtOpen;
    QList<QPair<quint16, quint16>> replies; // methods beyond the channel class, as received
    std::function<void(TestChannel*)> setup;

protected:
    void channelOpened() override
    {
        ++openings;
        recoveringAtOpen << isRecovering();
        if (setup) setup(this);
    }
    void channelClosed() override { ++closings; }

private:
    class AmqpTestChannelPrivate : public AmqpChannelPrivate
    {
    public:
        using AmqpChannelPrivate::AmqpChannelPrivate;
        bool _q_method(const AmqpMethodFrame& frame) override
        {
            if (AmqpChannelPrivate::_q_method(frame)) return true;
            static_cast<TestChannel*>(q_ptr)->replies << qMakePair(frame.classId(), frame.methodId());
            return true;
        }
    };
};

} // namespace amqptest
