#include "app/message_loop.h"

#include "app/raw_input_window.h"
#include "app/session_notifications.h"
#include "tracking/key_slots.h"
#include "tracking/keyboard_hook.h"
#include "tracking/missed_events.h"

namespace {

// What else the idle loop waits for besides its messages: each source lists its handles before a
// wait, and hears back about the one that ended the wait (or about all of them, when the wait
// failed). A new source is one more row.
struct WaitSource {
  int (*list)(HANDLE* handles, int room);
  void (*ended)(HANDLE handle);
};
constexpr WaitSource kWaitSources[] = {
    {ListSessionWaitHandles, EndSessionWait},
};
// MsgWaitForMultipleObjectsEx takes at most MAXIMUM_WAIT_OBJECTS - 1 handles; a few will do.
constexpr int kMaxWaitHandles = 8;

void Handle(const MSG& message) {
  if (message.message == WM_INPUT) HandleRawInput(message);  // only our window registered for it
  TranslateMessage(&message);
  DispatchMessageW(&message);  // WM_INPUT must reach DefWindowProcW: the system cleans up there
}

// Sleeps until a message, a sent notification or input for the hook arrives, a source's handle is
// signalled, or the oldest unmatched raw event's deadline passes; nothing runs meanwhile. False when
// the wait fails with nothing else to wait for, as GetMessageW's -1 would end the loop.
bool WaitIdle() {
  HANDLE handles[kMaxWaitHandles];
  const WaitSource* owners[kMaxWaitHandles];
  int count = 0;
  for (const WaitSource& source : kWaitSources) {
    const int listed = source.list(handles + count, kMaxWaitHandles - count);
    for (int i = count; i < count + listed; ++i) owners[i] = &source;
    count += listed;
  }
  const DWORD deadlineMs = MsUntilMissDeadline(GetTickCount());
  const DWORD woken = MsgWaitForMultipleObjectsEx(static_cast<DWORD>(count), handles, deadlineMs, QS_ALLINPUT,
                                                  MWMO_INPUTAVAILABLE);
  if (woken < WAIT_OBJECT_0 + static_cast<DWORD>(count)) {
    owners[woken - WAIT_OBJECT_0]->ended(handles[woken - WAIT_OBJECT_0]);
  } else if (woken == WAIT_TIMEOUT) {
    ExpireUnmatchedRawEvents(GetTickCount(), false);
  } else if (woken != WAIT_OBJECT_0 + static_cast<DWORD>(count)) {
    if (count == 0 && deadlineMs == INFINITE) return false;
    // Waiting again on what made the wait fail could spin: every unmatched event is settled at
    // once, and every source hears that its handles' wait is over.
    ExpireUnmatchedRawEvents(GetTickCount(), true);
    for (int i = 0; i < count; ++i) owners[i]->ended(handles[i]);
  }
  return true;
}

}  // namespace

void ReinstallKeyboardHook(HINSTANCE instance) {
  // Windows removes a hook that timed out without telling us; unhooking it then fails, harmlessly.
  if (hookHandle != nullptr) UnhookWindowsHookEx(hookHandle);
  hookHandle = SetWindowsHookExW(WH_KEYBOARD_LL, KeyboardHookProc, instance, 0);
}

void RunMessageLoop(HINSTANCE instance) {
  MSG message;
  for (;;) {
    // Runs the hook for queued input and the window procedure for sent notifications, as
    // GetMessageW would, before it returns a posted message.
    if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) return;
      Handle(message);
    } else {
      // Back from a lock or from sleep, the hook may be gone: installed again at once, before the
      // first key needs it, rather than after a miss.
      if (TakeSessionBack()) ReinstallKeyboardHook(instance);
      if (!WaitIdle()) return;
    }
    if (TakeHookLost()) ReinstallKeyboardHook(instance);
  }
}
