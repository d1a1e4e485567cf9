// Simulated kernel objects and waits: events, threads, the performance counter.
#include <algorithm>
#include <chrono>

#include "platform/sim/machine.h"

using namespace sim;
using namespace sim::detail;

namespace {

uint64_t*& CounterOverride() {
  thread_local uint64_t* ticks = nullptr;
  return ticks;
}

// What a waiting thread's wait returns when the object at index is signalled: WAIT_OBJECT_0, or
// WAIT_OBJECT_0 + i for the i-th object of a MsgWaitForMultipleObjectsEx; WAIT_FAILED when it does
// not wait on that object.
DWORD ResultOnSignalLocked(const ThreadRecord& thread, size_t index) {
  if (thread.state != ThreadState::Waiting) return WAIT_FAILED;
  if (thread.waitObject == index) return WAIT_OBJECT_0;
  if (thread.waitObject != kMessageQueue) return WAIT_FAILED;
  for (size_t i = 0; i < thread.waitObjects.size(); ++i) {
    if (thread.waitObjects[i] == index) return WAIT_OBJECT_0 + static_cast<DWORD>(i);
  }
  return WAIT_FAILED;
}

// The waiter that has waited longest on the object, if any.
ThreadRecord* FirstWaiterLocked(size_t index) {
  ThreadRecord* first = nullptr;
  for (const auto& t : TheMachine().threads) {
    if (ResultOnSignalLocked(*t, index) != WAIT_FAILED && (first == nullptr || t->waitOrder < first->waitOrder)) {
      first = t.get();
    }
  }
  return first;
}

void EndThread(ThreadRecord* self, DWORD exitCode) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  self->state = ThreadState::Ended;
  self->exitCode = exitCode;
  if (self->object != kNoObject) {
    for (const auto& t : m.threads) {
      const DWORD result = ResultOnSignalLocked(*t, self->object);
      if (result != WAIT_FAILED) WakeLocked(t.get(), result);
    }
  }
  m.changed.notify_all();
}

}  // namespace

