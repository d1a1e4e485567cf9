// Velmora's own pairing of the hook's and raw input's views (tracking/key_event_pairing.h, linked),
// fed with what the observer saw in the order it saw it, and the verdicts it gave.
#pragma once

#include "tools/check/observer.h"
#include "tracking/key_event_pairing.h"

enum class PairKind { Paired, HookOnly, Missed, Unknown };

struct PairVerdict {
  PairKind kind;
  KeyStroke hook;  // Paired and HookOnly
  KeyStroke raw;   // Paired, Missed and Unknown
};

void PairObservedEvent(const ObservedEvent& event);

// Gives every raw event still waiting for the hook its verdict now.
void SettlePairing();

int VerdictMark();
const PairVerdict* VerdictAt(int index);

// The first verdict since mark whose hook view (or, for a missed event, raw view) has this scan
// code and direction and is Velmora's (own) or not; null when there is none.
const PairVerdict* FindVerdict(int mark, DWORD scanCode, bool up, bool own);

const char* PairKindName(PairKind kind);
