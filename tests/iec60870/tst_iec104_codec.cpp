// Information objects, ASDUs and the frame writer: hex in, hex out.

#include "iec104_samples.h"
#include "testsupport.h"

#include <QtTest>
#include <functional>

using namespace iec104test;

namespace {

sAppLayerParameters default_parameters()
{
    return sAppLayerParameters{1, 1, 2, 0, 2, 3, 249};
}

// Encodes one object as an ASDU would hold it (address unless in sequence mode).
QByteArray encoded(InformationObject o, sAppLayerParameters p, bool is_sequence = false)
{
    uint8_t buffer[256];
    sStaticFrame frame;
    Frame f = static_frame_init(&frame, buffer, 0, sizeof buffer);
    if (!info_object_encode(o, f, &p, is_sequence)) return QByteArray("refused");
    return QByteArray(reinterpret_cast<char*>(buffer), frame_get_size(f));
}

QByteArray encoded_and_destroyed(InformationObject o, int ioa_size = 3)
{
    sAppLayerParameters p = default_parameters();
    p.size_of_ioa = ioa_size;
    const QByteArray bytes = encoded(o, p);
    info_object_destroy(o);
    return bytes;
}

// Builders of the named vectors in iec104_vectors.txt.
QMap<QString, std::function<QByteArray()>> vector_builders()
{
    QMap<QString, std::function<QByteArray()>> b;
    b["sp_ioa5_on"] = [] { return encoded_and_destroyed(single_point_create(nullptr, 5, true, 0)); };
    b["float_ioa101_1.5"] = [] {
        return encoded_and_destroyed(measured_float_create(nullptr, 101, 1.5f, 0));
    };
    b["sco_ioa5000_exec_on"] = [] {
        return encoded_and_destroyed(single_command_create(nullptr, 5000, true, false, 0));
    };
    b["sco_select_on_qu0"] = [] {
        return encoded_and_destroyed(single_command_create(nullptr, 5000, true, true, 0));
    };
    b["sco_exec_off_qu1"] = [] {
        return encoded_and_destroyed(single_command_create(nullptr, 5000, false, false, 1));
    };
    b["clock_sync_ioa0"] = [] {
        return encoded_and_destroyed(clock_sync_command_create(nullptr, 0, sample_cp56()));
    };
    b["sp_on_invalid"] = [] { return encoded_and_destroyed(single_point_create(nullptr, 5, true, 0x80)); };
    b["dp_2_not_topical"] = [] { return encoded_and_destroyed(double_point_create(nullptr, 5, 2, 0x40)); };
    b["vti_plus100"] = [] { return encoded_and_destroyed(step_position_create(nullptr, 5, 100, false, 0)); };
    b["vti_minus100"] = [] {
        return encoded_and_destroyed(step_position_create(nullptr, 5, -100, false, 0));
    };
    b["vti_minus1_transient"] = [] {
        return encoded_and_destroyed(step_position_create(nullptr, 5, -1, true, 0));
    };
    b["nva_plus2"] = [] { return encoded_and_destroyed(measured_normalized_create(nullptr, 5, 2.0f, 0)); };
    b["nva_minus2"] = [] { return encoded_and_destroyed(measured_normalized_create(nullptr, 5, -2.0f, 0)); };
    b["nva21_minus2"] = [] {
        return encoded_and_destroyed(measured_normalized_no_quality_create(nullptr, 5, -2.0f));
    };
    b["test_command"] = [] { return encoded_and_destroyed(test_command_create(nullptr)); };
    b["ioa3_0a0b0c"] = [] {
        return encoded_and_destroyed(single_point_create(nullptr, 0x0A0B0C, true, 0), 3);
    };
    b["ioa2_0a0b0c"] = [] {
        return encoded_and_destroyed(single_point_create(nullptr, 0x0A0B0C, true, 0), 2);
    };
    b["float_cp56_ioa101"] = [] {
        return encoded_and_destroyed(measured_float_cp56_create(nullptr, 101, 1.5f, 0, sample_cp56()));
    };
    int count = 0;
    const InformationObjectKind* kinds = info_object_kinds(&count);
    for (int i = 0; i < count; i++) {
        const int type = kinds[i].type;
        b[QString("sample_%1").arg(type)] = [type] {
            return encoded_and_destroyed(make_sample(type, nullptr, 0x030201));
        };
    }
    return b;
}

} // namespace

class tst_iec104_codec : public QObject
{
    Q_OBJECT

private slots:
    void vectors_data();
    void vectors();
    void decoded_quality_bits();
    void roundtrip_data();
    void roundtrip();
    void asdu_limits();
    void asdu_header_data();
    void asdu_header();
    void asdu_header_setters();
    void asdu_from_buffer();
    void frame_and_list();
};

