// Keys as another program would send them: SendInput, untagged, wVk and wScan both set and no
// KEYEVENTF_SCANCODE (with it, Windows ignores wVk: KEYBDINPUT). Every key pressed here is
// remembered until its key-up went in, so that any way out of the program can release it.
//
// The injection also keeps Windows' shortcuts from firing:
// - Sticky Keys' shortcut is five presses of Shift (STICKYKEYS, SKF_HOTKEYACTIVE): before a fifth
//   Shift press in a row, a letter is tapped into the check's window.
// - Left Alt with Shift, and Ctrl with Shift, switch the keyboard layout (the Language bar's
//   hotkeys): no modifier is pressed while another is down.
// - Filter Keys turns on after right Shift is held for eight seconds (FilterKeys, FKF_HOTKEYACTIVE):
//   no hold here is that long (kLongestHoldMs).
#pragma once

#include <windows.h>

#include <cstdint>

inline constexpr DWORD kLongestHoldMs = 7000;

// Injects one key event; returns the counter read just before SendInput, or 0 when it was refused
// (by SendInput, or because it would break one of the rules above).
uint64_t SendKey(WORD virtualKey, WORD scanCode, bool up);

// One KEYEVENTF_UNICODE event for the UTF-16 unit.
uint64_t SendText(wchar_t unit, bool up);

// Key-ups for every key pressed here and not yet released; safe from any thread.
void ReleaseEveryKey();

// The four keys' names that GetAsyncKeyState reports down, comma-separated; empty when none.
void KeysDownByAsyncState(char* buffer, size_t size);

// Ctrl+C, Ctrl+Break and closing the console release every key before the process ends.
void InstallConsoleGuard();
