#pragma once

#include "platform/win32.h"

// Carried in dwExtraInfo of every event we inject, so the hook can tell our events from all others.
inline constexpr ULONG_PTR kInjectionTag = 0x53485250;
