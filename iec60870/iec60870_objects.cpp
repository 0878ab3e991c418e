#include "iec60870_objects.h"
#include "iec60870_platform.h"

#include <math.h>
#include <string.h>

static constexpr int io_field_size(int field)
{
    switch (field) {
    case IO_F_END:
        return 0;
    case IO_F_NVA:
    case IO_F_SVA:
    case IO_F_CP16:
    case IO_F_TEST:
    case IO_F_NOF:
        return 2;
    case IO_F_CP24:
    case IO_F_LOF:
        return 3;
    case IO_F_BSI:
    case IO_F_FLOAT:
    case IO_F_SCD:
        return 4;
    case IO_F_BCR:
        return 5;
    case IO_F_CP56:
        return 7;
    default:
        return 1;
    }
}

template <typename... F> static constexpr int io_body_size(F... fields)
{
    return (0 + ... + io_field_size(fields));
}

#define IEC_IO_ENTRY(id, mnemonic, kind, sq, ...)                                                            \
    {id, mnemonic, sq, io_body_size(__VA_ARGS__), {__VA_ARGS__}},
static const InformationObjectKind io_kinds[] = {IEC_IO_MONITOR_KINDS(IEC_IO_ENTRY)
                                                     IEC_IO_CONTROL_KINDS(IEC_IO_ENTRY)};
#undef IEC_IO_ENTRY
static const int io_kind_count = (int)(sizeof io_kinds / sizeof io_kinds[0]);

const InformationObjectKind* info_object_kinds(int* count)
{
    if (count) *count = io_kind_count;
    return io_kinds;
}

const InformationObjectKind* info_object_get_kind(int type_id)
{
    static const signed char* index = [] {
        static signed char by_id[256];
        memset(by_id, -1, sizeof by_id);
        for (int i = 0; i < io_kind_count; i++)
            by_id[io_kinds[i].type] = (signed char)i;
        return by_id;
    }();
    if (type_id < 0 || type_id > 255 || index[type_id] < 0) return nullptr;
    return &io_kinds[index[type_id]];
}

static bool is_segment(int type)
{
    return type == 125;
}

// Little-endian field helpers over the body bytes.
static void put_u16(uint8_t* b, uint32_t v)
{
    b[0] = (uint8_t)(v & 0xFF);
    b[1] = (uint8_t)((v >> 8) & 0xFF);
}
static void put_u24(uint8_t* b, uint32_t v)
{
    put_u16(b, v);
    b[2] = (uint8_t)((v >> 16) & 0xFF);
}
static void put_u32(uint8_t* b, uint32_t v)
{
    put_u24(b, v);
    b[3] = (uint8_t)((v >> 24) & 0xFF);
}
static uint32_t get_u16(const uint8_t* b)
{
    return (uint32_t)b[0] | (uint32_t)b[1] << 8;
}
static uint32_t get_u24(const uint8_t* b)
{
    return get_u16(b) | (uint32_t)b[2] << 16;
}
static uint32_t get_u32(const uint8_t* b)
{
    return get_u24(b) | (uint32_t)b[3] << 24;
}
static int16_t get_i16(const uint8_t* b)
{
    return (int16_t)(uint16_t)get_u16(b);
}

static void put_float(uint8_t* b, float value)
{
    uint32_t bits;
    memcpy(&bits, &value, 4);
    put_u32(b, bits);
}
static float get_float(const uint8_t* b)
{
    uint32_t bits = get_u32(b);
    float value;
    memcpy(&value, &bits, 4);
    return value;
}

// Low 16 bits of a truncated real, also for values far outside the 16-bit range.
static uint16_t low16_of_truncated(double value)
{
    if (isnan(value) || isinf(value)) return 0;
    double r = fmod(trunc(value), 65536.0);
    return (uint16_t)(int32_t)r;
}

static bool io_encode(InformationObject self, Frame frame, AppLayerParameters parameters, bool is_sequence);
static void io_destroy(InformationObject self)
{
    platform_free(self);
}
static const InformationObjectVFT io_vft = {io_encode, io_destroy};

bool info_object_encode(InformationObject self, Frame frame, AppLayerParameters parameters, bool is_sequence)
{
    return self->operations->encode(self, frame, parameters, is_sequence);
}

void info_object_destroy(InformationObject self)
{
    if (self) self->operations->destroy(self);
}

int info_object_get_address(InformationObject self)
{
    return (int)self->object_address;
}
void info_object_set_address(InformationObject self, int ioa)
{
    self->object_address = (uint32_t)ioa;
}
int info_object_get_type_id(InformationObject self)
{
    return self->type;
}
int info_object_max_size(void)
{
    return (int)sizeof(struct sInformationObject);
}

int info_object_parse_address(AppLayerParameters parameters, const uint8_t* payload, int offset)
{
    const uint8_t* b = payload + offset;
    switch (app_layer_ioa_size(parameters)) {
    case 1:
        return b[0];
    case 2:
        return (int)get_u16(b);
    default:
        return (int)get_u24(b);
    }
}

bool info_object_encode_address(InformationObject self, Frame frame, AppLayerParameters parameters,
                                bool is_sequence)
{
    if (is_sequence) return true;
    uint8_t b[3];
    put_u24(b, self->object_address);
    return frame_append_bytes(frame, b, app_layer_ioa_size(parameters));
}

static bool io_encode(InformationObject self, Frame frame, AppLayerParameters parameters, bool is_sequence)
{
    const InformationObjectKind* kind = info_object_get_kind(self->type);
    if (kind == nullptr) return false;
    const int extra = is_segment(self->type) ? self->body[3] : 0;
    if (extra > 0 && self->segment == nullptr) return false;
    const int needed = kind->body_size + extra + (is_sequence ? 0 : app_layer_ioa_size(parameters));
    if (frame_get_space_left(frame) < needed) return false;
    info_object_encode_address(self, frame, parameters, is_sequence);
    frame_append_bytes(frame, self->body, kind->body_size);
    if (extra > 0) frame_append_bytes(frame, self->segment, extra);
    return true;
}

