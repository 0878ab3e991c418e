#pragma once
// The meters' face towards SCADA: an IEC 60870-5-104 controlled station on port 2404 where every
// addressed modem is one common address, its instantaneous values measured floats with time tag
// (IOA 100 + C of 1.0.C.7.0.255) and its status words single points (IOA 1..16 or 1..48).
//
// Threads: slot_UL runs in the main thread; the station's callbacks run in its server and
// connection threads. `mutex` guards `last_records` and `last_sent`; the registry is read only
// through its locked copies (iec104_map, get_settings).

#include "iec60870_server.h"
#include "records.h"

#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QTimer>
#include <QVariant>
#include <QVariantMap>
#include <QVector>
#include <cstdint>
#include <mutex>

// Address of the first single point; state i is at sp_ioa_base + i.
extern const uint32_t sp_ioa_base;

// One measured value of a data record: OBIS C (IOA = 100 + C) and the value before scaling.
struct iec104_value
{
    uint8_t c;
    float value;
};

class IEC104 : public QObject
{
    Q_OBJECT
public:
    static IEC104* instance;

    explicit IEC104(QObject* parent);
    ~IEC104() override;

    // Configures and starts the station; false when it does not listen yet: it is then tried
    // again every 30 s until it does.
    bool start();
    // Ends the server and every connection thread; the station is gone afterwards.
    void stop();

    static QString cp56_to_string(Cp56Time2a time);

    // The measured values of a record in the order they are published: per phase P, Q and,
    // with the voltage, U, I, S, PF; the frequency; the sums of I, P, Q and S.
    static QVector<iec104_value> measured_values(const Ul_data_record& rec);
    // The single-point states of a record's status words (bit i = state i); their count, 48 or 16.
    static int status_states(const Ul_data_record& rec, uint64_t* states);
    // Common addresses go on the wire in two bytes and 65535 is the broadcast.
    static bool is_publishable(uint32_t iec_id) { return iec_id > 0 && iec_id < 65535; }

    ControlledStation station = nullptr;
    AppLayerParameters app_params = nullptr;
    QMutex mutex;
    QMap<qint64, QVariant> last_sent;            // (modem << 16) + IOA -> float or bool
    QMap<uint32_t, Ul_data_record> last_records; // modem -> first data record of its latest uplink

signals:
    // The station listens (at start, or at a later retry).
    void signal_listening();

public slots:
    void slot_UL(Parser_ul_app ul_parse);

private:
    // What the values of one uplink share while they are put into ASDUs.
    struct Uplink
    {
        uint32_t modem = 0;
        uint32_t iec_id = 0;
        int cot = 3;
        QVariantMap params; // "iec104_params"
        sCp56Time2a time{};
        Asdu asdu = nullptr;
        sInformationObject object{};
        bool has_object = false;
    };

    // One modem's answer to a station interrogation, sent on the asking connection.
    struct Reply
    {
        ClientConnection connection = nullptr;
        uint32_t modem = 0;
        uint32_t iec_id = 0;
        QVariantMap params; // "iec104_params"
        sCp56Time2a time{};
        Asdu asdu = nullptr;
        sInformationObject object{};
        bool has_object = false;
    };

    static bool interrogation_callback(void* parameter, ClientConnection connection, Asdu asdu, uint8_t qoi);
    void on_interrogation(ClientConnection connection, uint8_t qoi, Asdu request);
    void make_io_all(Reply& r, uint8_t c, float x);
    void reply_object(Reply& r, InformationObject object);
    void reply_finish(Reply& r);

    void modem_context(Uplink& u, uint32_t ts);
    void new_asdu(Uplink& u);
    void add_object(Uplink& u, InformationObject object);
    void finish_asdu(Uplink& u);
    void make_io_changed(Uplink& u, uint8_t c, float x);
    void publish_events(const Parser_ul_app& ul, uint32_t iec_id);
    void publish_status(Uplink& u, const Ul_data_record& rec);
    void assign_address(uint32_t modem, const QMap<uint32_t, uint32_t>& map);
    void forget_dropped();
    // Writes the overwrites counted, now or when their minute is over.
    void report_overwrites(bool now);
    bool listen();

    static bool on_connection_request(void* parameter, const char* ip_address);
    static bool on_asdu(void* parameter, ClientConnection connection, Asdu asdu);
    static void on_connection_event(void* parameter, ClientConnection connection, int event);
    static void on_raw_message(void* parameter, ClientConnection connection, uint8_t* bytes, int size,
                               bool sent);
    static void on_queue_overflow(void* parameter, ClientConnection connection, const uint8_t* asdu,
                                  int size);

    // Filled inside station_enqueue_asdu: ASDUs that started connections' full queues gave up,
    // waiting to leave `last_sent`, and the overwrites counted (all, and those in the queues of
    // connections not started).
    std::mutex dropped_lock;
    QList<QByteArray> dropped;
    qint64 overwritten = 0, overwritten_stopped = 0;
    // What the once-a-minute warning reports.
    qint64 overwrites = 0, overwrites_stopped = 0;
    QElapsedTimer overwrite_report;
    QTimer overwrite_timer;
    QTimer listen_retry;
    QList<uint32_t> unaddressable; // modems told about once: no common address left
};
