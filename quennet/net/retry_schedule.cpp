#include "net/retry_schedule.h"

#include <algorithm>

namespace quennet {

RetrySchedule::RetrySchedule(int attempts, DWORD budgetMs)
    : attempts_(std::max(attempts, 1)), budgetMs_(budgetMs) {}

bool RetrySchedule::NextPause(ULONGLONG now, bool progressed, DWORD* pauseMs) {
  if (!lost_ || progressed) {
    lost_ = true;
    lostAt_ = now;
  }
  if (tries_ >= attempts_) return false;
  const ULONGLONG deadline = lostAt_ + budgetMs_;
  if (now >= deadline && budgetMs_ != 0) return false;
  const ULONGLONG remaining = deadline > now ? deadline - now : 0;
  // The next pause is the first of `left` pauses that double and add up to what remains.
  const int left = std::min(attempts_ - tries_, 31);
  const ULONGLONG shares = (1ull << left) - 1;
  ULONGLONG pause = remaining / shares;
  pause = std::max<ULONGLONG>(pause, kShortestPauseMs);
  if (remaining > 0) pause = std::min(pause, remaining);
  *pauseMs = static_cast<DWORD>(pause);
  ++tries_;
  return true;
}

}  // namespace quennet
