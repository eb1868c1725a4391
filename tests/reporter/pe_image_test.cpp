#include "debuginfo/pe_image.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "debuginfo/mapped_file.h"

namespace orlent::debuginfo {
namespace {

TEST(ByteCursor, RejectsWhatRunsPastItsSpan) {
  const uint8_t leb[] = {0xE5, 0x8E, 0x26, 0x7F, 0x80};
  ByteCursor cursor(ByteSpan{leb, sizeof leb});
  EXPECT_EQ(cursor.Uleb(), 624485u);
  EXPECT_EQ(cursor.Sleb(), -1);
  EXPECT_TRUE(cursor.ok());
  cursor.Uleb();  // 0x80 continues past the end
  EXPECT_FALSE(cursor.ok());

  const uint8_t tooLong[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
  ByteCursor overflow(ByteSpan{tooLong, sizeof tooLong});
  overflow.Uleb();
  EXPECT_FALSE(overflow.ok()) << "bits past the 64th are a fault, not a wrap";

  const char unterminated[] = {'a', 'b'};
  ByteCursor text(ByteSpan{reinterpret_cast<const uint8_t*>(unterminated), 2});
  EXPECT_TRUE(text.CString().empty());
  EXPECT_FALSE(text.ok());

  ByteCursor fixed(ByteSpan{leb, 3});
  EXPECT_EQ(fixed.U32(), 0u);
  EXPECT_FALSE(fixed.ok());
  const ByteSpan five{leb, 5};
  EXPECT_TRUE(five.Sub(4, 2).empty());
}

// The test program itself: GCC writes DWARF into long-named sections, and the file's headers
// must agree with the image the loader mapped.
TEST(PeImage, ReadsTheRunningProgramsOwnFile) {
  wchar_t path[MAX_PATH];
  ASSERT_NE(::GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
  std::wstring error;
  std::optional<MappedFile> file = MappedFile::Open(path, &error);
  ASSERT_TRUE(file) << std::string(error.begin(), error.end());
  std::optional<PeImage> image = PeImage::Parse(file->bytes());
  ASSERT_TRUE(image);

  const auto* loaded = reinterpret_cast<const uint8_t*>(::GetModuleHandleW(nullptr));
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(
      loaded + reinterpret_cast<const IMAGE_DOS_HEADER*>(loaded)->e_lfanew);
  EXPECT_EQ(image->timeDateStamp(), nt->FileHeader.TimeDateStamp);
  EXPECT_EQ(image->sizeOfImage(), nt->OptionalHeader.SizeOfImage);
  EXPECT_EQ(image->imageBase(), reinterpret_cast<uintptr_t>(loaded));

  const PeSection* text = image->Section(".text");
  ASSERT_NE(text, nullptr);
  EXPECT_TRUE(text->executable());
  const ByteSpan code = image->SectionData(*text);
  ASSERT_GE(code.size, 64u);
  EXPECT_EQ(std::memcmp(code.data, loaded + text->rva, 64), 0);
  EXPECT_EQ(image->SectionOfRva(text->rva + 1), text);
  EXPECT_FALSE(image->SectionData(".eh_frame").empty());
  EXPECT_TRUE(image->HasDwarf()) << "the tests are built with -g";
  EXPECT_FALSE(image->coffSymbols().empty());
}

TEST(PeImage, RefusesWhatIsNotAPeFile) {
  std::vector<uint8_t> bytes(512, 0);
  EXPECT_FALSE(PeImage::Parse(ByteSpan{bytes.data(), bytes.size()}));
  bytes[0] = 'M';
  bytes[1] = 'Z';
  bytes[0x3C] = 0xF0;
  bytes[0x3D] = 0xFF;  // e_lfanew far past the end
  EXPECT_FALSE(PeImage::Parse(ByteSpan{bytes.data(), bytes.size()}));
  EXPECT_FALSE(PeImage::Parse(ByteSpan{}));
}

}  // namespace
}  // namespace orlent::debuginfo
