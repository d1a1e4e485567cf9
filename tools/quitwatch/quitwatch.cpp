// quitwatch: posts WM_QUIT to a process's main thread from inside a low-level keyboard hook,
// the moment the hook sees a key's physical release, or the first injected key-down of that key
// after it. A test uses it to end a program right then, closer than any separately started stop
// command could.
//
//   quitwatch VK SCAN     e.g. quitwatch 0xA0 0x2A (left Shift)
//   stdin, one command a line:
//     arm PID             the next physical key-up of VK posts WM_QUIT to PID's main thread
//     armlate PID         instead, the first injected key-down of SCAN after that key-up does
//     disarm              forgets the target
//     exit                ends quitwatch
//   stdout: ready | armed pid=N tid=N | posted tid=N tick=N at=release|late | error ...
//
// Hooks installed later run first: start quitwatch before the program it stops, and the
// program's own hook has seen the release by the time WM_QUIT is posted.

#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "tools/common/say.h"

namespace {

DWORD g_vk = 0;
DWORD g_scan = 0;
DWORD g_main_thread = 0;
std::atomic<DWORD> g_target{0};
std::atomic<bool> g_late{false};      // wait for an injected key-down after the release
std::atomic<bool> g_released{false};  // the release has been seen (late mode)
SRWLOCK g_out_lock = SRWLOCK_INIT;

// The hook thread and the main thread both print; one line must not cut into another.
void locked_say(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  AcquireSRWLockExclusive(&g_out_lock);
  SayV(fmt, ap);
  ReleaseSRWLockExclusive(&g_out_lock);
  va_end(ap);
}

// The thread created first, as keytrace --stop picks it.
DWORD main_thread_of(DWORD pid) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return 0;
  DWORD best = 0;
  ULONGLONG best_created = ~0ULL;
  THREADENTRY32 te{};
  te.dwSize = sizeof te;
  for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te)) {
    if (te.th32OwnerProcessID != pid) continue;
    ULONGLONG created = ~0ULL - 1;
    if (HANDLE th = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, te.th32ThreadID)) {
      FILETIME c, e, k, u;
      if (GetThreadTimes(th, &c, &e, &k, &u))
        created = (static_cast<ULONGLONG>(c.dwHighDateTime) << 32) | c.dwLowDateTime;
      CloseHandle(th);
    }
    if (best == 0 || created < best_created) {
      best = te.th32ThreadID;
      best_created = created;
    }
  }
  CloseHandle(snap);
  return best;
}

void post_quit(const char* at) {
  DWORD tid = g_target.exchange(0);
  if (!tid) return;
  if (PostThreadMessageW(tid, WM_QUIT, 0, 0))
    locked_say("posted tid=%lu tick=%lu at=%s\n", tid, GetTickCount(), at);
  else
    locked_say("error: PostThreadMessage to %lu failed (%lu)\n", tid, GetLastError());
}

LRESULT CALLBACK hook(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HC_ACTION) {
    const auto* k = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lparam);
    const bool up = wparam == WM_KEYUP || wparam == WM_SYSKEYUP;
    const bool injected = (k->flags & LLKHF_INJECTED) != 0;
    if (up && !injected && k->vkCode == g_vk) {
      if (g_late.load())
        g_released.store(true);
      else
        post_quit("release");
    } else if (!up && injected && k->scanCode == g_scan && g_late.load() && g_released.load()) {
      post_quit("late");
    } else if (!up && !injected && k->vkCode == g_vk) {
      g_released.store(false);
    }
  }
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

DWORD WINAPI read_commands(void*) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  char line[128];
  size_t used = 0;
  for (;;) {
    char c;
    DWORD got = 0;
    if (!ReadFile(in, &c, 1, &got, nullptr) || got == 0) break;
    if (c != '\n') {
      if (used + 1 < sizeof line) line[used++] = c;
      continue;
    }
    line[used] = '\0';
    used = 0;
    const bool late = !strncmp(line, "armlate ", 8);
    if (late || !strncmp(line, "arm ", 4)) {
      DWORD pid = static_cast<DWORD>(strtoul(line + (late ? 8 : 4), nullptr, 0));
      DWORD tid = main_thread_of(pid);
      if (!tid) {
        locked_say("error: no process %lu\n", pid);
        continue;
      }
      g_released.store(false);
      g_late.store(late);
      g_target.store(tid);
      locked_say("armed pid=%lu tid=%lu\n", pid, tid);
    } else if (!strncmp(line, "disarm", 6)) {
      g_target.store(0);
      locked_say("disarmed\n");
    } else if (!strncmp(line, "exit", 4)) {
      break;
    }
  }
  PostThreadMessageW(g_main_thread, WM_QUIT, 0, 0);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    locked_say("usage: quitwatch VK SCAN\n");
    return 2;
  }
  g_vk = static_cast<DWORD>(wcstoul(argv[1], nullptr, 0));
  g_scan = static_cast<DWORD>(wcstoul(argv[2], nullptr, 0));
  g_main_thread = GetCurrentThreadId();
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  HHOOK h = SetWindowsHookExW(WH_KEYBOARD_LL, hook, GetModuleHandleW(nullptr), 0);
  if (!h) {
    locked_say("error: SetWindowsHookEx failed (%lu)\n", GetLastError());
    return 1;
  }
  HANDLE reader = CreateThread(nullptr, 0, read_commands, nullptr, 0, nullptr);
  if (!reader) {
    locked_say("error: cannot start the reader (%lu)\n", GetLastError());
    return 1;
  }
  locked_say("ready\n");
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  UnhookWindowsHookEx(h);
  return 0;
}
