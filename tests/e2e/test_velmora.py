#!/usr/bin/env python3
"""End-to-end tests: velmora.exe under Wine, keys pressed through XTEST,
everything judged from what keytrace's low-level hook sees.

usage: test_velmora.py VELMORA_EXE KEYTRACE_EXE WORKDIR [-k NAME]...

Times come from keytrace: the physical press and the injected events are
stamped by the same hook (and carry the tick at which Wine queued them), so
no harness latency enters a measurement. Only lower bounds on time and counts
are asserted; a slow machine can make repeats late or few, never early.
Velmora's hook must come after keytrace's (it does: keytrace starts first, and
the hook installed last runs first), so keytrace never sees a press before
Velmora does.
"""

import os
import signal
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine_desktop"))

import harness  # noqa: E402
from harness import SCAN, LLKHF_EXTENDED, HarnessError, Session, TestFailure, log  # noqa: E402

# Virtual-key codes of the physical keys, as Wine reports them to the hook.
VK = {"Shift_L": 0xA0, "Shift_R": 0xA1, "Control_L": 0xA2, "Alt_L": 0xA4}
VK_A = 0x41
PHYSICAL_SCAN = {VK[k]: SCAN[k] for k in VK}

SETTINGS_KEY = r"HKCU\Control Panel\Keyboard"

# A repeat that keytrace sees at most this long after a physical event, or that
# was sent (time=) no later than it, raced that event rather than ignored it.
# NOTE: under load, Wine has delivered a correctly raced repeat 3 ms after the
# release it raced; one raced repeat per event is allowed, and after a release
# it must still be undone by a key-up, so the allowance hides no stuck key.
RACE_MS = 10.0

# How much earlier than its due time a repeat may be seen (see off_schedule).
EARLY_SLACK_MS = 1.0


def repeat_interval(speed):
    code = 31 - max(0, min(31, speed))
    return (((8 + (code & 7)) << (code >> 3)) * 25 + 3) // 6


def arm_delay(delay, speed):
    return 250 * (max(0, min(3, delay)) + 1) + repeat_interval(speed)


DEFAULT_INTERVAL = repeat_interval(31)
DEFAULT_ARM = arm_delay(1, 31)


# ---------------------------------------------------------------- analysis --

def tagged_downs(events, after=None, before=None, scan=None):
    return [e for e in events if e.tagged and not e.up
            and (after is None or e.t > after) and (before is None or e.t < before)
            and (scan is None or e.scan == scan)]


def first(events, pred):
    return next((e for e in events if pred(e)), None)


def last(events, pred):
    return next((e for e in reversed(events) if pred(e)), None)


def races(d, p):
    """Whether injected event d raced physical event p instead of following it."""
    if d.t - p.t <= RACE_MS:
        return True
    return d.time is not None and p.time is not None and d.time <= p.time


def sooner(b, a, bound):
    """Whether b came less than bound ms after a on both of keytrace's clocks.

    t is keytrace's own stamp when its hook ran; time= is the tick at which
    the input was queued (for an injected event: when SendInput was called).
    The hook runs a variable while after that, so t alone can bring a
    correctly timed event closer to the one before it; an event that was
    really early is early on both clocks."""
    if b.t - a.t >= bound:
        return False
    return b.time is None or a.time is None or b.time - a.time < bound


def off_schedule(e, burst, interval):
    """Checks repeat e against its burst's schedule and moves the schedule on.

    The schedule's start is estimated on both of keytrace's clocks from the
    burst's repeats so far, taking the earliest estimate, since an event is
    only ever observed late. A repeat is early only if both clocks say so
    (time= counts whole milliseconds: one more of slack there); it restarts
    the schedule only if both clocks say it is over half an interval late."""
    k = burst["k"] + 1
    due_t = burst["at"] + k * interval
    due_q = None if burst["aq"] is None or e.time is None else burst["aq"] + k * interval
    if e.t < due_t - EARLY_SLACK_MS and (due_q is None or e.time < due_q - EARLY_SLACK_MS - 1):
        return "%.3f ms before its due time" % (due_t - e.t)
    if e.t > due_t + interval / 2 and (due_q is None or e.time > due_q + interval / 2):
        burst.update(k=0, at=e.t, aq=e.time)
        return None
    burst["k"] = k
    burst["at"] = min(burst["at"], e.t - k * interval)
    if due_q is not None:
        burst["aq"] = min(burst["aq"], e.time - k * interval)
    return None


