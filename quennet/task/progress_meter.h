// Paces progress reports (about ten a second) and measures the download speed over the last
// few seconds.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>

namespace quennet {

class ProgressMeter {
 public:
  static constexpr ULONGLONG kIntervalMs = 100;
  static constexpr ULONGLONG kWindowMs = 3000;

  void Begin(std::uint64_t received, ULONGLONG now);
  // True when a report is due at `now`; records a speed sample either way.
  bool Due(std::uint64_t received, ULONGLONG now);
  // Bytes per second over the window that ends at the latest sample.
  std::uint64_t Speed() const;
  // `downloaded` as reported: never below what was reported before in this attempt.
  std::uint64_t Downloaded(std::uint64_t position);

 private:
  struct Sample {
    ULONGLONG at;
    std::uint64_t received;
  };
  std::deque<Sample> samples_;
  ULONGLONG lastReport_ = 0;
  bool reported_ = false;
  std::uint64_t highest_ = 0;
};

}  // namespace quennet
