#pragma once

#include "platform/win32.h"

// A call looked up at run time, for one that older systems lack or a DLL loaded at run time:
// typed as it really is, through a plain function pointer type (FARPROC's own signature is not the
// real one). Null when the module has no such call.
template <typename Function>
Function LookUp(HMODULE module, const char* name) {
  const FARPROC proc = GetProcAddress(module, name);
  return proc == nullptr ? nullptr : reinterpret_cast<Function>(reinterpret_cast<void (*)()>(proc));
}
