#include "tests/unit/keyboard_session.h"

#include <cstdio>
#include <new>

#include "app/application.h"
#include "repeat/repeat_worker.h"
#include "repeat/timer_resolution.h"
#include "tracking/keyboard_hook.h"
#include "tracking/missed_events.h"

void ClearSharedState() {
  // As at process start: static storage is zero. The records hold atomics, so they are built anew.
  for (KeySlot& slot : keySlots) new (&slot) KeySlot();
  new (&activity) ActivityState();
  hookHandle = nullptr;
  missedEventWatch = {};
  PublishRepeatTimings(kNoRepeats);
}

void SimulatedMachineTest::SetUp() {
  sim::Reset();
  ClearSharedState();
  sim::SetForegroundWindow(kEditor);
}

void SimulatedMachineTest::TearDown() {
  for (const std::string& problem : sim::Problems()) ADD_FAILURE() << problem;
  sim::Reset();  // joins the threads that ended
}

void KeyboardSession::SetUp() { SimulatedMachineTest::SetUp(); }

void KeyboardSession::TearDown() {
  Stop();
  EXPECT_TRUE(sim::OpenHandles().empty());
  EXPECT_EQ(sim::RaisedTimerPeriods(), 0) << "timer resolution left raised";
  SimulatedMachineTest::TearDown();
}

void KeyboardSession::Start(RepeatTimings timings) {
  PublishRepeatTimings(timings);
  LoadTimerResolutionCalls();
  for (int i = 0; i < kSlotCount; ++i) {
    KeySlot& slot = keySlots[i];
    slot.virtualKey = kMonitoredKeys[i].virtualKey;
    slot.scanCode = kMonitoredKeys[i].scanCode;
    slot.extraFlags = kMonitoredKeys[i].extraFlags;
    slot.wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    slot.workerThread = CreateThread(nullptr, 0, RepeatWorkerMain, &slot, 0, nullptr);
    slotStarted[i] = 1;
  }
  hookHandle = SetWindowsHookExW(WH_KEYBOARD_LL, KeyboardHookProc, nullptr, 0);
  started_ = true;
  sim::Settle();
}

void KeyboardSession::Stop() {
  if (!started_) return;
  started_ = false;
  sim::Settle();
  ShutdownAll();  // the program's own teardown: hook, then each worker in turn, then the timer library
}

void KeyboardSession::StartVelmora() {
  sim::StartProgram([] { return RunApplication(kModule); });
  sim::Settle();
}

void KeyboardSession::QuitVelmora() {
  sim::PostQuitToProgram();
  EXPECT_EQ(sim::JoinProgram(), 0);
}

std::string KeyboardSession::InjectedSince(uint32_t markMs) const {
  std::string trace;
  for (const sim::StreamEvent& e : sim::Stream()) {
    if ((e.event.flags & LLKHF_INJECTED) == 0 || e.otherProgram) continue;
    const uint64_t ms = (e.ticks - sim::kStartTicks) / sim::kTicksPerMs;
    if (ms < markMs) continue;
    char entry[32];
    std::snprintf(entry, sizeof entry, "%s%u:%c%02X", trace.empty() ? "" : " ", static_cast<unsigned>(ms - markMs),
                  (e.event.flags & LLKHF_UP) ? '-' : '+', e.event.scanCode);
    trace += entry;
  }
  return trace;
}

int KeyboardSession::CountInjected(bool up) const {
  int count = 0;
  for (const sim::StreamEvent& e : sim::Stream()) {
    if ((e.event.flags & LLKHF_INJECTED) && !e.otherProgram && ((e.event.flags & LLKHF_UP) != 0) == up) ++count;
  }
  return count;
}

std::string RepeatTrace(uint32_t firstMs, uint32_t intervalMs, int count, int scanCode) {
  std::string trace;
  for (int i = 0; i < count; ++i) {
    char entry[32];
    std::snprintf(entry, sizeof entry, "%s%u:+%02X", i == 0 ? "" : " ", firstMs + i * intervalMs, scanCode);
    trace += entry;
  }
  return trace;
}
