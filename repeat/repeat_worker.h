#pragma once

#include "tracking/key_slots.h"

// Thread entry of a slot's worker; the parameter is the KeySlot. Returns 0 once stopRequested is
// set, after sending a compensating key-up that is still owed.
DWORD WINAPI RepeatWorkerMain(LPVOID parameter);

// Arms and re-arms while the slot's key is held.
void ServiceHeldKey(KeySlot& slot);

// The repeat loop of one burst, against the snapshot it armed on; firstDue is the performance
// counter's value when its first repeat was due, intervalMs the interval it armed with.
void RunRepeatBurst(KeySlot& slot, const RepeatSnapshot& snapshot, uint64_t firstDue, uint32_t intervalMs);

// Forgets a held key when the foreground window is no longer the one it was pressed in.
void ResetOnFocusLoss(KeySlot& slot, HWND window);
