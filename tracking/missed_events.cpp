#include "tracking/missed_events.h"

#include <algorithm>
#include <span>

#include "tracking/key_slots.h"
#include "tracking/keyboard_hook.h"

MissedEventWatch missedEventWatch;

namespace {

MissedEventWatch& watch = missedEventWatch;

constexpr DWORD kRightShiftScanCode = 0x36;

bool SameEvent(const KeyStroke& a, const KeyStroke& b) {
  return a.scanCode == b.scanCode && a.extended == b.extended && a.up == b.up && a.own == b.own;
}

void RemoveUnmatched(int count) {
  for (int i = count; i < watch.unmatchedCount; ++i) watch.unmatched[i - count] = watch.unmatched[i];
  watch.unmatchedCount -= count;
}

KeyStroke& SeenByHook(int i) { return watch.seenByHook[(watch.seenHead + i) % kUnmatchedCapacity]; }

void ForgetSeenByHook(int count) {
  watch.seenHead = (watch.seenHead + count) % kUnmatchedCapacity;
  watch.seenCount -= count;
}

KBDLLHOOKSTRUCT AsHookEvent(const KeyStroke& stroke) {
  KBDLLHOOKSTRUCT event = {};
  event.scanCode = stroke.scanCode;
  for (const MonitoredKey& key : kMonitoredKeys) {
    if (!stroke.extended && key.scanCode == stroke.scanCode) event.vkCode = key.virtualKey;
  }
  return event;
}

// A missed event is applied as the hook would have applied it: a release ends the repeats and
// stamps the release, a press marks the key held (it repeats after a fresh arm delay), and one of
// our key-downs that landed after a release asks for the key-up it leaves owed. The events the hook
// has seen and raw input has not yet shown came later in the stream: a foreign one of the same key
// already set the key's state, and one of our key-downs is looked at again once a release is in.
void Recover(const KeyStroke& missed) {
  KBDLLHOOKSTRUCT event = AsHookEvent(missed);
  if (missed.own) {
    NoteOwnKeyEvent(missed.up ? WM_KEYUP : WM_KEYDOWN, event);
    return;
  }
  for (int i = 0; i < watch.seenCount; ++i) {
    const KeyStroke& later = SeenByHook(i);
    if (!later.own && later.scanCode == missed.scanCode && later.extended == missed.extended) {
      event.vkCode = 0;  // superseded: only activity
    }
  }
  RecordForeignEvent(missed.up ? WM_KEYUP : WM_KEYDOWN, event, missed.counterTime);
  if (!missed.up || event.vkCode == 0) return;
  for (int i = 0; i < watch.seenCount; ++i) {
    const KeyStroke& later = SeenByHook(i);
    if (later.own && !later.up && !later.extended && later.scanCode == missed.scanCode) {
      NoteOwnKeyEvent(WM_KEYDOWN, AsHookEvent(later));
    }
  }
}

// The rule that decides a miss: a raw event counts as missed by the hook once the hook has seen a
// later event without it, or once it has stayed unmatched for longer than Windows lets a hook take.
// Applies to the oldest `count` unmatched events, in stream order.
void CountAsMissedByHook(int count) {
  if (count <= 0) return;
  KeyStroke missed[kUnmatchedCapacity];
  std::copy_n(watch.unmatched, count, missed);
  RemoveUnmatched(count);
  for (const KeyStroke& stroke : std::span(missed, count)) Recover(stroke);
  watch.hookLost = true;
}

}  // namespace

