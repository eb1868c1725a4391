// The rules that decide what an entry becomes before a byte of it is written: how a ZIP name's
// bytes are read, which names are one file on Windows, what the GNU sparse records and map say.
#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "entry_gate.h"
#include "tar_headers.h"
#include "tar_sparse.h"
#include "zip_records.h"

namespace quennet {
namespace {

const std::string kGameUtf8 = "\xE6\xB8\xB8\xE6\x88\x8F.txt";  // 游戏.txt
const std::string kGameGbk = "\xD3\xCE\xCF\xB7.txt";
const std::wstring kGame = L"游戏.txt";

// Builds a local header as the records parser reads it: fixed part, name, extra fields.
std::vector<std::uint8_t> LocalHeader(const std::string& name, std::uint16_t flags,
                                      const std::string& extra) {
  std::vector<std::uint8_t> header(kZipLocalFixedSize, 0);
  header[0] = 'P', header[1] = 'K', header[2] = 3, header[3] = 4;
  header[6] = flags & 0xFF, header[7] = flags >> 8;
  header[26] = name.size() & 0xFF, header[27] = name.size() >> 8;
  header[28] = extra.size() & 0xFF, header[29] = extra.size() >> 8;
  header.insert(header.end(), name.begin(), name.end());
  header.insert(header.end(), extra.begin(), extra.end());
  return header;
}

std::string Field(std::uint16_t id, const std::string& body) {
  std::string field{static_cast<char>(id & 0xFF), static_cast<char>(id >> 8),
                    static_cast<char>(body.size() & 0xFF), static_cast<char>(body.size() >> 8)};
  return field + body;
}

std::string UnicodePath(const std::string& storedName, const std::string& utf8,
                        std::uint8_t version = 1) {
  std::uint32_t crc = static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(storedName.data()),
            static_cast<uInt>(storedName.size())));
  std::string body(1, static_cast<char>(version));
  for (int i = 0; i < 4; ++i) body.push_back(static_cast<char>((crc >> (8 * i)) & 0xFF));
  return Field(0x7075, body + utf8);
}

const std::string kUnixUidGid = Field(0x7875, std::string("\x01\x04\xE8\x03\x00\x00\x04\xE8\x03\x00\x00", 11));

TEST(ZipNames, EncodingFollowsTheFieldsTheFlagAndTheHost) {
  struct Case {
    const char* what;
    std::string name;
    std::uint16_t flags;
    std::string extra;
    bool madeOnUnix;  // what the directory says; a local header adds its Unix fields
    bool decodes;
    std::wstring expected;
  };
  const Case cases[] = {
      {"flag, UTF-8", kGameUtf8, kZipFlagUtf8Name, "", false, true, kGame},
      {"flag, not UTF-8", kGameGbk, kZipFlagUtf8Name, "", false, false, L""},
      {"DOS host reads 936", kGameGbk, 0, "", false, true, kGame},
      {"DOS host reads UTF-8 bytes as 936", kGameUtf8, 0, "", false, true, L"娓告垙.txt"},
      {"Unix host, UTF-8", kGameUtf8, 0, "", true, true, kGame},
      {"Unix host, 936", kGameGbk, 0, "", true, true, kGame},
      {"Unix field in the local header", kGameUtf8, 0, kUnixUidGid, false, true, kGame},
      {"Unix field, then a Unicode Path", "youxi.txt", 0,
       kUnixUidGid + UnicodePath("youxi.txt", "统一.txt"), false, true, L"统一.txt"},
      {"Unicode Path over 936", kGameGbk, 0, UnicodePath(kGameGbk, "统一.txt"), false, true,
       L"统一.txt"},
      {"Unicode Path of another name", "youxi.txt", 0, UnicodePath("other.txt", "统一.txt"),
       false, true, L"youxi.txt"},
      {"Unicode Path of version 2", "youxi.txt", 0, UnicodePath("youxi.txt", "统一.txt", 2),
       false, true, L"youxi.txt"},
      {"Unicode Path, empty", "youxi.txt", 0, UnicodePath("youxi.txt", ""), false, true,
       L"youxi.txt"},
      {"Unicode Path, not UTF-8", "youxi.txt", 0, UnicodePath("youxi.txt", "\xFF\xFE"), false,
       true, L"youxi.txt"},
      {"Unicode Path cut off by the extra length", "youxi.txt", 0,
       UnicodePath("youxi.txt", "统一.txt").substr(0, 9), false, true, L"youxi.txt"},
  };
  for (const Case& test : cases) {
    const std::vector<std::uint8_t> header = LocalHeader(test.name, test.flags, test.extra);
    const ZipEntryFields fields = ParseZipLocalHeader(header.data());
    EXPECT_EQ(fields.rawName, test.name) << test.what;
    std::wstring name;
    const bool madeOnUnix = test.madeOnUnix || fields.unixExtra;
    EXPECT_EQ(DecodeZipName(fields, madeOnUnix, &name), test.decodes) << test.what;
    if (test.decodes) {
      EXPECT_EQ(name, test.expected) << test.what;
    }
  }
}

