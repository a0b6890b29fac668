// The table-driven scalar loops, which every path ends with: twelve bits per table step to
// encode, four characters per step to decode. Inline, as the dispatcher calls them for every run
// of groups between skipped bytes. Internal to the codec.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/base64_tables.hpp"

namespace npc::base64_arch {

// The two characters of every 12-bit value, so encoding three bytes takes two table reads.
constexpr std::array<char, 2 * 4096> make_pair_table() {
  std::array<char, 2 * 4096> table{};
  for (std::size_t value = 0; value < 4096; ++value) {
    table[2 * value] = alphabet[value >> 6];
    table[2 * value + 1] = alphabet[value & 0x3F];
  }
  return table;
}
inline constexpr auto pair_table = make_pair_table();

// Encodes whole groups of three bytes; returns the bytes taken.
inline std::size_t encode_scalar(const unsigned char* in, std::size_t length, char* output) {
  char* out = output;
  std::size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    const std::uint32_t group = std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8 | in[i + 2];
    std::memcpy(out, &pair_table[2 * (group >> 12)], 2);
    std::memcpy(out + 2, &pair_table[2 * (group & 0xFFF)], 2);
    out += 4;
  }
  return i;
}

// Decodes whole groups of four alphabet characters from the start of `input` while the state
// holds no open group; stops at the first group with any other byte. Returns characters taken;
// `out` advances past the bytes written.
inline std::size_t decode_groups_scalar(const char* input, std::size_t length, char*& out) {
  std::size_t i = 0;
  for (; i + 4 <= length; i += 4) {
    const std::uint32_t a = value_of(input[i]), b = value_of(input[i + 1]), c = value_of(input[i + 2]),
                        d = value_of(input[i + 3]);
    if (((a | b | c | d) & skip) != 0) break;
    const std::uint32_t group = a << 18 | b << 12 | c << 6 | d;
    out[0] = static_cast<char>(group >> 16);
    out[1] = static_cast<char>(group >> 8);
    out[2] = static_cast<char>(group);
    out += 3;
  }
  return i;
}

}  // namespace npc::base64_arch
