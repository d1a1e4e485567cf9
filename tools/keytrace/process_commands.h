// keytrace's helpers for the Wine tests, run as commands: find processes by name, post a message to
// a process's main thread (or to every thread), list windows.
#pragma once

#include <windows.h>

// --pids EXE: prints one line per process named exe; 0 when there was one.
int PrintProcesses(const wchar_t* exe);

// --stop / --wake: posts message (WM_QUIT or WM_NULL) to the main thread of processId, or with
// allThreads to every thread (those without a message queue refuse it). 0 when one was posted.
int PostToProcess(DWORD processId, bool allThreads, UINT message);

// --stop-name EXE: WM_QUIT to the main thread of every other process named exe.
int StopProcessesNamed(const wchar_t* exe);

// --list-windows [PID]: top-level and message-only windows, of one process or of all.
int ListWindows(bool anyProcess, DWORD processId);
