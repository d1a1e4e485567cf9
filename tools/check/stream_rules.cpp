#include "tools/check/stream_rules.h"

#include <algorithm>
#include <cmath>

#include "tools/check/session.h"
#include "tracking/injection_tag.h"
#include "tracking/key_identity.h"

bool IsTagged(const ObservedEvent& event) {
  return !event.raw && (event.flags & LLKHF_INJECTED) && event.extraInfo == kInjectionTag;
}

bool IsVelmoraEvent(const ObservedEvent& event, uint16_t scanCode) {
  return IsTagged(event) && event.scanCode == scanCode;
}

bool IsVelmoraRepeat(const ObservedEvent& event, uint16_t scanCode) {
  return IsVelmoraEvent(event, scanCode) && !(event.flags & LLKHF_UP);
}

bool IsOwnEvent(const ObservedEvent& event, DWORD virtualKey, bool up) {
  return !event.raw && (event.flags & LLKHF_INJECTED) && event.extraInfo != kInjectionTag &&
         event.virtualKey == virtualKey && ((event.flags & LLKHF_UP) != 0) == up;
}

uint64_t SeenAt(int from, DWORD virtualKey, bool up, uint64_t fallback) {
  for (int i = from; i < JournalMark(); ++i)
    if (IsOwnEvent(*JournalAt(i), virtualKey, up)) return JournalAt(i)->counter;
  return fallback;
}

int CountRepeats(int from, int to, uint16_t scanCode, uint64_t after, uint64_t before) {
  int count = 0;
  for (int i = from; i < to; ++i) {
    const ObservedEvent& event = *JournalAt(i);
    if (IsVelmoraRepeat(event, scanCode) && event.counter > after && event.counter <= before) ++count;
  }
  return count;
}

HoldFigures JudgeHold(int from, int to, const MonitoredKey& key, uint64_t pressSent, uint64_t releaseSent,
                      uint32_t armDelayMs) {
  HoldFigures figures = {};
  figures.firstRepeatMs = -1;
  const uint64_t released = SeenAt(from, key.virtualKey, true, releaseSent);
  // Velmora injects by scan code with its flags; a hook may flag right Shift extended whatever was
  // sent (tracking/key_identity.h), which Velmora's own matching allows.
  const bool sentExtended = (key.extraFlags & KEYEVENTF_EXTENDEDKEY) != 0;
  const bool eitherExtended = key.scanCode == kRightShiftMakeCode;
  uint64_t previous = 0;
  int upsAfterLastLate = 0;
  for (int i = from; i < to; ++i) {
    const ObservedEvent& event = *JournalAt(i);
    if (!IsTagged(event)) continue;
    const bool extended = (event.flags & LLKHF_EXTENDED) != 0;
    if (event.scanCode != key.scanCode || (extended != sentExtended && !eitherExtended)) {
      ++figures.wrongEvents;
      continue;
    }
    const bool up = (event.flags & LLKHF_UP) != 0;
    if (event.counter > released) {
      if (up) {
        ++figures.keyUpsAfter;
        ++upsAfterLastLate;
      } else {
        ++figures.lateRepeats;
        upsAfterLastLate = 0;
      }
      continue;
    }
    if (up) {
      ++figures.wrongEvents;  // a key-up of Velmora's while the key is held
      continue;
    }
    figures.extendedSeen = figures.extendedSeen || extended;
    ++figures.repeats;
    const double sincePress = MsBetween(pressSent, event.counter);
    if (sincePress < armDelayMs) ++figures.early;
    if (figures.firstRepeatMs < 0) figures.firstRepeatMs = sincePress;
    if (previous && figures.intervalCount < kMaxFigures)
      figures.intervalsMs[figures.intervalCount++] = MsBetween(previous, event.counter);
    previous = event.counter;
  }
  figures.releaseKept = figures.lateRepeats == 0 ? figures.keyUpsAfter == 0
                                                : figures.keyUpsAfter == 1 && upsAfterLastLate == 1;
  return figures;
}

bool EndsUp(int from, int to, const MonitoredKey& key) {
  bool down = false;
  for (int i = from; i < to; ++i) {
    const ObservedEvent& event = *JournalAt(i);
    const bool up = (event.flags & LLKHF_UP) != 0;
    if (IsVelmoraEvent(event, key.scanCode) || IsOwnEvent(event, key.virtualKey, up)) down = !up;
  }
  return !down;
}

Spread SpreadOf(double* figures, int count) {
  if (count == 0) return {0, 0, 0};
  std::sort(figures, figures + count);
  double worst = figures[0];
  for (int i = 0; i < count; ++i)
    if (std::fabs(figures[i]) > std::fabs(worst)) worst = figures[i];
  const int p95 = (count * 95 + 99) / 100 - 1;  // the ceiling of 95 % of count, less one: below count
  return {figures[count / 2], figures[p95], worst};
}
