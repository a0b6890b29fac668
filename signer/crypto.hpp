// The OpenSSL side of signing: hash algorithms, certificate details, the encodings a signature
// needs before and after the token (DigestInfo, ECDSA DER), checking a signature against its
// certificate, and base64 for the bytes that travel in JSON.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace npc::signer {

// Most bytes of data (after base64 decoding) that one request may carry.
inline constexpr std::size_t MAX_DATA_SIZE = 16 * 1024 * 1024;

struct hash_algorithm {
  std::string_view name;        // as replies write it: "SHA-256"
  std::string_view tag;         // in algorithm names: "SHA256"
  const char* openssl_name;     // for EVP_get_digestbyname
  unsigned long pkcs11_hash;    // CKM_SHA256, for PSS parameters
  unsigned long pkcs11_mgf;     // CKG_MGF1_SHA256
  std::size_t size;             // digest bytes
};

// The hash named "SHA-256", "sha256", "SHA256" and so on; nullptr for one not supported.
const hash_algorithm* find_hash(std::string_view name);

enum class key_kind { rsa, ec, other };
enum class padding { pkcs1, pss, none };

struct certificate_info {
  std::string fingerprint;  // SHA-256 of the DER, lowercase hex: the certificate's id
  std::string subject;      // RFC 2253, UTF-8
  std::string common_name;  // empty when the subject has none
  std::string issuer;
  std::string serial;       // lowercase hex
  std::string not_before;   // "2025-01-31T12:00:00Z"
  std::string not_after;
  std::string key_type;     // "RSA", "EC", or OpenSSL's short name of another type
  std::string curve;        // "P-256" and the like for EC keys, else empty
  int key_bits = 0;
  key_kind kind = key_kind::other;
};

// Describes a DER certificate; nullopt when the bytes are not one.
std::optional<certificate_info> describe_certificate(std::string_view der);

// The digest of `data`.
std::string compute_digest(const hash_algorithm& hash, std::string_view data);

// The DER DigestInfo that PKCS#1 v1.5 signs: the hash's OID, NULL parameters and the digest.
std::string rsa_digest_info(const hash_algorithm& hash, std::string_view digest);

// Turns a token's raw ECDSA signature (r then s, equal halves) into DER; empty when `raw` is of
// odd length or empty.
std::string ecdsa_signature_der(std::string_view raw);

// Whether `signature` (DER for ECDSA) over `digest` verifies with the certificate's public key.
bool verify_signature(std::string_view certificate_der, padding pad, const hash_algorithm& hash,
                      std::string_view digest, std::string_view signature);

// Standard base64 with padding.
std::string base64_text(std::string_view bytes);

// Strict decoding: the standard alphabet, a length that is a multiple of four, "=" only as the
// last one or two characters. nullopt for anything else.
std::optional<std::string> base64_bytes(std::string_view text);

// Bytes that base64_bytes would give for a text of `length` characters ending in `padding` "="s.
constexpr std::size_t base64_decoded_size(std::size_t length, std::size_t padding) {
  return length / 4 * 3 - padding;
}

}  // namespace npc::signer