def gap_text(b, a):
    text = "%.3f ms" % (b.t - a.t)
    if b.time is not None and a.time is not None:
        text += " (queued %d ms)" % (b.time - a.time)
    return text


def check_stream(events, arm, interval):
    """What all of Velmora's output must obey, whatever the keys do.

    Velmora only injects tagged key-downs of keys that are physically held,
    each at least the arming delay after the latest physical key event (the
    press, any other key, a release), and no repeat earlier than its due time
    less a millisecond: the k-th repeat of a burst is due k intervals after
    the burst's first, and a repeat more than half an interval late starts
    the schedule anew. One repeat may race a physical event; one that raced
    its own key's release must be undone by one injected key-up.

    Which keys are held is read from the physical events keytrace saw, so a
    held right Shift, which Wine also reports as a held left Shift, allows
    repeats of both."""
    problems = []
    held = {}          # scan -> its physical key-down
    released = {}      # scan -> its last physical key-up
    last_phys = None
    run_last = {}      # scan -> its previous repeat since the last physical event
    before_phys = {}   # scan -> its last repeat before that physical event
    raced = set()      # physical events a repeat has raced already
    undo = {}          # scan -> a repeat after its release that still needs a key-up
    undone = set()     # releases whose repeat has been undone
    for e in events:
        if e.physical:
            scan = PHYSICAL_SCAN.get(e.vk)
            if scan is not None:
                if e.up:
                    held.pop(scan, None)
                    released[scan] = e
                else:
                    held[scan] = e
            last_phys = e
            before_phys = run_last
            run_last = {}
            continue
        if not e.injected:
            continue
        where = "t=%.3f" % e.t
        if not e.tagged:
            problems.append("injected event without Velmora's tag at %s: %s" % (where, e.raw))
            continue
        name = harness.SCAN_NAME.get(e.scan, "scan 0x%02X" % e.scan)
        if e.scan not in harness.SCAN_NAME:
            problems.append("Velmora injected %s at %s" % (name, where))
            continue
        if e.flags & LLKHF_EXTENDED:
            problems.append("Velmora's %s at %s carries LLKHF_EXTENDED" % (name, where))
        if e.up:
            rel = released.get(e.scan)
            if e.scan in held:
                problems.append("Velmora injected %s up at %s while it is held" % (name, where))
            elif undo.pop(e.scan, None) is not None:
                undone.add(id(rel))
            elif rel is not None and id(rel) not in undone and \
                    [d for d in events if d.tagged and not d.up and d.scan == e.scan
                     and -50 <= rel.t - d.t <= 50]:
                # Velmora saw its repeat race the release though keytrace saw
                # the repeat first: still the one allowed key-up.
                undone.add(id(rel))
            else:
                problems.append("injected %s up at %s with no repeat to undo" % (name, where))
            continue
        if last_phys is None:
            problems.append("%s repeat at %s before any key was pressed" % (name, where))
            continue
        if e.scan not in held:
            rel = released.get(e.scan)
            if rel is not None and races(e, rel) and id(rel) not in raced:
                raced.add(id(rel))
                undo[e.scan] = e
                continue
            problems.append("%s repeat at %s while %s is not held%s" % (
                name, where, name,
                " (%s after its release)" % gap_text(e, rel) if rel is not None else ""))
            continue
        prev = run_last.get(e.scan)
        if sooner(e, last_phys, arm):
            if races(e, last_phys) and id(last_phys) not in raced and prev is None:
                raced.add(id(last_phys))
                before = before_phys.get(e.scan)
                if before is not None and sooner(e, before["last"], interval / 2):
                    problems.append("%s repeat at %s only %s after the previous one"
                                    % (name, where, gap_text(e, before)))
                continue
            problems.append("%s repeat at %s %s after the last key event (%s), sooner than the "
                            "arming delay of %d ms" % (name, where, gap_text(e, last_phys),
                                                       last_phys.describe(), arm))
        elif prev is not None:
            problem = off_schedule(e, prev, interval)
            if problem:
                problems.append("%s repeat at %s %s (interval %d ms, previous %s)"
                                % (name, where, problem, interval, gap_text(e, prev["last"])))
        if prev is None:
            prev = {"k": 0, "at": e.t, "aq": e.time}
        prev["last"] = e
        run_last[e.scan] = prev
    for scan, d in undo.items():
        problems.append("a %s repeat raced its release (%s after it) and no injected key-up "
                        "followed" % (harness.SCAN_NAME[scan], gap_text(d, released[scan])))
    return problems


