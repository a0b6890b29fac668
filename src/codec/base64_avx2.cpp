// The AVX2 loops: 24 bytes or 32 characters per step. Built only for x86-64; called only when the
// processor has AVX2.
#include <immintrin.h>

#include "codec/base64_arch.hpp"

namespace npc::base64_arch {

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

}  // namespace npc::base64_arch
