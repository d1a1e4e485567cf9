// The test's side of the simulated Win32: one machine with a virtual clock, reset by every test.
//
// Product threads are real threads; time is not. The clock moves only in AdvanceBy, and only
// once every simulated thread is blocked in a wait, deadline by deadline, so a worker that waits
// 533 ms injects at exactly 533 ms on any machine, in microseconds of real time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace sim {

enum class Call {
  CreateMutexW,
  ReleaseMutex,
  CreateEventW,
  SetEvent,
  WaitForSingleObject,
  CreateThread,
  CloseHandle,
  QueryPerformanceCounter,
  GetModuleHandleW,
  GetProcAddress,
  SetProcessInformation,
  SetWindowsHookExW,
  CallNextHookEx,
  UnhookWindowsHookEx,
  GetMessageW,
  TranslateMessage,
  DispatchMessageW,
  SendInput,
  GetAsyncKeyState,
  GetForegroundWindow,
  RegOpenKeyExW,
  RegQueryValueExW,
  RegCloseKey,
  timeBeginPeriod,
  timeEndPeriod,
  PeekMessageW,
  MsgWaitForMultipleObjectsEx,
  RegisterClassExW,
  CreateWindowExW,
  DestroyWindow,
  RegisterRawInputDevices,
  GetRawInputData,
  SetThreadPriority,
  RegNotifyChangeKeyValue,
  SystemParametersInfoW,
  LoadLibraryExW,
  FreeLibrary,
  SetDefaultDllDirectories,
  OpenEventW,
  WTSRegisterSessionNotification,
  WTSUnRegisterSessionNotification,
  RegisterSuspendResumeNotification,
  UnregisterSuspendResumeNotification,
  kCount,
};
const char* CallName(Call call);

// The machine's clock counts 100 ns units; the performance counter runs at 10 MHz unless a test
// sets another frequency, so by default its ticks are the clock's.
inline constexpr uint64_t kTicksPerMs = 10000;
// Never 0 at start: a release time of 0 means "none". On the system timer's 15.625 ms grid.
inline constexpr uint64_t kStartTicks = 7'000'000'000;

// --- The machine -------------------------------------------------------------------------------

// A fresh machine. Threads still alive from the last test are reported by Problems() first.
void Reset();

uint64_t NowTicks();  // the performance counter's value now
uint32_t NowMs();     // virtual milliseconds since Reset
// The performance counter's frequency: 10 MHz by default; Windows machines also report
// 3,579,545 Hz and others.
void SetCounterFrequency(uint64_t hertz);

// Blocks until every simulated thread is waiting or ended, delivering queued input to the hook
// when the calling thread plays the hook's thread. A thread that never waits fails the run after
// a few real seconds with the state of every thread.
void Settle();

// Settles, then moves the clock deadline by deadline up to ms from now, waking timed-out waits.
void AdvanceBy(uint32_t ms);

// --- The session -------------------------------------------------------------------------------

HWND Window(int n);  // a distinct window handle for n >= 1
void SetForegroundWindow(HWND window);
void SetKeyState(int virtualKey, bool down);  // the physical state alone, with no event
DWORD ScanCodeOf(int virtualKey);

// A physical key event enters the input stream; Settle or the hook thread's GetMessageW delivers
// it, and the key state changes once the hook has passed it on. Alt and keys pressed while Alt is down come as WM_SYS*.
// What the layout adds goes in with it: AltGr's left Ctrl, the keypad's fake Shifts.
void Press(int virtualKey);
void Release(int virtualKey);
void QueueEvent(UINT message, const KBDLLHOOKSTRUCT& event);
// Another program types one UTF-16 unit with KEYEVENTF_UNICODE, as a touch keyboard or an input
// method does: a VK_PACKET key-down and key-up, injected but none of ours.
void TypeUnicode(WORD unit);
// Another program's SendInput of these events in one call, as a paste typed as keystrokes: the
// stream takes them all at once, and a message call of the hook's thread runs the hook for every
// one of them before it returns the first WM_INPUT of the burst.
void SendInputOfOtherProgram(const std::vector<INPUT>& inputs);