InformationObject info_object_parse(int type_id, InformationObject storage, AppLayerParameters parameters,
                                    const uint8_t* payload, int payload_size, int offset, bool is_sequence)
{
    const InformationObjectKind* kind = info_object_get_kind(type_id);
    if (kind == nullptr || payload == nullptr || offset < 0 || payload_size < 0 || offset > payload_size)
        return nullptr;
    const int address_size = is_sequence ? 0 : app_layer_ioa_size(parameters);
    const int room = payload_size - offset;
    if (address_size + kind->body_size > room) return nullptr;
    const uint8_t* body = payload + offset + address_size;
    if (is_segment(type_id) && body[3] > room - address_size - kind->body_size) return nullptr;

    InformationObject self =
        storage ? storage : (InformationObject)platform_calloc(1, sizeof(struct sInformationObject));
    if (self == nullptr) return nullptr;
    self->type = type_id;
    self->operations = &io_vft;
    if (!is_sequence) self->object_address = (uint32_t)info_object_parse_address(parameters, payload, offset);
    memcpy(self->body, body, (size_t)kind->body_size);
    // A parsed SIQ/DIQ keeps only its state and quality bits, as an encoder would write them.
    if (kind->fields[0] == IO_F_SIQ)
        self->body[0] &= 0xF1;
    else if (kind->fields[0] == IO_F_DIQ)
        self->body[0] &= 0xF3;
    self->segment = is_segment(type_id) ? body + kind->body_size : nullptr;
    return self;
}

#define IEC_IO_DEFINE_M(id, mnemonic, kind, ...)                                                             \
    InformationObject kind##_parse(InformationObject storage, AppLayerParameters parameters,                 \
                                   const uint8_t* payload, int payload_size, int offset, bool is_sequence)   \
    {                                                                                                        \
        return info_object_parse(id, storage, parameters, payload, payload_size, offset, is_sequence);       \
    }                                                                                                        \
    bool kind##_encode(InformationObject self, Frame frame, AppLayerParameters parameters, bool is_sequence) \
    {                                                                                                        \
        return io_encode(self, frame, parameters, is_sequence);                                              \
    }
#define IEC_IO_DEFINE_C(id, mnemonic, kind, ...)                                                             \
    InformationObject kind##_parse(InformationObject storage, AppLayerParameters parameters,                 \
                                   const uint8_t* payload, int payload_size, int offset)                     \
    {                                                                                                        \
        return info_object_parse(id, storage, parameters, payload, payload_size, offset, false);             \
    }                                                                                                        \
    bool kind##_encode(InformationObject self, Frame frame, AppLayerParameters parameters, bool is_sequence) \
    {                                                                                                        \
        return io_encode(self, frame, parameters, is_sequence);                                              \
    }
IEC_IO_MONITOR_KINDS(IEC_IO_DEFINE_M)
IEC_IO_CONTROL_KINDS(IEC_IO_DEFINE_C)

// Base fields of a create; given storage keeps its body bytes until the create writes them.
static InformationObject io_init(InformationObject storage, int type, int ioa)
{
    InformationObject self =
        storage ? storage : (InformationObject)platform_calloc(1, sizeof(struct sInformationObject));
    if (self == nullptr) return nullptr;
    self->object_address = (uint32_t)ioa;
    self->type = type;
    self->operations = &io_vft;
    self->segment = nullptr;
    return self;
}

// The time tag is the last field of every timed kind.
static uint8_t* io_time(InformationObject self, int length)
{
    return self->body + info_object_get_kind(self->type)->body_size - length;
}
static void io_set_time(InformationObject self, const uint8_t* tag, int length)
{
    memcpy(io_time(self, length), tag, (size_t)length);
}

static uint8_t siq_of(bool value, uint8_t quality)
{
    return (uint8_t)(quality + (value ? 1 : 0));
}
static uint8_t vti_of(int value, bool transient)
{
    value = value > 63 ? 63 : (value < -64 ? -64 : value);
    return (uint8_t)(((unsigned)value & 0x7F) | (transient ? 0x80 : 0));
}
static uint8_t sco_of(bool state, bool select, int qu)
{
    return (uint8_t)(((unsigned)qu & 31) * 4 + (state ? 1 : 0) + (select ? 0x80 : 0));
}
static uint8_t dco_of(int state, bool select, int qu)
{
    return (uint8_t)(((unsigned)state & 3) + ((unsigned)qu & 31) * 4 + (select ? 0x80 : 0));
}
static uint8_t qos_of(bool select, int ql)
{
    return (uint8_t)(((unsigned)ql & 127) + (select ? 0x80 : 0));
}

static int16_t normalized_of(float value)
{
    if (isnan(value)) return 0;
    if (value > 1.0f) return 32767;
    if (value < -1.0f) return -32767;
    return (int16_t)(value * 32767.0f);
}

// Monitoring kinds
#define IO_CREATE(kind) InformationObject kind##_create
#define IO_NEW(type)                                                                                         \
    InformationObject self = io_init(storage, type, ioa);                                                    \
    if (self == nullptr) return nullptr

IO_CREATE(single_point)(InformationObject storage, int ioa, bool value, uint8_t quality)
{
    IO_NEW(1);
    self->body[0] = siq_of(value, quality);
    return self;
}
IO_CREATE(single_point_cp24)(InformationObject storage, int ioa, bool value, uint8_t quality, Cp24Time2a time)
{
    IO_NEW(2);
    self->body[0] = siq_of(value, quality);
    io_set_time(self, time->encoded_value, 3);
    return self;
}
IO_CREATE(single_point_cp56)(InformationObject storage, int ioa, bool value, uint8_t quality, Cp56Time2a time)
{
    IO_NEW(30);
    self->body[0] = siq_of(value, quality);
    io_set_time(self, time->encoded_value, 7);
    return self;
}
bool single_point_get_value(InformationObject self)
{
    return (self->body[0] & 0x01) != 0;
}
uint8_t single_point_get_quality(InformationObject self)
{
    return self->body[0] & 0xF0;
}

