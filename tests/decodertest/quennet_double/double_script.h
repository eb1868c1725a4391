// What a test tells the double to do, one directive a line ('#' starts a comment):
//   task null                     CreateQuennet returns no object
//   progress TOTAL DONE BPS FILES EXTRACTED   one OnProgress report
//   sleep MS                      pause the playing thread
//   wait-for-file NAME            pause until the test creates NAME beside the DLL (10 s at most)
//   complete CODE [TEXT]          OnComplete; ends one run (each Start plays the next run)
//   complete-null-text CODE       OnComplete with a null error text
//   request null                  CreateSimpleHttpRequest returns no object
//   request-delay MS              time a Send takes before the outcome is known
//   request-success CODE [TEXT]   IsSuccess true, response code and response text
//   request-failure CODE [TEXT]   IsSuccess false, error code and error text
//   request-null-texts            GetErrorText and GetResponse return null
// TEXT is the rest of the line after one space.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quennet_double {

struct TaskStep {
  enum class Kind { kProgress, kSleep, kWaitForFile, kComplete } kind = Kind::kSleep;
  std::uint64_t totalBytes = 0;
  std::uint64_t downloadedBytes = 0;
  std::uint64_t bytesPerSecond = 0;
  std::uint32_t totalFiles = 0;
  std::uint32_t extractedFiles = 0;
  DWORD sleepMs = 0;
  std::int32_t errorCode = 0;
  bool nullErrorText = false;
  std::wstring errorText;
  std::wstring fileName;
};

struct Script {
  bool taskIsNull = false;
  std::vector<TaskStep> taskSteps;

  bool requestIsNull = false;
  DWORD requestDelayMs = 0;
  bool requestSucceeds = false;
  std::uint32_t requestCode = 0;  // response code on success, error code on failure
  std::string response;
  std::wstring errorText;
  bool requestNullTexts = false;
};

// Reads the script beside the DLL. A line it does not understand is recorded as
// "script error", which every test checks for.
Script LoadScript();

}  // namespace quennet_double
