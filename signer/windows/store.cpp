// Certificates from the user's MY store and signatures with their keys. The key is acquired with
// a preference for CNG, and the kind of handle that comes back (dwKeySpec) decides the API:
// providers (and Wine) may hand out a CryptoAPI handle whatever was preferred.
#include "windows/store.hpp"

#include <scarderr.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <memory>

#include "windows/cng.hpp"
#include "core/diagnostic_log.hpp"
#include "core/failure.hpp"

namespace npc::signer::win {
namespace {

// The longest signature any key gives (RSA-16384); a provider claiming more is not believed.
constexpr DWORD MAX_SIGNATURE_SIZE = 2048;

struct store_close {
  void operator()(HCERTSTORE store) const { CertCloseStore(store, 0); }
};
using store_ptr = std::unique_ptr<void, store_close>;
struct certificate_free {
  void operator()(const CERT_CONTEXT* context) const { CertFreeCertificateContext(context); }
};
using certificate_ptr = std::unique_ptr<const CERT_CONTEXT, certificate_free>;

std::string hex_status(DWORD status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(status));
  return text;
}

store_ptr open_my_store() {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                   CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG |
                                       CERT_STORE_OPEN_EXISTING_FLAG,
                                   L"MY");
  if (!store && GetLastError() != static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) {
    fail(error_code::token_error,
         "the user's certificate store does not open (" + hex_status(GetLastError()) + ")");
  }
  return store_ptr(store);
}

// A certificate property's bytes; empty when it is absent.
std::vector<BYTE> property(const CERT_CONTEXT* certificate, DWORD id) {
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(certificate, id, nullptr, &size) || size == 0) return {};
  std::vector<BYTE> value(size);
  if (!CertGetCertificateContextProperty(certificate, id, value.data(), &size)) return {};
  value.resize(size);
  return value;
}

bool has_private_key(const CERT_CONTEXT* certificate) {
  DWORD size = 0;
  return CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) ||
         CertGetCertificateContextProperty(certificate, CERT_KEY_CONTEXT_PROP_ID, nullptr, &size) ||
         CertGetCertificateContextProperty(certificate, CERT_NCRYPT_KEY_HANDLE_PROP_ID, nullptr, &size);
}

std::string_view der_of(const CERT_CONTEXT* certificate) {
  return {reinterpret_cast<const char*>(certificate->pbCertEncoded), certificate->cbCertEncoded};
}

// Releases what CryptAcquireCertificatePrivateKey handed out, when it says the caller owns it.
class acquired_key {
 public:
  acquired_key() = default;
  ~acquired_key() {
    if (!owned_ || !handle_) return;
    if (spec_ == CERT_NCRYPT_KEY_SPEC) {
      NCryptFreeObject(handle_);
    } else {
      CryptReleaseContext(handle_, 0);
    }
  }
  acquired_key(const acquired_key&) = delete;
  acquired_key& operator=(const acquired_key&) = delete;

  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE handle_ = 0;
  DWORD spec_ = 0;
  BOOL owned_ = FALSE;
};

class capi_provider {
 public:
  explicit capi_provider(HCRYPTPROV provider) : provider_(provider) {}
  ~capi_provider() {
    if (provider_) CryptReleaseContext(provider_, 0);
  }
  capi_provider(const capi_provider&) = delete;
  capi_provider& operator=(const capi_provider&) = delete;

 private:
  HCRYPTPROV provider_;
};

class capi_hash {
 public:
  capi_hash() = default;
  ~capi_hash() {
    if (hash_) CryptDestroyHash(hash_);
  }
  capi_hash(const capi_hash&) = delete;
  capi_hash& operator=(const capi_hash&) = delete;
  HCRYPTHASH hash_ = 0;
};

ALG_ID capi_hash_id(const hash_algorithm& hash) {
  switch (hash.size) {
    case 32: return CALG_SHA_256;
    case 48: return CALG_SHA_384;
    case 64: return CALG_SHA_512;
  }
  fail(error_code::unsupported_algorithm, "no CryptoAPI hash for " + std::string(hash.name), "hash");
}

// Makes one call into the key's provider that reports a status (0 for success); with the
// diagnostic log on, notes the provider's kind, the function, the status and the time.
template <typename Call>
DWORD noted(const char* provider, const char* function, Call call) {
  const auto start = std::chrono::steady_clock::now();
  const DWORD status = call();
  diagnostic_log::note_call(provider, std::nullopt, function, status, std::chrono::steady_clock::now() - start);
  return status;
}

}  // namespace