static InformationObject double_point_any(InformationObject storage, int type, int ioa, int value,
                                          uint8_t quality, const uint8_t* time, int time_length)
{
    IO_NEW(type);
    self->body[0] = (uint8_t)((unsigned)value + quality);
    if (time) io_set_time(self, time, time_length);
    return self;
}
IO_CREATE(double_point)(InformationObject storage, int ioa, int value, uint8_t quality)
{
    return double_point_any(storage, 3, ioa, value, quality, nullptr, 0);
}
IO_CREATE(double_point_cp24)(InformationObject storage, int ioa, int value, uint8_t quality, Cp24Time2a time)
{
    return double_point_any(storage, 4, ioa, value, quality, time->encoded_value, 3);
}
IO_CREATE(double_point_cp56)(InformationObject storage, int ioa, int value, uint8_t quality, Cp56Time2a time)
{
    return double_point_any(storage, 31, ioa, value, quality, time->encoded_value, 7);
}
int double_point_get_value(InformationObject self)
{
    return self->body[0] & 0x03;
}
uint8_t double_point_get_quality(InformationObject self)
{
    return self->body[0] & 0xF0;
}

static InformationObject step_position_any(InformationObject storage, int type, int ioa, int value,
                                           bool transient, uint8_t quality, const uint8_t* time,
                                           int time_length)
{
    IO_NEW(type);
    self->body[0] = vti_of(value, transient);
    self->body[1] = quality;
    if (time) io_set_time(self, time, time_length);
    return self;
}
IO_CREATE(step_position)(InformationObject storage, int ioa, int value, bool is_transient, uint8_t quality)
{
    return step_position_any(storage, 5, ioa, value, is_transient, quality, nullptr, 0);
}
IO_CREATE(step_position_cp24)
(InformationObject storage, int ioa, int value, bool is_transient, uint8_t quality, Cp24Time2a time)
{
    return step_position_any(storage, 6, ioa, value, is_transient, quality, time->encoded_value, 3);
}
IO_CREATE(step_position_cp56)
(InformationObject storage, int ioa, int value, bool is_transient, uint8_t quality, Cp56Time2a time)
{
    return step_position_any(storage, 32, ioa, value, is_transient, quality, time->encoded_value, 7);
}
int step_position_get_value(InformationObject self)
{
    int v = self->body[0] & 0x7F;
    return v >= 64 ? v - 128 : v;
}
bool step_position_is_transient(InformationObject self)
{
    return (self->body[0] & 0x80) != 0;
}
uint8_t step_position_get_quality(InformationObject self)
{
    return self->body[1];
}

static InformationObject bitstring32_any(InformationObject storage, int type, int ioa, uint32_t value,
                                         const uint8_t* time, int time_length)
{
    IO_NEW(type);
    put_u32(self->body, value);
    if (time) io_set_time(self, time, time_length);
    return self;
}
IO_CREATE(bitstring32)(InformationObject storage, int ioa, uint32_t value)
{
    return bitstring32_any(storage, 7, ioa, value, nullptr, 0);
}
IO_CREATE(bitstring32_cp24)(InformationObject storage, int ioa, uint32_t value, Cp24Time2a time)
{
    return bitstring32_any(storage, 8, ioa, value, time->encoded_value, 3);
}
IO_CREATE(bitstring32_cp56)(InformationObject storage, int ioa, uint32_t value, Cp56Time2a time)
{
    return bitstring32_any(storage, 33, ioa, value, time->encoded_value, 7);
}
uint32_t bitstring32_get_value(InformationObject self)
{
    return get_u32(self->body);
}
uint8_t bitstring32_get_quality(InformationObject self)
{
    return self->body[4];
}

// Normalised, scaled and float values share one layout: value, quality byte, time tag.
static InformationObject value_quality_any(InformationObject storage, int type, int ioa, const uint8_t* value,
                                           int value_length, uint8_t quality, const uint8_t* time,
                                           int time_length)
{
    IO_NEW(type);
    memcpy(self->body, value, (size_t)value_length);
    self->body[value_length] = quality;
    if (time) io_set_time(self, time, time_length);
    return self;
}
static InformationObject normalized_any(InformationObject storage, int type, int ioa, float value,
                                        uint8_t quality, const uint8_t* time, int time_length)
{
    uint8_t raw[2];
    put_u16(raw, (uint16_t)normalized_of(value));
    return value_quality_any(storage, type, ioa, raw, 2, quality, time, time_length);
}
static InformationObject scaled_any(InformationObject storage, int type, int ioa, int value, uint8_t quality,
                                    const uint8_t* time, int time_length)
{
    uint8_t raw[2];
    put_u16(raw, (uint16_t)(unsigned)value);
    return value_quality_any(storage, type, ioa, raw, 2, quality, time, time_length);
}
static InformationObject float_any(InformationObject storage, int type, int ioa, float value, uint8_t quality,
                                   const uint8_t* time, int time_length)
{
    uint8_t raw[4];
    put_float(raw, value);
    return value_quality_any(storage, type, ioa, raw, 4, quality, time, time_length);
}

IO_CREATE(measured_normalized)(InformationObject storage, int ioa, float value, uint8_t quality)
{
    return normalized_any(storage, 9, ioa, value, quality, nullptr, 0);
}
IO_CREATE(measured_normalized_cp24)
(InformationObject storage, int ioa, float value, uint8_t quality, Cp24Time2a time)
{
    return normalized_any(storage, 10, ioa, value, quality, time->encoded_value, 3);
}
IO_CREATE(measured_normalized_cp56)
(InformationObject storage, int ioa, float value, uint8_t quality, Cp56Time2a time)
{
    return normalized_any(storage, 34, ioa, value, quality, time->encoded_value, 7);
}
float measured_normalized_get_value(InformationObject self)
{
    return (float)(get_i16(self->body) / 32767.0);
}
void measured_normalized_set_value(InformationObject self, float value)
{
    put_u16(self->body, (uint16_t)normalized_of(value));
}
uint8_t measured_normalized_get_quality(InformationObject self)
{
    return self->body[2];
}

