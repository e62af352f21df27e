#!/usr/bin/env python3
"""Tests of the reference sync server, started as a person starts it (its own
process, a free port) and driven with xmlrpc.client and http.client."""
import argparse
import datetime
import http.client
import os
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import xml.etree.ElementTree as ElementTree
import xmlrpc.client

HERE = os.path.dirname(os.path.abspath(__file__))
WORK = None


def _quote(value):
    # The transfer client's escaping: keep A-Z a-z 0-9 $ ( ) * , - . / : @ _,
    # blank as "+", every other byte %XX.
    return urllib.parse.quote_plus(value.encode("utf-8"), safe="$()*,-./:@_")


def start_server(root, *args, preexec_fn=None):
    """The server in its own process on a free port: (process, port)."""
    proc = subprocess.Popen(
        [sys.executable, os.path.join(HERE, "sync_server.py"), root, "--port", "0"] + list(args),
        stdout=subprocess.PIPE, text=True, preexec_fn=preexec_fn)
    line = proc.stdout.readline()
    return proc, int(line.split("127.0.0.1:")[1].split(",")[0])


def stop_server(proc):
    proc.terminate()
    proc.wait(10)
    proc.stdout.close()


def raw_status(port, request, timeout=5):
    """Sends the bytes as they are; the status of the answer, or None when
    the connection closed without one."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        answer = b""
        while b"\r\n" not in answer:
            chunk = s.recv(4096)
            if not chunk:
                return None
            answer += chunk
    return int(answer.split(b" ")[1])


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def threads(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    return 0


class SyncServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(dir=WORK)
        cls.root = os.path.join(cls.tmp, "root")
        # An upload a crash cut off, before the server starts.
        os.makedirs(os.path.join(cls.root, "16", "7"))
        cls.stale = os.path.join(cls.root, "16", "7", ".upload-abc123")
        with open(cls.stale, "wb") as f:
            f.write(b"half an upload")
        an_hour_ago = time.time() - 3600
        os.utime(cls.stale, (an_hour_ago, an_hour_ago))
        # One another server process sharing the store is still receiving.
        cls.receiving = os.path.join(cls.root, "16", "7", ".upload-def456")
        with open(cls.receiving, "wb") as f:
            f.write(b"arriving")
        cls.proc, cls.port = start_server(cls.root)
        cls.rpc = xmlrpc.client.ServerProxy("http://127.0.0.1:%d/BVSYNC" % cls.port,
                                            use_builtin_types=True)

    @classmethod
    def tearDownClass(cls):
        cls.rpc("close")()
        stop_server(cls.proc)
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

    def test_body_lengths_must_be_plain_digits_within_the_limit(self):
        put = b"PUT /UPLOAD?file=len.dat&herdcode=12&clientid=7 HTTP/1.1\r\nHost: x\r\n"
        post = b"POST /BVSYNC HTTP/1.1\r\nHost: x\r\nContent-Type: text/xml\r\n"
        for name, head, status in [
                ("call without a length", post, 411),
                ("call of length -1", post + b"Content-Length: -1\r\n", 411),
                ("call of length \u00b2", post + "Content-Length: \u00b2\r\n".encode(), 411),
                ("call of 200 MB", post + b"Content-Length: 200000000\r\n", 413),
                ("call with two lengths", post + b"Content-Length: 5\r\nContent-Length: 7\r\n", 400),
                ("call with a transfer coding", post + b"Transfer-Encoding: chunked\r\n", 411),
                ("upload without a length", put, 411),
                ("upload of length \u00b2", put + "Content-Length: \u00b2\r\n".encode(), 411),
                ("upload of 1 TB", put + b"Content-Length: 1000000000000\r\n", 413),
                ("upload with two lengths", put + b"Content-Length: 5\r\nContent-Length: 5\r\n", 400)]:
            with self.subTest(name):
                self.assertEqual(raw_status(self.port, head + b"\r\n"), status)
        self.assertFalse(os.path.exists(os.path.join(self.root, "12", "7", "len.dat")))

    def test_file_to_server_decodes_base64_strictly(self):
        self.assertEqual(self.put("b64.dat", "12", "7", b"kept")[0], 200)
        for data in ["****", "QUJD!", "QUJ", "QU\u00e9JD"]:
            with self.subTest(data):
                body = ("<?xml version='1.0'?><methodCall><methodName>FileToServer</methodName><params>"
                        "<param><value><string>12</string></value></param>"
                        "<param><value><string>7</string></value></param>"
                        "<param><value><string>b64.dat</string></value></param>"
                        "<param><value><base64>%s</base64></value></param>"
                        "</params></methodCall>" % data)
                status, answer = self.request("POST", "/BVSYNC", body.encode())
                self.assertEqual(status, 200)
                self.assertIn(b"<fault>", answer)
        self.assertEqual(self.get("/b64.dat", "12", "7"), (200, b"kept"))
        # Blanks and line breaks between the groups are base64 still.
        self.assertEqual(self.rpc.FileToServer("12", "7", "b64.dat", b"x" * 100)["filesize"], 100)

    def test_names_xml_cannot_carry_are_refused(self):
        for name, herd in [("\x01ctl", "17"), ("a\x1fb", "17"), ("ok.dat", "h\x02")]:
            with self.subTest(repr(name + herd)):
                self.assertEqual(self.put(name, herd, "7", b"x")[0], 403)
                self.assertEqual(self.get("/" + name, herd, "7")[0], 403)
        # One put there by other means is passed over: the list stays XML.
        os.makedirs(os.path.join(self.root, "17", "7"), exist_ok=True)
        with open(os.path.join(self.root, "17", "7", "\x01ctl"), "wb") as f:
            f.write(b"x")
        self.assertEqual(self.put("fine.dat", "17", "7", b"x")[0], 200)
        body = xmlrpc.client.dumps(("17", "7"), "GetFiles").encode()
        status, answer = self.request("POST", "/BVSYNC", body)
        ElementTree.fromstring(answer)
        self.assertEqual([f["filename"] for f in self.rpc.GetFiles("17", "7")], ["fine.dat"])

    def test_upload_errors_are_answered(self):
        folder = os.path.join(self.root, "18", "7")
        os.makedirs(os.path.join(folder, "afolder"))
        with open(os.path.join(folder, "afile"), "wb") as f:
            f.write(b"x")
        for name, status in [("n" * 300, 400),
                             ("afolder", 409),
                             ("afile/below.dat", 409),
                             ("/".join(["d" * 200] * 25) + "/deep.dat", 400)]:
            with self.subTest(name[:20]):
                self.assertEqual(self.put(name, "18", "7", b"body bytes")[0], status)
        with open(os.path.join(folder, "afile"), "rb") as f:
            self.assertEqual(f.read(), b"x")

    def test_temporaries_are_the_servers_own(self):
        # Those a crash left were removed when the server started; one still
        # growing was not.
        self.assertFalse(os.path.exists(self.stale))
        self.assertTrue(os.path.exists(self.receiving))
        self.assertNotIn(".upload-def456", [f["filename"] for f in self.rpc.GetFiles("16", "7")])
        folder = os.path.join(self.root, "19", "7")
        os.makedirs(folder)
        with open(os.path.join(folder, ".upload-xyz"), "wb") as f:
            f.write(b"in progress")
        for name in [".upload-xyz", ".upload-new", "sub/.upload-x"]:
            with self.subTest(name):
                self.assertEqual(self.put(name, "19", "7", b"evil")[0], 403)
                self.assertEqual(self.get("/" + name, "19", "7")[0], 403)
                with self.assertRaises(xmlrpc.client.Fault):
                    self.rpc.FileFromServer("19", "7", name)
                with self.assertRaises(xmlrpc.client.Fault):
                    self.rpc.FileToServer("19", "7", name, b"evil")
        with open(os.path.join(folder, ".upload-xyz"), "rb") as f:
            self.assertEqual(f.read(), b"in progress")

    def test_herd_folder_linked_outside_is_refused(self):
        outside = os.path.join(self.tmp, "elsewhere")
        os.makedirs(os.path.join(outside, "7"))
        with open(os.path.join(outside, "7", "secret.dat"), "wb") as f:
            f.write(b"secret")
        os.symlink(outside, os.path.join(self.root, "linked"))
        self.assertEqual(self.put("x.dat", "linked", "7", b"evil")[0], 403)
        self.assertEqual(self.get("/secret.dat", "linked", "7")[0], 403)
        for call in [lambda: self.rpc.GetFiles("linked", "7"),
                     lambda: self.rpc.FileFromServer("linked", "7", "secret.dat"),
                     lambda: self.rpc.FileToServer("linked", "7", "x.dat", b"evil")]:
            with self.assertRaises(xmlrpc.client.Fault):
                call()
        self.assertEqual(sorted(os.listdir(os.path.join(outside, "7"))), ["secret.dat"])


class ConnectionLimitsTest(unittest.TestCase):
    """Servers of their own, with short timeouts and small bounds."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(dir=WORK)

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def test_half_sent_requests_time_out_and_connections_are_bounded(self):
        proc, port = start_server(os.path.join(self.tmp, "root"), "--timeout", "2",
                                  "--max-connections", "4")
        try:
            sockets = []
            for i in range(10):
                s = socket.create_connection(("127.0.0.1", port), timeout=20)
                s.sendall(b"PUT /UPLOAD?file=half%d&herdcode=1&clientid=2 HTTP/1.1\r\n"
                          b"Content-Length: 100\r\n\r\nabc" % i)
                sockets.append(s)
            time.sleep(0.5)
            self.assertLessEqual(threads(proc.pid), 4 + 2)
            start = time.monotonic()
            for s in sockets:
                while s.recv(4096):
                    pass
                s.close()
            # Four at a time, two seconds each: three rounds.
            self.assertLess(time.monotonic() - start, 12)
            # And the server still serves.
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            conn.request("GET", "/none?herdcode=1&clientid=2")
            self.assertEqual(conn.getresponse().status, 404)
            conn.close()
        finally:
            stop_server(proc)

    def test_no_spin_at_the_file_limit(self):
        def few_files():
            resource.setrlimit(resource.RLIMIT_NOFILE, (24, 24))
        proc, port = start_server(os.path.join(self.tmp, "root"), "--max-connections", "64",
                                  preexec_fn=few_files)
        sockets = []
        try:
            # Connections until the server has no file left to accept one
            # (and its listening queue is full).
            for _ in range(60):
                try:
                    sockets.append(socket.create_connection(("127.0.0.1", port), timeout=1))
                except OSError:
                    break
            time.sleep(0.5)
            self.assertGreaterEqual(len(os.listdir("/proc/%d/fd" % proc.pid)), 23)
            before = cpu_seconds(proc.pid)
            time.sleep(2)
            self.assertLess(cpu_seconds(proc.pid) - before, 0.5)
        finally:
            for s in sockets:
                s.close()
            stop_server(proc)



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
