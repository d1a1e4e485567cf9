// Checks 1 to 4: the four keys held alone, interrupted by another key, by a new foreground window,
// and released at scattered moments of their bursts.
#include <cstdio>
#include <cstring>

#include "tools/check/checks.h"
#include "tools/check/injection.h"
#include "tools/check/pairing_log.h"
#include "tools/check/report.h"
#include "tools/check/session.h"
#include "tools/check/stream_rules.h"
#include "tools/common/key_names.h"
#include "tracking/injection_tag.h"
#include "tracking/key_identity.h"

namespace {

constexpr int kLeftShift = 0;
constexpr int kRightShift = 3;
constexpr int kReleases = 52;
// What any check may take before it SKIPs rather than run (slow Filter Keys timings).
constexpr double kLongestCheckMs = 120000;
// With repeats off, a key is held this long to see that none comes.
constexpr double kQuietHoldMs = 1500;
constexpr MonitoredKey kLetterA = {'A', 0x1E, 0};

double ArmMs() { return session.timings.armDelayMs; }
double IntervalMs() { return session.timings.repeatIntervalMs; }
bool RepeatsOn() { return session.timings.repeatIntervalMs != 0; }
// A hold that covers the arm delay and count intervals, or the quiet hold with repeats off.
double BurstMs(int count) { return RepeatsOn() ? ArmMs() + count * IntervalMs() : kQuietHoldMs; }
// How many intervals, up to want, a hold of right Shift may cover and stay under kLongestHoldMs
// (RepeatKeys may set either timing as long as 20 s); 0 when not even one fits.
int IntervalsThatFit(int want) {
  if (!RepeatsOn()) return want;
  const double room = (kLongestHoldMs - ArmMs()) / IntervalMs();
  return room < 1 ? 0 : (room < want ? static_cast<int>(room) : want);
}

// Adds "; key: what" to a list of findings.
void Note(char* findings, size_t size, const char* format, const char* key, int figure) {
  const size_t used = strlen(findings);
  snprintf(findings + used, size - used, format, used ? "; " : "", key, figure);
}

}  // namespace

const char* KeyLabel(const MonitoredKey& key) {
  switch (key.virtualKey) {
    case VK_LSHIFT: return "left Shift";
    case VK_LCONTROL: return "left Ctrl";
    case VK_LMENU: return "left Alt";
    case VK_RSHIFT: return "right Shift";
  }
  return "a letter";
}

double SettleMs() { return 2 * IntervalMs() + 100; }

bool HoldsFit(const char* name, int intervals, double estimateMs) {
  if (intervals == 0) {
    Skip(name, "right Shift would be held %.1f s for one repeat at these settings, and Windows turns Filter Keys on "
         "after 8 s", (ArmMs() + IntervalMs()) / 1000);
    return false;
  }
  if (estimateMs > kLongestCheckMs) {
    Skip(name, "its holds would take %.0f s at these settings", estimateMs / 1000);
    return false;
  }
  return true;
}

uint64_t Press(const MonitoredKey& key) {
  WakeVelmora();
  const uint64_t sent = SendKey(static_cast<WORD>(key.virtualKey), key.scanCode, false);
  if (!sent) StopCheck("Windows refused to inject a key (SendInput)");
  return sent;
}

uint64_t Release(const MonitoredKey& key) {
  const uint64_t sent = SendKey(static_cast<WORD>(key.virtualKey), key.scanCode, true);
  if (!sent) StopCheck("Windows refused to inject a key-up (SendInput)");
  return sent;
}

Hold HoldKey(const MonitoredKey& key, double holdMs) {
  Hold hold;
  hold.pressSent = Press(key);
  Pump(holdMs);
  hold.readDown = (GetAsyncKeyState(static_cast<int>(key.virtualKey)) & 0x8000) != 0;
  hold.releaseSent = Release(key);
  Pump(SettleMs());
  return hold;
}

