"""Keys pressed straight through the XTEST extension, and a keep-alive for keytrace's
window, for the reliability tests under Wine. Python standard library only (ctypes, and the
libX11 and libXtst that xdotool already needs).

A key event sent this way reaches the hooks about 2 ms later, most within a millisecond of
that; one sent by starting xdotool takes 5 to 20 ms. The release races need the former to land
a release on a repeat.
"""

import ctypes
import subprocess
import threading
import time


class XTestKeys:
    """One X connection that sends key events with XTestFakeKeyEvent."""

    def __init__(self, display):
        self._x11 = ctypes.CDLL("libX11.so.6")
        self._xtst = ctypes.CDLL("libXtst.so.6")
        x11, xtst = self._x11, self._xtst
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XStringToKeysym.restype = ctypes.c_ulong
        x11.XStringToKeysym.argtypes = [ctypes.c_char_p]
        x11.XKeysymToKeycode.restype = ctypes.c_ubyte
        x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        x11.XFlush.argtypes = [ctypes.c_void_p]
        x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int,
                                           ctypes.c_ulong]
        self._dpy = x11.XOpenDisplay(display.encode())
        if not self._dpy:
            raise OSError("cannot open X display %s" % display)
        self._codes = {}
        self._lock = threading.Lock()

    def _code(self, key):
        code = self._codes.get(key)
        if code is None:
            code = self._x11.XKeysymToKeycode(self._dpy, self._x11.XStringToKeysym(key.encode()))
            if not code:
                raise ValueError("no key code for %s" % key)
            self._codes[key] = code
        return code

    def send(self, key, down):
        with self._lock:
            self._xtst.XTestFakeKeyEvent(self._dpy, self._code(key), 1 if down else 0, 0)
            self._x11.XFlush(self._dpy)

    def down(self, key):
        self.send(key, True)

    def up(self, key):
        self.send(key, False)

    def close(self):
        with self._lock:
            if self._dpy:
                self._x11.XSync(self._dpy, 0)
                self._x11.XCloseDisplay(self._dpy)
                self._dpy = None


class KeepAlive:
    """Moves the pointer inside keytrace's window every couple of seconds.

    NOTE: wineserver skips a low-level hook whose thread has not asked for a message for 5 s
    and is not waiting on its queue. keytrace's window thread is also the one that reads the
    X events and feeds them in, so after 5 quiet seconds the first key events of a burst pass
    its hook unseen (Velmora's hook, idle in GetMessage, still sees them). A pointer motion
    over its window makes that thread fetch a message; it is no keyboard event, so Velmora
    ignores it.
    """

    def __init__(self, session, period=2.0):
        self._session = session
        self._period = period
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="keepalive", daemon=True)

    def start(self):
        self._thread.start()
        return self

    def _run(self):
        s = self._session
        x = 5
        while not self._stop.wait(self._period):
            x = 11 - x  # 5, 6, 5, ...: always a motion, always inside the window
            try:
                subprocess.run(["xdotool", "mousemove", "--window", str(s.xwin["main"]), str(x),
                                "5"], env=s.env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=20)
            except (OSError, subprocess.TimeoutExpired):
                pass

    def stop(self):
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join(timeout=30)


def sleep_until(now_ms, target_ms):
    """Sleeps until now_ms() reaches target_ms, the last 2 ms in short steps."""
    while True:
        left = target_ms - now_ms()
        if left <= 0:
            return
        time.sleep((left - 1.5) / 1000.0 if left > 2.5 else 0.0002)
