#include "tracking/let_go_of_every_key.h"

#include "tracking/key_slots.h"
#include "tracking/missed_events.h"

void LetGoOfEveryKey() {
  // As for a foreign event: hookBusy up before anything changes and both counters moved, so that
  // no snapshot a worker holds validates any more.
  activity.hookBusy.store(1);
  activity.activitySequence.fetch_add(1);
  activity.activityCount.fetch_add(1);
  for (KeySlot& slot : keySlots) {
    if (slot.held.load() == 0) continue;
    // releaseTime stays as the key's press left it (0): with no release stamped, no key-up can be
    // asked for this one; a release stamped earlier keeps the key-up it may be owed. pressWindow
    // is read only while the key is held. The worker, woken after the change, finds the key up and
    // goes idle whatever hookBusy says.
    slot.held.store(0);
    slot.generation.fetch_add(1);
    if (slot.wakeEvent != nullptr) SetEvent(slot.wakeEvent);
  }
  activity.activitySequence.fetch_add(1);
  activity.hookBusy.store(ForeignRawEventsUnmatched() ? 1 : 0);
}
