#include "upload/upload_rules.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace orlent::upload {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// "Sun, 06 Nov 1994 08:49:37 GMT", the one date form servers send today.
std::optional<int64_t> ParseHttpDate(std::string_view value) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::string text(value);
  char weekday[4] = {}, month[4] = {}, zone[4] = {};
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
  if (std::sscanf(text.c_str(), "%3s, %d %3s %d %d:%d:%d %3s", weekday, &day, month, &year, &hour,
                  &minute, &second, zone) != 8 ||
      std::strcmp(zone, "GMT") != 0)
    return std::nullopt;
  unsigned monthNumber = 0;
  for (unsigned i = 0; i < 12; ++i)
    if (std::strcmp(month, kMonths[i]) == 0) monthNumber = i + 1;
  if (monthNumber == 0 || day < 1 || day > 31 || year < 1970 || year > 9999 || hour > 23 ||
      minute > 59 || second > 60)
    return std::nullopt;
  const int64_t days = DaysFromCivil(year, monthNumber, static_cast<unsigned>(day));
  return ((days * 24 + hour) * 60 + minute) * 60000LL + second * 1000LL;
}

}  // namespace

Verdict Classify(int status) {
  if (status >= 200 && status < 300) return Verdict::kSent;
  if (status == 0 || status == 408 || status == 429 || status >= 500) return Verdict::kRetry;
  return Verdict::kRejected;
}

std::optional<int64_t> ParseRetryAfter(std::string_view value, int64_t nowMs) {
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
  if (value.empty()) return std::nullopt;
  if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    if (value.size() > 9) return 999999999LL * 1000;
    int64_t seconds = 0;
    for (char c : value) seconds = seconds * 10 + (c - '0');
    return seconds * 1000;
  }
  const std::optional<int64_t> at = ParseHttpDate(value);
  if (!at) return std::nullopt;
  return std::max<int64_t>(0, *at - nowMs);
}

int64_t RetryDelayMs(const UploadConfig& config, int failures,
                     std::optional<int64_t> retryAfterMs) {
  const int64_t maxMs = config.retryMaxSeconds * 1000LL;
  if (retryAfterMs) return std::min(*retryAfterMs, maxMs);
  int64_t delay = config.retryInitialSeconds * 1000LL;
  for (int i = 1; i < failures && delay < maxMs; ++i) delay *= 2;
  return std::min(delay, maxMs);
}

void PruneHistory(SendHistory* history, int64_t nowMs) {
  auto& sent = history->sent;
  sent.erase(std::remove_if(sent.begin(), sent.end(),
                            [&](const SentRecord& s) { return s.at + kDayMs <= nowMs; }),
             sent.end());
}

const std::string& DuplicateKey(const CrashFacts& facts) {
  return facts.crashSignature.empty() ? facts.signature : facts.crashSignature;
}

bool IsDuplicate(const SendHistory& history, const CrashFacts& facts, int64_t nowMs) {
  const std::string& key = DuplicateKey(facts);
  if (key.empty()) return false;
  return std::any_of(history.sent.begin(), history.sent.end(), [&](const SentRecord& s) {
    return s.product == facts.product && s.signature == key && s.at + kDayMs > nowMs;
  });
}

void CountDuplicate(SendHistory* history, const CrashFacts& facts) {
  const std::string& key = DuplicateKey(facts);
  for (SuppressedDuplicates& d : history->suppressed) {
    if (d.product == facts.product && d.signature == key) {
      ++d.count;
      return;
    }
  }
  history->suppressed.push_back({facts.product, key, 1});
}

std::optional<int64_t> RateLimitedUntil(const SendHistory& history, const std::string& product,
                                        int64_t nowMs, int maxPerHour) {
  std::vector<int64_t> recent;
  for (const SentRecord& s : history.sent)
    if (s.product == product && s.at + kHourMs > nowMs) recent.push_back(s.at);
  if (static_cast<int>(recent.size()) < maxPerHour) return std::nullopt;
  // Sending may resume when enough of the hour's sends have aged out.
  std::sort(recent.begin(), recent.end());
  return recent[recent.size() - maxPerHour] + kHourMs;
}

bool ShouldGiveUp(const OutboxEntry& entry, const UploadConfig& config, int64_t nowMs) {
  return nowMs - entry.queuedAt >= config.giveUpAfterDays * kDayMs;
}

std::string IsoTime(int64_t ms) {
  const int64_t days = (ms >= 0 ? ms : ms - kDayMs + 1) / kDayMs;
  const int64_t inDay = ms - days * kDayMs;
  // Civil date from days (the inverse of DaysFromCivil).
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
  char text[40];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ",
                static_cast<long long>(y), m, d, static_cast<long long>(inDay / kHourMs),
                static_cast<long long>(inDay / 60000 % 60),
                static_cast<long long>(inDay / 1000 % 60), static_cast<long long>(inDay % 1000));
  return text;
}

}  // namespace orlent::upload
