#include "rabbit_dl.h"

#include "amqp_exchange.h"
#include "logger.h"
#include "quit_signals.h"
#include "rabbit_ul.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QVariantMap>

bool messque::push(const QByteArray& text, const QByteArray& routing_key, QByteArray* dropped, int on_wire)
{
    // Never one already on the wire: the oldest of those still waiting goes.
    bool full = items.size() + on_wire >= capacity && !items.isEmpty();
    if (full) {
        if (dropped)
            *dropped = items.head().text;
        items.dequeue();
    }
    items.enqueue(item{text, routing_key, false});
    return full;
}

void messque::push_front(const QList<item>& front)
{
    for (auto it = front.crbegin(); it != front.crend(); ++it)
        items.prepend(*it);
}

namespace {
// Text up to its first zero octet, as the broker's consumers read it.
QString text_of(const QByteArray& bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

QString status_of(const QByteArray& downlink)
{
    return QJsonDocument::fromJson(downlink).object().value(QStringLiteral("status_id")).toString();
}
} // namespace

rabbit_man_dl::rabbit_man_dl(QString uri_, QString exchange_name_, QString vhost_, QObject* parent)
    : QObject(parent), uri(uri_), exchange_name(exchange_name_), vhost(vhost_)
{
    connect(&client, &AmqpClient::disconnected, this, &rabbit_man_dl::disconnected);
    connect(&client, &AmqpClient::connected, this, &rabbit_man_dl::connected);
    connect(&client, &AmqpClient::unblocked, this, &rabbit_man_dl::publish_next);
    rabbit_link_setup(client);
    client.connectToHost(uri);
    client.setAutoReconnect(true);
    client.setVirtualHost(vhost);
    timer.setInterval(1000);
    connect(&timer, &QTimer::timeout, this, &rabbit_man_dl::republish_message);
    dropped_timer.setSingleShot(true);
    dropped_timer.setInterval(1000);
    connect(&dropped_timer, &QTimer::timeout, this, &rabbit_man_dl::name_dropped);
    // Downlinks are commands already numbered and stored: give them their chance at quit.
    quit_hook = add_quit_hook([this] { flush(5000); });
    // Before the quit may wait for the database, the link is ended cleanly, its downlinks
    // handed over first.
    close_hook = add_quit_hook(
        [this] {
            flush(5000);
            closing = true;
            rabbit_link_close(client, 2000);
        },
        quit_stage_close_links);
}

rabbit_man_dl::~rabbit_man_dl()
{
    for (const int hook : {quit_hook, close_hook})
        if (hook) remove_quit_hook(hook);
    name_dropped();
    timer.stop();
    if (exchange)
        QObject::disconnect(exchange, nullptr, this, nullptr);
}

bool rabbit_man_dl::can_publish() const
{
    // A blocked connection is not read by the broker: what is published then only fills the
    // socket's buffer.
    return exchange && exchange->isOpen() && confirming && !client.isBlocked() &&
           in_flight.size() < max_unconfirmed;
}

void rabbit_man_dl::flush(int msecs)
{
    if (flushed) return;
    flushed = true;
    QElapsedTimer waited;
    waited.start();
    while ((!queue.isEmpty() || !in_flight.isEmpty()) && waited.elapsed() < msecs) {
        publish_next();
        // Nothing on its way and no way out: the connection is gone, or the broker refuses the
        // exchange's channel (a missing exchange). A blocked connection may yet be unblocked.
        if (in_flight.isEmpty() &&
            (!client.isConnected() || (!client.isBlocked() && !(exchange && exchange->isOpen()))))
            break;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    name_dropped();
    if (queue.isEmpty() && in_flight.isEmpty()) return;
    QStringList ids;
    for (const messque::item& item : in_flight)
        ids << status_of(item.text);
    for (int i = 0; i < queue.size(); ++i)
        ids << status_of(queue.at(i).text);
    // Every one named, in as many lines as it takes: these are the commands to send again.
    for (const QString& line : log_id_lines(ids))
        LOG_ERR << "quitting:" << ids.size()
                << "downlinks not confirmed by the broker, their commands stay in state 1:"
                << qPrintable(line);
}

void rabbit_man_dl::name_dropped()
{
    dropped_timer.stop();
    if (dropped_ids.isEmpty()) return;
    for (const QString& line : log_id_lines(dropped_ids))
        LOG_EXC << "downlink queue full," << dropped_ids.size()
                << "oldest downlinks dropped:" << qPrintable(line);
    dropped_ids.clear();
}

void rabbit_man_dl::connected()
{
    // The client gives the same exchange on every reconnection; it is set up once.
    AmqpExchange* ex = client.createExchange(exchange_name, -1);
    if (ex != exchange) {
        exchange = ex;
        // Published downlinks go out once the broker confirms the mode, on every opening of the
        // channel; what waited goes out first, in order.
        connect(exchange, &AmqpExchange::confirmsEnabled, this, &rabbit_man_dl::confirms_enabled);
        connect(exchange, &AmqpExchange::acknowledged, this, &rabbit_man_dl::acknowledged);
        connect(exchange, &AmqpExchange::notAcknowledged, this, &rabbit_man_dl::not_acknowledged);
        connect(exchange, &AmqpChannel::closed, this, &rabbit_man_dl::channel_lost);
        exchange->setPublishWaits(false);
    }
    // A new connection opens the channel anew, without the modes of the old one.
    exchange->enableConfirms();
    LOG_EXC << "Connected";
}

void rabbit_man_dl::disconnected()
{
    // Ended by the quit itself: no trouble of the broker's.
    if (closing)
        LOG_NTC << "the downlink publisher's broker link is closed for the quit";
    else
        LOG_EXC << " Rabbit_man_dl: Disconnected";
    channel_lost();
}

void rabbit_man_dl::confirms_enabled()
{
    confirming = true;
    publish_next();
}

void rabbit_man_dl::channel_lost()
{
    confirming = false;
    if (in_flight.isEmpty())
        return;
    // The broker may or may not have them: send them again, before anything that waits.
    const QList<messque::item> again = in_flight.values();
    in_flight.clear();
    queue.push_front(again);
    LOG_WRN << again.size() << "unconfirmed downlinks queued again, from" << status_of(again.first().text);
    if (!timer.isActive())
        timer.start();
}

QList<messque::item> rabbit_man_dl::take_confirmed(qint64 tag, bool multiple)
{
    QList<messque::item> out;
    if (!multiple) {
        const auto it = in_flight.find(tag);
        if (it != in_flight.end()) {
            out << it.value();
            in_flight.erase(it);
        }
        return out;
    }
    for (auto it = in_flight.begin(); it != in_flight.end() && (tag == 0 || it.key() <= tag);) {
        out << it.value();
        it = in_flight.erase(it);
    }
    return out;
}

void rabbit_man_dl::acknowledged(qint64 tag, bool multiple)
{
    take_confirmed(tag, multiple);
    publish_next(); // room again below the limit of unconfirmed ones
}

void rabbit_man_dl::not_acknowledged(qint64 tag, bool multiple)
{
    QList<messque::item> again;
    for (messque::item& item : take_confirmed(tag, multiple)) {
        const QString status = status_of(item.text);
        if (item.refused) {
            LOG_EXC << "downlink refused by the broker again, dropped:" << status;
            continue;
        }
        LOG_EXC << "downlink refused by the broker, published again:" << status;
        item.refused = true;
        again << item;
    }
    if (again.isEmpty())
        return;
    queue.push_front(again);
    publish_next();
}

void rabbit_man_dl::queue_string(QByteArray string, QByteArray routing_key)
{
    QByteArray dropped;
    // Lost downlinks are evidence: none is left out, a flood of them is named in ranges once a
    // second.
    if (queue.push(string, routing_key, &dropped, in_flight.size()) && log_passes(LVL_EXC)) {
        const QString id = status_of(dropped);
        dropped_ids << (id.isEmpty() ? QStringLiteral("(no status_id)") : id);
        if (!dropped_timer.isActive()) dropped_timer.start();
    }
    if (!timer.isActive())
        timer.start();
}

bool rabbit_man_dl::send(const messque::item& item)
{
    // Persistent: a downlink confirmed by the broker must outlive a restart of the broker while
    // it waits in the network server's durable queue.
    static const AmqpMessage::PropertyHash persistent{{AmqpMessage::DeliveryMode, 2}};
    exchange->publish(text_of(item.text), text_of(item.routing_key), persistent, 0);
    const qint64 tag = exchange->lastDeliveryTag();
    if (tag == 0)
        return false;
    in_flight.insert(tag, item);
    return true;
}

void rabbit_man_dl::publish_string(QByteArray string, QByteArray routing_key)
{
    if (arriving > 0)
        --arriving;
    if (can_publish() && queue.isEmpty() && send(messque::item{string, routing_key, false}))
        return;
    queue_string(string, routing_key);
    publish_next(); // behind the older ones, at once when the channel is ready
}

void rabbit_man_dl::publish_next()
{
    while (can_publish() && !queue.isEmpty()) {
        if (!send(queue.head()))
            break;
        queue.pop();
    }
    if (queue.isEmpty())
        timer.stop();
}

void rabbit_man_dl::republish_message()
{
    emit republish();
    publish_next();
}
