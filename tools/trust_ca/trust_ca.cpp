// trust_ca CERT.der: adds a CA certificate to the current user's "Root" store, so that this
// Wine prefix (and only it) trusts a test server signed by that CA. Exit code 0 when the
// certificate is in the store and the store was saved; 1 otherwise, with the failed call named.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

#include "win/error_text.h"
#include "win/unique_handle.h"

namespace {

// An owner for the store is used only on failure paths: success must close the store itself and
// check the result, because the system store is written to disk by CertCloseStore.
struct CertStoreTraits {
  using Handle = HCERTSTORE;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::CertCloseStore(h, 0); }
};
using UniqueCertStore = win::UniqueHandle<CertStoreTraits>;

int Fail(const std::wstring& message) {
  std::fwprintf(stderr, L"trust_ca: %ls\n", message.c_str());
  return 1;
}

bool ReadWholeFile(const wchar_t* path, std::vector<BYTE>& bytes, std::wstring& error) {
  win::UniqueFileHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    error = win::CallFailed(L"CreateFileW") + L": " + path;
    return false;
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size)) {
    error = win::CallFailed(L"GetFileSizeEx");
    return false;
  }
  if (size.QuadPart <= 0 || size.QuadPart > 1 << 20) {
    error = std::wstring(L"not a certificate (size ") + std::to_wstring(size.QuadPart) +
            L" bytes): " + path;
    return false;
  }
  bytes.resize(static_cast<size_t>(size.QuadPart));
  DWORD read = 0;
  if (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
      read != bytes.size()) {
    error = win::CallFailed(L"ReadFile");
    return false;
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return Fail(L"usage: trust_ca CERTIFICATE.der");

  std::vector<BYTE> der;
  std::wstring error;
  if (!ReadWholeFile(argv[1], der, error)) return Fail(error);

  UniqueCertStore store(::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                        CERT_SYSTEM_STORE_CURRENT_USER, L"Root"));
  if (!store) return Fail(win::CallFailed(L"CertOpenStore(CurrentUser Root)"));

  if (!::CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(),
                                          static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
    return Fail(win::CallFailed(L"CertAddEncodedCertificateToStore"));

  if (!::CertCloseStore(store.release(), 0)) return Fail(win::CallFailed(L"CertCloseStore"));
  return 0;
}
