// The client's wire functions in-process: frames read from and written to in-memory files,
// split requests against scripted acknowledgements, chunked replies joined, the command line.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/base64.hpp"
#include "client/options.hpp"
#include "support.hpp"
#include "client/exchange.hpp"

namespace npc::client {
namespace {

// An in-memory file holding `bytes`, positioned at its start.
struct memory_file {
  int fd = -1;
  explicit memory_file(const std::string& bytes = {}) {
    fd = ::memfd_create("client_wire_test", 0);
    if (!bytes.empty()) {
      EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    ::lseek(fd, 0, SEEK_SET);
  }
  ~memory_file() { ::close(fd); }
  memory_file(const memory_file&) = delete;
  memory_file& operator=(const memory_file&) = delete;

  std::string contents() const {
    std::string all(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
    EXPECT_EQ(::pread(fd, all.data(), all.size(), 0), static_cast<ssize_t>(all.size()));
    return all;
  }
};

using test::base64_of;
using test::raw_frame;
using test::unbase64;

// The message texts of the frames a client wrote; each prefix must fit its body exactly and each
// body must be one base64 text between quotes.
std::vector<std::string> read_messages(const std::string& written) {
  std::vector<std::string> messages;
  for (const std::string& body : test::read_frames(written)) {
    EXPECT_TRUE(body.size() >= 2 && body.front() == '"' && body.back() == '"') << body.substr(0, 40);
    const std::string inner = body.substr(1, body.size() - 2);
    EXPECT_EQ(base64_of(unbase64(inner)), inner) << "not canonical base64 between the quotes";
    messages.push_back(unbase64(inner));
  }
  return messages;
}

// Bytes that exercise the codec: NULs, high bytes, all values.
std::string request_bytes(std::size_t length) {
  std::string bytes(length, '\0');
  std::uint32_t state = 12345;
  for (char& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 16);
  }
  return bytes;
}

std::string part_chunk(const std::string& bytes) { return "{\"part\": \"" + base64_of(bytes) + "\"}"; }
std::string last_chunk(const std::string& bytes) { return "{\"last\": \"" + base64_of(bytes) + "\"}"; }

const std::string ACK = R"({"more":"more"})";

class ClientWire : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ::signal(SIGPIPE, SIG_IGN); }
};

TEST_F(ClientWire, ReadsFramesAndRejectsBadOnes) {
  const std::string big(DIRECT_REPLY_LIMIT, 'x');
  struct row {
    const char* name;
    std::string input;
    fault expected;
    std::optional<std::string> body;  // what was read of the body, when it is defined
  };
  const std::vector<row> rows = {
      {"whole", raw_frame("abc") + raw_frame("next"), fault::none, "abc"},
      {"empty body", raw_frame(""), fault::none, ""},
      {"length bytes least significant first", std::string("\x02\x01\0\0", 4) + std::string(258, 'q'), fault::none,
       std::string(258, 'q')},
      {"largest", raw_frame(big), fault::none, big},
      {"nothing", "", fault::host_ended, {}},
      {"prefix cut", std::string("\x05\0", 2), fault::cut_short, {}},
      {"body cut", std::string("\x64\0\0\0", 4) + "abc", fault::cut_short, "abc"},
      {"one byte too long", std::string("\x01\x00\x10\x00", 4) + big + "y", fault::too_long, {}},
      {"top bit set", std::string("\x05\0\0\x80", 4) + "hello", fault::too_long, {}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    memory_file input(r.input);
    std::string body = "junk";
    const outcome result = read_frame(input.fd, body);
    EXPECT_EQ(result.kind, r.expected) << result.detail;
    EXPECT_EQ(result.kind == fault::none, result.detail.empty());
    if (r.body) {
      EXPECT_EQ(body, *r.body);
    }
  }
}

TEST_F(ClientWire, ReadsConsecutiveFramesWithoutLosingBytes) {
  memory_file input(raw_frame("one") + raw_frame("") + raw_frame("three"));
  std::string body;
  for (const char* expected : {"one", "", "three"}) {
    ASSERT_TRUE(succeeded(read_frame(input.fd, body)));
    EXPECT_EQ(body, expected);
  }
  EXPECT_EQ(read_frame(input.fd, body).kind, fault::host_ended);
}

TEST_F(ClientWire, WritesMessagesInTheirEnvelope) {
  memory_file output;
  ASSERT_TRUE(succeeded(send_message(output.fd, "hi")));
  ASSERT_TRUE(succeeded(send_message(output.fd, "")));
  EXPECT_EQ(output.contents(), std::string("\x06\0\0\0\"aGk=\"\x02\0\0\0\"\"", 16));

  memory_file long_output;
  const std::string text = request_bytes(300);  // 400 base64 characters and 2 quotes: 0x192
  ASSERT_TRUE(succeeded(send_message(long_output.fd, text)));
  EXPECT_EQ(long_output.contents().substr(0, 4), std::string("\x92\x01\0\0", 4));
  EXPECT_EQ(read_messages(long_output.contents()), std::vector<std::string>{text});
}

TEST_F(ClientWire, WritingToAClosedPipeIsTheHostEnding) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ::close(ends[0]);
  EXPECT_EQ(send_message(ends[1], "anything").kind, fault::host_ended);
  ::close(ends[1]);
}

TEST_F(ClientWire, SendsRequestsWholeOrInPieces) {
  struct row {
    std::size_t length;
    bool split;
    std::size_t piece_size;
    bool expect_split;
    std::size_t expect_count;
  };
  const std::vector<row> rows = {
      {5, false, CHUNK_SIZE, false, 0},
      {0, false, CHUNK_SIZE, false, 0},
      {CHUNK_SIZE, false, CHUNK_SIZE, false, 0},
      {CHUNK_SIZE + 1, false, CHUNK_SIZE, true, 1},
      {2'000'000, false, CHUNK_SIZE, true, 2},
      {0, true, CHUNK_SIZE, true, 0},
      {5, true, CHUNK_SIZE, true, 0},
      {9, false, 3, true, 2},   // three full pieces: two, and a full last one
      {10, false, 3, true, 3},  // a last piece of one byte
      {3, false, 3, false, 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(::testing::Message() << r.length << " bytes, split " << r.split << ", pieces of " << r.piece_size);
    const std::string request = request_bytes(r.length);
    std::string acks;
    for (std::size_t i = 0; i <= r.expect_count; ++i) acks += raw_frame(ACK);
    memory_file from_host(acks), to_host;
    send_report report;
    const outcome result = send_request(to_host.fd, from_host.fd, request, send_settings{r.split, r.piece_size}, report);
    ASSERT_TRUE(succeeded(result)) << result.detail;
    const std::vector<std::string> messages = read_messages(to_host.contents());
    EXPECT_EQ(report.split, r.expect_split);
    EXPECT_EQ(report.messages, messages.size());
    if (!r.expect_split) {
      EXPECT_EQ(messages, std::vector<std::string>{request});
      continue;
    }
    // Every acknowledgement was consumed, none beyond them was needed.
    std::string rest;
    EXPECT_EQ(read_frame(from_host.fd, rest).kind, fault::host_ended);
    ASSERT_EQ(messages.size(), r.expect_count + 2);
    EXPECT_EQ(messages.front(), "{\"part\":\"true\",\"count\":" + std::to_string(r.expect_count) + "}");
    std::string joined;
    for (std::size_t i = 1; i < messages.size(); ++i) {
      const bool last = i + 1 == messages.size();
      const std::string head = last ? "{\"last\":\"" : "{\"part\":\"";
      ASSERT_TRUE(messages[i].starts_with(head) && messages[i].ends_with("\"}")) << messages[i].substr(0, 40);
      const std::string piece = unbase64(messages[i].substr(head.size(), messages[i].size() - head.size() - 2));
      if (!last) {
        EXPECT_EQ(piece.size(), r.piece_size);
      } else {
        EXPECT_LE(piece.size(), r.piece_size);
        EXPECT_EQ(piece.empty(), r.length == 0);
      }
      joined += piece;
    }
    EXPECT_EQ(joined, request);
  }
}

// The host reads a text up to its first NUL and tells its own messages by their first bytes, the
// close text whole; only a request it would take for one of them needs the pieces.
TEST_F(ClientWire, SplitsShortRequestsExactlyWhenTheHostWouldTakeThemForItsOwn) {
  using namespace std::string_literals;
  const std::vector<std::pair<std::string, bool>> rows = {
      {R"({"close":"close"})", true},          {"{\"close\":\"close\"}\0tail"s, true},
      {R"({"close":"close"} )", false},        {R"({"more":"more","x":1})", true},
      {R"({"part":"true","count":0})", true},  {R"({"part":"abc"})", true},
      {R"({"last":"")", true},                 {R"({"more" :"more"})", false},
      {R"( {"part":"x"})", false},             {"\0{\"part\":\"x\"}"s, false},
      {R"({"operation":"version"})", false},
  };
  for (const auto& [request, split] : rows) {
    SCOPED_TRACE(excerpt(request));
    memory_file from_host(raw_frame(ACK)), to_host;
    send_report report;
    ASSERT_TRUE(succeeded(send_request(to_host.fd, from_host.fd, request, send_settings{}, report)));
    EXPECT_EQ(report.split, split);
    const std::vector<std::string> messages = read_messages(to_host.contents());
    EXPECT_EQ(messages.back(), split ? R"({"last":")" + base64_of(request) + "\"}" : request);
  }
}

TEST_F(ClientWire, StopsAtAWrongOrMissingAcknowledgement) {
  struct row {
    const char* name;
    std::string answers;
    fault expected;
    std::size_t messages_sent;
  };
  const std::vector<row> rows = {
      {"start answered wrongly", raw_frame(R"({"more": "more"})"), fault::bad_ack, 1},
      {"piece answered with a newline", raw_frame(ACK) + raw_frame(ACK + "\n"), fault::bad_ack, 2},
      {"piece answered with a reply", raw_frame(ACK) + raw_frame(ACK) + raw_frame("{}"), fault::bad_ack, 3},
      {"host gone after the start", raw_frame(ACK), fault::host_ended, 2},
      {"acknowledgement cut short", std::string("\x0f\0\0\0{\"mo", 8), fault::cut_short, 1},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    memory_file from_host(r.answers), to_host;
    send_report report;
    const outcome result = send_request(to_host.fd, from_host.fd, request_bytes(10), send_settings{true, 3}, report);
    EXPECT_EQ(result.kind, r.expected) << result.detail;
    EXPECT_FALSE(result.detail.empty());
    EXPECT_EQ(read_messages(to_host.contents()).size(), r.messages_sent);
  }
}

TEST_F(ClientWire, RecognisesOnlyTheExactChunkForm) {
  struct row {
    std::string text;
    chunk_kind kind;
    std::string base64;
  };
  const std::vector<row> rows = {
      {R"({"part": "aGk="})", chunk_kind::part, "aGk="},
      {R"({"part": "aA=="})", chunk_kind::part, "aA=="},
      {R"({"last": "aGVsbG8h"})", chunk_kind::last, "aGVsbG8h"},
      {R"({"last": ""})", chunk_kind::last, ""},
      {R"({"part":"aGk="})", chunk_kind::not_chunk, ""},
      {R"({"part":  "aGk="})", chunk_kind::not_chunk, ""},
      {R"({"part": "aGk="} )", chunk_kind::not_chunk, ""},
      {R"({"part": "aGk"})", chunk_kind::not_chunk, ""},
      {R"({"part": "a=Gk"})", chunk_kind::not_chunk, ""},
      {R"({"part": "a==="})", chunk_kind::not_chunk, ""},
      {R"({"part": "aG k"})", chunk_kind::not_chunk, ""},
      {R"({"part": "aG-_"})", chunk_kind::not_chunk, ""},
      {R"({"Part": "aGk="})", chunk_kind::not_chunk, ""},
      {R"({"more": "aGk="})", chunk_kind::not_chunk, ""},
      {R"({"part": ")", chunk_kind::not_chunk, ""},
      {R"({"part": "aGk=)", chunk_kind::not_chunk, ""},
      {R"({"last": "aGk="}})", chunk_kind::not_chunk, ""},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.text);
    const chunk_view chunk = parse_chunk(r.text);
    EXPECT_EQ(chunk.kind, r.kind);
    EXPECT_EQ(chunk.base64, r.base64);
  }
}

