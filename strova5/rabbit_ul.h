#pragma once
// Consumer of the uplink queue: every message body is handed on and acknowledged at once.

#include "amqp_client.h"
#include "amqp_message.h"

#include <QObject>

class AmqpQueue;

// The settings the consumer and the publisher give their broker link: a heartbeat of 15 s, so a
// silent link is found within about 30 s, and an open given up after 15 s without an answer.
void rabbit_link_setup(AmqpClient& client);

class rabbit_man_ul : public QObject
{
    Q_OBJECT
public:
    rabbit_man_ul(QString uri, QString queue_name, QString vhost, QObject* parent);
    ~rabbit_man_ul() override;

    // Held: the consumer is cancelled and the uplinks wait in the broker's queue (storage is at
    // its cap); released: consuming starts again. Deliveries already received are taken.
    void hold(bool on);
    bool is_held() const { return held; }

signals:
    void conn_estimated();
    void conn_lost();
    void data_received(QByteArray body);

public slots:
    void stop();
    void start();
    void queueDeclared();
    void messageReceived();
    void disconnected();
    void connected();

private:
    AmqpClient client;
    AmqpQueue* queue = nullptr;
    AmqpMessage message;
    QString uri;
    QString queue_name;
    bool stopping = false;
    bool held = false;
    int quit_hook = 0;
};