IO_CREATE(measured_scaled)(InformationObject storage, int ioa, int value, uint8_t quality)
{
    return scaled_any(storage, 11, ioa, value, quality, nullptr, 0);
}
IO_CREATE(measured_scaled_cp24)
(InformationObject storage, int ioa, int value, uint8_t quality, Cp24Time2a time)
{
    return scaled_any(storage, 12, ioa, value, quality, time->encoded_value, 3);
}
IO_CREATE(measured_scaled_cp56)
(InformationObject storage, int ioa, int value, uint8_t quality, Cp56Time2a time)
{
    return scaled_any(storage, 35, ioa, value, quality, time->encoded_value, 7);
}
int measured_scaled_get_value(InformationObject self)
{
    return get_i16(self->body);
}
void measured_scaled_set_value(InformationObject self, int value)
{
    put_u16(self->body, (uint16_t)(unsigned)value);
}
uint8_t measured_scaled_get_quality(InformationObject self)
{
    return self->body[2];
}
void measured_scaled_set_quality(InformationObject self, uint8_t quality)
{
    self->body[2] = quality;
}

IO_CREATE(measured_float)(InformationObject storage, int ioa, float value, uint8_t quality)
{
    return float_any(storage, 13, ioa, value, quality, nullptr, 0);
}
IO_CREATE(measured_float_cp24)
(InformationObject storage, int ioa, float value, uint8_t quality, Cp24Time2a time)
{
    return float_any(storage, 14, ioa, value, quality, time->encoded_value, 3);
}
IO_CREATE(measured_float_cp56)
(InformationObject storage, int ioa, float value, uint8_t quality, Cp56Time2a time)
{
    return float_any(storage, 36, ioa, value, quality, time->encoded_value, 7);
}
float measured_float_get_value(InformationObject self)
{
    return get_float(self->body);
}
void measured_float_set_value(InformationObject self, float value)
{
    put_float(self->body, value);
}
uint8_t measured_float_get_quality(InformationObject self)
{
    return self->body[4];
}

static InformationObject totals_any(InformationObject storage, int type, int ioa, BinaryCounterReading value,
                                    const uint8_t* time, int time_length)
{
    IO_NEW(type);
    memcpy(self->body, value->encoded_value, 5);
    if (time) io_set_time(self, time, time_length);
    return self;
}
IO_CREATE(integrated_totals)(InformationObject storage, int ioa, BinaryCounterReading value)
{
    return totals_any(storage, 15, ioa, value, nullptr, 0);
}
IO_CREATE(integrated_totals_cp24)
(InformationObject storage, int ioa, BinaryCounterReading value, Cp24Time2a time)
{
    return totals_any(storage, 16, ioa, value, time->encoded_value, 3);
}
IO_CREATE(integrated_totals_cp56)
(InformationObject storage, int ioa, BinaryCounterReading value, Cp56Time2a time)
{
    return totals_any(storage, 37, ioa, value, time->encoded_value, 7);
}
BinaryCounterReading integrated_totals_get_bcr(InformationObject self)
{
    return (BinaryCounterReading)self->body;
}
void integrated_totals_set_bcr(InformationObject self, BinaryCounterReading value)
{
    memcpy(self->body, value->encoded_value, 5);
}

// Protection kinds: one or two single bytes, a CP16 duration, the time tag.
static InformationObject protection_any(InformationObject storage, int type, int ioa, const uint8_t* head,
                                        int head_length, Cp16Time2a duration, const uint8_t* time,
                                        int time_length)
{
    IO_NEW(type);
    memcpy(self->body, head, (size_t)head_length);
    memcpy(self->body + head_length, duration->encoded_value, 2);
    io_set_time(self, time, time_length);
    return self;
}
IO_CREATE(protection_event_cp24)
(InformationObject storage, int ioa, uint8_t event, Cp16Time2a elapsed, Cp24Time2a time)
{
    return protection_any(storage, 17, ioa, &event, 1, elapsed, time->encoded_value, 3);
}
IO_CREATE(protection_event_cp56)
(InformationObject storage, int ioa, uint8_t event, Cp16Time2a elapsed, Cp56Time2a time)
{
    return protection_any(storage, 38, ioa, &event, 1, elapsed, time->encoded_value, 7);
}
uint8_t protection_event_get_event(InformationObject self)
{
    return self->body[0];
}
Cp16Time2a protection_event_get_elapsed_time(InformationObject self)
{
    return (Cp16Time2a)(self->body + 1);
}

IO_CREATE(protection_start_events_cp24)
(InformationObject storage, int ioa, uint8_t start_events, uint8_t quality, Cp16Time2a duration,
 Cp24Time2a time)
{
    const uint8_t head[2] = {start_events, quality};
    return protection_any(storage, 18, ioa, head, 2, duration, time->encoded_value, 3);
}
IO_CREATE(protection_start_events_cp56)
(InformationObject storage, int ioa, uint8_t start_events, uint8_t quality, Cp16Time2a duration,
 Cp56Time2a time)
{
    const uint8_t head[2] = {start_events, quality};
    return protection_any(storage, 39, ioa, head, 2, duration, time->encoded_value, 7);
}
uint8_t protection_start_events_get_start_events(InformationObject self)
{
    return self->body[0];
}
uint8_t protection_start_events_get_quality(InformationObject self)
{
    return self->body[1];
}
Cp16Time2a protection_start_events_get_duration(InformationObject self)
{
    return (Cp16Time2a)(self->body + 2);
}

IO_CREATE(protection_output_circuits_cp24)
(InformationObject storage, int ioa, uint8_t output_circuits, uint8_t quality, Cp16Time2a operating_time,
 Cp24Time2a time)
{
    const uint8_t head[2] = {output_circuits, quality};
    return protection_any(storage, 19, ioa, head, 2, operating_time, time->encoded_value, 3);
}
IO_CREATE(protection_output_circuits_cp56)
(InformationObject storage, int ioa, uint8_t output_circuits, uint8_t quality, Cp16Time2a operating_time,
 Cp56Time2a time)
{
    const uint8_t head[2] = {output_circuits, quality};
    return protection_any(storage, 40, ioa, head, 2, operating_time, time->encoded_value, 7);
}
uint8_t protection_output_circuits_get_output_circuits(InformationObject self)
{
    return self->body[0];
}
uint8_t protection_output_circuits_get_quality(InformationObject self)
{
    return self->body[1];
}
Cp16Time2a protection_output_circuits_get_operating_time(InformationObject self)
{
    return (Cp16Time2a)(self->body + 2);
}

