// KeyboardHookProc against arbitrary event sequences, called directly as Windows would, with the
// workers' own writes to the slots made between events (no worker threads run).
//
// Input layout: byte 0 picks the hook handle, byte 1 the first foreground window, then one
// 16-byte record per event (a short last record reads as zeros):
//   0 message   1 vkCode   2 scanCode   3 flags (as they are)   4 dwExtraInfo (low 3 bits) and k
//   5 nCode     6 foreground window (bits 3-4 also pick the slot a worker's move applies to)
//   7 ms to advance first (low 5 bits) and the worker's move (high 3 bits)
//   8-15 a raw 64-bit word for the "any value" choices and the next hook's result
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "tests/fuzz/fuzz_reader.h"
#include "tests/unit/keyboard_session.h"
#include "tracking/key_slots.h"
#include "tracking/keyboard_hook.h"

namespace {

constexpr size_t kAtEnd = SIZE_MAX;
size_t eventIndex = 0;      // for the failure message only
HWND foreground = nullptr;  // what the simulated machine was last told

struct Event {
  int code;
  UINT message;
  KBDLLHOOKSTRUCT hook;
  LRESULT nextResult;
};
Event current{};  // for the failure message only

[[noreturn]] void Fail(const char* what, int slot = -1) {
  if (eventIndex == kAtEnd) {
    std::fprintf(stderr, "fuzz_hook: at the end: %s\n", what);
  } else {
    std::fprintf(stderr, "fuzz_hook: event %zu (code %d, message 0x%X, vk 0x%X, scan 0x%X, flags 0x%X, extra 0x%llX)",
                 eventIndex, current.code, current.message, current.hook.vkCode, current.hook.scanCode,
                 current.hook.flags, static_cast<unsigned long long>(current.hook.dwExtraInfo));
    if (slot >= 0) std::fprintf(stderr, ", slot %d", slot);
    std::fprintf(stderr, ": %s\n", what);
  }
  std::abort();
}

#define CHECK(cond, ...)           \
  do {                             \
    if (!(cond)) Fail(__VA_ARGS__); \
  } while (0)

struct SlotView {
  uint8_t held;
  uint8_t releasePending;
  uint8_t releaseOwedByHook;
  uint64_t generation;
  uint64_t releaseTime;
  HWND pressWindow;
  uint32_t wakes;
};

struct View {
  int32_t hookBusy;
  uint64_t sequence;
  uint64_t count;
  SlotView slots[kSlotCount];
};

View Read() {
  View v{activity.hookBusy.load(), activity.activitySequence.load(), activity.activityCount.load(), {}};
  for (int i = 0; i < kSlotCount; ++i) {
    const KeySlot& s = keySlots[i];
    v.slots[i] = {s.held.load(),       s.releasePending.load(), s.releaseOwedByHook.load(),
                  s.generation.load(), s.releaseTime.load(),    s.pressWindow.load(),
                  sim::SetEventCount(s.wakeEvent)};
  }
  return v;
}

bool IsDown(WPARAM m) { return m == WM_KEYDOWN || m == WM_SYSKEYDOWN; }
bool IsUp(WPARAM m) { return m == WM_KEYUP || m == WM_SYSKEYUP; }

int SlotOfVirtualKey(DWORD vk) {
  for (int i = 0; i < kSlotCount; ++i) {
    if (kMonitoredKeys[i].virtualKey == vk) return i;
  }
  return -1;
}

int SlotOfScanCode(DWORD scanCode) {
  for (int i = 0; i < kSlotCount; ++i) {
    if (kMonitoredKeys[i].scanCode == scanCode) return i;
  }
  return -1;
}

HWND PickWindow(uint8_t selector) {
  switch (selector % 5) {
    case 0: return nullptr;
    case 4: return sim::Window(1 + selector / 5 % 8);
    default: return sim::Window(selector % 5);
  }
}

// What a worker may do to its slot between two hook calls, as the repeat code does it.
void WorkerMove(uint8_t move) {
  KeySlot& slot = keySlots[(move >> 3) & 3];
  switch (move & 7) {
    case 5:  // the window changed while the key was held
      if (slot.held.load() != 0 && slot.pressWindow.load() != nullptr && slot.pressWindow.load() != foreground) {
        slot.held.store(0);
        slot.generation.fetch_add(1);
        slot.pressWindow.store(nullptr);
      }
      break;
    case 6:  // a repeat step found the key released behind its back
      if (slot.held.load() == 0 && slot.releaseTime.load() != 0) slot.releasePending.store(1);
      break;
    case 7:  // a flush: void while held, else both requests consumed
      if (slot.held.load() != 0) {
        slot.releasePending.store(0);
      } else {
        slot.releasePending.exchange(0);
        slot.releaseOwedByHook.exchange(0);
      }
      break;
    default:
      break;
  }
}

// Reads one record and brings the machine to the moment its event reaches the hook.
Event NextEvent(FuzzReader& in) {
  const uint8_t message = in.Byte();
  const uint8_t vk = in.Byte();
  const uint8_t scan = in.Byte();
  const uint8_t flags = in.Byte();
  const uint8_t extra = in.Byte();
  const uint8_t code = in.Byte();
  const uint8_t window = in.Byte();
  const uint8_t timeAndMove = in.Byte();
  const uint64_t raw = in.Word64();

  // The foreground window and the workers' moves happen before the event reaches the hook.
  if (window % 4 == 3) {
    foreground = PickWindow(window >> 2);
    sim::SetForegroundWindow(foreground);
  }
  if (timeAndMove & 0x1F) sim::AdvanceBy(timeAndMove & 0x1F);
  WorkerMove(static_cast<uint8_t>(timeAndMove >> 5 | (window & 0x18)));

  Event e{};
  static constexpr UINT kMessages[] = {WM_KEYDOWN, WM_KEYUP, WM_SYSKEYDOWN, WM_SYSKEYUP,
                                       WM_KEYDOWN, WM_KEYUP, 0x0102 /* WM_CHAR */};
  e.message = message % 8 < 7 ? kMessages[message % 8] : static_cast<UINT>(raw);

  static constexpr DWORD kKeys[] = {VK_LSHIFT, VK_LCONTROL, VK_LMENU, VK_RSHIFT, VK_LSHIFT,   VK_LCONTROL,
                                    VK_LMENU,  VK_RSHIFT,   VK_SHIFT, VK_CONTROL, VK_MENU,    VK_RCONTROL,
                                    VK_RMENU,  'A',         0};
  e.hook.vkCode = vk % 16 < 15 ? kKeys[vk % 16] : static_cast<DWORD>(raw >> 8);

  static constexpr DWORD kScans[] = {0x2A, 0x1D, 0x38, 0x36, 0x2A, 0x1D, 0x38, 0x36, 0x1E, 0};
  if (scan % 12 < 10) {
    e.hook.scanCode = kScans[scan % 12];
  } else if (scan % 12 == 10) {
    e.hook.scanCode = sim::ScanCodeOf(static_cast<int>(e.hook.vkCode));
  } else {
    e.hook.scanCode = static_cast<DWORD>(raw >> 16);
  }

  e.hook.flags = flags;
  e.hook.time = static_cast<DWORD>(raw >> 24);

  const int k = extra >> 3;
  switch (extra & 7) {
    case 0: case 1: e.hook.dwExtraInfo = 0; break;
    case 2: case 3: e.hook.dwExtraInfo = kInjectionTag; break;
    case 4: e.hook.dwExtraInfo = kInjectionTag | (ULONG_PTR{1} << (32 + k)); break;
    case 5: e.hook.dwExtraInfo = kInjectionTag ^ (ULONG_PTR{1} << k); break;  // one bit off, low half
    default: e.hook.dwExtraInfo = static_cast<ULONG_PTR>(raw); break;
  }

  static constexpr int kCodes[] = {HC_ACTION, 3 /* HC_NOREMOVE */, -1, 1};
  e.code = code % 8 < 5 ? HC_ACTION : (code % 8 < 7 ? kCodes[code % 8 - 4] : static_cast<int>(raw >> 32));

  e.nextResult = static_cast<LRESULT>(raw ^ 0x5A5A5A5A5A5A5A5Aull);
  return e;
}

// The state the hook must leave, computed from the state before and the event alone.
View Expect(const View& before, const Event& e, uint64_t now) {
  View want = before;
  if (e.code != HC_ACTION) return want;
  if (e.hook.dwExtraInfo == kInjectionTag) {
    const int i = SlotOfScanCode(e.hook.scanCode);
    if (IsDown(e.message) && (e.hook.flags & LLKHF_EXTENDED) == 0 && i >= 0 &&
        before.slots[i].held == 0 && before.slots[i].releaseTime != 0) {
      want.slots[i].releaseOwedByHook = 1;
      want.slots[i].wakes += 1;
    }
    return want;
  }
  want.sequence += 2;
  want.count += 1;
  // Only workers serving a held key are woken: once as the event begins and once as it ends.
  for (SlotView& s : want.slots) s.wakes += s.held != 0 ? 1 : 0;
  const int i = SlotOfVirtualKey(e.hook.vkCode);
  if (i >= 0) {
    SlotView& s = want.slots[i];
    if (IsDown(e.message)) {
      s = {1, 0, 0, s.generation + 1, 0, foreground, s.wakes + 1};
    } else if (IsUp(e.message)) {
      s.held = 0;
      s.releaseTime = now;
      s.pressWindow = nullptr;
      s.generation += 1;
      s.wakes += 1;
    }
  }
  for (SlotView& s : want.slots) s.wakes += s.held != 0 ? 1 : 0;
  return want;
}

void CheckEvent(const Event& input) {
  current = input;
  Event e = input;
  const View before = Read();
  const uint64_t now = sim::NowTicks();
  const View want = Expect(before, e, now);

  sim::SetCallNextHookResult(e.nextResult);
  const LRESULT result = KeyboardHookProc(e.code, e.message, reinterpret_cast<LPARAM>(&e.hook));
  const sim::NextHookCall next = sim::LastCallNextHook();
  const View after = Read();

  // Passed on unchanged, and the next hook's answer returned.
  CHECK(result == e.nextResult, "did not return the next hook's result");
  CHECK(next.hook == hookHandle, "passed on with another hook handle");
  CHECK(next.code == e.code, "passed on with another code");
  CHECK(next.wParam == e.message, "passed on with another message");
  CHECK(next.lParam == reinterpret_cast<LPARAM>(&e.hook), "passed on another event");
  CHECK(std::memcmp(&e.hook, &input.hook, sizeof e.hook) == 0, "altered the event");

  CHECK(after.hookBusy == 0, "hookBusy left raised");
  CHECK(after.sequence == 2 * after.count, "activitySequence is not twice activityCount");
  for (int i = 0; i < kSlotCount; ++i) {
    const SlotView& s = after.slots[i];
    if (s.held == 1) {
      CHECK(s.releaseTime == 0, "held with a release time", i);
      CHECK(s.releaseOwedByHook == 0, "held with a key-up owed", i);
    }
  }

  if (e.code == HC_ACTION && e.hook.dwExtraInfo == kInjectionTag) {
    CHECK(after.count == before.count && after.sequence == before.sequence, "our own event moved a counter");
    for (int i = 0; i < kSlotCount; ++i) {
      const SlotView& a = after.slots[i];
      const SlotView& b = before.slots[i];
      CHECK(a.generation == b.generation && a.held == b.held && a.pressWindow == b.pressWindow &&
                a.releaseTime == b.releaseTime,
            "our own event changed the slot", i);
    }
  } else if (e.code == HC_ACTION) {
    CHECK(after.count == before.count + 1, "a foreign event did not move activityCount by one");
    const int i = SlotOfVirtualKey(e.hook.vkCode);
    if (i >= 0 && IsDown(e.message)) {
      CHECK(after.slots[i].held == 1, "key-down left the key not held", i);
      CHECK(after.slots[i].pressWindow == foreground, "key-down recorded another window", i);
    } else if (i >= 0 && IsUp(e.message)) {
      CHECK(after.slots[i].held == 0, "key-up left the key held", i);
      CHECK(after.slots[i].releaseTime == now, "key-up recorded another release time", i);
      CHECK(after.slots[i].pressWindow == nullptr, "key-up kept the press window", i);
    }
  }

  // Everything else, field by field.
  CHECK(after.count == want.count && after.sequence == want.sequence, "counters differ from the model");
  for (int i = 0; i < kSlotCount; ++i) {
    const SlotView& a = after.slots[i];
    const SlotView& w = want.slots[i];
    CHECK(a.generation == w.generation, "generation differs from the model", i);
    CHECK(a.held == w.held && a.pressWindow == w.pressWindow && a.releaseTime == w.releaseTime,
          "key state differs from the model", i);
    CHECK(a.releasePending == w.releasePending, "releasePending differs from the model", i);
    CHECK(a.releaseOwedByHook == w.releaseOwedByHook, "releaseOwedByHook differs from the model", i);
    CHECK(a.wakes == w.wakes, "wake count differs from the model", i);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzReader in(data, size);

  // Nothing of the last input survives: a fresh machine and fresh shared state.
  sim::Reset();
  sim::SetCallLogging(false);
  ClearSharedState();
  for (int i = 0; i < kSlotCount; ++i) {
    keySlots[i].virtualKey = kMonitoredKeys[i].virtualKey;
    keySlots[i].scanCode = kMonitoredKeys[i].scanCode;
    keySlots[i].extraFlags = kMonitoredKeys[i].extraFlags;
    keySlots[i].wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  }
  hookHandle = reinterpret_cast<HHOOK>(static_cast<uintptr_t>(0x4200 + in.Byte()));
  foreground = PickWindow(in.Byte());
  sim::SetForegroundWindow(foreground);

  eventIndex = 0;
  current = {};
  while (!in.Done()) {
    CheckEvent(NextEvent(in));
    ++eventIndex;
  }
  eventIndex = kAtEnd;

  for (KeySlot& slot : keySlots) {
    CloseHandle(slot.wakeEvent);
    slot.wakeEvent = nullptr;
  }
  const std::vector<std::string> open = sim::OpenHandles();
  if (!open.empty()) Fail(("left open: " + open.front()).c_str());
  const std::vector<std::string> problems = sim::Problems();
  if (!problems.empty()) Fail(problems.front().c_str());
  return 0;
}
