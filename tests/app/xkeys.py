#!/usr/bin/env python3
"""Presses keys at the X display, as a user at its keyboard does.

    python3 xkeys.py [--done FILE] Alt_L+F4 [more ...]

Each argument is one chord of X key names joined by "+": the keys go down
in order and up in reverse order, through the X server's test extension
(libXtst), so the window under test reads them from the display as it
reads a user's. Exit status 0 when every chord was sent, 2 when there is
no display or no test extension, 3 for an unknown key name. With --done,
the status is also written to FILE, for a Windows program under Wine,
which gets no handle on a Unix process it starts.
"""
import ctypes
import ctypes.util
import os
import sys


def load(name):
    path = ctypes.util.find_library(name)
    try:
        return ctypes.CDLL(path or "lib%s.so.6" % name)
    except OSError:
        return None


def main(chords):
    x11, xtst = load("X11"), load("Xtst")
    if not x11 or not xtst:
        print("xkeys: libX11 or libXtst is missing", file=sys.stderr)
        return 2
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XStringToKeysym.restype = ctypes.c_ulong
    x11.XStringToKeysym.argtypes = [ctypes.c_char_p]
    x11.XKeysymToKeycode.restype = ctypes.c_ubyte
    x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]

    display = x11.XOpenDisplay(None)
    if not display:
        print("xkeys: no X display", file=sys.stderr)
        return 2
    try:
        for chord in chords:
            codes = [x11.XKeysymToKeycode(display, x11.XStringToKeysym(k.encode())) for k in chord.split("+")]
            if 0 in codes:
                print("xkeys: unknown key in %r" % chord, file=sys.stderr)
                return 3
            for code in codes:
                xtst.XTestFakeKeyEvent(display, code, 1, 0)
            for code in reversed(codes):
                xtst.XTestFakeKeyEvent(display, code, 0, 0)
            x11.XSync(display, 0)
    finally:
        x11.XCloseDisplay(display)
    return 0


if __name__ == "__main__":
    args = sys.argv[1:]
    done = None
    if len(args) >= 2 and args[0] == "--done":
        done, args = args[1], args[2:]
    status = main(args)
    if done:
        with open(done + ".part", "w") as f:
            f.write("%d\n" % status)
        os.replace(done + ".part", done)
    sys.exit(status)
