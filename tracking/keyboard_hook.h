#pragma once

#include <cstdint>

#include "platform/win32.h"

// The global WH_KEYBOARD_LL hook procedure. It only observes: every call ends in CallNextHookEx
// with its arguments unchanged, so no event is ever swallowed or altered.
LRESULT CALLBACK KeyboardHookProc(int nCode, WPARAM wParam, LPARAM lParam);

// What the hook does with one event, for the events it missed (tracking/missed_events.cpp).
// A foreign event updates the activity counters and its key's slot; stamp is the performance
// counter's value when the event was seen.
void RecordForeignEvent(WPARAM message, const KBDLLHOOKSTRUCT& event, uint64_t stamp);
// One of our own events: a key-down of ours that landed after the key's release asks the worker
// for the key-up it leaves owed.
void NoteOwnKeyEvent(WPARAM message, const KBDLLHOOKSTRUCT& event);
// Signals the workers whose key is held, so that they stand down and re-arm.
void WakeWorkersServingAKey();
