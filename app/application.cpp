#include "app/application.h"

#include "app/message_loop.h"
#include "app/power_throttling.h"
#include "app/raw_input_window.h"
#include "app/settings_watch.h"
#include "app/session_notifications.h"
#include "repeat/repeat_worker.h"
#include "tracking/key_slots.h"
#include "tracking/keyboard_hook.h"

HANDLE instanceMutex;
uint8_t slotStarted[kSlotCount];

namespace {

// Session-local: one instance per logon session, other sessions unaffected.
constexpr wchar_t kInstanceMutexName[] = L"Local\\Velmora_SingleInstance";

void PrepareSlot(KeySlot& slot, const MonitoredKey& key) {
  slot.virtualKey = key.virtualKey;
  slot.scanCode = key.scanCode;
  slot.extraFlags = key.extraFlags;
  slot.stopRequested.store(0);
  slot.held.store(0);
  slot.releasePending.store(0);
  slot.releaseOwedByHook.store(0);
  slot.generation.store(0);
  slot.pressWindow.store(nullptr);
  slot.releaseTime.store(0);
  slot.compensatedReleaseTime = 0;
}

// Workers start and wait at once; nothing signals their events before the hook is installed.
bool StartSlot(int index) {
  KeySlot& slot = keySlots[index];
  PrepareSlot(slot, kMonitoredKeys[index]);
  slot.wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (slot.wakeEvent == nullptr) return false;
  slot.workerThread = CreateThread(nullptr, 0, RepeatWorkerMain, &slot, 0, nullptr);
  if (slot.workerThread == nullptr) {
    // slotStarted is not set yet, so ShutdownAll would not close this event.
    CloseHandle(slot.wakeEvent);
    slot.wakeEvent = nullptr;
    return false;
  }
  slotStarted[index] = 1;
  // As the main thread: a worker's work per wake-up is a few microseconds and it always blocks
  // again, so above the normal priority it takes nothing from other programs, and a busy machine
  // is less likely to keep a repeat waiting. CreateThread's handle carries THREAD_ALL_ACCESS, and
  // with it the THREAD_SET_INFORMATION that SetThreadPriority needs (CreateThread, SetThreadPriority).
  SetThreadPriority(slot.workerThread, THREAD_PRIORITY_HIGHEST);
  return true;
}

}  // namespace

int RunApplication(HINSTANCE instance) {
  instanceMutex = CreateMutexW(nullptr, TRUE, kInstanceMutexName);
  if (instanceMutex == nullptr) return 0;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(instanceMutex);
    instanceMutex = nullptr;
    return 0;
  }

  OptOutOfPowerThrottling();

  for (uint8_t& started : slotStarted) started = 0;
  for (int i = 0; i < kSlotCount; ++i) {
    if (!StartSlot(i)) {
      ShutdownAll();
      return 1;
    }
  }

  // The settings are read (and then followed) before the hook can wake a worker to arm on them.
  StartSettingsWatch();
  hookHandle = SetWindowsHookExW(WH_KEYBOARD_LL, KeyboardHookProc, instance, 0);
  if (hookHandle == nullptr) {
    ShutdownAll();
    return 1;
  }

  // The watch for events the hook misses comes after the hook and goes before it; without it (no
  // window, no raw input) the program runs as it would with a hook that is never dropped.
  StartRawInput(instance);
  // On the same window: without it, no notice of a lock or a suspend, and the program runs as it
  // would without them.
  StartSessionNotifications(rawInputWindow);
  // The main thread only runs the hook and the message loop, never for long and never spinning;
  // above the normal priority a busy machine is less likely to starve the hook into a time-out.
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
  RunMessageLoop(instance);
  ShutdownAll();
  return 0;
}

void ShutdownAll() {
  StopSessionNotifications();  // before the window is destroyed
  StopRawInput();
  // The hook goes first, so no event is signalled for a worker that is being stopped.
  if (hookHandle != nullptr) {
    UnhookWindowsHookEx(hookHandle);
    hookHandle = nullptr;
  }
  StopSettingsWatch();
  for (int i = 0; i < kSlotCount; ++i) {
    if (slotStarted[i] == 0) continue;
    KeySlot& slot = keySlots[i];
    slot.stopRequested.store(1);  // before the signal, so the woken worker sees it
    if (slot.wakeEvent != nullptr) SetEvent(slot.wakeEvent);
    if (slot.workerThread != nullptr) {
      // The worker sends a key-up it still owes on its way out.
      WaitForSingleObject(slot.workerThread, INFINITE);
      CloseHandle(slot.workerThread);
      slot.workerThread = nullptr;
    }
    if (slot.wakeEvent != nullptr) {
      CloseHandle(slot.wakeEvent);
      slot.wakeEvent = nullptr;
    }
    slotStarted[i] = 0;
  }
  if (instanceMutex != nullptr) {
    ReleaseMutex(instanceMutex);
    CloseHandle(instanceMutex);
    instanceMutex = nullptr;
  }
}
