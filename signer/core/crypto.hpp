// What every backend shares about signing: the hash algorithms, what a certificate's details
// are, and the encodings (base64 for JSON, hex, ECDSA's DER). Nothing here needs a crypto library.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace npc::signer {

// Most bytes of data (after base64 decoding) that one request may carry.
inline constexpr std::size_t MAX_DATA_SIZE = 16 * 1024 * 1024;

enum class hash_id { sha256, sha384, sha512 };

struct hash_algorithm {
  hash_id id;             // what a backend maps to its own names
  std::string_view name;  // as replies write it: "SHA-256"
  std::string_view tag;   // in algorithm names: "SHA256"
  std::size_t size;       // digest bytes
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
  // The keyUsage extension's first byte as X.509 numbers the bits (0x80 digitalSignature, 0x40
  // nonRepudiation); -1 when the certificate has no such extension.
  int key_usage = -1;
  // Whether the extended key usage lists clientAuth: a certificate for logging in, which
  // signs no digest a page hands in.
  bool client_auth = false;
};

inline constexpr int KEY_USAGE_DIGITAL_SIGNATURE = 0x80;
inline constexpr int KEY_USAGE_NON_REPUDIATION = 0x40;

// Standard base64 with padding.
std::string base64_text(std::string_view bytes);

// Strict decoding: the standard alphabet, a length that is a multiple of four, "=" only as the
// last one or two characters. nullopt for anything else.
std::optional<std::string> base64_bytes(std::string_view text);

// Lowercase hex of `bytes`.
std::string hex_text(std::string_view bytes);

// The DER SEQUENCE { INTEGER r, INTEGER s } of a raw ECDSA signature (r then s, equal halves, big
// endian, as tokens and CNG give it). Empty when `raw` is empty or of odd length.
std::string ecdsa_der_from_raw(std::string_view raw);

}  // namespace npc::signer
