// The OpenSSL side of the PKCS#11 backend: hashing, certificate details, the DigestInfo that
// PKCS#1 v1.5 signs, and checking a signature against its certificate.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/crypto.hpp"

namespace npc::signer {

// Describes a DER certificate; nullopt when the bytes are not one.
std::optional<certificate_info> describe_certificate(std::string_view der);

// The digest of `data`; empty only when OpenSSL fails.
std::string compute_digest(const hash_algorithm& hash, std::string_view data);

// The DER DigestInfo that PKCS#1 v1.5 signs: the hash's OID, NULL parameters and the digest.
std::string rsa_digest_info(const hash_algorithm& hash, std::string_view digest);

// Whether `signature` (DER for ECDSA) over `digest` verifies with the certificate's public key.
bool verify_signature(std::string_view certificate_der, padding pad, const hash_algorithm& hash,
                      std::string_view digest, std::string_view signature);

// Whether a key's public half as PKCS#11 gives it (an RSA modulus, or an EC point, bare or
// wrapped in a DER OCTET STRING) is the certificate's public key.
bool key_matches_certificate(std::string_view certificate_der, std::string_view modulus,
                             std::string_view ec_point);

}  // namespace npc::signer
