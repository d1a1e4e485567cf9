// What the hook costs per keyboard event, on the simulated platform: the system's own (tagged)
// events, which must cost next to nothing beyond passing the event on, and foreign events for a
// monitored key and for any other key. The simulated calls take a lock each, so the foreign
// figures are upper bounds of the product's own work; CallNextHookEx alone is the reference.
#include <benchmark/benchmark.h>

#include "platform/sim/sim.h"
#include "tracking/key_slots.h"
#include "tracking/keyboard_hook.h"

namespace {

void PrepareSlots() {
  sim::Reset();
  sim::SetCallLogging(false);
  sim::SetForegroundWindow(sim::Window(1));
  for (int i = 0; i < kSlotCount; ++i) {
    keySlots[i].virtualKey = kMonitoredKeys[i].virtualKey;
    keySlots[i].scanCode = kMonitoredKeys[i].scanCode;
    keySlots[i].wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  }
  hookHandle = reinterpret_cast<HHOOK>(static_cast<uintptr_t>(0x4242));
}

void CloseSlots() {
  for (KeySlot& slot : keySlots) {
    CloseHandle(slot.wakeEvent);
    slot.wakeEvent = nullptr;
  }
}

void CallNextHookExAlone(benchmark::State& state) {
  PrepareSlots();
  KBDLLHOOKSTRUCT event = {'A', 0x1E, 0, 0, 0};
  for (auto _ : state) {
    benchmark::DoNotOptimize(CallNextHookEx(hookHandle, HC_ACTION, WM_KEYDOWN, reinterpret_cast<LPARAM>(&event)));
  }
  CloseSlots();
}

void OwnTaggedEvent(benchmark::State& state) {
  PrepareSlots();
  keySlots[0].held.store(1);  // a repeat of a held key: the common case
  KBDLLHOOKSTRUCT event = {0, 0x2A, LLKHF_INJECTED, 0, kInjectionTag};
  for (auto _ : state) {
    benchmark::DoNotOptimize(KeyboardHookProc(HC_ACTION, WM_KEYDOWN, reinterpret_cast<LPARAM>(&event)));
  }
  CloseSlots();
}

void ForeignMonitoredKey(benchmark::State& state) {
  PrepareSlots();
  KBDLLHOOKSTRUCT down = {VK_LSHIFT, 0x2A, 0, 0, 0};
  KBDLLHOOKSTRUCT up = {VK_LSHIFT, 0x2A, LLKHF_UP, 0, 0};
  bool pressed = false;
  for (auto _ : state) {
    pressed = !pressed;
    benchmark::DoNotOptimize(KeyboardHookProc(HC_ACTION, pressed ? WM_KEYDOWN : WM_KEYUP,
                                              reinterpret_cast<LPARAM>(pressed ? &down : &up)));
  }
  CloseSlots();
}

void ForeignOtherKey(benchmark::State& state) {
  PrepareSlots();
  KBDLLHOOKSTRUCT event = {'A', 0x1E, 0, 0, 0};
  for (auto _ : state) {
    benchmark::DoNotOptimize(KeyboardHookProc(HC_ACTION, WM_KEYDOWN, reinterpret_cast<LPARAM>(&event)));
  }
  CloseSlots();
}

BENCHMARK(CallNextHookExAlone);
BENCHMARK(OwnTaggedEvent);
BENCHMARK(ForeignMonitoredKey);
BENCHMARK(ForeignOtherKey);

}  // namespace

BENCHMARK_MAIN();
