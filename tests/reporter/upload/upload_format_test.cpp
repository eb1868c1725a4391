// The generic parts of uploading: orlent.ini, the outbox's records, the request body, the rules.
#include <gtest/gtest.h>

#include <zlib.h>

#include <map>
#include <string>

#include "upload/gzip_body.h"
#include "upload/ini_text.h"
#include "upload/multipart_body.h"
#include "upload/outbox_state.h"
#include "upload/upload_config.h"
#include "upload/upload_rules.h"

namespace orlent::upload {
namespace {

TEST(UploadConfig, ReadsSettingsAndRefusesWhatItCannotHonour) {
  std::string error;
  const auto full = ParseUploadConfig(
      "\xEF\xBB\xBF; comment\n[Upload]\r\nEnabled = YES\nurl = https://h/x?a=1\ngzip=on\n"
      "require_consent = 1\nproduct_field = product\nmax_uploads_per_hour = 3\n"
      "[fields]\nApiKey = s e c r e t\n",
      &error);
  ASSERT_TRUE(full) << error;
  EXPECT_TRUE(full->enabled && full->gzip && full->requireConsent);
  EXPECT_EQ(full->url, "https://h/x?a=1");
  EXPECT_EQ(full->productField, "product");
  EXPECT_EQ(full->versionField, "ver");
  EXPECT_EQ(full->maxUploadsPerHour, 3);
  ASSERT_EQ(full->extraFields.size(), 1u);
  EXPECT_EQ(full->extraFields[0], (std::pair<std::string, std::string>{"ApiKey", "s e c r e t"}));

  const auto empty = ParseUploadConfig("", &error);
  ASSERT_TRUE(empty);
  EXPECT_FALSE(empty->enabled);  // nothing leaves the machine unless the team says so

  const char* const refused[] = {
      "[upload]\nenabled = yes\n",                          // enabled without a url
      "[upload]\nenabled = yes\nurl = ftp://h/\n",          // not http(s)
      "[upload]\nenabled = maybe\n",                        // not a switch
      "[upload]\nenable = yes\n",                           // a typo must not go unnoticed
      "[upload]\nmax_uploads_per_hour = 0\n",               // out of range
      "[upload]\ngive_up_after_days = -1\n",
      "[upload]\nproduct_field = a\"b\n",                   // would break the part header
      "enabled = yes\n",                                    // outside any section
      "[upload\n",
      "[upload]\njust a line\n",
  };
  for (const char* text : refused) {
    error.clear();
    EXPECT_FALSE(ParseUploadConfig(text, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(OutboxRecords, SurviveTheirTextFormWhateverTheHostWrote) {
  OutboxEntry entry;
  entry.report = "2024-01-31_101530.007_p812";
  entry.state = EntryState::kAwaitingConsent;
  entry.queuedAt = 1706696130007;
  entry.attempts = 3;
  entry.lastError = "WinHttpSendRequest failed: x\r\n(error 12029)";
  entry.facts = {" lead|ing ", "1.0 % 2", "1.0.42", "\xE6\xB5\x8B\xE8\xAF\x95", "a\nb\x01=c [x]",
                 "4294967295", "0xC0000005 EXCEPTION_ACCESS_VIOLATION", "host.exe+0x0000156A",
                 "host.exe!Load<int, std::vector<int> >(int) | host.exe!main"};
  std::string error;
  const auto back = ParseEntry(FormatEntry(entry), &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(back->report, entry.report);
  EXPECT_EQ(back->state, entry.state);
  EXPECT_EQ(back->queuedAt, entry.queuedAt);
  EXPECT_EQ(back->attempts, 3);
  EXPECT_EQ(back->lastError, entry.lastError);
  const CrashFacts& f = back->facts;
  EXPECT_EQ(std::vector<std::string>({f.product, f.version, f.versionNumbers, f.channel, f.note,
                                      f.uin, f.reason, f.signature, f.crashSignature}),
            std::vector<std::string>({entry.facts.product, entry.facts.version,
                                      entry.facts.versionNumbers, entry.facts.channel,
                                      entry.facts.note, entry.facts.uin, entry.facts.reason,
                                      entry.facts.signature, entry.facts.crashSignature}));

  // An entry must name one plain folder: it becomes a path below the reports root.
  for (const char* report : {"..", "..\\x", "a/b", "C:x", ""}) {
    entry.report = report;
    EXPECT_FALSE(ParseEntry(FormatEntry(entry), &error)) << report;
  }

  SendHistory history;
  history.notBefore = 5;
  history.consecutiveFailures = 2;
  history.sent = {{100, "P|1", "m.dll+0x1"}, {200, "", ""}};
  history.suppressed = {{"P|1", "m.dll+0x1", 4}};
  const SendHistory read = ParseHistory(FormatHistory(history));
  EXPECT_EQ(read.notBefore, 5);
  EXPECT_EQ(read.consecutiveFailures, 2);
  ASSERT_EQ(read.sent.size(), 2u);
  EXPECT_EQ(read.sent[0].product, "P|1");
  EXPECT_EQ(read.sent[1].at, 200);
  ASSERT_EQ(read.suppressed.size(), 1u);
  EXPECT_EQ(read.suppressed[0].count, 4);
  EXPECT_EQ(ParseHistory("garbage\n[history]\nsent = x|y\n").sent.size(), 0u);
}

// The parts of a body, read back the way a collector reads them.
std::map<std::string, std::string> ReadParts(const MultipartBody& body) {
  std::map<std::string, std::string> parts;
  const std::string delimiter = "\r\n--" + body.boundary;
  std::string bytes = "\r\n" + body.bytes;
  size_t at = bytes.find(delimiter);
  while (at != std::string::npos) {
    const size_t start = at + delimiter.size();
    if (bytes.compare(start, 2, "--") == 0) break;
    const size_t headersEnd = bytes.find("\r\n\r\n", start);
    const size_t next = bytes.find(delimiter, headersEnd);
    const std::string headers = bytes.substr(start, headersEnd - start);
    const size_t name = headers.find("name=\"") + 6;
    parts[headers.substr(name, headers.find('"', name) - name)] =
        bytes.substr(headersEnd + 4, next - headersEnd - 4);
    at = next;
  }
  return parts;
}

TEST(MultipartBody, CarriesEveryByteAndABoundaryNoContentHolds) {
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>(i * 7);
  // Content that holds the boundary the seed would give first, and CRLFs next to dashes.
  const std::string trap = "x\r\n--orlent-0000000000000001\r\n--\r\n";
  const MultipartBody body = BuildMultipartBody(
      {{"prod", "Game \xE6\xB8\xB8\xE6\x88\x8F", "", ""},
       {"trap", trap, "", ""},
       {"a\"b\r\n", "", "", ""},
       {"upload_file_minidump", binary, "crash.dmp", "application/octet-stream"}},
      1);
  EXPECT_NE(body.boundary, "orlent-0000000000000001");
  EXPECT_EQ(body.ContentType(), "multipart/form-data; boundary=" + body.boundary);
  const auto parts = ReadParts(body);
  EXPECT_EQ(parts.at("prod"), "Game \xE6\xB8\xB8\xE6\x88\x8F");
  EXPECT_EQ(parts.at("trap"), trap);
  EXPECT_EQ(parts.at("a%22b%0D%0A"), "");
  EXPECT_EQ(parts.at("upload_file_minidump"), binary);
  EXPECT_NE(body.bytes.find("name=\"upload_file_minidump\"; filename=\"crash.dmp\"\r\n"
                            "Content-Type: application/octet-stream\r\n\r\n"),
            std::string::npos);
  EXPECT_EQ(body.bytes.substr(body.bytes.size() - body.boundary.size() - 6),
            "--" + body.boundary + "--\r\n");
}

TEST(GzipBody, InflatesBackToTheBody) {
  std::string body;
  for (int i = 0; i < 100000; ++i) body += static_cast<char>((i * i) >> 5);
  std::string error;
  const auto packed = Gzip(body, &error);
  ASSERT_TRUE(packed) << error;
  ASSERT_GE(packed->size(), 18u);
  EXPECT_EQ(packed->substr(0, 2), "\x1F\x8B");  // a gzip member, not a bare zlib stream
  std::string out(body.size() + 1, '\0');
  z_stream s = {};
  ASSERT_EQ(inflateInit2(&s, 15 + 16), Z_OK);
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed->data()));
  s.avail_in = static_cast<uInt>(packed->size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&s, Z_FINISH), Z_STREAM_END);
  out.resize(s.total_out);
  inflateEnd(&s);
  EXPECT_EQ(out, body);
}

TEST(UploadRules, DecideRetriesWaitsLimitsAndDuplicates) {
  const struct { int status; Verdict verdict; } classes[] = {
      {200, Verdict::kSent}, {202, Verdict::kSent},      {0, Verdict::kRetry},
      {408, Verdict::kRetry}, {429, Verdict::kRetry},    {500, Verdict::kRetry},
      {503, Verdict::kRetry}, {400, Verdict::kRejected}, {413, Verdict::kRejected},
      {302, Verdict::kRejected}};
  for (const auto& c : classes) EXPECT_EQ(Classify(c.status), c.verdict) << c.status;

  const int64_t now = 784111777000;  // Sun, 06 Nov 1994 08:49:37 GMT
  EXPECT_EQ(ParseRetryAfter("120", now), 120000);
  EXPECT_EQ(ParseRetryAfter(" 0 ", now), 0);
  EXPECT_EQ(ParseRetryAfter("Sun, 06 Nov 1994 08:50:37 GMT", now), 60000);
  EXPECT_EQ(ParseRetryAfter("Sun, 06 Nov 1994 08:00:00 GMT", now), 0);  // already past
  EXPECT_FALSE(ParseRetryAfter("", now));
  EXPECT_FALSE(ParseRetryAfter("soon", now));
  EXPECT_FALSE(ParseRetryAfter("-5", now));
  EXPECT_EQ(IsoTime(now + 5), "1994-11-06T08:49:37.005Z");
  EXPECT_EQ(IsoTime(951782400000), "2000-02-29T00:00:00.000Z");

  UploadConfig config;
  config.retryInitialSeconds = 5;
  config.retryMaxSeconds = 60;
  const int64_t delays[] = {5000, 10000, 20000, 40000, 60000, 60000};
  for (int failures = 1; failures <= 6; ++failures)
    EXPECT_EQ(RetryDelayMs(config, failures, std::nullopt), delays[failures - 1]);
  EXPECT_EQ(RetryDelayMs(config, 1, 30000), 30000);    // the server's word counts...
  EXPECT_EQ(RetryDelayMs(config, 1, 999999), 60000);   // ...up to the longest wait

  SendHistory history;
  history.sent = {{now - kDayMs, "P", "m+1"},           // a day old: forgotten
                  {now - kHourMs, "P", "m+2"},          // an hour old: a duplicate still
                  {now - 1000, "P", "m+3"},
                  {now - 2000, "Other", "m+4"}};
  PruneHistory(&history, now);
  ASSERT_EQ(history.sent.size(), 3u);
  EXPECT_FALSE(IsDuplicate(history, {"P", "", "", "", "", "", "", "m+1", ""}, now));
  EXPECT_TRUE(IsDuplicate(history, {"P", "", "", "", "", "", "", "m+2", ""}, now));
  EXPECT_FALSE(IsDuplicate(history, {"Q", "", "", "", "", "", "", "m+2", ""}, now));
  EXPECT_FALSE(IsDuplicate(history, {"P", "", "", "", "", "", "", "", ""}, now));  // unknown place
  // The crash signature is the key where a report has one; the place only where it has none,
  // and a signature never matches a place that happens to be recorded.
  history.sent.push_back({now - 1000, "P", "game.exe!LoadLevel | game.exe!main"});
  const struct {
    CrashFacts facts;
    bool duplicate;
  } keyed[] = {
      {{"P", "", "", "", "", "", "", "m+9", "game.exe!LoadLevel | game.exe!main"}, true},
      {{"P", "", "", "", "", "", "", "m+2", "game.exe!LoadLevel | game.exe!Other"}, false},
      {{"P", "", "", "", "", "", "", "m+2", ""}, true},
      {{"P", "", "", "", "", "", "", "", "m+2"}, true},
      {{"Q", "", "", "", "", "", "", "", "game.exe!LoadLevel | game.exe!main"}, false},
  };
  for (const auto& k : keyed)
    EXPECT_EQ(IsDuplicate(history, k.facts, now), k.duplicate) << k.facts.crashSignature;
  SendHistory counting;
  CountDuplicate(&counting, keyed[0].facts);
  CountDuplicate(&counting, keyed[0].facts);
  CountDuplicate(&counting, keyed[2].facts);
  ASSERT_EQ(counting.suppressed.size(), 2u);
  EXPECT_EQ(counting.suppressed[0].signature, "game.exe!LoadLevel | game.exe!main");
  EXPECT_EQ(counting.suppressed[0].count, 2);
  EXPECT_EQ(counting.suppressed[1].signature, "m+2");
  history.sent.pop_back();
  // One send for P within the hour (m+2 is exactly an hour old).
  EXPECT_FALSE(RateLimitedUntil(history, "P", now, 2));
  EXPECT_EQ(RateLimitedUntil(history, "P", now, 1), now - 1000 + kHourMs);

  OutboxEntry entry;
  entry.queuedAt = now;
  config.giveUpAfterDays = 2;
  EXPECT_FALSE(ShouldGiveUp(entry, config, now + 2 * kDayMs - 1));
  EXPECT_TRUE(ShouldGiveUp(entry, config, now + 2 * kDayMs));
}

}  // namespace
}  // namespace orlent::upload
