#include "app/power_throttling.h"

#include "platform/run_time_lookup.h"
#include "platform/win32.h"

namespace {

using SetProcessInformationFn = decltype(&SetProcessInformation);

// Takes control of one throttling mechanism and turns it off: ControlMask selects the mechanism,
// StateMask, left 0, says it is off (SetProcessInformation, examples).
void TurnOff(SetProcessInformationFn setProcessInformation, ULONG mechanism) {
  PROCESS_POWER_THROTTLING_STATE state = {};
  state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
  state.ControlMask = mechanism;
  setProcessInformation(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state);
}

}  // namespace

void OptOutOfPowerThrottling() {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return;
  const auto setProcessInformation = LookUp<SetProcessInformationFn>(kernel, "SetProcessInformation");
  if (setProcessInformation == nullptr) return;

  // High quality of service. Windows gives each thread a QoS level from what the user sees and
  // hears (a window in focus, visible, minimized or hidden; audio), and otherwise by heuristics;
  // at Low QoS a process runs, on battery, at the most efficient clock and on efficient cores.
  // With EXECUTION_SPEED controlled and off the process is tagged HighQoS ("Quality of Service";
  // SetProcessInformation, remarks; since Windows 10 1709).
  TurnOff(setProcessInformation, PROCESS_POWER_THROTTLING_EXECUTION_SPEED);
  // Timer resolution requests honoured: Windows 11 may ignore those of a process that shows
  // nothing (SetProcessInformation, remarks). Windows 10 knows no such mechanism and is reported
  // to reject a call that names it (ERROR_INVALID_PARAMETER; reported, not documented), so it
  // has a call of its own, which cannot take the QoS request down with it.
  TurnOff(setProcessInformation, PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION);
}
