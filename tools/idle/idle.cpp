// velmora_idle: a windowless GUI process that only waits for messages. It is
// the baseline when measuring what Velmora costs while nothing happens.

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  return 0;
}
