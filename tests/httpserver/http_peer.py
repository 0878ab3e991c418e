#!/usr/bin/env python3
"""A raw-socket HTTP client: sends exactly the bytes it is told, when told; reports what came back.

    http_peer.py PORT SCRIPT         JSON steps on one connection ({N*text} repeats text): send,
        trickle (a byte a write, "gap" s apart), sleep, pump (writes on for "seconds" in the
        background), stream ("bytes" in "piece"s, "gap" s apart, stopped by an early reply),
        shut (end of our sending), read (to the close, at most s, or until the reply holds
        "until"); prints {"reply": HEX, "closed", "reset"}
    http_peer.py PORT many N SCRIPT  the script on N connections at once; prints a JSON list
    http_peer.py PORT hold N [FROM [TEXT]]  N connections from address FROM that send TEXT (or
        nothing), "ready N"; each stdin line "closed" prints the indices the server has closed
        ("closed 0 5 ..."), until stdin closes
    http_peer.py PORT flood N FROM  N silent connections from FROM, each one the server closes
        opened again, "ready N", until stdin closes; then prints "reopened K"
"""
import json
import re
import select
import socket
import sys
import threading
import time


def connect(port, source=None):
    s = socket.create_connection(("127.0.0.1", port), timeout=30,
                                 source_address=(source, 0) if source else None)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def read_to_end(s, seconds, until=None):
    reply, deadline = b"", time.monotonic() + seconds
    while time.monotonic() < deadline and not (until and until in reply):
        s.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            data = s.recv(65536)
        except socket.timeout:
            return reply, False, False
        except ConnectionResetError:
            return reply, False, True
        if not data:
            return reply, True, False
        reply += data
    return reply, False, False


def pump(s, data, until, stop):
    while not stop.is_set() and time.monotonic() < until:
        try:
            s.sendall(data)
        except OSError:
            return
        time.sleep(0.001)


def stream(s, size, piece, gap):
    chunk = b"x" * piece
    while size > 0:
        if select.select([s], [], [], 0)[0]:
            return  # the server answered before the end of the body
        try:
            s.sendall(chunk[:size])
        except OSError:
            return
        size -= piece
        time.sleep(gap)


def expand(text):
    return re.sub(r"\{(\d+)\*([^}]*)\}", lambda m: m[2] * int(m[1]), text).encode("latin-1")


def run_script(port, steps):
    s, stop = connect(port), threading.Event()
    out = {"reply": "", "closed": False, "reset": False}
    for step in steps:
        text = expand(step.get("send") or step.get("trickle") or step.get("pump") or "")
        if "send" in step:
            s.sendall(text)
        elif "trickle" in step:
            for b in text:
                s.sendall(bytes([b]))
                time.sleep(step["gap"])
        elif "sleep" in step:
            time.sleep(step["sleep"])
        elif "pump" in step:
            args = (s, text, time.monotonic() + step["seconds"], stop)
            threading.Thread(target=pump, args=args, daemon=True).start()
        elif "stream" in step:
            stream(s, step["stream"], step["piece"], step["gap"])
        elif "shut" in step:
            s.shutdown(socket.SHUT_WR)
        elif "read" in step:
            until = step["until"].encode("latin-1") if "until" in step else None
            reply, out["closed"], out["reset"] = read_to_end(s, step["read"], until)
            out["reply"] += reply.hex()
    stop.set()
    s.close()
    return out


def many(port, n, steps):
    results = [None] * n

    def one(i):
        try:
            results[i] = run_script(port, steps)
        except OSError as e:
            results[i] = {"error": str(e)}

    threads = [threading.Thread(target=one, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


def hold(port, n, source=None, text=b""):
    held = []
    for _ in range(n):
        s = connect(port, source)
        if text:
            s.sendall(text)
        s.setblocking(False)
        held.append(s)
        time.sleep(0.002)  # the server's accept queue is short: SYNs beyond it wait a second
    print("ready", len(held), flush=True)
    closed = set()
    for line in sys.stdin:
        if line.strip() != "closed":
            continue
        for i, s in enumerate(held):
            while i not in closed:
                try:
                    if not s.recv(65536):
                        closed.add(i)
                except BlockingIOError:
                    break
                except OSError:
                    closed.add(i)
        print("closed", *sorted(closed), flush=True)


def flood(port, n, source):
    held = []
    for _ in range(n):
        held.append(connect(port, source))
        time.sleep(0.002)
    print("ready", len(held), flush=True)
    reopened = 0
    while True:
        readable = select.select(held + [sys.stdin], [], [], 0.05)[0]
        if sys.stdin in readable and not sys.stdin.readline():
            break
        for s in readable:
            if s is sys.stdin:
                continue
            try:
                if s.recv(65536):
                    continue
            except OSError:
                pass
            s.close()
            try:
                held[held.index(s)] = connect(port, source)
                reopened += 1
            except OSError:
                held.remove(s)
    print("reopened", reopened, flush=True)


if __name__ == "__main__":
    port = int(sys.argv[1])
    if sys.argv[2] == "hold":
        hold(port, int(sys.argv[3]), sys.argv[4] if len(sys.argv) > 4 else None,
             expand(sys.argv[5]) if len(sys.argv) > 5 else b"")
    elif sys.argv[2] == "flood":
        flood(port, int(sys.argv[3]), sys.argv[4])
    elif sys.argv[2] == "many":
        print(json.dumps(many(port, int(sys.argv[3]), json.loads(sys.argv[4]))))
    else:
        print(json.dumps(run_script(port, json.loads(sys.argv[2]))))
