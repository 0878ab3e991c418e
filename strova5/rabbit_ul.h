#pragma once
// Consumer of the uplink queue: every message body is handed on and acknowledged at once.

#include "amqp_client.h"
#include "amqp_message.h"

#include <QObject>

class AmqpQueue;

class rabbit_man_ul : public QObject
{
    Q_OBJECT
public:
    rabbit_man_ul(QString uri, QString queue_name, QString vhost, QObject* parent);
    ~rabbit_man_ul() override;

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
};
