#!/usr/bin/env python3
"""The reference sync server: the counterpart of the transfer client's
sync-server operations, for tests and for people trying them.

    python3 server/sync_server.py ROOT [--port 6060]

It listens on 127.0.0.1 and keeps each herd's and client's files in the folder
ROOT/<herdcode>/<clientid>/. It serves:

  POST /BVSYNC   XML-RPC: Hello(name) -> string
                          GetFiles(herdcode, clientid) -> [{filename, filedate}]
                          FileToServer(herdcode, clientid, filename, data) -> {success, filesize}
                          FileFromServer(herdcode, clientid, filename) -> base64
  PUT  /UPLOAD?file=NAME&herdcode=H&clientid=C   stores the body as NAME
  GET  /NAME?herdcode=H&clientid=C               serves NAME back

A herd code or client id must be one plain folder name; a file name may hold
sub-folders ("/"), but no name may lead outside its herd's and client's
folder: such requests are refused (403, or a fault for remote calls).
"""
import argparse
import datetime
import http.server
import os
import socketserver
import sys
import tempfile
import urllib.parse
import xmlrpc.client
import xmlrpc.server

MODULE_PATH = "/BVSYNC"
BLOCK = 65536


class I8(int):
    """An integer sent as <i8>: Python's marshaller writes only 32-bit <int>."""


def _dump_i8(marshaller, value, write):
    write("<value><i8>%d</i8></value>" % int(value))


xmlrpc.client.Marshaller.dispatch[I8] = _dump_i8


class Refused(Exception):
    """A herd, client or file name that is not acceptable."""


class Store:
    def __init__(self, root):
        self.root = os.path.realpath(root)

    def folder(self, herdcode, clientid):
        for value in (herdcode, clientid):
            if (not isinstance(value, str) or value in ("", ".", "..") or "/" in value
                    or "\\" in value or "\0" in value):
                raise Refused("bad herd code or client id: %r" % (value,))
        return os.path.join(self.root, herdcode, clientid)

    def path(self, herdcode, clientid, name):
        """The real path of a file, which must stay inside its folder."""
        base = os.path.realpath(self.folder(herdcode, clientid))
        if not isinstance(name, str) or "\0" in name or "\\" in name:
            raise Refused("bad file name: %r" % (name,))
        name = name.lstrip("/")
        full = os.path.realpath(os.path.join(base, name))
        if os.path.commonpath([base, full]) != base or full == base:
            raise Refused("file name outside the folder: %r" % (name,))
        return full

    def write(self, herdcode, clientid, name, chunks):
        """Stores the chunks as the file (replaced whole); returns its size."""
        full = self.path(herdcode, clientid, name)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        fd, temp = tempfile.mkstemp(dir=os.path.dirname(full), prefix=".upload-")
        size = 0
        try:
            with os.fdopen(fd, "wb") as out:
                for chunk in chunks:
                    out.write(chunk)
                    size += len(chunk)
            os.replace(temp, full)
        except BaseException:
            os.unlink(temp)
            raise
        return size

    def files(self, herdcode, clientid):
        base = self.folder(herdcode, clientid)
        found = []
        for folder, dirs, names in os.walk(base):
            dirs.sort()
            for name in sorted(names):
                if name.startswith(".upload-"):
                    continue
                full = os.path.join(folder, name)
                rel = os.path.relpath(full, base).replace(os.sep, "/")
                found.append((rel, os.path.getmtime(full)))
        return found


class SyncFunctions:
    """The remote functions; wrong parameters give faults."""

    def __init__(self, store):
        self.store = store

    def _strings(self, *values):
        for v in values:
            if not isinstance(v, str):
                raise xmlrpc.client.Fault(2, "a parameter is not a string: %r" % (v,))

    def _path(self, herdcode, clientid, filename):
        self._strings(herdcode, clientid, filename)
        try:
            return self.store.path(herdcode, clientid, filename)
        except Refused as e:
            raise xmlrpc.client.Fault(3, str(e))

    def Hello(self, name):
        self._strings(name)
        return "Hello, %s" % name

    def GetFiles(self, herdcode, clientid):
        self._strings(herdcode, clientid)
        try:
            files = self.store.files(herdcode, clientid)
        except Refused as e:
            raise xmlrpc.client.Fault(3, str(e))
        return [{"filename": name,
                 "filedate": datetime.datetime.fromtimestamp(int(mtime))}
                for name, mtime in files]

    def FileToServer(self, herdcode, clientid, filename, data):
        self._path(herdcode, clientid, filename)
        if not isinstance(data, bytes):
            raise xmlrpc.client.Fault(2, "data is not base64")
        try:
            size = self.store.write(herdcode, clientid, filename, [data])
        except OSError:
            return {"success": False, "filesize": I8(0)}
        return {"success": True, "filesize": I8(size)}

    def FileFromServer(self, herdcode, clientid, filename):
        full = self._path(herdcode, clientid, filename)
        try:
            with open(full, "rb") as f:
                return f.read()
        except OSError:
            raise xmlrpc.client.Fault(4, "no such file: %s" % filename)


