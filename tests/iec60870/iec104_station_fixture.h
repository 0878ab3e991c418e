#pragma once
// The test station (in-process, scripted callbacks, settable APCI times) and our own IEC 104
// master (iec104_master.py, driven line by line over its standard input).

#include "iec60870_server.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QMap>
#include <mutex>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

namespace iec104test {

// A copy sharing nothing with `list`, so the thread that appends to it never touches the copy.
inline QStringList deep_copy(const QStringList& list)
{
    QStringList out;
    for (const QString& s : list)
        out << QString(s.constData(), s.size());
    return out;
}

using testsupport::free_port;

inline QString master_script()
{
    return QStringLiteral(STROVA_SOURCE_DIR "/tests/iec60870/iec104_master.py");
}

class Master
{
public:
    Master()
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStandardPaths::findExecutable("python3"), {master_script()});
        process.waitForStarted(10000);
    }
    ~Master()
    {
        process.write("quit\n");
        if (!process.waitForFinished(5000)) process.kill();
    }
    // One command, its one answer line.
    QString operator()(const QString& line, int timeout_ms = 120000)
    {
        process.write(line.toUtf8() + "\n");
        QElapsedTimer t;
        t.start();
        while (!process.canReadLine()) {
            if (t.elapsed() > timeout_ms || process.state() != QProcess::Running)
                return "no answer to " + line;
            process.waitForReadyRead(100);
        }
        return QString::fromUtf8(process.readLine()).trimmed();
    }
    // A command whose answer is read later with answer(), so the caller may work meanwhile.
    void start(const QString& line) { process.write(line.toUtf8() + "\n"); }
    QString answer(int timeout_ms = 120000)
    {
        QElapsedTimer t;
        t.start();
        while (!process.canReadLine()) {
            if (t.elapsed() > timeout_ms || process.state() != QProcess::Running) return "no answer";
            process.waitForReadyRead(100);
        }
        return QString::fromUtf8(process.readLine()).trimmed();
    }
    // Opens a connection to `port`: its id, or -1.
    int open(int port)
    {
        const QString r = (*this)(QString("open %1").arg(port));
        return r.startsWith("ok ") ? r.mid(3).toInt() : -1;
    }

private:
    QProcess process;
};

// Hex of an ASDU with the default parameters: type, VSQ, COT (P/N as 0x40), OA 0, CA, then `body`.
inline QString asdu_hex(int type, int vsq, int cot, int ca, const QString& body)
{
    return QString("%1%2%3%4%5%6")
               .arg(type, 2, 16, QChar('0'))
               .arg(vsq, 2, 16, QChar('0'))
               .arg(cot, 2, 16, QChar('0'))
               .arg(0, 2, 16, QChar('0'))
               .arg(ca & 0xFF, 2, 16, QChar('0'))
               .arg(ca >> 8, 2, 16, QChar('0'))
               .toUpper() +
           body;
}

struct StationOptions
{
    int mode = SERVER_MODE_CONNECTION_IS_GROUP;
    int low_queue = 100;
    int k = 12, w = 8, t0 = 30, t1 = 15, t2 = 10;
    int port = 0;
};

// tshark's reading of a pcap written by iec104_master.py against the master's own reading
// (PATH.txt): frame kinds, U types, N(S), N(R), causes and P/N of every APDU, and no malformed
// frame or expert warning. Empty when they agree; `negative` counts the I-frames with P/N set.
inline QString tshark_disagrees(const QString& pcap, int server_port, int apdus, int* negative)
{
    QProcess tshark;
    tshark.start("tshark", {"-r", pcap,
                            "-d", QString("tcp.port==%1,iec60870_104").arg(server_port),
                            "-Y", "iec60870_104",
                            "-T", "fields",
                            "-E", "separator=|",
                            "-E", "occurrence=f",
                            "-e", "tcp.dstport",
                            "-e", "iec60870_104.type",
                            "-e", "iec60870_104.utype",
                            "-e", "iec60870_104.tx",
                            "-e", "iec60870_104.rx",
                            "-e", "iec60870_asdu.causetx",
                            "-e", "iec60870_asdu.nega",
                            "-e", "_ws.malformed",
                            "-e", "_ws.expert.severity"});
    if (!tshark.waitForFinished(60000)) return "tshark did not finish";
    const QStringList theirs = QString::fromUtf8(tshark.readAllStandardOutput()).trimmed().split('\n');
    QFile ours_file(pcap + ".txt");
    if (!ours_file.open(QIODevice::ReadOnly)) return "no " + pcap + ".txt";
    const QStringList ours = QString::fromUtf8(ours_file.readAll()).trimmed().split('\n');
    if (theirs.size() != ours.size() || ours.size() != apdus)
        return QString("APDUs: tshark %1, ours %2, written %3")
            .arg(theirs.size())
            .arg(ours.size())
            .arg(apdus);
    // tshark's frame types: 0 I, 1 S, 3 U; its U types: the control byte's function bits.
    static const QMap<QString, int> kinds{{"I", 0}, {"S", 1}, {"U", 3}};
    *negative = 0;
    for (int i = 0; i < ours.size(); i++) {
        const QStringList t = theirs[i].split('|'), o = ours[i].split(' ');
        const QString where = QString("APDU %1: ours %2, tshark %3").arg(i).arg(ours[i], theirs[i]);
        if (t.size() != 9 || o.size() != 7) return where;
        const bool agree =
            t[7].isEmpty() && (t[8].isEmpty() || t[8].toLongLong() < 6291456) && // below warning
            (t[0].toInt() == server_port) == (o[0] == "rx") && t[1].toInt(nullptr, 0) == kinds[o[1]] &&
            (o[1] != "U" || t[2].toInt(nullptr, 0) == (o[2].toInt(nullptr, 16) >> 2)) &&
            (o[1] != "I" || t[3] == o[3]) && (o[1] == "U" || t[4] == o[4]) &&
            (o[1] != "I" || (t[5] == o[5] && t[6].toInt() == o[6].toInt()));
        if (!agree) return where;
        if (o[1] == "I" && o[6] == "1") ++*negative;
    }
    return QString();
}

