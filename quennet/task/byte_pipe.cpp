#include "task/byte_pipe.h"

#include <algorithm>

namespace quennet {

BytePipe::BytePipe(std::size_t capacity, std::size_t batch)
    : ring_(capacity), batch_(std::max<std::size_t>(1, std::min(batch, capacity))) {}

bool BytePipe::BatchReady() const {
  return produced_ - consumed_ >= batch_ || finished_ || cancelled_ || !startOvers_.empty();
}

bool BytePipe::Reserve(std::size_t most, std::uint8_t** at, std::size_t* size) {
  LockGuard guard(lock_);
  const std::uint64_t capacity = ring_.size();
  while (!cancelled_ && produced_ - consumed_ == capacity) {
    producerWaits_ = true;
    changed_.Wait(lock_);
  }
  producerWaits_ = false;
  if (cancelled_) return false;
  const std::size_t start = static_cast<std::size_t>(produced_ % capacity);
  const std::size_t free = static_cast<std::size_t>(capacity - (produced_ - consumed_));
  *at = ring_.data() + start;
  *size = std::min({most, free, ring_.size() - start});
  return true;
}

void BytePipe::Commit(std::size_t size) {
  if (size == 0) return;
  LockGuard guard(lock_);
  produced_ += size;
  if (consumerWaits_ && BatchReady()) changed_.NotifyAll();
}

void BytePipe::StartOver() {
  LockGuard guard(lock_);
  startOvers_.push_back(produced_);
  changed_.NotifyAll();
}

void BytePipe::Finish(Outcome outcome) {
  LockGuard guard(lock_);
  finished_ = true;
  end_ = std::move(outcome);
  changed_.NotifyAll();
}

bool BytePipe::SleepUnlessCancelled(DWORD milliseconds) {
  const ULONGLONG until = ::GetTickCount64() + milliseconds;
  LockGuard guard(lock_);
  while (!cancelled_) {
    const ULONGLONG now = ::GetTickCount64();
    if (now >= until) break;
    changed_.WaitFor(lock_, static_cast<DWORD>(until - now));
  }
  return cancelled_;
}

BytePipe::Event BytePipe::Next(DWORD milliseconds, const std::uint8_t** data, std::size_t* size) {
  LockGuard guard(lock_);
  const ULONGLONG until = ::GetTickCount64() + milliseconds;
  for (bool timeUp = false;; ) {
    if (cancelled_) return Event::kCancelled;
    if (!startOvers_.empty() && startOvers_.front() == consumed_) {
      startOvers_.erase(startOvers_.begin());
      return Event::kStartOver;
    }
    if (produced_ > consumed_ && (timeUp || BatchReady())) {
      std::uint64_t limit = produced_;
      if (!startOvers_.empty()) limit = std::min(limit, startOvers_.front());
      const std::uint64_t capacity = ring_.size();
      const std::size_t start = static_cast<std::size_t>(consumed_ % capacity);
      *data = ring_.data() + start;
      *size = static_cast<std::size_t>(std::min<std::uint64_t>(limit - consumed_, capacity - start));
      return Event::kData;
    }
    if (finished_) return Event::kEnd;
    if (timeUp) return Event::kTimeout;
    const ULONGLONG now = ::GetTickCount64();
    if (now >= until) {
      timeUp = true;
      continue;
    }
    consumerWaits_ = true;
    changed_.WaitFor(lock_, static_cast<DWORD>(until - now));
    consumerWaits_ = false;
  }
}

void BytePipe::Consumed(std::size_t size) {
  LockGuard guard(lock_);
  consumed_ += size;
  if (producerWaits_) changed_.NotifyAll();
}

Outcome BytePipe::EndOutcome() {
  LockGuard guard(lock_);
  return end_;
}

void BytePipe::Cancel() {
  LockGuard guard(lock_);
  cancelled_ = true;
  changed_.NotifyAll();
}

bool BytePipe::Cancelled() {
  LockGuard guard(lock_);
  return cancelled_;
}

}  // namespace quennet
