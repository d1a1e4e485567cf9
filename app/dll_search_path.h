#pragma once

// Makes the system folder the only place this process loads a DLL from by name: its own loads and
// those a system DLL makes for itself. The first call of the program.
void KeepDllLoadsToSystemFolder();
