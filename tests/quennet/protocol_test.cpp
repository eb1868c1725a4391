// The parts of the network half that parse what a server says, and the pipe's ordering rules,
// checked in-process against tables of cases.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "net/url.h"
#include "task/byte_pipe.h"
#include "task/package_fetcher.h"
#include "task/package_sink.h"
#include "task/progress_meter.h"
#include "task/sha256.h"

namespace quennet {
namespace {

// SHA-256("abc") in the two forms a server may use.
constexpr wchar_t kAbcHex[] = L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr wchar_t kAbcBase64[] = L"ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=";

TEST(ExpectedSha256, ReadsEitherHeaderAndRejectsAnythingElse) {
  struct Case {
    const wchar_t* checksum;
    const wchar_t* digest;
    bool found;
  } cases[] = {
      {kAbcHex, L"", true},
      {L"  BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD ", L"", true},
      {L"", L"sha-256=ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=", true},
      {L"", L"md5=Q2hlY2sgSW50ZWdyaXR5IQ==, SHA-256=ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=", true},
      {L"not hex at all", L"sha-256=ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=", true},
      {L"ba7816bf", L"", false},                         // too short
      {L"", L"md5=Q2hlY2sgSW50ZWdyaXR5IQ==", false},      // no SHA-256 offered
      {L"", L"sha-256=ungWv48Bz+pBQUDeXa4iI7ADYaOW", false},  // too short
      {L"", L"sha-256=un!Wv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=", false},
      {L"", L"", false},
  };
  for (const Case& c : cases) {
    Sha256Digest digest = {};
    EXPECT_EQ(ExpectedSha256(c.checksum, c.digest, &digest), c.found) << c.checksum << c.digest;
    if (c.found) EXPECT_EQ(ToHex(digest), kAbcHex) << c.checksum << c.digest;
  }
}

TEST(Sha256, MatchesTheKnownDigestFedInPieces) {
  Sha256 hash;
  long error = 0;
  ASSERT_TRUE(hash.Reset(&error)) << error;
  hash.Update(reinterpret_cast<const std::uint8_t*>("a"), 1);
  hash.Update(reinterpret_cast<const std::uint8_t*>("bc"), 2);
  Sha256Digest digest = {};
  ASSERT_TRUE(hash.Finish(&digest));
  EXPECT_EQ(ToHex(digest), kAbcHex);
}

TEST(ParseContentRange, AcceptsOnlyConsistentRanges) {
  struct Case {
    const wchar_t* text;
    bool ok;
    std::uint64_t first, last, total;
  } cases[] = {
      {L"bytes 0-99/100", true, 0, 99, 100},
      {L"bytes 1468188-1533745/1533746", true, 1468188, 1533745, 1533746},
      {L"bytes 5000000000-5000000001/6000000000", true, 5000000000ull, 5000000001ull, 6000000000ull},
      {L"bytes 10-19/*", true, 10, 19, 0},
      {L"bytes 10-9/100", false, 0, 0, 0},
      {L"bytes 0-100/100", false, 0, 0, 0},
      {L"bytes */100", false, 0, 0, 0},
      {L"items 0-1/2", false, 0, 0, 0},
      {L"", false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    std::uint64_t first = 0, last = 0, total = 0;
    EXPECT_EQ(ParseContentRange(c.text, &first, &last, &total), c.ok) << c.text;
    if (c.ok) EXPECT_EQ((std::vector<std::uint64_t>{first, last, total}),
                        (std::vector<std::uint64_t>{c.first, c.last, c.total})) << c.text;
  }
}

TEST(Url, ParsesHttpAndResolvesRedirectTargets) {
  Url base;
  ASSERT_TRUE(ParseUrl(L"https://localhost:47443/packages/a/155M?x=1", &base));
  EXPECT_TRUE(base.secure);
  EXPECT_EQ(base.port, 47443);
  EXPECT_EQ(base.pathAndQuery, L"/packages/a/155M?x=1");
  EXPECT_EQ(base.LastSegment(), L"155M");
  struct Case {
    const wchar_t* location;
    const wchar_t* resolved;
  } cases[] = {
      {L"http://other/x", L"http://other/x"},
      {L"//other:8080/y", L"https://other:8080/y"},
      {L"/files/z.zip", L"https://localhost:47443/files/z.zip"},
      {L"b/c.zip", L"https://localhost:47443/packages/a/b/c.zip"},
      // Another scheme stays itself, for ParseUrl to refuse, instead of becoming a path.
      {L"ftp://mirror/c.zip", L"ftp://mirror/c.zip"},
      {L"FILE:///c:/c.zip", L"FILE:///c:/c.zip"},
      {L"svn+ssh://h/c.zip", L"svn+ssh://h/c.zip"},
      {L"./ftp:x.zip", L"https://localhost:47443/packages/a/./ftp:x.zip"},
      {L"c d:x.zip", L"https://localhost:47443/packages/a/c d:x.zip"},
  };
  for (const Case& c : cases) EXPECT_EQ(ResolveLocation(base, c.location), c.resolved);
  for (const wchar_t* refused : {L"ftp://mirror/c.zip", L"file:///c:/c.zip", L"gopher://h/x",
                                 L"data:application/zip;base64,UEsFBg=="}) {
    Url url;
    EXPECT_FALSE(ParseUrl(refused, &url)) << refused;
  }
  for (const wchar_t* bad : {L"", L"ftp://host/x", L"localhost/x", L"http://", L"not a url"}) {
    Url url;
    EXPECT_FALSE(ParseUrl(bad, &url)) << bad;
  }
}

TEST(KeptPaths, NameTheFileAfterTheUrlSafely) {
  struct Case {
    const wchar_t* url;
    const wchar_t* name;
  } cases[] = {
      {L"http://h/packages/155M", L"155M"},
      {L"http://h/files/game.zip?drop_after=5", L"game.zip"},
      {L"http://h/", L"package"},
      {L"http://h/a/CON.zip", L"package"},
      {L"http://h/a/com1", L"package"},
      {L"http://h/a/x%3A..", L"x_3A"},
  };
  for (const Case& c : cases) {
    Url url;
    ASSERT_TRUE(ParseUrl(c.url, &url)) << c.url;
    const KeptPaths paths = KeptPathsFor(L"C:\\dl\\", url);
    EXPECT_EQ(paths.final, std::wstring(L"C:\\dl\\") + c.name) << c.url;
    EXPECT_EQ(paths.partial, paths.final + L".part");
  }
  Url url;
  ParseUrl(L"http://h/x.zip", &url);
  EXPECT_TRUE(KeptPathsFor(nullptr, url).folder.empty());
}

// Drains the pipe into a transcript: data bytes as they are, a start-over as '|', the end '$'.
std::string Drain(BytePipe& pipe) {
  std::string seen;
  for (;;) {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    switch (pipe.Next(1000, &data, &size)) {
      case BytePipe::Event::kData:
        size = std::min<std::size_t>(size, 3);  // consume in odd pieces
        seen.append(reinterpret_cast<const char*>(data), size);
        pipe.Consumed(size);
        break;
      case BytePipe::Event::kStartOver:
        seen += '|';
        break;
      case BytePipe::Event::kEnd:
        return seen + '$';
      default:
        return seen + '?';
    }
  }
}

void Put(BytePipe& pipe, const char* text) {
  std::size_t left = std::strlen(text);
  while (left > 0) {
    std::uint8_t* at = nullptr;
    std::size_t room = 0;
    ASSERT_TRUE(pipe.Reserve(left, &at, &room));
    std::memcpy(at, text, room);
    pipe.Commit(room);
    text += room;
    left -= room;
  }
}

TEST(BytePipe, KeepsStartOversInStreamOrderAcrossTheRingsEnd) {
  BytePipe pipe(8);
  Put(pipe, "abcde");
  EXPECT_EQ(Drain(pipe).substr(0, 5), "abcde");  // the pipe has not ended: '?' after a timeout
  Put(pipe, "fgh");  // wraps around the 8-byte ring
  pipe.StartOver();
  Put(pipe, "ABC");
  pipe.StartOver();
  pipe.Finish(Outcome::Ok());
  EXPECT_EQ(Drain(pipe), "fgh|ABC|$");
}

TEST(BytePipe, CancelWakesAWaitingProducer) {
  BytePipe pipe(4);
  Put(pipe, "full");
  WorkerThread canceller;
  canceller.Start([&pipe] {
    ::Sleep(50);
    pipe.Cancel();
  });
  std::uint8_t* at = nullptr;
  std::size_t room = 0;
  EXPECT_FALSE(pipe.Reserve(4, &at, &room));
  canceller.Join();
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  EXPECT_EQ(pipe.Next(0, &data, &size), BytePipe::Event::kCancelled);
}

TEST(ProgressMeter, PacesReportsAndMeasuresWhatItCountsOverTheWindow) {
  ProgressMeter meter;
  meter.Begin(1000);
  // Nothing counted yet (a tail request in flight, say): no speed, whatever time passes.
  EXPECT_TRUE(meter.Due(0, 1000));
  EXPECT_FALSE(meter.Due(0, 1050));
  EXPECT_TRUE(meter.Due(0, 1100));
  EXPECT_EQ(meter.Speed(), 0u);
  for (ULONGLONG t = 1200; t <= 9000; t += 100) meter.Due((t - 1100) * 1000, t);  // 1 MB/s
  EXPECT_NEAR(static_cast<double>(meter.Speed()), 1e6, 1e4);
  for (ULONGLONG t = 9100; t <= 13000; t += 100) meter.Due(7900000, t);  // then nothing
  EXPECT_EQ(meter.Speed(), 0u);
  EXPECT_EQ(meter.Downloaded(), 7900000u);
  meter.Due(100, 13100);  // a count that falls back (a start-over) shows the highest so far
  EXPECT_EQ(meter.Downloaded(), 7900000u);
  EXPECT_EQ(meter.Speed(), 0u);
  meter.Begin(20000);  // another attempt counts afresh
  EXPECT_EQ(meter.Downloaded(), 0u);
}

}  // namespace
}  // namespace quennet
