#pragma once
// Types shared by every layer of the IEC 60870-5-101/104 stack.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

// Field sizes every ASDU and information object is encoded and decoded by.
typedef struct sAppLayerParameters* AppLayerParameters;
struct sAppLayerParameters
{
    int size_of_type_id;
    int size_of_vsq;
    int size_of_cot;
    int originator_address;
    int size_of_ca;
    int size_of_ioa;
    int max_size_of_asdu;
};

// APCI window sizes and times (seconds).
typedef struct sApciParameters* ApciParameters;
struct sApciParameters
{
    int k;
    int w;
    int t0;
    int t1;
    int t2;
    int t3;
};

// Largest ASDU the stack builds or accepts: 6 APCI bytes + 249 = the 255-byte APDU limit.
#define IEC60870_MAX_ASDU_SIZE 249

// What is read of max_size_of_asdu: never above 249, whatever a caller set.
static inline int app_layer_max_asdu_size(AppLayerParameters parameters)
{
    int m = parameters->max_size_of_asdu;
    return m > IEC60870_MAX_ASDU_SIZE ? IEC60870_MAX_ASDU_SIZE : m;
}

// Wire sizes of the variable header fields, kept to what the format can hold.
static inline int app_layer_ioa_size(AppLayerParameters p)
{
    return p->size_of_ioa <= 1 ? 1 : (p->size_of_ioa >= 3 ? 3 : 2);
}
static inline int app_layer_cot_size(AppLayerParameters p)
{
    return p->size_of_cot >= 2 ? 2 : 1;
}
static inline int app_layer_ca_size(AppLayerParameters p)
{
    return p->size_of_ca >= 2 ? 2 : 1;
}
