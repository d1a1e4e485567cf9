#include "tracking/key_slots.h"

UINT SendSyntheticKey(const KeySlot& slot, bool up) {
  INPUT input = {};
  input.type = INPUT_KEYBOARD;
  // By scan code only: the system derives the virtual key, as it does for a physical key.
  input.ki.wVk = 0;
  input.ki.wScan = slot.scanCode;
  input.ki.dwFlags = slot.extraFlags | KEYEVENTF_SCANCODE | (up ? KEYEVENTF_KEYUP : 0);
  input.ki.time = 0;  // the system stamps the event
  input.ki.dwExtraInfo = kInjectionTag;
  return SendInput(1, &input, sizeof(INPUT));
}
