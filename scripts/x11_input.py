#!/usr/bin/env python3
"""Drives an X window the way a user would, for the checks in screenshot.sh.

Usage:
  x11_input.py close WINDOW_ID     a window manager's close request (WM_DELETE_WINDOW)
  x11_input.py focus WINDOW_ID     gives the window the keyboard focus, as a
                                   window manager does for the window clicked
  x11_input.py pointer X Y         moves the pointer
  x11_input.py keys KEY...         presses keys through the XTEST extension;
                                   KEY is a key name (Return, Escape, x) with
                                   optional modifiers: alt+x, ctrl+shift+a

WINDOW_ID is decimal or 0x hex, as xwininfo prints it. Talks to libX11 and
libXtst through ctypes.
"""
import ctypes
import ctypes.util
import sys
import time


class XClientMessageEvent(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int),
        ("serial", ctypes.c_ulong),
        ("send_event", ctypes.c_int),
        ("display", ctypes.c_void_p),
        ("window", ctypes.c_ulong),
        ("message_type", ctypes.c_ulong),
        ("format", ctypes.c_int),
        ("data", ctypes.c_long * 5),
    ]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", XClientMessageEvent), ("pad", ctypes.c_long * 24)]


def load(name, fallback):
    return ctypes.cdll.LoadLibrary(ctypes.util.find_library(name) or fallback)


x11 = load("X11", "libX11.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XInternAtom.restype = ctypes.c_ulong
x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.POINTER(XEvent)]
x11.XFlush.argtypes = [ctypes.c_void_p]
x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
x11.XSetInputFocus.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_ulong]
x11.XStringToKeysym.restype = ctypes.c_ulong
x11.XStringToKeysym.argtypes = [ctypes.c_char_p]
x11.XKeysymToKeycode.restype = ctypes.c_ubyte
x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]

MODIFIERS = {"alt": "Alt_L", "ctrl": "Control_L", "shift": "Shift_L"}


def close(display, window):
    event = XEvent()
    event.xclient.type = 33  # ClientMessage
    event.xclient.window = window
    event.xclient.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
    event.xclient.format = 32
    event.xclient.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    event.xclient.data[1] = 0  # CurrentTime
    x11.XSendEvent(display, window, 0, 0, ctypes.byref(event))


def keycode(display, name):
    code = x11.XKeysymToKeycode(display, x11.XStringToKeysym(name.encode()))
    if not code:
        sys.exit(f"unknown key: {name}")
    return code


def press(display, xtst, chord):
    parts = chord.split("+")
    codes = [keycode(display, MODIFIERS.get(p.lower(), p)) for p in parts]
    for code in codes:
        xtst.XTestFakeKeyEvent(display, code, 1, 0)
    for code in reversed(codes):
        xtst.XTestFakeKeyEvent(display, code, 0, 0)
    x11.XSync(display, 0)
    time.sleep(0.05)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    display = x11.XOpenDisplay(None)
    if not display:
        sys.exit("cannot open the display")
    command, args = sys.argv[1], sys.argv[2:]
    if command == "close":
        close(display, int(args[0], 0))
    elif command == "focus":
        x11.XSetInputFocus(display, int(args[0], 0), 2, 0)  # RevertToParent, CurrentTime
    else:
        xtst = load("Xtst", "libXtst.so.6")
        xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
        xtst.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                              ctypes.c_ulong]
        if command == "pointer":
            xtst.XTestFakeMotionEvent(display, -1, int(args[0]), int(args[1]), 0)
        elif command == "keys":
            for chord in args:
                press(display, xtst, chord)
        else:
            sys.exit(f"unknown command: {command}")
    x11.XSync(display, 0)
    x11.XCloseDisplay(display)


if __name__ == "__main__":
    main()
