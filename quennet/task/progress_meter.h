// Paces progress reports (about ten a second) and measures the speed of what they count: the
// speed is always the rate at which the reported byte count grows, over the last few seconds.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>

namespace quennet {

class ProgressMeter {
 public:
  static constexpr ULONGLONG kIntervalMs = 100;
  static constexpr ULONGLONG kWindowMs = 3000;

  // Counting starts at `now` from nothing.
  void Begin(ULONGLONG now);
  // Records the count of package bytes the next report would show (kept bytes re-read or new
  // body bytes, never a request's other bytes); true when a report is due at `now`.
  bool Due(std::uint64_t counted, ULONGLONG now);
  // What a report shows: the highest count recorded since Begin, so it never goes backwards.
  std::uint64_t Downloaded() const { return highest_; }
  // Bytes per second by which Downloaded grew over the window that ends at the latest sample;
  // 0 while nothing has been counted.
  std::uint64_t Speed() const;

 private:
  struct Sample {
    ULONGLONG at;
    std::uint64_t counted;
  };
  std::deque<Sample> samples_;
  ULONGLONG lastReport_ = 0;
  bool reported_ = false;
  std::uint64_t highest_ = 0;
};

}  // namespace quennet
