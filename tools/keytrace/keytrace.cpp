// keytrace: prints every keyboard event that a low-level keyboard hook sees,
// one line per event, so a person or a test can see what reaches applications
// (physical keys, injected keys, their flags, tags and timing).
//
// With --raw it also takes the keyboard's raw input, as Velmora does, and prints
// each event's two views side by side with what Velmora's own pairing of them
// (tracking/key_event_pairing.cpp, linked here) makes of it.
//
// It also carries the few process helpers the end-to-end tests need on the
// Windows side: find a process by name, post WM_QUIT to its main thread, and
// list top-level windows.

#include <windows.h>
#include <tlhelp32.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <span>

#include "tracking/key_event_pairing.h"

namespace {

// ---------------------------------------------------------------- output ---

HANDLE g_out = INVALID_HANDLE_VALUE;

void write_raw(const char* text, int len) {
  if (len <= 0) return;
  DWORD written = 0;
  WriteFile(g_out, text, static_cast<DWORD>(len), &written, nullptr);
}

// Prints one formatted line directly (used outside the hook).
void out(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf - 1, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (n > static_cast<int>(sizeof buf) - 2) n = static_cast<int>(sizeof buf) - 2;
  buf[n++] = '\n';
  write_raw(buf, n);
}

// The hook must return quickly (Windows drops hooks that exceed
// LowLevelHooksTimeout), and a console or a full pipe can block a write. So the
// hook only formats into a ring and a writer thread does the I/O.
constexpr int kSlots = 4096;
constexpr int kSlotSize = 320;

struct Ring {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE ready = CONDITION_VARIABLE_INIT;
  char slot[kSlots][kSlotSize];
  int len[kSlots];
  unsigned head = 0;  // next slot to write
  unsigned tail = 0;  // next slot to print
  unsigned dropped = 0;
  bool closing = false;
};

Ring g_ring;

void ring_push(const char* fmt, ...) {
  char buf[kSlotSize];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf - 1, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (n > kSlotSize - 2) n = kSlotSize - 2;
  buf[n++] = '\n';

  AcquireSRWLockExclusive(&g_ring.lock);
  if (g_ring.head - g_ring.tail >= static_cast<unsigned>(kSlots)) {
    ++g_ring.dropped;
  } else {
    unsigned i = g_ring.head % kSlots;
    memcpy(g_ring.slot[i], buf, static_cast<size_t>(n));
    g_ring.len[i] = n;
    ++g_ring.head;
  }
  ReleaseSRWLockExclusive(&g_ring.lock);
  WakeConditionVariable(&g_ring.ready);
}

DWORD WINAPI writer_main(void*) {
  char line[kSlotSize];
  for (;;) {
    AcquireSRWLockExclusive(&g_ring.lock);
    while (g_ring.head == g_ring.tail && !g_ring.closing && g_ring.dropped == 0)
      SleepConditionVariableSRW(&g_ring.ready, &g_ring.lock, INFINITE, 0);
    unsigned dropped = g_ring.dropped;
    g_ring.dropped = 0;
    bool have = g_ring.head != g_ring.tail;
    int n = 0;
    if (have) {
      unsigned i = g_ring.tail % kSlots;
      n = g_ring.len[i];
      memcpy(line, g_ring.slot[i], static_cast<size_t>(n));
      ++g_ring.tail;
    }
    bool done = !have && g_ring.closing;
    ReleaseSRWLockExclusive(&g_ring.lock);

    if (dropped) out("dropped=%u (output too slow)", dropped);
    if (have) write_raw(line, n);
    if (done) return 0;
  }
}

// ------------------------------------------------------------------ time ---

LARGE_INTEGER g_freq;
LARGE_INTEGER g_t0;

double now_ms() {
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart - g_t0.QuadPart) * 1000.0 /
         static_cast<double>(g_freq.QuadPart);
}

// Wall-clock seconds since 1970 at t=0, so a harness can place its own actions
// on keytrace's time axis.
double unix_time_at_start() {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  ULARGE_INTEGER u;
  u.LowPart = ft.dwLowDateTime;
  u.HighPart = ft.dwHighDateTime;
  return static_cast<double>(u.QuadPart - 116444736000000000ULL) / 1e7;
}

