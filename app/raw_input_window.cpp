#include "app/raw_input_window.h"

#include "app/session_notifications.h"
#include "tracking/missed_events.h"

HWND rawInputWindow;

namespace {

HINSTANCE classInstance;   // main thread only: the module the window class was registered for
bool rawInputRegistered;  // main thread only

constexpr wchar_t kWindowClass[] = L"Velmora_RawInput";
constexpr USHORT kGenericDesktopPage = 0x01;
constexpr USHORT kKeyboardUsage = 0x06;

bool RegisterKeyboard(DWORD flags, HWND target) {
  const RAWINPUTDEVICE keyboard = {kGenericDesktopPage, kKeyboardUsage, flags, target};
  return RegisterRawInputDevices(&keyboard, 1, sizeof keyboard) != FALSE;
}

}  // namespace

void CreateRawInputWindow(HINSTANCE instance) {
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  // Its procedure takes the session and power notifications and passes everything on to
  // DefWindowProcW, WM_INPUT included, which it must see for the system's clean-up; the message
  // loop reads the input before it dispatches.
  windowClass.lpfnWndProc = NotificationWindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kWindowClass;
  if (RegisterClassExW(&windowClass) == 0) return;
  classInstance = instance;
  rawInputWindow = CreateWindowExW(0, kWindowClass, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
  if (rawInputWindow == nullptr) UnregisterClassW(kWindowClass, instance);
}

void DestroyRawInputWindow() {
  if (rawInputWindow == nullptr) return;
  DestroyWindow(rawInputWindow);
  rawInputWindow = nullptr;
  UnregisterClassW(kWindowClass, classInstance);
}

void StartRawInput() {
  // RIDEV_INPUTSINK: the input comes whichever window has the focus.
  if (rawInputWindow != nullptr) rawInputRegistered = RegisterKeyboard(RIDEV_INPUTSINK, rawInputWindow);
}

void StopRawInput() {
  if (!rawInputRegistered) return;
  RegisterKeyboard(RIDEV_REMOVE, nullptr);
  rawInputRegistered = false;
}

void HandleRawInput(const MSG& message) {
  RAWINPUT input = {};
  UINT size = sizeof input;
  if (GetRawInputData(reinterpret_cast<HRAWINPUT>(message.lParam), RID_INPUT, &input, &size,
                      sizeof(RAWINPUTHEADER)) == static_cast<UINT>(-1) ||
      input.header.dwType != RIM_TYPEKEYBOARD) {
    return;
  }
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  // RAWKEYBOARD carries no time: the event's time is its message's (GetMessageTime).
  NoteRawKeyboardEvent(input.data.keyboard, message.time, static_cast<uint64_t>(now.QuadPart));
}
