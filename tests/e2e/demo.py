#!/usr/bin/env python3
"""Shows Velmora at work: holds left Shift for two seconds through XTEST and
prints what an application sees, then ends Velmora with WM_QUIT.

usage: demo.py VELMORA_EXE KEYTRACE_EXE WORKDIR [--display]

--display uses $DISPLAY instead of a private Xvfb. Run by scripts/demo.
"""

import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine_desktop"))

from harness import HarnessError, Session, log  # noqa: E402
from test_velmora import DEFAULT_ARM, DEFAULT_INTERVAL, Context, Run, TestFailure  # noqa: E402

HOLD_SECONDS = 2.0
KEY_NAMES = {"LSHIFT": "left Shift", "RSHIFT": "right Shift", "LCONTROL": "left Ctrl",
             "LMENU": "left Alt"}


def show(events, press, release):
    """The hold as an application sees it, from the press."""
    log("")
    log("What an application sees (ms from the press; gaps since the previous repeat):")
    downs = []
    for e in events:
        if e.t < press.t or (release and e.t > release.t + 100) or not e.is_key:
            continue
        rel = e.t - press.t
        if e.tagged and not e.up:
            if downs:
                note = "+%.1f ms" % (e.t - downs[-1].t)
            else:
                note = "first repeat"
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
        downs[0].t - press.t, DEFAULT_ARM, len(downs))
    if gaps:
        text += ", intervals %.1f..%.1f ms, mean %.1f ms (setting: %d ms)" % (
            min(gaps), max(gaps), sum(gaps) / len(gaps), DEFAULT_INTERVAL)
    log(text + ".")
    return True


def main(argv):
    args = [a for a in argv[1:] if not a.startswith("--")]
    use_display = "--display" in argv[1:]
    if len(args) != 3:
        print(__doc__.strip().splitlines()[3], file=sys.stderr)
        return 2
    velmora, keytrace, workdir = args
    display = None
    if use_display:
        display = os.environ.get("DISPLAY")
        if not display:
            print("demo: --display needs $DISPLAY", file=sys.stderr)
            return 2

    def terminated(signum, frame):
        raise SystemExit(128 + signum)

    signal.signal(signal.SIGTERM, terminated)
    try:
        with Session(workdir, keytrace, display=display) as session:
            ctx = Context(session, velmora)
            log("starting velmora.exe and waiting until it repeats a held key"
                " (a short probe press of left Shift)...")
            ctx.start_velmora()
            log("velmora.exe runs as Windows process %d" % ctx.velmora.win_pid)
            session.focus("main")
            run = Run(ctx)
            log("holding left Shift for %.0f s..." % HOLD_SECONDS)
            run.down("Shift_L")
            press = run.wait_press("Shift_L")
            time.sleep(HOLD_SECONDS)
            run.up("Shift_L")
            release = run.wait_release("Shift_L")
            run.watch(DEFAULT_ARM, "anything after the release")
            ok = show(run.events(), press, release)
            log("stopping Velmora: WM_QUIT to its main thread...")
            said, rc = ctx.stop_velmora()
            log("  %s" % said)
            log("velmora.exe exited with code %d" % rc)
            return 0 if ok and rc == 0 else 1
    except (HarnessError, TestFailure) as e:
        log("demo: %s" % e)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
