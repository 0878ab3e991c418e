// Where the tariff codec meets the rest of the driver: the uplinks that report a calendar are
// answered to storage, and the command's firmware generation comes from the registry.
#include "parser_strova5.h"

void parser_strova5::parse_ul_tariff(Parser_ul_app& result, const QByteArray& payload)
{
    const QVariantMap calendar = tariff_from_ul(payload);
    if (!calendar.isEmpty())
        add_setting(result, Ul_setting(result.ts_get, QStringLiteral("13.0.0"), calendar));
}

bool parser_strova5::encode_tariff_program(Stringify_dl_app& out, const Dl_request& req,
                                           const QStringList& rights)
{
    stringify_tariff_request(out, req, rights, is_new_sw(req.modem_id));
    return true;
}
