// The tariff uplinks' hook into the decoder: a reported calendar becomes the setting "13.0.0"
// and answers the open "13.0.0" command. Kept apart from the codec so that the encoder and the
// codec's tests link without the decoder.
#include "parser_strova5.h"

void parser_strova5::parse_ul_tariff(Parser_ul_app& result, const QByteArray& payload)
{
    const QVariantMap calendar = tariff_from_ul(payload);
    if (!calendar.isEmpty())
        add_setting(result, Ul_setting(result.ts_get, QStringLiteral("13.0.0"), calendar));
}