void CheckEachKeyRepeats() {
  const char* name = "each key repeats";
  char findings[512] = "";
  double first[kSlotCount];
  double deviations[kSlotCount * kMaxFigures];
  double intervals[kSlotCount * kMaxFigures];
  int firstCount = 0;
  int deviationCount = 0;
  int total = 0;
  int rightShiftMark = 0;
  HoldFigures rightShift = {};
  const MonitoredKey* notDown = nullptr;
  const int burst = IntervalsThatFit(10);
  if (!HoldsFit(name, burst, kSlotCount * (BurstMs(burst) + SettleMs()))) return;
  const int check = JournalMark();
  const int checkVerdicts = VerdictMark();
  for (const MonitoredKey& key : kMonitoredKeys) {
    const int from = JournalMark();
    if (&key == &kMonitoredKeys[kRightShift]) rightShiftMark = VerdictMark();
    const Hold hold = HoldKey(key, BurstMs(burst));
    const HoldFigures f = JudgeHold(from, JournalMark(), key, hold.pressSent, hold.releaseSent, session.timings.armDelayMs);
    const char* label = KeyLabel(key);
    if (!hold.readDown) {
      // Velmora repeats a key only while GetAsyncKeyState reads it down.
      notDown = &key;
      if (!f.repeats) continue;
    }
    if (RepeatsOn() && f.repeats == 0) Note(findings, sizeof findings, "%s%s: no repeat", label, 0);
    if (!RepeatsOn() && f.repeats) Note(findings, sizeof findings, "%s%s: %d repeats with repeat off", label, f.repeats);
    if (f.early) Note(findings, sizeof findings, "%s%s: %d repeats sooner than the arm delay", label, f.early);
    if (f.wrongEvents) Note(findings, sizeof findings, "%s%s: %d injected events of another key or flags", label, f.wrongEvents);
    if (!f.releaseKept)
      Note(findings, sizeof findings, "%s%s: %d repeats after the release without exactly one key-up after them", label,
           f.lateRepeats);
    if (f.firstRepeatMs >= 0) first[firstCount++] = f.firstRepeatMs - ArmMs();
    for (int i = 0; i < f.intervalCount; ++i) {
      intervals[deviationCount] = f.intervalsMs[i];
      deviations[deviationCount++] = f.intervalsMs[i] - IntervalMs();
    }
    total += f.repeats;
    if (&key == &kMonitoredKeys[kRightShift]) rightShift = f;
  }
  const Spread firstSpread = SpreadOf(first, firstCount);
  const Spread deviationSpread = SpreadOf(deviations, deviationCount);
  const Spread intervalSpread = SpreadOf(intervals, deviationCount);
  char notJudged[96] = "";
  if (notDown) snprintf(notJudged, sizeof notJudged, "; %s not judged: it never read down (see the FACT line)", KeyLabel(*notDown));
  char figures[480];
  snprintf(figures, sizeof figures,
           "%d repeats of 4 keys at %.0f ms arm delay, %.0f ms interval; first repeat %+.1f ms median, %+.1f p95, "
           "%+.1f worst; interval %+.1f ms median, %+.1f p95, %+.1f worst%s",
           total, ArmMs(), IntervalMs(), firstSpread.median, firstSpread.p95, firstSpread.worst, deviationSpread.median,
           deviationSpread.p95, deviationSpread.worst, notJudged);
  if (notDown) {
    char seen[160];
    snprintf(seen, sizeof seen, "an injected %s (vk 0x%02X, scan 0x%02X) read up by GetAsyncKeyState while held%s",
             KeyLabel(*notDown), static_cast<unsigned>(notDown->virtualKey), notDown->scanCode,
             GetAsyncKeyState(VK_LSHIFT) & 0x8000 ? ", left Shift down instead" : "");
    Fact("injected keys by GetAsyncKeyState", false, seen,
         "a key held reads down by GetAsyncKeyState (it repeats a key only while it does)");
  }
  if (*findings) {
    Fail(name, "%s (%s)", findings, figures);
  } else if (RepeatsOn() && deviationCount &&
             (intervalSpread.median > 1.1 * IntervalMs() || intervalSpread.median < 0.9 * IntervalMs())) {
    Warn(name, "median interval %.1f ms, more than 10 %% off %.0f ms (%s)", intervalSpread.median, IntervalMs(), figures);
  } else {
    Pass(name, "%s", figures);
  }

  // How hooks flag Velmora's injected right Shift, and what raw input shows for an injected key.
  if (rightShift.repeats) {
    const PairVerdict* verdict = FindVerdict(rightShiftMark, kRightShiftMakeCode, false, true);
    char seen[160];
    snprintf(seen, sizeof seen, "LLKHF_EXTENDED %s on Velmora's injected right Shift; pairing: %s",
             rightShift.extendedSeen ? "set" : "clear", verdict ? PairKindName(verdict->kind) : "none");
    Fact("right Shift in hooks", rightShift.extendedSeen,
         seen, "LLKHF_EXTENDED set (reported: the US layout sample kbdus.c marks 0x36 KBDEXT), and matches its own "
               "events by make code alone either way");
  }
  SettlePairing();
  for (int i = check; i < JournalMark(); ++i) {
    const ObservedEvent& raw = *JournalAt(i);
    if (!raw.raw || raw.scanCode != kMonitoredKeys[kLeftShift].scanCode || (raw.flags & RI_KEY_BREAK) ||
        raw.extraInfo == kInjectionTag)
      continue;
    const PairVerdict* verdict = FindVerdict(checkVerdicts, kMonitoredKeys[kLeftShift].scanCode, false, false);
    const bool generic = raw.virtualKey == GenericVirtualKey(VK_LSHIFT);
    char flags[32];
    FlagNames(raw.flags, kRawFlagNames, flags, sizeof flags);
    char seen[200];
    snprintf(seen, sizeof seen, "hDevice 0x%llX, Flags 0x%lX(%s), VKey 0x%02lX for an injected left Shift; pairing: %s",
             static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(raw.device)), raw.flags, flags,
             raw.virtualKey, verdict ? PairKindName(verdict->kind) : "none");
    Fact("raw input of injected keys", generic && verdict && verdict->kind == PairKind::Paired, seen,
         "VKey VK_SHIFT (0x10) for either Shift (reported), nothing of the device handle, and both views paired");
    break;
  }
}

