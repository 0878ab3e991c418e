#!/usr/bin/env python3
"""A small IEC 60870-5-104 controlling station over raw sockets, for tests (stdlib only).

As a module: Connection (framing, sequence numbers, optional acknowledgement every N I-frames)
and Recorder (every APDU of both directions, written as a pcap for tshark).

As a program it reads commands on stdin and answers each with exactly one line:
  open PORT                     -> ok ID | error TEXT
  close ID                      -> ok
  send ID HEX [whole|byte|random]  raw bytes                   -> ok | closed
  i ID ASDUHEX [whole|byte|random] I-frame with our N(S), N(R) -> ok | closed
  s ID                          S-frame with our N(R)           -> ok | closed
  ack ID N [MS]                 acknowledge every N received I-frames (0: never), MS late -> ok
  recv ID MS                    next APDU -> apdu HEX | timeout | closed
  collect ID COUNT MS           COUNT I-frames -> got N ioas RANGES badseq B other K [closed]
  bulk ID COUNT ASDUHEX         COUNT I-frames, then waits for the S-frame covering them
                                -> ok nr NR | timeout nr NR | closed
  closed ID MS                  waits for the station to close -> closed | open
  seq ID                        -> ns NS nr NR
  asdus ID MS                   every I-frame until MS pass without one, acknowledged, each ASDU
                                read (see read_asdu) -> asdus A / B / ... | asdus - [closed]
  giloop ID MS                  broadcast station interrogations, each after the last one was
                                confirmed and its answer went quiet, for MS, acknowledging
                                -> giloop N cons C terms T [closed]
  summary ID MS                 the same, each ASDU as "TYPE COT CA OBJECTS" -> summary A / B / ... badseq B
  record on|off                 keep APDUs for the pcap (default off)
  pcap PATH                     pcap of the recorded APDUs, PATH.txt our own reading -> ok N
  pcapfrom PATH FILE PORT       the same for APDUs another program logged, one a line:
                                "c HEX" (client to server) or "s HEX", server on PORT -> ok N
As a fake controlled station (the same commands then act on the accepted connection):
  listen                        -> ok PORT
  accept MS                     -> ok ID | timeout
  quit
"""
import calendar
import random
import select
import socket
import struct
import sys
import time

STARTDT_ACT, STARTDT_CON = 0x07, 0x0B
STOPDT_ACT, STOPDT_CON = 0x13, 0x23
TESTFR_ACT, TESTFR_CON = 0x43, 0x83


def u_frame(control):
    return bytes([0x68, 4, control, 0, 0, 0])


def s_frame(nr):
    return bytes([0x68, 4, 1, 0, (nr % 128) * 2, nr // 128])


def i_frame(ns, nr, asdu):
    return bytes([0x68, 4 + len(asdu), (ns % 128) * 2, ns // 128, (nr % 128) * 2, nr // 128]) + asdu


def kind(apdu):
    c = apdu[2]
    return "I" if c & 1 == 0 else ("S" if c & 3 == 1 else "U")


def describe(apdu):
    """Our own reading of an APDU: kind, U control, N(S), N(R), COT, P/N."""
    k = kind(apdu)
    ns = (apdu[2] >> 1) + apdu[3] * 128 if k == "I" else "-"
    nr = (apdu[4] >> 1) + apdu[5] * 128 if k in "IS" else "-"
    u = "%02X" % apdu[2] if k == "U" else "-"
    cot = apdu[8] & 0x3F if k == "I" and len(apdu) > 8 else "-"
    neg = (apdu[8] >> 6) & 1 if k == "I" and len(apdu) > 8 else "-"
    return "%s %s %s %s %s %s" % (k, u, ns, nr, cot, neg)


class Recorder:
    """APDUs of every connection in order, with the TCP numbers a capture would show."""

    def __init__(self):
        self.on = False
        self.packets = []  # (time, src, dst, seq, ack, flags, payload, dir)
        self.flows = {}

    def open(self, client, server):
        if not self.on:
            return
        f = self.flows[(client, server)] = {"c": 1000, "s": 5000}
        t = time.time()
        self.packets.append((t, client, server, 999, 0, 0x02, b"", None))
        self.packets.append((t, server, client, 4999, 1000, 0x12, b"", None))
        self.packets.append((t, client, server, 1000, 5000, 0x10, b"", None))

    def add(self, client, server, to_server, payload):
        f = self.flows.get((client, server))
        if f is None:
            return
        src, dst, a, b = (client, server, "c", "s") if to_server else (server, client, "s", "c")
        self.packets.append((time.time(), src, dst, f[a], f[b], 0x18, bytes(payload), "rx" if to_server else "tx"))
        f[a] += len(payload)

    def write(self, path):
        def checksum(data):
            if len(data) % 2:
                data += b"\0"
            s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
            while s >> 16:
                s = (s & 0xFFFF) + (s >> 16)
            return ~s & 0xFFFF

        n = 0
        with open(path, "wb") as out, open(path + ".txt", "w") as text:
            out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))
            for t, src, dst, seq, ack, flags, payload, direction in self.packets:
                tcp = struct.pack("!HHIIBBHHH", src[1], dst[1], seq & 0xFFFFFFFF, ack & 0xFFFFFFFF, 5 << 4,
                                  flags, 65535, 0, 0)
                ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp) + len(payload), 0, 0x4000, 64, 6, 0,
                                 socket.inet_aton(src[0]), socket.inet_aton(dst[0]))
                ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
                pseudo = ip[12:20] + struct.pack("!BBH", 0, 6, len(tcp) + len(payload))
                tcp = tcp[:16] + struct.pack("!H", checksum(pseudo + tcp + payload)) + tcp[18:]
                packet = ip + tcp + payload
                out.write(struct.pack("<IIII", int(t), int((t % 1) * 1e6), len(packet), len(packet)) + packet)
                if direction:
                    n += 1
                    text.write("%s %s\n" % (direction, describe(payload)))
        return n


