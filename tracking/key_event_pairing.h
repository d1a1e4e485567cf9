// Pairing the two views of the keyboard: what a low-level hook is given and what raw input
// reports, so that a key event one of them never saw can be told.
//
// Facts about Windows this relies on:
// - A low-level hook is called for an event before the event is posted to any thread's input
//   queue, and so before the WM_INPUT for it exists. A hook that returns non-zero swallows the
//   event: no later hook and no raw input sees it.
// - A hook that does not return within LowLevelHooksTimeout (at most 1000 ms since Windows 10
//   1709) is skipped for that event, which is passed on; since Windows 7 such a hook may also be
//   removed silently, and nothing tells its owner.
// So every event a hook missed still arrives as raw input, an event that a hook ahead of it
// swallowed arrives neither way, and an event that a hook behind it swallowed reaches the hook
// only: a hook call without a raw counterpart is normal and means nothing.
//
// The pairing only tells what it found, through PairingVerdicts; what a verdict means is the
// caller's business (Velmora settles missed events on its key slots, keytrace prints them). One
// record per observer, used on one thread.
#pragma once

#include <cstdint>

#include "platform/win32.h"

// Windows lets a low-level hook take at most this long before it passes the event on without it.
inline constexpr DWORD kLongestHookTimeMs = 1000;
inline constexpr int kUnmatchedCapacity = 16;

// One key event as both views identify it (tracking/key_identity.h: the make code, and the E0
// prefix where it counts), and its direction.
struct KeyStroke {
  uint16_t scanCode;
  bool extended;
  bool up;
  bool own;              // carried our injection tag
  DWORD messageTime;     // hook events: the event's time; raw events: GetMessageTime() of the WM_INPUT
  uint64_t counterTime;  // raw events: the performance counter when the message was handled
  // The view as it was given, for an observer that shows it: the hook's vkCode, flags, dwExtraInfo
  // and scanCode, or raw input's VKey, Flags, ExtraInformation and MakeCode.
  DWORD virtualKey;
  DWORD viewFlags;
  ULONG_PTR extraInfo;
  DWORD viewScanCode;
};

struct KeyEventPairing {
  // Events the hook saw whose raw input has not come yet (a ring; the oldest is overwritten, since
  // an event swallowed by a hook behind the observer's never gets a raw counterpart).
  KeyStroke seenByHook[kUnmatchedCapacity];
  int seenHead;
  int seenCount;
  // Hook events dropped from the full ring whose raw input may still come, and the time of the
  // newest of them: a raw event up to then may be one of theirs, and cannot be compared.
  int forgottenCount;
  DWORD forgottenUntil;
  // Raw events the hook has not (yet) seen, oldest first.
  KeyStroke unmatched[kUnmatchedCapacity];
  int unmatchedCount;
};

// What the pairing found, as it finds it; every entry is called on the pairing's thread, from
// inside the call that fed it the deciding event.
struct PairingVerdicts {
  // The hook's event and its raw input are the same key event.
  void (*paired)(const KeyStroke& hook, const KeyStroke& raw);
  // The hook saw this event and raw input has not shown it: swallowed behind the hook, or dropped
  // from the full ring (its raw input, if it comes, is unknown).
  void (*hookOnly)(const KeyStroke& hook);
  // Raw input showed this event and the hook never saw it. `later` holds the events the hook has
  // seen since without their raw input (which came later in the stream), oldest first.
  void (*missed)(const KeyStroke& raw, const KeyStroke* later, int laterCount);
  // A foreign raw event (not ours) was left waiting for the hook to see it.
  void (*foreignRawWaiting)(const KeyStroke& raw);
  // Raw input showed this event when the pairing could not compare it: the hook had run ahead of
  // raw input by more events than the ring keeps (a program typing a burst), or the hook had seen
  // nothing of more raw events than the record holds. Neither seen nor missed; a hook that is
  // really gone still shows at the deadline of the raw events kept.
  void (*unknown)(const KeyStroke& raw);
};

// The hook's side: called for every event the hook is given, before it acts on it.
void PairHookEvent(KeyEventPairing& pairing, const KBDLLHOOKSTRUCT& event, const PairingVerdicts& verdicts);

// The message loop's side: a keyboard raw input event, the time of its message, and the counter
// when it was handled.
void PairRawEvent(KeyEventPairing& pairing, const RAWKEYBOARD& raw, DWORD messageTime, uint64_t counterTime,
                  const PairingVerdicts& verdicts);

// Whether a foreign raw event waits for the hook.
bool ForeignRawEventsWaiting(const KeyEventPairing& pairing);

// How long the message loop may wait before the oldest unmatched raw event counts as missed:
// INFINITE when there is none, so an idle loop waits for messages alone.
DWORD MsUntilMissDeadline(const KeyEventPairing& pairing, DWORD tickNow);

// Counts as missed every unmatched raw event whose deadline has passed, or all of them.
void ExpireUnmatchedRawEvents(KeyEventPairing& pairing, DWORD tickNow, bool all, const PairingVerdicts& verdicts);
