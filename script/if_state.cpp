#include "if_state.h"

IfState gIfState;

namespace {
bool HasSlot(int level) { return level >= 0 && level <= kMaxIfLevel; }
}  // namespace

int32_t CurrentIfBranch() {
  if (gIfState.level > kMaxIfLevel) return kIfInSkippedText;
  return HasSlot(gIfState.level) ? gIfState.states[gIfState.level] : kIfNone;
}

void SetCurrentIfBranch(int32_t state) {
  if (HasSlot(gIfState.level)) gIfState.states[gIfState.level] = state;
}

void ClearIfState() { gIfState = IfState{}; }
