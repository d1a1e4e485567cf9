#include "app/message_loop.h"

#include <algorithm>

#include "app/raw_input_window.h"
#include "app/reinstall_bound.h"
#include "app/session_notifications.h"
#include "app/settings_watch.h"
#include "tracking/key_slots.h"
#include "tracking/keyboard_hook.h"
#include "tracking/missed_events.h"

namespace {

// What else the idle loop waits for besides its messages: each source lists its handles before a
// wait, and hears back about the one that ended the wait, or about all of them when the wait
// failed (a source then stops listing them: waiting on them again could fail at once, for ever).
// A new source is one more row.
struct WaitSource {
  int (*list)(HANDLE* handles, int room);
  void (*signalled)(HANDLE handle);
  void (*failed)(HANDLE handle);
};
constexpr WaitSource kWaitSources[] = {
    {ListSessionWaitHandles, EndSessionWait, EndSessionWait},
    {SettingsWatchHandles, HandleSettingsChange, StopWatchingSettings},
};
// MsgWaitForMultipleObjectsEx takes at most MAXIMUM_WAIT_OBJECTS - 1 handles; a few will do.
constexpr int kMaxWaitHandles = 8;

void Handle(const MSG& message) {
  if (message.message == WM_INPUT) HandleRawInput(message);  // only our window registered for it
  TranslateMessage(&message);
  DispatchMessageW(&message);  // WM_INPUT must reach DefWindowProcW: the system cleans up there
}

enum class IdleEnd {
  kWoken,       // a message, input for the hook or a source's handle
  kTimedOut,    // the deadline passed
  kFailed,      // the wait failed; every source heard of it
  kFailedIdle,  // the wait failed with nothing to wait for: the loop ends, as on GetMessageW's -1
};

// Sleeps until a message, a sent notification or input for the hook arrives, a source's handle is
// signalled, or deadlineMs passes; nothing runs meanwhile.
IdleEnd WaitIdle(DWORD deadlineMs) {
  HANDLE handles[kMaxWaitHandles];
  const WaitSource* owners[kMaxWaitHandles];
  int count = 0;
  for (const WaitSource& source : kWaitSources) {
    const int listed = source.list(handles + count, kMaxWaitHandles - count);
    for (int i = count; i < count + listed; ++i) owners[i] = &source;
    count += listed;
  }
  const DWORD woken = MsgWaitForMultipleObjectsEx(static_cast<DWORD>(count), handles, deadlineMs, QS_ALLINPUT,
                                                  MWMO_INPUTAVAILABLE);
  if (woken < WAIT_OBJECT_0 + static_cast<DWORD>(count)) {
    owners[woken - WAIT_OBJECT_0]->signalled(handles[woken - WAIT_OBJECT_0]);
    return IdleEnd::kWoken;
  }
  if (woken == WAIT_OBJECT_0 + static_cast<DWORD>(count)) return IdleEnd::kWoken;
  if (woken == WAIT_TIMEOUT) return IdleEnd::kTimedOut;
  if (count == 0 && deadlineMs == INFINITE) return IdleEnd::kFailedIdle;
  for (int i = 0; i < count; ++i) owners[i]->failed(handles[i]);
  return IdleEnd::kFailed;
}

}  // namespace

void ReinstallKeyboardHook(HINSTANCE instance) {
  // Windows removes a hook that timed out without telling us; unhooking it then fails, harmlessly.
  if (hookHandle != nullptr) UnhookWindowsHookEx(hookHandle);
  hookHandle = SetWindowsHookExW(WH_KEYBOARD_LL, KeyboardHookProc, instance, 0);
}

void RunMessageLoop(HINSTANCE instance) {
  MSG message;
  MissReinstallBound bound = {};
  bool reinstallDue = false;  // a miss was seen and the hook not yet installed again
  for (;;) {
    // Runs the hook for queued input and the window procedure for sent notifications, as
    // GetMessageW would, before it returns a posted message.
    if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) return;
      Handle(message);
    } else if (TakeSessionBack()) {
      // Back from a lock or from sleep, the hook may be gone: installed again at once, before the
      // first key needs it, rather than after a miss, and outside the bound.
      ReinstallKeyboardHook(instance);
      reinstallDue = false;
    } else {
      // While a raw event waits for the hook, or a reinstall waits for its bound, the wait has a
      // time-out at that deadline; otherwise it has none and costs nothing while all is idle.
      const DWORD tick = GetTickCount();
      const DWORD deadlineMs =
          std::min(MsUntilMissDeadline(tick), reinstallDue ? MsUntilMissReinstallAllowed(bound, tick) : INFINITE);
      const IdleEnd end = WaitIdle(deadlineMs);
      if (end == IdleEnd::kFailedIdle) return;
      if (end == IdleEnd::kTimedOut) ExpireUnmatchedRawEvents(GetTickCount(), false);
      if (end == IdleEnd::kFailed) {
        // A failed wait settles every unmatched event at once, and a reinstall waits for no bound:
        // waiting again could spin.
        ExpireUnmatchedRawEvents(GetTickCount(), true);
        bound = {};
      }
    }
    reinstallDue = TakeHookLost() || reinstallDue;
    const DWORD now = GetTickCount();
    if (reinstallDue && MsUntilMissReinstallAllowed(bound, now) == 0) {
      ReinstallKeyboardHook(instance);
      CountMissReinstall(bound, now);
      reinstallDue = false;
    }
  }
}
