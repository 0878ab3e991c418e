// Uplink decoding speed on one core: a mix of the payloads meters send, decoded in a loop for
// a few seconds. Prints payloads per second.
//
// Usage: bench_parse_ul [seconds]

#include "parser_strova5.h"
#include "storage_double.h"
#include "testsupport.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QVector>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

using testsupport::hex;

QByteArray be32(uint32_t v)
{
    const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return QByteArray(b, 4);
}

// The mix, weighted roughly as a day of uplinks: current values and compact energy packets
// most often, hour-archive records next, then events, day records and answers.
QVector<QByteArray> mixed_payloads(uint32_t now)
{
    const QByteArray t = be32(now - 600);
    const QByteArray t24 = t.right(3);
    QVector<QByteArray> mix;
    for (int i = 0; i < 4; ++i) {
        mix << hex("31 03 80") + t + hex("00003039 04 80 00000010 06 80 00000020 08 80 00000030 1C 00 000003E8 40 00 0000E678 A2 00 00210042");
        mix << hex("BB") + t24 + hex("000004D2");
        mix << hex("7F 81") + t24 + hex("0003E8");
    }
    for (int i = 0; i < 3; ++i)
        mix << hex("42 AB CD") + t + hex("8188 00003039 8288 00000100 8388 00000200 8488 00000300 A078 0000E678 4851070A 0001D4C0 48510715 0003D090");
    mix << hex("43 AB CF") + t + hex("0064 000004D2 FFFFFFFF 000001 FFFFFF");
    mix << hex("44 00 10") + t + hex("8188 00003039 8288 00000100 8388 00000200 8488 00000300");
    mix << hex("33") + t + hex("05 0102") + t + hex("07 0000");
    mix << hex("4F 00 10 01 00001388") + t + hex("01") + t + hex("02") + t + hex("03") + t + hex("04");
    mix << hex("4F 00 10 00 00000064") + t + hex("09 0102 0304") + t + hex("0A 0102 0304");
    mix << hex("7F C0") + t + hex("1234");
    mix << hex("ED 4060030A 03 11 01");
    mix << hex("EE 00 1234 5678 80000000");
    mix << hex("EF 0F 0E 20 0001 0002 0003 0F 10 0004 0005 0006 0000");
    mix << hex("F1 01 5E 5880 0280 0200 1286 FF");
    return mix;
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    Storage_double storage; // reports cost a virtual call, as in the daemon
    storage.keep = false;
    const uint32_t now = uint32_t(std::time(nullptr));

    QVector<Radio_ul_input> inputs;
    for (const QByteArray& p : mixed_payloads(now)) {
        Radio_ul_input in;
        in.modem_id = 100000 + uint32_t(inputs.size());
        in.ts_get = now;
        in.hw_type = "strova5";
        in.phy = QStringLiteral("UL_PSK_FASTUL");
        in.payload = p;
        inputs << in;
    }

    qint64 payloads = 0, records = 0;
    QElapsedTimer timer;
    timer.start();
    const qint64 limit_ns = qint64(seconds * 1e9);
    while (timer.nsecsElapsed() < limit_ns) {
        for (const Radio_ul_input& in : inputs) {
            const Parser_ul_app r = parser_strova5::parse_ul_app(in);
            records += r.ul_datas.size() + r.ul_events.size() + r.ul_settings.size();
        }
        payloads += inputs.size();
    }
    const double elapsed = timer.nsecsElapsed() / 1e9;
    std::printf("bench_parse_ul: %lld mixed payloads (%d in the mix) in %.2f s: %.0f payloads/s, %.0f ns each; "
                "%lld records, %lld answers reported\n",
                payloads, int(inputs.size()), elapsed, payloads / elapsed, elapsed * 1e9 / double(payloads), records,
                storage.status_count);
    return 0;
}
