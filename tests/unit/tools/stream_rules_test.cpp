// velmora-check's judging rules over a journal written by hand: on Windows the check is the only
// instrument, so a rule that lets an early repeat or a lost key-up through must fail here.
#include "tools/check/stream_rules.h"

#include <gtest/gtest.h>

#include "tools/check/session.h"
#include "tracking/injection_tag.h"

namespace {

ObservedEvent journal[512];
int journalCount = 0;

constexpr uint64_t kTicksPerMs = 1000;
constexpr uint32_t kArmDelayMs = 300;
const MonitoredKey& kLeftShift = kMonitoredKeys[0];
const MonitoredKey& kRightShift = kMonitoredKeys[3];

// An event in the hook's view at ms after the press was sent: the check's own (untagged) or
// Velmora's (tagged).
void Hook(double ms, const MonitoredKey& key, bool up, bool velmoras, DWORD extraFlags = 0) {
  journal[journalCount++] = {static_cast<uint64_t>(ms * kTicksPerMs), false, up ? WPARAM{WM_KEYUP} : WPARAM{WM_KEYDOWN},
                             key.virtualKey, key.scanCode,
                             LLKHF_INJECTED | (up ? LLKHF_UP : 0) | extraFlags,
                             velmoras ? kInjectionTag : 0, 0, nullptr};
}
void Own(double ms, const MonitoredKey& key, bool up) { Hook(ms, key, up, false); }
void Velmoras(double ms, const MonitoredKey& key, bool up, DWORD extraFlags = 0) {
  Hook(ms, key, up, true, extraFlags);
}

// A hold of the key sent at 0 and released at 400 ms.
HoldFigures Judge(const MonitoredKey& key) {
  return JudgeHold(0, journalCount, key, 0, 400 * kTicksPerMs, kArmDelayMs);
}

class StreamRules : public ::testing::Test {
 protected:
  void SetUp() override { journalCount = 0; }
};

TEST_F(StreamRules, AHoldGivesItsRepeatsTheEarlyOnesAndItsIntervals) {
  Own(0.1, kLeftShift, false);
  Velmoras(250, kLeftShift, false);  // before the arm delay
  Velmoras(300, kLeftShift, false);  // at it: not early
  Velmoras(333, kLeftShift, false);
  Own(400, kLeftShift, true);
  const HoldFigures figures = Judge(kLeftShift);
  EXPECT_EQ(figures.repeats, 3);
  EXPECT_EQ(figures.early, 1);
  EXPECT_DOUBLE_EQ(figures.firstRepeatMs, 250);
  ASSERT_EQ(figures.intervalCount, 2);
  EXPECT_DOUBLE_EQ(figures.intervalsMs[0], 50);
  EXPECT_DOUBLE_EQ(figures.intervalsMs[1], 33);
  EXPECT_EQ(figures.wrongEvents, 0);
  EXPECT_TRUE(figures.releaseKept);
  EXPECT_EQ(CountRepeats(0, journalCount, kLeftShift.scanCode, 250 * kTicksPerMs, 333 * kTicksPerMs), 2);
  EXPECT_EQ(CountRepeats(0, 3, kLeftShift.scanCode, 0, ~0ULL), 2);  // the range ends before 333
}

TEST_F(StreamRules, AHoldKeepsNoMoreIntervalsThanItHasRoomFor) {
  Own(0, kLeftShift, false);
  for (int i = 0; i < kMaxFigures + 40; ++i) Velmoras(300 + i * 0.25, kLeftShift, false);
  Own(400, kLeftShift, true);
  const HoldFigures figures = Judge(kLeftShift);
  EXPECT_EQ(figures.repeats, kMaxFigures + 40);
  EXPECT_EQ(figures.intervalCount, kMaxFigures);
}

TEST_F(StreamRules, ARepeatAfterTheReleaseIsKeptOnlyByExactlyOneKeyUpAfterIt) {
  struct Case {
    const char* tail;  // Velmora's events after the release: d a key-down, u a key-up
    bool kept;
    bool endsUp;
  };
  for (const Case& c : {Case{"", true, true}, Case{"u", false, true}, Case{"d", false, false},
                        Case{"du", true, true}, Case{"duu", false, true}, Case{"ud", false, false},
                        Case{"dud", false, false}}) {
    SCOPED_TRACE(c.tail);
    journalCount = 0;
    Own(0, kLeftShift, false);
    Own(400, kLeftShift, true);
    double ms = 401;
    for (const char* event = c.tail; *event; ++event) Velmoras(ms++, kLeftShift, *event == 'u');
    const int holdEnds = journalCount;
    Velmoras(900, kLeftShift, false);  // recorded after the hold's end: another hold's
    EXPECT_EQ(JudgeHold(0, holdEnds, kLeftShift, 0, 400 * kTicksPerMs, kArmDelayMs).releaseKept, c.kept);
    EXPECT_EQ(EndsUp(0, holdEnds, kLeftShift), c.endsUp);
    EXPECT_TRUE(EndsUp(0, journalCount, kRightShift));  // a key with no events is up
  }
}

TEST_F(StreamRules, TaggedEventsOfAnotherKeyOrFlagAreWrongButRightShiftMayComeExtended) {
  Own(0, kLeftShift, false);
  Velmoras(310, kMonitoredKeys[1], false);               // another key's repeat during the hold
  Velmoras(320, kLeftShift, false, LLKHF_EXTENDED);      // left Shift is never extended
  Velmoras(330, kLeftShift, true);                       // a key-up while the key is held
  Own(400, kLeftShift, true);
  HoldFigures figures = Judge(kLeftShift);
  EXPECT_EQ(figures.wrongEvents, 3);
  EXPECT_EQ(figures.repeats, 0);
  // Counting by scan code alone, only the extended left Shift is one of its repeats.
  EXPECT_EQ(CountRepeats(0, journalCount, kLeftShift.scanCode, 0, ~0ULL), 1);

  journalCount = 0;
  Own(0, kRightShift, false);
  Velmoras(310, kRightShift, false, LLKHF_EXTENDED);
  Velmoras(343, kRightShift, false);
  Own(400, kRightShift, true);
  figures = Judge(kRightShift);
  EXPECT_EQ(figures.wrongEvents, 0);
  EXPECT_EQ(figures.repeats, 2);
  EXPECT_TRUE(figures.extendedSeen);
}

TEST_F(StreamRules, TheReleaseIsWhenTheHookSawItAndOnlyTheChecksOwnEventsCount) {
  Own(0, kLeftShift, false);
  Velmoras(390, kLeftShift, true);  // Velmora's key-up is not the check's release
  Velmoras(402, kLeftShift, false);  // sent after the release, seen before it
  Own(405, kLeftShift, true);
  const HoldFigures figures = Judge(kLeftShift);
  EXPECT_EQ(figures.wrongEvents, 1);
  EXPECT_EQ(figures.repeats, 1);
  EXPECT_EQ(figures.lateRepeats, 0);
  EXPECT_EQ(SeenAt(0, kLeftShift.virtualKey, true, 0), 405 * kTicksPerMs);
  EXPECT_EQ(SeenAt(3, kLeftShift.virtualKey, true, 7), 405 * kTicksPerMs);
  EXPECT_EQ(SeenAt(0, kRightShift.virtualKey, true, 7), 7u);
}

TEST_F(StreamRules, TheSpreadIsMedianP95AndTheLargestInSizeWithItsSign) {
  double none[1] = {};
  const Spread empty = SpreadOf(none, 0);
  EXPECT_EQ(empty.median, 0);
  EXPECT_EQ(empty.worst, 0);
  double four[] = {3, -10, 1, 2, 100};  // the last is not one of them
  const Spread small = SpreadOf(four, 4);
  EXPECT_EQ(small.median, 2);
  EXPECT_EQ(small.p95, 3);
  EXPECT_EQ(small.worst, -10);
  double twenty[20];
  for (int i = 0; i < 20; ++i) twenty[i] = 19 - i;  // 0..19, reversed
  const Spread wide = SpreadOf(twenty, 20);
  EXPECT_EQ(wide.median, 10);
  EXPECT_EQ(wide.p95, 18);
  EXPECT_EQ(wide.worst, 19);
}

}  // namespace

// The journal the rules read, in place of the session's.
int JournalMark() { return journalCount; }
const ObservedEvent* JournalAt(int index) { return &journal[index]; }
double MsBetween(uint64_t from, uint64_t to) {
  return static_cast<double>(static_cast<int64_t>(to - from)) / kTicksPerMs;
}
