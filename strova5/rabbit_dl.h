#pragma once
// Publisher of the downlinks. Downlinks wait in a bounded queue while the exchange's channel is
// not open and go out in order once it is.

#include "amqp_client.h"

#include <QByteArray>
#include <QObject>
#include <QPair>
#include <QQueue>
#include <QTimer>

class AmqpExchange;

// Pending downlinks (text, routing key), oldest first; bounded.
class messque
{
public:
    explicit messque(int capacity = 10000) : capacity(capacity) {}

    // Appends; when full, drops the oldest and returns it in `dropped`.
    bool push(const QByteArray& text, const QByteArray& routing_key, QByteArray* dropped);
    bool isEmpty() const { return items.isEmpty(); }
    int size() const { return items.size(); }
    const QPair<QByteArray, QByteArray>& head() const { return items.head(); }
    void pop() { items.dequeue(); }

private:
    int capacity;
    QQueue<QPair<QByteArray, QByteArray>> items;
};

class rabbit_man_dl : public QObject
{
    Q_OBJECT
public:
    rabbit_man_dl(QString uri, QString exchange_name, QString vhost, QObject* parent);
    ~rabbit_man_dl() override;

    int pending() const { return queue.size(); }

signals:
    void republish();
    void conn_estimated();

public slots:
    void queue_string(QByteArray string, QByteArray routing_key);
    void publish_string(QByteArray string, QByteArray routing_key);
    void republish_message();
    void publish_next();
    void connected();
    void disconnected();

private:
    bool can_publish() const;

    QString uri;
    AmqpExchange* exchange = nullptr;
    QString exchange_name;
    QString vhost;
    AmqpClient client;
    messque queue;
    QTimer timer;
};