void NoteHookEvent(const KBDLLHOOKSTRUCT& event) {
  // NOTE: Windows reports right Shift to low-level hooks as an extended key, while raw input gives
  // its make code 0x36 with no E0 prefix; no other key has that code.
  const bool extended = (event.flags & LLKHF_EXTENDED) != 0 && event.scanCode != kRightShiftScanCode;
  const KeyStroke seen = {static_cast<uint16_t>(event.scanCode), extended,
                          (event.flags & LLKHF_UP) != 0, event.dwExtraInfo == kInjectionTag, event.time, 0};
  for (int i = 0; i < watch.unmatchedCount; ++i) {
    if (!SameEvent(watch.unmatched[i], seen)) continue;
    // Its raw input came first (a hook ahead of ours made it wait): not missed, but any raw event
    // before it was.
    CountAsMissedByHook(i);
    RemoveUnmatched(1);
    return;
  }
  CountAsMissedByHook(watch.unmatchedCount);
  if (watch.seenCount == kUnmatchedCapacity) ForgetSeenByHook(1);
  SeenByHook(watch.seenCount++) = seen;
}

void NoteRawKeyboardEvent(const RAWKEYBOARD& raw, DWORD messageTime, uint64_t counterTime) {
  // No scan code, a keyboard overrun, the E1 prefix of Pause, and the fake Shifts that keyboards
  // send around some E0 keys: none of these reaches a low-level hook as such.
  if (raw.MakeCode == 0 || raw.MakeCode == 0xFF || (raw.Flags & RI_KEY_E1) != 0) return;
  if ((raw.Flags & RI_KEY_E0) != 0 && (raw.MakeCode == 0x2A || raw.MakeCode == 0x36)) return;
  // ExtraInformation is 32 bits wide: our tag is recognised at that width.
  const KeyStroke event = {raw.MakeCode, (raw.Flags & RI_KEY_E0) != 0, (raw.Flags & RI_KEY_BREAK) != 0,
                           raw.ExtraInformation == static_cast<ULONG>(kInjectionTag), messageTime, counterTime};
  for (int i = 0; i < watch.seenCount; ++i) {
    if (!SameEvent(SeenByHook(i), event)) continue;
    // Seen by the hook, as usual; the events the hook saw before it got no raw input (swallowed
    // by a hook behind ours) and are forgotten with it.
    ForgetSeenByHook(i + 1);
    return;
  }
  // Not seen (yet). What the hook saw in an earlier tick was swallowed behind it; anything left
  // came later in the stream, so the hook has already passed this event by.
  while (watch.seenCount > 0 && static_cast<LONG>(SeenByHook(0).messageTime - messageTime) < 0) ForgetSeenByHook(1);
  if (watch.unmatchedCount == kUnmatchedCapacity) CountAsMissedByHook(1);  // no room: the oldest counts
  watch.unmatched[watch.unmatchedCount++] = event;
  if (watch.seenCount > 0) {
    CountAsMissedByHook(watch.unmatchedCount);
    return;
  }
  // Until the hook has seen a foreign event, or it counts as missed, the bursts stand down, as
  // the hook would have them. One of our own changes nothing the workers look at: a held key goes
  // on repeating while the hook is away, and a key-down of ours behind a release the hook missed
  // is settled with that release.
  if (event.own) return;
  activity.hookBusy.store(1);
  WakeWorkersServingAKey();
}

bool ForeignRawEventsUnmatched() {
  return std::any_of(watch.unmatched, watch.unmatched + watch.unmatchedCount,
                     [](const KeyStroke& stroke) { return !stroke.own; });
}

DWORD MsUntilMissDeadline(DWORD tickNow) {
  if (watch.unmatchedCount == 0) return INFINITE;
  const DWORD waited = tickNow - watch.unmatched[0].messageTime;  // wraps with the tick count
  return waited >= kLongestHookTimeMs ? 0 : kLongestHookTimeMs - waited;
}

void ExpireUnmatchedRawEvents(DWORD tickNow, bool all) {
  int due = 0;
  while (due < watch.unmatchedCount &&
         (all || tickNow - watch.unmatched[due].messageTime >= kLongestHookTimeMs)) {
    ++due;
  }
  CountAsMissedByHook(due);
}

bool TakeHookLost() {
  const bool lost = watch.hookLost;
  watch.hookLost = false;
  return lost;
}

void DropPendingRawEvents() { watch.unmatchedCount = 0; }
