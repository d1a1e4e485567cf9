// The hook's bookkeeping, one event at a time: the hook is called directly, as Windows would.
#include <array>
#include <cstring>

#include "tests/unit/keyboard_session.h"
#include "tracking/keyboard_hook.h"

namespace {

struct Counters {
  uint64_t sequence;
  uint64_t count;
  std::array<uint64_t, kSlotCount> generations;
  std::array<uint32_t, kSlotCount> wakes;
};

class KeyboardHookTest : public SimulatedMachineTest {
 protected:
  void SetUp() override {
    SimulatedMachineTest::SetUp();
    for (int i = 0; i < kSlotCount; ++i) {
      keySlots[i].virtualKey = kMonitoredKeys[i].virtualKey;
      keySlots[i].scanCode = kMonitoredKeys[i].scanCode;
      keySlots[i].wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    hookHandle = reinterpret_cast<HHOOK>(static_cast<uintptr_t>(0x4242));
  }
  void TearDown() override {
    for (KeySlot& slot : keySlots) CloseHandle(slot.wakeEvent);
    SimulatedMachineTest::TearDown();
  }

  // Calls the hook as the system does and checks that the event went on unchanged, with the next
  // hook's result returned.
  void Hook(UINT message, DWORD vk, ULONG_PTR extra = 0, DWORD flags = 0, int code = HC_ACTION) {
    HookEvent(message, {vk, sim::ScanCodeOf(static_cast<int>(vk)), flags, 1234, extra}, code);
  }
  void HookEvent(UINT message, KBDLLHOOKSTRUCT event, int code = HC_ACTION) {
    const KBDLLHOOKSTRUCT before = event;
    sim::SetCallNextHookResult(77);
    const LRESULT result = KeyboardHookProc(code, message, reinterpret_cast<LPARAM>(&event));
    const sim::NextHookCall next = sim::LastCallNextHook();
    EXPECT_EQ(result, 77);
    EXPECT_EQ(next.hook, hookHandle);
    EXPECT_EQ(next.code, code);
    EXPECT_EQ(next.wParam, message);
    EXPECT_EQ(next.lParam, reinterpret_cast<LPARAM>(&event));
    EXPECT_EQ(0, std::memcmp(&before, &event, sizeof event)) << "the hook altered the event";
    EXPECT_EQ(activity.hookBusy.load(), 0);
  }

  Counters Read() const {
    Counters c{activity.activitySequence.load(), activity.activityCount.load(), {}, {}};
    for (int i = 0; i < kSlotCount; ++i) {
      c.generations[i] = keySlots[i].generation.load();
      c.wakes[i] = sim::SetEventCount(keySlots[i].wakeEvent);
    }
    return c;
  }
};

TEST_F(KeyboardHookTest, EveryForeignEventMovesBothCountersAndWakesTheWorkersOfHeldKeysTwice) {
  keySlots[0].held.store(1);
  keySlots[2].held.store(1);
  struct Case {
    const char* what;
    UINT message;
    KBDLLHOOKSTRUCT event;
  };
  const Case cases[] = {
      {"a letter typed", WM_KEYDOWN, {'A', 0x1E, 0, 0, 0}},
      {"a letter released", WM_KEYUP, {'A', 0x1E, LLKHF_UP, 0, 0}},
      {"injected by other software, untagged", WM_KEYDOWN, {'B', 0x30, LLKHF_INJECTED, 0, 0}},
      {"injected by other software, another tag", WM_KEYDOWN, {'B', 0x30, LLKHF_INJECTED, 0, 0x1234}},
      {"our tag in the low 32 bits only", WM_KEYDOWN,
       {'C', 0x2E, LLKHF_INJECTED, 0, (ULONG_PTR{1} << 32) | kInjectionTag}},
      {"neither a press nor a release, of a monitored key", 0x0102 /* WM_CHAR */, {VK_LCONTROL, 0x1D, 0, 0, 0}},
      // Only real keys are keys.
      {"AltGr's left Ctrl, made up by the layout", WM_KEYDOWN, {VK_LCONTROL, 0x21D, 0, 0, 0}},
      {"a Shift lifted around a keypad key", WM_KEYUP, {VK_LSHIFT, 0x22A, LLKHF_UP, 0, 0}},
      {"a Shift mapped to no virtual key", WM_KEYDOWN, {0xFF, 0x2A, LLKHF_EXTENDED, 0, 0}},
      {"text typed as '*' by a touch keyboard", WM_KEYDOWN, {VK_PACKET, 0x2A, LLKHF_INJECTED, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Counters before = Read();
    HookEvent(c.message, c.event);
    const Counters after = Read();
    EXPECT_EQ(after.sequence, before.sequence + 2);
    EXPECT_EQ(after.count, before.count + 1);
    EXPECT_EQ(after.generations, before.generations) << "no slot serves this key";
    for (int i : {0, 2}) EXPECT_EQ(after.wakes[i], before.wakes[i] + 2) << "held: must stand down";
    for (int i : {1, 3}) EXPECT_EQ(after.wakes[i], before.wakes[i]) << "idle: nothing to do";
  }
}

TEST_F(KeyboardHookTest, OurOwnEventsAndNonActionCallsChangeNothing) {
  keySlots[0].held.store(1);  // left Shift held: our repeats are expected
  const Counters before = Read();
  Hook(WM_KEYDOWN, VK_LSHIFT, kInjectionTag, LLKHF_INJECTED);
  Hook(WM_KEYUP, VK_LSHIFT, kInjectionTag, LLKHF_INJECTED | LLKHF_UP);
  Hook(WM_SYSKEYDOWN, VK_LMENU, kInjectionTag, LLKHF_INJECTED);
  Hook(WM_KEYDOWN, 'A', 0, 0, /*code=*/3);  // HC_NOREMOVE-style calls are passed on untouched
  const Counters after = Read();
  EXPECT_EQ(after.sequence, before.sequence);
  EXPECT_EQ(after.count, before.count);
  EXPECT_EQ(after.generations, before.generations);
  EXPECT_EQ(after.wakes, before.wakes);
  EXPECT_EQ(keySlots[0].held.load(), 1);
  EXPECT_EQ(keySlots[2].releaseOwedByHook.load(), 0);
  EXPECT_EQ(sim::CallCount(sim::Call::QueryPerformanceCounter), 3u) << "only the time each event was seen";
}

TEST_F(KeyboardHookTest, PressAndReleaseOfAMonitoredKeyUpdateOnlyItsSlot) {
  sim::SetForegroundWindow(kBrowser);
  keySlots[3].releasePending.store(1);
  keySlots[3].releaseTime.store(99);
  const Counters before = Read();
  Hook(WM_KEYDOWN, VK_RSHIFT);
  Counters after = Read();
  EXPECT_EQ(keySlots[3].held.load(), 1);
  EXPECT_EQ(keySlots[3].pressWindow.load(), kBrowser);
  EXPECT_EQ(keySlots[3].releaseTime.load(), 0u);
  EXPECT_EQ(keySlots[3].releasePending.load(), 0);
  EXPECT_EQ(after.generations[3], before.generations[3] + 1);
  EXPECT_EQ(after.wakes[3], before.wakes[3] + 2) << "for its own change, and once held";
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(after.generations[i], before.generations[i]);
    EXPECT_EQ(after.wakes[i], before.wakes[i]);
    EXPECT_EQ(keySlots[i].held.load(), 0);
  }

  // The release time is the counter at the start of the call, even when the call takes a while.
  const uint64_t releasedAt = sim::NowTicks();
  sim::BeforeNextCall(sim::Call::GetForegroundWindow, [] { sim::AdvanceBy(1); });
  sim::BeforeNextCall(sim::Call::SetEvent, [] { sim::AdvanceBy(2); });
  const Counters beforeRelease = Read();
  Hook(WM_KEYUP, VK_RSHIFT, 0, LLKHF_UP);
  after = Read();
  EXPECT_EQ(after.wakes[3], beforeRelease.wakes[3] + 2) << "while still held, and for its own change";
  EXPECT_EQ(keySlots[3].releaseTime.load(), releasedAt);
  EXPECT_EQ(keySlots[3].held.load(), 0);
  EXPECT_EQ(keySlots[3].pressWindow.load(), nullptr);
  EXPECT_EQ(after.generations[3], beforeRelease.generations[3] + 1);
}

TEST_F(KeyboardHookTest, SystemKeyMessagesArePressesAndReleases) {
  Hook(WM_SYSKEYDOWN, VK_LMENU);
  EXPECT_EQ(keySlots[2].held.load(), 1);
  Hook(WM_SYSKEYUP, VK_LMENU, 0, LLKHF_UP);
  EXPECT_EQ(keySlots[2].held.load(), 0);
  EXPECT_EQ(keySlots[2].generation.load(), 2u);
}

TEST_F(KeyboardHookTest, OurKeyDownLandingAfterAReleaseAsksForAKeyUpAndDisturbsNoSnapshot) {
  Hook(WM_KEYDOWN, VK_LMENU);
  // Still held: our repeat belongs there.
  const KBDLLHOOKSTRUCT ourAltDown = {0, 0x38, LLKHF_INJECTED, 0, kInjectionTag};  // vkCode 0, as Wine has it
  HookEvent(WM_SYSKEYDOWN, ourAltDown);
  EXPECT_EQ(keySlots[2].releaseOwedByHook.load(), 0);

  Hook(WM_KEYUP, VK_LMENU, 0, LLKHF_UP);
  const Counters before = Read();
  HookEvent(WM_SYSKEYDOWN, ourAltDown);
  const Counters after = Read();
  EXPECT_EQ(keySlots[2].releaseOwedByHook.load(), 1);
  EXPECT_EQ(after.wakes[2], before.wakes[2] + 1);
  EXPECT_EQ(after.sequence, before.sequence);
  EXPECT_EQ(after.count, before.count);
  EXPECT_EQ(after.generations, before.generations);

  // Ours count by make code alone: right Shift flagged extended, as Windows may flag it, asks too.
  keySlots[3].releaseTime.store(5);
  HookEvent(WM_KEYDOWN, {VK_RSHIFT, 0x36, LLKHF_INJECTED | LLKHF_EXTENDED, 0, kInjectionTag});
  EXPECT_EQ(keySlots[3].releaseOwedByHook.load(), 1);

  // Our key-ups and other keys ask for nothing; a physical press withdraws it.
  keySlots[0].releaseTime.store(5);
  HookEvent(WM_KEYUP, {0, 0x2A, LLKHF_INJECTED | LLKHF_UP, 0, kInjectionTag});
  HookEvent(WM_KEYDOWN, {0, 0x1E, LLKHF_INJECTED, 0, kInjectionTag});
  EXPECT_EQ(keySlots[0].releaseOwedByHook.load(), 0);
  Hook(WM_SYSKEYDOWN, VK_LMENU);
  EXPECT_EQ(keySlots[2].releaseOwedByHook.load(), 0);
}

}  // namespace
