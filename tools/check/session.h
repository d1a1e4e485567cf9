// The session a check runs in: Velmora's process, the check's two windows, the journal of what the
// observer saw, and the one way out when the check must stop (the focus left, or someone typed).
#pragma once

#include <windows.h>

#include <cstdint>

#include "app/keyboard_settings.h"
#include "tools/check/observer.h"

inline constexpr int kJournalCapacity = 32768;

struct Session {
  DWORD velmoraProcessId;
  DWORD velmoraThreadId;  // its main thread, which runs its hook
  HWND window;       // "velmora-check": the keys go here
  HWND otherWindow;  // "velmora-check-other": the foreground moves here in one check
  RepeatTimings timings;  // what the product's settings code gives now
  bool keysExpected;      // the guided part: keys from the keyboard are answers, not a reason to stop
};

extern Session session;

// The two windows, shown; false on failure.
bool OpenWindows();

// Makes the check's window the foreground one: SetForegroundWindow, and if Windows does not allow
// it, asks the person to click it and waits up to 30 s. False when it never came.
bool TakeForeground();

// Pumps messages and collects what the observer sees for ms milliseconds. Stops the program (exit 2)
// when the foreground leaves the check's windows or, outside the guided part, a key event arrives
// that nobody injected.
void Pump(double ms);

// The journal: every event seen since the program started, oldest first.
int JournalMark();
const ObservedEvent* JournalAt(int index);

// Posts WM_NULL, a message that does nothing, to Velmora's main thread and gives it a moment to
// fetch it. NOTE: under Wine 8 a key event reaches no low-level hook when the first-installed hook's
// thread also takes raw input and has fetched no message for 5 s; Velmora's main thread is such a
// thread once it is idle. On Windows the message costs Velmora one wake-up.
void WakeVelmora();

// Releases every key pressed, says why in one sentence, and ends the program with exit 2.
[[noreturn]] void StopCheck(const char* why);
