// Split results and split requests through the request loop, and the fixed byte forms the loop
// writes and reads without a JSON library held against what Jansson makes of them.
#include <gtest/gtest.h>
#include <jansson.h>

#include <memory>
#include <optional>
#include <random>

#include "fake_library.hpp"
#include "protocol/split_request.hpp"
#include "support.hpp"

namespace npc {
namespace {

using test::base64_of;
using test::frame_of;
using test::read_frames;

const std::string more = R"({"more":"more"})";
const std::string ack = R"({"more":"more"})";
const std::string empty_last = R"({"last": ""})";

// A reply of `length` bytes in which every chunk is distinguishable from every other.
std::string long_reply(std::size_t length) {
  std::string reply(length, '\0');
  for (std::size_t i = 0; i < length; ++i) reply[i] = static_cast<char>('!' + (i * 7 + i / 1000) % 90);
  return reply;
}

// What Jansson itself writes for {key: text}, the form the loop must match byte for byte.
std::string jansson_dump(const char* key, const std::string& text) {
  json_t* object = json_object();
  json_object_set_new(object, key, json_stringn(text.data(), text.size()));
  char* dumped = json_dumps(object, JSON_ENCODE_ANY);
  std::string result(dumped);
  std::free(dumped);
  json_decref(object);
  return result;
}

class SplitResult : public ::testing::Test {
 protected:
  test::fake_library library;
  std::vector<std::string> frames_for(const std::string& input) {
    return read_frames(test::run_loop(library, input).output);
  }
};

TEST_F(SplitResult, LongRepliesComeInChunksOfTheFixedForm) {
  const std::size_t lengths[] = {DIRECT_REPLY_LIMIT + 1, 2 * CHUNK_SIZE, 3 * CHUNK_SIZE + 2};
  for (const std::size_t length : lengths) {
    const std::string reply = long_reply(length);
    library = test::fake_library{};
    library.respond = [&](const std::string&) { return std::optional<std::string>(reply); };
    const std::size_t chunks = length / CHUNK_SIZE + 1;  // a full last chunk is still followed by "last"
    std::string input = frame_of("q");
    for (std::size_t i = 1; i < chunks; ++i) input += frame_of(more);
    const auto frames = frames_for(input);
    ASSERT_EQ(frames.size(), chunks) << length;

    std::string joined;
    for (std::size_t i = 0; i < chunks; ++i) {
      const bool last = i + 1 == chunks;
      const std::string slice = reply.substr(i * CHUNK_SIZE, last ? std::string::npos : CHUNK_SIZE);
      EXPECT_EQ(frames[i], jansson_dump(last ? "last" : "part", base64_of(slice))) << length << " chunk " << i;
      EXPECT_EQ(frames[i].size(), base64_encoded_length(slice.size()) + CHUNK_OVERHEAD);
      joined += slice;
    }
    EXPECT_EQ(frames[0].size(), DIRECT_REPLY_LIMIT);
    EXPECT_EQ(joined, reply);
  }
}

TEST_F(SplitResult, JustOverTheLimitGivesAFullPartThenTheRest) {
  library.respond = [](const std::string&) { return std::optional<std::string>(long_reply(DIRECT_REPLY_LIMIT + 1)); };
  const auto frames = frames_for(frame_of("q") + frame_of(more));
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_TRUE(frames[0].starts_with(R"({"part": ")"));
  EXPECT_EQ(frames[1].size(), 349'552u);
  EXPECT_TRUE(frames[1].starts_with(R"({"last": ")"));
}

TEST_F(SplitResult, MoreWithNothingPendingGetsAnEmptyLast) {
  library.respond = [](const std::string& request) {
    return std::optional<std::string>(request == "long" ? long_reply(2 * CHUNK_SIZE) : "{}");
  };
  // At the start; after a finished split reply; after an abandoned one followed by a whole reply,
  // whose counters would otherwise point into a result already handed back.
  const auto frames = frames_for(frame_of(more) + frame_of("long") + frame_of(more) + frame_of(more) +
                                 frame_of(more) + frame_of("long") + frame_of("short") + frame_of(more));
  ASSERT_EQ(frames.size(), 8u);
  EXPECT_EQ(frames[0], empty_last);
  EXPECT_EQ(frames[3], empty_last);
  EXPECT_EQ(frames[4], empty_last);
  EXPECT_EQ(frames[6], "{}");
  EXPECT_EQ(frames[7], empty_last);
}

// The host makes each next chunk ready while the extension reads the one before; messages that
// are answered in between (a split request's start and pieces, acknowledged while the reply is
// still pending) must not have the next chunk lost or replaced by their own answer.
TEST_F(SplitResult, AnswersBetweenChunksLeaveTheNextChunkIntact) {
  const std::string reply = long_reply(3 * CHUNK_SIZE + 5);
  library.respond = [&](const std::string&) { return std::optional<std::string>(reply); };
  const auto frames = frames_for(frame_of("q") + frame_of(R"({"part":"true"})") + frame_of(more) +
                                 frame_of(R"({"part":"QUJD"})") + frame_of(more) + frame_of(more));
  ASSERT_EQ(frames.size(), 6u);
  EXPECT_EQ(frames[1], ack);
  EXPECT_EQ(frames[2], jansson_dump("part", base64_of(reply.substr(CHUNK_SIZE, CHUNK_SIZE))));
  EXPECT_EQ(frames[3], ack);
  EXPECT_EQ(frames[4], jansson_dump("part", base64_of(reply.substr(2 * CHUNK_SIZE, CHUNK_SIZE))));
  EXPECT_EQ(frames[5], jansson_dump("last", base64_of(reply.substr(3 * CHUNK_SIZE))));
}

TEST_F(SplitResult, AnAbandonedReplyGivesWayToTheNextOne) {
  int calls = 0;
  library.respond = [&](const std::string&) {
    return std::optional<std::string>(std::string(DIRECT_REPLY_LIMIT + 1, calls++ == 0 ? 'a' : 'b'));
  };
  const auto frames = frames_for(frame_of("first") + frame_of("second") + frame_of(more));
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[2], jansson_dump("last", base64_of(std::string(DIRECT_REPLY_LIMIT + 1 - CHUNK_SIZE, 'b'))));
}

// One split-request scenario: the message texts sent, then what the library must have been asked.
struct assembly_case {
  const char* name;
  std::vector<std::string> texts;
  std::vector<std::string> requests;
  std::string answers;  // in order: 'a' an acknowledgement, 'r' the library's reply
};

std::string piece(std::string_view bytes) { return R"({"part":")" + base64_of(bytes) + "\"}"; }
std::string last(std::string_view bytes) { return R"({"last":")" + base64_of(bytes) + "\"}"; }

TEST(SplitRequest, AssemblesAcknowledgesAndSpoilsAsItShould) {
  const std::string big(CHUNK_SIZE, 'L');
  const assembly_case cases[] = {
      {"count and pieces", {R"({"part":"true","count":2})", piece("abc"), piece("def"), last("gh")}, {"abcdefgh"}, "aaar"},
      {"no count: one last piece of full size", {R"({"part":"true"})", last(big)}, {big}, "ar"},
      {"count after other members", {R"({"part":"true","x":[1,{"y":2}],"count":1})", piece("12"), last("3")}, {"123"}, "aar"},
      {"pieces beyond the count", {R"({"part":"true","count":0})", piece("a"), piece("b"), piece("c"), last("d")}, {"abcd"}, "aaaar"},
      {"negative count", {R"({"part":"true","count":-5})", piece("a"), last("b")}, {"ab"}, "aar"},
      {"huge count", {R"({"part":"true","count":9007199254740993})", piece("a"), last("b")}, {"ab"}, "aar"},
      {"real count", {R"({"part":"true","count":2.0})", piece("a"), last("b")}, {"ab"}, "aar"},
      {"count as a string", {R"({"part":"true","count":"3"})", piece("a"), last("b")}, {"ab"}, "aar"},
      {"bytes beyond the capacity", {R"({"part":"true","count":0})", piece(big), piece(big), last("x")}, {big + big + "x"}, "aaar"},
      {"unparsable start", {R"({"part":"true",)", piece("a"), last("b")}, {"ab"}, "aar"},
      {"NUL in a piece cuts the request", {R"({"part":"true","count":1})", piece(std::string("ab\0cd", 5)), last("ef")}, {"ab"}, "aar"},
      {"padding and escaped line breaks", {R"({"part":"true"})", R"({"part":"YW\nJj\r\n"})", R"({"last":"ZA=="})"}, {"abcd"}, "aar"},
      {"white space in the piece's JSON", {R"({"part":"true"})", R"({"part": "YWJj" })", "{\"last\":\t\"ZA\"}"}, {"abcd"}, "aar"},
      {"duplicate keys: the later wins", {R"({"part":"true"})", R"({"part":"QUFB","part":"QkJC"})", last("C")}, {"BBBC"}, "aar"},
      {"a new start drops the unfinished one", {R"({"part":"true"})", piece("old"), R"({"part":"true"})", piece("new"), last("!")}, {"new!"}, "aaaar"},
      {"a last piece alone is a whole request", {last("alone")}, {"alone"}, "r"},
      {"\\u0000 in a piece spoils it", {R"({"part":"true"})", R"({"part":"QUFB\u0000"})", last("x")}, {""}, "aar"},
      {"an unparsable piece spoils it", {R"({"part":"true"})", R"({"part":"QUFB)", last("x")}, {""}, "aar"},
      {"a piece that is no string spoils it", {R"({"part":"true"})", R"({"part":12})", last("x")}, {""}, "aar"},
      {"a piece with nothing begun spoils it", {piece("stray"), last("x")}, {""}, "ar"},
      {"an unparsable last piece spoils it", {R"({"part":"true"})", piece("a"), R"({"last":1})"}, {""}, "aar"},
      {"a spoiled assembly leaves the next one clean", {piece("stray"), last("x"), R"({"part":"true"})", piece("a"), last("b")}, {"", "ab"}, "araar"},
  };
  for (const auto& c : cases) {
    test::fake_library library;
    library.respond = [](const std::string&) { return std::optional<std::string>("{\"done\":true}"); };
    std::string input;
    for (const auto& text : c.texts) input += frame_of(text);
    const auto frames = read_frames(test::run_loop(library, input).output);
    EXPECT_EQ(library.requests, c.requests) << c.name;
    std::vector<std::string> expected;
    for (const char answer : c.answers) expected.push_back(answer == 'a' ? ack : "{\"done\":true}");
    EXPECT_EQ(frames, expected) << c.name;
  }
}

TEST(SplitRequest, LargeRequestTravelsInFullPiecesAndALongReplyComesBackInChunks) {
  std::string request(3 * CHUNK_SIZE + 1000, '\0');
  for (std::size_t i = 0; i < request.size(); ++i) request[i] = static_cast<char>('A' + i % 26);
  test::fake_library library;
  library.respond = [](const std::string& r) { return std::optional<std::string>(r); };  // an echo
  std::string input;
  for (const auto& text : test::split_request_texts(request, CHUNK_SIZE)) input += frame_of(text);
  input += frame_of(more) + frame_of(more) + frame_of(more);
  const auto frames = read_frames(test::run_loop(library, input).output);
  ASSERT_EQ(library.requests.size(), 1u);
  EXPECT_EQ(library.requests[0], request);
  ASSERT_EQ(frames.size(), 4u + 4u);  // start and three full pieces acknowledged; four chunks
  std::string joined;
  for (std::size_t i = 4; i < frames.size(); ++i)
    joined += test::unbase64(std::string_view(frames[i]).substr(10, frames[i].size() - 12));
  EXPECT_EQ(joined, request);
}

// What a piece text means by the JSON parser alone: the decoded bytes of its member, or nothing.
std::optional<std::string> decoded_by_jansson(const std::string& text, const char* key) {
  std::optional<std::string> bytes;
  if (json_t* doc = json_loadb(text.data(), text.size(), JSON_DECODE_ANY, nullptr)) {
    const json_t* member = json_object_get(doc, key);
    if (json_is_string(member))
      bytes = test::unbase64(std::string_view(json_string_value(member), json_string_length(member)));
    json_decref(doc);
  }
  return bytes;
}

// What the loop makes of a piece seen whole: the plain-form shortcut, else the parser.
std::optional<std::string> decoded_by_host(const std::string& text, const char* key) {
  byte_buffer bytes;
  bytes.assign("kept");  // what a piece appends to must survive an unusable one
  detail::piece_decoder piece;
  piece.begin(key == std::string_view("last"), bytes);
  if (!piece.finish(text, bytes)) {
    EXPECT_EQ(bytes.view(), "kept") << text;
    return std::nullopt;
  }
  EXPECT_TRUE(bytes.view().starts_with("kept")) << text;
  return std::string(bytes.view().substr(4));
}

// The plain-form shortcut for pieces must read every text exactly as Jansson does.
TEST(SplitRequest, PieceShortcutAgreesWithJansson) {
  const std::string texts[] = {
      R"({"part":"QUJD"})", R"({"part":"QUJD=="})", R"({"part":""})", R"({"part":"QU\/JD"})",
      R"({"part":"QUJD"} )", R"({"part":"QUJD"}x)", R"({"part":"QUJD",})", R"({"part":"QUJD","part":"RA"})",
      R"({"part":"QU JD"})", "{\"part\":\"QU\nJD\"}", R"({"part":"QUJD\u0000"})", R"({"part":"\u0051UJD"})",
      R"({"part":"QUJD""})", R"({"part":"QUJD)", R"({"last":"QUJD"})", R"({"part":"Q"UJD"})",
      "{\"part\":\"\xC3\xA9\"}", "{\"part\":\"\xFF\"}", R"({"part":"\"})", R"({"part":1})",
      R"({"part":"QUJD","x":"}"})", R"({"part":"QU=JD"})", "{\"part\":\"QUJD\t\"}", R"({"part":"QUJD\\"})",
      R"({"part":"})", R"({"part":")", R"({"part")",
  };
  for (const auto& text : texts) EXPECT_EQ(decoded_by_host(text, "part"), decoded_by_jansson(text, "part")) << text;
}

