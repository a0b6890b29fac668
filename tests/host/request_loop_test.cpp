// The request loop driven in-process: the catalogue, the envelope, the ends of the conversation,
// the query step's calls into the library and the replies sent whole.
#include <gtest/gtest.h>

#include "fake_library.hpp"
#include "host/request_loop.hpp"
#include "support.hpp"

namespace npc {
namespace {

using test::frame_of;
using test::raw_frame;
using test::read_frames;

class RequestLoop : public ::testing::Test {
 protected:
  test::fake_library library;
  test::loop_run run(const std::string& input) { return test::run_loop(library, input); }
};

TEST(Catalogue, RecognisesEachKindByItsExactBytesInOrder) {
  const std::pair<std::string_view, message_kind> cases[] = {
      {R"({"close":"close"})", message_kind::close},
      {"{\"close\":\"close\"}\n", message_kind::query},  // anything added makes it no close
      {R"({ "close":"close"})", message_kind::query},
      {R"({"close": "close"})", message_kind::query},
      {R"({"more":"more"})", message_kind::more},
      {R"({"more":"more")", message_kind::more},          // the 14-byte prefix is enough
      {R"({"more":"more"garbage)", message_kind::more},
      {R"({"more":"mor"})", message_kind::query},
      {R"({"more": "more"})", message_kind::query},
      {R"({"part":"true","count":3})", message_kind::start},
      {R"({"part":"true"})", message_kind::start},        // a piece that holds "true" reads as a start
      {R"({"part":"truex"})", message_kind::piece},
      {R"({"part": "true","count":3})", message_kind::piece},
      {R"({"part":"QUJD"})", message_kind::piece},
      {R"({"part":)", message_kind::piece},
      {R"({"last":"QUJD"})", message_kind::last_piece},
      {R"({"last" :"QUJD"})", message_kind::query},
      {R"({"count":2,"part":"true"})", message_kind::query},
      {"", message_kind::query},
      {"hello", message_kind::query},
  };
  for (const auto& [text, kind] : cases) EXPECT_EQ(classify(text), kind) << text;
}

// The reader settles a text's kind from its first bytes, before the rest of a long body is read:
// whatever the blocks, that kind must be the whole text's, and the text read on must be the whole.
TEST(Catalogue, KindSettledFromTheHeadIsTheWholeTextsKind) {
  const std::string texts[] = {
      R"({"close":"close"})", "{\"close\":\"close\"}x", R"({"close":"clos)", R"({"more":"more"})",
      R"({"more":"more"garbage and more)", R"({"part":"true","count":3})", R"({"part":"truex"})",
      R"({"part":"QUJD"})", R"({"last":"QUJD"})", R"({"part":)", "", "q", std::string("{\"close\"\0:\"close\"}", 17),
      std::string(R"({"last":")") + std::string(3000, 'Q') + "\"}",
  };
  for (const std::size_t block : {std::size_t{1}, std::size_t{5}, std::size_t{24}, READ_BLOCK_SIZE}) {
    for (const auto& text : texts) {
      std::FILE* in = test::temporary_stream();
      ASSERT_NE(in, nullptr);
      const std::string body = "\"" + test::base64_of(text) + "\"";
      std::fwrite(body.data(), 1, body.size(), in);
      std::rewind(in);
      frame_reader reader;
      reader.in = in;
      reader.block.resize(block);
      byte_buffer read;
      inbound_body state;
      const auto kind = read_head(reader, body.size(), read, state);
      bool complete = kind.has_value();
      while (complete && state.remaining != 0) complete = read_body_block(reader, read, state);
      std::fclose(in);
      ASSERT_TRUE(complete) << text;
      const std::string whole = text.substr(0, text.find('\0'));
      EXPECT_EQ(read.view(), whole) << "block " << block;
      EXPECT_EQ(*kind, classify(whole)) << whole << ", block " << block;
    }
  }
}

TEST_F(RequestLoop, CloseEndsTheLoopAndNearClosesAreQueries) {
  const auto result = run(frame_of("{\"close\":\"close\"}\n") + frame_of(R"({ "close":"close"})") +
                          frame_of(R"({"close":"close"})") + frame_of("never read"));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(library.requests, (std::vector<std::string>{"{\"close\":\"close\"}\n", R"({ "close":"close"})"}));
  EXPECT_EQ(read_frames(result.output), (std::vector<std::string>{R"({"got":18})", R"({"got":18})"}));
}

TEST_F(RequestLoop, EndsQuietlyOnEmptyNegativeShortOrCutFrames) {
  const std::pair<const char*, std::string> cases[] = {
      {"end of input", ""},
      {"zero length", test::length_bytes(0) + frame_of("after")},
      {"top bit set", test::length_bytes(0x8000'0000u) + "\"QUJD\""},
      {"all bits set", test::length_bytes(0xFFFF'FFFFu) + "\"QUJD\""},
      {"end inside the length", std::string("\x06\x00", 2)},
      {"body cut short", test::length_bytes(100) + "\"QUJD\""},
      {"huge claim, ten bytes", test::length_bytes(0x7FFF'FFFFu) + "\"QUJDRA\"xx"},
  };
  for (const auto& [name, input] : cases) {
    library = test::fake_library{};
    const auto result = run(input);
    EXPECT_EQ(result.status, 0) << name;
    EXPECT_TRUE(result.output.empty()) << name;
    EXPECT_TRUE(library.requests.empty()) << name << ": a cut or absent frame reached the library";
  }
}

TEST_F(RequestLoop, AnswersTheFramesBeforeTheEnd) {
  const auto result = run(frame_of("one") + frame_of("two") + test::length_bytes(50) + "\"dH");
  EXPECT_EQ(library.requests, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(read_frames(result.output).size(), 2u);
}

TEST_F(RequestLoop, EnvelopeIsDecodedUpToItsFirstNul) {
  const std::pair<std::string, std::string> cases[] = {
      {"\"YWJj\"", "abc"},
      {"YWJj", "abc"},                                      // no quotes
      {"\"YW\nJj\"", "abc"},
      {std::string("\"YWJj\0ZGVm\"", 11), "abc"},           // NUL in the body ends the envelope
      {"\"{}[]!!\"", ""},                                   // nothing of the alphabet: an empty query
      {"\"" + test::base64_of(std::string("ab\0cd", 5)) + "\"", "ab"},  // NUL in the text ends it
  };
  std::string input;
  std::vector<std::string> expected;
  for (const auto& [body, text] : cases) {
    input += raw_frame(body);
    expected.push_back(text);
  }
  run(input);
  EXPECT_EQ(library.requests, expected);
}

TEST_F(RequestLoop, EachResultIsFreedJustBeforeTheNextQueryButNeverTheLast) {
  library.respond = [](const std::string& request) -> std::optional<std::string> {
    if (request == "null") return std::nullopt;
    return "\"" + request + "\"";
  };
  const auto result = run(frame_of("a") + frame_of("b") + frame_of("null") + frame_of("c") + frame_of("d"));
  EXPECT_EQ(library.events, (std::vector<std::string>{"query 0", "free 0", "query 1", "free 1", "query 2",
                                                      "query 3", "free 3", "query 4"}));
  // A null result is answered with null, and is not handed back.
  EXPECT_EQ(read_frames(result.output),
            (std::vector<std::string>{"\"a\"", "\"b\"", "null", "\"c\"", "\"d\""}));
}

TEST_F(RequestLoop, RepliesGoOutWholeUpToTheLimitAndOnlyUpToTheirNul) {
  const std::string at_limit = "\"" + std::string(DIRECT_REPLY_LIMIT - 2, 'x') + "\"";
  library.respond = [&](const std::string& request) -> std::optional<std::string> {
    if (request == "limit") return at_limit;
    if (request == "nul") return std::string("\"ab\"\0\"cd\"", 9);
    return std::string();
  };
  const auto result = run(frame_of("limit") + frame_of("nul") + frame_of("empty"));
  const auto frames = read_frames(result.output);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0], at_limit);
  EXPECT_EQ(frames[1], "\"ab\"");
  EXPECT_EQ(frames[2], "");
  EXPECT_EQ(result.output.substr(0, 4), std::string("\x00\x00\x10\x00", 4));
}

TEST_F(RequestLoop, FailedWriteEndsTheLoop) {
  std::FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  const auto result = test::run_loop(library, frame_of("first") + frame_of("second"), full);
  std::fclose(full);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(library.requests, (std::vector<std::string>{"first"}));
}

}  // namespace
}  // namespace npc
