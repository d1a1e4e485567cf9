#include "tools/common/console_output.h"

#include <cstdarg>
#include <cstdio>

void WriteOutput(const char* text, int length) {
  if (length <= 0) return;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(length), &written, nullptr);
}

void PrintLine(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  int length = vsnprintf(buffer, sizeof buffer - 1, format, args);
  va_end(args);
  if (length < 0) return;
  if (length > static_cast<int>(sizeof buffer) - 2) length = static_cast<int>(sizeof buffer) - 2;
  buffer[length++] = '\n';
  WriteOutput(buffer, length);
}

void Utf8FromWide(const wchar_t* text, char* buffer, int size) {
  if (WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, size, nullptr, nullptr) <= 0) buffer[0] = '\0';
}
