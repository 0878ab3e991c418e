#include "iec60870_asdu.h"
#include "iec60870_platform.h"

#include <stdio.h>
#include <string.h>

// A created ASDU is one block: the handle followed by its own 256-byte buffer.
typedef struct
{
    struct sAsdu asdu;
    uint8_t encoded_data[256];
} AsduWithBuffer;

static int header_length_of(AppLayerParameters p)
{
    return app_layer_cot_size(p) + app_layer_ca_size(p) + 2;
}

void asdu_initialize(Asdu self, AppLayerParameters parameters, bool is_sequence, int cot, int oa, int ca,
                     bool is_test, bool is_negative)
{
    uint8_t* h = ((AsduWithBuffer*)self)->encoded_data;
    int n = 0;
    h[n++] = 0;
    h[n++] = is_sequence ? 0x80 : 0;
    h[n++] = (uint8_t)(((unsigned)cot & 63) | (is_test ? 0x80 : 0) | (is_negative ? 0x40 : 0));
    if (app_layer_cot_size(parameters) > 1) h[n++] = (uint8_t)((unsigned)oa & 0xFF);
    h[n++] = (uint8_t)((unsigned)ca & 0xFF);
    if (app_layer_ca_size(parameters) > 1) h[n++] = (uint8_t)(((unsigned)ca >> 8) & 0xFF);
    self->parameters = parameters;
    self->header = h;
    self->header_length = n;
    self->payload = h + n;
    self->payload_size = 0;
}

Asdu asdu_create(AppLayerParameters parameters, bool is_sequence, int cot, int oa, int ca, bool is_test,
                 bool is_negative)
{
    Asdu self = (Asdu)platform_malloc(sizeof(AsduWithBuffer));
    if (self) asdu_initialize(self, parameters, is_sequence, cot, oa, ca, is_test, is_negative);
    return self;
}

void asdu_destroy(Asdu self)
{
    platform_free(self);
}

bool asdu_encode(Asdu self, Frame frame)
{
    return frame_append_bytes(frame, self->header, self->header_length + self->payload_size);
}

Asdu asdu_create_from_buffer(AppLayerParameters parameters, uint8_t* bytes, int size)
{
    const int header_length = header_length_of(parameters);
    if (bytes == nullptr || size < header_length) return nullptr;
    Asdu self = (Asdu)platform_malloc(sizeof(struct sAsdu));
    if (self == nullptr) return nullptr;
    self->parameters = parameters;
    self->header = bytes;
    self->header_length = header_length;
    self->payload = bytes + header_length;
    self->payload_size = size - header_length;
    return self;
}

void asdu_remove_all_elements(Asdu self)
{
    self->header[1] &= 0x80;
    self->payload_size = 0;
}

int asdu_get_type_id(Asdu self)
{
    return self->header[0];
}
bool asdu_is_sequence(Asdu self)
{
    return (self->header[1] & 0x80) != 0;
}
int asdu_get_element_count(Asdu self)
{
    return self->header[1] & 0x7F;
}
int asdu_get_cot(Asdu self)
{
    return self->header[2] & 0x3F;
}
void asdu_set_cot(Asdu self, int cot)
{
    self->header[2] = (uint8_t)((self->header[2] & 0xC0) | ((unsigned)cot & 0x3F));
}
bool asdu_is_negative(Asdu self)
{
    return (self->header[2] & 0x40) != 0;
}
void asdu_set_negative(Asdu self, bool value)
{
    self->header[2] = value ? (uint8_t)(self->header[2] | 0x40) : (uint8_t)(self->header[2] & ~0x40);
}
bool asdu_is_test(Asdu self)
{
    return (self->header[2] & 0x80) != 0;
}
void asdu_set_test(Asdu self, bool value)
{
    self->header[2] = value ? (uint8_t)(self->header[2] | 0x80) : (uint8_t)(self->header[2] & ~0x80);
}
int asdu_get_oa(Asdu self)
{
    return app_layer_cot_size(self->parameters) == 2 ? self->header[3] : -1;
}

static int ca_offset(Asdu self)
{
    return 2 + app_layer_cot_size(self->parameters);
}

int asdu_get_ca(Asdu self)
{
    const uint8_t* b = self->header + ca_offset(self);
    return app_layer_ca_size(self->parameters) == 2 ? b[0] + b[1] * 256 : b[0];
}

void asdu_set_ca(Asdu self, int ca)
{
    uint8_t* b = self->header + ca_offset(self);
    if (ca < 0) ca = 0;
    if (app_layer_ca_size(self->parameters) == 2) {
        if (ca > 65535) ca = 65535;
        b[0] = (uint8_t)(ca & 0xFF);
        b[1] = (uint8_t)(ca >> 8);
    } else {
        b[0] = (uint8_t)(ca > 255 ? 255 : ca);
    }
}

bool asdu_is_broadcast_ca(Asdu self)
{
    return asdu_get_ca(self) == (app_layer_ca_size(self->parameters) == 2 ? 65535 : 255);
}

// The payload writer handed to the encoders while an object is added.
typedef struct
{
    const FrameVFT* operations;
    Asdu asdu;
} AsduFrame;

static int asdu_frame_space_left(Frame frame)
{
    Asdu a = ((AsduFrame*)frame)->asdu;
    return app_layer_max_asdu_size(a->parameters) - a->header_length - a->payload_size;
}

static bool asdu_frame_append_bytes(Frame frame, const uint8_t* bytes, int count)
{
    Asdu a = ((AsduFrame*)frame)->asdu;
    if (count < 0 || count > asdu_frame_space_left(frame)) return false;
    memcpy(a->payload + a->payload_size, bytes, (size_t)count);
    a->payload_size += count;
    return true;
}

