// Memory per modem: the registry and the controller fed one uplink per modem, as the daemon's
// main thread does (storage absent, so nothing is written anywhere), with the resident memory
// printed at 10,000, 100,000 and 1,000,000 modems, with the time per uplink on the way and the
// heap bytes in use per modem (what the allocations hold, without the allocator's slack). With
// settings, each modem also gets that many stored settings (0 to 3: its serial number, its
// firmware versions, an operator's note), as the meters' answers and the API bring them.
//
//   bench_registry [modems] [settings]      (default 1000000 modems, no settings)
#include "parser_strova5.h"
#include "radio_exchange.h"
#include "ram_modems.h"
#include "strova_controller.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <malloc.h>

namespace {

qint64 rss_kb()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

QString be32(uint v)
{
    return QStringLiteral("%1").arg(v, 8, 16, QLatin1Char('0')).toUpper();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int modems = argc > 1 ? QString(argv[1]).toInt() : 1000000;
    const int settings = argc > 2 ? QString(argv[2]).toInt() : 0;
    if (modems <= 0 || settings < 0 || settings > 3) return 2;
    RAM_modems ram({}, &app);
    strova_controller controller({}, &app);
    const uint t = uint(QDateTime::currentSecsSinceEpoch()) - 60;
    const qint64 start_kb = rss_kb();
    const size_t heap_start = mallinfo2().uordblks;
    std::printf("%d modems, one uplink and %d settings each; resident memory at start %lld kB\n", modems,
                settings, start_kb);
    std::printf("      modems     RSS kB   bytes per modem   us per uplink   heap bytes per modem\n");
    QElapsedTimer clock;
    clock.start();
    qint64 last_ns = 0;
    int last = 0;
    for (int i = 0; i < modems; ++i) {
        // An hour-profile record, as most uplinks are, with radio figures that differ from modem to
        // modem: 500 base stations whose load moves every 20,000 uplinks, two physical layers.
        const int bs = 1 + i % 500;
        const QString payload = "420010" + be32(t - 3600) + "818800000001";
        const QString json =
            QStringLiteral(R"({"msg_type":"ul_app","modem_id":%1,"payload":"%2","station_id":7,)"
                           R"("rssi":%3,"snr":%4,"time_detected":%5,"phy":"%6","dl_phy":"%7",)"
                           R"("last_dl_bs":%8,"last_dl_bs_busyness":%9,"last_dl_bs_aver_busyness":%10,)"
                           R"("last_success_dl_ts":%11})")
                .arg(10000000 + i)
                .arg(payload)
                .arg(-60 - i % 80)
                .arg(i % 30)
                .arg(t)
                .arg(i % 3 ? "PSK_500" : "PSK_5000")
                .arg(i % 3 ? "DL_PSK_500" : "DL_PSK_5000")
                .arg(bs)
                .arg((bs * 7 + i / 20000) % 100)
                .arg((bs * 3 + i / 100000) % 100)
                .arg(t - uint(i % 86400));
        Radio_ul_input input;
        if (!Radio_Exchange::read_uplink(QJsonDocument::fromJson(json.toUtf8()).object(), input, t)) {
            std::fprintf(stderr, "uplink not read: %s\n", qPrintable(json));
            return 1;
        }
        controller.slot_UL(parser_strova5::parse_ul_app(input));
        const uint32_t modem = 10000000 + uint32_t(i);
        if (settings > 0) ram.slot_set_setting(modem, "sn", be32(0x0A000000u + uint(i)).toLower(), false);
        if (settings > 1)
            ram.slot_set_setting(modem, "version",
                                 QVariantMap{{"sw", QString("5.1.%1").arg(i % 4)}, {"hw", "2.0"}}, false);
        if (settings > 2) ram.slot_set_setting(modem, "note", QString("porch %1").arg(i % 1000), false);
        const int done = i + 1;
        if (done == 10000 || done == 100000 || done == 1000000 || done == modems) {
            const qint64 kb = rss_kb(), ns = clock.nsecsElapsed();
            std::printf("%12d %10lld %17.0f %15.2f %22.0f\n", done, kb, (kb - start_kb) * 1024.0 / done,
                        (ns - last_ns) / 1000.0 / (done - last),
                        double(mallinfo2().uordblks - heap_start) / done);
            last_ns = ns;
            last = done;
        }
    }
    return 0;
}
