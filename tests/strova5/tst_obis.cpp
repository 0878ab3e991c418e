#include "parser_strova5.h"
#include "testsupport.h"

#include <QtTest>
#include <memory>

using testsupport::hex;
using testsupport::hex_of;

Q_DECLARE_METATYPE(OBIS)

namespace QTest {
template <>
char* toString(const OBIS& code)
{
    return qstrdup(qPrintable(obis_to_string(code)));
}
} // namespace QTest

namespace {

OBIS o(unsigned a, unsigned b, unsigned c, unsigned d, unsigned e, unsigned f)
{
    return obis_pack(a, b, c, d, e, f);
}

// Encodes into an exactly sized heap buffer, so an over-long write shows under the sanitizer.
QByteArray encode(const OBIS& code)
{
    uint8_t out[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    const int n = obis_compact_encode(out, code);
    return QByteArray(reinterpret_cast<const char*>(out), n > 0 && n <= 6 ? n : 0);
}

// Decodes from a heap copy of exactly `bytes`, so an over-read shows under the sanitizer.
int decode(const QByteArray& bytes, OBIS& out)
{
    std::unique_ptr<uint8_t[]> buf(new uint8_t[size_t(bytes.size()) + 1]);
    memcpy(buf.get(), bytes.constData(), size_t(bytes.size()));
    return obis_compact_decode(buf.get(), bytes.size(), out);
}

} // namespace

class tst_obis : public QObject
{
    Q_OBJECT

private slots:
    // Every textual form of one code, and that each parses back to the same six bytes.
    void text_forms_data()
    {
        QTest::addColumn<OBIS>("code");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("cde");
        QTest::addColumn<QString>("column");
        QTest::addColumn<QString>("hex");
        QTest::newRow("active energy") << o(1, 0, 1, 8, 0, 255) << "1.0.1.8.0.255" << "1.8.0" << "OBIS_1_8_0" << "0100010800FF";
        QTest::newRow("all zero") << o(0, 0, 0, 0, 0, 0) << "0.0.0.0.0.0" << "0.0.0" << "OBIS_0_0_0" << "000000000000";
        QTest::newRow("all 255") << o(255, 255, 255, 255, 255, 255) << "255.255.255.255.255.255" << "255.255.255"
                                 << "OBIS_255_255_255" << "FFFFFFFFFFFF";
        QTest::newRow("relay state") << obis_make_cde(96, 3, 10) << "0.0.96.3.10.255" << "96.3.10" << "OBIS_96_3_10"
                                     << "000060030AFF";
        QTest::newRow("mixed digits") << o(10, 171, 12, 205, 14, 239) << "10.171.12.205.14.239" << "12.205.14"
                                      << "OBIS_12_205_14" << "0AAB0CCD0EEF";
    }
    void text_forms()
    {
        QFETCH(OBIS, code);
        QFETCH(QString, text);
        QFETCH(QString, cde);
        QFETCH(QString, column);
        QFETCH(QString, hex);
        QCOMPARE(obis_to_string(code), text);
        QCOMPARE(obis_to_cde(code), cde);
        QCOMPARE(obis_to_column(code), column);
        QCOMPARE(obis_to_hex(code), hex);

        OBIS back;
        int attr = 99;
        QVERIFY(obis_from_string(text, back, &attr));
        QCOMPARE(back, code);
        QCOMPARE(attr, -1);

        const QString with_attr = obis_to_string(code, 4);
        QCOMPARE(with_attr, text + QStringLiteral("_4"));
        back = OBIS();
        QVERIFY(obis_from_string(with_attr, back, &attr));
        QCOMPARE(back, code);
        QCOMPARE(attr, 4);

        back = OBIS();
        QVERIFY(obis_from_hex(hex, back));
        QCOMPARE(back, code);
        back = OBIS();
        QVERIFY(obis_from_hex(hex.toLower(), back));
        QCOMPARE(back, code);
    }