// Random texts near the plain form, long enough for the vector loops, with one or two bytes
// changed anywhere: the quotes, the braces, escapes, control bytes, padding, bytes past ASCII.
TEST(SplitRequest, PieceShortcutAgreesWithJanssonOnRandomTexts) {
  std::mt19937 random(424242);
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const char odd_bytes[] = "\"\\{}:, =\n\t\r\x01\x7F\x80\xC3\xFF\0u";
  const std::string odd(odd_bytes, sizeof odd_bytes - 1);
  for (int round = 0; round < 3000; ++round) {
    const char* key = round % 2 ? "part" : "last";
    std::string inner;
    const std::size_t length = random() % 200;
    for (std::size_t i = 0; i < length; ++i) inner += alphabet[random() % alphabet.size()];
    std::string text = std::string("{\"") + key + "\":\"" + inner + "\"}";
    for (unsigned changes = random() % 3; changes > 0; --changes) {
      const std::size_t at = random() % text.size();
      switch (random() % 3) {
        case 0: text[at] = odd[random() % odd.size()]; break;
        case 1: text.insert(at, 1, odd[random() % odd.size()]); break;
        default: text.erase(at, 1); break;
      }
    }
    ASSERT_EQ(decoded_by_host(text, key), decoded_by_jansson(text, key)) << text;
  }
}

