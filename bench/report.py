#!/usr/bin/env python3
"""Turns the figures of a bench run (results.json) into the printed report, report.txt,
performance.md and the plot of repeat intervals.

usage: report.py RESULTS_JSON REPORT_DIR [DOCS_DIR]

wine_bench.py calls write_all() at the end of a run; run this by hand to redraw a report
from a saved results.json.
"""

import json
import math
import os
import shutil
import subprocess
import sys

PLOT = "repeat-intervals.png"
MARKDOWN = "performance.md"
# The figures of the last run, kept in docs/ so that the next run shows what changed since.
PREVIOUS = "performance.json"

# Goals the figures are held against.
FIRST_MEDIAN_MS = 2.0     # median of (first repeat - armDelayMs)
MEAN_INTERVAL_PCT = 1.0   # |mean interval / repeatIntervalMs - 1|
ADDED_LATENCY_PCT = 5.0   # added time per key event, % of the path without Velmora
IDLE_CPU_NOISE_MS = 10.0  # one scheduler tick: utime and stime count whole ticks
IDLE_SWITCH_NOISE = 2


# ------------------------------------------------------------------ stats --

def percentile(xs, p):
    s = sorted(xs)
    if not s:
        return float("nan")
    k = (len(s) - 1) * p / 100.0
    lo = math.floor(k)
    hi = min(lo + 1, len(s) - 1)
    return s[lo] + (s[hi] - s[lo]) * (k - lo)


def stats(xs):
    n = len(xs)
    if n == 0:
        nan = float("nan")
        return {"n": 0, "mean": nan, "sd": nan, "median": nan, "p99": nan, "min": nan, "max": nan,
                "robust_sd": nan}
    mean = sum(xs) / n
    sd = math.sqrt(sum((x - mean) ** 2 for x in xs) / (n - 1)) if n > 1 else 0.0
    med = percentile(xs, 50)
    # The spread without the stalls: one late delivery under load moves sd, not this.
    robust_sd = 1.4826 * percentile([abs(x - med) for x in xs], 50)
    return {"n": n, "mean": mean, "sd": sd, "median": med, "p99": percentile(xs, 99),
            "min": min(xs), "max": max(xs), "robust_sd": robust_sd}


def median(xs):
    return percentile(xs, 50)


# -------------------------------------------------------------- analysis --

def ordered_timing(results):
    """The settings, the default (speed 31, delay 1) first."""
    return sorted(results.get("timing", []), key=lambda e: (e["speed"], e["delay"]) != (31, 1))


def analyse_timing(entry):
    """Errors of one setting, for Velmora and for the X server reference."""
    out = {}
    for side, arm, interval in (("velmora", entry["arm"], entry["interval"]),
                                ("x", entry["x_delay"], entry["x_interval"])):
        d = entry[side]
        first_err = [f - arm for f in d["first"]]
        q_err = [q - arm for q in d["first_q"] if q is not None]
        # Early only if both of keytrace's clocks say so; time= counts whole milliseconds.
        early = [f for f, q in zip(first_err, d["first_q"])
                 if f < 0 and (q is None or q - arm < -1)]
        gaps = d["gaps"]
        gaps_q = d.get("gaps_q", [])
        out[side] = {
            "interval_q": stats([g - interval for g in gaps_q]),
            "first": stats(first_err),
            "first_q_min": min(q_err) if q_err else float("nan"),
            "early": len(early),
            "interval": stats([g - interval for g in gaps]),
            "mean_interval": sum(gaps) / len(gaps) if gaps else float("nan"),
            "mean_pct": (sum(gaps) / len(gaps) / interval - 1) * 100 if gaps else float("nan"),
        }
    sv, sx = out["velmora"]["interval"]["sd"], out["x"]["interval"]["sd"]
    out["jitter_ratio"] = sv / sx if sx > 0 else float("inf")
    rv, rx = out["velmora"]["interval"]["robust_sd"], out["x"]["interval"]["robust_sd"]
    out["robust_ratio"] = rv / rx if rx > 0 else float("inf")
    # NOTE: Wine reports a held right Shift as left Shift + right Shift, so two workers repeat
    # at once there and their SendInput calls queue behind each other; no Windows does this.
    single = [g - entry["interval"] for key, d in entry["velmora"].get("per_key", {}).items()
              if key != "Shift_R" for g in d["gaps"]]
    out["sd_without_shift_r"] = stats(single)["sd"] if single else float("nan")
    out["per_key"] = {}
    for key, d in entry["velmora"].get("per_key", {}).items():
        out["per_key"][key] = {"first": stats([f - entry["arm"] for f in d["first"]]),
                               "interval": stats([g - entry["interval"] for g in d["gaps"]])}
    return out


def analyse_floor(entry):
    f = entry.get("floor")
    if not f:
        return None
    return {"ms": f["ms"], "first": stats(f["first"]), "overshoot": stats(f["overshoot"]),
            "delivery": stats(f["delivery"])}