// ------------------------------------------------------------ decoding ---

const char* msg_name(WPARAM msg, char* buf, size_t size) {
  switch (msg) {
    case WM_KEYDOWN: return "WM_KEYDOWN";
    case WM_KEYUP: return "WM_KEYUP";
    case WM_SYSKEYDOWN: return "WM_SYSKEYDOWN";
    case WM_SYSKEYUP: return "WM_SYSKEYUP";
  }
  snprintf(buf, size, "0x%04X", static_cast<unsigned>(msg));
  return buf;
}

struct Bit {
  DWORD bit;
  const char* name;
};

const Bit kHookFlags[] = {
    {LLKHF_EXTENDED, "EXTENDED"},
    {LLKHF_LOWER_IL_INJECTED, "LOWER_IL_INJECTED"},
    {LLKHF_INJECTED, "INJECTED"},
    {LLKHF_ALTDOWN, "ALTDOWN"},
    {LLKHF_UP, "UP"},
};
const Bit kRawFlags[] = {{RI_KEY_BREAK, "BREAK"}, {RI_KEY_E0, "E0"}, {RI_KEY_E1, "E1"}};

void flag_names(DWORD flags, char* buf, size_t size, std::span<const Bit> bits = kHookFlags) {
  size_t used = 0;
  buf[0] = '\0';
  for (const Bit& b : bits) {
    if (!(flags & b.bit)) continue;
    int n = snprintf(buf + used, size - used, "%s%s", used ? "|" : "", b.name);
    if (n < 0 || static_cast<size_t>(n) >= size - used) break;
    used += static_cast<size_t>(n);
  }
}

// A short name for the keys people usually trace; empty when unknown.
const char* key_name(DWORD vk, DWORD scan, char* buf, size_t size) {
  switch (vk) {
    case VK_LSHIFT: return "LSHIFT";
    case VK_RSHIFT: return "RSHIFT";
    case VK_LCONTROL: return "LCONTROL";
    case VK_RCONTROL: return "RCONTROL";
    case VK_LMENU: return "LMENU";
    case VK_RMENU: return "RMENU";
    case VK_SHIFT: return "SHIFT";
    case VK_CONTROL: return "CONTROL";
    case VK_MENU: return "MENU";
    case VK_LWIN: return "LWIN";
    case VK_RWIN: return "RWIN";
    case VK_SPACE: return "SPACE";
    case VK_RETURN: return "RETURN";
    case VK_ESCAPE: return "ESCAPE";
    case VK_TAB: return "TAB";
    case VK_BACK: return "BACK";
    case 0:
      // Injected by scan code alone (NOTE: Wine leaves vkCode 0 for these):
      // name it after the scan code.
      switch (scan) {
        case 0x2A: return "scan:LSHIFT";
        case 0x36: return "scan:RSHIFT";
        case 0x1D: return "scan:CONTROL";
        case 0x38: return "scan:ALT";
      }
      return "";
  }
  if ((vk >= '0' && vk <= '9') || (vk >= 'A' && vk <= 'Z')) {
    snprintf(buf, size, "%c", static_cast<char>(vk));
    return buf;
  }
  if (vk >= VK_F1 && vk <= VK_F24) {
    snprintf(buf, size, "F%u", static_cast<unsigned>(vk - VK_F1 + 1));
    return buf;
  }
  return "";
}

// ------------------------------------------------------------ both views ---

// --raw: the hook's view and raw input's view of each key event, paired by the
// rule Velmora itself uses. The hook and WM_INPUT both run on the main thread,
// as the pairing needs.
bool g_raw = false;
KeyEventPairing g_pairing;
HKL g_layout = nullptr;

