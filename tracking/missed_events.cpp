#include "tracking/missed_events.h"

#include "tracking/key_event_effects.h"

MissedEventWatch missedEventWatch;

namespace {

MissedEventWatch& watch = missedEventWatch;

// A missed event is applied as the hook would have applied it: a release ends the repeats and
// stamps the release, a press marks the key held (it repeats after a fresh arm delay), anything
// else that is no key of ours is activity, and one of our key-downs that landed after a release
// asks for the key-up it leaves owed. The events the hook has seen and raw input has not yet shown
// came later in the stream: a foreign one of the same key already set the key's state, and each of
// our key-downs is looked at again with the missed event in (behind a release, it leaves a key-up
// owed).
void Recover(const KeyStroke& missed, const KeyStroke* later, int laterCount) {
  watch.hookLost = true;
  if (missed.own) {
    if (!missed.up) ApplyOwnKeyDown(SlotOfOwnKey(missed.scanCode));
    return;
  }
  KeySlot* slot = SlotOfRawKey({missed.scanCode, missed.extended}, missed.virtualKey);
  for (int i = 0; i < laterCount; ++i) {
    if (!later[i].own && SlotOfHookKey(later[i].virtualKey, later[i].viewScanCode) == slot) slot = nullptr;
  }
  ApplyForeignKeyEvent(slot, missed.up ? KeyTransition::Release : KeyTransition::Press, missed.counterTime,
                       ForeignRawEventsWaiting(watch.pairing));
  for (int i = 0; i < laterCount; ++i) {
    if (later[i].own && !later[i].up && SlotOfOwnKey(later[i].scanCode) == slot) ApplyOwnKeyDown(slot);
  }
}

// Until the hook has seen a foreign event, or it counts as missed, the bursts stand down, as the
// hook would have them. One of our own changes nothing the workers look at: a held key goes on
// repeating while the hook is away, and a key-down of ours behind a release the hook missed is
// settled with that release.
void StandDownForRawEvent(const KeyStroke&) { StandDownForUnseenEvent(); }

void Ignore(const KeyStroke&) {}
void IgnorePair(const KeyStroke&, const KeyStroke&) {}

// An event the pairing could not compare is most likely one the hook saw, ahead of raw input
// (a burst): settling it again could undo what the hook did since. A hook that is gone still shows
// at the deadline of the raw events the pairing kept.
constexpr PairingVerdicts kVerdicts = {IgnorePair, Ignore, Recover, StandDownForRawEvent, Ignore};

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

void DropPendingRawEvents() { watch.pairing.unmatchedCount = 0; }
