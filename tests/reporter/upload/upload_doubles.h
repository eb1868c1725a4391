// In-memory stand-ins for the outbox's disk, the network and the clock.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "upload/http_transport.h"
#include "upload/outbox_store.h"

namespace orlent::upload {

class MemoryOutbox : public OutboxStore {
 public:
  std::map<std::string, OutboxEntry> entries;
  SendHistory history;
  std::map<std::string, ReportFiles> reports;    // by report name
  std::map<std::string, std::string> results;   // upload.txt by report name

  std::vector<OutboxEntry> Entries(std::vector<std::wstring>*) override {
    std::vector<OutboxEntry> all;
    for (const auto& [name, entry] : entries) all.push_back(entry);
    return all;
  }
  bool SaveEntry(const OutboxEntry& entry, std::wstring*) override {
    entries[entry.report] = entry;
    return true;
  }
  bool RemoveEntry(const std::string& report, std::wstring*) override {
    entries.erase(report);
    return true;
  }
  // Through the text form, so that what the disk would keep is what the next pass sees.
  SendHistory LoadHistory() override { return ParseHistory(FormatHistory(history)); }
  bool SaveHistory(const SendHistory& h, std::wstring*) override {
    history = h;
    return true;
  }
  ReportFiles ReadReport(const std::string& report) override {
    auto found = reports.find(report);
    return found == reports.end() ? ReportFiles() : found->second;
  }
  bool WriteResult(const std::string& report, const std::string& text, std::wstring*) override {
    results[report] = text;
    return true;
  }
  bool DeleteReport(const std::string& report, std::wstring*) override {
    reports.erase(report);
    return true;
  }
};

// Time moves only when someone sleeps or a request takes time.
class FakeClock : public Clock {
 public:
  explicit FakeClock(int64_t start) : now(start) {}
  int64_t NowMs() override { return now; }
  void SleepMs(int64_t ms) override {
    slept += ms;
    now += ms;
  }
  int64_t now;
  int64_t slept = 0;
};

// Answers each request with the next scripted answer (the last one repeats).
class ScriptedServer : public HttpTransport {
 public:
  ScriptedServer(FakeClock* clock, std::vector<HttpResponse> script)
      : clock_(clock), script_(std::move(script)) {}
  HttpResponse Post(const HttpRequest& request) override {
    requests.push_back(request);
    clock_->now += requestMs;
    return script_[std::min(requests.size(), script_.size()) - 1];
  }
  std::vector<HttpRequest> requests;
  int64_t requestMs = 100;

 private:
  FakeClock* clock_;
  std::vector<HttpResponse> script_;
};

}  // namespace orlent::upload
