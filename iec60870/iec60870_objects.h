#pragma once
// Information objects: one kind per supported type identification, all built from one table of
// (type id, body size, wire fields, SQ rule). Every kind keeps its body as the wire bytes.

#include "iec60870_common.h"
#include "iec60870_frame.h"
#include "iec60870_time.h"

typedef struct sInformationObject* InformationObject;

typedef struct sInformationObjectVFT
{
    bool (*encode)(InformationObject self, Frame frame, AppLayerParameters parameters, bool is_sequence);
    void (*destroy)(InformationObject self);
} InformationObjectVFT;

// Quality descriptor (QDS) bit: the value is not valid.
#define IEC60870_QUALITY_INVALID 0x80

// Largest body on the wire (the file directory); a segment's data stays with its owner.
#define IEC60870_IO_BODY_MAX 13

// One layout for every kind, so any storage of this type fits any element.
struct sInformationObject
{
    uint32_t object_address;
    int type;
    const InformationObjectVFT* operations;
    uint8_t body[IEC60870_IO_BODY_MAX];
    const uint8_t* segment;
};

// How asdu_get_element_into addresses an element of the kind.
enum InformationObjectSq {
    IO_SQ_YES = 1, // sequence honoured
    IO_SQ_NO = 2,  // always with address
    IO_SQ_ONE = 3  // single object at offset 0
};

// Wire fields of a body, in order.
enum InformationObjectField {
    IO_F_END = 0,
    IO_F_SIQ,
    IO_F_DIQ,
    IO_F_VTI,
    IO_F_QDS,
    IO_F_BSI,
    IO_F_NVA,
    IO_F_SVA,
    IO_F_FLOAT,
    IO_F_BCR,
    IO_F_SEP,
    IO_F_SPE,
    IO_F_OCI,
    IO_F_SCD,
    IO_F_CP16,
    IO_F_CP24,
    IO_F_CP56,
    IO_F_CMD,
    IO_F_QOS,
    IO_F_QUALIFIER,
    IO_F_TEST,
    IO_F_NOF,
    IO_F_NOS,
    IO_F_LOF,
    IO_F_LOS,
    IO_F_CHS
};

typedef struct sInformationObjectKind
{
    int type;
    const char* mnemonic;
    int sq;
    int body_size; // bytes after the IOA; for the segment without its data
    uint8_t fields[5];
} InformationObjectKind;

// The kind of a type identification, or null when the stack has none for it.
const InformationObjectKind* info_object_get_kind(int type_id);
// The table itself, `count` entries.
const InformationObjectKind* info_object_kinds(int* count);

// Dispatch and address operations.
bool info_object_encode(InformationObject self, Frame frame, AppLayerParameters parameters, bool is_sequence);
void info_object_destroy(InformationObject self);
int info_object_get_address(InformationObject self);
void info_object_set_address(InformationObject self, int ioa);
int info_object_get_type_id(InformationObject self);
int info_object_parse_address(AppLayerParameters parameters, const uint8_t* payload, int offset);
bool info_object_encode_address(InformationObject self, Frame frame, AppLayerParameters parameters,
                                bool is_sequence);
int info_object_max_size(void);
// Parser of any kind by type id; null for a type without a kind or an element that does not fit.
InformationObject info_object_parse(int type_id, InformationObject storage, AppLayerParameters parameters,
                                    const uint8_t* payload, int payload_size, int offset, bool is_sequence);

// Counter reading of the integrated totals.
typedef struct sBinaryCounterReading* BinaryCounterReading;
struct sBinaryCounterReading
{
    uint8_t encoded_value[5];
};
BinaryCounterReading binary_counter_reading_create(BinaryCounterReading storage, int32_t value,
                                                   int sequence_number, bool has_carry, bool is_adjusted,
                                                   bool is_invalid);
int32_t binary_counter_reading_get_value(BinaryCounterReading self);
void binary_counter_reading_set_value(BinaryCounterReading self, int32_t value);
int binary_counter_reading_get_sequence_number(BinaryCounterReading self);
void binary_counter_reading_set_sequence_number(BinaryCounterReading self, int value);
bool binary_counter_reading_has_carry(BinaryCounterReading self);
void binary_counter_reading_set_carry(BinaryCounterReading self, bool value);
bool binary_counter_reading_is_adjusted(BinaryCounterReading self);
void binary_counter_reading_set_adjusted(BinaryCounterReading self, bool value);
bool binary_counter_reading_is_invalid(BinaryCounterReading self);
void binary_counter_reading_set_invalid(BinaryCounterReading self, bool value);

