// Where every keyboard event of the session enters Velmora.
//
// Windows calls this on the main thread, from inside its GetMessageW, for every event before any
// application sees it, in input-stream order, including the events SendInput injects (ours come
// back here tagged with kInjectionTag). It never blocks and never allocates: a slow low-level hook
// delays the whole desktop's input, and Windows silently removes one that times out.
#include "tracking/keyboard_hook.h"

#include "tracking/key_slots.h"
#include "tracking/missed_events.h"

namespace {

bool IsKeyDown(WPARAM message) { return message == WM_KEYDOWN || message == WM_SYSKEYDOWN; }
bool IsKeyUp(WPARAM message) { return message == WM_KEYUP || message == WM_SYSKEYUP; }

}  // namespace

// Activity matters only to workers that serve a held key: they must stand down and re-arm. An
// idle worker would wake, find its key up and wait again; SetEvent is a system call, and most
// typing (no modifier held) then signals nothing. held is set only on the main thread, so a 0
// read here cannot turn into a worker that needed the wake-up: a worker whose key was released
// got its own signal with the release, and one that reset its key after a focus change goes idle
// by itself.
void WakeWorkersServingAKey() {
  for (KeySlot& slot : keySlots) {
    if (slot.wakeEvent != nullptr && slot.held.load() != 0) SetEvent(slot.wakeEvent);
  }
}

// Our own events change no counter and no snapshot. One thing is still learnt from them: the
// stream order. A key-down of ours that arrives after the hook saw the key's physical release
// landed behind that release, so the key is now logically down with nobody holding it. The
// repeat step cannot see this when the release was stamped after its check (the release was
// already travelling through the hook chain), so the hook asks the worker for the key-up.
void NoteOwnKeyEvent(WPARAM message, const KBDLLHOOKSTRUCT& event) {
  if (!IsKeyDown(message) || (event.flags & LLKHF_EXTENDED) != 0) return;
  // Matched by scan code, the one field of our injection that the system passes on as it was
  // given; the virtual key of an event injected by scan code is derived by the system.
  for (KeySlot& slot : keySlots) {
    if (slot.scanCode != event.scanCode) continue;
    // releaseTime is non-zero only when the last event of this key the hook saw was a physical
    // release; a focus reset clears held but leaves releaseTime at the 0 of the key-down.
    if (slot.held.load() == 0 && slot.releaseTime.load() != 0) {
      slot.releaseOwedByHook.store(1);
      if (slot.wakeEvent != nullptr) SetEvent(slot.wakeEvent);
    }
    return;
  }
}

void RecordForeignEvent(WPARAM message, const KBDLLHOOKSTRUCT& event, uint64_t stamp) {
  // Raised before anything changes, lowered after the second sequence bump: a worker that finds
  // it 0 and both counters unchanged has seen no event processed since its snapshot.
  activity.hookBusy.store(1);
  activity.activitySequence.fetch_add(1);
  activity.activityCount.fetch_add(1);
  WakeWorkersServingAKey();

  for (KeySlot& slot : keySlots) {
    if (slot.virtualKey != event.vkCode) continue;
    if (IsKeyDown(message)) {
      slot.pressWindow.store(GetForegroundWindow());
      slot.releaseTime.store(0);
      slot.releasePending.store(0);
      slot.releaseOwedByHook.store(0);
      slot.held.store(1);
    } else if (IsKeyUp(message)) {
      slot.releaseTime.store(stamp);
      slot.held.store(0);
      slot.pressWindow.store(nullptr);
    } else {
      break;
    }
    slot.generation.fetch_add(1);
    if (slot.wakeEvent != nullptr) SetEvent(slot.wakeEvent);
    break;
  }

  activity.activitySequence.fetch_add(1);
  // Stays up while raw input has shown a foreign event that the hook has not (yet) seen.
  activity.hookBusy.store(ForeignRawEventsUnmatched() ? 1 : 0);
  // Again after the hook is idle: a worker woken above may have found it busy and gone back to
  // waiting.
  WakeWorkersServingAKey();
}

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
      NoteOwnKeyEvent(wParam, event);
    } else {
      NoteHookEvent(event);
      RecordForeignEvent(wParam, event, static_cast<uint64_t>(now.QuadPart));
    }
  }
  return CallNextHookEx(hookHandle, nCode, wParam, lParam);
}
