#include "task/progress_meter.h"

namespace quennet {

void ProgressMeter::Begin(ULONGLONG now) {
  samples_.clear();
  highest_ = 0;
  samples_.push_back({now, 0});
  reported_ = false;
}

bool ProgressMeter::Due(std::uint64_t counted, ULONGLONG now) {
  if (counted > highest_) highest_ = counted;
  if (samples_.empty() || now - samples_.back().at >= 50) samples_.push_back({now, highest_});
  while (samples_.size() > 2 && now - samples_[1].at >= kWindowMs) samples_.pop_front();
  if (reported_ && now - lastReport_ < kIntervalMs) return false;
  reported_ = true;
  lastReport_ = now;
  return true;
}

std::uint64_t ProgressMeter::Speed() const {
  if (samples_.size() < 2 || highest_ == 0) return 0;
  const Sample& first = samples_.front();
  const Sample& last = samples_.back();
  const ULONGLONG elapsed = last.at - first.at;
  if (elapsed == 0) return 0;
  return (last.counted - first.counted) * 1000 / elapsed;
}

}  // namespace quennet