// Status and change detection of packed single points.
typedef struct sStatusAndStatusChangeDetection* StatusAndStatusChangeDetection;
struct sStatusAndStatusChangeDetection
{
    uint8_t encoded_value[4];
};
uint16_t scd_get_status(StatusAndStatusChangeDetection self);
void scd_set_status(StatusAndStatusChangeDetection self, uint16_t value);
uint16_t scd_get_change_detection(StatusAndStatusChangeDetection self);
bool scd_status_bit(StatusAndStatusChangeDetection self, int index);
bool scd_change_bit(StatusAndStatusChangeDetection self, int index);

int command_byte_get_state(uint8_t byte);
uint8_t command_byte_set_state(uint8_t byte, int state);
uint8_t command_byte_get_qualifier(uint8_t byte);
uint8_t command_byte_set_qualifier(uint8_t byte, uint8_t qualifier);

// Parsers and encoders of every kind.
#define IEC_IO_DECLARE_MONITOR(kind)                                                                         \
    InformationObject kind##_parse(InformationObject storage, AppLayerParameters parameters,                 \
                                   const uint8_t* payload, int payload_size, int offset, bool is_sequence);  \
    bool kind##_encode(InformationObject self, Frame frame, AppLayerParameters parameters, bool is_sequence);
#define IEC_IO_DECLARE_CONTROL(kind)                                                                         \
    InformationObject kind##_parse(InformationObject storage, AppLayerParameters parameters,                 \
                                   const uint8_t* payload, int payload_size, int offset);                    \
    bool kind##_encode(InformationObject self, Frame frame, AppLayerParameters parameters, bool is_sequence);

