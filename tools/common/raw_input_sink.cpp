#include "tools/common/raw_input_sink.h"

namespace {

// Usage page 1 (generic desktop), usage 6 (keyboard).
constexpr USHORT kGenericDesktop = 0x01;
constexpr USHORT kKeyboard = 0x06;

}  // namespace

HWND StartRawInputSink(const wchar_t* className, WNDPROC procedure) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = procedure;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = className;
  if (!RegisterClassW(&windowClass)) return nullptr;
  HWND window = CreateWindowExW(0, className, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                windowClass.hInstance, nullptr);
  // RIDEV_INPUTSINK needs the target window named.
  RAWINPUTDEVICE keyboard = {kGenericDesktop, kKeyboard, RIDEV_INPUTSINK, window};
  if (window && !RegisterRawInputDevices(&keyboard, 1, sizeof keyboard)) {
    DestroyWindow(window);
    return nullptr;
  }
  return window;
}

void StopRawInputSink(HWND window) {
  RAWINPUTDEVICE keyboard = {kGenericDesktop, kKeyboard, RIDEV_REMOVE, nullptr};
  RegisterRawInputDevices(&keyboard, 1, sizeof keyboard);
  DestroyWindow(window);
}

bool ReadRawKeyboard(LPARAM lparam, RAWINPUT& input) {
  UINT size = sizeof input;
  return GetRawInputData(reinterpret_cast<HRAWINPUT>(lparam), RID_INPUT, &input, &size,
                         sizeof(RAWINPUTHEADER)) != static_cast<UINT>(-1) &&
         input.header.dwType == RIM_TYPEKEYBOARD;
}
