// velmora-check: checks the running velmora.exe on this machine. It presses keys by itself, into a
// window of its own, watches what reaches its own hook and raw input, and prints a verdict for
// every behaviour users rely on and a line for every platform fact the code relies on.
//
// Exit code: 0 when no check failed, 1 when one did, 2 when it could not check (no velmora.exe, no
// foreground, someone typed or took the focus away).
#include <windows.h>

#include <cwchar>

#include "app/keyboard_settings.h"
#include "tools/check/checks.h"
#include "tools/check/injection.h"
#include "tools/check/observer.h"
#include "tools/check/report.h"
#include "tools/check/session.h"
#include "tools/common/process_lookup.h"

namespace {

void PrintUsage() {
  PrintLine("usage: velmora-check [--keys]");
  PrintLine("  checks the running velmora.exe: presses keys by itself in its own window for about a minute");
  PrintLine("  --keys  then asks you to press a few keys yourself");
  PrintLine("  exit code 0: no check failed; 1: one did; 2: it could not check");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // No DLL of this process is looked for beside the program, where a browser may have dropped one
  // (SetDefaultDllDirectories: Windows 8 and later).
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  bool guided = false;
  for (int i = 1; i < argc; ++i) {
    if (wcscmp(argv[i], L"--keys") == 0) {
      guided = true;
      continue;
    }
    PrintUsage();
    return wcscmp(argv[i], L"--help") == 0 || wcscmp(argv[i], L"-h") == 0 || wcscmp(argv[i], L"/?") == 0 ? 0 : 2;
  }
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  PrintLine("velmora-check presses keys by itself for about a minute, in its own window: leave the keyboard "
            "alone (any key you press stops it)");
  session.velmoraProcessId = FindProcess(L"velmora.exe");
  if (session.velmoraProcessId == 0) {
    PrintLine("stopped: no velmora.exe runs in this session: start velmora.exe first");
    return 2;
  }
  session.velmoraThreadId = MainThreadOf(session.velmoraProcessId);
  PrintLine("velmora.exe is process %lu; before each key it holds, it posts WM_NULL (a message that does nothing) to "
            "its main thread %lu", session.velmoraProcessId, session.velmoraThreadId);
  InstallConsoleGuard();
  session.timings = ReadRepeatTimings();
  if (!StartObserver()) {
    PrintLine("stopped: it cannot watch the keyboard (SetWindowsHookEx or RegisterRawInputDevices, error %lu)",
              GetLastError());
    return 2;
  }
  if (!OpenWindows()) {
    PrintLine("stopped: it cannot open its window (error %lu)", GetLastError());
    return 2;
  }
  if (!TakeForeground()) {
    PrintLine("stopped: its window never had the foreground, so it typed nothing");
    return 2;
  }
  // A moment for what was under way to arrive; a key someone holds stops it here.
  Pump(300);
  char down[96];
  KeysDownByAsyncState(down, sizeof down);
  if (*down) StopCheck("a key was down before it started");

  CheckEachKeyRepeats();
  CheckAnotherKeyInterrupts();
  CheckNewWindowStops();
  CheckReleasedAtAnyMoment();
  CheckTextIsNoKey();
  CheckMadeUpKeys();
  CheckIdleCost();
  ReportMachineFacts(frequency);
  if (guided) RunGuidedPart();

  ReleaseEveryKey();
  KeysDownByAsyncState(down, sizeof down);
  if (*down) {
    Fail("nothing left down", "GetAsyncKeyState reads %s as down at the end", down);
  } else {
    Pass("nothing left down", "GetAsyncKeyState reads none of the four keys as down at the end");
  }
  StopObserver();
  return PrintTotals();
}
