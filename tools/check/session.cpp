#include "tools/check/session.h"

#include <cstdio>

#include "tools/check/injection.h"
#include "tools/check/pairing_log.h"
#include "tools/check/report.h"
#include "tools/common/window_text.h"

Session session;

namespace {

constexpr wchar_t kWindowTitle[] = L"velmora-check";
constexpr wchar_t kOtherWindowTitle[] = L"velmora-check-other";
constexpr DWORD kClickWaitMs = 30000;
// The foreground is null for a moment while it moves between windows; longer, the keys would go
// nowhere, and the check stops.
constexpr double kNoForegroundMs = 500;

ObservedEvent journal[kJournalCapacity];
int journalCount = 0;
uint64_t foregroundMissingSince = 0;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP:
      // Alt and F10 reach a window as system keys; DefWindowProcW would turn a lone Alt tap into
      // SC_KEYMENU, and the window into menu mode, which takes the keys that follow.
      return 0;
    case WM_SYSCOMMAND:
      if ((wparam & 0xFFF0) == SC_KEYMENU) return 0;
      break;
    case WM_PAINT:
      PaintCenteredText(window, L"velmora-check is pressing keys here: leave the keyboard alone");
      return 0;
    case WM_CLOSE:
      StopCheck("its window was closed");
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

HWND MakeWindow(const wchar_t* title, int y) {
  HWND window = CreateWindowExW(0, L"velmora_check", title, WS_OVERLAPPEDWINDOW, 60, y, 520, 140, nullptr,
                                nullptr, GetModuleHandleW(nullptr), nullptr);
  if (window) {
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
  }
  return window;
}

void DispatchWaiting() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) StopCheck("it was asked to quit");
    // No TranslateMessage: the keys typed here are for Velmora to see, not text.
    DispatchMessageW(&msg);
  }
}

void CollectObserved() {
  ObservedEvent batch[256];
  for (;;) {
    bool dropped = false;
    const int count = TakeObservedEvents(batch, 256, dropped);
    if (dropped) StopCheck("its observer fell behind the keyboard");
    for (int i = 0; i < count; ++i) {
      const ObservedEvent& event = batch[i];
      if (!session.keysExpected && !event.raw && !(event.flags & LLKHF_INJECTED)) {
        char why[160];
        snprintf(why, sizeof why, "a key was pressed on the keyboard (vk 0x%02lX, scan 0x%02lX) while it was typing",
                 event.virtualKey, event.scanCode);
        StopCheck(why);
      }
      if (journalCount == kJournalCapacity) StopCheck("it saw more key events than it can keep");
      journal[journalCount++] = event;
      PairObservedEvent(event);
    }
    if (count < 256) return;
  }
}

void CheckForeground() {
  HWND foreground = GetForegroundWindow();
  if (foreground == session.window || foreground == session.otherWindow) {
    foregroundMissingSince = 0;
    return;
  }
  if (foreground != nullptr) StopCheck("the focus left velmora-check's window");
  const uint64_t now = CounterNow();
  if (foregroundMissingSince == 0) foregroundMissingSince = now;
  if (MsBetween(foregroundMissingSince, now) > kNoForegroundMs) StopCheck("no window has the focus");
}

}  // namespace

bool OpenWindows() {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = L"velmora_check";
  if (!RegisterClassW(&windowClass)) return false;
  session.otherWindow = MakeWindow(kOtherWindowTitle, 240);
  session.window = MakeWindow(kWindowTitle, 60);
  return session.window && session.otherWindow;
}

bool TakeForeground() {
  // Windows lets a process take the foreground only in the cases SetForegroundWindow lists (one of
  // them: it was started by the foreground process, as from a console); otherwise it flashes.
  SetForegroundWindow(session.window);
  bool asked = false;
  const uint64_t start = CounterNow();
  while (MsBetween(start, CounterNow()) < kClickWaitMs) {
    DispatchWaiting();
    if (GetForegroundWindow() == session.window) return true;
    if (!asked && MsBetween(start, CounterNow()) > 500) {
      PrintLine("click the window titled \"velmora-check\" to let it start (it waits 30 s)");
      asked = true;
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
  }
  return false;
}

void Pump(double ms) {
  const uint64_t end = CounterNow() + TicksFromMs(ms);
  HANDLE signal = ObservedEventSignal();
  for (;;) {
    DispatchWaiting();
    CollectObserved();
    CheckForeground();
    const uint64_t now = CounterNow();
    if (now >= end) return;
    const double left = MsBetween(now, end);
    MsgWaitForMultipleObjects(1, &signal, FALSE, left < 10 ? static_cast<DWORD>(left) + 1 : 10, QS_ALLINPUT);
  }
}

void WakeVelmora() {
  constexpr double kFetchMs = 20;
  PostThreadMessageW(session.velmoraThreadId, WM_NULL, 0, 0);
  Pump(kFetchMs);
}

int JournalMark() { return journalCount; }
const ObservedEvent* JournalAt(int index) { return &journal[index]; }

void StopCheck(const char* why) {
  ReleaseEveryKey();
  Sleep(100);
  // Its hook out of the chain before the process ends. NOTE: Wine 8 leaves an ended process's hook
  // in the chain for a while and calls no hook behind it.
  StopObserver();
  char down[96];
  KeysDownByAsyncState(down, sizeof down);
  if (*down) {
    PrintLine("stopped: %s; it released every key it pressed, and %s still read as down", why, down);
  } else {
    PrintLine("stopped: %s; it released every key it pressed, and none is down", why);
  }
  PrintTotals();
  ExitProcess(2);
}
