// The validity test every repeat decision goes through, and the events we inject.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "tests/unit/keyboard_session.h"
#include "tracking/keyboard_hook.h"

namespace {

// Counts heap allocations made on this thread while armed.
thread_local bool countAllocations = false;
thread_local int allocations = 0;

}  // namespace

void* operator new(std::size_t size) {
  if (countAllocations) ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  std::abort();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

class KeySlotsTest : public SimulatedMachineTest {
 protected:
  void SetUp() override {
    SimulatedMachineTest::SetUp();
    for (int i = 0; i < kSlotCount; ++i) {
      keySlots[i].virtualKey = kMonitoredKeys[i].virtualKey;
      keySlots[i].scanCode = kMonitoredKeys[i].scanCode;
    }
  }

  // Left Shift held in the editor, hook idle: a snapshot that validates.
  RepeatSnapshot HoldLeftShift() {
    KeySlot& slot = keySlots[0];
    slot.held.store(1);
    slot.pressWindow.store(kEditor);
    slot.generation.store(3);
    activity.activityCount.store(10);
    activity.activitySequence.store(20);
    sim::SetKeyState(VK_LSHIFT, true);
    return TakeRepeatSnapshot(slot);
  }

  uint64_t SystemCalls() const {
    return sim::CallCount(sim::Call::GetForegroundWindow) + sim::CallCount(sim::Call::GetAsyncKeyState);
  }
};

TEST_F(KeySlotsTest, AStaleSnapshotIsRejectedBeforeAnySystemCall) {
  struct Case {
    const char* what;
    void (*change)();
  };
  const Case cases[] = {
      {"hook busy", [] { activity.hookBusy.store(1); }},
      {"another event began", [] { activity.activitySequence.fetch_add(1); }},
      {"another event counted", [] { activity.activityCount.fetch_add(1); }},
      {"key released", [] { keySlots[0].held.store(0); }},
      {"slot changed", [] { keySlots[0].generation.fetch_add(1); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const RepeatSnapshot snapshot = HoldLeftShift();
    ASSERT_TRUE(IsRepeatStillValid(keySlots[0], snapshot));
    c.change();
    const uint64_t calls = SystemCalls();
    EXPECT_FALSE(IsRepeatStillValid(keySlots[0], snapshot));
    EXPECT_EQ(SystemCalls(), calls);
    activity.hookBusy.store(0);
  }
}

TEST_F(KeySlotsTest, InjectedEventsNameTheKeyByScanCodeAndCarryOurTag) {
  std::string records;  // type, wVk, wScan, dwFlags, time, dwExtraInfo of each INPUT
  for (const KeySlot& slot : keySlots) {
    for (bool up : {false, true}) {
      EXPECT_EQ(SendSyntheticKey(slot, up), 1u);
      const INPUT in = sim::SentInputs().back().input;
      char text[64];
      std::snprintf(text, sizeof text, "%u/%u/%X/%X/%u/%llX ", static_cast<unsigned>(in.type), in.ki.wVk, in.ki.wScan,
                    static_cast<unsigned>(in.ki.dwFlags), static_cast<unsigned>(in.ki.time),
                    static_cast<unsigned long long>(in.ki.dwExtraInfo));
      records += text;
    }
  }
  EXPECT_EQ(records, "1/0/2A/8/0/53485250 1/0/2A/A/0/53485250 1/0/1D/8/0/53485250 1/0/1D/A/0/53485250 "
                     "1/0/38/8/0/53485250 1/0/38/A/0/53485250 1/0/36/8/0/53485250 1/0/36/A/0/53485250 ");
  sim::BlockInput(true);
  EXPECT_EQ(SendSyntheticKey(keySlots[3], false), 0u) << "SendInput's result is passed back";
}

TEST_F(KeySlotsTest, TheHookAndTheInjectedEventAllocateNothing) {
  for (KeySlot& slot : keySlots) slot.wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  sim::SetCallLogging(false);
  KBDLLHOOKSTRUCT events[] = {
      {VK_LSHIFT, 0x2A, 0, 0, 0}, {'A', 0x1E, 0, 0, 0}, {VK_LSHIFT, 0x2A, LLKHF_UP, 0, 0},
      {0, 0x2A, LLKHF_INJECTED, 0, kInjectionTag}};
  const UINT messages[] = {WM_KEYDOWN, WM_KEYDOWN, WM_KEYUP, WM_KEYDOWN};

  countAllocations = true;
  for (int round = 0; round < 100; ++round) {
    for (size_t i = 0; i < 4; ++i) KeyboardHookProc(HC_ACTION, messages[i], reinterpret_cast<LPARAM>(&events[i]));
    SendSyntheticKey(keySlots[0], false);
    SendSyntheticKey(keySlots[0], true);
  }
  countAllocations = false;
  sim::DeliverInput();
  EXPECT_EQ(allocations, 0);
  EXPECT_EQ(keySlots[0].releaseOwedByHook.load(), 1) << "the last event reached the hook";
  for (KeySlot& slot : keySlots) CloseHandle(slot.wakeEvent);
}

}  // namespace
