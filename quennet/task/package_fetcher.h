// The network half of a task, run on its own thread: learns the package's size and index from
// a ranged request for its tail when the server serves ranges, then streams the body into the
// pipe, retrying transient failures and resuming with If-Range where it can.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "extract/package_extractor.h"
#include "net/http_exchange.h"
#include "net/url.h"
#include "task/byte_pipe.h"
#include "task/sha256.h"

namespace quennet {

struct FetchPlan {
  Url url;
  int attempts = 1;
  // > 0: the package's bytes [0, resumeFrom) are already kept; ask for the rest with If-Range.
  std::uint64_t resumeFrom = 0;
  std::wstring validator;      // for If-Range when resuming
  std::uint64_t knownSize = 0;  // the size seen by the attempt that left the kept bytes
  // The extractor to hand the tail to before the body (null: no tail is asked for).
  PackageExtractor* tailReader = nullptr;
  // Ends a blocking network call when the task is cancelled (may be null).
  RequestCanceller* canceller = nullptr;
};

// What the responses said about the package. Written by the network thread; read by others
// only after the pipe has ended (or the thread was joined).
struct PackageFacts {
  std::uint64_t size = 0;   // 0 while unknown
  std::wstring validator;   // strong ETag, else Last-Modified; "" when the server gave neither
  bool rangesServed = false;
  bool hasChecksum = false;
  Sha256Digest checksum = {};
};

class PackageFetcher {
 public:
  PackageFetcher(FetchPlan plan, BytePipe& pipe) : plan_(std::move(plan)), pipe_(pipe) {}

  // The thread's body: always ends the pipe with Finish.
  void Run();

  const PackageFacts& Facts() const { return facts_; }
  // For progress reports, from any thread.
  std::uint64_t Position() const { return position_.load(std::memory_order_relaxed); }
  std::uint64_t Received() const { return received_.load(std::memory_order_relaxed); }
  std::uint64_t Total() const { return total_.load(std::memory_order_relaxed); }

 private:
  NetResult FetchTailThenBody();
  NetResult FetchBody(std::uint64_t from, bool tailOffered);
  NetResult OfferTail(const std::vector<std::uint8_t>& tail, std::uint64_t tailStart);
  NetResult ReadAll(HttpExchange& exchange, std::uint64_t length, std::vector<std::uint8_t>* out);
  NetResult Stream(HttpExchange& exchange, std::uint64_t* position, std::uint64_t end);
  NetResult Push(const std::uint8_t* data, std::size_t size, std::uint64_t* position);
  void Learn(const HttpExchange& exchange, bool whole);
  bool Backoff(int tries);  // false when cancelled meanwhile
  NetResult StatusFailure(const HttpExchange& exchange);
  NetResult Cancelled() const;

  FetchPlan plan_;
  BytePipe& pipe_;
  HINTERNET session_ = nullptr;
  NetTimeouts timeouts_;
  PackageFacts facts_;
  std::atomic<std::uint64_t> position_{0};
  std::atomic<std::uint64_t> received_{0};
  std::atomic<std::uint64_t> total_{0};
};

// Parses "bytes FIRST-LAST/TOTAL" (TOTAL may be "*", giving 0).
bool ParseContentRange(const std::wstring& text, std::uint64_t* first, std::uint64_t* last,
                       std::uint64_t* total);

}  // namespace quennet
