#pragma once

#include "platform/win32.h"

extern HWND rawInputWindow;  // main thread only; null while there is none

// A message-only window (never shown, no taskbar entry, not among the top-level windows) that
// receives the session's keyboard raw input even in the background, so that the main thread sees
// every key event a second way. When it cannot be made, nothing is left behind and the program
// runs without it.
void StartRawInput(HINSTANCE instance);

// Stops the raw input and destroys the window; safe when there is none.
void StopRawInput();

// Hands one WM_INPUT's keyboard event to the missed-event watch.
void HandleRawInput(const MSG& message);
