#!/usr/bin/env python3
"""Anonymous attackers and a probe against an HTTP port, for a bounded time; loopback only.

    http_attack.py PORT SECONDS probe PATH
        only the probe: GET PATH every 0.2 s, each given 2 s
    http_attack.py PORT SECONDS slowbody N LENGTH PIECE GAP PATH [REOPEN [NET [multipart]]]
        also N connections from 127.0.NET.2-50 that declare a body of LENGTH bytes and send PIECE
        bytes every GAP s, opened over the first GAP s; each one the server closes (or refuses) is
        opened again REOPEN s later (default GAP; NET 0); "multipart": the bodies are uploads
    http_attack.py PORT SECONDS repeat N FILE TYPE PATH [ADDRESSES [TOKEN]]
        also N clients, from 127.0.0.2-(N+1), each POSTing the body in FILE with Content-Type TYPE to
        PATH again as soon as it is answered, the probe asking /api/info; "sent" counts the
        requests, "answered" the 200s; with ADDRESSES, each request comes from the next of that
        many addresses of 127.1.0.0/16 instead, and with TOKEN it carries it as the cookie
    http_attack.py PORT SECONDS halfclose N PATH
        also N clients that connect, send half a request line and close, again and again
    http_attack.py PORT SECONDS idle N PATH
        also N connections from 127.0.0.2-50 holding half a request, each opened again when closed
    http_attack.py PORT SECONDS places N LENGTH PIECE ADDRESSES TOKEN
        N uploads from ADDRESSES addresses of 127.2.0.0/16 (one: all from 127.2.0.1), each declaring
        LENGTH bytes and sending PIECE bytes a second, opened again when answered or closed; beside
        them an operator posts a command a second (/api/cmd/send, under TOKEN) and the probe, also
        under TOKEN, asks a setting every 0.2 s, both from 127.0.0.1; "operator" and "operator_ok"
        count the commands asked and answered 200, "pushed" the uploads answered 503
    http_attack.py PORT SECONDS reconnect N ADDRESSES TOKEN
        N clients, each request from the next of ADDRESSES addresses of 127.3.0.0/16, asking /api/info
        on a new connection again as soon as the last is answered; beside them an operator posts a
        command every 0.5 s on a new connection under TOKEN; "unanswered" counts the connections of
        the operator, "dropped" those of the clients, closed before a status line came
    http_attack.py PORT SECONDS dots N PATH
        N HEAD requests for dot-segment variants of PATH ("/ui/app.js" -> "/ui/./app.js", ...),
        one after another; then the probe is not run
Prints {"probes": n, "ok": answered 200, "max_wait": s, "closed": attack connections closed}.
"""
import itertools
import json
import socket
import sys
import threading
import time


def request(port, text, timeout, source=None):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                 source_address=(source, 0) if source else None)
    try:
        s.sendall(text)
        reply = b""
        while b"\r\n\r\n" not in reply:
            data = s.recv(65536)
            if not data:
                break
            reply += data
        return reply
    finally:
        s.close()


def probe(port, path, until, out, token=""):
    cookie = "Cookie: TARVIK_JWT=%s\r\n" % token if token else ""
    text = ("GET %s HTTP/1.1\r\nHost: x\r\n%s\r\n" % (path, cookie)).encode()
    while time.monotonic() < until:
        start = time.monotonic()
        try:
            reply = request(port, text, 2.0)
            ok = reply.startswith(b"HTTP/1.1 200 ")
        except OSError:
            ok = False
        wait = time.monotonic() - start
        out["probes"] += 1
        out["ok"] += ok
        out["max_wait"] = max(out["max_wait"], wait)
        time.sleep(max(0.0, 0.2 - wait))


def slow_body(port, index, n, length, piece, gap, reopen, net, path, until, out, ctype):
    source = "127.0.%d.%d" % (net, 2 + index % 49)
    head = ("POST %s HTTP/1.1\r\nHost: x\r\nContent-Type: %s\r\n"
            "Content-Length: %d\r\n\r\n" % (path, ctype, length)).encode()
    # The connections are opened over the attacker's first tick, as its steady pace spreads them.
    time.sleep(gap * index / n)
    while time.monotonic() < until:
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=5, source_address=(source, 0))
            s.sendall(head)
            sent = 0
            while sent < length and time.monotonic() < until:
                s.sendall(b"x" * piece)
                sent += piece
                s.settimeout(gap)
                try:
                    if not s.recv(65536):
                        break
                    break  # an answer (the 408 or a 503) ends this connection too
                except socket.timeout:
                    pass
            out["closed"] += 1
            s.close()
        except OSError:
            out["closed"] += 1
        time.sleep(reopen)


