// burst_typer: the Wine tests' stand-in for a program that pastes text as keystrokes. It types
// 2,000 key events (letters, each pressed and released) in one SendInput call, by virtual key and
// scan code, into the window that has the focus, and only if that is one of keytrace's windows.
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

constexpr UINT kCount = 2000;
INPUT inputs[kCount];

}  // namespace

int wmain() {
  wchar_t title[16] = L"";
  GetWindowTextW(GetForegroundWindow(), title, 16);
  if (std::wcsncmp(title, L"keytrace", 8) != 0) {
    std::printf("burst_typer: the focus is not on a keytrace window; typing nothing\n");
    return 3;
  }
  for (UINT i = 0; i < kCount; ++i) {
    const auto vk = static_cast<WORD>('A' + (i / 2) % 26);
    inputs[i].type = INPUT_KEYBOARD;
    inputs[i].ki = {vk, static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC)), i % 2 ? KEYEVENTF_KEYUP : 0u, 0, 0};
  }
  const UINT sent = SendInput(kCount, inputs, sizeof(INPUT));
  std::printf("burst_typer: sent %u of %u\n", sent, kCount);
  return sent == kCount ? 0 : 1;
}
