#include "tools/check/pairing_log.h"

namespace {

constexpr int kVerdictCapacity = 8192;

KeyEventPairing pairing;
PairVerdict verdicts[kVerdictCapacity];
int verdictCount = 0;

void Keep(PairKind kind, const KeyStroke* hook, const KeyStroke* raw) {
  if (verdictCount == kVerdictCapacity) return;
  PairVerdict& verdict = verdicts[verdictCount++];
  verdict = {kind, {}, {}};
  if (hook) verdict.hook = *hook;
  if (raw) verdict.raw = *raw;
}

void Paired(const KeyStroke& hook, const KeyStroke& raw) { Keep(PairKind::Paired, &hook, &raw); }
void HookOnly(const KeyStroke& hook) { Keep(PairKind::HookOnly, &hook, nullptr); }
void Missed(const KeyStroke& raw, const KeyStroke*, int) { Keep(PairKind::Missed, nullptr, &raw); }
void RawWaiting(const KeyStroke&) {}
void Unknown(const KeyStroke& raw) { Keep(PairKind::Unknown, nullptr, &raw); }

constexpr PairingVerdicts kVerdicts = {Paired, HookOnly, Missed, RawWaiting, Unknown};

}  // namespace

void PairObservedEvent(const ObservedEvent& event) {
  if (event.raw) {
    RAWKEYBOARD raw = {};
    raw.MakeCode = static_cast<USHORT>(event.scanCode);
    raw.Flags = static_cast<USHORT>(event.flags);
    raw.VKey = static_cast<USHORT>(event.virtualKey);
    raw.Message = static_cast<UINT>(event.message);
    raw.ExtraInformation = static_cast<ULONG>(event.extraInfo);
    PairRawEvent(pairing, raw, event.time, event.counter, kVerdicts);
  } else {
    KBDLLHOOKSTRUCT hook = {};
    hook.vkCode = event.virtualKey;
    hook.scanCode = event.scanCode;
    hook.flags = event.flags;
    hook.time = event.time;
    hook.dwExtraInfo = event.extraInfo;
    PairHookEvent(pairing, hook, kVerdicts);
  }
}

void SettlePairing() { ExpireUnmatchedRawEvents(pairing, GetTickCount(), true, kVerdicts); }

int VerdictMark() { return verdictCount; }
const PairVerdict* VerdictAt(int index) { return &verdicts[index]; }

const PairVerdict* FindVerdict(int mark, DWORD scanCode, bool up, bool own) {
  for (int i = mark; i < verdictCount; ++i) {
    const PairVerdict& verdict = verdicts[i];
    const bool rawOnly = verdict.kind == PairKind::Missed || verdict.kind == PairKind::Unknown;
    const KeyStroke& view = rawOnly ? verdict.raw : verdict.hook;
    if (view.viewScanCode == scanCode && view.up == up && view.own == own) return &verdict;
  }
  return nullptr;
}

const char* PairKindName(PairKind kind) {
  switch (kind) {
    case PairKind::Paired: return "paired";
    case PairKind::HookOnly: return "hook-only";
    case PairKind::Missed: return "raw-only";
    case PairKind::Unknown: return "unknown";
  }
  return "?";
}
