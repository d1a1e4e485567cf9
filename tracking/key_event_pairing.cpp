#include "tracking/key_event_pairing.h"

#include <algorithm>
#include <span>

#include "tracking/injection_tag.h"
#include "tracking/key_identity.h"

namespace {

bool SameEvent(const KeyStroke& a, const KeyStroke& b) {
  return a.scanCode == b.scanCode && a.extended == b.extended && a.up == b.up && a.own == b.own;
}

void RemoveUnmatched(KeyEventPairing& p, int count) {
  for (int i = count; i < p.unmatchedCount; ++i) p.unmatched[i - count] = p.unmatched[i];
  p.unmatchedCount -= count;
}

KeyStroke& SeenByHook(KeyEventPairing& p, int i) { return p.seenByHook[(p.seenHead + i) % kUnmatchedCapacity]; }

void ForgetSeenByHook(KeyEventPairing& p, int count, const PairingVerdicts& verdicts) {
  for (int i = 0; i < count; ++i) verdicts.hookOnly(SeenByHook(p, i));
  p.seenHead = (p.seenHead + count) % kUnmatchedCapacity;
  p.seenCount -= count;
}

// The rule that decides a miss: a raw event counts as missed by the hook once the hook has seen a
// later event without it, or once it has stayed unmatched for longer than Windows lets a hook take.
// Applies to the oldest `count` unmatched events, in stream order.
void CountAsMissedByHook(KeyEventPairing& p, int count, const PairingVerdicts& verdicts) {
  if (count <= 0) return;
  KeyStroke missed[kUnmatchedCapacity];
  std::copy_n(p.unmatched, count, missed);
  RemoveUnmatched(p, count);
  KeyStroke later[kUnmatchedCapacity];
  for (int i = 0; i < p.seenCount; ++i) later[i] = SeenByHook(p, i);
  for (const KeyStroke& stroke : std::span(missed, count)) verdicts.missed(stroke, later, p.seenCount);
}

}  // namespace

void PairHookEvent(KeyEventPairing& p, const KBDLLHOOKSTRUCT& event, const PairingVerdicts& verdicts) {
  const bool own = event.dwExtraInfo == kInjectionTag;
  const KeyIdentity key = IdentifyKey(event.scanCode, (event.flags & LLKHF_EXTENDED) != 0);
  const KeyStroke seen = {key.makeCode, key.e0,      (event.flags & LLKHF_UP) != 0, own,           event.time, 0,
                          event.vkCode, event.flags, event.dwExtraInfo,             event.scanCode};
  for (int i = 0; i < p.unmatchedCount; ++i) {
    if (!SameEvent(p.unmatched[i], seen)) continue;
    // Its raw input came first (a hook ahead of the observer's made it wait): not missed, but any
    // raw event before it was.
    CountAsMissedByHook(p, i, verdicts);
    verdicts.paired(seen, p.unmatched[0]);
    RemoveUnmatched(p, 1);
    return;
  }
  CountAsMissedByHook(p, p.unmatchedCount, verdicts);
  if (p.seenCount == kUnmatchedCapacity) {
    // "The call is made by sending a message to the thread that installed the hook"
    // (LowLevelKeyboardProc), and a message call handles "Sent messages" before "Input (hardware)
    // messages" (PeekMessage, remarks), WM_INPUT among them (QS_RAWINPUT, GetQueueStatus): the
    // hook may run through much of a burst that a program typed in one SendInput before the first
    // WM_INPUT of it is returned (inferred; Wine 8 was seen 218 events ahead).
    ++p.forgottenCount;
    p.forgottenUntil = SeenByHook(p, 0).messageTime;
    ForgetSeenByHook(p, 1, verdicts);
  }
  SeenByHook(p, p.seenCount++) = seen;
}

