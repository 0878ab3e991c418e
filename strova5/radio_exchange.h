#pragma once
// The bridge to the radio network server: uplink and delivery-report JSON from the broker into
// records, encoded commands into downlink JSON.

#include "records.h"

#include <QJsonObject>
#include <QObject>
#include <QVariantMap>

class rabbit_man_ul;
class rabbit_man_dl;

class Radio_Exchange : public QObject
{
    Q_OBJECT
public:
    static Radio_Exchange* instance;

    Radio_Exchange(QVariantMap config, QObject* parent);
    ~Radio_Exchange() override;

    // The uplink JSON object as a radio record; false when the message is dropped
    // (modem id 0, empty or malformed payload).
    static bool read_uplink(const QJsonObject& message, Radio_ul_input& out, uint32_t now);
    // A delivery report; false when the message is not one of ours.
    static bool read_dl_status(const QJsonObject& message, Rabbit_dl_status& out);
    // The downlink object of one encoded command.
    static QVariantMap dl_to_map(const Stringify_dl_app& dl_app);
    // Uplinks are taken from the broker (true) or left waiting there (false).
    void take_uplinks(bool take);

    // How many more downlinks the road to the broker carries without dropping one: the
    // publisher's free room less the commands posted to `slot_DL` and not yet arrived. Without
    // a downlink publisher nothing is ever dropped.
    int dl_free_room() const;
    // That room when nothing waits (none without a downlink publisher).
    int dl_capacity() const;
    // The free room beyond half of the capacity: what callers without a right of their own may
    // take, so that half of the queue always waits for the rest (all of it without a publisher).
    int dl_spare_room() const;
    // A command was posted to `slot_DL` through a queued signal.
    void note_dl_posted()
    {
        ++dl_posted;
        ++dl_entered;
    }
    // The downlinks that took a place in the room so far, every road counted: the next one's
    // number in the order they entered.
    quint64 dl_entered_count() const { return dl_entered; }
    // Of those, how many have left it (published and confirmed, or dropped): the queue is first in,
    // first out, so these are the first ones in.
    quint64 dl_left_count() const;

signals:
    void signal_UL(Parser_ul_app ul_parse);
    void signal_stringify(QByteArray string, QByteArray routing_key);
    void signal_DL_status(Rabbit_dl_status dl_status);

public slots:
    void slot_parse(QByteArray mess);
    void slot_DL(Stringify_dl_app dl_app);
    void slot_rabbit_DL(QVariantMap dlmap);

public:
    // Sends a downlink; `under_right`: made for a caller holding a command right, `own`: made by
    // the daemon itself (so is one posted under an own_commands scope); each kind's lines have a
    // limiter of their own.
    void post_dl(QVariantMap dlmap, bool under_right, bool own = false);

private:
    // post_dl for a downlink whose place is counted already.
    void publish_dl(QVariantMap dlmap, bool under_right, bool own);

    rabbit_man_ul* rabbit_ul = nullptr;
    rabbit_man_dl* rabbit_dl = nullptr;
    QVariantMap config;
    QByteArray api_key_member; // "\"api_key\":...," of the downlink object, or empty
    int dl_posted = 0;         // announced by note_dl_posted, not yet in slot_DL
    quint64 dl_entered = 0;
};
