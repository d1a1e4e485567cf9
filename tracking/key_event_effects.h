// What one key event does to the key slots and the activity state: the one way down for every
// event the hook sees (tracking/keyboard_hook.cpp) and every one it missed
// (tracking/missed_events.cpp). Main thread only; the workers read what it writes.
#pragma once

#include <cstdint>

#include "platform/win32.h"
#include "tracking/key_identity.h"
#include "tracking/key_slots.h"

enum class KeyTransition { Press, Release, Other };

// The slot of the key an event presses or releases, or null. The hook's view names the key by its
// virtual key, and a key the layout made up is none; raw input names it by make code and E0
// prefix (right Ctrl and right Alt, E0 1D and E0 38, are no monitored key) with the generic
// virtual key of the slot's key (anything else, VK_PACKET with any make code included, is no
// key); our own events, injected by scan code with no extended flag, count by make code alone,
// whatever extended flag the system gives them.
KeySlot* SlotOfHookKey(DWORD vkCode, DWORD scanCode);
KeySlot* SlotOfRawKey(KeyIdentity key, DWORD rawVirtualKey);
KeySlot* SlotOfOwnKey(DWORD scanCode);

// A foreign event: raises hookBusy, moves both counters and wakes the workers of held keys; a
// press or release of a key with a slot changes that slot and wakes its worker. hookBusy comes down
// afterwards unless foreignRawWaiting: raw input has shown a foreign event that the hook has not
// (yet) seen, and the workers stand down until it is settled. stamp is the performance counter's
// value when the event was seen.
void ApplyForeignKeyEvent(KeySlot* slot, KeyTransition transition, uint64_t stamp, bool foreignRawWaiting);

// One of our key-downs: if it landed after the key's physical release, the key is logically down
// with nobody holding it, and the slot's worker is asked for the key-up. Changes no counter.
void ApplyOwnKeyDown(KeySlot* slot);

// Raw input showed a foreign event the hook has not seen yet: the repeats stand down as the hook
// would have them, until the event is seen or counts as missed.
void StandDownForUnseenEvent();