// One line per key event: the pairing's verdict, then each view as it was
// given, or "-" for a view that never came.
void print_verdict(const char* verdict, const KeyStroke* hook, const KeyStroke* raw) {
  char hbuf[128] = "-";
  char rbuf[128] = "-";
  char fbuf[64];
  char kbuf[8];
  const char* key = "";
  if (hook) {
    flag_names(hook->viewFlags, fbuf, sizeof fbuf);
    snprintf(hbuf, sizeof hbuf, "vk=0x%02lX scan=0x%02lX flags=0x%02lX(%s) extra=0x%llX time=%lu",
             hook->virtualKey, hook->viewScanCode, hook->viewFlags, fbuf,
             static_cast<unsigned long long>(hook->extraInfo), hook->messageTime);
    key = key_name(hook->virtualKey, hook->viewScanCode, kbuf, sizeof kbuf);
  }
  if (raw) {
    flag_names(raw->viewFlags, fbuf, sizeof fbuf, kRawFlags);
    snprintf(rbuf, sizeof rbuf,
             "MakeCode=0x%02lX Flags=0x%lX(%s) VKey=0x%02lX ExtraInformation=0x%llX time=%lu",
             raw->viewScanCode, raw->viewFlags, fbuf, raw->virtualKey,
             static_cast<unsigned long long>(raw->extraInfo), raw->messageTime);
    if (!*key) key = key_name(raw->virtualKey, raw->viewScanCode, kbuf, sizeof kbuf);
  }
  ring_push("pair=%s hook[%s] raw[%s]%s%s", verdict, hbuf, rbuf, *key ? " key=" : "", key);
}

void paired(const KeyStroke& hook, const KeyStroke& raw) { print_verdict("paired", &hook, &raw); }
void hook_only(const KeyStroke& hook) { print_verdict("hook-only", &hook, nullptr); }
// Missed by the hook: Velmora would settle it as if the hook had seen it.
void raw_only(const KeyStroke& raw, const KeyStroke*, int) {
  print_verdict("raw-only", nullptr, &raw);
}
// Not a verdict yet: the hook may still see it.
void raw_waiting(const KeyStroke&) {}

// Shown when the pairing could no longer compare it: neither seen nor missed.
void unknown(const KeyStroke& raw) { print_verdict("unknown", nullptr, &raw); }

constexpr PairingVerdicts kVerdicts = {paired, hook_only, raw_only, raw_waiting, unknown};

// Layouts are per thread, and the one that turns keys into characters is the
// foreground thread's: print it at start and whenever it changes.
void note_layout() {
  DWORD thread = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
  HKL layout = GetKeyboardLayout(thread);
  if (layout == g_layout) return;
  g_layout = layout;
  ring_push("layout=0x%08llX thread=%lu",
            static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(layout)), thread);
}

// A raw event the hook has not seen counts as missed once the hook has had as
// long as Windows gives it: a timer at that deadline, while one waits.
constexpr UINT_PTR kDeadlineTimer = 1;

void arm_deadline(HWND hwnd) {
  DWORD ms = MsUntilMissDeadline(g_pairing, GetTickCount());
  if (ms == INFINITE) {
    KillTimer(hwnd, kDeadlineTimer);
  } else {
    SetTimer(hwnd, kDeadlineTimer, ms, nullptr);
  }
}

LRESULT CALLBACK raw_window_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg == WM_TIMER && wparam == kDeadlineTimer) {
    ExpireUnmatchedRawEvents(g_pairing, GetTickCount(), false, kVerdicts);
    arm_deadline(hwnd);
    return 0;
  }
  RAWINPUT input;
  UINT size = sizeof input;
  if (msg == WM_INPUT &&
      GetRawInputData(reinterpret_cast<HRAWINPUT>(lparam), RID_INPUT, &input, &size,
                      sizeof(RAWINPUTHEADER)) != static_cast<UINT>(-1) &&
      input.header.dwType == RIM_TYPEKEYBOARD) {
    const RAWKEYBOARD& k = input.data.keyboard;
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    note_layout();
    char fbuf[32];
    flag_names(k.Flags, fbuf, sizeof fbuf, kRawFlags);
    // RAWKEYBOARD carries no time: the event's is its message's.
    ring_push("t=%.3f msg=WM_INPUT MakeCode=0x%02X Flags=0x%X(%s) VKey=0x%02X "
              "ExtraInformation=0x%lX time=%ld",
              now_ms(), k.MakeCode, k.Flags, fbuf, k.VKey, k.ExtraInformation, GetMessageTime());
    PairRawEvent(g_pairing, k, static_cast<DWORD>(GetMessageTime()),
                 static_cast<uint64_t>(counter.QuadPart), kVerdicts);
    arm_deadline(hwnd);
  }
  // WM_INPUT too: the system cleans up after it there.
  return DefWindowProcW(hwnd, msg, wparam, lparam);
}

