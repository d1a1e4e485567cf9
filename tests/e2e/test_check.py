# velmora-check under Wine: its automatic part passes against the running velmora.exe, fails on the
# right line against a program that does nothing, and stops with exit 2, nothing left down, when the
# focus is taken or a key is pressed mid-check. The check presses its own keys; these tests only
# start it, give its window the X focus, and read what it prints.

import os
import re
import shutil

import pytest

import harness
from conftest import BUILD

CHECK = os.path.abspath(os.path.join(BUILD, "tools", "velmora-check.exe"))
IDLE = os.path.abspath(os.path.join(BUILD, "tools", "velmora_idle.exe"))
MODIFIER_SCANS = (0x2A, 0x1D, 0x38, 0x36)
TOTALS = re.compile(r"^\d+ passed, \d+ failed(, \d+ skipped)?$")


class CheckRun:
    """One velmora-check, its window given the X focus, its output followed."""

    def __init__(self, desk, args=()):
        self.desk = desk
        self.out = os.path.join(desk.workdir, "velmora-check-%d.out" % len(desk.procs))
        self.proc = desk.start_program(CHECK, list(args), "velmora-check", self.out, self.out + ".err")
        desk.focus_program_window(self.proc, "velmora-check")

    @property
    def lines(self):
        with open(self.out, "rb") as f:
            return f.read().decode("utf-8", "replace").splitlines()

    def wait_for(self, pattern, timeout=120):
        return harness.wait_until(lambda: [l for l in self.lines if re.match(pattern, l)] or (
            not self.proc.running() and pytest.fail("velmora-check ended first:\n" + "\n".join(self.lines))),
            timeout, "velmora-check to print %r" % pattern)

    def wait(self, timeout=240):
        rc = self.proc.wait(timeout, "velmora-check to finish")
        print("\n".join(self.lines))
        return rc

    def line(self, prefix):
        return next((l for l in self.lines if l.startswith(prefix)), None)


@pytest.fixture
def check(desk):
    runs = []
    yield lambda *args: runs.append(CheckRun(desk, args)) or runs[-1]
    for run in runs:
        if run.proc.running():
            run.proc.popen.terminate()
            run.proc.popen.wait()
    desk.focus("main")


def left_down(trace, since):
    """The modifiers whose last key event in the observer's stream since since was a key-down."""
    last = {}
    for e in trace.since(since):
        if e.is_key and e.injected and e.scan in MODIFIER_SCANS:
            last[e.scan] = e.up
    return [hex(scan) for scan, up in last.items() if not up]


def test_automatic_part_passes(velmora, check):
    run = check()
    rc = run.wait()
    fails = [l for l in run.lines if l.startswith("FAIL")]
    assert rc == 0 and not fails, "exit %s, %s" % (rc, fails)
    assert TOTALS.match(run.lines[-1]), "no closing line: %r" % run.lines[-1]


def test_a_program_that_does_nothing_fails_each_key_repeats(desk, vm, check):
    vm.quit()
    folder = os.path.join(desk.workdir, "idle")
    os.makedirs(folder, exist_ok=True)
    impostor = shutil.copy(IDLE, os.path.join(folder, "velmora.exe"))
    idle = desk.start_program(impostor)
    desk.find_windows_pid(idle)
    try:
        run = check()
        rc = run.wait()
        assert rc == 1, "exit %s, not 1" % rc
        assert (run.line("FAIL each key repeats:") or "").count("no repeat") >= 3, run.lines
    finally:
        desk.post_quit(idle.win_pid)
        idle.wait(30, "the do-nothing velmora.exe to exit")


@pytest.mark.parametrize("interruption", ["focus taken", "key pressed"])
def test_interrupted_it_stops_with_nothing_left_down(velmora, check, interruption):
    since = velmora.trace.mark()
    run = check()
    # Mid-burst of one of the checks that hold keys.
    run.wait_for(r"(PASS|FAIL|WARN) each key repeats")
    if interruption == "focus taken":
        velmora.desk.xdo("windowfocus", "--sync", velmora.desk.xwin["main"])
    else:
        velmora.desk.x.send("a", True)
        velmora.desk.x.send("a", False)
    rc = run.wait(60)
    stopped = run.line("stopped:") or ""
    assert rc == 2 and "none is down" in stopped, "exit %s: %r" % (rc, stopped)
    harness.wait_until(lambda: velmora.trace.poll() or not left_down(velmora.trace, since), 5,
                       "every key to be up in the observer's stream")
