// The four workers against a randomised stream of presses, releases, other keys and focus
// changes, delivered to the hook while the workers run: real interleavings, checked for what must
// hold whatever they are. Built under ThreadSanitizer as well.
#include <random>

#include "tests/unit/keyboard_session.h"

namespace {

struct KeyStreamFindings {
  int leftDown = 0;             // a repeat after a release, left down while time passed
  int doubleKeyUps = 0;         // two of our key-ups for one release
};

// Reads one key's story from the stream, in the order the hook saw it. A key-down of ours after
// the physical release must be followed at once (compensation costs no virtual time) by a key-up
// of ours, or by a press at the same moment that makes it moot.
void ReadKey(const std::vector<sim::StreamEvent>& stream, DWORD scanCode, KeyStreamFindings& f) {
  bool everPressed = false, physicallyDown = false, owed = false;
  uint64_t owedSince = 0;
  int keyUpsSinceRelease = 0;
  for (const sim::StreamEvent& e : stream) {
    if (e.event.scanCode != scanCode) continue;
    const bool ours = (e.event.flags & LLKHF_INJECTED) != 0;
    const bool up = (e.event.flags & LLKHF_UP) != 0;
    if (!ours && !up) {
      if (owed && e.ticks > owedSince) ++f.leftDown;
      everPressed = physicallyDown = true;
      owed = false;
    } else if (!ours && physicallyDown) {
      physicallyDown = false;
      keyUpsSinceRelease = 0;
    } else if (ours && !up) {
      if (!physicallyDown && everPressed) owed = true, owedSince = e.ticks;
    } else if (ours) {
      // A re-press just before our key-up is the window nothing short of a lock closes.
      if (!physicallyDown && ++keyUpsSinceRelease > 1) ++f.doubleKeyUps;
      owed = false;
    }
  }
  if (owed) ++f.leftDown;
}

TEST_F(KeyboardSession, RandomInterleavingsNeverLeaveAKeyDownOrSendTwoKeyUps) {
  sim::SetCallLogging(false);
  Start();
  std::mt19937 random(20261206);
  bool down[kSlotCount] = {};
  const int others[] = {'A', 'B', 'C', 'D', 'E', 'F', 'Q', 'W', 'X', 'Z'};

  for (int step = 0; step < 3000; ++step) {
    const int slot = static_cast<int>(random() % kSlotCount);
    const int vk = static_cast<int>(kMonitoredKeys[slot].virtualKey);
    switch (random() % 10) {
      case 0:
      case 1:
        sim::Press(vk);
        down[slot] = true;
        break;
      case 2:
      case 3:
        if (down[slot]) {
          sim::Release(vk);
          down[slot] = false;
        }
        break;
      case 4: {
        const int other = others[random() % 10];
        sim::Press(other);
        sim::Release(other);
        break;
      }
      case 5:
        sim::SetForegroundWindow(random() % 2 ? kEditor : kBrowser);
        break;
      case 6:
      case 7:
        // A release in flight while a burst goes on: it reaches the hook inside the next
        // injection, before or after it is accepted, stamped around the worker's t0.
        if (down[slot]) {
          sim::HoldInput(true);
          sim::Release(vk);
          down[slot] = false;
          const int64_t offset = static_cast<int64_t>(random() % 3) - 1;
          const size_t count = 1 + random() % 2;
          auto deliver = [offset, count] {
            sim::HoldInput(false);
            sim::WithCounter(sim::NowTicks() + offset, [count] { sim::DeliverInput(count); });
          };
          if (random() % 2) {
            sim::BeforeNextCall(sim::Call::SendInput, deliver);
          } else {
            sim::AfterNextSendInput(deliver);
          }
          sim::AdvanceBy(static_cast<uint32_t>(random() % 700));
          sim::HoldInput(false);
        }
        break;
      default:
        // Time passes: the workers arm, repeat and race what comes next.
        sim::AdvanceBy(static_cast<uint32_t>(random() % 4 == 0 ? 400 + random() % 400 : random() % 120));
        break;
    }
    // Often the hook runs at once, while the workers are still busy with the last wake-up.
    if (random() % 2) sim::DeliverInput();
  }
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (down[slot]) sim::Release(static_cast<int>(kMonitoredKeys[slot].virtualKey));
  }
  sim::AdvanceBy(3000);
  Stop();

  const std::vector<sim::StreamEvent> stream = sim::Stream();
  KeyStreamFindings f;
  for (const MonitoredKey& key : kMonitoredKeys) ReadKey(stream, key.scanCode, f);
  EXPECT_EQ(f.leftDown, 0) << "a repeat landed after a release and no key-up followed";
  EXPECT_EQ(f.doubleKeyUps, 0);
  EXPECT_GT(CountInjected(/*up=*/false), 100) << "the run must actually repeat";
}

}  // namespace
