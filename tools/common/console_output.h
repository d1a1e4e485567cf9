// Lines to standard output, one WriteFile each, so that every line is on its way (to a console, a
// pipe or a file) as soon as it is printed: a report cut short still holds everything before.
#pragma once

#include <windows.h>

// One formatted line, its newline added; longer than 1 KiB is cut.
void PrintLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The bytes as they are, for a writer that formatted them already.
void WriteOutput(const char* text, int length);

// text in UTF-8, empty when it cannot be converted.
void Utf8FromWide(const wchar_t* text, char* buffer, int size);
