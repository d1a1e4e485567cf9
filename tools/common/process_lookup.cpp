#include "tools/common/process_lookup.h"

#include <cwchar>

int ForEachProcess(const wchar_t* name, void (*visit)(const PROCESSENTRY32W&, void*), void* context) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  int count = 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Process32FirstW(snapshot, &entry); ok; ok = Process32NextW(snapshot, &entry)) {
    if (name && _wcsicmp(entry.szExeFile, name) != 0) continue;
    ++count;
    visit(entry, context);
  }
  CloseHandle(snapshot);
  return count;
}

DWORD FindProcess(const wchar_t* name) {
  DWORD found = 0;
  ForEachProcess(
      name,
      [](const PROCESSENTRY32W& entry, void* context) {
        DWORD& id = *static_cast<DWORD*>(context);
        if (id == 0 && entry.th32ProcessID != GetCurrentProcessId()) id = entry.th32ProcessID;
      },
      &found);
  return found;
}

int ForEachThread(DWORD processId, void (*visit)(DWORD, void*), void* context) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Thread32First(snapshot, &entry); ok; ok = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != processId) continue;
    ++count;
    visit(entry.th32ThreadID, context);
  }
  CloseHandle(snapshot);
  return count;
}

namespace {

struct FirstThread {
  DWORD threadId;
  ULONGLONG created;
};

void KeepIfFirst(DWORD threadId, void* context) {
  FirstThread& first = *static_cast<FirstThread*>(context);
  ULONGLONG created = ~0ULL - 1;  // unknown times sort after known ones
  if (HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, threadId)) {
    FILETIME creation, exit, kernel, user;
    if (GetThreadTimes(thread, &creation, &exit, &kernel, &user))
      created = (static_cast<ULONGLONG>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
    CloseHandle(thread);
  }
  if (first.threadId == 0 || created < first.created) first = {threadId, created};
}

}  // namespace

DWORD MainThreadOf(DWORD processId) {
  FirstThread first = {0, ~0ULL};
  ForEachThread(processId, KeepIfFirst, &first);
  return first.threadId;
}