IO_CREATE(packed_single_point)
(InformationObject storage, int ioa, StatusAndStatusChangeDetection scd, uint8_t quality)
{
    return value_quality_any(storage, 20, ioa, scd->encoded_value, 4, quality, nullptr, 0);
}
StatusAndStatusChangeDetection packed_single_point_get_scd(InformationObject self)
{
    return (StatusAndStatusChangeDetection)self->body;
}
uint8_t packed_single_point_get_quality(InformationObject self)
{
    return self->body[4];
}

IO_CREATE(measured_normalized_no_quality)(InformationObject storage, int ioa, float value)
{
    IO_NEW(21);
    measured_normalized_no_quality_set_value(self, value);
    return self;
}
float measured_normalized_no_quality_get_value(InformationObject self)
{
    return (float)((get_i16(self->body) + 0.5) / 32767.5);
}
void measured_normalized_no_quality_set_value(InformationObject self, float value)
{
    int16_t raw;
    if (isnan(value))
        raw = 0;
    else if (value > 1.0f)
        raw = 32767;
    else if (value < -1.0f)
        raw = -32768;
    else
        raw = (int16_t)(double)((double)(value * 32767.5f) - 0.5);
    put_u16(self->body, (uint16_t)raw);
}

#define IO_TIME_ACCESSORS(kind, Type, length)                                                                \
    Type kind##_get_timestamp(InformationObject self)                                                        \
    {                                                                                                        \
        return (Type)io_time(self, length);                                                                  \
    }
#define IO_TIME_SETTER(kind, Type, length)                                                                   \
    void kind##_set_timestamp(InformationObject self, Type time)                                             \
    {                                                                                                        \
        io_set_time(self, time->encoded_value, length);                                                      \
    }
IO_TIME_ACCESSORS(single_point_cp24, Cp24Time2a, 3)
IO_TIME_ACCESSORS(double_point_cp24, Cp24Time2a, 3)
IO_TIME_ACCESSORS(step_position_cp24, Cp24Time2a, 3)
IO_TIME_ACCESSORS(bitstring32_cp24, Cp24Time2a, 3)
IO_TIME_ACCESSORS(measured_normalized_cp24, Cp24Time2a, 3)
IO_TIME_SETTER(measured_normalized_cp24, Cp24Time2a, 3)
IO_TIME_ACCESSORS(measured_scaled_cp24, Cp24Time2a, 3)
IO_TIME_SETTER(measured_scaled_cp24, Cp24Time2a, 3)
IO_TIME_ACCESSORS(measured_float_cp24, Cp24Time2a, 3)
IO_TIME_SETTER(measured_float_cp24, Cp24Time2a, 3)
IO_TIME_ACCESSORS(integrated_totals_cp24, Cp24Time2a, 3)
IO_TIME_SETTER(integrated_totals_cp24, Cp24Time2a, 3)
IO_TIME_ACCESSORS(protection_event_cp24, Cp24Time2a, 3)
IO_TIME_ACCESSORS(protection_start_events_cp24, Cp24Time2a, 3)
IO_TIME_ACCESSORS(protection_output_circuits_cp24, Cp24Time2a, 3)
IO_TIME_ACCESSORS(single_point_cp56, Cp56Time2a, 7)
IO_TIME_ACCESSORS(double_point_cp56, Cp56Time2a, 7)
IO_TIME_ACCESSORS(step_position_cp56, Cp56Time2a, 7)
IO_TIME_ACCESSORS(bitstring32_cp56, Cp56Time2a, 7)
IO_TIME_ACCESSORS(measured_normalized_cp56, Cp56Time2a, 7)
IO_TIME_SETTER(measured_normalized_cp56, Cp56Time2a, 7)
IO_TIME_ACCESSORS(measured_scaled_cp56, Cp56Time2a, 7)
IO_TIME_SETTER(measured_scaled_cp56, Cp56Time2a, 7)
IO_TIME_ACCESSORS(measured_float_cp56, Cp56Time2a, 7)
IO_TIME_SETTER(measured_float_cp56, Cp56Time2a, 7)
IO_TIME_ACCESSORS(integrated_totals_cp56, Cp56Time2a, 7)
IO_TIME_SETTER(integrated_totals_cp56, Cp56Time2a, 7)
IO_TIME_ACCESSORS(protection_event_cp56, Cp56Time2a, 7)
IO_TIME_ACCESSORS(protection_start_events_cp56, Cp56Time2a, 7)
IO_TIME_ACCESSORS(protection_output_circuits_cp56, Cp56Time2a, 7)
IO_TIME_ACCESSORS(single_command_cp56, Cp56Time2a, 7)
IO_TIME_ACCESSORS(double_command_cp56, Cp56Time2a, 7)
IO_TIME_ACCESSORS(step_command_cp56, Cp56Time2a, 7)
IO_TIME_ACCESSORS(setpoint_normalized_cp56, Cp56Time2a, 7)
IO_TIME_ACCESSORS(setpoint_scaled_cp56, Cp56Time2a, 7)
IO_TIME_ACCESSORS(setpoint_float_cp56, Cp56Time2a, 7)
IO_TIME_ACCESSORS(bitstring32_command_cp56, Cp56Time2a, 7)

// Command kinds: the command byte (or value and QOS), then the optional CP56 tag.
static InformationObject command_any(InformationObject storage, int type, int ioa, const uint8_t* head,
                                     int head_length, Cp56Time2a time)
{
    IO_NEW(type);
    memcpy(self->body, head, (size_t)head_length);
    if (time) io_set_time(self, time->encoded_value, 7);
    return self;
}
IO_CREATE(single_command)(InformationObject storage, int ioa, bool command, bool select, int qu)
{
    const uint8_t sco = sco_of(command, select, qu);
    return command_any(storage, 45, ioa, &sco, 1, nullptr);
}
IO_CREATE(single_command_cp56)
(InformationObject storage, int ioa, bool command, bool select, int qu, Cp56Time2a time)
{
    const uint8_t sco = sco_of(command, select, qu);
    return command_any(storage, 58, ioa, &sco, 1, time);
}
bool single_command_get_state(InformationObject self)
{
    return (self->body[0] & 0x01) != 0;
}
int single_command_get_qu(InformationObject self)
{
    return (self->body[0] >> 2) & 0x1F;
}
bool single_command_is_select(InformationObject self)
{
    return (self->body[0] & 0x80) != 0;
}