// id, mnemonic, kind, SQ rule, wire fields
#define IEC_IO_MONITOR_KINDS(X)                                                                              \
    X(1, "M_SP_NA_1", single_point, IO_SQ_YES, IO_F_SIQ)                                                     \
    X(2, "M_SP_TA_1", single_point_cp24, IO_SQ_YES, IO_F_SIQ, IO_F_CP24)                                     \
    X(3, "M_DP_NA_1", double_point, IO_SQ_YES, IO_F_DIQ)                                                     \
    X(4, "M_DP_TA_1", double_point_cp24, IO_SQ_YES, IO_F_DIQ, IO_F_CP24)                                     \
    X(5, "M_ST_NA_1", step_position, IO_SQ_YES, IO_F_VTI, IO_F_QDS)                                          \
    X(6, "M_ST_TA_1", step_position_cp24, IO_SQ_YES, IO_F_VTI, IO_F_QDS, IO_F_CP24)                          \
    X(7, "M_BO_NA_1", bitstring32, IO_SQ_YES, IO_F_BSI, IO_F_QDS)                                            \
    X(8, "M_BO_TA_1", bitstring32_cp24, IO_SQ_YES, IO_F_BSI, IO_F_QDS, IO_F_CP24)                            \
    X(9, "M_ME_NA_1", measured_normalized, IO_SQ_YES, IO_F_NVA, IO_F_QDS)                                    \
    X(10, "M_ME_TA_1", measured_normalized_cp24, IO_SQ_YES, IO_F_NVA, IO_F_QDS, IO_F_CP24)                   \
    X(11, "M_ME_NB_1", measured_scaled, IO_SQ_YES, IO_F_SVA, IO_F_QDS)                                       \
    X(12, "M_ME_TB_1", measured_scaled_cp24, IO_SQ_YES, IO_F_SVA, IO_F_QDS, IO_F_CP24)                       \
    X(13, "M_ME_NC_1", measured_float, IO_SQ_YES, IO_F_FLOAT, IO_F_QDS)                                      \
    X(14, "M_ME_TC_1", measured_float_cp24, IO_SQ_YES, IO_F_FLOAT, IO_F_QDS, IO_F_CP24)                      \
    X(15, "M_IT_NA_1", integrated_totals, IO_SQ_YES, IO_F_BCR)                                               \
    X(16, "M_IT_TA_1", integrated_totals_cp24, IO_SQ_YES, IO_F_BCR, IO_F_CP24)                               \
    X(17, "M_EP_TA_1", protection_event_cp24, IO_SQ_YES, IO_F_SEP, IO_F_CP16, IO_F_CP24)                     \
    X(18, "M_EP_TB_1", protection_start_events_cp24, IO_SQ_YES, IO_F_SPE, IO_F_QDS, IO_F_CP16, IO_F_CP24)    \
    X(19, "M_EP_TC_1", protection_output_circuits_cp24, IO_SQ_YES, IO_F_OCI, IO_F_QDS, IO_F_CP16, IO_F_CP24) \
    X(20, "M_PS_NA_1", packed_single_point, IO_SQ_YES, IO_F_SCD, IO_F_QDS)                                   \
    X(21, "M_ME_ND_1", measured_normalized_no_quality, IO_SQ_YES, IO_F_NVA)                                  \
    X(30, "M_SP_TB_1", single_point_cp56, IO_SQ_YES, IO_F_SIQ, IO_F_CP56)                                    \
    X(31, "M_DP_TB_1", double_point_cp56, IO_SQ_YES, IO_F_DIQ, IO_F_CP56)                                    \
    X(32, "M_ST_TB_1", step_position_cp56, IO_SQ_YES, IO_F_VTI, IO_F_QDS, IO_F_CP56)                         \
    X(33, "M_BO_TB_1", bitstring32_cp56, IO_SQ_YES, IO_F_BSI, IO_F_QDS, IO_F_CP56)                           \
    X(34, "M_ME_TD_1", measured_normalized_cp56, IO_SQ_YES, IO_F_NVA, IO_F_QDS, IO_F_CP56)                   \
    X(35, "M_ME_TE_1", measured_scaled_cp56, IO_SQ_YES, IO_F_SVA, IO_F_QDS, IO_F_CP56)                       \
    X(36, "M_ME_TF_1", measured_float_cp56, IO_SQ_YES, IO_F_FLOAT, IO_F_QDS, IO_F_CP56)                      \
    X(37, "M_IT_TB_1", integrated_totals_cp56, IO_SQ_YES, IO_F_BCR, IO_F_CP56)                               \
    X(38, "M_EP_TD_1", protection_event_cp56, IO_SQ_YES, IO_F_SEP, IO_F_CP16, IO_F_CP56)                     \
    X(39, "M_EP_TE_1", protection_start_events_cp56, IO_SQ_YES, IO_F_SPE, IO_F_QDS, IO_F_CP16, IO_F_CP56)    \
    X(40, "M_EP_TF_1", protection_output_circuits_cp56, IO_SQ_YES, IO_F_OCI, IO_F_QDS, IO_F_CP16, IO_F_CP56) \
    X(126, "F_DR_TA_1", file_directory, IO_SQ_YES, IO_F_NOF, IO_F_LOF, IO_F_QUALIFIER, IO_F_CP56)

