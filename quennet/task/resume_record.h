// What a kept package's partial file needs so that another process can continue it: the URL,
// the server's validator and size, and the number of files in the package once known. It is
// written beside the partial file as NAME.resume, in UTF-8 text:
//
//   Quennet resume 1
//   url=<the task's URL as given>
//   size=<the package's size in bytes, decimal>
//   validator=<the strong ETag, else Last-Modified, as the server sent it>
//   files=<entries in the package, decimal; 0 while unknown>
//
// The file exists only while the partial file can be continued with Range and If-Range; a task
// removes it when its package completes or its kept bytes are given up. A record that does not
// read back exactly like this, or names another URL, is ignored and the package starts over.
#pragma once

#include <cstdint>
#include <string>

namespace quennet {

struct ResumePoint {
  std::wstring url;
  std::wstring validator;
  std::uint64_t size = 0;
  std::uint32_t files = 0;

  bool operator==(const ResumePoint& other) const {
    return url == other.url && validator == other.validator && size == other.size &&
           files == other.files;
  }
  bool operator!=(const ResumePoint& other) const { return !(*this == other); }
};

// The record's text, and back. Parse is false for anything that Format would not have written
// (a missing or repeated line, a number that is not plain decimal, an empty URL or validator, a
// size of 0, a line break inside a value).
std::string FormatResumePoint(const ResumePoint& point);
bool ParseResumePoint(const std::string& text, ResumePoint* point);

// NAME.resume beside NAME.part (given the partial file's path).
std::wstring ResumeRecordPath(const std::wstring& partialPath);

bool ReadResumeRecord(const std::wstring& path, ResumePoint* point);
// Replaces the record as a whole (written to NAME.resume.tmp, then moved over it).
bool WriteResumeRecord(const std::wstring& path, const ResumePoint& point);
void RemoveResumeRecord(const std::wstring& path);

}  // namespace quennet
