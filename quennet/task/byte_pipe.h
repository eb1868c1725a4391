// The bounded buffer between a task's network thread (producer) and its extraction thread
// (consumer). Memory stays at its fixed capacity whatever the package's size; the network
// thread waits only when the buffer is full, never for a write or an inflate in progress.
//
// WinHTTP hands over at most 8 KiB per read under Wine: waking the consumer for each would
// cost a thread switch per 8 KiB on both sides. The consumer is woken once a batch has
// gathered (or the pipe ends, starts over or is cancelled), and the producer only when it
// actually waits for room; a consumer that waited its whole time takes what is there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "extract/package_extractor.h"
#include "sync/win_sync.h"

namespace quennet {

class BytePipe {
 public:
  // `batch`: how much gathers before a waiting consumer is woken (capped at the capacity).
  explicit BytePipe(std::size_t capacity, std::size_t batch = kDefaultBatch);
  static constexpr std::size_t kDefaultBatch = 256 * 1024;

  // Producer. Reserve gives contiguous free space (at most `most` bytes), waiting while the
  // buffer is full; false once the pipe is cancelled.
  bool Reserve(std::size_t most, std::uint8_t** at, std::size_t* size);
  void Commit(std::size_t size);
  // The bytes committed after this call begin the package again at offset 0 (the package
  // changed under a resumed download, or the server ignored a range).
  void StartOver();
  void Finish(Outcome outcome);
  // Waits up to `milliseconds`; true when the pipe was cancelled meanwhile.
  bool SleepUnlessCancelled(DWORD milliseconds);

  // Consumer.
  enum class Event { kData, kStartOver, kEnd, kTimeout, kCancelled };
  // Waits up to `milliseconds` for the next event; data counts as an event once a batch has
  // gathered, or whatever there is when the time is up. For kData, [*data, *data + *size)
  // stays valid until Consumed.
  Event Next(DWORD milliseconds, const std::uint8_t** data, std::size_t* size);
  void Consumed(std::size_t size);
  Outcome EndOutcome();

  // Either side, or the task's owner: wakes both sides for good.
  void Cancel();
  bool Cancelled();

 private:
  bool BatchReady() const;

  std::vector<std::uint8_t> ring_;
  const std::size_t batch_;
  SrwLock lock_;
  ConditionVariable changed_;
  bool producerWaits_ = false;
  bool consumerWaits_ = false;
  std::uint64_t produced_ = 0;
  std::uint64_t consumed_ = 0;
  std::vector<std::uint64_t> startOvers_;  // positions in the produced count, in order
  bool finished_ = false;
  bool cancelled_ = false;
  Outcome end_;
};

}  // namespace quennet
