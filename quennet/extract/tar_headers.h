// The 512-byte headers of a tar archive (ustar, GNU) and the pax extended header records that
// may come before one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

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
};

// Parses "LENGTH KEY=VALUE\n" records; false when they are malformed.
bool ParsePaxRecords(const std::string& records, PaxOverrides* overrides);

}  // namespace quennet
