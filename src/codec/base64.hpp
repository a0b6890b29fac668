// Base64 with the standard alphabet: a plain encoder and a tolerant decoder that skips every
// byte outside the alphabet, so quotes, padding and line breaks around the text do no harm.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace npc {

// Characters that base64_encode writes for `length` input bytes, the terminating NUL not counted.
constexpr std::size_t base64_encoded_length(std::size_t length) { return (length + 2) / 3 * 4; }

// Encodes `length` bytes of `input` into `output`: base64_encoded_length(length) characters with
// "=" padding and no line breaks, then a NUL. The caller sizes `output` (that length + 1 bytes).
void base64_encode(const char* input, std::size_t length, char* output);

// Decodes `length` bytes of `input` into `output` and writes a NUL after the decoded bytes;
// returns their number, the NUL not counted. Bytes outside the alphabet are skipped; a group cut
// short by the end of input yields one byte fewer than the values it holds. Never fails.
// `output` needs at most length + 1 bytes; the caller sizes it.
std::size_t base64_decode(char* output, const char* input, std::size_t length);

// The same two in strings of their own, for callers to whom a copy costs nothing: the text of
// `bytes` (no NUL inside it), and the bytes of `text`, decoded as base64_decode does.
std::string base64_encode_string(std::string_view bytes);
std::string base64_decode_string(std::string_view text);

// Decoding in several steps, for text that arrives in blocks: the state carries a group of four
// values that one block leaves open into the next. Feeding the blocks to base64_decode_update and
// then calling base64_decode_final gives the same bytes as one base64_decode of the whole text.
struct base64_decoder {
  std::uint32_t bits = 0;  // the values of the open group, six bits each
  unsigned count = 0;      // how many values the open group holds, 0 to 3
  bool foreign = false;    // a byte other than an alphabet character or "=" was skipped
  bool nul_ends = false;   // set by the caller: the first NUL byte ends the text
  bool ended = false;      // a NUL ended the text: it and every later byte are ignored
};

// Decodes one block; writes at most (count + length) / 4 * 3 bytes and no NUL; returns the number
// of bytes written.
std::size_t base64_decode_update(base64_decoder& state, char* output, const char* input,
                                 std::size_t length);

// Ends the text: writes the 0 to 2 bytes of a group cut short, no NUL, returns their number and
// resets the state.
std::size_t base64_decode_final(base64_decoder& state, char* output);

// Whether a byte belongs to the alphabet (the 64 characters; "=" does not).
bool base64_is_alphabet(unsigned char c);

namespace detail {

// The codec's loops: the table-driven scalar code, and on x86-64 the vector loops for AVX2 and for
// AVX-512 with byte permutations (VBMI), each falling back on the ones below it for what it leaves.
enum class base64_path { scalar, avx2, avx512 };

// The fastest path this processor has; it is the one used unless base64_use_path chose another.
base64_path base64_best_path();

// Uses `path`, or the best this processor has if it lacks that one, so tests can hold the paths
// against each other; returns the path used before. Not for concurrent use.
base64_path base64_use_path(base64_path path);

// The one way tests, fuzz targets and benchmarks switch paths: `path` while the scope lasts,
// then the one before it.
class base64_path_scope {
 public:
  explicit base64_path_scope(base64_path path) : before_(base64_use_path(path)) {}
  ~base64_path_scope() { base64_use_path(before_); }
  base64_path_scope(const base64_path_scope&) = delete;
  base64_path_scope& operator=(const base64_path_scope&) = delete;

 private:
  base64_path before_;
};

}  // namespace detail
}  // namespace npc
