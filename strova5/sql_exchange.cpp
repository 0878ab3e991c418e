#include "sql_exchange.h"

SQL_Exchange* SQL_Exchange::instance = nullptr;
