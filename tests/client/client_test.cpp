// The npcorvane-client executable as a person runs it: against scripted fake hosts (shell
// scripts that write prepared frames and record what they were sent) for the failures a real
// host cannot be made to show, and against the real host with the test library.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "posix_support.hpp"

#include "codec/base64.hpp"
#include "protocol/wire.hpp"
#include "support.hpp"

namespace {

using npc::test::read_file;
using npc::test::scratch_dir;
using npc::test::write_file;

namespace fs = std::filesystem;

using npc::test::base64_of;
using npc::test::raw_frame;


// Runs the client with `arguments`, standard input from `input`, and the environment of the test
// with `environment` entries ("NAME=value") set over it.
npc::test::command_run run_client(const scratch_dir& dir, const std::vector<std::string>& arguments,
                                  const std::string& input = {}, const std::vector<std::string>& environment = {}) {
  write_file(dir.path / "client.stdin", input);
  std::vector<std::string> argv{NPC_CLIENT_PATH};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string_view entry(*e);
    const bool replaced = std::any_of(environment.begin(), environment.end(), [&](const std::string& set) {
      return entry.starts_with(set.substr(0, set.find('=') + 1));
    });
    if (!replaced) env.emplace_back(entry);
  }
  env.insert(env.end(), environment.begin(), environment.end());
  return npc::test::run_command(argv, env, dir.path / "client.stdin", dir.path / "client");
}

// A fake host: writes `output` at once, closes its standard output, records its standard input
// until the client closes it (so the client's writes never meet a closed pipe), records its
// arguments, and exits with `status`.
fs::path make_fake_host(const scratch_dir& dir, const std::string& output, int status) {
  const fs::path script = dir.path / "fake-host";
  write_file(dir.path / "host.out", output);
  write_file(script, "#!/bin/sh\n"
                     "here=$(dirname \"$0\")\n"
                     "printf '%s\\n' \"$@\" > \"$here/host.args\"\n"
                     "cat \"$here/host.out\"\n"
                     "exec >&-\n"
                     "cat > \"$here/host.in\"\n"
                     "exit " + std::to_string(status) + "\n");
  fs::permissions(script, fs::perms::owner_all);
  return script;
}

// The message texts in what the fake host recorded; every frame must be a quoted base64 text.
std::vector<std::string> recorded_messages(const scratch_dir& dir) {
  std::vector<std::string> messages;
  for (const std::string& body : npc::test::read_frames(read_file(dir.path / "host.in"))) {
    EXPECT_TRUE(body.size() >= 2 && body.front() == '"' && body.back() == '"') << body.substr(0, 40);
    messages.push_back(npc::test::unbase64(body));
  }
  return messages;
}

const std::string ACK = R"({"more":"more"})";
const std::string CLOSE = R"({"close":"close"})";

TEST(ClientAgainstFakeHost, RunsASessionInOrderAndJoinsChunks) {
  scratch_dir dir;
  std::string long_reply(npc::DIRECT_REPLY_LIMIT + 1, '\0');
  for (std::size_t i = 0; i < long_reply.size(); ++i) long_reply[i] = static_cast<char>('a' + i % 26);
  const std::string frames = raw_frame("{\"part\": \"" + base64_of(long_reply.substr(0, npc::CHUNK_SIZE)) + "\"}") +
                             raw_frame("{\"last\": \"" + base64_of(long_reply.substr(npc::CHUNK_SIZE)) + "\"}") +
                             raw_frame("second reply") + raw_frame("third");
  const fs::path host = make_fake_host(dir, frames, 0);

  const npc::test::command_run run =
      run_client(dir, {"--host", host.string(), "alpha", "-", "", "--", "--flag", "two words"}, "from stdin\n");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(run.out == long_reply + "\nsecond reply\nthird\n") << run.out.substr(0, 80);
  EXPECT_EQ(recorded_messages(dir), (std::vector<std::string>{"alpha", ACK, "from stdin\n", "", CLOSE}));
  EXPECT_EQ(read_file(dir.path / "host.args"), "--flag\ntwo words\n");
}

