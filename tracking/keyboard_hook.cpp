// Where every keyboard event of the session enters Velmora.
//
// Windows calls this on the main thread, from inside its GetMessageW, for every event before any
// application sees it, in input-stream order, including the events SendInput injects (ours come
// back here tagged with kInjectionTag). It never blocks and never allocates: a slow low-level hook
// delays the whole desktop's input, and Windows silently removes one that times out.
#include "tracking/keyboard_hook.h"

#include "tracking/key_event_effects.h"
#include "tracking/key_slots.h"
#include "tracking/missed_events.h"

namespace {

KeyTransition TransitionOf(WPARAM message) {
  if (message == WM_KEYDOWN || message == WM_SYSKEYDOWN) return KeyTransition::Press;
  if (message == WM_KEYUP || message == WM_SYSKEYUP) return KeyTransition::Release;
  return KeyTransition::Other;
}

}  // namespace

LRESULT CALLBACK KeyboardHookProc(int nCode, WPARAM wParam, LPARAM lParam) {
  if (nCode == HC_ACTION) {
    const auto& event = *reinterpret_cast<const KBDLLHOOKSTRUCT*>(lParam);
    LARGE_INTEGER now;  // first, so a release is stamped no later than the hook saw it
    QueryPerformanceCounter(&now);
    activity.lastHookEventTime.store(static_cast<uint64_t>(now.QuadPart));
    // Compared at full pointer width; LLKHF_INJECTED is deliberately not consulted, so events
    // injected by other software count as foreign, like physical ones.
    if (event.dwExtraInfo == kInjectionTag) {
      NoteHookEvent(event);
      if (TransitionOf(wParam) == KeyTransition::Press) {
        ApplyOwnKeyDown(SlotOfOwnKey(event.scanCode));
      }
    } else {
      // The watch first: an event this one shows the hook missed is settled before this one.
      NoteHookEvent(event);
      ApplyForeignKeyEvent(SlotOfHookKey(event.vkCode, event.scanCode), TransitionOf(wParam),
                           static_cast<uint64_t>(now.QuadPart), ForeignRawEventsUnmatched());
    }
  }
  return CallNextHookEx(hookHandle, nCode, wParam, lParam);
}
