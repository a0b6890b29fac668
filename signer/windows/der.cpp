// DER and RFC 2253 text for the Windows side, read and written by hand so that the replies match
// the Linux library's byte for byte.
#include "windows/der.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>

#include "core/crypto.hpp"

namespace npc::signer::win {
namespace {

// Reads one element of tag `tag` at the front of `der`: its content, and `der` moved past it.
bool take_element(std::string_view& der, unsigned char tag, std::string_view& content) {
  if (der.size() < 2 || static_cast<unsigned char>(der[0]) != tag) return false;
  std::size_t length = static_cast<unsigned char>(der[1]);
  std::size_t header = 2;
  if (length & 0x80) {
    const std::size_t count = length & 0x7f;
    if (count == 0 || count > 4 || der.size() < 2 + count) return false;
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = length << 8 | static_cast<unsigned char>(der[2 + i]);
    header += count;
  }
  if (der.size() - header < length) return false;
  content = der.substr(header, length);
  der.remove_prefix(header + length);
  return true;
}

}  // namespace

int rsa_modulus_bits(std::string_view rsa_public_key) {
  std::string_view sequence, modulus;
  if (!take_element(rsa_public_key, 0x30, sequence) || !rsa_public_key.empty() ||
      !take_element(sequence, 0x02, modulus)) {
    return 0;
  }
  while (!modulus.empty() && modulus[0] == 0) modulus.remove_prefix(1);
  if (modulus.empty() || modulus.size() > 0x10000) return 0;
  const auto top = static_cast<std::uint8_t>(modulus[0]);
  return static_cast<int>((modulus.size() - 1) * 8) + std::bit_width(top);
}

std::string rfc2253_escape(std::string_view value) {
  static constexpr char DIGITS[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    const bool edge_space = c == ' ' && (i == 0 || i + 1 == value.size());
    if (c < 0x20 || c == 0x7f) {
      out += '\\';
      out += DIGITS[c >> 4];
      out += DIGITS[c & 0xf];
      continue;
    }
    if (std::string_view(",+\"\\<>;").find(static_cast<char>(c)) != std::string_view::npos ||
        (c == '#' && i == 0) || edge_space) {
      out += '\\';
    }
    out += static_cast<char>(c);
  }
  return out;
}

std::string rfc2253_hex(std::string_view bytes) { return "#" + hex_text(bytes); }

}  // namespace npc::signer::win
