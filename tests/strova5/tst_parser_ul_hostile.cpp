// Hostile uplinks: the payloads of data/parser_ul.txt and data/parser_tariff.txt cut short,
// extended, bit-flipped and mutated, and random bodies under every header byte, all through the
// decoder. Meant for the
// address/undefined-behaviour sanitizer build: any out-of-range read, overflow or hang fails.

#include "parser_strova5.h"
#include "testsupport.h"
#include "ram_modems.h"
#include "storage_double.h"
#include "logger.h"

#include <QElapsedTimer>
#include <QtTest>
#include <cstring>
#include <memory>
#include <random>

namespace {

constexpr uint32_t T = 1700006700; // the reception time of the vectors
constexpr uint32_t kModem = 4711;
const uint32_t kReceptionTimes[] = {T, 0, 1, 86400, 63244800, 0xFFFFFFFFu, 0xFFFEAE80u};

void discard(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

class tst_parser_ul_hostile : public QObject
{
    Q_OBJECT

    Storage_double storage;
    RAM_modems ram{QVariantMap(), nullptr};
    QList<QByteArray> seeds;
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
        const testsupport::Exact exact(payload);
        Radio_ul_input in;
        in.modem_id = kModem;
        in.ts_get = ts_get;
        in.payload = exact.get();
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
        storage.statuses.clear();
        return true;
    }

private slots:
    void initTestCase()
    {
        for (const auto& v : testsupport::read_vectors(VECTORS("parser_ul.txt")))
            if (v.section == "decode" || v.section == "log")
                seeds << testsupport::vector_bytes(v.fields[0], T);
        for (const auto& v : testsupport::read_vectors(VECTORS("parser_tariff.txt"), "uplink"))
            seeds << testsupport::vector_bytes(v.fields[0], T);
        seeds.removeAll(QByteArray());
        QVERIFY(seeds.size() > 150);
        // Odd stored relay modes reach the relay-state branch too.
        ram.add_modem(kModem, QVariantMap{{QStringLiteral("0.0.96.3.10.255_4"), QVariantMap{{"x", 1}}}});
        // Every log line is formatted (trace level) and thrown away.
        qInstallMessageHandler(discard);
        log_set_level(LVL_TRC);
    }
    void cleanupTestCase()
    {
        qInstallMessageHandler(nullptr);
        qInfo("decoded %lld hostile payloads; slowest %lld us", decoded, slowest_ns / 1000);
    }

    void truncated()
    {
        for (const QByteArray& s : seeds)
            for (uint32_t ts : kReceptionTimes)
                for (int n = 0; n <= s.size(); ++n)
                    QVERIFY2(decode(s.left(n), ts), s.left(n).toHex().constData());
    }

    void extended()
    {
        for (const QByteArray& s : seeds) {
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
        for (const QByteArray& s : seeds)
            for (int bit = 0; bit < s.size() * 8; ++bit)
                for (uint32_t ts : {T, 0u, 0xFFFFFFFFu}) {
                    QByteArray p = s;
                    p[bit / 8] = char(p[bit / 8] ^ (1 << (bit % 8)));
                    QVERIFY2(decode(p, ts), p.toHex().constData());
                }
    }

    void mutated()
    {
        for (const QByteArray& s : seeds)
            for (int round = 0; round < 150; ++round) {
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
