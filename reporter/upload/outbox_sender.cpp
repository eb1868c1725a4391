#include "upload/outbox_sender.h"

#include <algorithm>
#include <limits>
#include <set>

#include "text/utf.h"
#include "upload/gzip_body.h"
#include "upload/multipart_body.h"
#include "upload/upload_rules.h"

namespace orlent::upload {
namespace {

// Below this there is no point in starting a request.
constexpr int64_t kShortestRequestMs = 1000;

std::wstring Wide(const std::string& utf8) { return text::Utf8ToWide(utf8.c_str()); }

std::vector<FormPart> FormParts(const UploadConfig& config, const OutboxEntry& entry,
                                const ReportFiles& files, const SendHistory& history) {
  const CrashFacts& f = entry.facts;
  std::vector<FormPart> parts = {
      {config.productField, f.product, "", ""},
      {config.versionField, f.version.empty() ? f.versionNumbers : f.version, "", ""},
      {"version_numbers", f.versionNumbers, "", ""},
      {"channel", f.channel, "", ""},
      {"note", f.note, "", ""},
      {"uin", f.uin, "", ""},
      {"reason", f.reason, "", ""},
      {"signature", f.signature, "", ""},
      {"report", entry.report, "", ""},
  };
  // Duplicates left out since the product's last upload ride along with this one.
  int duplicates = 0;
  std::string bySignature;
  for (const SuppressedDuplicates& d : history.suppressed) {
    if (d.product != f.product) continue;
    duplicates += d.count;
    if (!bySignature.empty()) bySignature += ";";
    bySignature += d.signature + "=" + std::to_string(d.count);
  }
  if (duplicates > 0) {
    parts.push_back({"duplicates", std::to_string(duplicates), "", ""});
    parts.push_back({"duplicate_signatures", bySignature, "", ""});
  }
  for (const auto& [name, value] : config.extraFields) parts.push_back({name, value, "", ""});
  if (files.dump)
    parts.push_back({kMinidumpPartName, *files.dump, "crash.dmp", "application/octet-stream"});
  if (files.json) parts.push_back({kReportPartName, *files.json, "report.json", "application/json"});
  return parts;
}

class Run {
 public:
  Run(const UploadConfig& config, OutboxStore* store, HttpTransport* transport, Clock* clock,
      int64_t deadlineMs, uint64_t seed)
      : config_(config), store_(store), transport_(transport), clock_(clock),
        deadline_(deadlineMs), seed_(seed) {}

  SendSummary Go() {
    for (;;) {
      const int64_t wakeAt = Pass();
      const int64_t now = clock_->NowMs();
      if (wakeAt == kNever || wakeAt + kShortestRequestMs > deadline_) break;
      if (wakeAt > now) clock_->SleepMs(wakeAt - now);
    }
    std::vector<std::wstring> ignored;
    for (const OutboxEntry& e : store_->Entries(&ignored)) {
      if (e.state == EntryState::kQueued) ++summary_.stillQueued;
      else ++summary_.awaitingConsent;
    }
    return std::move(summary_);
  }

 private:
  static constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

  // One look at the queue, oldest first. Returns when the next report will be due.
  int64_t Pass() {
    std::vector<OutboxEntry> entries = store_->Entries(&summary_.problems);
    std::sort(entries.begin(), entries.end(), [](const OutboxEntry& a, const OutboxEntry& b) {
      return a.queuedAt != b.queuedAt ? a.queuedAt < b.queuedAt : a.report < b.report;
    });
    history_ = store_->LoadHistory();
    int64_t wakeAt = kNever;
    for (OutboxEntry& entry : entries) {
      // A report is tried once per pass; one whose entry could not be removed is not sent twice.
      if (entry.state != EntryState::kQueued || finished_.count(entry.report) != 0) continue;
      const int64_t now = clock_->NowMs();
      PruneHistory(&history_, now);
      if (ShouldGiveUp(entry, config_, now)) {
        Finish(entry, "given up: not sent within " + std::to_string(config_.giveUpAfterDays) +
                          " days; last error: " + entry.lastError);
        ++summary_.givenUp;
        continue;
      }
      // The server asked for a pause (or keeps failing): nobody is sent before it ends.
      if (history_.notBefore > now) return history_.notBefore;
      if (IsDuplicate(history_, entry.facts, now)) {
        CountDuplicate(&history_, entry.facts);
        SaveHistory();
        Finish(entry, "not sent: the same crash (" + DuplicateKey(entry.facts) +
                          ") was sent within the last day; counted in the next upload");
        ++summary_.duplicates;
        continue;
      }
      if (const std::optional<int64_t> until = RateLimitedUntil(
              history_, entry.facts.product, now, config_.maxUploadsPerHour)) {
        wakeAt = std::min(wakeAt, *until);
        continue;
      }
      if (deadline_ - now < kShortestRequestMs) return kNever;
      if (!Send(&entry)) return history_.notBefore;
    }
    return wakeAt;
  }

