// The guided part (--keys): the person presses real keys, one prompt at a time, each with a
// time-out and Esc to skip it; a wrong key is named and the prompt repeats. It settles on real
// hardware what the automatic part can only inject, and the facts the code marks as reported.
#include <cstdio>
#include <cstring>

#include "tools/check/checks.h"
#include "tools/check/pairing_log.h"
#include "tools/check/report.h"
#include "tools/check/session.h"
#include "tools/check/stream_rules.h"
#include "tools/common/key_names.h"
#include "tracking/key_identity.h"

namespace {

constexpr double kPromptMs = 30000;
constexpr double kHoldLimitMs = 15000;
constexpr double kWakeEveryMs = 2000;

bool IsPhysical(const ObservedEvent& event) { return !event.raw && !(event.flags & LLKHF_INJECTED); }
bool IsUp(const ObservedEvent& event) { return (event.flags & LLKHF_UP) != 0; }

// The journal index of the first physical event from `from` on that matches, waiting up to ms; -1
// when none came.
int WaitForPhysical(int from, DWORD virtualKey, bool up, double ms) {
  const uint64_t start = CounterNow();
  uint64_t woken = start;
  for (;;) {
    for (int i = from; i < JournalMark(); ++i) {
      const ObservedEvent& event = *JournalAt(i);
      if (IsPhysical(event) && IsUp(event) == up && (virtualKey == 0 || event.virtualKey == virtualKey)) return i;
    }
    from = JournalMark();
    if (MsBetween(start, CounterNow()) > ms) return -1;
    if (MsBetween(woken, CounterNow()) > kWakeEveryMs) {
      WakeVelmora();
      woken = CounterNow();
    }
    Pump(20);
  }
}

// Prints the prompt and waits for the key's press; a wrong key is named and the prompt repeats.
// Returns the journal index of the press, or -1 when it was skipped (Esc) or timed out.
int Prompt(const char* id, const char* what, DWORD virtualKey, const char* name) {
  for (;;) {
    // From before the prompt: an answer may come at once.
    const int from = JournalMark();
    PrintLine("PRESS [%s]: %s (Esc skips it; it waits %.0f s)", id, what, kPromptMs / 1000);
    WakeVelmora();
    int press = WaitForPhysical(from, 0, false, kPromptMs);
    // The left Ctrl an AltGr layout sends ahead of right Alt is no key of the person's.
    while (press >= 0 && MadeUpByLayout(JournalAt(press)->scanCode))
      press = WaitForPhysical(press + 1, 0, false, kPromptMs);
    if (press < 0) {
      Skip(name, "no key came within %.0f s", kPromptMs / 1000);
      return -1;
    }
    const ObservedEvent& event = *JournalAt(press);
    if (event.virtualKey == virtualKey) return press;
    if (event.virtualKey == VK_ESCAPE) {
      Skip(name, "skipped with Esc");
      return -1;
    }
    char buffer[16];
    const char* key = KeyName(event.virtualKey, event.scanCode, buffer, sizeof buffer);
    PrintLine("that was %s%s(vk 0x%02lX), not the key asked for: let go of it and try again", key, *key ? " " : "",
              event.virtualKey);
    WaitForPhysical(press + 1, event.virtualKey, true, kHoldLimitMs);
  }
}

int WaitForRelease(int press, DWORD virtualKey) {
  const int release = WaitForPhysical(press + 1, virtualKey, true, kHoldLimitMs);
  Pump(SettleMs());
  return release;
}

void HeldKey(const MonitoredKey& key) {
  char id[32];
  char what[96];
  char name[48];
  snprintf(id, sizeof id, "hold %s", KeyLabel(key));
  snprintf(what, sizeof what, "hold %s for two seconds, then let go", KeyLabel(key));
  snprintf(name, sizeof name, "%s held", KeyLabel(key));
  const int press = Prompt(id, what, key.virtualKey, name);
  if (press < 0) return;
  const int release = WaitForRelease(press, key.virtualKey);
  if (release < 0) {
    Skip(name, "it was not let go within %.0f s", kHoldLimitMs / 1000);
    return;
  }
  const uint64_t pressed = JournalAt(press)->counter;
  const uint64_t released = JournalAt(release)->counter;
  const HoldFigures f = JudgeHold(press, JournalMark(), key, pressed, released, session.timings.armDelayMs);
  const double heldMs = MsBetween(pressed, released);
  const bool due = session.timings.repeatIntervalMs && heldMs > session.timings.armDelayMs + session.timings.repeatIntervalMs;
  if ((due && f.repeats == 0) || (!session.timings.repeatIntervalMs && f.repeats) || f.early || f.wrongEvents ||
      !f.releaseKept) {
    Fail(name, "held %.0f ms: %d repeats, %d sooner than the arm delay, %d of another key or flags, %d after the "
         "release with %d key-ups", heldMs, f.repeats, f.early, f.wrongEvents, f.lateRepeats, f.keyUpsAfter);
  } else {
    Pass(name, "held %.0f ms: %d repeats, the first %.1f ms after the press", heldMs, f.repeats, f.firstRepeatMs);
  }
}

void HeldLetter() {
  const char* name = "a letter held";
  const int press = Prompt("hold letter A", "hold the letter A for two seconds, then let go", 'A', name);
  if (press < 0) return;
  const int release = WaitForRelease(press, 'A');
  const int to = release < 0 ? JournalMark() : release;
  // Windows' own repeats of the letter: further physical key-downs while it is held.
  int repeats = 0;
  uint64_t first = 0;
  uint64_t last = 0;
  for (int i = press + 1; i < to; ++i) {
    const ObservedEvent& event = *JournalAt(i);
    if (!IsPhysical(event) || IsUp(event) || event.virtualKey != 'A') continue;
    if (!first) first = event.counter;
    last = event.counter;
    ++repeats;
  }
  const double delayMs = first ? MsBetween(JournalAt(press)->counter, first) : 0;
  const double intervalMs = repeats > 1 ? MsBetween(first, last) / (repeats - 1) : 0;
  char seen[128];
  snprintf(seen, sizeof seen, "Windows repeated the letter %d times, the first after %.0f ms, then every %.1f ms", repeats,
           delayMs, intervalMs);
  char assumes[128];
  snprintf(assumes, sizeof assumes, "%u ms arm delay and %u ms interval for its own repeats", session.timings.armDelayMs,
           session.timings.repeatIntervalMs);
  // Velmora's arm delay is the keyboard delay plus one interval (app/keyboard_settings.h).
  const double armSeen = delayMs + intervalMs;
  const bool agrees = repeats > 1 && armSeen > 0.8 * session.timings.armDelayMs && armSeen < 1.2 * session.timings.armDelayMs &&
                      intervalMs > 0.8 * session.timings.repeatIntervalMs && intervalMs < 1.2 * session.timings.repeatIntervalMs;
  Fact("typematic", agrees, seen, assumes);
}

void HeldAltGr() {
  const char* name = "AltGr is no left Ctrl";
  const int verdicts = VerdictMark();
  const int press = Prompt("hold right Alt", "hold right Alt (AltGr) for two seconds, then let go", VK_RMENU, name);
  if (press < 0) return;
  const int release = WaitForRelease(press, VK_RMENU);
  const int to = JournalMark();
  const ObservedEvent* fake = nullptr;
  const ObservedEvent* rawFake = nullptr;
  for (int i = press > 8 ? press - 8 : 0; i < to; ++i) {
    const ObservedEvent& event = *JournalAt(i);
    if (!fake && IsPhysical(event) && !IsUp(event) && event.virtualKey == VK_LCONTROL) fake = &event;
    if (!rawFake && event.raw && !(event.flags & (RI_KEY_BREAK | RI_KEY_E0)) && (event.scanCode & 0xFF) == 0x1D) rawFake = &event;
  }
  const int ctrlRepeats = CountRepeats(press, to, kMonitoredKeys[1].scanCode, 0, ~0ULL);
  if (ctrlRepeats) {
    Fail(name, "%d repeats of left Ctrl while right Alt was held", ctrlRepeats);
  } else {
    Pass(name, "no repeats of left Ctrl while right Alt was held%s", release < 0 ? " (not let go in time)" : "");
  }
  SettlePairing();
  const PairVerdict* verdict = fake ? FindVerdict(verdicts, fake->scanCode, false, false) : nullptr;
  char seen[200];
  if (fake) {
    snprintf(seen, sizeof seen, "a left Ctrl with right Alt, scanCode 0x%03lX in the hook, %s0x%03lX in raw input; "
             "pairing: %s", fake->scanCode, rawFake ? "MakeCode " : "no raw input ", rawFake ? rawFake->scanCode : 0,
             verdict ? PairKindName(verdict->kind) : "none");
  } else {
    snprintf(seen, sizeof seen, "no left Ctrl with right Alt (a layout without AltGr)");
  }
  Fact("AltGr's left Ctrl", !fake || MadeUpByLayout(fake->scanCode), seen,
       "an AltGr layout sends a left Ctrl with scanCode 0x21D to hooks (reported), which is no key");
}

void ShiftAroundKeypad() {
  const char* name = "Shift around a keypad key";
  const MonitoredKey& shift = kMonitoredKeys[0];
  const int press = Prompt("keypad", "with Num Lock on, hold left Shift, press and release keypad 1, keep holding "
                           "Shift for two seconds, then let go", shift.virtualKey, name);
  if (press < 0) return;
  const int release = WaitForRelease(press, shift.virtualKey);
  const int to = release < 0 ? JournalMark() : release;
  int keypadUp = -1;
  int fakes = 0;
  DWORD fakeScan = 0;
  for (int i = press + 1; i < to; ++i) {
    const ObservedEvent& event = *JournalAt(i);
    if (!IsPhysical(event)) continue;
    if ((event.virtualKey == VK_LSHIFT || event.virtualKey == VK_RSHIFT) && MadeUpByLayout(event.scanCode)) {
      ++fakes;
      fakeScan = event.scanCode;
    }
    if (IsUp(event) && (event.scanCode & 0xFF) == 0x4F) keypadUp = i;
  }
  if (keypadUp < 0 || release < 0) {
    Skip(name, "no keypad 1 between the press and the release of left Shift");
    return;
  }
  const uint64_t after = JournalAt(keypadUp)->counter;
  const uint64_t released = JournalAt(release)->counter;
  const int repeats = CountRepeats(press, JournalMark(), shift.scanCode, after, released);
  int keyUps = 0;
  for (int i = keypadUp; i < release; ++i)
    if (IsVelmoraEvent(*JournalAt(i), shift.scanCode) && IsUp(*JournalAt(i))) ++keyUps;
  const bool due = session.timings.repeatIntervalMs &&
                   MsBetween(after, released) > session.timings.armDelayMs + session.timings.repeatIntervalMs;
  if ((due && repeats == 0) || keyUps) {
    Fail(name, "%d repeats of left Shift after the keypad key, %d key-ups of Velmora's before the release", repeats, keyUps);
  } else {
    Pass(name, "%d repeats of left Shift after the keypad key, no key-up of Velmora's", repeats);
  }
  char seen[128];
  snprintf(seen, sizeof seen, "%d made-up Shift events around the keypad key%s", fakes, fakes ? "" : " (Num Lock off?)");
  if (fakes) snprintf(seen + strlen(seen), sizeof seen - strlen(seen), ", scanCode 0x%03lX", fakeScan);
  Fact("keypad's Shifts", fakes == 0 || MadeUpByLayout(fakeScan), seen,
       "the Shifts lifted around keypad keys come as 0x22A and 0x236 to hooks (reported), which are no keys");
}

void NumLockTwice() {
  const char* name = "Num Lock pairs";
  const int verdicts = VerdictMark();
  int press = Prompt("num lock", "press Num Lock twice", VK_NUMLOCK, name);
  if (press < 0) return;
  const int second = WaitForPhysical(WaitForRelease(press, VK_NUMLOCK) + 1, VK_NUMLOCK, false, kPromptMs);
  if (second >= 0) WaitForRelease(second, VK_NUMLOCK);
  SettlePairing();
  int paired = 0;
  int other = 0;
  for (int i = verdicts; i < VerdictMark(); ++i) {
    const PairVerdict& verdict = *VerdictAt(i);
    const bool rawOnly = verdict.kind == PairKind::Missed || verdict.kind == PairKind::Unknown;
    const KeyStroke& view = rawOnly ? verdict.raw : verdict.hook;
    if ((view.viewScanCode & 0xFF) != kNumLockMakeCode) continue;
    (verdict.kind == PairKind::Paired ? paired : other) += 1;
  }
  char seen[96];
  snprintf(seen, sizeof seen, "%d Num Lock events paired, %d not", paired, other);
  Fact("Num Lock in both views", paired > 0 && other == 0, seen,
       "hooks flag it extended and raw input may not, and the pairing ignores the E0 flag for it");
}

}  // namespace

void RunGuidedPart() {
  session.keysExpected = true;
  PrintLine("now press the keys asked for, one prompt at a time, in velmora-check's window");
  for (const MonitoredKey& key : kMonitoredKeys) HeldKey(key);
  HeldLetter();
  HeldAltGr();
  ShiftAroundKeypad();
  NumLockTwice();
  session.keysExpected = false;
}
