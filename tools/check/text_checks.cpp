// Checks 5 and 6: text that shares a modifier's make code, and keys the layout would have made up,
// are no presses; with the facts of what the hook and raw input show for them.
#include <cstdio>
#include <cstring>

#include "tools/check/checks.h"
#include "tools/check/injection.h"
#include "tools/check/pairing_log.h"
#include "tools/check/report.h"
#include "tools/check/session.h"
#include "tools/check/stream_rules.h"
#include "tracking/injection_tag.h"
#include "tracking/key_identity.h"

namespace {

constexpr int kLeftShift = 0;
constexpr int kLeftCtrl = 1;
// The left Ctrl that AltGr layouts send with right Alt, and the Shift they lift around keypad keys.
constexpr WORD kMadeUpLeftCtrl = 0x21D;
constexpr WORD kMadeUpLeftShift = 0x22A;

double HoldPastArmMs() {
  const double arm = session.timings.armDelayMs ? session.timings.armDelayMs : 1000;
  return arm + 3 * session.timings.repeatIntervalMs + 50;
}

int TaggedBetween(int from, int to) {
  int count = 0;
  for (int i = from; i < to; ++i) count += IsTagged(*JournalAt(i)) ? 1 : 0;
  return count;
}

// The first own hook event of virtualKey in [from, to), and the first raw event of the same
// direction there (before or after it: the two views reach the observer's thread in either order).
void FindViews(int from, int to, DWORD virtualKey, bool up, const ObservedEvent*& hook, const ObservedEvent*& raw) {
  hook = nullptr;
  raw = nullptr;
  for (int i = from; i < to; ++i) {
    const ObservedEvent& event = *JournalAt(i);
    if (!hook && IsOwnEvent(event, virtualKey, up)) hook = &event;
    if (!raw && event.raw && ((event.flags & RI_KEY_BREAK) != 0) == up && event.extraInfo != kInjectionTag) raw = &event;
  }
}

}  // namespace

void CheckTextIsNoKey() {
  const char* name = "text is no key";
  // '*', '6' and '8' are 0x2A, 0x36 and 0x38: left Shift's, right Shift's and left Alt's make codes.
  static const wchar_t kUnits[] = {L'*', L'6', L'8'};
  if (!HoldsFit(name, 1, 3 * (HoldPastArmMs() + SettleMs()))) return;
  char hookSeen[96] = "";
  char rawSeen[96] = "";
  bool unitInScanCode = true;
  int tagged = 0;
  const int verdicts = VerdictMark();
  for (wchar_t unit : kUnits) {
    const int from = JournalMark();
    if (!SendText(unit, false)) StopCheck("Windows refused to inject a character (SendInput)");
    Pump(HoldPastArmMs());
    SendText(unit, true);
    Pump(SettleMs());
    const int to = JournalMark();
    tagged += TaggedBetween(from, to);
    const ObservedEvent* hook;
    const ObservedEvent* raw;
    FindViews(from, to, VK_PACKET, false, hook, raw);
    unitInScanCode = unitInScanCode && hook && hook->scanCode == static_cast<DWORD>(unit);
    size_t used = strlen(hookSeen);
    snprintf(hookSeen + used, sizeof hookSeen - used, "%s0x%02lX", used ? "," : "", hook ? hook->scanCode : 0);
    used = strlen(rawSeen);
    if (raw) {
      snprintf(rawSeen + used, sizeof rawSeen - used, "%s0x%02lX/VKey 0x%02lX", used ? "," : "", raw->scanCode,
               raw->virtualKey);
    } else {
      snprintf(rawSeen + used, sizeof rawSeen - used, "%snone", used ? "," : "");
    }
  }
  if (tagged) {
    Fail(name, "%d injected events of Velmora's after text whose units are the make codes 0x2A, 0x36, 0x38", tagged);
  } else {
    Pass(name, "no repeats for the characters * 6 8, each held %.0f ms", HoldPastArmMs());
  }
  SettlePairing();
  const PairVerdict* verdict = FindVerdict(verdicts, '*', false, false);
  char seen[320];
  snprintf(seen, sizeof seen, "VK_PACKET scanCode %s in the hook for 0x2A,0x36,0x38; raw input MakeCode %s; pairing: %s",
           hookSeen, rawSeen, verdict ? PairKindName(verdict->kind) : "none");
  Fact("text in both views", unitInScanCode, seen,
       "the UTF-16 unit in the hook's scanCode (reported), raw input with no event or any MakeCode (reported), "
       "and no key either way (VK_PACKET is no monitored key)");
}