void tst_iec104_codec::vectors_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("expected");
    const auto rows = read_vectors(QFINDTESTDATA("../data/iec104_vectors.txt"));
    QVERIFY(rows.size() > 65);
    for (const QStringList& r : rows)
        QTest::newRow(qPrintable(r[0])) << r[0] << testsupport::hex(r[1].toLatin1().constData());
}

void tst_iec104_codec::vectors()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, expected);
    const auto builders = vector_builders();
    QVERIFY2(builders.contains(name), qPrintable(name));
    QCOMPARE(testsupport::hex_of(builders[name]()), testsupport::hex_of(expected));
}

void tst_iec104_codec::decoded_quality_bits()
{
    sAppLayerParameters p = default_parameters();
    uint8_t sp[] = {0x05, 0x00, 0x00, 0x93};
    sInformationObject o;
    QVERIFY(single_point_parse(&o, &p, sp, sizeof sp, 0, false));
    QCOMPARE(single_point_get_value(&o), true);
    QCOMPARE(single_point_get_quality(&o), uint8_t(0x90));
    QCOMPARE(info_object_get_address(&o), 5);
    // Step position with CP24: the tag follows the quality descriptor.
    uint8_t st[] = {0x01, 0x00, 0x00, 0xFF, 0x10, 0x39, 0x30, 0x05};
    QVERIFY(step_position_cp24_parse(&o, &p, st, sizeof st, 0, false));
    QCOMPARE(step_position_get_value(&o), -1);
    QVERIFY(step_position_is_transient(&o));
    QCOMPARE(cp24_get_second(step_position_cp24_get_timestamp(&o)), 12);
    QCOMPARE(cp24_get_minute(step_position_cp24_get_timestamp(&o)), 5);
    // Last section: the checksum follows the LSQ.
    uint8_t ls[] = {0x01, 0x00, 0x00, 0x07, 0x00, 0x02, 0x03, 0xAB};
    QVERIFY(file_last_section_parse(&o, &p, ls, sizeof ls, 0));
    QCOMPARE(file_last_section_get_chs(&o), uint8_t(0xAB));
}

void tst_iec104_codec::roundtrip_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("ioa_size");
    QTest::addColumn<bool>("sequence");
    int count = 0;
    const InformationObjectKind* kinds = info_object_kinds(&count);
    QCOMPARE(count, 65);
    for (int i = 0; i < count; i++)
        for (int s = 1; s <= 3; s++)
            for (int sq = 0; sq <= (kinds[i].sq == IO_SQ_YES ? 1 : 0); sq++)
                QTest::addRow("%s ioa%d sq%d", kinds[i].mnemonic, s, sq) << kinds[i].type << s << bool(sq);
}

// Create -> encode into an ASDU -> decode -> the same fields; an encoder short of one byte writes nothing.
void tst_iec104_codec::roundtrip()
{
    QFETCH(int, type);
    QFETCH(int, ioa_size);
    QFETCH(bool, sequence);
    sAppLayerParameters p = default_parameters();
    p.size_of_ioa = ioa_size;
    const InformationObjectKind* kind = info_object_get_kind(type);
    const int base = ioa_size == 1 ? 0x31 : (ioa_size == 2 ? 0x1234 : 0x0A0B0C);
    const int n = kind->sq == IO_SQ_ONE ? 1 : 3;
    const int address_base = (type == 70 || type == 104) ? 0 : base;
    const int body = kind->body_size + (type == 125 ? 3 : 0);

    Asdu asdu = asdu_create(&p, sequence, 3, 0, 1, false, false);
    for (int i = 0; i < n; i++) {
        InformationObject o = make_sample(type, nullptr, base + i);
        QVERIFY(asdu_add_object(asdu, o));
        info_object_destroy(o);
    }
    QCOMPARE(asdu_get_type_id(asdu), type);
    QCOMPARE(asdu_get_element_count(asdu), n);
    QCOMPARE(asdu->payload_size, sequence ? ioa_size + n * body : n * (ioa_size + body));
    for (int i = 0; i < n; i++) {
        sInformationObject expected_storage{}; // the bitstring kinds keep a given QDS byte
        InformationObject expected = make_sample(type, &expected_storage, address_base + i);
        InformationObject decoded = asdu_get_element(asdu, i);
        QVERIFY(decoded);
        QCOMPARE(info_object_get_type_id(decoded), type);
        QCOMPARE(fields_of(decoded), fields_of(expected));
        info_object_destroy(decoded);
    }
    asdu_destroy(asdu);

    // Into a frame one byte short: false and nothing written; exactly enough: the whole element.
    sInformationObject storage;
    InformationObject o = make_sample(type, &storage, base);
    const int needed = body + (sequence ? 0 : ioa_size);
    uint8_t buffer[64];
    memset(buffer, 0xEE, sizeof buffer);
    sStaticFrame frame;
    Frame f = static_frame_init(&frame, buffer, 0, needed - 1);
    QVERIFY(!info_object_encode(o, f, &p, sequence));
    QCOMPARE(frame_get_size(f), 0);
    QCOMPARE(buffer[0], uint8_t(0xEE));
    f = static_frame_init(&frame, buffer, 0, needed);
    QVERIFY(info_object_encode(o, f, &p, sequence));
    QCOMPARE(frame_get_size(f), needed);
}

