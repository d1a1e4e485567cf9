// The system timer's resolution, raised to 1 ms only while a repeat is due. Its calls are in
// winmm.dll, which is loaded at run time from the system folder rather than named in the import
// table: see app/dll_search_path.cpp.
#pragma once

// Main thread: before any worker starts, and after every worker was joined. Without the library
// (it cannot be loaded, or lacks a call) the waits end on the system timer's tick.
void LoadTimerResolutionCalls();
void UnloadTimerResolutionCalls();

// Any thread: true when the resolution was raised, which LowerTimerResolution then undoes once.
bool RaiseTimerResolution();
void LowerTimerResolution();
