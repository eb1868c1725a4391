// Names addresses of a module file the way orlent names frames, one line per frame of each
// address's chain, so that a test can hold them against addr2line:
//
//   source_lookup_driver MODULE [store=FOLDER] [return] RVA...
//     -> "RVA<TAB>function<TAB>file<TAB>line" per frame, innermost first, then
//        "RVA<TAB>entry<TAB>0x..." when the function's start is known
//        and "note<TAB>..." for what the lookup refused or could not read.
//
// The module's identity (stamp, size, CodeView) is read from its own file.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "debuginfo/mapped_file.h"
#include "debuginfo/module_sources.h"
#include "text/utf.h"

using namespace orlent::debuginfo;

namespace {

void Print(const std::wstring& text) {
  const std::string utf8 = text::WideToUtf8(text);
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fputs("usage: source_lookup_driver MODULE [store=FOLDER] [return] RVA...\n", stderr);
    return 2;
  }
  ModuleKey key;
  key.path = argv[1];
  std::wstring error;
  if (std::optional<MappedFile> file = MappedFile::Open(key.path, &error))
    if (std::optional<PeImage> image = PeImage::Parse(file->bytes())) {
      key.timeDateStamp = image->timeDateStamp();
      key.sizeOfImage = image->sizeOfImage();
      if (std::optional<CodeViewRecord> record = image->codeView()) {
        key.hasCodeView = true;
        std::memcpy(key.guid, record->guid, 16);
        key.age = record->age;
        key.pdbName = record->pdbName;
      }
    }
  int next = 2;
  std::vector<std::wstring> store;
  bool storeOnly = false;
  if (next < argc && std::wcsncmp(argv[next], L"store=", 6) == 0) {
    store.push_back(argv[next] + 6);
    storeOnly = true;
    ++next;
  }
  bool returnAddress = false;
  if (next < argc && std::wcscmp(argv[next], L"return") == 0) {
    returnAddress = true;
    ++next;
  }
  ModuleSources sources = storeOnly ? ModuleSources::ForStore(key, store)
                                    : ModuleSources(key, {});
  for (; next < argc; ++next) {
    const uint32_t rva = static_cast<uint32_t>(std::wcstoul(argv[next], nullptr, 16));
    const SourceLookup lookup = sources.Describe(rva, returnAddress);
    wchar_t head[16];
    std::swprintf(head, 16, L"%X", rva);
    for (const SourceFrame& frame : lookup.frames)
      Print(std::wstring(head) + L"\t" + frame.function + L"\t" + frame.file + L"\t" +
            std::to_wstring(frame.line) + L"\n");
    if (lookup.hasFunctionStart) {
      wchar_t entry[16];
      std::swprintf(entry, 16, L"%X", lookup.functionRva);
      Print(std::wstring(head) + L"\tentry\t" + entry + L"\n");
    }
  }
  Print(L"debugfile\t" + sources.debugFilePath() + L"\n");
  for (const std::wstring& note : sources.notes()) Print(L"note\t" + note + L"\n");
  return 0;
}
