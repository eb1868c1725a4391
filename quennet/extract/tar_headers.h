// The 512-byte headers of a tar archive (ustar, GNU) and the pax extended header records that
// may come before one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quennet {

constexpr std::size_t kTarBlock = 512;

struct TarHeader {
  std::string name;  // prefix and name joined for ustar
  char type = '0';
  std::uint64_t size = 0;
};

enum class TarHeaderResult { kEntry, kEndOfArchive, kBadChecksum, kBadNumber };

// Reads one header block; an all-zero block marks the end of the archive.
TarHeaderResult ParseTarHeader(const std::uint8_t* block, TarHeader* header);

// What pax extended records say about the next entry.
struct PaxOverrides {
  std::optional<std::string> path;
  std::optional<std::uint64_t> size;
  // GNU sparse files. Format 1.0 (what bsdtar and GNU tar --sparse-version=1.0 write) names the
  // real file and its size here and puts the map of its data at the start of the entry's data.
  bool sparse = false;  // any GNU.sparse record: formats 0.0 and 0.1 state no version
  std::optional<std::uint64_t> sparseMajor;
  std::optional<std::uint64_t> sparseMinor;
  std::optional<std::string> sparseName;
  std::optional<std::uint64_t> sparseRealSize;

  bool SparseFormat10() const { return sparse && sparseMajor == 1u && sparseMinor == 0u; }
};

// Parses "LENGTH KEY=VALUE\n" records; false when they are malformed.
bool ParsePaxRecords(const std::string& records, PaxOverrides* overrides);

// Decimal digits only, without overflow.
bool ParseDecimal(std::string_view text, std::uint64_t* value);

}  // namespace quennet
