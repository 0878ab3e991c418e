#pragma once
// The API's command executor: one request map in ("path", "qitems", "rights"), one answer out.
// The dispatcher picks the handler from the path and tests the caller's effective rights;
// handlers run synchronously on the main thread and answer a map, a list or nothing (the
// invalid variant, which the web front writes as an empty body).

#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>
#include <cstdint>
#include <functional>
#include <memory>

// An answer already written as compact JSON: the large reports render each modem's part as they
// go, so that a report never holds all its readings as maps at once. The web front sends the
// text as it is.
struct api_json_text
{
    QByteArray json;
};
Q_DECLARE_METATYPE(api_json_text)

// A request answered with a refusal instead of its answer (a report too large or too long, too
// many reports at once): the web front sends `status` and {"error": text}.
struct api_refusal
{
    int status = 503;
    QString text;
};
Q_DECLARE_METATYPE(api_refusal)

class report_job;
enum class report_caller;

class API_controller : public QObject
{
    Q_OBJECT
public:
    static API_controller* instance;

    // Directory of "tst.json"; empty: the executable's directory. Tests point it elsewhere
    // before constructing the controller.
    static QString files_dir;
    // The current UNIX time; tests replace it.
    static std::function<uint32_t()> time_source;

    using handler = QVariant (API_controller::*)(QVariantMap api_request);

    // Who may reach a route.
    enum class gate_kind {
        none,
        view,
        special,
        special_or_b_admin,
        auth_admin,
        diagnostics_config, // the "api" configuration holds "diagnostics"
        special_from_web,   // "special" for clients; the driver's own call passes
    };

    struct api_route
    {
        const char* section;
        const char* sub; // nullptr: the section takes no sub-command; "": none was given
        gate_kind gate;
        handler run; // nullptr: nothing is answered yet on this route
        // A report of many modems: built in slices when the caller runs its steps.
        std::unique_ptr<report_job> (API_controller::*make)(const QVariantMap& api_request) = nullptr;
    };

    API_controller(QVariantMap config, QObject* parent);
    ~API_controller() override;

    // `from_driver`: the request comes from the driver itself (display forwarding), not from a
    // client, and passes the gate that only clients face.
    QVariant api_exec(QVariantMap api_request, bool from_driver = false);
    // As api_exec, but a report of many modems is handed back in `job`, not yet started (the
    // answer is then invalid), for the caller to run its steps from the event loop. `admit` is
    // asked before anything of the request is read for such a report: when it answers (a
    // refusal), that is the answer and no job is made.
    QVariant api_begin(QVariantMap api_request, std::unique_ptr<report_job>& job,
                       const std::function<QVariant()>& admit = {});

    // The route that serves `path` under the effective `rights`, or nullptr (nothing matched,
    // or a gate refused).
    const api_route* route_for(const QStringList& path, const QStringList& rights, bool from_driver) const;

    QList<uint32_t> get_modems(const QVariantMap& qitems) const;
    QStringList get_rights(const QVariantMap& api_request) const;
    // With `no_jwt`, the role every request holds, added to its rights.
    void add_open_role(QVariantMap& api_request) const;
    // The kind of caller a request comes from, for the report places: its rights as the routes
    // see them.
    report_caller report_kind(QVariantMap api_request) const;
    static QStringList flatten_rights(const QVariantMap& tree, QMap<QString, QStringList>& flat);

    QVariant api_rights(QVariantMap api_request);
    QVariant api_el_update_from_db(QVariantMap api_request);
    QVariant api_el_modems_for_get_index(QVariantMap api_request);
    QVariant api_iec104_list(QVariantMap api_request);
    QVariant api_cmd_display(QVariantMap api_request);
    QVariant api_cmd_send(QVariantMap api_request);
    QVariant api_cmd_status(QVariantMap api_request);
    QVariant api_sendmessage(QVariantMap api_request);
    QVariant api_setting(QVariantMap api_request);
    QVariant api_setting_set(QVariantMap api_request);
    QVariant api_setting_version_list(QVariantMap api_request);
    // The open setting routes grow with the modems asked for: built in slices, as the reports.
    std::unique_ptr<report_job> make_setting(const QVariantMap& api_request);
    std::unique_ptr<report_job> make_setting_version_list(const QVariantMap& api_request);
    QVariant api_RAM_modems(QVariantMap api_request);
    QVariant api_RAM_bs(QVariantMap api_request);
    QVariant api_RAM_indexes(QVariantMap api_request);
    QVariant api_system(QVariantMap api_request);
    QVariant api_authorization(QVariantMap api_request);
    QVariant api_parse(QVariantMap api_request);
    QVariant api_info(QVariantMap api_request);
    QVariant api_time_sync_set(QVariantMap api_request);

