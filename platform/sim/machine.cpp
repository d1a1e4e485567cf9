// The simulated machine's core: handles, calls, the log, the virtual clock and the scheduler.
#include "platform/sim/machine.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace sim {
namespace detail {

namespace {

constexpr uintptr_t kHandleBase = 0x10000;
constexpr auto kWatchdog = std::chrono::seconds(10);

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::Event: return "event";
    case Kind::Thread: return "thread";
    case Kind::Mutex: return "mutex";
    case Kind::Hook: return "hook";
    case Kind::RegistryKey: return "key";
    case Kind::Window: return "window";
    case Kind::Module: return "module";
    case Kind::PowerNotification: return "power notification";
  }
  return "object";
}

const char* StateName(ThreadState state) {
  switch (state) {
    case ThreadState::Running: return "running";
    case ThreadState::Waiting: return "waiting";
    case ThreadState::Ended: return "ended";
  }
  return "?";
}

std::string DumpLocked() {
  Machine& m = TheMachine();
  std::string out = "virtual time " + std::to_string((m.now - kStartTicks) / kTicksPerMs) + " ms\n";
  for (const auto& t : m.threads) {
    out += "  " + t->name + ": " + StateName(t->state);
    if (t->state == ThreadState::Waiting) {
      out += " on ";
      if (t->waitObject == kMessageQueue) {
        out += "its message queue";
        for (size_t index : t->waitObjects) out += " and " + m.objects[index].name;
      } else if (t->waitObject < m.objects.size()) {
        out += m.objects[t->waitObject].name;
      }
      if (t->deadline != kNever) out += " until " + std::to_string((t->deadline - kStartTicks) / kTicksPerMs) + " ms";
    }
    out += "\n";
  }
  return out;
}

bool AllQuietLocked() {
  Machine& m = TheMachine();
  for (const auto& t : m.threads) {
    if (t.get() != CurrentThread() && t->state == ThreadState::Running) return false;
  }
  return true;
}

}  // namespace

Machine& TheMachine() {
  // Never destroyed: a thread left behind by a failed test may still touch it at exit.
  static Machine* machine = new Machine();
  return *machine;
}

ThreadRecord*& CurrentThread() {
  thread_local ThreadRecord* current = nullptr;
  return current;
}

DWORD& LastError() {
  thread_local DWORD error = 0;
  return error;
}

HANDLE HandleOf(size_t index) { return reinterpret_cast<HANDLE>(kHandleBase + index * 4); }

size_t IndexOf(HANDLE handle) {
  const auto value = reinterpret_cast<uintptr_t>(handle);
  if (value < kHandleBase || (value - kHandleBase) % 4 != 0) return kNoObject;
  const size_t index = (value - kHandleBase) / 4;
  return index < TheMachine().objects.size() ? index : kNoObject;
}

Object* Find(HANDLE handle, Kind kind, const char* caller) {
  Machine& m = TheMachine();
  const size_t index = IndexOf(handle);
  char text[32];
  std::snprintf(text, sizeof text, "%p", handle);
  if (index == kNoObject) {
    m.problems.push_back(std::string(caller) + " given an unknown handle " + text);
    return nullptr;
  }
  Object& object = m.objects[index];
  if (!object.open) {
    m.problems.push_back(std::string(caller) + " given " + object.name + ", already closed");
    return nullptr;
  }
  if (object.kind != kind) {
    m.problems.push_back(std::string(caller) + " given " + object.name + ", which is a " + KindName(object.kind));
    return nullptr;
  }
  return &object;
}

size_t AddObject(Kind kind) {
  Machine& m = TheMachine();
  Object object;
  object.kind = kind;
  object.name = KindName(kind) + std::to_string(++m.namesIssued[kind]);
  m.objects.push_back(std::move(object));
  return m.objects.size() - 1;
}

