// Which key a key event is: one rule for the hook's view, raw input's view and our own events, so
// that the two views of one event pair and an event the hook missed finds its key.
//
// Facts about Windows this rests on:
// - A keyboard layout makes some key events up itself and marks them with SCANCODE_SIMULATED
//   (kbd.h of the Windows Driver Kit: FAKE_KEYSTROKE >> 16, 0x200). Low-level hooks get the mark
//   in scanCode (reported, not documented: KBDLLHOOKSTRUCT calls scanCode "a hardware scan code"):
//   the left Ctrl that layouts with AltGr (KLLF_ALTGR, as in the German sample kbdgr.c) send with
//   right Alt comes as 0x21D, and the Shifts lifted around keypad keys with Num Lock on as 0x22A
//   and 0x236.
// - KBDLLHOOKSTRUCT: vkCode lies in 1..254. The RAWKEYBOARD sample skips VKey 0xFF as a key "not
//   mapped to any virtual key code"; hooks get the E0 2A / E0 AA that PS/2 keyboards wrap the
//   navigation keys in as vkCode 0xFF (reported).
// - KEYBDINPUT: KEYEVENTF_UNICODE makes the system synthesize a VK_PACKET keystroke for the UTF-16
//   unit in wScan; hooks see vkCode VK_PACKET with that unit in scanCode (reported), and raw input
//   shows no such event or one whose MakeCode may be anything (reported).
// - The US layout sample (kbdus.c) marks right Shift (make code 0x36) and Num Lock (0x45) KBDEXT,
//   so hooks flag both LLKHF_EXTENDED (reported for hooks). The keyboard sends both without the E0
//   prefix (Microsoft's USB HID to PS/2 Scan Code Translation Table, whose Set 1 make codes
//   RAWKEYBOARD reports), so raw input gives neither RI_KEY_E0 on Windows; Wine 8 does give Num
//   Lock RI_KEY_E0 (seen with keytrace --raw).
// - RAWKEYBOARD: VKey is "the corresponding legacy virtual-key code": VK_SHIFT, VK_CONTROL and
//   VK_MENU for either key of a pair (reported, on Windows and under Wine 8), where hooks give
//   VK_LSHIFT, VK_RSHIFT and so on.
#pragma once

#include <cstdint>

#include "platform/win32.h"

inline constexpr DWORD kSimulatedScanCodeBit = 0x200;
inline constexpr uint16_t kRightShiftMakeCode = 0x36;
inline constexpr uint16_t kNumLockMakeCode = 0x45;

struct KeyIdentity {
  uint16_t makeCode;
  bool e0;
};

// The make code without the simulated mark, so that a made-up key that raw input does show still
// pairs; the E0 prefix except for the two make codes that one view flags extended and the other
// may not. (Our own events, injected by scan code with no extended flag, are matched to a key by
// make code alone: tracking/key_event_effects.h.)
inline KeyIdentity IdentifyKey(DWORD scanCode, bool e0) {
  const auto makeCode = static_cast<uint16_t>(scanCode & ~kSimulatedScanCodeBit);
  return {makeCode, e0 && makeCode != kRightShiftMakeCode && makeCode != kNumLockMakeCode};
}

// A hook event the layout made up is activity, never a press or release of a key. (A key mapped to
// no virtual key, and text, need no such test: 0xFF and VK_PACKET are no monitored key's vkCode.)
inline bool MadeUpByLayout(DWORD scanCode) { return (scanCode & kSimulatedScanCodeBit) != 0; }

// The virtual key raw input reports for a key that hooks report as virtualKey.
inline DWORD GenericVirtualKey(DWORD virtualKey) {
  switch (virtualKey) {
    case VK_LSHIFT:
    case VK_RSHIFT:
      return VK_SHIFT;
    case VK_LCONTROL:
    case VK_RCONTROL:
      return VK_CONTROL;
    case VK_LMENU:
    case VK_RMENU:
      return VK_MENU;
    default:
      return virtualKey;
  }
}
