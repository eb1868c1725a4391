#include "double_script.h"

#include <sstream>

#include "double_files.h"

namespace quennet_double {
namespace {

// The text after the first `words` space-separated words of `line`.
std::string RestAfterWords(const std::string& line, int words) {
  size_t position = 0;
  for (int i = 0; i < words; ++i) {
    position = line.find(' ', position);
    if (position == std::string::npos) return std::string();
    ++position;
  }
  return line.substr(position);
}

bool ParseLine(const std::string& line, Script& script) {
  std::istringstream words(line);
  std::string directive;
  words >> directive;
  if (directive.empty() || directive[0] == '#') return true;

  TaskStep step;
  if (directive == "task") {
    std::string value;
    words >> value;
    script.taskIsNull = value == "null";
    return script.taskIsNull;
  }
  if (directive == "progress") {
    step.kind = TaskStep::Kind::kProgress;
    words >> step.totalBytes >> step.downloadedBytes >> step.bytesPerSecond >> step.totalFiles >>
        step.extractedFiles;
  } else if (directive == "sleep") {
    words >> step.sleepMs;
  } else if (directive == "wait-for-file") {
    step.kind = TaskStep::Kind::kWaitForFile;
    step.fileName = FromUtf8(RestAfterWords(line, 1));
  } else if (directive == "complete" || directive == "complete-null-text") {
    step.kind = TaskStep::Kind::kComplete;
    words >> step.errorCode;
    step.nullErrorText = directive == "complete-null-text";
    step.errorText = FromUtf8(RestAfterWords(line, 2));
  } else if (directive == "request") {
    std::string value;
    words >> value;
    script.requestIsNull = value == "null";
    return script.requestIsNull;
  } else if (directive == "request-delay") {
    return static_cast<bool>(words >> script.requestDelayMs);
  } else if (directive == "request-success" || directive == "request-failure") {
    script.requestSucceeds = directive == "request-success";
    if (!(words >> script.requestCode)) return false;
    script.response = RestAfterWords(line, 2);
    script.errorText = FromUtf8(script.response);
    return true;
  } else if (directive == "request-null-texts") {
    script.requestNullTexts = true;
    return true;
  } else {
    return false;
  }
  if (words.fail()) return false;
  script.taskSteps.push_back(step);
  return true;
}

}  // namespace

Script LoadScript() {
  Script script;
  for (const std::string& line : ReadScriptLines()) {
    if (!ParseLine(line, script)) Record({"script error", line});
  }
  return script;
}

}  // namespace quennet_double
