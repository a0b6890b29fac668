// The strict reading of base64, for texts that must be exactly what an encoder writes: where the
// tolerant decoder skips, this one refuses.
#pragma once

#include <cstddef>

namespace npc {

// Whether the `length` bytes of `input` are canonical base64: a multiple of four characters, all
// of the alphabet but for one or two "=" that end it. The empty text is canonical.
bool base64_is_canonical(const char* input, std::size_t length);

// Decodes canonical base64 into `output` and writes a NUL after the bytes; `output` needs
// length / 4 * 3 + 1 bytes, which the caller sizes. Returns false, with `output` unspecified, when
// the text is not canonical; else stores the number of bytes, the NUL not counted, in `written`.
bool base64_decode_strict(char* output, const char* input, std::size_t length, std::size_t& written);

}  // namespace npc
