// SHA-256 of a package as it streams past, with bcrypt.dll's implementation, and the two ways
// a server may announce the expected value.
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "win/unique_handle.h"

namespace quennet {

struct BcryptAlgorithmTraits {
  using Handle = BCRYPT_ALG_HANDLE;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::BCryptCloseAlgorithmProvider(h, 0); }
};
struct BcryptHashTraits {
  using Handle = BCRYPT_HASH_HANDLE;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::BCryptDestroyHash(h); }
};

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
 public:
  // False when bcrypt could not provide SHA-256 (*error holds its NTSTATUS).
  bool Reset(long* error);
  void Update(const std::uint8_t* data, std::size_t size);
  bool Finish(Sha256Digest* digest);

 private:
  win::UniqueHandle<BcryptAlgorithmTraits> algorithm_;
  win::UniqueHandle<BcryptHashTraits> hash_;
};

// The expected digest from `X-Checksum-SHA256: <64 hex digits>` or, failing that, from
// `Digest: sha-256=<base64>` (RFC 3230; other algorithms in the list are skipped). False when
// neither header gives one.
bool ExpectedSha256(const std::wstring& checksumHeader, const std::wstring& digestHeader,
                    Sha256Digest* digest);

std::wstring ToHex(const Sha256Digest& digest);

}  // namespace quennet