TEST_F(ClientWire, JoinsChunkedRepliesAndPassesOthersThrough) {
  const std::string long_reply = request_bytes(DIRECT_REPLY_LIMIT + 1);
  const std::string two_full = request_bytes(2 * CHUNK_SIZE);
  struct row {
    const char* name;
    std::string frames;
    std::string reply;
    std::size_t mores;
  };
  const std::vector<row> rows = {
      {"whole", raw_frame(R"({"result":"ok"})"), R"({"result":"ok"})", 0},
      {"a last chunk alone is an ordinary reply", raw_frame(last_chunk("hi")), last_chunk("hi"), 0},
      {"a part chunk with the wrong form is an ordinary reply", raw_frame(R"({"part":"aGk="})"), R"({"part":"aGk="})",
       0},
      {"part then last",
       raw_frame(part_chunk(long_reply.substr(0, CHUNK_SIZE))) + raw_frame(last_chunk(long_reply.substr(CHUNK_SIZE))),
       long_reply, 1},
      {"two full parts then an empty last",
       raw_frame(part_chunk(two_full.substr(0, CHUNK_SIZE))) + raw_frame(part_chunk(two_full.substr(CHUNK_SIZE))) +
           raw_frame(last_chunk("")),
       two_full, 2},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    memory_file from_host(r.frames + raw_frame("unread")), to_host;
    std::string reply = "junk";
    reply_report report;
    const outcome result = read_reply(from_host.fd, to_host.fd, reply, report);
    ASSERT_TRUE(succeeded(result)) << result.detail;
    EXPECT_TRUE(reply == r.reply) << "sizes " << reply.size() << " and " << r.reply.size();
    EXPECT_EQ(report.frames, r.mores + 1);
    EXPECT_EQ(read_messages(to_host.contents()), std::vector<std::string>(r.mores, ACK));
    // The joiner stopped at the last chunk: the next frame is still there.
    std::string next;
    ASSERT_TRUE(succeeded(read_frame(from_host.fd, next)));
    EXPECT_EQ(next, "unread");
  }
}

