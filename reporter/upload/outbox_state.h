// What the outbox keeps on disk, as plain records, and their text form. One entry per report
// waiting to be sent (Outbox\<report folder name>.ini), and one send history for the reports
// root (Outbox\history.ini) that the rate limit, the duplicate rule and the server's requests
// to wait are decided from. All times are milliseconds since 1970-01-01 UTC.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orlent::upload {

// What the crashed host told about itself and what failed: sent as form fields. UTF-8.
struct CrashFacts {
  std::string product;
  std::string version;         // the host's version text
  std::string versionNumbers;  // "1.0.42"
  std::string channel;
  std::string note;
  std::string uin;
  std::string reason;          // "0xC0000005 EXCEPTION_ACCESS_VIOLATION"
  std::string signature;       // faulting module and offset, "host.exe+0x156A"; may be empty
  std::string crashSignature;  // "host.exe!LoadLevel | host.exe!main"; may be empty
};

enum class EntryState { kQueued, kAwaitingConsent };

struct OutboxEntry {
  std::string report;  // the report folder's name in the reports root (ASCII by construction)
  EntryState state = EntryState::kQueued;
  int64_t queuedAt = 0;
  int attempts = 0;
  std::string lastError;
  CrashFacts facts;
};

struct SentRecord {
  int64_t at = 0;
  std::string product;
  std::string signature;
};

struct SuppressedDuplicates {
  std::string product;
  std::string signature;
  int count = 0;
};

struct SendHistory {
  int64_t notBefore = 0;         // the server (or our backoff) asked for no request before this
  int consecutiveFailures = 0;   // network errors, 5xx and 429 in a row
  std::vector<SentRecord> sent;  // within the last day
  std::vector<SuppressedDuplicates> suppressed;  // not yet told to the server
};

std::string FormatEntry(const OutboxEntry& entry);
// Nothing when the text is not an entry (a damaged file); the reason goes to *error.
std::optional<OutboxEntry> ParseEntry(std::string_view text, std::string* error);

std::string FormatHistory(const SendHistory& history);
// A damaged history is read as far as it goes: it only ever delays or thins out sending.
SendHistory ParseHistory(std::string_view text);

}  // namespace orlent::upload