    void text_rejected_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << "";
        QTest::newRow("five parts") << "1.0.1.8.0";
        QTest::newRow("seven parts") << "1.0.1.8.0.255.1";
        QTest::newRow("byte over 255") << "1.0.1.8.0.256";
        QTest::newRow("negative") << "1.0.-1.8.0.255";
        QTest::newRow("empty part") << "1..1.8.0.255";
        QTest::newRow("letters") << "1.0.a.8.0.255";
        QTest::newRow("empty attribute") << "1.0.1.8.0.255_";
        QTest::newRow("word attribute") << "1.0.1.8.0.255_x";
        QTest::newRow("negative attribute") << "1.0.1.8.0.255_-2";
        QTest::newRow("short name") << "96.3.10";
    }
    void text_rejected()
    {
        QFETCH(QString, text);
        OBIS out = o(9, 9, 9, 9, 9, 9);
        QVERIFY(!obis_from_string(text, out));
        QCOMPARE(out, o(9, 9, 9, 9, 9, 9));
    }

    void hex_rejected_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << "";
        QTest::newRow("eleven digits") << "0100010800F";
        QTest::newRow("thirteen digits") << "0100010800FF0";
        QTest::newRow("not hex") << "0100010800FG";
        QTest::newRow("blank inside") << "0100 10800FF";
        QTest::newRow("latin-1 letter") << QString::fromUtf8("0100010800F\xc3\xa9");
        QTest::newRow("cyrillic letter") << QString::fromUtf8("0100010800F\xd0\x96");
    }
    void hex_rejected()
    {
        QFETCH(QString, text);
        OBIS out = o(9, 9, 9, 9, 9, 9);
        QVERIFY(!obis_from_hex(text, out));
        QCOMPARE(out, o(9, 9, 9, 9, 9, 9));
    }

    void pack_takes_each_number_modulo_256()
    {
        QCOMPARE(obis_to_string(obis_pack(256, 257, 511, 1024 + 8, 0, 255 + 256)), QStringLiteral("0.1.255.8.0.255"));
        // The six bytes sit in memory in the order A..F.
        const OBIS code = o(1, 2, 3, 4, 5, 6);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(&code), 6), hex("010203040506"));
    }

    // Value maps are ordered by A first, then B, ... F; a higher later byte never outranks an
    // earlier one.
    void ordering_data()
    {
        QTest::addColumn<OBIS>("lower");
        QTest::addColumn<OBIS>("higher");
        QTest::newRow("A outranks all after it") << o(0, 255, 255, 255, 255, 255) << o(1, 0, 0, 0, 0, 0);
        QTest::newRow("B outranks C..F") << o(1, 0, 255, 255, 255, 255) << o(1, 1, 0, 0, 0, 0);
        QTest::newRow("C outranks D..F") << o(1, 0, 1, 255, 255, 255) << o(1, 0, 2, 0, 0, 0);
        QTest::newRow("D outranks E, F") << o(1, 0, 1, 7, 255, 255) << o(1, 0, 1, 8, 0, 0);
        QTest::newRow("E outranks F") << o(1, 0, 1, 8, 0, 255) << o(1, 0, 1, 8, 1, 0);
        QTest::newRow("F last") << o(1, 0, 1, 8, 0, 254) << o(1, 0, 1, 8, 0, 255);
        QTest::newRow("bytes unsigned") << o(1, 0, 127, 0, 0, 0) << o(1, 0, 128, 0, 0, 0);
    }
    void ordering()
    {
        QFETCH(OBIS, lower);
        QFETCH(OBIS, higher);
        QVERIFY(lower < higher);
        QVERIFY(!(higher < lower));
        QVERIFY(lower != higher);
        QVERIFY(!(lower == higher));
        QVERIFY(!(lower < lower));
        QVERIFY(lower == obis_pack(lower.A, lower.B, lower.C, lower.D, lower.E, lower.F));

        QMap<OBIS, int> map;
        map.insert(higher, 2);
        map.insert(lower, 1);
        map.insert(obis_pack(higher.A, higher.B, higher.C, higher.D, higher.E, higher.F), 3);
        QCOMPARE(map.size(), 2);
        QCOMPARE(map.firstKey(), lower);
        QCOMPARE(map.value(higher), 3);
        QCOMPARE(qHash(lower) == qHash(higher), lower.be48() == higher.be48());
    }

    // The forms meters and the encoder exchange, with the bytes they carry on the air.
    void compact_vectors_data()
    {
        QTest::addColumn<OBIS>("code");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("1.0.1.8.0.255 two") << o(1, 0, 1, 8, 0, 255) << hex("8188");
        QTest::newRow("1.0.32.7.0.255 two") << o(1, 0, 32, 7, 0, 255) << hex("A078");
        QTest::newRow("0.0.1.0.0.255 two") << o(0, 0, 1, 0, 0, 255) << hex("8100");
        QTest::newRow("C 127 D 15 E 7 two") << o(1, 0, 127, 15, 7, 255) << hex("FFFF");
        QTest::newRow("C 65 is still two") << o(0, 0, 65, 2, 3, 255) << hex("C123");
        QTest::newRow("E 10 needs four") << o(0, 0, 96, 3, 10, 255) << hex("4060030A");
        QTest::newRow("D 98 needs four") << o(0, 0, 99, 98, 1, 255) << hex("40636201");
        QTest::newRow("C 128 needs four") << o(1, 0, 128, 0, 0, 255) << hex("48800000");
        QTest::newRow("A 7 B 7 four") << o(7, 7, 1, 2, 3, 255) << hex("7F010203");
        QTest::newRow("B 1 needs four") << o(1, 1, 1, 8, 0, 255) << hex("49010800");
        QTest::newRow("F 0 needs six") << o(1, 0, 1, 8, 0, 0) << hex("010001080000");
        QTest::newRow("B 8 needs six") << o(1, 8, 1, 8, 0, 255) << hex("0108010800FF");
        QTest::newRow("A 8 needs six") << o(8, 0, 1, 8, 0, 255) << hex("0800010800FF");
        QTest::newRow("A 63 six") << o(63, 255, 255, 255, 255, 254) << hex("3FFFFFFFFFFE");
    }
    void compact_vectors()
    {
        QFETCH(OBIS, code);
        QFETCH(QByteArray, bytes);
        QCOMPARE(hex_of(encode(code)), hex_of(bytes));
        OBIS back;
        QCOMPARE(decode(bytes, back), bytes.size());
        QCOMPARE(obis_to_string(back), obis_to_string(code));
    }

    // Over a grid of byte values at every form's limits: the encoding decodes back to the same
    // code, consumes exactly what it wrote, and is the shortest form able to carry the code.
    void compact_round_trip_grid()
    {
        const unsigned as[] = {0, 1, 2, 7, 8, 63};
        const unsigned bs[] = {0, 1, 7, 8, 255};
        const unsigned cs[] = {0, 1, 63, 64, 96, 127, 128, 255};
        const unsigned ds[] = {0, 15, 16, 255};
        const unsigned es[] = {0, 7, 8, 255};
        const unsigned fs[] = {0, 254, 255};
        int checked = 0;
        for (unsigned a : as)
            for (unsigned b : bs)
                for (unsigned c : cs)
                    for (unsigned d : ds)
                        for (unsigned e : es)
                            for (unsigned f : fs) {
                                const OBIS code = o(a, b, c, d, e, f);
                                const QByteArray bytes = encode(code);
                                const bool two = a <= 1 && b == 0 && c <= 127 && d <= 15 && e <= 7 && f == 255;
                                const bool four = a <= 7 && b <= 7 && f == 255;
                                const int want = two ? 2 : four ? 4 : 6;
                                OBIS back;
                                if (bytes.size() != want || decode(bytes, back) != want || back != code)
                                    QFAIL(qPrintable(QStringLiteral("%1 -> %2").arg(obis_to_string(code), hex_of(bytes))));
                                ++checked;
                            }
        QCOMPARE(checked, 6 * 5 * 8 * 4 * 4 * 3);
    }

    // A form cut short by the end of the payload is refused: 0 is returned, nothing is read
    // beyond the end and the output keeps its value.
    void compact_truncated_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("nothing") << QByteArray();
        QTest::newRow("two-byte form, 1 byte") << hex("81");
        QTest::newRow("two-byte form high C, 1 byte") << hex("FF");
        QTest::newRow("four-byte form, 1 byte") << hex("40");
        QTest::newRow("four-byte form, 3 bytes") << hex("406003");
        QTest::newRow("six-byte form, 1 byte") << hex("01");
        QTest::newRow("six-byte form, 5 bytes") << hex("0100010800");
        QTest::newRow("six-byte form zero, 5 bytes") << hex("0000000000");
    }
    void compact_truncated()
    {
        QFETCH(QByteArray, bytes);
        OBIS out = o(9, 9, 9, 9, 9, 9);
        QCOMPARE(decode(bytes, out), 0);
        QCOMPARE(out, o(9, 9, 9, 9, 9, 9));
    }

    void compact_decode_bad_lengths()
    {
        OBIS out = o(9, 9, 9, 9, 9, 9);
        QCOMPARE(obis_compact_decode(nullptr, 0, out), 0);
        const uint8_t two[2] = {0x81, 0x88};
        QCOMPARE(obis_compact_decode(two, -1, out), 0);
        QCOMPARE(out, o(9, 9, 9, 9, 9, 9));
        // Bytes after the form are left for the caller.
        QCOMPARE(decode(hex("8188 4060030A"), out), 2);
        QCOMPARE(out, o(1, 0, 1, 8, 0, 255));
    }

    // A device time more than one day ahead of, or more than 732 days behind, the reception
    // time is replaced by the reception time.
    void device_time_data()
    {
        QTest::addColumn<uint>("t");
        QTest::addColumn<uint>("ref");
        QTest::addColumn<uint>("result");
        const uint ref = 1700000000u;
        QTest::newRow("same") << ref << ref << ref;
        QTest::newRow("one day ahead") << ref + 86400 << ref << ref + 86400;
        QTest::newRow("one day and a second ahead") << ref + 86401 << ref << ref;
        QTest::newRow("far future") << 0xFFFFFFFFu << ref << ref;
        QTest::newRow("732 days behind") << ref - 63244800 << ref << ref - 63244800;
        QTest::newRow("732 days and a second behind") << ref - 63244801 << ref << ref;
        QTest::newRow("zero") << 0u << ref << ref;
        QTest::newRow("a second behind") << ref - 1 << ref << ref - 1;
    }
    void device_time()
    {
        QFETCH(uint, t);
        QFETCH(uint, ref);
        QFETCH(uint, result);
        QCOMPARE(uint(clamp_device_time(t, ref)), result);
    }

    void archive_kind_data()
    {
        QTest::addColumn<uint>("code");
        QTest::addColumn<uint>("t");
        QTest::addColumn<uint>("kind");
        const uint t = 1700000123u;
        const struct
        {
            uint code, kind;
        } fixed[] = {{12, 12}, {72, 12}, {13, 13}, {70, 13}, {14, 14}, {68, 14}, {15, 15}, {50, 15}, {66, 15},
                     {67, 15}, {16, 16}, {74, 16}, {64, 254}, {0, 254}, {254, 254}, {255, 254}, {17, 254}};
        for (const auto& f : fixed)
            QTest::addRow("code %u", f.code) << f.code << t << f.kind;
        QTest::newRow("code 12 + 256 is not 12") << 268u << t << 254u;
        QTest::newRow("49 at time 0") << 49u << 0u << 14u;
        QTest::newRow("49 at a whole day") << 49u << 86400u << 14u;
        QTest::newRow("49 a second past a day") << 49u << 86401u << 254u;
        QTest::newRow("49 a second before a day") << 49u << 86399u << 254u;
        QTest::newRow("49 at a recent midnight") << 49u << 1699920000u << 14u;
        QTest::newRow("64 at a whole day") << 64u << 86400u << 254u;
    }
    void archive_kind()
    {
        QFETCH(uint, code);
        QFETCH(uint, t);
        QFETCH(uint, kind);
        QCOMPARE(uint(archive_kind_from_code(code, t)), kind);
    }
};

QTEST_GUILESS_MAIN(tst_obis)
#include "tst_obis.moc"
