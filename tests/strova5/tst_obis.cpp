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

QByteArray encode(const OBIS& code)
{
    uint8_t out[6] = {};
    return QByteArray(reinterpret_cast<const char*>(out), obis_compact_encode(out, code));
}

// Decodes from an exactly sized heap copy, so that an over-read shows under the sanitizer.
int decode(const QByteArray& bytes, OBIS& out)
{
    std::unique_ptr<uint8_t[]> buf(new uint8_t[size_t(bytes.size())]);
    memcpy(buf.get(), bytes.constData(), size_t(bytes.size()));
    return obis_compact_decode(buf.get(), bytes.size(), out);
}

} // namespace

class tst_obis : public QObject
{
    Q_OBJECT

private slots:
    void text_forms_round_trip_data()
    {
        QTest::addColumn<OBIS>("code");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("column");
        QTest::addColumn<QString>("hex");
        QTest::newRow("energy") << o(1, 0, 1, 8, 0, 255) << "1.0.1.8.0.255" << "OBIS_1_8_0" << "0100010800FF";
        QTest::newRow("zero") << o(0, 0, 0, 0, 0, 0) << "0.0.0.0.0.0" << "OBIS_0_0_0" << "000000000000";
        QTest::newRow("255") << o(255, 255, 255, 255, 255, 255) << "255.255.255.255.255.255" << "OBIS_255_255_255"
                             << "FFFFFFFFFFFF";
        QTest::newRow("cde") << obis_make_cde(96, 3, 10) << "0.0.96.3.10.255" << "OBIS_96_3_10" << "000060030AFF";
        QTest::newRow("mod 256") << obis_pack(256, 257, 171, 1024 + 205, 14, 239) << "0.1.171.205.14.239"
                                 << "OBIS_171_205_14" << "0001ABCD0EEF";
    }
    void text_forms_round_trip()
    {
        QFETCH(OBIS, code);
        QFETCH(QString, text);
        QFETCH(QString, column);
        QFETCH(QString, hex);
        QCOMPARE(obis_to_string(code), text);
        QCOMPARE(obis_to_string(code, 4), text + "_4");
        QCOMPARE(obis_to_column(code), column);
        QCOMPARE(obis_to_cde(code), column.mid(5).replace('_', '.'));
        QCOMPARE(obis_to_hex(code), hex);

        OBIS back;
        int attr = 99;
        QVERIFY(obis_from_string(text, back, &attr));
        QCOMPARE(back, code);
        QCOMPARE(attr, -1);
        QVERIFY(obis_from_string(text + "_4", back = OBIS(), &attr));
        QCOMPARE(back, code);
        QCOMPARE(attr, 4);
        QVERIFY(obis_from_hex(hex.toLower(), back = OBIS()));
        QCOMPARE(back, code);
    }

    void malformed_text_refused_data()
    {
        QTest::addColumn<bool>("is_hex");
        QTest::addColumn<QString>("text");
        for (const char* t : {"", "1.0.1.8.0", "1.0.1.8.0.255.1", "1.0.1.8.0.256", "1.0.-1.8.0.255", "1..1.8.0.255",
                              "1.0.a.8.0.255", "1.0.1.8.0.255_", "1.0.1.8.0.255_x", "1.0.1.8.0.255_-2", "96.3.10"})
            QTest::addRow("text '%s'", t) << false << QString(t);
        for (const char* t : {"", "0100010800F", "0100010800FF0", "0100010800FG", "0100 10800FF",
                              "0100010800F\xc3\xa9", "0100010800F\xd0\x96"})
            QTest::addRow("hex '%s'", t) << true << QString::fromUtf8(t);
    }
    void malformed_text_refused()
    {
        QFETCH(bool, is_hex);
        QFETCH(QString, text);
        OBIS out = o(9, 9, 9, 9, 9, 9);
        QVERIFY(!(is_hex ? obis_from_hex(text, out) : obis_from_string(text, out)));
        QCOMPARE(out, o(9, 9, 9, 9, 9, 9));
    }

    // Keys order by A first, then B, ... F: a higher later byte never outranks an earlier one.
    void ordering_data()
    {
        QTest::addColumn<OBIS>("lower");
        QTest::addColumn<OBIS>("higher");
        QTest::newRow("A") << o(0, 255, 255, 255, 255, 255) << o(1, 0, 0, 0, 0, 0);
        QTest::newRow("B") << o(1, 0, 255, 255, 255, 255) << o(1, 1, 0, 0, 0, 0);
        QTest::newRow("C") << o(1, 0, 1, 255, 255, 255) << o(1, 0, 2, 0, 0, 0);
        QTest::newRow("D") << o(1, 0, 1, 7, 255, 255) << o(1, 0, 1, 8, 0, 0);
        QTest::newRow("E") << o(1, 0, 1, 8, 0, 255) << o(1, 0, 1, 8, 1, 0);
        QTest::newRow("F") << o(1, 0, 1, 8, 0, 254) << o(1, 0, 1, 8, 0, 255);
        QTest::newRow("unsigned") << o(1, 0, 127, 0, 0, 0) << o(1, 0, 128, 0, 0, 0);
    }
    void ordering()
    {
        QFETCH(OBIS, lower);
        QFETCH(OBIS, higher);
        QVERIFY(lower < higher && !(higher < lower) && !(lower < lower));
        QVERIFY(lower != higher && lower == OBIS(lower));
        QMap<OBIS, int> map{{higher, 2}, {lower, 1}};
        map.insert(OBIS(higher), 3);
        QCOMPARE(map.keys(), (QList<OBIS>{lower, higher}));
        QCOMPARE(map.value(higher), 3);
    }

