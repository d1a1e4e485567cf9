// The pairing of the two views against arbitrary interleavings of one stream of key events: each
// view sees the stream in order, the hook may run ahead of raw input by any number of events (a
// burst) or behind it, and may pass over events (a true miss); time moves on only while no raw
// event waits for the hook to be given it, so no deadline passes for an event the hook will see.
// Checked: every raw event gets exactly one verdict, and while neither view was ever further
// ahead of the other than the pairing keeps, no event both views saw is missed, each is paired
// with itself, and every event the hook passed over is missed (by a later event or by deadline).
//
// Input: 2 bytes per step (a short last record reads as zeros); n is the second byte, times 16
// when bit 7 of the first is set:
//   bits 0-1 of the first: 0 the hook's view moves on n events, 1 raw input's, 2 time moves on
//   n * 8 ms, 3 the stream grows by n events, of which the hook passes over about one in 16 per
//   unit of bits 2-4.
// Events in any 80 in a row are different key events: two alike are told apart by no pairing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tracking/injection_tag.h"
#include "tracking/key_event_pairing.h"

namespace {

constexpr int kMaxEvents = 1 << 14;
enum Verdict : uint8_t { kNone, kPaired, kMissed, kUnknown };
struct Event {
  KBDLLHOOKSTRUCT hook;
  bool passedOver;  // the hook is never given it
  Verdict verdict;
  int verdicts;
};
Event events[kMaxEvents];
int eventCount, hookAt, rawAt, hookGiven;  // the next event each view takes; one past the last the hook took
bool apart;  // a view was once further ahead of the other than the pairing keeps
KeyEventPairing pairing;

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_pairing: %s\n", what);
  std::abort();
}
// A raw event carries its index in counterTime.
void Record(const KeyStroke& raw, Verdict verdict) {
  Check(++events[raw.counterTime].verdicts == 1, "a raw event got a second verdict");
  events[raw.counterTime].verdict = verdict;
}
constexpr PairingVerdicts kVerdicts = {
    [](const KeyStroke& hook, const KeyStroke& raw) {
      Check(apart || raw.own || hook.extraInfo == raw.extraInfo, "an event paired with another");
      Record(raw, kPaired);
    },
    [](const KeyStroke&) {}, [](const KeyStroke& raw, const KeyStroke*, int) { Record(raw, kMissed); },
    [](const KeyStroke&) {}, [](const KeyStroke& raw) { Record(raw, kUnknown); }};

void Step(bool hook) {
  if (hook && !events[hookAt].passedOver) {
    PairHookEvent(pairing, events[hookAt].hook, kVerdicts);
    hookGiven = hookAt + 1;
  } else if (!hook) {
    const KBDLLHOOKSTRUCT& h = events[rawAt].hook;
    const auto flags =
        static_cast<USHORT>(((h.flags & LLKHF_UP) ? RI_KEY_BREAK : 0) | ((h.flags & LLKHF_EXTENDED) ? RI_KEY_E0 : 0));
    const RAWKEYBOARD raw = {static_cast<USHORT>(h.scanCode), flags, 0, static_cast<USHORT>(h.vkCode), 0,
                             static_cast<ULONG>(h.dwExtraInfo)};
    PairRawEvent(pairing, raw, h.time, static_cast<uint64_t>(rawAt), kVerdicts);
  }
  ++(hook ? hookAt : rawAt);
  apart = apart || hookAt - rawAt > kUnmatchedCapacity || rawAt - hookGiven > kUnmatchedCapacity;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  eventCount = hookAt = rawAt = hookGiven = 0;
  apart = false;
  pairing = {};
  DWORD now = 0xFFFFF000;  // the tick count wraps within the first seconds
  uint32_t random = 0x9E3779B9u ^ static_cast<uint32_t>(size);
  for (size_t at = 0; at < size; at += 2) {
    const uint8_t op = data[at];
    const int n = (at + 1 < size ? data[at + 1] : 0) * ((op & 0x80) ? 16 : 1);
    for (int i = 0; i < n && (op & 3) == 0 && hookAt < eventCount; ++i) Step(true);
    for (int i = 0; i < n && (op & 3) == 1 && rawAt < eventCount; ++i) Step(false);
    if ((op & 3) == 2 && rawAt <= hookAt) ExpireUnmatchedRawEvents(pairing, now += n * 8, false, kVerdicts);
    for (int i = 0; i < n && (op & 3) == 3 && eventCount < kMaxEvents; ++i, ++eventCount) {
      random = random * 1664525u + 1013904223u;
      const auto scan = static_cast<DWORD>(1 + eventCount % 0x50);
      const bool own = (random >> 28) == 0, extended = (random & 0x200) && scan != 0x2A && scan != 0x36;
      const DWORD flags =
          ((random & 0x100) ? LLKHF_UP : 0) | (extended ? LLKHF_EXTENDED : 0) | (own ? LLKHF_INJECTED : 0);
      const ULONG_PTR extra = own ? kInjectionTag : static_cast<ULONG_PTR>(eventCount + 1);
      const bool passedOver = ((random >> 16) & 15) < ((op >> 2) & 7u);
      events[eventCount] = {{scan + 0x100, scan, flags, now, extra}, passedOver, kNone, 0};
    }
  }
  while (hookAt < eventCount || rawAt < eventCount) {
    if (hookAt < eventCount) Step(true);
    if (rawAt < eventCount) Step(false);
  }
  ExpireUnmatchedRawEvents(pairing, now + kLongestHookTimeMs, false, kVerdicts);
  for (int i = 0; i < eventCount; ++i) {
    const Event& e = events[i];
    Check(e.verdicts == 1, "a raw event got no verdict");
    Check(apart || !e.passedOver || e.verdict == kMissed, "a true miss was lost");
    Check(apart || e.passedOver || e.verdict != kMissed, "an event both views saw was missed");
  }
  return 0;
}
