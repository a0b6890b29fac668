// The Windows side's own crypto on CNG and CryptoAPI's decoders: digests, a certificate's
// details read from its decoded structures, and checking a signature against a certificate.
#pragma once

// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

#include <optional>
#include <string>
#include <string_view>

#include "core/crypto.hpp"

namespace npc::signer::win {

// The digest of `data` with `hash` (its tag, "SHA256", is CNG's algorithm name); empty when CNG
// fails.
std::string digest_of(const hash_algorithm& hash, std::string_view data);

// Describes a DER certificate as the Linux library does: SHA-256 id, RFC 2253 names, serial, UTC
// validity, and key type, size and curve taken from the public key itself (CertGetPublicKeyLength
// and CertNameToStr give other answers). nullopt when the bytes are not a certificate.
std::optional<certificate_info> describe(std::string_view der);

// Whether `signature` over `digest` verifies with the certificate's public key. The signature is
// as CNG makes it: for RSA the big-endian block, for ECDSA raw r then s.
bool verify(std::string_view certificate_der, padding pad, const hash_algorithm& hash,
            std::string_view digest, std::string_view signature);

// The UTF-8 of `length` UTF-16 units; empty when there are none or they do not convert.
std::string utf8_of(const wchar_t* text, std::size_t length);

// The UTF-16 of UTF-8 `text`; "?" when it does not convert.
std::wstring wide_of(std::string_view text);

// `hash`'s tag as a wide CNG algorithm name ("SHA256").
std::wstring cng_hash_name(const hash_algorithm& hash);

namespace detail {

// verify() once the public key is a CNG handle; the NCrypt tests check their signatures with it.
bool verify_with_key(BCRYPT_KEY_HANDLE key, padding pad, const hash_algorithm& hash,
                     std::string_view digest, std::string_view signature);

}  // namespace detail
}  // namespace npc::signer::win
