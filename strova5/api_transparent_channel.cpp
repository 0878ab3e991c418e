#include "api_transparent_channel.h"
#include "log_limiter.h"
#include "logger.h"
#include "radio_exchange.h"
#include "sql_exchange.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>
#include <cctype>

namespace {

const QString k_setting = QStringLiteral("HDLC");
// Bytes taken from a TCP client at a time: the frames of one read wait for the passes after it,
// so a read holds at most a few hundred of them.
constexpr qint64 k_tcp_chunk = 2048;
// A paused client is looked at again this often: the budget refills a frame every 10 ms.
constexpr int k_resume_ms = 20;

// Anyone who reaches the ports can send frames as fast as he likes: their lines are counted
// beyond a burst, and so are the frames the budget has no room for.
log_limiter& frame_lines()
{
    static log_limiter lim(QStringLiteral("hdlc tcp frame"), LVL_NTC, 50, 1000);
    return lim;
}
log_limiter& datagram_lines()
{
    static log_limiter lim(QStringLiteral("hdlc datagram"), LVL_EXC, 50, 1000);
    return lim;
}
log_limiter& dropped_lines()
{
    static log_limiter lim(QStringLiteral("hdlc frame dropped, no room"), LVL_WRN, 50, 1000);
    return lim;
}
// A client may connect and leave as fast as it likes.
log_limiter& connection_lines()
{
    static log_limiter lim(QStringLiteral("hdlc connection"), LVL_EXC, 50, 1000);
    return lim;
}

// One key per sender, whichever road and address family it came by.
QHostAddress sender_key(const QHostAddress& address)
{
    bool v4 = false;
    const quint32 a = address.toIPv4Address(&v4);
    return v4 ? QHostAddress(a) : QHostAddress(address.toIPv6Address());
}

// The meter's frame from the hex text of an answer; empty when the text is not whole bytes.
QByteArray frame_of_answer(const QVariant& value)
{
    const QByteArray text = value.toByteArray();
    if (text.isEmpty() || text.size() % 2 != 0) return QByteArray();
    for (char c : text) {
        if (!isxdigit(static_cast<unsigned char>(c))) return QByteArray();
    }
    return QByteArray::fromHex(text);
}

} // namespace

API_transparent_channel::API_transparent_channel(QVariantMap config, QObject* parent) : QObject(parent)
{
    clock.start();
    tcp_resume = new QTimer(this);
    tcp_resume->setSingleShot(true);
    connect(tcp_resume, &QTimer::timeout, this, &API_transparent_channel::tcp_pass);

    udp_socket = new QUdpSocket(this);
    const quint16 udp_port = quint16(config.value(QStringLiteral("UDPport")).toUInt() & 0xFFFF);
    if (udp_port != 0 && !udp_socket->bind(QHostAddress::Any, udp_port))
        LOG_ERR << "hdlc udp bind" << udp_port << udp_socket->errorString();
    connect(udp_socket, &QUdpSocket::readyRead, this, &API_transparent_channel::slot_UDP_readyRead);

    tcp_server = new QTcpServer(this);
    const quint16 tcp_port = quint16(config.value(QStringLiteral("TCPport")).toUInt() & 0xFFFF);
    if (tcp_port != 0) {
        if (!tcp_server->listen(QHostAddress::Any, tcp_port))
            LOG_ERR << "hdlc tcp listen" << tcp_port << tcp_server->errorString();
        LOG_EXC << "listen" << tcp_port;
    }
    connect(tcp_server, &QTcpServer::newConnection, this, &API_transparent_channel::slot_TCP_newConnection);

    for (const QVariant& id : config.value(QStringLiteral("modems")).toList())
        modems << id.toUInt();
    LOG_EXC << modems;
}

API_transparent_channel::~API_transparent_channel() = default;

uint32_t API_transparent_channel::modem_at(uint32_t index) const
{
    return index < uint32_t(modems.size()) ? modems.at(int(index)) : 0;
}

void API_transparent_channel::send_frame(uint32_t modem, const QByteArray& frame)
{
    if (SQL_Exchange::instance)
        SQL_Exchange::instance->send_dl(modem, {QStringLiteral("special")}, k_setting,
                                        QVariant(frame.toHex()));
}

