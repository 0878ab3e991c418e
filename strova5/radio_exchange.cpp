#include "radio_exchange.h"

#include "log_limiter.h"
#include "logger.h"
#include "parser_strova5.h"
#include "rabbit_dl.h"
#include "rabbit_ul.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>
#include <limits>

Radio_Exchange* Radio_Exchange::instance = nullptr;

namespace {
const QString status_prefix = QStringLiteral("drvStrova5_");
const QByteArray status_prefix_bytes = status_prefix.toLatin1();

bool is_hex_text(const QByteArray& text)
{
    if (text.size() % 2)
        return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}
// The network server's modem ids: a count of uplinks with ids no meter can have (a bad
// publisher) must not flood the log.
log_limiter& bad_id_lines()
{
    static log_limiter lim(QStringLiteral("message with a bad modem_id"), LVL_WRN, 10, 60000);
    return lim;
}
// Outside input (API requests, frames of the transparent channel) can make downlinks as fast as
// the broker takes them: their lines are counted beyond a burst. The downlinks of callers holding
// a command right have a limiter of their own: the record of what an operator sent stays whole
// however fast others make theirs. So do the daemon's own, which outside input drives too (a
// thousand new meters heard at once each get their queries).
log_limiter& downlink_lines(bool under_right, bool own)
{
    static log_limiter lim(QStringLiteral("downlink"), LVL_EXC, 50, 1000);
    static log_limiter right_lim(QStringLiteral("downlink under a command right"), LVL_EXC, 50, 1000);
    static log_limiter own_lim(QStringLiteral("downlink of the daemon's own"), LVL_EXC, 50, 1000);
    return own ? own_lim : under_right ? right_lim : lim;
}
} // namespace

Radio_Exchange::Radio_Exchange(QVariantMap config_, QObject* parent) : QObject(parent), config(config_)
{
    instance = this;
    if (config.contains(QStringLiteral("ul"))) {
        const QVariantMap ul = config.value(QStringLiteral("ul")).toMap();
        rabbit_ul = new rabbit_man_ul(ul.value(QStringLiteral("path"), QString()).toString(),
                                      ul.value(QStringLiteral("queue"), QString()).toString(),
                                      ul.value(QStringLiteral("host"), QStringLiteral("/api")).toString(), this);
        connect(rabbit_ul, &rabbit_man_ul::data_received, this, &Radio_Exchange::slot_parse, Qt::QueuedConnection);
    }
    if (config.contains(QStringLiteral("dl"))) {
        const QVariantMap dl = config.value(QStringLiteral("dl")).toMap();
        if (dl.contains(QStringLiteral("api_key"))) {
            // The key as the document writer quotes it, taken from the writer itself.
            const QByteArray one = QJsonDocument(QJsonObject{{QStringLiteral("api_key"),
                                                              dl.value(QStringLiteral("api_key")).toString()}})
                                       .toJson(QJsonDocument::Compact);
            api_key_member = one.mid(1, one.size() - 2) + ',';
        }
        rabbit_dl = new rabbit_man_dl(dl.value(QStringLiteral("path"), QString()).toString(),
                                      dl.value(QStringLiteral("exchange"), QString()).toString(),
                                      dl.value(QStringLiteral("host"), QStringLiteral("/api")).toString(), this);
        connect(this, &Radio_Exchange::signal_stringify, rabbit_dl, &rabbit_man_dl::publish_string,
                Qt::QueuedConnection);
    }
}

Radio_Exchange::~Radio_Exchange()
{
    if (instance == this)
        instance = nullptr;
}

void Radio_Exchange::take_uplinks(bool take)
{
    if (rabbit_ul) rabbit_ul->hold(!take);
}

