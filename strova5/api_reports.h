#pragma once
// Shared pieces of the readings reports and the diagnostics: profile codes and archive kinds of
// stored rows, the reading of query items, and the metering builder of the history report.
//
// Everything here is a pure function of its arguments (the builder of its own state), so the
// reports can be checked without a database.

#include <QList>
#include <QMap>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include "sql_exchange.h"

#include <QVariantMap>
#include <cstdint>
#include <utility>

constexpr uint32_t ts_unbounded = 4294967295u;

// Profile code of a stored type (or archive kind) at a record time.
QString profile_obis_for_type(int32_t type, uint32_t ts);
// Archive kind of a stored data row from its "type".
uint32_t normalize_arch_type(const QVariantMap& row);
uint32_t normalize_arch_type(uint32_t type);

namespace report_items {
// A whole number of which the low 32 bits count as unsigned; no number reads 0.
uint32_t low32(const QVariant& item);
// The variant conversion to unsigned; no number (also "-1") reads 0.
uint32_t unsigned32(const QVariant& item);
// A signed 32-bit number used as unsigned; no number reads 0.
uint32_t signed32(const QVariant& item);
// The item "limit": absent, negative or above `fallback` reads `fallback`; no number reads 0.
uint32_t capped_limit(const QVariantMap& qitems, uint32_t fallback);
// A finite number, else `fallback`.
double finite_or(const QVariant& item, double fallback);
// Day alignment of a period: the start down to its midnight, the end up to the next one (also
// from a midnight), clamped to the 32-bit range.
uint32_t day_floor(uint32_t ts);
uint32_t day_ceil_next(uint32_t ts);
// `ts - back`, stopping at 0.
uint32_t minus_clamped(uint32_t ts, uint32_t back);
// "C.D.E" of a column "OBIS_C_D_E..." and its numbers; false for any other column.
bool obis_column(const QString& column, uint8_t& c, uint8_t& d, uint8_t& e);
// Energies and powers are stored in k-units and answered in units.
bool is_scaled(uint8_t c);

// What a column name says, worked out once per name.
struct column_key
{
    bool obis = false;
    uint8_t c = 0, d = 0, e = 0;
    QString cde;   // "C.D.E"
    QString event; // "C.D" when E is 0, else "C.D.E"
};
const column_key& column_info(const QString& name);

// `v` appended to `out` as compact JSON, as the web front would write it.
void append_json(QByteArray& out, const QVariant& v);

// A list answer written entry by entry as compact JSON, as the web front would write it.
class json_list
{
public:
    void append(const QVariant& entry);
    // Entries already written, comma-separated.
    void append_written(const QByteArray& entries);
    QVariant finish();
    qint64 size() const { return text.size(); }

private:
    QByteArray text = "[";
};
} // namespace report_items

// Builds the meterings of one modem's stored rows, in the order the storage delivers them
// (time ascending, the higher type first at equal times).
class history_builder
{
public:
    struct options
    {
        QList<uint32_t> kinds;     // the requested kinds, as widened by the report
        bool day_added = false;    // day rows are read to derive values, not answered
        bool interpolate = false;  // hour rows are read to build day rows, not answered
        bool has_timefrom = false; // a period was asked for
        bool config_interpolation = false;
        int32_t hour_period = 0;
    };

    explicit history_builder(options opt) : o(std::move(opt)) {}

    void add_row(const QVariantMap& row);
    // The meterings, newest first.
    QVariantList& meterings() { return list; }

    // "1.29.0".."4.29.0" on hour meterings of a list sorted ascending.
    static void add_interval_energies(QVariantList& ascending, int32_t period);
    // A stable sort by "1.0.0", then "profile": the order of API_controller::history_less, or
    // of history_greater when descending.
    static void sort(QVariantList& meterings, bool descending);
    // Current values derived from the values of one metering.
    static void add_current_values(QVariantMap& metering);

    static constexpr int max_meterings = 10000;

private:
    void put_front(const QVariantMap& m) { list.prepend(m); }

    options o;
    QMap<uint16_t, double> regs;
    bool hour_totals = false;
    QVariantMap last_day;
    QVariantMap last_hour;
    QVariantList list;
};
