// The tools include <windows.h>; on the host their rules are tested against the simulation's
// declarations, the same names the product sees there.
#pragma once

#include "platform/win32.h"