std::vector<store_certificate> store_certificates() {
  const store_ptr store = open_my_store();
  std::vector<store_certificate> found;
  if (!store) return found;
  const CERT_CONTEXT* certificate = nullptr;
  while ((certificate = CertEnumCertificatesInStore(store.get(), certificate)) != nullptr) {
    if (!has_private_key(certificate)) continue;
    store_certificate entry;
    entry.der = std::string(der_of(certificate));
    const std::vector<BYTE> name = property(certificate, CERT_FRIENDLY_NAME_PROP_ID);
    if (name.size() >= sizeof(wchar_t)) {
      const auto text = reinterpret_cast<const wchar_t*>(name.data());
      entry.label = utf8_of(text, wcsnlen(text, name.size() / sizeof(wchar_t)));
    }
    const std::vector<BYTE> info = property(certificate, CERT_KEY_PROV_INFO_PROP_ID);
    if (info.size() >= sizeof(CRYPT_KEY_PROV_INFO)) {
      const wchar_t* provider = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(info.data())->pwszProvName;
      if (provider) entry.provider = utf8_of(provider, wcslen(provider));
    }
    found.push_back(std::move(entry));
  }
  return found;
}

std::string sign_with_store_key(std::string_view der, const sign_input& input) {
  const store_ptr store = open_my_store();
  certificate_ptr certificate;
  for (const CERT_CONTEXT* each = nullptr;
       store && (each = CertEnumCertificatesInStore(store.get(), each)) != nullptr;) {
    if (der_of(each) == der) {
      certificate.reset(CertDuplicateCertificateContext(each));
      CertFreeCertificateContext(each);
      break;
    }
  }
  if (!certificate) {
    fail(error_code::certificate_not_found, "the certificate is not in the user's store", "certificate");
  }
  if (!has_private_key(certificate.get())) {
    fail(error_code::key_not_found, "the certificate has no private key in the user's store");
  }
  // The user's own provider asks for the PIN in its own dialog: no silent flag, no PIN given here.
  acquired_key key;
  if (const DWORD status = noted("store", "CryptAcquireCertificatePrivateKey", [&] {
        return CryptAcquireCertificatePrivateKey(certificate.get(), CRYPT_ACQUIRE_PREFER_NCRYPT_KEY_FLAG, nullptr,
                                                 &key.handle_, &key.spec_, &key.owned_)
                   ? 0
                   : GetLastError();
      })) {
    detail::fail_status("CryptAcquireCertificatePrivateKey", status);
  }
  if (key.spec_ == CERT_NCRYPT_KEY_SPEC) return detail::sign_ncrypt(key.handle_, input);
  const std::vector<BYTE> info = property(certificate.get(), CERT_KEY_PROV_INFO_PROP_ID);
  const auto* reopen = info.size() >= sizeof(CRYPT_KEY_PROV_INFO)
                           ? reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(info.data())
                           : nullptr;
  return detail::sign_capi(key.handle_, key.spec_, input, reopen);
}

