// ReadKeyboardSetting against whatever the registry may hold under Control Panel\Keyboard.
//
// Input layout (bytes read from the front; a short input reads as zeros):
//   0      scenario: bits 0-1 key (3 = absent), bits 2-3 value (3 = stored under another name),
//          bit 4 which name is read, bits 5-6 a failing call (2 = open, 3 = query)
//   1      type selector (low 4 bits); 13-15 take the raw type from bytes 2-5
//   2-5    raw type
//   6-9    default value
//   10-12  length selector and two bytes for the longer lengths
//   13..   pattern, repeated to the chosen length
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/keyboard_settings.h"
#include "platform/sim/sim.h"
#include "tests/fuzz/fuzz_reader.h"

namespace {

[[noreturn]] __attribute__((format(printf, 1, 2))) void Fail(const char* format, ...) {
  std::fputs("fuzz_settings: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::abort();
}

#define CHECK(cond, ...)            \
  do {                              \
    if (!(cond)) Fail(__VA_ARGS__); \
  } while (0)

// The digits, found by distance from each script's zero.
constexpr char16_t kZeros[] = {u'\u0030', u'\u0660', u'\u06F0', u'\u0966', u'\u09E6', u'\u0A66',
                               u'\u0AE6', u'\u0B66', u'\u0C66', u'\u0CE6', u'\u0D66', u'\u0E50',
                               u'\u0ED0', u'\u0F20', u'\u1040', u'\u17E0', u'\u1810', u'\uFF10'};

int ReferenceDigit(char16_t unit) {
  for (char16_t zero : kZeros) {
    const char16_t offset = static_cast<char16_t>(unit - zero);  // wraps for units below zero
    if (offset <= 9) return offset;
  }
  return -1;
}

// Unicode White_Space, plus the byte-order mark.
bool ReferenceBlank(char16_t unit) {
  struct Range {
    char16_t first, last;
  };
  static constexpr Range kBlanks[] = {{0x0009, 0x000D}, {0x0020, 0x0020}, {0x0085, 0x0085},
                                      {0x00A0, 0x00A0}, {0x1680, 0x1680}, {0x2000, 0x200A},
                                      {0x2028, 0x2029}, {0x202F, 0x202F}, {0x205F, 0x205F},
                                      {0x3000, 0x3000}, {0xFEFF, 0xFEFF}};
  for (const Range& r : kBlanks) {
    if (unit >= r.first && unit <= r.last) return true;
  }
  return false;
}

// A second parse, signed and clamped at every digit, over the returned bytes as text.
int32_t ReferenceParse(const std::vector<uint8_t>& bytes) {
  std::u16string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const char16_t unit = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    if (unit == 0) break;
    text.push_back(unit);
  }
  size_t at = 0;
  while (at < text.size() && ReferenceBlank(text[at])) ++at;
  int64_t sign = 1;
  if (at < text.size() && (text[at] == u'+' || text[at] == u'-')) {
    if (text[at] == u'-') sign = -1;
    ++at;
  }
  int64_t value = 0;
  for (; at < text.size(); ++at) {
    const int digit = ReferenceDigit(text[at]);
    if (digit < 0) break;
    value = value * 10 + sign * digit;
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
  }
  return static_cast<int32_t>(value);
}

DWORD PickType(FuzzReader& in) {
  const uint8_t selector = in.Byte() & 0x0F;
  const uint32_t raw = in.Word();
  static constexpr DWORD kTypes[] = {REG_SZ,    REG_SZ,     REG_SZ,       REG_SZ,    REG_EXPAND_SZ,
                                     REG_EXPAND_SZ, REG_DWORD, REG_DWORD, REG_DWORD, REG_QWORD,
                                     REG_BINARY, REG_MULTI_SZ, REG_NONE};
  return selector < sizeof kTypes / sizeof kTypes[0] ? kTypes[selector] : raw;
}

size_t PickLength(FuzzReader& in) {
  const uint8_t selector = in.Byte();
  const uint16_t extra = static_cast<uint16_t>(in.Byte() | (in.Byte() << 8));
  switch (selector % 8) {
    case 0: return 0;
    case 1: return 128;  // exactly the product's buffer
    case 2: return 127;
    case 3: return 129;
    case 4: return 4;
    case 5: return 130 + extra % 4000;
    case 6: return SIZE_MAX;  // the pattern as it is
    default: return extra & 0xFF;
  }
}

void CheckTimings(int32_t value) {
  static constexpr int32_t kOthers[] = {INT32_MIN, -1, 0, 1, 2, 3, 4, 15, 31, 32, INT32_MAX};
  for (int32_t other : kOthers) {
    for (const RepeatTimings t : {DeriveRepeatTimings(value, other), DeriveRepeatTimings(other, value)}) {
      CHECK(t.repeatIntervalMs >= 33 && t.repeatIntervalMs <= 500,
            "repeat interval %u ms, out of 33..500, with %d and %d", t.repeatIntervalMs, value, other);
      CHECK(t.armDelayMs >= 283 && t.armDelayMs <= 1500, "arm delay %u ms, out of 283..1500, with %d and %d",
            t.armDelayMs, value, other);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzReader in(data, size);
  const uint8_t scenario = in.Byte();
  const bool keyPresent = (scenario & 0x03) != 0x03;
  const bool valueUnderName = (scenario & 0x0C) != 0x0C;
  const wchar_t* name = (scenario & 0x10) ? L"KeyboardDelay" : L"KeyboardSpeed";
  const wchar_t* otherName = (scenario & 0x10) ? L"KeyboardSpeed" : L"KeyboardDelay";
  const int failing = (scenario >> 5) & 0x03;
  const DWORD type = PickType(in);
  const int32_t defaultValue = static_cast<int32_t>(in.Word());
  const size_t length = PickLength(in);
  std::vector<uint8_t> pattern = in.Rest();
  if (pattern.empty()) pattern = {'9', 0};
  std::vector<uint8_t> bytes;
  if (length == SIZE_MAX) {
    bytes = pattern;
  } else {
    bytes.resize(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = pattern[i % pattern.size()];
  }

  sim::Reset();
  sim::SetCallLogging(false);
  sim::SetKeyboardKeyPresent(keyPresent);
  sim::SetRegistryValue(valueUnderName ? name : otherName, type, bytes);
  if (failing == 2) sim::FailCall(sim::Call::RegOpenKeyExW);
  if (failing == 3) sim::FailCall(sim::Call::RegQueryValueExW);

  const KeyboardSetting got = ReadKeyboardSetting(name, defaultValue);

  // What the value should read as.
  KeyboardSetting want = {defaultValue, false};
  const bool readable = keyPresent && valueUnderName && failing < 2 && bytes.size() <= 128;
  if (readable && type == REG_DWORD && bytes.size() >= 4) {
    std::memcpy(&want.value, bytes.data(), 4);
    want.found = true;
  } else if (readable && (type == REG_SZ || type == REG_EXPAND_SZ)) {
    want = {ReferenceParse(bytes), true};
  }

  if (!got.found) {
    CHECK(got.value == defaultValue, "not found, yet %d instead of the default %d", got.value, defaultValue);
  } else {
    CHECK(type == REG_SZ || type == REG_EXPAND_SZ || type == REG_DWORD, "found a value of type %u", type);
    CHECK(bytes.size() <= 128, "found a value of %zu bytes, more than the 128 read", bytes.size());
  }
  CHECK(got.found == want.found, "found is %d, expected %d (type %u, %zu bytes)", got.found, want.found, type,
        bytes.size());
  CHECK(got.value == want.value, "read %d, expected %d (type %u, %zu bytes)", got.value, want.value, type,
        bytes.size());
  CheckTimings(got.value);

  const std::vector<std::string> open = sim::OpenHandles();
  CHECK(open.empty(), "left open: %s", open.empty() ? "" : open.front().c_str());
  const std::vector<std::string> problems = sim::Problems();
  CHECK(problems.empty(), "%s", problems.empty() ? "" : problems.front().c_str());
  return 0;
}
