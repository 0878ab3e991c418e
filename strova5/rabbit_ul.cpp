#include "rabbit_ul.h"

#include "amqp_queue.h"
#include "log_limiter.h"
#include "logger.h"
#include "quit_signals.h"

#include <QCoreApplication>
#include <QElapsedTimer>

namespace {
// The words the operator's alert grep looks for; the limiter's summaries begin with them too.
const QString not_consuming = QStringLiteral("uplink consumer not consuming");
const int reminder_ms = 60000;
} // namespace

void rabbit_link_setup(AmqpClient& client)
{
    client.setHeartbeatDelay(15);
    AmqpTimings timings = client.timings();
    timings.openTimeout = 15000;
    client.setTimings(timings);
}

void rabbit_link_close(AmqpClient& client, int msecs)
{
    if (client.socketState() == QAbstractSocket::UnconnectedState && !client.autoReconnect()) return;
    client.setAutoReconnect(false);
    client.disconnectFromHost();
    QElapsedTimer waited;
    waited.start();
    while (client.socketState() != QAbstractSocket::UnconnectedState && waited.elapsed() < msecs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

rabbit_man_ul::rabbit_man_ul(QString uri_, QString queue_name_, QString vhost, QObject* parent)
    : QObject(parent), uri(uri_), queue_name(queue_name_),
      trouble_lines(std::make_unique<log_limiter>(not_consuming, LVL_ERR, 1, reminder_ms))
{
    reminder.setInterval(reminder_ms);
    // Once a minute the lasting trouble is said again with its reason; what came in between is
    // summed up by the limiter.
    connect(&reminder, &QTimer::timeout, this, [this] {
        if (reason.isEmpty()) return;
        trouble_lines->end();
        trouble(reason);
    });
    if (queue_name.isEmpty()) {
        // A server-named queue would be a new, empty queue on every reconnect: nothing to consume.
        LOG_EXC << "rabbit_man_ul: empty uplink queue name, no consumer";
        return;
    }
    connect(&client, &AmqpClient::disconnected, this, &rabbit_man_ul::disconnected, Qt::DirectConnection);
    connect(&client, &AmqpClient::connected, this, &rabbit_man_ul::connected, Qt::DirectConnection);
    connect(&client, qOverload<QAbstractSocket::SocketError>(&AmqpClient::socketError), this,
            [this](QAbstractSocket::SocketError e) {
                // A slow write is no failure: the client waits it out.
                if (e != QAbstractSocket::SocketTimeoutError)
                    trouble(QStringLiteral("no connection to the broker: %1").arg(client.errorString()));
            });
    connect(&client, qOverload<AMQP::Error>(&AmqpClient::error), this, [this](AMQP::Error code) {
        trouble(QStringLiteral("the broker closed the connection: %1 %2")
                    .arg(int(code))
                    .arg(client.errorString()));
    });
    rabbit_link_setup(client);
    client.connectToHost(uri);
    client.setVirtualHost(vhost);
    client.setAutoReconnect(true);
    // On a quit nothing more is acknowledged: what was acknowledged is already queued for storage,
    // and what is not stays with the broker.
    quit_hook = add_quit_hook([this] { stopping = true; }, quit_stage_stop_input);
    close_hook = add_quit_hook([this] { rabbit_link_close(client, 2000); }, quit_stage_close_links);
    LOG_EXC << "rabbit_man_ul inited";
}

rabbit_man_ul::~rabbit_man_ul()
{
    // The client goes last and may still say it disconnected: nobody here is listening then.
    QObject::disconnect(&client, nullptr, this, nullptr);
    for (const int hook : {quit_hook, close_hook})
        if (hook) remove_quit_hook(hook);
    // The queue object belongs to the client's channel registry; only our connections go.
    if (queue) QObject::disconnect(queue, nullptr, this, nullptr);
}

void rabbit_man_ul::connected()
{
    if (queue) QObject::disconnect(queue, nullptr, this, nullptr);
    queue = client.createQueue(queue_name);
    // Deliveries of the lost channel were not acknowledged; the broker redelivers them.
    queue->clear();
    connect(queue, &AmqpQueue::declared, this, &rabbit_man_ul::queueDeclared);
    // A consumer the broker confirms after a hold began is cancelled at once.
    connect(queue, &AmqpQueue::consuming, this, [this] {
        if (held)
            queue->cancel(false);
        else
            clear_trouble(true);
    });
    // A release that came while our cancel was on its way consumes once the cancel is done.
    connect(queue, &AmqpQueue::cancelled, this, [this] {
        if (!held && !stopping) start();
    });
    connect(queue, &AmqpQueue::cancelledByBroker, this, &rabbit_man_ul::broker_cancelled);
    connect(queue, qOverload<AMQP::Error>(&AmqpChannel::error), this, [this](AMQP::Error code) {
        trouble(
            QStringLiteral("queue \"%1\": %2 %3").arg(queue_name).arg(int(code)).arg(queue->errorString()));
    });
    queue->declare(AmqpQueue::Durable);
    LOG_EXC << "Connected";
}

void rabbit_man_ul::queueDeclared()
{
    if (!held) start();
    connect(queue, &AmqpQueue::messageReceived, this, &rabbit_man_ul::messageReceived, Qt::UniqueConnection);
}

void rabbit_man_ul::broker_cancelled()
{
    trouble(QStringLiteral(
                "the broker cancelled the consumer of queue \"%1\" (queue deleted?); declaring it again")
                .arg(queue_name));
    if (stopping) return;
    // Declared again, the queue exists (as the virtual host's default type when it was gone) and
    // declared() consumes; a queue declared elsewhere with other arguments is refused and said.
    queue->declare(AmqpQueue::Durable);
}

void rabbit_man_ul::trouble(const QString& why)
{
    if (held || stopping || is_consuming()) return;
    reason = why;
    if (!reminder.isActive()) reminder.start();
    if (trouble_lines->pass()) LOG_ERR << qPrintable(QStringLiteral("%1: %2").arg(not_consuming, reason));
}

void rabbit_man_ul::clear_trouble(bool consuming)
{
    reminder.stop();
    const bool was = !reason.isEmpty();
    reason.clear();
    if (trouble_lines->end() && was && consuming) LOG_WRN << "uplink consumer consuming again";
}

bool rabbit_man_ul::is_consuming() const
{
    return queue && queue->isConsuming();
}

void rabbit_man_ul::start()
{
    LOG_EXC << "Rabbit consume";
    queue->qos(100, 0);
    queue->consume(AmqpQueue::coNoLocal);
}

void rabbit_man_ul::hold(bool on)
{
    if (held == on) return;
    held = on;
    if (!queue) return;
    if (on) {
        // Held on purpose: not an outage of the consumer.
        clear_trouble(false);
        if (queue->isConsuming()) stop();
    } else if (!queue->isConsuming() && queue->isDeclared()) {
        start();
    }
}

void rabbit_man_ul::stop()
{
    LOG_EXC << "Rabbit cancel";
    if (queue) queue->cancel(false);
}

void rabbit_man_ul::messageReceived()
{
    if (stopping || queue->isEmpty()) return;
    message = queue->dequeue();
    emit data_received(message.payload());
    queue->ack(message);
}

void rabbit_man_ul::disconnected()
{
    trouble(client.errorString().isEmpty()
                ? QStringLiteral("the connection to the broker is lost")
                : QStringLiteral("the connection to the broker is lost: %1").arg(client.errorString()));
}
