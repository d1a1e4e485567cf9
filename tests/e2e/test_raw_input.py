"""What Velmora's watchdog stands on under Wine: keyboard raw input reaches a background process's
message-only window."""

import os
import re
import time

import harness
from conftest import BUILD
from oracle import SCAN


def test_raw_input_reaches_a_message_only_window_after_the_hook_sees_the_key(desk):
    out = os.path.join(desk.workdir, "raw_input_probe.out")
    probe = desk.start_program(os.path.join(BUILD, "raw_input_probe.exe"), ["4", "--inject"],
                               out=out, err=out + ".err")
    harness.wait_until(lambda: "ready" in open(out).read(), 60, "the probe's window and hook")
    for key, down in (("a", True), ("a", False), ("Shift_L", True), ("Shift_L", False)):
        desk.x.send(key, down)
        time.sleep(0.05)
    assert probe.wait(30, "the probe to end") == 0
    seen = re.findall(r"^(hook|raw) t=([\d.]+) scan=0x(\w+) up=(\d) .*extra=0x(\w+)",
                      open(out).read(), re.M)
    # XTEST keys, and the probe's own Z by scan code with Velmora's tag: each way, the hook's
    # call comes first, and WM_INPUT carries the tag in ExtraInformation.
    for scan, extra in ((0x1E, 0), (SCAN["Shift_L"], 0), (0x2C, harness.TAG)):
        for up in (0, 1):
            times = {kind: float(t) for kind, t, s, u, x in seen
                     if (int(s, 16), int(u), int(x, 16)) == (scan, up, extra)}
            assert times.keys() == {"hook", "raw"} and times["hook"] < times["raw"], \
                "scan 0x%02X up=%d extra=0x%X: %s" % (scan, up, extra, seen)
