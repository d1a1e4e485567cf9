#!/usr/bin/env python3
"""Measures Velmora under Wine and on the simulated platform, then writes the report.

usage: wine_bench.py REPO WORKDIR REPORT_DIR DOCS_DIR [--quick]

Run by scripts/bench, which builds everything this needs first: velmora.exe, keytrace.exe and
velmora_idle.exe (build/windows), hook_benchmark and held_key_wakeups (build/bench), null_hook.exe
and wait_probe.exe (WORKDIR).
WORKDIR keeps the Wine prefix and the logs; REPORT_DIR gets results.json, report.txt,
performance.md and the plot; DOCS_DIR gets copies of the last two.

Every time comes from keytrace's t= (QueryPerformanceCounter in keytrace's hook), so the same
observer stamps Velmora's repeats, the X server's own repeats and the typed bursts.
Nothing here judges speed: the figures go into the report next to their goals.
"""

import json
import os
import platform
import re
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tools", "wine_desktop"))

import harness  # noqa: E402
import report  # noqa: E402
from harness import HarnessError, Session, log  # noqa: E402

# Virtual-key codes of the physical keys, as Wine reports them to the hook.
VK = {"Shift_L": 0xA0, "Shift_R": 0xA1, "Control_L": 0xA2, "Alt_L": 0xA4, "a": 0x41}
KEYS = ("Shift_L", "Control_L", "Alt_L", "Shift_R")
SETTINGS_KEY = r"HKCU\Control Panel\Keyboard"


def repeat_interval(speed):
    code = 31 - speed
    return (((8 + (code & 7)) << (code >> 3)) * 25 + 3) // 6


def arm_delay(delay, speed):
    return 250 * (delay + 1) + repeat_interval(speed)


