// Inside the simulated machine: shared by the simulation's source files, never by tests.
#pragma once

#include <array>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/sim.h"

namespace sim::detail {

enum class Kind { Event, Thread, Mutex, Hook, RegistryKey, Window, Module, PowerNotification };
enum class ThreadState { Running, Waiting, Ended };

inline constexpr size_t kNoObject = SIZE_MAX;
inline constexpr size_t kMessageQueue = SIZE_MAX - 1;  // what GetMessageW waits on (MsgWait...: and its objects)
inline constexpr uint64_t kNever = UINT64_MAX;

struct ThreadRecord;

struct Object {
  Kind kind;
  std::string name;
  bool open = true;
  // Event
  bool signalled = false;
  bool manualReset = false;
  uint32_t setCount = 0;
  std::wstring eventName;      // a named event of the system's, which the program opens
  bool systemOwned = false;    // made by the system, not the program: no leak of the program's
  size_t aliasOf = kNoObject;  // a handle the program opened to a named event
  DWORD access = 0;            // the access it was opened with (events and registry keys)
  // Thread
  ThreadRecord* thread = nullptr;
  // Mutex
  std::wstring mutexName;
  std::thread::id owner;
  bool owned = false;
  // Hook
  HOOKPROC hookProc = nullptr;
  ThreadRecord* hookThread = nullptr;  // null: installed by a thread the simulation does not run
  bool removedSilently = false;
  // Window
  bool messageOnly = false;
  ThreadRecord* windowThread = nullptr;
  WNDPROC windowProc = nullptr;
  int sessionRegistrations = 0;  // WTSRegisterSessionNotification calls not yet undone
  // RegistryKey (its access is `access` above)
  std::wstring keyPath;
  size_t notifyEvent = kNoObject;  // the event of its pending change registration, if any
  // Module: the DLL's file name, as it was asked for
  std::wstring moduleFile;
  // PowerNotification: the window a suspend/resume registration delivers to
  HWND recipient = nullptr;
};

struct ThreadRecord {
  std::string name;
  ThreadState state = ThreadState::Running;
  size_t waitObject = kNoObject;
  uint64_t deadline = kNever;
  uint64_t waitOrder = 0;
  DWORD result = 0;
  bool quitPosted = false;
  DWORD exitCode = 0;
  int priority = 0;
  // Its low-level hook is installed while it is outside its message loop: before the loop's first
  // message call, or since a message call returned WM_QUIT. Every key typed waits for the hook.
  bool hookWaitsOutsideLoop = false;
  std::deque<MSG> posted;     // its message queue
  std::deque<MSG> sent;       // messages sent to its windows, dispatched inside its message calls
  uint64_t sentDispatched = 0;
  std::vector<size_t> waitObjects;    // MsgWaitForMultipleObjectsEx: the objects besides its queue
  DWORD queueResult = WAIT_OBJECT_0;  // what its wait returns when its queue wakes it
  size_t object = kNoObject;  // its handle's object, if it has one
  std::thread thread;
};

struct RegistryValue {
  DWORD type;
  std::vector<BYTE> data;
};

struct RegistryKey {
  bool present = true;
  std::map<std::wstring, RegistryValue> values;
};

struct Machine {
  std::mutex lock;
  std::condition_variable changed;

  uint64_t now = kStartTicks;  // in 100 ns units
  uint64_t counterFrequency = kTicksPerMs * 1000;
  uint64_t waitOrder = 0;
  std::vector<Object> objects;
  std::vector<std::unique_ptr<ThreadRecord>> threads;
  ThreadRecord* program = nullptr;

  std::array<uint64_t, static_cast<size_t>(Call::kCount)> callCounts{};
  std::array<std::vector<uint64_t>, static_cast<size_t>(Call::kCount)> failAt{};
  std::array<std::deque<std::function<void()>>, static_cast<size_t>(Call::kCount)> beforeCall{};
  std::deque<std::function<void()>> afterSendInput;
  bool logging = true;
  std::vector<std::string> log;
  std::vector<std::string> problems;
  std::vector<std::pair<HANDLE, DWORD>> forcedWaits;
  std::vector<std::pair<HANDLE, int32_t>> shiftedWaits;  // microseconds a timed wait ends late (< 0: early)

