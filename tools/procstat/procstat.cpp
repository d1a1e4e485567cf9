// procstat: what a process holds, as Windows counts it, for tests that watch a long run for
// leaks. Under Wine the Linux view of the process (/proc) shows no Windows handles.
//
//   procstat PID...
//   pid=N handles=N syshandles=N threads=N workingset=N private=N
//
// handles is GetProcessHandleCount; syshandles counts the process's rows in the system handle
// table (NtQuerySystemInformation). NOTE: Wine 8 answers GetProcessHandleCount with 0; its
// system handle table is right. A figure that cannot be had prints as -1. Exit code 1 when a
// process cannot be opened.

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <vector>

#include "tools/common/say.h"

namespace {

struct HandleEntryEx {
  void* object;
  ULONG_PTR pid;
  ULONG_PTR handle;
  ULONG access;
  USHORT backtrace;
  USHORT type;
  ULONG attributes;
  ULONG reserved;
};

struct HandleEntry {
  USHORT pid;
  USHORT backtrace;
  UCHAR type;
  UCHAR attributes;
  USHORT handle;
  void* object;
  ULONG access;
};

using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);

// The system handle table as one buffer: information class 64 (extended) where the system has
// it, else 16.
bool system_handles(ULONG cls, std::vector<BYTE>* buf) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto query = reinterpret_cast<QuerySystemInformation>(
      reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
  if (!query) return false;
  buf->resize(1 << 16);
  for (int tries = 0; tries < 12; ++tries) {
    ULONG needed = 0;
    LONG status = query(cls, buf->data(), static_cast<ULONG>(buf->size()), &needed);
    if (status == 0) return true;
    if (status != static_cast<LONG>(0xC0000004)) return false;  // STATUS_INFO_LENGTH_MISMATCH
    buf->resize(needed > buf->size() ? needed + 4096 : buf->size() * 2);
  }
  return false;
}

long count_system_handles(DWORD pid) {
  std::vector<BYTE> buf;
  if (system_handles(64, &buf)) {
    ULONG_PTR n = *reinterpret_cast<ULONG_PTR*>(buf.data());
    const auto* e = reinterpret_cast<const HandleEntryEx*>(buf.data() + 2 * sizeof(ULONG_PTR));
    long count = 0;
    for (ULONG_PTR i = 0; i < n; ++i)
      if (e[i].pid == pid) ++count;
    return count;
  }
  if (system_handles(16, &buf)) {
    ULONG n = *reinterpret_cast<ULONG*>(buf.data());
    const auto* e = reinterpret_cast<const HandleEntry*>(buf.data() + sizeof(ULONG_PTR));
    long count = 0;
    for (ULONG i = 0; i < n; ++i)
      if (e[i].pid == (pid & 0xFFFF)) ++count;
    return count;
  }
  return -1;
}

long count_threads(DWORD pid) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return -1;
  long count = 0;
  THREADENTRY32 te{};
  te.dwSize = sizeof te;
  for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te))
    if (te.th32OwnerProcessID == pid) ++count;
  CloseHandle(snap);
  return count;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    say("usage: procstat PID...\n");
    return 2;
  }
  int failures = 0;
  for (int i = 1; i < argc; ++i) {
    DWORD pid = static_cast<DWORD>(wcstoul(argv[i], nullptr, 0));
    HANDLE p = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!p) p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!p) {
      say("pid=%lu error=%lu\n", static_cast<unsigned long>(pid), GetLastError());
      ++failures;
      continue;
    }
    DWORD handles = 0;
    long h = GetProcessHandleCount(p, &handles) ? static_cast<long>(handles) : -1;
    PROCESS_MEMORY_COUNTERS_EX mem{};
    mem.cb = sizeof mem;
    long long ws = -1;
    long long priv = -1;
    if (GetProcessMemoryInfo(p, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&mem), sizeof mem)) {
      ws = static_cast<long long>(mem.WorkingSetSize);
      priv = static_cast<long long>(mem.PrivateUsage);
    }
    CloseHandle(p);
    say("pid=%lu handles=%ld syshandles=%ld threads=%ld workingset=%lld private=%lld\n",
        static_cast<unsigned long>(pid), h, count_system_handles(pid), count_threads(pid), ws,
        priv);
  }
  return failures ? 1 : 0;
}
