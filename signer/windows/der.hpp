// The few DER and RFC 2253 pieces the Windows side builds or reads itself, where CryptoAPI's own
// helpers give other answers than the Linux library: RSA modulus lengths and the text of
// distinguished names. Plain byte handling, no system calls.
#pragma once

#include <string>
#include <string_view>

namespace npc::signer::win {

// The exact bit length of the modulus of a DER RSAPublicKey (SEQUENCE { n, e }); 0 when the bytes
// are not one.
int rsa_modulus_bits(std::string_view rsa_public_key);

// One attribute value as RFC 2253 writes it: ',', '+', '"', '\', '<', '>', ';' escaped, a leading
// '#' or space and a trailing space escaped, control characters as \XX; bytes above 0x7f (UTF-8)
// kept as they are.
std::string rfc2253_escape(std::string_view value);

// "#" and the hex of `bytes`: RFC 2253's form for a value that is not a string.
std::string rfc2253_hex(std::string_view bytes);

}  // namespace npc::signer::win