void tst_iec104_codec::asdu_limits()
{
    sAppLayerParameters p = default_parameters();
    // 127 objects at most (small elements so the size limit is not reached first).
    sAppLayerParameters one = p;
    one.size_of_ioa = 1;
    Asdu a = asdu_create(&one, true, 3, 0, 1, false, false);
    sInformationObject o;
    for (int i = 0; i < 127; i++)
        QVERIFY(asdu_add_object(a, single_point_create(&o, i, true, 0)));
    QVERIFY(!asdu_add_object(a, single_point_create(&o, 127, true, 0)));
    QCOMPARE(asdu_get_element_count(a), 127);
    asdu_destroy(a);

    // Sequence: the next address only.
    a = asdu_create(&p, true, 3, 0, 1, false, false);
    QVERIFY(asdu_add_object(a, single_point_create(&o, 100, true, 0)));
    QVERIFY(!asdu_add_object(a, single_point_create(&o, 105, true, 0)));
    QVERIFY(asdu_add_object(a, single_point_create(&o, 101, true, 0)));
    QCOMPARE(asdu_get_element_count(a), 2);
    asdu_destroy(a);

    // Size limit with the default parameters: an empty ASDU is 6 bytes, 243 left.
    struct
    {
        int type, fit;
    } fills[] = {{36, 16}, {30, 22}, {1, 60}};
    for (auto& fill : fills) {
        a = asdu_create(&p, false, 3, 0, 1, false, false);
        for (int i = 0; i < fill.fit; i++)
            QVERIFY(asdu_add_object(a, make_sample(fill.type, &o, i)));
        QVERIFY(!asdu_add_object(a, make_sample(fill.type, &o, fill.fit)));
        QCOMPARE(asdu_get_element_count(a), fill.fit);
        QVERIFY(a->header_length + a->payload_size <= 249);
        asdu_destroy(a);
    }
    // A caller's limit above 249 still yields at most 249 bytes (255 with the APCI).
    p.max_size_of_asdu = 256;
    a = asdu_create(&p, false, 3, 0, 1, false, false);
    for (int i = 0; i < 60; i++)
        QVERIFY(asdu_add_object(a, single_point_create(&o, i, true, 0)));
    QVERIFY(!asdu_add_object(a, single_point_create(&o, 60, true, 0)));
    QCOMPARE(file_segment_get_max_data_size(&p), 249 - 1 - 1 - 2 - 2);
    asdu_destroy(a);
}

void tst_iec104_codec::asdu_header_data()
{
    testsupport::vector_rows(VECTORS("iec104_asdu.txt"));
}

void tst_iec104_codec::asdu_header()
{
    QFETCH(QStringList, f);
    sAppLayerParameters p = default_parameters();
    p.size_of_cot = f[0].toInt();
    p.size_of_ca = f[1].toInt();
    QByteArray header = testsupport::hex(f[2]);
    Asdu a = asdu_create_from_buffer(&p, reinterpret_cast<uint8_t*>(header.data()), header.size());
    QVERIFY(a);
    const QList<int> got{asdu_get_type_id(a), asdu_is_sequence(a), asdu_get_element_count(a),
                         asdu_get_cot(a),     asdu_is_negative(a), asdu_is_test(a),
                         asdu_get_oa(a),      asdu_get_ca(a),      asdu_is_broadcast_ca(a)};
    QStringList got_text;
    for (int v : got)
        got_text << QString::number(v);
    QCOMPARE(got_text.join(' '), f[3]);
    asdu_destroy(a);
}

