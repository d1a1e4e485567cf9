#include "repeat/due_time_wait.h"

namespace {

// A timed wait can end well after its time-out when the machine is busy (and by up to a timer
// tick where the resolution was not raised), and the longer the wait, the later it has been seen
// to end. So a wait longer than kLongWaitMs covers half of what is left and measures again: an
// overshoot is absorbed by the waits after it, and only the last, short wait decides when the
// due time is met. A 500 ms interval costs six wake-ups, and only while a key repeats.
constexpr uint64_t kLongWaitMs = 20;

// Rounded to the nearest millisecond, so that a wait's overshoot and its rounding cancel over
// a run of waits instead of adding up.
uint64_t RoundedMsUntil(const CounterClock& clock, uint64_t due, uint64_t now) {
  if (due <= now) return 0;
  return ((due - now) * 1000 + clock.ticksPerSecond / 2) / clock.ticksPerSecond;
}

}  // namespace

CounterClock ReadCounterClock() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return CounterClock{static_cast<uint64_t>(frequency.QuadPart)};
}

uint64_t CounterNow() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<uint64_t>(counter.QuadPart);
}

uint64_t CounterTicksFromMs(const CounterClock& clock, uint32_t milliseconds) {
  return milliseconds * clock.ticksPerSecond / 1000;
}

bool WaitWokenUntil(const KeySlot& slot, const CounterClock& clock, uint64_t due) {
  uint64_t remainingMs = RoundedMsUntil(clock, due, CounterNow());
  for (;;) {
    // Never less than a millisecond: a zero time-out would only poll.
    const uint64_t waitMs = remainingMs > kLongWaitMs ? remainingMs / 2 : (remainingMs < 1 ? 1 : remainingMs);
    const DWORD result = WaitForSingleObject(slot.wakeEvent, static_cast<DWORD>(waitMs));
    if (result == WAIT_OBJECT_0) return true;
    if (result != WAIT_TIMEOUT) return false;  // counted as a time-out; retrying would spin
    // A time-out can also come early (Windows may end a wait up to a timer tick short), so the
    // wait is over only once the due time is reached: what is left, however little, is waited
    // for too, at the cost of up to a millisecond late. Nothing goes out before its due time.
    const uint64_t now = CounterNow();
    if (now >= due) return false;
    remainingMs = RoundedMsUntil(clock, due, now);
  }
}
