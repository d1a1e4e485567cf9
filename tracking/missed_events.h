// Noticing the key events that the keyboard hook never saw, by pairing the hook's view of the
// input stream with the raw keyboard input that the main thread also receives
// (tracking/key_event_pairing.h), and settling each one the hook missed on the key slots.
//
// Everything here runs on the main thread (the hook and the message loop); only the workers'
// view of it, hookBusy, is shared.
#pragma once

#include <cstdint>

#include "platform/win32.h"
#include "tracking/key_event_pairing.h"

struct MissedEventWatch {
  KeyEventPairing pairing;
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