#define IEC_IO_CONTROL_KINDS(X)                                                                              \
    X(45, "C_SC_NA_1", single_command, IO_SQ_NO, IO_F_CMD)                                                   \
    X(46, "C_DC_NA_1", double_command, IO_SQ_NO, IO_F_CMD)                                                   \
    X(47, "C_RC_NA_1", step_command, IO_SQ_NO, IO_F_CMD)                                                     \
    X(48, "C_SE_NA_1", setpoint_normalized, IO_SQ_NO, IO_F_NVA, IO_F_QOS)                                    \
    X(49, "C_SE_NB_1", setpoint_scaled, IO_SQ_NO, IO_F_SVA, IO_F_QOS)                                        \
    X(50, "C_SE_NC_1", setpoint_float, IO_SQ_NO, IO_F_FLOAT, IO_F_QOS)                                       \
    X(51, "C_BO_NA_1", bitstring32_command, IO_SQ_NO, IO_F_BSI)                                              \
    X(58, "C_SC_TA_1", single_command_cp56, IO_SQ_NO, IO_F_CMD, IO_F_CP56)                                   \
    X(59, "C_DC_TA_1", double_command_cp56, IO_SQ_NO, IO_F_CMD, IO_F_CP56)                                   \
    X(60, "C_RC_TA_1", step_command_cp56, IO_SQ_NO, IO_F_CMD, IO_F_CP56)                                     \
    X(61, "C_SE_TA_1", setpoint_normalized_cp56, IO_SQ_NO, IO_F_NVA, IO_F_QOS, IO_F_CP56)                    \
    X(62, "C_SE_TB_1", setpoint_scaled_cp56, IO_SQ_NO, IO_F_SVA, IO_F_QOS, IO_F_CP56)                        \
    X(63, "C_SE_TC_1", setpoint_float_cp56, IO_SQ_NO, IO_F_FLOAT, IO_F_QOS, IO_F_CP56)                       \
    X(64, "C_BO_TA_1", bitstring32_command_cp56, IO_SQ_NO, IO_F_BSI, IO_F_CP56)                              \
    X(70, "M_EI_NA_1", end_of_initialization, IO_SQ_ONE, IO_F_QUALIFIER)                                     \
    X(100, "C_IC_NA_1", interrogation_command, IO_SQ_ONE, IO_F_QUALIFIER)                                    \
    X(101, "C_CI_NA_1", counter_interrogation_command, IO_SQ_ONE, IO_F_QUALIFIER)                            \
    X(102, "C_RD_NA_1", read_command, IO_SQ_ONE, IO_F_END)                                                   \
    X(103, "C_CS_NA_1", clock_sync_command, IO_SQ_ONE, IO_F_CP56)                                            \
    X(104, "C_TS_NA_1", test_command, IO_SQ_ONE, IO_F_TEST)                                                  \
    X(105, "C_RP_NA_1", reset_process_command, IO_SQ_ONE, IO_F_QUALIFIER)                                    \
    X(106, "C_CD_NA_1", delay_acquisition_command, IO_SQ_ONE, IO_F_CP16)                                     \
    X(110, "P_ME_NA_1", parameter_normalized, IO_SQ_NO, IO_F_NVA, IO_F_QUALIFIER)                            \
    X(111, "P_ME_NB_1", parameter_scaled, IO_SQ_NO, IO_F_SVA, IO_F_QUALIFIER)                                \
    X(112, "P_ME_NC_1", parameter_float, IO_SQ_NO, IO_F_FLOAT, IO_F_QUALIFIER)                               \
    X(113, "P_AC_NA_1", parameter_activation, IO_SQ_NO, IO_F_QUALIFIER)                                      \
    X(120, "F_FR_NA_1", file_ready, IO_SQ_ONE, IO_F_NOF, IO_F_LOF, IO_F_QUALIFIER)                           \
    X(121, "F_SR_NA_1", section_ready, IO_SQ_ONE, IO_F_NOF, IO_F_NOS, IO_F_LOF, IO_F_QUALIFIER)              \
    X(122, "F_SC_NA_1", file_call_select, IO_SQ_ONE, IO_F_NOF, IO_F_NOS, IO_F_QUALIFIER)                     \
    X(123, "F_LS_NA_1", file_last_section, IO_SQ_ONE, IO_F_NOF, IO_F_NOS, IO_F_QUALIFIER, IO_F_CHS)          \
    X(124, "F_AF_NA_1", file_ack, IO_SQ_ONE, IO_F_NOF, IO_F_NOS, IO_F_QUALIFIER)                             \
    X(125, "F_SG_NA_1", file_segment, IO_SQ_ONE, IO_F_NOF, IO_F_NOS, IO_F_LOS)

#define IEC_IO_DECLARE_M(id, mnemonic, kind, ...) IEC_IO_DECLARE_MONITOR(kind)
#define IEC_IO_DECLARE_C(id, mnemonic, kind, ...) IEC_IO_DECLARE_CONTROL(kind)
IEC_IO_MONITOR_KINDS(IEC_IO_DECLARE_M)
IEC_IO_CONTROL_KINDS(IEC_IO_DECLARE_C)
#undef IEC_IO_DECLARE_M
#undef IEC_IO_DECLARE_C

// Monitoring kinds. Time tags and the counter reading are returned by reference into the object.
InformationObject single_point_create(InformationObject storage, int ioa, bool value, uint8_t quality);
InformationObject single_point_cp24_create(InformationObject storage, int ioa, bool value, uint8_t quality,
                                           Cp24Time2a time);