    // Reports and diagnostics of stored readings and events.
    QVariant api_report_history(QVariantMap api_request);
    QVariant api_report_history_orig(QVariantMap api_request);
    QVariant api_report_events(QVariantMap api_request);
    QVariant api_report_list(QVariantMap api_request);
    std::unique_ptr<report_job> make_report_history(const QVariantMap& api_request);
    std::unique_ptr<report_job> make_report_history_orig(const QVariantMap& api_request);
    std::unique_ptr<report_job> make_report_events(const QVariantMap& api_request);
    std::unique_ptr<report_job> make_report_list(const QVariantMap& api_request);
    QVariant api_diagnostics_history(QVariantMap api_request);
    QVariant api_diagnostics_data_stm(QVariantMap api_request);
    QVariant api_diagnostics_shunt_days(QVariantMap api_request);
    QVariant api_diagnostics_data_time(QVariantMap api_request);
    QVariant api_diagnostics_event_spam(QVariantMap api_request);
    std::unique_ptr<report_job> make_diagnostics_history(const QVariantMap& api_request);
    std::unique_ptr<report_job> make_diagnostics_data_stm(const QVariantMap& api_request);
    std::unique_ptr<report_job> make_diagnostics_shunt_days(const QVariantMap& api_request);
    std::unique_ptr<report_job> make_diagnostics_data_time(const QVariantMap& api_request);
    std::unique_ptr<report_job> make_diagnostics_event_spam(const QVariantMap& api_request);
    // Orderings of meterings: by "1.0.0", then by "profile" text.
    static bool history_less(const QVariant& a, const QVariant& b);
    static bool history_greater(const QVariant& a, const QVariant& b);
    // The recording period of a list of record times (the most frequent gap), 0 when none.
    static int32_t check_period(const QList<uint32_t>& times);

    // The request as the log shows it: secrets replaced by "***", items cut to a line's worth.
    static QVariantMap masked(QVariantMap api_request);
    static QString tst_path();
    // Where "tst.json" and the UI files lie: `files_dir`, or the executable's directory.
    static QString exe_dir();

    // Setting names longer than this do not fit the setting columns of the database.
    static constexpr int k_setting_name_max = 128;
    // Distinct modem ids one request serves; those beyond are left out (one Wrn line says so):
    // more than any network holds, and few enough that no answer holds the daemon for seconds.
    static constexpr int k_modems_max = 100000;

    const QVariantMap rights_table;
    const QMap<QString, QStringList> rights_flat;
    const QVariantMap config;
    // The key tokens are checked with: "jwt_key" of the configuration, else the compiled key.
    const QByteArray token_key;
    QVariantMap time_sync; // the contents of "tst.json"
    uint32_t last_saved_ts = 0;
    bool first_run = true;

public slots:
    // One tick of the driver's own event log (pseudo modem 1): start events on the first tick,
    // "update_ts" on every tick.
    void slot_timer_update_ts();

private:
    // With "uspd_events" on: the event-log timer, ticking every 2 s.
    void start_event_log();
    static QVariantMap make_rights_table();
    static QMap<QString, QStringList> make_rights_flat(const QVariantMap& table);
    bool gate_passes(gate_kind gate, const QStringList& rights, bool from_driver) const;
    // The route of a request after its log line and rights; nullptr when none answers.
    const api_route* route_of(QVariantMap& api_request, bool from_driver);
};
