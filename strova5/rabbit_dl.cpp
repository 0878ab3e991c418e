#include "rabbit_dl.h"

#include "amqp_exchange.h"
#include "logger.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QVariantMap>

bool messque::push(const QByteArray& text, const QByteArray& routing_key, QByteArray* dropped)
{
    bool full = items.size() >= capacity && !items.isEmpty();
    if (full) {
        if (dropped)
            *dropped = items.head().first;
        items.dequeue();
    }
    items.enqueue(qMakePair(text, routing_key));
    return full;
}

namespace {
// Text up to its first zero octet, as the broker's consumers read it.
QString text_of(const QByteArray& bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}
} // namespace

rabbit_man_dl::rabbit_man_dl(QString uri_, QString exchange_name_, QString vhost_, QObject* parent)
    : QObject(parent), uri(uri_), exchange_name(exchange_name_), vhost(vhost_)
{
    connect(&client, &AmqpClient::disconnected, this, &rabbit_man_dl::disconnected);
    connect(&client, &AmqpClient::connected, this, &rabbit_man_dl::connected);
    client.connectToHost(uri);
    client.setAutoReconnect(true);
    client.setVirtualHost(vhost);
    timer.setInterval(1000);
    connect(&timer, &QTimer::timeout, this, &rabbit_man_dl::republish_message);
}

rabbit_man_dl::~rabbit_man_dl()
{
    timer.stop();
    if (exchange)
        QObject::disconnect(exchange, nullptr, this, nullptr);
}

bool rabbit_man_dl::can_publish() const
{
    return exchange && exchange->isOpen();
}

void rabbit_man_dl::connected()
{
    exchange = client.createExchange(exchange_name, -1);
    // The channel opens after the connection; what waited goes out then, in order.
    connect(exchange, &AmqpChannel::opened, this, &rabbit_man_dl::publish_next, Qt::UniqueConnection);
    LOG_EXC << "Connected";
    publish_next();
}

void rabbit_man_dl::disconnected()
{
    LOG_EXC << " Rabbit_man_dl: Disconnected";
}

void rabbit_man_dl::queue_string(QByteArray string, QByteArray routing_key)
{
    QByteArray dropped;
    if (queue.push(string, routing_key, &dropped)) {
        const QString status = QJsonDocument::fromJson(dropped).object().value(QStringLiteral("status_id")).toString();
        LOG_EXC << "downlink queue full, oldest downlink dropped:" << status;
    }
    if (!timer.isActive())
        timer.start();
}

void rabbit_man_dl::publish_string(QByteArray string, QByteArray routing_key)
{
    if (!can_publish() || !queue.isEmpty()) {
        queue_string(string, routing_key);
        return;
    }
    exchange->publish(text_of(string), text_of(routing_key), AmqpMessage::PropertyHash(), 0);
}

void rabbit_man_dl::publish_next()
{
    while (can_publish() && !queue.isEmpty()) {
        const auto item = queue.head();
        exchange->publish(text_of(item.first), text_of(item.second), AmqpMessage::PropertyHash(), 0);
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
