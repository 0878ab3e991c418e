// Hostile bytes for every parser of the codec layer; runs in the address/undefined-behaviour build.
// Inputs live in heap blocks of exactly their size, so any over-read is caught.

#include "iec104_samples.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QtTest>
#include <cstring>

using namespace iec104test;

using testsupport::Exact;

class tst_iec104_hostile : public QObject
{
    Q_OBJECT

private slots:
    void truncated_elements();
    void random_asdus();
    void time_tags();
};

// Every element of every kind cut at every length: refused below its size, decoded at its size.
void tst_iec104_hostile::truncated_elements()
{
    int count = 0;
    const InformationObjectKind* kinds = info_object_kinds(&count);
    for (int k = 0; k < count; k++) {
        const int type = kinds[k].type;
        for (int s = 1; s <= 3; s++) {
            sAppLayerParameters p{1, 1, 2, 0, 2, s, 249};
            for (int sq = 0; sq <= 1; sq++) {
                sInformationObject storage;
                InformationObject o = make_sample(type, &storage, 7);
                uint8_t full[64];
                sStaticFrame frame;
                Frame f = static_frame_init(&frame, full, 0, sizeof full);
                QVERIFY(info_object_encode(o, f, &p, sq));
                const int size = frame_get_size(f);
                for (int len = 0; len <= size; len++) {
                    const Exact bytes(QByteArray(reinterpret_cast<char*>(full), len));
                    InformationObject parsed = info_object_parse(type, nullptr, &p, bytes.data(), len, 0, sq);
                    if (len < size && parsed)
                        QFAIL(qPrintable(
                            QString("type %1 accepted %2 of %3 bytes").arg(type).arg(len).arg(size)));
                    if (len == size && !parsed)
                        QFAIL(qPrintable(QString("type %1 refused its full %2 bytes").arg(type).arg(size)));
                    info_object_destroy(parsed);
                    // A parse at an offset past the data is refused as well.
                    QVERIFY(!info_object_parse(type, &storage, &p, bytes.data(), len, len + 1, sq));
                }
            }
        }
    }
}

// Every type id 0-255 with random payloads of 0-260 bytes, SQ on and off, every index up to 127.
void tst_iec104_hostile::random_asdus()
{
    QRandomGenerator rng(60870);
    for (int type = 0; type < 256; type++) {
        for (int round = 0; round < 12; round++) {
            const int s = 1 + int(rng.bounded(3));
            sAppLayerParameters p{1, 1, 2, 0, 2, s, 249};
            const int payload = round == 0 ? 0 : int(rng.bounded(261));
            QByteArray raw(6 + payload, '\0');
            for (int i = 0; i < raw.size(); i++)
                raw[i] = char(rng.bounded(256));
            raw[0] = char(type);
            raw[1] = char((round & 1 ? 0x80 : 0) | rng.bounded(128));
            const Exact bytes(raw);
            Asdu a = asdu_create_from_buffer(&p, bytes.data(), raw.size());
            QVERIFY(a);
            for (int index = 0; index <= 127; index++) {
                InformationObject o = asdu_get_element(a, index);
                if (o) {
                    QCOMPARE(info_object_get_type_id(o), type);
                    // Whatever was decoded can be encoded again within one ASDU.
                    Asdu out = asdu_create(&p, false, 3, 0, 1, false, false);
                    asdu_add_object(out, o);
                    asdu_destroy(out);
                    info_object_destroy(o);
                }
                sInformationObject storage;
                asdu_get_element_into(a, &storage, index);
            }
            QVERIFY(!asdu_get_element(a, -1));
            asdu_destroy(a);
            // Shorter than the header: refused.
            QVERIFY(!asdu_create_from_buffer(&p, Exact(raw.left(5)).data(), 5));
        }
    }
}

void tst_iec104_hostile::time_tags()
{
    for (int size = 0; size <= 7; size++) {
        const Exact b(QByteArray("\x01\x02\x03\x04\x05\x06\x07", size));
        for (int pos = -2; pos <= 8; pos++) {
            sCp16Time2a t16;
            sCp24Time2a t24;
            sCp32Time2a t32;
            sCp56Time2a t56;
            std::memset(&t56, 0xAA, sizeof t56);
            QCOMPARE(cp16_parse(&t16, b.data(), size, pos), pos >= 0 && pos + 2 <= size);
            QCOMPARE(cp24_parse(&t24, b.data(), size, pos), pos >= 0 && pos + 3 <= size);
            QCOMPARE(cp32_parse(&t32, b.data(), size, pos), pos >= 0 && pos + 4 <= size);
            QCOMPARE(cp56_parse(&t56, b.data(), size, pos), pos >= 0 && pos + 7 <= size);
            // Read from `pos` when it fits, untouched when it does not.
            QCOMPARE(t56.encoded_value[0], uint8_t(pos >= 0 && pos + 7 <= size ? pos + 1 : 0xAA));
        }
    }
    // Any seven bytes convert without overflow.
    QRandomGenerator rng(56);
    for (int i = 0; i < 100000; i++) {
        sCp56Time2a t;
        for (auto& b : t.encoded_value)
            b = uint8_t(rng.bounded(256));
        (void)cp56_to_ms_timestamp(&t);
    }
}

QTEST_APPLESS_MAIN(tst_iec104_hostile)
#include "tst_iec104_hostile.moc"
