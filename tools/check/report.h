// The report: one line per check (PASS, FAIL, WARN or SKIP), one per fact, and the count at the
// end. Facts never change the exit code; a WARN is a figure outside what users would expect and
// counts as passed.
#pragma once

#include "tools/common/console_output.h"

void Pass(const char* name, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Fail(const char* name, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Warn(const char* name, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Skip(const char* name, const char* format, ...) __attribute__((format(printf, 2, 3)));

// FACT name: seen ...; Velmora assumes ...; agrees (or differs).
void Fact(const char* name, bool agrees, const char* seen, const char* assumes);

// "N passed, M failed" and ", K skipped" when some were; returns the exit code for what ran: 0, or
// 1 when a check failed.
int PrintTotals();
