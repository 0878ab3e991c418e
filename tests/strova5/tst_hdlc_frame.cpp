// HDLC frames without a network: the frame check, the address rewrite and the TCP stream
// cutter on the vectors of data/hdlc_frame.txt, and generated frames built here with a
// bit-by-bit CRC-16/X.25, which the rewrite must reproduce byte for byte.
#include "api_transparent_channel.h"
#include "testsupport.h"

#include <QtTest>
#include <random>

using testsupport::hex;
using testsupport::hex_of;

namespace {

// CRC-16/X.25 one bit at a time, independent of the table the daemon uses; little-endian.
QByteArray crc_x25(const QByteArray& bytes)
{
    uint16_t r = 0xFFFF;
    for (char c : bytes)
        for (int i = 0, in = uint8_t(c); i < 8; ++i, in >>= 1)
            r = ((r ^ in) & 1) ? uint16_t((r >> 1) ^ 0x8408) : uint16_t(r >> 1);
    const uint16_t v = uint16_t(r ^ 0xFFFF);
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
    QByteArray body = QByteArray(1, char(0xA0 | (f.segmented ? 8 : 0) | (length >> 8))) + char(length & 0xFF) + header;
    if (!f.information.isEmpty()) body += crc_x25(body) + f.information;
    body += crc_x25(body);
    return char(0x7E) + body + char(0x7E);
}

// Split on " / " into parts of hex, as hex.
QStringList parts(const QString& field)
{
    QStringList out;
    for (const QString& p : field.split('/', Qt::SkipEmptyParts))
        if (p.trimmed() != "-") out << hex_of(hex(p));
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
        QCOMPARE(QString::number(API_transparent_channel::hdlc_check_frame(bytes_of(f[0])), 16).toUpper(), f[1]);
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
        QStringList got;
        for (const QString& read : parts(f[0]))
            for (const QByteArray& b : s.feed(hex(read), 0))
                got << hex_of(b);
        QCOMPARE(got, parts(f[1]));
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

        // Bytes that open no frame go at once; only a start still waiting for its bytes stays.
        Hdlc_stream g;
        QVERIFY(g.feed(QByteArray(4200, 'x'), 0).isEmpty());
        QCOMPARE(g.buffered(), 0);
        QVERIFY(g.feed(QByteArray(4198, 'x') + hex("7EA008"), 0).isEmpty());
        QCOMPARE(g.buffered(), 3);
        QCOMPARE(g.feed(frame, 0), QList<QByteArray>{frame});
    }

    // Generated frames pass the check, come out of the rewrite as the frame built here from the
    // new fields (every other field kept, check sequences as the independent CRC has them), and
    // out of the stream cutter whole however the stream is cut.
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
            while (f.information.size() < info)
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
            QCOMPARE(hex_of(rebuilt), hex_of(build(want)));
            const bool in_check = (!f.information.isEmpty() && (flip == header || flip == header + 1)) ||
                                  flip >= frame.size() - 3;
            QByteArray again = broken;
            API_transparent_channel::hdlc_replace_address(again, value, destination);
            QVERIFY2(!in_check || again == rebuilt, qPrintable(at));
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

    // Valid frames among garbage rich in flags and format bytes (0xA0-0xAF), and among the heads
    // of frames that never end, read in random pieces: every valid frame comes out exactly once
    // and in order, whatever false start comes before it.
    void frames_found_in_garbage()
    {
        std::mt19937 rng(34);
        auto garbage_byte = [&] {
            const uint32_t r = rng() % 10;
            return char(r < 3 ? 0x7E : r < 6 ? 0xA0 | (rng() & 0xF) : rng() & 0xFF);
        };
        auto random_frame = [&] {
            const int sizes[] = {1, 2, 4};
            Fields f;
            f.dst_bytes = sizes[rng() % 3];
            f.src_bytes = sizes[rng() % 3];
            f.dst = rng() & ((1u << (7 * f.dst_bytes)) - 1);
            f.src = rng() & ((1u << (7 * f.src_bytes)) - 1);
            f.control = uint8_t(rng());
            const int info = rng() % 4 == 0 ? 0 : int(rng() % 300);
            while (f.information.size() < info)
                f.information += garbage_byte();
            return build(f);
        };
        for (int n = 0; n < 500; ++n) {
            QByteArray stream;
            QList<QByteArray> sent;
            for (int k = int(rng() % 8) + 1; k > 0; --k) {
                for (int g = int(rng() % 40); g > 0; --g)
                    stream += garbage_byte();
                if (rng() % 3 == 0) { // the head of a frame that never ends, right HCS included
                    const QByteArray head = random_frame();
                    stream += head.left(int(rng() % uint32_t(head.size() - 3)) + 1); // no whole FCS
                }
                const QByteArray frame = random_frame();
                stream += frame;
                sent << frame;
            }
            for (int g = int(rng() % 40); g > 0; --g)
                stream += garbage_byte();

            Hdlc_stream s;
            QList<QByteArray> cut;
            for (int pos = 0; pos < stream.size();) {
                const int len = int(rng() % 60) + 1;
                cut += s.feed(stream.mid(pos, len), 0);
                QVERIFY(s.buffered() <= Hdlc_stream::max_buffer);
                pos += len;
            }
            QVERIFY2(cut == sent, qPrintable(QStringLiteral("stream %1: %2 of %3 frames, stream %4")
                                                 .arg(n)
                                                 .arg(cut.size())
                                                 .arg(sent.size())
                                                 .arg(hex_of(stream))));
        }
    }
};

QTEST_GUILESS_MAIN(tst_hdlc_frame)
#include "tst_hdlc_frame.moc"