# ------------------------------------------------------------------- runs --

class Run:
    """One stretch of a test: the harness's actions and keytrace's events."""

    def __init__(self, ctx):
        self.ctx = ctx
        self.trace = ctx.session.trace
        self.start = self.trace.mark()
        self.marks = []

    def note(self, text):
        self.marks.append((self.trace.now(), text))

    def events(self):
        return self.trace.since(self.start)

    def down(self, key):
        self.note("xdotool keydown " + key)
        self.ctx.session.key_down(key)

    def up(self, key):
        self.note("xdotool keyup " + key)
        self.ctx.session.key_up(key)

    def tap(self, key):
        self.note("xdotool key " + key)
        self.ctx.session.key_tap(key)

    def wait(self, cond, what, timeout=20.0):
        """Polls cond(events) until it returns something true."""
        try:
            return harness.wait_until(lambda: cond(self.events()), timeout, what)
        except HarnessError as e:
            self.fail([str(e)])

    def wait_press(self, key):
        return self.wait(lambda ev: last(ev, lambda e: e.physical and not e.up
                                         and e.vk == VK[key]), "keytrace to see %s go down" % key)

    def wait_release(self, key):
        return self.wait(lambda ev: last(ev, lambda e: e.physical and e.up and e.vk == VK[key]),
                         "keytrace to see %s go up" % key)

    def wait_repeats(self, n, after, scan, what=None, timeout=20.0):
        return self.wait(lambda ev: len(tagged_downs(ev, after=after, scan=scan)) >= n,
                         what or "%d repeats" % n, timeout)

    def watch(self, ms, what):
        """Keeps still for ms while keytrace records: the window in which
        something must not happen."""
        self.note("watching %d ms: %s" % (ms, what))
        time.sleep(ms / 1000.0)
        self.trace.poll()

    def timeline(self, t0=None):
        ev = self.events()
        if t0 is None:
            p = first(ev, lambda e: e.physical)
            t0 = p.t if p else (ev[0].t if ev else self.trace.now())
        return harness.format_timeline(ev, t0, self.marks)

    def fail(self, problems, t0=None):
        raise TestFailure(problems, self.timeline(t0))

    def check(self, problems, t0=None):
        if problems:
            self.fail(problems, t0)