def analyse_bursts(bursts):
    per = {case: [r["per_event_ms"] for r in runs] for case, runs in bursts["runs"].items()}
    med = {case: median(v) for case, v in per.items() if v}
    out = {"per_event": per, "median": med}
    if "none" in med and "velmora" in med:
        out["added_ms"] = med["velmora"] - med["none"]
        out["added_pct"] = out["added_ms"] / med["none"] * 100
    if "null" in med and "none" in med:
        out["null_added_ms"] = med["null"] - med["none"]
    if "null" in med and "velmora" in med:
        out["own_ms"] = med["velmora"] - med["null"]
    return out


def deviations(entry):
    """For Velmora and the X server: the first repeat's error, and how far the intervals stray from
    their setting (|interval - setting|), in ms."""
    out = {}
    for side, arm, interval in (("velmora", entry["arm"], entry["interval"]),
                                ("x", entry["x_delay"], entry["x_interval"])):
        first = [f - arm for f in entry[side]["first"]]
        dev = [abs(g - interval) for g in entry[side]["gaps"]]
        out[side] = {"first": stats(first), "median": median(dev), "p95": percentile(dev, 95),
                     "max": max(dev, default=float("nan"))}
    return out


def load_rows(results):
    """(figure, value) rows of the default setting's repeats (31/1), without and with a busy loop
    on every core, for Velmora and the X server. An interval's deviation: |interval - setting|."""
    rows = []
    default = next((e for e in results.get("timing", []) if (e["speed"], e["delay"]) == (31, 1)),
                   None)
    loaded = results.get("under_load")
    for entry, when in ((default, "no busy loop"),
                        (loaded, "%d busy loops" % loaded["busy_loops"] if loaded else "")):
        if entry is None:
            continue
        d = deviations(entry)
        for side, who in (("velmora", "Velmora"), ("x", "X server")):
            f = d[side]["first"]
            rows.append(("%s, %s: first repeat - delay, median (min to max)" % (who, when),
                         "%+.2f (%+.2f to %+.2f) ms" % (f["median"], f["min"], f["max"])))
            rows.append(("%s, %s: interval's deviation, median / p95 / largest" % (who, when),
                         "%.2f / %.2f / %.2f ms" % (d[side]["median"], d[side]["p95"],
                                                    d[side]["max"])))
    return rows


def load_table(results, markdown):
    """The load rows beside the previous run's, as markdown or as text lines."""
    previous = results.get("previous") or {}
    before = dict(load_rows(previous))
    rows = [(what, before.get(what, "-"), now) for what, now in load_rows(results)]
    head = ("31/1: 533 ms, 33 ms", previous.get("date", "previous run"),
            results.get("date", "this run"))
    if markdown:
        return ["| %s | %s | %s |" % row for row in [head, ("---",) * 3] + rows]
    return ["  %-68s %-26s %s" % row for row in [head] + rows]


def idle_equal(idle):
    v, i = idle["velmora"], idle["idle"]
    return (v["cpu_ms"] - i["cpu_ms"] <= IDLE_CPU_NOISE_MS
            and v["switches"] - i["switches"] <= IDLE_SWITCH_NOISE)


def goals(results):
    """(goal, met, figures) rows."""
    rows = []
    timing = [(e, analyse_timing(e)) for e in ordered_timing(results)]
    short = {e["label"]: "%d/%d" % (e["speed"], e["delay"]) for e, _ in timing}

    figs, met = [], True
    for e, a in timing:
        f = a["velmora"]["first"]
        ok = abs(f["median"]) <= FIRST_MEDIAN_MS and a["velmora"]["early"] == 0
        met &= ok
        floor = analyse_floor(e)
        figs.append("%s: median %+.2f ms, min %+.2f ms (time=: %+.0f ms), %d early%s" % (
            short[e["label"]], f["median"], f["min"], a["velmora"]["first_q_min"],
            a["velmora"]["early"],
            "; floor under Wine %+.2f ms" % floor["first"]["median"] if floor else ""))
    rows.append(("first repeat within 2 ms of armDelayMs (median), never earlier", met, figs))

    figs, met = [], True
    for e, a in timing:
        ok = abs(a["velmora"]["mean_pct"]) <= MEAN_INTERVAL_PCT
        met &= ok
        figs.append("%s: %.3f ms for %d (%+.2f %%)" % (short[e["label"]],
                                                       a["velmora"]["mean_interval"],
                                                       e["interval"], a["velmora"]["mean_pct"]))
    rows.append(("mean interval within 1 % of repeatIntervalMs", met, figs))

    figs, met = [], True
    for e, a in timing:
        ok = a["jitter_ratio"] <= 1.0
        met &= ok
        figs.append("%s: sd %.2f vs %.2f ms, ratio %.2f (without right Shift %.2f; robust sd"
                    " %.2f vs %.2f, ratio %.2f)" % (
                        short[e["label"]], a["velmora"]["interval"]["sd"],
                        a["x"]["interval"]["sd"], a["jitter_ratio"],
                        a["sd_without_shift_r"] / a["x"]["interval"]["sd"],
                        a["velmora"]["interval"]["robust_sd"], a["x"]["interval"]["robust_sd"],
                        a["robust_ratio"]))
    rows.append(("interval jitter no worse than the X server's autorepeat", met, figs))

    if "idle" in results:
        idle = results["idle"]
        v, i = idle["velmora"], idle["idle"]
        rows.append(("idle CPU and context switches equal to the do-nothing program", idle_equal(idle),
                     ["%.0f s: CPU %.0f vs %.0f ms, switches %d vs %d" % (
                         idle["seconds"], v["cpu_ms"], i["cpu_ms"], v["switches"],
                         i["switches"])]))
    if "held_key" in results:
        h = results["held_key"]
        rows.append(("a key held for the hook but physically up: no wake-up once no hook can hold its"
                     " press", h["wakeups"] == 0,
                     ["%.2f wake-ups/s in the simulation (%s)" % (h["wakeups_per_second"], h["scenario"])]))
    if "bursts" in results:
        b = analyse_bursts(results["bursts"])
        if "added_pct" in b:
            rows.append(("added latency per keyboard event under 5 % of the path without Velmora",
                         b["added_pct"] < ADDED_LATENCY_PCT,
                         ["%+.3f ms per event, %+.0f %% of %.3f ms" % (
                             b["added_ms"], b["added_pct"], b["median"]["none"])]))
    return rows


