// HDLC frames without a network: the frame check, the address rewrite and the TCP stream
// cutter on the vectors of data/hdlc_frame.txt, and generated frames whose check sequences are
// compared with a bit-by-bit CRC-16/X.25 written here.
#include "api_transparent_channel.h"
#include "testsupport.h"

#include <QtTest>
#include <random>

using testsupport::hex;
using testsupport::hex_of;

namespace {

// CRC-16/X.25 one bit at a time, independent of the table the daemon uses.
uint16_t crc_x25(const QByteArray& bytes)
{
    uint16_t r = 0xFFFF;
    for (char c : bytes) {
        r ^= uint8_t(c);
        for (int i = 0; i < 8; ++i)
            r = (r & 1) ? uint16_t((r >> 1) ^ 0x8408) : uint16_t(r >> 1);
    }
    return uint16_t(r ^ 0xFFFF);
}

QByteArray le(uint16_t v)
{
    return QByteArray{1, char(v & 0xFF)} + char(v >> 8);
}

QByteArray bytes_of(const QString& field)
{
    return field == "-" ? QByteArray() : hex(field);
}

struct Fields
{
    bool segmented = false;
    uint32_t dst = 0, src = 0;
    int dst_bytes = 0, src_bytes = 0;
    uint8_t control = 0;
    QByteArray information;
};

QByteArray address(uint32_t value, int n)
{
    QByteArray out;
    for (int k = n - 1; k >= 0; --k)
        out += char(((value >> (7 * k)) & 0x7F) << 1 | (k == 0 ? 1 : 0));
    return out;
}

QByteArray build(const Fields& f)
{
    const QByteArray header = address(f.dst, f.dst_bytes) + address(f.src, f.src_bytes) + char(f.control);
    const int length = header.size() + 4 + (f.information.isEmpty() ? 0 : f.information.size() + 2);
    QByteArray body;
    body += char(0xA0 | (f.segmented ? 8 : 0) | (length >> 8));
    body += char(length & 0xFF);
    body += header;
    if (!f.information.isEmpty()) body += le(crc_x25(body)) + f.information;
    body += le(crc_x25(body));
    return char(0x7E) + body + char(0x7E);
}

// Reads a frame back, verifying every length and check sequence; false on any fault.
bool parse(const QByteArray& frame, Fields& f, QString& why)
{
    const auto u = [&](int i) { return uint8_t(frame.at(i)); };
    if (frame.size() < 9 || u(0) != 0x7E || u(frame.size() - 1) != 0x7E || (u(1) & 0xF0) != 0xA0)
        return why = "framing", false;
    if (((u(1) & 7) << 8 | u(2)) != frame.size() - 2) return why = "length field", false;
    f.segmented = u(1) & 8;
    int pos = 3;
    const auto addr = [&](uint32_t& v, int& n) {
        v = 0;
        n = 0;
        while (pos < frame.size() - 3) {
            const uint8_t b = u(pos++);
            v = v << 7 | b >> 1;
            ++n;
            if (b & 1) return true;
        }
        return false;
    };
    if (!addr(f.dst, f.dst_bytes) || !addr(f.src, f.src_bytes)) return why = "address", false;
    f.control = u(pos++);
    const int fcs_at = frame.size() - 3;
    if (pos != fcs_at) {
        if (frame.mid(pos, 2) != le(crc_x25(frame.mid(1, pos - 1)))) return why = "HCS", false;
        f.information = frame.mid(pos + 2, fcs_at - pos - 2);
        if (f.information.isEmpty()) return why = "HCS without information", false;
    } else {
        f.information.clear();
    }
    if (frame.mid(fcs_at, 2) != le(crc_x25(frame.mid(1, fcs_at - 1)))) return why = "FCS", false;
    return true;
}

// Split on " / " into parts of hex.
QList<QByteArray> parts(const QString& field)
{
    QList<QByteArray> out;
    if (field == "-") return out;
    for (const QString& p : field.split('/'))
        out << hex(p);
    return out;
}

} // namespace

class tst_hdlc_frame : public QObject
{
    Q_OBJECT

    static void rows(const char* section) { testsupport::vector_rows(VECTORS("hdlc_frame.txt"), section); }

private slots:
    void check_data() { rows("check"); }
    void check()
    {
        QFETCH(QStringList, f);
        const QByteArray frame = bytes_of(f[0]);
        QCOMPARE(QString::number(API_transparent_channel::hdlc_check_frame(frame), 16).toUpper(), f[1]);
    }

    void replace_data() { rows("replace"); }
    void replace()
    {
        QFETCH(QStringList, f);
        QByteArray frame = bytes_of(f[0]);
        QCOMPARE(API_transparent_channel::hdlc_replace_address(frame, f[1].toUInt(), f[2] == "1"),
                 f[3].toInt());
        QCOMPARE(hex_of(frame), hex_of(bytes_of(f[4])));
    }

    void stream_data() { rows("stream"); }
    void stream()
    {
        QFETCH(QStringList, f);
        Hdlc_stream s;
        QList<QByteArray> cut;
        for (const QByteArray& read : parts(f[0]))
            cut += s.feed(read, 0);
        QStringList got, want;
        for (const QByteArray& b : cut)
            got << hex_of(b);
        for (const QByteArray& b : parts(f[1]))
            want << hex_of(b);
        QCOMPARE(got, want);
    }

