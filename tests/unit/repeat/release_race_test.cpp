// A repeat racing the key's release, staged exactly: the worker takes t0, the release reaches
// the hook around it, and the injected key-down lands on one side of the release or the other.
// Whatever the order, a key-down of ours that lands after the release gets exactly one key-up,
// and none is sent for a key that is meant to be down.
#include "tests/unit/keyboard_session.h"

namespace {

class ReleaseRace : public KeyboardSession {
 protected:
  void SetUp() override {
    KeyboardSession::SetUp();
    Start();
    Press(VK_LSHIFT);
  }

  // The release reaches the hook inside the first repeat's SendInput, before the injection is
  // accepted, stamped offsetTicks from the worker's t0 (no virtual time passes in between).
  static void ReleaseStampedBeforeInjection(int64_t offsetTicks) {
    sim::BeforeNextCall(sim::Call::SendInput, [offsetTicks] {
      const uint64_t t0 = sim::NowTicks();
      sim::Release(VK_LSHIFT);
      sim::WithCounter(t0 + offsetTicks, [] { sim::DeliverInput(); });
    });
  }

  // The release entered the stream ahead of our key-down, but reaches the hook only once the
  // injection was accepted, stamped after t0; then deliverCount events reach the hook at once.
  static void ReleaseStampedAfterInjection(size_t deliverCount) {
    sim::BeforeNextCall(sim::Call::SendInput, [] { sim::Release(VK_LSHIFT); });
    sim::AfterNextSendInput([deliverCount] {
      sim::WithCounter(sim::NowTicks() + 1, [deliverCount] { sim::DeliverInput(deliverCount); });
    });
  }

  // What an application sees of left Shift, in stream order, from the press on.
  std::string ShiftStream() const {
    std::string trace;
    for (const sim::StreamEvent& e : sim::Stream()) {
      if (e.event.scanCode != 0x2A) continue;
      const bool up = (e.event.flags & LLKHF_UP) != 0;
      trace += (e.event.flags & LLKHF_INJECTED) ? (up ? " ours-up" : " ours-down") : (up ? " up" : " down");
    }
    return trace;
  }
};

TEST_F(ReleaseRace, AReleaseAheadOfOurKeyDownInTheStreamGetsOneKeyUpHoweverItIsStamped) {
  const struct {
    const char* what;
    void (*stage)();
  } cases[] = {
      // The worker flushes before the hook sees our key-down...
      {"stamped at t0", [] { ReleaseStampedBeforeInjection(0); }},
      {"stamped before t0", [] { ReleaseStampedBeforeInjection(-1); }},
      {"stamped after t0", [] { ReleaseStampedAfterInjection(1); }},
      // ...or the hook sees it first.
      {"stamped at t0, our key-down seen at once",
       [] {
         ReleaseStampedBeforeInjection(0);
         sim::AfterNextSendInput([] { sim::DeliverInput(); });
       }},
      {"stamped after t0, our key-down seen at once", [] { ReleaseStampedAfterInjection(2); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.stage();
    Wait(1000);
    EXPECT_EQ(ShiftStream(), " down up ours-down ours-up");
    TearDown();  // again on a fresh machine
    SetUp();
  }
}

TEST_F(ReleaseRace, ReleaseAfterOurKeyDownInTheStreamNeedsNoKeyUp) {
  sim::AfterNextSendInput([] {
    sim::DeliverInput();  // our key-down, while still held
    sim::Release(VK_LSHIFT);
    sim::WithCounter(sim::NowTicks() + 1, [] { sim::DeliverInput(); });
  });
  Wait(1000);
  EXPECT_EQ(ShiftStream(), " down ours-down up");
}

TEST_F(ReleaseRace, NoKeyUpForAKeyPressedAgainOrStillDownAfterAFocusChange) {
  // Released and pressed again before the worker looks: the key is meant to be down.
  ReleaseStampedBeforeInjection(0);
  sim::AfterNextSendInput([] {
    sim::Press(VK_LSHIFT);
    sim::DeliverInput();
  });
  Wait(540);
  EXPECT_EQ(ShiftStream(), " down up ours-down down");
  EXPECT_EQ(keySlots[0].held.load(), 1);
  Wait(530);  // and it repeats again, a full arm delay after the new press
  EXPECT_EQ(ShiftStream(), " down up ours-down down ours-down");

  // The focus moves away right after an injection while the key stays down.
  sim::AfterNextSendInput([] { sim::SetForegroundWindow(kBrowser); });
  Wait(2000);
  EXPECT_EQ(ShiftStream(), " down up ours-down down ours-down ours-down");
  EXPECT_EQ(keySlots[0].held.load(), 0) << "forgotten after the focus change";
}

}  // namespace
