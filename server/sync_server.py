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
folder, hold a character that XML cannot carry, or name the server's own
temporary files (".upload-..."): such requests are refused (403, or a fault
for remote calls).

Each connection has a timeout (--timeout, 30 s without progress) and at most
--max-connections are served at once; further ones wait to be accepted. A
request body needs a Content-Length of plain digits within the limits
(--max-call for remote calls, --max-upload for files): else 411 or 413, and
400 for two Content-Length headers.
"""
import argparse
import base64
import binascii
import datetime
import errno
import http.server
import os
import re
import socketserver
import sys
import tempfile
import threading
import time
import urllib.parse
import xmlrpc.client
import xmlrpc.server

MODULE_PATH = "/BVSYNC"
BLOCK = 65536
TEMP_PREFIX = ".upload-"
TIMEOUT = 30                  # seconds a connection may go without progress
MAX_CONNECTIONS = 64          # connections served at once
# A remote call carries a file of up to 64 MiB as base64 (4 bytes for 3),
# plus its envelope.
MAX_CALL = (64 << 20) * 4 // 3 + (1 << 20)
# An upload is at most what the transfer client can announce.
MAX_UPLOAD = 0xFFFFFFFF
DIGITS = re.compile(r"[0-9]{1,19}\Z", re.ASCII)
# Characters XML 1.0 cannot carry: a name holding one could never be listed.
NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")


class I8(int):
    """An integer sent as <i8>: Python's marshaller writes only 32-bit <int>."""


def _dump_i8(marshaller, value, write):
    write("<value><i8>%d</i8></value>" % int(value))


xmlrpc.client.Marshaller.dispatch[I8] = _dump_i8


def _strict_base64(unmarshaller, data):
    """<base64> decoded strictly: anything but base64 and blanks is an error
    (the library's own decoder skips what it does not know)."""
    text = re.sub(r"[ \t\r\n]", "", data)
    try:
        value = base64.b64decode(text.encode("ascii"), validate=True)
    except (binascii.Error, UnicodeEncodeError, ValueError):
        raise ValueError("not base64")
    unmarshaller.append(value if getattr(unmarshaller, "_use_bytes", True) else xmlrpc.client.Binary(value))
    unmarshaller._value = 0


xmlrpc.client.Unmarshaller.dispatch["base64"] = _strict_base64


class Refused(Exception):
    """A herd, client or file name that is not acceptable."""


