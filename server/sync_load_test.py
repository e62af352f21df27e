#!/usr/bin/env python3
"""The load test of the sync server, with small numbers: 50 clients at once
(5 of them slow) upload, list and fetch files of a few sizes, straight to one
server and through nginx to two server processes sharing one store. Nothing
fails, every file comes back byte for byte, and the server's memory stays
flat from one round of load to the next."""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import sync_load  # noqa: E402

WORK = None
CLIENTS, SLOW = 50, 5
SIZES = (0, 1000, 100000, 1000000)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class SyncLoadTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(dir=WORK)

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def load(self, url, seed):
        requests, failures, seconds, latencies = sync_load.run(url, CLIENTS, 2, SLOW, SIZES, seed)
        print("%s: %d requests in %.1f s, p99 %.0f ms" % (url, requests, seconds,
              1000 * sync_load.percentile(latencies, 0.99)), flush=True)
        self.assertEqual(failures, [])
        self.assertEqual(requests, CLIENTS * 2 * 5)

    def test_straight_to_the_server(self):
        proc = subprocess.Popen([sys.executable, os.path.join(HERE, "sync_server.py"),
                                 os.path.join(self.tmp, "store"), "--port", "0"],
                                stdout=subprocess.PIPE, text=True)
        try:
            port = int(proc.stdout.readline().split("127.0.0.1:")[1].split(",")[0])
            url = "http://127.0.0.1:%d" % port
            self.load(url, 1)  # the server's threads, buffers and caches settle
            settled = sync_load.resident_kb(proc.pid)
            for seed in (2, 3):
                self.load(url, seed)
            grown = sync_load.resident_kb(proc.pid) - settled
            print("server memory %d kB after the first round, %+d kB after two more" % (settled, grown))
            self.assertLess(grown, 20 * 1024)
        finally:
            proc.terminate()
            proc.wait(10)
            proc.stdout.close()

    def test_through_nginx_to_two_servers_sharing_a_store(self):
        rundir, port = os.path.join(self.tmp, "run"), free_port()
        serve = os.path.join(HERE, "sync-serve")
        subprocess.check_call([sys.executable, serve, "start", os.path.join(self.tmp, "store"), str(port),
                               rundir, "--backends", "2"])
        try:
            self.load("http://127.0.0.1:%d" % port, 4)
            # Both processes took their share of the requests.
            with open(os.path.join(rundir, "access.log")) as f:
                log = f.read()
            for i in (0, 1):
                with open(os.path.join(rundir, "backend-%d.log" % i)) as f:
                    backend = f.readline().split("127.0.0.1:")[1].split(",")[0]
                self.assertGreater(log.count("127.0.0.1:%s\n" % backend), 50)
        finally:
            subprocess.call([sys.executable, serve, "stop", rundir])


def main():
    global WORK
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", help="scratch folder (default: the system's)")
    args, rest = parser.parse_known_args()
    if args.work:
        os.makedirs(args.work, exist_ok=True)
        WORK = args.work
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
