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
constexpr uint16_t kDistinctKeys = 0x50;

enum class Verdict : uint8_t { None, Paired, Missed, Unknown };

struct Event {
  KBDLLHOOKSTRUCT hook;
  bool passedOver;  // the hook is never given it
  Verdict verdict;
  int verdicts;
};

Event events[kMaxEvents];
int eventCount;
bool apart;  // a view was once further ahead of the other than the pairing keeps

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_pairing: %s\n", what);
  std::abort();
}

// Raw events carry their index in counterTime.
void Record(const KeyStroke& raw, Verdict verdict) {
  Event& e = events[raw.counterTime];
  Check(++e.verdicts == 1, "a raw event got a second verdict");
  e.verdict = verdict;
}
void Paired(const KeyStroke& hook, const KeyStroke& raw) {
  Check(apart || raw.own || hook.extraInfo == raw.extraInfo, "an event paired with another");
  Record(raw, Verdict::Paired);
}
void Missed(const KeyStroke& raw, const KeyStroke*, int) { Record(raw, Verdict::Missed); }
void Unknown(const KeyStroke& raw) { Record(raw, Verdict::Unknown); }
void HookOnly(const KeyStroke&) {}
void Waiting(const KeyStroke&) {}
constexpr PairingVerdicts kVerdicts = {Paired, HookOnly, Missed, Waiting, Unknown};

struct Run {
  KeyEventPairing pairing;
  DWORD now;
  int hookAt, rawAt;  // the next event each view is given
  int hookGiven;      // one past the last event the hook was given
  uint32_t random;
};

uint32_t Next(Run& r) {
  r.random ^= r.random << 13;
  r.random ^= r.random >> 17;
  r.random ^= r.random << 5;
  return r.random;
}

void Grow(Run& r, int n, int passOverIn16) {
  for (; n > 0 && eventCount < kMaxEvents; --n) {
    const uint32_t bits = Next(r);
    const auto scan = static_cast<DWORD>(1 + eventCount % kDistinctKeys);
    const bool own = (bits & 0x70) == 0;
    DWORD flags = ((bits & 1) ? LLKHF_UP : 0) | ((bits & 2) && scan != 0x2A && scan != 0x36 ? LLKHF_EXTENDED : 0);
    if (own) flags |= LLKHF_INJECTED;
    const ULONG_PTR extra = own ? kInjectionTag : static_cast<ULONG_PTR>(eventCount + 1);
    events[eventCount] = {{scan + 0x100, scan, flags, r.now, extra}, static_cast<int>((bits >> 8) & 15) < passOverIn16,
                          Verdict::None, 0};
    ++eventCount;
  }
}

void NoteDistance(const Run& r) {
  if (r.hookAt - r.rawAt > kUnmatchedCapacity || r.rawAt - r.hookGiven > kUnmatchedCapacity) apart = true;
}

void HookStep(Run& r) {
  const Event& e = events[r.hookAt++];
  if (!e.passedOver) {
    PairHookEvent(r.pairing, e.hook, kVerdicts);
    r.hookGiven = r.hookAt;
  }
  NoteDistance(r);
}

void RawStep(Run& r) {
  const int index = r.rawAt++;
  const KBDLLHOOKSTRUCT& h = events[index].hook;
  const USHORT flags = ((h.flags & LLKHF_UP) ? RI_KEY_BREAK : 0) | ((h.flags & LLKHF_EXTENDED) ? RI_KEY_E0 : 0);
  const RAWKEYBOARD raw = {static_cast<USHORT>(h.scanCode), flags, 0, static_cast<USHORT>(h.vkCode), 0,
                           static_cast<ULONG>(h.dwExtraInfo)};
  PairRawEvent(r.pairing, raw, h.time, static_cast<uint64_t>(index), kVerdicts);
  NoteDistance(r);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  eventCount = 0;
  apart = false;
  Run r = {};
  r.now = 0xFFFFF000;  // the tick count wraps within the first seconds
  r.random = 0x9E3779B9u ^ static_cast<uint32_t>(size);
  for (size_t at = 0; at < size; at += 2) {
    const uint8_t op = data[at];
    const int n = (at + 1 < size ? data[at + 1] : 0) * ((op & 0x80) ? 16 : 1);
    switch (op & 3) {
      case 0:
        for (int i = 0; i < n && r.hookAt < eventCount; ++i) HookStep(r);
        break;
      case 1:
        for (int i = 0; i < n && r.rawAt < eventCount; ++i) RawStep(r);
        break;
      case 2:
        if (r.rawAt > r.hookAt) break;
        r.now += static_cast<DWORD>(n) * 8;
        ExpireUnmatchedRawEvents(r.pairing, r.now, false, kVerdicts);
        break;
      default:
        Grow(r, n, (op >> 2) & 7);
    }
  }
  while (r.hookAt < eventCount || r.rawAt < eventCount) {
    if (r.hookAt < eventCount) HookStep(r);
    if (r.rawAt < eventCount) RawStep(r);
  }
  ExpireUnmatchedRawEvents(r.pairing, r.now + kLongestHookTimeMs, false, kVerdicts);
  for (int i = 0; i < eventCount; ++i) {
    const Event& e = events[i];
    Check(e.verdicts == 1, "a raw event got no verdict");
    if (apart) continue;
    Check(!e.passedOver || e.verdict == Verdict::Missed, "a true miss was lost");
    Check(e.passedOver || e.verdict != Verdict::Missed, "an event both views saw was missed");
  }
  return 0;
}
