#pragma once

#include <cstdint>

#include "tracking/key_slots.h"

// Time on the performance counter, which a worker uses to keep its waits to due times.
struct CounterClock {
  uint64_t ticksPerSecond;
};

CounterClock ReadCounterClock();
uint64_t CounterNow();
uint64_t CounterTicksFromMs(const CounterClock& clock, uint32_t milliseconds);

// Waits on the slot's event until the counter reaches `due`; true when the event was signalled.
// A failed wait ends it as a time-out would.
bool WaitWokenUntil(const KeySlot& slot, const CounterClock& clock, uint64_t due);
