#pragma once
// Application service data units: header on the wire, creation, wrapping of received bytes,
// adding objects under the size limits and decoding single elements.

#include "iec60870_common.h"
#include "iec60870_frame.h"
#include "iec60870_objects.h"

typedef struct sAsdu* Asdu;
struct sAsdu
{
    AppLayerParameters parameters;
    uint8_t* header;
    int header_length;
    uint8_t* payload;
    int payload_size;
};

// Causes of transmission the stack itself uses.
enum {
    CS101_COT_PERIODIC = 1,
    CS101_COT_SPONTANEOUS = 3,
    CS101_COT_REQUEST = 5,
    CS101_COT_ACTIVATION = 6,
    CS101_COT_ACTIVATION_CON = 7,
    CS101_COT_DEACTIVATION = 8,
    CS101_COT_ACTIVATION_TERMINATION = 10,
    CS101_COT_INTERROGATED_BY_STATION = 20,
    CS101_COT_UNKNOWN_TYPE_ID = 44,
    CS101_COT_UNKNOWN_COT = 45,
    CS101_COT_UNKNOWN_CA = 46,
    CS101_COT_UNKNOWN_IOA = 47
};

Asdu asdu_create(AppLayerParameters parameters, bool is_sequence, int cot, int oa, int ca, bool is_test,
                 bool is_negative);
void asdu_initialize(Asdu self, AppLayerParameters parameters, bool is_sequence, int cot, int oa, int ca,
                     bool is_test, bool is_negative);
void asdu_destroy(Asdu self);
// Appends the header and payload to `frame`; false when it does not fit.
bool asdu_encode(Asdu self, Frame frame);
Asdu asdu_create_from_buffer(AppLayerParameters parameters, uint8_t* bytes, int size);
void asdu_remove_all_elements(Asdu self);

int asdu_get_type_id(Asdu self);
bool asdu_is_sequence(Asdu self);
int asdu_get_element_count(Asdu self);
int asdu_get_cot(Asdu self);
void asdu_set_cot(Asdu self, int cot);
bool asdu_is_negative(Asdu self);
void asdu_set_negative(Asdu self, bool value);
bool asdu_is_test(Asdu self);
void asdu_set_test(Asdu self, bool value);
int asdu_get_oa(Asdu self);
int asdu_get_ca(Asdu self);
void asdu_set_ca(Asdu self, int ca);
bool asdu_is_broadcast_ca(Asdu self);

bool asdu_add_object(Asdu self, InformationObject object);
InformationObject asdu_get_element_into(Asdu self, InformationObject storage, int index);
InformationObject asdu_get_element(Asdu self, int index);

const char* type_id_to_string(int type_id);
const char* cot_to_string(int cot);
