#include "rabbit_ul.h"

#include "amqp_queue.h"
#include "logger.h"
#include "quit_signals.h"

void rabbit_link_setup(AmqpClient& client)
{
    client.setHeartbeatDelay(15);
    AmqpTimings timings = client.timings();
    timings.openTimeout = 15000;
    client.setTimings(timings);
}

rabbit_man_ul::rabbit_man_ul(QString uri_, QString queue_name_, QString vhost, QObject* parent)
    : QObject(parent), uri(uri_), queue_name(queue_name_)
{
    if (queue_name.isEmpty()) {
        // A server-named queue would be a new, empty queue on every reconnect: nothing to consume.
        LOG_EXC << "rabbit_man_ul: empty uplink queue name, no consumer";
        return;
    }
    connect(&client, &AmqpClient::disconnected, this, &rabbit_man_ul::disconnected, Qt::DirectConnection);
    connect(&client, &AmqpClient::connected, this, &rabbit_man_ul::connected, Qt::DirectConnection);
    rabbit_link_setup(client);
    client.connectToHost(uri);
    client.setVirtualHost(vhost);
    client.setAutoReconnect(true);
    // On a quit nothing more is acknowledged: what was acknowledged is already queued for storage,
    // and what is not stays with the broker.
    quit_hook = add_quit_hook([this] { stopping = true; }, quit_stage_stop_input);
    LOG_EXC << "rabbit_man_ul inited";
}

rabbit_man_ul::~rabbit_man_ul()
{
    if (quit_hook)
        remove_quit_hook(quit_hook);
    // The queue object belongs to the client's channel registry; only our connections go.
    if (queue)
        QObject::disconnect(queue, nullptr, this, nullptr);
}

void rabbit_man_ul::connected()
{
    if (queue)
        QObject::disconnect(queue, nullptr, this, nullptr);
    queue = client.createQueue(queue_name);
    // Deliveries of the lost channel were not acknowledged; the broker redelivers them.
    queue->clear();
    connect(queue, &AmqpQueue::declared, this, &rabbit_man_ul::queueDeclared);
    // A consumer the broker confirms after a hold began is cancelled at once.
    connect(queue, &AmqpQueue::consuming, this, [this] {
        if (held) queue->cancel(false);
    });
    queue->declare(AmqpQueue::Durable);
    LOG_EXC << "Connected";
}

void rabbit_man_ul::queueDeclared()
{
    if (!held) start();
    connect(queue, &AmqpQueue::messageReceived, this, &rabbit_man_ul::messageReceived,
            Qt::UniqueConnection);
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
    if (on && queue->isConsuming())
        stop();
    else if (!on && !queue->isConsuming())
        start();
}

void rabbit_man_ul::stop()
{
    LOG_EXC << "Rabbit cancel";
    if (queue)
        queue->cancel(false);
}

void rabbit_man_ul::messageReceived()
{
    if (stopping || queue->isEmpty())
        return;
    message = queue->dequeue();
    emit data_received(message.payload());
    queue->ack(message);
}

void rabbit_man_ul::disconnected()
{
}