// A message-only window that takes the keyboard's raw input in the background
// (RIDEV_INPUTSINK), as Velmora's does.
HWND start_raw_input() {
  WNDCLASSW wc{};
  wc.lpfnWndProc = raw_window_proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"keytrace_raw";
  if (!RegisterClassW(&wc)) return nullptr;
  HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              wc.hInstance, nullptr);
  RAWINPUTDEVICE keyboard = {0x01, 0x06, RIDEV_INPUTSINK, hwnd};  // generic desktop, keyboard
  if (hwnd && !RegisterRawInputDevices(&keyboard, 1, sizeof keyboard)) {
    DestroyWindow(hwnd);
    return nullptr;
  }
  return hwnd;
}

void stop_raw_input(HWND hwnd) {
  // What still waits for the hook now never gets it.
  ExpireUnmatchedRawEvents(g_pairing, GetTickCount(), true, kVerdicts);
  RAWINPUTDEVICE keyboard = {0x01, 0x06, RIDEV_REMOVE, nullptr};
  RegisterRawInputDevices(&keyboard, 1, sizeof keyboard);
  DestroyWindow(hwnd);
}

// ----------------------------------------------------------------- hooks ---

LRESULT CALLBACK keyboard_hook(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HC_ACTION) {
    double t = now_ms();
    const auto* k = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lparam);
    char mbuf[16];
    char fbuf[64];
    char kbuf[8];
    flag_names(k->flags, fbuf, sizeof fbuf);
    const char* key = key_name(k->vkCode, k->scanCode, kbuf, sizeof kbuf);
    ring_push("t=%.3f msg=%s vk=0x%02lX scan=0x%02lX flags=0x%02lX(%s) extra=0x%llX fg=0x%llX "
              "time=%lu%s%s",
              t, msg_name(wparam, mbuf, sizeof mbuf), k->vkCode, k->scanCode, k->flags, fbuf,
              static_cast<unsigned long long>(k->dwExtraInfo),
              static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(GetForegroundWindow())),
              k->time, *key ? " key=" : "", key);
    if (g_raw) PairHookEvent(g_pairing, *k, kVerdicts);
  }
  // Observe only: every event goes on to the next hook and the application.
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

void CALLBACK foreground_event(HWINEVENTHOOK, DWORD, HWND hwnd, LONG, LONG, DWORD, DWORD) {
  ring_push("t=%.3f msg=FOREGROUND fg=0x%llX tick=%lu", now_ms(),
            static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(hwnd)), GetTickCount());
}

// ---------------------------------------------------------------- window ---

LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  switch (msg) {
    case WM_ACTIVATE:
      // tick is on the same clock as the time= of key events, so a test can
      // tell whether an event was sent before or after the activation.
      ring_push("t=%.3f msg=WM_ACTIVATE hwnd=0x%llX state=%u fg=0x%llX tick=%lu", now_ms(),
                static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(hwnd)),
                static_cast<unsigned>(LOWORD(wparam)),
                static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(GetForegroundWindow())),
                GetTickCount());
      break;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT rc;
      GetClientRect(hwnd, &rc);
      DrawTextW(dc, L"keytrace: tracing keyboard events to stdout", -1, &rc,
                DT_CENTER | DT_VCENTER | DT_SINGLELINE);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_SYSCOMMAND:
      // A lone Alt tap would put the window into menu mode, where it grabs the
      // keys that follow; an observer must not change how input flows.
      if ((wparam & 0xFFF0) == SC_KEYMENU) return 0;
      break;
    case WM_CLOSE:
      // Closing any of our windows ends the trace.
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(hwnd, msg, wparam, lparam);
}

