// The rules a stream of key events is judged by, written once: which events are Velmora's, what a
// hold of one key must show, and the spread of a set of figures.
#pragma once

#include <cstdint>

#include "tools/check/observer.h"
#include "tracking/key_slots.h"

inline constexpr int kMaxFigures = 256;

// One of Velmora's injected events (tagged) of the key with this scan code, in the hook's view.
bool IsVelmoraEvent(const ObservedEvent& event, uint16_t scanCode);
bool IsVelmoraRepeat(const ObservedEvent& event, uint16_t scanCode);
// Any event Velmora injected, of any key.
bool IsTagged(const ObservedEvent& event);
// One of the check's own injected events of this virtual key, in the hook's view.
bool IsOwnEvent(const ObservedEvent& event, DWORD virtualKey, bool up);

// The hook's counter of the first own event of virtualKey from journal index from on, or fallback.
uint64_t SeenAt(int from, DWORD virtualKey, bool up, uint64_t fallback);

// Velmora's key-downs of the key between two counters (after, up to and including before).
int CountRepeats(int from, int to, uint16_t scanCode, uint64_t after, uint64_t before);

// What one hold of a key showed: pressed (counter read before SendInput), held, released.
struct HoldFigures {
  int repeats;            // Velmora's key-downs of the key before the hook saw the release
  int early;              // of them, less than the arm delay after the press was sent
  int wrongEvents;        // tagged events during the hold of another key, or with other flags
  int lateRepeats;        // Velmora's key-downs after the hook saw the release
  int keyUpsAfter;        // Velmora's key-ups after the release
  bool releaseKept;       // no late repeat and no key-up, or exactly one key-up after the last repeat
  bool extendedSeen;      // a repeat came with LLKHF_EXTENDED
  double firstRepeatMs;   // after the press was sent; -1 with no repeat
  double intervalsMs[kMaxFigures];
  int intervalCount;
};

// Judges journal entries [from, to) for a hold of key.
HoldFigures JudgeHold(int from, int to, const MonitoredKey& key, uint64_t pressSent, uint64_t releaseSent,
                      uint32_t armDelayMs);

// Whether the key ends up (the check's and Velmora's events of it taken in order) in [from, to).
bool EndsUp(int from, int to, const MonitoredKey& key);

struct Spread {
  double median;
  double p95;
  double worst;  // largest in size, sign kept
};

// Of count figures (sorted in place); all zero when count is 0.
Spread SpreadOf(double* figures, int count);
