#include "tools/check/injection.h"

#include <cstdio>
#include <cstring>

#include "tools/check/observer.h"
#include "tools/check/report.h"
#include "tracking/key_slots.h"

namespace {

constexpr int kMaxDown = 8;

struct DownKey {
  WORD virtualKey;
  WORD scanCode;
  bool text;
};

// Written by the main thread and by the console control handler's thread, under the lock.
SRWLOCK downLock = SRWLOCK_INIT;
DownKey downKeys[kMaxDown];
int downCount = 0;
int shiftPressesInARow = 0;  // main thread only

bool IsModifier(WORD virtualKey) {
  for (const MonitoredKey& key : kMonitoredKeys)
    if (key.virtualKey == virtualKey) return true;
  return false;
}

bool IsShift(WORD virtualKey) { return virtualKey == VK_LSHIFT || virtualKey == VK_RSHIFT; }

uint64_t Inject(WORD virtualKey, WORD scanCode, DWORD flags) {
  INPUT input = {};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = virtualKey;
  input.ki.wScan = scanCode;
  input.ki.dwFlags = flags;
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  if (SendInput(1, &input, sizeof input) != 1) return 0;
  return now.QuadPart ? static_cast<uint64_t>(now.QuadPart) : 1;
}

// Remembers or forgets a key, under the lock.
void Track(const DownKey& key, bool up) {
  AcquireSRWLockExclusive(&downLock);
  int found = -1;
  for (int i = 0; i < downCount; ++i)
    if (downKeys[i].virtualKey == key.virtualKey && downKeys[i].scanCode == key.scanCode && downKeys[i].text == key.text)
      found = i;
  if (up && found >= 0) {
    downKeys[found] = downKeys[--downCount];
  } else if (!up && found < 0 && downCount < kMaxDown) {
    downKeys[downCount++] = key;
  }
  ReleaseSRWLockExclusive(&downLock);
}

bool ModifierDown() {
  AcquireSRWLockShared(&downLock);
  bool any = false;
  for (int i = 0; i < downCount; ++i) any = any || (!downKeys[i].text && IsModifier(downKeys[i].virtualKey));
  ReleaseSRWLockShared(&downLock);
  return any;
}

BOOL WINAPI ConsoleControl(DWORD) {
  ReleaseEveryKey();
  StopObserver();
  PrintLine("stopped: interrupted (Ctrl+C or the console closed); every key it pressed is released");
  ExitProcess(2);
  return TRUE;
}

}  // namespace

uint64_t SendKey(WORD virtualKey, WORD scanCode, bool up) {
  if (!up) {
    if (IsModifier(virtualKey) && ModifierDown()) return 0;
    if (IsShift(virtualKey) && shiftPressesInARow == 4) {
      // A letter between, into the check's own window.
      Inject('A', 0x1E, 0);
      Inject('A', 0x1E, KEYEVENTF_KEYUP);
      shiftPressesInARow = 0;
    }
    shiftPressesInARow = IsShift(virtualKey) ? shiftPressesInARow + 1 : 0;
    Track({virtualKey, scanCode, false}, false);
  }
  const uint64_t sent = Inject(virtualKey, scanCode, up ? KEYEVENTF_KEYUP : 0);
  if (up) Track({virtualKey, scanCode, false}, true);
  return sent;
}

uint64_t SendText(wchar_t unit, bool up) {
  if (!up) Track({0, static_cast<WORD>(unit), true}, false);
  const uint64_t sent = Inject(0, static_cast<WORD>(unit), KEYEVENTF_UNICODE | (up ? KEYEVENTF_KEYUP : 0));
  if (up) Track({0, static_cast<WORD>(unit), true}, true);
  return sent;
}

void ReleaseEveryKey() {
  AcquireSRWLockExclusive(&downLock);
  for (int i = 0; i < downCount; ++i) {
    const DownKey& key = downKeys[i];
    Inject(key.virtualKey, key.scanCode, (key.text ? KEYEVENTF_UNICODE : 0) | KEYEVENTF_KEYUP);
  }
  downCount = 0;
  ReleaseSRWLockExclusive(&downLock);
}

void KeysDownByAsyncState(char* buffer, size_t size) {
  static const char* const kNames[] = {"left Shift", "left Ctrl", "left Alt", "right Shift"};
  size_t used = 0;
  buffer[0] = '\0';
  for (int i = 0; i < kSlotCount; ++i) {
    // The high bit: down now (GetAsyncKeyState).
    if (!(GetAsyncKeyState(static_cast<int>(kMonitoredKeys[i].virtualKey)) & 0x8000)) continue;
    const int n = snprintf(buffer + used, size - used, "%s%s", used ? ", " : "", kNames[i]);
    if (n < 0 || static_cast<size_t>(n) >= size - used) break;
    used += static_cast<size_t>(n);
  }
}

void InstallConsoleGuard() { SetConsoleCtrlHandler(ConsoleControl, TRUE); }
