// The simulated process around the product: named mutexes, the last error, modules, timer
// resolution, power throttling, and the thread that plays the program's main thread.
#include <cstring>

#include "platform/sim/machine.h"

using namespace sim;
using namespace sim::detail;

namespace {

bool NamedMutexExistsLocked(const std::wstring& name) {
  const Machine& m = TheMachine();
  for (const std::wstring& foreign : m.foreignMutexes) {
    if (foreign == name) return true;
  }
  for (const Object& o : m.objects) {
    if (o.kind == Kind::Mutex && o.open && o.mutexName == name) return true;
  }
  return false;
}

HMODULE Kernel32() { return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7FF0000)); }
HMODULE User32() { return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7FE0000)); }

FARPROC AsFarProc(void (*function)()) { return reinterpret_cast<FARPROC>(function); }
template <typename Function>
FARPROC AsFarProc(Function* function) {
  return AsFarProc(reinterpret_cast<void (*)()>(function));
}

// What GetProcAddress finds in each module the program may ask, by name.
FARPROC ExportLocked(HMODULE module, const std::string& name) {
  const Machine& m = TheMachine();
  if (module == Kernel32()) {
    // Windows 8 and later (SetProcessInformation: "Minimum supported client: Windows 8";
    // SetDefaultDllDirectories: Windows 8, or Windows 7 with KB2533623, where "call GetProcAddress
    // to retrieve the function's address from Kernel32.dll"). As one: Windows 7 lacks both.
    if (!m.windows8CallsPresent) return nullptr;
    if (name == "SetProcessInformation") return AsFarProc(&SetProcessInformation);
    if (name == "SetDefaultDllDirectories") return AsFarProc(&SetDefaultDllDirectories);
    return nullptr;
  }
  if (module == User32()) {
    // Windows 8 and later (RegisterSuspendResumeNotification: "Minimum supported client: Windows 8").
    if (!m.windows8CallsPresent) return nullptr;
    if (name == "RegisterSuspendResumeNotification") return AsFarProc(&RegisterSuspendResumeNotification);
    if (name == "UnregisterSuspendResumeNotification") return AsFarProc(&UnregisterSuspendResumeNotification);
    return nullptr;
  }
  const size_t index = IndexOf(reinterpret_cast<HANDLE>(module));
  if (index == kNoObject || m.objects[index].kind != Kind::Module || !m.objects[index].open) return nullptr;
  const std::wstring& file = m.objects[index].moduleFile;
  if (file == L"wtsapi32.dll" && name == "WTSRegisterSessionNotification") {
    return AsFarProc(&WTSRegisterSessionNotification);
  }
  if (file == L"wtsapi32.dll" && name == "WTSUnRegisterSessionNotification") {
    return AsFarProc(&WTSUnRegisterSessionNotification);
  }
  if (file == L"winmm.dll" && name == "timeBeginPeriod") return AsFarProc(&timeBeginPeriod);
  if (file == L"winmm.dll" && name == "timeEndPeriod") return AsFarProc(&timeEndPeriod);
  return nullptr;
}

}  // namespace

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name) {
  const bool fail = EnterCall(Call::CreateMutexW);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  if (fail) {
    LogLocked(Call::CreateMutexW, "failed");
    LastError() = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  const std::wstring mutexName = name == nullptr ? L"" : name;
  const bool exists = !mutexName.empty() && NamedMutexExistsLocked(mutexName);
  const size_t index = AddObject(Kind::Mutex);
  Object& object = m.objects[index];
  object.mutexName = mutexName;
  // An existing mutex is opened, not taken: its owner keeps it.
  if (initialOwner && !exists) {
    object.owned = true;
    object.owner = std::this_thread::get_id();
  }
  LastError() = exists ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
  LogLocked(Call::CreateMutexW, object.name);
  return HandleOf(index);
}

BOOL WINAPI ReleaseMutex(HANDLE mutex) {
  EnterCall(Call::ReleaseMutex);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  Object* object = Find(mutex, Kind::Mutex, "ReleaseMutex");
  if (object == nullptr) return FALSE;
  LogLocked(Call::ReleaseMutex, object->name);
  if (!object->owned || object->owner != std::this_thread::get_id()) {
    m.problems.push_back("ReleaseMutex of " + object->name + " by a thread that does not own it");
    LastError() = ERROR_NOT_OWNER;
    return FALSE;
  }
  object->owned = false;
  return TRUE;
}

DWORD WINAPI GetLastError() { return LastError(); }
void WINAPI SetLastError(DWORD error) { LastError() = error; }

HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName) {
  EnterCall(Call::GetModuleHandleW);
  if (moduleName != nullptr && std::wcscmp(moduleName, L"kernel32.dll") == 0) return Kernel32();
  if (moduleName != nullptr && std::wcscmp(moduleName, L"user32.dll") == 0) return User32();
  return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
  EnterCall(Call::GetProcAddress);
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  const FARPROC found = ExportLocked(module, procName);
  if (found == nullptr) LastError() = ERROR_PROC_NOT_FOUND;
  return found;
}

