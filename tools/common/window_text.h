// The one line of text a tool's window shows, so that a person who sees the window knows what it
// is doing and that the keyboard is in use.
#pragma once

#include <windows.h>

// Answers WM_PAINT with text centred in the client area.
void PaintCenteredText(HWND window, const wchar_t* text);
