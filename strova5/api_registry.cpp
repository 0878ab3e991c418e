// API views into the registry and administration: "RAM"/"modems", "RAM"/"bs",
// "RAM"/"indexes" and "system".
#include "api_controller.h"

#include "log_limiter.h"
#include "logger.h"
#include "quit_signals.h"
#include "ram_modems.h"
#include "sql_exchange.h"
#include "strova_controller.h"

#include <QCoreApplication>
#include <QSet>
#include <QTimer>
#include <csignal>

namespace {
// The list stays small enough to answer at once, whatever the size of the network.
constexpr int k_modem_list_max = 5000;
} // namespace

QVariant API_controller::api_RAM_modems(QVariantMap)
{
    QVariantList out;
    if (!RAM_modems::instance) return out;
    for (uint32_t id : RAM_modems::instance->modem_ids()) {
        out += uint(id);
        if (out.size() > k_modem_list_max) break;
    }
    return out;
}

QVariant API_controller::api_RAM_bs(QVariantMap)
{
    QVariantMap out;
    if (!RAM_modems::instance) return out;
    for (uint32_t id : RAM_modems::instance->bs_ids())
        if (const bs_record* bs = RAM_modems::instance->find_bs(id))
            out.insert(QString::number(id), RAM_modems::bs_to_map(*bs));
    return out;
}

QVariant API_controller::api_RAM_indexes(QVariantMap api_request)
{
    const QVariantMap qitems = api_request.value(QStringLiteral("qitems")).toMap();
    const QString code = qitems.value(QStringLiteral("code")).toString();
    RAM_modems* ram = RAM_modems::instance;
    QVariantMap out;
    if (!ram) return out;

    // A set: the list comes from the request and may be long.
    QSet<uint32_t> removed;
    if (code == QLatin1String("remove"))
        for (const QString& p : qitems.value(QStringLiteral("indexes")).toString().split(QLatin1Char(',')))
            removed.insert(p.toUInt());
    const uint8_t arch = uint8_t(qitems.value(QStringLiteral("arch")).toString().toUInt());

    for (uint32_t modem : get_modems(qitems)) {
        modem_record* rec = ram->find_modem(modem);
        if (!rec) continue;
        if (code == QLatin1String("clear") || code == QLatin1String("reload")) {
            rec->scan_arch_info();
            if (code == QLatin1String("reload") && SQL_Exchange::instance) {
                const uint32_t day_limit = uint32_t(qMax(0, rec->aix_day.max_count));
                const uint32_t hour_limit = uint32_t(qMax(0, rec->aix_hour.max_count));
                SQL_Exchange::instance->slot_loader_req(modem, 14, day_limit);
                // The request may reach the registry: look the record up again.
                rec = ram->find_modem(modem);
                if (!rec) continue;
                SQL_Exchange::instance->slot_loader_req(modem, 15, hour_limit);
                rec = ram->find_modem(modem);
                if (!rec) continue;
            }
        } else if (code == QLatin1String("remove")) {
            arch_index* aix = arch == 14 ? &rec->aix_day : arch == 15 ? &rec->aix_hour : nullptr;
            // Whichever is shorter is walked: the request's indexes or the modem's.
            if (aix && removed.size() <= aix->indexes.size()) {
                for (uint32_t index : qAsConst(removed))
                    aix->indexes.remove(index);
            } else if (aix) {
                for (auto it = aix->indexes.begin(); it != aix->indexes.end();)
                    it = removed.contains(it.key()) ? aix->indexes.erase(it) : std::next(it);
            }
        }

        QVariantMap view = RAM_modems::modem_to_map(*rec);
        const bool in_get_index =
            strova_controller::instance && strova_controller::instance->index_modems.contains(modem);
        view.insert(QStringLiteral("in get_index"), in_get_index);
        view.insert(QStringLiteral("modem_id"), uint(modem));
        if (const bs_record* bs = ram->find_bs(rec->bs_dl))
            view.insert(QStringLiteral("bs"), RAM_modems::bs_to_map(*bs));
        out.insert(QString::number(modem), view);
    }
    return out;
}

QVariant API_controller::api_system(QVariantMap api_request)
{
    const QString code =
        api_request.value(QStringLiteral("qitems")).toMap().value(QStringLiteral("code")).toString();
    if (code == QLatin1String("rights")) return get_rights(api_request);
    if (code == QLatin1String("restart")) {
        LOG_LIMITED(LVL_EXC, "restart requested") << "restart requested through the API";
        // The same road as a termination signal (no new uplink taken, queued work handled,
        // pending batches written), once this request's empty reply has gone out.
        QTimer::singleShot(0, QCoreApplication::instance(), [] { quit_application(SIGTERM); });
    }
    return QVariant();
}
