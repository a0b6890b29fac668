// The vector loops, one file per instruction set, and what each promises the dispatcher. Each
// takes whole steps from the start of its input and leaves the rest (the tail, and on decoding
// the first step holding a byte outside the alphabet) to the loops below it. Internal to the codec.
#pragma once

#include <cstddef>

namespace npc::base64_arch {

// Encode: return the input bytes taken (a multiple of 3) and write four characters for every three.
// Decode: return the characters taken (a multiple of 4); `out` advances past the bytes written,
// exactly three for every four characters (no store reaches beyond them).
std::size_t encode_avx2(const unsigned char* in, std::size_t length, char* out);
std::size_t decode_avx2(const char* input, std::size_t length, char*& out);
std::size_t encode_avx512(const unsigned char* in, std::size_t length, char* out);
std::size_t decode_avx512(const char* input, std::size_t length, char*& out);

}  // namespace npc::base64_arch