class Context:
    def __init__(self, session, velmora_exe):
        self.session = session
        self.exe = os.path.abspath(velmora_exe)
        self.name = os.path.basename(self.exe)
        self.velmora = None
        self.all_velmoras = []
        self.arm = DEFAULT_ARM
        self.interval = DEFAULT_INTERVAL

    def start_velmora(self, arm=DEFAULT_ARM, interval=DEFAULT_INTERVAL):
        log("  starting %s" % self.name)
        p = self.session.start_program(self.exe, name=self.name)
        self.all_velmoras.append(p)
        self.session.find_windows_pid(p)
        self.velmora = p
        self.arm, self.interval = arm, interval
        self.probe()
        return p

    def probe(self, timeout=60.0):
        """Waits until Velmora repeats: its hook is in place only some time
        after the process appears, and nothing else says when."""
        s = self.session
        deadline = time.monotonic() + timeout
        while True:
            if not self.velmora.running():
                raise HarnessError("%s exited with %d while starting" % (
                    self.name, self.velmora.popen.returncode))
            mark = s.trace.mark()
            s.key_down("Shift_L")
            try:
                # Any injected key-down will do: whether it is right is for
                # the tests to say.
                harness.wait_until(
                    lambda: [e for e in s.trace.since(mark) if e.injected and not e.up],
                    3 + self.arm / 1000, "a first repeat")
                ok = True
            except HarnessError:
                ok = False
            s.key_up("Shift_L")
            harness.wait_until(lambda: last(s.trace.since(mark), lambda e: e.physical and e.up),
                               20, "the probe's release")
            if ok:
                self.quiet()
                return
            if time.monotonic() > deadline:
                raise HarnessError("%s never repeated a held key" % self.name)

    def quiet(self, ms=400):
        """Waits until Velmora has injected nothing for ms."""
        trace = self.session.trace

        def still():
            trace.poll()
            last_tagged = last(trace.events, lambda e: e.injected)
            return last_tagged is None or trace.now() - last_tagged.t >= ms

        harness.wait_until(still, 30, "Velmora to fall silent")

    def ensure_velmora(self):
        if self.velmora is None or not self.velmora.running() or \
                (self.arm, self.interval) != (DEFAULT_ARM, DEFAULT_INTERVAL):
            if self.velmora is not None and self.velmora.running():
                self.stop_velmora()
            self.start_velmora()
        if self.session.trace.fg != self.session.hwnd["main"]:
            self.session.focus("main")

    def stop_velmora(self):
        """WM_QUIT to Velmora's main thread; returns (keytrace's word, exit code)."""
        p = self.velmora
        code, text = self.session.post_quit(p.win_pid)
        if code != 0:
            raise TestFailure(["keytrace --stop %d failed (%d): %s" % (p.win_pid, code, text)])
        rc = p.wait(30, "%s to exit after WM_QUIT" % self.name)
        self.velmora = None
        return text.strip(), rc


# ------------------------------------------------------------------ tests --

def hold_key(ctx, key, seconds=1.5):
    """Holds key, releases it, and checks everything a plain hold must show."""
    scan = SCAN[key]
    run = Run(ctx)
    run.down(key)
    press = run.wait_press(key)
    time.sleep(seconds)
    run.up(key)
    release = run.wait_release(key)
    run.watch(ctx.arm + 4 * ctx.interval, "no repeat after the release")
    ev = run.events()
    problems = check_stream(ev, ctx.arm, ctx.interval)
    downs = tagged_downs(ev, after=press.t, before=release.t, scan=scan)
    if len(downs) < 5:
        problems.append("only %d repeats of %s while it was held %.1f s (at least 5)"
                        % (len(downs), key, seconds))
    run.check(problems, press.t)
    return run, press, downs


def describe_repeats(press, downs):
    if not downs:
        return "no repeats"
    gaps = [b.t - a.t for a, b in zip(downs, downs[1:])]
    text = "%d repeats, first %.1f ms after the press" % (len(downs), downs[0].t - press.t)
    if gaps:
        text += ", gaps %.1f..%.1f ms" % (min(gaps), max(gaps))
    return text


def test_hold_each_key(ctx):
    """Each of the four keys, held, repeats with its own scan code and tag."""
    ctx.ensure_velmora()
    for key in ("Shift_L", "Control_L", "Alt_L", "Shift_R"):
        run, press, downs = hold_key(ctx, key)
        log("  %-9s %s" % (key, describe_repeats(press, downs)))
        if key == "Shift_R":
            # NOTE: Wine reports a held right Shift as left Shift + right Shift.
            also = tagged_downs(run.events(), scan=SCAN["Shift_L"])
            log("            (Wine also reported left Shift held: %d left Shift repeats)"
                % len(also))
        ctx.quiet()


