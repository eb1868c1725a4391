// Sending the outbox against scripted servers, on a clock that moves only when told.
#include <gtest/gtest.h>

#include "upload/outbox_sender.h"
#include "upload/upload_rules.h"
#include "upload_doubles.h"

namespace orlent::upload {
namespace {

constexpr int64_t kStart = 1700000000000;

HttpResponse Answer(int status, std::string body = "", std::string retryAfter = "") {
  HttpResponse r;
  r.status = status;
  r.body = std::move(body);
  r.retryAfter = std::move(retryAfter);
  if (status == 0) r.error = "WinHttpSendRequest failed: refused (error 12029)";
  return r;
}

class OutboxSenderTest : public ::testing::Test {
 protected:
  OutboxSenderTest() {
    config.enabled = true;
    config.url = "http://collector/submit";
    config.retryInitialSeconds = 2;
    config.timeLimitSeconds = 30;
  }

  // Queues a report `ageMs` old with a dump and a JSON report.
  void Queue(const std::string& name, int64_t ageMs, const std::string& signature = "",
             const std::string& product = "Game") {
    CrashFacts facts{product, "1.2", "1.2.3", "beta", "", "42", "0xC0000005", signature, ""};
    outbox.entries[name] = NewEntry(config, name, facts, clock.now - ageMs);
    outbox.reports[name] = {true, "MDMP" + name, "{\"report\":\"" + name + "\"}"};
  }

  SendSummary Send(ScriptedServer* server, int64_t limitMs = 30000) {
    return SendOutbox(config, &outbox, server, &clock, clock.now + limitMs, 7);
  }

  // The value of form field `name` in a request's body.
  static std::string Field(const HttpRequest& request, const std::string& name) {
    const std::string head = "name=\"" + name + "\"";
    const size_t at = request.body.find(head);
    if (at == std::string::npos) return "<absent>";
    const size_t start = request.body.find("\r\n\r\n", at) + 4;
    return request.body.substr(start, request.body.find("\r\n--orlent-", start) - start);
  }

