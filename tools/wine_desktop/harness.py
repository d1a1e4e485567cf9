"""Plumbing for running Windows programs under Wine on a private X display and
watching the keyboard through keytrace.

Used by the Wine tests (tests/e2e), the demo and the benchmarks. Python standard
library only.
"""

import os
import re
import shutil
import subprocess
import sys
import time

# dwExtraInfo that Velmora puts on every event it injects.
TAG = 0x53485250

LLKHF_EXTENDED = 0x01
LLKHF_LOWER_IL_INJECTED = 0x02
LLKHF_INJECTED = 0x10
LLKHF_ALTDOWN = 0x20
LLKHF_UP = 0x80

# xdotool key name -> scan code Velmora injects for it.
SCAN = {
    "Shift_L": 0x2A,
    "Control_L": 0x1D,
    "Alt_L": 0x38,
    "Shift_R": 0x36,
}

SCAN_NAME = {0x2A: "LShift", 0x1D: "LCtrl", 0x38: "LAlt", 0x36: "RShift"}

X11_DRIVER_KEY = r"HKCU\Software\Wine\X11 Driver"


def log(text):
    print(text, flush=True)


class HarnessError(Exception):
    """The environment could not be set up or did not answer in time."""


# ------------------------------------------------------------------ events --

_FIELD = re.compile(r"(\w+)=(\"[^\"]*\"|\S+)")


class Event:
    """One line of keytrace output that carries a time (t=...)."""

    __slots__ = ("t", "msg", "vk", "scan", "flags", "extra", "fg", "time", "key",
                 "hwnd", "state", "tick", "raw")

    def __init__(self, fields, raw):
        self.raw = raw
        self.t = float(fields["t"])
        self.msg = fields.get("msg", "")
        self.vk = _hex(fields.get("vk"))
        self.scan = _hex(fields.get("scan"))
        self.flags = _hex(fields.get("flags", "0").split("(")[0])
        self.extra = _hex(fields.get("extra"))
        self.fg = _hex(fields.get("fg"))
        self.time = int(fields["time"]) if "time" in fields else None
        self.key = fields.get("key", "")
        self.hwnd = _hex(fields.get("hwnd"))
        self.state = int(fields["state"]) if "state" in fields else None
        # GetTickCount() when keytrace saw a window event: the clock of time=.
        self.tick = int(fields["tick"]) if "tick" in fields else None

    @property
    def is_key(self):
        return self.msg.startswith("WM_") and "KEY" in self.msg

    @property
    def injected(self):
        return self.is_key and bool(self.flags & LLKHF_INJECTED)

    @property
    def physical(self):
        return self.is_key and not self.flags & LLKHF_INJECTED

    @property
    def up(self):
        return bool(self.flags & LLKHF_UP)

    @property
    def tagged(self):
        return self.injected and self.extra == TAG

    def describe(self):
        if self.msg == "WM_ACTIVATE":
            return "window 0x%X %s" % (self.hwnd or 0, "activated" if self.state else "deactivated")
        if self.msg == "FOREGROUND":
            return "foreground -> 0x%X" % (self.fg or 0)
        if not self.is_key:
            return self.raw
        what = "up  " if self.up else "down"
        if self.tagged:
            who = "Velmora %s" % SCAN_NAME.get(self.scan, "scan 0x%02X" % self.scan)
        elif self.injected:
            who = "injected (extra=0x%X)" % self.extra
        else:
            who = "physical %s" % (self.key or "vk 0x%02X" % self.vk)
        return "%s %s  (vk=0x%02X scan=0x%02X flags=0x%02X fg=0x%X time=%s)" % (
            who, what, self.vk, self.scan, self.flags, self.fg or 0, self.time)


def _hex(text):
    if text is None:
        return None
    try:
        return int(text, 16)
    except ValueError:
        return None


def parse_line(line):
    line = line.strip()
    if not line.startswith("t="):
        return None
    fields = {k: v.strip('"') for k, v in _FIELD.findall(line)}
    try:
        return Event(fields, line)
    except (KeyError, ValueError):
        return None


