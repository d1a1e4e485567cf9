// Facts about Windows this relies on:
// - "Session change notifications are sent in the form of a WM_WTSSESSION_CHANGE message. These
//   notifications are sent only to the windows that have registered for them" with
//   WTSRegisterSessionNotification; "it must call WTSUnRegisterSessionNotification before being
//   destroyed" (WTSRegisterSessionNotification, learn.microsoft.com). WM_WTSSESSION_CHANGE is
//   0x02B1; WTS_CONSOLE_CONNECT 0x1, WTS_CONSOLE_DISCONNECT 0x2, WTS_REMOTE_CONNECT 0x3,
//   WTS_REMOTE_DISCONNECT 0x4, WTS_SESSION_LOCK 0x7, WTS_SESSION_UNLOCK 0x8
//   (WM_WTSSESSION_CHANGE, learn.microsoft.com); NOTIFY_FOR_THIS_SESSION is 0.
// - "If this function is called before the dependent services of Remote Desktop Services have
//   started, an RPC_S_INVALID_BINDING error code may be returned. When the Global\TermSrvReadyEvent
//   global event is set, all dependent services have started and this function can be successfully
//   called" (same page). RPC_S_INVALID_BINDING is 1702 (winerror.h). Waiting on a handle needs its
//   SYNCHRONIZE right (MsgWaitForMultipleObjectsEx, learn.microsoft.com).
// - A message-only window "does not receive broadcast messages" (Message-Only Windows,
//   learn.microsoft.com), WM_POWERBROADCAST among them; RegisterSuspendResumeNotification with
//   DEVICE_NOTIFY_WINDOW_HANDLE (0) names "the window to deliver events to" ("Minimum supported
//   client: Windows 8", RegisterSuspendResumeNotification, learn.microsoft.com). WM_POWERBROADCAST
//   is 0x0218, PBT_APMSUSPEND 0x4; PBT_APMRESUMEAUTOMATIC (0x12) "is delivered every time the
//   system resumes" (PBT_APMRESUMEAUTOMATIC, learn.microsoft.com).
// - Both notifications arrive through the window procedure, sent, not posted: PeekMessageW
//   "dispatches incoming nonqueued messages" before it looks at the queue (PeekMessageW,
//   learn.microsoft.com).
// - With LOAD_LIBRARY_SEARCH_SYSTEM32 (0x800), LoadLibraryExW searches only %windows%\system32;
//   Windows 7 accepts the flag only with its update KB2533623 (LoadLibraryExW, learn.microsoft.com).
#include "app/session_notifications.h"

#include "platform/run_time_lookup.h"
#include "tracking/let_go_of_every_key.h"
#include "tracking/missed_events.h"

