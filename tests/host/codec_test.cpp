// The base64 codec: standard vectors both ways, round trips from every offset, the tolerant
// decoder's skipping, and decoding in blocks.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "codec/base64.hpp"
#include "codec/base64_strict.hpp"
#include "protocol/wire.hpp"

namespace npc {
namespace {

// Outputs are pre-filled with junk so a missing NUL or a stray write shows.
std::string encode(std::string_view bytes) {
  std::string out(base64_encoded_length(bytes.size()) + 8, '#');
  base64_encode(bytes.data(), bytes.size(), out.data());
  EXPECT_EQ(out[base64_encoded_length(bytes.size())], '\0');
  EXPECT_EQ(out[base64_encoded_length(bytes.size()) + 1], '#') << "wrote past the NUL";
  return out.substr(0, base64_encoded_length(bytes.size()));
}

std::string decode(std::string_view text) {
  std::string out(text.size() + 8, '#');
  const std::size_t n = base64_decode(out.data(), text.data(), text.size());
  EXPECT_LE(n, text.size());
  EXPECT_EQ(out[n], '\0');
  EXPECT_EQ(out[n + 1], '#') << "wrote past the NUL";
  return out.substr(0, n);
}

TEST(Base64, StandardVectorsBothWays) {
  const std::pair<std::string_view, std::string_view> vectors[] = {
      {"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"abc", "YWJj"},
      {"A", "QQ=="},     {"\xFF\xFE\xFD", "//79"}, {std::string_view("\0\0", 2), "AAA="},
  };
  for (const auto& [bytes, text] : vectors) {
    EXPECT_EQ(encode(bytes), text) << "encoding " << text;
    EXPECT_EQ(decode(text), bytes) << "decoding " << text;
    EXPECT_EQ(base64_encode_string(bytes), text);
    EXPECT_EQ(base64_decode_string(text), bytes);
  }
}

TEST(Base64, EveryByteValueRoundTripsFromEveryOffset) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  all += all;
  for (std::size_t offset = 0; offset < 256; ++offset) {
    for (std::size_t length : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{256}}) {
      const std::string_view bytes(all.data() + offset, length);
      ASSERT_EQ(decode(encode(bytes)), bytes) << "offset " << offset << " length " << length;
    }
  }
}

TEST(Base64, TolerantDecoderSkipsWhatIsNotAlphabet) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"\"YWJj\"", "abc"},            // the envelope's quotes
      {"YW\nJj", "abc"},              // a line break
      {"YW\r\nJj\n", "abc"},
      {"YWJj====", "abc"},            // padding, even too much
      {"Y W J j", "abc"},
      {"-_YWJj_-", "abc"},            // the URL-safe alphabet is not this one
      {"\x80\xFFYWJj\x01", "abc"},    // bytes outside printable ASCII
      {"QQ==", "A"},
      {"QQ", "A"},                    // a final group of two values yields one byte
      {"QUI", "AB"},                  // of three, two
      {"Q", ""},                      // a single value yields nothing
      {"YWJjZ", "abc"},
      {"\"{}[]:,\" \t", ""},          // no alphabet character at all
      {"", ""},
      {"Q=Q=", "A"},                  // padding inside does not end the text
  };
  for (const auto& [text, bytes] : cases) {
    EXPECT_EQ(decode(text), bytes) << "decoding " << text;
    EXPECT_EQ(base64_decode_string(text), bytes) << "decoding " << text;
  }
}

// The strict decoder takes exactly what an encoder writes and refuses what the tolerant one skips.
TEST(Base64, StrictDecoderTakesOnlyTheCanonicalForm) {
  const std::pair<std::string_view, std::optional<std::string_view>> cases[] = {
      {"", ""}, {"YWJj", "abc"}, {"QUI=", "AB"}, {"QQ==", "A"}, {"+/+/", "\xFB\xFF\xBF"},
      {"QQ", std::nullopt},    {"QQ=", std::nullopt},   {"QQ===", std::nullopt}, {"Q===", std::nullopt},
      {"Q=Q=", std::nullopt},  {"=QQQ", std::nullopt},  {"YW\nJj", std::nullopt}, {"YWJj\n", std::nullopt},
      {"\"YWJj\"", std::nullopt}, {"-_-_", std::nullopt}, {std::string_view("YW\0j", 4), std::nullopt},
  };
  for (const auto& [text, bytes] : cases) {
    std::string out(text.size() / 4 * 3 + 1, '#');
    std::size_t written = 99;
    const bool taken = base64_decode_strict(out.data(), text.data(), text.size(), written);
    EXPECT_EQ(taken, bytes.has_value()) << text;
    EXPECT_EQ(base64_is_canonical(text.data(), text.size()), bytes.has_value()) << text;
    if (taken && bytes) {
      EXPECT_EQ(std::string_view(out.data(), written), *bytes) << text;
    }
  }
}

// Feeds `text` to `state` in blocks of 1 to `most` characters, as a body arriving in pieces, and
// returns the bytes written; a group left open stays in the state.
std::string decode_in_random_blocks(base64_decoder& state, std::string_view text, std::mt19937& random,
                                    unsigned most) {
  std::string out(text.size() + 3, '#');
  std::size_t written = 0, offset = 0;
  while (offset < text.size()) {
    const std::size_t block = std::min<std::size_t>(1 + random() % most, text.size() - offset);
    written += base64_decode_update(state, out.data() + written, text.data() + offset, block);
    offset += block;
  }
  out.resize(written);
  return out;
}

