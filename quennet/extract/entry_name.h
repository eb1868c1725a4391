// Entry names as archives store them, turned into text and into a path that stays inside the
// extract folder on Windows, or refused with the reason.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quennet {

enum class NameEncoding {
  kUtf8,         // ZIP with flag bit 11, tar pax records
  kCodePage936,  // ZIP without flag bit 11: what Chinese Windows archivers write
  kUtf8Or936     // plain tar names: UTF-8 when the bytes are valid UTF-8, else code page 936
};

// False when the bytes are not valid text in that encoding.
bool DecodeEntryName(std::string_view raw, NameEncoding encoding, std::wstring* name);

// The name's text for people even when it could not be decoded (invalid bytes as '?').
std::wstring NameForPeople(std::string_view raw);

// Splits `name` into the folder names and file name it is made of, dropping empty and "."
// components. Returns an empty string when the name is safe, otherwise why it is not (Chinese).
// Refused: absolute, drive-letter and UNC names; ".."; ':' anywhere (drive letters and alternate
// data streams); characters Windows does not allow in names; a component that ends in a dot or
// a space; device names (CON, NUL, COM1, LPT1, CONIN$ ... with or without extension, any case).
// '/' and '\' both separate components. No parts at all ("./") names the extract folder itself,
// which only a folder entry may do.
std::wstring SplitSafeEntryName(const std::wstring& name, std::vector<std::wstring>* parts);

// True when `name` ends in a separator: the ZIP way of naming a folder.
bool NamesFolder(const std::wstring& name);

}  // namespace quennet
