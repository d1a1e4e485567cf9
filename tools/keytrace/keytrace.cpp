// keytrace: prints every keyboard event that a low-level keyboard hook sees, one line per event, so
// a person or a test can see what reaches applications (physical keys, injected keys, their flags,
// tags and timing).
//
// With --raw it also takes the keyboard's raw input, as Velmora does, and prints each event's two
// views side by side with what Velmora's own pairing of them (tracking/key_event_pairing.cpp,
// linked here) makes of it.
//
// It also carries the few process helpers the end-to-end tests need on the Windows side
// (process_commands.cpp).

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "tools/common/console_output.h"
#include "tools/common/key_names.h"
#include "tools/common/line_ring.h"
#include "tools/common/raw_input_sink.h"
#include "tools/common/window_text.h"
#include "tools/keytrace/process_commands.h"
#include "tracking/key_event_pairing.h"

namespace {

// ------------------------------------------------------------------ time ---

LARGE_INTEGER counterFrequency;
LARGE_INTEGER counterAtStart;

double MsSinceStart() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart - counterAtStart.QuadPart) * 1000.0 /
         static_cast<double>(counterFrequency.QuadPart);
}

// Wall-clock seconds since 1970 at t=0, so a harness can place its own actions on keytrace's time
// axis.
double UnixTimeAtStart() {
  FILETIME fileTime;
  GetSystemTimePreciseAsFileTime(&fileTime);
  ULARGE_INTEGER value;
  value.LowPart = fileTime.dwLowDateTime;
  value.HighPart = fileTime.dwHighDateTime;
  return static_cast<double>(value.QuadPart - 116444736000000000ULL) / 1e7;
}

// ------------------------------------------------------------ both views ---

// --raw: the hook's view and raw input's view of each key event, paired by the rule Velmora itself
// uses. The hook and WM_INPUT both run on the main thread, as the pairing needs.
bool showRaw = false;
KeyEventPairing pairing;
HKL lastLayout = nullptr;

// One line per key event: the pairing's verdict, then each view as it was given, or "-" for a view
// that never came.
void PrintVerdict(const char* verdict, const KeyStroke* hook, const KeyStroke* raw) {
  char hookText[128] = "-";
  char rawText[128] = "-";
  char flags[64];
  char nameBuffer[8];
  const char* key = "";
  if (hook) {
    FlagNames(hook->viewFlags, kHookFlagNames, flags, sizeof flags);
    snprintf(hookText, sizeof hookText, "vk=0x%02lX scan=0x%02lX flags=0x%02lX(%s) extra=0x%llX time=%lu",
             hook->virtualKey, hook->viewScanCode, hook->viewFlags, flags,
             static_cast<unsigned long long>(hook->extraInfo), hook->messageTime);
    key = KeyName(hook->virtualKey, hook->viewScanCode, nameBuffer, sizeof nameBuffer);
  }
  if (raw) {
    FlagNames(raw->viewFlags, kRawFlagNames, flags, sizeof flags);
    snprintf(rawText, sizeof rawText, "MakeCode=0x%02lX Flags=0x%lX(%s) VKey=0x%02lX ExtraInformation=0x%llX time=%lu",
             raw->viewScanCode, raw->viewFlags, flags, raw->virtualKey,
             static_cast<unsigned long long>(raw->extraInfo), raw->messageTime);
    if (!*key) key = KeyName(raw->virtualKey, raw->viewScanCode, nameBuffer, sizeof nameBuffer);
  }
  PushLine("pair=%s hook[%s] raw[%s]%s%s", verdict, hookText, rawText, *key ? " key=" : "", key);
}

void Paired(const KeyStroke& hook, const KeyStroke& raw) { PrintVerdict("paired", &hook, &raw); }
void HookOnly(const KeyStroke& hook) { PrintVerdict("hook-only", &hook, nullptr); }
// Missed by the hook: Velmora would settle it as if the hook had seen it.
void RawOnly(const KeyStroke& raw, const KeyStroke*, int) { PrintVerdict("raw-only", nullptr, &raw); }
// Not a verdict yet: the hook may still see it.
void RawWaiting(const KeyStroke&) {}
// Shown when the pairing could no longer compare it: neither seen nor missed.
void Unknown(const KeyStroke& raw) { PrintVerdict("unknown", nullptr, &raw); }