// Appends the bytes of the group the state holds open.
void take_final(base64_decoder& state, std::string& out) {
  char rest[2];
  out.append(rest, base64_decode_final(state, rest));
}

TEST(Base64, DecodingInBlocksMatchesDecodingWhole) {
  std::mt19937 random(20261208);
  std::string bytes(3000, '\0');
  for (auto& c : bytes) c = static_cast<char>(random());
  std::string text = encode(bytes);
  // Sprinkle bytes the decoder skips, so groups straddle blocks with gaps inside.
  for (std::size_t i = 0; i < text.size(); i += 1 + random() % 50) text.insert(i, 1, "\n\" =-"[random() % 5]);
  text.pop_back();  // an open group at the very end, too

  const std::string whole = decode(text);
  for (int round = 0; round < 50; ++round) {
    base64_decoder state;
    std::string out = decode_in_random_blocks(state, text, random, 97);
    take_final(state, out);
    ASSERT_EQ(out, whole) << "round " << round;
  }
}

TEST(Base64, FullChunkEncodesToItsFixedLengthWithoutPadding) {
  const std::string chunk(CHUNK_SIZE, '\xA5');
  const std::string text = encode(chunk);
  EXPECT_EQ(text.size(), 1'048'564u);
  EXPECT_EQ(text.find('='), std::string::npos);
  EXPECT_EQ(decode(text), chunk);
}

// Every vector path and the scalar code must give the same bytes for every input; the scalar code
// is the one the tables above pin down. Paths this processor lacks are left out.
using path_choice = detail::base64_path_scope;

std::vector<detail::base64_path> vector_paths() {
  std::vector<detail::base64_path> paths;
  for (const auto path : {detail::base64_path::avx2, detail::base64_path::avx512})
    if (path <= detail::base64_best_path()) paths.push_back(path);
  return paths;
}

TEST(Base64, VectorAndScalarEncodeAlike) {
  std::mt19937 random(7);
  for (const auto path : vector_paths()) {
    for (std::size_t length = 0; length < 400; ++length) {
      std::string bytes(length, '\0');
      for (auto& c : bytes) c = static_cast<char>(random());
      const path_choice scalar(detail::base64_path::scalar);
      const std::string slow = encode(bytes);
      const path_choice vector(path);
      ASSERT_EQ(encode(bytes), slow) << "length " << length << " path " << static_cast<int>(path);
    }
  }
}

TEST(Base64, VectorAndScalarDecodeAlikeWhateverTheBytes) {
  std::mt19937 random(11);
  std::string bytes(360, '\0');
  for (auto& c : bytes) c = static_cast<char>(random());
  const std::string text = encode(bytes);
  // Every byte value at every place of the first vector blocks and at the text's end.
  for (const auto path : vector_paths()) {
    for (int value = 0; value < 256; ++value) {
      for (std::size_t at : {0, 1, 3, 4, 17, 31, 32, 33, 63, 64, 65, 95, 100, 127, 128, 200, 319, 320, 479, 480}) {
        std::string variant = text;
        if (at < variant.size()) variant[at] = static_cast<char>(value);
        else variant += static_cast<char>(value);
        const path_choice vector(path);
        base64_decoder fast_state;
        std::string fast(variant.size(), '#');
        fast.resize(base64_decode_update(fast_state, fast.data(), variant.data(), variant.size()));
        const path_choice scalar(detail::base64_path::scalar);
        base64_decoder slow_state;
        std::string slow(variant.size(), '#');
        slow.resize(base64_decode_update(slow_state, slow.data(), variant.data(), variant.size()));
        ASSERT_EQ(fast, slow) << "byte " << value << " at " << at << " path " << static_cast<int>(path);
        ASSERT_EQ(fast_state.count, slow_state.count);
        ASSERT_EQ(fast_state.foreign, slow_state.foreign) << "byte " << value << " at " << at;
        ASSERT_EQ(fast_state.foreign, value != '=' && !base64_is_alphabet(static_cast<unsigned char>(value)));
      }
    }
  }
}

TEST(Base64, DecoderNotesSkippedBytesOtherThanPadding) {
  const std::pair<std::string_view, bool> cases[] = {
      {"YWJj", false}, {"YWJj==", false}, {"Q=Q=", false}, {"", false},
      {"YW\nJj", true}, {"\"YWJj\"", true}, {"YWJj\\", true}, {"YWJj\x80", true},
  };
  for (const auto& [text, foreign] : cases) {
    base64_decoder state;
    std::string out(text.size() + 3, '#');
    base64_decode_update(state, out.data(), text.data(), text.size());
    EXPECT_EQ(state.foreign, foreign) << text;
  }
}

// With nul_ends, a NUL anywhere, in any block, ends the text exactly where cutting it first would.
TEST(Base64, DecoderThatEndsAtNulMatchesCuttingFirst) {
  std::mt19937 random(99);
  std::string bytes(400, '\0');
  for (auto& c : bytes) c = static_cast<char>(random());
  const std::string text = "\"" + encode(bytes) + "\"";
  for (std::size_t at = 0; at <= text.size(); at += 1 + random() % 7) {
    std::string variant = text;
    variant.insert(at, 1, '\0');
    variant += std::string("QUJD\0QUJD", 9);  // bytes after a later NUL too
    const std::string expected = decode(std::string_view(variant).substr(0, at));
    base64_decoder state;
    state.nul_ends = true;
    std::string out = decode_in_random_blocks(state, variant, random, 90);
    EXPECT_TRUE(state.ended);
    take_final(state, out);
    ASSERT_EQ(out, expected) << "NUL at " << at;
  }
}

}  // namespace
}  // namespace npc
