#pragma once

#include "repeat/due_time_wait.h"
#include "tracking/key_slots.h"

// True when the slot's key reads physically up although nothing the snapshot saw has changed
// (the same window, the same counters, no release seen) and no hook can still be holding an event
// that would change its state: the key was released where no hook of ours could see it.
bool ReleasedUnseen(const KeySlot& slot, const RepeatSnapshot& snapshot, const CounterClock& clock);
