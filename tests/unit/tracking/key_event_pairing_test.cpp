// The pairing's verdicts through its interface, as keytrace prints them: Velmora acts on misses
// only, and its own tests see nothing of the pairs, the events only the hook saw and the unknown.
#include "tracking/key_event_pairing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string verdicts;

// A view as it was given: the key event (+ down, - up, E0, scan code), then vk and flags.
std::string View(const KeyStroke& k) {
  char text[32];
  std::snprintf(text, sizeof text, "%c%s%02X(%X,%X)", k.up ? '-' : '+', k.extended ? "E0" : "", k.scanCode,
                static_cast<unsigned>(k.virtualKey), static_cast<unsigned>(k.viewFlags));
  return text;
}
void Paired(const KeyStroke& hook, const KeyStroke& raw) { verdicts += " paired " + View(hook) + "=" + View(raw); }
void HookOnly(const KeyStroke& hook) { verdicts += " hook-only " + View(hook); }
void Missed(const KeyStroke& raw, const KeyStroke*, int) { verdicts += " raw-only " + View(raw); }
void Waiting(const KeyStroke& raw) { verdicts += " waiting " + View(raw); }
void Unknown(const KeyStroke& raw) { verdicts += " unknown " + View(raw); }
constexpr PairingVerdicts kVerdicts = {Paired, HookOnly, Missed, Waiting, Unknown};

TEST(KeyEventPairing, PairsEachHookEventWithItsRawEventInEitherOrderAndTellsWhatOnlyTheHookSaw) {
  KeyEventPairing pairing = {};
  verdicts.clear();
  const auto hook = [&](DWORD scan, DWORD flags, DWORD tick) {
    PairHookEvent(pairing, KBDLLHOOKSTRUCT{scan + 0x100, scan, flags, tick, 0}, kVerdicts);
  };
  const auto raw = [&](USHORT makeCode, USHORT flags, DWORD tick) {
    PairRawEvent(pairing, RAWKEYBOARD{makeCode, flags, 0, static_cast<USHORT>(makeCode + 0x200), 0, 0}, tick, 0,
                 kVerdicts);
  };
  hook(0x1E, 0, 10), raw(0x1E, 0, 10);                                    // as usual
  raw(0x30, RI_KEY_BREAK, 20), hook(0x30, LLKHF_UP, 20);                  // raw input first
  hook(0x2E, 0, 30), hook(0x20, 0, 31), raw(0x20, 0, 31);                 // one swallowed behind the hook
  hook(0x36, LLKHF_EXTENDED | LLKHF_UP, 40), raw(0x36, RI_KEY_BREAK, 40);  // right Shift
  hook(0x1D, LLKHF_EXTENDED, 50), raw(0x1D, RI_KEY_E0, 50);
  raw(0x12, 0, 55), hook(0x17, 0, 55), raw(0x17, 0, 55);                 // the hook passed one by
  for (DWORD i = 0; i <= kUnmatchedCapacity; ++i) hook(0x10 + i, 0, 60);  // the ring overflows
  raw(0x10, 0, 60), raw(0x11, 0, 60);  // the raw input of the one it dropped cannot be compared
  pairing = {};
  hook(0x10, 0, 80);
  for (DWORD i = 1; i <= kUnmatchedCapacity; ++i) hook(0x10 + i, 0, 81);
  raw(0x33, 0, 81);  // later than the dropped one, which was swallowed behind the hook
  EXPECT_EQ(verdicts,
            " paired +1E(11E,0)=+1E(21E,0)"
            " waiting -30(230,1) paired -30(130,80)=-30(230,1)"
            " hook-only +2E(12E,0) paired +20(120,0)=+20(220,0)"
            " paired -36(136,81)=-36(236,1)"
            " paired +E01D(11D,1)=+E01D(21D,2)"
            " waiting +12(212,0) raw-only +12(212,0) paired +17(117,0)=+17(217,0)"
            " hook-only +10(110,0) unknown +10(210,0) paired +11(111,0)=+11(211,0)"
            " hook-only +10(110,0) raw-only +33(233,0)");
  verdicts.clear(), pairing = {};
  for (DWORD i = 0; i <= kUnmatchedCapacity; ++i) raw(0x10 + i, 0, 90);  // no room for the last
  EXPECT_TRUE(verdicts.ends_with(" waiting +1F(21F,0) unknown +20(220,0)")) << verdicts;
}

}  // namespace