class Connection:
    def __init__(self, port, recorder=None, host="127.0.0.1", accepted=None):
        self.sock = accepted or socket.create_connection((host, port), timeout=5)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.setblocking(False)
        self.ns = 0
        self.nr = 0
        self.unacked = 0
        self.ack_every = 0
        self.ack_delay = 0.0
        self.buf = bytearray()
        self.bad_sequence = 0
        self.is_closed = False
        self.recorder = recorder
        self.client = self.sock.getsockname()
        self.server = self.sock.getpeername()
        if accepted:
            self.client, self.server = self.server, self.client
        if recorder:
            recorder.open(self.client, self.server)

    def _write(self, data):
        end = time.time() + 10
        view = memoryview(data)
        while view:
            try:
                n = self.sock.send(view)
                view = view[n:]
            except BlockingIOError:
                self._pump(0.01)
                if time.time() > end:
                    raise OSError("peer takes nothing")

    def send(self, data, split="whole", record=True):
        if self.is_closed:
            return False
        if record and self.recorder:
            self.recorder.add(self.client, self.server, self.sock.getsockname() == self.client, data)
        try:
            if split == "whole":
                self._write(data)
            else:
                i = 0
                while i < len(data):
                    n = 1 if split == "byte" else random.randint(1, max(1, len(data) - i))
                    self._write(data[i:i + n])
                    i += n
                    time.sleep(0.001)
        except OSError:
            self.is_closed = True
            return False
        return True

    def send_i(self, asdu, split="whole"):
        ok = self.send(i_frame(self.ns, self.nr, asdu), split)
        self.ns = (self.ns + 1) % 32768
        self.unacked = 0
        return ok

    def send_s(self):
        self.unacked = 0
        return self.send(s_frame(self.nr))

    def _pump(self, timeout):
        """Reads what arrives within `timeout`; False when the station closed."""
        if self.is_closed:
            return False
        r, _, _ = select.select([self.sock], [], [], max(0.0, timeout))
        if not r:
            return True
        try:
            data = self.sock.recv(65536)
        except BlockingIOError:
            return True
        except OSError:
            data = b""
        if not data:
            self.is_closed = True
            return False
        self.buf += data
        return True

    def _take(self):
        if len(self.buf) >= 2 and len(self.buf) >= self.buf[1] + 2:
            n = self.buf[1] + 2
            apdu = bytes(self.buf[:n])
            del self.buf[:n]
            if self.recorder:
                self.recorder.add(self.client, self.server, self.sock.getsockname() != self.client, apdu)
            if kind(apdu) == "I":
                ns = (apdu[2] >> 1) + apdu[3] * 128
                if ns != self.nr:
                    self.bad_sequence += 1
                self.nr = (ns + 1) % 32768
                self.unacked += 1
                if self.ack_every and self.unacked >= self.ack_every:
                    time.sleep(self.ack_delay)
                    self.send_s()
            return apdu
        return None

    def recv(self, timeout):
        """The next APDU, None on time-out, b'' when the station closed."""
        end = time.time() + timeout
        while True:
            apdu = self._take()
            if apdu is not None:
                return apdu
            if self.is_closed:
                return b""
            left = end - time.time()
            self._pump(max(0.0, left))
            if left <= 0:
                apdu = self._take()
                return b"" if apdu is None and self.is_closed else apdu

    def wait_closed(self, timeout):
        end = time.time() + timeout
        while not self.is_closed and time.time() < end:
            self._pump(end - time.time())
            while self._take() is not None:
                pass
        return self.is_closed

    def close(self):
        self.sock.close()
        self.is_closed = True


