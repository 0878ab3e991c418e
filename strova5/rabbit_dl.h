#pragma once
// Publisher of the downlinks, in confirm mode. Downlinks wait in a bounded queue while the
// exchange's channel is not open, while the broker blocks the connection (a memory alarm) or
// while too many wait for their confirmation, and go out in order once they may; a downlink the
// broker has not confirmed when the connection or the channel goes is queued again in front, so
// that none is lost silently (the network server tells a repeated one by its "status_id").
// Publishing never waits for the socket: the main thread goes on taking uplinks.

#include "amqp_client.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QQueue>
#include <QTimer>

class AmqpExchange;

// Pending downlinks, oldest first; bounded.
class messque
{
public:
    struct item
    {
        QByteArray text;
        QByteArray routing_key;
        bool refused = false; // the broker refused it once (basic.nack)
    };

    explicit messque(int capacity = 10000) : capacity(capacity) {}

    // Appends; when full (`on_wire` published but unconfirmed ones count too), drops the oldest
    // waiting one and returns it in `dropped`.
    bool push(const QByteArray& text, const QByteArray& routing_key, QByteArray* dropped, int on_wire = 0);
    // Puts `front` before everything waiting, in its order.
    void push_front(const QList<item>& front);
    bool isEmpty() const { return items.isEmpty(); }
    int size() const { return items.size(); }
    // How many more may come before the oldest waiting one is dropped.
    int room(int on_wire) const { return capacity - items.size() - on_wire; }
    int limit() const { return capacity; }
    const item& head() const { return items.head(); }
    const item& at(int i) const { return items.at(i); }
    void pop() { items.dequeue(); }

private:
    int capacity;
    QQueue<item> items;
};

class rabbit_man_dl : public QObject
{
    Q_OBJECT
public:
    rabbit_man_dl(QString uri, QString exchange_name, QString vhost, QObject* parent);
    ~rabbit_man_dl() override;

    // Downlinks waiting to be published, and published but not yet confirmed.
    int pending() const { return queue.size(); }
    int unconfirmed() const { return in_flight.size(); }
    // Downlinks that may still come without one being dropped: what is waiting, on the wire and
    // on its way here through a queued signal all count.
    int free_room() const { return queue.room(in_flight.size()) - arriving; }
    // The room when nothing waits.
    int capacity() const { return queue.limit(); }
    // A downlink was handed to `publish_string` through a queued signal.
    void note_arriving() { ++arriving; }
    // Published and not yet confirmed: beyond this many, publishing waits for confirmations.
    static constexpr int max_unconfirmed = 1000;
    // Publishes and waits for the confirmations of what is held, for up to `msecs`; at the end,
    // what is still unconfirmed is named in one Err line. Runs at quit, once.
    void flush(int msecs);

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
    // Publishes one downlink and keeps it until the broker confirms it; false when it did not go out.
    bool send(const messque::item& item);
    void confirms_enabled();
    void acknowledged(qint64 tag, bool multiple);
    void not_acknowledged(qint64 tag, bool multiple);
    void channel_lost();
    // Takes the downlinks confirmed (or refused) by one basic.ack / basic.nack, oldest first.
    QList<messque::item> take_confirmed(qint64 tag, bool multiple);

    QString uri;
    AmqpExchange* exchange = nullptr;
    QString exchange_name;
    QString vhost;
    AmqpClient client;
    messque queue;
    QTimer timer;
    // The status ids of downlinks dropped at the queue's cap, named together once a second.
    QStringList dropped_ids;
    QTimer dropped_timer;
    void name_dropped();
    bool confirming = false;               // confirm mode is on for the channel as it is open now
    QMap<qint64, messque::item> in_flight; // by delivery tag of the current channel opening
    int quit_hook = 0;
    int close_hook = 0;
    bool flushed = false; // the quit's flush is done: once only
    bool closing = false; // the quit ends the link on purpose
    int arriving = 0; // announced by note_arriving, not yet in publish_string
};
