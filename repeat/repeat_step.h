#pragma once

#include "tracking/key_slots.h"

// Injects one key-down for the slot's held key, but only while nothing has changed since the
// snapshot. True: injected and still valid afterwards, the caller may wait and repeat. False: the
// burst is over. When an accepted injection raced a release stamped no later than the moment just
// before it, a compensating key-up is requested through releasePending.
bool TryRepeatStep(KeySlot& slot, const RepeatSnapshot& snapshot);