InformationObject single_point_cp56_create(InformationObject storage, int ioa, bool value, uint8_t quality,
                                           Cp56Time2a time);
bool single_point_get_value(InformationObject self);
uint8_t single_point_get_quality(InformationObject self);

InformationObject double_point_create(InformationObject storage, int ioa, int value, uint8_t quality);
InformationObject double_point_cp24_create(InformationObject storage, int ioa, int value, uint8_t quality,
                                           Cp24Time2a time);
InformationObject double_point_cp56_create(InformationObject storage, int ioa, int value, uint8_t quality,
                                           Cp56Time2a time);
int double_point_get_value(InformationObject self);
uint8_t double_point_get_quality(InformationObject self);

InformationObject step_position_create(InformationObject storage, int ioa, int value, bool is_transient,
                                       uint8_t quality);
InformationObject step_position_cp24_create(InformationObject storage, int ioa, int value, bool is_transient,
                                            uint8_t quality, Cp24Time2a time);
InformationObject step_position_cp56_create(InformationObject storage, int ioa, int value, bool is_transient,
                                            uint8_t quality, Cp56Time2a time);
int step_position_get_value(InformationObject self);
bool step_position_is_transient(InformationObject self);
uint8_t step_position_get_quality(InformationObject self);

InformationObject bitstring32_create(InformationObject storage, int ioa, uint32_t value);
InformationObject bitstring32_cp24_create(InformationObject storage, int ioa, uint32_t value,
                                          Cp24Time2a time);
InformationObject bitstring32_cp56_create(InformationObject storage, int ioa, uint32_t value,
                                          Cp56Time2a time);
uint32_t bitstring32_get_value(InformationObject self);
uint8_t bitstring32_get_quality(InformationObject self);

InformationObject measured_normalized_create(InformationObject storage, int ioa, float value,
                                             uint8_t quality);
InformationObject measured_normalized_cp24_create(InformationObject storage, int ioa, float value,
                                                  uint8_t quality, Cp24Time2a time);
InformationObject measured_normalized_cp56_create(InformationObject storage, int ioa, float value,
                                                  uint8_t quality, Cp56Time2a time);
float measured_normalized_get_value(InformationObject self);
void measured_normalized_set_value(InformationObject self, float value);
uint8_t measured_normalized_get_quality(InformationObject self);

InformationObject measured_scaled_create(InformationObject storage, int ioa, int value, uint8_t quality);
InformationObject measured_scaled_cp24_create(InformationObject storage, int ioa, int value, uint8_t quality,
                                              Cp24Time2a time);
InformationObject measured_scaled_cp56_create(InformationObject storage, int ioa, int value, uint8_t quality,
                                              Cp56Time2a time);
int measured_scaled_get_value(InformationObject self);
void measured_scaled_set_value(InformationObject self, int value);
uint8_t measured_scaled_get_quality(InformationObject self);
void measured_scaled_set_quality(InformationObject self, uint8_t quality);

InformationObject measured_float_create(InformationObject storage, int ioa, float value, uint8_t quality);
InformationObject measured_float_cp24_create(InformationObject storage, int ioa, float value, uint8_t quality,
                                             Cp24Time2a time);
InformationObject measured_float_cp56_create(InformationObject storage, int ioa, float value, uint8_t quality,
                                             Cp56Time2a time);
float measured_float_get_value(InformationObject self);
void measured_float_set_value(InformationObject self, float value);
uint8_t measured_float_get_quality(InformationObject self);

InformationObject integrated_totals_create(InformationObject storage, int ioa, BinaryCounterReading value);
InformationObject integrated_totals_cp24_create(InformationObject storage, int ioa,
                                                BinaryCounterReading value, Cp24Time2a time);
InformationObject integrated_totals_cp56_create(InformationObject storage, int ioa,
                                                BinaryCounterReading value, Cp56Time2a time);
BinaryCounterReading integrated_totals_get_bcr(InformationObject self);
void integrated_totals_set_bcr(InformationObject self, BinaryCounterReading value);