def repeat(port, index, body, ctype, path, until, out, addresses=0, token="", turn=None):
    source = "127.0.0.%d" % (2 + index)
    cookie = "Cookie: TARVIK_JWT=%s\r\n" % token if token else ""
    head = ("POST %s HTTP/1.1\r\nHost: x\r\n%sContent-Type: %s\r\nContent-Length: %d\r\n\r\n"
            % (path, cookie, ctype, len(body))).encode()
    while time.monotonic() < until:
        if addresses:
            k = next(turn) % addresses
            source = "127.1.%d.%d" % (k // 250, 1 + k % 250)
        try:
            reply = request(port, head + body, 30, source)
            out["sent"] += 1
            out["answered"] += reply.startswith(b"HTTP/1.1 200 ")
        except OSError:
            out["sent"] += 1


def place_upload(port, index, addresses, length, piece, until, out):
    k = index % addresses
    source = "127.2.%d.%d" % (k // 250, 1 + k % 250)
    head = ("POST /api/info HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
            "Content-Length: %d\r\n\r\n" % length).encode()
    # Opened over the first second, as a steady pace spreads them.
    time.sleep(index / 300.0)
    while time.monotonic() < until:
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=5, source_address=(source, 0))
            s.sendall(head)
            sent = 0
            reply = b""
            while time.monotonic() < until:
                if sent < length:
                    n = min(piece, length - sent)
                    s.sendall(b"x" * n)
                    sent += n
                s.settimeout(1.0)
                try:
                    data = s.recv(65536)
                    if not data:
                        break
                    reply += data
                    if b"\r\n\r\n" in reply:
                        break
                except socket.timeout:
                    pass
            out["closed"] += 1
            out["pushed"] += reply.startswith(b"HTTP/1.1 503 ")
            s.close()
        except OSError:
            out["closed"] += 1
            time.sleep(0.2)


def command_request(token):
    body = b"modem=3002&code=version"
    return ("POST /api/cmd/send HTTP/1.1\r\nHost: x\r\nCookie: TARVIK_JWT=%s\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n"
            % (token, len(body))).encode() + body


def operator(port, token, until, out):
    text = command_request(token)
    while time.monotonic() < until:
        start = time.monotonic()
        out["operator"] += 1
        try:
            out["operator_ok"] += request(port, text, 5.0).startswith(b"HTTP/1.1 200 ")
        except OSError:
            pass
        time.sleep(max(0.0, 1.0 - (time.monotonic() - start)))


def status_line(port, text, timeout, source=None):
    """The reply's first line; empty when the connection was closed, reset or left silent before
    it. Raises OSError when no connection was made."""
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                 source_address=(source, 0) if source else None)
    reply = b""
    try:
        s.sendall(text)
        while b"\r\n" not in reply:
            data = s.recv(65536)
            if not data:
                break
            reply += data
    except OSError:
        pass
    finally:
        s.close()
    return reply.split(b"\r\n", 1)[0] if b"\r\n" in reply else b""


def reconnect(port, addresses, until, out, turn):
    text = b"GET /api/info HTTP/1.1\r\nHost: x\r\n\r\n"
    while time.monotonic() < until:
        k = next(turn) % addresses
        try:
            line = status_line(port, text, 10, "127.3.%d.%d" % (k // 250, 1 + k % 250))
        except OSError:
            time.sleep(0.05)  # no connection made (the listen queue full): nothing was refused
            continue
        out["sent"] += 1
        out["answered"] += line.startswith(b"HTTP/1.1 200 ")
        out["dropped"] += not line


def operator_twice(port, token, until, out):
    text = command_request(token)
    while time.monotonic() < until:
        start = time.monotonic()
        try:
            line = status_line(port, text, 10)
            out["operator"] += 1
            out["operator_ok"] += line.startswith(b"HTTP/1.1 200 ")
            out["unanswered"] += not line
        except OSError:
            pass  # no connection made
        time.sleep(max(0.0, 0.5 - (time.monotonic() - start)))


def half_close(port, path, until, out):
    text = ("GET %s HTTP/1.1\r\nHost: x\r\nX-Pad: " % path).encode()
    while time.monotonic() < until:
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=2)
            s.sendall(text)
            s.close()
            out["closed"] += 1
        except OSError:
            time.sleep(0.01)


def idle(port, index, path, until, out):
    source = "127.0.0.%d" % (2 + index % 49)
    text = ("GET %s HTTP/1.1\r\nHost: x\r\n" % path).encode()
    while time.monotonic() < until:
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=5, source_address=(source, 0))
            s.sendall(text)
            s.settimeout(max(0.1, until - time.monotonic()))
            try:
                s.recv(65536)
            except socket.timeout:
                pass
            out["closed"] += 1
            s.close()
        except OSError:
            out["closed"] += 1
            time.sleep(0.1)


