// Controlled-station throughput on loopback, station in-process, against a raw-socket master
// that acknowledges every 8 I-frames:
//  (a) a station interrogation answered with 10,000 type-36 objects (625 ASDUs): time from
//      ACT_CON to ACT_TERM and frames/s;
//  (b) 100,000 spontaneous ASDUs through station_enqueue_asdu: frames/s;
//  (c) the daemon's own IEC104 answering a broadcast interrogation for 140 modems with full
//      records (about 10,000 IOAs): ms from the request to the last ACT_TERM and IOAs/s, next to
//      the stack-only interrogation of (a) in the same run (ratio of IOAs/s).
// Beside each, the same bytes written over a plain loopback TCP pair to the same reader; the
// ratio station/plain is the result. Three runs.
//
// Usage: bench_iec104 [runs]

#include "iec104.h"
#include "iec60870_server.h"
#include "logger.h"
#include "parser_strova5.h"
#include "ram_modems.h"
#include "storage_double.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ms_between(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

int listen_on_free_port(int* port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (sockaddr*)&a, sizeof a);
    socklen_t n = sizeof a;
    getsockname(fd, (sockaddr*)&a, &n);
    *port = ntohs(a.sin_port);
    listen(fd, 4);
    return fd;
}

int connect_to(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    if (connect(fd, (sockaddr*)&a, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void write_all(int fd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) return;
        p += w;
        n -= size_t(w);
    }
}

// What the reader saw of one stream.
struct Reading
{
    int frames = 0;
    Clock::time_point first, last, act_con, act_term;
    std::vector<uint8_t> bytes; // every APDU received, for the plain reference
};

// Reads APDUs until `frames` I-frames arrived, acknowledging every 8.
Reading read_frames(int fd, int frames, bool keep)
{
    Reading r;
    std::vector<uint8_t> buffer(1 << 16);
    size_t have = 0;
    int unacked = 0, nr = 0;
    while (r.frames < frames) {
        ssize_t n = recv(fd, buffer.data() + have, buffer.size() - have, 0);
        if (n <= 0) break;
        have += size_t(n);
        size_t pos = 0;
        while (have - pos >= 2 && have - pos >= size_t(buffer[pos + 1]) + 2) {
            const uint8_t* apdu = buffer.data() + pos;
            const size_t size = size_t(apdu[1]) + 2;
            if (keep) r.bytes.insert(r.bytes.end(), apdu, apdu + size);
            if ((apdu[2] & 1) == 0) {
                const Clock::time_point now = Clock::now();
                if (r.frames == 0) r.first = now;
                r.last = now;
                r.frames++;
                nr = ((apdu[2] >> 1) + apdu[3] * 128 + 1) % 32768;
                if (size > 8 && (apdu[8] & 0x3F) == 7) r.act_con = now;
                if (size > 8 && (apdu[8] & 0x3F) == 10) r.act_term = now;
                if (++unacked >= 8) {
                    const uint8_t s[6] = {0x68, 4, 1, 0, uint8_t((nr % 128) * 2), uint8_t(nr / 128)};
                    write_all(fd, s, 6);
                    unacked = 0;
                }
            }
            pos += size;
        }
        memmove(buffer.data(), buffer.data() + pos, have - pos);
        have -= pos;
    }
    return r;
}

// Reads `frames` I-frames from a plain TCP peer on this host that `serve` plays on its end.
template <typename Serve> Reading read_from_plain_peer(int frames, Serve serve)
{
    int port = 0;
    int server = listen_on_free_port(&port);
    std::thread writer([&] {
        int fd = accept(server, nullptr, nullptr);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        serve(fd);
        close(fd);
    });
    int fd = connect_to(port);
    Reading r = read_frames(fd, frames, false);
    close(fd);
    writer.join();
    close(server);
    return r;
}

// Reads and drops what the reader sends until it closes.
void drain(int fd)
{
    char sink[4096];
    while (recv(fd, sink, sizeof sink, 0) > 0) {
    }
}

// The same bytes from a plain TCP peer that writes as fast as the socket takes them.
Reading plain_reference(const std::vector<uint8_t>& bytes, int frames)
{
    return read_from_plain_peer(frames, [&](int fd) {
        std::thread drainer([fd] { drain(fd); });
        write_all(fd, bytes.data(), bytes.size());
        shutdown(fd, SHUT_WR);
        drainer.join();
    });
}

// The same bytes from a plain TCP peer that keeps to the same k = 12 window: it writes what the
// window allows in one write and waits for the reader's S-frames, as any IEC 104 sender must.
Reading windowed_reference(const std::vector<uint8_t>& bytes, int frames)
{
    return read_from_plain_peer(frames, [&](int fd) {
        size_t pos = 0;
        long sent = 0, acked = 0;
        int last_nr = 0;
        uint8_t in[4096];
        size_t have = 0;
        while (pos < bytes.size()) {
            size_t end = pos;
            long batch = 0;
            while (end < bytes.size() && sent + batch - acked < 12) {
                if ((bytes[end + 2] & 1) == 0) batch++;
                end += size_t(bytes[end + 1]) + 2;
            }
            if (end > pos) {
                write_all(fd, bytes.data() + pos, end - pos);
                sent += batch;
                pos = end;
                continue;
            }
            ssize_t n = recv(fd, in + have, sizeof in - have, 0);
            if (n <= 0) break;
            have += size_t(n);
            size_t at = 0;
            while (have - at >= 6) {
                const int nr = (in[at + 4] >> 1) + in[at + 5] * 128;
                acked += (nr - last_nr + 32768) % 32768;
                last_nr = nr;
                at += 6;
            }
            memmove(in, in + at, have - at);
            have -= at;
        }
        shutdown(fd, SHUT_WR);
        drain(fd);
    });
}

const int GI_OBJECTS = 10000;
const int SPONTANEOUS = 100000;

bool answer_interrogation(void*, ClientConnection c, Asdu asdu, uint8_t)
{
    client_connection_send_act_con(c, asdu, false);
    AppLayerParameters p = client_connection_get_app_layer_parameters(c);
    sCp56Time2a time;
    cp56_create_from_ms_timestamp(&time, 1709296496789ULL);
    Asdu a = asdu_create(p, false, CS101_COT_INTERROGATED_BY_STATION, 0, 1, false, false);
    for (int i = 0; i < GI_OBJECTS; i++) {
        sInformationObject o;
        measured_float_cp56_create(&o, 1000 + i, float(i) * 0.5f, 0, &time);
        if (!asdu_add_object(a, &o)) {
            client_connection_send_asdu(c, a);
            asdu_initialize(a, p, false, CS101_COT_INTERROGATED_BY_STATION, 0, 1, false, false);
            asdu_add_object(a, &o);
        }
    }
    client_connection_send_asdu(c, a);
    asdu_destroy(a);
    client_connection_send_act_term(c, asdu);
    return true;
}

struct Station
{
    ControlledStation station;
    int port;
    int fd;
    explicit Station(int queue)
    {
        int probe = listen_on_free_port(&port);
        close(probe);
        station = station_create(queue, 100);
        station_set_server_mode(station, SERVER_MODE_CONNECTION_IS_GROUP);
        station_set_local_address(station, "127.0.0.1");
        station_set_local_port(station, port);
        station_set_interrogation_handler(station, answer_interrogation, nullptr);
        station_start(station);
        fd = connect_to(port);
        const uint8_t startdt[6] = {0x68, 4, 7, 0, 0, 0};
        write_all(fd, startdt, 6);
        uint8_t con[6];
        recv(fd, con, 6, MSG_WAITALL);
    }
    ~Station()
    {
        close(fd);
        station_destroy(station);
    }
};

const int DAEMON_MODEMS = 140;

// The daemon's station with every modem's last record in place; returns the IOAs of one answer.
struct Daemon_station
{
    RAM_modems ram{QVariantMap(), nullptr};
    Storage_double storage;
    IEC104 iec{nullptr};
    int port = 0;
    int fd = -1;
    int ioas = 0;
    Daemon_station()
    {
        Ul_data_record rec(254, 1709296496);
        for (unsigned c : {21u, 23u, 31u, 32u, 41u, 43u, 51u, 52u, 61u, 63u, 71u, 72u, 14u})
            rec.values[obis_pack(1, 0, c, 7, 0, 255)] = double(c) * 1.5;
        rec.values[obis_pack(0, 0, 96, 3, 0, 255)] = 0x1ABC2DEFu;
        rec.values[obis_pack(0, 0, 96, 3, 1, 255)] = 0x4123856Fu;
        QMap<uint32_t, uint32_t> map;
        for (int i = 1; i <= DAEMON_MODEMS; i++) {
            map.insert(uint32_t(100000 + i), uint32_t(i));
            iec.last_records.insert(uint32_t(100000 + i), rec);
        }
        ram.set_iec104_map(map);
        ioas = DAEMON_MODEMS * (1 + 23 + 48);
        int probe = listen_on_free_port(&port);
        close(probe);
        station_set_local_port(iec.station, port);
        iec.start();
        fd = connect_to(port);
        const uint8_t startdt[6] = {0x68, 4, 7, 0, 0, 0};
        write_all(fd, startdt, 6);
        uint8_t con[6];
        recv(fd, con, 6, MSG_WAITALL);
    }
    ~Daemon_station()
    {
        close(fd);
        iec.stop();
    }
};

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? atoi(argv[1]) : 3;
    std::printf("IEC 104 station on loopback, master acknowledging every 8 I-frames (k 12, w 8)\n");
    double worst_a = 1e9, worst_b = 1e9, worst_c = 1e9, slowest_c = 0;
    log_set_level(LVL_ERR);
    for (int run = 1; run <= runs; run++) {
        // (a) station interrogation
        double gi_ms, gi_ratio, gi_rate;
        {
            Station s(100);
            const uint8_t gi[16] = {0x68, 0x0E, 0, 0, 0, 0, 100, 1, 6, 0, 1, 0, 0, 0, 0, 20};
            write_all(s.fd, gi, sizeof gi);
            const int frames = 2 + (GI_OBJECTS + 15) / 16;
            Reading r = read_frames(s.fd, frames, true);
            Reading ref = plain_reference(r.bytes, frames);
            Reading paced = windowed_reference(r.bytes, frames);
            gi_ms = ms_between(r.act_con, r.act_term);
            const double ref_ms = ms_between(ref.act_con, ref.act_term);
            const double paced_ms = ms_between(paced.act_con, paced.act_term);
            gi_rate = (frames - 1) / (gi_ms / 1000.0);
            gi_ratio = gi_ms > 0 ? ref_ms / gi_ms : 0;
            std::printf(
                "run %d (a) interrogation: %d frames (%d objects), ACT_CON to ACT_TERM %.2f ms, %.0f "
                "frames/s; plain TCP %.2f ms, ratio %.3f; plain TCP in a k window %.2f ms, ratio %.3f\n",
                run, r.frames, GI_OBJECTS, gi_ms, gi_rate, ref_ms, gi_ratio, paced_ms, paced_ms / gi_ms);
        }
        // (b) spontaneous ASDUs through the queue
        double sp_ratio;
        {
            Station s(SPONTANEOUS + 16);
            AppLayerParameters p = station_get_app_layer_parameters(s.station);
            std::vector<uint8_t> kept;
            Reading r;
            std::thread reader([&] { r = read_frames(s.fd, SPONTANEOUS, true); });
            const Clock::time_point start = Clock::now();
            for (int i = 0; i < SPONTANEOUS; i++) {
                Asdu a = asdu_create(p, false, CS101_COT_SPONTANEOUS, 0, 1, false, false);
                sInformationObject o;
                asdu_add_object(a, measured_scaled_create(&o, i, i & 0x7FFF, 0));
                station_enqueue_asdu(s.station, a);
                asdu_destroy(a);
            }
            const double enqueue_ms = ms_between(start, Clock::now());
            reader.join();
            // Like the references: first frame to last; the total from the first enqueue beside it.
            const double station_ms = ms_between(r.first, r.last);
            const double total_ms = ms_between(start, r.last);
            Reading ref = plain_reference(r.bytes, SPONTANEOUS);
            const double ref_ms = ms_between(ref.first, ref.last);
            Reading paced = windowed_reference(r.bytes, SPONTANEOUS);
            const double paced_ms = ms_between(paced.first, paced.last);
            sp_ratio = ref_ms / station_ms;
            std::printf("run %d (b) spontaneous: %d frames in %.1f ms (%.1f ms from the first enqueue, "
                        "enqueue %.1f ms), "
                        "%.0f frames/s; plain TCP "
                        "%.1f ms, %.0f frames/s, ratio %.3f; plain TCP in a k window %.1f ms, ratio %.3f\n",
                        run, r.frames, station_ms, total_ms, enqueue_ms, r.frames / (station_ms / 1000.0),
                        ref_ms, r.frames / (ref_ms / 1000.0), sp_ratio, paced_ms, paced_ms / station_ms);
        }
        // (c) the daemon's interrogation
        {
            Daemon_station d;
            const uint8_t gi[16] = {0x68, 0x0E, 0, 0, 0, 0, 100, 1, 6, 0, 0xFF, 0xFF, 0, 0, 0, 20};
            const Clock::time_point asked = Clock::now();
            write_all(d.fd, gi, sizeof gi);
            const int frames = 1 + DAEMON_MODEMS * 5;
            Reading r = read_frames(d.fd, frames, false);
            const double ms = ms_between(asked, r.act_term);
            const double rate = d.ioas / (ms / 1000.0);
            const double stack_rate = GI_OBJECTS / (gi_ms / 1000.0);
            const double ratio = rate / stack_rate;
            std::printf("run %d (c) daemon interrogation: %d modems, %d frames, %d IOAs, request to last ACT_TERM "
                        "%.2f ms, %.0f IOAs/s; stack-only (a) %.0f IOAs/s, ratio %.3f\n",
                        run, DAEMON_MODEMS, r.frames, d.ioas, ms, rate, stack_rate, ratio);
            if (ratio < worst_c) worst_c = ratio;
            if (ms > slowest_c) slowest_c = ms;
        }
        if (gi_ratio < worst_a) worst_a = gi_ratio;
        if (sp_ratio < worst_b) worst_b = sp_ratio;
    }
    std::printf("lowest ratios over %d runs: (a) %.3f (b) %.3f (target 0.25 or more; (a) under 50 ms)\n",
                runs, worst_a, worst_b);
    std::printf("daemon interrogation: lowest ratio %.3f, slowest %.2f ms (target 0.5 or more, under 100 ms)\n",
                worst_c, slowest_c);
    return 0;
}
