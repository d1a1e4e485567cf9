#pragma once

#include <cstdint>

#include "platform/win32.h"

extern HANDLE instanceMutex;      // main thread only; null when not held
extern uint8_t slotStarted[4];    // main thread only; 1 from worker creation until it is joined

// The whole life of the program: guard, workers, settings, window, hook, message loop, teardown.
// Returns the process exit code: 0 after a normal end (or when another instance runs), 1 when
// something could not be created.
int RunApplication(HINSTANCE instance);

// Releases whatever exists, in order: the raw input, every worker told to stop, the hook, the
// session notifications and the window, the settings watch, then each worker (joined, event
// closed), the timer library, the mutex. Safe with any subset created; every handle is closed
// once and nulled.
void ShutdownAll();
