// null_hook: a low-level keyboard hook that only passes every event on. Under Wine each such
// hook adds a round trip through wineserver to every key event; timing a typed burst with this
// hook in place shows how much of Velmora's cost per event is that round trip and how much is
// Velmora's own work. Console program: it says "hooked" once the hook is in place, and ends on
// WM_QUIT to its main thread (keytrace --stop PID).

#include <windows.h>

#include <cstdio>

namespace {

HHOOK g_hook = nullptr;

LRESULT CALLBACK PassOn(int code, WPARAM wparam, LPARAM lparam) {
  return CallNextHookEx(g_hook, code, wparam, lparam);
}

}  // namespace

int wmain() {
  MSG msg;
  // A message queue before anyone can post WM_QUIT to this thread.
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  g_hook = SetWindowsHookExW(WH_KEYBOARD_LL, PassOn, GetModuleHandleW(nullptr), 0);
  if (g_hook == nullptr) {
    std::printf("SetWindowsHookEx failed (error %lu)\n", GetLastError());
    return 1;
  }
  std::printf("hooked\n");
  std::fflush(stdout);
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  UnhookWindowsHookEx(g_hook);
  return 0;
}
