#pragma once
// Tables as months and years of service leave them, filled in SQL through MariaDB's sequence
// engine (a few statements, whatever the row count), for the tests and benchmarks that try the
// daemon's statements on millions of rows.
//
// Rows spread over 10,000 modems unless told otherwise (ids from 10000); each modem's times run evenly from
// `ts_from` up to, not including, `ts_to`. Each fill builds the table's secondary keys once after its rows,
// which is many times faster than keeping them row by row. On failure the error text goes to *error.
#include <QSqlDatabase>
#include <QString>
#include <cstdint>

namespace testsupport {

// Done commands numbered `first_id` on, their settings taking turns among those the daemon sends
// on its own ("version", "13.0.0", "get_arch_index", a setting write).
bool fill_aged_commands(QSqlDatabase& db, qint64 rows, uint32_t first_id, uint32_t ts_from, uint32_t ts_to,
                        QString* error = nullptr);
// Readings of stored `type` (66 an hour profile, 68 a day profile, 64 current values), with an
// energy register and the JSON of all values; spread over `modems` modems instead of 10,000
// when given (each modem's k-th reading at the same time as every other modem's).
bool fill_aged_readings(QSqlDatabase& db, qint64 rows, int type, uint32_t ts_from, uint32_t ts_to,
                        QString* error = nullptr, qint64 modems = 10000);
// Events of the event log `type` (the E byte of its OBIS code), event code 3.
bool fill_aged_events(QSqlDatabase& db, qint64 rows, int type, uint32_t ts_from, uint32_t ts_to,
                      QString* error = nullptr);

// For tests that choose their modems, the statement alone: `per_modem` hour readings (stored
// type 66, registers 1.8.0-1.8.4, 3.8.0, 1.6.0) of each of `modems` modems from `first_modem` on,
// the oldest at `start`, an hour apart, indexes counting up from 0.
inline QString hour_readings_sql(uint32_t first_modem, uint32_t modems, uint32_t per_modem, uint32_t start)
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

} // namespace testsupport
