// UTF-16 text from the crashed process to UTF-8 for the report files and the console.
#pragma once

#include <string>
#include <string_view>

namespace orlent {

// Lone surrogates, which a damaged block can hold, become U+FFFD.
std::string ToUtf8(std::wstring_view text);

}  // namespace orlent