class Handler(xmlrpc.server.SimpleXMLRPCRequestHandler):
    rpc_paths = (MODULE_PATH,)
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        if self.server.verbose:
            super().log_message(fmt, *args)

    def _query(self):
        url = urllib.parse.urlsplit(self.path)
        try:
            query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True,
                                                strict_parsing=bool(url.query),
                                                errors="strict"))
        except (ValueError, UnicodeDecodeError):
            query = None
        return urllib.parse.unquote(url.path, errors="strict"), query

    def _answer(self, status, text=""):
        body = (text + "\n").encode() if text else b""
        self.send_response(status)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_PUT(self):
        try:
            path, query = self._query()
        except UnicodeDecodeError:
            path, query = None, None
        length = self.headers.get("Content-Length")
        if path != "/UPLOAD":
            self.close_connection = True
            return self._answer(404, "only /UPLOAD takes files")
        if query is None or not all(k in query for k in ("file", "herdcode", "clientid")):
            self.close_connection = True
            return self._answer(400, "file, herdcode and clientid are needed")
        if length is None or not length.isdigit():
            self.close_connection = True
            return self._answer(411, "Content-Length is needed")
        remaining = int(length)

        def chunks():
            nonlocal remaining
            while remaining:
                chunk = self.rfile.read(min(BLOCK, remaining))
                if not chunk:
                    raise ConnectionError("body cut short")
                remaining -= len(chunk)
                yield chunk

        try:
            size = self.server.store.write(query["herdcode"], query["clientid"], query["file"],
                                           chunks())
        except Refused as e:
            # The client is still sending: take the rest of the body (up to
            # a bound) so that it reads the refusal instead of a broken
            # connection.
            self._drain(remaining)
            self.close_connection = True
            return self._answer(403, str(e))
        except ConnectionError:
            self.close_connection = True
            return
        self._answer(200, "stored %d bytes" % size)

    def _drain(self, remaining, limit=64 << 20):
        if remaining > limit:
            return
        while remaining:
            chunk = self.rfile.read(min(BLOCK, remaining))
            if not chunk:
                return
            remaining -= len(chunk)

    def do_GET(self):
        try:
            path, query = self._query()
        except UnicodeDecodeError:
            return self._answer(400, "bad escaping")
        if query is None or "herdcode" not in query or "clientid" not in query:
            return self._answer(400, "herdcode and clientid are needed")
        try:
            full = self.server.store.path(query["herdcode"], query["clientid"], path)
        except Refused as e:
            return self._answer(403, str(e))
        if not os.path.isfile(full):
            return self._answer(404, "no such file")
        with open(full, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            while True:
                chunk = f.read(BLOCK)
                if not chunk:
                    break
                self.wfile.write(chunk)


class SyncServer(socketserver.ThreadingMixIn, xmlrpc.server.SimpleXMLRPCServer):
    daemon_threads = True

    def __init__(self, root, port, verbose=False):
        super().__init__(("127.0.0.1", port), requestHandler=Handler, logRequests=verbose,
                         allow_none=False, use_builtin_types=True)
        self.verbose = verbose
        self.store = Store(root)
        functions = SyncFunctions(self.store)
        for name in ("Hello", "GetFiles", "FileToServer", "FileFromServer"):
            self.register_function(getattr(functions, name), name)


def main():
    parser = argparse.ArgumentParser(description="The reference sync server.")
    parser.add_argument("root", help="folder holding the herds' and clients' files")
    parser.add_argument("--port", type=int, default=6060, help="port on 127.0.0.1 (0: any free one)")
    parser.add_argument("--verbose", action="store_true", help="log every request")
    args = parser.parse_args()
    os.makedirs(args.root, exist_ok=True)
    server = SyncServer(args.root, args.port, args.verbose)
    print("sync server on 127.0.0.1:%d, files in %s" % (server.server_address[1],
                                                         server.store.root), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
