// Names for what a low-level hook and raw input give, as the tools print them.
#pragma once

#include <windows.h>

#include <span>

struct FlagName {
  DWORD bit;
  const char* name;
};

// KBDLLHOOKSTRUCT::flags and RAWKEYBOARD::Flags.
inline constexpr FlagName kHookFlagNames[] = {
    {LLKHF_EXTENDED, "EXTENDED"}, {LLKHF_LOWER_IL_INJECTED, "LOWER_IL_INJECTED"},
    {LLKHF_INJECTED, "INJECTED"}, {LLKHF_ALTDOWN, "ALTDOWN"},
    {LLKHF_UP, "UP"},
};
inline constexpr FlagName kRawFlagNames[] = {{RI_KEY_BREAK, "BREAK"}, {RI_KEY_E0, "E0"}, {RI_KEY_E1, "E1"}};

// The set bits by name, joined by '|'; empty for none.
void FlagNames(DWORD flags, std::span<const FlagName> names, char* buffer, size_t size);

// WM_KEYDOWN and the three others by name, anything else in hex.
const char* MessageName(WPARAM message, char* buffer, size_t size);

// A short name for the keys people usually trace; empty when unknown.
const char* KeyName(DWORD virtualKey, DWORD scanCode, char* buffer, size_t size);