InformationObject protection_event_cp24_create(InformationObject storage, int ioa, uint8_t event,
                                               Cp16Time2a elapsed_time, Cp24Time2a time);
InformationObject protection_event_cp56_create(InformationObject storage, int ioa, uint8_t event,
                                               Cp16Time2a elapsed_time, Cp56Time2a time);
uint8_t protection_event_get_event(InformationObject self);
Cp16Time2a protection_event_get_elapsed_time(InformationObject self);

InformationObject protection_start_events_cp24_create(InformationObject storage, int ioa,
                                                      uint8_t start_events, uint8_t quality,
                                                      Cp16Time2a duration, Cp24Time2a time);
InformationObject protection_start_events_cp56_create(InformationObject storage, int ioa,
                                                      uint8_t start_events, uint8_t quality,
                                                      Cp16Time2a duration, Cp56Time2a time);
uint8_t protection_start_events_get_start_events(InformationObject self);
uint8_t protection_start_events_get_quality(InformationObject self);
Cp16Time2a protection_start_events_get_duration(InformationObject self);

InformationObject protection_output_circuits_cp24_create(InformationObject storage, int ioa,
                                                         uint8_t output_circuits, uint8_t quality,
                                                         Cp16Time2a operating_time, Cp24Time2a time);
InformationObject protection_output_circuits_cp56_create(InformationObject storage, int ioa,
                                                         uint8_t output_circuits, uint8_t quality,
                                                         Cp16Time2a operating_time, Cp56Time2a time);
uint8_t protection_output_circuits_get_output_circuits(InformationObject self);
uint8_t protection_output_circuits_get_quality(InformationObject self);
Cp16Time2a protection_output_circuits_get_operating_time(InformationObject self);

InformationObject packed_single_point_create(InformationObject storage, int ioa,
                                             StatusAndStatusChangeDetection scd, uint8_t quality);
StatusAndStatusChangeDetection packed_single_point_get_scd(InformationObject self);
uint8_t packed_single_point_get_quality(InformationObject self);

InformationObject measured_normalized_no_quality_create(InformationObject storage, int ioa, float value);
float measured_normalized_no_quality_get_value(InformationObject self);
void measured_normalized_no_quality_set_value(InformationObject self, float value);

// Time tags of the monitoring kinds (the tag is the last field of every timed kind).
Cp24Time2a single_point_cp24_get_timestamp(InformationObject self);
Cp24Time2a double_point_cp24_get_timestamp(InformationObject self);
Cp24Time2a step_position_cp24_get_timestamp(InformationObject self);
Cp24Time2a bitstring32_cp24_get_timestamp(InformationObject self);
Cp24Time2a measured_normalized_cp24_get_timestamp(InformationObject self);
void measured_normalized_cp24_set_timestamp(InformationObject self, Cp24Time2a time);
Cp24Time2a measured_scaled_cp24_get_timestamp(InformationObject self);
void measured_scaled_cp24_set_timestamp(InformationObject self, Cp24Time2a time);
Cp24Time2a measured_float_cp24_get_timestamp(InformationObject self);
void measured_float_cp24_set_timestamp(InformationObject self, Cp24Time2a time);
Cp24Time2a integrated_totals_cp24_get_timestamp(InformationObject self);
void integrated_totals_cp24_set_timestamp(InformationObject self, Cp24Time2a time);
Cp24Time2a protection_event_cp24_get_timestamp(InformationObject self);
Cp24Time2a protection_start_events_cp24_get_timestamp(InformationObject self);
Cp24Time2a protection_output_circuits_cp24_get_timestamp(InformationObject self);
Cp56Time2a single_point_cp56_get_timestamp(InformationObject self);
Cp56Time2a double_point_cp56_get_timestamp(InformationObject self);
Cp56Time2a step_position_cp56_get_timestamp(InformationObject self);
Cp56Time2a bitstring32_cp56_get_timestamp(InformationObject self);
Cp56Time2a measured_normalized_cp56_get_timestamp(InformationObject self);
void measured_normalized_cp56_set_timestamp(InformationObject self, Cp56Time2a time);
Cp56Time2a measured_scaled_cp56_get_timestamp(InformationObject self);
void measured_scaled_cp56_set_timestamp(InformationObject self, Cp56Time2a time);
Cp56Time2a measured_float_cp56_get_timestamp(InformationObject self);
void measured_float_cp56_set_timestamp(InformationObject self, Cp56Time2a time);
Cp56Time2a integrated_totals_cp56_get_timestamp(InformationObject self);
void integrated_totals_cp56_set_timestamp(InformationObject self, Cp56Time2a time);
Cp56Time2a protection_event_cp56_get_timestamp(InformationObject self);
Cp56Time2a protection_start_events_cp56_get_timestamp(InformationObject self);
Cp56Time2a protection_output_circuits_cp56_get_timestamp(InformationObject self);

