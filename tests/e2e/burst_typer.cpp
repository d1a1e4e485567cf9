// burst_typer: a test's stand-in for a program that pastes text as keystrokes. It types COUNT
// key events (default 2,000: letters, each pressed and released) in one SendInput call, into the
// window that has the focus, and only if that is a window of keytrace's. Prints what SendInput
// accepted; exits 0 when it took them all.
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

constexpr int kMaxEvents = 4000;
INPUT inputs[kMaxEvents];

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int count = argc > 1 ? _wtoi(argv[1]) : 2000;
  if (count < 2 || count > kMaxEvents || count % 2 != 0) {
    std::printf("burst_typer: COUNT must be even, 2 to %d\n", kMaxEvents);
    return 2;
  }
  wchar_t title[64] = L"";
  GetWindowTextW(GetForegroundWindow(), title, 64);
  if (std::wcsncmp(title, L"keytrace", 8) != 0) {
    std::printf("burst_typer: the focus is not on a keytrace window; typing nothing\n");
    return 3;
  }
  for (int i = 0; i < count; ++i) {
    const WORD vk = static_cast<WORD>('A' + (i / 2) % 26);
    KEYBDINPUT& k = inputs[i].ki;
    inputs[i].type = INPUT_KEYBOARD;
    k.wVk = vk;
    k.wScan = static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
    k.dwFlags = i % 2 != 0 ? KEYEVENTF_KEYUP : 0;
  }
  const UINT sent = SendInput(static_cast<UINT>(count), inputs, sizeof(INPUT));
  std::printf("burst_typer: sent=%u of %d\n", sent, count);
  return sent == static_cast<UINT>(count) ? 0 : 1;
}
