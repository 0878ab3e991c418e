#pragma once
// The transparent channel: outside programs that speak HDLC to meters reach them through the
// radio network, one TCP client at a time and any number of UDP senders. A frame's destination
// address selects a position in the configured modem list; the frame goes to that modem as the
// command "HDLC", and the meter's answer (an uplink item "HDLC") goes back to the client that
// addressed the modem last.
//
// The channel has no authentication: whoever reaches its ports talks to the meters.

#include "records.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QVariantMap>
#include <algorithm>
#include <cstdint>

class QTcpServer;
class QTimer;
class QTcpSocket;
class QUdpSocket;

// Cuts the HDLC frames out of one TCP client's byte stream, flag to flag by the 11-bit frame
// length. Bytes before a frame start are dropped, a partial frame waits for the rest, and a
// stream that yields no frame is not kept for ever.
class Hdlc_stream
{
public:
    static constexpr int max_buffer = 4200;
    static constexpr qint64 max_age_ms = 10000;

    // Appends the bytes read at `now_ms` (a monotonic clock) and returns the frames now
    // complete, in order, each from its opening to its closing flag.
    QList<QByteArray> feed(const QByteArray& bytes, qint64 now_ms);
    int buffered() const { return buffer.size(); }
    void clear() { buffer.clear(); }

private:
    QByteArray buffer;
    qint64 since_ms = 0; // arrival of the oldest partial frame held
};

// Shares the channel's frames a second among its senders (addresses, UDP and TCP alike): each
// sender seen within `idle_ms` earns an equal part of the rate, kept up to a second of that
// part; what a sender leaves unused goes to the senders below their part, then into a pool that
// any sender may take from. Never more than a second of the whole rate is stored, so all senders
// together keep to the rate.
class Channel_shares
{
public:
    static constexpr qint64 idle_ms = 10000;
    // At most as many senders as frames a second are tracked, each with at least a frame a
    // second: a newcomer beyond them takes the place of one not seen for this long, else it takes
    // only from the pool. So a flood from many (forged) sources shares the rate among them.
    static constexpr qint64 replaceable_ms = 1000;

    explicit Channel_shares(int per_second) : rate(std::max(1, per_second)), pool(rate) {}
    // Whether `sender` may forward a frame at `now_ms` (a monotonic clock); marks it as seen.
    bool ready(const QHostAddress& sender, qint64 now_ms);
    // Spends the frame that ready() found: the sender's own part first, then the pool.
    void take(const QHostAddress& sender);
    int senders() const { return shares.size(); }
    int max_senders() const { return rate; }

private:
    struct share
    {
        double frames = 0; // earned, not yet spent
        qint64 seen = 0;
    };
    int rate;
    double pool;
    qint64 at = -1; // the last refill
    QHash<QHostAddress, share> shares;

    void refill(qint64 now_ms);
};

class API_transparent_channel : public QObject
{
    Q_OBJECT
public:
    API_transparent_channel(QVariantMap config, QObject* parent);
    ~API_transparent_channel() override;

    // Frames of 9 to 2049 bytes (an 11-bit frame length): 0 unless both flags, the format type
    // 0xA, the frame length, the FCS and, with an information field, the HCS are right and both
    // addresses have 1 to 4 bytes; otherwise the destination address packed as value << 4 |
    // byte count. Never 0 for a frame that passes.
    static uint32_t hdlc_check_frame(const QByteArray& frame);

    // Rebuilds `frame` with one address part replaced and fresh HCS and FCS: the lower 7 bits of
    // a 2-byte or the upper 14 bits of a 4-byte address, chosen by `destination`; the old part is
    // the result (0 for an address of another size, which keeps its value). Neither check
    // sequence nor the frame length is read. A frame with an address of more than 4 bytes, or
    // one whose rebuilt length would not fit 11 bits, is refused: the result is -1 and the
    // frame is left empty.
    static int32_t hdlc_replace_address(QByteArray& frame, uint32_t value, bool destination);

signals:
    void signal_DL(Stringify_dl_app dl_app);

public slots:
    void slot_UDP_readyRead();
    void slot_TCP_newConnection();
    void slot_TCP_readyRead();
    void slot_UL(Parser_ul_app ul_parse);

private slots:
    void slot_TCP_disconnected();

public:
    // Frames a pass of the event loop takes from one road, and the bytes a TCP client may have
    // waiting in our buffer: a flood waits in the kernel and at its sender, not here.
    static constexpr int frames_per_pass = 256;
    static constexpr qint64 tcp_read_buffer = 64 * 1024;
    // Frames forwarded a second, both roads together, and only while more than half of the
    // downlink queue is free: the operator's commands always find room. Senders share them.
    static constexpr int frames_per_second = 100;

private:
    QUdpSocket* udp_socket = nullptr;
    QTcpServer* tcp_server = nullptr;
    QList<uint32_t> modems;                // a frame's index selects the position; 0 = no modem
    QMap<uint32_t, QVariantMap> udp_peers; // modem -> {"host", "port"} of its last UDP sender
    QTcpSocket* tcp_client = nullptr;
    uint32_t tcp_modem = 0; // 0: no TCP frame forwarded yet, so no answer goes to TCP
    Hdlc_stream tcp_stream;
    QList<QByteArray> tcp_frames; // cut from the stream, not yet taken: at most one read's worth
    QTimer* tcp_resume = nullptr; // the next pass of a client that was paused or cut off
    bool tcp_gone = false;        // the client left; what it sent before is still taken
    qint64 tcp_paused_at = -1;    // since when no frame could go, -1 while they can
    qint64 tcp_paused_ms = 0;     // the time spent so, left out of the stream's clock
    QElapsedTimer clock;
    Channel_shares shares{frames_per_second};
    QHostAddress tcp_sender; // the TCP client's address, its share's key

    // The modem at `index` of the list, 0 when there is none.
    uint32_t modem_at(uint32_t index) const;
    void send_frame(uint32_t modem, const QByteArray& frame);
    // Room for one more frame of `sender` in its share and on the downlink road; take_budget()
    // spends it.
    bool budget_ready(const QHostAddress& sender);
    void take_budget(const QHostAddress& sender) { shares.take(sender); }
    // One pass over the current TCP client: at most frames_per_pass frames, none while the
    // budget has no room (the client's bytes then wait for the next pass).
    void tcp_pass();
    void forward_tcp(QByteArray frame);
    void end_tcp_client();
};