static bool asdu_frame_append_byte(Frame frame, uint8_t byte)
{
    return asdu_frame_append_bytes(frame, &byte, 1);
}
static void asdu_frame_destroy(Frame) {}

static const FrameVFT asdu_frame_vft = {asdu_frame_destroy,      nullptr, asdu_frame_append_byte,
                                        asdu_frame_append_bytes, nullptr, nullptr,
                                        asdu_frame_space_left};

bool asdu_add_object(Asdu self, InformationObject object)
{
    AsduFrame writer = {&asdu_frame_vft, self};
    const int count = asdu_get_element_count(self);
    bool sequence_mode = false;
    if (count == 0) {
        self->header[0] = (uint8_t)object->type;
    } else {
        if (count >= 127) return false;
        if (asdu_is_sequence(self)) {
            const uint32_t first = (uint32_t)info_object_parse_address(self->parameters, self->payload, 0);
            if (object->object_address != first + (uint32_t)count) return false;
            sequence_mode = true;
        }
    }
    if (!info_object_encode(object, (Frame)&writer, self->parameters, sequence_mode)) return false;
    self->header[1] = (uint8_t)((self->header[1] & 0x80) | (count + 1));
    return true;
}

InformationObject asdu_get_element_into(Asdu self, InformationObject storage, int index)
{
    const int type = asdu_get_type_id(self);
    const InformationObjectKind* kind = info_object_get_kind(type);
    if (kind == nullptr || index < 0) return nullptr;
    const int s = app_layer_ioa_size(self->parameters);
    const int64_t e = kind->body_size;
    InformationObject result;
    switch (kind->sq) {
    case IO_SQ_YES:
        if (asdu_is_sequence(self)) {
            const int64_t offset = s + e * index;
            if (offset > self->payload_size || self->payload_size < s) return nullptr;
            result = info_object_parse(type, storage, self->parameters, self->payload, self->payload_size,
                                       (int)offset, true);
            if (result)
                result->object_address =
                    (uint32_t)info_object_parse_address(self->parameters, self->payload, 0) + (uint32_t)index;
            return result;
        }
        /* fall through */
    case IO_SQ_NO: {
        const int64_t offset = (s + e) * index;
        if (offset > self->payload_size) return nullptr;
        return info_object_parse(type, storage, self->parameters, self->payload, self->payload_size,
                                 (int)offset, false);
    }
    default:
        return info_object_parse(type, storage, self->parameters, self->payload, self->payload_size, 0,
                                 false);
    }
}

InformationObject asdu_get_element(Asdu self, int index)
{
    return asdu_get_element_into(self, nullptr, index);
}

const char* type_id_to_string(int type_id)
{
    if (type_id == 107) return "C_TS_TA_1";
    if (type_id == 127) return "F_SC_NB_1";
    const InformationObjectKind* kind = info_object_get_kind(type_id);
    return kind ? kind->mnemonic : "unknown";
}

const char* cot_to_string(int cot)
{
    static const char* const names[] = {
        nullptr,
        "PERIODIC",
        "BACKGROUND_SCAN",
        "SPONTANEOUS",
        "INITIALIZED",
        "REQUEST",
        "ACTIVATION",
        "ACTIVATION_CON",
        "DEACTIVATION",
        "DEACTIVATION_CON",
        "ACTIVATION_TERMINATION",
        "RETURN_INFO_REMOTE",
        "RETURN_INFO_LOCAL",
        "FILE_TRANSFER",
        "AUTHENTICATION",
        "MAINTENANCE_OF_AUTH_SESSION_KEY",
        "MAINTENANCE_OF_USER_ROLE_AND_UPDATE_KEY",
    };
    static const char* const groups[] = {
        "INTERROGATED_BY_GROUP_1",  "INTERROGATED_BY_GROUP_2",  "INTERROGATED_BY_GROUP_3",
        "INTERROGATED_BY_GROUP_4",  "INTERROGATED_BY_GROUP_5",  "INTERROGATED_BY_GROUP_6",
        "INTERROGATED_BY_GROUP_7",  "INTERROGATED_BY_GROUP_8",  "INTERROGATED_BY_GROUP_9",
        "INTERROGATED_BY_GROUP_10", "INTERROGATED_BY_GROUP_11", "INTERROGATED_BY_GROUP_12",
        "INTERROGATED_BY_GROUP_13", "INTERROGATED_BY_GROUP_14", "INTERROGATED_BY_GROUP_15",
        "INTERROGATED_BY_GROUP_16"};
    static const char* const counters[] = {"REQUESTED_BY_GROUP_1_COUNTER", "REQUESTED_BY_GROUP_2_COUNTER",
                                           "REQUESTED_BY_GROUP_3_COUNTER", "REQUESTED_BY_GROUP_4_COUNTER"};
    if (cot >= 1 && cot <= 16) return names[cot];
    if (cot == 20) return "INTERROGATED_BY_STATION";
    if (cot >= 21 && cot <= 36) return groups[cot - 21];
    if (cot == 37) return "REQUESTED_BY_GENERAL_COUNTER";
    if (cot >= 38 && cot <= 41) return counters[cot - 38];
    switch (cot) {
    case 44:
        return "UNKNOWN_TYPE_ID";
    case 45:
        return "UNKNOWN_CAUSE_OF_TRANSMISSION";
    case 46:
        return "UNKNOWN_COMMON_ADDRESS_OF_ASDU";
    case 47:
        return "UNKNOWN_INFORMATION_OBJECT_ADDRESS";
    default:
        return "UNKNOWN_COT";
    }
}