namespace sim::detail {

bool IsSignalledLocked(const Object& object) {
  if (object.kind == Kind::Event) return object.signalled;
  if (object.kind == Kind::Thread) return object.thread == nullptr || object.thread->state == ThreadState::Ended;
  return false;
}

void ConsumeLocked(Object& object) {
  if (object.kind == Kind::Event && !object.manualReset) object.signalled = false;
}

size_t WaitTargetLocked(HANDLE handle, const char* caller, DWORD& error) {
  Machine& m = TheMachine();
  const size_t index = IndexOf(handle);
  const Object* object = index == kNoObject ? nullptr : &m.objects[index];
  if (object == nullptr || !object->open || (object->kind != Kind::Event && object->kind != Kind::Thread)) {
    m.problems.push_back(std::string(caller) + " given " + (object == nullptr ? "an unknown handle" : object->name));
    error = ERROR_INVALID_HANDLE;
    return kNoObject;
  }
  if (object->aliasOf == kNoObject) return index;
  // A wait needs the SYNCHRONIZE right on the handle it is given (MsgWaitForMultipleObjectsEx,
  // WaitForSingleObject: "The handles must have the SYNCHRONIZE access right").
  if ((object->access & SYNCHRONIZE) == 0) {
    m.problems.push_back(std::string(caller) + " given " + object->name + ", opened without SYNCHRONIZE");
    error = ERROR_ACCESS_DENIED;
    return kNoObject;
  }
  return object->aliasOf;
}

void SignalEventLocked(size_t index) {
  Machine& m = TheMachine();
  Object& object = m.objects[index];
  if (object.manualReset) {
    object.signalled = true;
    while (ThreadRecord* waiter = FirstWaiterLocked(index)) WakeLocked(waiter, ResultOnSignalLocked(*waiter, index));
  } else if (ThreadRecord* waiter = FirstWaiterLocked(index)) {
    // Handed straight to one waiter: an auto-reset event that wakes a thread stays unsignalled.
    WakeLocked(waiter, ResultOnSignalLocked(*waiter, index));
  } else {
    object.signalled = true;
  }
  m.changed.notify_all();
}

ThreadRecord* StartSimThread(const std::string& name, size_t object, std::function<DWORD()> body) {
  Machine& m = TheMachine();
  auto record = std::make_unique<ThreadRecord>();
  ThreadRecord* self = record.get();
  self->name = name;
  self->object = object;
  m.threads.push_back(std::move(record));
  self->thread = std::thread([self, body = std::move(body)] {
    CurrentThread() = self;
    EndThread(self, body());
  });
  return self;
}

}  // namespace sim::detail

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR) {
  const bool fail = EnterCall(Call::CreateEventW);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  if (fail) {
    LogLocked(Call::CreateEventW, "failed");
    LastError() = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  const size_t index = AddObject(Kind::Event);
  m.objects[index].manualReset = manualReset != FALSE;
  m.objects[index].signalled = initialState != FALSE;
  LogLocked(Call::CreateEventW, m.objects[index].name);
  return HandleOf(index);
}

HANDLE WINAPI OpenEventW(DWORD desiredAccess, BOOL, LPCWSTR name) {
  const bool fail = EnterCall(Call::OpenEventW);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  size_t target = kNoObject;
  for (size_t i = 0; i < m.objects.size(); ++i) {
    if (m.objects[i].kind == Kind::Event && m.objects[i].open && name != nullptr && m.objects[i].eventName == name) target = i;
  }
  if (fail || target == kNoObject) {
    LogLocked(Call::OpenEventW, "failed");
    LastError() = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  const size_t index = AddObject(Kind::Event);
  m.objects[index].aliasOf = target;
  m.objects[index].access = desiredAccess;
  LogLocked(Call::OpenEventW, m.objects[index].name);
  return HandleOf(index);
}

BOOL WINAPI SetEvent(HANDLE event) {
  EnterCall(Call::SetEvent);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  Object* object = Find(event, Kind::Event, "SetEvent");
  if (object == nullptr) {
    LastError() = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  ++object->setCount;
  LogLocked(Call::SetEvent, object->name);
  SignalEventLocked(IndexOf(event));
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  EnterCall(Call::WaitForSingleObject);
  Machine& m = TheMachine();
  std::unique_lock<std::mutex> lock(m.lock);
  ThreadRecord* self = CurrentThread();
  const size_t index = IndexOf(handle);
  const std::string name = index == kNoObject ? "unknown" : m.objects[index].name;
  LogLocked(Call::WaitForSingleObject, name);
  if (self != nullptr && milliseconds != INFINITE) {
    for (auto it = m.forcedWaits.begin(); it != m.forcedWaits.end(); ++it) {
      if (it->first != handle) continue;
      const DWORD forced = it->second;
      m.forcedWaits.erase(it);
      return forced;
    }
  }
  DWORD error = 0;
  const size_t target = WaitTargetLocked(handle, "WaitForSingleObject", error);
  if (target == kNoObject) {
    LastError() = error;
    return WAIT_FAILED;
  }
  Object* object = &m.objects[target];
  if (IsSignalledLocked(*object)) {
    ConsumeLocked(*object);
    return WAIT_OBJECT_0;
  }
  if (milliseconds == 0) return WAIT_TIMEOUT;
  uint64_t deadline = milliseconds == INFINITE ? kNever : m.now + milliseconds * kTicksPerMs;
  if (self != nullptr && milliseconds != INFINITE) {
    deadline = TimedWaitEndLocked(milliseconds);
    for (auto it = m.shiftedWaits.begin(); it != m.shiftedWaits.end(); ++it) {
      if (it->first != handle) continue;
      const int64_t shifted = static_cast<int64_t>(deadline) + int64_t{it->second} * static_cast<int64_t>(kTicksPerMs / 1000);
      deadline = std::max(m.now, static_cast<uint64_t>(std::max<int64_t>(shifted, 0)));
      m.shiftedWaits.erase(it);
      break;
    }
  }

  if (self != nullptr) {
    self->state = ThreadState::Waiting;
    self->waitObject = target;
    self->deadline = deadline;
    self->waitOrder = ++m.waitOrder;
    m.changed.notify_all();
    m.changed.wait(lock, [self] { return self->state != ThreadState::Waiting; });
    return self->result;
  }

  // A thread the simulation does not run (the test's own): it does not hold back the clock; it
  // waits for the object, or for the clock that another thread moves.
  const bool done = m.changed.wait_for(lock, std::chrono::seconds(10), [&] {
    return IsSignalledLocked(m.objects[target]) || m.now >= deadline;
  });
  if (!done) {
    lock.unlock();
    Die("the test's thread waited on " + name + " for too long");
  }
  if (IsSignalledLocked(m.objects[target])) {
    ConsumeLocked(m.objects[target]);
    return WAIT_OBJECT_0;
  }
  return WAIT_TIMEOUT;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                           DWORD, LPDWORD threadId) {
  const bool fail = EnterCall(Call::CreateThread);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  if (fail) {
    LogLocked(Call::CreateThread, "failed");
    LastError() = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  const size_t index = AddObject(Kind::Thread);
  Object& object = m.objects[index];
  object.thread = StartSimThread(object.name, index, [start, parameter] { return start(parameter); });
  if (threadId != nullptr) *threadId = static_cast<DWORD>(index + 1);
  LogLocked(Call::CreateThread, object.name);
  return HandleOf(index);
}

BOOL WINAPI CloseHandle(HANDLE handle) {
  EnterCall(Call::CloseHandle);
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  const size_t index = IndexOf(handle);
  if (index == kNoObject) {
    m.problems.push_back("CloseHandle given an unknown handle");
    LastError() = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  Object& object = m.objects[index];
  LogLocked(Call::CloseHandle, object.name);
  if (!object.open) {
    m.problems.push_back("CloseHandle given " + object.name + ", already closed");
    LastError() = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (object.kind == Kind::Hook || object.kind == Kind::RegistryKey) {
    m.problems.push_back("CloseHandle given " + object.name);
    LastError() = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  object.open = false;
  return TRUE;
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count) {
  EnterCall(Call::QueryPerformanceCounter);
  if (uint64_t* ticks = CounterOverride()) {
    count->QuadPart = static_cast<LONGLONG>(*ticks);
    return TRUE;
  }
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  count->QuadPart = static_cast<LONGLONG>(CounterAt(TheMachine().now));
  return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  frequency->QuadPart = static_cast<LONGLONG>(TheMachine().counterFrequency);
  return TRUE;
}

DWORD WINAPI GetTickCount() {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  return static_cast<DWORD>((TheMachine().now - kStartTicks) / kTicksPerMs);
}

namespace sim {

void SetTerminalServicesReady(bool ready) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> guard(m.lock);
  if (m.terminalServicesReadyEvent == kNoObject) {
    // A manual-reset event that stays signalled once the services are up.
    // The system's own object: it takes no name from the program's series (event1, ...).
    Object event;
    event.kind = Kind::Event;
    event.name = "TermSrvReadyEvent";
    event.eventName = L"Global\\TermSrvReadyEvent";
    event.manualReset = true;
    event.systemOwned = true;
    m.objects.push_back(std::move(event));
    m.terminalServicesReadyEvent = m.objects.size() - 1;
  }
  m.objects[m.terminalServicesReadyEvent].signalled = false;
  if (ready) SignalEventLocked(m.terminalServicesReadyEvent);
}

void WithCounter(uint64_t ticks, const std::function<void()>& fn) {
  uint64_t value = ticks;
  uint64_t* previous = CounterOverride();
  CounterOverride() = &value;
  fn();
  CounterOverride() = previous;
}

uint32_t SetEventCount(HANDLE event) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  const size_t index = IndexOf(event);
  return index == kNoObject ? 0 : TheMachine().objects[index].setCount;
}

bool IsSignalled(HANDLE event) {
  std::lock_guard<std::mutex> guard(TheMachine().lock);
  const size_t index = IndexOf(event);
  return index != kNoObject && IsSignalledLocked(TheMachine().objects[index]);
}

}  // namespace sim
