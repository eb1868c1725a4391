// A function's name as a developer reads it: C++ names demangled, the rest as they are.
#pragma once

#include <string>
#include <string_view>

namespace orlent::debuginfo {

// "_ZN4game9LoadLevelEv" -> "game::LoadLevel()"; a name that is not a mangled one, or does
// not demangle, is given back unchanged. UTF-8 in, UTF-16 out.
std::wstring DemangledName(std::string_view name);

}  // namespace orlent::debuginfo
