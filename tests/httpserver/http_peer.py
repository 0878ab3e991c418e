#!/usr/bin/env python3
"""A raw-socket HTTP client: sends exactly the bytes it is told, when told; reports what came back.

    http_peer.py PORT SCRIPT         JSON steps on one connection ({N*text} repeats text): send,
        trickle (a byte a write, "gap" s apart), sleep, pump (writes on for "seconds" in the
        background), read (to the close, at most s); prints {"reply": HEX, "closed", "reset"}
    http_peer.py PORT hold N         N silent connections, "ready N", kept until stdin closes
"""
import json
import re
import socket
import sys
import threading
import time


def connect(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def read_to_end(s, seconds):
    reply, deadline = b"", time.monotonic() + seconds
    while time.monotonic() < deadline:
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


def run_script(port, steps):
    s, stop = connect(port), threading.Event()
    out = {"reply": "", "closed": False, "reset": False}
    for step in steps:
        text = re.sub(r"\{(\d+)\*([^}]*)\}", lambda m: m[2] * int(m[1]),
                      step.get("send") or step.get("trickle") or step.get("pump") or "").encode("latin-1")
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
        elif "read" in step:
            reply, out["closed"], out["reset"] = read_to_end(s, step["read"])
            out["reply"] += reply.hex()
    stop.set()
    s.close()
    return out


def hold(port, n):
    held = [connect(port) for _ in range(n)]
    print("ready", len(held), flush=True)
    sys.stdin.read()


if __name__ == "__main__":
    port = int(sys.argv[1])
    if sys.argv[2] == "hold":
        hold(port, int(sys.argv[3]))
    else:
        print(json.dumps(run_script(port, json.loads(sys.argv[2]))))
