// Hostile byte streams for the transparent channel: random bytes (rich in flags and format
// bytes) and the frames of data/hdlc_frame.txt mutated, cut at random points, through the
// stream cutter, the frame check and the address rewrite. Meant for the address/undefined-
// behaviour sanitizer build: any out-of-range read, overflow or hang fails.
#include "api_transparent_channel.h"
#include "logger.h"
#include "testsupport.h"

#include <QtTest>
#include <cstring>
#include <memory>
#include <random>

namespace {

void discard(QtMsgType, const QMessageLogContext&, const QString&) {}

bool framed(const QByteArray& f, int least = 9)
{
    return f.size() >= least && uint8_t(f[0]) == 0x7E && uint8_t(f[f.size() - 1]) == 0x7E &&
           (uint8_t(f[1]) & 0xF0) == 0xA0 && ((uint8_t(f[1]) & 7) << 8 | uint8_t(f[2])) == f.size() - 2;
}

} // namespace

class tst_hdlc_hostile : public QObject
{
    Q_OBJECT

    std::mt19937 rng{0x24};
    QList<QByteArray> seeds;
    qint64 checked = 0;

    QByteArray random_bytes(int n)
    {
        static const uint8_t favourite[] = {0x7E, 0x7E, 0xA0, 0xA7, 0xA8, 0x01, 0x00, 0xFF, 0x08};
        QByteArray out(n, '\0');
        for (int i = 0; i < n; ++i)
            out[i] = char(rng() % 3 == 0 ? favourite[rng() % sizeof favourite] : rng());
        return out;
    }

    QByteArray mutate(QByteArray b)
    {
        const int edits = int(rng() % 4) + 1;
        for (int e = 0; e < edits && !b.isEmpty(); ++e) {
            const int at = int(rng() % uint32_t(b.size()));
            switch (rng() % 5) {
            case 0:
                b[at] = char(b[at] ^ (1 << (rng() % 8)));
                break;
            case 1:
                b.remove(at, int(rng() % 4) + 1);
                break;
            case 2:
                b.insert(at, random_bytes(int(rng() % 6) + 1));
                break;
            case 3:
                b[at] = char(0x7E);
                break;
            default:
                b = b.left(at);
                break;
            }
        }
        return b;
    }

    // Both operations on bytes held in a buffer of exactly their size, so that a read of even
    // one byte past the end is caught.
    bool frame_ops(const QByteArray& bytes)
    {
        const std::unique_ptr<char[]> exact(new char[size_t(qMax(1, bytes.size()))]);
        std::memcpy(exact.get(), bytes.constData(), size_t(bytes.size()));
        const QByteArray frame = QByteArray::fromRawData(exact.get(), bytes.size());
        ++checked;
        const uint32_t r = API_transparent_channel::hdlc_check_frame(frame);
        if (r != 0 && (!framed(bytes) || (r & 0xF) < 1 || (r & 0xF) > 4)) return false;
        for (bool destination : {true, false}) {
            QByteArray rebuilt = frame;
            const int32_t old = API_transparent_channel::hdlc_replace_address(rebuilt, rng(), destination);
            if (old < 0) {
                if (!rebuilt.isEmpty()) return false;
                continue;
            }
            if (old > 0x3FFF || !framed(rebuilt, 7)) return false;
            if (r != 0 && API_transparent_channel::hdlc_check_frame(rebuilt) == 0)
                return false; // a frame that passed must pass again once rebuilt
        }
        return true;
    }

    // The stream in random reads; every frame cut is well framed and survives both operations.
    bool through_stream(const QByteArray& stream)
    {
        Hdlc_stream s;
        qint64 now = 0;
        for (int pos = 0; pos < stream.size();) {
            const int n = int(rng() % 64 == 0 ? rng() % 6000 : rng() % 80);
            now += rng() % 3000;
            for (const QByteArray& f : s.feed(stream.mid(pos, n), now)) {
                if (!framed(f) || !frame_ops(f)) return false;
            }
            if (s.buffered() > Hdlc_stream::max_buffer) return false;
            pos += n;
        }
        return true;
    }

private slots:
    void initTestCase()
    {
        for (const auto& v : testsupport::read_vectors(VECTORS("hdlc_frame.txt")))
            if (v.fields.value(0) != "-") seeds << testsupport::hex(v.fields[0]);
        QVERIFY(seeds.size() > 30);
        qInstallMessageHandler(discard);
        log_set_level(LVL_TRC);
    }
    void cleanupTestCase()
    {
        qInstallMessageHandler(nullptr);
        qInfo("%lld hostile frames checked and rebuilt", checked);
    }

    void truncated_and_mutated_frames()
    {
        for (const QByteArray& s : seeds) {
            for (int n = 0; n <= s.size(); ++n)
                QVERIFY2(frame_ops(s.left(n)), s.left(n).toHex().constData());
            for (int i = 0; i < 300; ++i) {
                const QByteArray m = mutate(s);
                QVERIFY2(frame_ops(m), m.toHex().constData());
            }
        }
    }

    void long_and_random_frames()
    {
        for (int n : {2047, 2048, 2049, 2050, 2051, 4000, 70000}) {
            QByteArray big = QByteArray(1, char(0x7E)) + random_bytes(n - 2) + char(0x7E);
            big[1] = char(0xA7);
            big[2] = char(0xFF);
            QVERIFY(frame_ops(big));
            QVERIFY(frame_ops(QByteArray(n, char(0x01))));
            QVERIFY(frame_ops(QByteArray(n, char(0x7E))));
        }
        for (int i = 0; i < 20000; ++i) {
            const QByteArray r = random_bytes(int(rng() % 40));
            QVERIFY2(frame_ops(r), r.toHex().constData());
        }
    }

    void random_streams()
    {
        for (int round = 0; round < 200; ++round) {
            QByteArray stream;
            while (stream.size() < 20000) {
                const uint32_t pick = rng() % 4;
                if (pick == 0)
                    stream += random_bytes(int(rng() % 300));
                else if (pick == 1)
                    stream += mutate(seeds.at(int(rng() % uint32_t(seeds.size()))));
                else
                    stream += seeds.at(int(rng() % uint32_t(seeds.size())));
            }
            QVERIFY(through_stream(stream));
        }
        QVERIFY(through_stream(random_bytes(200000)));
        QVERIFY(through_stream(QByteArray(100000, char(0x7E))));
        QVERIFY(through_stream(QByteArray(1, char(0x7E)) + QByteArray(100000, char(0xA7))));
    }
};

QTEST_GUILESS_MAIN(tst_hdlc_hostile)
#include "tst_hdlc_hostile.moc"