namespace {

using RegisterSessionFn = decltype(&WTSRegisterSessionNotification);
using UnregisterSessionFn = decltype(&WTSUnRegisterSessionNotification);
using RegisterSuspendResumeFn = decltype(&RegisterSuspendResumeNotification);
using UnregisterSuspendResumeFn = decltype(&UnregisterSuspendResumeNotification);

constexpr wchar_t kTerminalServicesReady[] = L"Global\\TermSrvReadyEvent";

HWND notifiedWindow;
HMODULE sessionLibrary;                 // wtsapi32.dll, loaded while the window is registered or may yet be
UnregisterSessionFn unregisterSession;  // from sessionLibrary, while the window is registered
HANDLE terminalServicesReady;           // while a registration waits for the terminal services
HPOWERNOTIFY suspendResumeRegistration;
UnregisterSuspendResumeFn unregisterSuspendResume;
bool sessionBack;

// Once at start, and once more when the terminal services are ready; with no notifications of the
// session, the library goes at once.
void RegisterForSessionChanges(bool mayWait) {
  const auto registerFn = LookUp<RegisterSessionFn>(sessionLibrary, "WTSRegisterSessionNotification");
  const auto unregisterFn = LookUp<UnregisterSessionFn>(sessionLibrary, "WTSUnRegisterSessionNotification");
  if (registerFn != nullptr && unregisterFn != nullptr) {
    if (registerFn(notifiedWindow, NOTIFY_FOR_THIS_SESSION)) {
      unregisterSession = unregisterFn;
      return;
    }
    // At logon, as when started from the Startup folder.
    if (mayWait && GetLastError() == RPC_S_INVALID_BINDING) {
      terminalServicesReady = OpenEventW(SYNCHRONIZE, FALSE, kTerminalServicesReady);
      if (terminalServicesReady != nullptr) return;
    }
  }
  FreeLibrary(sessionLibrary);
  sessionLibrary = nullptr;
}

void RegisterForSuspendAndResume() {
  const HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (user32 == nullptr) return;
  const auto registerFn = LookUp<RegisterSuspendResumeFn>(user32, "RegisterSuspendResumeNotification");
  const auto unregisterFn = LookUp<UnregisterSuspendResumeFn>(user32, "UnregisterSuspendResumeNotification");
  if (registerFn == nullptr || unregisterFn == nullptr) return;  // before Windows 8
  unregisterSuspendResume = unregisterFn;
  suspendResumeRegistration = registerFn(notifiedWindow, DEVICE_NOTIFY_WINDOW_HANDLE);
}

// No key event reaches us until the user is back: every key is let go, and the raw events not yet
// seen by the hook are dropped rather than settled later as misses.
void UserAway() {
  DropPendingRawEvents();
  LetGoOfEveryKey();
}

}  // namespace

void StartSessionNotifications(HWND window) {
  if (window == nullptr) return;
  notifiedWindow = window;
  RegisterForSuspendAndResume();
  // From the system folder only, at run time, so that the import table keeps to the system DLLs
  // every Windows has loaded.
  sessionLibrary = LoadLibraryExW(L"wtsapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (sessionLibrary != nullptr) RegisterForSessionChanges(true);
}

void StopSessionNotifications() {
  if (terminalServicesReady != nullptr) {
    CloseHandle(terminalServicesReady);
    terminalServicesReady = nullptr;
  }
  if (unregisterSession != nullptr) {
    unregisterSession(notifiedWindow);
    unregisterSession = nullptr;
  }
  if (sessionLibrary != nullptr) {
    FreeLibrary(sessionLibrary);
    sessionLibrary = nullptr;
  }
  if (suspendResumeRegistration != nullptr) {
    unregisterSuspendResume(suspendResumeRegistration);
    suspendResumeRegistration = nullptr;
  }
}

LRESULT CALLBACK NotificationWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_WTSSESSION_CHANGE) {
    if (wParam == WTS_SESSION_LOCK || wParam == WTS_CONSOLE_DISCONNECT || wParam == WTS_REMOTE_DISCONNECT) UserAway();
    if (wParam == WTS_SESSION_UNLOCK || wParam == WTS_CONSOLE_CONNECT || wParam == WTS_REMOTE_CONNECT) sessionBack = true;
  } else if (message == WM_POWERBROADCAST) {
    if (wParam == PBT_APMSUSPEND) UserAway();
    if (wParam == PBT_APMRESUMEAUTOMATIC) sessionBack = true;
  }
  // Everything goes on to DefWindowProcW, WM_INPUT above all: the system frees raw input there.
  return DefWindowProcW(window, message, wParam, lParam);
}

bool TakeSessionBack() {
  const bool back = sessionBack;
  sessionBack = false;
  return back;
}

int ListSessionWaitHandles(HANDLE* handles, int room) {
  if (terminalServicesReady == nullptr || room < 1) return 0;
  handles[0] = terminalServicesReady;
  return 1;
}

void EndSessionWait(HANDLE handle) {
  if (handle != terminalServicesReady) return;
  CloseHandle(terminalServicesReady);
  terminalServicesReady = nullptr;
  RegisterForSessionChanges(false);
}
