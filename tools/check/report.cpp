#include "tools/check/report.h"

#include <cstdarg>
#include <cstdio>

namespace {

int passed = 0;
int failed = 0;
int skipped = 0;

void Line(const char* verdict, const char* name, const char* format, va_list args) {
  char figures[768];
  vsnprintf(figures, sizeof figures, format, args);
  PrintLine("%s %s: %s", verdict, name, figures);
}

}  // namespace

#define VELMORA_REPORT_LINE(verdict, counter) \
  va_list args;                               \
  va_start(args, format);                     \
  Line(verdict, name, format, args);          \
  va_end(args);                               \
  ++counter

void Pass(const char* name, const char* format, ...) { VELMORA_REPORT_LINE("PASS", passed); }
void Fail(const char* name, const char* format, ...) { VELMORA_REPORT_LINE("FAIL", failed); }
void Warn(const char* name, const char* format, ...) { VELMORA_REPORT_LINE("WARN", passed); }
void Skip(const char* name, const char* format, ...) { VELMORA_REPORT_LINE("SKIP", skipped); }

void Fact(const char* name, bool agrees, const char* seen, const char* assumes) {
  PrintLine("FACT %s: seen %s; Velmora assumes %s; %s", name, seen, assumes, agrees ? "agrees" : "differs");
}

int PrintTotals() {
  if (skipped) {
    PrintLine("%d passed, %d failed, %d skipped", passed, failed, skipped);
  } else {
    PrintLine("%d passed, %d failed", passed, failed);
  }
  return failed ? 1 : 0;
}
