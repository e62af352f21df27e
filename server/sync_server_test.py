#!/usr/bin/env python3
"""Tests of the reference sync server, started as a person starts it (its own
process, a free port) and driven with xmlrpc.client and http.client."""
import argparse
import datetime
import http.client
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.parse
import xmlrpc.client

HERE = os.path.dirname(os.path.abspath(__file__))
WORK = None


def _quote(value):
    # The transfer client's escaping: keep A-Z a-z 0-9 $ ( ) * , - . / : @ _,
    # blank as "+", every other byte %XX.
    return urllib.parse.quote_plus(value.encode("utf-8"), safe="$()*,-./:@_")


class SyncServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(dir=WORK)
        cls.root = os.path.join(cls.tmp, "root")
        cls.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "sync_server.py"), cls.root, "--port", "0"],
            stdout=subprocess.PIPE, text=True)
        line = cls.proc.stdout.readline()
        cls.port = int(line.split("127.0.0.1:")[1].split(",")[0])
        cls.rpc = xmlrpc.client.ServerProxy("http://127.0.0.1:%d/BVSYNC" % cls.port,
                                            use_builtin_types=True)

    @classmethod
    def tearDownClass(cls):
        cls.rpc("close")()
        cls.proc.terminate()
        cls.proc.wait(10)
        cls.proc.stdout.close()
        shutil.rmtree(cls.tmp)

    def request(self, method, path, body=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            conn.request(method, path, body=body)
            resp = conn.getresponse()
            return resp.status, resp.read()
        finally:
            conn.close()

    def put(self, name, herd, client, body):
        query = "file=%s&herdcode=%s&clientid=%s" % (_quote(name), _quote(herd), _quote(client))
        return self.request("PUT", "/UPLOAD?" + query, body)

    def get(self, path, herd, client):
        return self.request("GET", urllib.parse.quote(path) + "?herdcode=%s&clientid=%s"
                            % (_quote(herd), _quote(client)))

    def test_hello(self):
        self.assertEqual(self.rpc.Hello("Anna & Bo"), "Hello, Anna & Bo")

    def test_put_then_get_is_byte_identical_and_listed(self):
        data = os.urandom(300000) + bytes(range(256))
        name = "Herd 12 (A&B) K\u00e4se.dat"
        status, _ = self.put(name, "12", "7", data)
        self.assertEqual(status, 200)
        self.assertEqual(self.get("/" + name, "12", "7"), (200, data))
        with open(os.path.join(self.root, "12", "7", name), "rb") as f:
            self.assertEqual(f.read(), data)
        files = self.rpc.GetFiles("12", "7")
        entry = [f for f in files if f["filename"] == name]
        self.assertEqual(len(entry), 1)
        self.assertIsInstance(entry[0]["filedate"], datetime.datetime)
        self.assertLess(abs(entry[0]["filedate"] - datetime.datetime.now()),
                        datetime.timedelta(minutes=5))
        # Another client of the herd sees none of it.
        self.assertEqual(self.rpc.GetFiles("12", "8"), [])
        self.assertEqual(self.get("/" + name, "12", "8")[0], 404)

    def test_empty_upload(self):
        self.assertEqual(self.put("empty.dat", "12", "7", b"")[0], 200)
        self.assertEqual(self.get("/empty.dat", "12", "7"), (200, b""))

    def test_herd_code_cannot_override_the_client(self):
        status, _ = self.put("override.dat", "12&clientid=99", "7", b"x")
        self.assertEqual(status, 200)
        self.assertTrue(os.path.isfile(os.path.join(self.root, "12&clientid=99", "7", "override.dat")))
        self.assertFalse(os.path.exists(os.path.join(self.root, "12", "99")))

    def test_file_to_server_and_back(self):
        data = b"\0\xff" * 1000
        answer = self.rpc.FileToServer("13", "7", "sub/rpc.dat", data)
        self.assertEqual(answer, {"success": True, "filesize": len(data)})
        self.assertEqual(self.rpc.FileFromServer("13", "7", "/sub/rpc.dat"), data)
        self.assertEqual(self.get("/sub/rpc.dat", "13", "7"), (200, data))
        self.assertIn("sub/rpc.dat", [f["filename"] for f in self.rpc.GetFiles("13", "7")])

    def test_filesize_is_sent_as_i8(self):
        body = xmlrpc.client.dumps(("14", "7", "size.dat", b"abc"), "FileToServer")
        status, answer = self.request("POST", "/BVSYNC", body.encode())
        self.assertEqual(status, 200)
        self.assertIn(b"<i8>3</i8>", answer)

    def test_names_that_leave_the_root_are_refused(self):
        outside = os.path.join(self.tmp, "outside.dat")
        for name, herd, client in [("../../../outside.dat", "12", "7"),
                                   ("../8/x.dat", "12", "7"),
                                   ("a/../../x.dat", "12", "7"),
                                   ("..\\x.dat", "12", "7"),
                                   ("", "12", "7"),
                                   ("x.dat", "..", "7"),
                                   ("x.dat", "12", "../../.."),
                                   ("x.dat", "a/b", "7"),
                                   ("x.dat", "", "7")]:
            with self.subTest(name=name, herd=herd, client=client):
                self.assertEqual(self.put(name, herd, client, b"evil")[0], 403)
                self.assertEqual(self.get("/" + name, herd, client)[0], 403)
                with self.assertRaises(xmlrpc.client.Fault):
                    self.rpc.FileToServer(herd, client, name, b"evil")
                with self.assertRaises(xmlrpc.client.Fault):
                    self.rpc.FileFromServer(herd, client, name)
        self.assertFalse(os.path.exists(outside))
        for folder, _, names in os.walk(self.tmp):
            self.assertNotIn("x.dat", names, folder)
        # Nor can a symbolic link inside a client's folder lead out.
        os.makedirs(os.path.join(self.root, "15", "7"), exist_ok=True)
        os.symlink(self.tmp, os.path.join(self.root, "15", "7", "link"))
        self.assertEqual(self.put("link/outside.dat", "15", "7", b"evil")[0], 403)
        self.assertFalse(os.path.exists(outside))

    def test_bad_requests(self):
        self.assertEqual(self.request("PUT", "/UPLOAD?file=a&herdcode=1", b"x")[0], 400)
        self.assertEqual(self.request("PUT", "/OTHER?file=a&herdcode=1&clientid=2", b"x")[0], 404)
        self.assertEqual(self.request("GET", "/a.dat")[0], 400)
        self.assertEqual(self.get("/missing.dat", "12", "7")[0], 404)

    def test_faults_for_bad_params(self):
        for call in [lambda: self.rpc.Hello(),
                     lambda: self.rpc.Hello(5),
                     lambda: self.rpc.GetFiles("12"),
                     lambda: self.rpc.GetFiles("12", 7),
                     lambda: self.rpc.FileToServer("12", "7", "a.dat", "not base64"),
                     lambda: self.rpc.FileFromServer("12", "7", "/never.dat"),
                     lambda: self.rpc.NoSuchFunction()]:
            with self.assertRaises(xmlrpc.client.Fault):
                call()


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
