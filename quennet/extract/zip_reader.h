// A ZIP read forward from its local headers as the bytes arrive. What was extracted is checked
// against the central directory at the end of the body; a directory read ahead from the tail
// (zip_index.h) adds the sizes that data descriptors leave out and refuses an entry it does not
// list.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive_reader.h"
#include "byte_gather.h"
#include "entry_gate.h"
#include "output_tree.h"
#include "zip_entry_data.h"
#include "zip_index.h"
#include "zip_records.h"

namespace quennet {

class ZipReader final : public ArchiveReader {
 public:
  // `index` is null when no directory was read ahead.
  ZipReader(OutputTree& out, ExtractCounters& counters, std::shared_ptr<const ZipIndex> index);

  Outcome Consume(const std::uint8_t* data, std::size_t size) override;
  Outcome Finish(const std::wstring& keptPackagePath) override;

 private:
  enum class State {
    kSignature, kLocalFixed, kLocalNames, kEntryData, kDescriptor,
    kCentralFixed, kCentralNames, kZip64End, kZip64Locator, kEnd, kSkip, kDone,
    kDeferred  // a stored entry of unknown length: the rest comes from the kept package file
  };

  struct Extracted {
    std::string rawName;
    std::wstring name;
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    EntryParts parts;
    bool folder = false;
    bool listed = false;  // seen in the central directory
  };

  Outcome Feed(const std::uint8_t* data, std::size_t size);
  Outcome Step(const std::uint8_t** data, std::size_t* size);
  bool Gather(const std::uint8_t** data, std::size_t* size);
  Outcome OnSignature();
  Outcome OnLocalHeader();
  Outcome EndOfData();
  Outcome OnDescriptor();
  Outcome CompleteEntry(std::uint32_t crc, std::uint64_t compressedSize, std::uint64_t size);
  Outcome OnCentralRecord();
  Outcome OnEnd();
  void ExpectSignature();
  Outcome ExtractRestFromKeptFile(const std::wstring& path);

  OutputTree& out_;
  ExtractCounters& counters_;
  std::shared_ptr<const ZipIndex> index_;
  ZipEntryData data_;

  State state_ = State::kSignature;
  ByteGather gather_;
  std::vector<std::uint8_t> replay_;  // bytes a data descriptor read ahead of itself
  std::uint64_t offset_ = 0;          // of the next byte the parser takes
  std::uint64_t recordStart_ = 0;     // of the record being gathered
  std::uint64_t received_ = 0;        // bytes given to Consume
  std::uint64_t skipLeft_ = 0;
  State afterSkip_ = State::kSignature;

  std::uint64_t entryOffset_ = 0;
  ZipEntryFields entry_;
  Extracted current_;
  const ZipCentralRecord* listed_ = nullptr;
  std::uint64_t deferredOffset_ = 0;
  std::wstring deferredName_;

  std::map<std::uint64_t, Extracted> extracted_;  // by local header offset
  EntryNameClaims claims_;
  std::uint32_t filesExtracted_ = 0;
  bool inDirectory_ = false;
  std::uint64_t directoryStart_ = 0;
  std::uint64_t directoryEnd_ = 0;
  std::uint64_t directoryRecords_ = 0;
  bool sawZip64End_ = false;
  std::uint64_t zip64EndOffset_ = 0;
  std::vector<std::uint8_t> zip64End_;
};

}  // namespace quennet
