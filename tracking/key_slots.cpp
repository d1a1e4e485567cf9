#include "tracking/key_slots.h"

KeySlot keySlots[kSlotCount];
ActivityState activity;
HHOOK hookHandle;

RepeatSnapshot TakeRepeatSnapshot(const KeySlot& slot) {
  RepeatSnapshot snapshot;
  snapshot.generation = slot.generation.load();
  snapshot.activityCount = activity.activityCount.load();
  snapshot.activitySequence = activity.activitySequence.load();
  snapshot.pressWindow = slot.pressWindow.load();
  return snapshot;
}

bool IsRepeatStillValid(const KeySlot& slot, const RepeatSnapshot& snapshot) {
  if (activity.hookBusy.load() != 0) return false;
  if (activity.activitySequence.load() != snapshot.activitySequence) return false;
  if (activity.activityCount.load() != snapshot.activityCount) return false;
  if (slot.held.load() == 0) return false;
  if (slot.generation.load() != snapshot.generation) return false;
  if (snapshot.pressWindow == nullptr) return false;
  if (GetForegroundWindow() != snapshot.pressWindow) return false;
  return (GetAsyncKeyState(static_cast<int>(slot.virtualKey)) & 0x8000) != 0;
}
