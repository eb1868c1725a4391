#include "task/progress_meter.h"

namespace quennet {

void ProgressMeter::Begin(std::uint64_t received, ULONGLONG now) {
  samples_.clear();
  samples_.push_back({now, received});
  reported_ = false;
  highest_ = 0;
}

bool ProgressMeter::Due(std::uint64_t received, ULONGLONG now) {
  if (samples_.empty() || now - samples_.back().at >= 50) samples_.push_back({now, received});
  while (samples_.size() > 2 && now - samples_[1].at >= kWindowMs) samples_.pop_front();
  if (reported_ && now - lastReport_ < kIntervalMs) return false;
  reported_ = true;
  lastReport_ = now;
  return true;
}

std::uint64_t ProgressMeter::Speed() const {
  if (samples_.size() < 2) return 0;
  const Sample& first = samples_.front();
  const Sample& last = samples_.back();
  const ULONGLONG elapsed = last.at - first.at;
  if (elapsed == 0 || last.received < first.received) return 0;
  return (last.received - first.received) * 1000 / elapsed;
}

std::uint64_t ProgressMeter::Downloaded(std::uint64_t position) {
  if (position > highest_) highest_ = position;
  return highest_;
}

}  // namespace quennet
