// The user's own keyboard repeat settings, from the values the keyboard control panel keeps, or
// from Filter Keys while it is on, and the two waits every worker uses.
#pragma once

#include <cstdint>

#include "platform/win32.h"
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

// RepeatKeys' own repeat: kNoRepeats for an interval of 0; otherwise the first repeat at delayMs
// and then one every repeatMs, each held to 33..20,000 ms.
RepeatTimings DeriveRepeatKeysTimings(uint32_t repeatMs, uint32_t delayMs);

// Whether Filter Keys' RepeatKeys sets the repeat, as SPI_GETFILTERKEYS reports Filter Keys: on,
// with BounceKeys off.
bool RepeatKeysOn(const FILTERKEYS& filterKeys);

// What the user's settings give now: RepeatKeys' repeat while Filter Keys is on with BounceKeys
// off, else the keyboard's "KeyboardSpeed" (default 31) and "KeyboardDelay" (default 1).
RepeatTimings ReadRepeatTimings();

// The signed decimal at the start of a UTF-16 text of at most unitCount units (stopping at a
// zero unit): leading white space, an optional sign, then digits of any script the Windows
// wide-character parse accepts. No digits gives 0; out-of-range saturates.
int32_t ParseSettingText(const uint16_t* units, uint32_t unitCount);
