#include "app/keyboard_settings.h"

#include <cstring>

#include "platform/win32.h"

namespace {

constexpr DWORD kValueBufferBytes = 128;  // 64 UTF-16 units

// The first code point of each run of ten decimal digits that the Windows wide-character number
// parse accepts (ASCII, Arabic-Indic, Devanagari, ..., fullwidth).
constexpr uint16_t kDigitZeros[] = {0x0030, 0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66,
                                    0x0AE6, 0x0B66, 0x0C66, 0x0CE6, 0x0D66, 0x0E50,
                                    0x0ED0, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10};

int DigitValue(uint16_t unit) {
  for (uint16_t zero : kDigitZeros) {
    if (unit >= zero && unit < zero + 10) return unit - zero;
  }
  return -1;
}

bool IsBlank(uint16_t unit) {
  return unit == 0x20 || (unit >= 0x09 && unit <= 0x0D) || unit == 0xA0 || unit == 0x3000 ||
         unit == 0xFEFF || (unit >= 0x2000 && unit <= 0x200A) || unit == 0x1680 ||
         unit == 0x2028 || unit == 0x2029 || unit == 0x202F || unit == 0x205F || unit == 0x85;
}

}  // namespace

int32_t ParseSettingText(const uint16_t* units, uint32_t unitCount) {
  uint32_t i = 0;
  while (i < unitCount && units[i] != 0 && IsBlank(units[i])) ++i;
  bool negative = false;
  if (i < unitCount && (units[i] == u'+' || units[i] == u'-')) {
    negative = units[i] == u'-';
    ++i;
  }
  // Accumulated as a magnitude up to 2^31, which is exactly INT32_MIN's.
  constexpr int64_t kLimit = int64_t{1} << 31;
  int64_t magnitude = 0;
  for (; i < unitCount; ++i) {
    const int digit = DigitValue(units[i]);
    if (digit < 0) break;
    magnitude = magnitude * 10 + digit;
    if (magnitude > kLimit) magnitude = kLimit;
  }
  if (negative) return static_cast<int32_t>(-magnitude);
  return static_cast<int32_t>(magnitude >= kLimit ? kLimit - 1 : magnitude);
}

KeyboardSetting ReadKeyboardSetting(const wchar_t* valueName, int32_t defaultValue) {
  const KeyboardSetting fallback = {defaultValue, false};
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Keyboard", 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    return fallback;
  }
  uint16_t buffer[kValueBufferBytes / 2] = {};
  DWORD type = REG_NONE;
  DWORD size = kValueBufferBytes;
  const LSTATUS status = RegQueryValueExW(key, valueName, nullptr, &type,
                                          reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(key);
  // ERROR_MORE_DATA (a value larger than the buffer) lands here too.
  if (status != ERROR_SUCCESS) return fallback;

  if (type == REG_DWORD) {
    if (size < 4) return fallback;
    int32_t value;
    std::memcpy(&value, buffer, sizeof value);
    return {value, true};
  }
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    // The stored text need not end in a zero: never read past the buffer, nor past what the
    // query returned.
    const DWORD bytes = size < kValueBufferBytes ? size : kValueBufferBytes;
    return {ParseSettingText(buffer, bytes / 2), true};
  }
  return fallback;
}

RepeatTimings DeriveRepeatTimings(int32_t speed, int32_t delay) {
  const int32_t s = speed < 0 ? 0 : (speed > 31 ? 31 : speed);
  // The IBM PC/AT typematic rule: period = (8 + A) * 2^B * 25/6 ms for rate code A + 8B,
  // rounded to the nearest millisecond.
  const int32_t code = 31 - s;
  const int32_t mantissa = code & 7;
  const int32_t exponent = code >> 3;
  const int32_t interval = (((8 + mantissa) << exponent) * 25 + 3) / 6;
  const int32_t d = delay < 0 ? 0 : (delay > 3 ? 3 : delay);
  // The first repeat waits the configured delay plus one interval.
  return {static_cast<uint32_t>(interval), static_cast<uint32_t>(250 * (d + 1) + interval)};
}

RepeatTimings DeriveRepeatKeysTimings(uint32_t repeatMs, uint32_t delayMs) {
  if (repeatMs == 0) return kNoRepeats;
  // "The maximum value for the iBounceMSec, iWaitMSec, iDelayMSec, and iRepeatMSec members is
  // 20,000 milliseconds" (FILTERKEYS, remarks). Below 33 ms the workers' waits would come close
  // to a busy loop. People turn RepeatKeys on for repeats slower and later than the keyboard's
  // slider allows, so its ceilings (500 and 1000 ms) do not apply here.
  constexpr uint32_t kFloorMs = 33;
  constexpr uint32_t kCeilingMs = 20000;
  const auto bound = [](uint32_t ms) { return ms < kFloorMs ? kFloorMs : (ms > kCeilingMs ? kCeilingMs : ms); };
  // iDelayMSec is how long a key is held "before it begins to repeat" (FILTERKEYS): the first
  // repeat comes then, with no interval added as the keyboard's rule adds one.
  return {bound(repeatMs), bound(delayMs)};
}

bool RepeatKeysOn(const FILTERKEYS& filterKeys) {
  return (filterKeys.dwFlags & FKF_FILTERKEYSON) != 0 && filterKeys.iBounceMSec == 0;
}

RepeatTimings ReadRepeatTimings() {
  // Filter Keys has two modes (FILTERKEYS, remarks): "The iBounceMSec member controls the
  // BounceKeys feature, and the iWaitMSec, iDelayMSec, and iRepeatMSec members work together to
  // control the RepeatKeys and SlowKeys features. If BounceKeys is on (that is, if iBounceMSec is
  // nonzero), then RepeatKeys and SlowKeys are off (that is, the iWaitMSec, iDelayMSec, and
  // iRepeatMSec members must all be zero)"; with BounceKeys off the three "must all be nonzero".
  // SPI_GETFILTERKEYS wants cbSize and uiParam set to the structure's size (SystemParametersInfoW).
  // - Filter Keys off, or BounceKeys on: RepeatKeys is off, as documented, and a held key repeats
  //   at the keyboard's delay and rate. That last part is inferred, not documented: BounceKeys
  //   only decides which presses count.
  // - RepeatKeys on: its own delay and interval. An iRepeatMSec of 0 there, which the page rules
  //   out, is reported to stand for "no keyboard repeat": the registry keeps "Last Valid Delay" and
  //   "Last Valid Repeat" under Control Panel\Accessibility\Keyboard Response beside
  //   "AutoRepeatDelay" and "AutoRepeatRate" for when it is turned on again.
  // - SlowKeys (iWaitMSec) decides when a press is accepted. Whether a low-level hook is given a
  //   press it delays at once or only once it is accepted is not documented: either way the arm
  //   delay runs from the last event the hook was given, and iWaitMSec changes nothing here.
  // A call that fails counts as Filter Keys off.
  FILTERKEYS filterKeys = {};
  filterKeys.cbSize = sizeof filterKeys;
  if (SystemParametersInfoW(SPI_GETFILTERKEYS, sizeof filterKeys, &filterKeys, 0) != FALSE &&
      RepeatKeysOn(filterKeys)) {
    return DeriveRepeatKeysTimings(filterKeys.iRepeatMSec, filterKeys.iDelayMSec);
  }
  const int32_t speed = ReadKeyboardSetting(L"KeyboardSpeed", 31).value;
  const int32_t delay = ReadKeyboardSetting(L"KeyboardDelay", 1).value;
  return DeriveRepeatTimings(speed, delay);
}