    void compact_vectors_data()
    {
        QTest::addColumn<OBIS>("code");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("two") << o(1, 0, 1, 8, 0, 255) << hex("8188");
        QTest::newRow("two, D 7") << o(1, 0, 32, 7, 0, 255) << hex("A078");
        QTest::newRow("two, limits") << o(1, 0, 127, 15, 7, 255) << hex("FFFF");
        QTest::newRow("two, C 65") << o(0, 0, 65, 2, 3, 255) << hex("C123");
        QTest::newRow("four, E 10") << o(0, 0, 96, 3, 10, 255) << hex("4060030A");
        QTest::newRow("four, D 98") << o(0, 0, 99, 98, 1, 255) << hex("40636201");
        QTest::newRow("four, A 7 B 7") << o(7, 7, 1, 2, 3, 255) << hex("7F010203");
        QTest::newRow("six, F 0") << o(1, 0, 1, 8, 0, 0) << hex("010001080000");
        QTest::newRow("six, B 8") << o(1, 8, 1, 8, 0, 255) << hex("0108010800FF");
        QTest::newRow("six, A 8") << o(8, 0, 1, 8, 0, 255) << hex("0800010800FF");
    }
    void compact_vectors()
    {
        QFETCH(OBIS, code);
        QFETCH(QByteArray, bytes);
        QCOMPARE(hex_of(encode(code)), hex_of(bytes));
        OBIS back;
        QCOMPARE(decode(bytes + hex("8188"), back), bytes.size()); // what follows is left alone
        QCOMPARE(back, code);
    }

    // Over a grid at every form's limits: the encoding is the shortest form able to carry the
    // code and decodes back to it.
    void compact_round_trip_grid()
    {
        for (unsigned a : {0, 1, 2, 7, 8, 63})
            for (unsigned b : {0, 1, 7, 8, 255})
                for (unsigned c : {0, 64, 127, 128, 255})
                    for (unsigned d : {0, 15, 16, 255})
                        for (unsigned e : {0, 7, 8, 255})
                            for (unsigned f : {0, 254, 255}) {
                                const OBIS code = o(a, b, c, d, e, f);
                                const QByteArray bytes = encode(code);
                                const bool two = a <= 1 && b == 0 && c <= 127 && d <= 15 && e <= 7 && f == 255;
                                const int want = two ? 2 : (a <= 7 && b <= 7 && f == 255) ? 4 : 6;
                                OBIS back;
                                if (bytes.size() != want || decode(bytes, back) != want || back != code)
                                    QFAIL(qPrintable(obis_to_string(code) + " -> " + hex_of(bytes)));
                            }
    }

    // A form cut short by the end of the payload: 0, no read past the end, output untouched.
    void compact_truncated_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        for (const char* t : {"", "81", "FF", "40", "406003", "01", "0100010800"})
            QTest::addRow("'%s'", t) << hex(t);
    }
    void compact_truncated()
    {
        QFETCH(QByteArray, bytes);
        OBIS out = o(9, 9, 9, 9, 9, 9);
        QCOMPARE(decode(bytes, out), 0);
        QCOMPARE(obis_compact_decode(reinterpret_cast<const uint8_t*>("\x81\x88"), -1, out), 0);
        QCOMPARE(out, o(9, 9, 9, 9, 9, 9));
    }

    void device_time_data()
    {
        QTest::addColumn<uint>("t");
        QTest::addColumn<uint>("result");
        const uint ref = 1700000000u;
        QTest::newRow("same") << ref << ref;
        QTest::newRow("a day ahead") << ref + 86400 << ref + 86400;
        QTest::newRow("a day and a second ahead") << ref + 86401 << ref;
        QTest::newRow("max") << 0xFFFFFFFFu << ref;
        QTest::newRow("732 days behind") << ref - 63244800 << ref - 63244800;
        QTest::newRow("732 days and a second behind") << ref - 63244801 << ref;
        QTest::newRow("zero") << 0u << ref;
    }
    void device_time()
    {
        QFETCH(uint, t);
        QFETCH(uint, result);
        QCOMPARE(uint(clamp_device_time(t, 1700000000u)), result);
    }

    void archive_kind_data()
    {
        QTest::addColumn<uint>("code");
        QTest::addColumn<uint>("t");
        QTest::addColumn<uint>("kind");
        const uint codes[][2] = {{12, 12}, {72, 12}, {13, 13}, {70, 13}, {14, 14}, {68, 14}, {15, 15},  {50, 15},
                                 {66, 15}, {67, 15}, {16, 16}, {74, 16}, {64, 254}, {0, 254}, {268, 254}};
        for (const auto& c : codes)
            QTest::addRow("%u", c[0]) << c[0] << 1700000123u << c[1];
        QTest::newRow("49 at 0") << 49u << 0u << 14u;
        QTest::newRow("49 at a day") << 49u << 86400u << 14u;
        QTest::newRow("49 past a day") << 49u << 86401u << 254u;
        QTest::newRow("64 at a day") << 64u << 86400u << 254u;
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
