#pragma once

#include "repeat/due_time_wait.h"
#include "tracking/key_slots.h"

// At an arm expiry that no signal ended (the same counters, no release seen): true when the slot's
// key reads physically up in the window it was pressed in and no hook can still be holding an event
// that would change its state: the key was released where no hook of ours could see it.
bool ReleasedUnseen(const KeySlot& slot, const RepeatSnapshot& snapshot, const CounterClock& clock);
