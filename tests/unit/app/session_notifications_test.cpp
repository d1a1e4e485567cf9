// Lock and unlock, disconnect and connect, sleep and resume, as the message-only window hears of
// them; and at logon, a registration that waits for the terminal services.
#include <algorithm>

#include "app/application.h"
#include "tests/unit/keyboard_session.h"

namespace {

using Sessions = KeyboardSession;

uint64_t HookInstalls() { return sim::CallCount(sim::Call::SetWindowsHookExW); }

// Each returns once the program has done what the notification asks.
void Session(WPARAM code) {
  sim::SendSessionChange(code);
  sim::Settle();
}
void Power(WPARAM event) {
  sim::SendPowerBroadcast(event);
  sim::Settle();
}
void Lock() { Session(WTS_SESSION_LOCK); }

TEST_F(Sessions, AwayEveryKeyIsLetGoAndBackTheHookIsInstalledAtOnce) {
  struct AwayAndBack {
    const char* what;
    void (*away)();
    void (*back)();
  };
  const AwayAndBack cases[] = {
      {"lock", Lock, [] { Session(WTS_SESSION_UNLOCK); }},
      {"console", [] { Session(WTS_CONSOLE_DISCONNECT); }, [] { Session(WTS_CONSOLE_CONNECT); }},
      {"remote", [] { Session(WTS_REMOTE_DISCONNECT); }, [] { Session(WTS_REMOTE_CONNECT); }},
      {"sleep", [] { Power(PBT_APMSUSPEND); }, [] { Power(PBT_APMRESUMEAUTOMATIC); }},
  };
  for (const AwayAndBack& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();  // a fresh machine
    StartVelmora();
    Press(VK_LSHIFT);
    Wait(540);
    c.away();
    const uint64_t waits = sim::CallCount(sim::Call::WaitForSingleObject);
    sim::RemoveHookSilently();  // as Windows may, meanwhile
    Wait(5000);
    EXPECT_EQ(sim::CallCount(sim::Call::WaitForSingleObject), waits) << "every worker idle from then on";
    c.back();
    EXPECT_EQ(HookInstalls(), 2u) << "at once, before any key needs it";
    Wait(5000);
    EXPECT_EQ(Injected(), "533:+2A") << "still down, but not repeated until pressed again; no key-up";
    Press(VK_LSHIFT);  // at 10540
    Wait(540);
    EXPECT_EQ(InjectedSince(10540), "533:+2A");
    QuitVelmora();
    EXPECT_TRUE(sim::OpenHandles().empty());
  }
}

TEST_F(Sessions, ALockDropsUnmatchedRawEventsAndLeavesAnOwedKeyUpToGoOut) {
  StartVelmora();
  sim::RemoveHookSilently();
  Press(VK_LCONTROL);  // raw input only, unmatched when the lock comes: never applied
  Lock();
  Wait(3000);
  EXPECT_EQ(HookInstalls(), 1u);
  Session(WTS_SESSION_UNLOCK);
  Release(VK_LCONTROL);

  // The release reaches the hook just before a repeat is accepted, and the lock comes before the
  // worker has sent the key-up it then owes.
  Press(VK_LSHIFT);  // at 3000
  sim::BeforeNextCall(sim::Call::SendInput, [] {
    sim::Release(VK_LSHIFT);
    sim::DeliverInput();
    sim::SendSessionChange(WTS_SESSION_LOCK);  // from a worker's thread, which cannot settle
  });
  Wait(540);
  EXPECT_EQ(Injected(), "3533:+2A 3533:-2A");
  QuitVelmora();
}

TEST_F(Sessions, AtLogonTheRegistrationWaitsForTheTerminalServicesAndAnyFailureLeavesTheProgramAsBefore) {
  sim::SetTerminalServicesReady(false);
  StartVelmora();
  const uint64_t waits = sim::CallCount(sim::Call::MsgWaitForMultipleObjectsEx);
  Wait(10000);
  EXPECT_EQ(sim::CallCount(sim::Call::MsgWaitForMultipleObjectsEx), waits) << "nothing runs while it waits";
  Press(VK_LSHIFT);
  Lock();  // not registered yet: unheard
  Wait(540);
  sim::SetTerminalServicesReady(true);
  sim::Settle();
  Lock();
  Wait(1000);
  EXPECT_EQ(InjectedSince(10000), "533:+2A");
  QuitVelmora();


  // Whatever fails, the program runs as before; the session is heard or not, and what it waited for
  // is let go by the time it is no longer needed, and by a teardown, which a second one repeats not.
  struct Failure {
    sim::Call call;
    int nth;  // 0: nothing fails
    bool readyAtStart;
    bool heard;
  };
  for (const Failure failing : {
           Failure{sim::Call::LoadLibraryExW, 2, true, false},  // wtsapi32.dll, after winmm.dll
           Failure{sim::Call::OpenEventW, 1, false, false},
           Failure{sim::Call::WTSRegisterSessionNotification, 1, true, true},   // the event is set already
           Failure{sim::Call::WTSRegisterSessionNotification, 2, false, false}, // once more when set: no third try
           Failure{sim::Call::RegisterSuspendResumeNotification, 1, true, true},
           Failure{sim::Call::MsgWaitForMultipleObjectsEx, 0, false, false},    // never ready
       }) {
    SCOPED_TRACE(std::string(sim::CallName(failing.call)) + " #" + std::to_string(failing.nth));
    SetUp();  // a fresh machine
    sim::SetTerminalServicesReady(failing.readyAtStart);
    if (failing.nth > 0) sim::FailCall(failing.call, failing.nth);
    StartVelmora();
    if (failing.nth > 0) sim::SetTerminalServicesReady(true);
    sim::Settle();
    const std::vector<std::string> open = sim::OpenHandles();
    const bool stillWaiting = failing.nth == 0;
    EXPECT_EQ(std::count(open.begin(), open.end(), "module2"), failing.heard || stillWaiting ? 1 : 0) << "wtsapi32.dll";
    Press(VK_LSHIFT);
    Wait(540);
    Lock();
    Wait(100);
    EXPECT_EQ(Injected(), failing.heard ? "533:+2A" : "533:+2A 566:+2A 599:+2A 632:+2A");
    QuitVelmora();
    ShutdownAll();
    EXPECT_TRUE(sim::OpenHandles().empty());
    EXPECT_TRUE(sim::Problems().empty()) << sim::Problems().front();
  }
}

}  // namespace