void CheckMadeUpKeys() {
  const char* name = "made-up keys are no keys";
  const MonitoredKey& ctrl = kMonitoredKeys[kLeftCtrl];
  const MonitoredKey& shift = kMonitoredKeys[kLeftShift];
  if (!HoldsFit(name, 1, 3 * HoldPastArmMs() + 2 * SettleMs())) return;
  // Left Ctrl with the layout's mark.
  const int verdicts = VerdictMark();
  int from = JournalMark();
  if (!SendKey(static_cast<WORD>(ctrl.virtualKey), kMadeUpLeftCtrl, false)) StopCheck("Windows refused to inject a key");
  Pump(HoldPastArmMs());
  SendKey(static_cast<WORD>(ctrl.virtualKey), kMadeUpLeftCtrl, true);
  Pump(SettleMs());
  const int ctrlTo = JournalMark();
  const ObservedEvent* hook;
  const ObservedEvent* raw;
  FindViews(from, ctrlTo, ctrl.virtualKey, false, hook, raw);
  const bool hookKept = hook && MadeUpByLayout(hook->scanCode);
  const int ctrlRepeats = CountRepeats(from, ctrlTo, ctrl.scanCode, 0, ~0ULL);
  SettlePairing();
  const PairVerdict* verdict = FindVerdict(verdicts, kMadeUpLeftCtrl, false, false);
  char seen[200];
  char rawSeen[40] = "no raw input";
  if (raw) snprintf(rawSeen, sizeof rawSeen, "MakeCode 0x%03lX in raw input", raw->scanCode);
  snprintf(seen, sizeof seen, "scanCode 0x%03lX in the hook, %s for an injected 0x21D; pairing: %s",
           hook ? hook->scanCode : 0, rawSeen, verdict ? PairKindName(verdict->kind) : "none");
  Fact("made-up key 0x21D", hookKept, seen,
       "the layout's 0x200 mark in the hook's scanCode (reported), stripped when the views are paired");

  // Left Shift held, then a Shift key-up with the mark: activity, not the release.
  from = JournalMark();
  Press(shift);
  Pump(HoldPastArmMs());
  const uint64_t fakeSent = SendKey(static_cast<WORD>(shift.virtualKey), kMadeUpLeftShift, true);
  Pump(HoldPastArmMs());
  const uint64_t releaseSent = Release(shift);
  Pump(SettleMs());
  const int to = JournalMark();
  uint64_t fakeSeen = fakeSent;
  for (int i = from; i < to; ++i)
    if (IsOwnEvent(*JournalAt(i), shift.virtualKey, true) && JournalAt(i)->scanCode == kMadeUpLeftShift) {
      fakeSeen = JournalAt(i)->counter;
      break;
    }
  const uint64_t released = SeenAt(from, shift.virtualKey, true, releaseSent);
  const int before = CountRepeats(from, to, shift.scanCode, 0, fakeSeen);
  // One repeat may have been on its way when the key-up went in.
  const int after = CountRepeats(from, to, shift.scanCode, fakeSeen, released);
  int keyUps = 0;
  for (int i = from; i < to; ++i) {
    const ObservedEvent& event = *JournalAt(i);
    if (IsVelmoraEvent(event, shift.scanCode) && (event.flags & LLKHF_UP) && event.counter > fakeSeen) ++keyUps;
  }

  const bool repeatsOn = session.timings.repeatIntervalMs != 0;
  if (hookKept && ctrlRepeats) {
    Fail(name, "%d repeats of left Ctrl after a made-up left Ctrl (scan 0x21D)", ctrlRepeats);
  } else if (repeatsOn && before == 0) {
    Fail(name, "left Shift did not repeat before the made-up Shift-up");
  } else if (after > 1 || keyUps) {
    Fail(name, "%d repeats after a made-up Shift-up (scan 0x22A; at most 1 on its way allowed), %d key-ups of Velmora's",
         after, keyUps);
  } else if (!hookKept) {
    Skip(name, "Windows stripped the 0x200 mark of an injected 0x21D (see the FACT line); after a made-up Shift-up: "
         "%d repeats, no key-up of Velmora's", after);
  } else {
    Pass(name, "no repeats after a made-up left Ctrl; %d after a made-up Shift-up, no key-up of Velmora's", after);
  }
}
