#include "amqp_frame.h"
#include "amqp_table.h"
#include "amqp_wire_p.h"

#include <QDateTime>
#include <QIODevice>
#include <QReadWriteLock>
#include <QtEndian>
#include <cstring>

namespace {

QReadWriteLock writeTimeoutLock;
int writeTimeoutMs = 1000;

const char* const readFieldSignature =
    "static QVariant AmqpFrame::readAmqpField(QDataStream&, AmqpMetaType::ValueType)";
const char* const writeFieldSignature =
    "static void AmqpFrame::writeAmqpField(QDataStream&, AmqpMetaType::ValueType, const QVariant&)";

// Basic content properties in wire order.
struct PropertySlot
{
    int flag;
    AmqpMetaType::ValueType type;
};
const PropertySlot propertySlots[] = {
    {AmqpMessage::ContentType, AmqpMetaType::ShortString},
    {AmqpMessage::ContentEncoding, AmqpMetaType::ShortString},
    {AmqpMessage::Headers, AmqpMetaType::Hash},
    {AmqpMessage::DeliveryMode, AmqpMetaType::ShortShortUint},
    {AmqpMessage::Priority, AmqpMetaType::ShortShortUint},
    {AmqpMessage::CorrelationId, AmqpMetaType::ShortString},
    {AmqpMessage::ReplyTo, AmqpMetaType::ShortString},
    {AmqpMessage::Expiration, AmqpMetaType::ShortString},
    {AmqpMessage::MessageId, AmqpMetaType::ShortString},
    {AmqpMessage::Timestamp, AmqpMetaType::Timestamp},
    {AmqpMessage::Type, AmqpMetaType::ShortString},
    {AmqpMessage::UserId, AmqpMetaType::ShortString},
    {AmqpMessage::AppId, AmqpMetaType::ShortString},
    {AmqpMessage::ClusterId, AmqpMetaType::ShortString},
};

// Arguments of the methods a broker sends, one letter each: o octet (bits share one), s short,
// l long, L long long, S short string, T long string, F table.
struct MethodSignature
{
    quint16 classId;
    quint16 methodId;
    const char* arguments;
};
const MethodSignature incomingMethods[] = {
    {10, 10, "ooFTT"}, {10, 20, "T"},    {10, 30, "sls"},   {10, 41, "S"},     {10, 50, "sSss"},
    {10, 51, ""},      {10, 60, "S"},    {10, 61, ""},      {20, 11, "T"},     {20, 20, "o"},
    {20, 21, "o"},     {20, 40, "sSss"}, {20, 41, ""},      {40, 11, ""},      {40, 21, ""},
    {40, 31, ""},      {40, 51, ""},     {50, 11, "Sll"},   {50, 21, ""},      {50, 31, "l"},
    {50, 41, "l"},     {50, 51, ""},     {60, 11, ""},      {60, 21, "S"},     {60, 30, "So"},
    {60, 31, "S"},     {60, 50, "sSSS"}, {60, 60, "SLoSS"}, {60, 71, "LoSSl"}, {60, 72, "S"},
    {60, 80, "Lo"},    {60, 111, ""},    {60, 120, "Lo"},   {85, 11, ""},      {90, 11, ""},
    {90, 21, ""},      {90, 31, ""},
};

AmqpMetaType::ValueType typeOfLetter(char letter)
{
    switch (letter) {
    case 'o':
        return AmqpMetaType::ShortShortUint;
    case 's':
        return AmqpMetaType::ShortUint;
    case 'l':
        return AmqpMetaType::LongUint;
    case 'L':
        return AmqpMetaType::LongLongUint;
    case 'S':
        return AmqpMetaType::ShortString;
    case 'T':
        return AmqpMetaType::LongString;
    case 'F':
        return AmqpMetaType::Hash;
    }
    return AmqpMetaType::Invalid;
}

AmqpFrameFault fault(AMQP::Error code, const char* text)
{
    AmqpFrameFault f;
    f.code = code;
    f.text = QString::fromLatin1(text);
    return f;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// AmqpFrame

AmqpFrame::AmqpFrame(FrameType type) : frameType(type) {}

AmqpFrame::~AmqpFrame() = default;

qint32 AmqpFrame::size() const
{
    return 0;
}

void AmqpFrame::writePayload(QDataStream&) const {}

void AmqpFrame::readPayload(QDataStream&) {}

QByteArray AmqpFrame::toByteArray(bool* ok) const
{
    if (frameType == Method) {
        // Every acknowledgement is one of these: laid out directly, without streams.
        const auto* method = static_cast<const AmqpMethodFrame*>(this);
        const QByteArray args = method->arguments();
        QByteArray wire(Overhead + 4 + args.size(), Qt::Uninitialized);
        char* p = wire.data();
        p[0] = char(frameType);
        qToBigEndian<quint16>(channelNumber, p + 1);
        qToBigEndian<quint32>(quint32(4 + args.size()), p + 3);
        qToBigEndian<quint16>(method->classId(), p + HeaderSize);
        qToBigEndian<quint16>(method->methodId(), p + HeaderSize + 2);
        if (!args.isEmpty()) std::memcpy(p + HeaderSize + 4, args.constData(), size_t(args.size()));
        p[wire.size() - 1] = char(FrameEnd);
        if (ok) *ok = true;
        return wire;
    }
    QByteArray payload;
    QDataStream ps(&payload, QIODevice::WriteOnly);
    writePayload(ps);
    const bool good = ps.status() == QDataStream::Ok;
    if (ok) *ok = good;
    if (!good) return QByteArray();

    QByteArray wire;
    wire.reserve(payload.size() + Overhead);
    QDataStream out(&wire, QIODevice::WriteOnly);
    out << quint8(frameType) << channelNumber << quint32(payload.size());
    out.writeRawData(payload.constData(), payload.size());
    out << quint8(FrameEnd);
    return wire;
}

int AmqpFrame::writeTimeout()
{
    QReadLocker lock(&writeTimeoutLock);
    return writeTimeoutMs;
}

void AmqpFrame::setWriteTimeout(int msecs)
{
    QWriteLocker lock(&writeTimeoutLock);
    writeTimeoutMs = msecs;
}

QDataStream& operator<<(QDataStream& out, const AmqpFrame& frame)
{
    bool ok = false;
    const QByteArray wire = frame.toByteArray(&ok);
    if (!ok) {
        out.setStatus(QDataStream::WriteFailed);
        return out;
    }
    out.writeRawData(wire.constData(), wire.size());
    if (QIODevice* device = out.device()) device->waitForBytesWritten(AmqpFrame::writeTimeout());
    return out;
}

QDataStream& operator>>(QDataStream& in, AmqpFrame& frame)
{
    quint8 type = 0;
    quint16 channel = 0;
    quint32 size = 0;
    in >> type >> channel >> size;
    if (in.status() != QDataStream::Ok) return in;
    if (type != frame.frameType) {
        AmqpWire::corrupt(in);
        return in;
    }
    QByteArray payload;
    if (!AmqpWire::takeBytes(in, size, &payload)) return in;
    frame.channelNumber = channel;
    frame.payloadSize = size;
    QDataStream ps(payload);
    frame.readPayload(ps);
    if (ps.status() != QDataStream::Ok) in.setStatus(ps.status());
    return in;
}

QVariant AmqpFrame::readAmqpField(QDataStream& in, AmqpMetaType::ValueType type)
{
    switch (type) {
    case AmqpMetaType::Boolean: {
        quint8 v = 0;
        in >> v;
        return bool(v != 0);
    }
    case AmqpMetaType::ShortUint: {
        quint16 v = 0;
        in >> v;
        return uint(v);
    }
    case AmqpMetaType::LongUint: {
        quint32 v = 0;
        in >> v;
        return uint(v);
    }
    case AmqpMetaType::LongLongUint: {
        quint64 v = 0;
        in >> v;
        return qulonglong(v);
    }
    case AmqpMetaType::ShortShortUint: {
        quint8 v = 0;
        in >> v;
        return int(v);
    }
    case AmqpMetaType::ShortString: {
        quint8 length = 0;
        in >> length;
        QByteArray bytes;
        if (in.status() != QDataStream::Ok || !AmqpWire::takeBytes(in, length, &bytes)) return QString();
        return QString::fromUtf8(bytes);
    }
    case AmqpMetaType::LongString: {
        quint32 length = 0;
        in >> length;
        QByteArray bytes;
        if (in.status() != QDataStream::Ok || !AmqpWire::takeBytes(in, length, &bytes)) return QString();
        return QString::fromUtf8(bytes);
    }
    case AmqpMetaType::Timestamp: {
        quint64 seconds = 0;
        in >> seconds;
        return QDateTime::fromSecsSinceEpoch(qint64(quint32(seconds)), Qt::UTC);
    }
    case AmqpMetaType::Hash: {
        AmqpTable table;
        in >> table;
        return QVariant(QVariantHash(table));
    }
    case AmqpMetaType::Void:
        return QVariant();
    default:
        break;
    }
    AMQP::log(AMQP::LogDebug, QStringLiteral("%1 unsupported value type: %2")
                                  .arg(QLatin1String(readFieldSignature))
                                  .arg(int(type)));
    return QVariant();
}

void AmqpFrame::writeAmqpField(QDataStream& out, AmqpMetaType::ValueType type, const QVariant& value)
{
    switch (type) {
    case AmqpMetaType::Boolean:
        out << quint8(value.toBool() ? 1 : 0);
        return;
    case AmqpMetaType::ShortUint:
        out << quint16(value.toUInt());
        return;
    case AmqpMetaType::LongUint:
        out << quint32(value.toUInt());
        return;
    case AmqpMetaType::LongLongUint:
        out << quint64(value.toULongLong());
        return;
    case AmqpMetaType::ShortShortUint:
        out << quint8(value.toUInt());
        return;
    case AmqpMetaType::ShortString: {
        const QByteArray bytes = value.toString().toUtf8();
        if (bytes.size() > 255) {
            // A longer text would not fit its length octet and shift every later field.
            AMQP::log(AMQP::LogError,
                      QStringLiteral("%1 short string of %2 bytes refused (at most 255): %3...")
                          .arg(QLatin1String(writeFieldSignature))
                          .arg(bytes.size())
                          .arg(QString::fromUtf8(bytes.left(40))));
            out.setStatus(QDataStream::WriteFailed);
            return;
        }
        out << quint8(bytes.size());
        out.writeRawData(bytes.constData(), bytes.size());
        return;
    }
    case AmqpMetaType::LongString: {
        const QByteArray bytes =
            value.userType() == QMetaType::QByteArray ? value.toByteArray() : value.toString().toUtf8();
        out << quint32(bytes.size());
        out.writeRawData(bytes.constData(), bytes.size());
        return;
    }
    case AmqpMetaType::Timestamp:
        out << quint64(value.toDateTime().toSecsSinceEpoch());
        return;
    case AmqpMetaType::Hash:
        out << AmqpTable(value.toHash());
        return;
    default:
        break;
    }
    AMQP::log(AMQP::LogDebug, QStringLiteral("%1 unsupported value type: %2")
                                  .arg(QLatin1String(writeFieldSignature))
                                  .arg(int(type)));
}

// ---------------------------------------------------------------------------------------------
// AmqpMethodFrame

AmqpMethodFrame::AmqpMethodFrame() : AmqpFrame(Method) {}

AmqpMethodFrame::AmqpMethodFrame(quint16 classId, quint16 methodId)
    : AmqpFrame(Method), klass(classId), method(methodId)
{
}

qint32 AmqpMethodFrame::size() const
{
    return 4 + args.size();
}

void AmqpMethodFrame::writePayload(QDataStream& out) const
{
    out << klass << method;
    out.writeRawData(args.constData(), args.size());
}

void AmqpMethodFrame::readPayload(QDataStream& in)
{
    if (payloadSize < 4) {
        AmqpWire::corrupt(in);
        return;
    }
    in >> klass >> method;
    AmqpWire::takeBytes(in, payloadSize - 4, &args);
}

AmqpCloseReason AmqpCloseReason::read(const AmqpMethodFrame& frame)
{
    AmqpCloseReason r;
    QDataStream in(frame.arguments());
    in >> r.code;
    r.text = AmqpFrame::readAmqpField(in, AmqpMetaType::ShortString).toString();
    in >> r.classId >> r.methodId;
    return r;
}

bool AmqpMethodFrame::argumentsWellFormed() const
{
    for (const MethodSignature& m : incomingMethods) {
        if (m.classId != klass || m.methodId != method) continue;
        QDataStream in(args);
        for (const char* a = m.arguments; *a && in.status() == QDataStream::Ok; ++a)
            readAmqpField(in, typeOfLetter(*a));
        return in.status() == QDataStream::Ok;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// AmqpMethodWriter

AmqpMethodWriter::AmqpMethodWriter(quint16 classId, quint16 methodId, quint16 channel)
    : method(classId, methodId), out(&args, QIODevice::WriteOnly)
{
    method.setChannel(channel);
}

AmqpMethodWriter& AmqpMethodWriter::octet(quint8 value)
{
    out << value;
    return *this;
}

AmqpMethodWriter& AmqpMethodWriter::shortUint(quint16 value)
{
    out << value;
    return *this;
}

AmqpMethodWriter& AmqpMethodWriter::longUint(quint32 value)
{
    out << value;
    return *this;
}

AmqpMethodWriter& AmqpMethodWriter::longLongUint(quint64 value)
{
    out << value;
    return *this;
}

AmqpMethodWriter& AmqpMethodWriter::shortString(const QString& value)
{
    AmqpFrame::writeAmqpField(out, AmqpMetaType::ShortString, value);
    return *this;
}

AmqpMethodWriter& AmqpMethodWriter::longString(const QString& value)
{
    AmqpFrame::writeAmqpField(out, AmqpMetaType::LongString, value);
    return *this;
}

AmqpMethodWriter& AmqpMethodWriter::table(const QVariantHash& value)
{
    out << AmqpTable(value);
    return *this;
}

AmqpMethodWriter& AmqpMethodWriter::raw(const QByteArray& bytes)
{
    out.writeRawData(bytes.constData(), bytes.size());
    return *this;
}

AmqpMethodFrame AmqpMethodWriter::frame() const
{
    AmqpMethodFrame f = method;
    f.setArguments(args);
    return f;
}

// ---------------------------------------------------------------------------------------------
// AmqpContentFrame

AmqpContentFrame::AmqpContentFrame() : AmqpFrame(Header) {}

AmqpContentFrame::AmqpContentFrame(quint16 classId) : AmqpFrame(Header), klass(classId) {}

AmqpMetaType::ValueType AmqpContentFrame::propertyType(int flag)
{
    for (const PropertySlot& p : propertySlots)
        if (p.flag == flag) return p.type;
    return AmqpMetaType::Invalid;
}

bool AmqpContentFrame::encode(QByteArray* bytes) const
{
    bytes->clear();
    QDataStream out(bytes, QIODevice::WriteOnly);
    quint16 flags = 0;
    for (auto it = props.constBegin(); it != props.constEnd(); ++it) {
        if (propertyType(it.key()) != AmqpMetaType::Invalid)
            flags |= quint16(it.key());
        else
            AMQP::log(AMQP::LogDebug,
                      QStringLiteral("AmqpContentFrame: no content property has the flag 0x%1")
                          .arg(it.key(), 4, 16, QLatin1Char('0')));
    }
    out << klass << quint16(0) << body << flags;
    for (const PropertySlot& p : propertySlots)
        if (flags & p.flag) writeAmqpField(out, p.type, props.value(p.flag));
    return out.status() == QDataStream::Ok;
}

qint32 AmqpContentFrame::size() const
{
    if (!encode(&encoded)) encoded.clear();
    return encoded.size();
}

void AmqpContentFrame::writePayload(QDataStream& out) const
{
    if (!encode(&encoded)) {
        out.setStatus(QDataStream::WriteFailed);
        return;
    }
    out.writeRawData(encoded.constData(), encoded.size());
}

void AmqpContentFrame::readPayload(QDataStream& in)
{
    props.clear();
    if (payloadSize < 14) {
        AmqpWire::corrupt(in);
        return;
    }
    quint16 weight = 0;
    quint16 flags = 0;
    in >> klass >> weight >> body >> flags;
    if (body < 0) {
        AmqpWire::corrupt(in);
        return;
    }
    for (const PropertySlot& p : propertySlots) {
        if (!(flags & p.flag)) continue;
        const QVariant value = readAmqpField(in, p.type);
        if (in.status() != QDataStream::Ok) return;
        props.insert(p.flag, value);
    }
}

// ---------------------------------------------------------------------------------------------
// AmqpContentBodyFrame, AmqpHeartbeatFrame

AmqpContentBodyFrame::AmqpContentBodyFrame() : AmqpFrame(Body) {}

AmqpContentBodyFrame::AmqpContentBodyFrame(const QByteArray& body) : AmqpFrame(Body), bytes(body) {}

qint32 AmqpContentBodyFrame::size() const
{
    return bytes.size();
}

void AmqpContentBodyFrame::writePayload(QDataStream& out) const
{
    out.writeRawData(bytes.constData(), bytes.size());
}

void AmqpContentBodyFrame::readPayload(QDataStream& in)
{
    AmqpWire::takeBytes(in, payloadSize, &bytes);
}

AmqpHeartbeatFrame::AmqpHeartbeatFrame() : AmqpFrame(Heartbeat) {}

// ---------------------------------------------------------------------------------------------
// AmqpFrameReader

AmqpFrameReader::Result AmqpFrameReader::read(QIODevice* device, qint64 frameMax,
                                              std::unique_ptr<AmqpFrame>* frame, AmqpFrameFault* why)
{
    char header[AmqpFrame::HeaderSize];
    if (device->bytesAvailable() < AmqpFrame::HeaderSize ||
        device->peek(header, sizeof header) != sizeof header)
        return NeedMore;
    const quint8 type = quint8(header[0]);
    if (type != AmqpFrame::Method && type != AmqpFrame::Header && type != AmqpFrame::Body &&
        type != AmqpFrame::Heartbeat) {
        *why = fault(AMQP::FrameError, "invalid frame type");
        return Failed;
    }
    const qint64 total = qint64(qFromBigEndian<quint32>(header + 3)) + AmqpFrame::Overhead;
    if (total > frameMax) {
        *why = fault(AMQP::FrameError, "frame size too large");
        return Failed;
    }
    if (device->bytesAvailable() < total) return NeedMore;
    buffer.resize(int(total));
    if (device->read(buffer.data(), total) != total) {
        *why = fault(AMQP::FrameError, "frame could not be read");
        return Failed;
    }
    *frame = decode(buffer, why);
    return *frame ? FrameRead : Failed;
}

std::unique_ptr<AmqpFrame> AmqpFrameReader::decode(const QByteArray& wire, AmqpFrameFault* why)
{
    if (wire.size() < AmqpFrame::Overhead) {
        *why = fault(AMQP::FrameError, "frame too short");
        return nullptr;
    }
    const quint8 type = quint8(wire[0]);
    const quint16 channel = qFromBigEndian<quint16>(wire.constData() + 1);
    const quint32 size = qFromBigEndian<quint32>(wire.constData() + 3);
    if (qint64(size) + AmqpFrame::Overhead != wire.size()) {
        *why = fault(AMQP::FrameError, "frame size does not match its length");
        return nullptr;
    }
    if (quint8(wire[wire.size() - 1]) != AmqpFrame::FrameEnd) {
        *why = fault(AMQP::UnexpectedFrameError, "wrong end of frame");
        return nullptr;
    }

    std::unique_ptr<AmqpFrame> frame;
    const char* malformed = nullptr;
    switch (type) {
    case AmqpFrame::Method:
        frame.reset(new AmqpMethodFrame);
        malformed = "malformed method frame";
        break;
    case AmqpFrame::Header:
    case AmqpFrame::Body:
        if (channel == 0) {
            *why = fault(AMQP::ChannelError, "channel number must be greater than zero");
            return nullptr;
        }
        if (type == AmqpFrame::Header) {
            frame.reset(new AmqpContentFrame);
            malformed = "malformed content header";
        } else {
            frame.reset(new AmqpContentBodyFrame);
            malformed = "malformed content body";
        }
        break;
    case AmqpFrame::Heartbeat:
        if (channel != 0) {
            *why = fault(AMQP::FrameError, "heartbeat must have channel id zero");
            return nullptr;
        }
        frame.reset(new AmqpHeartbeatFrame);
        malformed = "malformed heartbeat";
        break;
    default:
        *why = fault(AMQP::FrameError, "invalid frame type");
        return nullptr;
    }

    frame->setChannel(channel);
    frame->payloadSize = size;
    const char* const payloadData = wire.constData() + AmqpFrame::HeaderSize;
    bool good = true;
    // Bodies and methods are most of the traffic: they are taken from the bytes directly, without
    // the stream and buffer objects that the general path costs per frame.
    if (type == AmqpFrame::Body) {
        static_cast<AmqpContentBodyFrame*>(frame.get())->setBody(QByteArray(payloadData, int(size)));
    } else if (type == AmqpFrame::Method) {
        if (size < 4) {
            good = false;
        } else {
            auto* method = static_cast<AmqpMethodFrame*>(frame.get());
            method->klass = qFromBigEndian<quint16>(payloadData);
            method->method = qFromBigEndian<quint16>(payloadData + 2);
            method->args = QByteArray(payloadData + 4, int(size) - 4);
        }
    } else {
        const QByteArray payload = QByteArray::fromRawData(payloadData, int(size));
        QDataStream in(payload);
        frame->readPayload(in);
        good = in.status() == QDataStream::Ok;
    }
    if (good && type == AmqpFrame::Method)
        good = static_cast<AmqpMethodFrame*>(frame.get())->argumentsWellFormed();
    if (!good) {
        *why = fault(AMQP::FrameError, malformed);
        return nullptr;
    }
    return frame;
}
