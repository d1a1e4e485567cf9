# The Wine layer's fixtures: a private X display with a Wine prefix and keytrace holding the focus
# (session), one velmora.exe shared by the tests and started again when a test ended it, and each
# test's observed stream (kb), which the oracle judges when the test ends.

import ctypes
import os
import signal
import sys
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "wine_desktop"))
import harness  # noqa: E402
from oracle import SCAN, VK, check, explain, timeline  # noqa: E402

BUILD = os.environ.get("VELMORA_BUILD", os.path.join(HERE, "..", "..", "build", "windows"))
VELMORA = os.path.abspath(os.path.join(BUILD, "velmora.exe"))
KEYTRACE = os.path.abspath(os.path.join(BUILD, "tools", "keytrace.exe"))
# KeyboardDelay 0 arms in 283 ms rather than 533: every hold is shorter.
SETTINGS = '"KeyboardSpeed"="31"\n"KeyboardDelay"="0"'
ARM, INTERVAL = 283, 33


# Keys go straight through XTEST: they reach the hooks about 2 ms after they are sent, where
# starting xdotool takes 5 to 20 ms, and the release races need the former.
class XTest:
    def __init__(self, display):
        self.x11, self.xtst = ctypes.CDLL("libX11.so.6"), ctypes.CDLL("libXtst.so.6")
        self.x11.XOpenDisplay.restype = ctypes.c_void_p
        self.x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        self.x11.XFlush.argtypes = self.xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p]
        self.dpy = ctypes.c_void_p(self.x11.XOpenDisplay(display.encode()))
        assert self.dpy, "cannot open X display %s" % display

    def send(self, key, down):
        """A key by its keysym's name, or by its keycode."""
        if not isinstance(key, int):
            sym = self.x11.XStringToKeysym({" ": "space"}.get(key, key).encode())
            key = self.x11.XKeysymToKeycode(self.dpy, sym)
        self.xtst.XTestFakeKeyEvent(self.dpy, key, down, 0)
        self.x11.XFlush(self.dpy)


def import_reg(desk, values):
    """Writes HKCU\\Control Panel\\Keyboard through `wine reg import`; None deletes the key."""
    key = r"HKEY_CURRENT_USER\Control Panel\Keyboard"
    desk.wine_cmd(["reg", "delete", key, "/f"])
    if values is not None:
        path = os.path.join(desk.workdir, "settings.reg")
        with open(path, "w", encoding="utf-16", newline="\r\n") as f:
            f.write("Windows Registry Editor Version 5.00\n\n[%s]\n%s\n" % (key, values))
        code, text = desk.wine_cmd(["reg", "import", "Z:" + path.replace("/", "\\")])
        assert code == 0, "reg import: %s" % text


@pytest.fixture(scope="session")
def desk():
    for exe in (VELMORA, KEYTRACE):
        assert os.path.isfile(exe), "%s is missing: cmake --build --preset windows" % exe
    # A timed-out ctest ends pytest with SIGTERM: unwind, so that Xvfb and Wine are ended too.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    with harness.Session(os.path.join(BUILD, "e2e"), KEYTRACE) as s:
        import_reg(s, SETTINGS)
        s.x = XTest(s.display)
        yield s


def end_keytrace(desk, proc, trace):
    """Ends a keytrace with WM_QUIT. NOTE: Wine on a loaded CI machine once left one running 30 s
    after it. Once its log says it has left its loop (its hook is removed), ending the process
    touches no hook chain; before that, WM_QUIT is posted once more."""
    for _ in range(2):
        code, text = desk.post_quit(trace.pid)
        assert code == 0, "keytrace --stop %d: %s" % (trace.pid, text)
        try:
            proc.wait(15, "%s to exit" % proc.name)
            return
        except harness.HarnessError:
            trace.poll()
        if any(line.startswith("exit ") for line in trace.lines):
            harness.log("%s (pid %d) left its loop but not the process: ending it"
                        % (proc.name, trace.pid))
            proc.popen.kill()
            proc.wait(10)
            return
    raise harness.HarnessError("%s (pid %d) is still running after two WM_QUIT; its last lines:\n%s"
                               % (proc.name, trace.pid, "\n".join(trace.lines[-5:])))


# The velmora.exe the tests share, and the windowless keytrace that observes it. The observer is
# started after Velmora, so its hook runs first (the hook installed last runs first): it sees every
# key event before Velmora does. NOTE: it also sidesteps two things Wine does to the keytrace that
# holds the focus: wineserver skips the hook of a thread that has fetched no message for 5 s, which
# that keytrace's thread, feeding X input in, has not after a quiet spell; and Wine 8 leaves a
# killed process's hook in the chain and calls no hook behind it.
class Velmora:
    def __init__(self, desk):
        self.desk, self.proc, self.observer, self.copies, self.restarted = desk, None, None, [], None
        self.trace, self.arm, self.interval = desk.trace, ARM, INTERVAL

    def start(self, arm=ARM, interval=INTERVAL):
        self.arm, self.interval = arm, interval
        # From here until the next observe(), the observer's hook runs behind the new Velmora's and
        # stamps its keys late: the probe hold below is not judged by its due times (Stream.trace).
        self.restarted = (self.trace, self.trace.now())
        self.proc = self.desk.start_repeating(VELMORA, trace=self.trace)
        self.copies.append(self.proc)
        # The probe's last repeat may have raced its release: let the key-up come first.
        t = self.trace
        harness.wait_until(lambda: t.now() - max([e.t for e in t.since(0) if e.injected] or [0])
                           > 300, 30, "Velmora to go quiet")
        self.observe()
        return self.proc

    def observe(self):
        """Hooks a new observer in ahead of every hook there is, and ends the previous one."""
        old, old_trace = self.observer, self.trace
        out = os.path.join(self.desk.workdir, "observer-%d.log" % len(self.desk.procs))
        self.observer = self.desk.start_program(KEYTRACE, [], "observer", out, out + ".err")
        self.trace = harness.Trace(out)
        harness.wait_until(lambda: self.trace.poll() or self.trace.ready, 60, "a new keytrace")
        if old is not None:
            end_keytrace(self.desk, old, old_trace)

    def quit(self):
        """WM_QUIT to Velmora's main thread; returns its exit code."""
        if self.proc is None or not self.proc.running():
            return None
        code, text = self.desk.post_quit(self.proc.win_pid)
        assert code == 0, "keytrace --stop: %s" % text
        rc, self.proc = self.proc.wait(30, "velmora.exe to exit after WM_QUIT"), None
        return rc


