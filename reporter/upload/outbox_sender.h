// Sending the outbox: every queued report, oldest first, within a time limit, by the rules of
// upload_rules.h. What each report became is written into its folder (upload.txt).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "upload/http_transport.h"
#include "upload/outbox_store.h"
#include "upload/upload_config.h"

namespace orlent::upload {

// The form fields and files of one report, as collectors name them.
constexpr char kMinidumpPartName[] = "upload_file_minidump";
constexpr char kReportPartName[] = "orlent_report";

struct SendSummary {
  int sent = 0;
  int rejected = 0;
  int duplicates = 0;
  int givenUp = 0;
  int stillQueued = 0;       // waiting for a later run (backoff, rate limit, time limit)
  int awaitingConsent = 0;
  std::vector<std::wstring> lines;     // what happened, one line per event, for the console
  std::vector<std::wstring> problems;  // what failed, for standard error
};

// Sends what is due until nothing more is or `deadlineMs` (on `clock`) has come.
// `boundarySeed` varies the multipart boundary between runs.
SendSummary SendOutbox(const UploadConfig& config, OutboxStore* store, HttpTransport* transport,
                       Clock* clock, int64_t deadlineMs, uint64_t boundarySeed);

// Puts a new report in the outbox: queued, or awaiting consent when the configuration asks.
OutboxEntry NewEntry(const UploadConfig& config, const std::string& report,
                     const CrashFacts& facts, int64_t nowMs);

// The user's answer for a report awaiting consent: granted queues it, declined deletes the
// report and its entry. False (with the reason) when the report has no entry awaiting consent.
bool DecideConsent(OutboxStore* store, const std::string& report, bool granted,
                   std::wstring* error);

}  // namespace orlent::upload
