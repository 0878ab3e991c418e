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
  ack ID N                      acknowledge every N received I-frames (0: never) -> ok
  recv ID MS                    next APDU -> apdu HEX | timeout | closed
  collect ID COUNT MS           COUNT I-frames -> got N ioas RANGES badseq B other K [closed]
  bulk ID COUNT ASDUHEX         COUNT I-frames, then waits for the S-frame covering them
                                -> ok nr NR | timeout nr NR | closed
  closed ID MS                  waits for the station to close -> closed | open
  seq ID                        -> ns NS nr NR
  record on|off                 keep APDUs for the pcap (default off)
  pcap PATH                     pcap of the recorded APDUs, PATH.txt our own reading -> ok N
  pcapfrom PATH FILE PORT       the same for APDUs another program logged, one a line:
                                "c HEX" (client to server) or "s HEX", server on PORT -> ok N
As a fake controlled station (the same commands then act on the accepted connection):
  listen                        -> ok PORT
  accept MS                     -> ok ID | timeout
  quit
"""
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