void tst_iec104_codec::asdu_header_setters()
{
    sAppLayerParameters p = default_parameters();
    Asdu a = asdu_create(&p, false, 6, 3, 0x1234, true, true);
    QCOMPARE(testsupport::hex_of(QByteArray(reinterpret_cast<char*>(a->header), a->header_length)),
             QString("0000C6033412"));
    asdu_set_cot(a, 7);
    QCOMPARE(a->header[2], uint8_t(0xC7));
    asdu_set_negative(a, false);
    QCOMPARE(a->header[2], uint8_t(0x87));
    asdu_set_test(a, false);
    QCOMPARE(a->header[2], uint8_t(0x07));
    asdu_set_ca(a, 70000);
    QCOMPARE(asdu_get_ca(a), 65535);
    asdu_set_ca(a, -5);
    QCOMPARE(asdu_get_ca(a), 0);
    asdu_destroy(a);
    sAppLayerParameters small = p;
    small.size_of_ca = 1;
    a = asdu_create(&small, false, 6, 0, 0, false, false);
    asdu_set_ca(a, 300);
    QCOMPARE(asdu_get_ca(a), 255);
    QVERIFY(asdu_is_broadcast_ca(a));
    asdu_destroy(a);

    // A received request turned into a reply keeps its SQ bit only.
    QByteArray bytes = testsupport::hex("64 81 06 00 01 00 00 00 00 14");
    a = asdu_create_from_buffer(&p, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
    asdu_remove_all_elements(a);
    QCOMPARE(a->header[1], uint8_t(0x80));
    QCOMPARE(a->payload_size, 0);
    asdu_destroy(a);
}

void tst_iec104_codec::asdu_from_buffer()
{
    sAppLayerParameters p = default_parameters();
    QByteArray bytes = testsupport::hex("64 01 06 00 01 00 00 00 00 14");
    Asdu a = asdu_create_from_buffer(&p, reinterpret_cast<uint8_t*>(bytes.data()), 6);
    QVERIFY(a);
    QCOMPARE(a->payload_size, 0);
    QVERIFY(!asdu_get_element(a, 0));
    asdu_destroy(a);
    QVERIFY(!asdu_create_from_buffer(&p, reinterpret_cast<uint8_t*>(bytes.data()), 5));

    // Single-object types ignore the index.
    a = asdu_create_from_buffer(&p, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
    sInformationObject o;
    QVERIFY(asdu_get_element_into(a, &o, 3));
    QCOMPARE(interrogation_command_get_qoi(&o), uint8_t(20));
    asdu_destroy(a);

    // A count that disagrees with the payload is still wrapped; only the element reads refuse.
    QByteArray liar = testsupport::hex("01 05 03 00 01 00 05 00 00 01");
    a = asdu_create_from_buffer(&p, reinterpret_cast<uint8_t*>(liar.data()), liar.size());
    QVERIFY(a);
    QVERIFY(asdu_get_element_into(a, &o, 0));
    QVERIFY(!asdu_get_element_into(a, &o, 1));
    asdu_destroy(a);
}

void tst_iec104_codec::frame_and_list()
{
    uint8_t buffer[32];
    sStaticFrame frame;
    Frame f = static_frame_init(&frame, buffer, 6, sizeof buffer);
    QCOMPARE(frame_get_size(f), 6);
    QCOMPARE(frame_get_space_left(f), 26);
    uint8_t twenty[20] = {};
    QVERIFY(frame_append_bytes(f, twenty, 20));
    QCOMPARE(frame_get_size(f), 26);
    QVERIFY(!frame_append_bytes(f, twenty, 7)); // refused whole
    QCOMPARE(frame_get_size(f), 26);
    for (int i = 0; i < 6; i++)
        QVERIFY(frame_append_byte(f, 0x55));
    QVERIFY(!frame_append_byte(f, 0x55));
    QCOMPARE(frame_get_space_left(f), 0);
    frame_reset(f);
    QCOMPARE(frame_get_size(f), 6);
    QCOMPARE(frame_get_buffer(f), buffer);

    LinkedList list = linked_list_create();
    QVERIFY(!linked_list_get(list, 0));
    int a = 1, b = 2, c = 3;
    linked_list_add(list, &a);
    linked_list_add(list, &c);
    linked_list_insert_after(linked_list_get(list, 0), &b);
    QCOMPARE(linked_list_size(list), 3);
    QCOMPARE(linked_list_get_data(linked_list_get(list, 0)), static_cast<void*>(&a));
    QCOMPARE(linked_list_get_data(linked_list_get(list, 1)), static_cast<void*>(&b));
    QCOMPARE(linked_list_get_data(linked_list_last(list)), static_cast<void*>(&c));
    QVERIFY(!linked_list_get(list, 3));
    int other = 4;
    QVERIFY(!linked_list_remove(list, &other));
    QCOMPARE(linked_list_size(list), 3);
    QVERIFY(linked_list_remove(list, &b));
    QCOMPARE(linked_list_get_data(linked_list_get(list, 1)), static_cast<void*>(&c));
    linked_list_destroy_static(list);
}

QTEST_APPLESS_MAIN(tst_iec104_codec)
#include "tst_iec104_codec.moc"