namespace {

// Calls that may take long: a library loaded from disk, a call into another process or service,
// a window made or destroyed, the registry, the system's parameters, a wait.
bool MayBlock(Call call) {
  switch (call) {
    case Call::LoadLibraryExW: case Call::FreeLibrary: case Call::WTSRegisterSessionNotification:
    case Call::WTSUnRegisterSessionNotification: case Call::RegisterSuspendResumeNotification:
    case Call::UnregisterSuspendResumeNotification: case Call::RegisterClassExW: case Call::CreateWindowExW:
    case Call::DestroyWindow: case Call::RegOpenKeyExW: case Call::RegQueryValueExW: case Call::RegCloseKey:
    case Call::RegNotifyChangeKeyValue: case Call::SystemParametersInfoW: case Call::OpenEventW:
    case Call::WaitForSingleObject: case Call::CreateThread:
      return true;
    default:
      return false;
  }
}

// "The call is made by sending a message to the thread that installed the hook. Therefore, the
// thread that installed the hook must have a message loop" (LowLevelKeyboardProc): while that
// thread is outside its message calls, every key typed in the session waits, and a hook kept
// waiting past LowLevelHooksTimeout may be removed without a word.
void CheckHookThreadLocked(Call call) {
  ThreadRecord* self = CurrentThread();
  if (self == nullptr) return;
  if (call == Call::GetMessageW || call == Call::PeekMessageW || call == Call::MsgWaitForMultipleObjectsEx) {
    self->hookWaitsOutsideLoop = false;
  } else if (self->hookWaitsOutsideLoop && MayBlock(call)) {
    TheMachine().problems.push_back(std::string(CallName(call)) + " on " + self->name +
                                    " while its hook waits for it outside the message loop");
  }
}

}  // namespace

bool EnterCall(Call call) {
  Machine& m = TheMachine();
  std::function<void()> staged;
  bool fail = false;
  {
    std::lock_guard<std::mutex> guard(m.lock);
    CheckHookThreadLocked(call);
    const size_t c = static_cast<size_t>(call);
    const uint64_t count = ++m.callCounts[c];
    auto& failAt = m.failAt[c];
    for (size_t i = 0; i < failAt.size(); ++i) {
      if (failAt[i] == count) {
        fail = true;
        failAt.erase(failAt.begin() + static_cast<long>(i));
        break;
      }
    }
    if (!m.beforeCall[c].empty()) {
      staged = std::move(m.beforeCall[c].front());
      m.beforeCall[c].pop_front();
    }
  }
  if (staged) staged();
  return fail;
}

void LogLocked(Call call, const std::string& detail) {
  Machine& m = TheMachine();
  if (!m.logging) return;
  m.log.push_back(detail.empty() ? std::string(CallName(call)) : std::string(CallName(call)) + " " + detail);
}

void Die(const std::string& why) {
  std::string state;
  {
    // The lock may be held by the caller; a dump without it is still worth having.
    Machine& m = TheMachine();
    std::unique_lock<std::mutex> guard(m.lock, std::try_to_lock);
    state = DumpLocked();
  }
  std::fprintf(stderr, "simulated machine: %s\n%s", why.c_str(), state.c_str());
  std::fflush(stderr);
  std::abort();
}

uint64_t TimedWaitEndLocked(DWORD milliseconds) {
  const Machine& m = TheMachine();
  const uint64_t tick = m.raisedTimerPeriods > 0 ? kTicksPerMs : kTicksPerMs * 15625 / 1000;
  const uint64_t due = m.now - m.now % tick + uint64_t{milliseconds} * kTicksPerMs;
  return (due + tick - 1) / tick * tick;
}

uint64_t CounterAt(uint64_t now) {
  // Whole seconds and the rest apart, so that no product overflows.
  constexpr uint64_t kUnitsPerSecond = kTicksPerMs * 1000;
  const uint64_t frequency = TheMachine().counterFrequency;
  return now / kUnitsPerSecond * frequency + now % kUnitsPerSecond * frequency / kUnitsPerSecond;
}

void WakeLocked(ThreadRecord* thread, DWORD result) {
  thread->state = ThreadState::Running;
  thread->result = result;
  thread->waitObject = kNoObject;
  thread->waitObjects.clear();
  thread->deadline = kNever;
  TheMachine().changed.notify_all();
}

void WakeQueueWaiterLocked(ThreadRecord* thread) {
  if (thread->state == ThreadState::Waiting && thread->waitObject == kMessageQueue) {
    WakeLocked(thread, thread->queueResult);
  }
}

}  // namespace detail

using namespace detail;

