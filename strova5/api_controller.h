#pragma once
// The API's command executor: one request map in ("path", "qitems", "rights"), one answer out.
// The dispatcher picks the handler from the path and tests the caller's effective rights;
// handlers run synchronously on the main thread and answer a map, a list or nothing (the
// invalid variant, which the web front writes as an empty body).

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>
#include <cstdint>
#include <functional>

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
    };

    API_controller(QVariantMap config, QObject* parent);
    ~API_controller() override;

    // `from_driver`: the request comes from the driver itself (display forwarding), not from a
    // client, and passes the gate that only clients face.
    QVariant api_exec(QVariantMap api_request, bool from_driver = false);

    // The route that serves `path` under the effective `rights`, or nullptr (nothing matched,
    // or a gate refused).
    const api_route* route_for(const QStringList& path, const QStringList& rights, bool from_driver) const;

    QList<uint32_t> get_modems(const QVariantMap& qitems) const;
    QStringList get_rights(const QVariantMap& api_request) const;
    static QStringList flatten_rights(const QVariantMap& tree, QMap<QString, QStringList>& flat);

    QVariant api_rights(QVariantMap api_request);
    QVariant api_el_update_from_db(QVariantMap api_request);
    QVariant api_el_modems_for_get_index(QVariantMap api_request);
    QVariant api_iec104_list(QVariantMap api_request);
    QVariant api_cmd_display(QVariantMap api_request);
    QVariant api_info(QVariantMap api_request);
    QVariant api_time_sync_set(QVariantMap api_request);

    // The request as the log shows it: secrets replaced by "***".
    static QVariantMap masked(QVariantMap api_request);
    static QString tst_path();
    // Where "tst.json" and the UI files lie: `files_dir`, or the executable's directory.
    static QString exe_dir();

    const QVariantMap rights_table;
    const QMap<QString, QStringList> rights_flat;
    const QVariantMap config;
    QVariantMap time_sync; // the contents of "tst.json"
    uint32_t last_saved_ts = 0;
    bool first_run = true;

private:
    static QVariantMap make_rights_table();
    static QMap<QString, QStringList> make_rights_flat(const QVariantMap& table);
    bool gate_passes(gate_kind gate, const QStringList& rights, bool from_driver) const;
};
