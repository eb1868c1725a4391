#include "upload/outbox_state.h"

#include "upload/ini_text.h"

namespace orlent::upload {
namespace {

constexpr long long kMaxTime = 1LL << 50;  // far beyond any clock, still exact in a double

std::string Line(const char* key, std::string_view value) {
  return std::string(key) + " = " + EscapeValue(value) + "\n";
}

// "a|b|c" split at '|' (which EscapeValue never leaves in a value).
std::vector<std::string> Split(const std::string& value) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t bar = value.find('|', start);
    parts.push_back(UnescapeValue(value.substr(start, bar - start)));
    if (bar == std::string::npos) return parts;
    start = bar + 1;
  }
}

}  // namespace

std::string FormatEntry(const OutboxEntry& e) {
  std::string text = "; A crash report waiting to be sent by orlent.exe.\n[entry]\n";
  text += Line("report", e.report);
  text += Line("state", e.state == EntryState::kQueued ? "queued" : "awaiting-consent");
  text += Line("queued_at", std::to_string(e.queuedAt));
  text += Line("attempts", std::to_string(e.attempts));
  text += Line("last_error", e.lastError);
  text += "[crash]\n";
  text += Line("product", e.facts.product);
  text += Line("version", e.facts.version);
  text += Line("version_numbers", e.facts.versionNumbers);
  text += Line("channel", e.facts.channel);
  text += Line("note", e.facts.note);
  text += Line("uin", e.facts.uin);
  text += Line("reason", e.facts.reason);
  text += Line("signature", e.facts.signature);
  text += Line("crash_signature", e.facts.crashSignature);
  return text;
}

std::optional<OutboxEntry> ParseEntry(std::string_view text, std::string* error) {
  const std::optional<std::vector<IniEntry>> lines = ParseIni(text, error);
  if (!lines) return std::nullopt;
  OutboxEntry e;
  bool haveState = false, haveQueued = false;
  for (const IniEntry& line : *lines) {
    const std::string value = UnescapeValue(line.value);
    if (line.section == "entry") {
      if (line.key == "report") e.report = value;
      else if (line.key == "last_error") e.lastError = value;
      else if (line.key == "state") {
        haveState = value == "queued" || value == "awaiting-consent";
        e.state = value == "queued" ? EntryState::kQueued : EntryState::kAwaitingConsent;
      } else if (line.key == "queued_at") {
        const std::optional<long long> n = ParseCount(value, kMaxTime);
        haveQueued = n.has_value();
        e.queuedAt = n.value_or(0);
      } else if (line.key == "attempts") {
        e.attempts = static_cast<int>(ParseCount(value, 1000000).value_or(0));
      }
    } else if (line.section == "crash") {
      CrashFacts& f = e.facts;
      std::string* field = line.key == "product"           ? &f.product
                           : line.key == "version"         ? &f.version
                           : line.key == "version_numbers" ? &f.versionNumbers
                           : line.key == "channel"         ? &f.channel
                           : line.key == "note"            ? &f.note
                           : line.key == "uin"             ? &f.uin
                           : line.key == "reason"          ? &f.reason
                           : line.key == "signature"       ? &f.signature
                           : line.key == "crash_signature" ? &f.crashSignature
                                                           : nullptr;
      if (field != nullptr) *field = value;
    }
  }
  // The report name becomes part of a path: one plain folder name, nothing else.
  const bool plainName = !e.report.empty() && e.report != "." && e.report != ".." &&
                         e.report.find_first_of("\\/:*?\"<>|") == std::string::npos;
  if (!plainName || !haveState || !haveQueued) {
    *error = "the entry lacks a plain report name, a state or its queueing time";
    return std::nullopt;
  }
  return e;
}

std::string FormatHistory(const SendHistory& h) {
  std::string text = "; What orlent.exe has sent lately (rate limit, duplicates, backoff).\n";
  text += "[history]\n";
  text += Line("not_before", std::to_string(h.notBefore));
  text += Line("consecutive_failures", std::to_string(h.consecutiveFailures));
  for (const SentRecord& s : h.sent)
    text += "sent = " + std::to_string(s.at) + "|" + EscapeValue(s.product) + "|" +
            EscapeValue(s.signature) + "\n";
  for (const SuppressedDuplicates& d : h.suppressed)
    text += "suppressed = " + std::to_string(d.count) + "|" + EscapeValue(d.product) + "|" +
            EscapeValue(d.signature) + "\n";
  return text;
}

SendHistory ParseHistory(std::string_view text) {
  SendHistory h;
  std::string error;
  const std::optional<std::vector<IniEntry>> lines = ParseIni(text, &error);
  if (!lines) return h;
  for (const IniEntry& line : *lines) {
    if (line.section != "history") continue;
    if (line.key == "not_before") {
      h.notBefore = ParseCount(UnescapeValue(line.value), kMaxTime).value_or(0);
    } else if (line.key == "consecutive_failures") {
      h.consecutiveFailures =
          static_cast<int>(ParseCount(UnescapeValue(line.value), 1000).value_or(0));
    } else if (line.key == "sent" || line.key == "suppressed") {
      const std::vector<std::string> parts = Split(line.value);
      if (parts.size() != 3) continue;
      const std::optional<long long> n = ParseCount(parts[0], kMaxTime);
      if (!n) continue;
      if (line.key == "sent") h.sent.push_back({*n, parts[1], parts[2]});
      else h.suppressed.push_back({parts[1], parts[2], static_cast<int>(*n)});
    }
  }
  return h;
}

}  // namespace orlent::upload