constexpr PairingVerdicts kVerdicts = {Paired, HookOnly, RawOnly, RawWaiting, Unknown};

// Layouts are per thread, and the one that turns keys into characters is the foreground thread's:
// printed at start and whenever it changes.
void NoteLayout() {
  const DWORD thread = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
  HKL layout = GetKeyboardLayout(thread);
  if (layout == lastLayout) return;
  lastLayout = layout;
  PushLine("layout=0x%08llX thread=%lu", static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(layout)),
           thread);
}

// A raw event the hook has not seen counts as missed once the hook has had as long as Windows
// gives it: a timer at that deadline, while one waits.
constexpr UINT_PTR kDeadlineTimer = 1;

void ArmDeadline(HWND window) {
  const DWORD ms = MsUntilMissDeadline(pairing, GetTickCount());
  if (ms == INFINITE) {
    KillTimer(window, kDeadlineTimer);
  } else {
    SetTimer(window, kDeadlineTimer, ms, nullptr);
  }
}

LRESULT CALLBACK RawWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_TIMER && wparam == kDeadlineTimer) {
    ExpireUnmatchedRawEvents(pairing, GetTickCount(), false, kVerdicts);
    ArmDeadline(window);
    return 0;
  }
  RAWINPUT input;
  if (message == WM_INPUT && ReadRawKeyboard(lparam, input)) {
    const RAWKEYBOARD& k = input.data.keyboard;
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    NoteLayout();
    char flags[32];
    FlagNames(k.Flags, kRawFlagNames, flags, sizeof flags);
    // RAWKEYBOARD carries no time: the event's is its message's.
    PushLine("t=%.3f msg=WM_INPUT MakeCode=0x%02X Flags=0x%X(%s) VKey=0x%02X ExtraInformation=0x%lX time=%ld",
             MsSinceStart(), k.MakeCode, k.Flags, flags, k.VKey, k.ExtraInformation, GetMessageTime());
    PairRawEvent(pairing, k, static_cast<DWORD>(GetMessageTime()), static_cast<uint64_t>(counter.QuadPart),
                 kVerdicts);
    ArmDeadline(window);
  }
  // WM_INPUT too: the system cleans up after it there.
  return DefWindowProcW(window, message, wparam, lparam);
}

// ----------------------------------------------------------------- hooks ---

LRESULT CALLBACK KeyboardHook(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HC_ACTION) {
    const double t = MsSinceStart();
    const auto* k = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lparam);
    char messageBuffer[16];
    char flags[64];
    char nameBuffer[8];
    FlagNames(k->flags, kHookFlagNames, flags, sizeof flags);
    const char* key = KeyName(k->vkCode, k->scanCode, nameBuffer, sizeof nameBuffer);
    PushLine("t=%.3f msg=%s vk=0x%02lX scan=0x%02lX flags=0x%02lX(%s) extra=0x%llX fg=0x%llX time=%lu%s%s", t,
             MessageName(wparam, messageBuffer, sizeof messageBuffer), k->vkCode, k->scanCode, k->flags, flags,
             static_cast<unsigned long long>(k->dwExtraInfo),
             static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(GetForegroundWindow())), k->time,
             *key ? " key=" : "", key);
    if (showRaw) PairHookEvent(pairing, *k, kVerdicts);
  }
  // Observe only: every event goes on to the next hook and the application.
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

void CALLBACK ForegroundEvent(HWINEVENTHOOK, DWORD, HWND window, LONG, LONG, DWORD, DWORD) {
  PushLine("t=%.3f msg=FOREGROUND fg=0x%llX tick=%lu", MsSinceStart(),
           static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window)), GetTickCount());
}

