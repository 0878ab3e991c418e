#include "api_transparent_channel.h"
#include "log_limiter.h"
#include "logger.h"
#include "radio_exchange.h"
#include "sql_exchange.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <cctype>

namespace {

const QString k_setting = QStringLiteral("HDLC");
// Datagrams taken in one pass of the event loop: a flood leaves the rest to the next pass, so
// the daemon goes on serving everything else meanwhile.
constexpr int k_datagrams_per_pass = 256;

// Anyone who reaches the ports can send frames as fast as he likes: their lines are counted
// beyond a burst, and so are the frames the downlink road has no room for.
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
log_limiter& full_lines()
{
    static log_limiter lim(QStringLiteral("hdlc frame dropped, downlink queue full"), LVL_WRN, 50, 1000);
    return lim;
}
// A client may connect and leave as fast as it likes.
log_limiter& connection_lines()
{
    static log_limiter lim(QStringLiteral("hdlc connection"), LVL_EXC, 50, 1000);
    return lim;
}

// False, with the frame counted, when the downlink road cannot take one more command.
bool road_has_room(const char* side)
{
    if (!Radio_Exchange::instance || Radio_Exchange::instance->dl_free_room() > 0) return true;
    if (full_lines().pass(LVL_WRN))
        LOG_WRN << "hdlc" << side << "frame dropped: the downlink queue is full";
    return false;
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

void API_transparent_channel::slot_TCP_newConnection()
{
    while (QTcpSocket* next = tcp_server->nextPendingConnection()) {
        // One client at a time: the newcomer takes over, the previous one is closed with the
        // frame it may have left half sent.
        if (tcp_client) {
            tcp_client->disconnect(this);
            tcp_client->abort();
            tcp_client->deleteLater();
        }
        tcp_stream.clear();
        tcp_client = next;
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
    if (client == tcp_client) {
        if (connection_lines().pass(LVL_NTC))
            LOG_NTC << "hdlc client left" << client->peerAddress().toString() << client->peerPort();
        tcp_client = nullptr;
        tcp_stream.clear();
    }
    client->deleteLater();
}

void API_transparent_channel::slot_TCP_readyRead()
{
    auto* client = qobject_cast<QTcpSocket*>(sender());
    if (!client || client != tcp_client) return;
    const QList<QByteArray> frames = tcp_stream.feed(client->readAll(), clock.elapsed());
    for (QByteArray frame : frames) {
        const bool say = frame_lines().pass(LVL_NTC);
        if (API_transparent_channel::hdlc_check_frame(frame) == 0) {
            if (say) LOG_DBG << "hdlc tcp frame refused" << log_cut(frame.toHex().toUpper());
            continue;
        }
        const int32_t index = hdlc_replace_address(frame, 0, true);
        if (say) LOG_NTC << index;
        const uint32_t modem = modem_at(uint32_t(index));
        if (index < 0 || modem == 0) continue;
        if (say) LOG_NTC << modem;
        if (!road_has_room("tcp")) continue;
        tcp_modem = modem;
        send_frame(modem, frame);
    }
}

void API_transparent_channel::slot_UDP_readyRead()
{
    for (int taken = 0; taken < k_datagrams_per_pass && udp_socket->hasPendingDatagrams(); ++taken) {
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
        if (!road_has_room("udp")) continue;
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
            LOG_DBG << "hdlc answer of" << modem << "refused" << log_cut(item.value.toByteArray());
            continue;
        }
        if (tcp_client && tcp_modem != 0 && modem == tcp_modem) {
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
