// Bounds-checked reading of the little-endian records that debug sections are made of (DWARF,
// call frame information, PE headers). Module files are untrusted input: a read past the end
// yields zero and marks the cursor failed instead of touching memory beyond the span, so a
// parser checks `ok()` once per record rather than every field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace orlent::debuginfo {

// A view of bytes that belong to someone else (a mapped file, a copy of a section).
struct ByteSpan {
  const uint8_t* data = nullptr;
  size_t size = 0;

  bool empty() const { return size == 0; }
  // The bytes [offset, offset + length), or an empty span when they are not all inside.
  ByteSpan Sub(uint64_t offset, uint64_t length) const {
    if (offset > size || length > size - offset) return {};
    return {data + offset, static_cast<size_t>(length)};
  }
  ByteSpan From(uint64_t offset) const {
    return offset > size ? ByteSpan{} : ByteSpan{data + offset, size - size_t(offset)};
  }
};

class ByteCursor {
 public:
  ByteCursor() = default;
  explicit ByteCursor(ByteSpan span, uint64_t offset = 0) : span_(span), at_(offset) {
    if (offset > span.size) failed_ = true;
  }

  bool ok() const { return !failed_; }
  bool AtEnd() const { return failed_ || at_ >= span_.size; }
  uint64_t offset() const { return at_; }
  uint64_t remaining() const { return failed_ || at_ > span_.size ? 0 : span_.size - at_; }
  ByteSpan span() const { return span_; }

  void Seek(uint64_t offset) {
    if (offset > span_.size) failed_ = true;
    else at_ = offset;
  }
  void Skip(uint64_t count) {
    if (count > remaining()) failed_ = true;
    else at_ += count;
  }
  // The next `count` bytes as a span of their own, or an empty span (and failure).
  ByteSpan Take(uint64_t count) {
    if (count > remaining()) {
      failed_ = true;
      return {};
    }
    ByteSpan taken{span_.data + at_, static_cast<size_t>(count)};
    at_ += count;
    return taken;
  }

  uint8_t U8() { return static_cast<uint8_t>(Fixed(1)); }
  uint16_t U16() { return static_cast<uint16_t>(Fixed(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Fixed(4)); }
  uint64_t U64() { return Fixed(8); }
  // An unsigned value of 1, 2, 4 or 8 bytes.
  uint64_t Fixed(unsigned bytes) {
    if (bytes > 8 || bytes > remaining()) {
      failed_ = true;
      at_ = span_.size;
      return 0;
    }
    uint64_t value = 0;
    for (unsigned i = 0; i < bytes; ++i) value |= uint64_t{span_.data[at_ + i]} << (8 * i);
    at_ += bytes;
    return value;
  }

  // LEB128: a value longer than 64 bits is a fault, not a wrap.
  uint64_t Uleb() {
    uint64_t value = 0;
    for (unsigned shift = 0;; shift += 7) {
      const uint8_t byte = U8();
      if (!ok()) return 0;
      const uint64_t bits = byte & 0x7Fu;
      if (shift < 64) value |= bits << shift;
      if ((shift >= 64 && bits != 0) || (shift == 63 && bits > 1)) failed_ = true;
      if ((byte & 0x80) == 0) return value;
      if (shift > 70) {
        failed_ = true;
        return 0;
      }
    }
  }
  int64_t Sleb() {
    uint64_t value = 0;
    unsigned shift = 0;
    uint8_t byte = 0;
    do {
      byte = U8();
      if (!ok()) return 0;
      if (shift < 64) value |= uint64_t{byte & 0x7Fu} << shift;
      shift += 7;
      if (shift > 77) {
        failed_ = true;
        return 0;
      }
    } while (byte & 0x80);
    if (shift < 64 && (byte & 0x40)) value |= ~uint64_t{0} << shift;
    return static_cast<int64_t>(value);
  }

  // A NUL-terminated string; without a terminator inside the span it is a fault.
  std::string_view CString() {
    if (failed_ || at_ >= span_.size) {
      failed_ = true;
      return {};
    }
    const void* end = std::memchr(span_.data + at_, 0, span_.size - at_);
    if (end == nullptr) {
      failed_ = true;
      at_ = span_.size;
      return {};
    }
    const size_t length = static_cast<const uint8_t*>(end) - (span_.data + at_);
    std::string_view text(reinterpret_cast<const char*>(span_.data + at_), length);
    at_ += length + 1;
    return text;
  }

 private:
  ByteSpan span_;
  uint64_t at_ = 0;
  bool failed_ = false;
};

}  // namespace orlent::debuginfo
