// Facts about Windows this relies on:
// - A DLL that is not one of the KnownDLLs is looked for first in "the folder from which the
//   application loaded" (Dynamic-link library search order). KnownDLLs is a registry key
//   (HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs), not a published list, so
//   a DLL dropped beside velmora.exe (a Downloads folder) could run inside a process that sees
//   every key typed in the session. The import table therefore names only DLLs that are loaded
//   into every process anyway (tests/exe/check_exe.sh), and every other one is loaded at run time.
// - SetDefaultDllDirectories "specifies a default set of directories to search when the calling
//   process loads a DLL"; it covers loads "when a full path is not specified in a LoadLibrary or
//   LoadLibraryEx function call, or when a full path to the DLL is specified but the system must
//   search for dependent DLLs", and lasts for the life of the process. With
//   LOAD_LIBRARY_SEARCH_SYSTEM32 (0x800) "%windows%\system32 is searched". On Windows 7 it exists
//   only with KB2533623: "call GetProcAddress to retrieve the function's address from Kernel32.dll"
//   (SetDefaultDllDirectories). Without it our own loads still name the system folder
//   (LoadLibraryExW with LOAD_LIBRARY_SEARCH_SYSTEM32).
#include "app/dll_search_path.h"

#include "platform/run_time_lookup.h"
#include "platform/win32.h"

void KeepDllLoadsToSystemFolder() {
  using SetDefaultDllDirectoriesFn = decltype(&SetDefaultDllDirectories);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return;
  const auto setDefaultDllDirectories = LookUp<SetDefaultDllDirectoriesFn>(kernel, "SetDefaultDllDirectories");
  if (setDefaultDllDirectories != nullptr) setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}