// Pieces long enough to arrive in several blocks are decoded as they come; a text that stops being
// of the plain form late, after much of it was decoded, must still mean what Jansson makes of it,
// and a piece that spoils the assembly must leave nothing of itself in the request.
TEST(SplitRequest, LongPiecesChangedLateMeanWhatJanssonMakesOfThem) {
  std::string bytes(150'000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 23);
  const std::string inner = base64_of(bytes);
  const std::size_t late = inner.size() - 1000;  // well past the first block of the frame
  const std::string edits[][2] = {
      {"", ""},                       // plain all through
      {"\\/", ""},                   // an escaped slash: the same bytes by the parser
      {"\\u0000", ""},               // spoils
      {"\\n", ""},                   // an escaped line break, skipped by the decoder
      {"\"", ""},                     // a stray quote: unparsable
      {"\x01", ""},                   // a raw control byte: unparsable
      {"", "\",\"part\":\"QUJD"},      // a duplicate key: the later value wins
      {"", "\",\"x\":1"},             // another member after it
      {"", " "},                      // white space inside the string
      {"=", ""},                      // padding in the middle
  };
  const std::string after[] = {"", " ", "x", "\n"};
  for (const auto& edit : edits) {
    for (const auto& tail : after) {
      for (const char* key : {"part", "last"}) {
        const std::string text = std::string("{\"") + key + "\":\"" + inner.substr(0, late) + edit[0] +
                                 inner.substr(late) + edit[1] + "\"}" + tail;
        std::vector<std::string> texts;
        if (key == std::string("part")) texts = {R"({"part":"true","count":1})", piece("<"), text, last(">")};
        else texts = {R"({"part":"true","count":1})", piece("<"), text};
        test::fake_library library;
        std::string input;
        for (const auto& t : texts) input += frame_of(t);
        test::run_loop(library, input);
        const std::optional<std::string> meaning = decoded_by_jansson(text, key);
        std::string expected;
        if (meaning) expected = "<" + *meaning + (key == std::string("part") ? ">" : "");
        expected = expected.substr(0, expected.find('\0'));
        ASSERT_EQ(library.requests.size(), 1u);
        EXPECT_EQ(library.requests[0], expected) << key << " edited with '" << edit[0] << edit[1] << "' then '" << tail << "'";
      }
    }
  }
}

// Long messages of other kinds are seen arriving too; they must leave the assembly as they found
// it: a long query or start with nothing begun, then a last piece alone, which is a whole request.
TEST(SplitRequest, LongMessagesOfOtherKindsLeaveTheAssemblyAlone) {
  const std::string filler(200'000, 'f');
  test::fake_library library;
  std::string input = frame_of(R"({"query":")" + filler + "\"}") + frame_of(last("alone")) +
                      frame_of(R"({"part":"true","count":1,"pad":")" + filler + "\"}") + frame_of(piece("a")) +
                      frame_of(R"({"query":")" + filler + "\"}") + frame_of(last("b"));
  test::run_loop(library, input);
  ASSERT_EQ(library.requests.size(), 4u);
  EXPECT_EQ(library.requests[1], "alone");
  EXPECT_EQ(library.requests[3], "ab");
}