  // False when the server should not be asked again before history_.notBefore.
  bool Send(OutboxEntry* entry) {
    const ReportFiles files = store_->ReadReport(entry->report);
    if (!files.folderExists) {
      std::wstring error;
      if (!store_->RemoveEntry(entry->report, &error)) summary_.problems.push_back(error);
      summary_.problems.push_back(L"report " + Wide(entry->report) +
                                  L" is gone from the reports root; its entry was dropped");
      return true;
    }
    const MultipartBody body = BuildMultipartBody(FormParts(config_, *entry, files, history_),
                                                  seed_++);
    HttpRequest request;
    request.url = config_.url;
    request.headers.emplace_back("Content-Type", body.ContentType());
    request.body = body.bytes;
    if (config_.gzip) {
      std::string error;
      std::optional<std::string> packed = Gzip(body.bytes, &error);
      if (packed) {
        request.body = std::move(*packed);
        request.headers.emplace_back("Content-Encoding", "gzip");
      } else {
        summary_.problems.push_back(L"sent uncompressed: " + Wide(error));
      }
    }
    request.timeoutMs = deadline_ - clock_->NowMs();

    ++entry->attempts;
    const HttpResponse response = transport_->Post(request);
    const int64_t now = clock_->NowMs();
    switch (Classify(response.status)) {
      case Verdict::kSent:
        history_.sent.push_back({now, entry->facts.product, DuplicateKey(entry->facts)});
        history_.suppressed.erase(
            std::remove_if(history_.suppressed.begin(), history_.suppressed.end(),
                           [&](const SuppressedDuplicates& d) {
                             return d.product == entry->facts.product;
                           }),
            history_.suppressed.end());
        history_.consecutiveFailures = 0;
        SaveHistory();
        Finish(*entry, Answer("sent", response));
        ++summary_.sent;
        summary_.lines.push_back(L"report " + Wide(entry->report) + L" sent: " +
                                 Wide(StatusText(response)));
        return true;
      case Verdict::kRejected:
        history_.consecutiveFailures = 0;
        SaveHistory();
        Finish(*entry, Answer("rejected by the server", response));
        ++summary_.rejected;
        summary_.problems.push_back(L"report " + Wide(entry->report) +
                                    L" was rejected by the server: " +
                                    Wide(StatusText(response)));
        return true;
      case Verdict::kRetry:
        break;
    }
    ++history_.consecutiveFailures;
    const std::optional<int64_t> retryAfter = ParseRetryAfter(response.retryAfter, now);
    history_.notBefore =
        now + RetryDelayMs(config_, history_.consecutiveFailures, retryAfter);
    SaveHistory();
    entry->lastError = response.status == 0 ? response.error : StatusText(response);
    std::wstring error;
    if (!store_->SaveEntry(*entry, &error)) summary_.problems.push_back(error);
    summary_.problems.push_back(L"report " + Wide(entry->report) + L" not sent (" +
                                Wide(entry->lastError) + L"); next attempt after " +
                                Wide(IsoTime(history_.notBefore)));
    return false;
  }

  static std::string StatusText(const HttpResponse& response) {
    const std::string line = FirstLine(response.body);
    return "HTTP " + std::to_string(response.status) + (line.empty() ? "" : " " + line);
  }

  static std::string FirstLine(const std::string& text) {
    return text.substr(0, std::min<size_t>(text.find_first_of("\r\n"), 200));
  }

  std::string Answer(const char* what, const HttpResponse& response) const {
    return std::string(what) + " at " + IsoTime(clock_->NowMs()) + "\r\nurl: " + config_.url +
           "\r\nstatus: " + std::to_string(response.status) + "\r\nanswer:\r\n" + response.body;
  }

  // The report leaves the outbox; its folder keeps what became of it.
  void Finish(const OutboxEntry& entry, const std::string& result) {
    finished_.insert(entry.report);
    std::wstring error;
    if (!store_->WriteResult(entry.report, result, &error)) summary_.problems.push_back(error);
    if (!store_->RemoveEntry(entry.report, &error)) summary_.problems.push_back(error);
  }

  void SaveHistory() {
    std::wstring error;
    if (!store_->SaveHistory(history_, &error)) summary_.problems.push_back(error);
  }

  const UploadConfig& config_;
  OutboxStore* store_;
  HttpTransport* transport_;
  Clock* clock_;
  const int64_t deadline_;
  uint64_t seed_;
  SendHistory history_;
  SendSummary summary_;
  std::set<std::string> finished_;
};

}  // namespace

SendSummary SendOutbox(const UploadConfig& config, OutboxStore* store, HttpTransport* transport,
                       Clock* clock, int64_t deadlineMs, uint64_t boundarySeed) {
  return Run(config, store, transport, clock, deadlineMs, boundarySeed).Go();
}

OutboxEntry NewEntry(const UploadConfig& config, const std::string& report,
                     const CrashFacts& facts, int64_t nowMs) {
  OutboxEntry entry;
  entry.report = report;
  entry.state = config.requireConsent ? EntryState::kAwaitingConsent : EntryState::kQueued;
  entry.queuedAt = nowMs;
  entry.facts = facts;
  return entry;
}

bool DecideConsent(OutboxStore* store, const std::string& report, bool granted,
                   std::wstring* error) {
  std::vector<std::wstring> problems;
  for (OutboxEntry& entry : store->Entries(&problems)) {
    if (entry.report != report) continue;
    if (entry.state != EntryState::kAwaitingConsent) {
      *error = L"report " + Wide(report) + L" is not awaiting consent";
      return false;
    }
    if (granted) {
      entry.state = EntryState::kQueued;
      return store->SaveEntry(entry, error);
    }
    return store->DeleteReport(report, error) && store->RemoveEntry(report, error);
  }
  *error = L"no report named " + Wide(report) + L" is in the outbox";
  return false;
}

}  // namespace orlent::upload