def held_key_sentence(h):
    return ("A key held for the hook but physically up, on the simulated platform (`held_key_wakeups`,"
            " default settings; %s): %d wake-ups in %d s, %.2f a second, from the first arm expiry"
            " kLongestHookTimeMs after the hook's last event on." % (
                h["scenario"], h["wakeups"], h["seconds"], h["wakeups_per_second"]))


# ------------------------------------------------------------------- text --

def _row(what, who, s, fmt="%+8.2f"):
    return "  %-20s %-8s %5d %s %8.2f %s %s %s %s" % (
        what, who, s["n"], fmt % s["mean"], s["sd"], fmt % s["median"], fmt % s["p99"],
        fmt % s["min"], fmt % s["max"])


def _load(pair):
    return "%.2f -> %.2f" % (pair[0][0], pair[-1][0])


def text_report(results):
    m = results["machine"]
    out = []
    w = out.append
    w("Velmora performance report, %s" % results["date"])
    w("machine: %s cores, %s; Linux %s; %s" % (m["nproc"], m["cpu"], m["kernel"], m["wine"]))
    w("load at start: %s" % m["uptime_start"].split("load average:")[-1].strip())
    if m.get("uptime_end"):
        w("load at end:   %s" % m["uptime_end"].split("load average:")[-1].strip())
    w("command: %s (wall time %s, building included)" % (results["command"],
                                                        _duration(results.get("wall_s"))))
    if results.get("quick"):
        w("(--quick: fewer and shorter holds; the figures are rougher)")

    w("")
    w("1. Repeat timing under Wine (keytrace t=, QueryPerformanceCounter; errors in ms)")
    w("   Each monitored key held through XTEST, each hold followed by a hold of the letter A")
    w("   with the X server's own autorepeat on at the closest delay and rate (xset r rate).")
    for e in ordered_timing(results):
        a = analyse_timing(e)
        w("")
        w("  %s: armDelayMs %d, repeatIntervalMs %d; load %s"
          % (e["label"], e["arm"], e["interval"], _load(e["load"])))
        w("  X server reference: xset r rate %d %d (delay %d ms, a repeat every %d ms)"
          % (e["x_delay"], e["x_rate"], e["x_delay"], e["x_interval"]))
        w("  %-29s %5s %8s %8s %8s %8s %8s %8s" % ("", "n", "mean", "sd", "median", "p99",
                                                  "min", "max"))
        w(_row("first repeat - delay", "Velmora", a["velmora"]["first"]))
        w(_row("", "X server", a["x"]["first"]))
        w(_row("interval - setting", "Velmora", a["velmora"]["interval"]))
        w(_row("", "X server", a["x"]["interval"]))
        w("  first repeat on the queue clock (time=), min - delay: Velmora %+.0f, X server %+.0f ms"
          % (a["velmora"]["first_q_min"], a["x"]["first_q_min"]))
        floor = analyse_floor(e)
        if floor:
            w("  floor: wait_probe.exe waits %d ms, then injects (n=%d): keytrace sees it %+.2f ms"
              " late (median;" % (floor["ms"], floor["first"]["n"], floor["first"]["median"]))
            w("    min %+.2f, max %+.2f): the wait overshoots %+.2f, SendInput to keytrace %.2f ms"
              % (floor["first"]["min"], floor["first"]["max"], floor["overshoot"]["median"],
                 floor["delivery"]["median"]))
        w("  mean interval: Velmora %.3f ms (%+.2f %% of %d), X server %.3f ms (%+.2f %% of %d)"
          % (a["velmora"]["mean_interval"], a["velmora"]["mean_pct"], e["interval"],
             a["x"]["mean_interval"], a["x"]["mean_pct"], e["x_interval"]))
        w("  jitter ratio (sd of interval error, Velmora / X server): %.2f; robust sd"
          " (1.4826 x median absolute deviation) %.2f vs %.2f ms, ratio %.2f"
          % (a["jitter_ratio"], a["velmora"]["interval"]["robust_sd"],
             a["x"]["interval"]["robust_sd"], a["robust_ratio"]))
        if a["velmora"]["interval_q"]["n"] and a["x"]["interval_q"]["n"]:
            w("  on the senders' own clock (time=, whole ms: Velmora's SendInput, the X server's"
              " event time):")
            w("    sd of interval error Velmora %.2f ms, X server %.2f ms; largest |error| %.0f and"
              " %.0f ms" % (a["velmora"]["interval_q"]["sd"], a["x"]["interval_q"]["sd"],
                            max(-a["velmora"]["interval_q"]["min"], a["velmora"]["interval_q"]["max"]),
                            max(-a["x"]["interval_q"]["min"], a["x"]["interval_q"]["max"])))
        per = ", ".join("%s %+.2f/%.2f" % (k, v["interval"]["mean"], v["interval"]["sd"])
                        for k, v in a["per_key"].items())
        w("  Velmora per key, interval error mean/sd: %s" % per)

    if "under_load" in results:
        e = results["under_load"]
        w("")
        w("1b. Repeat timing under load: the default setting's holds again, in the same run, with"
          " %d busy loops (one per core); load %s" % (e["busy_loops"], _load(e["load"])))
        out.extend(load_table(results, markdown=False))

    if "idle" in results:
        idle = results["idle"]
        v, i = idle["velmora"], idle["idle"]
        w("")
        w("2. Idle cost under Wine: %.0f s with no key held; Linux /proc, summed over threads; load %s"
          % (idle["seconds"], _load(idle["load"])))
        w("  %-36s %14s %14s" % ("", "velmora.exe", "velmora_idle"))
        w("  %-36s %14.0f %14.0f" % ("CPU time, utime+stime (ms)", v["cpu_ms"], i["cpu_ms"]))
        w("  %-36s %14.3f %14.3f" % ("on-CPU time, schedstat (ms)", v["run_ms"], i["run_ms"]))
        w("  %-36s %14d %14d" % ("context switches", v["switches"], i["switches"]))
        w("  %-36s %14s %14s" % ("  voluntary + nonvoluntary", "%d + %d" % (
            v["voluntary"], v["nonvoluntary"]), "%d + %d" % (i["voluntary"], i["nonvoluntary"])))
        w("  %-36s %14d %14d" % ("threads", v["threads"], i["threads"]))
        w("  %-36s %14.1f %14.1f" % ("resident memory, VmRSS (MiB)", v["rss_kib"] / 1024.0,
                                      i["rss_kib"] / 1024.0))
        w("  goal: Velmora equal to the do-nothing program within noise (%d ms CPU, %d switches)"
          " -> %s" % (IDLE_CPU_NOISE_MS, IDLE_SWITCH_NOISE, "met" if idle_equal(idle) else
                      "NOT met"))
    if "held_key" in results:
        w("  %s" % held_key_sentence(results["held_key"]))

    w("")
    w("3. Cost per keyboard event")
    hb = results.get("hook_benchmark")
    if hb:
        rows = hb["benchmarks"]
        ref = rows.get("CallNextHookExAlone", {}).get("median", {}).get("real_ns")
        w("  Google Benchmark on the simulated platform (hook_benchmark, median of 5 repetitions;"
          " load %.2f):" % (hb["context"].get("load_avg") or [float("nan")])[0])
        for name in ("CallNextHookExAlone", "OwnTaggedEvent", "ForeignMonitoredKey",
                     "ForeignOtherKey"):
            r = rows.get(name)
            if not r or "median" not in r:
                continue
            med, sd = r["median"], r.get("stddev", {})
            extra = "reference" if name == "CallNextHookExAlone" else (
                "%+.1f ns over the reference" % (med["real_ns"] - ref) if ref else "")
            w("    %-22s %9.1f %s (sd %.1f)  %s" % (name, med["real_ns"], med["unit"],
                                                   sd.get("real_ns", float("nan")), extra))
    if "bursts" in results:
        bursts = results["bursts"]
        b = analyse_bursts(bursts)
        w("  Under Wine: %d keys (%d key events) typed with xdotool key --delay 0, timed from the"
          % (bursts["keys"], 2 * bursts["keys"]))
        w("  first to the last event keytrace sees; median of the runs, alternating; load %s"
          % _load(bursts["load"]))
        names = (("none", "without Velmora"), ("velmora", "with Velmora"),
                 ("null", "with a hook that only passes events on"))
        for case, label in names:
            if case in b["median"]:
                w("    %-40s %7.3f ms per event   runs: %s" % (
                    label, b["median"][case],
                    " ".join("%.3f" % x for x in b["per_event"][case])))
        lost = sum(r["sent"] - r["events"] for runs in bursts["runs"].values() for r in runs
                   if "sent" in r)
        if lost:
            w("    (%d of the events sent never reached keytrace; each run is timed over those"
              " that did)" % lost)
        if "added_pct" in b:
            w("    added by Velmora: %+.3f ms per event = %+.0f %% of the path without it "
              "(goal < 5 %%)" % (b["added_ms"], b["added_pct"]))
        if "null_added_ms" in b and "own_ms" in b:
            w("      of which any hook's round trip through wineserver (the do-nothing hook): "
              "%+.3f ms;" % b["null_added_ms"])
            w("      Velmora's own work beyond it: %+.3f ms (%+.0f %% of the path without it)"
              % (b["own_ms"], b["own_ms"] / b["median"]["none"] * 100))

    if "size" in results:
        size = results["size"]
        w("")
        w("4. Size: velmora.exe is %d bytes (%.1f KiB); it imports from %d DLLs:"
          % (size["bytes"], size["bytes"] / 1024.0, len(size["imports"])))
        for imp in size["imports"]:
            w("    %s (%d): %s" % (imp["dll"], len(imp["functions"]), ", ".join(imp["functions"])))

    w("")
    w("Goals")
    for goal, met, figs in goals(results):
        w("  [%s] %s" % ("met" if met else "NOT met", goal))
        for f in figs:
            w("          %s" % f)
    return "\n".join(out)


