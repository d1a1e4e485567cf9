// Check 7, what Velmora costs at rest, and the facts about this machine: Windows, the layout, the
// counter, elevation, the accessibility features, and Windows' own view of the repeat settings
// beside what Velmora's settings code makes of them.
#include <cstdio>
#include <cwchar>

#include "app/keyboard_settings.h"
#include "tools/check/checks.h"
#include "tools/check/report.h"
#include "tools/check/session.h"

namespace {

constexpr double kIdleMs = 10000;
// What a process at rest may still use in 10 s: a few milliseconds of one core.
constexpr ULONG64 kIdleTraceCycles = 20000000;

bool ReadVersionText(HKEY key, const wchar_t* value, char* buffer, int size) {
  wchar_t text[128];
  DWORD bytes = sizeof text - sizeof(wchar_t);
  DWORD type = 0;
  if (RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    buffer[0] = '\0';
    return false;
  }
  text[bytes / sizeof(wchar_t)] = L'\0';
  Utf8FromWide(text, buffer, size);
  return true;
}

DWORD ReadVersionNumber(HKEY key, const wchar_t* value) {
  DWORD number = 0;
  DWORD bytes = sizeof number;
  DWORD type = 0;
  if (RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(&number), &bytes) != ERROR_SUCCESS ||
      type != REG_DWORD)
    return 0;
  return number;
}

void ReportWindowsVersion() {
  // The version Windows reports to a program without a compatibility manifest is not the real one
  // (GetVersionEx); the registry keeps the product and its build.
  HKEY key = nullptr;
  char product[128] = "unknown";
  char display[64] = "";
  char build[32] = "?";
  DWORD major = 0;
  DWORD revision = 0;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0, KEY_QUERY_VALUE, &key) ==
      ERROR_SUCCESS) {
    ReadVersionText(key, L"ProductName", product, sizeof product);
    ReadVersionText(key, L"DisplayVersion", display, sizeof display);
    if (!ReadVersionText(key, L"CurrentBuildNumber", build, sizeof build)) ReadVersionText(key, L"CurrentBuild", build, sizeof build);
    major = ReadVersionNumber(key, L"CurrentMajorVersionNumber");
    revision = ReadVersionNumber(key, L"UBR");
    RegCloseKey(key);
  }
  char seen[256];
  snprintf(seen, sizeof seen, "%s%s%s, build %s.%lu", product, *display ? " " : "", display, build, revision);
  Fact("Windows", major >= 10, seen, "Windows 10 or later (_WIN32_WINNT 0x0A00)");
}

void ReportLayout() {
  wchar_t name[KL_NAMELENGTH] = L"";
  GetKeyboardLayoutNameW(name);
  char klid[KL_NAMELENGTH * 3];
  Utf8FromWide(name, klid, sizeof klid);
  char seen[96];
  snprintf(seen, sizeof seen, "layout %s (HKL 0x%08llX)", klid,
           static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(GetKeyboardLayout(0))));
  Fact("keyboard layout", true, seen, "nothing of the layout: it injects by scan code");
}

void ReportCounter(const LARGE_INTEGER& atStart) {
  LARGE_INTEGER now;
  QueryPerformanceFrequency(&now);
  char seen[96];
  snprintf(seen, sizeof seen, "%lld Hz at the start, %lld Hz at the end", atStart.QuadPart, now.QuadPart);
  Fact("performance counter", now.QuadPart == atStart.QuadPart && now.QuadPart > 0, seen,
       "a frequency fixed at boot, read once (QueryPerformanceFrequency)");
}

void ReportElevation() {
  const char* state = "unknown (its token cannot be read)";
  bool agrees = true;
  if (HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, session.velmoraProcessId)) {
    HANDLE token = nullptr;
    if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
      TOKEN_ELEVATION elevation = {};
      DWORD size = 0;
      if (GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size)) {
        state = elevation.TokenIsElevated ? "velmora.exe elevated" : "velmora.exe not elevated";
        agrees = !elevation.TokenIsElevated;
      }
      CloseHandle(token);
    }
    CloseHandle(process);
  }
  Fact("elevation", agrees, state, "the user's own rights (manifest asInvoker)");
}

void ReportAccessibility() {
  STICKYKEYS sticky = {sizeof sticky, 0};
  const bool stickyRead = SystemParametersInfoW(SPI_GETSTICKYKEYS, sizeof sticky, &sticky, 0) != FALSE;
  char seen[128];
  snprintf(seen, sizeof seen, "Sticky Keys %s, its shortcut %s", !stickyRead ? "unknown" : (sticky.dwFlags & SKF_STICKYKEYSON) ? "on" : "off",
           (sticky.dwFlags & SKF_HOTKEYACTIVE) ? "on" : "off");
  Fact("Sticky Keys", !(sticky.dwFlags & SKF_STICKYKEYSON), seen, "Sticky Keys off: a held modifier is a held key");
}

}  // namespace

