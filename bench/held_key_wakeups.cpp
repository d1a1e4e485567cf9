// What a key costs that the hook still has held after its release went unseen, on the simulated
// platform at the default settings: left Ctrl and left Alt pressed, Ctrl+Alt+Del's secure desktop,
// both keys released there, and Esc back 200 ms later, before a worker could notice that no window
// had the focus. Counts the workers' wake-ups (each of their waits) over a minute of virtual time,
// from the moment by which the first arm expiry kLongestHookTimeMs or more after the hook's last
// event has come; prints them as JSON.
#include <cstdio>

#include "app/application.h"
#include "app/keyboard_settings.h"
#include "platform/sim/sim.h"
#include "repeat/repeat_worker.h"
#include "tracking/key_slots.h"
#include "tracking/keyboard_hook.h"
#include "tracking/missed_events.h"
#include "tracking/repeat_timings.h"

namespace {

constexpr RepeatTimings kDefaults = {33, 533};  // KeyboardSpeed 31, KeyboardDelay 1
constexpr uint32_t kVisitMs = 200;
constexpr uint32_t kTimerTickMs = 16;  // an arm expiry on the coarse timer comes up to a tick late
constexpr uint32_t kMeasuredSeconds = 60;

void StartWorkersAndHook() {
  PublishRepeatTimings(kDefaults);
  for (int i = 0; i < kSlotCount; ++i) {
    KeySlot& slot = keySlots[i];
    slot.virtualKey = kMonitoredKeys[i].virtualKey;
    slot.scanCode = kMonitoredKeys[i].scanCode;
    slot.wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    slot.workerThread = CreateThread(nullptr, 0, RepeatWorkerMain, &slot, 0, nullptr);
    slotStarted[i] = 1;
  }
  // Installed from this thread, which the simulation does not run: Settle hands it the input.
  hookHandle = SetWindowsHookExW(WH_KEYBOARD_LL, KeyboardHookProc, nullptr, 0);
  sim::Settle();
}

}  // namespace

int main() {
  sim::Reset();
  sim::SetCallLogging(false);
  sim::SetForegroundWindow(sim::Window(1));
  StartWorkersAndHook();
  sim::Press(VK_LCONTROL);
  sim::Press(VK_LMENU);  // the hook's last event
  sim::Settle();
  sim::SetSecureDesktop(true);
  sim::Release(VK_LMENU);
  sim::Release(VK_LCONTROL);
  sim::AdvanceBy(kVisitMs);
  sim::SetSecureDesktop(false);
  sim::AdvanceBy(kLongestHookTimeMs + kDefaults.armDelayMs + kTimerTickMs - kVisitMs);
  const uint64_t before = sim::CallCount(sim::Call::WaitForSingleObject);
  sim::AdvanceBy(kMeasuredSeconds * 1000);
  const uint64_t wakeups = sim::CallCount(sim::Call::WaitForSingleObject) - before;
  ShutdownAll();
  std::printf("{\"scenario\": \"left Ctrl and left Alt released on the secure desktop, back after %u ms\", "
              "\"seconds\": %u, \"wakeups\": %llu, \"wakeups_per_second\": %.2f}\n",
              kVisitMs, kMeasuredSeconds, static_cast<unsigned long long>(wakeups),
              static_cast<double>(wakeups) / kMeasuredSeconds);
  return sim::Problems().empty() ? 0 : 1;
}
