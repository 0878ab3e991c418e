#pragma once
// Records that travel between the components by value, also through queued connections.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <cstdint>

// OBIS code: six bytes A..F; ordered as the 48-bit big-endian number A..F.
struct OBIS
{
    uint8_t A = 0, B = 0, C = 0, D = 0, E = 0, F = 0;

    constexpr uint64_t be48() const
    {
        return (uint64_t(A) << 40) | (uint64_t(B) << 32) | (uint64_t(C) << 24) | (uint64_t(D) << 16) |
               (uint64_t(E) << 8) | uint64_t(F);
    }
    constexpr bool operator<(const OBIS& o) const { return be48() < o.be48(); }
    constexpr bool operator==(const OBIS& o) const { return be48() == o.be48(); }
    constexpr bool operator!=(const OBIS& o) const { return be48() != o.be48(); }
};

inline uint qHash(const OBIS& o, uint seed = 0)
{
    return ::qHash(quint64(o.be48()), seed);
}

// One radio uplink as the network server reported it.
struct Radio_ul_input
{
    uint32_t modem_id = 0;
    uint32_t ts_get = 0; // reception time, UNIX seconds ("time_detected")
    QByteArray hw_type;
    QByteArray payload; // the meter's application payload
    QString phy;
    QString dl_phy;
    int16_t rssi = 0;
    int16_t snr = 0;
    QByteArray protocol;
    uint32_t last_success_dl_ts = 0;
    int16_t bs_tz = 0; // minutes
    uint16_t station_id = 0;
    uint16_t last_dl_bs = 0;
    int32_t last_dl_bs_aver_busyness = 0;
    int32_t last_dl_bs_busyness = 0;
};

// One value or archive record.
struct Ul_data_record
{
    uint32_t type = 254; // archive kind: 12..16, 254 = current values
    uint32_t ts = 0;
    uint16_t index = 65535;     // 65535 = none
    uint16_t index_max = 65535; // 65535 = none
    QMap<OBIS, QVariant> values;

    Ul_data_record() = default;
    Ul_data_record(uint32_t type_, uint32_t ts_, uint16_t index_ = 65535, uint16_t index_max_ = 65535)
        : type(type_), ts(ts_), index(index_), index_max(index_max_)
    {
    }
};

// One event.
struct Ul_event_record
{
    uint32_t ts = 0;
    uint32_t worktime = 0;
    uint16_t index = 65535;
    uint16_t index_max = 65535;
    uint32_t event = 0;
    OBIS type; // the event log that holds the event
    QMap<OBIS, QVariant> values;

    Ul_event_record() = default;
    Ul_event_record(uint32_t ts_, uint32_t worktime_, uint16_t index_, uint16_t index_max_, uint32_t event_,
                    OBIS type_)
        : ts(ts_), worktime(worktime_), index(index_), index_max(index_max_), event(event_), type(type_)
    {
    }
};

// One setting reported by a meter.
struct Ul_setting
{
    uint32_t ts = 0; // always the uplink's ts_get
    QString key;
    QVariant value;

    Ul_setting() = default;
    Ul_setting(uint32_t ts_, const QString& key_, const QVariant& value_) : ts(ts_), key(key_), value(value_) {}
};

// One decoded uplink; the radio head is its base part.
struct Parser_ul_app : Radio_ul_input
{
    uint8_t header = 0;
    QList<Ul_data_record> ul_datas;
    QList<Ul_event_record> ul_events;
    QList<Ul_setting> ul_settings;

    Parser_ul_app() = default;
    explicit Parser_ul_app(const Radio_ul_input& head) : Radio_ul_input(head) {}
};

// The outcome of one command.
struct Rabbit_dl_status
{
    bool success = false;
    uint32_t modem_id = 0;
    uint32_t cmd_id = 0; // 0 = find the command by its setting name
    QString setting;

    Rabbit_dl_status() = default;
    Rabbit_dl_status(uint32_t modem_id_, const QString& setting_, bool success_, uint32_t cmd_id_)
        : success(success_), modem_id(modem_id_), cmd_id(cmd_id_), setting(setting_)
    {
    }
};

// One command request.
struct Dl_request
{
    uint32_t modem_id = 0;
    uint32_t ts = 0;
    QString setting;
    QVariant data;

    Dl_request() = default;
    Dl_request(uint32_t modem_id_, uint32_t ts_, const QString& setting_, const QVariant& data_)
        : modem_id(modem_id_), ts(ts_), setting(setting_), data(data_)
    {
    }
};

// One encoded command; the request it was encoded from is its base part.
struct Stringify_dl_app : Dl_request
{
    QByteArray payload;
    uint32_t cmd_id = 0; // assigned by storage
    uint32_t state = 4;
    bool payload_is_text = false;
    // Made for a caller holding a command right: its lines pass a limiter that callers without
    // one cannot spend.
    bool under_right = false;
    // Made by the daemon itself (its controller), whatever rights it carries: its lines pass a
    // limiter of their own, so that a burst of them spends no operator's record.
    bool own = false;

    Stringify_dl_app() = default;
    explicit Stringify_dl_app(const Dl_request& req) : Dl_request(req) {}
};

Q_DECLARE_METATYPE(Parser_ul_app)
Q_DECLARE_METATYPE(Stringify_dl_app)
Q_DECLARE_METATYPE(Rabbit_dl_status)

// The rights that let a caller command meters: `control`, `settings`, `special` or `_b_admin`.
bool holds_command_right(const QStringList& rights);

// While one lives, the commands made and the downlinks posted on this thread are the daemon's
// own: the controller's, and what the codec makes in their wake. Only the log tells them apart;
// their rights stay the ones they carry.
class own_commands
{
public:
    own_commands() { ++depth; }
    ~own_commands() { --depth; }
    own_commands(const own_commands&) = delete;
    own_commands& operator=(const own_commands&) = delete;
    static bool active() { return depth > 0; }

private:
    static thread_local int depth;
};

// Registers the three records that travel through queued connections.
void register_record_metatypes();
