// Noticing the key events that the keyboard hook never saw, by comparing the hook's view of the
// input stream with the raw keyboard input that the main thread also receives.
//
// Facts about Windows this relies on:
// - A low-level hook is called for an event before the event is posted to any thread's input
//   queue, and so before the WM_INPUT for it exists. A hook that returns non-zero swallows the
//   event: no later hook and no raw input sees it.
// - A hook that does not return within LowLevelHooksTimeout (at most 1000 ms since Windows 10
//   1709) is skipped for that event, which is passed on; since Windows 7 such a hook may also be
//   removed silently, and nothing tells its owner.
// So every event our hook missed still arrives as raw input, an event that a hook ahead of ours
// swallowed arrives neither way, and an event that a hook behind ours swallowed reaches our hook
// only: a hook call without a raw counterpart is normal and means nothing.
//
// Everything here runs on the main thread (the hook and the message loop); only the workers'
// view of it, hookBusy, is shared.
#pragma once

#include <cstdint>

#include "platform/win32.h"

// Windows lets a low-level hook take at most this long before it passes the event on without it.
inline constexpr DWORD kLongestHookTimeMs = 1000;
inline constexpr int kUnmatchedCapacity = 16;

// One key event as both views identify it: the scan code with its E0 prefix, and its direction.
struct KeyStroke {
  uint16_t scanCode;
  bool extended;
  bool up;
  bool own;              // carried our injection tag
  DWORD messageTime;     // raw events: GetMessageTime() of the WM_INPUT, in system ticks
  uint64_t counterTime;  // raw events: the performance counter when the message was handled
};

struct MissedEventWatch {
  // Events the hook saw whose raw input has not come yet (a ring; the oldest is overwritten, since
  // an event swallowed by a hook behind ours never gets a raw counterpart).
  KeyStroke seenByHook[kUnmatchedCapacity];
  int seenHead;
  int seenCount;
  // Raw events the hook has not (yet) seen, oldest first; while there are any, hookBusy stays up.
  KeyStroke unmatched[kUnmatchedCapacity];
  int unmatchedCount;
  bool hookLost;  // a miss was seen since the last TakeHookLost
};

extern MissedEventWatch missedEventWatch;  // main thread only

// The hook's side: called for every event the hook is given, before it acts on it.
void NoteHookEvent(const KBDLLHOOKSTRUCT& event);

// The message loop's side: a keyboard raw input event, the time of its message, and the counter
// when it was handled.
void NoteRawKeyboardEvent(const RAWKEYBOARD& raw, DWORD messageTime, uint64_t counterTime);

// While a foreign one is unmatched, the workers stand down: the hook keeps hookBusy raised.
bool ForeignRawEventsUnmatched();

// How long the message loop may wait before the oldest unmatched raw event counts as missed:
// INFINITE when there is none, so an idle loop waits for messages alone.
DWORD MsUntilMissDeadline(DWORD tickNow);

// Counts as missed every unmatched raw event whose deadline has passed, or all of them.
void ExpireUnmatchedRawEvents(DWORD tickNow, bool all);

// True once after any miss: the hook may have been removed and is to be installed again.
bool TakeHookLost();

// Forgets the raw events the hook has not seen, without applying them: for a stretch in which
// neither view can see the keys (the session locked, the machine asleep), whose keys are let go.
void DropPendingRawEvents();
