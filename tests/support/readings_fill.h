#pragma once
// Years of readings in a few statements: `modems_data` filled in SQL through MariaDB's sequence
// engine (INSERT ... SELECT ... FROM seq_1_to_N), one statement a call.
#include <QString>
#include <cstdint>

namespace readings_fill {

// `per_modem` hour readings (stored type 66, registers 1.8.0-1.8.4, 3.8.0, 1.6.0) of each of
// `modems` modems from `first_modem` on, the oldest at `start`, an hour apart, indexes counting
// up from 0.
inline QString hour_readings(uint32_t first_modem, uint32_t modems, uint32_t per_modem, uint32_t start)
{
    return QString(
               "INSERT INTO modems_data (modem_id, ts, ts_get, type, `index`, OBIS_1_6_0, OBIS_1_8_0, "
               "OBIS_1_8_1, OBIS_1_8_2, OBIS_1_8_3, OBIS_1_8_4, OBIS_3_8_0) "
               "SELECT %1 + (seq - 1) DIV %2, %3 + ((seq - 1) MOD %2) * 3600, %3 + ((seq - 1) MOD %2) * 3600 "
               "+ 60, 66, ((seq - 1) MOD %2) MOD 65535, 0.5, 1000 + seq * 0.75, 400 + seq * 0.3, 300 + seq "
               "* 0.2, 200 + seq * 0.15, 100 + seq * 0.1, seq * 0.01 FROM seq_1_to_%4")
        .arg(first_modem)
        .arg(per_modem)
        .arg(start)
        .arg(quint64(modems) * per_modem);
}

} // namespace readings_fill
