// The strict decoder: the canonical form checked first, then the ordinary decoder, which skips
// nothing in such a text.
#include "codec/base64_strict.hpp"

#include "codec/base64.hpp"
#include "codec/base64_tables.hpp"

namespace npc {

bool base64_is_canonical(const char* input, std::size_t length) {
  if (length % 4 != 0) return false;
  std::size_t padding = 0;
  while (padding < 2 && padding < length && input[length - 1 - padding] == '=') ++padding;
  for (std::size_t i = 0; i < length - padding; ++i)
    if (base64_arch::value_of(input[i]) == base64_arch::skip) return false;
  return true;
}

bool base64_decode_strict(char* output, const char* input, std::size_t length, std::size_t& written) {
  if (!base64_is_canonical(input, length)) return false;
  written = base64_decode(output, input, length);
  return true;
}

}  // namespace npc
