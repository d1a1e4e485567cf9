// Key events the hook never sees: a hook that Windows removed, or skipped for one event, noticed
// through raw input and recovered from; and the raw events that must change nothing.
#include <utility>
#include <vector>

#include "app/application.h"
#include "tests/unit/keyboard_session.h"

namespace {

using MissedEvents = KeyboardSession;

uint64_t HookInstalls() { return sim::CallCount(sim::Call::SetWindowsHookExW); }

// The next repeat of ours lands in the stream right behind the key's release.
void ReleaseJustBeforeTheNextRepeat(int vk) {
  sim::BeforeNextCall(sim::Call::SendInput, [vk] {
    sim::Release(vk);
    sim::DeliverInput();
  });
}

TEST_F(MissedEvents, AHookLostWhileIdleIsInstalledAgainAndThenRepeatsAsBefore) {
  StartVelmora();
  EXPECT_EQ(sim::MessageOnlyWindows(), 1);
  for (int vk : {'A', 'B'}) sim::Press(vk);  // several events reach the hook before their raw input
  for (int vk : {'A', 'B'}) sim::Release(vk);
  // Raw input that no hook sees as a key: fake Shifts, an overrun, the E1 prefix, no make code.
  for (auto [code, flags] : {std::pair<USHORT, USHORT>{0x2A, RI_KEY_E0}, {0x36, RI_KEY_E0}, {0xFF, 0},
                             {0x1D, RI_KEY_E1}, {0, 0}}) {
    sim::PostRawInputOnly(code, flags);
  }
  Wait(1000);
  EXPECT_EQ(HookInstalls(), 1u) << "none of these is a miss";
  sim::RemoveHookSilently();
  Press(VK_LSHIFT);  // at 1000
  Wait(999);
  EXPECT_EQ(HookInstalls(), 1u) << "unmatched for less than a hook may take";
  Wait(1);
  EXPECT_EQ(HookInstalls(), 2u);
  EXPECT_EQ(keySlots[0].held.load(), 1) << "the press the hook missed counts";
  Release(VK_LSHIFT);
  Wait(1000);
  Press(VK_LSHIFT);  // at 3000
  Wait(600);
  EXPECT_EQ(Injected(), "3533:+2A 3566:+2A 3599:+2A");
  EXPECT_EQ(HookInstalls(), 2u);
  QuitVelmora();
}

TEST_F(MissedEvents, AReleaseInTheBlindStretchEndsTheRepeatsAndSendsOneKeyUpOnlyWhenOneOfOursLandedAfterIt) {
  for (bool raced : {false, true}) {
    SCOPED_TRACE(raced ? "a repeat landed after the release" : "no repeat landed after the release");
    SetUp();  // a fresh machine
    StartVelmora();
    Press(VK_LSHIFT);
    Wait(550);
    sim::RemoveHookSilently();
    if (raced) {
      ReleaseJustBeforeTheNextRepeat(VK_LSHIFT);
      Wait(20);  // the repeat due at 566 lands behind the release
    } else {
      Release(VK_LSHIFT);
    }
    EXPECT_EQ(sim::RaisedTimerPeriods(), 0) << "the worker stood down at once";
    Wait(3000);
    EXPECT_EQ(Injected(), raced ? "533:+2A 566:+2A 1578:-2A" : "533:+2A");
    EXPECT_EQ(keySlots[0].releaseTime.load(), sim::kStartTicks + (raced ? 566 : 550) * sim::kTicksPerMs)
        << "stamped when its raw input came";
    EXPECT_EQ(HookInstalls(), 2u);
    QuitVelmora();
  }
}

TEST_F(MissedEvents, AKeyStillHeldWhenTheHookIsLostRepeatsOnWithNoKeyUp) {
  StartVelmora();
  Press(VK_LSHIFT);
  Wait(550);
  sim::RemoveHookSilently();
  Wait(1600);
  // Our repeats reach raw input only; 1000 ms after the first of them the hook counts as lost and
  // is installed again, and the key, still down, never stopped.
  EXPECT_EQ(HookInstalls(), 2u);
  EXPECT_EQ(Injected(), RepeatTrace(533, 33, 50, 0x2A));
  QuitVelmora();
}

TEST_F(MissedEvents, AnEventSkippedOnceIsRecoveredAtTheHooksNextEventOrItsDeadline) {
  StartVelmora();
  Press(VK_LSHIFT);
  Wait(550);
  // A release skipped while nothing follows: noticed at its deadline, with no key-up owed.
  sim::SkipHookForNextEvents(1);
  Release(VK_LSHIFT);
  Wait(100);
  Type('A');  // a later event the hook sees: the release counts as missed at once
  EXPECT_EQ(keySlots[0].held.load(), 0);
  EXPECT_EQ(HookInstalls(), 2u);
  Wait(1000);
  EXPECT_EQ(Injected(), "533:+2A");

  // A release skipped with one of our repeats behind it: the hook sees that repeat, so the release
  // counts as missed at once and the key-up goes out with it.
  Press(VK_LCONTROL);  // at 1650
  Wait(550);
  sim::SkipHookForNextEvents(1);
  ReleaseJustBeforeTheNextRepeat(VK_LCONTROL);
  Wait(100);
  EXPECT_EQ(InjectedSince(1650), "533:+1D 566:+1D 566:-1D");

  // A release skipped and the key pressed again at once: the press the hook saw stands.
  Press(VK_LMENU);  // at 2300
  Wait(50);
  sim::HoldInput(true);  // both reach the hook before raw input shows the first
  sim::SkipHookForNextEvents(1);
  sim::Release(VK_LMENU);
  sim::Press(VK_LMENU);
  sim::HoldInput(false);
  Wait(600);
  EXPECT_EQ(InjectedSince(2350), RepeatTrace(533, 33, 3, 0x38));
  QuitVelmora();
}

TEST_F(MissedEvents, RawInputAheadOfTheHookOrEventsSwallowedAheadOfItChangeNothing) {
  sim::SetRawInputBeforeHook(true);  // our hook sits behind another program's
  StartVelmora();
  Press(VK_LSHIFT);
  Wait(600);
  sim::SwallowNextEvent();
  Type('A');  // its press never reaches us, either way; its release does
  Wait(600);
  Release(VK_LSHIFT);
  Wait(1200);
  EXPECT_EQ(Injected(), "533:+2A 566:+2A 599:+2A 1133:+2A 1166:+2A 1199:+2A");
  EXPECT_EQ(HookInstalls(), 1u);

  // A release the hook skips there counts as missed once the hook sees the event after it.
  Press(VK_LCONTROL);  // at 2400
  Wait(550);
  sim::SkipHookForNextEvents(1);
  Release(VK_LCONTROL);
  Type('B');
  Wait(600);
  EXPECT_EQ(InjectedSince(2400), "533:+1D");
  EXPECT_EQ(keySlots[1].held.load(), 0) << "not left held for the worker to re-arm on";
  QuitVelmora();
}

TEST_F(MissedEvents, ABurstTypedInOneCallIsNoMissHoweverFarTheHookRunsAheadOfRawInput) {
  StartVelmora();
  Press(VK_LSHIFT);
  Wait(600);
  std::vector<INPUT> burst(2000, INPUT{INPUT_KEYBOARD, {}});
  for (size_t i = 0, last = burst.size() - 1; i <= last; ++i) {  // left Ctrl around 999 letters typed
    const int vk = i == 0 || i == last ? VK_LCONTROL : "ABCDEFQWXZ"[(i - 1) / 2 % 10];
    const DWORD up = i == last || (i > 0 && i % 2 == 0) ? KEYEVENTF_KEYUP : 0;
    burst[i].ki = {static_cast<WORD>(vk), static_cast<WORD>(sim::ScanCodeOf(vk)), up, 0, 0};
  }
  const uint64_t activityBefore = activity.activityCount.load();
  const uint64_t shift = keySlots[0].generation.load(), ctrl = keySlots[1].generation.load();
  sim::SendInputOfOtherProgram(burst);  // the hook sees all 2,000 before raw input shows one
  sim::Settle();
  EXPECT_EQ(HookInstalls(), 1u);
  EXPECT_EQ(activity.activityCount.load() - activityBefore, 2000u) << "each event counted once, by the hook";
  EXPECT_EQ(keySlots[0].generation.load() - shift, 0u);
  EXPECT_EQ(keySlots[1].generation.load() - ctrl, 2u) << "left Ctrl pressed, then released";
  Wait(600);
  EXPECT_EQ(InjectedSince(600), RepeatTrace(533, 33, 3, 0x2A)) << "left Shift repeats again after the burst";
  QuitVelmora();
}

TEST_F(MissedEvents, MoreUnmatchedEventsThanTheRecordHoldsWaitForTheOldestsDeadlineAndAFailedWaitForNone) {
  StartVelmora();
  sim::RemoveHookSilently();
  Press('B');  // the oldest, kept
  Wait(500);
  for (int i = 0; i < 8; ++i) Type('A');  // no room for the last
  EXPECT_EQ(HookInstalls(), 1u) << "no room is no miss";
  Wait(520);  // the deadline's wait ends on a timer tick
  EXPECT_EQ(HookInstalls(), 2u);
  Wait(1000);  // the rest count as missed at theirs, and the reinstall waits for its bound
  EXPECT_EQ(HookInstalls(), 3u);

  sim::RemoveHookSilently();
  sim::FailCall(sim::Call::MsgWaitForMultipleObjectsEx);
  Press(VK_LSHIFT);
  EXPECT_EQ(HookInstalls(), 4u);

  // What a hook behind ours swallowed got no raw input and is no later event than what did.
  Wait(1000);
  sim::SwallowBehindNextEvents(2);
  Type('C');
  Wait(20);
  sim::SkipHookForNextEvents(1);
  Press('D');
  EXPECT_EQ(HookInstalls(), 4u);
  Wait(1016);  // the deadline's wait ends on a timer tick
  EXPECT_EQ(HookInstalls(), 5u);

  // A wait that fails with nothing else to wait for ends the loop, as a failed GetMessageW did.
  sim::FailCall(sim::Call::MsgWaitForMultipleObjectsEx);
  Type('E');
  EXPECT_EQ(sim::JoinProgram(), 0);
}

TEST_F(MissedEvents, WithoutTheWindowOrTheRawInputTheProgramRunsAndEndsAsBefore) {
  for (sim::Call failing : {sim::Call::RegisterClassExW, sim::Call::CreateWindowExW,
                            sim::Call::RegisterRawInputDevices}) {
    SCOPED_TRACE(sim::CallName(failing));
    SetUp();  // a fresh machine
    sim::FailCall(failing);
    StartVelmora();
    // Without raw input the window stays for the session's notifications.
    EXPECT_EQ(sim::MessageOnlyWindows(), failing == sim::Call::RegisterRawInputDevices ? 1 : 0);
    Press(VK_LSHIFT);
    Wait(540);
    EXPECT_EQ(Injected(), "533:+2A");
    QuitVelmora();
    EXPECT_TRUE(sim::OpenHandles().empty());
  }
}

}  // namespace
