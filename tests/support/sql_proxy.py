#!/usr/bin/python3
"""A TCP proxy in front of MariaDB that loses one answer or holds the link (python3 stdlib only).

  sql_proxy.py SERVER_PORT [PATTERN N [PASS]]

Listens on a free loopback port and prints it. Every client connection is relayed to
127.0.0.1:SERVER_PORT. The N-th statement (COM_QUERY) over all connections whose text contains
PATTERN reaches the server, but its answer does not reach the client: the proxy reads it, drops
it and closes that connection, as a link lost just after the server did the work. With PASS, the
first PASS bytes of that answer reach the client and then the connection goes silent without a
close (a link lost while the rows came): nothing more passes either way until the client
closes it. Other
connections and statements pass unchanged. Without PATTERN (or with an empty one) the bytes are
relayed as they come, whatever the protocol (a broker link as well).

Lines on standard input: "hold" stops forwarding in both directions on every connection, old and
new, without closing any socket (a black hole: what was sent stays in flight); "release" delivers
what was held, closes included, and forwards again. "rate BYTES [TEXT]" lets the server's bytes
reach the client at BYTES a second: every answer to a statement containing TEXT (with a PATTERN
given at the start, which makes the proxy read the statements), or all of them without TEXT;
"rate 0" lets them flow freely again. Each is answered with "ok" once in effect.
"""
import socket
import sys
import threading
import time

server_port = int(sys.argv[1])
pattern = sys.argv[2].encode() if len(sys.argv) > 2 else b""
nth = int(sys.argv[3]) if len(sys.argv) > 3 else 0
pass_bytes = int(sys.argv[4]) if len(sys.argv) > 4 else -1
seen = 0
lock = threading.Lock()
flowing = threading.Event()
flowing.set()
rate = {"bytes": 0, "text": b""}


def read_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def forward(sock, data):
    flowing.wait()
    sock.sendall(data)


def forward_slowly(sock, data, slow):
    """Forwards server bytes at the set rate when `slow` says this answer is slowed."""
    while data:
        per_s = rate["bytes"]
        if not per_s or not slow():
            forward(sock, data)
            return
        piece = max(1, per_s // 20)
        forward(sock, data[:piece])
        data = data[piece:]
        time.sleep(piece / per_s)


def pump(source, target, slow=lambda: False):
    """Relays bytes one way as they come; a close passes once the link flows."""
    while True:
        try:
            data = source.recv(65536)
        except OSError:
            break
        if not data:
            break
        try:
            forward_slowly(target, data, slow)
        except OSError:
            break
    flowing.wait()
    close(target)


def close(*socks):
    for s in socks:
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        s.close()


def relay(client):
    flowing.wait()
    try:
        server = socket.create_connection(("127.0.0.1", server_port))
    except OSError:
        close(client)
        return
    if not pattern:
        threading.Thread(target=pump, args=(server, client, lambda: not rate["text"]), daemon=True).start()
        pump(client, server)
        close(server)
        return
    losing = threading.Event()
    answered = threading.Event()
    budget = [pass_bytes]
    slowed = [False]  # the statement in flight asks its answer slowed

    def server_to_client():
        while True:
            try:
                data = server.recv(65536)
            except OSError:
                break
            if not data:
                break
            if losing.is_set():
                answered.set()
                if budget[0] <= 0:
                    continue
                data, budget[0] = data[:budget[0]], budget[0] - len(data[:budget[0]])
            try:
                forward_slowly(client, data, lambda: slowed[0])
            except OSError:
                break
        flowing.wait()
        if not (losing.is_set() and pass_bytes >= 0):
            close(client)

    threading.Thread(target=server_to_client, daemon=True).start()
    global seen
    try:
        while True:
            header = read_exact(client, 4)
            if header is None:
                break
            length = int.from_bytes(header[:3], "little")
            body = read_exact(client, length) if length else b""
            if body is None:
                break
            if header[3] == 0:
                slowed[0] = body[:1] == b"\x03" and (not rate["text"] or rate["text"] in body)
            if nth and header[3] == 0 and body[:1] == b"\x03" and pattern in body:
                with lock:
                    seen += 1
                    hit = seen == nth
                if hit:
                    losing.set()
                    forward(server, header + body)
                    answered.wait(10)
                    if pass_bytes >= 0:
                        # Silent until the client gives up: what it sends goes nowhere.
                        while client.recv(65536):
                            pass
                    break
            forward(server, header + body)
    except OSError:
        pass
    flowing.wait()
    close(client, server)


def control():
    for line in sys.stdin:
        word = line.strip()
        if word == "hold":
            flowing.clear()
        elif word == "release":
            flowing.set()
        elif word.startswith("rate "):
            parts = word.split(" ", 2)
            rate["text"] = parts[2].encode() if len(parts) > 2 else b""
            rate["bytes"] = int(parts[1])
        else:
            continue
        print("ok", flush=True)


def main():
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    print(listener.getsockname()[1], flush=True)
    threading.Thread(target=control, daemon=True).start()
    while True:
        client, _ = listener.accept()
        threading.Thread(target=relay, args=(client,), daemon=True).start()


if __name__ == "__main__":
    main()
