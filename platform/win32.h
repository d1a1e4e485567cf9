// The product's one door to the operating system.
//
// On Windows this is <windows.h> and nothing else. Elsewhere it is the simulated Win32 of
// platform/sim: the same names, types, values and sizes, implemented over a virtual clock for the
// tests. The build decides which side links; the product code never knows.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#include <mmsystem.h>  // declarations only: winmm's calls are looked up at run time
#include <wtsapi32.h>  // declarations only: its calls are looked up at run time
#else
#include "sim/win32_api.h"
#endif
