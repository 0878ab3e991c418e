#!/usr/bin/env python3
"""Report clients against the daemon's HTTP port, for a bounded time; loopback only.

    report_clients.py PORT SECONDS loop N TOKENS PATH
        N clients asking PATH again as soon as answered, each request from the next of 1000
        addresses of 127.2.0.0/16; TOKENS is a file of tokens, one a line, taken in turn (empty:
        no token). Prints {"sent": n, "status": {code: count}}.
    report_clients.py PORT SECONDS slow TOKEN PATH RATE
        one caller with TOKEN: a new request for PATH every 0.5 s, at most 6 open, each answer
        read at RATE bytes a second through a small receive buffer, until the time is up (an
        answer begun later counts as "late").
        Prints {"sent": n, "status": {code: count}, "read": bytes}.
"""
import json
import socket
import sys
import threading
import time


def ask(port, path, token, source=None, rcvbuf=0, timeout=30):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    if source:
        s.bind((source, 0))
    s.settimeout(timeout)
    s.connect(("127.0.0.1", port))
    head = "GET %s HTTP/1.1\r\nHost: x\r\n" % path
    if token:
        head += "Cookie: TARVIK_JWT=%s\r\n" % token
    s.sendall((head + "\r\n").encode())
    return s


def status_of(data):
    try:
        return int(data.split(b" ", 2)[1])
    except (IndexError, ValueError):
        return 0


def loop(port, index, n, tokens, path, until, out, lock):
    k = index
    while time.monotonic() < until:
        source = "127.2.%d.%d" % (k % 1000 // 250, 1 + k % 250)
        token = tokens[k % len(tokens)] if tokens else ""
        k += n
        code = 0
        try:
            s = ask(port, path, token, source, timeout=max(1.0, until - time.monotonic() + 5))
            data = b""
            while True:
                piece = s.recv(262144)
                if not piece:
                    break
                if not data:
                    code = status_of(piece)
                data = data or piece[:32]
            s.close()
        except OSError:
            pass
        with lock:
            out["sent"] += 1
            out["status"][code] = out["status"].get(code, 0) + 1


def slow_one(port, token, path, rate, until, out, lock, open_count):
    code = 0
    try:
        s = ask(port, path, token, rcvbuf=16384, timeout=40)
        first = True
        while time.monotonic() < until:
            piece = s.recv(4096)
            if not piece:
                break
            if first:
                # Begun after the time was up, once this caller's earlier answers had left: not
                # built while it read them.
                if time.monotonic() >= until:
                    code = "late"
                    break
                code, first = status_of(piece), False
            with lock:
                out["read"] += len(piece)
            time.sleep(len(piece) / rate)
        s.close()
    except OSError:
        pass
    with lock:
        out["status"][code] = out["status"].get(code, 0) + 1
        open_count[0] -= 1


def main():
    port, seconds, mode = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
    until = time.monotonic() + seconds
    out = {"sent": 0, "status": {}, "read": 0}
    lock = threading.Lock()
    threads = []
    if mode == "loop":
        n, path = int(sys.argv[4]), sys.argv[6]
        tokens = [t.strip() for t in open(sys.argv[5]).read().split("\n") if t.strip()] if sys.argv[5] else []
        for i in range(n):
            threads.append(threading.Thread(target=loop, daemon=True,
                                            args=(port, i, n, tokens, path, until, out, lock)))
            threads[-1].start()
    else:
        token, path, rate = sys.argv[4], sys.argv[5], float(sys.argv[6])
        open_count = [0]
        while time.monotonic() < until:
            if open_count[0] < 6:
                with lock:
                    open_count[0] += 1
                    out["sent"] += 1
                threads.append(threading.Thread(target=slow_one, daemon=True,
                                                args=(port, token, path, rate, until, out, lock, open_count)))
                threads[-1].start()
            time.sleep(0.5)
    for t in threads:
        t.join(max(0.0, until - time.monotonic()) + 10)
    out["status"] = {str(k): v for k, v in out["status"].items()}
    print(json.dumps(out))


if __name__ == "__main__":
    main()
