#include "repeat/repeat_step.h"

namespace {

bool CountersUnchanged(const KeySlot& slot, const RepeatSnapshot& snapshot) {
  return activity.activitySequence.load() == snapshot.activitySequence &&
         activity.activityCount.load() == snapshot.activityCount &&
         slot.generation.load() == snapshot.generation;
}

}  // namespace

bool TryRepeatStep(KeySlot& slot, const RepeatSnapshot& snapshot) {
  if (!IsRepeatStillValid(slot, snapshot)) return false;
  // The cheap half of the check once more, without system calls, right before the time stamp.
  if (!CountersUnchanged(slot, snapshot) || activity.hookBusy.load() != 0) return false;

  LARGE_INTEGER t0;
  QueryPerformanceCounter(&t0);
  if (!IsRepeatStillValid(slot, snapshot)) return false;

  if (SendSyntheticKey(slot, false) != 1) return false;  // not injected: nothing to reconcile

  if (CountersUnchanged(slot, snapshot) && IsRepeatStillValid(slot, snapshot)) return true;

  // The injection was accepted but the state moved around it. A release that the hook stamped no
  // later than t0 preceded our key-down in the input stream: the key is left down and a key-up is
  // owed. The worker sends it; a new press of the key withdraws the request.
  const uint64_t released = slot.releaseTime.load();
  if (slot.held.load() == 0 && released != 0 && static_cast<uint64_t>(t0.QuadPart) >= released) {
    slot.releasePending.store(1);
    if (slot.wakeEvent != nullptr) SetEvent(slot.wakeEvent);
  }
  return false;
}