// A NUL ends the message text wherever it is found: in the envelope's decoded text, which cuts a
// long piece short of its closing quote, or in the request's bytes, which cuts the request.
TEST(SplitRequest, LateNulBytesCutWhereTheyShould) {
  std::string bytes(200'000, 'q');
  test::fake_library library;
  // A NUL late in the decoded piece text: what is left of the piece no longer parses.
  const std::string text = piece(bytes);
  std::string envelope_text = text;
  envelope_text[text.size() - 500] = '\0';
  // A NUL late in the request's bytes, in a piece and again in a later one.
  std::string with_nul = bytes;
  with_nul[190'000] = '\0';
  // A NUL in a value that a later duplicate key overrides is no part of the request.
  const std::string overridden = R"({"part":")" + base64_of(with_nul) + R"(","part":")" + base64_of(bytes) + "\"}";
  std::string input = frame_of(R"({"part":"true"})") + frame_of(envelope_text) + frame_of(last("x")) +
                      frame_of(R"({"part":"true"})") + frame_of(piece(with_nul)) + frame_of(piece(with_nul)) +
                      frame_of(last("y")) + frame_of(R"({"part":"true"})") + frame_of(overridden) + frame_of(last("z"));
  test::run_loop(library, input);
  ASSERT_EQ(library.requests.size(), 3u);
  EXPECT_EQ(library.requests[0], "");
  EXPECT_EQ(library.requests[1], bytes.substr(0, 190'000));
  EXPECT_EQ(library.requests[2], bytes + "z");
}

}  // namespace
}  // namespace npc
