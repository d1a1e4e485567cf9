// The check families, run in this order by check_main.cpp. Each prints its own PASS, FAIL, WARN
// or SKIP line, and the FACT lines of what it saw.
#pragma once

#include <windows.h>

#include <cstdint>

#include "tracking/key_slots.h"

// key_checks.cpp
void CheckEachKeyRepeats();
void CheckAnotherKeyInterrupts();
void CheckNewWindowStops();
void CheckReleasedAtAnyMoment();
// text_checks.cpp
void CheckTextIsNoKey();
void CheckMadeUpKeys();
// machine_facts.cpp
void CheckIdleCost();
void ReportMachineFacts(const LARGE_INTEGER& frequencyAtStart);
// guided.cpp: --keys
void RunGuidedPart();

// Shared by the families (key_checks.cpp).
struct Hold {
  uint64_t pressSent;    // the counter read just before the SendInput of the press
  uint64_t releaseSent;  // ... of the release
  bool readDown;         // GetAsyncKeyState read the key down just before the release
};

// Presses the key, pumps for holdMs, releases it, and pumps for long enough to see a repeat that
// raced the release and the key-up that must follow it.
Hold HoldKey(const MonitoredKey& key, double holdMs);
uint64_t Press(const MonitoredKey& key);
uint64_t Release(const MonitoredKey& key);
// How long after a release Velmora's last events of the key may still come.
double SettleMs();
// False, after a SKIP line, when a check's holds would break a safety rule at these settings: right
// Shift held for as long as Filter Keys' shortcut (intervals 0: not one repeat fits under
// kLongestHoldMs), or the check taking more than two minutes.
bool HoldsFit(const char* name, int intervals, double estimateMs);
const char* KeyLabel(const MonitoredKey& key);