HWND make_window(const wchar_t* title, int x, int y) {
  static bool registered = false;
  HINSTANCE inst = GetModuleHandleW(nullptr);
  if (!registered) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = window_proc;
    wc.hInstance = inst;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = L"keytrace";
    if (!RegisterClassW(&wc)) return nullptr;
    registered = true;
  }
  HWND hwnd = CreateWindowExW(0, L"keytrace", title, WS_OVERLAPPEDWINDOW, x, y, 420, 120, nullptr,
                              nullptr, inst, nullptr);
  if (hwnd) {
    ShowWindow(hwnd, SW_SHOWNORMAL);
    UpdateWindow(hwnd);
  }
  return hwnd;
}

// --------------------------------------------------------------- helpers ---

DWORD g_main_thread = 0;

BOOL WINAPI console_ctrl(DWORD) {
  PostThreadMessageW(g_main_thread, WM_QUIT, 0, 0);
  return TRUE;
}

void utf8(const wchar_t* text, char* buf, int size) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, buf, size, nullptr, nullptr);
  if (n <= 0) buf[0] = '\0';
}

bool parse_u32(const wchar_t* text, DWORD* value) {
  if (!text || !*text) return false;
  wchar_t* end = nullptr;
  unsigned long v = wcstoul(text, &end, 0);
  if (*end != L'\0') return false;
  *value = static_cast<DWORD>(v);
  return true;
}

// Calls fn(pid, entry) for each process whose image name matches (any when
// name is null). Returns how many matched.
template <typename Fn>
int for_each_process(const wchar_t* name, Fn fn) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return 0;
  int count = 0;
  PROCESSENTRY32W pe{};
  pe.dwSize = sizeof pe;
  for (BOOL ok = Process32FirstW(snap, &pe); ok; ok = Process32NextW(snap, &pe)) {
    if (name && _wcsicmp(pe.szExeFile, name) != 0) continue;
    ++count;
    fn(pe);
  }
  CloseHandle(snap);
  return count;
}

// Posts WM_QUIT (or message) to the main thread of pid: the thread created
// first. With all_threads, to every thread (those without a message queue
// refuse it).
int stop_process(DWORD pid, bool all_threads, UINT message = WM_QUIT) {
  const char* name = message == WM_QUIT ? "WM_QUIT" : "WM_NULL";
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) {
    out("stop: cannot list threads (error %lu)", GetLastError());
    return 1;
  }
  DWORD first_tid = 0;
  ULONGLONG first_created = ~0ULL;
  int threads = 0;
  int posted = 0;
  THREADENTRY32 te{};
  te.dwSize = sizeof te;
  for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te)) {
    if (te.th32OwnerProcessID != pid) continue;
    ++threads;
    if (all_threads) {
      if (PostThreadMessageW(te.th32ThreadID, message, 0, 0)) {
        out("stop: posted %s to thread %lu of process %lu", name, te.th32ThreadID, pid);
        ++posted;
      }
      continue;
    }
    ULONGLONG created = ~0ULL - 1;  // unknown times sort after known ones
    if (HANDLE th = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, te.th32ThreadID)) {
      FILETIME c, e, k, u;
      if (GetThreadTimes(th, &c, &e, &k, &u))
        created = (static_cast<ULONGLONG>(c.dwHighDateTime) << 32) | c.dwLowDateTime;
      CloseHandle(th);
    }
    if (first_tid == 0 || created < first_created) {
      first_tid = te.th32ThreadID;
      first_created = created;
    }
  }
  CloseHandle(snap);

  if (threads == 0) {
    out("stop: no process %lu", pid);
    return 1;
  }
  if (!all_threads) {
    if (PostThreadMessageW(first_tid, message, 0, 0)) {
      out("stop: posted %s to thread %lu (main) of process %lu", name, first_tid, pid);
      ++posted;
    } else {
      out("stop: PostThreadMessage to thread %lu of process %lu failed (error %lu)", first_tid,
          pid, GetLastError());
    }
  }
  return posted ? 0 : 1;
}

struct ListFilter {
  DWORD pid;
  bool any;
  int count;
};