class Trace:
    """Follows keytrace's output file."""

    def __init__(self, path):
        self.path = path
        self._pos = 0
        self._partial = b""
        self.lines = []
        self.events = []
        self.unix0 = None
        self.pid = None
        self.windows = {}
        self.ready = False
        self.fg = None

    def poll(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self._pos)
                data = f.read()
        except FileNotFoundError:
            return
        if not data:
            return
        self._pos += len(data)
        data = self._partial + data
        *complete, self._partial = data.split(b"\n")
        for raw in complete:
            line = raw.decode("utf-8", "replace").rstrip("\r")
            self.lines.append(line)
            self._take(line)

    def _take(self, line):
        if line.startswith("start "):
            m = re.search(r"unix=([\d.]+)", line)
            self.unix0 = float(m.group(1)) if m else None
            m = re.search(r"pid=(\d+)", line)
            self.pid = int(m.group(1)) if m else None
        elif line.startswith(("window=", "window2=")):
            name, value = line.split("=", 1)
            self.windows[name] = int(value.split()[0], 16)
        elif line.startswith("ready"):
            self.ready = True
            m = re.search(r"fg=(0x[0-9A-Fa-f]+)", line)
            if m:
                self.fg = int(m.group(1), 16)
        else:
            e = parse_line(line)
            if e is None:
                return
            self.events.append(e)
            if e.msg == "WM_ACTIVATE" and e.state:
                self.fg = e.hwnd
            elif e.msg == "FOREGROUND":
                self.fg = e.fg

    def mark(self):
        """Index of the next event, to look only at what comes after now."""
        self.poll()
        return len(self.events)

    def since(self, mark):
        self.poll()
        return self.events[mark:]

    def wall_to_t(self, wall):
        """A time.time() value on keytrace's time axis (ms)."""
        return (wall - self.unix0) * 1000.0

    def now(self):
        return self.wall_to_t(time.time())


def wait_until(cond, timeout, what, tick=0.02, say_every=10.0):
    """Polls cond() until it is true; says what it waits for when it takes long."""
    start = time.monotonic()
    next_say = start + say_every
    while True:
        value = cond()
        if value:
            return value
        now = time.monotonic()
        if now - start > timeout:
            raise HarnessError("timed out after %.0f s waiting for %s" % (timeout, what))
        if now >= next_say:
            log("  ... still waiting for %s (%.0f s)" % (what, now - start))
            next_say = now + say_every
        time.sleep(tick)


# ----------------------------------------------------------------- session --

class Proc:
    """A Windows program started under Wine, with its output in files."""

    def __init__(self, popen, name, out_path, err_path, started):
        self.popen = popen
        self.name = name
        self.out_path = out_path
        self.err_path = err_path
        self.started = started
        self.win_pid = None
        self.ended = None

    @property
    def pid(self):
        return self.popen.pid

    def running(self):
        return self.popen.poll() is None

    def wait(self, timeout, what=None):
        wait_until(lambda: self.popen.poll() is not None, timeout, what or "%s to exit" % self.name)
        if self.ended is None:
            self.ended = time.time()
        return self.popen.returncode


