#include "tracking/missed_events.h"

#include "tracking/key_slots.h"
#include "tracking/keyboard_hook.h"

MissedEventWatch missedEventWatch;

namespace {

MissedEventWatch& watch = missedEventWatch;

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
void Recover(const KeyStroke& missed, const KeyStroke* later, int laterCount) {
  watch.hookLost = true;
  KBDLLHOOKSTRUCT event = AsHookEvent(missed);
  if (missed.own) {
    NoteOwnKeyEvent(missed.up ? WM_KEYUP : WM_KEYDOWN, event);
    return;
  }
  for (int i = 0; i < laterCount; ++i) {
    if (!later[i].own && later[i].scanCode == missed.scanCode && later[i].extended == missed.extended) {
      event.vkCode = 0;  // superseded: only activity
    }
  }
  RecordForeignEvent(missed.up ? WM_KEYUP : WM_KEYDOWN, event, missed.counterTime);
  if (!missed.up || event.vkCode == 0) return;
  for (int i = 0; i < laterCount; ++i) {
    if (later[i].own && !later[i].up && !later[i].extended && later[i].scanCode == missed.scanCode) {
      NoteOwnKeyEvent(WM_KEYDOWN, AsHookEvent(later[i]));
    }
  }
}

// Until the hook has seen a foreign event, or it counts as missed, the bursts stand down, as the
// hook would have them. One of our own changes nothing the workers look at: a held key goes on
// repeating while the hook is away, and a key-down of ours behind a release the hook missed is
// settled with that release.
void StandDownForRawEvent(const KeyStroke&) {
  activity.hookBusy.store(1);
  WakeWorkersServingAKey();
}

void Ignore(const KeyStroke&) {}
void IgnorePair(const KeyStroke&, const KeyStroke&) {}

constexpr PairingVerdicts kVerdicts = {IgnorePair, Ignore, Recover, StandDownForRawEvent};

}  // namespace

void NoteHookEvent(const KBDLLHOOKSTRUCT& event) { PairHookEvent(watch.pairing, event, kVerdicts); }

void NoteRawKeyboardEvent(const RAWKEYBOARD& raw, DWORD messageTime, uint64_t counterTime) {
  PairRawEvent(watch.pairing, raw, messageTime, counterTime, kVerdicts);
}

bool ForeignRawEventsUnmatched() { return ForeignRawEventsWaiting(watch.pairing); }

DWORD MsUntilMissDeadline(DWORD tickNow) { return MsUntilMissDeadline(watch.pairing, tickNow); }

void ExpireUnmatchedRawEvents(DWORD tickNow, bool all) {
  ExpireUnmatchedRawEvents(watch.pairing, tickNow, all, kVerdicts);
}

bool TakeHookLost() {
  const bool lost = watch.hookLost;
  watch.hookLost = false;
  return lost;
}
