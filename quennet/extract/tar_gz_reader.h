// A tar archive inside gzip (one member or several one after another), read as the bytes arrive.
// Regular files, folders and GNU sparse files of pax format 1.0 are extracted; links, devices
// and fifos are refused.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive_reader.h"
#include "byte_gather.h"
#include "entry_gate.h"
#include "inflater.h"
#include "output_tree.h"
#include "tar_headers.h"
#include "tar_sparse.h"

namespace quennet {

class TarGzReader final : public ArchiveReader {
 public:
  TarGzReader(OutputTree& out, ExtractCounters& counters);

  Outcome Consume(const std::uint8_t* data, std::size_t size) override;
  Outcome Finish(const std::wstring& keptPackagePath) override;

 private:
  enum class State { kHeader, kFileData, kSparseMap, kCollect, kSkip, kEnd };

  Outcome TarFeed(const std::uint8_t* data, std::size_t size);
  Outcome TarStep(const std::uint8_t** data, std::size_t* size);
  Outcome OnHeader();
  Outcome BeginEntry(const TarHeader& header);
  Outcome EndOfFile();
  Outcome OnCollected();
  // Moves past `count` bytes of the current data (file, collected or skipped).
  void Skip(const std::uint8_t** data, std::size_t* size, std::size_t count);
  void SkipThenHeader(std::uint64_t bytes);
  void ExpectHeader();

  OutputTree& out_;
  ExtractCounters& counters_;
  Inflater gzip_{Inflater::Framing::kGzip};
  bool memberEnded_ = false;
  std::vector<std::uint8_t> tarBytes_;

  State state_ = State::kHeader;
  ByteGather gather_;
  std::uint64_t tarOffset_ = 0;     // of the next tar byte
  std::uint64_t headerOffset_ = 0;  // of the header being read
  std::uint64_t left_ = 0;          // of the current file's data, or of what is collected/skipped
  std::uint64_t padding_ = 0;       // after the current file's data
  char collecting_ = 0;             // 'x' (pax) or 'L'/'K' (GNU long names)
  std::string collected_;
  PaxOverrides pax_;
  std::string longName_;
  bool haveLongName_ = false;
  std::wstring entryName_;
  std::uint32_t filesExtracted_ = 0;
  EntryNameClaims claims_;
  bool sparse_ = false;  // the current file is a GNU sparse file
  std::uint64_t sparseRealSize_ = 0;
  SparseMapReader sparseMap_;
  SparseFileWriter sparseWriter_;
};

}  // namespace quennet