namespace detail {

std::string sign_ncrypt(NCRYPT_KEY_HANDLE key, const sign_input& input) {
  if (!input.prompt.empty()) {
    // Smart-card key storage providers show this in their PIN dialog; others ignore it.
    NCryptSetProperty(key, NCRYPT_USE_CONTEXT_PROPERTY,
                      reinterpret_cast<PBYTE>(const_cast<wchar_t*>(input.prompt.c_str())),
                      static_cast<DWORD>((input.prompt.size() + 1) * sizeof(wchar_t)), 0);
  }
  const std::wstring hash_name = cng_hash_name(*input.hash);
  BCRYPT_PKCS1_PADDING_INFO pkcs1{hash_name.c_str()};
  BCRYPT_PSS_PADDING_INFO pss{hash_name.c_str(), static_cast<ULONG>(input.hash->size)};
  void* padding_info = nullptr;
  DWORD flags = 0;
  if (input.kind == key_kind::rsa && input.pad == padding::pkcs1) {
    padding_info = &pkcs1;
    flags = BCRYPT_PAD_PKCS1;
  } else if (input.kind == key_kind::rsa && input.pad == padding::pss) {
    padding_info = &pss;
    flags = BCRYPT_PAD_PSS;
  } else if (input.kind != key_kind::ec || input.pad != padding::none) {
    fail(error_code::unsupported_algorithm, "this key cannot sign with that algorithm");
  }
  auto digest = reinterpret_cast<PBYTE>(const_cast<char*>(input.digest.data()));
  const auto digest_size = static_cast<DWORD>(input.digest.size());
  DWORD size = 0;
  DWORD status = noted("cng", "NCryptSignHash", [&] {
    return static_cast<DWORD>(NCryptSignHash(key, padding_info, digest, digest_size, nullptr, 0, &size, flags));
  });
  if (status != ERROR_SUCCESS) fail_status("NCryptSignHash", static_cast<DWORD>(status));
  if (size == 0 || size > MAX_SIGNATURE_SIZE) {
    fail(error_code::token_error, "the key's provider claims a signature of " + std::to_string(size) + " bytes");
  }
  std::string signature(size, '\0');
  status = noted("cng", "NCryptSignHash", [&] {
    return static_cast<DWORD>(NCryptSignHash(key, padding_info, digest, digest_size,
                                             reinterpret_cast<PBYTE>(signature.data()), size, &size, flags));
  });
  if (status != ERROR_SUCCESS) fail_status("NCryptSignHash", static_cast<DWORD>(status));
  signature.resize(std::min<std::size_t>(size, signature.size()));
  return signature;
}

std::string sign_capi(HCRYPTPROV provider, DWORD key_spec, const sign_input& input,
                      const CRYPT_KEY_PROV_INFO* reopen) {
  if (input.kind != key_kind::rsa || input.pad != padding::pkcs1) {
    fail(error_code::unsupported_algorithm,
         "this key's provider speaks CryptoAPI, which signs only RSA PKCS#1 v1.5 (padding pkcs1)",
         "padding");
  }
  if (!input.prompt.empty()) {
    // Smart-card providers show this text in their PIN dialog; the software ones refuse it.
    CryptSetProvParam(provider, PP_UI_PROMPT,
                      reinterpret_cast<const BYTE*>(input.prompt.c_str()), 0);
  }
  capi_hash hash;
  if (!CryptCreateHash(provider, capi_hash_id(*input.hash), 0, 0, &hash.hash_) ||
      !CryptSetHashParam(hash.hash_, HP_HASHVAL, reinterpret_cast<const BYTE*>(input.digest.data()), 0)) {
    const DWORD status = GetLastError();
    // A container opened through an older RSA provider type knows no SHA-2: the same container
    // through the AES provider does.
    if (status == static_cast<DWORD>(NTE_BAD_ALGID) && reopen && reopen->pwszContainerName) {
      HCRYPTPROV aes = 0;
      if (!CryptAcquireContextW(&aes, reopen->pwszContainerName, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                                reopen->dwFlags & CRYPT_MACHINE_KEYSET)) {
        fail_status("CryptAcquireContext (AES provider)", GetLastError());
      }
      const capi_provider owner(aes);
      return sign_capi(aes, key_spec, input, nullptr);
    }
    fail_status("CryptCreateHash", status);
  }
  DWORD size = 0;
  if (const DWORD status = noted("capi", "CryptSignHash", [&] {
        return CryptSignHashW(hash.hash_, key_spec, nullptr, 0, nullptr, &size) ? 0 : GetLastError();
      })) {
    fail_status("CryptSignHash", status);
  }
  if (size == 0 || size > MAX_SIGNATURE_SIZE) {
    fail(error_code::token_error, "the key's provider claims a signature of " + std::to_string(size) + " bytes");
  }
  std::string signature(size, '\0');
  if (const DWORD status = noted("capi", "CryptSignHash", [&] {
        return CryptSignHashW(hash.hash_, key_spec, nullptr, 0, reinterpret_cast<BYTE*>(signature.data()), &size)
                   ? 0
                   : GetLastError();
      })) {
    fail_status("CryptSignHash", status);
  }
  signature.resize(std::min<std::size_t>(size, signature.size()));
  // CryptoAPI writes the signature least significant byte first; PKCS#1 wants it the other way.
  std::reverse(signature.begin(), signature.end());
  return signature;
}

void fail_status(const char* call, DWORD status) {
  const std::string where = std::string(call) + " failed (" + hex_status(status) + ")";
  switch (status) {
    case static_cast<DWORD>(NTE_BAD_KEYSET):
    case static_cast<DWORD>(NTE_NO_KEY):
    case static_cast<DWORD>(NTE_BAD_KEY):
    case static_cast<DWORD>(NTE_NOT_FOUND):
    case static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY):
      fail(error_code::key_not_found, "the certificate's private key is not available: " + where);
    case static_cast<DWORD>(SCARD_W_WRONG_CHV):
      fail(error_code::pin_incorrect, "the PIN is incorrect");
    case static_cast<DWORD>(SCARD_W_CHV_BLOCKED):
      fail(error_code::pin_locked, "the card's PIN is locked");
    case static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER):
    case static_cast<DWORD>(NTE_USER_CANCELLED):
    case static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_CANCELLED)):
    case static_cast<DWORD>(ERROR_CANCELLED):
      fail(error_code::cancelled, "the user cancelled the PIN dialog");
    case static_cast<DWORD>(NTE_BAD_ALGID):
    case static_cast<DWORD>(NTE_NOT_SUPPORTED):
      fail(error_code::unsupported_algorithm, "the key's provider cannot sign that way: " + where);
    case static_cast<DWORD>(SCARD_W_REMOVED_CARD):
    case static_cast<DWORD>(SCARD_E_NO_SMARTCARD):
      fail(error_code::token_error, "the card is not in its reader: " + where);
  }
  fail(error_code::token_error, where);
}

}  // namespace detail
}  // namespace npc::signer::win