bool API_transparent_channel::budget_ready(const QHostAddress& sender)
{
    if (!shares.ready(sender, clock.elapsed())) return false;
    return !Radio_Exchange::instance || Radio_Exchange::instance->dl_spare_room() > 0;
}

void API_transparent_channel::slot_TCP_newConnection()
{
    while (QTcpSocket* next = tcp_server->nextPendingConnection()) {
        // One client at a time: the newcomer takes over, the previous one is closed with the
        // frame it may have left half sent.
        if (tcp_client) {
            tcp_client->disconnect(this);
            tcp_client->abort();
            tcp_client->deleteLater();
            // Its part would otherwise sit full until it aged out, and with many such clients
            // the store holds the whole rate where nobody spends it.
            shares.gone(tcp_sender);
        }
        tcp_stream.clear();
        tcp_frames.clear();
        tcp_gone = false;
        tcp_client = next;
        tcp_sender = sender_key(next->peerAddress());
        // Qt stops reading from the kernel once this much waits: a client faster than the
        // budget is held back by TCP itself.
        next->setReadBufferSize(tcp_read_buffer);
        if (connection_lines().pass(LVL_EXC))
            LOG_EXC << "new connection" << next->peerAddress().toString() << next->peerPort();
        connect(next, &QTcpSocket::readyRead, this, &API_transparent_channel::slot_TCP_readyRead);
        connect(next, &QTcpSocket::disconnected, this, &API_transparent_channel::slot_TCP_disconnected);
    }
}

void API_transparent_channel::slot_TCP_disconnected()
{
    auto* client = qobject_cast<QTcpSocket*>(sender());
    if (!client) return;
    if (client != tcp_client) {
        client->deleteLater();
        return;
    }
    if (connection_lines().pass(LVL_NTC))
        LOG_NTC << "hdlc client left" << client->peerAddress().toString() << client->peerPort();
    // The frames it sent before it left still go, at the channel's pace; it gets no answer. The
    // next pass ends it once they are taken.
    tcp_gone = true;
    if (!tcp_resume->isActive()) tcp_resume->start(0);
}

void API_transparent_channel::end_tcp_client()
{
    shares.gone(tcp_sender);
    tcp_client->disconnect(this);
    tcp_client->deleteLater();
    tcp_client = nullptr;
    tcp_gone = false;
    tcp_stream.clear();
    tcp_frames.clear();
}

void API_transparent_channel::slot_TCP_readyRead()
{
    auto* client = qobject_cast<QTcpSocket*>(sender());
    if (!client || client != tcp_client) return;
    tcp_pass();
}

void API_transparent_channel::tcp_pass()
{
    if (!tcp_client) return;
    for (int taken = 0; taken < frames_per_pass;) {
        const bool ready = budget_ready(tcp_sender);
        const qint64 now = clock.elapsed();
        // A partial frame ages only while we read: a wait of ours is not the client's.
        if (!ready && tcp_paused_at < 0) tcp_paused_at = now;
        if (ready && tcp_paused_at >= 0) {
            tcp_paused_ms += now - tcp_paused_at;
            tcp_paused_at = -1;
        }
        if (tcp_frames.isEmpty()) {
            if (tcp_client->bytesAvailable() <= 0) {
                if (tcp_gone) end_tcp_client();
                return;
            }
            // Nothing is read while no frame could go: the bytes wait in the socket.
            if (!ready) break;
            tcp_frames = tcp_stream.feed(tcp_client->read(k_tcp_chunk), now - tcp_paused_ms);
            continue;
        }
        if (!ready) break;
        ++taken;
        forward_tcp(tcp_frames.takeFirst());
    }
    // Cut off by the pass's share or paused for the budget: the rest waits for a later pass, so
    // the daemon serves everything else meanwhile.
    if (!tcp_resume->isActive()) tcp_resume->start(budget_ready(tcp_sender) ? 0 : k_resume_ms);
}

