#pragma once
// One sample object per type identification, and its fields as read through the accessors, keyed
// by the name tshark's IEC 104 dissector gives the field where it has one.

#include "iec60870_asdu.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QVariantMap>

#include <cstring>

namespace iec104test {

// 2024-03-01 12:34:56.789 UTC
inline Cp56Time2a sample_cp56()
{
    static sCp56Time2a t;
    return cp56_create_from_ms_timestamp(&t, 1709296496789ULL);
}
inline Cp24Time2a sample_cp24()
{
    static sCp24Time2a t;
    std::memcpy(t.encoded_value, sample_cp56()->encoded_value, 3);
    return &t;
}
inline Cp16Time2a sample_cp16()
{
    static sCp16Time2a t = {{0xD2, 0x04}}; // 1234 ms
    return &t;
}
inline BinaryCounterReading sample_bcr()
{
    static sBinaryCounterReading b;
    return binary_counter_reading_create(&b, -123456, 9, true, false, true);
}
inline StatusAndStatusChangeDetection sample_scd()
{
    static sStatusAndStatusChangeDetection s = {{0x34, 0x12, 0x0F, 0x00}};
    return &s;
}
inline const uint8_t* sample_segment()
{
    static const uint8_t data[] = {0x01, 0x02, 0x03};
    return data;
}

inline InformationObject make_sample(int type, InformationObject storage, int ioa)
{
    Cp56Time2a t56 = sample_cp56();
    Cp24Time2a t24 = sample_cp24();
    Cp16Time2a t16 = sample_cp16();
    switch (type) {
    case 1:
        return single_point_create(storage, ioa, true, 0x20);
    case 2:
        return single_point_cp24_create(storage, ioa, false, 0x80, t24);
    case 3:
        return double_point_create(storage, ioa, 2, 0x40);
    case 4:
        return double_point_cp24_create(storage, ioa, 1, 0x10, t24);
    case 5:
        return step_position_create(storage, ioa, -5, true, 0x01);
    case 6:
        return step_position_cp24_create(storage, ioa, 17, false, 0x20, t24);
    case 7:
        return bitstring32_create(storage, ioa, 0xA5A50F0Fu);
    case 8:
        return bitstring32_cp24_create(storage, ioa, 0x01020304u, t24);
    case 9:
        return measured_normalized_create(storage, ioa, 0.5f, 0x10);
    case 10:
        return measured_normalized_cp24_create(storage, ioa, -0.25f, 0x00, t24);
    case 11:
        return measured_scaled_create(storage, ioa, -1234, 0x01);
    case 12:
        return measured_scaled_cp24_create(storage, ioa, 32000, 0x80, t24);
    case 13:
        return measured_float_create(storage, ioa, 1.5f, 0x00);
    case 14:
        return measured_float_cp24_create(storage, ioa, -273.15f, 0x40, t24);
    case 15:
        return integrated_totals_create(storage, ioa, sample_bcr());
    case 16:
        return integrated_totals_cp24_create(storage, ioa, sample_bcr(), t24);
    case 17:
        return protection_event_cp24_create(storage, ioa, 0x0A, t16, t24);
    case 18:
        return protection_start_events_cp24_create(storage, ioa, 0x3F, 0x80, t16, t24);
    case 19:
        return protection_output_circuits_cp24_create(storage, ioa, 0x0F, 0x10, t16, t24);
    case 20:
        return packed_single_point_create(storage, ioa, sample_scd(), 0x20);
    case 21:
        return measured_normalized_no_quality_create(storage, ioa, 0.75f);
    case 30:
        return single_point_cp56_create(storage, ioa, true, 0x00, t56);
    case 31:
        return double_point_cp56_create(storage, ioa, 3, 0x80, t56);
    case 32:
        return step_position_cp56_create(storage, ioa, -64, true, 0x10, t56);
    case 33:
        return bitstring32_cp56_create(storage, ioa, 0xDEADBEEFu, t56);
    case 34:
        return measured_normalized_cp56_create(storage, ioa, -1.0f, 0x01, t56);
    case 35:
        return measured_scaled_cp56_create(storage, ioa, -32768, 0x20, t56);
    case 36:
        return measured_float_cp56_create(storage, ioa, 230.5f, 0x00, t56);
    case 37:
        return integrated_totals_cp56_create(storage, ioa, sample_bcr(), t56);
    case 38:
        return protection_event_cp56_create(storage, ioa, 0x09, t16, t56);
    case 39:
        return protection_start_events_cp56_create(storage, ioa, 0x21, 0x00, t16, t56);
    case 40:
        return protection_output_circuits_cp56_create(storage, ioa, 0x03, 0x40, t16, t56);
    case 45:
        return single_command_create(storage, ioa, true, false, 3);
    case 46:
        return double_command_create(storage, ioa, 2, true, 1);
    case 47:
        return step_command_create(storage, ioa, 1, false, 31);
    case 48:
        return setpoint_normalized_create(storage, ioa, 0.5f, true, 5);
    case 49:
        return setpoint_scaled_create(storage, ioa, -300, false, 127);
    case 50:
        return setpoint_float_create(storage, ioa, 42.25f, true, 0);
    case 51:
        return bitstring32_command_create(storage, ioa, 0x80000001u);
    case 58:
        return single_command_cp56_create(storage, ioa, false, true, 0, t56);
    case 59:
        return double_command_cp56_create(storage, ioa, 1, false, 2, t56);
    case 60:
        return step_command_cp56_create(storage, ioa, 2, true, 0, t56);
    case 61:
        return setpoint_normalized_cp56_create(storage, ioa, -0.5f, false, 1, t56);
    case 62:
        return setpoint_scaled_cp56_create(storage, ioa, 12345, true, 2, t56);
    case 63:
        return setpoint_float_cp56_create(storage, ioa, -0.125f, false, 3, t56);
    case 64:
        return bitstring32_command_cp56_create(storage, ioa, 0x00FF00FFu, t56);
    case 70:
        return end_of_initialization_create(storage, 0x81);
    case 100:
        return interrogation_command_create(storage, ioa, 20);
    case 101:
        return counter_interrogation_command_create(storage, ioa, 0x45);
    case 102:
        return read_command_create(storage, ioa);
    case 103:
        return clock_sync_command_create(storage, ioa, t56);
    case 104:
        return test_command_create(storage);
    case 105:
        return reset_process_command_create(storage, ioa, 1);
    case 106:
        return delay_acquisition_command_create(storage, ioa, t16);
    case 110:
        return parameter_normalized_create(storage, ioa, 0.125f, 0x41);
    case 111:
        return parameter_scaled_create(storage, ioa, 777, 0x02);
    case 112:
        return parameter_float_create(storage, ioa, 3.5f, 0x03);
    case 113:
        return parameter_activation_create(storage, ioa, 3);
    case 120:
        return file_ready_create(storage, ioa, 7, 0x123456, true);
    case 121:
        return section_ready_create(storage, ioa, 7, 2, 0x0ABCDE, false);
    case 122:
        return file_call_select_create(storage, ioa, 7, 3, 0x21);
    case 123:
        return file_last_section_create(storage, ioa, 7, 3, 0x01, 0x5A);
    case 124:
        return file_ack_create(storage, ioa, 7, 3, 0x02);
    case 125:
        return file_segment_create(storage, ioa, 7, 3, sample_segment(), 3);
    case 126:
        return file_directory_create(storage, ioa, 9, 0x010203, 0xA5, t56);
    default:
        return nullptr;
    }
}

inline void put_cp56(QVariantMap& m, Cp56Time2a t)
{
    m["iec60870_asdu.cp56time.ms"] = cp56_get_millisecond(t) + 1000 * cp56_get_second(t);
    m["iec60870_asdu.cp56time.min"] = cp56_get_minute(t);
    m["iec60870_asdu.cp56time.hour"] = cp56_get_hour(t);
    m["iec60870_asdu.cp56time.day"] = cp56_get_day_of_month(t);
    m["iec60870_asdu.cp56time.month"] = cp56_get_month(t);
    m["iec60870_asdu.cp56time.year"] = cp56_get_year(t);
}
inline void put_cp24(QVariantMap& m, Cp24Time2a t)
{
    m["iec60870_asdu.cp24time.ms"] = cp24_get_millisecond(t) + 1000 * cp24_get_second(t);
    m["iec60870_asdu.cp24time.min"] = cp24_get_minute(t);
}

// Fields of an object through its accessors; names starting with "iec60870_asdu." are tshark's.
inline QVariantMap fields_of(InformationObject o)
{
    QVariantMap m;
    const int t = info_object_get_type_id(o);
    m["iec60870_asdu.ioa"] = info_object_get_address(o);
    switch (t) {
    case 1:
    case 2:
    case 30:
        m["iec60870_asdu.siq"] = single_point_get_quality(o) | (single_point_get_value(o) ? 1 : 0);
        break;
    case 3:
    case 4:
    case 31:
        m["iec60870_asdu.diq"] = double_point_get_quality(o) | double_point_get_value(o);
        break;
    case 5:
    case 6:
    case 32:
        m["iec60870_asdu.vti.v"] = step_position_get_value(o);
        m["transient"] = step_position_is_transient(o);
        m["iec60870_asdu.qds"] = step_position_get_quality(o);
        break;
    case 7:
    case 8:
    case 33:
        m["iec60870_asdu.bitstring"] = bitstring32_get_value(o);
        m["iec60870_asdu.qds"] = bitstring32_get_quality(o);
        break;
    case 9:
    case 10:
    case 34:
    case 110:
        m["iec60870_asdu.normval"] = measured_normalized_get_value(o);
        m[t == 110 ? "iec60870_asdu.qpm" : "iec60870_asdu.qds"] = measured_normalized_get_quality(o);
        break;
    case 11:
    case 12:
    case 35:
    case 111:
        m["iec60870_asdu.scalval"] = measured_scaled_get_value(o);
        m[t == 111 ? "iec60870_asdu.qpm" : "iec60870_asdu.qds"] = measured_scaled_get_quality(o);
        break;
    case 13:
    case 14:
    case 36:
    case 112:
        m["iec60870_asdu.float"] = measured_float_get_value(o);
        m[t == 112 ? "iec60870_asdu.qpm" : "iec60870_asdu.qds"] = measured_float_get_quality(o);
        break;
    case 15:
    case 16:
    case 37: {
        BinaryCounterReading b = integrated_totals_get_bcr(o);
        m["iec60870_asdu.bcr.count"] = binary_counter_reading_get_value(b);
        m["iec60870_asdu.bcr.sq"] = binary_counter_reading_get_sequence_number(b);
        m["carry"] = binary_counter_reading_has_carry(b);
        m["adjusted"] = binary_counter_reading_is_adjusted(b);
        m["invalid"] = binary_counter_reading_is_invalid(b);
        break;
    }
    case 17:
    case 38:
        m["sep"] = protection_event_get_event(o);
        m["elapsed"] = cp16_get_ms(protection_event_get_elapsed_time(o));
        break;
    case 18:
    case 39:
        m["spe"] = protection_start_events_get_start_events(o);
        m["qdp"] = protection_start_events_get_quality(o);
        m["duration"] = cp16_get_ms(protection_start_events_get_duration(o));
        break;
    case 19:
    case 40:
        m["oci"] = protection_output_circuits_get_output_circuits(o);
        m["qdp"] = protection_output_circuits_get_quality(o);
        m["operating"] = cp16_get_ms(protection_output_circuits_get_operating_time(o));
        break;
    case 20: {
        StatusAndStatusChangeDetection s = packed_single_point_get_scd(o);
        m["status"] = scd_get_status(s);
        m["change"] = scd_get_change_detection(s);
        m["iec60870_asdu.qds"] = packed_single_point_get_quality(o);
        break;
    }
    case 21:
        m["iec60870_asdu.normval"] = measured_normalized_no_quality_get_value(o);
        break;
    case 45:
    case 58:
        m["iec60870_asdu.sco.on"] = single_command_get_state(o);
        m["iec60870_asdu.sco.qu"] = single_command_get_qu(o);
        m["iec60870_asdu.sco.se"] = single_command_is_select(o);
        break;
    case 46:
    case 59:
        m["iec60870_asdu.dco.on"] = double_command_get_state(o);
        m["iec60870_asdu.dco.qu"] = double_command_get_qu(o);
        m["iec60870_asdu.dco.se"] = double_command_is_select(o);
        break;
    case 47:
    case 60:
        m["iec60870_asdu.rco.up"] = double_command_get_state(o);
        m["iec60870_asdu.rco.qu"] = double_command_get_qu(o);
        m["iec60870_asdu.rco.se"] = double_command_is_select(o);
        break;
    case 48:
    case 61:
        m["iec60870_asdu.normval"] = setpoint_normalized_get_value(o);
        break;
    case 49:
    case 62:
        m["iec60870_asdu.scalval"] = setpoint_scaled_get_value(o);
        break;
    case 50:
    case 63:
        m["iec60870_asdu.float"] = setpoint_float_get_value(o);
        break;
    case 51:
    case 64:
        m["iec60870_asdu.bitstring"] = bitstring32_command_get_value(o);
        break;
    case 70:
        m["iec60870_asdu.coi"] = end_of_initialization_get_coi(o);
        break;
    case 100:
        m["iec60870_asdu.qoi"] = interrogation_command_get_qoi(o);
        break;
    case 101:
        m["iec60870_asdu.qcc"] = counter_interrogation_command_get_qcc(o);
        break;
    case 103:
        put_cp56(m, clock_sync_command_get_time(o));
        break;
    case 104:
        m["valid"] = test_command_is_valid(o);
        break;
    case 105:
        m["iec60870_asdu.qrp"] = reset_process_command_get_qrp(o);
        break;
    case 106:
        m["delay"] = cp16_get_ms(delay_acquisition_command_get_delay(o));
        break;
    case 113:
        m["qpa"] = parameter_activation_get_qpa(o);
        break;
    case 120:
        m["nof"] = file_ready_get_nof(o);
        m["lof"] = file_ready_get_lof(o);
        m["frq"] = file_ready_get_frq(o);
        break;
    case 121:
        m["nof"] = section_ready_get_nof(o);
        m["nos"] = section_ready_get_nos(o);
        m["lof"] = section_ready_get_lof(o);
        m["srq"] = section_ready_get_srq(o);
        break;
    case 122:
        m["nof"] = file_call_select_get_nof(o);
        m["nos"] = file_call_select_get_nos(o);
        m["scq"] = file_call_select_get_scq(o);
        break;
    case 123:
        m["nof"] = file_last_section_get_nof(o);
        m["nos"] = file_last_section_get_nos(o);
        m["lsq"] = file_last_section_get_lsq(o);
        m["chs"] = file_last_section_get_chs(o);
        break;
    case 124:
        m["nof"] = file_ack_get_nof(o);
        m["nos"] = file_ack_get_nos(o);
        m["afq"] = file_ack_get_afq(o);
        break;
    case 125:
        m["nof"] = file_segment_get_nof(o);
        m["nos"] = file_segment_get_nos(o);
        m["segment"] = QByteArray(reinterpret_cast<const char*>(file_segment_get_segment_data(o)),
                                  file_segment_get_length_of_segment(o));
        break;
    case 126:
        m["nof"] = file_directory_get_nof(o);
        m["lof"] = file_directory_get_lof(o);
        m["status"] = file_directory_get_status(o);
        m["last"] = file_directory_is_last_file(o);
        m["directory"] = file_directory_is_directory(o);
        m["active"] = file_directory_is_transfer_active(o);
        put_cp56(m, file_directory_get_creation_time(o));
        break;
    }
    // The time tag of every timed monitoring and command kind is the last field of its body.
    const InformationObjectKind* k = info_object_get_kind(t);
    for (int i = 0; i < 5 && k && k->fields[i] != IO_F_END; i++) {
        if (k->fields[i] == IO_F_CP56 && t != 103 && t != 126)
            put_cp56(m, reinterpret_cast<Cp56Time2a>(o->body + k->body_size - 7));
        if (k->fields[i] == IO_F_CP24) put_cp24(m, reinterpret_cast<Cp24Time2a>(o->body + k->body_size - 3));
    }
    return m;
}

// Lines of a vector file under tests/data: "name hex [expected]", '#' starts a comment.
inline QList<QStringList> read_vectors(const QString& path)
{
    QList<QStringList> rows;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) return rows;
    while (!f.atEnd()) {
        const QString line = QString::fromUtf8(f.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith('#')) continue;
        rows << line.split('|');
    }
    return rows;
}

} // namespace iec104test
