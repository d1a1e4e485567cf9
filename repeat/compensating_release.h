#pragma once

#include "tracking/key_slots.h"

// Sends the key-up owed for a repeat that landed after the key's release, at most once per
// recorded release, and never while the hook has the key held.
void FlushPendingRelease(KeySlot& slot);
