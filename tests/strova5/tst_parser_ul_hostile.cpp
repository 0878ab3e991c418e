// Hostile uplinks: valid payloads of every kind cut short, extended, bit-flipped and mutated,
// and random bodies under every header byte, all through the decoder. Meant for the
// address/undefined-behaviour sanitizer build: any out-of-range read, overflow or hang fails.

#include "parser_strova5.h"
#include "testsupport.h"
#include "ul_doubles.h"
#include "logger.h"

#include <QElapsedTimer>
#include <QtTest>
#include <cstring>
#include <memory>
#include <random>

namespace {

// One valid payload for every header and sub-header the decoder knows. Device times lie near
// 0x65540B2C, the reception time most variants are decoded at.
const char* const kSeeds[] = {
    "32 02 00 00000000",
    "31 03 80 65540A00 00003039 05 80 65540A3C 00000002 A2 00 00010001 30 00 FFFFFFFF",
    "31 04 00 000003E8 12 80 00000001 02 F7 00000001",
    "42 AB CD 65540000 8188 00003039 4060030A 00000005 0100200700FF FFFFFF38",
    "42 00 10 65540000 4851070A 0001D4C0 48510715 0003D090",
    "44 00 10 6552B9AC 8188 00",
    "46 FF F0 6552B9AC 8188 00000001",
    "48 00 2F 6552B9AC 8188 00000001",
    "4A 00 10 6552B9AC 8188 00000001",
    "40 00 10 65540AF0 8188 00000001",
    "43 AB CF 65540000 0064 000004D2 FFFFFFFF 000001 FFFFFF",
    "43 00 13 65540000 0064",
    "33 65540AF0 05 0102 00000000 07 FFFF",
    "4F FF F3 01 00001388 65540744 01 65540780 02 6554080C 03",
    "4F 00 10 00 00000064 65540AC8 09 0102 0304 65540AFA 0A",
    "4F 00 20 03 00000000 65540AC8 11 07 65540AC9 12 08",
    "4F 00 20 05 00000000 65540AC8 11 07 08",
    "4F 00 20 0B 00000000 65540AC8 11 07 08",
    "4F 00 10 0A 00000000 65540AC8 0102 65540AFA FFFF",
    "4F 00 10 09 00000000 65540AC8 2A 65540AC9 2B",
    "7F 81 540B2C FFFFFF",
    "7F 88 540B2C 000064",
    "7F C0 65540B22 1234",
    "BB 540B2C 000004D2",
    "85 540B2C 000004D2",
    "3B 01 AB",
    "D2 01 AB",
    "D3 7E A0 07 03 21 93 0F 01 7E",
    "ED 4060030A 03 11 01",
    "ED 9100 03 06 00000000",
    "ED 8188 02 09 02 4142",
    "ED 8188 02 05 FFFFFFFE",
    "ED 8188 02 0F FF",
    "ED 8188 02 10 FFFE",
    "ED 8188 02 12 FFFE",
    "ED 0100010800FE 04 11 05",
    "EE 00 1234 5678 80000000",
    "EE 01 0A0B0C0D",
    "EF 09 03 AA",
    "EF 0B 0100 0200 0300 0400 05 07",
    "EF 0E 01 8913 6400",
    "EF 0F 0E 01000000 02000000 FFFFFFFF",
    "EF 0F 0F 20 0001 0002 0003 0004 0005 FFFF",
    "EF 0F 0E 20 0001 0002 0003 0F 10 0004 0005 0006 0C 08 0007 0008 0009 00",
    "EF 11 010203",
    "EF 11 FFFFFFFF",
    "EF 12 0500",
    "EF 12 00 40 0000000000000000000000000001",
    "EF 17 01 02 E803 D007",
    "EF 1B 8881 78A0 0000",
    "EF 1C 02 8188 4060030A 01 A078 00",
    "EF 1C 03 8188 0100010800FF 4060030A",
    "EF 1D 01 02 03 0000C03F",
    "EF 41 0A00 FFFF",
    "EF 43 01",
    "F1 01 5E 5880 0280 0200 1286 FF",
    "51 80 00 00 C0 7F 00 50 08 40",
    "F0 11 50 02",
    "F2 22 70 02 05 01 50 7F 2F FF 55 55 55 55 55 55 55 55 55 55 55 55 4F 00 FF FF FF FF FF FF FF FF FF FF FF FF",
};

constexpr uint32_t T = 0x65540B2C;
constexpr uint32_t kModem = 4711;
const uint32_t kReceptionTimes[] = {T, 0, 1, 86400, 63244800, 0xFFFFFFFFu, 0xFFFEAE80u};

void discard(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

class tst_parser_ul_hostile : public QObject
{
    Q_OBJECT

    Recording_storage* storage = nullptr;
    RAM_modems* ram = nullptr;
    std::mt19937 rng{20240611};
    qint64 decoded = 0;
    qint64 slowest_ns = 0;

    QByteArray random_bytes(int n)
    {
        QByteArray out(n, '\0');
        for (int i = 0; i < n; ++i)
            out[i] = char(rng() & 0xFF);
        return out;
    }

    // Decodes one payload and checks what must hold for any input.
    bool decode(const QByteArray& payload, uint32_t ts_get = T)
    {
        // The bytes sit in a buffer of exactly their size, without the terminating zero a
        // QByteArray keeps, so that a read of even one byte past the end is caught.
        const std::unique_ptr<char[]> exact(new char[size_t(qMax(1, payload.size()))]);
        std::memcpy(exact.get(), payload.constData(), size_t(payload.size()));
        Radio_ul_input in;
        in.modem_id = kModem;
        in.ts_get = ts_get;
        in.payload = QByteArray::fromRawData(exact.get(), payload.size());
        QElapsedTimer timer;
        timer.start();
        const Parser_ul_app r = parser_strova5::parse_ul_app(in);
        slowest_ns = qMax(slowest_ns, timer.nsecsElapsed());
        ++decoded;

        if (r.modem_id != kModem || r.ts_get != ts_get || r.payload != payload)
            return false;
        if (payload.isEmpty())
            return r.header == 0 && r.ul_datas.isEmpty() && r.ul_events.isEmpty() && r.ul_settings.isEmpty();
        const uint8_t first = uint8_t(payload[0]);
        const bool rewritten = (first == 0x43 && r.header == 0x42) ||
                               ((first == 0x7F || (first >= 0x80 && first <= 0xBF)) && r.header == 0x40);
        if (r.header != first && !rewritten)
            return false;
        // Nothing is made from bytes that are not there.
        const int len = payload.size();
        if (r.ul_datas.size() > 1 || r.ul_events.size() > len / 5 + 1 || r.ul_settings.size() > len / 8 + 3)
            return false;
        for (const Ul_setting& s : r.ul_settings)
            if (s.ts != ts_get || s.key.isEmpty())
                return false;
        for (const Ul_data_record& d : r.ul_datas) {
            if (d.values.size() > len)
                return false;
            if (parser_strova5::stringify_values(r.header, d).size() > 255)
                return false;
        }
        storage->statuses.clear();
        return true;
    }

    QList<QByteArray> seeds() const
    {
        QList<QByteArray> out;
        for (const char* s : kSeeds)
            out << testsupport::hex(s);
        return out;
    }

private slots:
    void initTestCase()
    {
        storage = new Recording_storage;
        ram = new RAM_modems(QVariantMap(), nullptr);
        // Odd stored relay modes reach the relay-state branch too.
        ram->add_modem(kModem, QVariantMap{{QStringLiteral("0.0.96.3.10.255_4"), QVariantMap{{"x", 1}}}});
        // Every log line is formatted (trace level) and thrown away.
        qInstallMessageHandler(discard);
        log_set_level(LVL_TRC);
    }
    void cleanupTestCase()
    {
        qInstallMessageHandler(nullptr);
        delete ram;
        delete storage;
        qInfo("decoded %lld hostile payloads; slowest %lld us", decoded, slowest_ns / 1000);
    }

    void seeds_decode_to_something()
    {
        for (const QByteArray& s : seeds()) {
            Radio_ul_input in;
            in.modem_id = kModem;
            in.ts_get = T;
            in.payload = s;
            const Parser_ul_app r = parser_strova5::parse_ul_app(in);
            QVERIFY2(!r.ul_datas.isEmpty() || !r.ul_events.isEmpty() || !r.ul_settings.isEmpty(),
                     s.toHex().constData());
            QVERIFY2(decode(s), s.toHex().constData());
        }
    }

    void truncated()
    {
        for (const QByteArray& s : seeds())
            for (uint32_t ts : kReceptionTimes)
                for (int n = 0; n <= s.size(); ++n)
                    QVERIFY2(decode(s.left(n), ts), s.left(n).toHex().constData());
    }

    void extended()
    {
        for (const QByteArray& s : seeds()) {
            for (int n = 1; n <= 24; ++n) {
                const QByteArray p = s + random_bytes(n);
                QVERIFY2(decode(p), p.toHex().constData());
            }
            for (int n : {200, 250, 251, 255, 256, 257, 300, 1000, 70000}) {
                const QByteArray p = s + random_bytes(n);
                QVERIFY2(decode(p), s.toHex().constData());
                QVERIFY2(decode(s + QByteArray(n, '\xFF')), s.toHex().constData());
                QVERIFY2(decode(s + QByteArray(n, '\0')), s.toHex().constData());
            }
        }
    }

    void bit_flipped()
    {
        for (const QByteArray& s : seeds())
            for (int bit = 0; bit < s.size() * 8; ++bit)
                for (uint32_t ts : {T, 0u, 0xFFFFFFFFu}) {
                    QByteArray p = s;
                    p[bit / 8] = char(p[bit / 8] ^ (1 << (bit % 8)));
                    QVERIFY2(decode(p, ts), p.toHex().constData());
                }
    }

    void mutated()
    {
        for (const QByteArray& s : seeds())
            for (int round = 0; round < 400; ++round) {
                QByteArray p = s;
                const int edits = 1 + int(rng() % 4);
                for (int e = 0; e < edits; ++e) {
                    const int at = p.isEmpty() ? 0 : int(rng() % uint32_t(p.size()));
                    switch (rng() % 4) {
                    case 0: if (!p.isEmpty()) p[at] = char(rng()); break;
                    case 1: p.insert(at, char(rng())); break;
                    case 2: p.remove(at, 1 + int(rng() % 3)); break;
                    default: if (!p.isEmpty()) p[at] = char(rng() % 2 ? 0x00 : 0xFF); break;
                    }
                }
                if (!p.isEmpty() && rng() % 8 == 0)
                    p[0] = s[0]; // keep the header so the body is what is tested
                QVERIFY2(decode(p, kReceptionTimes[rng() % (sizeof kReceptionTimes / sizeof kReceptionTimes[0])]),
                         p.toHex().constData());
            }
    }

    void random_under_every_header()
    {
        for (int header = 0; header < 256; ++header)
            for (int sub = 0; sub < 40; ++sub) {
                QByteArray p = QByteArray(1, char(header)) + random_bytes(int(rng() % 64));
                if (p.size() > 1 && (header == 0xEF || header == 0xEE || header == 0xED || header == 0x7F))
                    p[1] = char(sub < 24 ? rng() % 0x45 : rng());
                QVERIFY2(decode(p), p.toHex().constData());
            }
    }

    void all_lengths_of_ones_and_zeros()
    {
        for (int header = 0; header < 256; ++header)
            for (int len = 1; len <= 40; ++len) {
                QVERIFY(decode(QByteArray(1, char(header)) + QByteArray(len - 1, '\xFF')));
                QVERIFY(decode(QByteArray(1, char(header)) + QByteArray(len - 1, '\0')));
            }
    }

    void stringify_odd_values()
    {
        Ul_data_record record(254, T);
        const QVariant odd[] = {QVariant(std::numeric_limits<double>::quiet_NaN()),
                                QVariant(std::numeric_limits<double>::infinity()),
                                QVariant(-std::numeric_limits<double>::infinity()), QVariant(1e300),
                                QVariant(-1e300), QVariant(QStringLiteral("abc")), QVariant(), QVariant(4e9)};
        unsigned c = 0;
        for (const QVariant& v : odd)
            record.values.insert(obis_pack(1, 0, ++c, 8, 0, 255), v);
        for (int i = 0; i < 300; ++i)
            record.values.insert(obis_pack(1, 0, 200, i % 256, i / 256, 255), double(i));
        QVERIFY(parser_strova5::stringify_values(0x31, record).size() <= 255);
    }
};

QTEST_GUILESS_MAIN(tst_parser_ul_hostile)
#include "tst_parser_ul_hostile.moc"