// The DLLs velmora.exe imports must be known DLLs, which Windows takes from its own copies, never
// from the program's folder (Dynamic-link library search order); the list is the registry key
// below, not a published one. winmm and wtsapi32 are loaded by name from the system folder
// whether they are listed or not.
void ReportKnownDlls() {
  constexpr const wchar_t* kImported[] = {L"kernel32.dll", L"user32.dll", L"advapi32.dll", L"msvcrt.dll"};
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs", 0,
                    KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    Fact("known DLLs", false, "no KnownDLLs key to read", "kernel32, user32, advapi32 and msvcrt are known DLLs");
    return;
  }
  bool listed[4] = {};
  bool winmm = false;
  for (DWORD i = 0;; ++i) {
    wchar_t name[64];
    DWORD nameLength = 64;
    wchar_t data[64] = {};
    DWORD dataBytes = sizeof data - sizeof(wchar_t);
    DWORD type = 0;
    const LSTATUS status =
        RegEnumValueW(key, i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataBytes);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS || type != REG_SZ) continue;
    for (int k = 0; k < 4; ++k) listed[k] = listed[k] || _wcsicmp(data, kImported[k]) == 0;
    winmm = winmm || _wcsicmp(data, L"winmm.dll") == 0;
  }
  RegCloseKey(key);
  char seen[160];
  snprintf(seen, sizeof seen, "kernel32 %s, user32 %s, advapi32 %s, msvcrt %s, winmm %s", listed[0] ? "listed" : "not",
           listed[1] ? "listed" : "not", listed[2] ? "listed" : "not", listed[3] ? "listed" : "not",
           winmm ? "listed" : "not");
  Fact("known DLLs", listed[0] && listed[1] && listed[2] && listed[3], seen,
       "kernel32, user32, advapi32 and msvcrt are known DLLs (the first two documented, the others reported)");
}

void ReportMachineFacts(const LARGE_INTEGER& frequencyAtStart) {
  ReportKnownDlls();
  ReportWindowsVersion();
  ReportLayout();
  ReportCounter(frequencyAtStart);
  ReportElevation();
  ReportAccessibility();

  // Windows' own view of the repeat settings, through the product's own rules, beside what the
  // product's settings code read.
  FILTERKEYS filter = {};
  filter.cbSize = sizeof filter;
  const bool filterRead = SystemParametersInfoW(SPI_GETFILTERKEYS, sizeof filter, &filter, 0) != FALSE;
  const bool filterOn = filterRead && (filter.dwFlags & FKF_FILTERKEYSON);
  const bool repeatKeys = filterRead && RepeatKeysOn(filter);
  DWORD delay = 0;
  DWORD speed = 0;
  SystemParametersInfoW(SPI_GETKEYBOARDDELAY, 0, &delay, 0);
  SystemParametersInfoW(SPI_GETKEYBOARDSPEED, 0, &speed, 0);
  const RepeatTimings windows = repeatKeys ? DeriveRepeatKeysTimings(filter.iRepeatMSec, filter.iDelayMSec)
                                           : DeriveRepeatTimings(static_cast<int32_t>(speed), static_cast<int32_t>(delay));
  char mode[112];
  if (!filterOn) {
    snprintf(mode, sizeof mode, "Filter Keys off");
  } else if (!repeatKeys) {
    snprintf(mode, sizeof mode, "Filter Keys on with BounceKeys (%lu ms)", filter.iBounceMSec);
  } else {
    snprintf(mode, sizeof mode, "Filter Keys on with RepeatKeys (wait %lu, delay %lu, repeat %lu ms)", filter.iWaitMSec,
             filter.iDelayMSec, filter.iRepeatMSec);
  }
  char seen[240];
  snprintf(seen, sizeof seen, "keyboard delay %lu, speed %lu, %s: %u ms arm delay, %u ms interval", delay, speed, mode,
           windows.armDelayMs, windows.repeatIntervalMs);
  char assumes[96];
  snprintf(assumes, sizeof assumes, "%u ms arm delay, %u ms interval (its settings code)", session.timings.armDelayMs,
           session.timings.repeatIntervalMs);
  Fact("repeat settings", windows.armDelayMs == session.timings.armDelayMs &&
                              windows.repeatIntervalMs == session.timings.repeatIntervalMs,
       seen, assumes);
}

void CheckIdleCost() {
  const char* name = "idle costs nothing";
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, session.velmoraProcessId);
  ULONG64 before = 0;
  ULONG64 after = 0;
  const bool first = process && QueryProcessCycleTime(process, &before);
  Pump(kIdleMs);
  const bool second = process && QueryProcessCycleTime(process, &after);
  if (process) CloseHandle(process);
  if (!first || !second || (before == 0 && after == 0)) {
    // NOTE: Wine returns no cycle count; there the idle cost is measured from /proc by the Wine tests.
    Skip(name, "QueryProcessCycleTime gives no cycle count for velmora.exe here");
  } else if (after - before > kIdleTraceCycles) {
    Fail(name, "velmora.exe used %llu CPU cycles in %.0f s without input (a trace is at most %llu)", after - before,
         kIdleMs / 1000, kIdleTraceCycles);
  } else {
    Pass(name, "velmora.exe used %llu CPU cycles in %.0f s without input", after - before, kIdleMs / 1000);
  }
}
