// A user's keys in, virtual milliseconds passing, the injected events out.
#include "repeat/repeat_worker.h"

#include "tests/unit/keyboard_session.h"

namespace {

// Every timing runs against the two performance-counter frequencies Windows machines commonly
// report, one of which is no whole number of ticks per millisecond.
class Repeating : public KeyboardSession, public ::testing::WithParamInterface<uint64_t> {
 protected:
  void SetUp() override {
    KeyboardSession::SetUp();
    sim::SetCounterFrequency(GetParam());
  }
};
INSTANTIATE_TEST_SUITE_P(CounterAt, Repeating, ::testing::Values(10'000'000, 3'579'545));

TEST_P(Repeating, EachHeldKeyRepeatsAfterTheArmDelayAndThenEveryInterval) {
  Start();
  for (int i = 0; i < kSlotCount; ++i) {
    const int vk = static_cast<int>(kMonitoredKeys[i].virtualKey);
    SCOPED_TRACE(vk);
    const uint32_t pressed = sim::NowMs();
    Press(vk);
    Wait(600);
    EXPECT_EQ(InjectedSince(pressed), RepeatTrace(533, 33, 3, kMonitoredKeys[i].scanCode));
    Release(vk);
    Wait(1000);
    EXPECT_EQ(InjectedSince(pressed), RepeatTrace(533, 33, 3, kMonitoredKeys[i].scanCode)) << "nothing after the release";
  }
}

TEST_P(Repeating, ALongWaitThatEndsLateIsMadeUpBeforeTheDueTime) {
  Start({500, 1500});  // speed 0, delay 3
  // The first timed wait after the press and one in the middle of the first interval each end
  // 40 ms late, as waits on a busy machine do; neither repeat may be late for it.
  sim::ShiftNextWait(keySlots[1].wakeEvent, 40'000);
  Press(VK_LCONTROL);
  Wait(1600);
  sim::ShiftNextWait(keySlots[1].wakeEvent, 40'000);
  Wait(500);
  EXPECT_EQ(Injected(), "1500:+1D 2000:+1D");

  // Halving what is left costs six waits an interval of 500 ms, no more.
  const uint64_t waits = sim::CallCount(sim::Call::WaitForSingleObject);
  Wait(1000);
  EXPECT_EQ(Injected(), "1500:+1D 2000:+1D 2500:+1D 3000:+1D");
  EXPECT_LE(sim::CallCount(sim::Call::WaitForSingleObject) - waits, 12u);
}

TEST_P(Repeating, AWaitThatEndsEarlyIsNotTakenForTheDueTime) {
  Start();
  // After the repeat at 533 the worker waits to 549, then the rest to 566: that wait ends 2 ms
  // early, and then a tenth of a millisecond early, which is no due time either.
  for (const int32_t earlyUs : {2'000, 100}) {
    SCOPED_TRACE(earlyUs);
    const uint32_t pressed = sim::NowMs();
    Press(VK_LSHIFT);
    Wait(540);
    sim::ShiftNextWait(keySlots[0].wakeEvent, -earlyUs);
    Wait(60);
    EXPECT_EQ(InjectedSince(pressed), RepeatTrace(533, 33, 3, 0x2A));
    Release(VK_LSHIFT);
    Wait(100);
  }
}

TEST_P(Repeating, RepeatsKeepTheirScheduleWhenInjectingTakesTimeAndNeverCatchUp) {
  Start();
  sim::SetSendInputCost(1000);  // every injection takes a millisecond
  Press(VK_LSHIFT);
  Wait(640);
  EXPECT_EQ(Injected(), RepeatTrace(533, 33, 4, 0x2A)) << "the time an injection takes is added to no interval";

  // The next one takes 50 ms: accepted at 715, over half an interval late, it starts a new
  // schedule, a millisecond before it, instead of the repeats due at 698 and 731 catching up.
  sim::SetSendInputCost(50000);
  sim::AfterNextSendInput([] { sim::SetSendInputCost(0); });
  Wait(170);
  EXPECT_EQ(InjectedSince(632), "0:+2A 33:+2A 115:+2A 148:+2A");
  Release(VK_LSHIFT);

  // A first repeat accepted 3 ms after its due time: the next comes a millisecond early after
  // it, no more.
  const uint32_t pressed = sim::NowMs();
  Press(VK_LCONTROL);
  sim::SetSendInputCost(3000);
  sim::AfterNextSendInput([] { sim::SetSendInputCost(0); });
  Wait(610);
  EXPECT_EQ(InjectedSince(pressed), "533:+1D 568:+1D 601:+1D");
}

TEST_P(Repeating, AnyOtherKeyStopsTheBurstAndTheRepeatsResumeAFullArmDelayLater) {
  Start();
  Press(VK_LSHIFT);
  Wait(600);
  Type('A');  // at 600
  Wait(600);
  EXPECT_EQ(Injected(), "533:+2A 566:+2A 599:+2A 1133:+2A 1166:+2A 1199:+2A");
}

TEST_P(Repeating, AFocusChangeStopsTheRepeatsUntilTheKeyIsPressedAgain) {
  Start();
  Press(VK_LSHIFT);
  Wait(540);
  sim::SetForegroundWindow(kBrowser);  // by mouse: no keyboard event
  Wait(2000);
  EXPECT_EQ(Injected(), "533:+2A");
  EXPECT_EQ(keySlots[0].held.load(), 0) << "forgotten, although still physically down";
  EXPECT_EQ(keySlots[0].pressWindow.load(), nullptr);

  Press(VK_LSHIFT);  // at 2540, in the browser
  Wait(540);
  EXPECT_EQ(InjectedSince(2540), "533:+2A");
}

TEST_P(Repeating, AKeyReadUpReArmsWhileAHookMayStillHoldItsPressAndThenStandsDownUntilTheNextEvent) {
  Start();
  Press(VK_LSHIFT);
  sim::SetKeyState(VK_LSHIFT, false);  // the press still behind a slower hook, as its state shows
  Wait(600);
  sim::SetKeyState(VK_LSHIFT, true);
  Wait(600);
  EXPECT_EQ(Injected(), "1080:+2A 1113:+2A 1146:+2A 1179:+2A") << "re-armed on the coarse timer at 547";
  Release(VK_LSHIFT);

  // A release that no hook of ours saw: no timer, no key-up, and from the first arm expiry
  // kLongestHookTimeMs after the hook's last event on, no wake-up until the next event.
  // The hook's last stamp is one the worker's clock has not reached yet, as a counter read on
  // another processor may be: "just now", so the worker re-arms until 1000 ms after it.
  const uint32_t pressed = sim::NowMs();
  Press(VK_LCONTROL);
  sim::SetKeyState(VK_LCONTROL, false);
  LARGE_INTEGER oneSecond;
  QueryPerformanceFrequency(&oneSecond);
  activity.lastHookEventTime.store(sim::NowTicks() + static_cast<uint64_t>(oneSecond.QuadPart));
  Wait(1700);
  const uint64_t rearming = sim::CallCount(sim::Call::WaitForSingleObject);
  Wait(1000);
  const uint64_t waits = sim::CallCount(sim::Call::WaitForSingleObject);
  EXPECT_GT(waits, rearming) << "stood down on a stamp newer than its clock";
  Wait(10000);
  EXPECT_EQ(sim::CallCount(sim::Call::WaitForSingleObject), waits);
  EXPECT_EQ(keySlots[1].held.load(), 1);
  Press(VK_LCONTROL);
  Wait(540);
  EXPECT_EQ(InjectedSince(pressed), "13233:+1D") << "repeats as ever on its next press";
  EXPECT_EQ(sim::CallCount(sim::Call::timeBeginPeriod), 2u) << "one for each burst";
}

// Left Ctrl and left Alt held, then a stretch where no hook of ours sees a key: Ctrl+Alt+Del's
// secure desktop, left with Esc before (or after) a worker notices that no window has the focus,
// or a program run as administrator clicked into the foreground and out of it again.
struct Visit {
  const char* name;
  bool secureDesktop;
  uint32_t ms;
};
void PrintTo(const Visit& visit, std::ostream* out) { *out << visit.name; }
class AwayFromOurDesktop : public KeyboardSession, public ::testing::WithParamInterface<Visit> {};
INSTANTIATE_TEST_SUITE_P(Visits, AwayFromOurDesktop,
                         ::testing::Values(Visit{"SecureDesktopFor200ms", true, 200},
                                           Visit{"SecureDesktopFor2s", true, 2000},
                                           Visit{"ElevatedWindowFor200ms", false, 200}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(AwayFromOurDesktop, KeysReleasedThereWakeNoWorkerForLongAndRepeatOnTheirNextPress) {
  const Visit& visit = GetParam();
  Start();
  Press(VK_LCONTROL);
  Press(VK_LMENU);
  if (visit.secureDesktop) {
    sim::SetSecureDesktop(true);
  } else {
    sim::SetForegroundWindow(sim::Window(3));
    sim::SetForegroundElevated(true);
  }
  sim::Release(VK_LMENU);
  sim::Release(VK_LCONTROL);
  Wait(visit.ms);
  sim::SetSecureDesktop(false);
  sim::SetForegroundElevated(false);
  sim::SetForegroundWindow(kEditor);
  Wait(2500 - visit.ms);
  const uint64_t waits = sim::CallCount(sim::Call::WaitForSingleObject);
  Wait(10000);
  EXPECT_EQ(sim::CallCount(sim::Call::WaitForSingleObject), waits);
  EXPECT_EQ(sim::CallCount(sim::Call::timeBeginPeriod), 0u);

  Press(VK_LCONTROL);  // at 12500
  Wait(540);
  Release(VK_LCONTROL);
  Press(VK_LMENU);  // at 13040
  Wait(540);
  EXPECT_EQ(Injected(), "13033:+1D 13573:+38");
}

TEST_P(Repeating, APressWithNoForegroundWindowNeverRepeatsAndNeverResets) {
  sim::SetForegroundWindow(nullptr);
  Start();
  Press(VK_LSHIFT);
  Wait(1100);
  const uint64_t waits = sim::CallCount(sim::Call::WaitForSingleObject);
  Wait(1000);
  EXPECT_EQ(Injected(), "");
  EXPECT_EQ(keySlots[0].held.load(), 1);
  EXPECT_EQ(keySlots[0].generation.load(), 1u) << "only the press changed the slot";
  EXPECT_GT(sim::CallCount(sim::Call::WaitForSingleObject), waits) << "read down, the key is not taken for released";
}

TEST_P(Repeating, InjectionsThatAreNotAcceptedEndTheBurstWithoutCompensation) {
  Start();
  Press(VK_LSHIFT);
  sim::FailCall(sim::Call::SendInput);
  Wait(1100);
  EXPECT_EQ(Injected(), "1066:+2A 1099:+2A") << "re-armed after the refused injection";

  // Refused while the release was already recorded: nothing landed, so nothing is owed.
  sim::BeforeNextCall(sim::Call::SendInput, [] {
    sim::Release(VK_LSHIFT);
    sim::DeliverInput();
    sim::FailCall(sim::Call::SendInput);
  });
  Wait(100);
  EXPECT_EQ(CountInjected(/*up=*/true), 0);
}

TEST_P(Repeating, AFailedWaitCountsAsATimeOutAndKeepsTheSchedule) {
  Start();
  Press(VK_LSHIFT);
  Wait(540);
  // After the repeat at 533 the worker waits half the interval, to 549, then the rest to the
  // due time: that second wait fails at once.
  sim::ForceWaitResult(keySlots[0].wakeEvent, WAIT_FAILED);
  Wait(60);
  EXPECT_EQ(Injected(), "533:+2A 549:+2A 599:+2A") << "not taken for a wake-up, which would re-arm, nor retried";
}

TEST_P(Repeating, AStopEndsEachWorkerWithinOneWaitAndStillSendsAnOwedKeyUp) {
  Start();
  Press(VK_LSHIFT);
  Wait(560);  // mid-burst, waiting out an interval
  // Owed for a release the hook saw (left Ctrl) and void for a key held again (left Alt).
  keySlots[1].releaseTime.store(sim::NowTicks());
  keySlots[1].releasePending.store(1);
  keySlots[2].held.store(1);
  keySlots[2].releasePending.store(1);
  Stop();
  EXPECT_EQ(Injected(), "533:+2A 560:-1D");
  EXPECT_EQ(keySlots[2].releasePending.load(), 0);
}

}  // namespace
