// One worker per monitored key: idle until the hook wakes it, then arming (a quiet armDelayMs on
// a snapshot), then repeating every repeatIntervalMs, back to arming on any activity and to idle
// when the key is up. Every loop passes through a wait, so nothing spins.
#include "repeat/repeat_worker.h"

#include "repeat/compensating_release.h"
#include "repeat/due_time_wait.h"
#include "repeat/repeat_step.h"
#include "repeat/timer_resolution.h"
#include "repeat/unseen_release.h"
#include "tracking/repeat_timings.h"

namespace {

bool StopRequested(const KeySlot& slot) { return slot.stopRequested.load() != 0; }

}  // namespace

void ResetOnFocusLoss(KeySlot& slot, HWND window) {
  if (window == nullptr || GetForegroundWindow() == window) return;
  // releaseTime stays: no release happened, so no key-up may be compensated for this.
  slot.held.store(0);
  slot.generation.fetch_add(1);
  slot.pressWindow.store(nullptr);
}

// The repeats keep to a schedule: the k-th repeat of a burst is due k intervals after its first,
// so the time the checks and the injection take, and a timed wait's overshoot, do not add up
// from one repeat to the next: the rate is the user's. A worker more than half an interval late
// restarts the schedule instead of sending repeats to catch up.
//
// A schedule starts at the time its first repeat was due, not when it was accepted: every repeat
// is accepted after its due time by about the same wake-up and checks, and counting them from an
// acceptance would add them once more to the first interval. Only a first repeat accepted more
// than a millisecond after its due time (a busy moment) moves the start, to a millisecond before
// its acceptance, so that no repeat comes more than a millisecond early after a late first one.
void RunRepeatBurst(KeySlot& slot, const RepeatSnapshot& snapshot, uint64_t firstDue, uint32_t intervalMs) {
  const CounterClock clock = ReadCounterClock();
  const uint64_t intervalTicks = CounterTicksFromMs(clock, intervalMs);
  const uint64_t maxLateStartTicks = CounterTicksFromMs(clock, 1);
  uint64_t scheduleStart = firstDue;
  uint64_t repeatsSinceStart = 0;  // 0: no repeat of this schedule yet

  for (;;) {
    if (StopRequested(slot)) return;
    FlushPendingRelease(slot);
    if (!IsRepeatStillValid(slot, snapshot)) {
      ResetOnFocusLoss(slot, snapshot.pressWindow);
      return;
    }
    if (!TryRepeatStep(slot, snapshot)) return;
    const uint64_t accepted = CounterNow();

    const uint64_t dueNow = scheduleStart + repeatsSinceStart * intervalTicks;
    if (repeatsSinceStart > 0 && accepted > dueNow + intervalTicks / 2) {
      scheduleStart = dueNow;  // late: a new schedule, whose first repeat is this one
      repeatsSinceStart = 0;
    }
    if (repeatsSinceStart == 0 && accepted > scheduleStart + maxLateStartTicks) {
      scheduleStart = accepted - maxLateStartTicks;
    }
    ++repeatsSinceStart;
    const bool woken = WaitWokenUntil(slot, clock, scheduleStart + repeatsSinceStart * intervalTicks);
    if (StopRequested(slot)) return;
    FlushPendingRelease(slot);
    if (woken) return;  // activity: ServiceHeldKey re-arms with a fresh snapshot
  }
}

namespace {

// The last stretch of the arming wait, which decides when the first repeat goes out: longer than
// two system timer ticks, so that the coarse wait before it, ending on a tick, never reaches the
// due time.
constexpr uint32_t kPreciseStretchMs = 40;

// NOTE: timed waits end on the system timer tick (15.625 ms by default on Windows, up to a tick
// early or late), which would turn a 33 ms interval into 31-47 ms. The resolution is raised to
// 1 ms only while a repeat is due: for a burst, and for the end of an arming wait whose key is
// physically down. A key the hook believes held but that is up re-arms on the coarse timer.
// Windows counts these requests per process, so the four workers need no coordination; an end is
// only paired with a begin that succeeded.
void RaiseTimerResolutionOnce(bool& raised) {
  if (!raised) raised = RaiseTimerResolution();
}

// The arming wait on the snapshot: true when woken (activity), false when it ran out.
bool WaitOutArmDelay(KeySlot& slot, const RepeatSnapshot& snapshot, const CounterClock& clock, uint64_t firstDue,
                     bool& timerRaised) {
  if (WaitWokenUntil(slot, clock, firstDue - CounterTicksFromMs(clock, kPreciseStretchMs))) return true;
  if (IsRepeatStillValid(slot, snapshot)) RaiseTimerResolutionOnce(timerRaised);
  return WaitWokenUntil(slot, clock, firstDue);
}

}  // namespace

void ServiceHeldKey(KeySlot& slot) {
  for (;;) {
    if (StopRequested(slot)) return;
    FlushPendingRelease(slot);
    if (slot.held.load() == 0) return;

    if (activity.hookBusy.load() != 0) {
      // Woken while the hook was mid-event, or while raw input showed an event the hook has not
      // seen yet: it signals again once that is settled.
      WaitForSingleObject(slot.wakeEvent, INFINITE);
    } else {
      // Read once per arming: this arming and its burst keep these timings whatever is published.
      const RepeatTimings timings = LoadRepeatTimings();
      if (timings.repeatIntervalMs == 0) return;  // repeats are off: back to the idle wait, unarmed
      const RepeatSnapshot snapshot = TakeRepeatSnapshot(slot);
      const CounterClock clock = ReadCounterClock();
      const uint64_t firstDue = CounterNow() + CounterTicksFromMs(clock, timings.armDelayMs);
      bool timerRaised = false;
      bool nobodyHoldsIt = false;
      const bool woken = WaitOutArmDelay(slot, snapshot, clock, firstDue, timerRaised);
      if (!StopRequested(slot)) {
        FlushPendingRelease(slot);
        if (!woken) {
          if (IsRepeatStillValid(slot, snapshot)) {
            RaiseTimerResolutionOnce(timerRaised);
            RunRepeatBurst(slot, snapshot, firstDue, timings.repeatIntervalMs);
          } else if (ReleasedUnseen(slot, snapshot, clock)) {
            nobodyHoldsIt = true;
          } else {
            ResetOnFocusLoss(slot, snapshot.pressWindow);
          }
        }
      }
      if (timerRaised) LowerTimerResolution();
      // A release no hook of ours saw: no more arming until the next event wakes the worker, and no
      // key-up, since none of our repeats landed after a release we saw. Left held, the key would
      // cost a wake-up every armDelayMs for as long as nobody touches it.
      if (nobodyHoldsIt) return;
    }
  }
}

DWORD WINAPI RepeatWorkerMain(LPVOID parameter) {
  KeySlot& slot = *static_cast<KeySlot*>(parameter);
  while (!StopRequested(slot)) {
    WaitForSingleObject(slot.wakeEvent, INFINITE);
    if (StopRequested(slot)) break;
    ServiceHeldKey(slot);
  }
  FlushPendingRelease(slot);  // a key-up still owed goes out before the thread ends
  return 0;
}
