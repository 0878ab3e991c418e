// Storage: the IEC 104 common address of each modem, mirrored in the registry.
#include "logger.h"
#include "ram_modems.h"
#include "sql_exchange.h"

#include <QSqlQuery>

bool SQL_Exchange::add_iec104_modem(uint32_t modem_id, uint32_t iec_id)
{
    const QString insert = QStringLiteral("INSERT INTO modems_iec104 (iec_id, modem_id) VALUES ('%1', '%2');")
                               .arg(iec_id)
                               .arg(modem_id);
    QSqlQuery q(db);
    if (!run_query(q, insert))
        return false; // a taken address is refused by the key; the registry keeps its map
    if (RAM_modems::instance) RAM_modems::instance->set_iec_id(modem_id, iec_id);
    return true;
}

QMap<uint32_t, uint32_t> SQL_Exchange::get_iec104_map()
{
    QMap<uint32_t, uint32_t> out;
    const QString select = QStringLiteral("SELECT * FROM modems_iec104 ");
    QSqlQuery q(db);
    if (!run_query(q, select)) return out;
    while (q.next())
        out.insert(q.value(QStringLiteral("modem_id")).toUInt(), q.value(QStringLiteral("iec_id")).toUInt());
    if (RAM_modems* ram = RAM_modems::instance) {
        if (ram->iec104_map() != out) ram->set_iec104_map(out);
    }
    return out;
}
