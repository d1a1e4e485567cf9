// Test fixtures over the simulated machine: a fresh machine and fresh shared state per test,
// and a keyboard session with the four workers running and the hook installed on the test's
// thread, so that Settle and AdvanceBy deliver input to the hook in stream order.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "app/keyboard_settings.h"
#include "platform/sim/sim.h"
#include "tracking/key_slots.h"

// Zeroes every slot, the activity state and hookHandle, as at process start.
void ClearSharedState();

class SimulatedMachineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;  // fails the test on any handle closed twice, thread left, ...

  static inline const HWND kEditor = sim::Window(1);
  static inline const HWND kBrowser = sim::Window(2);
  static inline const HINSTANCE kModule = reinterpret_cast<HINSTANCE>(uintptr_t{0x140000000});
};

class KeyboardSession : public SimulatedMachineTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Fills the slots and starts the four workers, then installs the hook.
  void Start(RepeatTimings timings = {33, 533});
  // Removes the hook, then stops, joins and closes each worker. Idempotent.
  void Stop();

  void Press(int vk) {
    sim::Press(vk);
    sim::Settle();
  }
  void Release(int vk) {
    sim::Release(vk);
    sim::Settle();
  }
  void Type(int vk) {
    Press(vk);
    Release(vk);
  }
  void Wait(uint32_t ms) { sim::AdvanceBy(ms); }
  // Runs RunApplication on a simulated main thread, as the process would.
  void StartVelmora();
  // Posts WM_QUIT to it and expects it to end with exit code 0.
  void QuitVelmora();

  // Injected events since the last call, as "ms:+2A", times relative to the mark.
  std::string InjectedSince(uint32_t markMs) const;
  std::string Injected() const { return sim::InjectedTrace(); }
  int CountInjected(bool up) const;

  bool started_ = false;
};

// The trace "t:+SC" of count injected key-downs for scanCode, first at firstMs, then every
// intervalMs: what a held key is expected to produce.
std::string RepeatTrace(uint32_t firstMs, uint32_t intervalMs, int count, int scanCode);
