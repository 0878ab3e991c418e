#pragma once
// The meters' application protocol: uplink payloads into records, command requests into
// downlink payloads. Stateless; never instantiated.

#include "records.h"

#include <QObject>
#include <QStringList>
#include <QVariantMap>

// ---- OBIS codes and device time (parser_strova5_obis.cpp); pure, callable from any thread.

OBIS obis_pack(unsigned a, unsigned b, unsigned c, unsigned d, unsigned e, unsigned f);
OBIS obis_make_cde(unsigned c, unsigned d, unsigned e);
// Decodes one compact OBIS form (2, 4 or 6 bytes) from `bytes`, of which `remaining` are
// readable. Returns the number of bytes read, or 0 when the form does not fit.
int obis_compact_decode(const uint8_t* bytes, int remaining, OBIS& out);
// Writes the shortest compact form into `out` (at least 6 bytes); returns 2, 4 or 6.
int obis_compact_encode(uint8_t* out, const OBIS& code);
// Device time check against the reception time `ref`: outside [ref - 732 days, ref + 1 day]
// gives ref. A time equal to ref is a good time: `rejected` tells the two apart.
uint32_t clamp_device_time(uint32_t t, uint32_t ref);
uint32_t clamp_device_time(uint32_t t, uint32_t ref, bool& rejected);
uint32_t archive_kind_from_code(uint32_t code, uint32_t t);
// Completes the low 24 bits of a UNIX time sent by a meter: the first t + n * 2^24 that is no
// more than half a year before `now`. A clock before mid-1970 leaves t as it is.
uint32_t complete_time24(uint32_t t24, int64_t now);

QString obis_to_string(const OBIS& code);                  // "1.0.1.8.0.255"
QString obis_to_string(const OBIS& code, int attribute);    // "0.0.96.3.10.255_4"
QString obis_to_cde(const OBIS& code);                      // "1.8.0"
QString obis_to_column(const OBIS& code);                   // "OBIS_1_8_0"
QString obis_to_hex(const OBIS& code);                      // "0100010800FF"
// Parses "A.B.C.D.E.F" (optionally "_attr"); false on anything else.
bool obis_from_string(const QString& text, OBIS& out, int* attribute = nullptr);
bool obis_from_hex(const QString& hex, OBIS& out);

// Validates a new-firmware tariff program of `count` bytes; 0 = valid, else the failure code
// (0x21 minute, 0x22 tariff, 0x31-0x33 week profile, 0x91-0x94 seasons, 0xA1-0xA4 special days,
// 0xB1 activation, 0xC1 and 0x01 unknown section). Reads only program[0 .. count-1].
uint8_t tariff_check(const uint8_t* program, uint16_t count);

class parser_strova5 : public QObject
{
    Q_OBJECT
public:
    parser_strova5() = delete;

    // ---- uplink decoding (parser_strova5_ul.cpp)
    static Parser_ul_app parse_ul_app(const Radio_ul_input& input);
    static QByteArray stringify_values(uint8_t header, const Ul_data_record& record);
    // Appends the setting and reports the command of that name as answered to storage.
    static void add_setting(Parser_ul_app& result, const Ul_setting& item);

    // ---- command encoding (parser_strova5_dl.cpp)
    static Stringify_dl_app stringify_dl_app(const Dl_request& request, const QStringList& rights);
    static bool is_new_sw(uint32_t modem_id);
    // A delivered relay command ("96.3.10") of an old software version: the relay setting it
    // leaves, as the modem would report it; empty for any other status. Any thread (it reads
    // the registry under its lock).
    static QString relay_setting_value(const Rabbit_dl_status& status, const Dl_request& command);
    // The same with the modem's software generation (is_new_sw) decided by the caller: for the
    // storage's writer thread, which does not read the registry.
    static QString relay_setting_value(const Rabbit_dl_status& status, const Dl_request& command, bool new_sw);
    // Stores that setting like one the meter reported.
    static void convert_relay_setting(const Rabbit_dl_status& status, const Dl_request& command);

    // ---- tariff calendars (parser_strova5_tariff.cpp), the value of the setting "13.0.0"
    // New firmware: the tariff program of an uplink 0x51 (body without the header) and of the
    // command 51 .. 00. The encoders return an empty array for a calendar they refuse.
    static QVariantMap parse_tariff(const QByteArray& body);
    static QByteArray stringify_tariff_calendar(const QVariantMap& calendar);
    // Old firmware: the tariff frame of the command F0 11 and of the uplinks F0/F2.
    static QByteArray stringify_tariff_days(const QVariantMap& calendar);
    static QVariantMap parse_tariff_days(const QByteArray& payload); // whole payload; empty: dropped
    static QVariantMap parse_tariff_day(const QByteArray& slots12);
    static void tariff_day_to_points(uint8_t* slots12, const QVariantMap& day);
    // The calendar an uplink 0x51, 0xF0 or 0xF2 (whole payload) reports; empty when none.
    static QVariantMap tariff_from_ul(const QByteArray& payload);
    // The "13.0.0" command for a modem of the given firmware: sets out.payload and out.state
    // (state 4 for a refused calendar or a missing right, never a read instead of a write).
    static void stringify_tariff_request(Stringify_dl_app& out, const Dl_request& req, const QStringList& rights,
                                         bool new_sw);

private:
    // Uplinks 0x51, 0xF0 and 0xF2 (the whole payload, header included); defined with the
    // tariff codec (parser_strova5_tariff_ul.cpp).
    static void parse_ul_tariff(Parser_ul_app& result, const QByteArray& payload);
    // The "13.0.0" branch of the encoder: fills out.payload and out.state and returns true.
    static bool encode_tariff_program(Stringify_dl_app& out, const Dl_request& req, const QStringList& rights);
};
