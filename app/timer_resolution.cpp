#include "app/timer_resolution.h"

#include "app/run_time_lookup.h"

void KeepTimerResolutionRequestsHonoured() {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return;
  const auto setProcessInformation = LookUp<decltype(&SetProcessInformation)>(kernel, "SetProcessInformation");
  if (setProcessInformation == nullptr) return;

  PROCESS_POWER_THROTTLING_STATE state = {};
  state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
  state.ControlMask = PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
  state.StateMask = 0;  // controlled and off: timer resolution requests are not ignored
  setProcessInformation(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state);
}
