// Fuzz target for the Windows signer's own DER and RFC 2253 code, built and run on Linux: the
// bytes a certificate store hands over as a certificate's RSA public key and its name attributes.
// A modulus length is never more than the bytes hold, and an escaped value never leaves one of
// RFC 2253's special characters bare.
#include <cstdint>
#include <string>
#include <string_view>

#include "check.hpp"
#include "windows/der.hpp"

using npc::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const int bits = npc::signer::win::rsa_modulus_bits(bytes);
  check(bits >= 0 && static_cast<std::size_t>(bits) <= size * 8, "a modulus is no longer than its bytes");
  const std::string escaped = npc::signer::win::rfc2253_escape(bytes);
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    const auto c = static_cast<unsigned char>(escaped[i]);
    check(c >= 0x20 && c != 0x7f, "no control byte is left bare");
    if (c == '\\') {
      ++i;  // the escaped character, or the first of two hex digits
      continue;
    }
    check(std::string_view(",+\"<>;").find(static_cast<char>(c)) == std::string_view::npos,
          "no special character is left bare");
  }
  const std::string hex = npc::signer::win::rfc2253_hex(bytes);
  check(hex.size() == 1 + 2 * size && hex[0] == '#', "a hex value is '#' and two digits a byte");
  return 0;
}
