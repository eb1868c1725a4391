// The stream decode test's reporting object: the progress line, one retry after a first
// failure, and the summary that ends the test.
#pragma once

#include <windows.h>

#include <cstdint>

#include "quennet.h"

class CQuennetCallBack final : public IQuennetCallBack {
 public:
  // The construction time is the start of the task for the elapsed time and the average speed.
  CQuennetCallBack();

  // Rewrites the progress line: bytes, speed, percentages, extracted files.
  void OnProgress(std::int32_t reserved, std::uint64_t totalBytes, std::uint64_t downloadedBytes,
                  std::uint64_t bytesPerSecond, std::uint32_t totalFiles,
                  std::uint32_t extractedFiles, std::int32_t reserved2) override;

  // A first failure restarts `task`; a success or a second failure prints the summary, waits
  // for a key and posts the quit message to the calling thread.
  void OnComplete(IQuennet* task, std::int32_t errorCode, const wchar_t* errorText) override;

 private:
  void PrintSummary() const;

  DWORD startTick;
  std::uint64_t bytesThisRun = 0;
  std::uint32_t retryCount = 0;
  DWORD downloadDoneTick = 0;  // 0 until a report shows the whole package downloaded
};

// Bytes per second of `bytes` over the milliseconds from `startTick` to `doneTick`. A
// download that never reached its total (`doneTick` 0) has no such figure and gives 0; one
// that ended within the tick resolution counts as having taken 1 ms.
std::uint64_t AverageBytesPerSecond(std::uint64_t bytes, DWORD startTick, DWORD doneTick);
