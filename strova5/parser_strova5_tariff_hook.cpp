// Placeholder until the tariff codec lands: tariff uplinks decode to nothing for now.
#include "parser_strova5.h"

void parser_strova5::parse_ul_tariff(Parser_ul_app&, const QByteArray&) {}