  // Session
  HWND foreground = nullptr;
  std::array<bool, 256> keyDown{};
  bool inputBlocked = false;
  bool inputHeld = false;
  uint64_t sendInputCostTicks = 0;
  std::vector<StreamEvent> pendingInput;  // a queue: read from pendingHead on
  size_t pendingHead = 0;
  std::vector<StreamEvent> stream;
  std::vector<SentInput> sent;
  NextHookCall lastNextHook{};
  LRESULT nextHookResult = 0;
  int skipHookEvents = 0;
  int swallowEvents = 0;
  int swallowBehindEvents = 0;
  bool rawBeforeHook = false;
  InputFacts facts{};
  bool numLockOn = false;
  int keypadShiftsLifted = 0;  // the fake Shift-ups sent before the keypad key that is down: 1 left, 2 right
  int keypadVirtualKey = 0;    // the virtual key that keypad key went down as
  HWND rawTarget = nullptr;
  std::vector<RAWINPUT> rawRecords;
  struct WindowClass {
    std::wstring name;
    HINSTANCE module;
    WNDPROC proc;
  };
  std::vector<WindowClass> windowClasses;
  int rawInputNotCleanedUp = 0;  // WM_INPUT taken from a queue and not yet dispatched

  // Registry, user settings and process
  std::map<std::wstring, RegistryKey> registry;  // HKEY_CURRENT_USER's keys by path
  FILTERKEYS filterKeys{};

  // Other desktops, elevated windows, the session's notifications
  bool secureDesktop = false;
  HWND foregroundBehindSecureDesktop = nullptr;
  bool foregroundElevated = false;
  size_t terminalServicesReadyEvent = kNoObject;
  std::vector<std::wstring> foreignMutexes;
  bool windows8CallsPresent = true;
  DWORD defaultDllDirectories = 0;  // SetDefaultDllDirectories' flags; 0: the standard search order
  int raisedTimerPeriods = 0;
  std::vector<PROCESS_POWER_THROTTLING_STATE> powerRequests;  // those accepted
  ULONG unknownThrottlingMechanisms = 0;
  std::map<Kind, int> namesIssued;
};

Machine& TheMachine();
ThreadRecord*& CurrentThread();
DWORD& LastError();

HANDLE HandleOf(size_t index);
// The live object behind a handle, or null (and a recorded problem) for an unknown, closed or
// mistyped one. Needs the lock.
Object* Find(HANDLE handle, Kind kind, const char* caller);
size_t IndexOf(HANDLE handle);
size_t AddObject(Kind kind);  // needs the lock

// Counts the call, runs a staged callback (without the lock) and says whether the call is to fail.
bool EnterCall(Call call);
void LogLocked(Call call, const std::string& detail = "");
[[noreturn]] void Die(const std::string& why);

// Needs the lock: queue an event into the input stream and wake whoever delivers it.
void QueueEventLocked(UINT message, const KBDLLHOOKSTRUCT& event, bool otherProgram = false);
bool HasPendingInputLocked();
bool PopInputLocked(StreamEvent& entry);
// The thread that hands input to the hook: the installer of the newest hook when the simulation
// runs it, else null (the test's own thread, in Settle).
ThreadRecord* DelivererLocked();
void WakeLocked(ThreadRecord* thread, DWORD result);
// Wakes a thread waiting on its message queue (GetMessageW, MsgWait...) for something in it.
void WakeQueueWaiterLocked(ThreadRecord* thread);
// Events and threads: whether the object is signalled, and taking the signal (an auto-reset event).
bool IsSignalledLocked(const Object& object);
void ConsumeLocked(Object& object);
// The object a wait on a handle waits for: the handle's own, or the named event it was opened to.
// kNoObject (and a recorded problem, and the error) for a handle no wait accepts.
size_t WaitTargetLocked(HANDLE handle, const char* caller, DWORD& error);
// Signals an event: one waiter (auto-reset) or all of them (manual reset) wake.
void SignalEventLocked(size_t index);
// When a timed wait that starts now ends: on the system timer's tick (15.625 ms, or 1 ms while a
// timeBeginPeriod(1) is in force), counted from the last tick, so up to a tick early or late.
uint64_t TimedWaitEndLocked(DWORD milliseconds);
// The performance counter's value at a time of the machine's clock.
uint64_t CounterAt(uint64_t now);

}  // namespace sim::detail

namespace sim::detail {
// Needs the lock: a thread the scheduler knows, running body.
ThreadRecord* StartSimThread(const std::string& name, size_t object, std::function<DWORD()> body);
}  // namespace sim::detail
