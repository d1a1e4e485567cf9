#include "app/message_loop.h"

#include <algorithm>

#include "app/raw_input_window.h"
#include "app/reinstall_bound.h"
#include "tracking/key_slots.h"
#include "tracking/keyboard_hook.h"
#include "tracking/missed_events.h"

namespace {

void Handle(const MSG& message) {
  if (message.message == WM_INPUT) HandleRawInput(message);  // only our window registered for it
  TranslateMessage(&message);
  DispatchMessageW(&message);  // WM_INPUT must reach DefWindowProcW: the system cleans up there
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
    // While a raw event waits for the hook, or a reinstall waits for its bound, the wait has a
    // time-out at that deadline; otherwise the loop waits for messages alone and costs nothing
    // while the keyboard is idle.
    const DWORD tick = GetTickCount();
    const DWORD deadlineMs =
        std::min(MsUntilMissDeadline(tick), reinstallDue ? MsUntilMissReinstallAllowed(bound, tick) : INFINITE);
    if (deadlineMs == INFINITE) {
      // 0 is WM_QUIT, -1 an error: both end the loop.
      if (GetMessageW(&message, nullptr, 0, 0) <= 0) return;
      Handle(message);
    } else if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {  // runs the hook too, as GetMessageW does
      if (message.message == WM_QUIT) return;
      Handle(message);
    } else {
      const DWORD woken = MsgWaitForMultipleObjectsEx(0, nullptr, deadlineMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
      // A failed wait settles every unmatched event at once, and a reinstall waits for no bound:
      // waiting again could spin.
      const bool failed = woken != WAIT_OBJECT_0 && woken != WAIT_TIMEOUT;
      if (woken != WAIT_OBJECT_0) ExpireUnmatchedRawEvents(GetTickCount(), failed);
      if (failed) bound = {};
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
