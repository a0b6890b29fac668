// Base64 in tiers: a table-driven scalar codec (twelve bits per table step to encode, four
// characters per step to decode, the tolerant skip only when a group holds a byte outside the
// alphabet), and on x86-64 processors with AVX2 or AVX-512 VBMI, chosen at run time, vector loops
// that take 24 or 48 bytes, 32 or 64 characters per step and leave the tails and every irregular
// block to the tier below.
#include "codec/base64.hpp"

#include <algorithm>
#include <array>
#include <cstring>

// Not with MinGW-w64's GCC, which does not align the stack for spilled 256-bit registers.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(__MINGW32__)
#define NPC_BASE64_AVX2 1
#include <immintrin.h>
#endif

namespace npc {
namespace {

using detail::base64_path;

alignas(64) constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
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

// The two characters of every 12-bit value, so encoding three bytes takes two table reads.
constexpr std::array<char, 2 * 4096> make_pair_table() {
  std::array<char, 2 * 4096> table{};
  for (std::size_t value = 0; value < 4096; ++value) {
    table[2 * value] = alphabet[value >> 6];
    table[2 * value + 1] = alphabet[value & 0x3F];
  }
  return table;
}
constexpr auto pair_table = make_pair_table();

inline std::uint8_t value_of(char c) { return decode_table[static_cast<unsigned char>(c)]; }

std::size_t encode_scalar(const unsigned char* in, std::size_t length, char* output) {
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
std::size_t decode_groups_scalar(const char* input, std::size_t length, char*& out) {
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

#if NPC_BASE64_AVX2

// The vector loops follow the well-known nibble-table method: to encode, spread each 3 bytes over
// four bytes of six bits and add a per-range offset found by a byte shuffle; to decode, check each
// character against tables indexed by its two nibbles, add the inverse offsets, and pack.

__attribute__((target("avx2"))) std::size_t encode_avx2(const unsigned char* in, std::size_t length,
                                                         char* out) {
  const __m256i spread = _mm256_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1,  //
                                         14, 15, 13, 14, 11, 12, 10, 11, 8, 9, 7, 8, 5, 6, 4, 5);
  const __m256i offsets = _mm256_setr_epi8(65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0,  //
                                           65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0);
  const __m256i shift_words = _mm256_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6);
  std::size_t i = 0;
  // Each step reads 32 bytes and uses 24 of them.
  for (; i + 32 <= length; i += 24, out += 32) {
    __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    // Lane 0 takes bytes 0..11 at its offset 4, lane 1 bytes 12..23 at its offset 0.
    bytes = _mm256_permutevar8x32_epi32(bytes, shift_words);
    bytes = _mm256_shuffle_epi8(bytes, spread);
    const __m256i t0 = _mm256_and_si256(bytes, _mm256_set1_epi32(0x0FC0FC00));
    const __m256i t1 = _mm256_mulhi_epu16(t0, _mm256_set1_epi32(0x04000040));
    const __m256i t2 = _mm256_and_si256(bytes, _mm256_set1_epi32(0x003F03F0));
    const __m256i t3 = _mm256_mullo_epi16(t2, _mm256_set1_epi32(0x01000010));
    const __m256i values = _mm256_or_si256(t1, t3);
    // Ranges: 0..25 'A', 26..51 'a', 52..61 '0', 62 '+', 63 '/'.
    __m256i index = _mm256_subs_epu8(values, _mm256_set1_epi8(51));
    index = _mm256_sub_epi8(index, _mm256_cmpgt_epi8(values, _mm256_set1_epi8(25)));
    const __m256i text = _mm256_add_epi8(values, _mm256_shuffle_epi8(offsets, index));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), text);
  }
  return i;
}

// Decodes 32 characters at a time while every one of them is in the alphabet; stops before the
// first block that is not. Returns characters taken; `out` advances past the bytes written, which
// are exactly three for every four characters taken (no store reaches beyond them).
__attribute__((target("avx2"))) std::size_t decode_avx2(const char* input, std::size_t length, char*& out) {
  const __m256i low_table = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13,
                                             0x1A, 0x1B, 0x1B, 0x1B, 0x1A,  //
                                             0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13,
                                             0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m256i high_table = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10,
                                              0x10, 0x10, 0x10, 0x10, 0x10,  //
                                              0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10,
                                              0x10, 0x10, 0x10, 0x10, 0x10);
  const __m256i roll_table = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                              0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i nibble = _mm256_set1_epi8(0x2F);
  const __m256i pack = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,  //
                                        2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i gather = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
  std::size_t i = 0;
  for (; i + 32 <= length; i += 32) {
    const __m256i text = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(input + i));
    const __m256i high = _mm256_and_si256(_mm256_srli_epi32(text, 4), nibble);
    const __m256i low = _mm256_and_si256(text, nibble);
    // A byte is in the alphabet exactly when its two nibbles' classes share no bit.
    if (!_mm256_testz_si256(_mm256_shuffle_epi8(low_table, low), _mm256_shuffle_epi8(high_table, high))) break;
    const __m256i slash = _mm256_cmpeq_epi8(text, nibble);
    const __m256i values = _mm256_add_epi8(text, _mm256_shuffle_epi8(roll_table, _mm256_add_epi8(slash, high)));
    const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
    const __m256i words = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(words, pack), gather);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(bytes, 1));
    out += 24;
  }
  return i;
}

