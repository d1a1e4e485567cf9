// A key can be released where our hook sees nothing: on another desktop (the secure desktop of
// Ctrl+Alt+Del, of a UAC prompt, of the lock screen: a global hook watches only "the same desktop
// as the calling thread", SetWindowsHookEx) or while a program run as administrator has the focus
// (reading its input through "low-level hooks, raw input, GetKeyState, GetAsyncKeyState" needs
// UIAccess: "User Account Control: Only elevate UIAccess applications that are installed in
// secure locations", learn.microsoft.com). Back on our desktop the hook still has the key held
// while GetAsyncKeyState reports it up.
#include "repeat/unseen_release.h"

#include "tracking/key_event_pairing.h"

bool ReleasedUnseen(const KeySlot& slot, const RepeatSnapshot& snapshot, const CounterClock& clock) {
  // Asked at an arm expiry that no signal ended: the counters, the key's generation and its held
  // flag are as the snapshot saw them, since the hook signals the worker with every change. One
  // that comes during these checks stays latched in the event, and ends at once the wait that a
  // stand-down leads to.
  if (GetForegroundWindow() != snapshot.pressWindow) return false;
  if ((GetAsyncKeyState(static_cast<int>(slot.virtualKey)) & 0x8000) != 0) return false;
  // "When this callback function is called in response to a change in the state of a key, the
  // callback function is called before the asynchronous state of the key is updated"
  // (LowLevelKeyboardProc, learn.microsoft.com), and a hook behind ours may take up to
  // kLongestHookTimeMs: until then a press the hook saw may not show in the key's state yet.
  // The stamp is read before the clock: a hook event stamped after the clock read would make the
  // difference wrap. One stamped between the two reads as "just now".
  const uint64_t lastHookEvent = activity.lastHookEventTime.load();
  const uint64_t now = CounterNow();
  return now > lastHookEvent && now - lastHookEvent >= CounterTicksFromMs(clock, kLongestHookTimeMs);
}
