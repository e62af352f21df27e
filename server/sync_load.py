#!/usr/bin/env python3
"""Load on a sync server: many clients at once, each uploading, listing and
fetching files of a few sizes as the transfer client does, some of them
slow, every file read back and compared byte for byte.

    python3 server/sync_load.py URL [--clients 50] [--rounds 3] [--slow 5]
        [--sizes 0,1000,100000,1000000] [--server-pid PID]

URL is the server's (or its proxy's) base address, "http://127.0.0.1:6060".
Prints one line of figures: requests, failures, requests a second, median
and 99th-percentile latency; with --server-pid, the server's resident memory
after each half of the run. Exit status 1 when any request failed or any
file came back different.
"""
import argparse
import http.client
import os
import random
import sys
import threading
import time
import urllib.parse
import xmlrpc.client

SLOW_PIECE = 4096     # a slow client sends its bodies in pieces this big
SLOW_PAUSE = 0.005    # with this pause between them


def _quote(value):
    # The transfer client's escaping of query values.
    return urllib.parse.quote_plus(value.encode("utf-8"), safe="$()*,-./:@_")


class Client:
    """One client on one kept connection, with its own herd and client id."""

    def __init__(self, url, index, sizes, slow, seed, timeout=60):
        parts = urllib.parse.urlsplit(url)
        self.host, self.port = parts.hostname, parts.port or 80
        self.herd, self.client = "load%d" % (index % 10), "c%d" % index
        self.sizes, self.slow = sizes, slow
        self.random = random.Random(seed)
        self.timeout = timeout
        self.conn = None
        self.latencies = []
        self.failures = []
        self.requests = 0

    def _connection(self):
        if self.conn is None:
            self.conn = http.client.HTTPConnection(self.host, self.port, timeout=self.timeout)
        return self.conn

    def _exchange(self, method, path, body=b"", headers=None):
        """(status, body) of one request; a broken connection is a failure."""
        start = time.monotonic()
        self.requests += 1
        conn = self._connection()
        try:
            conn.putrequest(method, path)
            for name, value in (headers or {}).items():
                conn.putheader(name, value)
            if method in ("PUT", "POST"):
                conn.putheader("Content-Length", str(len(body)))
            conn.endheaders()
            if self.slow:
                for at in range(0, len(body), SLOW_PIECE):
                    conn.send(body[at:at + SLOW_PIECE])
                    time.sleep(SLOW_PAUSE)
            elif body:
                conn.send(body)
            resp = conn.getresponse()
            data = resp.read()
            if resp.will_close:
                conn.close()
                self.conn = None
            status = resp.status
        except (OSError, http.client.HTTPException) as e:
            conn.close()
            self.conn = None
            self.failures.append("%s %s: %s" % (method, path[:60], e))
            return None, b""
        self.latencies.append(time.monotonic() - start)
        return status, data

    def _call(self, method, *params):
        body = xmlrpc.client.dumps(params, method).encode()
        status, data = self._exchange("POST", "/BVSYNC", body, {"Content-Type": "text/xml"})
        if status != 200:
            if status is not None:
                self.failures.append("%s: status %s" % (method, status))
            return None
        try:
            return xmlrpc.client.loads(data, use_builtin_types=True)[0][0]
        except (xmlrpc.client.Fault, xmlrpc.client.ResponseError, ValueError) as e:
            self.failures.append("%s: %s" % (method, e))
            return None

    def round(self, number):
        size = self.random.choice(self.sizes)
        data = self.random.randbytes(size)
        name = "file %d (%d).dat" % (number % 3, size)
        query = "herdcode=%s&clientid=%s" % (_quote(self.herd), _quote(self.client))
        status, _ = self._exchange("PUT", "/UPLOAD?file=%s&%s" % (_quote(name), query), data)
        if status != 200:
            if status is not None:
                self.failures.append("PUT %s: status %s" % (name, status))
            return
        listed = self._call("GetFiles", self.herd, self.client)
        if listed is not None and name not in [f["filename"] for f in listed]:
            self.failures.append("GetFiles: %s not listed" % name)
        status, back = self._exchange("GET", urllib.parse.quote("/" + name) + "?" + query)
        if status != 200 or back != data:
            self.failures.append("GET %s: status %s, %s" % (name, status,
                                 "same bytes" if back == data else "other bytes"))
        # The same through remote calls, with a small file.
        small = self.random.randbytes(self.random.randrange(1, 20000))
        answer = self._call("FileToServer", self.herd, self.client, "rpc.dat", small)
        if answer is not None and answer != {"success": True, "filesize": len(small)}:
            self.failures.append("FileToServer: %r" % (answer,))
        fetched = self._call("FileFromServer", self.herd, self.client, "rpc.dat")
        if fetched is not None and fetched != small:
            self.failures.append("FileFromServer: other bytes")

    def close(self):
        if self.conn is not None:
            self.conn.close()


def resident_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def run(url, clients=50, rounds=3, slow=5, sizes=(0, 1000, 100000, 1000000), seed=1):
    """Runs the load; answers (requests, failures, seconds, sorted latencies)."""
    workers = [Client(url, i, list(sizes), i < slow, seed * 1000 + i) for i in range(clients)]
    start_line = threading.Barrier(clients + 1)

    def work(c):
        start_line.wait()
        for number in range(rounds):
            c.round(number)
        c.close()

    threads = [threading.Thread(target=work, args=(c,)) for c in workers]
    for t in threads:
        t.start()
    start_line.wait()
    start = time.monotonic()
    for t in threads:
        t.join()
    seconds = time.monotonic() - start
    failures = [f for c in workers for f in c.failures]
    latencies = sorted(x for c in workers for x in c.latencies)
    return sum(c.requests for c in workers), failures, seconds, latencies


def percentile(sorted_values, p):
    if not sorted_values:
        return 0.0
    return sorted_values[min(len(sorted_values) - 1, int(len(sorted_values) * p))]


def main():
    parser = argparse.ArgumentParser(description="Load on a sync server.")
    parser.add_argument("url")
    parser.add_argument("--clients", type=int, default=50)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--slow", type=int, default=5, help="how many of the clients are slow")
    parser.add_argument("--sizes", default="0,1000,100000,1000000")
    parser.add_argument("--server-pid", type=int, help="report this process's resident memory")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    memory = []
    total, failures, seconds = 0, [], 0.0
    latencies = []
    # Two halves, so that the server's memory can be compared between them.
    for half in (1, 2):
        n, f, s, l = run(args.url, args.clients, max(1, args.rounds // 2) if half == 1 else
                         max(1, args.rounds - args.rounds // 2), args.slow, sizes, seed=half)
        total, seconds = total + n, seconds + s
        failures += f
        latencies += l
        if args.server_pid:
            memory.append(resident_kb(args.server_pid))
    latencies.sort()
    for f in failures[:20]:
        print("failed: " + f)
    print("clients %d: %d requests, %d failed, %.1f requests/s, median %.1f ms, p99 %.1f ms%s"
          % (args.clients, total, len(failures), total / seconds if seconds else 0,
             1000 * percentile(latencies, 0.5), 1000 * percentile(latencies, 0.99),
             (", server memory %s kB" % " -> ".join(str(m) for m in memory)) if memory else ""),
          flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
