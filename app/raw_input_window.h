#pragma once

#include "platform/win32.h"

extern HWND rawInputWindow;  // main thread only; null while there is none

// A message-only window (never shown, no taskbar entry, not among the top-level windows) that
// receives the session's keyboard raw input even in the background, so that the main thread sees
// every key event a second way, and the session's and power notifications. When it cannot be made,
// nothing is left behind and the program runs without it.
void CreateRawInputWindow(HINSTANCE instance);
void DestroyRawInputWindow();  // safe when there is none

// The window's keyboard raw input, asked for once the hook is installed and given up before the
// hook goes; without it the program runs as it would with a hook that is never dropped.
void StartRawInput();
void StopRawInput();

// Hands one WM_INPUT's keyboard event to the missed-event watch.
void HandleRawInput(const MSG& message);
