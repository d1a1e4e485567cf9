#include "tracking/let_go_of_every_key.h"

#include "tracking/key_slots.h"
#include "tracking/keyboard_hook.h"
#include "tracking/missed_events.h"

void LetGoOfEveryKey() {
  // As for a foreign event: hookBusy up before anything changes, both counters moved, so every
  // snapshot a worker holds stops validating.
  activity.hookBusy.store(1);
  activity.activitySequence.fetch_add(1);
  activity.activityCount.fetch_add(1);
  WakeWorkersServingAKey();
  for (KeySlot& slot : keySlots) {
    if (slot.held.load() == 0) continue;
    // releaseTime stays as the key's press left it (0): with no release stamped, no key-up can be
    // asked for this one; a release stamped earlier keeps the key-up it may be owed.
    slot.held.store(0);
    slot.pressWindow.store(nullptr);
    slot.generation.fetch_add(1);
    if (slot.wakeEvent != nullptr) SetEvent(slot.wakeEvent);
  }
  activity.activitySequence.fetch_add(1);
  activity.hookBusy.store(ForeignRawEventsUnmatched() ? 1 : 0);
}
