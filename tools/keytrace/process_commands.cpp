#include "tools/keytrace/process_commands.h"

#include "tools/common/console_output.h"
#include "tools/common/process_lookup.h"

namespace {

struct PostRequest {
  DWORD processId;
  UINT message;
  const char* name;
  int posted;
};

void PostToThread(DWORD threadId, void* context) {
  PostRequest& request = *static_cast<PostRequest*>(context);
  if (PostThreadMessageW(threadId, request.message, 0, 0)) {
    PrintLine("stop: posted %s to thread %lu of process %lu", request.name, threadId, request.processId);
    ++request.posted;
  }
}

void PrintProcess(const PROCESSENTRY32W& entry, void*) {
  char exe[384];
  Utf8FromWide(entry.szExeFile, exe, sizeof exe);
  PrintLine("pid=%lu parent=%lu threads=%lu exe=%s", entry.th32ProcessID, entry.th32ParentProcessID,
            entry.cntThreads, exe);
}

void StopOne(const PROCESSENTRY32W& entry, void* context) {
  if (entry.th32ProcessID != GetCurrentProcessId() && PostToProcess(entry.th32ProcessID, false, WM_QUIT))
    ++*static_cast<int*>(context);
}

struct WindowFilter {
  DWORD processId;
  bool anyProcess;
  int count;
};

void PrintWindow(HWND window, bool messageOnly, WindowFilter& filter) {
  DWORD processId = 0;
  const DWORD threadId = GetWindowThreadProcessId(window, &processId);
  if (!filter.anyProcess && processId != filter.processId) return;
  wchar_t wideClass[128] = L"";
  wchar_t wideTitle[128] = L"";
  GetClassNameW(window, wideClass, 128);
  GetWindowTextW(window, wideTitle, 128);
  char className[384];
  char title[384];
  Utf8FromWide(wideClass, className, sizeof className);
  Utf8FromWide(wideTitle, title, sizeof title);
  PrintLine("hwnd=0x%llX pid=%lu tid=%lu visible=%d msgonly=%d class=\"%s\" title=\"%s\"",
            static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window)), processId, threadId,
            IsWindowVisible(window) ? 1 : 0, messageOnly ? 1 : 0, className, title);
  ++filter.count;
}

BOOL CALLBACK PrintTopLevel(HWND window, LPARAM lparam) {
  PrintWindow(window, false, *reinterpret_cast<WindowFilter*>(lparam));
  return TRUE;
}

}  // namespace

int PrintProcesses(const wchar_t* exe) { return ForEachProcess(exe, PrintProcess, nullptr) ? 0 : 1; }

int PostToProcess(DWORD processId, bool allThreads, UINT message) {
  PostRequest request = {processId, message, message == WM_QUIT ? "WM_QUIT" : "WM_NULL", 0};
  if (allThreads) {
    const int threads = ForEachThread(processId, PostToThread, &request);
    if (threads < 0) PrintLine("stop: cannot list threads (error %lu)", GetLastError());
    if (threads == 0) PrintLine("stop: no process %lu", processId);
    return request.posted ? 0 : 1;
  }
  const DWORD mainThread = MainThreadOf(processId);
  if (mainThread == 0) {
    PrintLine("stop: no process %lu", processId);
    return 1;
  }
  if (!PostThreadMessageW(mainThread, message, 0, 0)) {
    PrintLine("stop: PostThreadMessage to thread %lu of process %lu failed (error %lu)", mainThread,
              processId, GetLastError());
    return 1;
  }
  PrintLine("stop: posted %s to thread %lu (main) of process %lu", request.name, mainThread, processId);
  return 0;
}

int StopProcessesNamed(const wchar_t* exe) {
  int failures = 0;
  const int found = ForEachProcess(exe, StopOne, &failures);
  if (!found) {
    char name[384];
    Utf8FromWide(exe, name, sizeof name);
    PrintLine("stop: no process named %s", name);
  }
  return found && !failures ? 0 : 1;
}

int ListWindows(bool anyProcess, DWORD processId) {
  WindowFilter filter = {processId, anyProcess, 0};
  EnumWindows(PrintTopLevel, reinterpret_cast<LPARAM>(&filter));
  for (HWND window = FindWindowExW(HWND_MESSAGE, nullptr, nullptr, nullptr); window;
       window = FindWindowExW(HWND_MESSAGE, window, nullptr, nullptr))
    PrintWindow(window, true, filter);
  PrintLine("windows=%d", filter.count);
  return 0;
}
