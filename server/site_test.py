#!/usr/bin/env python3
"""Generates the demo site with our zip tool, serves it with server/serve on a
free loopback port and fetches from it as the installer does.

    site_test.py --zip-tool TOOL --work DIR

Exit status 77 (skipped) when no zip tool is given. The server is stopped on
every way out.
"""

import argparse
import http.client
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, HERE)
import make_site  # noqa: E402  (the member lists and names)

SKIP = 77
FOLDER = "/bvfiles/bvstartup/"


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def run(args, **kw):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60,
                          **kw)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(port, path):
    """One GET with the headers the installer sends; no redirect is followed."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        conn.request("GET", path, headers={"User-Agent": "BVStartup", "Pragma": "no-cache"})
        resp = conn.getresponse()
        return resp.status, dict((k.lower(), v) for k, v in resp.getheaders()), resp.read()
    finally:
        conn.close()


def alive(pid):
    """Whether process pid runs (an unreaped zombie counts as ended)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def midi_check(data):
    """Walks a standard MIDI file event by event; answers the number of notes
    started, and fails on any structural fault."""
    check(data[:4] == b"MThd", "MIDI: no MThd chunk")
    length, fmt, ntrks, division = struct.unpack(">IHHH", data[4:14])
    check(length == 6 and fmt in (0, 1) and ntrks >= 1 and 0 < division < 0x8000,
          "MIDI: bad header %r" % ((length, fmt, ntrks, division),))
    check(fmt == 1 or ntrks == 1, "MIDI: format 0 with %d tracks" % ntrks)
    pos, notes = 14, 0
    for _ in range(ntrks):
        check(data[pos:pos + 4] == b"MTrk", "MIDI: no MTrk chunk at %d" % pos)
        (tlen,) = struct.unpack(">I", data[pos + 4:pos + 8])
        track, pos = data[pos + 8:pos + 8 + tlen], pos + 8 + tlen
        check(len(track) == tlen, "MIDI: track shorter than its length")
        i, status, sounding, ended = 0, None, set(), False
        while i < len(track):
            check(not ended, "MIDI: events after the end of the track")
            delta = 0
            for _ in range(4):
                b = track[i]
                i += 1
                delta = (delta << 7) | (b & 0x7F)
                if not b & 0x80:
                    break
            else:
                raise Failure("MIDI: delta time longer than 4 bytes")
            if track[i] & 0x80:
                status = track[i]
                i += 1
            check(status is not None, "MIDI: running status without a status")
            if status == 0xFF:
                kind, mlen = track[i], track[i + 1]
                check(mlen < 0x80, "MIDI: long meta event")
                ended = kind == 0x2F
                i += 2 + mlen
            elif status in (0xF0, 0xF7):
                raise Failure("MIDI: unexpected system-exclusive event")
            else:
                size = 1 if status & 0xF0 in (0xC0, 0xD0) else 2
                args = track[i:i + size]
                check(len(args) == size and all(a < 0x80 for a in args), "MIDI: bad channel event")
                key = (status & 0x0F, args[0])
                if status & 0xF0 == 0x90 and args[1] > 0:
                    check(key not in sounding, "MIDI: note started twice")
                    sounding.add(key)
                    notes += 1
                elif status & 0xF0 in (0x80, 0x90):
                    check(key in sounding, "MIDI: note ended that was not sounding")
                    sounding.discard(key)
                i += size
        check(ended, "MIDI: track without an end event")
        check(not sounding, "MIDI: notes still sounding at the end")
    check(pos == len(data), "MIDI: bytes after the last track")
    return notes