void CheckAnotherKeyInterrupts() {
  const char* name = "another key interrupts";
  const MonitoredKey& shift = kMonitoredKeys[kLeftShift];
  if (!HoldsFit(name, 1, 2 * BurstMs(3) + 3 * IntervalMs() + SettleMs())) return;
  const int from = JournalMark();
  const uint64_t pressSent = Press(shift);
  Pump(BurstMs(3));
  const uint64_t letterDown = SendKey('A', kLetterA.scanCode, false);
  Pump(3 * IntervalMs() + 20);
  const uint64_t letterUp = SendKey('A', kLetterA.scanCode, true);
  Pump(BurstMs(3));
  const uint64_t releaseSent = Release(shift);
  Pump(SettleMs());
  const int to = JournalMark();
  const uint64_t downSeen = SeenAt(from, 'A', false, letterDown);
  const uint64_t upSeen = SeenAt(from, 'A', true, letterUp);
  const uint64_t released = SeenAt(from, shift.virtualKey, true, releaseSent);
  const int before = CountRepeats(from, to, shift.scanCode, pressSent, downSeen);
  // One repeat may have been on its way when the letter went down.
  const int during = CountRepeats(from, to, shift.scanCode, downSeen, upSeen);
  const int soon = CountRepeats(from, to, shift.scanCode, upSeen, letterUp + TicksFromMs(ArmMs()));
  const int resumed = CountRepeats(from, to, shift.scanCode, upSeen, released);
  if (!RepeatsOn()) {
    if (before + during + resumed) {
      Fail(name, "%d repeats with repeat off", before + during + resumed);
    } else {
      Pass(name, "no repeats, as the settings turn repeat off");
    }
    return;
  }
  if (before == 0) {
    Fail(name, "left Shift did not repeat before the letter came");
  } else if (during > 1 || soon > 0 || resumed == 0) {
    Fail(name, "%d repeats while the letter was down (at most 1 on its way allowed), %d sooner than %.0f ms after it, "
         "%d after it", during, soon, ArmMs(), resumed);
  } else {
    Pass(name, "%d repeats before the letter, %d while it was down, %d after it, none sooner than %.0f ms", before, during,
         resumed, ArmMs());
  }
}

