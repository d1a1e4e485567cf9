#include "tools/common/key_names.h"

#include <cstdio>

void FlagNames(DWORD flags, std::span<const FlagName> names, char* buffer, size_t size) {
  size_t used = 0;
  buffer[0] = '\0';
  for (const FlagName& name : names) {
    if (!(flags & name.bit)) continue;
    const int n = snprintf(buffer + used, size - used, "%s%s", used ? "|" : "", name.name);
    if (n < 0 || static_cast<size_t>(n) >= size - used) break;
    used += static_cast<size_t>(n);
  }
}

const char* MessageName(WPARAM message, char* buffer, size_t size) {
  switch (message) {
    case WM_KEYDOWN: return "WM_KEYDOWN";
    case WM_KEYUP: return "WM_KEYUP";
    case WM_SYSKEYDOWN: return "WM_SYSKEYDOWN";
    case WM_SYSKEYUP: return "WM_SYSKEYUP";
  }
  snprintf(buffer, size, "0x%04X", static_cast<unsigned>(message));
  return buffer;
}

const char* KeyName(DWORD virtualKey, DWORD scanCode, char* buffer, size_t size) {
  switch (virtualKey) {
    case VK_LSHIFT: return "LSHIFT";
    case VK_RSHIFT: return "RSHIFT";
    case VK_LCONTROL: return "LCONTROL";
    case VK_RCONTROL: return "RCONTROL";
    case VK_LMENU: return "LMENU";
    case VK_RMENU: return "RMENU";
    case VK_SHIFT: return "SHIFT";
    case VK_CONTROL: return "CONTROL";
    case VK_MENU: return "MENU";
    case VK_LWIN: return "LWIN";
    case VK_RWIN: return "RWIN";
    case VK_SPACE: return "SPACE";
    case VK_RETURN: return "RETURN";
    case VK_ESCAPE: return "ESCAPE";
    case VK_TAB: return "TAB";
    case VK_BACK: return "BACK";
    case 0:
      // Injected by scan code alone (NOTE: Wine leaves vkCode 0 for these): named after the scan
      // code.
      switch (scanCode) {
        case 0x2A: return "scan:LSHIFT";
        case 0x36: return "scan:RSHIFT";
        case 0x1D: return "scan:CONTROL";
        case 0x38: return "scan:ALT";
      }
      return "";
  }
  if ((virtualKey >= '0' && virtualKey <= '9') || (virtualKey >= 'A' && virtualKey <= 'Z')) {
    snprintf(buffer, size, "%c", static_cast<char>(virtualKey));
    return buffer;
  }
  if (virtualKey >= VK_F1 && virtualKey <= VK_F24) {
    snprintf(buffer, size, "F%u", static_cast<unsigned>(virtualKey - VK_F1 + 1));
    return buffer;
  }
  return "";
}
