// How often a miss may install the hook again.
//
// A miss means the hook may have been removed, and installing it again costs little. But a miss
// can also repeat without end, as for an injector whose events the two views never show alike:
// then each of its keystrokes would reinstall the hook. So a reinstall for a miss waits until at
// least kMissReinstallSpacingMs after the last one. A reinstall for another reason (the session
// back from a lock, for one) does not ask and is not counted.
#pragma once

#include "platform/win32.h"

// A hook that is really gone is installed again at most this much later than without the bound;
// a mismatch without end reinstalls once a second instead of on every keystroke.
inline constexpr DWORD kMissReinstallSpacingMs = 1000;

struct MissReinstallBound {
  bool reinstalled;  // a reinstall for a miss happened
  DWORD lastTick;    // GetTickCount() at the last one
};

// How long until a reinstall for a miss may happen: 0 when it may happen now.
DWORD MsUntilMissReinstallAllowed(const MissReinstallBound& bound, DWORD tickNow);

// Counts a reinstall for a miss made at tickNow.
void CountMissReinstall(MissReinstallBound& bound, DWORD tickNow);