void CheckNewWindowStops() {
  const char* name = "a new window stops it";
  const MonitoredKey& shift = kMonitoredKeys[kLeftShift];
  if (!HoldsFit(name, 1, BurstMs(3) + BurstMs(4) + BurstMs(2) + SettleMs())) return;
  const int from = JournalMark();
  const uint64_t pressSent = Press(shift);
  Pump(BurstMs(3));
  const uint64_t switched = CounterNow();
  SetForegroundWindow(session.otherWindow);
  Pump(BurstMs(4));
  const bool moved = GetForegroundWindow() == session.otherWindow;
  SetForegroundWindow(session.window);
  Pump(BurstMs(2));
  const uint64_t releaseSent = Release(shift);
  Pump(SettleMs());
  const int to = JournalMark();
  const uint64_t released = SeenAt(from, shift.virtualKey, true, releaseSent);
  const int before = CountRepeats(from, to, shift.scanCode, pressSent, switched);
  const int after = CountRepeats(from, to, shift.scanCode, switched, released);
  if (!moved) {
    Skip(name, "Windows did not give velmora-check's second window the foreground");
  } else if (RepeatsOn() && before == 0) {
    Fail(name, "left Shift did not repeat before the switch");
  } else if (after > 1) {
    Fail(name, "%d repeats after the foreground moved (at most 1 allowed), with the key never pressed again", after);
  } else {
    Pass(name, "%d repeats before the switch, %d after it", before, after);
  }
}

void CheckReleasedAtAnyMoment() {
  const char* name = "released at any moment";
  // Each hold ends at a different point of its burst: a whole number of intervals and a fraction.
  double holds[kReleases];
  double estimate = 0;
  const int intervals = IntervalsThatFit(10);  // a hold ends within the last of them
  for (int i = 0; i < kReleases && intervals > 0; ++i) {
    const double fraction = RepeatsOn() ? (i * 13) % static_cast<int>(IntervalMs()) : 0;
    holds[i] = RepeatsOn() ? ArmMs() + ((i * 7) % intervals) * IntervalMs() + fraction : 300;
    estimate += holds[i] + SettleMs();
  }
  if (!HoldsFit(name, intervals, estimate)) return;
  const int from = JournalMark();
  int broken = 0;
  int raced = 0;
  for (int i = 0; i < kReleases; ++i) {
    // Left Shift, left Ctrl, left Alt, right Shift in turn: never two Shift presses in a row.
    const MonitoredKey& key = kMonitoredKeys[i % kSlotCount];
    const int holdFrom = JournalMark();
    const Hold hold = HoldKey(key, holds[i]);
    const HoldFigures f = JudgeHold(holdFrom, JournalMark(), key, hold.pressSent, hold.releaseSent,
                                    session.timings.armDelayMs);
    if (!f.releaseKept) ++broken;
    if (f.lateRepeats) ++raced;
  }
  int leftDown = 0;
  for (const MonitoredKey& key : kMonitoredKeys) leftDown += EndsUp(from, JournalMark(), key) ? 0 : 1;
  char down[96];
  KeysDownByAsyncState(down, sizeof down);
  if (broken || leftDown || *down) {
    Fail(name, "%d of %d releases with a repeat after them and not exactly one key-up; %d keys left down in the stream; "
         "down by GetAsyncKeyState: %s", broken, kReleases, leftDown, *down ? down : "none");
  } else {
    Pass(name, "%d releases, %d of them raced by a repeat and followed by one key-up; nothing left down", kReleases,
         raced);
  }
}
