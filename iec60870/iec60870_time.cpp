#include "iec60870_time.h"
#include "iec60870_platform.h"

#include <string.h>
#include <time.h>

// The longer tags extend the shorter ones byte for byte, so one set of helpers on the raw bytes
// serves all of them.
static bool tag_parse(uint8_t* tag, int length, const uint8_t* buffer, int buffer_size, int position)
{
    if (buffer == nullptr || position < 0 || buffer_size < 0 || length > buffer_size - position) return false;
    memcpy(tag, buffer + position, (size_t)length);
    return true;
}

static int ms_of_minute(const uint8_t* t)
{
    return t[0] + t[1] * 256;
}

static void set_ms_of_minute(uint8_t* t, int value)
{
    t[0] = (uint8_t)((unsigned)value & 0xFF);
    t[1] = (uint8_t)(((unsigned)value >> 8) & 0xFF);
}

static void set_bits(uint8_t* byte, uint8_t mask, int value)
{
    *byte = (uint8_t)((*byte & ~mask) | (value & mask));
}
static void set_flag(uint8_t* byte, uint8_t bit, bool on)
{
    *byte = on ? (uint8_t)(*byte | bit) : (uint8_t)(*byte & ~bit);
}

static int t_get_millisecond(const uint8_t* t)
{
    return ms_of_minute(t) % 1000;
}
static void t_set_millisecond(uint8_t* t, int v)
{
    set_ms_of_minute(t, (int)((unsigned)(ms_of_minute(t) / 1000) * 1000u + (unsigned)v));
}
static int t_get_second(const uint8_t* t)
{
    return ms_of_minute(t) / 1000;
}
static void t_set_second(uint8_t* t, int v)
{
    set_ms_of_minute(t, (int)((unsigned)(ms_of_minute(t) % 1000) + (unsigned)v * 1000u));
}
static int t_get_minute(const uint8_t* t)
{
    return t[2] & 0x3F;
}
static void t_set_minute(uint8_t* t, int v)
{
    set_bits(&t[2], 0x3F, v);
}
static bool t_is_invalid(const uint8_t* t)
{
    return (t[2] & 0x80) != 0;
}
static void t_set_invalid(uint8_t* t, bool v)
{
    set_flag(&t[2], 0x80, v);
}
static bool t_is_substituted(const uint8_t* t)
{
    return (t[2] & 0x40) != 0;
}
static void t_set_substituted(uint8_t* t, bool v)
{
    set_flag(&t[2], 0x40, v);
}
static int t_get_hour(const uint8_t* t)
{
    return t[3] & 0x1F;
}
static void t_set_hour(uint8_t* t, int v)
{
    set_bits(&t[3], 0x1F, v);
}
static bool t_is_summer_time(const uint8_t* t)
{
    return (t[3] & 0x80) != 0;
}
static void t_set_summer_time(uint8_t* t, bool v)
{
    set_flag(&t[3], 0x80, v);
}

// Steps shared by CP32 and CP56: milliseconds within the minute, minute and hour (UTC).
static void t_set_from_ms(uint8_t* t, uint64_t ms, struct tm* out)
{
    time_t seconds = (time_t)(ms / 1000);
    struct tm tm_time;
    memset(&tm_time, 0, sizeof tm_time);
    gmtime_r(&seconds, &tm_time);
    set_ms_of_minute(t, tm_time.tm_sec * 1000 + (int)(ms % 1000));
    t_set_minute(t, tm_time.tm_min);
    t_set_hour(t, tm_time.tm_hour);
    *out = tm_time;
}

bool cp16_parse(Cp16Time2a self, const uint8_t* b, int n, int pos)
{
    return tag_parse(self->encoded_value, 2, b, n, pos);
}
bool cp24_parse(Cp24Time2a self, const uint8_t* b, int n, int pos)
{
    return tag_parse(self->encoded_value, 3, b, n, pos);
}
bool cp32_parse(Cp32Time2a self, const uint8_t* b, int n, int pos)
{
    return tag_parse(self->encoded_value, 4, b, n, pos);
}
bool cp56_parse(Cp56Time2a self, const uint8_t* b, int n, int pos)
{
    return tag_parse(self->encoded_value, 7, b, n, pos);
}

int cp16_get_ms(Cp16Time2a self)
{
    return ms_of_minute(self->encoded_value);
}
void cp16_set_ms(Cp16Time2a self, int ms)
{
    set_ms_of_minute(self->encoded_value, ms);
}
uint8_t* cp16_get_encoded_value(Cp16Time2a self)
{
    return self->encoded_value;
}

#define IEC_TIME_MINUTE_ACCESSORS(prefix, Type)                                                              \
    int prefix##_get_millisecond(Type self)                                                                  \
    {                                                                                                        \
        return t_get_millisecond(self->encoded_value);                                                       \
    }                                                                                                        \
    void prefix##_set_millisecond(Type self, int v)                                                          \
    {                                                                                                        \
        t_set_millisecond(self->encoded_value, v);                                                           \
    }                                                                                                        \
    int prefix##_get_second(Type self)                                                                       \
    {                                                                                                        \
        return t_get_second(self->encoded_value);                                                            \
    }                                                                                                        \
    void prefix##_set_second(Type self, int v)                                                               \
    {                                                                                                        \
        t_set_second(self->encoded_value, v);                                                                \
    }                                                                                                        \
    int prefix##_get_minute(Type self)                                                                       \
    {                                                                                                        \
        return t_get_minute(self->encoded_value);                                                            \
    }                                                                                                        \
    void prefix##_set_minute(Type self, int v)                                                               \
    {                                                                                                        \
        t_set_minute(self->encoded_value, v);                                                                \
    }                                                                                                        \
    bool prefix##_is_invalid(Type self)                                                                      \
    {                                                                                                        \
        return t_is_invalid(self->encoded_value);                                                            \
    }                                                                                                        \
    void prefix##_set_invalid(Type self, bool v)                                                             \
    {                                                                                                        \
        t_set_invalid(self->encoded_value, v);                                                               \
    }                                                                                                        \
    bool prefix##_is_substituted(Type self)                                                                  \
    {                                                                                                        \
        return t_is_substituted(self->encoded_value);                                                        \
    }                                                                                                        \
    void prefix##_set_substituted(Type self, bool v)                                                         \
    {                                                                                                        \
        t_set_substituted(self->encoded_value, v);                                                           \
    }

