#include "tracking/key_event_effects.h"

namespace {

// Activity matters only to workers that serve a held key: they must stand down and re-arm. An
// idle worker would wake, find its key up and wait again; SetEvent is a system call, and most
// typing (no modifier held) then signals nothing. held is set only on the main thread, so a 0
// read here cannot turn into a worker that needed the wake-up: a worker whose key was released
// got its own signal with the release, and one that reset its key after a focus change goes idle
// by itself.
void WakeWorkersServingAKey() {
  for (KeySlot& slot : keySlots) {
    if (slot.wakeEvent != nullptr && slot.held.load() != 0) SetEvent(slot.wakeEvent);
  }
}

void ChangeSlot(KeySlot& slot, KeyTransition transition, uint64_t stamp) {
  if (transition == KeyTransition::Press) {
    slot.pressWindow.store(GetForegroundWindow());
    slot.releaseTime.store(0);
    slot.releasePending.store(0);
    slot.releaseOwedByHook.store(0);
    slot.held.store(1);
  } else if (transition == KeyTransition::Release) {
    slot.releaseTime.store(stamp);
    slot.held.store(0);
    slot.pressWindow.store(nullptr);
  } else {
    return;
  }
  slot.generation.fetch_add(1);
  if (slot.wakeEvent != nullptr) SetEvent(slot.wakeEvent);
}

}  // namespace

KeySlot* SlotOfHookKey(DWORD vkCode, DWORD scanCode) {
  if (MadeUpByLayout(scanCode)) return nullptr;
  for (KeySlot& slot : keySlots) {
    if (slot.virtualKey == vkCode) return &slot;
  }
  return nullptr;
}

KeySlot* SlotOfRawKey(KeyIdentity key, DWORD rawVirtualKey) {
  KeySlot* slot = SlotOfOwnKey(key.makeCode);
  return slot != nullptr && !key.e0 && rawVirtualKey == GenericVirtualKey(slot->virtualKey) ? slot : nullptr;
}

KeySlot* SlotOfOwnKey(DWORD scanCode) {
  const uint16_t makeCode = IdentifyKey(scanCode, false).makeCode;
  for (KeySlot& slot : keySlots) {
    if (slot.scanCode == makeCode) return &slot;
  }
  return nullptr;
}

void ApplyForeignKeyEvent(KeySlot* slot, KeyTransition transition, uint64_t stamp, bool foreignRawWaiting) {
  // Raised before anything changes, lowered after the second sequence bump: a worker that finds
  // it 0 and both counters unchanged has seen no event processed since its snapshot.
  activity.hookBusy.store(1);
  activity.activitySequence.fetch_add(1);
  activity.activityCount.fetch_add(1);
  WakeWorkersServingAKey();
  if (slot != nullptr) ChangeSlot(*slot, transition, stamp);
  activity.activitySequence.fetch_add(1);
  activity.hookBusy.store(foreignRawWaiting ? 1 : 0);
  // Again after the hook is idle: a worker woken above may have found it busy and gone back to
  // waiting.
  WakeWorkersServingAKey();
}

// Our own events change no counter and no snapshot. One thing is still learnt from them: the
// stream order. A key-down of ours that arrives after the hook saw the key's physical release
// landed behind that release, so the key is now logically down with nobody holding it. The
// repeat step cannot see this when the release was stamped after its check (the release was
// already travelling through the hook chain), so the worker is asked for the key-up.
void ApplyOwnKeyDown(KeySlot* slot) {
  // releaseTime is non-zero only when the last event of this key the hook saw was a physical
  // release; a focus reset clears held but leaves releaseTime at the 0 of the key-down.
  if (slot == nullptr || slot->held.load() != 0 || slot->releaseTime.load() == 0) return;
  slot->releaseOwedByHook.store(1);
  if (slot->wakeEvent != nullptr) SetEvent(slot->wakeEvent);
}

void StandDownForUnseenEvent() {
  activity.hookBusy.store(1);
  WakeWorkersServingAKey();
}
