// What a login signs, and which origins and certificates may take part: the rules a server's
// check (client/web/verify.js) repeats, kept in one place here.
#pragma once

#include <string>
#include <string_view>

#include "core/crypto.hpp"

namespace npc::signer {

// The token format, and the text that starts the signed bytes. `sign` refuses data that starts
// with it, so that no signature of a document can pass for a login.
inline constexpr std::string_view AUTHENTICATION_FORMAT = "npcorvane-authenticate-v1";
inline constexpr std::size_t MIN_CHALLENGE = 32;
inline constexpr std::size_t MAX_CHALLENGE = 1024;

// https://host[:port], or http://localhost[:port] or http://127.0.0.1[:port]; the host in lower
// case, as browsers write origins, so that one site has one spelling in what is signed.
bool is_login_origin(std::string_view origin);

// The bytes a login signs: AUTHENTICATION_FORMAT, one 0x00 byte, then the SHA-256 of the origin
// and the SHA-256 of the challenge, as given (90 bytes).
std::string authentication_message(std::string_view origin_sha256, std::string_view challenge_sha256);

// The hash a login with this key signs with: SHA-256 for RSA and P-256, SHA-384 for P-384,
// SHA-512 for P-521; nullptr for any other key.
const hash_algorithm* login_hash(const certificate_info& info);

// Whether `info` is valid at `now` ("YYYY-MM-DDTHH:MM:SSZ", as certificate_info writes times).
bool valid_at(const certificate_info& info, std::string_view now);

// The present, UTC, in that form.
std::string utc_now();

}  // namespace npc::signer
