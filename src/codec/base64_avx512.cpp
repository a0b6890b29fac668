// The AVX-512 loops with byte permutations (VBMI): 48 bytes or 64 characters per step. Built only
// for x86-64; called only when the processor has AVX-512 VBMI and BW.
#include <immintrin.h>

#include <array>

#include "codec/base64_arch.hpp"
#include "codec/base64_tables.hpp"

namespace npc::base64_arch {

// With AVX-512 VBMI a byte permutation over a whole 64-byte register is one instruction: the
// alphabet is a single table to encode and two to decode, and the bit shuffling of a group is one
// multishift, so a step takes 48 bytes or 64 characters in a handful of instructions.

#define NPC_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace {

// The plain forms of the byte permutation and the multishift leave their unused source undefined,
// which GCC 12 reports as maybe uninitialized; with every lane selected the masked forms are the
// same instructions.
constexpr __mmask64 all_lanes = ~__mmask64{0};

NPC_AVX512 inline __m512i permute_bytes(__m512i index, __m512i table) {
  return _mm512_maskz_permutexvar_epi8(all_lanes, index, table);
}

// A table of 128 entries, one per ASCII byte: its 6-bit value, or `skip`.
alignas(64) constexpr std::array<std::uint8_t, 128> ascii_table = [] {
  std::array<std::uint8_t, 128> table{};
  for (std::size_t c = 0; c < 128; ++c) table[c] = decode_table[c];
  return table;
}();

}  // namespace

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

}  // namespace npc::base64_arch
