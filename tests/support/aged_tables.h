#pragma once
// Tables as months and years of service leave them, filled in SQL through MariaDB's sequence
// engine (a few statements, whatever the row count), for the tests and benchmarks that try the
// daemon's statements on millions of rows.
//
// Rows spread over 10,000 modems (ids from 10000); each modem's times run evenly from `ts_from` up to, not
// including, `ts_to`. Each fill builds the table's secondary keys once after its rows, which is
// many times faster than keeping them row by row. On failure the error text goes to *error.
#include <QSqlDatabase>
#include <QString>

namespace testsupport {

// Done commands numbered `first_id` on, their settings taking turns among those the daemon sends
// on its own ("version", "13.0.0", "get_arch_index", a setting write).
bool fill_aged_commands(QSqlDatabase& db, qint64 rows, uint32_t first_id, uint32_t ts_from, uint32_t ts_to,
                        QString* error = nullptr);
// Readings of stored `type` (66 an hour profile, 68 a day profile, 64 current values), with an
// energy register and the JSON of all values.
bool fill_aged_readings(QSqlDatabase& db, qint64 rows, int type, uint32_t ts_from, uint32_t ts_to,
                        QString* error = nullptr);
// Events of the event log `type` (the E byte of its OBIS code), event code 3.
bool fill_aged_events(QSqlDatabase& db, qint64 rows, int type, uint32_t ts_from, uint32_t ts_to,
                      QString* error = nullptr);

} // namespace testsupport