def test_other_key_rearms(ctx):
    """Another key stops the repeats; they come back a full arming delay after it."""
    ctx.ensure_velmora()
    scan = SCAN["Shift_L"]
    run = Run(ctx)
    run.down("Shift_L")
    press = run.wait_press("Shift_L")
    run.wait_repeats(3, press.t, scan)
    run.tap("a")
    a_up = run.wait(lambda ev: last(ev, lambda e: e.physical and e.up and e.vk == VK_A),
                    "keytrace to see A go up")
    run.wait_repeats(3, a_up.t, scan, "repeats to resume after A")
    run.up("Shift_L")
    release = run.wait_release("Shift_L")
    run.watch(ctx.arm + 4 * ctx.interval, "no repeat after the release")
    ev = run.events()
    a_down = first(ev, lambda e: e.physical and not e.up and e.vk == VK_A)
    problems = check_stream(ev, ctx.arm, ctx.interval)
    resumed = tagged_downs(ev, after=a_up.t, before=release.t)
    run.check(problems, press.t)
    log("  resumed %.1f ms after A's key-up (%.1f ms after its key-down)"
        % (resumed[0].t - a_up.t, resumed[0].t - a_down.t))


def test_release_stops(ctx):
    """Releasing the key ends the repeats (a racing repeat gets a key-up)."""
    ctx.ensure_velmora()
    scan = SCAN["Shift_L"]
    for i, extra in enumerate((0, 11, 23)):
        run = Run(ctx)
        run.down("Shift_L")
        press = run.wait_press("Shift_L")
        run.wait_repeats(4 + i, press.t, scan)
        time.sleep(extra / 1000.0)
        run.up("Shift_L")
        release = run.wait_release("Shift_L")
        run.watch(ctx.arm + 6 * ctx.interval, "no repeat after the release")
        ev = run.events()
        problems = check_stream(ev, ctx.arm, ctx.interval)
        run.check(problems, press.t)
        before = tagged_downs(ev, before=release.t)
        log("  release %d: last repeat %.1f ms before the release, nothing after"
            % (i + 1, release.t - before[-1].t))


def test_focus_change_stops(ctx):
    """A new foreground window stops the repeats until the key is pressed again."""
    ctx.ensure_velmora()
    s = ctx.session
    scan = SCAN["Shift_L"]
    run = Run(ctx)
    try:
        run.down("Shift_L")
        press = run.wait_press("Shift_L")
        run.wait_repeats(3, press.t, scan)
        run.note("focus -> keytrace-other")
        try:
            s.focus("other")
        except HarnessError as e:
            run.fail([str(e)])
        run.watch(ctx.arm + 8 * ctx.interval, "no repeat while the key stays held")
        run.up("Shift_L")
        run.wait_release("Shift_L")
        run.watch(2 * ctx.interval, "nothing")
        run.down("Shift_L")
        again = run.wait(lambda ev: [e for e in ev if e.physical and not e.up
                                     and e.vk == VK["Shift_L"]][1:],
                         "keytrace to see the second press")[-1]
        run.wait_repeats(3, again.t, scan, "repeats after pressing again")
        run.up("Shift_L")
        release = run.wait_release("Shift_L")
        run.watch(ctx.arm + 4 * ctx.interval, "no repeat after the release")
    finally:
        if s.trace.fg != s.hwnd["main"]:
            s.focus("main")

    ev = run.events()
    problems = check_stream(ev, ctx.arm, ctx.interval)
    # The foreground moves between keytrace's two WM_ACTIVATE lines.
    gone = first(ev, lambda e: e.msg == "WM_ACTIVATE" and e.state == 0
                 and e.hwnd == s.hwnd["main"])
    came = first(ev, lambda e: e.msg == "WM_ACTIVATE" and e.state and e.hwnd == s.hwnd["other"])
    if gone is None or came is None:
        problems.append("keytrace saw no activation of its other window")
    else:
        stray = tagged_downs(ev, after=gone.t, before=again.t)
        racing = [d for d in stray
                  if d.t - came.t <= RACE_MS or (d.time is not None and came.tick is not None
                                                 and d.time <= came.tick)][:1]
        late = [d for d in stray if d not in racing]
        if late:
            problems.append("%d repeat(s) after the foreground changed, the first %.3f ms after "
                            "it" % (len(late), late[0].t - came.t))
    run.check(problems, press.t)
    before = tagged_downs(ev, after=press.t, before=came.t)
    resumed = tagged_downs(ev, after=again.t, before=release.t)
    log("  %d repeats before the focus moved, none after it; %d after pressing again"
        % (len(before), len(resumed)))