IO_CREATE(double_command)(InformationObject storage, int ioa, int command, bool select, int qu)
{
    const uint8_t dco = dco_of(command, select, qu);
    return command_any(storage, 46, ioa, &dco, 1, nullptr);
}
IO_CREATE(double_command_cp56)
(InformationObject storage, int ioa, int command, bool select, int qu, Cp56Time2a time)
{
    const uint8_t dco = dco_of(command, select, qu);
    return command_any(storage, 59, ioa, &dco, 1, time);
}
IO_CREATE(step_command)(InformationObject storage, int ioa, int command, bool select, int qu)
{
    const uint8_t rco = dco_of(command, select, qu);
    return command_any(storage, 47, ioa, &rco, 1, nullptr);
}
IO_CREATE(step_command_cp56)
(InformationObject storage, int ioa, int command, bool select, int qu, Cp56Time2a time)
{
    const uint8_t rco = dco_of(command, select, qu);
    return command_any(storage, 60, ioa, &rco, 1, time);
}
int double_command_get_state(InformationObject self)
{
    return self->body[0] & 0x03;
}
int double_command_get_qu(InformationObject self)
{
    return (self->body[0] >> 2) & 0x1F;
}
bool double_command_is_select(InformationObject self)
{
    return (self->body[0] & 0x80) != 0;
}

static InformationObject setpoint16_any(InformationObject storage, int type, int ioa, uint16_t raw,
                                        bool select, int ql, Cp56Time2a time)
{
    uint8_t head[3];
    put_u16(head, raw);
    head[2] = qos_of(select, ql);
    return command_any(storage, type, ioa, head, 3, time);
}
IO_CREATE(setpoint_normalized)(InformationObject storage, int ioa, float value, bool select, int ql)
{
    return setpoint16_any(storage, 48, ioa, low16_of_truncated((double)value * 32767.5 - 0.5), select, ql,
                          nullptr);
}
IO_CREATE(setpoint_normalized_cp56)
(InformationObject storage, int ioa, float value, bool select, int ql, Cp56Time2a time)
{
    return setpoint16_any(storage, 61, ioa, low16_of_truncated((double)(value * 32767.0f)), select, ql, time);
}
float setpoint_normalized_get_value(InformationObject self)
{
    return (float)((get_i16(self->body) + 0.5) / 32767.5);
}

IO_CREATE(setpoint_scaled)(InformationObject storage, int ioa, int value, bool select, int ql)
{
    return setpoint16_any(storage, 49, ioa, (uint16_t)(unsigned)value, select, ql, nullptr);
}
IO_CREATE(setpoint_scaled_cp56)
(InformationObject storage, int ioa, int value, bool select, int ql, Cp56Time2a time)
{
    return setpoint16_any(storage, 62, ioa, (uint16_t)(unsigned)value, select, ql, time);
}
int setpoint_scaled_get_value(InformationObject self)
{
    return get_i16(self->body);
}

static InformationObject setpoint_float_any(InformationObject storage, int type, int ioa, float value,
                                            bool select, int ql, Cp56Time2a time)
{
    uint8_t head[5];
    put_float(head, value);
    head[4] = qos_of(select, ql);
    return command_any(storage, type, ioa, head, 5, time);
}
IO_CREATE(setpoint_float)(InformationObject storage, int ioa, float value, bool select, int ql)
{
    return setpoint_float_any(storage, 50, ioa, value, select, ql, nullptr);
}
IO_CREATE(setpoint_float_cp56)
(InformationObject storage, int ioa, float value, bool select, int ql, Cp56Time2a time)
{
    return setpoint_float_any(storage, 63, ioa, value, select, ql, time);
}
float setpoint_float_get_value(InformationObject self)
{
    return get_float(self->body);
}

// The QOS follows the value: byte 2 after a 16-bit value, byte 4 after a float.
static uint8_t setpoint_qos(InformationObject self)
{
    return self->body[self->type == 50 || self->type == 63 ? 4 : 2];
}
int setpoint_get_ql(InformationObject self)
{
    return setpoint_qos(self) & 0x7F;
}
bool setpoint_is_select(InformationObject self)
{
    return (setpoint_qos(self) & 0x80) != 0;
}

IO_CREATE(bitstring32_command)(InformationObject storage, int ioa, uint32_t value)
{
    uint8_t head[4];
    put_u32(head, value);
    return command_any(storage, 51, ioa, head, 4, nullptr);
}
IO_CREATE(bitstring32_command_cp56)(InformationObject storage, int ioa, uint32_t value, Cp56Time2a time)
{
    uint8_t head[4];
    put_u32(head, value);
    return command_any(storage, 64, ioa, head, 4, time);
}
uint32_t bitstring32_command_get_value(InformationObject self)
{
    return get_u32(self->body);
}

