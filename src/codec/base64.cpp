// Table-driven base64: four characters per step on the common path, the tolerant skip only when
// a group holds a byte outside the alphabet.
#include "codec/base64.hpp"

#include <array>

namespace npc {
namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t skip = 0x80;

// Maps every byte to its 6-bit value, or to `skip` for bytes outside the alphabet.
constexpr std::array<std::uint8_t, 256> make_decode_table() {
  std::array<std::uint8_t, 256> table{};
  for (auto& entry : table) entry = skip;
  for (std::uint8_t value = 0; value < 64; ++value)
    table[static_cast<unsigned char>(alphabet[value])] = value;
  return table;
}
constexpr auto decode_table = make_decode_table();

static_assert(decode_table['A'] == 0 && decode_table['/'] == 63 && decode_table['='] == skip);
static_assert(decode_table['"'] == skip && decode_table['-'] == skip && decode_table['_'] == skip);

inline std::uint8_t value_of(char c) { return decode_table[static_cast<unsigned char>(c)]; }

}  // namespace

bool base64_is_alphabet(unsigned char c) { return decode_table[c] != skip; }

std::size_t base64_plain_span(const char* input, std::size_t length) {
  std::size_t i = 0;
  while (i < length && (value_of(input[i]) != skip || input[i] == '=')) ++i;
  return i;
}

void base64_encode(const char* input, std::size_t length, char* output) {
  const auto* in = reinterpret_cast<const unsigned char*>(input);
  std::size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    const std::uint32_t group = std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8 | in[i + 2];
    output[0] = alphabet[group >> 18];
    output[1] = alphabet[(group >> 12) & 0x3F];
    output[2] = alphabet[(group >> 6) & 0x3F];
    output[3] = alphabet[group & 0x3F];
    output += 4;
  }
  const std::size_t rest = length - i;
  if (rest != 0) {
    const std::uint32_t group = std::uint32_t{in[i]} << 16 | (rest == 2 ? std::uint32_t{in[i + 1]} << 8 : 0);
    output[0] = alphabet[group >> 18];
    output[1] = alphabet[(group >> 12) & 0x3F];
    output[2] = rest == 2 ? alphabet[(group >> 6) & 0x3F] : '=';
    output[3] = '=';
    output += 4;
  }
  *output = '\0';
}

std::size_t base64_decode_update(base64_decoder& state, char* output, const char* input,
                                 std::size_t length) {
  std::uint32_t bits = state.bits;
  unsigned count = state.count;
  char* out = output;
  std::size_t i = 0;
  while (i < length) {
    if (count == 0 && length - i >= 4) {
      const std::uint32_t a = value_of(input[i]), b = value_of(input[i + 1]),
                          c = value_of(input[i + 2]), d = value_of(input[i + 3]);
      if (((a | b | c | d) & skip) == 0) {
        const std::uint32_t group = a << 18 | b << 12 | c << 6 | d;
        out[0] = static_cast<char>(group >> 16);
        out[1] = static_cast<char>(group >> 8);
        out[2] = static_cast<char>(group);
        out += 3;
        i += 4;
        continue;
      }
    }
    // Slow path: one byte at a time until the group that held a skipped byte is complete.
    const std::uint32_t v = value_of(input[i++]);
    if (v & skip) continue;
    bits = bits << 6 | v;
    if (++count == 4) {
      out[0] = static_cast<char>(bits >> 16);
      out[1] = static_cast<char>(bits >> 8);
      out[2] = static_cast<char>(bits);
      out += 3;
      bits = 0;
      count = 0;
    }
  }
  state.bits = bits;
  state.count = count;
  return static_cast<std::size_t>(out - output);
}

std::size_t base64_decode_final(base64_decoder& state, char* output) {
  std::size_t written = 0;
  if (state.count == 2) {
    output[0] = static_cast<char>(state.bits >> 4);
    written = 1;
  } else if (state.count == 3) {
    output[0] = static_cast<char>(state.bits >> 10);
    output[1] = static_cast<char>(state.bits >> 2);
    written = 2;
  }
  state = base64_decoder{};
  return written;
}

std::size_t base64_decode(char* output, const char* input, std::size_t length) {
  base64_decoder state;
  std::size_t written = base64_decode_update(state, output, input, length);
  written += base64_decode_final(state, output + written);
  output[written] = '\0';
  return written;
}

}  // namespace npc
