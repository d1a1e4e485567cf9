// raw_input_probe: a background process with what Velmora's watchdog stands on, a message-only
// window that takes keyboard raw input with RIDEV_INPUTSINK and a low-level keyboard hook, both
// on one thread. It prints a line for each hook call and each WM_INPUT, stamped with the
// performance counter, so that a test can see what raw input reports under Wine, and when.
//
// It runs for 4 s (or the milliseconds its argument gives), and at its start sends a key-down and
// a key-up of Z by scan code, tagged as Velmora tags its events.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

LARGE_INTEGER frequency;

double NowMs() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

LRESULT CALLBACK HookProc(int code, WPARAM message, LPARAM lparam) {
  const auto* key = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lparam);
  if (code == HC_ACTION)
    printf("hook t=%.3f scan=0x%02lX up=%d extra=0x%llX\n", NowMs(), key->scanCode,
           (key->flags & LLKHF_UP) ? 1 : 0, static_cast<unsigned long long>(key->dwExtraInfo));
  return CallNextHookEx(nullptr, code, message, lparam);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  RAWINPUT input;
  UINT size = sizeof input;
  if (message == WM_INPUT &&
      GetRawInputData(reinterpret_cast<HRAWINPUT>(lparam), RID_INPUT, &input, &size,
                      sizeof(RAWINPUTHEADER)) != static_cast<UINT>(-1) &&
      input.header.dwType == RIM_TYPEKEYBOARD)
    printf("raw t=%.3f scan=0x%02X up=%d e0=%d extra=0x%lX\n", NowMs(),
           input.data.keyboard.MakeCode, (input.data.keyboard.Flags & RI_KEY_BREAK) ? 1 : 0,
           (input.data.keyboard.Flags & RI_KEY_E0) ? 1 : 0, input.data.keyboard.ExtraInformation);
  return DefWindowProcW(window, message, wparam, lparam);
}

void InjectZ(bool up) {
  INPUT input = {};
  input.type = INPUT_KEYBOARD;
  input.ki.wScan = 0x2C;
  input.ki.dwFlags = KEYEVENTF_SCANCODE | (up ? KEYEVENTF_KEYUP : 0);
  input.ki.dwExtraInfo = 0x53485250;
  SendInput(1, &input, sizeof input);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  QueryPerformanceFrequency(&frequency);
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"raw_input_probe";
  RegisterClassW(&windowClass);
  HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                nullptr, windowClass.hInstance, nullptr);
  RAWINPUTDEVICE keyboard = {0x01, 0x06, RIDEV_INPUTSINK, window};  // generic desktop, keyboard
  HHOOK hook = SetWindowsHookExW(WH_KEYBOARD_LL, HookProc, windowClass.hInstance, 0);
  if (window == nullptr || !RegisterRawInputDevices(&keyboard, 1, sizeof keyboard) || !hook) {
    printf("error %lu\n", GetLastError());
    return 1;
  }
  printf("ready\n");
  SetTimer(nullptr, 0, argc > 1 ? _wtoi(argv[1]) : 4000, nullptr);
  InjectZ(false);
  InjectZ(true);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0 && message.message != WM_TIMER)
    DispatchMessageW(&message);
  UnhookWindowsHookEx(hook);
  return 0;
}