EntryParts Parts(const std::wstring& path) {
  EntryParts parts;
  std::size_t start = 0;
  while (start < path.size()) {
    const std::size_t end = std::min(path.find(L'/', start), path.size());
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

TEST(EntryNameClaims, NamesThatAreOneFileOnWindowsAreRefused) {
  struct Case {
    std::vector<std::wstring> names;  // a trailing '/' makes a folder entry
    int refusedAt;                    // -1: all accepted
  };
  const Case cases[] = {
      {{L"a.txt", L"b.txt", L"dir/a.txt"}, -1},
      {{L"a.txt", L"A.TXT"}, 1},
      {{L"dir/x", L"DIR/X"}, 1},
      {{L"dir/x", L"dir/x"}, 1},
      {{L"é", L"É"}, 1},
      {{L"я.txt", L"Я.TXT"}, 1},
      {{L"ａ", L"Ａ"}, 1},
      {{L"σ", L"Σ"}, 1},
      {{L"straße", L"STRASSE"}, -1},
      {{L"file", L"file/inner"}, 1},
      {{L"file/inner", L"FILE"}, 1},
      {{L"folder/", L"Folder"}, 1},
      {{L"folder/", L"FOLDER/", L"folder/x"}, -1},
      {{L"Data/a", L"data/b"}, -1},
      {{L"a/b/c", L"A/B"}, 1},
      {{L"a/b/c", L"a/b/"}, -1},
      {{L"x", L"y", L"z", L"Y"}, 3},
      {{L"游戏/存档", L"游戏/存档"}, 1},
      {{L"游戏/存档", L"游戏/存檔"}, -1},
  };
  for (const Case& test : cases) {
    EntryNameClaims claims;
    int refusedAt = -1;
    for (std::size_t i = 0; i < test.names.size() && refusedAt < 0; ++i) {
      const std::wstring& name = test.names[i];
      const bool folder = name.back() == L'/';
      const Outcome claimed = claims.Claim(Parts(name), folder, name);
      if (claimed.ok()) continue;
      refusedAt = static_cast<int>(i);
      EXPECT_NE(claimed.text.find(name), std::wstring::npos);
    }
    EXPECT_EQ(refusedAt, test.refusedAt) << ::testing::PrintToString(test.names);
  }
}

// One pax record with its length prefix, which counts itself.
std::string Record(const std::string& key, const std::string& value) {
  const std::string body = " " + key + "=" + value + "\n";
  std::size_t length = body.size() + 1;
  while (std::to_string(length).size() + body.size() != length) ++length;
  return std::to_string(length) + body;
}

TEST(PaxSparseRecords, FormatOneIsToldFromTheOthers) {
  struct Case {
    std::string records;
    bool sparse;
    bool format10;
  };
  const Case cases[] = {
      {Record("path", "plain/file.txt"), false, false},
      {Record("GNU.sparse.major", "1") + Record("GNU.sparse.minor", "0"), true, true},
      {Record("GNU.sparse.major", "1") + Record("GNU.sparse.minor", "1"), true, false},
      {Record("GNU.sparse.major", "1"), true, false},
      {Record("GNU.sparse.size", "123456"), true, false},       // 0.0 and 0.1
      {Record("GNU.sparse.map", "0,1,9,0"), true, false},        // 0.1
      {Record("GNU.sparse.offset", "10"), true, false},          // 0.0
  };
  for (const Case& test : cases) {
    PaxOverrides pax;
    ASSERT_TRUE(ParsePaxRecords(test.records, &pax)) << test.records;
    EXPECT_EQ(pax.sparse, test.sparse) << test.records;
    EXPECT_EQ(pax.SparseFormat10(), test.format10) << test.records;
  }
  PaxOverrides pax;
  ASSERT_TRUE(ParsePaxRecords(Record("GNU.sparse.realsize", "9437187") +
                                  Record("GNU.sparse.name", "a.img"), &pax));
  EXPECT_EQ(pax.sparseRealSize, 9437187u);
  EXPECT_EQ(pax.sparseName, "a.img");
  EXPECT_FALSE(ParsePaxRecords(Record("GNU.sparse.realsize", "12x"), &pax));
  EXPECT_FALSE(ParsePaxRecords(Record("GNU.sparse.major", "-1"), &pax));
}

TEST(SparseMap, ReadInSinglePiecesUpToItsPadding) {
  struct Case {
    std::string map;  // padded to a block below unless it says otherwise
    bool pad;
    SparseMapReader::Progress expected;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> segments;
  };
  using P = SparseMapReader::Progress;
  const Case cases[] = {
      {"0\n", true, P::kComplete, {}},
      {"2\n0\n4096\n4194304\n4099\n", true, P::kComplete, {{0, 4096}, {4194304, 4099}}},
      {"1\n0\n10\n", false, P::kMalformed, {}},  // data where the padding belongs
      {"1\n0\n", true, P::kMalformed, {}},   // padding where a number belongs
      {"1\n0\n1x\n", true, P::kMalformed, {}},
      {"1\n\n", true, P::kMalformed, {}},
      {"99999999\n", true, P::kMalformed, {}},  // more segments than a map can hold
      {"1\n0\n18446744073709551616\n", true, P::kMalformed, {}},
  };
  for (const Case& test : cases) {
    std::string bytes = test.map;
    if (test.pad) bytes.resize((bytes.size() + kTarBlock - 1) / kTarBlock * kTarBlock, '\0');
    bytes += "DATA";  // what follows the map must not be taken
    SparseMapReader reader;
    P progress = P::kMore;
    std::size_t taken = 0;
    while (progress == P::kMore && taken < bytes.size()) {
      const std::uint8_t* at = reinterpret_cast<const std::uint8_t*>(bytes.data()) + taken;
      std::size_t one = 1;
      progress = reader.Take(&at, &one);
      taken += 1 - one;
      if (one == 1) break;  // nothing taken: complete
    }
    EXPECT_EQ(progress, test.expected) << test.map;
    if (progress != P::kComplete) continue;
    EXPECT_EQ(reader.length(), bytes.size() - 4) << test.map;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> segments;
    for (const SparseSegment& s : reader.segments()) segments.emplace_back(s.offset, s.length);
    EXPECT_EQ(segments, test.segments) << test.map;
  }
}

}  // namespace
}  // namespace quennet