// ---------------------------------------------------------------- window ---

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_ACTIVATE:
      // tick is on the same clock as the time= of key events, so a test can tell whether an event
      // was sent before or after the activation.
      PushLine("t=%.3f msg=WM_ACTIVATE hwnd=0x%llX state=%u fg=0x%llX tick=%lu", MsSinceStart(),
               static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window)),
               static_cast<unsigned>(LOWORD(wparam)),
               static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(GetForegroundWindow())), GetTickCount());
      break;
    case WM_PAINT:
      PaintCenteredText(window, L"keytrace: tracing keyboard events to stdout");
      return 0;
    case WM_SYSCOMMAND:
      // A lone Alt tap would put the window into menu mode, where it grabs the keys that follow; an
      // observer must not change how input flows.
      if ((wparam & 0xFFF0) == SC_KEYMENU) return 0;
      break;
    case WM_CLOSE:
      // Closing any of our windows ends the trace.
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

HWND MakeWindow(const wchar_t* title, int x, int y) {
  static bool registered = false;
  HINSTANCE instance = GetModuleHandleW(nullptr);
  if (!registered) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = L"keytrace";
    if (!RegisterClassW(&windowClass)) return nullptr;
    registered = true;
  }
  HWND window = CreateWindowExW(0, L"keytrace", title, WS_OVERLAPPEDWINDOW, x, y, 420, 120, nullptr, nullptr,
                                instance, nullptr);
  if (window) {
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
  }
  return window;
}

// Opens one of the windows and says so: `name=0x... title="..."`.
bool OpenWindow(const char* name, const wchar_t* title, int y) {
  HWND window = MakeWindow(title, 40, y);
  if (!window) return false;
  char title8[384];
  Utf8FromWide(title, title8, sizeof title8);
  PushLine("%s=0x%llX title=\"%s\"", name, static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window)),
           title8);
  return true;
}

// ----------------------------------------------------------------- trace ---

DWORD mainThread = 0;

BOOL WINAPI ConsoleControl(DWORD) {
  PostThreadMessageW(mainThread, WM_QUIT, 0, 0);
  return TRUE;
}

bool ParseNumber(const wchar_t* text, DWORD* value) {
  if (!text || !*text) return false;
  wchar_t* end = nullptr;
  const unsigned long parsed = wcstoul(text, &end, 0);
  if (*end != L'\0') return false;
  *value = static_cast<DWORD>(parsed);
  return true;
}

void PrintUsage() {
  PrintLine("usage: keytrace [--window] [--title NAME] [--window2] [--raw]");
  PrintLine("         trace keyboard events seen by a low-level hook, one line each:");
  PrintLine("         t=MS msg=WM_KEYDOWN vk=0xA0 scan=0x2A flags=0x10(INJECTED) extra=0x0 fg=0x... time=TICK");
  PrintLine("         --window   open a window (title NAME, default \"keytrace\") to hold the focus");
  PrintLine("         --window2  also open a second window, NAME-other, to move the focus to");
  PrintLine("         --raw      also take keyboard raw input; for each key event print both views and");
  PrintLine("                    the verdict of Velmora's pairing: paired, hook-only, raw-only or unknown,");
  PrintLine("                    and the foreground thread's keyboard layout when it changes");
  PrintLine("       keytrace --pids EXE                 print the ids of processes named EXE");
  PrintLine("       keytrace --stop PID [--all-threads] post WM_QUIT to the main thread of PID");
  PrintLine("       keytrace --stop-name EXE            the same for every process named EXE");
  PrintLine("       keytrace --wake PID                 post WM_NULL to the main thread of PID");
  PrintLine("       keytrace --list-windows [PID]       list top-level and message-only windows");
  PrintLine("       keytrace --help");
}