namespace {
// One member of a message, converted as QJsonDocument::toVariant would convert it.
QVariant member(const QJsonObject& m, QLatin1String key, const QVariant& absent)
{
    const auto it = m.constFind(key);
    return it == m.constEnd() ? absent : it.value().toVariant();
}

// A whole number from 0 to 2^32 - 1, as a JSON number or a numeric text; false for anything
// else, which a plain conversion would wrap or truncate into another modem or another year.
bool whole_u32(const QJsonValue& v, uint32_t& out)
{
    if (v.isDouble()) {
        const double d = v.toDouble();
        if (!(d >= 0 && d <= 4294967295.0) || std::floor(d) != d) return false;
        out = uint32_t(d);
        return true;
    }
    if (v.isString()) {
        bool ok = false;
        const qulonglong n = v.toString().trimmed().toULongLong(&ok, 10);
        if (!ok || n > 4294967295ULL) return false;
        out = uint32_t(n);
        return true;
    }
    return false;
}

// The message's "modem_id": 0 when absent or 0 (dropped silently); false, with a line, when it
// is no modem id at all.
bool read_modem_id(const QJsonObject& m, uint32_t& out)
{
    out = 0;
    const auto it = m.constFind(QLatin1String("modem_id"));
    if (it == m.constEnd() || whole_u32(it.value(), out)) return true;
    if (bad_id_lines().pass(LVL_WRN)) {
        const QByteArray shown = QJsonDocument(QJsonArray{it.value()}).toJson(QJsonDocument::Compact);
        LOG_WRN << "message not taken: modem_id is not a whole number from 1 to 4294967295:"
                << shown.mid(1, shown.size() - 2).left(64).constData();
    }
    return false;
}
} // namespace

bool Radio_Exchange::read_uplink(const QJsonObject& m, Radio_ul_input& r, uint32_t now)
{
    const QVariant zero(0);
    const QVariant empty(QString{});
    // Seconds to minutes, truncating toward zero as the network server's offsets expect.
    r.bs_tz = int16_t(member(m, QLatin1String("bs_tz"), zero).toInt() / 60);
    r.station_id = uint16_t(member(m, QLatin1String("station_id"), zero).toUInt());
    r.last_dl_bs = uint16_t(member(m, QLatin1String("last_dl_bs"), zero).toUInt());
    r.last_dl_bs_aver_busyness = member(m, QLatin1String("last_dl_bs_aver_busyness"), zero).toInt();
    r.last_dl_bs_busyness = member(m, QLatin1String("last_dl_bs_busyness"), zero).toInt();
    const bool id_ok = read_modem_id(m, r.modem_id);
    // A reception time that is no UNIX time of ours counts as missing.
    if (!whole_u32(m.value(QLatin1String("time_detected")), r.ts_get)) r.ts_get = 0;
    r.hw_type = member(m, QLatin1String("hw_type"), empty).toString().toLocal8Bit();
    const QByteArray hex = member(m, QLatin1String("payload"), empty).toByteArray();
    r.payload = is_hex_text(hex) ? QByteArray::fromHex(hex) : QByteArray();
    r.phy = member(m, QLatin1String("phy"), empty).toString();
    r.dl_phy = member(m, QLatin1String("dl_phy"), empty).toString();
    r.rssi = int16_t(member(m, QLatin1String("rssi"), zero).toInt());
    r.snr = int16_t(member(m, QLatin1String("snr"), zero).toInt());
    r.protocol = member(m, QLatin1String("protocol"), empty).toString().toLocal8Bit();
    r.last_success_dl_ts = member(m, QLatin1String("last_success_dl_ts"), zero).toUInt();
    if (!id_ok || r.modem_id == 0) return false;
    if (r.ts_get == 0)
        r.ts_get = now;
    return !r.payload.isEmpty();
}

bool Radio_Exchange::read_dl_status(const QJsonObject& m, Rabbit_dl_status& out)
{
    const QString status_id = member(m, QLatin1String("status_id"), QString()).toString();
    const QString type = member(m, QLatin1String("msg_type"), QString()).toString();
    if (!status_id.contains(status_prefix))
        return false;
    if (type != QLatin1String("dl_fault") && type != QLatin1String("dl_success"))
        return false;
    QString rest = status_id;
    rest.remove(status_prefix);
    bool ok = false;
    const uint32_t cmd_id = rest.toUInt(&ok, 10);
    if (!ok) {
        // Matching by an empty setting name would close an unrelated command.
        LOG_DBG << "delivery report without a valid command number dropped:" << status_id;
        return false;
    }
    uint32_t modem_id = 0;
    if (!read_modem_id(m, modem_id)) return false;
    out = Rabbit_dl_status(modem_id, QString(), type == QLatin1String("dl_success"), cmd_id);
    return out.modem_id != 0;
}

QVariantMap Radio_Exchange::dl_to_map(const Stringify_dl_app& dl)
{
    QVariantMap m;
    m.insert(QStringLiteral("msg_type"), QStringLiteral("dl"));
    m.insert(QStringLiteral("modem_id"), dl.modem_id);
    m.insert(QStringLiteral("status_id"), status_prefix + QString::number(dl.cmd_id));
    m.insert(QStringLiteral("payload"), dl.payload_is_text ? QVariant(dl.payload) : QVariant(dl.payload.toHex().toUpper()));
    m.insert(QStringLiteral("ack"), true);
    return m;
}

