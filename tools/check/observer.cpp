#include "tools/check/observer.h"

#include "tools/common/raw_input_sink.h"

namespace {

constexpr unsigned kRingSize = 8192;
// NOTE: under Wine 8 a key event reaches no low-level hook when the first-installed hook's thread
// also takes raw input and has fetched no message for 5 s; this thread takes raw input, so it
// fetches a timer message every half second, quiet or not.
constexpr UINT kKeepFetchingMs = 500;

struct EventRing {
  SRWLOCK lock = SRWLOCK_INIT;
  ObservedEvent slot[kRingSize];
  unsigned head = 0;  // the observer thread advances, under the lock
  unsigned tail = 0;  // the main thread advances, under the lock
  bool dropped = false;
};

EventRing ring;
HANDLE signal = nullptr;        // set by the observer thread, waited on by the main thread
HANDLE started = nullptr;       // the observer thread sets it once it is ready or has failed
HANDLE observerThread = nullptr;
DWORD observerThreadId = 0;
bool observerReady = false;     // the observer thread writes before setting started
LARGE_INTEGER frequency;

void Record(const ObservedEvent& event) {
  AcquireSRWLockExclusive(&ring.lock);
  if (ring.head - ring.tail >= kRingSize) {
    ring.dropped = true;
  } else {
    ring.slot[ring.head % kRingSize] = event;
    ++ring.head;
  }
  ReleaseSRWLockExclusive(&ring.lock);
  SetEvent(signal);
}

LRESULT CALLBACK KeyboardHook(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HC_ACTION) {
    const auto* k = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lparam);
    Record({CounterNow(), false, wparam, k->vkCode, k->scanCode, k->flags, k->dwExtraInfo, k->time, nullptr});
  }
  // Observe only: every event goes on to the next hook and the application.
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

LRESULT CALLBACK RawInputProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  RAWINPUT input;
  if (message == WM_INPUT && ReadRawKeyboard(lparam, input)) {
    const RAWKEYBOARD& k = input.data.keyboard;
    Record({CounterNow(), true, k.Message, k.VKey, k.MakeCode, k.Flags, k.ExtraInformation,
            static_cast<DWORD>(GetMessageTime()), input.header.hDevice});
  }
  // WM_INPUT too: the system cleans up after it there.
  return DefWindowProcW(window, message, wparam, lparam);
}

DWORD WINAPI ObserverMain(void*) {
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  HHOOK hook = SetWindowsHookExW(WH_KEYBOARD_LL, KeyboardHook, GetModuleHandleW(nullptr), 0);
  HWND sink = hook ? StartRawInputSink(L"velmora_check_raw", RawInputProc) : nullptr;
  observerReady = hook && sink;
  SetEvent(started);
  if (!observerReady) {
    if (hook) UnhookWindowsHookEx(hook);
    return 1;
  }
  const UINT_PTR timer = SetTimer(nullptr, 0, kKeepFetchingMs, nullptr);
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  KillTimer(nullptr, timer);
  StopRawInputSink(sink);
  UnhookWindowsHookEx(hook);
  return 0;
}

}  // namespace

uint64_t CounterNow() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<uint64_t>(now.QuadPart);
}

double MsBetween(uint64_t from, uint64_t to) {
  return (static_cast<double>(to) - static_cast<double>(from)) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

uint64_t TicksFromMs(double ms) {
  return static_cast<uint64_t>(ms * static_cast<double>(frequency.QuadPart) / 1000.0);
}

bool StartObserver() {
  QueryPerformanceFrequency(&frequency);
  signal = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!signal || !started) return false;
  observerThread = CreateThread(nullptr, 0, ObserverMain, nullptr, 0, &observerThreadId);
  if (!observerThread) return false;
  WaitForSingleObject(started, INFINITE);
  return observerReady;
}

void StopObserver() {
  if (!observerThread) return;
  PostThreadMessageW(observerThreadId, WM_QUIT, 0, 0);
  WaitForSingleObject(observerThread, 2000);
}

int TakeObservedEvents(ObservedEvent* events, int capacity, bool& dropped) {
  AcquireSRWLockExclusive(&ring.lock);
  int count = 0;
  while (ring.tail != ring.head && count < capacity) events[count++] = ring.slot[ring.tail++ % kRingSize];
  dropped = ring.dropped;
  ring.dropped = false;
  ReleaseSRWLockExclusive(&ring.lock);
  return count;
}

HANDLE ObservedEventSignal() { return signal; }
