// Feeds a package file to the extractor the way the network half does, and prints the outcome
// as one JSON line:
//   extract_driver ARCHIVE OUTDIR [--piece N] [--tail] [--kept] [--abort-after N]
// --piece N        hand the bytes over in pieces of N bytes (default 65536; 1 tests every
//                  boundary of the parsers)
// --tail           offer the end of the package first, as asked by WantedTail/OfferTail
// --kept           give Finish the archive's own path as the kept package file
// --abort-after N  call Abort after N bytes instead of finishing
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "json_string.h"
#include "win/error_text.h"
#include "win/unique_handle.h"
#include "package_extractor.h"
#include "quennet.h"

namespace {

struct Options {
  std::wstring archive;
  std::wstring outDir;
  std::size_t piece = 65536;
  bool tail = false;
  bool kept = false;
  long long abortAfter = -1;
};

int tailRanges = 0;  // how many ranges of the tail the extractor was given

void Print(const char* stage, const quennet::Outcome& outcome,
           const quennet::PackageExtractor& extractor, unsigned long long milliseconds,
           unsigned long long bytes) {
  std::printf("{\"stage\": \"%s\", \"code\": %d, \"text\": %s, \"total_files\": %u, "
              "\"extracted_files\": %u, \"ms\": %llu, \"bytes\": %llu, \"tail_ranges\": %d}\n",
              stage, outcome.code, JsonString(outcome.text).c_str(), extractor.TotalFiles(),
              extractor.ExtractedFiles(), milliseconds, bytes, tailRanges);
  std::fflush(stdout);
}

bool ReadAt(HANDLE file, std::uint64_t offset, std::vector<std::uint8_t>* buffer) {
  LARGE_INTEGER position{};
  position.QuadPart = static_cast<LONGLONG>(offset);
  if (!::SetFilePointerEx(file, position, nullptr, FILE_BEGIN)) return false;
  std::size_t done = 0;
  while (done < buffer->size()) {
    DWORD got = 0;
    if (!::ReadFile(file, buffer->data() + done, static_cast<DWORD>(buffer->size() - done), &got,
                    nullptr) ||
        got == 0)
      return false;
    done += got;
  }
  return true;
}

int Fail(const std::wstring& text) {
  std::fprintf(stderr, "extract_driver: %ls\n", text.c_str());
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (argc < 3) return Fail(L"usage: extract_driver ARCHIVE OUTDIR [--piece N] [--tail] [--kept] "
                            L"[--abort-after N]");
  options.archive = argv[1];
  options.outDir = argv[2];
  for (int i = 3; i < argc; ++i) {
    const std::wstring flag = argv[i];
    if (flag == L"--piece" && i + 1 < argc) options.piece = std::wcstoul(argv[++i], nullptr, 10);
    else if (flag == L"--abort-after" && i + 1 < argc) options.abortAfter = std::wcstoll(argv[++i], nullptr, 10);
    else if (flag == L"--tail") options.tail = true;
    else if (flag == L"--kept") options.kept = true;
    else return Fail(L"unknown argument " + flag);
  }
  if (options.piece == 0) return Fail(L"--piece must be at least 1");

  win::UniqueFileHandle file(::CreateFileW(options.archive.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return Fail(win::CallFailed(L"CreateFileW"));
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size)) return Fail(win::CallFailed(L"GetFileSizeEx"));
  const std::uint64_t packageSize = static_cast<std::uint64_t>(size.QuadPart);

  auto extractor = quennet::CreatePackageExtractor(options.outDir);
  const ULONGLONG started = ::GetTickCount64();
  auto elapsed = [&] { return static_cast<unsigned long long>(::GetTickCount64() - started); };
  std::vector<std::uint8_t> buffer;

  if (options.tail) {
    quennet::ByteRange range = extractor->WantedTail(packageSize);
    for (int round = 0; range.length != 0; ++round) {
      if (round == 4) return Fail(L"the extractor keeps asking for more of the tail");
      buffer.resize(static_cast<std::size_t>(range.length));
      if (!ReadAt(file.get(), range.offset, &buffer)) return Fail(win::CallFailed(L"ReadFile"));
      quennet::ByteRange next;
      ++tailRanges;
      quennet::Outcome offered =
          extractor->OfferTail(range.offset, buffer.data(), buffer.size(), &next);
      if (!offered.ok()) {
        Print("tail", offered, *extractor, elapsed(), 0);
        return 1;
      }
      range = next;
    }
  }

  // Read in large blocks, hand over in pieces: the pieces' size is what is being tested.
  const std::size_t block = std::max<std::size_t>(options.piece, 1 << 20);
  buffer.resize(block);
  std::uint64_t fed = 0;
  while (fed < packageSize) {
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(block, packageSize - fed));
    buffer.resize(length);
    if (!ReadAt(file.get(), fed, &buffer)) return Fail(win::CallFailed(L"ReadFile"));
    for (std::size_t at = 0; at < length; at += options.piece) {
      std::size_t piece = std::min(options.piece, length - at);
      if (options.abortAfter >= 0 && fed + at + piece > static_cast<std::uint64_t>(options.abortAfter))
        piece = static_cast<std::size_t>(options.abortAfter - static_cast<long long>(fed + at));
      quennet::Outcome consumed = extractor->Consume(buffer.data() + at, piece);
      if (!consumed.ok()) {
        extractor->Abort();
        Print("consume", consumed, *extractor, elapsed(), fed + at);
        return 1;
      }
      if (options.abortAfter >= 0 && fed + at + piece >= static_cast<std::uint64_t>(options.abortAfter)) {
        extractor->Abort();
        extractor->Abort();  // twice: the interface allows it
        Print("abort", quennet::Outcome::Ok(), *extractor, elapsed(), fed + at + piece);
        return 0;
      }
    }
    fed += length;
  }
  file.reset();  // the kept file is read again by the extractor
  quennet::Outcome finished = extractor->Finish(options.kept ? options.archive : std::wstring());
  if (!finished.ok()) extractor->Abort();
  Print("finish", finished, *extractor, elapsed(), fed);
  return finished.ok() ? 0 : 1;
}
