#pragma once
// The transparent channel: outside programs that speak HDLC to meters reach them through the
// radio network, one TCP client at a time and any number of UDP senders. A frame's destination
// address selects a position in the configured modem list; the frame goes to that modem as the
// command "HDLC", and the meter's answer (an uplink item "HDLC") goes back to the client that
// addressed the modem last.
//
// The channel has no authentication: whoever reaches its ports talks to the meters.

#include "api_transparent_channel_shares.h"
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