TEST_F(ClientWire, RejectsMalformedChunks) {
  const std::string full = request_bytes(CHUNK_SIZE);
  const std::string first = raw_frame(part_chunk(full));
  struct row {
    const char* name;
    std::string frames;
    fault expected;
  };
  const std::vector<row> rows = {
      {"first part too short", raw_frame(part_chunk("abc")), fault::bad_chunk},
      {"later chunk without the space", first + raw_frame(R"({"last":"aGk="})"), fault::bad_chunk},
      {"later chunk with bad base64", first + raw_frame(R"({"last": "a*k="})"), fault::bad_chunk},
      {"later part not full", first + raw_frame(part_chunk("abc")), fault::bad_chunk},
      {"later part too long", first + raw_frame(part_chunk(full + "abc")), fault::too_long},
      {"last as long as a part", first + raw_frame(last_chunk(full)), fault::bad_chunk},
      {"a whole reply where a chunk belongs", first + raw_frame(R"({"result":"ok"})"), fault::bad_chunk},
      {"host gone between chunks", first, fault::host_ended},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    memory_file from_host(r.frames), to_host;
    std::string reply;
    reply_report report;
    const outcome result = read_reply(from_host.fd, to_host.fd, reply, report);
    EXPECT_EQ(result.kind, r.expected) << result.detail;
    EXPECT_FALSE(result.detail.empty());
  }
}