class Session:
    """A private X display, a Wine prefix and a keytrace window with the focus.

    workdir holds the prefix (created once, reused) and every log. With
    display=None a private Xvfb is started; otherwise that display is used.
    """

    def __init__(self, workdir, keytrace_exe, display=None):
        self.workdir = os.path.abspath(workdir)
        self.keytrace_exe = os.path.abspath(keytrace_exe)
        self.display = display
        self.prefix = os.path.join(self.workdir, "wineprefix")
        self.wine = os.environ.get("WINE") or shutil.which("wine") or "wine"
        self.wineserver = os.environ.get("WINESERVER") or shutil.which("wineserver") or "wineserver"
        self.env = None
        self.xvfb = None
        self.keytrace = None
        self.trace = None
        self.xwin = {}
        self.hwnd = {}
        self.procs = []
        self._counter = 0
        self._wine_log = None

    # -- lifetime

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def start(self):
        os.makedirs(self.workdir, exist_ok=True)
        self._wine_log = open(os.path.join(self.workdir, "wine.log"), "ab")
        self._start_display()
        self._start_wine()
        self._start_keytrace()

    def close(self):
        for p in self.procs:
            if p.popen.poll() is None:
                if p is not self.keytrace:
                    log("cleanup: ending %s (pid %d)" % (p.name, p.pid))
                p.popen.terminate()
        for p in self.procs:
            try:
                p.popen.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.popen.kill()
                p.popen.wait()
        if self.env is not None:
            # Ends the wineserver of this prefix and the Wine services it runs.
            try:
                subprocess.run([self.wineserver, "-k"], env=self.env, stdout=self._wine_log,
                               stderr=self._wine_log, timeout=30)
            except (OSError, subprocess.TimeoutExpired):
                pass
        if self.xvfb is not None and self.xvfb.poll() is None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait()
        self.xvfb = None
        try:
            os.unlink(os.path.join(self.workdir, "xvfb.pid"))
        except FileNotFoundError:
            pass
        if self._wine_log:
            self._wine_log.close()
            self._wine_log = None

    # -- X display

    def _start_display(self):
        if self.display:
            log("using display %s" % self.display)
            self._make_env(self.display)
            return
        log("starting Xvfb...")
        read_fd, write_fd = os.pipe()
        with open(os.path.join(self.workdir, "xvfb.log"), "ab") as xlog:
            self.xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_fd), "-nolisten", "tcp", "-screen", "0",
                 "1024x768x24"],
                pass_fds=(write_fd,), stdout=xlog, stderr=xlog, stdin=subprocess.DEVNULL)
        os.close(write_fd)
        number = b""
        deadline = time.monotonic() + 30
        with os.fdopen(read_fd, "rb", buffering=0) as pipe:
            while not number.endswith(b"\n"):
                if time.monotonic() > deadline or self.xvfb.poll() is not None:
                    raise HarnessError("Xvfb did not start (see %s/xvfb.log)" % self.workdir)
                chunk = pipe.read(16)
                if not chunk:
                    raise HarnessError("Xvfb did not report its display (see %s/xvfb.log)"
                                       % self.workdir)
                number += chunk
        self.display = ":" + number.decode().strip()
        # For the trap of scripts/demo or scripts/bench, should this process be killed before it
        # cleans up.
        with open(os.path.join(self.workdir, "xvfb.pid"), "w") as f:
            f.write("%d\n" % self.xvfb.pid)
        log("Xvfb is on display %s (pid %d)" % (self.display, self.xvfb.pid))
        self._make_env(self.display)
        # Server-side auto-repeat would add key-downs of its own to held keys.
        self.xdo_run(["xset", "r", "off"])

    def _make_env(self, display):
        env = dict(os.environ)
        env.update({
            "DISPLAY": display,
            "WINEPREFIX": self.prefix,
            # NOTE: without -all, Debian's wine wrapper also prints a wine32
            # hint on stderr, which would land in Velmora's captured stderr.
            "WINEDEBUG": "-all",
            # No Mono/Gecko install prompts.
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
        })
        self.env = env

    def xdo_run(self, argv, check=True):
        r = subprocess.run(argv, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           timeout=30)
        if check and r.returncode != 0:
            raise HarnessError("%s failed (%d): %s" % (" ".join(argv), r.returncode,
                                                       r.stderr.decode(errors="replace").strip()))
        return r

    def xdo(self, *args):
        return self.xdo_run(["xdotool"] + [str(a) for a in args])

    # -- Wine

    def wine_cmd(self, args, timeout=60, what=None):
        """Runs a Wine command to completion; returns (exit code, output text).

        Output goes through a file, not a pipe: should this command be the one
        that (re)starts Wine's services, they keep its streams open for good.
        """
        self._counter += 1
        path = os.path.join(self.workdir, "cmd-%03d.out" % self._counter)
        with open(path, "wb") as f:
            p = subprocess.Popen([self.wine] + list(args), env=self.env, stdout=f,
                                 stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            try:
                wait_until(lambda: p.poll() is not None, timeout,
                           what or "wine %s" % " ".join(args))
            except HarnessError:
                p.kill()
                p.wait()
                raise
        with open(path, "rb") as f:
            text = f.read().decode("utf-8", "replace")
        os.unlink(path)
        return p.returncode, text

    def _start_wine(self):
        # A wineserver left over by a crashed run would carry another display.
        subprocess.run([self.wineserver, "-k"], env=self.env, stdout=self._wine_log,
                       stderr=self._wine_log, timeout=30)
        fresh = not os.path.exists(os.path.join(self.prefix, "system.reg"))
        if fresh:
            log("preparing Wine prefix (first run takes a while)...")
        else:
            log("starting Wine...")
        # NOTE: the first Wine command starts wineserver and Wine's services,
        # which live on with that command's stdout/stderr; they get the log.
        # NOTE: without a window manager nobody sends WM_TAKE_FOCUS, and Wine
        # only moves the foreground on X focus changes when UseTakeFocus is off.
        p = subprocess.Popen(
            [self.wine, "reg", "add", X11_DRIVER_KEY, "/v", "UseTakeFocus", "/t", "REG_SZ",
             "/d", "N", "/f"],
            env=self.env, stdout=self._wine_log, stderr=self._wine_log, stdin=subprocess.DEVNULL)
        wait_until(lambda: p.poll() is not None, 600, "Wine to start")
        if p.returncode != 0:
            raise HarnessError("Wine did not start (see %s/wine.log)" % self.workdir)

    def reg_query(self, key, value):
        """(type, data) of a registry value, or None when it is missing."""
        code, text = self.wine_cmd(["reg", "query", key, "/v", value])
        if code != 0:
            return None
        for line in text.splitlines():
            parts = line.split(None, 2)
            if len(parts) >= 2 and parts[0].lower() == value.lower() and parts[1].startswith("REG_"):
                return parts[1], parts[2].strip() if len(parts) > 2 else ""
        return None

    def reg_set(self, key, value, kind, data):
        code, text = self.wine_cmd(["reg", "add", key, "/v", value, "/t", kind, "/d", data, "/f"])
        if code != 0:
            raise HarnessError("reg add %s %s failed: %s" % (key, value, text.strip()))

    def reg_delete(self, key, value):
        self.wine_cmd(["reg", "delete", key, "/v", value, "/f"])

    # -- keytrace

    def keytrace_cmd(self, *args, timeout=60):
        return self.wine_cmd([self.keytrace_exe] + [str(a) for a in args], timeout=timeout,
                             what="keytrace %s" % " ".join(str(a) for a in args))

    def _start_keytrace(self):
        log("starting keytrace...")
        out = os.path.join(self.workdir, "keytrace.log")
        err = os.path.join(self.workdir, "keytrace.err")
        p = self.start_program(self.keytrace_exe, ["--window2"], "keytrace", out, err)
        self.keytrace = p
        self.trace = Trace(out)

        def ready():
            self.trace.poll()
            if p.popen.poll() is not None:
                raise HarnessError("keytrace exited with %d:\n%s" % (
                    p.popen.returncode, "\n".join(self.trace.lines)))
            return self.trace.ready

        wait_until(ready, 180, "keytrace's windows")
        self.hwnd = {"main": self.trace.windows["window"], "other": self.trace.windows["window2"]}
        for name, title in (("main", "keytrace"), ("other", "keytrace-other")):
            def find(title=title):
                r = self.xdo_run(["xdotool", "search", "--all", "--pid", str(p.pid), "--name",
                                  "^%s$" % title], check=False)
                ids = r.stdout.split()
                return int(ids[0]) if ids else None
            self.xwin[name] = wait_until(find, 60, "the X window of %s" % title)
        self.focus("main")
        log("keytrace is ready (windows 0x%X and 0x%X)" % (self.hwnd["main"], self.hwnd["other"]))

    def focus_program_window(self, proc, title, timeout=60):
        """Gives the X focus to the window titled title of proc, once it exists and is mapped (a
        window not yet mapped refuses the focus with BadMatch)."""
        def focused():
            if proc.popen.poll() is not None:
                raise HarnessError("%s exited with %d before its window came" % (proc.name, proc.popen.returncode))
            r = self.xdo_run(["xdotool", "search", "--all", "--pid", str(proc.pid), "--name", "^%s$" % title],
                             check=False)
            ids = r.stdout.split()
            return ids and self.xdo_run(["xdotool", "windowfocus", "--sync", ids[0]], check=False).returncode == 0
        wait_until(focused, timeout, "the X window of %s to take the focus" % title, tick=0.05)

    def focus(self, name):
        """Gives the X focus to one of keytrace's windows and waits until Wine
        has made it the foreground window."""
        hwnd = self.hwnd[name]
        self.xdo("windowfocus", "--sync", self.xwin[name])

        def done():
            self.trace.poll()
            return self.trace.fg == hwnd

        wait_until(done, 30, "window 0x%X to become the foreground window" % hwnd)

    # -- programs

    def start_program(self, exe, args=(), name=None, out=None, err=None):
        name = name or os.path.basename(exe)
        self._counter += 1
        stem = os.path.join(self.workdir, "%s-%03d" % (os.path.splitext(os.path.basename(exe))[0],
                                                        self._counter))
        out = out or stem + ".out"
        err = err or stem + ".err"
        with open(out, "wb") as fo, open(err, "wb") as fe:
            popen = subprocess.Popen([self.wine, exe] + list(args), env=self.env, stdout=fo,
                                     stderr=fe, stdin=subprocess.DEVNULL)
        p = Proc(popen, name, out, err, time.time())
        self.procs.append(p)
        return p

    def windows_pids(self, exe_name):
        code, text = self.keytrace_cmd("--pids", exe_name)
        return [int(m) for m in re.findall(r"^pid=(\d+)", text, re.M)] if code == 0 else []

    def find_windows_pid(self, proc, exclude=(), timeout=60):
        """The Windows process id of proc (by its image name, not one in exclude)."""
        exe_name = os.path.basename(proc.name)

        def find():
            if proc.popen.poll() is not None:
                raise HarnessError("%s exited with %d before it could be found"
                                   % (proc.name, proc.popen.returncode))
            fresh = [pid for pid in self.windows_pids(exe_name) if pid not in exclude]
            return fresh[0] if len(fresh) == 1 else None

        proc.win_pid = wait_until(find, timeout, "the Windows process id of %s" % exe_name,
                                  tick=0.2)
        return proc.win_pid

    def post_quit(self, win_pid):
        """keytrace --stop: posts WM_QUIT to the main thread of win_pid."""
        return self.keytrace_cmd("--stop", win_pid)

    def wake(self, win_pid):
        """keytrace --wake: posts WM_NULL to the main thread of win_pid, which fetches it."""
        return self.keytrace_cmd("--wake", win_pid)

    def start_repeating(self, exe, key="Shift_L", trace=None, timeout=60.0):
        """Starts exe (velmora.exe) and returns it once it repeats a held key, as keytrace's
        trace (or another) shows: its hook is in place only some time after the process
        appears, and nothing else says when."""
        trace = trace or self.trace
        p = self.start_program(exe)
        self.find_windows_pid(p)
        deadline = time.monotonic() + timeout
        while True:
            if not p.running():
                raise HarnessError("%s exited with %d while starting"
                                   % (p.name, p.popen.returncode))
            mark = trace.mark()
            self.key_down(key)
            try:
                wait_until(lambda: [e for e in trace.since(mark) if e.tagged], 3, "a repeat")
                repeated = True
            except HarnessError:
                repeated = False
            self.key_up(key)
            wait_until(lambda: [e for e in trace.since(mark) if e.physical and e.up], 20,
                       "the release of %s" % key)
            if repeated:
                return p
            if time.monotonic() > deadline:
                raise HarnessError("%s never repeated a held key" % p.name)

    # -- keys

    def key_down(self, key):
        self.xdo("keydown", key)

    def key_up(self, key):
        self.xdo("keyup", key)

    def key_tap(self, key):
        self.xdo("key", key)

    # -- X server autorepeat (the reference the benchmarks hold Velmora against)

    def x_autorepeat(self, delay_ms, rate_hz):
        """Turns the X server's own autorepeat on with this delay (ms) and rate (Hz)."""
        self.xdo_run(["xset", "r", "on"])
        self.xdo_run(["xset", "r", "rate", str(int(delay_ms)), str(int(rate_hz))])

    def x_autorepeat_off(self):
        self.xdo_run(["xset", "r", "off"])


# ----------------------------------------------------------- Linux side --

def linux_processes(exe_name, prefix=None):
    """(Linux pid, thread count) of every process whose argv[0] names exe_name,
    and that runs in the Wine prefix given, if one is: another session's
    programs may run beside this one's.

    Under Wine argv[0] of the process that runs a program is the program's own
    path; a loader or shell wrapper still on its way there has another argv[0]."""
    want = exe_name.lower()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                argv0 = f.read().split(b"\0", 1)[0].decode("utf-8", "replace")
            with open("/proc/%s/environ" % entry, "rb") as f:
                env = f.read().split(b"\0")
            threads = len(os.listdir("/proc/%s/task" % entry))
        except OSError:
            continue
        if re.split(r"[\\/]", argv0)[-1].lower() == want and (
                prefix is None or ("WINEPREFIX=" + prefix).encode() in env):
            found.append((int(entry), threads))
    return found


def _status_fields(path):
    fields = {}
    with open(path) as f:
        for line in f:
            name, _, value = line.partition(":")
            fields[name] = value.strip()
    return fields


def process_usage(pid):
    """What a Linux process has used so far, summed over its threads: CPU time
    (utime + stime, ms), on-CPU time from schedstat (ms, finer than the tick),
    voluntary and nonvoluntary context switches; with its VmRSS (KiB), thread
    count and thread ids. Threads that ended before the call are not in it."""
    tick_ms = 1000.0 / os.sysconf("SC_CLK_TCK")
    usage = {"utime_ms": 0.0, "stime_ms": 0.0, "run_ms": 0.0, "voluntary": 0,
             "nonvoluntary": 0, "tids": []}
    for tid in sorted(os.listdir("/proc/%d/task" % pid), key=int):
        base = "/proc/%d/task/%s" % (pid, tid)
        try:
            with open(base + "/stat") as f:
                rest = f.read().rsplit(")", 1)[1].split()
            with open(base + "/schedstat") as f:
                run_ns = int(f.read().split()[0])
            status = _status_fields(base + "/status")
        except (OSError, IndexError, ValueError):
            continue  # the thread ended meanwhile
        # rest[0] is field 3 of stat (state): utime and stime are fields 14 and 15.
        usage["utime_ms"] += int(rest[11]) * tick_ms
        usage["stime_ms"] += int(rest[12]) * tick_ms
        usage["run_ms"] += run_ns / 1e6
        usage["voluntary"] += int(status.get("voluntary_ctxt_switches", 0))
        usage["nonvoluntary"] += int(status.get("nonvoluntary_ctxt_switches", 0))
        usage["tids"].append(int(tid))
    status = _status_fields("/proc/%d/status" % pid)
    usage["rss_kib"] = int(status.get("VmRSS", "0 kB").split()[0])
    usage["threads"] = int(status.get("Threads", "0"))
    usage["cpu_ms"] = usage["utime_ms"] + usage["stime_ms"]
    usage["switches"] = usage["voluntary"] + usage["nonvoluntary"]
    return usage


if __name__ == "__main__":
    sys.exit("harness.py is a module; see tests/e2e, tools/wine_desktop/demo.py and bench/")
