#!/usr/bin/env python3
"""A raw-socket HTTP client for the server tests: it sends exactly the bytes it is told, when it
is told, and reports exactly the bytes that came back.

    http_peer.py PORT SCRIPT        SCRIPT is a JSON list of steps, run on one connection:
        {"send": TEXT}               one write (TEXT: a JSON string, one character a byte)
        {"trickle": TEXT, "gap": s}  one byte a write, gap seconds apart
        {"sleep": s}
        {"pump": TEXT, "seconds": s} keep writing TEXT in the background while the reply is read
        {"read": s}                  read until the server closes, at most s seconds
    prints one JSON object: {"reply": HEX, "closed": bool, "reset": bool, "elapsed": s}

    http_peer.py PORT repeat N TEXT N connections one after the other, each sending TEXT and
                                    reading to the end; prints {"replies": n, "ok": n200}

    http_peer.py PORT hold N        opens N connections that send nothing, prints "ready N" and
                                    keeps them until its standard input closes
"""
import json
import socket
import sys
import threading
import time


def connect(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def read_to_end(s, seconds):
    reply, closed, reset = b"", False, False
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        s.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            data = s.recv(65536)
        except socket.timeout:
            break
        except ConnectionResetError:
            reset = True
            break
        if not data:
            closed = True
            break
        reply += data
    return reply, closed, reset


def run_script(port, steps):
    s = connect(port)
    start = time.monotonic()
    out = {"reply": "", "closed": False, "reset": False}
    stop = threading.Event()
    pumps = []
    for step in steps:
        if "send" in step:
            s.sendall(step["send"].encode("latin-1"))
        elif "trickle" in step:
            for b in step["trickle"].encode("latin-1"):
                s.sendall(bytes([b]))
                time.sleep(step.get("gap", 0))
        elif "sleep" in step:
            time.sleep(step["sleep"])
        elif "pump" in step:
            data, until = step["pump"].encode("latin-1"), time.monotonic() + step["seconds"]

            def pump():
                while not stop.is_set() and time.monotonic() < until:
                    try:
                        s.sendall(data)
                    except OSError:
                        return
                    time.sleep(0.001)

            t = threading.Thread(target=pump, daemon=True)
            t.start()
            pumps.append(t)
        elif "read" in step:
            reply, closed, reset = read_to_end(s, step["read"])
            out["reply"] += reply.hex()
            out["closed"] = closed
            out["reset"] = reset
    stop.set()
    out["elapsed"] = round(time.monotonic() - start, 3)
    s.close()
    return out


def repeat(port, n, request):
    replies = ok = 0
    for _ in range(n):
        s = connect(port)
        s.sendall(request)
        reply, _, _ = read_to_end(s, 10)
        s.close()
        replies += 1 if reply else 0
        ok += 1 if reply.startswith(b"HTTP/1.1 200 ") else 0
    return {"replies": replies, "ok": ok}


def hold(port, n):
    held = [connect(port) for _ in range(n)]
    print("ready", len(held), flush=True)
    sys.stdin.read()
    for s in held:
        s.close()


def main():
    port = int(sys.argv[1])
    if sys.argv[2] == "hold":
        hold(port, int(sys.argv[3]))
        return
    if sys.argv[2] == "repeat":
        result = repeat(port, int(sys.argv[3]), sys.argv[4].encode("latin-1"))
    else:
        result = run_script(port, json.loads(sys.argv[2]))
    print(json.dumps(result))


if __name__ == "__main__":
    main()