@pytest.fixture(scope="session")
def vm(desk):
    v = Velmora(desk)
    yield v
    v.quit()


@pytest.fixture
def velmora(desk, vm):
    """The shared velmora.exe with the session's settings, keytrace's window in front."""
    if vm.proc is None or not vm.proc.running() or (vm.arm, vm.interval) != (ARM, INTERVAL):
        vm.quit()
        vm.start()
    if desk.trace.fg != desk.hwnd["main"]:
        desk.focus("main")
    return vm


# keytrace --raw: each key event's hook view and raw input view, and the verdict of Velmora's
# own pairing of them. Its hook is the newest, so it runs ahead of every other.
class BothViews:
    def __init__(self, desk):
        self.desk, out = desk, os.path.join(desk.workdir, "keytrace-raw.log")
        self.proc = desk.start_program(KEYTRACE, ["--raw"], "keytrace --raw", out, out + ".err")
        self.trace = harness.Trace(out)
        harness.wait_until(lambda: self.trace.poll() or self.trace.ready, 60, "keytrace --raw")

    def stop(self):
        """Ends it, which judges what still waits for the hook, and returns all it printed."""
        if self.proc.running():
            end_keytrace(self.desk, self.proc, self.trace)
        self.trace.poll()
        return self.trace.lines


@pytest.fixture
def both_views(desk):
    views = BothViews(desk)
    yield views
    views.stop()


# What the observer sees from the test's start on, and the keys the test presses. When Velmora is
# started again, the stream goes on with the new observer, the old part judged.
class Stream:
    def __init__(self, desk, vm):
        self.desk, self.vm, self.down_keys, self.latency = desk, vm, set(), [2.0]
        self.timed_until = None  # see oracle.check
        self._trace, self.start = vm.trace, vm.trace.mark()

    @property
    def trace(self):
        if self._trace is not self.vm.trace:
            old, t = self.vm.restarted or (None, None)
            if old is self._trace and (self.timed_until is None or t < self.timed_until):
                self.timed_until = t
            self.judge()
            self._trace, self.start, self.timed_until = self.vm.trace, 0, None
        return self._trace

    def events(self):
        return self.trace.since(self.start)

    def send(self, key, down):
        (self.down_keys.add if down else self.down_keys.discard)(key)
        self.desk.x.send(key, down)

    def until(self, cond, what, timeout=15.0):
        return harness.wait_until(lambda: self.trace.poll() or cond(), timeout, what, tick=0.001)

    def wait(self, pred, what, frm=None):
        """The first event from index frm (the stream's start) on that matches pred."""
        return self.until(lambda: next((e for e in self.trace.events[
            self.start if frm is None else frm:] if pred(e)), None), what)

    def key_event(self, key, down):
        frm, sent = self.trace.mark(), self.trace.now()
        self.send(key, down)
        vk = VK[key] if key in VK else ord(key.upper())
        e = self.wait(lambda e: e.physical and e.vk == vk and e.up != down,
                      "keytrace to see %s go %s" % (key, "down" if down else "up"), frm)
        if not down:
            self.latency = self.latency[-24:] + [e.t - sent]
        return e

    def press(self, key):
        return self.key_event(key, True)

    def release(self, key):
        return self.key_event(key, False)

    def tap(self, key):
        self.press(key)
        return self.release(key)

    def repeats(self, key=None, after=None):
        """Velmora's key-downs (of key) seen after an event or a time on keytrace's clock."""
        t = getattr(after, "t", after)
        return [e for e in self.events() if e.tagged and not e.up and
                (key is None or e.scan == SCAN[key]) and (t is None or e.t > t)]

    def wait_repeats(self, key, n, after, timeout=15.0):
        return self.until(lambda: self.repeats(key, after)[n - 1:] and self.repeats(key, after),
                          "%d repeats of %s" % (n, key), timeout)

    def watch(self, ms):
        time.sleep(ms / 1000.0)
        self.trace.poll()

    def judge(self):
        problems = check(self._trace.since(self.start), self.vm.arm, self.vm.interval,
                         self.timed_until)
        if problems:
            pytest.fail(explain(problems, self._trace.since(self.start)), pytrace=False)


@pytest.fixture
def kb(request, desk, vm):
    s = Stream(desk, vm)
    yield s
    for key in list(s.down_keys):
        s.send(key, False)
    s.watch(vm.arm + 4 * vm.interval)
    if not getattr(request.node, "failed", False):
        s.judge()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    # A failure shows the last stretch of what keytrace saw.
    rep = (yield).get_result()
    s = item.funcargs.get("kb") if rep.when == "call" else None
    if rep.failed and s is not None:
        item.failed = True
        ev = [e for e in s._trace.since(s.start) if e.is_key][-60:]
        rep.sections.append(("observed stream", "\n".join(timeline(ev, ev[0].t if ev else 0))))
