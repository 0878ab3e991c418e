#pragma once
// AMQP frames as values: built from bytes (every length checked first) and written back to bytes.

#include "amqp_global.h"
#include "amqp_message.h"

#include <QByteArray>
#include <QDataStream>
#include <QVariant>
#include <memory>

class QIODevice;

class AmqpFrame
{
public:
    enum FrameType { Method = 1, Header = 2, Body = 3, Heartbeat = 8 };
    enum : int {
        FrameEnd = 0xCE,
        HeaderSize = 7, // type, channel, payload size
        Overhead = 8,   // header and end octet around the payload
        MinFrameMax = 4096
    };

    explicit AmqpFrame(FrameType type);
    virtual ~AmqpFrame();

    FrameType type() const { return frameType; }
    quint16 channel() const { return channelNumber; }
    void setChannel(quint16 channel) { channelNumber = channel; }

    // Payload length in bytes as it will be written.
    virtual qint32 size() const;
    virtual void writePayload(QDataStream& out) const;
    // Reads the payload of `payloadSize` bytes; a malformed payload marks the stream
    // ReadCorruptData or ReadPastEnd.
    virtual void readPayload(QDataStream& in);

    // The whole frame as it goes on the wire. Empty (and *ok false) when a value in it cannot be
    // written faithfully, for instance a short string over 255 bytes.
    QByteArray toByteArray(bool* ok = nullptr) const;

    // One method argument by type.
    static QVariant readAmqpField(QDataStream& in, AmqpMetaType::ValueType type);
    static void writeAmqpField(QDataStream& out, AmqpMetaType::ValueType type, const QVariant& value);

    // How long each frame write waits for its bytes to leave the device (ms, process-wide).
    static int writeTimeout();
    static void setWriteTimeout(int msecs);

protected:
    quint32 payloadSize = 0;

private:
    friend QDataStream& operator>>(QDataStream& in, AmqpFrame& frame);
    friend class AmqpFrameReader;
    FrameType frameType;
    quint16 channelNumber = 0;
};

// Writes the frame and waits up to writeTimeout() for it to leave the stream's device. A frame
// that cannot be encoded is not written and marks the stream WriteFailed.
QDataStream& operator<<(QDataStream& out, const AmqpFrame& frame);
// Reads type, channel and size (into the frame's fields), then the payload; not the end octet.
QDataStream& operator>>(QDataStream& in, AmqpFrame& frame);

class AmqpMethodFrame : public AmqpFrame
{
public:
    AmqpMethodFrame();
    AmqpMethodFrame(quint16 classId, quint16 methodId);

    quint16 classId() const { return klass; }
    quint16 methodId() const { return method; }
    QByteArray arguments() const { return args; }
    void setArguments(const QByteArray& arguments) { args = arguments; }

    // Whether the arguments hold, with all their lengths, what this method carries. Methods the
    // library does not know pass unchecked (nobody reads them).
    bool argumentsWellFormed() const;

    qint32 size() const override;
    void writePayload(QDataStream& out) const override;
    void readPayload(QDataStream& in) override;

private:
    quint16 klass = 0;
    quint16 method = 0;
    QByteArray args;
    friend class AmqpFrameReader;
};

// The arguments of connection.close and channel.close: why the broker closes.
struct AmqpCloseReason
{
    quint16 code = 0;
    QString text;
    quint16 classId = 0;
    quint16 methodId = 0;

    static AmqpCloseReason read(const AmqpMethodFrame& frame);
};

// Builds the arguments of a method in order. A value that cannot be written faithfully spoils the
// whole method, which is then refused instead of sent half-written.
class AmqpMethodWriter
{
public:
    AmqpMethodWriter(quint16 classId, quint16 methodId, quint16 channel = 0);

    AmqpMethodWriter& octet(quint8 value);
    AmqpMethodWriter& shortUint(quint16 value);
    AmqpMethodWriter& longUint(quint32 value);
    AmqpMethodWriter& longLongUint(quint64 value);
    AmqpMethodWriter& shortString(const QString& value);
    AmqpMethodWriter& longString(const QString& value);
    AmqpMethodWriter& table(const QVariantHash& value);
    AmqpMethodWriter& raw(const QByteArray& bytes);
    QDataStream& stream() { return out; }

    bool isValid() const { return out.status() == QDataStream::Ok; }
    AmqpMethodFrame frame() const;

private:
    AmqpMethodFrame method;
    QByteArray args;
    QDataStream out;
};

class AmqpContentFrame : public AmqpFrame
{
public:
    AmqpContentFrame();
    explicit AmqpContentFrame(quint16 classId);

    quint16 classId() const { return klass; }
    qint64 bodySize() const { return body; }
    void setBodySize(qint64 size) { body = size; }
    QVariant property(int flag) const { return props.value(flag); }
    void setProperty(int flag, const QVariant& value) { props.insert(flag, value); }
    AmqpMessage::PropertyHash properties() const { return props; }

    // Encodes the payload (and keeps it for writePayload), returns its length.
    qint32 size() const override;
    void writePayload(QDataStream& out) const override;
    void readPayload(QDataStream& in) override;

    // The properties in wire order with the type each is written as.
    static AmqpMetaType::ValueType propertyType(int flag);

private:
    bool encode(QByteArray* out) const;

    quint16 klass = 0;
    qint64 body = 0;
    AmqpMessage::PropertyHash props;
    mutable QByteArray encoded;
};

class AmqpContentBodyFrame : public AmqpFrame
{
public:
    AmqpContentBodyFrame();
    explicit AmqpContentBodyFrame(const QByteArray& body);

    QByteArray body() const { return bytes; }
    void setBody(const QByteArray& body) { bytes = body; }

    qint32 size() const override;
    void writePayload(QDataStream& out) const override;
    void readPayload(QDataStream& in) override;

private:
    QByteArray bytes;
};

class AmqpHeartbeatFrame : public AmqpFrame
{
public:
    AmqpHeartbeatFrame();
};

// Why a frame was refused: the reply code and text of the connection.close that follows.
struct AmqpFrameFault
{
    AMQP::Error code = AMQP::NoError;
    QString text;
};

// Takes whole frames off the front of a device. Every length is checked before anything is read
// or allocated: a frame larger than frameMax is refused after its 7-byte header.
class AmqpFrameReader
{
public:
    enum Result { NeedMore, FrameRead, Failed };

    Result read(QIODevice* device, qint64 frameMax, std::unique_ptr<AmqpFrame>* frame, AmqpFrameFault* fault);

    // One complete frame (header, payload, end octet) into its object, or null and the fault.
    static std::unique_ptr<AmqpFrame> decode(const QByteArray& wire, AmqpFrameFault* fault);

private:
    QByteArray buffer;
};

// Method frames from the broker go to these; a channel returns true when it took the frame.
class AmqpMethodFrameHandler
{
public:
    virtual bool _q_method(const AmqpMethodFrame& frame) = 0;
    virtual ~AmqpMethodFrameHandler() = default;
};

class AmqpContentFrameHandler
{
public:
    virtual void _q_content(const AmqpContentFrame& frame) = 0;

protected:
    ~AmqpContentFrameHandler() = default;
};

class AmqpContentBodyFrameHandler
{
public:
    virtual void _q_body(const AmqpContentBodyFrame& frame) = 0;

protected:
    ~AmqpContentBodyFrameHandler() = default;
};
