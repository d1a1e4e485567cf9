# The rule every keyboard stream that keytrace observes must keep while Velmora runs: nothing of
# Velmora's comes before its due time, a repeat that landed after its key's release is followed by
# exactly one key-up of Velmora's, and nothing is left down.
#
# The observing keytrace is hooked in ahead of Velmora, so its t (its hook's stamp) of a key event
# is no later than Velmora's, and its t of a repeat no earlier than the repeat was sent: a repeat's
# distance from the key event it follows is never understated, however late Wine delivers either.

KEYS = ("Shift_L", "Control_L", "Alt_L", "Shift_R")
# Virtual-key codes as Wine reports the physical keys; scan codes Velmora injects them by.
VK = {"Shift_L": 0xA0, "Control_L": 0xA2, "Alt_L": 0xA4, "Shift_R": 0xA1}
SCAN = {"Shift_L": 0x2A, "Control_L": 0x1D, "Alt_L": 0x38, "Shift_R": 0x36}
SCAN_OF_VK = {VK[k]: SCAN[k] for k in KEYS}
NAME = {0x2A: "left Shift", 0x1D: "left Ctrl", 0x38: "left Alt", 0x36: "right Shift"}


def close(e, a, ms):
    """Whether e came less than ms after a, on keytrace's clock or on the queueing ticks."""
    return e.t - a.t < ms or e.time - a.time < ms


# The k-th repeat (from 0) of a burst is due arm + k * interval after the latest key event that is
# not Velmora's: Velmora arms from when its hook saw that event, and a late repeat only moves the
# rest of its schedule later. A repeat that Velmora sent before its hook saw a key event lands
# after it: one such repeat per key and event counts in the burst before, and one that raced its
# key's release leaves the key down until Velmora's key-up. Which keys are held is read from the
# physical events, so a right Shift that Wine also reports as a left Shift allows repeats of both.
# From timed_until on (keytrace's clock), a hook of Velmora's installed again runs ahead of the
# observer, whose stamps then no longer bound Velmora's: due times are not judged there.
def check(events, arm, interval, timed_until=None):
    """(t, text) for every breach of the rule in events, in order."""
    problems, held, racable, since, seen_late = [], set(), set(), set(), set()
    released, owed, undone, burst = {}, {}, {}, {}
    last = None  # the latest key event that is not Velmora's: it ends every burst

    def flag(e, text):
        problems.append((e.t, "%s at t=%.3f: %s" % (NAME.get(e.scan, "scan 0x%02X" % e.scan),
                                                     e.t, text)))

    for e in events:
        if not e.is_key:
            continue
        if not e.tagged:
            racable, since, last = set(held), set(), e
            scan = SCAN_OF_VK.get(e.vk)
            if scan is not None and e.up:
                held.discard(scan)
                released[scan] = e
            elif scan is not None:
                if scan in owed:
                    flag(owed.pop(scan), "landed after the release, and the key went down "
                                         "again with no key-up of Velmora's in between")
                held.add(scan)
                burst.pop(scan, None)
                seen_late.discard(scan)
                undone.pop(scan, None)
            continue
        scan = e.scan
        if scan not in NAME:
            flag(e, "injected with Velmora's tag for a key it does not repeat")
        elif e.up:
            if scan in owed:
                undone[scan] = owed.pop(scan)
            else:
                flag(e, "a key-up of Velmora's with no late repeat to undo%s"
                     % (" (a second one)" if scan in undone else ""))
        elif scan not in held:
            rel = released.get(scan)
            if rel is None or scan in seen_late or not close(e, rel, interval):
                flag(e, "a repeat while the key is up")
            else:
                seen_late.add(scan)
                owed[scan] = e
        else:
            b = burst.get(scan)
            if b is None or b[0] is not last and (scan not in racable or scan in since or
                                                  not close(e, last, interval)):
                b = burst[scan] = [last, 0]
            since.add(scan)
            due = b[0].t + arm + b[1] * interval
            if e.t < due and (timed_until is None or e.t < timed_until):
                flag(e, "%.3f ms before its due time: repeat %d of a burst that follows %s"
                     % (due - e.t, b[1], b[0].describe()))
            b[1] += 1
    for scan, e in owed.items():
        flag(e, "landed after the release and no key-up of Velmora's followed: the key is "
                "left down")
    return sorted(problems, key=lambda p: p[0])


def timeline(events, t0):
    return ["%+10.3f ms  %s" % (e.t - t0, e.describe()) for e in events if e.is_key]


def explain(problems, events, ms=500):
    """The problems, and the stretch of the stream around the first one."""
    t0 = problems[0][0]
    texts = [text for _, text in problems]
    more = ["... %d more" % (len(texts) - 10)] if len(texts) > 10 else []
    return "\n".join(texts[:10] + more + ["observed around t=%.3f:" % t0] +
                     timeline([e for e in events if abs(e.t - t0) <= ms], t0))