def check_site(site, standin, omitted):
    folder = os.path.join(site, *make_site.DOWNLOAD_FOLDER)
    for name in make_site.remote_names():
        there = os.path.isfile(os.path.join(folder, name))
        check(there != (name in omitted), "%s: %s" % (name, "present" if there else "missing"))
    for name in make_site.PROGRAM_FILES:
        if name not in omitted:
            with open(os.path.join(folder, name), "rb") as f:
                check(f.read() == standin, name + " is not the stand-in program")

    # Each archive holds its own members, in order, and every member names
    # the archive it was made for.
    for archive, members in make_site.ARCHIVES.items():
        path = os.path.join(folder, archive)
        if archive in omitted:
            continue
        with zipfile.ZipFile(path) as z:
            check(z.namelist() == members, "%s holds %s" % (archive, z.namelist()))
            check(z.testzip() is None, archive + ": a member fails its check")
            for member in members:
                tag = make_site.member_tag(member, archive).encode("ascii")
                check(tag in z.read(member), "%s/%s does not name its archive" % (archive, member))
        if shutil.which("unzip"):
            r = run(["unzip", "-tq", path])
            check(r.returncode == 0, "unzip -t %s: %s" % (archive, r.stdout.decode()))

    with open(os.path.join(folder, make_site.MUSIC_FILE), "rb") as f:
        notes = midi_check(f.read())
    check(notes >= 16, "MIDI: only %d notes" % notes)

    # The signed list names exactly the files served, each with its digest,
    # and its signature verifies with the demo key's public half, as the
    # standard tools see them.
    with open(os.path.join(folder, make_site.LIST_FILE)) as f:
        listed = sorted(line.split("  ", 1)[1].rstrip("\n") for line in f)
    served = sorted(set(make_site.remote_names()) - set(omitted))
    check(listed == served, "the list names %s" % listed)
    r = run(["sha256sum", "-c", "--quiet", make_site.LIST_FILE], cwd=folder)
    check(r.returncode == 0, "sha256sum -c: " + r.stdout.decode())
    public = os.path.join(HERE, "demo-key", "vendor.pub.pem")
    r = run(["openssl", "dgst", "-sha256", "-verify", public, "-signature", make_site.SIGNATURE_FILE,
             make_site.LIST_FILE], cwd=folder)
    check(r.returncode == 0 and b"Verified OK" in r.stdout, "openssl dgst -verify: " + r.stdout.decode())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--zip-tool", default="")
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    if not args.zip_tool:
        print("no zip tool configured (BV_ZIP_TOOL): skipped")
        return SKIP
    check(os.access(args.zip_tool, os.X_OK), "zip tool not found: " + args.zip_tool)

    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    site, rundir = os.path.join(work, "site"), os.path.join(work, "run")
    standin = os.path.join(work, "standin.exe")
    standin_bytes = b"MZ" + b"placeholder for the stand-in program\r\n" * 4
    with open(standin, "wb") as f:
        f.write(standin_bytes)
    port = free_port()
    base = "http://127.0.0.1:%d%s" % (port, FOLDER)

    def make(*omit):
        cmd = [sys.executable, os.path.join(HERE, "make_site.py"), "--base-url", base,
               "--standin", standin, "--zip-tool", args.zip_tool, site]
        for name in omit:
            cmd += ["--omit", name]
        r = run(cmd)
        check(r.returncode == 0, "make_site failed: " + r.stdout.decode())

    # A full site, then the same folder again with two files left out: they
    # must be gone, not left over from the first run.
    make()
    check_site(site, standin_bytes, set())
    omitted = {"basefiles_spa.zip", "bvlang.est"}
    make(*sorted(omitted))
    check_site(site, standin_bytes, omitted)

    serve = os.path.join(HERE, "serve")
    try:
        r = run([serve, "start", site, str(port), rundir])
        check(r.returncode == 0, "serve start: " + r.stdout.decode())

        status, headers, body = get(port, "/values/bvstartup.url")
        check(status == 200 and body == base.encode("ascii"),
              "value file: %d %r" % (status, body))

        status, headers, body = get(port, FOLDER + "zoded.___")
        check(status == 200 and body == standin_bytes, "zoded.___: %d, %d bytes" % (status, len(body)))
        check(headers.get("content-type") == "application/octet-stream",
              "zoded.___ served as %s" % headers.get("content-type"))
        check(headers.get("content-length") == str(len(standin_bytes)), "zoded.___: wrong Content-Length")

        with open(os.path.join(site, "bvfiles", "bvstartup", "basefiles.zip"), "rb") as f:
            status, _, body = get(port, FOLDER + "basefiles.zip")
            check(status == 200 and body == f.read(), "basefiles.zip differs from the site's file")

        # Missing files and folders are 404s, never redirects.
        for path in (FOLDER + "basefiles_spa.zip", FOLDER + "bvlang.est", "/bvfiles/bvstartup", FOLDER):
            status, headers, _ = get(port, path)
            check(status == 404 and "location" not in headers, "%s: %d" % (path, status))

        with open(os.path.join(rundir, "access.log")) as f:
            log = f.read()
        for line in ('"GET %szoded.___ HTTP/1.1" 200 %d ' % (FOLDER, len(standin_bytes)),
                     '"GET %sbasefiles_spa.zip HTTP/1.1" 404 ' % FOLDER):
            check(line in log, "access log lacks %s:\n%s" % (line, log))

        # A second start keeps the running server; status tells it runs.
        with open(os.path.join(rundir, "nginx.pid")) as f:
            pid = int(f.read())
        r = run([serve, "start", site, str(port), rundir])
        check(r.returncode == 0 and b"already running" in r.stdout, "second start: " + r.stdout.decode())
        check(run([serve, "status", rundir]).returncode == 0, "status: not running")

        r = run([serve, "stop", rundir])
        check(r.returncode == 0, "serve stop: " + r.stdout.decode())
        check(not alive(pid), "nginx (pid %d) still runs after stop" % pid)
        check(run([serve, "status", rundir]).returncode == 3, "status after stop: running")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=2).close()
            raise Failure("port %d still answers after stop" % port)
        except ConnectionRefusedError:
            pass
        r = run([serve, "stop", rundir])
        check(r.returncode == 0, "stopping a stopped server: " + r.stdout.decode())
    finally:
        run([serve, "stop", rundir])
    print("site generated, served, fetched and stopped on port %d" % port)
    return 0


def on_signal(signum, frame):
    raise SystemExit("stopped by signal %d" % signum)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    try:
        sys.exit(main())
    except Failure as e:
        print("FAILED: %s" % e)
        sys.exit(1)