def test_second_copy_exits(ctx):
    """A second copy exits with 0 at once; the first keeps repeating."""
    ctx.ensure_velmora()
    first_copy = ctx.velmora
    scan = SCAN["Shift_L"]
    run = Run(ctx)
    run.down("Shift_L")
    press = run.wait_press("Shift_L")
    run.wait_repeats(3, press.t, scan)
    run.note("start a second %s" % ctx.name)
    second = ctx.session.start_program(ctx.exe, name=ctx.name)
    ctx.all_velmoras.append(second)
    try:
        rc = second.wait(30, "the second copy to exit")
    except HarnessError as e:
        run.up("Shift_L")
        run.fail([str(e)])
    ended = run.trace.wall_to_t(second.ended)
    run.note("second copy has exited with %d" % rc)
    run.wait_repeats(3, ended, scan, "repeats after the second copy exited")
    run.up("Shift_L")
    release = run.wait_release("Shift_L")
    run.watch(ctx.arm + 4 * ctx.interval, "no repeat after the release")
    ev = run.events()
    problems = check_stream(ev, ctx.arm, ctx.interval)
    if rc != 0:
        problems.append("the second copy exited with %d" % rc)
    if not first_copy.running():
        problems.append("the first copy is gone (exit code %d)" % first_copy.popen.returncode)
    started = run.trace.wall_to_t(second.started)
    during = tagged_downs(ev, after=started, before=ended)
    if not during:
        problems.append("no repeat while the second copy ran")
    run.check(problems, press.t)
    log("  second copy exited with %d after %.1f s; %d repeats meanwhile"
        % (rc, second.ended - second.started, len(during)))


def test_wm_quit_ends(ctx):
    """WM_QUIT to the main thread ends Velmora with exit code 0; no repeat follows."""
    ctx.ensure_velmora()
    scan = SCAN["Shift_L"]
    run = Run(ctx)
    run.down("Shift_L")
    press = run.wait_press("Shift_L")
    run.wait_repeats(3, press.t, scan)
    run.note("keytrace --stop %d" % ctx.velmora.win_pid)
    p = ctx.velmora
    try:
        said, rc = ctx.stop_velmora()
    except (HarnessError, TestFailure) as e:
        run.up("Shift_L")
        run.fail([str(e)])
    ended = run.trace.wall_to_t(p.ended)
    run.note("%s has exited with %d" % (ctx.name, rc))
    run.watch(ctx.arm + 6 * ctx.interval, "no repeat while the key stays held")
    # Another key while held would re-arm a live Velmora.
    run.tap("a")
    run.watch(ctx.arm + 6 * ctx.interval, "still no repeat")
    run.up("Shift_L")
    run.wait_release("Shift_L")
    ev = run.events()
    problems = check_stream(ev, ctx.arm, ctx.interval)
    if rc != 0:
        problems.append("exit code %d after WM_QUIT" % rc)
    after = tagged_downs(ev, after=ended)
    if after:
        problems.append("%d repeat(s) after Velmora exited" % len(after))
    run.check(problems, press.t)
    log("  %s; exit code %d" % (said, rc))