int Trace(bool window, bool window2, bool raw, const wchar_t* title) {
  mainThread = GetCurrentThreadId();
  QueryPerformanceFrequency(&counterFrequency);
  QueryPerformanceCounter(&counterAtStart);
  const double unixAtStart = UnixTimeAtStart();

  // A message queue before anyone may post to this thread.
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  SetConsoleCtrlHandler(ConsoleControl, TRUE);

  PrintLine("start pid=%lu tid=%lu unix=%.6f qpcfreq=%lld", GetCurrentProcessId(), mainThread, unixAtStart,
            counterFrequency.QuadPart);

  // From here on all output goes through the ring, in order.
  if (!StartLineWriter()) {
    PrintLine("error: cannot start the output thread (error %lu)", GetLastError());
    return 1;
  }
  HHOOK hook = SetWindowsHookExW(WH_KEYBOARD_LL, KeyboardHook, GetModuleHandleW(nullptr), 0);
  if (!hook) {
    PrintLine("error: SetWindowsHookEx(WH_KEYBOARD_LL) failed (error %lu)", GetLastError());
    return 1;
  }
  HWND rawWindow = nullptr;
  if (raw) {
    rawWindow = StartRawInputSink(L"keytrace_raw", RawWindowProc);
    if (!rawWindow) {
      PrintLine("error: cannot take keyboard raw input (error %lu)", GetLastError());
      return 1;
    }
    showRaw = true;
    NoteLayout();
  }
  // NOTE: Wine 8 sends no EVENT_SYSTEM_FOREGROUND; there the WM_ACTIVATE lines of keytrace's own
  // windows show the focus moving.
  HWINEVENTHOOK foregroundHook = SetWinEventHook(EVENT_SYSTEM_FOREGROUND, EVENT_SYSTEM_FOREGROUND, nullptr,
                                                 ForegroundEvent, 0, 0, WINEVENT_OUTOFCONTEXT);
  if (window && !OpenWindow("window", title, 40)) {
    PrintLine("error: cannot create the window (error %lu)", GetLastError());
    return 1;
  }
  if (window2) {
    wchar_t title2[300];
    _snwprintf(title2, 300, L"%ls-other", title);
    title2[299] = L'\0';
    if (!OpenWindow("window2", title2, 220)) {
      PrintLine("error: cannot create the second window (error %lu)", GetLastError());
      return 1;
    }
  }
  PushLine("ready t=%.3f fg=0x%llX", MsSinceStart(),
           static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(GetForegroundWindow())));

  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }

  if (foregroundHook) UnhookWinEvent(foregroundHook);
  UnhookWindowsHookEx(hook);
  if (rawWindow) {
    // What still waits for the hook now never gets it.
    ExpireUnmatchedRawEvents(pairing, GetTickCount(), true, kVerdicts);
    StopRawInputSink(rawWindow);
  }
  StopLineWriter(2000);
  PrintLine("exit t=%.3f", MsSinceStart());
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // No DLL of this process is looked for beside the program, where a browser may have dropped one
  // (SetDefaultDllDirectories: Windows 8 and later, as keytrace needs anyway).
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  bool window = false;
  bool window2 = false;
  bool raw = false;
  const wchar_t* title = L"keytrace";
  for (int i = 1; i < argc; ++i) {
    const wchar_t* a = argv[i];
    const wchar_t* next = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!wcscmp(a, L"--help") || !wcscmp(a, L"-h") || !wcscmp(a, L"/?")) {
      PrintUsage();
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
      DWORD processId;
      if (!ParseNumber(next, &processId)) {
        PrintLine("error: %s needs a process id", wake ? "--wake" : "--stop");
        return 1;
      }
      if (wake) return PostToProcess(processId, false, WM_NULL);
      const bool allThreads = i + 2 < argc && !wcscmp(argv[i + 2], L"--all-threads");
      return PostToProcess(processId, allThreads, WM_QUIT);
    } else if (!wcscmp(a, L"--stop-name") && next) {
      return StopProcessesNamed(next);
    } else if (!wcscmp(a, L"--pids") && next) {
      return PrintProcesses(next);
    } else if (!wcscmp(a, L"--list-windows")) {
      DWORD processId = 0;
      const bool one = next && ParseNumber(next, &processId);
      return ListWindows(!one, processId);
    } else {
      char option[384];
      Utf8FromWide(a, option, sizeof option);
      PrintLine("error: unknown or incomplete option %s", option);
      PrintUsage();
      return 2;
    }
  }
  return Trace(window, window2, raw, title);
}
