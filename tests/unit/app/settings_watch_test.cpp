// The user's settings followed while the workers run: a change reaches the next arming, Filter
// Keys governs the repeats while it is on, and nothing written is lost or read twice.
#include "app/settings_watch.h"
#include "tests/unit/keyboard_session.h"

namespace {

using SettingsWatch = KeyboardSession;

// What the message loop does with the watch: each event its wait finds signalled (and so resets)
// goes to the handler.
int DeliverSettingsChanges() {
  HANDLE handles[kSettingsWatchHandles];
  int delivered = 0;
  for (int i = SettingsWatchHandles(handles, kSettingsWatchHandles); i-- > 0;) {
    delivered += WaitForSingleObject(handles[i], 0) == WAIT_OBJECT_0 && HandleSettingsChange(handles[i]);
  }
  return delivered;
}

TEST_F(SettingsWatch, AChangeReachesTheNextArmingWhileABurstInProgressKeepsItsInterval) {
  Start();  // the workers, then the watch, as the program starts them
  StartSettingsWatch();
  EXPECT_FALSE(HandleSettingsChange(keySlots[0].wakeEvent));
  Press(VK_LSHIFT);
  Wait(560);
  // Mid-burst, the slowest rate and the longest delay; the second write finds no registration
  // pending (a settings page writes several values, or the same ones again): one read.
  sim::SetRegistryText(L"KeyboardSpeed", u"0");
  sim::SetRegistryDword(L"KeyboardDelay", 3);
  EXPECT_EQ(DeliverSettingsChanges(), 1);
  Wait(30);
  Release(VK_LSHIFT);
  Press(VK_LSHIFT);
  Wait(2100);
  EXPECT_EQ(Injected(), "533:+2A 566:+2A 2090:+2A 2590:+2A");
}

TEST_F(SettingsWatch, FilterKeysGovernsTheRepeatsWhileItIsOn) {
  Start();
  StartSettingsWatch();
  sim::SetFilterKeys(FKF_FILTERKEYSON, 1000, 0);  // on, with repeat off
  EXPECT_EQ(DeliverSettingsChanges(), 1);
  Press(VK_LSHIFT);
  EXPECT_EQ(sim::TimedWaiters(), 0) << "a worker armed";
  Release(VK_LSHIFT);

  sim::SetFilterKeys(FKF_FILTERKEYSON, 700, 32);  // its own timings, the interval below the floor
  EXPECT_EQ(DeliverSettingsChanges(), 1);
  Press(VK_LSHIFT);
  Wait(780);
  Release(VK_LSHIFT);

  sim::SetFilterKeys(0, 700, 32);  // off: the keyboard's values again
  EXPECT_EQ(DeliverSettingsChanges(), 1);
  Press(VK_LCONTROL);
  Wait(540);
  EXPECT_EQ(Injected(), "733:+2A 766:+2A 1313:+1D");
}

TEST_F(SettingsWatch, AWriteDuringTheReadIsHeardAndWhatCannotBeWatchedOrReadKeepsWhatWasRead) {
  sim::SetRegistryDword(L"KeyboardDelay", 2);
  sim::FailCall(sim::Call::RegNotifyChangeKeyValue, 2);  // the Filter Keys key goes unwatched
  Start();
  StartSettingsWatch();
  HANDLE handles[kSettingsWatchHandles];
  EXPECT_EQ(SettingsWatchHandles(handles, kSettingsWatchHandles), 1);
  EXPECT_EQ(SettingsWatchHandles(handles, 0), 0);

  // The rate is written again just after the read took it: registered first, the watch hears it.
  sim::SetRegistryText(L"KeyboardSpeed", u"20");
  sim::BeforeNextCall(sim::Call::RegCloseKey, [] { sim::SetRegistryText(L"KeyboardSpeed", u"0"); });
  EXPECT_EQ(DeliverSettingsChanges(), 1);
  EXPECT_EQ(DeliverSettingsChanges(), 1) << "the write during the read went unheard";

  // A text too long to read falls back to the default, as at start; a registration that fails
  // still lets its read through.
  sim::FailCall(sim::Call::RegNotifyChangeKeyValue);
  sim::SetRegistryText(L"KeyboardSpeed", std::u16string(65, u'1'));
  EXPECT_EQ(DeliverSettingsChanges(), 1);
  Press(VK_LSHIFT);
  Wait(820);
  EXPECT_EQ(Injected(), "783:+2A 816:+2A");
}

}  // namespace