TEST(ClientAgainstFakeHost, SendsASplitRequestAndWaitsForEachAcknowledgement) {
  scratch_dir dir;
  const fs::path host = make_fake_host(dir, raw_frame(ACK) + raw_frame(ACK) + raw_frame(ACK) + raw_frame("done"), 0);
  const npc::test::command_run run = run_client(dir, {"--host", host.string(), "--piece-size", "4", "--stats", "abcdefghij"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "done\n");
  EXPECT_NE(run.err.find("10 bytes sent split in 4 messages"), std::string::npos) << run.err;
  EXPECT_EQ(recorded_messages(dir),
            (std::vector<std::string>{R"({"part":"true","count":2})", "{\"part\":\"" + base64_of("abcd") + "\"}",
                                      "{\"part\":\"" + base64_of("efgh") + "\"}",
                                      "{\"last\":\"" + base64_of("ij") + "\"}", CLOSE}));
}

TEST(ClientAgainstFakeHost, ReportsEachFailureInOneLine) {
  const std::string full_chunk = "{\"part\": \"" + base64_of(std::string(npc::CHUNK_SIZE, 'z')) + "\"}";
  struct row {
    const char* name;
    std::string output;
    int host_status;
    std::vector<std::string> arguments;
    std::vector<std::string> expected;  // each must appear in the message
    std::string expected_out;
  };
  const std::vector<row> rows = {
      {"host exits 255 before answering", "", 255, {"q"}, {"before answering", "status 255", "signing library"}, ""},
      {"host exits 0 before answering", "", 0, {"q"}, {"before answering", "status 0"}, ""},
      {"host exits before acknowledging", "", 255, {"--split", "q"}, {"instead of acknowledging", "status 255"}, ""},
      {"length bytes cut short", std::string("\x05\0", 2), 0, {"q"}, {"cut short after 2 of its 4 length bytes"}, ""},
      {"body cut short", std::string("\x64\0\0\0abc", 7), 0, {"q"}, {"cut short after 3 of its 100 body bytes"}, ""},
      {"frame too long", std::string("\x01\x00\x10\x00", 4) + std::string(100, 'x'), 0, {"q"},
       {"1048577 bytes", "1048576"}, ""},
      {"wrong acknowledgement", raw_frame(R"({"more":"more"} )"), 0, {"--split", "q"},
       {"instead of the acknowledgement", R"('{"more":"more"} ')"}, ""},
      {"malformed chunk", raw_frame(full_chunk) + raw_frame(R"({"last":"aGk="})"), 0, {"q"},
       {"chunk 2", "malformed", R"({"last":"aGk="})"}, ""},
      {"second request fails after the first is printed", raw_frame("first"), 255, {"q1", "q2"},
       {"request 2", "status 255"}, "first\n"},
      {"host exits non-zero at the end", raw_frame("fine"), 3, {"q"}, {"after the close message", "status 3"},
       "fine\n"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    scratch_dir dir;
    std::vector<std::string> arguments{"--host", make_fake_host(dir, r.output, r.host_status).string()};
    arguments.insert(arguments.end(), r.arguments.begin(), r.arguments.end());
    const npc::test::command_run run = run_client(dir, arguments);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, r.expected_out);
    ASSERT_FALSE(run.err.empty());
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "not one line: " << run.err;
    EXPECT_TRUE(run.err.starts_with("npcorvane-client: ")) << run.err;
    for (const std::string& part : r.expected) EXPECT_NE(run.err.find(part), std::string::npos) << run.err;
  }
}

TEST(ClientAgainstFakeHost, ReportsAHostThatCannotStart) {
  scratch_dir dir;
  const fs::path not_executable = dir.path / "not-executable";
  write_file(not_executable, "#!/bin/sh\nexit 0\n");
  fs::permissions(not_executable, fs::perms::owner_read | fs::perms::owner_write);
  struct row {
    std::string host;
    std::string reason;
  };
  for (const row& r : {row{(dir.path / "missing").string(), "No such file or directory"},
                       row{not_executable.string(), "Permission denied"}}) {
    SCOPED_TRACE(r.host);
    const npc::test::command_run run = run_client(dir, {"--host", r.host, "q"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "npcorvane-client: cannot start the host " + r.host + ": " + r.reason + "\n");
  }
}

TEST(ClientCommandLine, HelpAndUsageErrors) {
  scratch_dir dir;
  const npc::test::command_run help = run_client(dir, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("usage: npcorvane-client")) << help.out;
  const npc::test::command_run bad = run_client(dir, {"--piece-size", "786424", "q"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("--piece-size"), std::string::npos) << bad.err;
}

// Against the real host, which finds the test library through LD_LIBRARY_PATH: the client must
// pass its environment on, or the host would answer with the bundled library.
class ClientAgainstHost : public ::testing::Test {
 protected:
  npc::test::command_run run(const std::vector<std::string>& arguments, const std::string& input = {},
                 const std::string& library_dir = NPC_TESTLIB_DIR) {
    std::vector<std::string> all{"--host", NPC_HOST_PATH};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return run_client(dir, all, input, {"LD_LIBRARY_PATH=" + library_dir, "NPC_TESTLIB_TRACE=1"});
  }

  // The test library's answer to a request it has no other rule for.
  static std::string length_and_hash(const std::string& request) {
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (const unsigned char c : request) hash = (hash ^ c) * 0x100000001b3u;
    char text[96];
    std::snprintf(text, sizeof text, "{\"length\":%zu,\"fnv1a\":\"%016llx\"}", request.size(),
                  static_cast<unsigned long long>(hash));
    return text;
  }

  // Request bytes with no NUL, since the host hands the library the text up to its first NUL.
  static std::string request_of(std::size_t length) {
    std::string bytes(length, '\0');
    std::uint32_t state = 99;
    for (char& c : bytes) {
      state = state * 1103515245u + 12345u;
      c = static_cast<char>(1 + (state >> 16) % 255);
    }
    return bytes;
  }

  static std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  scratch_dir dir;
};

TEST_F(ClientAgainstHost, AnswersSmallQueriesInOrderOnOneSession) {
  const npc::test::command_run r = run({"--stats", "echo:hello", "null", "nul", "", "echo:{\"part\":\"aGk=\"}"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string("hello\nnull\n\"ab\"\n") + length_and_hash("") + "\n{\"part\":\"aGk=\"}\n");
  // One host, one library call per request: the trace shows five queries.
  EXPECT_EQ(count_of(r.err, "query "), 5u) << r.err;
  EXPECT_EQ(count_of(r.err, "npcorvane-client: request "), 5u) << r.err;
}

TEST_F(ClientAgainstHost, FetchesLongRepliesInChunks) {
  struct row {
    std::size_t size;
    std::size_t chunks;
  };
  for (const row& c : {row{npc::DIRECT_REPLY_LIMIT, 1}, row{npc::DIRECT_REPLY_LIMIT + 1, 2},
                       row{2 * npc::CHUNK_SIZE, 3}, row{3'000'001, 4}}) {
    SCOPED_TRACE(c.size);
    const npc::test::command_run r = run({"--stats", "size:" + std::to_string(c.size), "utf8:" + std::to_string(c.size)});
    EXPECT_EQ(r.status, 0) << r.err;
    // Both replies whole and in order: the filler reply, then the one whose multi-byte characters
    // fall across chunk edges.
    ASSERT_EQ(r.out.size(), 2 * (c.size + 1));
    const std::string filler = r.out.substr(0, c.size), utf8 = r.out.substr(c.size + 1, c.size);
    EXPECT_EQ(r.out[c.size], '\n');
    EXPECT_EQ(r.out.back(), '\n');
    const std::string cycle = "abcdefghijklmnopqrstuvwxyz0123456789";
    EXPECT_EQ(filler.front(), '"');
    EXPECT_EQ(filler.back(), '"');
    for (std::size_t i = 1; i + 1 < filler.size() - cycle.size(); i += cycle.size())
      ASSERT_EQ(filler.compare(i, cycle.size(), cycle), 0) << "at " << i;
    EXPECT_EQ(utf8.front(), '"');
    EXPECT_EQ(utf8.back(), '"');
    EXPECT_EQ(count_of(utf8, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), (c.size - 2) / 10) << "characters lost or torn";
    const std::string in_chunks = c.chunks == 1 ? "in 1 frame" : "in " + std::to_string(c.chunks) + " chunks";
    EXPECT_EQ(count_of(r.err, std::to_string(c.size) + " bytes " + in_chunks), 2u) << r.err;
  }
}

TEST_F(ClientAgainstHost, SendsLongRequestsSplitAndTheyArriveWhole) {
  struct row {
    const char* name;
    std::size_t length;
    std::vector<std::string> options;
    std::size_t pieces;  // before the last one
  };
  const std::vector<row> rows = {
      {"two million bytes, split by size", 2'000'000, {}, 2},
      {"exactly one piece, sent whole", npc::CHUNK_SIZE, {}, 0},
      {"forced, small pieces", 50, {"--split", "--piece-size", "7"}, 7},
      {"forced, one piece", 50, {"--split"}, 0},
      {"empty, forced", 0, {"--split"}, 0},
  };
  for (const row& c : rows) {
    SCOPED_TRACE(c.name);
    const std::string request = request_of(c.length);
    std::vector<std::string> arguments = c.options;
    arguments.push_back("--stats");
    const npc::test::command_run r = run(arguments, request);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, length_and_hash(request) + "\n");
    EXPECT_EQ(count_of(r.err, "query " + std::to_string(c.length) + "\n"), 1u) << r.err;
    const bool split = c.pieces > 0 || !c.options.empty();
    if (split) {
      EXPECT_NE(r.err.find("split in " + std::to_string(c.pieces + 2) + " messages"), std::string::npos) << r.err;
    } else {
      EXPECT_NE(r.err.find("sent whole"), std::string::npos) << r.err;
    }
  }
}

// Sent whole, each of these would be taken for the host's own message: a last piece carrying
// another request, a request for more, the end of the session, a start.
TEST_F(ClientAgainstHost, RequestsThatBeginLikeTheProtocolsMessagesReachTheLibraryUnchanged) {
  const std::vector<std::string> requests = {
      R"({"last":"eyJvcGVyYXRpb24iOiJzaWduIn0=","operation":"certificates"})", R"({"more":"more"})",
      R"({"close":"close"})", R"({"part":"true","count":3})"};
  std::vector<std::string> arguments{"--stats"};
  std::string expected;
  for (const std::string& request : requests) {
    arguments.push_back(request);
    expected += length_and_hash(request) + "\n";
  }
  const npc::test::command_run r = run(arguments);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(count_of(r.err, "sent split in 2 messages"), requests.size()) << r.err;
}

TEST_F(ClientAgainstHost, SplitRequestsAndChunkedRepliesShareASession) {
  const npc::test::command_run r = run({"--piece-size", "3", "size:1048577", "echo:after"});
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.out.size(), 1'048'578u + 6u);
  EXPECT_EQ(r.out.substr(1'048'578), "after\n");
}

TEST_F(ClientAgainstHost, QuietReportsRepliesInsteadOfPrintingThem) {
  const npc::test::command_run r = run({"--quiet", "size:1048577", "echo:x"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("request 1: 12 bytes sent whole in 1 message; reply 1048577 bytes in 2 chunks"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("request 2: 6 bytes sent whole in 1 message; reply 1 byte in 1 frame"), std::string::npos)
      << r.err;
}

TEST_F(ClientAgainstHost, AHostThatCannotBindItsLibraryIsExplained) {
  const npc::test::command_run r = run({"echo:x"}, {}, NPC_TESTLIB_WITHOUT_FREE_DIR);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  // Whether the client meets the closed input or the closed output first is a race; either way
  // the message says the host ended and why it usually does.
  EXPECT_TRUE(r.err.starts_with("npcorvane-client: request 1: the host closed its ")) << r.err;
  EXPECT_NE(r.err.find("before answering; it exited with status 255 (255 usually means it could not load its "
                       "signing library"),
            std::string::npos)
      << r.err;
}

}  // namespace
