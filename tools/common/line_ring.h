// Lines formatted on any thread and written by one writer thread, in order. A low-level hook must
// return quickly (Windows passes the event on without a hook that exceeds LowLevelHooksTimeout, and
// may remove it), while a console or a full pipe can block a write: the hook only formats into the
// ring.
#pragma once

#include <windows.h>

inline constexpr int kLineRingSlots = 4096;
inline constexpr int kLineRingSlotSize = 320;

// Formats one line into the ring; when the ring is full the line is counted as dropped, and the
// writer says how many were.
void PushLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The writer thread; false when it could not be started.
bool StartLineWriter();

// Lets the writer print what is queued, for at most waitMs, and end.
void StopLineWriter(DWORD waitMs);
