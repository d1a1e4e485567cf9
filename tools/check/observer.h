// What velmora-check sees: its own low-level keyboard hook and its own keyboard raw input, both on
// a thread of their own that only pumps messages and records each event, stamped with the
// performance counter, into a ring the main thread empties. A slow hook delays the whole desktop
// (Windows waits for it up to LowLevelHooksTimeout on every key event), so the hook neither writes
// nor judges.
#pragma once

#include <windows.h>

#include <cstdint>

struct ObservedEvent {
  uint64_t counter;  // QueryPerformanceCounter in the hook, or in the WM_INPUT handler
  bool raw;          // raw input's view; otherwise the hook's
  WPARAM message;    // the hook's wParam (WM_KEYDOWN, ...) or RAWKEYBOARD::Message
  DWORD virtualKey;  // vkCode or VKey
  DWORD scanCode;    // scanCode or MakeCode
  DWORD flags;       // KBDLLHOOKSTRUCT::flags or RAWKEYBOARD::Flags
  ULONG_PTR extraInfo;
  DWORD time;        // the event's time, or GetMessageTime() of the WM_INPUT
  HANDLE device;     // raw input only: RAWINPUTHEADER::hDevice
};

// Starts the thread and waits until its hook and raw input are in place; false when either failed.
bool StartObserver();
void StopObserver();

// Moves up to capacity recorded events, oldest first, into events; returns how many. dropped is
// set when the ring overflowed since the last call.
int TakeObservedEvents(ObservedEvent* events, int capacity, bool& dropped);

// Signalled (auto-reset) whenever an event is recorded.
HANDLE ObservedEventSignal();

// The counter now, and counter ticks between two readings in milliseconds.
uint64_t CounterNow();
double MsBetween(uint64_t from, uint64_t to);
uint64_t TicksFromMs(double ms);