// Facts about Windows' input that depend on the keyboard layout, or on which report one believes;
// a test picks which hold (all false: the US layout, and Windows as most reports have it). Each
// is modelled in platform/sim/input.cpp beside its source.
struct InputFacts {
  bool altGr = false;                       // the layout has AltGr: right Alt comes with a fake left Ctrl
  bool rawShowsAltGrCtrl = false;           // raw input shows that fake left Ctrl too (reports differ)
  bool numLockE0InRaw = false;              // raw input flags Num Lock E0 as hooks flag it extended, as Wine 8
  bool injectedRightShiftExtended = false;  // hooks flag right Shift injected by scan code extended, as the physical
  USHORT packetRawMakeCode = 0;             // raw input shows VK_PACKET events with this MakeCode; 0: not at all
};
void SetInputFacts(const InputFacts& facts);

// While held, queued input waits for an explicit DeliverInput: a test keeps an event in flight.
void HoldInput(bool held);

// What Windows does to a low-level hook and to the raw input that follows every event:
// the newest hook is removed without a word (it is called no more; unhooking it fails)...
void RemoveHookSilently();
// ...or passes over the next n events without calling it, as for a hook that timed out once...
void SkipHookForNextEvents(int n);
// ...or a hook ahead of ours swallows the next event: neither our hook nor raw input sees it.
void SwallowNextEvent();
// A hook behind ours swallows the next n events: our hook sees them, raw input does not.
void SwallowBehindNextEvents(int n);
// Raw input that reaches no hook as a key event: a keyboard overrun, a fake Shift, a prefix.
void PostRawInputOnly(USHORT makeCode, USHORT flags);
// A window registered for keyboard raw input gets WM_INPUT for every event that passed the hooks,
// after the hook calls, or already when the event is queued, as for a hook that sits behind
// another program's.
void SetRawInputBeforeHook(bool before);
int MessageOnlyWindows();       // windows that exist with the parent HWND_MESSAGE
int TimedWaiters();             // simulated threads now in a wait with a time-out
std::string ThreadPriorities();  // "main:2 thread1:0 ...": each simulated thread's, in creation order

// Hands up to maxEvents queued events to the installed hook on the calling thread.
size_t DeliverInput(size_t maxEvents = SIZE_MAX);
size_t PendingInput();

// QueryPerformanceCounter on this thread returns ticks while fn runs.
void WithCounter(uint64_t ticks, const std::function<void()>& fn);

// --- Other desktops, elevated windows, the session ----------------------------------------------

// The secure desktop (Ctrl+Alt+Del, a UAC prompt shown there, the lock screen) becomes the input
// desktop, or the user's desktop again, which gets its foreground window back. Keys pressed and
// released meanwhile reach no hook or raw input of ours but change the physical key state.
void SetSecureDesktop(bool active);
// The foreground window is, or is no longer, one of a program run as administrator: keys reach no
// hook or raw input of ours, GetAsyncKeyState reports 0, and SendInput drops what it accepts.
void SetForegroundElevated(bool elevated);
// The session changes (WTS_SESSION_LOCK, ...): WM_WTSSESSION_CHANGE is sent to each window
// registered with WTSRegisterSessionNotification; returns once each window procedure has run.
void SendSessionChange(WPARAM code);
// The machine suspends or resumes (PBT_APMSUSPEND, ...): WM_POWERBROADCAST is sent to each window
// registered with RegisterSuspendResumeNotification; returns once each window procedure has run.
void SendPowerBroadcast(WPARAM event);
// Until the terminal services are ready, WTSRegisterSessionNotification fails and the system's
// event Global\TermSrvReadyEvent is not signalled; becoming ready signals it. Ready by default.
void SetTerminalServicesReady(bool ready);

// --- Observing ---------------------------------------------------------------------------------

struct StreamEvent {
  uint64_t ticks;  // when it entered the stream
  UINT message;
  KBDLLHOOKSTRUCT event;
  bool swallowed;        // by a hook ahead of ours
  bool swallowedBehind;  // by a hook behind ours
  bool otherProgram;     // injected by another program (TypeUnicode, SendInputOfOtherProgram), not ours
  bool elsewhere = false;  // on another desktop or for an elevated window: no hook of ours saw it
};
// Every event as it entered the input stream (physical and injected), in stream order.
std::vector<StreamEvent> Stream();

struct SentInput {
  uint64_t ticks;
  INPUT input;
};
// Every INPUT that SendInput accepted.
std::vector<SentInput> SentInputs();

// The key events the program injected as "ms:+2A" (down) or "ms:-2A" (up), space separated, ms
// since Reset.
std::string InjectedTrace();
// Everything in the stream, the program's own injections as "ms:+2A", all else as "ms:P+A0".
std::string StreamTrace();