// The system DLLs the program may load, each from the system folder only. Where a load searches
// comes from its flags: "If this parameter is 0, LoadLibraryEx behaves like LoadLibrary" unless
// SetDefaultDllDirectories chose a search path for the process, which "is used when LoadLibraryEx
// is called with no LOAD_LIBRARY_SEARCH flags" (LoadLibraryExW, SetDefaultDllDirectories); the
// standard order searches "the folder from which the application loaded" before the system folder
// (Dynamic-link library search order).
HMODULE WINAPI LoadLibraryExW(LPCWSTR fileName, HANDLE file, DWORD flags) {
  const bool fail = EnterCall(Call::LoadLibraryExW);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  const std::wstring name = fileName == nullptr ? L"" : fileName;
  const std::string shown(name.begin(), name.end());
  // The LOAD_LIBRARY_SEARCH_* flags: 0x100 to 0x1000.
  const DWORD searched = (flags & 0x1F00) != 0 ? flags : m.defaultDllDirectories;
  if (file != nullptr || searched != LOAD_LIBRARY_SEARCH_SYSTEM32) {
    m.problems.push_back("LoadLibraryExW of " + shown + " may search beyond the system folder");
  }
  if (fail || (name != L"wtsapi32.dll" && name != L"winmm.dll")) {
    LogLocked(Call::LoadLibraryExW, shown + " failed");
    LastError() = ERROR_MOD_NOT_FOUND;
    return nullptr;
  }
  const size_t index = AddObject(Kind::Module);
  m.objects[index].moduleFile = name;
  LogLocked(Call::LoadLibraryExW, shown + " " + m.objects[index].name);
  return reinterpret_cast<HMODULE>(HandleOf(index));
}

BOOL WINAPI SetDefaultDllDirectories(DWORD directoryFlags) {
  EnterCall(Call::SetDefaultDllDirectories);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  LogLocked(Call::SetDefaultDllDirectories, directoryFlags == LOAD_LIBRARY_SEARCH_SYSTEM32 ? "system32" : "other");
  m.defaultDllDirectories = directoryFlags;
  return TRUE;
}

BOOL WINAPI FreeLibrary(HMODULE module) {
  EnterCall(Call::FreeLibrary);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  Object* object = Find(reinterpret_cast<HANDLE>(module), Kind::Module, "FreeLibrary");
  if (object == nullptr) return FALSE;
  LogLocked(Call::FreeLibrary, object->name);
  object->open = false;
  return TRUE;
}

HANDLE WINAPI GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

