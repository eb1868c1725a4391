#include "task/package_fetcher.h"

#include <algorithm>
#include <cwchar>

#include "net/retry_schedule.h"
#include "quennet.h"
#include "win/error_text.h"

namespace quennet {
namespace {

// A ZIP's end record with the longest comment it can carry, plus the ZIP64 locator before it:
// enough for the extractor to find the central directory in one request.
constexpr std::uint64_t kTailRequestBytes = 65558;
constexpr std::size_t kReadPiece = 256 * 1024;
constexpr std::uint64_t kLargestTailInMemory = 64ull * 1024 * 1024;

// Compressed bytes do not survive a range request or a resume, and a server that compresses
// unasked would hand the extractor bytes that are not the package.
constexpr wchar_t kIdentityOnly[] = L"Accept-Encoding: identity\r\n";

std::wstring RangeHeaders(std::uint64_t first, std::uint64_t last, const std::wstring& validator) {
  std::wstring headers = L"Range: bytes=" + std::to_wstring(first) + L"-";
  if (last != 0) headers += std::to_wstring(last);
  headers += L"\r\n";
  if (!validator.empty()) headers += L"If-Range: " + validator + L"\r\n";
  return headers;
}

// A package that changes again and again under the download is not worth chasing further
// with ranges: it is then fetched whole.
constexpr unsigned kMostStartOvers = 3;

// The strong ETag, else Last-Modified.
std::wstring ValidatorOf(const HttpExchange& exchange) {
  const std::wstring etag = exchange.Header(L"ETag");
  if (!etag.empty() && etag.rfind(L"W/", 0) != 0) return etag;
  return exchange.Header(L"Last-Modified");
}

ContentCoding CodingOf(const HttpExchange& exchange) {
  return ClassifyContentEncoding(exchange.Header(L"Content-Encoding"));
}

}  // namespace

bool ParseContentRange(const std::wstring& text, std::uint64_t* first, std::uint64_t* last,
                       std::uint64_t* total) {
  unsigned long long a = 0, b = 0;
  wchar_t totalText[32] = {};
  if (swscanf(text.c_str(), L"bytes %llu-%llu/%31ls", &a, &b, totalText) != 3 || b < a)
    return false;
  *first = a;
  *last = b;
  *total = totalText[0] == L'*' ? 0 : std::wcstoull(totalText, nullptr, 10);
  return *total == 0 || b < *total;
}

void PackageFetcher::Run() {
  timeouts_ = TaskTimeouts();
  win::UniqueWinHttpHandle session = OpenSession(L"Quennet/1.0", timeouts_);
  NetResult result;
  if (!session) {
    result = WinHttpFailure(L"WinHttpOpen", ::GetLastError(), plan_.url.text);
  } else {
    session_ = session.get();
    if (plan_.resumeFrom > 0) {
      facts_.validator = plan_.validator;
      facts_.size = plan_.knownSize;
      facts_.rangesServed = true;
      total_ = plan_.knownSize;
      position_ = plan_.resumeFrom;
      result = FetchBody(plan_.resumeFrom, /*tailOffered=*/false);
    } else if (plan_.tailReader != nullptr) {
      result = FetchTailThenBody();
    } else {
      result = FetchBody(0, false);
    }
  }
  pipe_.Finish(std::move(result.outcome));
}

ResumableFacts PackageFetcher::Resumable() const {
  LockGuard guard(resumableLock_);
  return resumable_;
}

void PackageFetcher::PublishResumable() {
  LockGuard guard(resumableLock_);
  resumable_.known = true;
  resumable_.valid = RangesUsable() && facts_.size != 0;
  resumable_.validator = facts_.validator;
  resumable_.size = facts_.size;
  resumable_.startOvers = startOvers_;
}

void PackageFetcher::StartOver() {
  {
    LockGuard guard(resumableLock_);
    resumable_.valid = false;
    resumable_.startOvers = ++startOvers_;
  }
  pipe_.StartOver();
}

NetResult PackageFetcher::Cancelled() const {
  return NetResult::Fail(QUENNET_E_CANCELLED, L"任务已取消：" + plan_.url.text, false);
}

NetResult PackageFetcher::Open(HttpExchange& exchange, const std::wstring& headers) {
  return exchange.Open(plan_.url, L"GET", kIdentityOnly + headers);
}

NetResult PackageFetcher::StatusFailure(const HttpExchange& exchange) {
  // A server's own trouble (5xx) may pass; anything else is the answer.
  return NetResult::Fail(QUENNET_E_HTTP_STATUS,
                         L"服务器返回 " + DescribeStatus(exchange) + L"：" + exchange.FinalUrl().text,
                         exchange.Status() >= 500);
}

NetResult PackageFetcher::RefusedCoding(const HttpExchange& exchange) const {
  return NetResult::Fail(QUENNET_E_UNSUPPORTED_FORMAT,
                         L"服务器以 " + exchange.Header(L"Content-Encoding") +
                             L" 编码发送了包（本库只请求未编码的包，能解开的编码只有 gzip）：" +
                             exchange.FinalUrl().text,
                         false);
}

NetResult PackageFetcher::BodyCutByWinHttp(std::uint64_t position) const {
  // Another try would end at the same byte: the answer is final.
  return NetResult::Fail(QUENNET_E_CONNECTION_DROPPED,
                         L"系统的 HTTP 组件在 " + std::to_wstring(kWineLongestBody) +
                             L" 字节处结束了响应，而服务器不支持分段下载（Range），无法取得其余部分"
                             L"（已收到 " + std::to_wstring(position) + L" 字节）：" + plan_.url.text,
                         false);
}

void PackageFetcher::Learn(const HttpExchange& exchange, bool whole) {
  facts_.validator = ValidatorOf(exchange);
  if (whole) {
    std::uint64_t length = 0;
    facts_.size = exchange.ContentLength(&length) ? length : 0;
    facts_.rangesServed = _wcsicmp(exchange.Header(L"Accept-Ranges").c_str(), L"bytes") == 0;
  }
  Sha256Digest digest;
  facts_.hasChecksum = ExpectedSha256(exchange.Header(L"X-Checksum-SHA256"),
                                      exchange.Header(L"Digest"), &digest);
  if (facts_.hasChecksum) facts_.checksum = digest;
  total_ = facts_.size;
}

NetResult PackageFetcher::FetchTailThenBody() {
  RetrySchedule retry(plan_.attempts, timeouts_.retryBudgetMs);
  for (;;) {
    if (pipe_.Cancelled()) return Cancelled();
    HttpExchange exchange(session_, timeouts_, plan_.canceller);
    NetResult result = Open(exchange, L"Range: bytes=-" + std::to_wstring(kTailRequestBytes) + L"\r\n");
    std::vector<std::uint8_t> tail;
    std::uint64_t first = 0, last = 0, total = 0;
    if (result.ok()) {
      const DWORD status = exchange.Status();
      const ContentCoding coding = CodingOf(exchange);
      if ((status == 200 || status == 206) && coding == ContentCoding::kUnsupported)
        return RefusedCoding(exchange);
      if (status == 200) {
        // The server ignores ranges: this answer is the body itself.
        std::uint64_t position = 0;
        bool more = false;
        result = StreamWhole(exchange, coding, /*startsOver=*/false, /*rangesIgnored=*/true,
                             &position, &more);
        if (result.ok() && !more) return result;
        DWORD pause = 0;
        if (!result.ok() &&
            (!result.transient || !retry.NextPause(::GetTickCount64(), position > 0, &pause)))
          return result;
        if (!Pause(pause)) return Cancelled();
        return FetchBody(position, false);
      }
      if (status == 206 && coding != ContentCoding::kIdentity) {
        // A range of the compressed form is no range of the package: fetch it whole.
        Learn(exchange, /*whole=*/false);
        facts_.rangesServed = false;
        return FetchBody(0, false);
      }
      if (status == 416) return FetchBody(0, false);  // an empty package has no tail
      if (status != 206) {
        result = StatusFailure(exchange);
      } else if (!ParseContentRange(exchange.Header(L"Content-Range"), &first, &last, &total) ||
                 total == 0) {
        result = NetResult::Fail(QUENNET_E_HTTP_STATUS,
                                 L"服务器对尾部范围请求的回答无法识别（Content-Range：" +
                                     exchange.Header(L"Content-Range") + L"）：" + plan_.url.text,
                                 false);
      } else {
        Learn(exchange, /*whole=*/false);
        facts_.size = total;
        facts_.rangesServed = true;
        total_ = total;
        result = ReadAll(exchange, last - first + 1, &tail);
      }
    }
    if (!result.ok()) {
      DWORD pause = 0;
      if (!result.transient || !retry.NextPause(::GetTickCount64(), false, &pause)) return result;
      if (!Pause(pause)) return Cancelled();
      continue;
    }
    NetResult offered = OfferTail(tail, first);
    if (!offered.ok()) return offered;
    if (first == 0) {
      // The tail is the whole package.
      std::uint64_t position = 0;
      return Push(tail.data(), tail.size(), &position);
    }
    return FetchBody(0, /*tailOffered=*/true);
  }
}

NetResult PackageFetcher::OfferTail(const std::vector<std::uint8_t>& tail, std::uint64_t tailStart) {
  ByteRange wanted = plan_.tailReader->WantedTail(facts_.size);
  std::vector<std::uint8_t> extra;
  for (int rounds = 0; wanted.length != 0 && rounds < 4; ++rounds) {
    const std::uint8_t* data = nullptr;
    if (wanted.offset >= tailStart && wanted.offset + wanted.length <= tailStart + tail.size()) {
      data = tail.data() + (wanted.offset - tailStart);
    } else {
      if (wanted.length > kLargestTailInMemory || wanted.offset + wanted.length > facts_.size)
        return NetResult::Ok();  // not worth holding in memory: the extractor streams instead
      NetResult fetched;
      RetrySchedule retry(plan_.attempts, timeouts_.retryBudgetMs);
      for (;;) {
        if (pipe_.Cancelled()) return Cancelled();
        HttpExchange exchange(session_, timeouts_, plan_.canceller);
        fetched = Open(exchange, RangeHeaders(wanted.offset, wanted.offset + wanted.length - 1,
                                              facts_.validator));
        if (fetched.ok() && (exchange.Status() != 206 || CodingOf(exchange) != ContentCoding::kIdentity)) {
          // The package changed since the first tail (or the server compresses ranges): skip
          // the index. The body's If-Range sees a change too and starts the extractor afresh.
          if (exchange.Status() == 200 || exchange.Status() == 206) return NetResult::Ok();
          fetched = StatusFailure(exchange);
        }
        if (fetched.ok()) fetched = ReadAll(exchange, wanted.length, &extra);
        DWORD pause = 0;
        if (fetched.ok() || !fetched.transient ||
            !retry.NextPause(::GetTickCount64(), false, &pause))
          break;
        if (!Pause(pause)) return Cancelled();
      }
      if (!fetched.ok()) return fetched;
      data = extra.data();
    }
    ByteRange next;
    Outcome outcome = plan_.tailReader->OfferTail(wanted.offset, data,
                                                  static_cast<std::size_t>(wanted.length), &next);
    if (!outcome.ok()) return {std::move(outcome), false};
    wanted = next;
  }
  return NetResult::Ok();
}

NetResult PackageFetcher::ReadAll(HttpExchange& exchange, std::uint64_t length,
                                  std::vector<std::uint8_t>* out) {
  out->assign(static_cast<std::size_t>(length), 0);
  std::size_t done = 0;
  while (done < out->size()) {
    if (pipe_.Cancelled()) return Cancelled();
    DWORD got = 0;
    NetResult result = exchange.Read(out->data() + done,
                                     static_cast<DWORD>(std::min<std::size_t>(out->size() - done, kReadPiece)), &got);
    if (!result.ok()) return result;
    if (got == 0) break;
    done += got;
  }
  if (done != out->size())
    return NetResult::Fail(QUENNET_E_CONNECTION_DROPPED,
                           L"连接在范围请求完成前中断（收到 " + std::to_wstring(done) + L" / " +
                               std::to_wstring(out->size()) + L" 字节）：" + plan_.url.text,
                           true);
  return NetResult::Ok();
}

NetResult PackageFetcher::FetchBody(std::uint64_t from, bool tailOffered) {
  std::uint64_t position = from;
  RetrySchedule retry(plan_.attempts, timeouts_.retryBudgetMs);
  for (;;) {
    if (pipe_.Cancelled()) return Cancelled();
    const std::uint64_t before = position;
    bool more = false;
    NetResult result = FetchBodyOnce(&position, &tailOffered, &more);
    if (result.ok()) {
      // The next range, or the body again without ranges, is no new try.
      if (more) continue;
      return result;
    }
    DWORD pause = 0;
    if (!result.transient || !retry.NextPause(::GetTickCount64(), position > before, &pause))
      return result;
    if (!Pause(pause)) return Cancelled();
  }
}

NetResult PackageFetcher::FetchBodyOnce(std::uint64_t* position, bool* tailOffered, bool* more) {
  const bool ranged =
      RangesUsable() && (*position > 0 || *tailOffered || facts_.size > kBodyRangeSpan);
  // A body that would end past Wine's limit comes in ranges that each stay below it.
  std::uint64_t last = 0;
  if (ranged && facts_.size != 0 && facts_.size - *position > kBodyRangeSpan)
    last = *position + kBodyRangeSpan - 1;
  HttpExchange exchange(session_, timeouts_, plan_.canceller);
  NetResult result = Open(exchange, ranged ? RangeHeaders(*position, last, facts_.validator) : L"");
  if (!result.ok()) return result;
  const DWORD status = exchange.Status();
  const ContentCoding coding = CodingOf(exchange);
  if ((status == 200 || status == 206) && coding == ContentCoding::kUnsupported)
    return RefusedCoding(exchange);
  if (status == 416 && ranged && facts_.size != 0 && *position == facts_.size)
    return NetResult::Ok();  // the kept bytes were already the whole package
  if (status == 206 && ranged) {
    if (coding != ContentCoding::kIdentity) {
      // A range of the compressed form is no range of the package: ask for it whole.
      facts_.rangesServed = false;
      *more = true;
      return NetResult::Ok();
    }
    std::uint64_t first = 0, end = 0, total = 0;
    if (!ParseContentRange(exchange.Header(L"Content-Range"), &first, &end, &total) ||
        first != *position) {
      return NetResult::Fail(QUENNET_E_HTTP_STATUS,
                             L"服务器返回的范围与请求不符（请求从第 " + std::to_wstring(*position) +
                                 L" 字节起，Content-Range：" + exchange.Header(L"Content-Range") +
                                 L"）：" + plan_.url.text,
                             false);
    }
    const std::wstring validator = facts_.validator;
    Learn(exchange, /*whole=*/false);
    if (facts_.validator.empty()) facts_.validator = validator;
    if (total != 0) facts_.size = total;
    total_ = facts_.size;
    PublishResumable();
    result = Stream(exchange, position, end + 1);
    if (result.ok() && facts_.size != 0 && *position < facts_.size) *more = true;
    return result;
  }
  if (status == 200) {
    const bool startsOver = *position > 0 || *tailOffered;
    *tailOffered = false;
    // The whole body for a range: either If-Range found the package changed (a new validator)
    // or the server ignores ranges whatever Accept-Ranges says, which asking again would only
    // repeat.
    const bool rangesIgnored =
        ranged && (ValidatorOf(exchange) == facts_.validator || startOvers_ >= kMostStartOvers);
    return StreamWhole(exchange, coding, startsOver, rangesIgnored, position, more);
  }
  return StatusFailure(exchange);
}

NetResult PackageFetcher::StreamWhole(HttpExchange& exchange, ContentCoding coding,
                                      bool startsOver, bool rangesIgnored,
                                      std::uint64_t* position, bool* more) {
  // A whole body: the package changed (If-Range failed) or ranges are not served. What was
  // kept or offered before belongs to another package.
  if (startsOver) StartOver();
  *position = 0;
  position_ = 0;
  Learn(exchange, /*whole=*/true);
  if (rangesIgnored) facts_.rangesServed = false;
  if (coding == ContentCoding::kGzip) {
    // The length is the compressed one and ranges address compressed bytes: neither says
    // anything about the package, which cannot be resumed either.
    facts_.rangesServed = false;
    facts_.size = 0;
    total_ = 0;
    PublishResumable();
    return StreamDecoded(exchange, position);
  }
  PublishResumable();
  const std::uint64_t stopAt = RangesUsable() && facts_.size > kBodyRangeSpan ? kBodyRangeSpan : 0;
  NetResult result = Stream(exchange, position, facts_.size, stopAt);
  if (result.ok() && stopAt != 0 && *position < facts_.size) *more = true;
  return result;
}

NetResult PackageFetcher::Stream(HttpExchange& exchange, std::uint64_t* position, std::uint64_t end,
                                 std::uint64_t stopAt) {
  std::uint64_t thisResponse = 0;
  for (;;) {
    std::size_t most = kReadPiece;
    if (stopAt != 0) {
      if (*position >= stopAt) return NetResult::Ok();
      most = static_cast<std::size_t>(std::min<std::uint64_t>(most, stopAt - *position));
    }
    std::uint8_t* at = nullptr;
    std::size_t room = 0;
    if (!pipe_.Reserve(most, &at, &room)) return Cancelled();
    DWORD got = 0;
    NetResult result = exchange.Read(at, static_cast<DWORD>(room), &got);
    if (!result.ok()) return result;
    if (got == 0) break;
    pipe_.Commit(got);
    *position += got;
    position_ = *position;
    thisResponse += got;
  }
  if (thisResponse == kWineLongestBody && (end == 0 || *position < end))
    return BodyCutByWinHttp(*position);
  if (end != 0 && *position < end)
    return NetResult::Fail(QUENNET_E_CONNECTION_DROPPED,
                           L"连接在下载完成前中断（收到 " + std::to_wstring(*position) + L" / " +
                               std::to_wstring(end) + L" 字节）：" + plan_.url.text,
                           true);
  return NetResult::Ok();
}

NetResult PackageFetcher::StreamDecoded(HttpExchange& exchange, std::uint64_t* position) {
  GzipDecoder decoder;
  if (!decoder.Ready())
    return NetResult::Fail(QUENNET_E_INTERNAL, L"无法初始化 gzip 解码（内存不足）：" + plan_.url.text,
                           false);
  std::vector<std::uint8_t> raw(kReadPiece);
  std::uint64_t thisResponse = 0;
  for (;;) {
    if (pipe_.Cancelled()) return Cancelled();
    DWORD got = 0;
    NetResult result = exchange.Read(raw.data(), static_cast<DWORD>(raw.size()), &got);
    if (!result.ok()) return result;
    if (got == 0) break;
    thisResponse += got;
    for (std::size_t done = 0; done < got;) {
      std::uint8_t* at = nullptr;
      std::size_t room = 0;
      if (!pipe_.Reserve(kReadPiece, &at, &room)) return Cancelled();
      std::size_t used = 0, produced = 0;
      if (decoder.Decode(raw.data() + done, got - done, &used, at, room, &produced) !=
          GzipDecoder::Status::kOk)
        return NetResult::Fail(QUENNET_E_CORRUPT_ARCHIVE,
                               L"服务器以 gzip 编码发送的包无法解码（第 " +
                                   std::to_wstring(thisResponse - got + done) +
                                   L" 个编码字节附近数据损坏）：" + plan_.url.text,
                               false);
      pipe_.Commit(produced);
      *position += produced;
      position_ = *position;
      done += used;
      if (used == 0 && produced == 0) break;  // the decoder wants more input
    }
  }
  if (!decoder.AtMemberEnd()) {
    if (thisResponse == kWineLongestBody) return BodyCutByWinHttp(*position);
    return NetResult::Fail(QUENNET_E_CONNECTION_DROPPED,
                           L"连接在 gzip 编码的包结束前中断（已解出 " + std::to_wstring(*position) +
                               L" 字节）：" + plan_.url.text,
                           true);
  }
  // The package's size is what the coding held.
  facts_.size = *position;
  total_ = *position;
  return NetResult::Ok();
}

NetResult PackageFetcher::Push(const std::uint8_t* data, std::size_t size, std::uint64_t* position) {
  while (size > 0) {
    std::uint8_t* at = nullptr;
    std::size_t room = 0;
    if (!pipe_.Reserve(size, &at, &room)) return Cancelled();
    std::copy(data, data + room, at);
    pipe_.Commit(room);
    data += room;
    size -= room;
    *position += room;
    position_ = *position;
  }
  return NetResult::Ok();
}

}  // namespace quennet
