// KeyboardHookProc against arbitrary event sequences, called directly as Windows would. Checked
// after every event, whatever it is: the event went on unchanged with the next hook's answer
// returned, the activity counters moved as the hook promises the workers, our own events and keys
// the layout made up touched no key state, and a held key has neither a release time nor a key-up
// owed.
//
// Input: 8 bytes per event (a short last record reads as zeros):
//   0 message 0x100 + (low 3 bits)   1 vkCode   2 scanCode   3 flags
//   4 dwExtraInfo: bits 0-1 pick none, our tag, our tag with a high bit, our tag one bit off;
//     bits 2-6 which bit
//   5 nCode: HC_ACTION below 0xF8, else -4..3   6 bit 7: a new foreground window, window 0-3;
//     bit 2: the scan code made up by the layout (0x200 added)
//   7 ms to advance first
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/sim/sim.h"
#include "tracking/key_slots.h"
#include "tracking/keyboard_hook.h"
#include "tracking/missed_events.h"

namespace {

void Check(bool ok, size_t at, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_hook: event at byte %zu: %s\n", at, what);
  std::abort();
}

struct Slot {
  uint8_t held, owed;
  uint64_t generation, releaseTime;
  HWND pressWindow;
};

void ReadSlots(Slot (&out)[kSlotCount]) {
  for (int i = 0; i < kSlotCount; ++i) {
    const KeySlot& s = keySlots[i];
    out[i] = {s.held.load(), s.releaseOwedByHook.load(), s.generation.load(), s.releaseTime.load(),
              s.pressWindow.load()};
  }
}

void CheckEvent(const uint8_t (&r)[8], size_t at) {
  if (r[6] & 0x80) sim::SetForegroundWindow((r[6] & 3) != 0 ? sim::Window(r[6] & 3) : nullptr);
  sim::AdvanceBy(r[7]);
  const UINT message = 0x100 + (r[0] & 7);
  const int bit = (r[4] >> 2) & 31;
  const ULONG_PTR extras[] = {0, kInjectionTag, kInjectionTag | ULONG_PTR{1} << (32 + bit),
                              kInjectionTag ^ ULONG_PTR{1} << bit};
  const DWORD madeUp = (r[6] & 4) != 0 ? 0x200 : 0;
  KBDLLHOOKSTRUCT event = {r[1], r[2] | madeUp, r[3], 0, extras[r[4] & 3]};
  const KBDLLHOOKSTRUCT sent = event;
  const int code = r[5] < 0xF8 ? HC_ACTION : r[5] - 0xFC;
  const LRESULT nextResult = static_cast<LRESULT>(0x5A5A0000u + at);

  Slot before[kSlotCount], after[kSlotCount];
  ReadSlots(before);
  const uint64_t count = activity.activityCount.load();
  sim::SetCallNextHookResult(nextResult);
  const LRESULT result = KeyboardHookProc(code, message, reinterpret_cast<LPARAM>(&event));
  const sim::NextHookCall next = sim::LastCallNextHook();
  ReadSlots(after);

  Check(result == nextResult, at, "did not return the next hook's result");
  Check(next.hook == hookHandle && next.code == code && next.wParam == message &&
            next.lParam == reinterpret_cast<LPARAM>(&event) && std::memcmp(&event, &sent, sizeof event) == 0,
        at, "did not pass the event on unchanged");
  Check(activity.hookBusy.load() == 0, at, "hookBusy left raised");
  Check(activity.activitySequence.load() == 2 * activity.activityCount.load(), at,
        "activitySequence is not twice activityCount");
  const bool foreign = code == HC_ACTION && event.dwExtraInfo != kInjectionTag;
  Check(activity.activityCount.load() == count + (foreign ? 1 : 0), at,
        "activityCount moved other than once per foreign event");
  int moved = 0;
  for (int i = 0; i < kSlotCount; ++i) {
    const Slot& b = before[i];
    const Slot& a = after[i];
    moved += a.generation != b.generation;
    Check(a.generation - b.generation <= 1, at, "a generation moved by more than one");
    Check(foreign || (a.held == b.held && a.generation == b.generation && a.releaseTime == b.releaseTime &&
                      a.pressWindow == b.pressWindow && (a.owed == b.owed || (code == HC_ACTION && a.owed == 1))),
          at, "our own event or a non-action call changed a key's state");
    Check(a.held == 0 || (a.releaseTime == 0 && a.owed == 0), at, "a held key has a release time or a key-up owed");
  }
  Check(moved <= 1, at, "one event moved more than one key");
  Check(moved == 0 || madeUp == 0, at, "a key the layout made up moved a key");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A fresh machine and, as at process start, zeroed shared state.
  sim::Reset();
  sim::SetCallLogging(false);
  new (&activity) ActivityState{};
  missedEventWatch = {};
  for (int i = 0; i < kSlotCount; ++i) {
    new (&keySlots[i]) KeySlot{};
    keySlots[i].virtualKey = kMonitoredKeys[i].virtualKey;
    keySlots[i].scanCode = kMonitoredKeys[i].scanCode;
    keySlots[i].wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  }
  hookHandle = reinterpret_cast<HHOOK>(uintptr_t{0x4242});
  sim::SetForegroundWindow(sim::Window(1));

  for (size_t at = 0; at < size; at += 8) {
    uint8_t record[8] = {};
    std::memcpy(record, data + at, size - at < 8 ? size - at : 8);
    CheckEvent(record, at);
  }

  for (KeySlot& slot : keySlots) CloseHandle(slot.wakeEvent);
  for (const auto& problem : sim::OpenHandles()) Check(false, size, ("left open: " + problem).c_str());
  for (const auto& problem : sim::Problems()) Check(false, size, problem.c_str());
  return 0;
}
