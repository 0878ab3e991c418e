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

OBIS code_of(const QString& text)
{
    OBIS c;
    if (!obis_from_string(text, c)) qFatal("bad code %s", qPrintable(text));
    return c;
}
QString empty_of(const QString& f) { return f == "\"\"" || f == "-" ? QString() : f; }

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

    static void rows(const char* section) { testsupport::vector_rows(VECTORS("obis.txt"), section); }

private slots:
    void text_forms_round_trip_data() { rows("text"); }
    void text_forms_round_trip()
    {
        QFETCH(QStringList, f);
        const QString text = f[0], column = f[1], hex = f[2];
        const QStringList p = text.split('.');
        const OBIS code = o(p[0].toUInt(), p[1].toUInt(), p[2].toUInt(), p[3].toUInt(), p[4].toUInt(), p[5].toUInt());
        QCOMPARE(obis_to_string(code), text);
        QCOMPARE(obis_to_string(code, 4), text + "_4");
        QCOMPARE(obis_to_column(code), column);
        QCOMPARE(obis_to_cde(code), QString(column).mid(5).replace('_', '.'));
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
        QCOMPARE(obis_make_cde(96, 3, 10), code_of("0.0.96.3.10.255"));
        // Parts past 255 wrap when packed.
        QCOMPARE(obis_to_string(obis_pack(256, 257, 171, 1024 + 205, 14, 239)), QString("0.1.171.205.14.239"));
    }

    void malformed_text_refused_data() { rows("malformed"); }
    void malformed_text_refused()
    {
        QFETCH(QStringList, f);
        const QString text = empty_of(f[1]);
        OBIS out = o(9, 9, 9, 9, 9, 9);
        QVERIFY(!(f[0] == "hex" ? obis_from_hex(text, out) : obis_from_string(text, out)));
        QCOMPARE(out, o(9, 9, 9, 9, 9, 9));
    }

    // Keys order by A first, then B, ... F: a higher later byte never outranks an earlier one.
    void ordering()
    {
        const OBIS pairs[][2] = {{o(0, 255, 255, 255, 255, 255), o(1, 0, 0, 0, 0, 0)}, {o(1, 0, 255, 255, 255, 255), o(1, 1, 0, 0, 0, 0)},
                                 {o(1, 0, 1, 255, 255, 255), o(1, 0, 2, 0, 0, 0)},     {o(1, 0, 1, 7, 255, 255), o(1, 0, 1, 8, 0, 0)},
                                 {o(1, 0, 1, 8, 0, 255), o(1, 0, 1, 8, 1, 0)},         {o(1, 0, 1, 8, 0, 254), o(1, 0, 1, 8, 0, 255)},
                                 {o(1, 0, 127, 0, 0, 0), o(1, 0, 128, 0, 0, 0)}};
        for (const auto& p : pairs) {
            const OBIS lower = p[0], higher = p[1];
            QVERIFY(lower < higher && !(higher < lower) && !(lower < lower));
            QVERIFY(lower != higher && lower == OBIS(lower));
            QMap<OBIS, int> map{{higher, 2}, {lower, 1}};
            map.insert(OBIS(higher), 3);
            QCOMPARE(map.keys(), (QList<OBIS>{lower, higher}));
            QCOMPARE(map.value(higher), 3);
        }
    }

    void compact_vectors_data() { rows("compact"); }
    void compact_vectors()
    {
        QFETCH(QStringList, f);
        const QByteArray bytes = f[1] == "-" ? QByteArray() : hex(f[1]);
        OBIS back = o(9, 9, 9, 9, 9, 9);
        if (f[0] == "-") { // cut short: 0, no read past the end, output untouched
            QCOMPARE(decode(bytes, back), 0);
            QCOMPARE(obis_compact_decode(reinterpret_cast<const uint8_t*>("\x81\x88"), -1, back), 0);
            QCOMPARE(back, o(9, 9, 9, 9, 9, 9));
            return;
        }
        const OBIS code = code_of(f[0]);
        QCOMPARE(hex_of(encode(code)), hex_of(bytes));
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

    void device_time_data() { rows("device_time"); }
    void device_time()
    {
        QFETCH(QStringList, f);
        QCOMPARE(uint(clamp_device_time(f[0].toUInt(), 1700000000u)), f[1].toUInt());
        bool rejected = false;
        QCOMPARE(uint(clamp_device_time(f[0].toUInt(), 1700000000u, rejected)), f[1].toUInt());
        QCOMPARE(rejected, f[2] == "1");
    }

    void archive_kind_data() { rows("archive_kind"); }
    void archive_kind()
    {
        QFETCH(QStringList, f);
        QCOMPARE(uint(archive_kind_from_code(f[0].toUInt(), f[1].toUInt())), f[2].toUInt());
    }
};

QTEST_GUILESS_MAIN(tst_obis)
#include "tst_obis.moc"
