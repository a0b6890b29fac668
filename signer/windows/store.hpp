// The current user's certificate store as the Windows side's keys: the certificates in "MY" that
// have a private key, and signing with that key through whichever API its provider speaks
// (a CNG key storage provider or a CryptoAPI provider, smart-card minidrivers behind either).
#pragma once

// clang-format off
#include <windows.h>
#include <wincrypt.h>
#include <ncrypt.h>
// clang-format on

#include <string>
#include <string_view>
#include <vector>

#include "core/crypto.hpp"

namespace npc::signer::win {

// A certificate in the store with a private key somewhere behind it.
struct store_certificate {
  std::string der;
  std::string label;     // the certificate's friendly name, if it has one
  std::string provider;  // the key's provider ("Microsoft Smart Card Key Storage Provider")
};

// The certificates of the user's MY store that have a private key, in store order. Fails with
// token_error when the store cannot be opened.
std::vector<store_certificate> store_certificates();

// What one signature needs: the key's kind and padding decide the algorithm; `prompt` is shown by
// providers that let a caller describe why the PIN is asked (empty: nothing is set).
struct sign_input {
  key_kind kind = key_kind::rsa;
  padding pad = padding::pkcs1;
  const hash_algorithm* hash = nullptr;
  std::string digest;
  std::wstring prompt;
};

// Signs with the private key of the store's certificate `der`. The provider shows its own PIN
// dialog when it needs one. Returns the signature as CNG gives it (RSA big-endian, ECDSA raw r
// then s), not yet checked. Fails with certificate_not_found, key_not_found, unsupported_algorithm
// (PSS or ECDSA with a CryptoAPI key), pin_incorrect, pin_locked or token_error.
std::string sign_with_store_key(std::string_view der, const sign_input& input);

namespace detail {

// The two branches of sign_with_store_key once the key is acquired, reachable by tests with keys
// of their own (Wine always hands out CryptoAPI handles from the store).
std::string sign_ncrypt(NCRYPT_KEY_HANDLE key, const sign_input& input);
std::string sign_capi(HCRYPTPROV provider, DWORD key_spec, const sign_input& input,
                      const CRYPT_KEY_PROV_INFO* reopen);

// The failure a provider's status stands for, thrown; `call` names the function that gave it.
[[noreturn]] void fail_status(const char* call, DWORD status);

}  // namespace detail
}  // namespace npc::signer::win
