#include "repeat/compensating_release.h"

void FlushPendingRelease(KeySlot& slot) {
  if (slot.held.load() != 0) {
    // Pressed again: the key is meant to be down, so a request made before the press is void.
    // releaseOwedByHook needs no clearing here: the hook clears it before it sets held.
    slot.releasePending.store(0);
    return;
  }
  // Both flags are always consumed, so one release never leaves a request behind.
  const bool requestedByStep = slot.releasePending.exchange(0) != 0;
  const bool requestedByHook = slot.releaseOwedByHook.exchange(0) != 0;
  if (!requestedByStep && !requestedByHook) return;

  // The repeat step and the hook may both ask for the same release; it gets one key-up. A
  // releaseTime of 0 means the key was pressed again since the request (and perhaps reset by a
  // focus change while still down): it is meant to be down.
  const uint64_t release = slot.releaseTime.load();
  if (release == 0 || release == slot.compensatedReleaseTime) return;

  // A last look: a re-press since the exchange means the key must stay down. A re-press between
  // this load and SendInput still gets the key-up; nothing short of a lock closes that window.
  if (slot.held.load() != 0) return;
  slot.compensatedReleaseTime = release;
  SendSyntheticKey(slot, true);
}
