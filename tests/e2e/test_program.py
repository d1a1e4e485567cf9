"""velmora.exe as a whole under Wine: a second copy, WM_QUIT, its windows and output, the real
registry, and a soak that ends in a kill. The kb fixture holds every stream to the oracle."""

import os
import random
import signal
import time

import pytest

import harness
from conftest import SETTINGS, VELMORA, import_reg
from oracle import KEYS


def test_a_second_copy_exits_with_0_and_the_first_keeps_repeating(desk, velmora, kb):
    kb.wait_repeats("Shift_L", 3, kb.press("Shift_L"))
    second = desk.start_program(VELMORA)
    velmora.copies.append(second)
    assert second.wait(30, "the second copy to exit") == 0
    kb.wait_repeats("Shift_L", 3, kb.trace.wall_to_t(second.ended))
    kb.release("Shift_L")
    assert velmora.proc.running(), "the first copy is gone"


def test_wm_quit_ends_velmora_with_0_and_nothing_follows(velmora, kb):
    kb.wait_repeats("Shift_L", 3, kb.press("Shift_L"))
    assert velmora.quit() == 0
    gone = kb.trace.now()
    kb.watch(velmora.arm + 4 * velmora.interval)
    kb.tap("a")  # another key would re-arm a live Velmora
    kb.watch(velmora.arm + 4 * velmora.interval)
    kb.release("Shift_L")
    assert not kb.repeats(after=gone), "repeats after Velmora exited"


def test_one_hidden_message_only_window_no_output_and_the_foreground_left_alone(desk, vm, kb):
    vm.quit()
    p = vm.start()
    code, text = desk.keytrace_cmd("--list-windows", p.win_pid)
    # The window raw input comes to: no top-level window, nothing visible.
    windows = [line for line in text.splitlines() if line.startswith("hwnd=")]
    assert code == 0 and len(windows) == 1 and "visible=0 msgonly=1" in windows[0], text
    xids = desk.xdo_run(["xdotool", "search", "--pid", str(p.pid)], check=False).stdout.split()
    assert not xids, "X windows of Velmora's process: %s" % xids
    moved = [e for e in kb.events() if e.msg in ("WM_ACTIVATE", "FOREGROUND") or
             (e.is_key and e.fg != desk.hwnd["main"])]
    assert not moved, "the foreground changed: %s" % moved[0].raw
    for c in vm.copies:
        assert os.path.getsize(c.out_path) + os.path.getsize(c.err_path) == 0, \
            "velmora.exe (pid %d) printed something" % c.pid


# In each case a value that does not reach Velmora, or one read that should not be, repeats sooner
# than the case's timings, which the oracle catches.
@pytest.mark.parametrize("values,arm,interval", [
    ('"KeyboardSpeed"="20"\n"KeyboardDelay"=dword:00000002', 842, 92),
    # NOTE: Wine's reg import and regedit end hex(1) text with a zero unit, so 64 units take 130
    # bytes: more than the 128 that Velmora reads, which then keeps the default (533 ms, where
    # the digits would give 283).
    ('"KeyboardSpeed"="31"\n"KeyboardDelay"=hex(1):' + ",".join(["30,00"] * 64), 533, 33),
    (None, 533, 33),
], ids=["text and DWORD", "64 units as hex(1)", "key missing"])
def test_the_settings_come_from_the_registry(desk, vm, kb, values, arm, interval):
    vm.quit()
    import_reg(desk, values)
    try:
        vm.start(arm, interval)
        kb.wait_repeats("Shift_L", 3, kb.press("Shift_L"))
        kb.release("Shift_L")
        assert vm.quit() == 0
    finally:
        import_reg(desk, SETTINGS)  # after the quit: Velmora follows what is written while it runs


def test_a_new_rate_and_delay_reach_the_next_hold_while_velmora_runs(desk, velmora, kb):
    """The rate and the delay written with `wine reg add` while Velmora runs reach the next hold;
    the oracle holds the stream to the new timings, so a repeat at the old, faster ones fails."""
    key = r"HKEY_CURRENT_USER\Control Panel\Keyboard"
    try:
        desk.reg_set(key, "KeyboardSpeed", "REG_SZ", "0")  # the slowest rate: every 500 ms
        desk.reg_set(key, "KeyboardDelay", "REG_SZ", "3")  # the longest delay: the first at 1500 ms
        # The oracle judges by these from here on; they also make the next test start a new Velmora.
        velmora.arm, velmora.interval = 1500, 500
        kb.watch(2000)  # each write wakes Velmora's loop at once; this is room for a loaded machine
        kb.wait_repeats("Shift_L", 3, kb.press("Shift_L"))
        kb.release("Shift_L")
    finally:
        import_reg(desk, SETTINGS)

def test_a_soak_ending_in_a_kill_leaves_no_key_down_and_a_new_copy_repeats(desk, velmora, kb):
    """Holds of one to four keys with typing in between: threads and memory do not grow. Then
    kill -9 in the middle of a repeat: no key is left down, and a new copy repeats."""
    rng, pid = random.Random(11), velmora.proc.pid
    for i in range(12):
        # The first pattern runs every worker before the first sample.
        held = KEYS if i == 0 else rng.sample(KEYS, rng.randint(1, 4))
        for key in held:
            kb.send(key, True)
            time.sleep(rng.choice((0, 0.003, 0.04, 0.15)))
        time.sleep(rng.uniform(0.2, 0.5))
        for c in rng.choice(("wine", "shift", "keys")):
            kb.send(c, True)
            kb.send(c, False)
        time.sleep(rng.uniform(velmora.arm, velmora.arm + 150) / 1000.0)
        for key in rng.sample(held, len(held)):
            kb.send(key, False)
            time.sleep(rng.choice((0, 0.003, 0.04)))
        kb.watch(600 if i == 0 else 100)
        if i == 0:
            before = harness.process_usage(pid)
    kb.watch(600)
    after = harness.process_usage(pid)
    kb.wait_repeats("Shift_L", 3, kb.press("Shift_L"))
    os.kill(pid, signal.SIGKILL)
    velmora.proc.wait(30)
    kb.watch(2 * velmora.interval)
    kb.release("Shift_L")
    assert after["threads"] <= before["threads"], "threads grew from %d to %d" % (
        before["threads"], after["threads"])
    assert after["rss_kib"] - before["rss_kib"] < 2048, "resident memory grew from %d to %d KiB" \
        % (before["rss_kib"], after["rss_kib"])
    velmora.start()
    kb.wait_repeats("Shift_L", 3, kb.press("Shift_L"))
    kb.release("Shift_L")