uint64_t CallCount(Call call);
std::vector<std::string> CallLog();  // "CreateEventW event1", "SetEvent event1", ...
void SetCallLogging(bool on);        // on by default; long runs turn it off

struct NextHookCall {
  HHOOK hook;
  int code;
  WPARAM wParam;
  LPARAM lParam;
};
NextHookCall LastCallNextHook();
void SetCallNextHookResult(LRESULT result);

uint32_t SetEventCount(HANDLE event);
bool IsSignalled(HANDLE event);
std::string HandleName(HANDLE handle);
std::vector<std::string> OpenHandles();
// Handles closed twice or unknown, threads left running, unbalanced timer periods, ...
std::vector<std::string> Problems();

// timeBeginPeriod calls not yet matched by timeEndPeriod.
int RaisedTimerPeriods();
std::vector<PROCESS_POWER_THROTTLING_STATE> PowerThrottlingRequests();

// --- Staging -----------------------------------------------------------------------------------

// The nth call from now (1 = the next) of a creating or querying function fails as the platform
// reports failures: a null handle, FALSE, 0, an error status or -1 from GetMessageW.
void FailCall(Call call, int nth = 1);
void BlockInput(bool blocked);  // SendInput accepts nothing while set
// Each accepted SendInput moves the clock on by this much, as if the injection took that long;
// threads whose deadline it passes wake late.
void SetSendInputCost(uint32_t microseconds);
// The next wait with a time-out on object by a simulated thread returns result at once.
void ForceWaitResult(HANDLE object, DWORD result);
// The next wait with a time-out on object by a simulated thread ends that much after its
// time-out, as a busy machine's waits do, or with a negative value that much before it (never
// before the wait began), as a wait may on Windows, which ends it on a timer tick.
void ShiftNextWait(HANDLE object, int32_t microseconds);
// Runs fn on the calling thread at the entry of the next call of that function.
void BeforeNextCall(Call call, std::function<void()> fn);
// Runs fn on the calling thread once the next SendInput has accepted its events.
void AfterNextSendInput(std::function<void()> fn);

// --- Registry and user settings ------------------------------------------------------------------

// The keys under HKEY_CURRENT_USER that the simulation has; both exist, empty, after Reset.
inline constexpr wchar_t kKeyboardKey[] = L"Control Panel\\Keyboard";
inline constexpr wchar_t kKeyboardResponseKey[] = L"Control Panel\\Accessibility\\Keyboard Response";

void SetKeyboardKeyPresent(bool present);
// Each is one write of a value, which signals every change registration pending on the key.
void SetRegistryValue(const std::wstring& name, DWORD type, std::vector<BYTE> data,
                      const std::wstring& key = kKeyboardKey);
void SetRegistryText(const std::wstring& name, const std::u16string& text, DWORD type = REG_SZ,
                     const std::wstring& key = kKeyboardKey);
void SetRegistryDword(const std::wstring& name, uint32_t value, const std::wstring& key = kKeyboardKey);
// Filter Keys as an accessibility settings page applies and saves it: the live state that
// SystemParametersInfoW(SPI_GETFILTERKEYS) reports, then its values written under
// kKeyboardResponseKey. Off by default, with RepeatKeys' delay 1000 ms and interval 500 ms and
// BounceKeys off. A bounceMs other than 0 turns BounceKeys on, and with it RepeatKeys and SlowKeys
// off: their three fields read 0.
void SetFilterKeys(DWORD flags, DWORD delayMs, DWORD repeatMs, DWORD bounceMs = 0);

// --- Processes -----------------------------------------------------------------------------------

void CreateForeignMutex(const std::wstring& name);  // held by another process of the session
// Whether the calls Windows 8 added exist (SetProcessInformation, RegisterSuspendResumeNotification
// and UnregisterSuspendResumeNotification): Windows 7 lacks them.
void SetWindows8CallsPresent(bool present);
// Power throttling mechanisms that SetProcessInformation rejects, as an older Windows does.
void SetUnknownThrottlingMechanisms(ULONG mechanisms);

// Runs fn on a simulated thread that plays the program's main thread.
void StartProgram(std::function<int()> fn);
void PostQuitToProgram();
bool ProgramEnded();
int JoinProgram();  // settles; fails the run if the program has not ended

}  // namespace sim
