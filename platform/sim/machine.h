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

enum class Kind { Event, Thread, Mutex, Hook, RegistryKey, Window };
enum class ThreadState { Running, Waiting, Ended };

inline constexpr size_t kNoObject = SIZE_MAX;
inline constexpr size_t kMessageQueue = SIZE_MAX - 1;  // what GetMessageW waits on
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
  std::deque<MSG> posted;     // its message queue
  size_t object = kNoObject;  // its handle's object, if it has one
  std::thread thread;
};

struct RegistryValue {
  DWORD type;
  std::vector<BYTE> data;
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
  std::vector<std::pair<HANDLE, int32_t>> shiftedWaits;  // ms a timed wait ends late (< 0: early)

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
  HWND rawTarget = nullptr;
  std::vector<RAWINPUT> rawRecords;
  std::vector<std::pair<std::wstring, HINSTANCE>> windowClasses;
  int rawInputNotCleanedUp = 0;  // WM_INPUT taken from a queue and not yet dispatched

  // Registry and process
  bool keyboardKeyPresent = true;
  std::map<std::wstring, RegistryValue> keyboardValues;
  std::vector<std::wstring> foreignMutexes;
  bool procAddressAvailable = true;
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
void QueueEventLocked(UINT message, const KBDLLHOOKSTRUCT& event);
bool HasPendingInputLocked();
bool PopInputLocked(StreamEvent& entry);
// The thread that hands input to the hook: the installer of the newest hook when the simulation
// runs it, else null (the test's own thread, in Settle).
ThreadRecord* DelivererLocked();
void WakeLocked(ThreadRecord* thread, DWORD result);
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