def x_rate(interval_ms):
    """The xset rate (Hz) whose interval comes closest: the server repeats every 1000 // rate ms."""
    return min(range(1, 256), key=lambda r: (abs(1000 // r - interval_ms), r))


# (label, KeyboardSpeed, KeyboardDelay, hold seconds). Default last: Velmora stays on it for
# the idle and per-event measurements.
SETTINGS = [
    ("speed 20, delay 0", 20, 0, 3.0),
    ("speed 0, delay 3", 0, 3, 5.0),
    ("default (speed 31, delay 1)", 31, 1, 3.0),
]
ROUNDS = 2          # each round holds every monitored key once and the X reference key as often
FLOOR_WAITS = 10  # per setting: the waits last armDelayMs each
IDLE_SECONDS = 30.0
BURST_KEYS = 1000
# Alternating, so drifting load from other work hits every case alike.
BURST_ORDER = ["velmora", "none", "null", "null", "none", "velmora"] * 2 + ["velmora", "none", "null"]


def load():
    return list(os.getloadavg())


# ---------------------------------------------------------------- programs --

class Hooker:
    """A Windows program under Wine that installs a low-level keyboard hook."""

    def __init__(self, session, exe):
        self.session = session
        self.exe = exe
        self.name = os.path.basename(exe)
        self.proc = None

    def running(self):
        return self.proc is not None and self.proc.running()

    def stop(self):
        if not self.running():
            self.proc = None
            return
        code, text = self.session.post_quit(self.proc.win_pid)
        if code != 0:
            raise HarnessError("keytrace --stop %d failed: %s" % (self.proc.win_pid, text.strip()))
        self.proc.wait(30, "%s to exit after WM_QUIT" % self.name)
        self.proc = None


class Velmora(Hooker):
    def start(self, arm_ms):
        p = self.session.start_program(self.exe, name=self.name)
        self.proc = p
        self.session.find_windows_pid(p)
        self.probe(arm_ms)
        return p

    def probe(self, arm_ms, timeout=60.0):
        """Waits until Velmora repeats a held left Shift: its hook is in place only some time
        after the process appears, and nothing else says when."""
        s = self.session
        deadline = time.monotonic() + timeout
        while True:
            if not self.proc.running():
                raise HarnessError("%s exited with %d while starting"
                                   % (self.name, self.proc.popen.returncode))
            mark = s.trace.mark()
            s.key_down("Shift_L")
            try:
                harness.wait_until(lambda: [e for e in s.trace.since(mark)
                                            if e.tagged and not e.up],
                                   3 + arm_ms / 1000.0, "a first repeat", say_every=60)
                ok = True
            except HarnessError:
                ok = False
            s.key_up("Shift_L")
            harness.wait_until(lambda: [e for e in s.trace.since(mark)
                                        if e.physical and e.up and e.vk == VK["Shift_L"]],
                               20, "the probe's release")
            if ok:
                quiet(s)
                return
            if time.monotonic() > deadline:
                raise HarnessError("%s never repeated a held key" % self.name)


class NullHook(Hooker):
    def start(self):
        p = self.session.start_program(self.exe, name=self.name)
        self.proc = p

        def hooked():
            if not p.running():
                raise HarnessError("%s exited with %d" % (self.name, p.popen.returncode))
            with open(p.out_path, "rb") as f:
                return b"hooked" in f.read()

        harness.wait_until(hooked, 60, "%s to install its hook" % self.name)
        self.session.find_windows_pid(p)
        return p


def quiet(s, ms=300):
    """Waits until nothing has been injected for ms."""
    def still():
        s.trace.poll()
        last = next((e for e in reversed(s.trace.events) if e.injected), None)
        return last is None or s.trace.now() - last.t >= ms
    harness.wait_until(still, 30, "Velmora to fall silent")


# ------------------------------------------------------------------ timing --

def wait_key(s, mark, key, up):
    vk = VK[key]
    return harness.wait_until(
        lambda: next((e for e in s.trace.since(mark)
                      if e.physical and e.vk == vk and bool(e.up) == up), None),
        20, "keytrace to see %s go %s" % (key, "up" if up else "down"))


def hold_velmora(s, key, seconds):
    """Holds a monitored key; returns the first repeat's delay after the press (on keytrace's
    t= and on the queue's time= clocks) and the intervals between its repeats."""
    scan = harness.SCAN[key]
    mark = s.trace.mark()
    s.key_down(key)
    press = wait_key(s, mark, key, False)
    time.sleep(seconds)
    s.key_up(key)
    release = wait_key(s, mark, key, True)
    quiet(s)
    downs = [e for e in s.trace.since(mark) if e.tagged and not e.up and e.scan == scan
             and press.t < e.t < release.t]
    if not downs:
        raise HarnessError("no %s repeat in a %.1f s hold" % (key, seconds))
    first_q = None
    if downs[0].time is not None and press.time is not None:
        first_q = downs[0].time - press.time
    return {"first": downs[0].t - press.t, "first_q": first_q,
            "gaps": [b.t - a.t for a, b in zip(downs, downs[1:])],
            "gaps_q": [b.time - a.time for a, b in zip(downs, downs[1:])
                       if a.time is not None and b.time is not None]}


def hold_x(s, seconds, delay_ms, rate_hz):
    """Holds a letter with the X server's own autorepeat on: the reference. Its repeats reach
    keytrace as physical key-downs, through Wine like any key."""
    s.x_autorepeat(delay_ms, rate_hz)
    try:
        mark = s.trace.mark()
        s.key_down("a")
        press = wait_key(s, mark, "a", False)
        time.sleep(seconds)
        s.key_up("a")
        release = wait_key(s, mark, "a", True)
    finally:
        s.x_autorepeat_off()
    downs = [e for e in s.trace.since(mark) if e.physical and not e.up and e.vk == VK["a"]
             and press.t <= e.t < release.t]
    if len(downs) < 2:
        raise HarnessError("the X server repeated no key in a %.1f s hold" % seconds)
    first_q = None
    if downs[1].time is not None and press.time is not None:
        first_q = downs[1].time - press.time
    return {"first": downs[1].t - press.t, "first_q": first_q,
            "gaps": [b.t - a.t for a, b in zip(downs[1:], downs[2:])],
            "gaps_q": [b.time - a.time for a, b in zip(downs[1:], downs[2:])
                       if a.time is not None and b.time is not None]}


def new_entry(label, speed, delay, hold):
    interval, arm = repeat_interval(speed), arm_delay(delay, speed)
    rate = x_rate(interval)
    return {"label": label, "speed": speed, "delay": delay, "arm": arm, "interval": interval,
            "x_delay": arm, "x_rate": rate, "x_interval": 1000 // rate, "hold_s": hold,
            "load": [load()],
            "velmora": {"first": [], "first_q": [], "gaps": [], "gaps_q": [], "per_key": {}},
            "x": {"first": [], "first_q": [], "gaps": [], "gaps_q": []}}


def hold_each_key(s, entry, rounds):
    """Each monitored key held, each hold followed by one of the letter A with the X server's
    autorepeat on at the closest delay and rate; the figures go into entry."""
    hold, arm, rate = entry["hold_s"], entry["arm"], entry["x_rate"]
    for r in range(rounds):
        log("  round %d/%d: holding each key %.0f s, each followed by the letter A with "
            "xset r rate %d %d..." % (r + 1, rounds, hold, arm, rate))
        for key in KEYS:
            v = hold_velmora(s, key, hold)
            x = hold_x(s, hold, arm, rate)
            for side, got in (("velmora", v), ("x", x)):
                entry[side]["first"].append(got["first"])
                entry[side]["first_q"].append(got["first_q"])  # None when unknown
                entry[side]["gaps"] += got["gaps"]
                entry[side]["gaps_q"] += got["gaps_q"]
            per = entry["velmora"]["per_key"].setdefault(key, {"first": [], "gaps": []})
            per["first"].append(v["first"])
            per["gaps"] += v["gaps"]


def measure_timing(s, velmora, rounds, probe_exe, floor_waits):
    results = []
    saved = {v: s.reg_query(SETTINGS_KEY, v) for v in ("KeyboardSpeed", "KeyboardDelay")}
    try:
        for label, speed, delay, hold in SETTINGS:
            entry = new_entry(label, speed, delay, hold)
            velmora.stop()
            s.reg_set(SETTINGS_KEY, "KeyboardSpeed", "REG_SZ", str(speed))
            s.reg_set(SETTINGS_KEY, "KeyboardDelay", "REG_SZ", str(delay))
            log("%s: armDelayMs %d, repeatIntervalMs %d; restarting velmora.exe..."
                % (label, entry["arm"], entry["interval"]))
            velmora.start(entry["arm"])
            hold_each_key(s, entry, rounds)
            # With Velmora on this setting, so its hook is in the chain as for its repeats.
            entry["floor"] = measure_floor(s, probe_exe, entry["arm"], floor_waits)
            entry["load"].append(load())
            results.append(entry)
    finally:
        for value, old in saved.items():
            if old is None:
                s.reg_delete(SETTINGS_KEY, value)
            else:
                s.reg_set(SETTINGS_KEY, value, old[0], old[1])
    return results


# One busy loop per core, at the default priority, as other work would run; each ends with the
# process that started it (argv[1]), however that ends.
BUSY_LOOP = ("import os, sys\n"
             "while os.getppid() == int(sys.argv[1]):\n    for _ in range(10**5): pass")


def measure_under_load(s, rounds):
    """The holds of the default setting (Velmora's last) again, with every core busy."""
    entry = new_entry(*SETTINGS[-1])
    entry["busy_loops"] = os.cpu_count()
    log("  %d busy loops running" % entry["busy_loops"])
    loops = [subprocess.Popen([sys.executable, "-c", BUSY_LOOP, str(os.getpid())])
             for _ in range(entry["busy_loops"])]
    try:
        hold_each_key(s, entry, rounds)
    finally:
        for p in loops:
            p.kill()
            p.wait()
    entry["load"].append(load())
    return entry


def measure_floor(s, exe, ms, count):
    """wait_probe: a program that only waits ms and injects, the floor for a first repeat."""
    mark = s.trace.mark()
    log("  the floor: wait_probe.exe waits %d ms and injects, %d times..." % (ms, count))
    p = s.start_program(exe, [str(count), str(ms)], name="wait_probe.exe")
    p.wait(count * (ms + 100) / 1000.0 + 60, "wait_probe.exe to finish")
    time.sleep(0.3)
    with open(p.out_path) as f:
        rows = [dict((k, float(v)) for k, v in re.findall(r"(\w+)=([\d.]+)", line))
                for line in f if line.startswith("start=")]
    downs = [e for e in s.trace.since(mark) if e.tagged and not e.up and e.scan == 0x1E]
    if len(downs) != len(rows) or not rows:
        raise HarnessError("wait_probe.exe made %d key-downs, keytrace saw %d"
                           % (len(rows), len(downs)))
    return {"ms": ms,
            "first": [d.t - s.trace.wall_to_t(r["start"]) - ms for d, r in zip(downs, rows)],
            "overshoot": [r["waited"] - ms for r in rows],
            "delivery": [d.t - s.trace.wall_to_t(r["send"]) for d, r in zip(downs, rows)]}


# -------------------------------------------------------------------- idle --

def linux_pid(proc, exe_name, min_threads):
    """The Linux pid of the Wine process that runs exe_name, checked by its thread count."""
    def find():
        found = [(pid, n) for pid, n in harness.linux_processes(exe_name) if n >= min_threads]
        mine = [pid for pid, n in found if pid == proc.pid]
        if mine:
            return mine[0]
        return found[0][0] if len(found) == 1 else None
    return harness.wait_until(find, 30, "the Linux process of %s" % exe_name, tick=0.2)


def measure_idle(s, velmora, idle_proc, seconds):
    vel_pid = linux_pid(velmora.proc, "velmora.exe", 5)
    idle_pid = linux_pid(idle_proc, os.path.basename(idle_proc.name), 1)
    quiet(s, 1000)
    log("idle: watching velmora.exe (Linux pid %d) and velmora_idle.exe (Linux pid %d) for "
        "%.0f s with no key held..." % (vel_pid, idle_pid, seconds))
    before = {"velmora": harness.process_usage(vel_pid), "idle": harness.process_usage(idle_pid)}
    l0 = load()
    time.sleep(seconds)
    after = {"velmora": harness.process_usage(vel_pid), "idle": harness.process_usage(idle_pid)}
    out = {"seconds": seconds, "load": [l0, load()]}
    for name, pid in (("velmora", vel_pid), ("idle", idle_pid)):
        a, b = before[name], after[name]
        out[name] = {
            "pid": pid,
            "cpu_ms": b["cpu_ms"] - a["cpu_ms"],
            "utime_ms": b["utime_ms"] - a["utime_ms"],
            "stime_ms": b["stime_ms"] - a["stime_ms"],
            "run_ms": b["run_ms"] - a["run_ms"],
            "voluntary": b["voluntary"] - a["voluntary"],
            "nonvoluntary": b["nonvoluntary"] - a["nonvoluntary"],
            "switches": b["switches"] - a["switches"],
            "threads": b["threads"],
            "rss_kib": b["rss_kib"],
            "same_threads": a["tids"] == b["tids"],
        }
    return out


# ------------------------------------------------------------------ bursts --

def burst(s, n):
    """Types n keys as fast as xdotool can; returns keytrace's first-to-last time per event.
    The events queue up on their way, so this is what the path spends on each one."""
    mark = s.trace.mark()
    s.xdo_run(["xdotool", "key", "--delay", "0"] + ["a"] * n)
    progress = {"count": 0, "since": time.monotonic()}

    def seen():
        return [e for e in s.trace.since(mark) if e.physical and e.vk == VK["a"]]

    def done():
        count = len(seen())
        if count != progress["count"]:
            progress.update(count=count, since=time.monotonic())
        # NOTE: now and then a few events of a burst never reach the hooks under Wine; those
        # that do are timed.
        return count >= 2 * n or time.monotonic() - progress["since"] > 3.0

    harness.wait_until(done, 120, "keytrace to see %d key events" % (2 * n), say_every=15)
    events = seen()
    if len(events) < 2:
        raise HarnessError("keytrace saw %d of %d key events" % (len(events), 2 * n))
    total = events[-1].t - events[0].t
    return {"events": len(events), "sent": 2 * n, "total_ms": total,
            "per_event_ms": total / (len(events) - 1)}


def measure_bursts(s, velmora, null_hook, order):
    runs = {"velmora": [], "none": [], "null": []}
    l0 = load()
    for i, case in enumerate(order):
        if case != "velmora":
            velmora.stop()
        if case != "null":
            null_hook.stop()
        if case == "velmora" and not velmora.running():
            velmora.start(arm_delay(1, 31))
        if case == "null" and not null_hook.running():
            null_hook.start()
        time.sleep(0.5)
        got = burst(s, BURST_KEYS)
        got["load"] = load()[0]
        runs[case].append(got)
        log("  burst %d/%d (%s): %d of %d events, %.3f ms per event"
            % (i + 1, len(order), {"velmora": "with Velmora", "none": "without Velmora",
                                    "null": "with the do-nothing hook"}[case],
               got["events"], got["sent"], got["per_event_ms"]))
    null_hook.stop()
    return {"keys": BURST_KEYS, "order": order, "runs": runs, "load": [l0, load()]}


# ------------------------------------------------------- host-side figures --

def run_hook_benchmark(binary):
    r = subprocess.run([binary, "--benchmark_repetitions=5", "--benchmark_min_time=0.2",
                        "--benchmark_report_aggregates_only=true", "--benchmark_format=json"],
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    if r.returncode != 0:
        raise HarnessError("%s failed: %s" % (binary, r.stderr.decode(errors="replace")))
    data = json.loads(r.stdout)
    rows = {}
    for b in data["benchmarks"]:
        name = b.get("run_name", b["name"].split("_")[0])
        agg = b.get("aggregate_name")
        if agg in ("median", "stddev"):
            rows.setdefault(name, {})[agg] = {"real_ns": b["real_time"], "cpu_ns": b["cpu_time"],
                                               "unit": b.get("time_unit", "ns")}
    return {"context": {k: data["context"].get(k) for k in
                        ("num_cpus", "mhz_per_cpu", "library_build_type", "load_avg")},
            "benchmarks": rows}


def run_held_key_wakeups(binary):
    r = subprocess.run([binary], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    if r.returncode != 0:
        raise HarnessError("%s failed: %s" % (binary, r.stderr.decode(errors="replace")))
    return json.loads(r.stdout)


def exe_size(exe, objdump):
    r = subprocess.run([objdump, "-p", exe], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       timeout=60)
    imports = []
    current = None
    for line in r.stdout.decode(errors="replace").splitlines():
        m = re.match(r"\s*DLL Name:\s*(\S+)", line)
        if m:
            current = {"dll": m.group(1), "functions": []}
            imports.append(current)
            continue
        if current is not None:
            m = re.match(r"\s+[0-9a-fA-F]+\s+(\d+)\s+(\S+)\s*$", line)
            if m:
                current["functions"].append(m.group(2))
            elif not line.strip() and current["functions"]:
                current = None
    return {"bytes": os.path.getsize(exe), "imports": imports}


# -------------------------------------------------------------------- main --

def machine():
    cpu = ""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    wine = subprocess.run(["wine", "--version"], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL).stdout.decode().strip()
    uptime = subprocess.run(["uptime"], stdout=subprocess.PIPE).stdout.decode().strip()
    return {"nproc": os.cpu_count(), "cpu": cpu, "kernel": platform.release(), "wine": wine,
            "uptime_start": uptime}


def main(argv):
    args = [a for a in argv[1:] if not a.startswith("--")]
    quick = "--quick" in argv[1:]
    if len(args) != 4:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    repo, workdir, report_dir, docs_dir = (os.path.abspath(a) for a in args)
    exe = os.path.join(repo, "build", "windows", "velmora.exe")
    keytrace = os.path.join(repo, "build", "windows", "tools", "keytrace.exe")
    idle_exe = os.path.join(repo, "build", "windows", "tools", "velmora_idle.exe")
    null_exe = os.path.join(workdir, "null_hook.exe")
    probe_exe = os.path.join(workdir, "wait_probe.exe")
    bench_bin = os.path.join(repo, "build", "bench", "bench", "hook_benchmark")
    held_bin = os.path.join(repo, "build", "bench", "bench", "held_key_wakeups")
    for path in (exe, keytrace, idle_exe, null_exe, probe_exe, bench_bin, held_bin):
        if not os.path.isfile(path):
            print("bench: missing %s (scripts/bench builds it)" % path, file=sys.stderr)
            return 1
    os.makedirs(report_dir, exist_ok=True)

    def terminated(signum, frame):
        raise SystemExit(128 + signum)  # so that the session cleans up

    signal.signal(signal.SIGTERM, terminated)
    began = time.monotonic()
    results = {"date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
               "command": "scripts/bench" + (" --quick" if quick else ""),
               "machine": machine(), "quick": quick}
    rounds = 1 if quick else ROUNDS
    idle_seconds = 10.0 if quick else IDLE_SECONDS
    order = BURST_ORDER[:3] if quick else BURST_ORDER
    try:
        with Session(workdir, keytrace) as s:
            s.focus("main")
            # Started first, so that its own start-up is long over when the idle window opens.
            idle_proc = s.start_program(idle_exe, name="velmora_idle.exe")
            velmora = Velmora(s, exe)
            null_hook = NullHook(s, null_exe)
            log("== repeat timing: Velmora and the X server's autorepeat, %d round(s) per setting"
                % rounds)
            results["timing"] = measure_timing(s, velmora, rounds, probe_exe,
                                               5 if quick else FLOOR_WAITS)
            log("== repeat timing under load: the default setting again, every core busy")
            results["under_load"] = measure_under_load(s, rounds)
            log("== idle cost")
            results["idle"] = measure_idle(s, velmora, idle_proc, idle_seconds)
            log("== cost per keyboard event under Wine: %d bursts of %d keys"
                % (len(order), BURST_KEYS))
            results["bursts"] = measure_bursts(s, velmora, null_hook, order)
            velmora.stop()
    except HarnessError as e:
        log("bench: %s" % e)
        return 1
    log("== cost per keyboard event on the simulated platform (hook_benchmark)...")
    results["hook_benchmark"] = run_hook_benchmark(bench_bin)
    log("== a key held but physically up, on the simulated platform (held_key_wakeups)...")
    results["held_key"] = run_held_key_wakeups(held_bin)
    results["size"] = exe_size(exe, os.environ.get("OBJDUMP", "x86_64-w64-mingw32-objdump"))
    results["machine"]["uptime_end"] = subprocess.run(
        ["uptime"], stdout=subprocess.PIPE).stdout.decode().strip()
    started = os.environ.get("VELMORA_BENCH_STARTED")
    results["wall_s"] = time.time() - float(started) if started else time.monotonic() - began
    with open(os.path.join(report_dir, "results.json"), "w") as f:
        json.dump(results, f, indent=1)
    report.write_all(results, report_dir, docs_dir)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