TEST(ClientOptions, ParsesTheCommandLine) {
  client_options options;
  std::string error;
  ASSERT_TRUE(parse_arguments({"--stats", "echo:a", "-", "--host=/x/h", "--piece-size", "10", "", "--split", "--",
                               "--split", "extra"},
                              options, error))
      << error;
  EXPECT_TRUE(options.stats && options.split);
  EXPECT_FALSE(options.quiet || options.help);
  EXPECT_EQ(options.host_path, "/x/h");
  EXPECT_EQ(options.piece_size, 10u);
  ASSERT_EQ(options.requests.size(), 3u);
  EXPECT_FALSE(options.requests[0].from_stdin);
  EXPECT_EQ(options.requests[0].text, "echo:a");
  EXPECT_TRUE(options.requests[1].from_stdin);
  EXPECT_EQ(options.requests[2].text, "");
  EXPECT_EQ(options.host_arguments, (std::vector<std::string>{"--split", "extra"}));
}

TEST(ClientOptions, RejectsBadCommandLines) {
  const std::vector<std::vector<std::string>> rows = {
      {"--piece-size", "0"},   {"--piece-size", "786424"}, {"--piece-size", "12x"}, {"--piece-size=-1"},
      {"--piece-size"},        {"--host"},                 {"--host="},             {"-", "x", "-"},
      {"--verbose"},           {"--split=yes"},
  };
  for (const auto& arguments : rows) {
    SCOPED_TRACE(arguments.front());
    client_options options;
    std::string error;
    EXPECT_FALSE(parse_arguments(arguments, options, error));
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace npc::client
