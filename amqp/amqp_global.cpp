#include "amqp_global.h"

#include <QDebug>
#include <atomic>

namespace {

void qtOutput(int level, const QString& message)
{
    if (level <= AMQP::LogError)
        qCritical().noquote() << message;
    else if (level == AMQP::LogWarning)
        qWarning().noquote() << message;
    else
        qDebug().noquote() << message;
}

std::atomic<AMQP::LogHandler> handler{nullptr};

// Registered before main() so that queued signals can carry these types.
[[maybe_unused]] const int registered = [] {
    qRegisterMetaType<AMQP::Error>("AMQP::Error");
    qRegisterMetaType<AMQP::Decimal>("AMQP::Decimal");
    // Tables holding decimals compare equal by value.
    QMetaType::registerEqualsComparator<AMQP::Decimal>();
    return 0;
}();

} // namespace

namespace AMQP {

void setLogHandler(LogHandler h)
{
    handler.store(h);
}

void log(int level, const QString& message)
{
    const LogHandler h = handler.load();
    (h ? h : qtOutput)(level, message);
}

} // namespace AMQP