// Command kinds.
InformationObject single_command_create(InformationObject storage, int ioa, bool command, bool select,
                                        int qu);
InformationObject single_command_cp56_create(InformationObject storage, int ioa, bool command, bool select,
                                             int qu, Cp56Time2a time);
bool single_command_get_state(InformationObject self);
int single_command_get_qu(InformationObject self);
bool single_command_is_select(InformationObject self);

InformationObject double_command_create(InformationObject storage, int ioa, int command, bool select, int qu);
InformationObject double_command_cp56_create(InformationObject storage, int ioa, int command, bool select,
                                             int qu, Cp56Time2a time);
InformationObject step_command_create(InformationObject storage, int ioa, int command, bool select, int qu);
InformationObject step_command_cp56_create(InformationObject storage, int ioa, int command, bool select,
                                           int qu, Cp56Time2a time);
// Also the accessors of the step command, whose RCO has the DCO's layout.
int double_command_get_state(InformationObject self);
int double_command_get_qu(InformationObject self);
bool double_command_is_select(InformationObject self);

InformationObject setpoint_normalized_create(InformationObject storage, int ioa, float value, bool select,
                                             int ql);
InformationObject setpoint_normalized_cp56_create(InformationObject storage, int ioa, float value,
                                                  bool select, int ql, Cp56Time2a time);
float setpoint_normalized_get_value(InformationObject self);
InformationObject setpoint_scaled_create(InformationObject storage, int ioa, int value, bool select, int ql);
InformationObject setpoint_scaled_cp56_create(InformationObject storage, int ioa, int value, bool select,
                                              int ql, Cp56Time2a time);
int setpoint_scaled_get_value(InformationObject self);
InformationObject setpoint_float_create(InformationObject storage, int ioa, float value, bool select, int ql);
InformationObject setpoint_float_cp56_create(InformationObject storage, int ioa, float value, bool select,
                                             int ql, Cp56Time2a time);
float setpoint_float_get_value(InformationObject self);
// QOS of every set-point kind.
int setpoint_get_ql(InformationObject self);
bool setpoint_is_select(InformationObject self);

InformationObject bitstring32_command_create(InformationObject storage, int ioa, uint32_t value);
InformationObject bitstring32_command_cp56_create(InformationObject storage, int ioa, uint32_t value,
                                                  Cp56Time2a time);
uint32_t bitstring32_command_get_value(InformationObject self);

Cp56Time2a single_command_cp56_get_timestamp(InformationObject self);
Cp56Time2a double_command_cp56_get_timestamp(InformationObject self);
Cp56Time2a step_command_cp56_get_timestamp(InformationObject self);
Cp56Time2a setpoint_normalized_cp56_get_timestamp(InformationObject self);
Cp56Time2a setpoint_scaled_cp56_get_timestamp(InformationObject self);
Cp56Time2a setpoint_float_cp56_get_timestamp(InformationObject self);
Cp56Time2a bitstring32_command_cp56_get_timestamp(InformationObject self);

// System kinds.
InformationObject end_of_initialization_create(InformationObject storage, uint8_t coi);
uint8_t end_of_initialization_get_coi(InformationObject self);
InformationObject interrogation_command_create(InformationObject storage, int ioa, uint8_t qoi);
uint8_t interrogation_command_get_qoi(InformationObject self);
InformationObject counter_interrogation_command_create(InformationObject storage, int ioa, uint8_t qcc);
uint8_t counter_interrogation_command_get_qcc(InformationObject self);
InformationObject read_command_create(InformationObject storage, int ioa);
InformationObject clock_sync_command_create(InformationObject storage, int ioa, Cp56Time2a time);
Cp56Time2a clock_sync_command_get_time(InformationObject self);
InformationObject test_command_create(InformationObject storage);
bool test_command_is_valid(InformationObject self);
InformationObject reset_process_command_create(InformationObject storage, int ioa, uint8_t qrp);
uint8_t reset_process_command_get_qrp(InformationObject self);
InformationObject delay_acquisition_command_create(InformationObject storage, int ioa, Cp16Time2a delay);
Cp16Time2a delay_acquisition_command_get_delay(InformationObject self);

