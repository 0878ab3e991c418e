#pragma once
// Bounded reads shared by the frame and table codecs.

#include <QByteArray>
#include <QDataStream>
#include <QIODevice>

namespace AmqpWire {

// Marks the stream as fed with malformed bytes (kept if it already failed otherwise).
inline void corrupt(QDataStream& in)
{
    in.setStatus(QDataStream::ReadCorruptData);
}

// Reads `length` bytes only when they are there; otherwise marks the stream corrupt and
// allocates nothing.
inline bool takeBytes(QDataStream& in, quint32 length, QByteArray* out)
{
    if (in.status() != QDataStream::Ok) return false;
    QIODevice* device = in.device();
    if (!device || qint64(length) > device->bytesAvailable()) {
        corrupt(in);
        return false;
    }
    out->resize(int(length));
    if (length > 0 && in.readRawData(out->data(), int(length)) != int(length)) {
        corrupt(in);
        return false;
    }
    return true;
}

// Tables and arrays may nest; a hostile frame could nest them deep enough to exhaust the stack.
enum { MaxNesting = 64 };

class NestingGuard
{
public:
    NestingGuard() { ++depth(); }
    ~NestingGuard() { --depth(); }
    bool tooDeep() const { return depth() > MaxNesting; }

private:
    static int& depth()
    {
        static thread_local int level = 0;
        return level;
    }
};

} // namespace AmqpWire