void Radio_Exchange::slot_parse(QByteArray mess)
{
    // Members are read straight from the parsed object: a variant map of the whole message would
    // cost more than the decoding of its payload.
    const QJsonObject m = QJsonDocument::fromJson(mess).object();
    if (member(m, QLatin1String("msg_type"), QString()).toString() == QLatin1String("ul_app")) {
        Radio_ul_input input;
        if (read_uplink(m, input, uint32_t(QDateTime::currentSecsSinceEpoch())))
            emit signal_UL(parser_strova5::parse_ul_app(input));
        return;
    }
    Rabbit_dl_status status;
    if (read_dl_status(m, status))
        emit signal_DL_status(status);
}

int Radio_Exchange::dl_free_room() const
{
    if (!rabbit_dl) return std::numeric_limits<int>::max();
    return rabbit_dl->free_room() - dl_posted;
}

quint64 Radio_Exchange::dl_left_count() const
{
    if (!rabbit_dl) return dl_entered; // nothing waits
    const quint64 held = quint64(std::max(0, rabbit_dl->capacity() - dl_free_room()));
    return dl_entered > held ? dl_entered - held : 0;
}

int Radio_Exchange::dl_capacity() const
{
    return rabbit_dl ? rabbit_dl->capacity() : 0;
}

int Radio_Exchange::dl_spare_room() const
{
    if (dl_capacity() <= 0) return std::numeric_limits<int>::max();
    return std::max(0, dl_free_room() - dl_capacity() / 2);
}

void Radio_Exchange::slot_DL(Stringify_dl_app dl_app)
{
    if (dl_posted > 0)
        --dl_posted;
    else
        ++dl_entered; // not announced: it takes its place now
    // A command of hex octets is written straight, with the members in the document writer's
    // order and form: the document model cost more than the rest of a downlink's road.
    if (dl_app.payload_is_text || dl_app.payload.isEmpty()) {
        publish_dl(dl_to_map(dl_app), dl_app.under_right, dl_app.own);
        return;
    }
    QByteArray rest;
    rest.reserve(120 + dl_app.payload.size() * 2);
    rest += "\"modem_id\":";
    rest += QByteArray::number(dl_app.modem_id);
    rest += ",\"msg_type\":\"dl\",\"payload\":\"";
    rest += dl_app.payload.toHex().toUpper();
    rest += "\",\"status_id\":\"";
    rest += status_prefix_bytes;
    rest += QByteArray::number(dl_app.cmd_id);
    rest += "\"}";
    const QByteArray head = QByteArrayLiteral("{\"ack\":true,");
    // The key authenticates us to the network server: never in the log.
    if (downlink_lines(dl_app.under_right, dl_app.own).pass(LVL_EXC)) {
        const QByteArray key = api_key_member.isEmpty() ? QByteArray() : QByteArrayLiteral("\"api_key\":\"***\",");
        LOG_EXC << "DL" << (head + key + rest).constData();
    }
    if (rabbit_dl) rabbit_dl->note_arriving();
    emit signal_stringify(head + api_key_member + rest, QByteArrayLiteral("api.ostrel"));
}

void Radio_Exchange::slot_rabbit_DL(QVariantMap dlmap)
{
    post_dl(std::move(dlmap), false);
}

void Radio_Exchange::post_dl(QVariantMap dlmap, bool under_right, bool own)
{
    ++dl_entered;
    publish_dl(std::move(dlmap), under_right, own);
}

void Radio_Exchange::publish_dl(QVariantMap dlmap, bool under_right, bool own)
{
    const QVariantMap dl = config.value(QStringLiteral("dl")).toMap();
    if (dl.contains(QStringLiteral("api_key")))
        dlmap.insert(QStringLiteral("api_key"), dl.value(QStringLiteral("api_key")).toString());
    const QByteArray text = QJsonDocument::fromVariant(dlmap).toJson(QJsonDocument::Compact);
    if (downlink_lines(under_right, own || own_commands::active()).pass(LVL_EXC)) {
        // The key authenticates us to the network server: never in the log.
        QVariantMap shown = dlmap;
        if (shown.contains(QStringLiteral("api_key")))
            shown.insert(QStringLiteral("api_key"), QStringLiteral("***"));
        LOG_EXC << "DL" << QJsonDocument::fromVariant(shown).toJson(QJsonDocument::Compact).constData();
    }
    if (rabbit_dl) rabbit_dl->note_arriving();
    emit signal_stringify(text, QByteArrayLiteral("api.ostrel"));
}
