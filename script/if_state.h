// The nesting of IF blocks, shared by the interpreter's skipping rules and by the IF, ELSE
// and ENDIF functions. It exists once per process, like the script being run.
#pragma once
#include <stdint.h>

constexpr int kMaxIfLevel = 50;

enum IfBranch : int32_t {
  kIfNone = 0,           // no IF open at this level
  kIfRunning = 1,        // the branch now running is executed
  kIfSkipping = -1,      // the branch now running is skipped until ELSE or ENDIF
  kIfInSkippedText = 2,  // the whole block lies in skipped text; only its ENDIF counts
};

struct IfState {
  int level = 0;
  int32_t states[kMaxIfLevel + 1] = {};
};
extern IfState gIfState;

// The state at the current level. Levels above the last slot are only ever reached by IFs
// met in skipped text, so they read as kIfInSkippedText; below 0 reads as kIfNone.
int32_t CurrentIfBranch();
// Stores a state at the current level; a level without a slot keeps nothing.
void SetCurrentIfBranch(int32_t state);
// Level 0, every state kIfNone.
void ClearIfState();
