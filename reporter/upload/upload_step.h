// What orlent.exe does about uploads: after a crash report is written (and the host released),
// and when it is started with one of its upload switches:
//
//   orlent /upload            sends what the outbox holds, then ends
//   orlent /grant REPORT      the user agreed: REPORT (a report folder's name or path) is queued
//                             and the outbox is sent
//   orlent /decline REPORT    the user refused: REPORT's folder and its entry are deleted
//
// Exit codes of the switches: 0 done (what could not be sent stays queued for the next run);
// 1 malformed switch, unreadable orlent.ini, or no such report awaiting consent;
// 4 the outbox could not be written.
#pragma once

#include <optional>
#include <string>

#include "report/crash_report.h"

namespace orlent::upload {

// Queues the report in `folder` and sends the outbox, within the configured time limit and
// within the reporter's own watchdog. Does nothing when uploads are not configured.
void UploadAfterReport(const CrashReport& report, const std::wstring& folder);

// The exit code when `commandLine` holds one of the switches above; nothing when it does not
// (then it is the crashed host's hand-off line, or malformed).
std::optional<int> RunUploadSwitch(const wchar_t* commandLine);

}  // namespace orlent::upload
