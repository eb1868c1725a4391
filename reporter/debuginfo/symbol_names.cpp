#include "debuginfo/symbol_names.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

#include "text/utf.h"

namespace orlent::debuginfo {
namespace {

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

}  // namespace

std::wstring DemangledName(std::string_view name) {
  std::string text(name);
  if (text.compare(0, 2, "_Z") == 0) {
    int status = 0;
    std::unique_ptr<char, FreeDeleter> readable(
        abi::__cxa_demangle(text.c_str(), nullptr, nullptr, &status));
    if (status == 0 && readable) text = readable.get();
  }
  return text::Utf8ToWide(text.c_str());
}

}  // namespace orlent::debuginfo