def _duration(seconds):
    if seconds is None:
        return "?"
    return "%d min %02d s" % (int(seconds) // 60, int(seconds) % 60)


# --------------------------------------------------------------- markdown --

WINE_NOTE = """\
## What holds only under Wine

All figures but Google Benchmark's were taken under Wine on a headless X server (Xvfb), and the
timing and per-event figures hold only there.

- **Timers.** Wine on Linux has timers of about 1 ms: wineserver rounds each time-out up to a
  whole millisecond and sleeps in `epoll_wait`, which Linux may let end a little later still
  (timer slack), so a timed wait of n ms ends about a millisecond after n ms (the floor's
  overshoot column), and later when the machine is busy. The schedule the
  repeats keep absorbs that overshoot, so the mean interval is on the setting; the first
  repeat, which no earlier repeat keeps in time, shows it, with the injection's way through
  the hooks, as the 1 to 2 ms by which it follows `armDelayMs`. A real Windows machine ends
  timed waits on the system timer tick, 15.625 ms by default, so a 33 ms wait could last
  anything up to the next tick after it. That is why each worker raises the timer resolution
  (`timeBeginPeriod(1)`) while it serves a held key, and lowers it again when the key goes up,
  so that an idle Velmora leaves the system timer alone. With 1 ms ticks the rounding of each
  wait to the nearest millisecond and the schedule give the mean interval measured here; the
  jitter then depends on Windows' tick and scheduler, not on Linux's.
- **Hook delivery.** Under Wine every low-level hook is a round trip through wineserver: for
  each key event, from the process that reads the X input through wineserver to the hooking
  thread in another process and back, and `SendInput` returns only once every hook has seen
  the event. The do-nothing hook's figure is that round trip alone. Windows calls a low-level
  hook from its own input thread with a thread switch to the hooking thread, without a server
  process in between. What carries over is the share of Velmora's own work: the Google
  Benchmark figures, plus a system call for each event object it signals and a thread switch
  for each worker it wakes.
- **Right Shift.** Wine reports a held right Shift as left Shift and right Shift held, so two
  workers repeat at once and their injections queue behind each other: that is the extra
  jitter of the right Shift figures. Windows reports a right Shift alone.
- **Idle.** These figures carry over: an idle worker waits on an event with no time-out on
  both systems, so it costs nothing until a key is pressed.
"""

LOAD_NOTE = """\
What limits Velmora here is Wine. Wine 8 passes no Windows thread priority on to Linux: the main
thread and the workers ask for `THREAD_PRIORITY_HIGHEST`, and every thread of `velmora.exe` still
runs at nice 0 (`/proc/PID/task/*/stat`), level with the busy loops, so each wake-up for a repeat
waits its turn for a core. Each repeat also goes through wineserver (`SendInput`, then every
hook's round trip), an ordinary process that the busy loops delay as much. The X server's
autorepeat needs neither: it repeats from its own timer, and only the delivery through Wine
waits. Measured by hand on this machine (2 cores, two busy loops): renicing Velmora's threads
changed nothing, renicing wineserver as well brought Velmora's median deviation from 2.3 to 0.9 ms.

On Windows the levers are Velmora's own, and they cannot be measured here:

- **Priority.** The main thread (the hook and the message loop) and the four workers run at
  `THREAD_PRIORITY_HIGHEST`, two levels above their priority class. Windows runs the threads of
  a lower level only when no thread of a higher level is ready (`SetThreadPriority`), so a
  worker woken for a repeat, or the hook for a key event, goes ahead of busy threads of normal
  priority at once. Each wake-up is a few microseconds of work that always blocks again, so it
  takes nothing measurable from them.
- **Quality of service.** Windows gives each thread a QoS level from what the user sees and
  hears, and by heuristics where there is nothing to see; at Low QoS a process runs, on battery,
  at the most efficient clock and on the efficient cores of a hybrid CPU ("Quality of Service").
  Velmora shows nothing, so it tags itself HighQoS: `SetProcessInformation` with
  `PROCESS_POWER_THROTTLING_EXECUTION_SPEED` controlled and off, in a call of its own.
- **Timer resolution.** In a second call it turns `PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION`
  off, so that Windows 11 keeps honouring the 1 ms timer it asks for while a repeat is due, even
  though it shows no window. Windows 10 knows no such mechanism and is reported to reject a call
  that names it; that is why the two requests are separate.
"""


def markdown_report(results):
    m = results["machine"]
    out = []
    w = out.append
    w("# Velmora performance")
    w("")
    w("Figures of the latest run of `%s`, on %s. Machine: %s cores (`nproc`), %s, Linux %s, %s."
      % (results["command"], results["date"], m["nproc"], m["cpu"], m["kernel"], m["wine"]))
    w("Load average (`uptime`) at the start: %s; at the end: %s. Wall time %s, building included."
      % (m["uptime_start"].split("load average:")[-1].strip(),
         m.get("uptime_end", "").split("load average:")[-1].strip(),
         _duration(results.get("wall_s"))))
    w("Other work may have run on the machine at the same time: timing figures are noisy.")
    w("")
    w("## Goals")
    w("")
    w("| goal | met | figures |")
    w("| --- | --- | --- |")
    for goal, met, figs in goals(results):
        w("| %s | %s | %s |" % (goal, "yes" if met else "**no**", "<br>".join(figs)))
    w("")
    w("Settings are written speed/delay (`KeyboardSpeed`/`KeyboardDelay`). An event counts as"
      " early only if it is early on both of keytrace's clocks: `t=` and the input's own `time=`"
      " (the tick at which it was queued, whole milliseconds).")
    w("")
    timing = [(e, analyse_timing(e)) for e in ordered_timing(results)]
    if timing:
        w("Interval jitter per key, Velmora (sd of the interval error, ms): " + "; ".join(
            "%d/%d: %s" % (e["speed"], e["delay"], ", ".join(
                "%s %.2f" % (k, v["interval"]["sd"]) for k, v in a["per_key"].items()))
            for e, a in timing) + ". Without right Shift the jitter ratios are " + ", ".join(
            "%.2f" % (a["sd_without_shift_r"] / a["x"]["interval"]["sd"]) for e, a in timing)
          + " (see *Right Shift* below).")
        w("")
    w("## Repeat timing under Wine")
    w("")
    w("Each of the four keys held through XTEST (xdotool), each hold followed by one of the letter"
      " A with the X server's own autorepeat on at the closest delay and rate (`xset r rate`), the"
      " reference. All times are keytrace's `t=` (QueryPerformanceCounter in its hook), the same"
      " observer for both. Errors in ms: first repeat minus the delay, interval minus the setting.")
    w("")
    w("| setting | what | source | n | mean | sd | median | p99 | min | max |")
    w("| --- | --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for e in ordered_timing(results):
        a = analyse_timing(e)
        name = "%d/%d: %d ms, %d ms (X: `xset r rate %d %d`)" % (
            e["speed"], e["delay"], e["arm"], e["interval"], e["x_delay"], e["x_rate"])
        for what, key in (("first repeat", "first"), ("interval", "interval")):
            for side, label in (("velmora", "Velmora"), ("x", "X server")):
                s = a[side][key]
                w("| %s | %s | %s | %d | %+.2f | %.2f | %+.2f | %+.2f | %+.2f | %+.2f |" % (
                    name, what, label, s["n"], s["mean"], s["sd"], s["median"], s["p99"],
                    s["min"], s["max"]))
                name = ""
    w("")
    w("| setting | mean interval, Velmora | mean interval, X server | jitter ratio (sd Velmora / X)"
      " | robust sd, Velmora / X | sd on the senders' clocks (`time=`), Velmora / X"
      " | earliest first repeat on `time=`, Velmora / X |")
    w("| --- | ---: | ---: | ---: | ---: | ---: | ---: |")
    for e in ordered_timing(results):
        a = analyse_timing(e)
        w("| %d/%d | %.3f ms (%+.2f %% of %d) | %.3f ms (%+.2f %% of %d) | %.2f | %.2f / %.2f ms"
          " | %.2f / %.2f ms | %+.0f / %+.0f ms |" % (
              e["speed"], e["delay"], a["velmora"]["mean_interval"], a["velmora"]["mean_pct"],
              e["interval"], a["x"]["mean_interval"], a["x"]["mean_pct"], e["x_interval"],
              a["jitter_ratio"], a["velmora"]["interval"]["robust_sd"],
              a["x"]["interval"]["robust_sd"], a["velmora"]["interval_q"]["sd"],
              a["x"]["interval_q"]["sd"],
              a["velmora"]["first_q_min"], a["x"]["first_q_min"]))
    w("")
    floors = [(e, analyse_floor(e)) for e in ordered_timing(results) if e.get("floor")]
    if floors:
        w("The floor for a first repeat under Wine: `wait_probe.exe` (bench/wait_probe.cpp) waits"
          " `armDelayMs` on an event and then injects a key-down, with Velmora running on the same"
          " setting. Milliseconds after the wait's length, median (min to max):")
        w("")
        w("| setting | keytrace sees the key-down | the wait's overshoot | `SendInput` to keytrace |")
        w("| --- | ---: | ---: | ---: |")
        for e, f in floors:
            w("| %d/%d, %d waits of %d ms | %s | %s | %s |" % (
                e["speed"], e["delay"], f["first"]["n"], f["ms"],
                *("%+.2f (%+.2f to %+.2f)" % (f[k]["median"], f[k]["min"], f[k]["max"])
                  for k in ("first", "overshoot", "delivery"))))
        w("")
    w("![Distribution of interval errors, Velmora and the X server's autorepeat](%s)" % PLOT)
    if "under_load" in results:
        e = results["under_load"]
        w("")
        w("## Repeat timing under load")
        w("")
        w("The default setting's holds again, in the same run, with %d busy loops running (one per"
          " core, at the default priority; load %s), beside the same figures without them; other"
          " work on the machine comes on top of both (the load averages above). An interval's"
          " deviation is its distance from the setting, either way. Each column is one run of"
          " `scripts/bench`, the previous one first." % (
              e["busy_loops"], _load(e["load"])))
        w("")
        out.extend(load_table(results, markdown=True))
        w("")
        w(LOAD_NOTE)
    if "idle" in results:
        idle = results["idle"]
        v, i = idle["velmora"], idle["idle"]
        w("")
        w("## Idle cost under Wine")
        w("")
        w("%.0f s with no key held, both programs at once; Linux `/proc/PID/task/*/stat`, "
          "`status` and `schedstat`, summed over threads." % idle["seconds"])
        w("")
        w("| | velmora.exe | velmora_idle.exe (does nothing) |")
        w("| --- | ---: | ---: |")
        w("| CPU time, utime+stime | %.0f ms | %.0f ms |" % (v["cpu_ms"], i["cpu_ms"]))
        w("| on-CPU time, schedstat | %.3f ms | %.3f ms |" % (v["run_ms"], i["run_ms"]))
        w("| context switches (voluntary + nonvoluntary) | %d (%d + %d) | %d (%d + %d) |" % (
            v["switches"], v["voluntary"], v["nonvoluntary"], i["switches"], i["voluntary"],
            i["nonvoluntary"]))
        w("| threads | %d | %d |" % (v["threads"], i["threads"]))
        w("| resident memory (VmRSS) | %.1f MiB | %.1f MiB |" % (v["rss_kib"] / 1024.0,
                                                               i["rss_kib"] / 1024.0))
    if "held_key" in results:
        w("")
        w(held_key_sentence(results["held_key"]))
    w("")
    w("## Cost per keyboard event")
    w("")
    hb = results.get("hook_benchmark")
    if hb:
        w("Google Benchmark on the simulated platform (`build/bench/bench/hook_benchmark`, median"
          " of 5 repetitions; the simulated calls take a lock each, so these are upper bounds of"
          " the product's own work):")
        w("")
        w("| benchmark | time per event |")
        w("| --- | ---: |")
        for name, r in hb["benchmarks"].items():
            if "median" in r:
                w("| %s | %.1f %s |" % (name, r["median"]["real_ns"], r["median"]["unit"]))
        w("")
    if "bursts" in results:
        bursts = results["bursts"]
        b = analyse_bursts(bursts)
        w("Under Wine: %d keys (%d key events) typed with `xdotool key --delay 0`, timed from the"
          " first to the last event keytrace sees (the events queue up, so this is what the path"
          " spends on each one); median of the runs, taken alternately:"
          % (bursts["keys"], 2 * bursts["keys"]))
        w("")
        w("| | per event | runs |")
        w("| --- | ---: | --- |")
        for case, label in (("none", "without Velmora"), ("velmora", "with Velmora"),
                            ("null", "with a hook that only passes events on")):
            if case in b["median"]:
                w("| %s | %.3f ms | %s |" % (label, b["median"][case],
                                             " ".join("%.3f" % x for x in b["per_event"][case])))
        w("")
        if "added_pct" in b:
            text = ("Velmora adds %.3f ms per event, %+.0f %% of the path without it."
                    % (b["added_ms"], b["added_pct"]))
            if "null_added_ms" in b:
                text += (" A hook that does nothing adds %.3f ms, Wine's round trip to any"
                         " hook's process; Velmora's own work is the remaining %.3f ms."
                         % (b["null_added_ms"], b["own_ms"]))
            w(text)
            w("")
    if "size" in results:
        size = results["size"]
        w("## Size")
        w("")
        w("`velmora.exe`: %d bytes (%.1f KiB). Imports (`x86_64-w64-mingw32-objdump -p`):"
          % (size["bytes"], size["bytes"] / 1024.0))
        w("")
        for imp in size["imports"]:
            w("- **%s** (%d): %s" % (imp["dll"], len(imp["functions"]),
                                     ", ".join(imp["functions"])))
        w("")
    w(WINE_NOTE)
    return "\n".join(out)


# --------------------------------------------------------- before and after --

def cost_figures(results):
    """(what, value) rows of idle cost and cost per event, for one run."""
    rows = []
    if "idle" in results:
        v = results["idle"]["velmora"]
        rows.append(("idle: CPU time and context switches in %.0f s" % results["idle"]["seconds"],
                     "%.0f ms, %d" % (v["cpu_ms"], v["switches"])))
    if "bursts" in results:
        b = analyse_bursts(results["bursts"])
        for key, label in (("added_ms", "per key event under Wine: added by Velmora"),
                           ("null_added_ms", "per key event under Wine: added by a do-nothing hook")):
            if key in b:
                rows.append((label, "%+.3f ms" % b[key]))
    if "held_key" in results:
        rows.append(("a key held but physically up, simulated: wake-ups per second",
                     "%.2f" % results["held_key"]["wakeups_per_second"]))
    for name, agg in sorted(results.get("hook_benchmark", {}).get("benchmarks", {}).items()):
        if "median" in agg:
            rows.append(("hook on the simulated platform: %s" % name, "%.1f ns" % agg["median"]["real_ns"]))
    return rows


def before_after(results):
    """Markdown table of the cost figures of the previous run (if any) beside this run's."""
    previous = results.get("previous")
    if not previous:
        return []
    before = dict(cost_figures(previous))
    lines = ["## Since the previous run", "",
             "| figure | %s | %s |" % (previous.get("date", "before"), results.get("date", "now")),
             "|---|---|---|"]
    for what, now in cost_figures(results):
        lines.append("| %s | %s | %s |" % (what, before.get(what, "-"), now))
    return lines + [""]


# ------------------------------------------------------------------- plot --

def plot(results, report_dir):
    """CDFs of the interval error per setting, Velmora against the X server; returns the PNG's
    path, or None without gnuplot."""
    timing = ordered_timing(results)
    if not timing or shutil.which("gnuplot") is None:
        return None
    panels = []
    for i, e in enumerate(timing):
        files = {}
        errors = {}
        for side, interval in (("velmora", e["interval"]), ("x", e["x_interval"])):
            err = sorted(g - interval for g in e[side]["gaps"])
            errors[side] = err
            path = os.path.join(report_dir, "intervals-%d-%s.dat" % (i, side))
            with open(path, "w") as f:
                f.write("# interval error (ms), fraction of intervals at or below it\n")
                for k, x in enumerate(err):
                    f.write("%.4f %.5f\n" % (x, (k + 1) / len(err)))
            files[side] = path
        both = errors["velmora"] + errors["x"]
        lo, hi = percentile(both, 0.5), percentile(both, 99.5)
        pad = max(0.5, (hi - lo) * 0.08)
        a = analyse_timing(e)
        panels.append((e, files, lo - pad, hi + pad, a))

    gp = os.path.join(report_dir, "repeat-intervals.gp")
    png = os.path.join(report_dir, PLOT)
    lines = [
        'set terminal pngcairo size %d,560 font "DejaVu Sans,11" noenhanced' % (600 * len(panels)),
        'set output "%s"' % png,
        'set multiplot layout 1,%d title "Repeat interval error under Wine: Velmora against the X'
        ' server\'s own autorepeat (%s)" font ",13"' % (len(panels), results["date"]),
        "set grid",
        'set ylabel "fraction of intervals (cumulative)"',
        'set xlabel "interval - setting (ms); axis: 0.5th to 99.5th percentile"',
        "set key left top box opaque",
        "set yrange [0:1]",
    ]
    for e, files, lo, hi, a in panels:
        lines += [
            'set title "%s\\nVelmora, %d ms: sd %.2f ms, n=%d;  X, %d ms: sd %.2f ms, n=%d"' % (
                e["label"], e["interval"], a["velmora"]["interval"]["sd"],
                a["velmora"]["interval"]["n"], e["x_interval"], a["x"]["interval"]["sd"],
                a["x"]["interval"]["n"]),
            "set xrange [%.3f:%.3f]" % (lo, hi),
            'plot "%s" using 1:2 with steps lw 2.5 lc rgb "#1f6fb4" title "Velmora", '
            '"%s" using 1:2 with steps lw 2.5 dt 2 lc rgb "#d1601a" title "X server autorepeat"'
            % (files["velmora"], files["x"]),
        ]
    lines.append("unset multiplot")
    with open(gp, "w") as f:
        f.write("\n".join(lines) + "\n")
    r = subprocess.run(["gnuplot", gp], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if r.returncode != 0:
        print("report: gnuplot failed: %s" % r.stdout.decode(errors="replace"), flush=True)
        return None
    return png


def write_all(results, report_dir, docs_dir=None):
    os.makedirs(report_dir, exist_ok=True)
    previous_path = os.path.join(docs_dir, PREVIOUS) if docs_dir else None
    if previous_path and os.path.exists(previous_path) and "previous" not in results:
        with open(previous_path) as f:
            results["previous"] = json.load(f)
    text = text_report(results) + "\n\n" + "\n".join(before_after(results))
    with open(os.path.join(report_dir, "report.txt"), "w") as f:
        f.write(text + "\n")
    md = markdown_report(results) + "\n\n" + "\n".join(before_after(results))
    with open(os.path.join(report_dir, MARKDOWN), "w") as f:
        f.write(md + "\n")
    png = plot(results, report_dir)
    if docs_dir:
        os.makedirs(docs_dir, exist_ok=True)
        shutil.copyfile(os.path.join(report_dir, MARKDOWN), os.path.join(docs_dir, MARKDOWN))
        if png:
            shutil.copyfile(png, os.path.join(docs_dir, PLOT))
        with open(previous_path, "w") as f:
            json.dump({k: v for k, v in results.items() if k != "previous"}, f, indent=1)
    print("", flush=True)
    print("=" * 100)
    print(text)
    print("=" * 100)
    names = [n for n in ("report.txt", MARKDOWN, PLOT, "results.json")
             if os.path.exists(os.path.join(report_dir, n))]
    print("written: %s/{%s}%s" % (
        report_dir, ",".join(names),
        "; copied to %s/%s and %s/%s" % (docs_dir, MARKDOWN, docs_dir, PLOT) if docs_dir else ""),
        flush=True)


def main(argv):
    if len(argv) not in (3, 4):
        print(__doc__.strip().splitlines()[3], file=sys.stderr)
        return 2
    with open(argv[1]) as f:
        results = json.load(f)
    write_all(results, argv[2], argv[3] if len(argv) > 3 else None)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
