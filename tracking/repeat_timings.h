// The two waits every worker uses, published as one value: a worker reads both at once, once per
// arming, so it never pairs a new arm delay with an old interval, and a change reaches the
// workers at their next arming while a burst in progress keeps its interval.
#pragma once

#include <cstdint>

struct RepeatTimings {
  uint32_t repeatIntervalMs;  // between injected repeats: 33 to 20,000; 0: no repeats at all
  uint32_t armDelayMs;        // quiet before the first repeat: 33 to 20,000
};

// Repeats are turned off: a worker does not even arm.
inline constexpr RepeatTimings kNoRepeats = {0, 0};

// The settings (main thread) publish; the workers load.
void PublishRepeatTimings(RepeatTimings timings);
RepeatTimings LoadRepeatTimings();
