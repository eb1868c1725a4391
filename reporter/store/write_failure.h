// Why a write to disk failed, in words a reader can act on. A full disk does not always come
// with an error code: WriteFile may succeed having written only part of the bytes, and Wine's
// MiniDumpWriteDump returns TRUE for a dump it could not write whole. So the volume's free
// space is asked before the half-written file is removed.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace orlent {

// Below this much free space a failed or short write is put down to a full disk: writers fill
// the volume to the last block they can.
constexpr unsigned long long kFullDiskBytes = 64 * 1024;

// "the disk is full (N bytes free on the volume of FOLDER)" when fewer than kFullDiskBytes are
// free to this user there; empty when there is more or the free space cannot be read.
std::wstring FullDiskText(const std::wstring& folder);

// "CALL failed: MESSAGE (error CODE)" when the call left an error code; "CALL failed without
// an error code" when it did not (never "Success (error 0)").
std::wstring CallFailedWith(const wchar_t* call, DWORD code);

// A write of `wanted` bytes into a file in `folder` that failed (`code` from GetLastError) or
// came back short with `written` bytes; names a full disk when that is the cause.
std::wstring WriteFailedText(DWORD code, size_t written, size_t wanted,
                             const std::wstring& folder);

// The folder part of a file's path.
std::wstring FolderOf(const std::wstring& path);

}  // namespace orlent
