#include "task/sha256.h"

#include <cwctype>
#include <vector>

namespace quennet {
namespace {

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

int Base64Value(wchar_t c) {
  if (c >= L'A' && c <= L'Z') return c - L'A';
  if (c >= L'a' && c <= L'z') return c - L'a' + 26;
  if (c >= L'0' && c <= L'9') return c - L'0' + 52;
  if (c == L'+') return 62;
  if (c == L'/') return 63;
  return -1;
}

std::wstring Trim(const std::wstring& text) {
  const size_t first = text.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return {};
  return text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

bool FromHex(const std::wstring& text, Sha256Digest* digest) {
  if (text.size() != 64) return false;
  for (size_t i = 0; i < 32; ++i) {
    const int high = HexValue(text[2 * i]);
    const int low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    (*digest)[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return true;
}

bool FromBase64(const std::wstring& text, Sha256Digest* digest) {
  std::vector<std::uint8_t> bytes;
  unsigned int bits = 0;
  int count = 0;
  for (wchar_t c : text) {
    if (c == L'=') break;
    const int value = Base64Value(c);
    if (value < 0) return false;
    bits = (bits << 6) | static_cast<unsigned>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes.push_back(static_cast<std::uint8_t>((bits >> count) & 0xFF));
    }
  }
  if (bytes.size() != digest->size()) return false;
  std::copy(bytes.begin(), bytes.end(), digest->begin());
  return true;
}

}  // namespace

bool Sha256::Reset(long* error) {
  hash_.reset();
  if (!algorithm_) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    const NTSTATUS status =
        ::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (status < 0) {
      *error = status;
      return false;
    }
    algorithm_.reset(algorithm);
  }
  BCRYPT_HASH_HANDLE hash = nullptr;
  const NTSTATUS status = ::BCryptCreateHash(algorithm_.get(), &hash, nullptr, 0, nullptr, 0, 0);
  if (status < 0) {
    *error = status;
    return false;
  }
  hash_.reset(hash);
  return true;
}

void Sha256::Update(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
    ::BCryptHashData(hash_.get(), const_cast<PUCHAR>(data), piece, 0);
    data += piece;
    size -= piece;
  }
}

bool Sha256::Finish(Sha256Digest* digest) {
  return ::BCryptFinishHash(hash_.get(), digest->data(), static_cast<ULONG>(digest->size()), 0) >= 0;
}

bool ExpectedSha256(const std::wstring& checksumHeader, const std::wstring& digestHeader,
                    Sha256Digest* digest) {
  if (FromHex(Trim(checksumHeader), digest)) return true;
  size_t start = 0;
  while (start < digestHeader.size()) {
    size_t end = digestHeader.find(L',', start);
    if (end == std::wstring::npos) end = digestHeader.size();
    const std::wstring item = Trim(digestHeader.substr(start, end - start));
    const size_t equals = item.find(L'=');
    if (equals != std::wstring::npos && _wcsicmp(Trim(item.substr(0, equals)).c_str(), L"sha-256") == 0)
      return FromBase64(Trim(item.substr(equals + 1)), digest);
    start = end + 1;
  }
  return false;
}

std::wstring ToHex(const Sha256Digest& digest) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text;
  for (std::uint8_t b : digest) {
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

}  // namespace quennet
