// The keyboard settings against whatever the registry may hold under Control Panel\Keyboard, and
// the text parse against texts of any length. Checked for every input: nothing is read past a
// buffer (AddressSanitizer, with the text in a block of exactly its size), a value not found is
// the default, a found value is of a type the reader takes and fits its buffer, the waits derived
// from any value stay in their ranges, and the key is closed.
//
// Input: byte 0 the scenario (bits 0-1: 3 = no key; bits 2-3: 1 = opening fails, 2 = the query
// fails; bit 4: read KeyboardDelay, else KeyboardSpeed), byte 1 the type (below 12 one of kTypes,
// else the byte itself), bytes 2-3 the length the pattern is repeated to (0: the pattern as it
// is), then the pattern.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/keyboard_settings.h"
#include "platform/sim/sim.h"

namespace {

void Check(bool ok, const char* what, int32_t value) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_settings: %s (value %d)\n", what, value);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  static constexpr DWORD kTypes[] = {REG_SZ,    REG_SZ,     REG_SZ,       REG_EXPAND_SZ, REG_EXPAND_SZ, REG_DWORD,
                                     REG_DWORD, REG_QWORD, REG_BINARY, REG_MULTI_SZ,  REG_NONE,      0x1234};
  const DWORD type = data[1] < 12 ? kTypes[data[1]] : data[1];
  const size_t length = (data[2] | data[3] << 8) % 4097;
  std::vector<BYTE> bytes(data + 4, data + size);
  if (length != 0 && !bytes.empty()) {
    for (size_t i = bytes.size(); i < length; ++i) bytes.push_back(bytes[i % (size - 4)]);
    bytes.resize(length);
  }

  // The parse alone, over a text that ends where its block ends.
  std::vector<uint16_t> units(bytes.size() / 2);
  for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  const uint16_t* text = units.empty() ? nullptr : units.data();
  ParseSettingText(text, static_cast<uint32_t>(units.size()));

  sim::Reset();
  sim::SetCallLogging(false);
  sim::SetKeyboardKeyPresent((data[0] & 3) != 3);
  const wchar_t* name = (data[0] & 0x10) != 0 ? L"KeyboardDelay" : L"KeyboardSpeed";
  sim::SetRegistryValue(name, type, bytes);
  if ((data[0] & 0x0C) == 0x04) sim::FailCall(sim::Call::RegOpenKeyExW);
  if ((data[0] & 0x0C) == 0x08) sim::FailCall(sim::Call::RegQueryValueExW);
  const int32_t defaultValue = static_cast<int8_t>(data[0]);
  const KeyboardSetting got = ReadKeyboardSetting(name, defaultValue);

  Check(got.found || got.value == defaultValue, "not found, yet not the default", got.value);
  Check(!got.found || type == REG_SZ || type == REG_EXPAND_SZ || type == REG_DWORD, "found a value of another type",
        got.value);
  Check(!got.found || bytes.size() <= 128, "found a value longer than the 128 bytes read", got.value);
  for (const int32_t other : {INT32_MIN, -1, 0, 1, 3, 4, 31, 32, INT32_MAX}) {
    for (const RepeatTimings t : {DeriveRepeatTimings(got.value, other), DeriveRepeatTimings(other, got.value)}) {
      Check(t.repeatIntervalMs >= 33 && t.repeatIntervalMs <= 500, "repeat interval out of 33..500 ms", got.value);
      Check(t.armDelayMs >= 283 && t.armDelayMs <= 1500, "arm delay out of 283..1500 ms", got.value);
    }
  }
  Check(sim::OpenHandles().empty() && sim::Problems().empty(), "the key was left open or closed twice", got.value);
  return 0;
}
