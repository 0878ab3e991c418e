#include "parser_strova5.h"

// Until the tariff program encoder is in, "13.0.0" stays a plain calendar read.
bool parser_strova5::encode_tariff_program(Stringify_dl_app&, const Dl_request&, const QStringList&)
{
    return false;
}
