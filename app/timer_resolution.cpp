#include "app/timer_resolution.h"

#include "platform/win32.h"

void KeepTimerResolutionRequestsHonoured() {
  using SetProcessInformationFn = decltype(&SetProcessInformation);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return;
  const FARPROC proc = GetProcAddress(kernel, "SetProcessInformation");
  if (proc == nullptr) return;
  // Through a plain function pointer type: FARPROC's own signature is not the real one.
  const auto setProcessInformation =
      reinterpret_cast<SetProcessInformationFn>(reinterpret_cast<void (*)()>(proc));

  PROCESS_POWER_THROTTLING_STATE state = {};
  state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
  state.ControlMask = PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
  state.StateMask = 0;  // controlled and off: timer resolution requests are not ignored
  setProcessInformation(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state);
}