const char* CallName(Call call) {
  static const char* const kNames[] = {
      "CreateMutexW",     "ReleaseMutex",       "CreateEventW",        "SetEvent",
      "WaitForSingleObject", "CreateThread",    "CloseHandle",         "QueryPerformanceCounter",
      "GetModuleHandleW", "GetProcAddress",     "SetProcessInformation", "SetWindowsHookExW",
      "CallNextHookEx",   "UnhookWindowsHookEx", "GetMessageW",        "TranslateMessage",
      "DispatchMessageW", "SendInput",          "GetAsyncKeyState",    "GetForegroundWindow",
      "RegOpenKeyExW",    "RegQueryValueExW",   "RegCloseKey",         "timeBeginPeriod",
      "timeEndPeriod",    "PeekMessageW",       "MsgWaitForMultipleObjectsEx", "RegisterClassExW",
      "CreateWindowExW",  "DestroyWindow",      "RegisterRawInputDevices", "GetRawInputData",
      "SetThreadPriority", "RegNotifyChangeKeyValue", "SystemParametersInfoW",
      "LoadLibraryExW",    "FreeLibrary",         "SetDefaultDllDirectories",         "OpenEventW",
      "WTSRegisterSessionNotification", "WTSUnRegisterSessionNotification",
      "RegisterSuspendResumeNotification", "UnregisterSuspendResumeNotification"};
  static_assert(sizeof kNames / sizeof kNames[0] == static_cast<size_t>(Call::kCount));
  return kNames[static_cast<size_t>(call)];
}

void Reset() {
  Machine& m = TheMachine();
  std::vector<std::unique_ptr<ThreadRecord>> leftovers;
  {
    std::lock_guard<std::mutex> guard(m.lock);
    leftovers.swap(m.threads);
  }
  for (auto& t : leftovers) {
    bool ended;
    {
      std::lock_guard<std::mutex> guard(m.lock);
      ended = t->state == ThreadState::Ended;
    }
    if (ended) {
      if (t->thread.joinable()) t->thread.join();
    } else {
      // Blocked for good in a wait: keep its record alive and let it be.
      t->thread.detach();
      (void)t.release();
    }
  }
  std::lock_guard<std::mutex> guard(m.lock);
  m.now = kStartTicks;
  m.counterFrequency = kTicksPerMs * 1000;
  m.waitOrder = 0;
  m.objects.clear();
  m.program = nullptr;
  m.callCounts = {};
  for (auto& f : m.failAt) f.clear();
  for (auto& b : m.beforeCall) b.clear();
  m.afterSendInput.clear();
  m.logging = true;
  m.log.clear();
  m.problems.clear();
  m.forcedWaits.clear();
  m.shiftedWaits.clear();
  m.foreground = nullptr;
  m.keyDown = {};
  m.inputBlocked = false;
  m.inputHeld = false;
  m.sendInputCostTicks = 0;
  m.pendingInput.clear();
  m.pendingHead = 0;
  // Room enough that the product's calls never make the simulation allocate in a test.
  m.pendingInput.reserve(4096);
  m.sent.reserve(4096);
  m.stream.reserve(1 << 16);
  m.stream.clear();
  m.sent.clear();
  m.lastNextHook = {};
  m.nextHookResult = 0;
  m.skipHookEvents = 0;
  m.swallowEvents = 0;
  m.swallowBehindEvents = 0;
  m.rawBeforeHook = false;
  m.facts = {};
  m.numLockOn = false;
  m.keypadShiftsLifted = 0;
  m.keypadVirtualKey = 0;
  m.rawTarget = nullptr;
  m.rawRecords.clear();
  m.windowClasses.clear();
  m.rawInputNotCleanedUp = 0;
  m.registry.clear();
  m.registry[kKeyboardKey];
  m.registry[kKeyboardResponseKey];
  // As a new profile has it: "Flags"="126" (available, with its hot key, confirmation, sound,
  // indicator and click, and off), "AutoRepeatDelay"="1000", "AutoRepeatRate"="500".
  m.filterKeys = {sizeof(FILTERKEYS), 126, 1000, 1000, 500, 0};
  m.foreignMutexes.clear();
  m.windows8CallsPresent = true;
  m.defaultDllDirectories = 0;
  m.secureDesktop = false;
  m.foregroundBehindSecureDesktop = nullptr;
  m.foregroundElevated = false;
  m.terminalServicesReadyEvent = kNoObject;
  m.raisedTimerPeriods = 0;
  m.powerRequests.clear();
  m.namesIssued.clear();
}

