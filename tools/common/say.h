#pragma once
// printf to standard output with one WriteFile per call: nothing is buffered, so a harness
// reading the pipe sees each line as soon as it is written.

#include <windows.h>

#include <cstdarg>
#include <cstdio>

inline void SayV(const char* fmt, va_list ap) {
  char buf[1024];
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  if (n < 0) return;
  if (n >= static_cast<int>(sizeof buf)) n = sizeof buf - 1;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buf, static_cast<DWORD>(n), &written, nullptr);
}

inline void say(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  SayV(fmt, ap);
  va_end(ap);
}
