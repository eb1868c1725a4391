// The rules that decide what is sent when: backoff, Retry-After, the hourly limit per product,
// duplicates within a day, giving up. Pure functions of the records and the time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "upload/outbox_state.h"
#include "upload/upload_config.h"

namespace orlent::upload {

constexpr int64_t kHourMs = 3600LL * 1000;
constexpr int64_t kDayMs = 24 * kHourMs;

enum class Verdict {
  kSent,      // 2xx: the server has the report
  kRejected,  // another 4xx: sending it again would get the same answer
  kRetry,     // no answer, 408, 429 or 5xx: the server may take it later
};
Verdict Classify(int status);

// Milliseconds from `nowMs` that a Retry-After value asks for: delta-seconds or an HTTP date.
// Nothing for an empty or unreadable value.
std::optional<int64_t> ParseRetryAfter(std::string_view value, int64_t nowMs);

// The wait after the `failures`-th failure in a row: the initial wait doubled each time up to
// the maximum; a Retry-After from the server replaces it (up to the same maximum).
int64_t RetryDelayMs(const UploadConfig& config, int failures,
                     std::optional<int64_t> retryAfterMs);

// Drops sent records older than a day: nothing older decides anything.
void PruneHistory(SendHistory* history, int64_t nowMs);

// What makes two crashes the same: the crash signature (the first frames of the host's own
// code, see report/crash_signature.h), or for a report that has none (queued by an earlier
// reporter, or without a stack) the faulting module and offset.
const std::string& DuplicateKey(const CrashFacts& facts);

// The same crash (product and duplicate key) was sent within the last day.
bool IsDuplicate(const SendHistory& history, const CrashFacts& facts, int64_t nowMs);
void CountDuplicate(SendHistory* history, const CrashFacts& facts);

// When `product` may send again if its hourly limit is used up; nothing when it may send now.
std::optional<int64_t> RateLimitedUntil(const SendHistory& history, const std::string& product,
                                        int64_t nowMs, int maxPerHour);

// A report still waiting `giveUpAfterDays` after it was queued is dropped.
bool ShouldGiveUp(const OutboxEntry& entry, const UploadConfig& config, int64_t nowMs);

// "2024-01-31T10:15:30.123Z".
std::string IsoTime(int64_t ms);

}  // namespace orlent::upload
