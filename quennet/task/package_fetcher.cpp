#include "task/package_fetcher.h"

#include <algorithm>
#include <cwchar>

#include "quennet.h"
#include "win/error_text.h"

namespace quennet {
namespace {

// A ZIP's end record with the longest comment it can carry, plus the ZIP64 locator before it:
// enough for the extractor to find the central directory in one request.
constexpr std::uint64_t kTailRequestBytes = 65558;
constexpr std::size_t kReadPiece = 256 * 1024;
constexpr std::uint64_t kLargestTailInMemory = 64ull * 1024 * 1024;

std::wstring RangeHeaders(std::uint64_t first, std::uint64_t last, const std::wstring& validator) {
  std::wstring headers = L"Range: bytes=" + std::to_wstring(first) + L"-";
  if (last != 0) headers += std::to_wstring(last);
  headers += L"\r\n";
  if (!validator.empty()) headers += L"If-Range: " + validator + L"\r\n";
  return headers;
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

NetResult PackageFetcher::Cancelled() const {
  return NetResult::Fail(QUENNET_E_CANCELLED, L"任务已取消：" + plan_.url.text, false);
}

bool PackageFetcher::Backoff(int tries) {
  const DWORD delay = std::min<DWORD>(2000, 250u << std::min(tries - 1, 3));
  return !pipe_.SleepUnlessCancelled(delay);
}

NetResult PackageFetcher::StatusFailure(const HttpExchange& exchange) {
  // A server's own trouble (5xx) may pass; anything else is the answer.
  return NetResult::Fail(QUENNET_E_HTTP_STATUS,
                         L"服务器返回 " + DescribeStatus(exchange) + L"：" + exchange.FinalUrl().text,
                         exchange.Status() >= 500);
}

void PackageFetcher::Learn(const HttpExchange& exchange, bool whole) {
  const std::wstring etag = exchange.Header(L"ETag");
  const std::wstring modified = exchange.Header(L"Last-Modified");
  if (!etag.empty() && etag.rfind(L"W/", 0) != 0)
    facts_.validator = etag;
  else
    facts_.validator = modified;
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
  for (int tries = 1;; ++tries) {
    if (pipe_.Cancelled()) return Cancelled();
    HttpExchange exchange(session_, timeouts_, plan_.canceller);
    NetResult result =
        exchange.Open(plan_.url, L"GET", L"Range: bytes=-" + std::to_wstring(kTailRequestBytes) + L"\r\n");
    std::vector<std::uint8_t> tail;
    std::uint64_t first = 0, last = 0, total = 0;
    if (result.ok()) {
      const DWORD status = exchange.Status();
      if (status == 200) {
        // The server ignores ranges: this answer is the body itself.
        Learn(exchange, /*whole=*/true);
        facts_.rangesServed = false;
        std::uint64_t position = 0;
        result = Stream(exchange, &position, facts_.size);
        if (result.ok() || !result.transient || tries >= plan_.attempts) return result;
        if (!Backoff(tries)) return Cancelled();
        return FetchBody(position, false);
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
      if (!result.transient || tries >= plan_.attempts) return result;
      if (!Backoff(tries)) return Cancelled();
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
      for (int tries = 1;; ++tries) {
        if (pipe_.Cancelled()) return Cancelled();
        HttpExchange exchange(session_, timeouts_, plan_.canceller);
        fetched = exchange.Open(plan_.url, L"GET",
                                RangeHeaders(wanted.offset, wanted.offset + wanted.length - 1,
                                             facts_.validator));
        if (fetched.ok() && exchange.Status() != 206) {
          // The package changed since the first tail: skip the index. The body's If-Range
          // sees the change too and starts the extractor afresh.
          if (exchange.Status() == 200) return NetResult::Ok();
          fetched = StatusFailure(exchange);
        }
        if (fetched.ok()) fetched = ReadAll(exchange, wanted.length, &extra);
        if (fetched.ok() || !fetched.transient || tries >= plan_.attempts) break;
        if (!Backoff(tries)) return Cancelled();
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
    received_ += got;
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
  for (int tries = 1;; ++tries) {
    if (pipe_.Cancelled()) return Cancelled();
    const bool ranged = facts_.rangesServed && !facts_.validator.empty() && (position > 0 || tailOffered);
    HttpExchange exchange(session_, timeouts_, plan_.canceller);
    NetResult result =
        exchange.Open(plan_.url, L"GET", ranged ? RangeHeaders(position, 0, facts_.validator) : L"");
    if (result.ok()) {
      const DWORD status = exchange.Status();
      std::uint64_t first = 0, last = 0, total = 0;
      if (status == 416 && ranged && facts_.size != 0 && position == facts_.size) {
        return NetResult::Ok();  // the kept bytes were already the whole package
      } else if (status == 206 && ranged) {
        if (!ParseContentRange(exchange.Header(L"Content-Range"), &first, &last, &total) ||
            first != position) {
          return NetResult::Fail(QUENNET_E_HTTP_STATUS,
                                 L"服务器返回的范围与请求不符（请求从第 " + std::to_wstring(position) +
                                     L" 字节起，Content-Range：" + exchange.Header(L"Content-Range") +
                                     L"）：" + plan_.url.text,
                                 false);
        }
        if (total != 0) facts_.size = total;
        total_ = facts_.size;
        const std::wstring validator = facts_.validator;
        Learn(exchange, /*whole=*/false);
        if (facts_.validator.empty()) facts_.validator = validator;
        if (total != 0) facts_.size = total;
        total_ = facts_.size;
        result = Stream(exchange, &position, facts_.size != 0 ? facts_.size : last + 1);
      } else if (status == 200) {
        // A whole body: the package changed (If-Range failed) or ranges are not served. What
        // was kept or offered before belongs to another package.
        if (position > 0 || tailOffered) pipe_.StartOver();
        position = 0;
        tailOffered = false;
        position_ = 0;
        Learn(exchange, /*whole=*/true);
        result = Stream(exchange, &position, facts_.size);
      } else {
        result = StatusFailure(exchange);
      }
    }
    if (result.ok() || !result.transient || tries >= plan_.attempts) return result;
    if (!Backoff(tries)) return Cancelled();
  }
}

NetResult PackageFetcher::Stream(HttpExchange& exchange, std::uint64_t* position, std::uint64_t end) {
  for (;;) {
    std::uint8_t* at = nullptr;
    std::size_t room = 0;
    if (!pipe_.Reserve(kReadPiece, &at, &room)) return Cancelled();
    DWORD got = 0;
    NetResult result = exchange.Read(at, static_cast<DWORD>(room), &got);
    if (!result.ok()) return result;
    if (got == 0) break;
    pipe_.Commit(got);
    *position += got;
    position_ = *position;
    received_ += got;
  }
  if (end != 0 && *position < end)
    return NetResult::Fail(QUENNET_E_CONNECTION_DROPPED,
                           L"连接在下载完成前中断（收到 " + std::to_wstring(*position) + L" / " +
                               std::to_wstring(end) + L" 字节）：" + plan_.url.text,
                           true);
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
