// What one key event does to the key slots and the activity state: the one way down for every
// event the hook sees (tracking/keyboard_hook.cpp) and every one it missed
// (tracking/missed_events.cpp). Main thread only; the workers read what it writes.
#pragma once

#include <cstdint>

#include "platform/win32.h"
#include "tracking/key_identity.h"

inline constexpr int kNoSlot = -1;

enum class KeyTransition { Press, Release, Other };

// The slot a key event presses or releases, or kNoSlot. The hook's view names the key by its
// virtual key, and a key the layout made up is none; raw input names it by make code and E0 prefix (right
// Ctrl and right Alt, E0 1D and E0 38, are no monitored key) with the generic virtual key of the
// slot's key (anything else, VK_PACKET with any make code included, is no key); our own events
// count by make code alone.
int SlotOfHookKey(DWORD vkCode, DWORD scanCode);
int SlotOfRawKey(KeyIdentity key, DWORD rawVirtualKey);
int SlotOfOwnKey(KeyIdentity key);

// A foreign event: raises hookBusy, moves both counters and wakes the workers of held keys; a
// press or release of the key in slot changes that slot and wakes its worker. hookBusy comes down
// afterwards unless foreignRawWaiting: raw input has shown a foreign event that the hook has not
// (yet) seen, and the workers stand down until it is settled. stamp is the performance counter's
// value when the event was seen.
void ApplyForeignKeyEvent(int slot, KeyTransition transition, uint64_t stamp, bool foreignRawWaiting);

// One of our key-downs: if it landed after the key's physical release, the key is logically down
// with nobody holding it, and the slot's worker is asked for the key-up. Changes no counter.
void ApplyOwnKeyDown(int slot);

// Raw input showed a foreign event the hook has not seen yet: the repeats stand down as the hook
// would have them, until the event is seen or counts as missed.
void StandDownForUnseenEvent();
