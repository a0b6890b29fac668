// The alphabet and the decode table, computed from it, that every codec path shares. Internal to
// the codec.
#pragma once

#include <array>
#include <cstdint>

namespace npc::base64_arch {

alignas(64) inline constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
inline constexpr std::uint8_t skip = 0x80;

// Maps every byte to its 6-bit value, or to `skip` for bytes outside the alphabet.
constexpr std::array<std::uint8_t, 256> make_decode_table() {
  std::array<std::uint8_t, 256> table{};
  for (auto& entry : table) entry = skip;
  for (std::uint8_t value = 0; value < 64; ++value)
    table[static_cast<unsigned char>(alphabet[value])] = value;
  return table;
}
inline constexpr auto decode_table = make_decode_table();

static_assert(decode_table['A'] == 0 && decode_table['/'] == 63 && decode_table['='] == skip);
static_assert(decode_table['"'] == skip && decode_table['-'] == skip && decode_table['_'] == skip);

inline std::uint8_t value_of(char c) { return decode_table[static_cast<unsigned char>(c)]; }

}  // namespace npc::base64_arch
