#!/usr/bin/env python3
"""Shows Velmora at work: holds left Shift for two seconds and prints what an application sees,
then ends Velmora with WM_QUIT.

usage: demo.py VELMORA_EXE KEYTRACE_EXE WORKDIR [--display]

--display uses $DISPLAY instead of a private Xvfb. Run by scripts/demo.
"""

import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import HarnessError, Session, log, wait_until  # noqa: E402

HOLD_SECONDS = 2.0
# The timings of Wine's default keyboard settings (KeyboardSpeed 31, KeyboardDelay 1).
ARM_MS, INTERVAL_MS = 533, 33
KEY_NAMES = {"LSHIFT": "left Shift", "RSHIFT": "right Shift", "LCONTROL": "left Ctrl",
             "LMENU": "left Alt"}


def show(events, press):
    """The hold as an application sees it, from the press."""
    log("")
    log("What an application sees (ms from the press; gaps since the previous repeat):")
    downs = []
    for e in events:
        if not e.is_key or e.t < press.t:
            continue
        rel = e.t - press.t
        if e.tagged and not e.up:
            note = "+%.1f ms" % (e.t - downs[-1].t) if downs else "first repeat"
            downs.append(e)
            log("  %8.1f  left Shift down, injected by Velmora  %s" % (rel, note))
        elif e.tagged:
            log("  %8.1f  left Shift up, injected by Velmora (undoes a repeat that raced "
                "the release)" % rel)
        elif e.physical:
            name = KEY_NAMES.get(e.key, e.key or "vk 0x%02X" % e.vk)
            log("  %8.1f  %s %s (the physical key)" % (rel, name, "up" if e.up else "down"))
        else:
            log("  %8.1f  %s" % (rel, e.describe()))
    log("")
    if not downs:
        log("No repeats were seen.")
        return False
    gaps = [b.t - a.t for a, b in zip(downs, downs[1:])]
    text = "First repeat %.1f ms after the press (setting: %d ms), %d repeats" % (
        downs[0].t - press.t, ARM_MS, len(downs))
    if gaps:
        text += ", intervals %.1f..%.1f ms, mean %.1f ms (setting: %d ms)" % (
            min(gaps), max(gaps), sum(gaps) / len(gaps), INTERVAL_MS)
    log(text + ".")
    return True


def quiet(trace, ms):
    """Waits until nothing has been injected for ms."""
    def still():
        trace.poll()
        last = next((e for e in reversed(trace.events) if e.injected), None)
        return last is None or trace.now() - last.t >= ms
    wait_until(still, 30, "Velmora to fall silent")


def main(argv):
    args = [a for a in argv[1:] if not a.startswith("--")]
    if len(args) != 3:
        print(__doc__.strip().splitlines()[3], file=sys.stderr)
        return 2
    velmora, keytrace, workdir = args
    display = None
    if "--display" in argv[1:]:
        display = os.environ.get("DISPLAY")
        if not display:
            print("demo: --display needs $DISPLAY", file=sys.stderr)
            return 2

    def terminated(signum, frame):
        raise SystemExit(128 + signum)  # so that the session cleans up

    signal.signal(signal.SIGTERM, terminated)
    try:
        with Session(workdir, keytrace, display=display) as s:
            log("starting velmora.exe and waiting until it repeats a held key"
                " (a short probe press of left Shift)...")
            p = s.start_repeating(os.path.abspath(velmora))
            log("velmora.exe runs as Windows process %d" % p.win_pid)
            quiet(s.trace, 400)
            mark = s.trace.mark()
            log("holding left Shift for %.0f s..." % HOLD_SECONDS)
            s.key_down("Shift_L")
            press = wait_until(lambda: next((e for e in s.trace.since(mark) if e.physical), None),
                               20, "keytrace to see the press")
            time.sleep(HOLD_SECONDS)
            s.key_up("Shift_L")
            time.sleep(ARM_MS / 1000.0)
            ok = show(s.trace.since(mark), press)
            log("stopping Velmora: WM_QUIT to its main thread...")
            code, said = s.post_quit(p.win_pid)
            log("  %s" % said.strip())
            rc = p.wait(30, "velmora.exe to exit after WM_QUIT")
            log("velmora.exe exited with code %d" % rc)
            return 0 if ok and code == 0 and rc == 0 else 1
    except HarnessError as e:
        log("demo: %s" % e)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
