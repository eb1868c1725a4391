// When to try a failed network step again, and when to give up: a limited number of tries
// spread over a time budget, each pause twice the one before.
#pragma once

#include <windows.h>

#include <cstdint>

namespace quennet {

class RetrySchedule {
 public:
  // The shortest pause, so that a tiny budget or a long list of tries still leaves the server a
  // moment between two of them.
  static constexpr DWORD kShortestPauseMs = 50;

  // `attempts` tries in all (the first one included); `budgetMs` from the moment the server
  // was lost to the start of the last try.
  RetrySchedule(int attempts, DWORD budgetMs);

  // A try failed at `now` in a way worth another. `progressed`: that try moved the download
  // forward, so the server had not been lost before it (the budget starts again). True with the
  // pause before the next try; false when the tries or the budget are spent.
  //
  // The pauses left form a doubling series that ends with the budget: with 5 tries and 60 s,
  // 4, 8, 16 and 32 s when each try fails at once. Time a failing try itself takes (a connect
  // or stall timeout) comes off the pauses that follow, never on top of the budget.
  bool NextPause(ULONGLONG now, bool progressed, DWORD* pauseMs);

  int TriesMade() const { return tries_; }

 private:
  int attempts_;
  DWORD budgetMs_;
  int tries_ = 1;  // the first try is under way when the schedule is made
  bool lost_ = false;
  ULONGLONG lostAt_ = 0;
};

}  // namespace quennet
