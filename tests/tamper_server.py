#!/usr/bin/env python3
"""A man in the middle for the end-to-end tests: answers every GET with what
the vendor's server (UPSTREAM, a loopback port) answers, except that the
value file names this server's own download folder, and a program file's
body has one byte flipped on the way (its length and status unchanged).

    tamper_server.py UPSTREAM_PORT PORT_FILE

Writes its port into PORT_FILE once it listens; runs until it is killed.
"""

import http.client
import http.server
import sys

TAMPERED = "/bvfiles/bvstartup/zoded.___"


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        if self.path == "/values/bvstartup.url":
            body = ("http://127.0.0.1:%d/bvfiles/bvstartup/" % self.server.server_port).encode("ascii")
            status, reason, kind = 200, "OK", "text/plain"
        else:
            conn = http.client.HTTPConnection("127.0.0.1", self.server.upstream, timeout=30)
            conn.request("GET", self.path, headers={"Pragma": "no-cache"})
            answer = conn.getresponse()
            status, reason, body = answer.status, answer.reason, answer.read()
            kind = answer.getheader("Content-Type", "application/octet-stream")
            conn.close()
            if status == 200 and self.path == TAMPERED and body:
                data = bytearray(body)
                data[len(data) // 2] ^= 0x01
                body = bytes(data)
        self.send_response(status, reason)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, fmt, *args):
        sys.stderr.write("tamper: " + fmt % args + "\n")


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.upstream = int(sys.argv[1])
    with open(sys.argv[2], "w") as f:
        f.write("%d\n" % server.server_port)
    server.serve_forever()


if __name__ == "__main__":
    main()
