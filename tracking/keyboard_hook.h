#pragma once

#include "platform/win32.h"

// The global WH_KEYBOARD_LL hook procedure. It only observes: every call ends in CallNextHookEx
// with its arguments unchanged, so no event is ever swallowed or altered.
LRESULT CALLBACK KeyboardHookProc(int nCode, WPARAM wParam, LPARAM lParam);
