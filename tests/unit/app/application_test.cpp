// The program as a whole: start, single instance, the message loop, the orderly teardown.
#include <thread>

#include "app/application.h"
#include "tests/unit/keyboard_session.h"
#include "tracking/keyboard_hook.h"

namespace {

using Program = KeyboardSession;

constexpr wchar_t kMutexName[] = L"Local\\Velmora_SingleInstance";

int RunOnThisThread() { return RunApplication(nullptr); }

// The calls that make up start and stop, in order: creation, hook, joins, closes, the mutex, the
// settings watch's registrations and the keys it closes.
std::vector<std::string> Lifecycle() {
  std::vector<std::string> kept;
  bool stopping = false;  // from the hook's removal or the failure on, SetEvent means "stop"
  for (const std::string& call : sim::CallLog()) {
    const auto starts = [&call](const char* prefix) { return call.rfind(prefix, 0) == 0; };
    if (starts("RegisterRawInputDevices remove") || call.find(" failed") != std::string::npos) stopping = true;
    if (starts("SetDefaultDllDirectories") || starts("CreateMutexW") || starts("ReleaseMutex") || starts("CreateEventW") || starts("CreateThread") ||
        starts("SetWindowsHookExW") || starts("UnhookWindowsHookEx") || starts("CloseHandle") ||
        starts("CreateWindowExW") || starts("DestroyWindow") || starts("RegisterRawInputDevices") ||
        starts("LoadLibraryExW") || starts("FreeLibrary") || call.find("Notification ") != std::string::npos ||
        starts("WaitForSingleObject thread") || starts("RegNotifyChangeKeyValue") ||
        (stopping && (starts("SetEvent") || starts("RegCloseKey")))) {
      kept.push_back(call);
    }
  }
  return kept;
}

// Every worker is told to stop, then (after the hook and what comes after it) each is joined.
std::vector<std::string> StopSignals(int count) {
  std::vector<std::string> calls;
  for (int i = 1; i <= count; ++i) calls.push_back("SetEvent event" + std::to_string(i));
  return calls;
}
std::vector<std::string> JoinsOfWorkers(int count) {
  std::vector<std::string> calls;
  for (int i = 1; i <= count; ++i) {
    const std::string n = std::to_string(i);
    calls.insert(calls.end(), {"WaitForSingleObject thread" + n, "CloseHandle thread" + n, "CloseHandle event" + n});
  }
  return calls;
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::vector<std::string> kStart = {
    "SetDefaultDllDirectories system32", "CreateMutexW mutex1", "LoadLibraryExW winmm.dll module1",
    "CreateEventW event1", "CreateThread thread1", "CreateEventW event2", "CreateThread thread2",
    "CreateEventW event3", "CreateThread thread3", "CreateEventW event4", "CreateThread thread4"};
const std::vector<std::string> kReleaseMutex = {"FreeLibrary module1", "ReleaseMutex mutex1", "CloseHandle mutex1"};
// After the workers and before the hook; stopped after the hook, each key closed before its event.
const std::vector<std::string> kWatchStart = {"CreateEventW event5", "RegNotifyChangeKeyValue key1 event5",
                                              "CreateEventW event6", "RegNotifyChangeKeyValue key2 event6"};
const std::vector<std::string> kWatchStop = {"RegCloseKey key1", "CloseHandle event5", "RegCloseKey key2",
                                             "CloseHandle event6"};

// The power throttling mechanisms the program took control of, as "control:state", in order.
std::string PowerRequests() {
  std::string text;
  for (const PROCESS_POWER_THROTTLING_STATE& s : sim::PowerThrottlingRequests()) {
    text += (text.empty() ? "" : " ") + std::to_string(s.ControlMask) + ":" + std::to_string(s.StateMask);
  }
  return text;
}

TEST_F(Program, RepeatsAHeldKeyAtTheDefaultTimingsAndEndsOnQuitInOrder) {
  StartVelmora();
  EXPECT_EQ(sim::ThreadPriorities(), "main:2 thread1:2 thread2:2 thread3:2 thread4:2") << "all at HIGHEST";
  EXPECT_EQ(PowerRequests(), "1:0 4:0") << "execution speed, then timer resolution: each controlled and off";
  Press(VK_LSHIFT);
  Wait(600);
  Release(VK_LSHIFT);
  Wait(600);
  EXPECT_EQ(Injected(), "533:+2A 566:+2A 599:+2A");

  QuitVelmora();
  // The hook comes last, with only the raw input after it, and goes first, with only the raw input
  // and the workers' stop before it; the window's notifications go before the window.
  std::vector<std::string> expected = Concat(
      Concat(kStart, kWatchStart),
      {"CreateWindowExW window1", "RegisterSuspendResumeNotification power notification1",
       "LoadLibraryExW wtsapi32.dll module2", "WTSRegisterSessionNotification window1", "SetWindowsHookExW hook1",
       "RegisterRawInputDevices keyboard", "RegisterRawInputDevices remove"});
  expected = Concat(Concat(expected, StopSignals(4)),
                    {"UnhookWindowsHookEx hook1", "WTSUnRegisterSessionNotification window1", "FreeLibrary module2",
                     "UnregisterSuspendResumeNotification power notification1", "DestroyWindow window1"});
  expected = Concat(Concat(Concat(expected, kWatchStop), JoinsOfWorkers(4)), kReleaseMutex);
  EXPECT_EQ(Lifecycle(), expected);
  ShutdownAll();  // once more: everything was released once and set to null, so nothing is touched
  EXPECT_EQ(Lifecycle(), expected) << "a second teardown touched something";
}

TEST_F(Program, UsesTheUsersSettingsAndStartsWhereThePowerCallIsMissingOrKnowsNoTimerThrottling) {
  sim::SetRegistryText(L"KeyboardSpeed", u"20");
  sim::SetRegistryDword(L"KeyboardDelay", 0);
  sim::SetWindows8CallsPresent(false);
  StartVelmora();
  Press(VK_RSHIFT);
  Wait(500);
  EXPECT_EQ(Injected(), "342:+36 434:+36");
  QuitVelmora();
  EXPECT_EQ(PowerRequests(), "");

  SetUp();  // a fresh machine, as Windows 10: the timer bit is refused, high QoS still asked for
  sim::SetUnknownThrottlingMechanisms(PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION);
  StartVelmora();
  QuitVelmora();
  EXPECT_EQ(PowerRequests(), "1:0");
}

TEST_F(Program, ASecondInstanceInTheSessionEndsWithZeroHavingMadeNothing) {
  sim::CreateForeignMutex(kMutexName);  // the first instance, another process
  EXPECT_EQ(RunOnThisThread(), 0);
  EXPECT_EQ(Lifecycle(),
            (std::vector<std::string>{"SetDefaultDllDirectories system32", "CreateMutexW mutex1", "CloseHandle mutex1"}))
      << "opened the mutex, closed it, never released the first instance's ownership";
  EXPECT_EQ(sim::CallCount(sim::Call::RegOpenKeyExW), 0u);

  // A mutex that cannot be created at all is no reason to report a failure either.
  sim::Reset();
  sim::FailCall(sim::Call::CreateMutexW);
  EXPECT_EQ(RunOnThisThread(), 0);
  EXPECT_EQ(sim::CallCount(sim::Call::CreateEventW), 0u);

  // Only the session-local name counts as another instance.
  sim::Reset();
  sim::CreateForeignMutex(L"Global\\Velmora_SingleInstance");
  sim::CreateForeignMutex(L"Velmora_SingleInstance");
  StartVelmora();
  EXPECT_FALSE(sim::ProgramEnded());
  QuitVelmora();
}

TEST_F(Program, AFailureAtAnyCreationStepEndsWithOneAfterReleasingEverything) {
  struct Step {
    sim::Call call;
    int nth;
  };
  const Step steps[] = {{sim::Call::CreateEventW, 1},  {sim::Call::CreateEventW, 2},  {sim::Call::CreateEventW, 3},
                        {sim::Call::CreateEventW, 4},  {sim::Call::CreateThread, 1},  {sim::Call::CreateThread, 2},
                        {sim::Call::CreateThread, 3},  {sim::Call::CreateThread, 4},  {sim::Call::SetWindowsHookExW, 1}};
  for (const Step& step : steps) {
    SCOPED_TRACE(std::string(sim::CallName(step.call)) + " #" + std::to_string(step.nth));
    sim::Reset();
    ClearSharedState();
    sim::FailCall(step.call, step.nth);
    EXPECT_EQ(RunOnThisThread(), 1);

    // Every worker that started was stopped and joined, and its event closed after the join;
    // an event whose thread failed was closed at once; then the mutex went.
    const int started = step.call == sim::Call::SetWindowsHookExW ? 4 : step.nth - 1;
    std::vector<std::string> expected = {"SetDefaultDllDirectories system32", "CreateMutexW mutex1",
                                         "LoadLibraryExW winmm.dll module1"};
    for (int i = 1; i <= started; ++i) {
      expected.push_back("CreateEventW event" + std::to_string(i));
      expected.push_back("CreateThread thread" + std::to_string(i));
    }
    if (step.call == sim::Call::CreateEventW) expected.push_back("CreateEventW failed");
    if (step.call == sim::Call::CreateThread) {
      expected.push_back("CreateEventW event" + std::to_string(step.nth));
      expected.push_back("CreateThread failed");
      expected.push_back("CloseHandle event" + std::to_string(step.nth));
    }
    expected = Concat(expected, StopSignals(started));
    if (step.call == sim::Call::SetWindowsHookExW) {
      const std::vector<std::string> window = {"CreateWindowExW window1",
                                               "RegisterSuspendResumeNotification power notification1",
                                               "LoadLibraryExW wtsapi32.dll module2",
                                               "WTSRegisterSessionNotification window1", "SetWindowsHookExW failed"};
      expected = Concat(Concat(Concat(kStart, kWatchStart), window), StopSignals(4));
      expected = Concat(Concat(expected, {"WTSUnRegisterSessionNotification window1", "FreeLibrary module2",
                                          "UnregisterSuspendResumeNotification power notification1",
                                          "DestroyWindow window1"}),
                        kWatchStop);
    }
    expected = Concat(Concat(expected, JoinsOfWorkers(started)), kReleaseMutex);
    EXPECT_EQ(Lifecycle(), expected);
    EXPECT_TRUE(sim::OpenHandles().empty());
    for (const std::string& problem : sim::Problems()) ADD_FAILURE() << problem;
    EXPECT_EQ(hookHandle, nullptr);
    EXPECT_EQ(instanceMutex, nullptr);
  }
}

TEST_F(Program, AKeyUpOwedWhenTheQuitArrivesIsSentBeforeTheProgramEnds) {
  StartVelmora();
  Press(VK_LSHIFT);
  // The release reaches the hook just before the first repeat is accepted, and the quit arrives
  // before the worker has sent the key-up it then owes.
  sim::BeforeNextCall(sim::Call::SendInput, [] {
    KBDLLHOOKSTRUCT up = {VK_LSHIFT, 0x2A, LLKHF_UP, 0, 0};
    KeyboardHookProc(HC_ACTION, WM_KEYUP, reinterpret_cast<LPARAM>(&up));
    sim::SetKeyState(VK_LSHIFT, false);
    sim::PostQuitToProgram();
    while (keySlots[0].stopRequested.load() == 0) std::this_thread::yield();
  });
  Wait(540);
  EXPECT_EQ(sim::JoinProgram(), 0);
  EXPECT_EQ(Injected(), "533:+2A 533:-2A");
}

TEST_F(Program, TheTimerResolutionIsRaisedOnlyWhileARepeatIsDueAndAlwaysRestored) {
  StartVelmora();
  Press(VK_LSHIFT);
  Press(VK_LMENU);
  Wait(450);
  EXPECT_EQ(sim::RaisedTimerPeriods(), 0) << "arming: no repeat due yet";
  Wait(90);
  EXPECT_EQ(sim::RaisedTimerPeriods(), 2);
  Release(VK_LMENU);
  EXPECT_EQ(sim::RaisedTimerPeriods(), 0) << "both bursts ended: one released, one re-arming";
  Wait(560);
  EXPECT_EQ(sim::RaisedTimerPeriods(), 1);  // mid-burst
  QuitVelmora();
  EXPECT_EQ(sim::RaisedTimerPeriods(), 0) << "a quit during a burst restores it";

  // Refused requests are not matched by an end, and the waits end on the system timer's tick.
  SetUp();  // a fresh machine
  for (int n = 1; n <= 50; ++n) sim::FailCall(sim::Call::timeBeginPeriod, n);
  StartVelmora();
  Press(VK_LSHIFT);
  Wait(640);
  EXPECT_EQ(Injected(), "546:+2A 593:+2A 625:+2A") << "repeats still work, on the 15.625 ms tick";
  Release(VK_LSHIFT);
  QuitVelmora();  // an end without a begin would be one of the machine's problems

  SetUp();  // and where winmm.dll cannot be loaded
  sim::FailCall(sim::Call::LoadLibraryExW);
  StartVelmora();
  Press(VK_LSHIFT);
  Wait(640);
  EXPECT_EQ(Injected(), "546:+2A 593:+2A 625:+2A");
  EXPECT_EQ(sim::CallCount(sim::Call::timeBeginPeriod), 0u);
  QuitVelmora();
}

}  // namespace
