#include "app/reinstall_bound.h"

DWORD MsUntilMissReinstallAllowed(const MissReinstallBound& bound, DWORD tickNow) {
  if (!bound.reinstalled) return 0;
  const DWORD since = tickNow - bound.lastTick;  // wraps with the tick count
  return since >= kMissReinstallSpacingMs ? 0 : kMissReinstallSpacingMs - since;
}

void CountMissReinstall(MissReinstallBound& bound, DWORD tickNow) {
  bound.reinstalled = true;
  bound.lastTick = tickNow;
}
