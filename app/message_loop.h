#pragma once

#include "platform/win32.h"

// The main thread's message loop, which the system needs to call the low-level hook and the window
// procedure (it does so from inside the loop's message calls). It also reads the raw keyboard
// input, counts a raw event that the hook never saw as missed once its deadline passes, installs
// the hook again after a miss (within the bound of app/reinstall_bound.h) and at once after an
// unlock or a resume, and waits for the handles of other sources. Returns when WM_QUIT is posted
// to the thread or its wait fails.
void RunMessageLoop(HINSTANCE instance);

// Removes the hook (whatever became of it) and installs it again, now: a reinstall for another
// reason than a miss calls this directly, outside the bound. hookHandle is null when it fails,
// and the next miss tries again.
void ReinstallKeyboardHook(HINSTANCE instance);