// System and parameter kinds with one qualifier byte.
static InformationObject qualifier_any(InformationObject storage, int type, int ioa, uint8_t qualifier)
{
    IO_NEW(type);
    self->body[0] = qualifier;
    return self;
}
IO_CREATE(end_of_initialization)(InformationObject storage, uint8_t coi)
{
    return qualifier_any(storage, 70, 0, coi);
}
uint8_t end_of_initialization_get_coi(InformationObject self)
{
    return self->body[0];
}
IO_CREATE(interrogation_command)(InformationObject storage, int ioa, uint8_t qoi)
{
    return qualifier_any(storage, 100, ioa, qoi);
}
uint8_t interrogation_command_get_qoi(InformationObject self)
{
    return self->body[0];
}
IO_CREATE(counter_interrogation_command)(InformationObject storage, int ioa, uint8_t qcc)
{
    return qualifier_any(storage, 101, ioa, qcc);
}
uint8_t counter_interrogation_command_get_qcc(InformationObject self)
{
    return self->body[0];
}
IO_CREATE(read_command)(InformationObject storage, int ioa)
{
    IO_NEW(102);
    return self;
}
IO_CREATE(clock_sync_command)(InformationObject storage, int ioa, Cp56Time2a time)
{
    IO_NEW(103);
    io_set_time(self, time->encoded_value, 7);
    return self;
}
Cp56Time2a clock_sync_command_get_time(InformationObject self)
{
    return (Cp56Time2a)self->body;
}
IO_CREATE(test_command)(InformationObject storage)
{
    const int ioa = 0;
    IO_NEW(104);
    put_u16(self->body, 0x55CC);
    return self;
}
bool test_command_is_valid(InformationObject self)
{
    return get_u16(self->body) == 0x55CC;
}
IO_CREATE(reset_process_command)(InformationObject storage, int ioa, uint8_t qrp)
{
    return qualifier_any(storage, 105, ioa, qrp);
}
uint8_t reset_process_command_get_qrp(InformationObject self)
{
    return self->body[0];
}
IO_CREATE(delay_acquisition_command)(InformationObject storage, int ioa, Cp16Time2a delay)
{
    IO_NEW(106);
    memcpy(self->body, delay->encoded_value, 2);
    return self;
}
Cp16Time2a delay_acquisition_command_get_delay(InformationObject self)
{
    return (Cp16Time2a)self->body;
}

IO_CREATE(parameter_normalized)(InformationObject storage, int ioa, float value, uint8_t qpm)
{
    return normalized_any(storage, 110, ioa, value, qpm, nullptr, 0);
}
IO_CREATE(parameter_scaled)(InformationObject storage, int ioa, int value, uint8_t qpm)
{
    return scaled_any(storage, 111, ioa, value, qpm, nullptr, 0);
}
IO_CREATE(parameter_float)(InformationObject storage, int ioa, float value, uint8_t qpm)
{
    return float_any(storage, 112, ioa, value, qpm, nullptr, 0);
}
IO_CREATE(parameter_activation)(InformationObject storage, int ioa, uint8_t qpa)
{
    return qualifier_any(storage, 113, ioa, qpa);
}
uint8_t parameter_activation_get_qpa(InformationObject self)
{
    return self->body[0];
}

// File kinds: NOF first; then NOS where the kind has one.
IO_CREATE(file_ready)(InformationObject storage, int ioa, uint16_t nof, uint32_t lof, bool is_negative)
{
    IO_NEW(120);
    put_u16(self->body, nof);
    put_u24(self->body + 2, lof);
    self->body[5] = is_negative ? 0x80 : 0;
    return self;
}
uint16_t file_ready_get_nof(InformationObject self)
{
    return (uint16_t)get_u16(self->body);
}
uint32_t file_ready_get_lof(InformationObject self)
{
    return get_u24(self->body + 2);
}
uint8_t file_ready_get_frq(InformationObject self)
{
    return self->body[5];
}
void file_ready_set_frq(InformationObject self, uint8_t frq)
{
    self->body[5] = frq;
}
bool file_ready_is_positive(InformationObject self)
{
    return (self->body[5] & 0x80) == 0;
}

IO_CREATE(section_ready)
(InformationObject storage, int ioa, uint16_t nof, uint8_t nos, uint32_t lof, bool is_not_ready)
{
    IO_NEW(121);
    put_u16(self->body, nof);
    self->body[2] = nos;
    put_u24(self->body + 3, lof);
    self->body[6] = is_not_ready ? 0x80 : 0;
    return self;
}
uint16_t section_ready_get_nof(InformationObject self)
{
    return (uint16_t)get_u16(self->body);
}
uint8_t section_ready_get_nos(InformationObject self)
{
    return self->body[2];
}
uint32_t section_ready_get_lof(InformationObject self)
{
    return get_u24(self->body + 3);
}
uint8_t section_ready_get_srq(InformationObject self)
{
    return self->body[6];
}
void section_ready_set_srq(InformationObject self, uint8_t srq)
{
    self->body[6] = srq;
}
bool section_ready_is_not_ready(InformationObject self)
{
    return (self->body[6] & 0x80) != 0;
}

static InformationObject file_section_any(InformationObject storage, int type, int ioa, uint16_t nof,
                                          uint8_t nos, uint8_t qualifier, int chs)
{
    IO_NEW(type);
    put_u16(self->body, nof);
    self->body[2] = nos;
    self->body[3] = qualifier;
    if (chs >= 0) self->body[4] = (uint8_t)chs;
    return self;
}
IO_CREATE(file_call_select)(InformationObject storage, int ioa, uint16_t nof, uint8_t nos, uint8_t scq)
{
    return file_section_any(storage, 122, ioa, nof, nos, scq, -1);
}
IO_CREATE(file_last_section)
(InformationObject storage, int ioa, uint16_t nof, uint8_t nos, uint8_t lsq, uint8_t chs)
{
    return file_section_any(storage, 123, ioa, nof, nos, lsq, chs);
}
IO_CREATE(file_ack)(InformationObject storage, int ioa, uint16_t nof, uint8_t nos, uint8_t afq)
{
    return file_section_any(storage, 124, ioa, nof, nos, afq, -1);
}
IO_CREATE(file_segment)
(InformationObject storage, int ioa, uint16_t nof, uint8_t nos, const uint8_t* data, uint8_t los)
{
    InformationObject self = file_section_any(storage, 125, ioa, nof, nos, los, -1);
    if (self) self->segment = data;
    return self;
}

#define IO_FILE_SECTION_ACCESSORS(kind)                                                                      \
    uint16_t kind##_get_nof(InformationObject self)                                                          \
    {                                                                                                        \
        return (uint16_t)get_u16(self->body);                                                                \
    }                                                                                                        \
    uint8_t kind##_get_nos(InformationObject self)                                                           \
    {                                                                                                        \
        return self->body[2];                                                                                \
    }