uint64_t NowTicks() {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  return CounterAt(TheMachine().now);
}

uint32_t NowMs() {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  return static_cast<uint32_t>((TheMachine().now - kStartTicks) / kTicksPerMs);
}

void SetCounterFrequency(uint64_t hertz) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().counterFrequency = hertz;
}

void Settle() {
  Machine& m = TheMachine();
  std::unique_lock<std::mutex> lock(m.lock);
  for (;;) {
    if (!m.changed.wait_for(lock, kWatchdog, AllQuietLocked)) {
      lock.unlock();
      Die("a simulated thread kept running without waiting");
    }
    if (DelivererLocked() == nullptr && HasPendingInputLocked() && !m.inputHeld) {
      lock.unlock();
      DeliverInput(1);
      lock.lock();
      continue;
    }
    return;
  }
}

void AdvanceBy(uint32_t ms) {
  Machine& m = TheMachine();
  uint64_t target;
  {
    std::lock_guard<std::mutex> guard(m.lock);
    target = m.now + ms * kTicksPerMs;
  }
  for (;;) {
    Settle();
    std::lock_guard<std::mutex> guard(m.lock);
    uint64_t next = kNever;
    for (const auto& t : m.threads) {
      if (t->state == ThreadState::Waiting && t->deadline <= target && t->deadline < next) next = t->deadline;
    }
    if (next == kNever) {
      if (m.now < target) m.now = target;
      m.changed.notify_all();
      return;
    }
    if (m.now < next) m.now = next;
    // Threads due at the same moment wake one at a time, oldest first, so that every run
    // interleaves them the same way.
    for (const auto& t : m.threads) {
      if (t->state == ThreadState::Waiting && t->deadline == next) {
        WakeLocked(t.get(), WAIT_TIMEOUT);
        break;
      }
    }
  }
}


int TimedWaiters() {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  int count = 0;
  for (const auto& t : TheMachine().threads) count += t->state == ThreadState::Waiting && t->deadline != kNever;
  return count;
}

uint64_t CallCount(Call call) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  return TheMachine().callCounts[static_cast<size_t>(call)];
}

std::vector<std::string> CallLog() {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  return TheMachine().log;
}

void SetCallLogging(bool on) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().logging = on;
}

std::string HandleName(HANDLE handle) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  const size_t index = IndexOf(handle);
  return index == kNoObject ? "unknown" : TheMachine().objects[index].name;
}

std::vector<std::string> OpenHandles() {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  std::vector<std::string> open;
  for (const auto& c : TheMachine().windowClasses) open.push_back("window class of module " + std::to_string(reinterpret_cast<uintptr_t>(c.module)));
  for (const Object& o : TheMachine().objects) {
    if (o.open && !o.systemOwned) open.push_back(o.name);
  }
  return open;
}

std::vector<std::string> Problems() {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  Machine& m = TheMachine();
  std::vector<std::string> problems = m.problems;
  for (const auto& t : m.threads) {
    if (t->state != ThreadState::Ended) problems.push_back(t->name + " is still " + StateName(t->state));
  }
  if (m.rawInputNotCleanedUp != 0) problems.push_back("WM_INPUT taken and never dispatched to DefWindowProcW");
  return problems;
}

void FailCall(Call call, int nth) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  Machine& m = TheMachine();
  const size_t c = static_cast<size_t>(call);
  m.failAt[c].push_back(m.callCounts[c] + static_cast<uint64_t>(nth));
}

void ForceWaitResult(HANDLE object, DWORD result) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().forcedWaits.emplace_back(object, result);
}

void ShiftNextWait(HANDLE object, int32_t microseconds) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().shiftedWaits.emplace_back(object, microseconds);
}

void BeforeNextCall(Call call, std::function<void()> fn) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  TheMachine().beforeCall[static_cast<size_t>(call)].push_back(std::move(fn));
}

}  // namespace sim
