#pragma once
// CP16/CP24/CP32/CP56Time2a time tags: each is exactly its little-endian wire bytes.

#include <stdbool.h>
#include <stdint.h>

typedef struct sCp16Time2a* Cp16Time2a;
struct sCp16Time2a
{
    uint8_t encoded_value[2];
};

typedef struct sCp24Time2a* Cp24Time2a;
struct sCp24Time2a
{
    uint8_t encoded_value[3];
};

typedef struct sCp32Time2a* Cp32Time2a;
struct sCp32Time2a
{
    uint8_t encoded_value[4];
};

typedef struct sCp56Time2a* Cp56Time2a;
struct sCp56Time2a
{
    uint8_t encoded_value[7];
};

// Copy the tag out of `buffer` when it lies wholly inside it; else copy nothing, false.
bool cp16_parse(Cp16Time2a self, const uint8_t* buffer, int buffer_size, int position);
bool cp24_parse(Cp24Time2a self, const uint8_t* buffer, int buffer_size, int position);
bool cp32_parse(Cp32Time2a self, const uint8_t* buffer, int buffer_size, int position);
bool cp56_parse(Cp56Time2a self, const uint8_t* buffer, int buffer_size, int position);

int cp16_get_ms(Cp16Time2a self);
void cp16_set_ms(Cp16Time2a self, int ms);
uint8_t* cp16_get_encoded_value(Cp16Time2a self);

int cp24_get_millisecond(Cp24Time2a self);
void cp24_set_millisecond(Cp24Time2a self, int value);
int cp24_get_second(Cp24Time2a self);
void cp24_set_second(Cp24Time2a self, int value);
int cp24_get_minute(Cp24Time2a self);
void cp24_set_minute(Cp24Time2a self, int value);
bool cp24_is_invalid(Cp24Time2a self);
void cp24_set_invalid(Cp24Time2a self, bool value);
bool cp24_is_substituted(Cp24Time2a self);
void cp24_set_substituted(Cp24Time2a self, bool value);

Cp32Time2a cp32_create(Cp32Time2a storage);
int cp32_get_millisecond(Cp32Time2a self);
void cp32_set_millisecond(Cp32Time2a self, int value);
int cp32_get_second(Cp32Time2a self);
void cp32_set_second(Cp32Time2a self, int value);
int cp32_get_minute(Cp32Time2a self);
void cp32_set_minute(Cp32Time2a self, int value);
bool cp32_is_invalid(Cp32Time2a self);
void cp32_set_invalid(Cp32Time2a self, bool value);
bool cp32_is_substituted(Cp32Time2a self);
void cp32_set_substituted(Cp32Time2a self, bool value);
int cp32_get_hour(Cp32Time2a self);
void cp32_set_hour(Cp32Time2a self, int value);
bool cp32_is_summer_time(Cp32Time2a self);
void cp32_set_summer_time(Cp32Time2a self, bool value);
void cp32_set_from_ms_timestamp(Cp32Time2a self, uint64_t ms);
uint8_t* cp32_get_encoded_value(Cp32Time2a self);

int cp56_get_millisecond(Cp56Time2a self);
void cp56_set_millisecond(Cp56Time2a self, int value);
int cp56_get_second(Cp56Time2a self);
void cp56_set_second(Cp56Time2a self, int value);
int cp56_get_minute(Cp56Time2a self);
void cp56_set_minute(Cp56Time2a self, int value);
int cp56_get_hour(Cp56Time2a self);
void cp56_set_hour(Cp56Time2a self, int value);
bool cp56_is_invalid(Cp56Time2a self);
void cp56_set_invalid(Cp56Time2a self, bool value);
bool cp56_is_substituted(Cp56Time2a self);
void cp56_set_substituted(Cp56Time2a self, bool value);
bool cp56_is_summer_time(Cp56Time2a self);
void cp56_set_summer_time(Cp56Time2a self, bool value);
int cp56_get_day_of_month(Cp56Time2a self);
void cp56_set_day_of_month(Cp56Time2a self, int value);
int cp56_get_day_of_week(Cp56Time2a self);
void cp56_set_day_of_week(Cp56Time2a self, int value);
int cp56_get_month(Cp56Time2a self);
void cp56_set_month(Cp56Time2a self, int value);
int cp56_get_year(Cp56Time2a self);
void cp56_set_year(Cp56Time2a self, int value);
void cp56_set_from_ms_timestamp(Cp56Time2a self, uint64_t ms);
Cp56Time2a cp56_create_from_ms_timestamp(Cp56Time2a storage, uint64_t ms);
uint64_t cp56_to_ms_timestamp(Cp56Time2a self);
uint8_t* cp56_get_encoded_value(Cp56Time2a self);
