#!/usr/bin/env python3
"""A bad line for the end-to-end tests, in front of a vendor's server: it
passes every GET on to UPSTREAM (a loopback port) and the answer back, but it
can cut each connection after a number of body bytes, ignore the client's
Range (and If-Range) so the whole file comes again, and answer 404 for files
that are not there yet. The value file names this server's own download
folder, so every download goes through it.

    cut_proxy.py UPSTREAM_PORT PORT_FILE CONTROL_FILE LOG_FILE

CONTROL_FILE is read at every request (the tests change it between runs):
JSON with "cut" (body bytes per connection, 0 for none), "range" (true:
Range and If-Range go to the server) and "missing" (file names answered
with 404); no file means no cut, ranges honoured and nothing missing.
LOG_FILE gets one line a request: the path, the Range asked for ("-" when
none), the status and the body bytes sent. Writes its port into PORT_FILE
once it listens; runs until it is killed.
"""

import http.client
import http.server
import json
import os
import socket
import sys
import threading

PIECE = 64 * 1024


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def control(self):
        try:
            with open(self.server.control_file) as f:
                return json.load(f)
        except (OSError, ValueError):
            return {}

    def log_line(self, asked, status, sent):
        with self.server.log_lock, open(self.server.log_file, "a") as f:
            f.write("GET %s range=%s status=%d sent=%d\n" % (self.path, asked or "-", status, sent))

    def do_GET(self):
        ctl = self.control()
        cut = int(ctl.get("cut", 0))
        honour = bool(ctl.get("range", True))
        asked = self.headers.get("Range")
        name = self.path.rsplit("/", 1)[-1]
        if self.path == "/values/bvstartup.url":
            body = ("http://127.0.0.1:%d/bvfiles/bvstartup/" % self.server.server_port).encode("ascii")
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(body)
            return
        if name in ctl.get("missing", []):
            body = b"not here"
            self.send_response(404)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(body)
            self.log_line(asked, 404, 0)
            return
        headers = {"Pragma": "no-cache"}
        if honour:
            for h in ("Range", "If-Range"):
                if self.headers.get(h):
                    headers[h] = self.headers.get(h)
        conn = http.client.HTTPConnection("127.0.0.1", self.server.upstream, timeout=30)
        conn.request("GET", self.path, headers=headers)
        answer = conn.getresponse()
        self.send_response(answer.status, answer.reason)
        for h in ("Content-Type", "Content-Length", "Content-Range", "ETag", "Last-Modified"):
            if answer.getheader(h) is not None:
                self.send_header(h, answer.getheader(h))
        self.send_header("Connection", "close")
        self.end_headers()
        sent = 0
        try:
            while True:
                piece = answer.read(PIECE)
                if not piece:
                    break
                if cut and sent + len(piece) >= cut:
                    piece = piece[: cut - sent]
                    self.wfile.write(piece)
                    sent += len(piece)
                    self.wfile.flush()
                    # The line drops: no more bytes, the connection closed.
                    self.connection.shutdown(socket.SHUT_RDWR)
                    break
                self.wfile.write(piece)
                sent += len(piece)
        except OSError:
            pass
        finally:
            conn.close()
            self.close_connection = True
            self.log_line(asked, answer.status, sent)

    def log_message(self, fmt, *args):
        pass


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.upstream = int(sys.argv[1])
    server.control_file = sys.argv[3]
    server.log_file = sys.argv[4]
    server.log_lock = threading.Lock()
    with open(sys.argv[2] + ".tmp", "w") as f:
        f.write("%d\n" % server.server_port)
    os.replace(sys.argv[2] + ".tmp", sys.argv[2])
    server.serve_forever()


if __name__ == "__main__":
    main()
