"""Velmora's repeats as another program's hook sees them. Besides what each test asserts, the kb
fixture holds every stream to the oracle: no repeat before its due time, one key-up for each
repeat that landed after its key's release, nothing left down."""

import random
import time

import pytest

from oracle import KEYS, close


@pytest.mark.parametrize("key", KEYS)
def test_a_held_key_repeats(velmora, kb, key):
    # NOTE: Wine reports a held right Shift as both Shifts held: left Shift repeats as well.
    kb.wait_repeats(key, 5, kb.press(key))
    kb.release(key)


def test_another_key_holds_off_the_repeats_for_a_full_arming_delay(velmora, kb):
    kb.wait_repeats("Shift_L", 3, kb.press("Shift_L"))
    kb.wait_repeats("Shift_L", 3, kb.tap("a"))
    kb.release("Shift_L")


def test_a_new_foreground_window_stops_the_repeats_until_the_key_is_pressed_again(desk, velmora,
                                                                                   kb):
    kb.wait_repeats("Shift_L", 3, kb.press("Shift_L"))
    try:
        desk.focus("other")
        moved = kb.trace.now()
        kb.watch(velmora.arm + 6 * velmora.interval)
        kb.release("Shift_L")
        again = kb.press("Shift_L")
        kb.wait_repeats("Shift_L", 3, again)
        kb.release("Shift_L")
    finally:
        desk.focus("main")
    # One repeat sent before the foreground changed may still be on its way.
    stray = [d for d in kb.repeats("Shift_L", moved) if d.t < again.t]
    assert len(stray) <= 1, "%d repeats after the foreground changed" % len(stray)


def sleep_until(trace, t):
    while trace.now() < t:
        time.sleep(max(0.0, (t - trace.now() - 1.5) / 1000.0))


def test_releases_at_a_repeat_leave_no_key_down(velmora, kb):
    rng, scattered = random.Random(5), []
    for i in range(8 * len(KEYS)):
        key, aimed = KEYS[i % len(KEYS)], i // len(KEYS) % 2 == 0
        press = kb.press(key)
        latency = sorted(kb.latency)[len(kb.latency) // 2]
        if aimed:
            # keytrace sees a release that lands on a repeat 0 to 2 ms after the time at which
            # it would see the repeat.
            first = kb.wait_repeats(key, 1, press)[0]
            target = first.t + rng.choice((1, 2)) * velmora.interval + rng.uniform(0, 2)
        else:
            target = press.t + velmora.arm + rng.uniform(0, 2 * velmora.interval)
        sleep_until(kb.trace, target - latency)
        released = kb.release(key)
        kb.watch(50)
        if not aimed:
            scattered.append(bool(kb.repeats(key, released)))
    # A release between two repeats is raced only in the few milliseconds before one; a Velmora
    # that let the next repeat through after every release would have one after nearly all.
    assert sum(scattered) * 2 <= len(scattered), "a repeat after %d of %d releases between " \
        "repeats" % (sum(scattered), len(scattered))


def test_a_storm_of_typing_holds_off_the_repeats_and_arrives_whole(velmora, kb):
    kb.wait_repeats("Shift_L", 3, kb.press("Shift_L"))
    rng = random.Random(3)
    text = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789 ") for _ in range(400))
    frm = kb.trace.mark()
    for c in text:
        kb.send(c, True)
        kb.send(c, False)
    want = [(ord(c.upper()), up) for c in text for up in (False, True)]
    seen = kb.until(lambda: [e for e in kb.trace.events[frm:] if e.physical][len(want) - 1:] and
                    [e for e in kb.trace.events[frm:] if e.physical], "the storm", 60)
    assert [(e.vk, e.up) for e in seen] == want, "the storm arrived changed"
    first, end = seen[0], seen[-1]
    kb.wait_repeats("Shift_L", 3, end)
    kb.release("Shift_L")
    # Stricter than the oracle, which lets one repeat race each key event: nothing from the
    # storm's first key until a full arming delay after its last, but a repeat racing the first.
    during = [d for d in kb.repeats("Shift_L", first) if d.t < end.t + velmora.arm]
    if during and close(during[0], first, velmora.interval):
        during = during[1:]
    assert not during, "%d repeats in the storm or less than %d ms after it" % (
        len(during), velmora.arm)