// Parameter kinds: 110-112 read back through the accessors of 9, 11 and 13 (QPM as the quality).
InformationObject parameter_normalized_create(InformationObject storage, int ioa, float value, uint8_t qpm);
InformationObject parameter_scaled_create(InformationObject storage, int ioa, int value, uint8_t qpm);
InformationObject parameter_float_create(InformationObject storage, int ioa, float value, uint8_t qpm);
InformationObject parameter_activation_create(InformationObject storage, int ioa, uint8_t qpa);
uint8_t parameter_activation_get_qpa(InformationObject self);

// File transfer kinds.
InformationObject file_ready_create(InformationObject storage, int ioa, uint16_t nof, uint32_t lof,
                                    bool is_negative);
uint16_t file_ready_get_nof(InformationObject self);
uint32_t file_ready_get_lof(InformationObject self);
uint8_t file_ready_get_frq(InformationObject self);
void file_ready_set_frq(InformationObject self, uint8_t frq);
bool file_ready_is_positive(InformationObject self);

InformationObject section_ready_create(InformationObject storage, int ioa, uint16_t nof, uint8_t nos,
                                       uint32_t lof, bool is_not_ready);
uint16_t section_ready_get_nof(InformationObject self);
uint8_t section_ready_get_nos(InformationObject self);
uint32_t section_ready_get_lof(InformationObject self);
uint8_t section_ready_get_srq(InformationObject self);
void section_ready_set_srq(InformationObject self, uint8_t srq);
bool section_ready_is_not_ready(InformationObject self);

InformationObject file_call_select_create(InformationObject storage, int ioa, uint16_t nof, uint8_t nos,
                                          uint8_t scq);
uint16_t file_call_select_get_nof(InformationObject self);
uint8_t file_call_select_get_nos(InformationObject self);
uint8_t file_call_select_get_scq(InformationObject self);

InformationObject file_last_section_create(InformationObject storage, int ioa, uint16_t nof, uint8_t nos,
                                           uint8_t lsq, uint8_t chs);
uint16_t file_last_section_get_nof(InformationObject self);
uint8_t file_last_section_get_nos(InformationObject self);
uint8_t file_last_section_get_lsq(InformationObject self);
uint8_t file_last_section_get_chs(InformationObject self);

InformationObject file_ack_create(InformationObject storage, int ioa, uint16_t nof, uint8_t nos, uint8_t afq);
uint16_t file_ack_get_nof(InformationObject self);
uint8_t file_ack_get_nos(InformationObject self);
uint8_t file_ack_get_afq(InformationObject self);

// The segment refers to the caller's (or the received) bytes; it does not copy them.
InformationObject file_segment_create(InformationObject storage, int ioa, uint16_t nof, uint8_t nos,
                                      const uint8_t* data, uint8_t los);
uint16_t file_segment_get_nof(InformationObject self);
uint8_t file_segment_get_nos(InformationObject self);
uint8_t file_segment_get_length_of_segment(InformationObject self);
const uint8_t* file_segment_get_segment_data(InformationObject self);
int file_segment_get_max_data_size(AppLayerParameters parameters);

InformationObject file_directory_create(InformationObject storage, int ioa, uint16_t nof, uint32_t lof,
                                        uint8_t sof, Cp56Time2a creation_time);
uint16_t file_directory_get_nof(InformationObject self);
uint32_t file_directory_get_lof(InformationObject self);
uint8_t file_directory_get_sof(InformationObject self);
int file_directory_get_status(InformationObject self);
bool file_directory_is_last_file(InformationObject self);
bool file_directory_is_directory(InformationObject self);
bool file_directory_is_transfer_active(InformationObject self);
Cp56Time2a file_directory_get_creation_time(InformationObject self);
