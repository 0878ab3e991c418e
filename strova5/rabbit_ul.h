#pragma once
// Consumer of the uplink queue: every message body is handed on and acknowledged at once.

#include "amqp_client.h"
#include "amqp_message.h"

#include <QObject>
#include <QTimer>
#include <memory>

class AmqpQueue;
class log_limiter;

// The settings the consumer and the publisher give their broker link: a heartbeat of 15 s, so a
// silent link is found within about 30 s, and an open given up after 15 s without an answer.
void rabbit_link_setup(AmqpClient& client);
// Ends the link cleanly (connection.close, answered by close-ok) and for good, waiting at most
// `msecs` for the broker's answer: a quit that then waits for the database leaves no link to lapse
// and be dropped by the broker meanwhile.
void rabbit_link_close(AmqpClient& client, int msecs);

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
    // True while the broker delivers to our consumer.
    bool is_consuming() const;

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
    // Something keeps the consumer from consuming: said at Err at once, then at most once a
    // minute while it lasts (the timer repeats it when nothing new happens).
    void trouble(const QString& reason);
    // The trouble is over: consuming again (said), or held on purpose (not said).
    void clear_trouble(bool consuming);
    void broker_cancelled();

    AmqpClient client;
    AmqpQueue* queue = nullptr;
    AmqpMessage message;
    QString uri;
    QString queue_name;
    bool stopping = false;
    bool held = false;
    int quit_hook = 0;
    int close_hook = 0;
    QString reason; // why it does not consume; empty while it does, or is held on purpose
    QTimer reminder;
    std::unique_ptr<log_limiter> trouble_lines;
};
