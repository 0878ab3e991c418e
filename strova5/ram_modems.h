#pragma once
// In-memory registry of every modem and base station the driver has heard of.
//
// Threads: every change happens on the main thread. Settings, the IEC 104 address map and the
// id hashes are written under one registry lock, so other threads (storage loader, IEC 104
// connections) may call get_settings, get_setting, modem_ids, modem_count, bs_ids, modems_by_version,
// iec104_map, iec_id and is_no_db: they get copies taken under the lock.
// Everything that returns or takes a record (find_modem, add_modem, find_bs, get_bs,
// modem_to_map, ...) is for the main thread only: a record may be replaced or deleted there.
// Write settings through modem_record::set_setting or slot_set_setting, never into
// `settings` directly, so that readers on other threads never see a half-written map.

#include "records.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QReadWriteLock>
#include <QString>
#include <QVariant>
#include <QSet>
#include <QVariantMap>
#include <cstdint>
#include <initializer_list>
#include <mutex>

// What the driver holds of one of a meter's ring archives (14 day, 15 hour), plus the state
// of the one archive-index request that may be outstanding for it.
// A wall-clock stamp this run wrote, with the monotonic time it was written at: while the
// stamp still holds that value its age is measured on the monotonic clock, which a step of the
// wall clock does not move.
struct steady_stamp
{
    uint32_t wall = 0;
    qint64 steady_ms = 0;
};

struct arch_index
{
    uint32_t type = 14;
    QMap<uint32_t, uint32_t> indexes; // archive index -> record time (UNIX seconds)
    bool is_loaded = false;           // indexes came from the database
    int32_t max_index = 1;            // ring size: indexes run 0 .. max_index - 1
    int32_t max_count = 0;            // how far back from the newest index the meter still holds
    int32_t req_index = -1;           // -1 = no request outstanding
    int32_t req_counter = 0;          // sends left for the request
    uint32_t req_ts = 0;              // last send; 0 = send at once
    steady_stamp req_set;             // req_ts as this run set it
    uint32_t default_ts = 0;          // time stored for req_index if the meter never answers
    uint32_t cmd_id = 0;              // last "get_arch_index" command of the request
    int32_t cause_ret = 0;            // last scheduler decision for this archive

    explicit arch_index(uint32_t type_ = 14) : type(type_) {}

    // Forgets the indexes and the outstanding request; geometry and scheduler figures stay.
    void reset();
    // Applies a geometry map {"index", "count_max", "rec_size"} given under "arch_info_<type>".
    void set_arch_info(QString key, QVariant value);
    // Records one index reported by the meter, pruning entries the ring has overwritten.
    void index_received(uint32_t index, uint32_t ts);
};

// Bits of modem_record::get_index_flags.
enum get_index_flag : uint32_t {
    GIF_PROFILE_DAY = 0x4000,
    GIF_PROFILE_HOUR = 0x8000,
    GIF_DAY_NOT_LOADED = 0x10000,
    GIF_HOUR_NOT_LOADED = 0x20000,
    GIF_OLD_SUCCESS_DL = 0x40000,
    GIF_NO_BS_DL = 0x80000,
    GIF_LAST_DAY = 0x100000,
};

// Downlink physical layers, in the order of modem_record::max_busyness.
enum dl_layer : int { DL_LAYER_FASTDL = 0, DL_LAYER_5000 = 1, DL_LAYER_500 = 2, DL_LAYER_OTHER = 3 };

// The registry's state of one modem.
struct modem_record
{
    QMap<uint32_t, Ul_data_record> curr_data; // current-value records by ts (when "curr" is in "no_db")
    QHash<uint32_t, Stringify_dl_app> cmds;   // open commands by cmd_id (when "cmd" is in "no_db")
    arch_index aix_day{14};
    arch_index aix_hour{15};
    uint32_t req_timeout = 900; // seconds an archive-index request waits for its answer
    uint16_t bs_dl = 0;         // base station of the last downlink; 0 = none known
    uint32_t last_success_dl_ts = 0;
    uint32_t get_index_flags = 0;
    steady_stamp version_set, sync_set; // the stamps "time_version", "time_sync" as this run set them
    float max_busyness[4] = {0.95f, 0.9f, 0.8f, 0.7f}; // by dl_layer, fraction of 1
    QVariantMap settings; // read it freely on the main thread; write it through set_setting
    // Where the modem's rows holding a reactive energy register (3.8.0, 3.8.1, 4.8.0, 4.8.1) lie,
    // by stored type: the first and the last time. For the types in `reactive_known` (learned from
    // the table) no such row lies outside these spans (none at all without a span), so that the
    // search for a neighbouring energy record need not walk the modem's history; uplinks widen
    // them as their rows are queued. Rows deleted since leave them wider than needed, never
    // narrower.
    QHash<uint32_t, QPair<uint32_t, uint32_t>> reactive;
    QSet<uint32_t> reactive_known;
    void note_reactive(uint32_t type, uint32_t first, uint32_t last);