void PairRawEvent(KeyEventPairing& p, const RAWKEYBOARD& raw, DWORD messageTime, uint64_t counterTime,
                  const PairingVerdicts& verdicts) {
  // No scan code, a keyboard overrun, the E1 prefix of Pause, and the fake Shifts that keyboards
  // send around some E0 keys: none of these reaches a low-level hook as a key. (Right Shift itself
  // comes with no E0 in raw input, on Windows and under Wine 8.)
  if (raw.MakeCode == 0 || raw.MakeCode == 0xFF || (raw.Flags & RI_KEY_E1) != 0) return;
  if ((raw.Flags & RI_KEY_E0) != 0 && (raw.MakeCode == 0x2A || raw.MakeCode == 0x36)) return;
  // ExtraInformation is 32 bits wide: our tag is recognised at that width.
  const bool own = raw.ExtraInformation == static_cast<ULONG>(kInjectionTag);
  const KeyIdentity key = IdentifyKey(raw.MakeCode, (raw.Flags & RI_KEY_E0) != 0);
  const KeyStroke event = {key.makeCode, key.e0,    (raw.Flags & RI_KEY_BREAK) != 0, own, messageTime, counterTime,
                           raw.VKey,     raw.Flags, raw.ExtraInformation,            raw.MakeCode};
  // Raw input comes in stream order, and the events dropped from the ring came before those it
  // holds: a raw event no later than they is taken for one of theirs. One that is later shows that
  // those still waiting were swallowed behind the hook.
  if (p.forgottenCount > 0 && static_cast<LONG>(messageTime - p.forgottenUntil) > 0) p.forgottenCount = 0;
  if (p.forgottenCount > 0) {
    --p.forgottenCount;
    verdicts.unknown(event);
    return;
  }
  for (int i = 0; i < p.seenCount; ++i) {
    if (!SameEvent(SeenByHook(p, i), event)) continue;
    // Seen by the hook, as usual; the events the hook saw before it got no raw input (swallowed
    // by a hook behind the observer's) and are forgotten with it.
    ForgetSeenByHook(p, i, verdicts);
    verdicts.paired(SeenByHook(p, 0), event);
    p.seenHead = (p.seenHead + 1) % kUnmatchedCapacity;
    --p.seenCount;
    return;
  }
  // Not seen (yet). What the hook saw in an earlier tick was swallowed behind it; anything left
  // came later in the stream, so the hook has already passed this event by.
  while (p.seenCount > 0 && static_cast<LONG>(SeenByHook(p, 0).messageTime - messageTime) < 0) {
    ForgetSeenByHook(p, 1, verdicts);
  }
  if (p.unmatchedCount == kUnmatchedCapacity) {
    // No room: the oldest are kept, so that their deadline still tells a hook that is gone.
    verdicts.unknown(event);
    return;
  }
  p.unmatched[p.unmatchedCount++] = event;
  if (p.seenCount > 0) {
    CountAsMissedByHook(p, p.unmatchedCount, verdicts);
    return;
  }
  if (!event.own) verdicts.foreignRawWaiting(event);
}

bool ForeignRawEventsWaiting(const KeyEventPairing& p) {
  return std::any_of(p.unmatched, p.unmatched + p.unmatchedCount, [](const KeyStroke& stroke) { return !stroke.own; });
}

DWORD MsUntilMissDeadline(const KeyEventPairing& p, DWORD tickNow) {
  if (p.unmatchedCount == 0) return INFINITE;
  const DWORD waited = tickNow - p.unmatched[0].messageTime;  // wraps with the tick count
  return waited >= kLongestHookTimeMs ? 0 : kLongestHookTimeMs - waited;
}

void ExpireUnmatchedRawEvents(KeyEventPairing& p, DWORD tickNow, bool all, const PairingVerdicts& verdicts) {
  int due = 0;
  while (due < p.unmatchedCount && (all || tickNow - p.unmatched[due].messageTime >= kLongestHookTimeMs)) ++due;
  CountAsMissedByHook(p, due, verdicts);
}