class Store:
    def __init__(self, root):
        self.root = os.path.realpath(root)

    def remove_stale_temporaries(self, age):
        """Removes what uploads cut off by a crash left behind: temporaries
        untouched for `age` seconds. Younger ones may belong to an upload
        that another server process sharing the store is receiving."""
        removed = 0
        limit = time.time() - age
        for folder, _, names in os.walk(self.root):
            for name in names:
                if name.startswith(TEMP_PREFIX):
                    full = os.path.join(folder, name)
                    try:
                        if os.lstat(full).st_mtime < limit:
                            os.unlink(full)
                            removed += 1
                    except OSError:
                        pass
        return removed

    def folder(self, herdcode, clientid):
        """The real path of a herd's and client's folder, which must be
        inside the root (a herd folder that is a link elsewhere is not)."""
        for value in (herdcode, clientid):
            if (not isinstance(value, str) or value in ("", ".", "..") or "/" in value
                    or "\\" in value or "\0" in value or NOT_XML.search(value)):
                raise Refused("bad herd code or client id: %r" % (value,))
        base = os.path.realpath(os.path.join(self.root, herdcode, clientid))
        if os.path.commonpath([self.root, base]) != self.root or base == self.root:
            raise Refused("herd folder outside the root: %r" % (herdcode,))
        return base

    def path(self, herdcode, clientid, name):
        """The real path of a file, which must stay inside its folder."""
        base = self.folder(herdcode, clientid)
        if not isinstance(name, str) or "\0" in name or "\\" in name or NOT_XML.search(name):
            raise Refused("bad file name: %r" % (name,))
        name = name.lstrip("/")
        if any(part.startswith(TEMP_PREFIX) for part in name.split("/")):
            raise Refused("reserved file name: %r" % (name,))
        full = os.path.realpath(os.path.join(base, name))
        if os.path.commonpath([base, full]) != base or full == base:
            raise Refused("file name outside the folder: %r" % (name,))
        return full

    def write(self, herdcode, clientid, name, chunks):
        """Stores the chunks as the file (replaced whole); returns its size."""
        full = self.path(herdcode, clientid, name)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        if os.path.isdir(full):
            raise IsADirectoryError(errno.EISDIR, "a folder has this name", name)
        fd, temp = tempfile.mkstemp(dir=os.path.dirname(full), prefix=TEMP_PREFIX)
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
                full = os.path.join(folder, name)
                rel = os.path.relpath(full, base).replace(os.sep, "/")
                # Temporaries and names put there by other means that XML
                # cannot carry are not the client's files.
                if name.startswith(TEMP_PREFIX) or NOT_XML.search(rel):
                    continue
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

    def setup(self):
        # A connection that makes no progress for this long is closed: a
        # client that sends half a request does not hold a thread for ever.
        self.timeout = self.server.timeout_seconds
        super().setup()

    def _length(self, limit):
        """The body's length, or None once a refusal has been answered:
        plain digits within the limit; two Content-Length headers are a 400."""
        values = self.headers.get_all("Content-Length") or []
        if len(values) > 1:
            self.close_connection = True
            self._answer(400, "more than one Content-Length")
            return None
        if not values or not DIGITS.match(values[0].strip()) or "Transfer-Encoding" in self.headers:
            self.close_connection = True
            self._answer(411, "a Content-Length of plain digits is needed")
            return None
        length = int(values[0].strip())
        if length > limit:
            self.close_connection = True
            self._answer(413, "the body is larger than %d bytes" % limit)
            return None
        return length

    def do_POST(self):
        if self._length(self.server.max_call) is None:
            return
        super().do_POST()

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
        if path != "/UPLOAD":
            self.close_connection = True
            return self._answer(404, "only /UPLOAD takes files")
        if query is None or not all(k in query for k in ("file", "herdcode", "clientid")):
            self.close_connection = True
            return self._answer(400, "file, herdcode and clientid are needed")
        length = self._length(self.server.max_upload)
        if length is None:
            return
        remaining = length

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
        except (ConnectionError, TimeoutError):
            self.close_connection = True
            return
        except OSError as e:
            # A name the file system cannot take: too long, a folder, below a
            # file, or a path too deep.
            self._drain(remaining)
            self.close_connection = True
            if e.errno in (errno.ENAMETOOLONG, errno.ELOOP):
                return self._answer(400, "name too long")
            if e.errno in (errno.EISDIR, errno.ENOTDIR, errno.EEXIST):
                return self._answer(409, "the name is taken by a folder or a file")
            return self._answer(500, "the file could not be stored")
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
    block_on_close = False
    request_queue_size = 128  # connections waiting while max_connections are served

    def __init__(self, root, port, verbose=False, timeout=TIMEOUT, max_connections=MAX_CONNECTIONS,
                 max_call=MAX_CALL, max_upload=MAX_UPLOAD, host="127.0.0.1"):
        super().__init__((host, port), requestHandler=Handler, logRequests=verbose,
                         allow_none=False, use_builtin_types=True)
        self.verbose = verbose
        self.timeout_seconds = timeout
        self.max_call = max_call
        self.max_upload = max_upload
        self.slots = threading.BoundedSemaphore(max_connections)
        self.store = Store(root)
        functions = SyncFunctions(self.store)
        for name in ("Hello", "GetFiles", "FileToServer", "FileFromServer"):
            self.register_function(getattr(functions, name), name)

    def get_request(self):
        # At the file limit accept fails while the listening socket stays
        # readable: wait a little instead of trying again at once.
        try:
            return super().get_request()
        except OSError as e:
            if e.errno in (errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM):
                time.sleep(0.1)
            raise

    def process_request(self, request, client_address):
        # At most max_connections are served at once; the next one waits
        # here (and further ones in the listening queue) until one ends.
        self.slots.acquire()
        try:
            super().process_request(request, client_address)
        except BaseException:
            self.slots.release()
            raise

    def process_request_thread(self, request, client_address):
        try:
            super().process_request_thread(request, client_address)
        finally:
            self.slots.release()


def main():
    parser = argparse.ArgumentParser(description="The reference sync server.")
    parser.add_argument("root", help="folder holding the herds' and clients' files")
    parser.add_argument("--port", type=int, default=6060, help="port on 127.0.0.1 (0: any free one)")
    parser.add_argument("--verbose", action="store_true", help="log every request")
    parser.add_argument("--timeout", type=float, default=TIMEOUT,
                        help="seconds a connection may go without progress (default %(default)s)")
    parser.add_argument("--max-connections", type=int, default=MAX_CONNECTIONS,
                        help="connections served at once (default %(default)s)")
    parser.add_argument("--max-call", type=int, default=MAX_CALL,
                        help="largest remote-call body in bytes (default %(default)s)")
    parser.add_argument("--max-upload", type=int, default=MAX_UPLOAD,
                        help="largest upload in bytes (default %(default)s)")
    args = parser.parse_args()
    os.makedirs(args.root, exist_ok=True)
    server = SyncServer(args.root, args.port, args.verbose, args.timeout, args.max_connections,
                        args.max_call, args.max_upload)
    # An upload making no progress for twice the connection timeout is dead.
    removed = server.store.remove_stale_temporaries(2 * args.timeout)
    if removed:
        print("removed %d unfinished upload(s)" % removed, file=sys.stderr, flush=True)
    print("sync server on 127.0.0.1:%d, files in %s" % (server.server_address[1],
                                                         server.store.root), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
