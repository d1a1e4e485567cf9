// State shared, without locks, by the keyboard hook (main thread) and the four repeat workers.
//
// The hook bumps counters around every change it makes; a worker acts only if everything it
// looked at before a wait is still the same afterwards. Every shared field says who writes it
// and who reads it. Memory order is the default (sequentially consistent) throughout: the
// protocol depends on the hook's stores becoming visible in program order.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/win32.h"
#include "tracking/injection_tag.h"

struct MonitoredKey {
  uint32_t virtualKey;
  uint16_t scanCode;
  uint32_t extraFlags;  // OR-ed into dwFlags of every event injected for the key
};

inline constexpr int kSlotCount = 4;

// Slot i serves row i; no other key has a slot.
inline constexpr MonitoredKey kMonitoredKeys[kSlotCount] = {
    {VK_LSHIFT, 0x2A, 0},    // left Shift
    {VK_LCONTROL, 0x1D, 0},  // left Ctrl
    {VK_LMENU, 0x38, 0},     // left Alt
    {VK_RSHIFT, 0x36, 0},    // right Shift
};

struct KeySlot {
  HANDLE workerThread;  // host writes (start, stop); host reads
  HANDLE wakeEvent;     // auto-reset; host writes before the worker starts and after it is joined
  uint32_t virtualKey;  // host writes before the worker starts; hook and validity test read
  uint16_t scanCode;    // host writes before the worker starts; SendSyntheticKey reads
  uint32_t extraFlags;  // host writes before the worker starts; SendSyntheticKey reads

  std::atomic<uint8_t> stopRequested;   // host writes; worker reads
  std::atomic<uint8_t> held;            // hook sets and clears; worker clears on focus loss
  std::atomic<uint8_t> releasePending;  // repeat step sets; hook clears; worker clears or exchanges
  std::atomic<uint64_t> generation;     // hook and worker, atomic increments only
  std::atomic<HWND> pressWindow;        // hook writes; worker nulls on focus loss and reads
  std::atomic<uint64_t> releaseTime;    // hook writes (counter ticks, 0 = none); repeat step reads

  // Set only by the hook when one of our key-downs reaches it after the key's release; cleared by
  // the hook on a physical key-down; consumed by the worker only by exchange. Kept apart from
  // releasePending so that the worker's "clear while held" cannot erase a request made between
  // its read of held and its store.
  std::atomic<uint8_t> releaseOwedByHook;
  // Worker only: the releaseTime of the last release it sent a compensating key-up for, so that
  // two requests for one release send one key-up.
  uint64_t compensatedReleaseTime;
};

struct ActivityState {
  std::atomic<int32_t> hookBusy;           // hook writes (1 while handling a foreign event); workers read
  std::atomic<uint64_t> activitySequence;  // hook increments twice per foreign event; workers read
  std::atomic<uint64_t> activityCount;     // hook increments once per foreign event; workers read
  // Hook writes for every event it is given, ours included (counter ticks); workers read. Windows
  // updates a key's state only once the whole hook chain has passed the event on, and a hook
  // behind ours may hold it that long.
  std::atomic<uint64_t> lastHookEventTime;
};

// A worker's copy of what it saw before it armed; read in field order (see TakeRepeatSnapshot).
struct RepeatSnapshot {
  uint64_t generation;
  uint64_t activityCount;
  uint64_t activitySequence;
  HWND pressWindow;
};

extern KeySlot keySlots[kSlotCount];
extern ActivityState activity;
extern HHOOK hookHandle;  // host writes when installing and removing the hook; hook reads

// Reads the slot's generation, then activityCount, then activitySequence, then pressWindow.
RepeatSnapshot TakeRepeatSnapshot(const KeySlot& slot);

// True only while nothing the snapshot saw has changed and the key is still physically down in
// the same foreground window. The two system calls come last so a stale snapshot costs none.
bool IsRepeatStillValid(const KeySlot& slot, const RepeatSnapshot& snapshot);

// Injects one key-down (or key-up) for the slot's key by scan code, tagged with kInjectionTag.
// Returns SendInput's result: 1 when the event was accepted.
UINT SendSyntheticKey(const KeySlot& slot, bool up);