void API_transparent_channel::forward_tcp(QByteArray frame)
{
    const bool say = frame_lines().pass(LVL_NTC);
    const uint32_t r = hdlc_check_frame(frame);
    if (r == 0) {
        if (say) LOG_DBG << "hdlc tcp frame refused" << log_cut(frame.toHex().toUpper());
        return;
    }
    const int32_t index = hdlc_replace_address(frame, 0, true);
    // The address as the frame holds it and the position this road reads from it: the two roads
    // read 1- to 4-byte addresses differently (see the operations guide).
    if (say)
        LOG_NTC << "hdlc tcp frame to address" << (r >> 4) << "of" << (r & 0xF) << "bytes: position" << index;
    const uint32_t modem = modem_at(uint32_t(index));
    if (index < 0 || modem == 0) return;
    if (say) LOG_NTC << modem;
    take_budget(tcp_sender);
    tcp_modem = modem;
    send_frame(modem, frame);
}

void API_transparent_channel::slot_UDP_readyRead()
{
    for (int taken = 0; taken < frames_per_pass && udp_socket->hasPendingDatagrams(); ++taken) {
        const QNetworkDatagram datagram = udp_socket->receiveDatagram();
        const QByteArray frame = datagram.data();
        const bool say = datagram_lines().pass(LVL_EXC);
        if (say) LOG_EXC << log_cut(frame.toHex().toUpper());
        const uint32_t r = hdlc_check_frame(frame);
        const uint32_t index = (r >> 4) & 0x3FFF;
        if (say) LOG_EXC << (r >> 18) << index << (r & 0xF);
        if (r == 0) {
            if (say)
                LOG_DBG << "hdlc udp frame refused from" << datagram.senderAddress().toString()
                        << datagram.senderPort();
            continue;
        }
        const uint32_t modem = modem_at(index);
        if (modem == 0) continue;
        // A datagram cannot wait: beyond its sender's share and what others leave it is
        // dropped, and counted.
        const QHostAddress sender = sender_key(datagram.senderAddress());
        if (!budget_ready(sender)) {
            // Who floods, and which bound it met.
            if (dropped_lines().pass(LVL_WRN)) {
                const bool room = !Radio_Exchange::instance || Radio_Exchange::instance->dl_spare_room() > 0;
                LOG_WRN << qPrintable(
                    QStringLiteral("hdlc udp frame from %1 port %2 dropped: %3")
                        .arg(sender.toString())
                        .arg(datagram.senderPort())
                        .arg(room
                                 ? QStringLiteral(
                                       "its share of the %1 frames a second both roads forward is spent")
                                       .arg(frames_per_second)
                                 : QStringLiteral("half of the downlink queue is taken (the rest is kept for "
                                                  "commands under a command right)")));
            }
            continue;
        }
        take_budget(sender);
        udp_peers[modem] = QVariantMap{{QStringLiteral("host"), datagram.senderAddress().toString()},
                                       {QStringLiteral("port"), datagram.senderPort()}};
        send_frame(modem, frame);
    }
}

void API_transparent_channel::slot_UL(Parser_ul_app ul_parse)
{
    const uint32_t modem = ul_parse.modem_id;
    for (const Ul_setting& item : qAsConst(ul_parse.ul_settings)) {
        if (item.key != k_setting) continue;
        const QByteArray frame = frame_of_answer(item.value);
        if (hdlc_check_frame(frame) == 0) {
            LOG_LIMITED(LVL_DBG, "hdlc answer refused")
                << "hdlc answer of" << modem << "refused" << log_cut(item.value.toByteArray());
            continue;
        }
        if (tcp_client && !tcp_gone && tcp_modem != 0 && modem == tcp_modem) {
            const int index = modems.indexOf(modem);
            if (index >= 0) {
                QByteArray answer = frame;
                if (hdlc_replace_address(answer, uint32_t(index), false) >= 0) tcp_client->write(answer);
            }
        }
        const auto peer = udp_peers.constFind(modem);
        if (peer != udp_peers.cend() && peer->contains(QStringLiteral("host"))) {
            udp_socket->writeDatagram(frame, QHostAddress(peer->value(QStringLiteral("host")).toString()),
                                      quint16(peer->value(QStringLiteral("port")).toUInt()));
        }
    }
}
