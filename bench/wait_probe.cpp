// wait_probe: the least any program can do for a first repeat: wait the arming delay on an event
// with a time-out, then inject a key-down. Under Wine the time from the start of the wait to
// the key-down reaching keytrace is the floor Velmora's first repeat is measured against: the
// timed wait's overshoot plus the injection's way through the hooks.
//
//   wait_probe COUNT MS
//
// Prints one line per wait: the wall-clock time at its start (on keytrace's unix= clock), how
// long it lasted by QueryPerformanceCounter, and the wall-clock time just before SendInput.
// The key is the letter A by scan code with Velmora's tag, so that a running Velmora's hook
// takes it for one of its own events and does the same little work as for a repeat.

#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

double UnixNow() {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  ULARGE_INTEGER u;
  u.LowPart = ft.dwLowDateTime;
  u.HighPart = ft.dwHighDateTime;
  return static_cast<double>(u.QuadPart - 116444736000000000ULL) / 1e7;
}

void Inject(bool up) {
  INPUT input = {};
  input.type = INPUT_KEYBOARD;
  input.ki.wScan = 0x1E;
  input.ki.dwFlags = KEYEVENTF_SCANCODE | (up ? KEYEVENTF_KEYUP : 0);
  input.ki.dwExtraInfo = 0x53485250;
  SendInput(1, &input, sizeof input);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::printf("usage: wait_probe COUNT MS\n");
    return 2;
  }
  const int count = static_cast<int>(std::wcstol(argv[1], nullptr, 10));
  const DWORD ms = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
  HANDLE never = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  for (int i = 0; i < count; ++i) {
    LARGE_INTEGER before;
    LARGE_INTEGER after;
    const double start = UnixNow();
    QueryPerformanceCounter(&before);
    WaitForSingleObject(never, ms);
    QueryPerformanceCounter(&after);
    const double send = UnixNow();
    Inject(false);
    Inject(true);
    std::printf("start=%.6f waited=%.3f send=%.6f\n", start,
                static_cast<double>(after.QuadPart - before.QuadPart) * 1000.0 /
                    static_cast<double>(frequency.QuadPart),
                send);
    std::fflush(stdout);
    Sleep(40);  // keeps the waits apart, as a key's release and next press would
  }
  CloseHandle(never);
  return 0;
}
