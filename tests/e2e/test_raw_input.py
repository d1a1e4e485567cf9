"""What Velmora's watchdog stands on under Wine, and what it is for: its own events reach raw input
with its tag, so that they pair with what its hook saw, and a Velmora stopped while a key repeats
finds the release its hook missed."""

import os
import signal
import time

import harness


def test_velmoras_repeats_reach_raw_input_with_its_tag_and_pair(velmora, kb, both_views):
    kb.wait_repeats("Shift_L", 3, kb.press("Shift_L"))
    kb.release("Shift_L")
    verdicts = [line for line in both_views.stop() if line.startswith("pair=")]
    tagged = "extra=0x%X " % harness.TAG, "ExtraInformation=0x%X " % harness.TAG
    assert len([v for v in verdicts if all(tag in v for tag in tagged)]) >= 3, verdicts
    assert all(v.startswith("pair=paired") for v in verdicts), verdicts


def test_a_velmora_stopped_while_a_key_repeats_ends_the_repeat_and_goes_idle(velmora, kb):
    """Every thread stopped while left Shift repeats, the key released, and all resumed after
    longer than Wine waits for a hook: the hook never sees that release."""
    kb.wait_repeats("Shift_L", 3, kb.press("Shift_L"))
    pids = [pid for pid, _ in harness.linux_processes("velmora.exe")]
    for pid in pids:
        os.kill(pid, signal.SIGSTOP)
    try:
        released = kb.release("Shift_L")
        time.sleep(4)
    finally:
        for pid in pids:
            os.kill(pid, signal.SIGCONT)
    # Idle: no context switch in any of its threads for 5 s, starting within 5 s.
    switches = []
    for _ in range(21):
        switches.append(sum(harness.process_usage(pid)["switches"] for pid in pids))
        if len(switches) > 10 and switches[-1] == switches[-11]:
            break
        time.sleep(0.5)
    assert len(kb.repeats("Shift_L", released)) <= 1, "Shift_L repeats after its release"
    assert switches[-1] == switches[-11], "still busy: %s context switches" % switches
    velmora.observe()  # a hook installed again would run ahead of the observer
    kb.wait_repeats("Shift_L", 3, kb.press("Shift_L"))
    kb.release("Shift_L")
