// Storage: age-based removal of readings and events for all modems.
#include "logger.h"
#include "sql_exchange.h"

#include "sql_loader.h"

void SQL_Exchange::remove_old(uint8_t type, uint32_t time)
{
    remove_old(QList<uint32_t>{type}, time);
}

void SQL_Exchange::remove_old(QList<uint32_t> types, uint32_t time)
{
    if (types.isEmpty()) {
        LOG_DBG << "remove_old: no types";
        return;
    }
    // Callers name archive kinds; the rows carry the header byte of their uplink. Type 49 holds
    // both day records (at whole days) and other values: each belongs to its own kind, so a short
    // hour retention never takes the day records with it.
    const bool day_49 = types.contains(14);
    const bool hour_49 = types.contains(15);
    QList<uint32_t> data_types = types;
    QList<uint32_t> event_types = types;
    const auto add = [](QList<uint32_t>& list, uint32_t t) {
        if (!list.contains(t)) list.append(t);
    };
    for (const uint32_t kind : qAsConst(types)) {
        switch (kind) {
        case 12:
            add(data_types, 72);
            add(event_types, 72);
            break;
        case 13:
            add(data_types, 70);
            add(event_types, 70);
            break;
        case 14:
            add(data_types, 68);
            add(event_types, 68);
            break;
        case 15:
            add(data_types, 66);
            add(data_types, 50);
            add(event_types, 49);
            add(event_types, 66);
            add(event_types, 50);
            break;
        default:
            break;
        }
    }
    if (day_49 && hour_49) add(data_types, 49);

    const auto joined = [](const QList<uint32_t>& list) {
        QStringList out;
        for (const uint32_t t : list)
            out << QString::number(t);
        return out.join(QLatin1Char(','));
    };

    // Type 49 goes to the kind its record time says, when only one of its kinds is named.
    QList<SQL_loader::Removal_part> parts;
    for (const uint32_t t : qAsConst(data_types))
        parts << SQL_loader::Removal_part{QStringLiteral("modems_data"), t, QString(), 0};
    if (day_49 != hour_49)
        parts << SQL_loader::Removal_part{QStringLiteral("modems_data"), 49,
                                          day_49 ? QStringLiteral(" AND `ts` % 86400 = 0")
                                                 : QStringLiteral(" AND `ts` % 86400 != 0"),
                                          0};
    for (const uint32_t t : qAsConst(event_types))
        parts << SQL_loader::Removal_part{QStringLiteral("modems_event"), t, QString(), 0};
    // In the loader's thread, on its connection, in pieces: a year of rows is no pause of the
    // main thread, and a pass still under way takes the newer cut-off instead of a second pass
    // waiting for its locks.
    if (loader) loader->queue_remove_old(joined(types), parts, time);
}

void SQL_Exchange::hold_removals(bool hold)
{
    if (loader) loader->hold_removals(hold);
}
