// Windows' input as it is, not an ideal keyboard: keys the layout makes up, keys extended in one
// view only, text typed as VK_PACKET. Only real keys are keys, and the two views still pair.
#include "tests/unit/keyboard_session.h"

namespace {

using RealKeys = KeyboardSession;

uint64_t HookInstalls() { return sim::CallCount(sim::Call::SetWindowsHookExW); }

TEST_F(RealKeys, AltGrHeldAfterACharacterRepeatsNoLeftCtrlAndOwesNothing) {
  for (bool rawShowsCtrl : {false, true}) {
    SCOPED_TRACE(rawShowsCtrl ? "raw input shows the layout's left Ctrl" : "raw input shows right Alt only");
    SetUp();  // a fresh machine
    sim::SetInputFacts({.altGr = true, .rawShowsAltGrCtrl = rawShowsCtrl});
    StartVelmora();
    Press(VK_RMENU);
    Type('Q');  // AltGr+Q: '@' on a German layout
    EXPECT_NE(GetAsyncKeyState(VK_LCONTROL) & 0x8000, 0) << "the layout's left Ctrl is down meanwhile";
    Wait(1000);
    Release(VK_RMENU);
    Wait(1000);
    EXPECT_EQ(Injected(), "");
    EXPECT_EQ(keySlots[1].generation.load(), 0u) << "left Ctrl's slot never changed";
    EXPECT_EQ(HookInstalls(), 1u) << "nothing counted missed";
    QuitVelmora();
  }
}

TEST_F(RealKeys, ShiftHeldAcrossAKeypadKeyWithNumLockOnIsNeverReleasedByUsAndRepeatsAgainAfterIt) {
  StartVelmora();
  Type(VK_NUMLOCK);
  Press(VK_LSHIFT);  // at 0
  Wait(550);
  // The keypad key goes down just before the repeat due at 566, so that repeat lands behind the
  // layout's Shift-up in the stream: no release of the user's. The program's thread hands it to
  // the hook, as Windows calls a hook only on the thread that installed it.
  sim::BeforeNextCall(sim::Call::SendInput, [] { sim::Press(VK_NUMPAD7); });
  Wait(50);
  Release(VK_NUMPAD7);  // at 600, with the layout's Shift-down after it
  Wait(600);
  EXPECT_EQ(Injected(), "533:+2A 566:+2A 1133:+2A 1166:+2A 1199:+2A");
  EXPECT_EQ(keySlots[0].held.load(), 1);
  QuitVelmora();
}

TEST_F(RealKeys, NumLockAndRightShiftExtendedInOneViewOrBothAreNoMiss) {
  for (bool bothViews : {false, true}) {
    SCOPED_TRACE(bothViews ? "as under Wine, and our right Shift extended too" : "as on Windows");
    SetUp();  // a fresh machine
    sim::SetInputFacts({.numLockE0InRaw = bothViews, .injectedRightShiftExtended = bothViews});
    StartVelmora();
    for (int i = 0; i < 10; ++i) Type(VK_NUMLOCK);
    Press(VK_RSHIFT);
    Wait(600);  // our repeats too
    Release(VK_RSHIFT);
    Wait(1000);
    EXPECT_EQ(Injected(), RepeatTrace(533, 33, 3, 0x36));
    EXPECT_EQ(HookInstalls(), 1u);
    QuitVelmora();
  }
}

TEST_F(RealKeys, MissedTextAndRightHandKeysChangeNoSlotAndAMismatchReinstallsTheHookOnceASecond) {
  sim::SetInputFacts({.packetRawMakeCode = 0x2A});  // raw input shows '*' as left Shift's make code
  StartVelmora();
  sim::SkipHookForNextEvents(6);
  Type(VK_RCONTROL);
  Type(VK_RMENU);
  sim::TypeUnicode('*');
  Wait(1000);
  for (const KeySlot& slot : keySlots) EXPECT_EQ(slot.generation.load(), 0u);
  EXPECT_EQ(HookInstalls(), 2u) << "missed all the same";

  // An injector whose two views never pair: each of its keystrokes is a miss.
  sim::SetInputFacts({.packetRawMakeCode = 0x1E});
  for (int i = 0; i < 12; ++i) {
    sim::TypeUnicode('*');
    Wait(250);
  }
  EXPECT_GE(HookInstalls(), 2u + 3) << "a reinstall every second while it lasts";
  EXPECT_LE(HookInstalls(), 2u + 4) << "and no more";
  for (const KeySlot& slot : keySlots) EXPECT_EQ(slot.generation.load(), 0u);
  QuitVelmora();
}

}  // namespace