  UploadConfig config;
  FakeClock clock{kStart};
  MemoryOutbox outbox;
};

TEST_F(OutboxSenderTest, SendsOldestFirstWithTheFactsAsFieldsAndKeepsTheAnswer) {
  config.extraFields = {{"api_key", "k"}};
  config.productField = "product";
  Queue("young", 1000, "game.exe+0x10");
  Queue("old", 5000, "game.exe+0x20");
  ScriptedServer server(&clock, {Answer(200, "CrashID=bp-1234\n")});
  const SendSummary summary = Send(&server);
  EXPECT_EQ(summary.sent, 2);
  ASSERT_EQ(server.requests.size(), 2u);
  const HttpRequest& first = server.requests[0];
  EXPECT_EQ(Field(first, "report"), "old");
  EXPECT_EQ(Field(first, "product"), "Game");
  EXPECT_EQ(Field(first, "prod"), "<absent>");
  EXPECT_EQ(Field(first, "ver"), "1.2");
  EXPECT_EQ(Field(first, "signature"), "game.exe+0x20");
  EXPECT_EQ(Field(first, "api_key"), "k");
  EXPECT_EQ(Field(first, kMinidumpPartName), "MDMPold");
  EXPECT_EQ(Field(first, kReportPartName), "{\"report\":\"old\"}");
  EXPECT_EQ(first.url, config.url);
  EXPECT_EQ(first.headers[0].second.rfind("multipart/form-data; boundary=orlent-", 0), 0u);
  EXPECT_TRUE(outbox.entries.empty());
  EXPECT_NE(outbox.results["old"].find("answer:\r\nCrashID=bp-1234\n"), std::string::npos);
  EXPECT_EQ(outbox.history.sent.size(), 2u);
}

TEST_F(OutboxSenderTest, RetriesWithGrowingWaitsWithinTheTimeLimitThenKeepsTheReport) {
  Queue("r", 0);
  ScriptedServer flaky(&clock, {Answer(500), Answer(0), Answer(503), Answer(201, "id")});
  EXPECT_EQ(Send(&flaky).sent, 1);
  EXPECT_EQ(flaky.requests.size(), 4u);
  EXPECT_EQ(clock.slept, 2000 + 4000 + 8000);  // doubling from retry_initial_seconds
  EXPECT_EQ(outbox.history.consecutiveFailures, 0);

  // A server that stays down: tried while the limit allows, then the report waits.
  Queue("s", 0);
  ScriptedServer down(&clock, {Answer(0)});
  const SendSummary summary = Send(&down, 10000);
  EXPECT_EQ(summary.sent, 0);
  EXPECT_EQ(summary.stillQueued, 1);
  EXPECT_EQ(down.requests.size(), 3u);  // at 0, +2 s, +6 s; the next (+14 s) is past the limit
  EXPECT_EQ(outbox.entries["s"].attempts, 3);
  EXPECT_EQ(outbox.entries["s"].lastError, "WinHttpSendRequest failed: refused (error 12029)");
  EXPECT_GT(outbox.history.notBefore, clock.now);

  // The next run keeps the server's pause, then sends.
  ScriptedServer back(&clock, {Answer(200)});
  EXPECT_EQ(Send(&back, 1000).sent, 0);
  EXPECT_TRUE(back.requests.empty());
  clock.now = outbox.history.notBefore;
  EXPECT_EQ(Send(&back).sent, 1);
}

TEST_F(OutboxSenderTest, HonoursRetryAfterAcrossRunsAndDropsRejectedReports) {
  Queue("a", 2000);
  Queue("b", 1000);
  ScriptedServer busy(&clock, {Answer(429, "slow down", "120")});
  EXPECT_EQ(Send(&busy).sent, 0);
  EXPECT_EQ(busy.requests.size(), 1u);  // nobody else is tried while the server asks for a pause
  EXPECT_EQ(outbox.history.notBefore, clock.now + 120000);
  EXPECT_EQ(outbox.entries["a"].lastError, "HTTP 429 slow down");

  clock.now += 119000;
  ScriptedServer picky(&clock, {Answer(400, "bad dump"), Answer(200)});
  EXPECT_EQ(Send(&picky, 5000).sent, 1);  // waits out the last second, then sends both
  EXPECT_EQ(picky.requests.size(), 2u);
  EXPECT_EQ(outbox.results["a"].rfind("rejected by the server", 0), 0u);
  EXPECT_TRUE(outbox.entries.empty());
}

TEST_F(OutboxSenderTest, CountsDuplicatesInTheNextUploadAndKeepsTheHourlyLimit) {
  config.maxUploadsPerHour = 2;
  Queue("1", 5000, "game.exe+0x10");
  Queue("2", 4000, "game.exe+0x10");  // the same crash again
  Queue("3", 3000, "game.exe+0x10");
  Queue("4", 2000, "game.exe+0x99");
  Queue("5", 1000, "game.exe+0x77");  // over the limit of two an hour
  Queue("6", 500, "tool.exe+0x10", "Tool");  // another product has its own limit
  ScriptedServer server(&clock, {Answer(200)});
  const SendSummary summary = Send(&server);
  EXPECT_EQ(summary.sent, 3);
  EXPECT_EQ(summary.duplicates, 2);
  EXPECT_EQ(summary.stillQueued, 1);
  ASSERT_EQ(server.requests.size(), 3u);
  EXPECT_EQ(Field(server.requests[0], "duplicates"), "<absent>");
  EXPECT_EQ(Field(server.requests[1], "report"), "4");
  EXPECT_EQ(Field(server.requests[1], "duplicates"), "2");
  EXPECT_EQ(Field(server.requests[1], "duplicate_signatures"), "game.exe+0x10=2");
  EXPECT_EQ(Field(server.requests[2], "report"), "6");
  EXPECT_EQ(Field(server.requests[2], "duplicates"), "<absent>");
  EXPECT_NE(outbox.results["2"].find("not sent: the same crash"), std::string::npos);
  EXPECT_EQ(outbox.entries.count("5"), 1u);

  // An hour after the first sends, the limit has room again.
  clock.now += kHourMs;
  EXPECT_EQ(Send(&server).sent, 1);
  EXPECT_EQ(Field(server.requests[3], "report"), "5");
}

TEST_F(OutboxSenderTest, SendsNothingAwaitingConsentAndGivesUpOnOldReports) {
  config.requireConsent = true;
  Queue("asked", 0);
  Queue("declined", 0);
  config.requireConsent = false;
  config.giveUpAfterDays = 7;
  Queue("stale", 7 * kDayMs);
  ScriptedServer server(&clock, {Answer(200)});
  SendSummary summary = Send(&server);
  EXPECT_TRUE(server.requests.empty());
  EXPECT_EQ(summary.givenUp, 1);
  EXPECT_EQ(summary.awaitingConsent, 2);
  EXPECT_EQ(outbox.results["stale"].rfind("given up", 0), 0u);

  std::wstring error;
  EXPECT_FALSE(DecideConsent(&outbox, "nothing", true, &error));
  EXPECT_TRUE(DecideConsent(&outbox, "declined", false, &error)) << error;
  EXPECT_EQ(outbox.reports.count("declined"), 0u);  // the report itself is deleted
  EXPECT_EQ(outbox.entries.count("declined"), 0u);
  EXPECT_TRUE(DecideConsent(&outbox, "asked", true, &error)) << error;
  EXPECT_FALSE(DecideConsent(&outbox, "asked", true, &error));  // already decided
  summary = Send(&server);
  EXPECT_EQ(summary.sent, 1);
  EXPECT_EQ(Field(server.requests[0], "report"), "asked");
}

}  // namespace
}  // namespace orlent::upload
