#!/usr/bin/python3
"""An outside transparent-channel client for the tests: plain sockets, driven by lines on stdin.
Every command answers one line on stdout.

  frame DST DN SRC SN CTL [INFO]   an HDLC frame (addresses as value and byte count, control and
                                   information in hex), checked with its own CRC-16/X.25
  tcp NAME PORT                    connect client NAME to 127.0.0.1:PORT (TCP_NODELAY)
  send NAME HEX                    write the bytes in one call
  slow NAME HEX                    write them one byte at a time, 20 ms apart
  recv NAME N SECONDS              read until N bytes came or the time is up; the hex read ("-": none)
  closed NAME SECONDS              "yes" once the daemon closed the connection, else "no"
  close NAME                       close client NAME
  udp PORT HEX                     send one datagram from this client's UDP socket
  udprecv SECONDS                  the hex of the next datagram, or "-"
"""
import socket
import sys
import time


def crc_x25(data):
    r = 0xFFFF
    for b in data:
        r ^= b
        for _ in range(8):
            r = (r >> 1) ^ 0x8408 if r & 1 else r >> 1
    return r ^ 0xFFFF


def address(value, n):
    return [((value >> (7 * k)) & 0x7F) << 1 | (1 if k == 0 else 0) for k in range(n - 1, -1, -1)]


def frame(dst, dn, src, sn, ctl, info=b""):
    header = address(dst, dn) + address(src, sn) + [ctl]
    length = len(header) + 4 + (len(info) + 2 if info else 0)
    body = [0xA0 | (length >> 8) & 7, length & 0xFF] + header
    if info:
        hcs = crc_x25(bytes(body))
        body += [hcs & 0xFF, hcs >> 8] + list(info)
    fcs = crc_x25(bytes(body))
    body += [fcs & 0xFF, fcs >> 8]
    return bytes([0x7E] + body + [0x7E])


def hexa(data):
    return data.hex().upper() if data else "-"


def main():
    clients = {}
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind(("127.0.0.1", 0))
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        cmd, args = words[0], words[1:]
        out = "ok"
        if cmd == "frame":
            dst, dn, src, sn, ctl = int(args[0]), int(args[1]), int(args[2]), int(args[3]), int(args[4], 16)
            out = hexa(frame(dst, dn, src, sn, ctl, bytes.fromhex(args[5]) if len(args) > 5 else b""))
        elif cmd == "tcp":
            s = socket.create_connection(("127.0.0.1", int(args[1])), timeout=10)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            clients[args[0]] = s
        elif cmd == "send":
            clients[args[0]].sendall(bytes.fromhex(args[1]))
        elif cmd == "slow":
            for b in bytes.fromhex(args[1]):
                clients[args[0]].sendall(bytes([b]))
                time.sleep(0.02)
        elif cmd == "recv":
            s, want, end = clients[args[0]], int(args[1]), time.time() + float(args[2])
            got = b""
            while len(got) < want and time.time() < end:
                s.settimeout(max(0.01, end - time.time()))
                try:
                    part = s.recv(want - len(got))
                except socket.timeout:
                    break
                if not part:
                    break
                got += part
            out = hexa(got)
        elif cmd == "closed":
            s, end = clients[args[0]], time.time() + float(args[1])
            out = "no"
            while time.time() < end:
                s.settimeout(max(0.01, end - time.time()))
                try:
                    if not s.recv(4096):
                        out = "yes"
                        break
                except socket.timeout:
                    break
                except ConnectionResetError:
                    out = "yes"
                    break
        elif cmd == "close":
            clients.pop(args[0]).close()
        elif cmd == "udp":
            udp.sendto(bytes.fromhex(args[1]), ("127.0.0.1", int(args[0])))
        elif cmd == "udprecv":
            udp.settimeout(float(args[0]))
            try:
                out = hexa(udp.recvfrom(65536)[0])
            except socket.timeout:
                out = "-"
        else:
            out = "unknown command " + cmd
        print(out, flush=True)


if __name__ == "__main__":
    main()
