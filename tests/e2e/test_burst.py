"""A program that types a burst in one SendInput call, while left Shift is held: Velmora's hook
runs ahead of its raw input by much of the burst, and that is no miss. Velmora stands down for
the burst, repeats again after it, leaves nothing down, and installs its hook once."""

import os
import re

import pytest

import harness
from conftest import BUILD, VELMORA

BURST_TYPER = os.path.abspath(os.path.join(BUILD, "burst_typer.exe"))
COUNT = 2000


@pytest.fixture
def first_hook_logged(desk, vm):
    """A velmora.exe of its own, hooked in after the observer so that its hook is the first: it is
    called straight from wineserver, with no other hook's round trip between two events of the
    burst, and runs ahead of its raw input as far as its thread lets it. Its Wine logs each hook
    it installs (WINEDEBUG=+hook, on its stderr). Ended afterwards: the next test starts one
    without the log, behind a new observer."""
    vm.quit()
    quiet, desk.env["WINEDEBUG"] = desk.env["WINEDEBUG"], "+hook"
    try:
        vm.proc = desk.start_repeating(VELMORA, trace=vm.trace)
    finally:
        desk.env["WINEDEBUG"] = quiet
    vm.copies.append(vm.proc)
    t = vm.trace
    harness.wait_until(lambda: t.now() - max([e.t for e in t.since(0) if e.injected] or [0])
                       > 300, 30, "Velmora to go quiet")
    if desk.trace.fg != desk.hwnd["main"]:
        desk.focus("main")
    yield vm
    vm.quit()


def hook_installs(proc):
    # Wine 8 logs one line per hook set: "0120:trace:hook:NtUserSetWindowsHookEx WH_KEYBOARD_LL
    # 0x140003520 0 -> 0x10068" (thread, procedure, thread id, handle).
    with open(proc.err_path, "rb") as f:
        log = f.read().decode("utf-8", "replace")
    return len(re.findall(r"SetWindowsHookEx\S*\s+WH_KEYBOARD_LL\b", log))


def test_a_burst_typed_in_one_call_is_no_miss(desk, first_hook_logged, kb):
    proc = first_hook_logged.proc
    kb.timed_until = kb.trace.now()  # Velmora's hook runs ahead of the observer's
    kb.wait_repeats("Shift_L", 3, kb.press("Shift_L"))
    # NOTE: Wine's SendInput waits for each event's hooks before it queues the next, so Velmora's
    # thread runs ahead of its WM_INPUT only when it is slow to come back for messages, as on a
    # busy machine: at the lowest priority it is so more often.
    for pid, _ in harness.linux_processes("velmora.exe", desk.prefix):
        os.setpriority(os.PRIO_PROCESS, pid, 19)
    mark = kb.trace.mark()
    code, text = desk.wine_cmd([BURST_TYPER, str(COUNT)])
    assert code == 0, "burst_typer: %s" % text
    burst = kb.until(lambda: (lambda b: b[COUNT - 1:] and b)(
        [e for e in kb.trace.since(mark) if e.injected and not e.tagged]), "the burst to be seen", 60)
    first, last = burst[0], burst[COUNT - 1]
    during = [e for e in kb.repeats("Shift_L", first) if e.t < last.t]
    assert len(during) <= 1, "Velmora repeated within the burst: %d" % len(during)
    kb.wait_repeats("Shift_L", 3, last)
    kb.release("Shift_L")
    kb.watch(1500)  # longer than a raw event may wait for the hook
    assert hook_installs(proc) == 1, "hook installs: %d" % hook_installs(proc)