def test_no_window_no_output(ctx):
    """Velmora opens no window, leaves the foreground alone and prints nothing."""
    s = ctx.session
    if ctx.velmora is not None and ctx.velmora.running():
        ctx.stop_velmora()
    s.focus("main")
    run = Run(ctx)
    run.note("start %s" % ctx.name)
    p = ctx.start_velmora()
    run.note("%s repeats (hook in place)" % ctx.name)
    problems = []
    code, text = s.keytrace_cmd("--list-windows", p.win_pid)
    windows = [line for line in text.splitlines() if line.startswith("hwnd=")]
    for line in windows:
        problems.append("window of Velmora: " + line)
    r = s.xdo_run(["xdotool", "search", "--pid", str(p.pid)], check=False)
    for xid in r.stdout.decode().split():
        problems.append("X window 0x%X belongs to Velmora's process" % int(xid))
    ev = run.events()
    for e in ev:
        if e.msg in ("WM_ACTIVATE", "FOREGROUND"):
            problems.append("the foreground changed while Velmora started: " + e.describe())
        elif e.is_key and e.fg != s.hwnd["main"]:
            problems.append("foreground 0x%X at t=%.3f, not keytrace's window" % (e.fg, e.t))
            break
    for v in ctx.all_velmoras:
        out, err = v.output()
        for name, data in (("stdout", out), ("stderr", err)):
            if data:
                problems.append("%s (pid %d) wrote %d bytes to %s: %r"
                                % (v.name, v.pid, len(data), name, data[:200]))
    run.check(problems)
    log("  no window (keytrace listed %d), foreground kept, %d copies printed nothing"
        % (len(windows), len(ctx.all_velmoras)))


TESTS = [
    test_hold_each_key,
    test_other_key_rearms,
    test_release_stops,
    test_focus_change_stops,
    test_second_copy_exits,
    test_wm_quit_ends,
    test_no_window_no_output,
]


def _terminated(signum, frame):
    raise SystemExit(128 + signum)  # so that the session cleans up


def main(argv):
    signal.signal(signal.SIGTERM, _terminated)
    args = [a for a in argv[1:] if not a.startswith("-")]
    only = [argv[i + 1] for i, a in enumerate(argv[:-1]) if a == "-k"]
    args = [a for a in args if a not in only]
    if len(args) != 3:
        print("usage: test_velmora.py VELMORA_EXE KEYTRACE_EXE WORKDIR [-k NAME]...",
              file=sys.stderr)
        return 2
    velmora, keytrace, workdir = args
    tests = [t for t in TESTS if not only or any(k in t.__name__ for k in only)]
    for exe in (velmora, keytrace):
        if not os.path.isfile(exe):
            print("e2e: no such file: %s" % exe)
            print("e2e: 0 passed, %d failed" % len(tests))
            return 1

    passed, failed = 0, []
    began = time.monotonic()
    try:
        with Session(workdir, keytrace) as session:
            ctx = Context(session, velmora)
            def leave_no_key_down():
                for key in ("Shift_L", "Shift_R", "Control_L", "Alt_L"):
                    session.xdo_run(["xdotool", "keyup", key], check=False)
            passed, failed = harness.run_tests(tests, ctx, leave_no_key_down)
            if ctx.velmora is not None and ctx.velmora.running():
                ctx.stop_velmora()
    except HarnessError as e:
        log("e2e: harness error: %s" % e)
        failed += [t.__name__ for t in tests[passed + len(failed):]]
    except Exception:
        traceback.print_exc(file=sys.stdout)
        failed += [t.__name__ for t in tests[passed + len(failed):]]
    log("e2e: wall time %.1f s%s" % (time.monotonic() - began,
                                     "; failed: " + ", ".join(failed) if failed else ""))
    print("e2e: %d passed, %d failed" % (passed, len(failed)), flush=True)
    return 0 if not failed else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
