// The rules of the network half that decide what happens between two tries and around the
// bytes: the retry schedule, the content codings, the gzip decoder and the resume record.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "net/content_coding.h"
#include "net/retry_schedule.h"
#include "task/resume_record.h"

namespace quennet {
namespace {

// Pauses until the schedule gives up, each try failing at once (no time spent in the try).
std::vector<DWORD> PausesOf(int attempts, DWORD budget, ULONGLONG tryCostMs = 0) {
  RetrySchedule schedule(attempts, budget);
  std::vector<DWORD> pauses;
  ULONGLONG now = 5000;
  DWORD pause = 0;
  for (;;) {
    now += tryCostMs;
    if (!schedule.NextPause(now, false, &pause)) break;
    pauses.push_back(pause);
    now += pause;
    if (pauses.size() > 64) break;
  }
  return pauses;
}

TEST(RetrySchedule, DoublesItsPausesAndSpendsTheBudgetWithinTheTries) {
  struct Case {
    int attempts;
    DWORD budget;
    ULONGLONG tryCost;
    std::vector<DWORD> pauses;
  } cases[] = {
      {5, 60000, 0, {4000, 8000, 16000, 32000}},  // the console's 5 tries over a minute
      {5, 1500, 0, {100, 200, 400, 800}},
      {3, 60000, 0, {20000, 40000}},
      {2, 60000, 0, {60000}},
      {1, 60000, 0, {}},                          // a single try is never repeated
      {0, 60000, 0, {}},
      // Tries that each take 10 s (a stall) leave less to pause: they come off the budget.
      {5, 60000, 10000, {4000, 6571, 9809, 9620}},
      // Tries that take longer than the budget: it ends the tries before their number does.
      {5, 60000, 40000, {4000, 2285}},
      // More tries than the budget can space out get the shortest pause, until it is spent.
      {40, 200, 0, {50, 50, 50, 50}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PausesOf(c.attempts, c.budget, c.tryCost), c.pauses)
        << c.attempts << " tries, " << c.budget << " ms, " << c.tryCost << " ms a try";
  }
}

TEST(RetrySchedule, ProgressStartsTheBudgetAgainButNotTheTries) {
  RetrySchedule schedule(4, 7000);
  DWORD pause = 0;
  ASSERT_TRUE(schedule.NextPause(1000, false, &pause));
  EXPECT_EQ(pause, 1000u);                          // 7000 over 1 + 2 + 4 shares
  // The next try ran for a minute and moved the download: the server was not lost before it.
  ASSERT_TRUE(schedule.NextPause(62000, true, &pause));
  EXPECT_EQ(pause, 2333u);                          // 7000 over 1 + 2 shares
  ASSERT_TRUE(schedule.NextPause(62000 + 2333, false, &pause));
  EXPECT_EQ(pause, 4667u);
  EXPECT_FALSE(schedule.NextPause(70000, true, &pause));  // 4 tries made
  EXPECT_EQ(schedule.TriesMade(), 4);
}

TEST(ContentCoding, ReadsTheHeaderByName) {
  struct Case {
    const wchar_t* header;
    ContentCoding coding;
  } cases[] = {
      {L"", ContentCoding::kIdentity},
      {L"identity", ContentCoding::kIdentity},
      {L" Identity ", ContentCoding::kIdentity},
      {L"gzip", ContentCoding::kGzip},
      {L"X-GZIP", ContentCoding::kGzip},
      {L"identity, gzip", ContentCoding::kGzip},
      {L"br", ContentCoding::kUnsupported},
      {L"deflate", ContentCoding::kUnsupported},
      {L"zstd", ContentCoding::kUnsupported},
      {L"gzip, gzip", ContentCoding::kUnsupported},  // twice compressed: not one gzip layer
      {L"gzip, br", ContentCoding::kUnsupported},
      {L"gzipped", ContentCoding::kUnsupported},
  };
  for (const Case& c : cases)
    EXPECT_EQ(static_cast<int>(ClassifyContentEncoding(c.header)), static_cast<int>(c.coding))
        << c.header;
}

std::string Gzip(const std::string& data) {
  z_stream stream = {};
  EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

struct Decoded {
  bool ok = true;
  bool atEnd = false;
  std::string bytes;
};

// Feeds `encoded` in pieces of `inPiece` bytes into an output of `room` bytes at a time.
Decoded DecodeInPieces(const std::string& encoded, size_t inPiece, size_t room) {
  GzipDecoder decoder;
  Decoded result;
  std::vector<std::uint8_t> out(room);
  for (size_t offset = 0; offset < encoded.size() && result.ok;) {
    const size_t piece = std::min(inPiece, encoded.size() - offset);
    size_t done = 0;
    while (done < piece) {
      size_t used = 0, produced = 0;
      if (decoder.Decode(reinterpret_cast<const std::uint8_t*>(encoded.data()) + offset + done,
                         piece - done, &used, out.data(), out.size(), &produced) !=
          GzipDecoder::Status::kOk) {
        result.ok = false;
        break;
      }
      result.bytes.append(reinterpret_cast<const char*>(out.data()), produced);
      done += used;
      if (used == 0 && produced == 0) break;
    }
    offset += piece;
  }
  result.atEnd = decoder.AtMemberEnd();
  return result;
}

TEST(GzipDecoder, DecodesWhateverThePiecesAndRefusesDamage) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i * 7919 % 10007) + "\n";
  const std::string one = Gzip(text);
  const std::string two = one + Gzip("second member");
  std::string damaged = one;
  damaged[damaged.size() / 2] ^= 0x55;
  std::string wrongCrc = one;
  wrongCrc[wrongCrc.size() - 6] ^= 1;  // the CRC-32 in the trailer
  struct Case {
    const char* name;
    std::string encoded;
    size_t inPiece, room;
    bool ok, atEnd;
    std::string expected;
  } cases[] = {
      {"whole", one, one.size(), 1 << 20, true, true, text},
      {"byte by byte in, tiny out", one, 1, 7, true, true, text},
      {"two members", two, 4096, 100, true, true, text + "second member"},
      {"cut short", one.substr(0, one.size() - 9), 4096, 4096, true, false, ""},
      {"damaged", damaged, 4096, 4096, false, false, ""},
      {"wrong trailer", wrongCrc, 4096, 4096, false, false, ""},
      {"not gzip at all", text.substr(0, 5000), 4096, 4096, false, false, ""},
  };
  for (const Case& c : cases) {
    const Decoded decoded = DecodeInPieces(c.encoded, c.inPiece, c.room);
    EXPECT_EQ(decoded.ok, c.ok) << c.name;
    if (!c.ok) continue;
    EXPECT_EQ(decoded.atEnd, c.atEnd) << c.name;
    if (c.atEnd) EXPECT_EQ(decoded.bytes, c.expected) << c.name;
    if (!c.atEnd) EXPECT_EQ(decoded.bytes, text.substr(0, decoded.bytes.size())) << c.name;
  }
}

TEST(ResumeRecord, ReadsBackOnlyWhatItWrites) {
  ResumePoint point;
  point.url = L"https://localhost:47443/包/155M?x=1";
  point.validator = L"\"pkg-155M-9b00000\"";
  point.size = 6000000000ull;
  point.files = 4097;
  const std::string text = FormatResumePoint(point);
  ResumePoint back;
  ASSERT_TRUE(ParseResumePoint(text, &back)) << text;
  EXPECT_TRUE(back == point);

  auto with = [&](const std::string& from, const std::string& to) {
    std::string changed = text;
    changed.replace(changed.find(from), from.size(), to);
    return changed;
  };
  const std::string refused[] = {
      "",
      text.substr(0, text.size() - 1),                         // the last line unfinished
      with("Quennet resume 1", "Quennet resume 2"),
      with("size=6000000000", "size=0"),
      with("size=6000000000", "size=6e9"),
      with("size=6000000000", "size=-1"),
      with("size=6000000000", "size=99999999999999999999"),  // past 64 bits
      with("files=4097", "files=4294967296"),                // past 32 bits
      with("files=4097\n", ""),                              // a line missing
      with("files=4097\n", "files=4097\nfiles=4097\n"),      // a line twice
      with("files=4097\n", "files=4097\nextra=1\n"),
      with("validator=\"pkg-155M-9b00000\"", "validator="),
      with("url=", "url=\r"),
      with("\n", "\r\n"),
  };
  for (const std::string& bad : refused) {
    ResumePoint ignored;
    EXPECT_FALSE(ParseResumePoint(bad, &ignored)) << bad;
  }
  EXPECT_EQ(ResumeRecordPath(L"C:\\dl\\155M.part"), L"C:\\dl\\155M.resume");
}

}  // namespace
}  // namespace quennet