BOOL WINAPI SetProcessInformation(HANDLE process, PROCESS_INFORMATION_CLASS informationClass, LPVOID information,
                                  DWORD informationSize) {
  const bool fail = EnterCall(Call::SetProcessInformation);
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  LogLocked(Call::SetProcessInformation);
  const auto* state = static_cast<const PROCESS_POWER_THROTTLING_STATE*>(information);
  // The record's Version must be PROCESS_POWER_THROTTLING_CURRENT_VERSION (PROCESS_POWER_THROTTLING_STATE);
  // one of another version counts as refused here. NOTE: Windows 10 is reported to reject a
  // ControlMask naming IGNORE_TIMER_RESOLUTION, which only Windows 11 knows, with
  // ERROR_INVALID_PARAMETER (microsoft/WindowsAppSDK#3263; reported, not documented).
  if (fail || process != GetCurrentProcess() || informationClass != ProcessPowerThrottling ||
      informationSize != sizeof(PROCESS_POWER_THROTTLING_STATE) ||
      state->Version != PROCESS_POWER_THROTTLING_CURRENT_VERSION ||
      (state->ControlMask & TheMachine().unknownThrottlingMechanisms) != 0) {
    LastError() = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  TheMachine().powerRequests.push_back(*state);
  return TRUE;
}

HANDLE WINAPI GetCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)); }

// The calling thread's pseudo-handle, or a handle CreateThread returned: it carries THREAD_ALL_ACCESS,
// with the THREAD_SET_INFORMATION this needs (CreateThread, SetThreadPriority).
BOOL WINAPI SetThreadPriority(HANDLE thread, int priority) {
  const bool fail = EnterCall(Call::SetThreadPriority);
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  ThreadRecord* target = CurrentThread();
  if (thread != GetCurrentThread()) {
    const Object* object = Find(thread, Kind::Thread, "SetThreadPriority");
    target = object == nullptr ? nullptr : object->thread;
  }
  if (fail || target == nullptr) return FALSE;
  target->priority = priority;
  return TRUE;
}

MMRESULT WINAPI timeBeginPeriod(UINT period) {
  const bool fail = EnterCall(Call::timeBeginPeriod);
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  LogLocked(Call::timeBeginPeriod);
  if (fail || period != 1) return TIMERR_NOCANDO;
  ++TheMachine().raisedTimerPeriods;
  return TIMERR_NOERROR;
}

MMRESULT WINAPI timeEndPeriod(UINT period) {
  EnterCall(Call::timeEndPeriod);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  LogLocked(Call::timeEndPeriod);
  if (period != 1 || m.raisedTimerPeriods == 0) {
    m.problems.push_back("timeEndPeriod without a matching timeBeginPeriod");
    return TIMERR_NOCANDO;
  }
  --m.raisedTimerPeriods;
  return TIMERR_NOERROR;
}

namespace sim {

void CreateForeignMutex(const std::wstring& name) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().foreignMutexes.push_back(name);
}

void SetUnknownThrottlingMechanisms(ULONG mechanisms) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().unknownThrottlingMechanisms = mechanisms;
}

void SetWindows8CallsPresent(bool present) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().windows8CallsPresent = present;
}

int RaisedTimerPeriods() {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  return TheMachine().raisedTimerPeriods;
}

std::vector<PROCESS_POWER_THROTTLING_STATE> PowerThrottlingRequests() {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  return TheMachine().powerRequests;
}

void StartProgram(std::function<int()> fn) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().program =
      StartSimThread("main", kNoObject, [fn = std::move(fn)] { return static_cast<DWORD>(fn()); });
}

void PostQuitToProgram() {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  if (m.program == nullptr) return;
  m.program->quitPosted = true;
  WakeQueueWaiterLocked(m.program);
}

std::string ThreadPriorities() {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  std::string text;
  for (const auto& thread : TheMachine().threads) {
    text += (text.empty() ? "" : " ") + thread->name + ":" + std::to_string(thread->priority);
  }
  return text;
}

bool ProgramEnded() {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  return TheMachine().program != nullptr && TheMachine().program->state == ThreadState::Ended;
}

int JoinProgram() {
  Settle();
  Machine& m = TheMachine();
  ThreadRecord* program;
  {
    std::lock_guard<std::mutex> guard(m.lock);
    program = m.program;
    if (program == nullptr || program->state != ThreadState::Ended) {
      // Fall through to the watchdog's report below.
      program = nullptr;
    }
  }
  if (program == nullptr) Die("the program has not ended");
  if (program->thread.joinable()) program->thread.join();
  return static_cast<int>(program->exitCode);
}

}  // namespace sim
