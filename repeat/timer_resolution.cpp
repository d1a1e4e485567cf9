#include "repeat/timer_resolution.h"

#include "platform/run_time_lookup.h"
#include "platform/win32.h"

namespace {

using TimerPeriodFn = decltype(&timeBeginPeriod);

// Written by the main thread only while no worker runs: creating a thread and joining it order
// these stores against every read of the worker.
HMODULE timerLibrary;
TimerPeriodFn beginPeriod;
TimerPeriodFn endPeriod;

}  // namespace

void LoadTimerResolutionCalls() {
  timerLibrary = LoadLibraryExW(L"winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (timerLibrary == nullptr) return;
  beginPeriod = LookUp<TimerPeriodFn>(timerLibrary, "timeBeginPeriod");
  endPeriod = LookUp<TimerPeriodFn>(timerLibrary, "timeEndPeriod");
  if (beginPeriod == nullptr || endPeriod == nullptr) UnloadTimerResolutionCalls();
}

void UnloadTimerResolutionCalls() {
  beginPeriod = nullptr;
  endPeriod = nullptr;
  if (timerLibrary != nullptr) {
    FreeLibrary(timerLibrary);
    timerLibrary = nullptr;
  }
}

bool RaiseTimerResolution() { return beginPeriod != nullptr && beginPeriod(1) == TIMERR_NOERROR; }

void LowerTimerResolution() {
  if (endPeriod != nullptr) endPeriod(1);
}