#define IEC_TIME_HOUR_ACCESSORS(prefix, Type)                                                                \
    int prefix##_get_hour(Type self)                                                                         \
    {                                                                                                        \
        return t_get_hour(self->encoded_value);                                                              \
    }                                                                                                        \
    void prefix##_set_hour(Type self, int v)                                                                 \
    {                                                                                                        \
        t_set_hour(self->encoded_value, v);                                                                  \
    }                                                                                                        \
    bool prefix##_is_summer_time(Type self)                                                                  \
    {                                                                                                        \
        return t_is_summer_time(self->encoded_value);                                                        \
    }                                                                                                        \
    void prefix##_set_summer_time(Type self, bool v)                                                         \
    {                                                                                                        \
        t_set_summer_time(self->encoded_value, v);                                                           \
    }                                                                                                        \
    uint8_t* prefix##_get_encoded_value(Type self)                                                           \
    {                                                                                                        \
        return self->encoded_value;                                                                          \
    }

IEC_TIME_MINUTE_ACCESSORS(cp24, Cp24Time2a)
IEC_TIME_MINUTE_ACCESSORS(cp32, Cp32Time2a)
IEC_TIME_HOUR_ACCESSORS(cp32, Cp32Time2a)
IEC_TIME_MINUTE_ACCESSORS(cp56, Cp56Time2a)
IEC_TIME_HOUR_ACCESSORS(cp56, Cp56Time2a)

Cp32Time2a cp32_create(Cp32Time2a storage)
{
    if (storage == nullptr) return (Cp32Time2a)platform_calloc(1, sizeof(struct sCp32Time2a));
    memset(storage->encoded_value, 0, sizeof storage->encoded_value);
    return storage;
}

void cp32_set_from_ms_timestamp(Cp32Time2a self, uint64_t ms)
{
    struct tm tm_time;
    t_set_from_ms(self->encoded_value, ms, &tm_time);
}

int cp56_get_day_of_month(Cp56Time2a self)
{
    return self->encoded_value[4] & 0x1F;
}
void cp56_set_day_of_month(Cp56Time2a self, int v)
{
    set_bits(&self->encoded_value[4], 0x1F, v);
}
int cp56_get_day_of_week(Cp56Time2a self)
{
    return (self->encoded_value[4] >> 5) & 0x07;
}
void cp56_set_day_of_week(Cp56Time2a self, int v)
{
    set_bits(&self->encoded_value[4], 0xE0, (int)((unsigned)v << 5));
}
int cp56_get_month(Cp56Time2a self)
{
    return self->encoded_value[5] & 0x0F;
}
void cp56_set_month(Cp56Time2a self, int v)
{
    set_bits(&self->encoded_value[5], 0x0F, v);
}
int cp56_get_year(Cp56Time2a self)
{
    return self->encoded_value[6] & 0x7F;
}

void cp56_set_year(Cp56Time2a self, int v)
{
    v %= 100;
    if (v < 0) v += 100;
    set_bits(&self->encoded_value[6], 0x7F, v);
}

void cp56_set_from_ms_timestamp(Cp56Time2a self, uint64_t ms)
{
    struct tm tm_time;
    t_set_from_ms(self->encoded_value, ms, &tm_time);
    cp56_set_day_of_month(self, tm_time.tm_mday);
    cp56_set_day_of_week(self, 0);
    cp56_set_month(self, tm_time.tm_mon + 1);
    cp56_set_year(self, tm_time.tm_year % 100);
}

Cp56Time2a cp56_create_from_ms_timestamp(Cp56Time2a storage, uint64_t ms)
{
    Cp56Time2a self = storage ? storage : (Cp56Time2a)platform_calloc(1, sizeof(struct sCp56Time2a));
    if (self == nullptr) return nullptr;
    memset(self->encoded_value, 0, sizeof self->encoded_value);
    cp56_set_from_ms_timestamp(self, ms);
    return self;
}

uint64_t cp56_to_ms_timestamp(Cp56Time2a self)
{
    const int64_t d = cp56_get_day_of_month(self);
    const int month = cp56_get_month(self);
    const int64_t year = cp56_get_year(self);
    int64_t m, y; // y counts years from 1900, January and February moved to the year before
    if (month - 1 < 2) {
        m = month + 11;
        y = year + 99;
    } else {
        m = month - 1;
        y = year + 100;
    }
    const int64_t days = y / 4 + (y - 69) * 365 - ((y / 100) * 3) / 4 + ((m + 2) * 153) / 5 - 446 + d;
    const int64_t seconds =
        ((days * 24 + cp56_get_hour(self)) * 60 + cp56_get_minute(self)) * 60 + cp56_get_second(self);
    return (uint64_t)(seconds * 1000 + cp56_get_millisecond(self));
}
