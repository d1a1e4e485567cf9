// The user's own keyboard repeat settings, read once at start from the values the keyboard
// control panel keeps, and the two waits every worker uses.
#pragma once

#include <cstdint>

#include "tracking/repeat_timings.h"

struct KeyboardSetting {
  int32_t value;
  bool found;
};

// HKCU "Control Panel\Keyboard" valueName as a number: a REG_DWORD, or a REG_SZ / REG_EXPAND_SZ
// text parsed as a signed decimal. Anything missing or unusable gives defaultValue, not found.
KeyboardSetting ReadKeyboardSetting(const wchar_t* valueName, int32_t defaultValue);

// speed 0..31 (31 fastest) and delay 0..3, clamped, to milliseconds.
RepeatTimings DeriveRepeatTimings(int32_t speed, int32_t delay);

// The signed decimal at the start of a UTF-16 text of at most unitCount units (stopping at a
// zero unit): leading white space, an optional sign, then digits of any script the Windows
// wide-character parse accepts. No digits gives 0; out-of-range saturates.
int32_t ParseSettingText(const uint16_t* units, uint32_t unitCount);