// With AVX-512 VBMI a byte permutation over a whole 64-byte register is one instruction: the
// alphabet is a single table to encode and two to decode, and the bit shuffling of a group is one
// multishift, so a step takes 48 bytes or 64 characters in a handful of instructions.

#define NPC_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))

// The plain forms of the byte permutation and the multishift leave their unused source undefined,
// which GCC 12 reports as maybe uninitialized; with every lane selected the masked forms are the
// same instructions.
constexpr __mmask64 all_lanes = ~__mmask64{0};

NPC_AVX512 inline __m512i permute_bytes(__m512i index, __m512i table) {
  return _mm512_maskz_permutexvar_epi8(all_lanes, index, table);
}

NPC_AVX512 std::size_t encode_avx512(const unsigned char* in, std::size_t length, char* out) {
  // Each 32-bit lane gets its group's bytes as b1 b0 b2 b1, from which the multishift picks the
  // four 6-bit values at bit offsets 10, 4, 22 and 16.
  const __m512i spread = _mm512_setr_epi32(0x01020001, 0x04050304, 0x07080607, 0x0a0b090a, 0x0d0e0c0d, 0x10110f10,
                                           0x13141213, 0x16171516, 0x191a1819, 0x1c1d1b1c, 0x1f201e1f, 0x22232122,
                                           0x25262425, 0x28292728, 0x2b2c2a2b, 0x2e2f2d2e);
  const __m512i shifts = _mm512_set1_epi64(0x3036242a1016040a);
  const __m512i table = _mm512_loadu_si512(alphabet);
  std::size_t i = 0;
  // Each step reads 64 bytes and uses 48 of them.
  for (; i + 64 <= length; i += 48, out += 64) {
    const __m512i bytes = _mm512_loadu_si512(in + i);
    const __m512i values = _mm512_maskz_multishift_epi64_epi8(all_lanes, shifts, permute_bytes(spread, bytes));
    _mm512_storeu_si512(out, permute_bytes(values, table));
  }
  return i;
}

// A table of 128 entries, one per ASCII byte: its 6-bit value, or `skip`.
alignas(64) constexpr std::array<std::uint8_t, 128> ascii_table = [] {
  std::array<std::uint8_t, 128> table{};
  for (std::size_t c = 0; c < 128; ++c) table[c] = decode_table[c];
  return table;
}();

NPC_AVX512 std::size_t decode_avx512(const char* input, std::size_t length, char*& out) {
  const __m512i low_half = _mm512_load_si512(ascii_table.data());
  const __m512i high_half = _mm512_load_si512(ascii_table.data() + 64);
  // Byte 2, 1, 0 of each 32-bit lane, lane after lane: 48 bytes.
  alignas(64) static constexpr std::array<std::uint8_t, 64> pack = [] {
    std::array<std::uint8_t, 64> order{};
    for (std::size_t k = 0; k < 48; ++k) order[k] = static_cast<std::uint8_t>(4 * (k / 3) + 2 - k % 3);
    return order;
  }();
  const __m512i gather = _mm512_load_si512(pack.data());
  constexpr __mmask64 first_48 = (__mmask64{1} << 48) - 1;
  std::size_t i = 0;
  for (; i + 64 <= length; i += 64) {
    const __m512i text = _mm512_loadu_si512(input + i);
    // The table is indexed by the low seven bits; a byte past ASCII is caught by its own top bit.
    const __m512i values = _mm512_permutex2var_epi8(low_half, text, high_half);
    if (_mm512_movepi8_mask(_mm512_or_si512(values, text)) != 0) break;
    const __m512i pairs = _mm512_maddubs_epi16(values, _mm512_set1_epi32(0x01400140));
    const __m512i words = _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x00011000));
    _mm512_mask_storeu_epi8(out, first_48, permute_bytes(gather, words));
    out += 48;
  }
  return i;
}

base64_path detect_path() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bw")) return base64_path::avx512;
  if (__builtin_cpu_supports("avx2")) return base64_path::avx2;
  return base64_path::scalar;
}

#else

base64_path detect_path() { return base64_path::scalar; }

#endif

base64_path chosen_path = detect_path();

}  // namespace

namespace detail {

base64_path base64_best_path() {
  static const base64_path best = detect_path();
  return best;
}

base64_path base64_use_path(base64_path path) {
  const base64_path before = chosen_path;
  chosen_path = std::min(path, base64_best_path());
  return before;
}

}  // namespace detail

bool base64_is_alphabet(unsigned char c) { return decode_table[c] != skip; }

std::size_t base64_plain_span(const char* input, std::size_t length) {
  std::size_t i = 0;
  while (i < length && (value_of(input[i]) != skip || input[i] == '=')) ++i;
  return i;
}

void base64_encode(const char* input, std::size_t length, char* output) {
  const auto* in = reinterpret_cast<const unsigned char*>(input);
  std::size_t i = 0;
#if NPC_BASE64_AVX2
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
#if NPC_BASE64_AVX2
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

}  // namespace npc