// A station with scripted callbacks; what they saw is readable from the test thread.
class TestStation
{
public:
    using Options = StationOptions;

    explicit TestStation(const Options& o = Options())
    {
        fixed_port = o.port != 0;
        port = fixed_port ? o.port : free_port();
        station = station_create(o.low_queue, 100);
        station_set_server_mode(station, o.mode);
        station_set_local_address(station, "127.0.0.1");
        station_set_local_port(station, port);
        ApciParameters a = station_get_apci_parameters(station);
        a->k = o.k;
        a->w = o.w;
        a->t0 = o.t0;
        a->t1 = o.t1;
        a->t2 = o.t2;
        station_set_interrogation_handler(station, on_interrogation, this);
        station_set_asdu_handler(station, on_asdu, this);
        station_set_connection_request_handler(station, on_request, this);
        station_set_connection_event_handler(station, on_event, this);
    }
    ~TestStation() { station_destroy(station); }
    // A probed port may be taken by another socket before the station binds it: the station then
    // tries another probed port (a port the caller gave is tried once).
    bool start()
    {
        for (int attempt = 0; attempt < 5; attempt++) {
            if (attempt > 0) {
                if (fixed_port) break;
                station_stop(station); // joins the server thread that failed to bind
                port = free_port();
                station_set_local_port(station, port);
            }
            station_start(station);
            if (station_is_running(station)) return true;
        }
        return false;
    }

    // "opened 0", "activated 1", ...: the event and the ordinal of the connection.
    QStringList events() const
    {
        std::lock_guard<std::mutex> l(mutex);
        return deep_copy(event_list);
    }
    int count(const QString& event) const { return events().count(event); }
    int interrogations() const
    {
        std::lock_guard<std::mutex> l(mutex);
        return interrogation_count;
    }
    int requests() const
    {
        std::lock_guard<std::mutex> l(mutex);
        return request_count;
    }
    ClientConnection connection(int ordinal) const
    {
        std::lock_guard<std::mutex> l(mutex);
        return ordinal < connection_list.size() ? connection_list[ordinal] : nullptr;
    }

    // Spontaneous measured values (type 11), IOA first, first + 1, ...
    void enqueue(int count, int first = 0)
    {
        AppLayerParameters p = station_get_app_layer_parameters(station);
        for (int i = 0; i < count; i++) {
            Asdu a = asdu_create(p, false, CS101_COT_SPONTANEOUS, 0, 1, false, false);
            sInformationObject o;
            asdu_add_object(a, measured_scaled_create(&o, first + i, i & 0x7FFF, 0));
            station_enqueue_asdu(station, a);
            asdu_destroy(a);
        }
    }

    ControlledStation station = nullptr;
    int port = 0;
    // What a station interrogation answers between ACT_CON and ACT_TERM: ASDUs of one object each.
    std::atomic<int> interrogation_answers{3};

private:
    bool fixed_port = false;

    static bool on_interrogation(void* parameter, ClientConnection c, Asdu asdu, uint8_t)
    {
        TestStation* self = static_cast<TestStation*>(parameter);
        {
            std::lock_guard<std::mutex> l(self->mutex);
            self->interrogation_count++;
        }
        client_connection_send_act_con(c, asdu, false);
        AppLayerParameters p = client_connection_get_app_layer_parameters(c);
        const int n = self->interrogation_answers;
        for (int i = 0; i < n; i++) {
            Asdu a =
                asdu_create(p, false, CS101_COT_INTERROGATED_BY_STATION, 0, asdu_get_ca(asdu), false, false);
            sInformationObject o;
            asdu_add_object(a, measured_scaled_create(&o, i, i & 0x7FFF, 0));
            client_connection_send_asdu(c, a);
            asdu_destroy(a);
        }
        client_connection_send_act_term(c, asdu);
        return true;
    }
    // Takes single commands (type 45, activation), refuses everything else.
    static bool on_asdu(void*, ClientConnection c, Asdu asdu)
    {
        if (asdu_get_type_id(asdu) != 45 || asdu_get_cot(asdu) != CS101_COT_ACTIVATION) return false;
        client_connection_send_act_con(c, asdu, false);
        return true;
    }
    static bool on_request(void* parameter, const char*)
    {
        TestStation* self = static_cast<TestStation*>(parameter);
        std::lock_guard<std::mutex> l(self->mutex);
        self->request_count++;
        return true;
    }
    static void on_event(void* parameter, ClientConnection c, int event)
    {
        static const char* names[] = {"opened", "closed", "activated", "deactivated"};
        TestStation* self = static_cast<TestStation*>(parameter);
        std::lock_guard<std::mutex> l(self->mutex);
        if (event == CONNECTION_OPENED) self->connection_list << c;
        // Slots are reused: the latest connection with this handle is the one meant.
        int ordinal = -1;
        for (int i = self->connection_list.size() - 1; i >= 0 && ordinal < 0; i--)
            if (self->connection_list[i] == c) ordinal = i;
        self->event_list << QString("%1 %2").arg(names[event & 3]).arg(ordinal);
    }

    mutable std::mutex mutex; // std, so a thread sanitizer sees it
    QStringList event_list;
    QList<ClientConnection> connection_list;
    int interrogation_count = 0;
    int request_count = 0;
};

} // namespace iec104test
