#!/usr/bin/env python3
"""Debug-trace listener for the Wine integration test: accepts every
connection on TCP port PORT (all local addresses) and appends what arrives
to OUTPUT. Writes READY_FILE once it listens.

    trace_listener.py PORT OUTPUT READY_FILE
"""
import selectors
import socket
import sys


def main():
    port, output, ready = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("0.0.0.0", port))
    server.listen(16)
    selector = selectors.DefaultSelector()
    selector.register(server, selectors.EVENT_READ)
    with open(ready, "w") as f:
        f.write("ready\n")
    with open(output, "ab", buffering=0) as out:
        while True:
            for key, _ in selector.select():
                if key.fileobj is server:
                    peer, _ = server.accept()
                    selector.register(peer, selectors.EVENT_READ)
                    continue
                data = key.fileobj.recv(4096)
                if data:
                    out.write(data)
                else:
                    selector.unregister(key.fileobj)
                    key.fileobj.close()


if __name__ == "__main__":
    main()