void print_window(HWND hwnd, bool message_only, ListFilter* f) {
  DWORD pid = 0;
  DWORD tid = GetWindowThreadProcessId(hwnd, &pid);
  if (!f->any && pid != f->pid) return;
  wchar_t wclass[128] = L"";
  wchar_t wtitle[128] = L"";
  GetClassNameW(hwnd, wclass, 128);
  GetWindowTextW(hwnd, wtitle, 128);
  char cls[384];
  char title[384];
  utf8(wclass, cls, sizeof cls);
  utf8(wtitle, title, sizeof title);
  out("hwnd=0x%llX pid=%lu tid=%lu visible=%d msgonly=%d class=\"%s\" title=\"%s\"",
      static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(hwnd)), pid, tid,
      IsWindowVisible(hwnd) ? 1 : 0, message_only ? 1 : 0, cls, title);
  ++f->count;
}

BOOL CALLBACK list_one(HWND hwnd, LPARAM lparam) {
  print_window(hwnd, false, reinterpret_cast<ListFilter*>(lparam));
  return TRUE;
}

int list_windows(const ListFilter& filter) {
  ListFilter f = filter;
  EnumWindows(list_one, reinterpret_cast<LPARAM>(&f));
  for (HWND h = FindWindowExW(HWND_MESSAGE, nullptr, nullptr, nullptr); h;
       h = FindWindowExW(HWND_MESSAGE, h, nullptr, nullptr))
    print_window(h, true, &f);
  out("windows=%d", f.count);
  return 0;
}

void usage() {
  out("usage: keytrace [--window] [--title NAME] [--window2] [--raw]");
  out("         trace keyboard events seen by a low-level hook, one line each:");
  out("         t=MS msg=WM_KEYDOWN vk=0xA0 scan=0x2A flags=0x10(INJECTED) extra=0x0 fg=0x... time=TICK");
  out("         --window   open a window (title NAME, default \"keytrace\") to hold the focus");
  out("         --window2  also open a second window, NAME-other, to move the focus to");
  out("         --raw      also take keyboard raw input; for each key event print both views and");
  out("                    the verdict of Velmora's pairing: paired, hook-only, raw-only or unknown,");
  out("                    and the foreground thread's keyboard layout when it changes");
  out("       keytrace --pids EXE                 print the ids of processes named EXE");
  out("       keytrace --stop PID [--all-threads] post WM_QUIT to the main thread of PID");
  out("       keytrace --stop-name EXE            the same for every process named EXE");
  out("       keytrace --wake PID                 post WM_NULL to the main thread of PID");
  out("       keytrace --list-windows [PID]       list top-level and message-only windows");
  out("       keytrace --help");
}

