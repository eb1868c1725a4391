// The pipe's batching: a waiting consumer is handed data once a batch has gathered, at once
// when the pipe ends or starts over, and whatever there is when its wait is up; a producer
// handing over 8 KiB at a time wakes it about once per batch, not once per piece.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sync/win_sync.h"
#include "task/byte_pipe.h"

namespace quennet {
namespace {

void Put(BytePipe& pipe, std::size_t size, std::uint8_t value) {
  while (size > 0) {
    std::uint8_t* at = nullptr;
    std::size_t room = 0;
    ASSERT_TRUE(pipe.Reserve(size, &at, &room));
    std::memset(at, value, room);
    pipe.Commit(room);
    size -= room;
  }
}

struct WaitCase {
  const char* label;
  std::size_t batch;
  std::size_t committed;
  bool finish;      // the pipe ends after the bytes
  bool startOver;   // a start-over follows the bytes
  DWORD waitMs;
  bool atOnce;      // handed over well before the wait is up
};

TEST(BytePipeBatch, DataIsHandedOverAtABatchAtTheEndOrWhenTheWaitIsUp) {
  const WaitCase cases[] = {
      {"a whole batch", 4096, 4096, false, false, 5000, true},
      {"more than a batch", 4096, 10000, false, false, 5000, true},
      {"less than a batch", 4096, 100, false, false, 300, false},
      {"less than a batch, then the end", 4096, 100, true, false, 5000, true},
      {"less than a batch, then a start-over", 4096, 100, false, true, 5000, true},
      {"a batch larger than the ring", 1 << 20, 64 * 1024, false, false, 5000, true},
  };
  for (const WaitCase& c : cases) {
    SCOPED_TRACE(c.label);
    BytePipe pipe(64 * 1024, c.batch);
    Put(pipe, c.committed, 7);
    if (c.startOver) pipe.StartOver();
    if (c.finish) pipe.Finish(Outcome::Ok());
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    const ULONGLONG started = ::GetTickCount64();
    ASSERT_EQ(pipe.Next(c.waitMs, &data, &size), BytePipe::Event::kData);
    const ULONGLONG waited = ::GetTickCount64() - started;
    EXPECT_EQ(size, std::min<std::size_t>(c.committed, 64 * 1024));
    EXPECT_EQ(data[0], 7);
    if (c.atOnce) EXPECT_LT(waited, 2000u);
    else EXPECT_GE(waited + 20, c.waitMs);  // the tick advances in steps of about 16 ms
    pipe.Consumed(size);
    const auto after = pipe.Next(0, &data, &size);
    EXPECT_EQ(after, c.finish ? BytePipe::Event::kEnd
                              : c.startOver ? BytePipe::Event::kStartOver : BytePipe::Event::kTimeout);
  }
}

TEST(BytePipeBatch, ASteadyProducerWakesTheConsumerAboutOncePerBatch) {
  constexpr std::size_t kPiece = 8 * 1024;
  constexpr std::size_t kTotal = 16u << 20;
  constexpr std::size_t kBatch = 256 * 1024;
  BytePipe pipe(1 << 20, kBatch);
  WorkerThread producer;
  ASSERT_TRUE(producer.Start([&pipe] {
    for (std::size_t sent = 0; sent < kTotal; sent += kPiece) {
      std::uint8_t* at = nullptr;
      std::size_t room = 0;
      std::size_t piece = kPiece;
      while (piece > 0 && pipe.Reserve(piece, &at, &room)) {
        std::memset(at, static_cast<int>((sent / kPiece) & 0xFF), room);
        pipe.Commit(room);
        piece -= room;
      }
    }
    pipe.Finish(Outcome::Ok());
  }));
  std::size_t received = 0, handovers = 0;
  bool ordered = true;
  for (;;) {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    const auto event = pipe.Next(10000, &data, &size);
    if (event != BytePipe::Event::kData) {
      EXPECT_EQ(event, BytePipe::Event::kEnd);
      break;
    }
    for (std::size_t i = 0; i < size; i += kPiece / 2)
      ordered = ordered && data[i] == static_cast<std::uint8_t>(((received + i) / kPiece) & 0xFF);
    received += size;
    ++handovers;
    pipe.Consumed(size);
  }
  producer.Join();
  EXPECT_EQ(received, kTotal);
  EXPECT_TRUE(ordered);
  // One handover per 8 KiB piece would be 2048; a batch at a time is about 64 (the ring's end
  // splits a few).
  EXPECT_LT(handovers, 200u) << handovers;
}

}  // namespace
}  // namespace quennet