    explicit modem_record(QVariantMap settings_ = QVariantMap());

    // Stores one setting in memory (under the registry lock); "arch_info_14"/"arch_info_15"
    // also set the archive geometry.
    void set_setting(QString key, QVariant value);
    // Resets both archive indexes and re-applies the geometry found in the settings.
    void scan_arch_info();
};

// The registry's state of one base station.
struct bs_record
{
    uint32_t bs = 0;
    float aver_busyness = 0; // fraction of 1
    float busyness = 0;      // fraction of 1
};

class RAM_modems : public QObject
{
    Q_OBJECT
public:
    static RAM_modems* instance;

    RAM_modems(QVariantMap config, QObject* parent);
    ~RAM_modems() override;

    bool is_no_db(QString name);

    // ---- modems (main thread, except where the top of this file says otherwise)
    modem_record* find_modem(uint32_t modem);
    modem_record* add_modem(uint32_t modem, QVariantMap settings);
    QVariantMap get_settings(uint32_t modem);
    QVariant get_setting(uint32_t modem, QString name);
    QList<uint32_t> modem_ids();
    int modem_count();
    QList<uint32_t> modems_by_version(bool by_sw, QString text);
    QMap<uint32_t, uint32_t> find_cmds(QList<uint32_t> cmd_ids);
    // Start-up: replaces every modem record by the settings storage holds, read whole. False
    // (the registry left empty) when storage could not read them.
    bool load_settings();

    // ---- base stations
    bs_record* find_bs(uint32_t bs);
    bs_record* get_bs(uint32_t bs);
    QList<uint32_t> bs_ids();

    // ---- downlink cost and limits by the modem's downlink layer (settings "radio"."dl")
    static float dl_time_factor(const modem_record& rec);
    static float max_busyness_for(const modem_record& rec);
    static int dl_layer_of(const modem_record& rec);

    // ---- API dumps
    static QVariantMap bs_to_map(const bs_record& rec);
    static QVariantMap modem_to_map(const modem_record& rec);
    static QVariantMap arch_index_to_map(const arch_index& aix);

    // ---- IEC 104 common addresses (any thread)
    QMap<uint32_t, uint32_t> iec104_map(); // a copy, ascending modem id
    uint32_t iec_id(uint32_t modem);       // 0 = none
    void set_iec104_map(QMap<uint32_t, uint32_t> map);
    void set_iec_id(uint32_t modem, uint32_t iec_id);

    QVariantMap config; // the configuration object "RAM"

    // The memory-only map setting `setting` of `modem` holds exactly `fields` afterwards, as
    // slot_set_setting(modem, setting, the map of `fields`, false) would leave it; when it already
    // holds a map of these keys its values are replaced in place, so a setting refreshed by every
    // uplink costs no new map. Texts equal to one already held by another modem share its copy.
    using setting_field = QPair<QString, QVariant>;
    void set_map_setting(uint32_t modem, const QString& setting, std::initializer_list<setting_field> fields);
    // The same for a map that many modems hold with the same content (the figures of their base
    // station): modems with equal content share one map, which a later change of one modem
    // leaves to the others.
    void set_shared_map_setting(uint32_t modem, const QString& setting,
                                std::initializer_list<setting_field> fields);

public slots:
    // A setting's value as the registry keeps it (JSON text of an object or array parsed);
    // any thread.
    static QVariant stored_value(const QVariant& value);
    void slot_set_setting(uint32_t modem, QString setting, QVariant value, bool save_to_db = true);

private:
    friend struct modem_record;
    modem_record* find_or_create(uint32_t modem);
    // The one registry lock. Never taken recursively: a function holding it calls no public
    // function that takes it again.
    static QReadWriteLock registry_lock;

    QMap<uint32_t, uint32_t> iec_ids; // modem id -> IEC 104 common address
    QHash<uint32_t, modem_record*> modems;
    QHash<uint32_t, bs_record*> base_stations;

    std::once_flag no_db_once;
    QVariantList no_db;

    // Values handed out for sharing, under the registry lock; each bounded, so that changing
    // content cannot grow them without end.
    QHash<uint, QVariantMap> shared_maps; // by a hash of setting name and content
    QSet<QString> shared_texts;
    QVariant shared_value(const QVariant& value);
};
