#pragma once
// Types shared by every part of the AMQP 0-9-1 client library.

#include <QMetaType>
#include <QString>

namespace AMQP {

// Reply codes of connection.close and channel.close (0 = no error).
enum Error {
    NoError = 0,
    ReplySuccess = 200,
    ContentTooLargeError = 311,
    NoRouteError = 312,
    NoConsumersError = 313,
    ConnectionForcedError = 320,
    InvalidPathError = 402,
    AccessRefusedError = 403,
    NotFoundError = 404,
    ResourceLockedError = 405,
    PreconditionFailedError = 406,
    FrameError = 501,
    SyntaxError = 502,
    CommandInvalidError = 503,
    ChannelError = 504,
    UnexpectedFrameError = 505,
    ResourceError = 506,
    NotAllowedError = 530,
    NotImplementedError = 540,
    InternalError = 541
};

// The decimal field value of tables: value / 10^scale.
struct Decimal
{
    quint8 scale = 0;
    qint32 value = 0;
    bool operator==(const Decimal& o) const { return scale == o.scale && value == o.value; }
};

// Levels of the library's log lines, the same numbers as the application's logger.
enum LogLevel { LogException = 1, LogError = 2, LogWarning = 3, LogNotice = 4, LogDebug = 5 };

// The library writes its lines through this function. The default handler uses Qt's message
// output (qCritical for exceptions and errors, qWarning, qDebug); an application routes the lines
// into its own logger with setLogHandler.
using LogHandler = void (*)(int level, const QString& message);
void setLogHandler(LogHandler handler);
void log(int level, const QString& message);

} // namespace AMQP

Q_DECLARE_METATYPE(AMQP::Error)
Q_DECLARE_METATYPE(AMQP::Decimal)

namespace AmqpMetaType {
// Value types of method arguments and field tables; the numbers are fixed.
enum ValueType {
    Invalid = -1,
    Boolean = 0,
    ShortUint = 1,
    LongUint = 2,
    LongLongUint = 3,
    ShortString = 4,
    LongString = 5,
    ShortShortInt = 6,
    ShortShortUint = 7,
    ShortInt = 8,
    LongInt = 9,
    LongLongInt = 10,
    Float = 11,
    Double = 12,
    Decimal = 13,
    Array = 14,
    Timestamp = 15,
    Hash = 16,
    Bytes = 17,
    Void = 18
};
} // namespace AmqpMetaType
