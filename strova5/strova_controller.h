#pragma once
// The driver's scheduler: decides per modem which commands go out without being asked
// (missing archive records, time synchronisation, settings the meter lacks or holds wrongly).
//
// Everything runs on the main thread: the two timers, the slots and the registry accesses.
// Commands leave through SQL_Exchange::send_dl with the rights ["settings"].

#include "records.h"

#include <QList>
#include <QObject>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>
#include <cstdint>
#include <functional>

class QTimer;
struct modem_record;
struct arch_index;
struct steady_stamp;

class strova_controller : public QObject
{
    Q_OBJECT
public:
    static strova_controller* instance;

    // Sources of the current UNIX time and of pseudo-random numbers. Tests replace them to run
    // on simulated time; set them before constructing the controller.
    static std::function<uint32_t()> time_source;
    static std::function<uint32_t()> random_source;
    // Monotonic milliseconds, for the age of the stamps this run wrote; tests replace it too.
    static std::function<qint64()> steady_source;

    strova_controller(QVariantMap config, QObject* parent);
    ~strova_controller() override;

    bool read_arch_enabled() const;
    // Merges the driver's own settings (pseudo modem 2) over the configuration; returns 2.
    int load_driver_settings();
    // Whether the archive `type` (14, 15) may be read over the modem's radio layers.
    bool radio_allows_read(const QVariantMap& settings, uint8_t type) const;
    // Sends one command unless the modem's stamp "time_version" (read from `settings`, the
    // snapshot taken when the uplink's handling began) is younger than `period` seconds.
    bool send_cmd_throttled(uint32_t modem, const QVariantMap& settings, const QString& setting,
                            const QVariant& data, const QStringList& rights, uint32_t period);
    // True when the meter's event filter differs from the wanted one.
    static bool check_event_filter(const QVariantList& current, const QVariantList& wanted);
    // One step of the archive-index request cycle of one archive; the decision is left in
    // aix.cause_ret.
    bool request_arch_index(uint32_t modem, modem_record& rec, arch_index& aix, uint8_t type);

    uint32_t time_arch_start = 0; // archive records older than this are never requested
    QList<uint32_t> index_modems; // modems whose archive indexes the tick works on
    QVariantMap config;           // "strova_controller", later the settings of pseudo modem 2
    uint32_t now = 0;             // refreshed by every tick
    QTimer* timer_now = nullptr;
    QTimer* timer_remover = nullptr;

signals:
    void signal_stringify(QVariantMap dlmap);

public slots:
    void slot_timer_now();
    void slot_timer_remover();
    void slot_UL(Parser_ul_app ul_parse);
    void slot_DL(Stringify_dl_app dl_app);
    void slot_modem_index_updated(uint32_t modem);

private:
    // One line on the retention in force, when it differs from the last one said.
    void say_retention();
    QString retention_said;

    void tick_modem(uint32_t modem);
    void apply_day_rule(uint32_t modem, modem_record& rec, const QVariantMap& settings);
    void send(uint32_t modem, const QString& setting, const QVariant& data = QVariant());
    void send_to_list(uint32_t modem, const QString& setting, const QVariant& data = QVariant());
    // True when the modem's live stamp was written less than `period` seconds ago.
    bool stamp_fresh(uint32_t modem, const QString& stamp, uint32_t period) const;
    void set_stamp(uint32_t modem, const QString& stamp);
    // Seconds since the wall-clock `stamp`: on the monotonic clock while `set` says this run
    // wrote it, else the signed difference to the wall clock. A stamp ahead of the clock (the
    // clock went back) is as young as can be, unless more than a day ahead, which no step of a
    // clock in service explains: then it is due.
    int64_t age_of(uint32_t stamp, const steady_stamp* set) const;
    // Where the registry keeps the run's record of a modem's stamp; null when it has none.
    steady_stamp* steady_of(uint32_t modem, const QString& stamp) const;
    void note_stamp(uint32_t modem, const QString& stamp);
    void check_settings(uint32_t modem, const Parser_ul_app& ul, const QVariantMap& s);
    void check_calibration(uint32_t modem, const QVariantMap& s);
    bool check_time_sync_on_values(uint32_t modem, const Parser_ul_app& ul);
    bool forward_bs_display(uint32_t modem, Parser_ul_app& ul, const QVariantMap& s);
    void auto_time_sync(uint32_t modem);
    void send_display(uint32_t modem, const QString& payload_hex, uint32_t station);
};
