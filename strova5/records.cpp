#include "records.h"

void register_record_metatypes()
{
    qRegisterMetaType<Parser_ul_app>("Parser_ul_app");
    qRegisterMetaType<Stringify_dl_app>("Stringify_dl_app");
    qRegisterMetaType<Rabbit_dl_status>("Rabbit_dl_status");
}

bool holds_command_right(const QStringList& rights)
{
    for (const char* right : {"control", "settings", "special", "_b_admin"})
        if (rights.contains(QLatin1String(right))) return true;
    return false;
}

thread_local int own_commands::depth = 0;
