// Processes and threads by name and id, through the Tool Help snapshots.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

// Calls visit for each process whose image name is name, case-insensitively (every process when
// name is null); returns how many there were.
int ForEachProcess(const wchar_t* name, void (*visit)(const PROCESSENTRY32W& process, void* context),
                   void* context);

// The id of the first process named name other than this one, or 0.
DWORD FindProcess(const wchar_t* name);

// Calls visit for each thread of the process; returns how many there were, -1 when the threads
// cannot be listed.
int ForEachThread(DWORD processId, void (*visit)(DWORD threadId, void* context), void* context);

// The process's main thread: the one created first (a thread whose creation time cannot be read
// counts as created last). 0 when the process has no thread.
DWORD MainThreadOf(DWORD processId);