def dots(port, n, path):
    head, name = path.rsplit("/", 1)
    for i in range(n):
        variant = head + "/" + "./" * (i % 1000 + 1) + ("/" * (i // 1000)) + name
        request(port, ("HEAD %s HTTP/1.1\r\n\r\n" % variant).encode(), 10)


def main():
    port, seconds, mode = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
    out = {"probes": 0, "ok": 0, "max_wait": 0.0, "closed": 0, "sent": 0, "answered": 0, "operator": 0,
           "operator_ok": 0, "pushed": 0, "unanswered": 0, "dropped": 0}
    until = time.monotonic() + seconds
    if mode == "dots":
        dots(port, int(sys.argv[4]), sys.argv[5])
        print(json.dumps(out))
        return
    threads = []
    token = ""
    if mode == "places":
        n, length, piece, addresses, token = sys.argv[4:9]
        for i in range(int(n)):
            threads.append(threading.Thread(
                target=place_upload, daemon=True,
                args=(port, i, int(addresses), int(length), int(piece), until, out)))
        threads.append(threading.Thread(target=operator, daemon=True, args=(port, token, until, out)))
        probe_path = "/api/setting?modem=3001&code=version"
    elif mode == "slowbody":
        n, length, piece, gap, path = sys.argv[4:9]
        reopen = float(sys.argv[9]) if len(sys.argv) > 9 else float(gap)
        net = int(sys.argv[10]) if len(sys.argv) > 10 else 0
        ctype = ("multipart/form-data; boundary=b" if len(sys.argv) > 11 and sys.argv[11] == "multipart"
                 else "application/x-www-form-urlencoded")
        for i in range(int(n)):
            threads.append(threading.Thread(
                target=slow_body, daemon=True,
                args=(port, i, int(n), int(length), int(piece), float(gap), reopen, net, path, until, out,
                      ctype)))
        probe_path = path
    elif mode == "repeat":
        n, name, ctype, target = sys.argv[4:8]
        addresses = int(sys.argv[8]) if len(sys.argv) > 8 else 0
        token = sys.argv[9] if len(sys.argv) > 9 else ""
        turn = itertools.count()
        probe_path = "/api/info"
        with open(name, "rb") as f:
            body = f.read()
        for i in range(int(n)):
            threads.append(threading.Thread(target=repeat, daemon=True,
                                            args=(port, i, body, ctype, target, until, out, addresses, token,
                                                  turn)))
    elif mode == "reconnect":
        n, addresses, token = sys.argv[4:7]
        turn = itertools.count()
        # The operator first: hundreds of busy threads make each later start slow.
        threads.append(threading.Thread(target=operator_twice, daemon=True, args=(port, token, until, out)))
        for i in range(int(n)):
            threads.append(threading.Thread(target=reconnect, daemon=True,
                                            args=(port, int(addresses), until, out, turn)))
        probe_path = "/api/info"
    elif mode == "halfclose":
        n, probe_path = sys.argv[4:6]
        for i in range(int(n)):
            threads.append(threading.Thread(target=half_close, daemon=True, args=(port, probe_path, until, out)))
    elif mode == "idle":
        n, probe_path = sys.argv[4:6]
        for i in range(int(n)):
            threads.append(threading.Thread(target=idle, daemon=True, args=(port, i, probe_path, until, out)))
    else:
        probe_path = sys.argv[4]
    for t in threads:
        t.start()
    probe(port, probe_path, until, out, token)
    for t in threads:
        t.join(timeout=10)
    print(json.dumps(out))


if __name__ == "__main__":
    main()
