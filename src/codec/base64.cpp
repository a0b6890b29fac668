// Base64 in tiers, the dispatcher: a table-driven scalar codec (the tolerant skip only when a
// group holds a byte outside the alphabet), and on x86-64 processors with AVX2 or AVX-512 VBMI,
// chosen once at start-up, vector loops in files of their own that leave the tails and every
// irregular block to the tier below.
#include "codec/base64.hpp"

#include <algorithm>
#include <cstring>

#include "codec/base64_arch.hpp"
#include "codec/base64_scalar.hpp"
#include "codec/base64_tables.hpp"

namespace npc {
namespace {

using detail::base64_path;
using namespace base64_arch;

// NPC_BASE64_X86 is defined where the vector loops are built (see CMakeLists.txt).
base64_path detect_path() {
#if NPC_BASE64_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bw")) return base64_path::avx512;
  if (__builtin_cpu_supports("avx2")) return base64_path::avx2;
#endif
  return base64_path::scalar;
}

// The processor is asked once; tests may then choose a slower path than the best.
const base64_path best_path = detect_path();
base64_path chosen_path = best_path;

}  // namespace

namespace detail {

base64_path base64_best_path() { return best_path; }

base64_path base64_use_path(base64_path path) {
  const base64_path before = chosen_path;
  chosen_path = std::min(path, best_path);
  return before;
}

}  // namespace detail

bool base64_is_alphabet(unsigned char c) { return decode_table[c] != skip; }

void base64_encode(const char* input, std::size_t length, char* output) {
  const auto* in = reinterpret_cast<const unsigned char*>(input);
  std::size_t i = 0;
#if NPC_BASE64_X86
  if (chosen_path == base64_path::avx512) {
    i = encode_avx512(in, length, output);
    output += i / 3 * 4;
  }
  if (chosen_path >= base64_path::avx2) {
    const std::size_t done = encode_avx2(in + i, length - i, output);
    i += done;
    output += done / 3 * 4;
  }
#endif
  const std::size_t done = encode_scalar(in + i, length - i, output);
  i += done;
  output += done / 3 * 4;
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
  if (state.ended) return 0;
  std::uint32_t bits = state.bits;
  unsigned count = state.count;
  char* out = output;
  std::size_t i = 0;
  while (i < length) {
    if (count == 0) {
#if NPC_BASE64_X86
      if (chosen_path == base64_path::avx512 && length - i >= 64) i += decode_avx512(input + i, length - i, out);
      if (chosen_path >= base64_path::avx2 && length - i >= 32) i += decode_avx2(input + i, length - i, out);
#endif
      i += decode_groups_scalar(input + i, length - i, out);
      if (i == length) break;
    }
    // Slow path: one byte at a time until the group that held a skipped byte is complete.
    const char c = input[i++];
    const std::uint32_t v = value_of(c);
    if (v & skip) {
      if (c == '\0' && state.nul_ends) {
        state.ended = true;
        break;
      }
      if (c != '=') state.foreign = true;
      continue;
    }
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

std::string base64_encode_string(std::string_view bytes) {
  // base64_encode ends with a NUL: room for it, then it goes.
  std::string text(base64_encoded_length(bytes.size()) + 1, '\0');
  base64_encode(bytes.data(), bytes.size(), text.data());
  text.pop_back();
  return text;
}

std::string base64_decode_string(std::string_view text) {
  std::string bytes(text.size() / 4 * 3 + 3, '\0');
  bytes.resize(base64_decode(bytes.data(), text.data(), text.size()));
  return bytes;
}

}  // namespace npc
