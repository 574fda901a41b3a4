#!/usr/bin/env python3
"""Debug-trace listener for the Wine integration test: accepts every
connection on TCP port PORT (all local addresses) and appends what arrives
to OUTPUT. Writes READY_FILE once it listens.

    trace_listener.py PORT OUTPUT READY_FILE
"""
import socketserver
import sys

PORT, OUTPUT, READY = int(sys.argv[1]), sys.argv[2], sys.argv[3]


class Append(socketserver.BaseRequestHandler):
    def handle(self):
        while data := self.request.recv(4096):
            with open(OUTPUT, "ab") as out:
                out.write(data)


socketserver.ThreadingTCPServer.allow_reuse_address = True
socketserver.ThreadingTCPServer.daemon_threads = True
with socketserver.ThreadingTCPServer(("0.0.0.0", PORT), Append) as server:
    with open(READY, "w") as ready:
        ready.write("ready\n")
    server.serve_forever()