int trace(bool window, bool window2, bool raw, const wchar_t* title) {
  g_main_thread = GetCurrentThreadId();
  QueryPerformanceFrequency(&g_freq);
  QueryPerformanceCounter(&g_t0);
  double unix0 = unix_time_at_start();

  // Force a message queue before anyone may post to this thread.
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  SetConsoleCtrlHandler(console_ctrl, TRUE);

  out("start pid=%lu tid=%lu unix=%.6f qpcfreq=%lld", GetCurrentProcessId(), g_main_thread, unix0,
      g_freq.QuadPart);

  // From here on all output goes through the ring, in order.
  HANDLE writer = CreateThread(nullptr, 0, writer_main, nullptr, 0, nullptr);
  if (!writer) {
    out("error: cannot start the output thread (error %lu)", GetLastError());
    return 1;
  }

  HHOOK hook = SetWindowsHookExW(WH_KEYBOARD_LL, keyboard_hook, GetModuleHandleW(nullptr), 0);
  if (!hook) {
    out("error: SetWindowsHookEx(WH_KEYBOARD_LL) failed (error %lu)", GetLastError());
    return 1;
  }
  HWND raw_window = nullptr;
  if (raw) {
    raw_window = start_raw_input();
    if (!raw_window) {
      out("error: cannot take keyboard raw input (error %lu)", GetLastError());
      return 1;
    }
    g_raw = true;
    note_layout();
  }
  // NOTE: Wine 8 sends no EVENT_SYSTEM_FOREGROUND; there the WM_ACTIVATE
  // lines of keytrace's own windows show the focus moving.
  HWINEVENTHOOK fg_hook = SetWinEventHook(EVENT_SYSTEM_FOREGROUND, EVENT_SYSTEM_FOREGROUND, nullptr,
                                          foreground_event, 0, 0, WINEVENT_OUTOFCONTEXT);

  if (window) {
    HWND w = make_window(title, 40, 40);
    if (!w) {
      out("error: cannot create the window (error %lu)", GetLastError());
      return 1;
    }
    char t8[384];
    utf8(title, t8, sizeof t8);
    ring_push("window=0x%llX title=\"%s\"", static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(w)),
        t8);
  }
  if (window2) {
    wchar_t title2[300];
    _snwprintf(title2, 300, L"%ls-other", title);
    title2[299] = L'\0';
    HWND w = make_window(title2, 40, 220);
    if (!w) {
      out("error: cannot create the second window (error %lu)", GetLastError());
      return 1;
    }
    char t8[384];
    utf8(title2, t8, sizeof t8);
    ring_push("window2=0x%llX title=\"%s\"",
        static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(w)), t8);
  }
  ring_push("ready t=%.3f fg=0x%llX", now_ms(),
      static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(GetForegroundWindow())));

  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }

  if (fg_hook) UnhookWinEvent(fg_hook);
  UnhookWindowsHookEx(hook);
  if (raw_window) stop_raw_input(raw_window);
  AcquireSRWLockExclusive(&g_ring.lock);
  g_ring.closing = true;
  ReleaseSRWLockExclusive(&g_ring.lock);
  WakeConditionVariable(&g_ring.ready);
  WaitForSingleObject(writer, 2000);
  out("exit t=%.3f", now_ms());
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  g_out = GetStdHandle(STD_OUTPUT_HANDLE);

  bool window = false;
  bool window2 = false;
  bool raw = false;
  const wchar_t* title = L"keytrace";
  for (int i = 1; i < argc; ++i) {
    const wchar_t* a = argv[i];
    const wchar_t* next = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!wcscmp(a, L"--help") || !wcscmp(a, L"-h") || !wcscmp(a, L"/?")) {
      usage();
      return 0;
    } else if (!wcscmp(a, L"--window")) {
      window = true;
    } else if (!wcscmp(a, L"--window2")) {
      window = window2 = true;
    } else if (!wcscmp(a, L"--raw")) {
      raw = true;
    } else if (!wcscmp(a, L"--title") && next) {
      title = next;
      ++i;
    } else if ((!wcscmp(a, L"--stop") || !wcscmp(a, L"--wake")) && next) {
      const bool wake = !wcscmp(a, L"--wake");
      DWORD pid;
      if (!parse_u32(next, &pid)) {
        out("error: %s needs a process id", wake ? "--wake" : "--stop");
        return 1;
      }
      if (wake) return stop_process(pid, false, WM_NULL);
      bool all = i + 2 < argc && !wcscmp(argv[i + 2], L"--all-threads");
      return stop_process(pid, all);
    } else if (!wcscmp(a, L"--stop-name") && next) {
      int failures = 0;
      int found = for_each_process(next, [&](const PROCESSENTRY32W& pe) {
        if (pe.th32ProcessID != GetCurrentProcessId() && stop_process(pe.th32ProcessID, false))
          ++failures;
      });
      if (!found) {
        char n8[384];
        utf8(next, n8, sizeof n8);
        out("stop: no process named %s", n8);
      }
      return found && !failures ? 0 : 1;
    } else if (!wcscmp(a, L"--pids") && next) {
      int found = for_each_process(next, [](const PROCESSENTRY32W& pe) {
        char n8[384];
        utf8(pe.szExeFile, n8, sizeof n8);
        out("pid=%lu parent=%lu threads=%lu exe=%s", pe.th32ProcessID, pe.th32ParentProcessID,
            pe.cntThreads, n8);
      });
      return found ? 0 : 1;
    } else if (!wcscmp(a, L"--list-windows")) {
      ListFilter f{0, true, 0};
      if (next && parse_u32(next, &f.pid)) {
        f.any = false;
        ++i;
      }
      return list_windows(f);
    } else {
      char a8[384];
      utf8(a, a8, sizeof a8);
      out("error: unknown or incomplete option %s", a8);
      usage();
      return 2;
    }
  }
  return trace(window, window2, raw, title);
}
