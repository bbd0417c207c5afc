#!/usr/bin/env python3
"""Watches one pixel of an X display and reports when it changes, for timing a screen change as a
viewer draws it. Usage: pixel_watch.py X Y TIMEOUT_SECONDS (the display from $DISPLAY).

Prints "ready R G B" once it has read the pixel, then "changed MS R G B" (MS: Unix time in
milliseconds) when some channel moved by more than 40, or "timeout" after TIMEOUT_SECONDS.
Reads with XGetImage through ctypes (libX11 only), about every 2 ms."""
import ctypes
import ctypes.util
import sys
import time

ALL_PLANES = ctypes.c_ulong(0xFFFFFFFF)
Z_PIXMAP = 2


def main() -> int:
    x, y, timeout = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    x11 = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11") or "libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XDefaultRootWindow.restype = ctypes.c_ulong
    x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x11.XGetImage.restype = ctypes.c_void_p
    x11.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                              ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
    x11.XGetPixel.restype = ctypes.c_ulong
    x11.XGetPixel.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
    x11.XDestroyImage.argtypes = [ctypes.c_void_p]
    display = x11.XOpenDisplay(None)
    if not display:
        print("error: cannot open the display", flush=True)
        return 1
    root = x11.XDefaultRootWindow(display)

    def read():
        image = x11.XGetImage(display, root, x, y, 1, 1, ALL_PLANES, Z_PIXMAP)
        if not image:
            raise SystemExit("error: XGetImage failed")
        pixel = x11.XGetPixel(image, 0, 0)
        x11.XDestroyImage(image)
        return ((pixel >> 16) & 255, (pixel >> 8) & 255, pixel & 255)

    first = read()
    print("ready %d %d %d" % first, flush=True)
    deadline = time.time() + timeout
    while time.time() < deadline:
        now = read()
        if any(abs(a - b) > 40 for a, b in zip(now, first)):
            print("changed %d %d %d %d" % ((round(time.time() * 1000),) + now), flush=True)
            return 0
        time.sleep(0.002)
    print("timeout", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
