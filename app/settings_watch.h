// The user's repeat settings, followed while Velmora runs: the keyboard's values and Filter Keys
// are read at start and again whenever the registry reports a change under either key, and the
// timings they give are published to the workers. Nothing runs while nothing changes: the
// message loop waits on the watch's events beside its messages.
#pragma once

#include "platform/win32.h"

// At most this many handles to wait on: one event per watched key.
inline constexpr int kSettingsWatchHandles = 2;

// Opens HKCU "Control Panel\Keyboard" and "Control Panel\Accessibility\Keyboard Response",
// registers for changes of their values, then reads and publishes the timings. A key that cannot
// be opened or registered is not watched, silently: what was read stays until another key's
// change is reported.
void StartSettingsWatch();

// Copies the events to wait on (at most capacity) into handles and returns how many. They stay
// the same from start to stop.
int SettingsWatchHandles(HANDLE* handles, int capacity);

// For an event the wait returned signalled: registers for the key's next change, then reads and
// publishes the timings.
void HandleSettingsChange(HANDLE signalled);

// For an event whose wait failed: that key is no longer watched (waiting on it again could fail at
// once, for ever); the timings stay as they are.
void StopWatchingSettings(HANDLE event);

// Closes each watched key, then its event, and nulls both; a second call touches nothing.
void StopSettingsWatch();
