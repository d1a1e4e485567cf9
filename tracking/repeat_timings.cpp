#include "tracking/repeat_timings.h"

#include <atomic>

namespace {

// The arm delay in the high half, the interval in the low: one atomic word, never torn.
std::atomic<uint64_t> publishedTimings;

}  // namespace

void PublishRepeatTimings(RepeatTimings timings) {
  publishedTimings.store(uint64_t{timings.armDelayMs} << 32 | timings.repeatIntervalMs);
}

RepeatTimings LoadRepeatTimings() {
  const uint64_t packed = publishedTimings.load();
  return {static_cast<uint32_t>(packed), static_cast<uint32_t>(packed >> 32)};
}
