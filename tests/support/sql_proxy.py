#!/usr/bin/python3
"""A TCP proxy in front of MariaDB that loses one answer (python3 stdlib only).

  sql_proxy.py SERVER_PORT PATTERN N

Listens on a free loopback port and prints it. Every client connection is relayed to
127.0.0.1:SERVER_PORT. The N-th statement (COM_QUERY) over all connections whose text contains
PATTERN reaches the server, but its answer does not reach the client: the proxy reads it, drops
it and closes that connection, as a link lost just after the server did the work. Other
connections and statements pass unchanged.
"""
import socket
import sys
import threading

server_port, pattern, nth = int(sys.argv[1]), sys.argv[2].encode(), int(sys.argv[3])
seen = 0
lock = threading.Lock()


def read_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def close(*socks):
    for s in socks:
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        s.close()


def relay(client):
    server = socket.create_connection(("127.0.0.1", server_port))
    losing = threading.Event()
    answered = threading.Event()

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
                continue
            try:
                client.sendall(data)
            except OSError:
                break
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
            if header[3] == 0 and body[:1] == b"\x03" and pattern in body:
                with lock:
                    seen += 1
                    hit = seen == nth
                if hit:
                    losing.set()
                    server.sendall(header + body)
                    answered.wait(10)
                    break
            server.sendall(header + body)
    except OSError:
        pass
    close(client, server)


def main():
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    print(listener.getsockname()[1], flush=True)
    while True:
        client, _ = listener.accept()
        threading.Thread(target=relay, args=(client,), daemon=True).start()


if __name__ == "__main__":
    main()