IO_FILE_SECTION_ACCESSORS(file_call_select)
IO_FILE_SECTION_ACCESSORS(file_last_section)
IO_FILE_SECTION_ACCESSORS(file_ack)
IO_FILE_SECTION_ACCESSORS(file_segment)
uint8_t file_call_select_get_scq(InformationObject self)
{
    return self->body[3];
}
uint8_t file_last_section_get_lsq(InformationObject self)
{
    return self->body[3];
}
uint8_t file_last_section_get_chs(InformationObject self)
{
    return self->body[4];
}
uint8_t file_ack_get_afq(InformationObject self)
{
    return self->body[3];
}
uint8_t file_segment_get_length_of_segment(InformationObject self)
{
    return self->body[3];
}
const uint8_t* file_segment_get_segment_data(InformationObject self)
{
    return self->segment;
}

int file_segment_get_max_data_size(AppLayerParameters parameters)
{
    return app_layer_max_asdu_size(parameters) - parameters->size_of_type_id - parameters->size_of_vsq -
           parameters->size_of_cot - parameters->size_of_ca;
}

IO_CREATE(file_directory)
(InformationObject storage, int ioa, uint16_t nof, uint32_t lof, uint8_t sof, Cp56Time2a creation_time)
{
    IO_NEW(126);
    put_u16(self->body, nof);
    put_u24(self->body + 2, lof);
    self->body[5] = sof;
    io_set_time(self, creation_time->encoded_value, 7);
    return self;
}
uint16_t file_directory_get_nof(InformationObject self)
{
    return (uint16_t)get_u16(self->body);
}
uint32_t file_directory_get_lof(InformationObject self)
{
    return get_u24(self->body + 2);
}
uint8_t file_directory_get_sof(InformationObject self)
{
    return self->body[5];
}
int file_directory_get_status(InformationObject self)
{
    return self->body[5] & 0x1F;
}
bool file_directory_is_last_file(InformationObject self)
{
    return (self->body[5] & 0x20) != 0;
}
bool file_directory_is_directory(InformationObject self)
{
    return (self->body[5] & 0x40) != 0;
}
bool file_directory_is_transfer_active(InformationObject self)
{
    return (self->body[5] & 0x80) != 0;
}
Cp56Time2a file_directory_get_creation_time(InformationObject self)
{
    return (Cp56Time2a)(self->body + 6);
}

// Counter reading and SCD helpers.
BinaryCounterReading binary_counter_reading_create(BinaryCounterReading storage, int32_t value,
                                                   int sequence_number, bool has_carry, bool is_adjusted,
                                                   bool is_invalid)
{
    BinaryCounterReading self =
        storage ? storage : (BinaryCounterReading)platform_calloc(1, sizeof(struct sBinaryCounterReading));
    if (self == nullptr) return nullptr;
    binary_counter_reading_set_value(self, value);
    binary_counter_reading_set_sequence_number(self, sequence_number);
    binary_counter_reading_set_carry(self, has_carry);
    binary_counter_reading_set_adjusted(self, is_adjusted);
    binary_counter_reading_set_invalid(self, is_invalid);
    return self;
}
int32_t binary_counter_reading_get_value(BinaryCounterReading self)
{
    return (int32_t)get_u32(self->encoded_value);
}
void binary_counter_reading_set_value(BinaryCounterReading self, int32_t value)
{
    put_u32(self->encoded_value, (uint32_t)value);
}
int binary_counter_reading_get_sequence_number(BinaryCounterReading self)
{
    return self->encoded_value[4] & 0x1F;
}
void binary_counter_reading_set_sequence_number(BinaryCounterReading self, int value)
{
    self->encoded_value[4] = (uint8_t)((self->encoded_value[4] & 0xE0) | ((unsigned)value & 0x1F));
}
static void bcr_flag(BinaryCounterReading self, uint8_t bit, bool on)
{
    self->encoded_value[4] =
        on ? (uint8_t)(self->encoded_value[4] | bit) : (uint8_t)(self->encoded_value[4] & ~bit);
}
bool binary_counter_reading_has_carry(BinaryCounterReading self)
{
    return (self->encoded_value[4] & 0x20) != 0;
}
void binary_counter_reading_set_carry(BinaryCounterReading self, bool value)
{
    bcr_flag(self, 0x20, value);
}
bool binary_counter_reading_is_adjusted(BinaryCounterReading self)
{
    return (self->encoded_value[4] & 0x40) != 0;
}
void binary_counter_reading_set_adjusted(BinaryCounterReading self, bool value)
{
    bcr_flag(self, 0x40, value);
}
bool binary_counter_reading_is_invalid(BinaryCounterReading self)
{
    return (self->encoded_value[4] & 0x80) != 0;
}
void binary_counter_reading_set_invalid(BinaryCounterReading self, bool value)
{
    bcr_flag(self, 0x80, value);
}

uint16_t scd_get_status(StatusAndStatusChangeDetection self)
{
    return (uint16_t)get_u16(self->encoded_value);
}
void scd_set_status(StatusAndStatusChangeDetection self, uint16_t value)
{
    put_u16(self->encoded_value, value);
}
uint16_t scd_get_change_detection(StatusAndStatusChangeDetection self)
{
    return (uint16_t)get_u16(self->encoded_value + 2);
}
bool scd_status_bit(StatusAndStatusChangeDetection self, int index)
{
    return index >= 0 && index <= 15 && ((scd_get_status(self) >> index) & 1) != 0;
}
bool scd_change_bit(StatusAndStatusChangeDetection self, int index)
{
    return index >= 0 && index <= 15 && ((scd_get_change_detection(self) >> index) & 1) != 0;
}

int command_byte_get_state(uint8_t byte)
{
    return byte & 0x03;
}
uint8_t command_byte_set_state(uint8_t byte, int state)
{
    return (uint8_t)((byte & 0xFC) + ((unsigned)state & 0x03));
}
uint8_t command_byte_get_qualifier(uint8_t byte)
{
    return byte & 0xFC;
}
uint8_t command_byte_set_qualifier(uint8_t byte, uint8_t qualifier)
{
    return (uint8_t)((byte & 0x03) + (qualifier & 0xFC));
}
