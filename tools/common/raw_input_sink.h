// A message-only window that takes the keyboard's raw input in the background (RIDEV_INPUTSINK),
// as Velmora's does: WM_INPUT comes to it whichever window has the foreground.
#pragma once

#include <windows.h>

// The window, of a class of its own with the procedure given; null on failure (GetLastError).
HWND StartRawInputSink(const wchar_t* className, WNDPROC procedure);

// Takes the keyboard back from the window and destroys it.
void StopRawInputSink(HWND window);

// The RAWINPUT of a WM_INPUT's lParam; false unless it is a keyboard's.
bool ReadRawKeyboard(LPARAM lparam, RAWINPUT& input);
