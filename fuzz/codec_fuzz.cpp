// Fuzz target for the base64 codec, scalar and vector paths alike: the tolerant decoder against the
// slow reference, decoding in blocks against decoding at once (also when a NUL ends the text), the
// round trip, and no write past the sizes the header promises (every buffer is allocated at exactly
// that size, so AddressSanitizer sees one byte too many).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "codec/base64.hpp"
#include "codec/base64_strict.hpp"
#include "check.hpp"
#include "reference_base64.hpp"

namespace {

using npc::fuzz::check;

// Decodes `input` in blocks whose sizes come from the input itself (some long enough for the
// vector loops), each output sized to the promise; `nul_ends` as the loop sets it for envelopes.
std::string decode_in_blocks(std::string_view input, bool nul_ends, bool& foreign) {
  npc::base64_decoder state;
  state.nul_ends = nul_ends;
  std::string joined;
  std::size_t offset = 0;
  unsigned seed = input.empty() ? 1u : static_cast<unsigned char>(input[0]) + 1u;
  while (offset < input.size()) {
    seed = seed * 1103515245u + 12345u;
    const std::size_t length = std::min<std::size_t>(input.size() - offset, (seed >> 16) % 97);
    const std::size_t room = (state.count + length) / 4 * 3;
    auto block = std::make_unique<char[]>(room + 1);  // + 1: make_unique of 0 bytes is no buffer
    const std::size_t got = npc::base64_decode_update(state, block.get(), input.data() + offset, length);
    check(got <= room, "a block writes at most what it promises");
    check(state.count < 4, "the open group holds at most three values");
    joined.append(block.get(), got);
    offset += length;
  }
  foreign = state.foreign;
  auto tail = std::make_unique<char[]>(2);
  joined.append(tail.get(), npc::base64_decode_final(state, tail.get()));
  check(state.count == 0 && state.bits == 0 && !state.ended, "the final step resets the state");
  return joined;
}

void check_decode(std::string_view input) {
  const std::string expected = npc::test::reference_decode(input);

  // At once: length + 1 bytes suffice.
  auto whole = std::make_unique<char[]>(input.size() + 1);
  const std::size_t written = npc::base64_decode(whole.get(), input.data(), input.size());
  check(std::string_view(whole.get(), written) == expected, "decode equals the reference");
  check(whole[written] == '\0', "decode ends with a NUL");

  // Strictly: only a text that encode could have written, and then the same bytes.
  std::size_t strict = 0;
  if (npc::base64_decode_strict(whole.get(), input.data(), input.size(), strict)) {
    check(std::string_view(whole.get(), strict) == expected, "strict decode equals the reference");
    check(npc::test::reference_encode(expected).size() == input.size(), "a strict text is as long as its encoding");
  }

  bool foreign = false;
  check(decode_in_blocks(input, false, foreign) == expected, "decoding in blocks equals decoding at once");
  const auto is_foreign = [](char c) { return c != '=' && npc::test::alphabet.find(c) == std::string_view::npos; };
  check(foreign == std::any_of(input.begin(), input.end(), is_foreign), "foreign bytes are noticed");

  // Ended by the first NUL, as an envelope is: the same as decoding only what comes before it.
  const std::string_view before_nul = input.substr(0, input.find('\0'));
  check(decode_in_blocks(input, true, foreign) == npc::test::reference_decode(before_nul),
        "a NUL ends the text when the caller says so");
  check(foreign == std::any_of(before_nul.begin(), before_nul.end(), is_foreign),
        "foreign bytes are noticed up to the NUL");
}

void check_round_trip(std::string_view bytes) {
  const std::size_t length = npc::base64_encoded_length(bytes.size());
  auto text = std::make_unique<char[]>(length + 1);
  npc::base64_encode(bytes.data(), bytes.size(), text.get());
  check(std::strlen(text.get()) == length, "encode writes its length, then a NUL");
  check(std::string_view(text.get(), length) == npc::test::reference_encode(bytes), "encode equals the reference");
  check(npc::base64_is_canonical(text.get(), length), "what encode writes is canonical");
  auto back = std::make_unique<char[]>(length + 1);
  const std::size_t decoded = npc::base64_decode(back.get(), text.get(), length);
  check(std::string_view(back.get(), decoded) == bytes, "decode(encode(x)) == x");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // The scalar code, then each vector path this processor has.
  using npc::detail::base64_path;
  for (const auto path : {base64_path::scalar, base64_path::avx2, base64_path::avx512}) {
    if (path > npc::detail::base64_best_path()) break;
    const npc::detail::base64_path_scope chosen(path);
    check_decode(input);
    check_round_trip(input);
  }
  return 0;
}
