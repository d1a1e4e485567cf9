// The user's keyboard settings, from the registry to the two waits.
#include "app/keyboard_settings.h"
#include "tests/unit/keyboard_session.h"

namespace {

using Settings = SimulatedMachineTest;

KeyboardSetting Speed() { return ReadKeyboardSetting(L"KeyboardSpeed", 31); }

TEST(RepeatTimings, FollowTheTypematicRuleAndClampTheSettings) {
  const struct {
    int32_t speed;
    uint32_t intervalMs;
  } rates[] = {{31, 33}, {30, 38}, {24, 63}, {20, 92}, {16, 125}, {8, 250}, {1, 467}, {0, 500},
               {40, 33}, {-5, 500}, {INT32_MAX, 33}, {INT32_MIN, 500}};
  for (const auto& r : rates) EXPECT_EQ(DeriveRepeatTimings(r.speed, 1).repeatIntervalMs, r.intervalMs) << r.speed;

  EXPECT_EQ(DeriveRepeatTimings(31, 1).armDelayMs, 533u);
  EXPECT_EQ(DeriveRepeatTimings(31, 0).armDelayMs, 283u);
  EXPECT_EQ(DeriveRepeatTimings(0, 3).armDelayMs, 1500u);
  EXPECT_EQ(DeriveRepeatTimings(31, 7).armDelayMs, 1033u);
  EXPECT_EQ(DeriveRepeatTimings(31, -1).armDelayMs, 283u);
  EXPECT_EQ(DeriveRepeatTimings(20, 0).armDelayMs, 342u);
  // RepeatKeys: its first repeat at its delay, each held to 33..20,000 ms and no more.
  const RepeatTimings floor = DeriveRepeatKeysTimings(32, 1);
  const RepeatTimings ceiling = DeriveRepeatKeysTimings(20001, 20001);
  const RepeatTimings slow = DeriveRepeatKeysTimings(1000, 2000);
  EXPECT_EQ(std::vector<uint32_t>({floor.repeatIntervalMs, floor.armDelayMs, ceiling.repeatIntervalMs,
                                   ceiling.armDelayMs, slow.repeatIntervalMs, slow.armDelayMs}),
            std::vector<uint32_t>({33, 33, 20000, 20000, 1000, 2000}));
}

TEST_F(Settings, TextsParseAsSignedDecimalsInAnyScriptTheSystemAccepts) {
  const struct {
    std::u16string text;
    int32_t value;
  } texts[] = {
      {u"20", 20},          {u"40", 40},   {u"-5", -5},           {u"+7", 7},
      {u" 12ab", 12},       {u"\t 3", 3},  {u"abc", 0},           {u"", 0},
      {u"-", 0},            {u"1 2", 1},   {u"99999999999", INT32_MAX},
      {u"-99999999999", INT32_MIN},        {u"2147483647", INT32_MAX},
      {u"-2147483648", INT32_MIN},         {u"\uFF12\uFF10", 20} /* fullwidth */,
      {u"\u0662\u0660", 20} /* Arabic-Indic */, {u"\u0967\u096A", 14} /* Devanagari */,
      {u"1\u00B2", 1} /* superscript two is no digit */,
      // A one of every script, nine to a text, after every kind of blank.
      {u"\u3000\u00A0\u2003\uFEFF\u0085\u1680\u2028\u2029\u202F\u205F\u000B\u0031\u0661\u06F1\u0967\u09E7\u0A67\u0AE7\u0B67\u0C67",
       111111111},
      {u"\u0CE7\u0D67\u0E51\u0ED1\u0F21\u1041\u17E1\u1811\uFF11", 111111111},
  };
  for (const auto& t : texts) {
    sim::SetRegistryText(L"KeyboardSpeed", t.text);
    const KeyboardSetting setting = Speed();
    EXPECT_TRUE(setting.found);
    EXPECT_EQ(setting.value, t.value);
  }
  sim::SetRegistryText(L"KeyboardSpeed", u"%SPEED%7", REG_EXPAND_SZ);  // parsed, never expanded
  EXPECT_EQ(Speed().value, 0);
  sim::SetRegistryText(L"KeyboardSpeed", u"25", REG_EXPAND_SZ);
  EXPECT_EQ(Speed().value, 25);
  EXPECT_TRUE(sim::OpenHandles().empty()) << "the key is closed after every read";
}

TEST_F(Settings, ATextThatFillsTheBufferIsReadWithinItAndALargerOneFallsBack) {
  // 64 units and no terminating zero: the parse stops at the buffer's end.
  std::u16string full(63, u'0');
  full += u'7';
  sim::SetRegistryText(L"KeyboardSpeed", full);
  EXPECT_EQ(Speed().value, 7);
  std::u16string digits(64, u'1');
  sim::SetRegistryText(L"KeyboardSpeed", digits);
  EXPECT_EQ(Speed().value, INT32_MAX);

  // 65 units do not fit: the platform says ERROR_MORE_DATA.
  sim::SetRegistryText(L"KeyboardSpeed", std::u16string(65, u'1'));
  const KeyboardSetting tooLong = Speed();
  EXPECT_FALSE(tooLong.found);
  EXPECT_EQ(tooLong.value, 31);
}

TEST_F(Settings, NumbersAreTakenAndEverythingUnusableFallsBackToTheDefault) {
  sim::SetRegistryDword(L"KeyboardSpeed", 20);
  EXPECT_EQ(Speed().value, 20);
  sim::SetRegistryDword(L"KeyboardSpeed", 0xFFFFFFFF);
  EXPECT_EQ(Speed().value, -1);

  const struct {
    const char* what;
    DWORD type;
    std::vector<BYTE> data;
  } unusable[] = {
      {"binary", REG_BINARY, {20, 0, 0, 0}},
      {"qword", REG_QWORD, {20, 0, 0, 0, 0, 0, 0, 0}},
      {"multi-string", REG_MULTI_SZ, {'2', 0, '0', 0, 0, 0, 0, 0}},
      {"none", REG_NONE, {}},
      {"short dword", REG_DWORD, {20, 0}},
      {"unknown type", 0x1234, {20, 0, 0, 0}},
  };
  for (const auto& u : unusable) {
    sim::SetRegistryValue(L"KeyboardSpeed", u.type, u.data);
    const KeyboardSetting setting = Speed();
    EXPECT_FALSE(setting.found) << u.what;
    EXPECT_EQ(setting.value, 31) << u.what;
  }

  sim::SetRegistryDword(L"KeyboardDelay", 2);
  EXPECT_EQ(ReadKeyboardSetting(L"KeyboardDelay", 1).value, 2);
  EXPECT_EQ(ReadKeyboardSetting(L"KeyboardMissing", 9).value, 9);
  sim::FailCall(sim::Call::RegQueryValueExW);
  EXPECT_FALSE(ReadKeyboardSetting(L"KeyboardDelay", 1).found);
  sim::SetKeyboardKeyPresent(false);
  EXPECT_EQ(ReadKeyboardSetting(L"KeyboardDelay", 1).value, 1);
  EXPECT_TRUE(sim::OpenHandles().empty()) << "the key is closed whatever the query said";
}

}  // namespace