def float32(data):
    v = struct.unpack("<f", data)[0]
    return "%.7g" % v


def read_asdu(asdu):
    """Our own reading of the monitoring and command ASDUs the daemon sends:
    "TYPE COT[N] CA[ @UNIX]: IOA=VALUE ...", a run of single points as "FIRST:BITS"."""
    if len(asdu) < 6:
        return "short"
    type_id, vsq, cot, ca = asdu[0], asdu[1], asdu[2], asdu[4] | asdu[5] << 8
    n, sq = vsq & 0x7F, vsq >> 7
    body = {1: 1, 30: 8, 13: 5, 36: 12, 45: 1, 46: 1, 100: 1, 103: 7}.get(type_id)
    head = "%d %d%s %d" % (type_id, cot & 0x3F, "N" if cot & 0x40 else "", ca)
    if body is None or sq or len(asdu) != 6 + n * (3 + body):
        return head + ": " + asdu[6:].hex().upper()
    objects, points, when = [], [], None
    for i in range(n):
        o = 6 + i * (3 + body)
        ioa = asdu[o] | asdu[o + 1] << 8 | asdu[o + 2] << 16
        b = asdu[o + 3:o + 3 + body]
        if type_id in (30, 36):
            t = b[-7:]
            ms = t[0] | t[1] << 8
            stamp = calendar.timegm((2000 + (t[6] & 0x7F), t[5] & 0x0F, t[4] & 0x1F, t[3] & 0x1F, t[2] & 0x3F,
                                     ms // 1000))
            when = stamp if when is None or when == stamp else -1
        if type_id in (1, 30):
            if points and ioa == points[0] + len(points[1]):
                points[1] += str(b[0] & 1)
            else:
                points = [ioa, str(b[0] & 1)]
                objects.append(points)
            continue
        if type_id in (13, 36):
            value = float32(b[0:4]) + ("" if b[4] == 0 else "q%02X" % b[4])
        else:
            value = b[0:1].hex().upper()
        objects.append("%d=%s" % (ioa, value))
    text = " ".join("%d:%s" % (o[0], o[1]) if isinstance(o, list) else o for o in objects)
    return head + ("" if when is None else " @%d" % when) + ": " + text


def ranges(values):
    out = []
    for v in values:
        if out and v == out[-1][1] + 1:
            out[-1][1] = v
        else:
            out.append([v, v])
    return ",".join("%d" % a if a == b else "%d-%d" % (a, b) for a, b in out) or "-"


def first_ioa(apdu):
    return apdu[12] | apdu[13] << 8 | apdu[14] << 16 if len(apdu) >= 15 else -1


def main():
    recorder = Recorder()
    connections = {}
    next_id = 1
    out = sys.stdout
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        cmd = words[0]
        try:
            c = connections.get(int(words[1])) if len(words) > 1 and words[1].isdigit() else None
            if cmd == "quit":
                break
            elif cmd == "open":
                try:
                    connections[next_id] = Connection(int(words[1]), recorder)
                    reply = "ok %d" % next_id
                    next_id += 1
                except OSError as e:
                    reply = "error %s" % e
            elif cmd == "close":
                c.close()
                reply = "ok"
            elif cmd in ("send", "i"):
                data = bytes.fromhex(words[2])
                split = words[3] if len(words) > 3 else "whole"
                ok = c.send(data, split) if cmd == "send" else c.send_i(data, split)
                reply = "ok" if ok else "closed"
            elif cmd == "s":
                reply = "ok" if c.send_s() else "closed"
            elif cmd == "ack":
                c.ack_every = int(words[2])
                c.ack_delay = int(words[3]) / 1000 if len(words) > 3 else 0.0
                reply = "ok"
            elif cmd == "recv":
                apdu = c.recv(int(words[2]) / 1000)
                reply = "timeout" if apdu is None else ("closed" if apdu == b"" else "apdu " + apdu.hex().upper())
            elif cmd == "collect":
                count, end = int(words[2]), time.time() + int(words[3]) / 1000
                ioas, other, bad, first_other = [], 0, c.bad_sequence, ""
                while len(ioas) < count:
                    apdu = c.recv(end - time.time())
                    if not apdu:
                        break
                    if kind(apdu) == "I":
                        ioas.append(first_ioa(apdu))
                    else:
                        other += 1
                        first_other = first_other or " first " + apdu.hex().upper()
                reply = "got %d ioas %s badseq %d other %d%s%s" % (len(ioas), ranges(ioas), c.bad_sequence - bad,
                                                                   other, " closed" if c.is_closed else "",
                                                                   first_other)
            elif cmd == "bulk":
                # Acknowledgements are summed, not compared: N(R) repeats across the wrap.
                count, asdu = int(words[2]), bytes.fromhex(words[3])
                state = {"last": c.ns, "acked": 0}

                def note(apdu):
                    if apdu and kind(apdu) == "S":
                        nr = (apdu[4] >> 1) + apdu[5] * 128
                        state["acked"] += (nr - state["last"]) % 32768
                        state["last"] = nr

                for _ in range(count):
                    c.send_i(asdu)
                    while True:
                        apdu = c._take()
                        if apdu is None:
                            break
                        note(apdu)
                    if not c._pump(0):
                        break
                end = time.time() + 30
                while state["acked"] < count and not c.is_closed and time.time() < end:
                    note(c.recv(end - time.time()))
                done = state["acked"] == count
                reply = "closed" if c.is_closed else ("ok" if done else "timeout") + " nr %d" % state["last"]
            elif cmd in ("asdus", "summary"):
                quiet, found, bad = int(words[2]) / 1000, [], c.bad_sequence
                while True:
                    apdu = c.recv(quiet)
                    if not apdu:
                        break
                    if kind(apdu) == "I":
                        a = apdu[6:]
                        found.append(read_asdu(a) if cmd == "asdus" else
                                     "%d %d%s %d %d" % (a[0], a[2] & 0x3F, "N" if a[2] & 0x40 else "",
                                                        a[4] | a[5] << 8, a[1] & 0x7F))
                if c.unacked:
                    c.send_s()
                reply = cmd + " " + (" / ".join(found) or "-") + (" closed" if c.is_closed else "")
                if cmd == "summary":
                    reply += " badseq %d" % (c.bad_sequence - bad)
            elif cmd == "giloop":
                end, n, cons, terms = time.time() + int(words[2]) / 1000, 0, 0, 0
                c.ack_every = 8
                while time.time() < end and not c.is_closed:
                    c.send_i(bytes.fromhex("64010600FFFF00000014"))
                    n += 1
                    # The next request waits for this one's confirmation and a quiet moment, so a
                    # slow station is not buried under requests it must all answer in full.
                    patience = time.time() + 5
                    while True:
                        apdu = c.recv(0.05)
                        if not apdu:
                            if cons >= n or time.time() > min(patience, end):
                                break
                            continue
                        if kind(apdu) == "I" and apdu[6] == 100:
                            cons += (apdu[8] & 0x3F) == 7
                            terms += (apdu[8] & 0x3F) == 10
                if c.unacked:
                    c.send_s()
                reply = "giloop %d cons %d terms %d%s" % (n, cons, terms, " closed" if c.is_closed else "")
            elif cmd == "closed":
                reply = "closed" if c.wait_closed(int(words[2]) / 1000) else "open"
            elif cmd == "seq":
                reply = "ns %d nr %d" % (c.ns, c.nr)
            elif cmd == "record":
                recorder.on = words[1] == "on"
                reply = "ok"
            elif cmd == "listen":
                listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                listener.bind(("127.0.0.1", 0))
                listener.listen(8)
                reply = "ok %d" % listener.getsockname()[1]
            elif cmd == "accept":
                r, _, _ = select.select([listener], [], [], int(words[1]) / 1000)
                if r:
                    sock, _ = listener.accept()
                    connections[next_id] = Connection(0, recorder, accepted=sock)
                    reply = "ok %d" % next_id
                    next_id += 1
                else:
                    reply = "timeout"
            elif cmd == "pcapfrom":
                logged = Recorder()
                logged.on = True
                client, server = ("127.0.0.1", 40000), ("127.0.0.1", int(words[3]))
                logged.open(client, server)
                with open(words[2]) as lines:
                    for entry in lines:
                        side, data = entry.split()
                        logged.add(client, server, side == "c", bytes.fromhex(data))
                reply = "ok %d" % logged.write(words[1])
            elif cmd == "pcap":
                reply = "ok %d" % recorder.write(words[1])
            else:
                reply = "error unknown command"
        except Exception as e:  # one answer per command, whatever went wrong
            reply = "error %s: %s" % (type(e).__name__, e)
        out.write(reply + "\n")
        out.flush()


if __name__ == "__main__":
    main()
