#include "app/application.h"

#include "app/dll_search_path.h"
#include "app/message_loop.h"
#include "app/power_throttling.h"
#include "app/raw_input_window.h"
#include "app/settings_watch.h"
#include "app/session_notifications.h"
#include "repeat/repeat_worker.h"
#include "repeat/timer_resolution.h"
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

// The hook comes last and goes first. Windows calls a low-level hook by a message sent to the thread
// that installed it, which must be in a message call for it ("the thread that installed the hook
// must have a message loop", LowLevelKeyboardProc), and every key typed in the session waits for
// the hook, for up to LowLevelHooksTimeout; since Windows 7 a hook that overruns it may be removed
// without a word. So nothing that may block (loading a library, a call to the terminal services,
// creating a window, reading the registry or the system's parameters) runs on this thread between
// installing the hook and entering the loop, or between leaving the loop and removing the hook;
// at logon, started from the Startup folder with the disk busy, any of those can take seconds.
//
// Inside the loop the hook's thread still makes a few calls of its own, each short:
// - the settings watch's reads when a watched key changed (app/settings_watch.cpp): values of the
//   user's own hive, which is loaded while the user is logged on, and SystemParametersInfoW's
//   copy of Filter Keys; once per change, never per key event;
// - the session registration once Global\TermSrvReadyEvent is signalled
//   (app/session_notifications.cpp): the services it calls have just said they are ready;
// - installing the hook again after a miss or on the way back from a lock or a sleep;
// - GetRawInputData for each WM_INPUT, which copies the event that the message carries.
int RunApplication(HINSTANCE instance) {
  KeepDllLoadsToSystemFolder();
  instanceMutex = CreateMutexW(nullptr, TRUE, kInstanceMutexName);
  if (instanceMutex == nullptr) return 0;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(instanceMutex);
    instanceMutex = nullptr;
    return 0;
  }

  OptOutOfPowerThrottling();
  LoadTimerResolutionCalls();  // before any worker may raise the resolution

  for (uint8_t& started : slotStarted) started = 0;
  for (int i = 0; i < kSlotCount; ++i) {
    if (!StartSlot(i)) {
      ShutdownAll();
      return 1;
    }
  }

  // The settings are read (and then followed) before the hook can wake a worker to arm on them.
  StartSettingsWatch();
  // The window for raw input and for the session's and power notifications; without it (or
  // without them) the program runs as it would without a lock, a suspend or a dropped hook.
  CreateRawInputWindow(instance);
  StartSessionNotifications(rawInputWindow);
  // The main thread only runs the hook and the message loop, never for long and never spinning;
  // above the normal priority a busy machine is less likely to starve the hook into a time-out.
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
  hookHandle = SetWindowsHookExW(WH_KEYBOARD_LL, KeyboardHookProc, instance, 0);
  if (hookHandle == nullptr) {
    ShutdownAll();
    return 1;
  }
  // The watch for events the hook misses: its raw input comes after the hook and goes before it.
  StartRawInput();
  RunMessageLoop(instance);
  ShutdownAll();
  return 0;
}

void ShutdownAll() {
  StopRawInput();
  // Every worker is told to stop before the hook goes: from here on none starts another repeat, so
  // none injects a key-down after a release the hook can no longer see (a key left down). A worker
  // woken by the hook meanwhile only finds its stop. The hook still writes the slots until it is
  // removed, and the events it signals stay open until the workers are joined, after that.
  for (int i = 0; i < kSlotCount; ++i) {
    if (slotStarted[i] == 0) continue;
    keySlots[i].stopRequested.store(1);  // before the signal, so the woken worker sees it
    if (keySlots[i].wakeEvent != nullptr) SetEvent(keySlots[i].wakeEvent);
  }
  if (hookHandle != nullptr) {
    UnhookWindowsHookEx(hookHandle);
    hookHandle = nullptr;
  }
  StopSessionNotifications();  // before the window is destroyed
  DestroyRawInputWindow();
  StopSettingsWatch();
  for (int i = 0; i < kSlotCount; ++i) {
    if (slotStarted[i] == 0) continue;
    KeySlot& slot = keySlots[i];
    if (slot.workerThread != nullptr) {
      // The worker sends a key-up it still owes on its way out. Joined only once the hook is gone:
      // a SendInput is reported to wait for the low-level hooks, and this thread, which runs ours,
      // pumps no message while it waits here.
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
  UnloadTimerResolutionCalls();  // every worker is joined
  if (instanceMutex != nullptr) {
    ReleaseMutex(instanceMutex);
    CloseHandle(instanceMutex);
    instanceMutex = nullptr;
  }
}
