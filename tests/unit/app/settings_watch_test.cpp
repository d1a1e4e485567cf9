// The user's settings followed while the program runs: a change reaches the next arming, Filter
// Keys governs the repeats while it is on, and nothing written is lost or read twice.
#include "tests/unit/keyboard_session.h"

namespace {

using SettingsWatch = KeyboardSession;

// Each read of the settings asks for Filter Keys once.
uint64_t Reads() { return sim::CallCount(sim::Call::SystemParametersInfoW); }

TEST_F(SettingsWatch, AChangeReachesTheNextArmingWhileABurstInProgressKeepsItsInterval) {
  StartVelmora();
  Press(VK_LSHIFT);
  Wait(560);
  // Mid-burst, the slowest rate; the longest delay and the same again are written before the watch
  // registers once more, and so are read with the rate: a settings page's writes cost one read.
  const uint64_t reads = Reads();
  sim::BeforeNextCall(sim::Call::RegNotifyChangeKeyValue, [] {
    sim::SetRegistryDword(L"KeyboardDelay", 3);
    sim::SetRegistryDword(L"KeyboardDelay", 3);
  });
  sim::SetRegistryText(L"KeyboardSpeed", u"0");
  sim::Settle();
  EXPECT_EQ(Reads() - reads, 1u);
  Wait(30);
  Release(VK_LSHIFT);
  Press(VK_LSHIFT);
  Wait(2100);
  EXPECT_EQ(Injected(), "533:+2A 566:+2A 2090:+2A 2590:+2A");
  QuitVelmora();
}

TEST_F(SettingsWatch, FilterKeysGovernsTheRepeatsInEachOfItsModes) {
  StartVelmora();
  sim::SetFilterKeys(FKF_FILTERKEYSON, 1000, 0);  // RepeatKeys turned to no repeat at all
  Press(VK_LSHIFT);
  EXPECT_EQ(sim::TimedWaiters(), 0) << "a worker armed";
  Release(VK_LSHIFT);

  sim::SetFilterKeys(FKF_FILTERKEYSON, 2000, 1000);  // RepeatKeys later and slower than the slider goes
  Press(VK_LSHIFT);
  Wait(4100);
  Release(VK_LSHIFT);

  sim::SetFilterKeys(FKF_FILTERKEYSON, 0, 0, 500);  // BounceKeys: the keyboard's delay and rate
  Press(VK_LCONTROL);
  Wait(540);
  Release(VK_LCONTROL);

  sim::SetFilterKeys(0, 700, 32);  // off: the keyboard's values again
  Press(VK_RSHIFT);
  Wait(540);
  EXPECT_EQ(Injected(), "2000:+2A 3000:+2A 4000:+2A 4633:+1D 5173:+36");
  QuitVelmora();
}

TEST_F(SettingsWatch, AWriteDuringTheReadIsHeardAndWhatCannotBeWatchedOrReadKeepsWhatWasRead) {
  sim::SetRegistryDword(L"KeyboardDelay", 2);
  sim::FailCall(sim::Call::RegNotifyChangeKeyValue, 2);  // the Filter Keys key goes unwatched
  StartVelmora();
  sim::SetFilterKeys(FKF_FILTERKEYSON, 1000, 0);  // unheard: the keyboard's values go on
  Press(VK_LSHIFT);
  Wait(800);
  Release(VK_LSHIFT);
  EXPECT_EQ(Injected(), "783:+2A");
  sim::SetFilterKeys(0, 1000, 0);

  // The rate is written again just after the read took it: registered first, the watch hears it.
  const uint64_t reads = Reads();
  sim::BeforeNextCall(sim::Call::RegCloseKey, [] { sim::SetRegistryText(L"KeyboardSpeed", u"0"); });
  sim::SetRegistryText(L"KeyboardSpeed", u"20");
  sim::Settle();
  EXPECT_EQ(Reads() - reads, 2u) << "the write during the read went unheard";

  // A text too long to read falls back to the default, as at start; a registration that fails
  // still lets its read through.
  sim::FailCall(sim::Call::RegNotifyChangeKeyValue);
  sim::SetRegistryText(L"KeyboardSpeed", std::u16string(65, u'1'));
  Press(VK_LSHIFT);  // at 800
  Wait(820);
  EXPECT_EQ(InjectedSince(800), "783:+2A 816:+2A");
  QuitVelmora();
}

TEST_F(SettingsWatch, AWaitThatFailsStopsTheWatchAndKeepsWhatWasRead) {
  StartVelmora();
  sim::FailCall(sim::Call::MsgWaitForMultipleObjectsEx);
  Type('A');  // the loop's next wait fails: waiting on the same events again could fail for ever
  sim::SetRegistryText(L"KeyboardDelay", u"3");
  Press(VK_LSHIFT);
  Wait(540);
  EXPECT_EQ(Injected(), "533:+2A");
  QuitVelmora();
}

}  // namespace