    // A partial frame is kept for 10 s, a stream without frames for 4,200 bytes, an empty read
    // changes nothing.
    void stream_limits()
    {
        const QByteArray frame = hex("7EA00802232193BD647E");
        testsupport::Log_capture log;
        Hdlc_stream s;
        QVERIFY(s.feed(frame.left(4), 1000).isEmpty());
        QVERIFY(s.feed(QByteArray(), 50000).isEmpty());
        QCOMPARE(s.feed(frame.mid(4), 11000), QList<QByteArray>{frame}); // 10 s: still waited for
        QVERIFY(s.feed(frame.left(4), 20000).isEmpty());
        QVERIFY(!log.has("discarded"));
        // Too late: the old head goes, the new frame behind it is still cut.
        QCOMPARE(s.feed(frame.mid(4) + frame, 30001), QList<QByteArray>{frame});
        QCOMPARE(log.count("hdlc partial frame of 4 bytes discarded"), 1);

        // The closing flag left behind (it may open the next frame) never ages into a line.
        QCOMPARE(s.buffered(), 1);
        QCOMPARE(s.feed(frame, 90000), QList<QByteArray>{frame});
        QCOMPARE(log.count("discarded"), 1);

        Hdlc_stream g;
        QVERIFY(g.feed(QByteArray(4200, 'x'), 0).isEmpty());
        QVERIFY(!log.has("without a frame"));
        QVERIFY(g.feed(QByteArray(4198, 'x') + hex("7EA008"), 0).isEmpty());
        QVERIFY(log.has("hdlc 4201 bytes without a frame discarded"));
        QCOMPARE(g.buffered(), 0);
        QCOMPARE(g.feed(frame, 0), QList<QByteArray>{frame});
    }

    // Generated frames pass the check, keep every field through the rewrite, carry check
    // sequences that agree with the independent CRC, and come out of the stream cutter whole
    // however the stream is cut.
    void generated_frames_round_trip()
    {
        std::mt19937 rng(24);
        const int sizes[] = {1, 2, 4};
        QByteArray stream;
        QList<QByteArray> sent;
        for (int n = 0; n < 600; ++n) {
            Fields f;
            f.segmented = rng() & 1;
            f.dst_bytes = sizes[rng() % 3];
            f.src_bytes = sizes[rng() % 3];
            f.dst = rng() & ((1u << (7 * f.dst_bytes)) - 1);
            f.src = rng() & ((1u << (7 * f.src_bytes)) - 1);
            f.control = uint8_t(rng());
            const int info = n % 5 == 0 ? 0 : int(rng() % (n % 7 == 0 ? 2001 : 300));
            for (int i = 0; i < info; ++i)
                f.information += char(rng());
            const QByteArray frame = build(f);
            const QString at = QStringLiteral("frame %1: %2").arg(n).arg(hex_of(frame.left(16)));

            QCOMPARE(API_transparent_channel::hdlc_check_frame(frame), f.dst << 4 | uint32_t(f.dst_bytes));
            // A flipped bit fails the check; the rewrite reads neither check sequence, so a flip
            // inside one of them changes nothing in the rebuilt frame.
            const int header = 3 + f.dst_bytes + f.src_bytes + 1;
            const int check_bytes[] = {header, header + 1, frame.size() - 3, frame.size() - 2};
            const int flip = n % 3 == 0 ? check_bytes[n % 4] : int(rng() % uint32_t(frame.size() - 2)) + 1;
            QByteArray broken = frame;
            broken[flip] = char(broken[flip] ^ (1 << (rng() % 8)));
            QVERIFY2(API_transparent_channel::hdlc_check_frame(broken) == 0, qPrintable(at));

            const bool destination = rng() & 1;
            const uint32_t value = rng();
            Fields want = f;
            uint32_t& a = destination ? want.dst : want.src;
            const int a_bytes = destination ? f.dst_bytes : f.src_bytes;
            int32_t old = 0;
            if (a_bytes == 2) {
                old = int32_t(a & 0x7F);
                a = (a & ~0x7Fu) | (value & 0x7F);
            } else if (a_bytes == 4) {
                old = int32_t(a >> 14);
                a = (a & 0x3FFF) | (value & 0x3FFF) << 14;
            }
            QByteArray rebuilt = frame;
            QVERIFY2(API_transparent_channel::hdlc_replace_address(rebuilt, value, destination) == old,
                     qPrintable(at));
            Fields got;
            QString why;
            QVERIFY2(parse(rebuilt, got, why), qPrintable(at + " " + why));
            QCOMPARE(got.dst, want.dst);
            QCOMPARE(got.src, want.src);
            QCOMPARE(got.dst_bytes, want.dst_bytes);
            QCOMPARE(got.src_bytes, want.src_bytes);
            QCOMPARE(got.control, want.control);
            QCOMPARE(got.segmented, want.segmented);
            QCOMPARE(got.information, want.information);
            QCOMPARE(API_transparent_channel::hdlc_check_frame(rebuilt),
                     want.dst << 4 | uint32_t(want.dst_bytes));
            const bool in_check = (!f.information.isEmpty() && (flip == header || flip == header + 1)) ||
                                  flip >= frame.size() - 3;
            if (in_check) {
                QByteArray again = broken;
                API_transparent_channel::hdlc_replace_address(again, value, destination);
                QVERIFY2(again == rebuilt, qPrintable(at));
            }
            stream += frame;
            sent << frame;
        }

        Hdlc_stream s;
        QList<QByteArray> cut;
        for (int pos = 0; pos < stream.size();) {
            const int n = int(rng() % 700) + (rng() % 4 == 0 ? 0 : 1);
            cut += s.feed(stream.mid(pos, n), 0);
            pos += n;
        }
        QCOMPARE(cut.size(), sent.size());
        QVERIFY(cut == sent);
    }
};

QTEST_GUILESS_MAIN(tst_hdlc_frame)
#include "tst_hdlc_frame.moc"
