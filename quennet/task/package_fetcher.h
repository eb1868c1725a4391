// The network half of a task, run on its own thread: learns the package's size and index from
// a ranged request for its tail when the server serves ranges, then streams the body into the
// pipe (as ranges below Wine's body limit when it is that long), decoding a gzip coding the
// server applied anyway, retrying transient failures and resuming with If-Range where it can.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "extract/package_extractor.h"
#include "net/content_coding.h"
#include "net/http_exchange.h"
#include "net/url.h"
#include "sync/win_sync.h"
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

// The facts a kept partial file can be continued with, as the network thread last saw them.
// `startOvers` counts the times the fetcher began the package again before these facts held:
// they describe the kept bytes only once the consumer has seen as many start-overs.
struct ResumableFacts {
  bool known = false;  // a response to a body request has been seen
  bool valid = false;  // ranges served and a validator given
  std::wstring validator;
  std::uint64_t size = 0;
  unsigned startOvers = 0;
};

class PackageFetcher {
 public:
  PackageFetcher(FetchPlan plan, BytePipe& pipe) : plan_(std::move(plan)), pipe_(pipe) {}

  // The thread's body: always ends the pipe with Finish.
  void Run();

  const PackageFacts& Facts() const { return facts_; }
  // For progress reports, from any thread.
  // Package bytes handed to the pipe (kept bytes of a resume included).
  std::uint64_t Position() const { return position_.load(std::memory_order_relaxed); }
  std::uint64_t Total() const { return total_.load(std::memory_order_relaxed); }
  ResumableFacts Resumable() const;

 private:
  NetResult FetchTailThenBody();
  NetResult FetchBody(std::uint64_t from, bool tailOffered);
  // One request of the body from *position. *more: it ended well and the rest of the body
  // follows in another request (the next range, or the whole body without ranges).
  NetResult FetchBodyOnce(std::uint64_t* position, bool* tailOffered, bool* more);
  // A 200 answer. `startsOver`: bytes before it were of another package (or offered from its
  // tail); `rangesIgnored`: it answers a Range request, so ranges are not served whatever the
  // headers say.
  NetResult StreamWhole(HttpExchange& exchange, ContentCoding coding, bool startsOver,
                        bool rangesIgnored, std::uint64_t* position, bool* more);
  NetResult OfferTail(const std::vector<std::uint8_t>& tail, std::uint64_t tailStart);
  NetResult ReadAll(HttpExchange& exchange, std::uint64_t length, std::vector<std::uint8_t>* out);
  // Streams the response into the pipe up to `end` (0: its own end), stopping early at
  // `stopAt` (0: never).
  NetResult Stream(HttpExchange& exchange, std::uint64_t* position, std::uint64_t end,
                   std::uint64_t stopAt = 0);
  NetResult StreamDecoded(HttpExchange& exchange, std::uint64_t* position);
  NetResult Push(const std::uint8_t* data, std::size_t size, std::uint64_t* position);
  NetResult Open(HttpExchange& exchange, const std::wstring& headers);
  void Learn(const HttpExchange& exchange, bool whole);
  void PublishResumable();
  void StartOver();
  bool RangesUsable() const { return facts_.rangesServed && !facts_.validator.empty(); }
  // false when cancelled meanwhile
  bool Pause(DWORD milliseconds) { return !pipe_.SleepUnlessCancelled(milliseconds); }
  NetResult StatusFailure(const HttpExchange& exchange);
  NetResult RefusedCoding(const HttpExchange& exchange) const;
  NetResult BodyCutByWinHttp(std::uint64_t position) const;
  NetResult Cancelled() const;

  FetchPlan plan_;
  BytePipe& pipe_;
  HINTERNET session_ = nullptr;
  NetTimeouts timeouts_;
  PackageFacts facts_;
  std::atomic<std::uint64_t> position_{0};
  std::atomic<std::uint64_t> total_{0};
  mutable SrwLock resumableLock_;
  ResumableFacts resumable_;
  unsigned startOvers_ = 0;
};

// Parses "bytes FIRST-LAST/TOTAL" (TOTAL may be "*", giving 0).
bool ParseContentRange(const std::wstring& text, std::uint64_t* first, std::uint64_t* last,
                       std::uint64_t* total);

}  // namespace quennet
