// The npcorvane-client executable as a person runs it: against scripted fake hosts (shell
// scripts that write prepared frames and record what they were sent) for the failures a real
// host cannot be made to show, and against the real host with the test library.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "codec/base64.hpp"
#include "protocol/protocol.hpp"

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

std::string frame_of(const std::string& body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  std::string frame{static_cast<char>(n & 0xFF), static_cast<char>(n >> 8 & 0xFF), static_cast<char>(n >> 16 & 0xFF),
                    static_cast<char>(n >> 24)};
  return frame + body;
}

std::string base64_of(const std::string& bytes) {
  std::string text(npc::base64_encoded_length(bytes.size()) + 1, '\0');
  npc::base64_encode(bytes.data(), bytes.size(), text.data());
  text.pop_back();
  return text;
}

// A directory of its own for each test, removed afterwards.
struct scratch_dir {
  fs::path path;
  scratch_dir() {
    std::string name = (fs::temp_directory_path() / "npc-client-test-XXXXXX").string();
    path = ::mkdtemp(name.data());
  }
  ~scratch_dir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

struct client_run {
  int status = -1;  // exit status, or -1 when the client did not exit normally
  std::string out;
  std::string err;
};

// Runs the client with `arguments`, standard input from `input`, and the environment of the test
// plus `environment` entries ("NAME=value").
client_run run_client(const scratch_dir& dir, const std::vector<std::string>& arguments, const std::string& input = {},
                      const std::vector<std::string>& environment = {}) {
  const fs::path in = dir.path / "client.stdin", out = dir.path / "client.stdout", err = dir.path / "client.stderr";
  write_file(in, input);
  std::vector<std::string> argv_text{NPC_CLIENT_PATH};
  argv_text.insert(argv_text.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_text;
  for (char** e = environ; *e; ++e) env_text.emplace_back(*e);
  env_text.insert(env_text.end(), environment.begin(), environment.end());
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  client_run run;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(spawned, 0) << "cannot start " << argv[0];
  if (spawned != 0) return run;
  int wait_status = 0;
  while (::waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wait_status)) run.status = WEXITSTATUS(wait_status);
  run.out = read_file(out);
  run.err = read_file(err);
  return run;
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
  const std::string written = read_file(dir.path / "host.in");
  std::vector<std::string> messages;
  std::size_t at = 0;
  while (at + 4 <= written.size()) {
    const auto* p = reinterpret_cast<const unsigned char*>(written.data() + at);
    const std::size_t length = p[0] | p[1] << 8 | p[2] << 16 | std::size_t{p[3]} << 24;
    if (at + 4 + length > written.size()) break;
    const std::string body = written.substr(at + 4, length);
    at += 4 + length;
    EXPECT_TRUE(body.size() >= 2 && body.front() == '"' && body.back() == '"') << body.substr(0, 40);
    std::string text(body.size() + 1, '\0');
    text.resize(npc::base64_decode(text.data(), body.data(), body.size()));
    messages.push_back(text);
  }
  EXPECT_EQ(at, written.size()) << "the client wrote a frame cut short";
  return messages;
}

const std::string ACK = R"({"more":"more"})";
const std::string CLOSE = R"({"close":"close"})";

TEST(ClientAgainstFakeHost, RunsASessionInOrderAndJoinsChunks) {
  scratch_dir dir;
  std::string long_reply(npc::DIRECT_REPLY_LIMIT + 1, '\0');
  for (std::size_t i = 0; i < long_reply.size(); ++i) long_reply[i] = static_cast<char>('a' + i % 26);
  const std::string frames = frame_of("{\"part\": \"" + base64_of(long_reply.substr(0, npc::CHUNK_SIZE)) + "\"}") +
                             frame_of("{\"last\": \"" + base64_of(long_reply.substr(npc::CHUNK_SIZE)) + "\"}") +
                             frame_of("second reply") + frame_of("third");
  const fs::path host = make_fake_host(dir, frames, 0);

  const client_run run =
      run_client(dir, {"--host", host.string(), "alpha", "-", "", "--", "--flag", "two words"}, "from stdin\n");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(run.out == long_reply + "\nsecond reply\nthird\n") << run.out.substr(0, 80);
  EXPECT_EQ(recorded_messages(dir), (std::vector<std::string>{"alpha", ACK, "from stdin\n", "", CLOSE}));
  EXPECT_EQ(read_file(dir.path / "host.args"), "--flag\ntwo words\n");
}

TEST(ClientAgainstFakeHost, SendsASplitRequestAndWaitsForEachAcknowledgement) {
  scratch_dir dir;
  const fs::path host = make_fake_host(dir, frame_of(ACK) + frame_of(ACK) + frame_of(ACK) + frame_of("done"), 0);
  const client_run run = run_client(dir, {"--host", host.string(), "--piece-size", "4", "--stats", "abcdefghij"});
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
      {"wrong acknowledgement", frame_of(R"({"more":"more"} )"), 0, {"--split", "q"},
       {"instead of the acknowledgement", R"('{"more":"more"} ')"}, ""},
      {"malformed chunk", frame_of(full_chunk) + frame_of(R"({"last":"aGk="})"), 0, {"q"},
       {"chunk 2", "malformed", R"({"last":"aGk="})"}, ""},
      {"second request fails after the first is printed", frame_of("first"), 255, {"q1", "q2"},
       {"request 2", "status 255"}, "first\n"},
      {"host exits non-zero at the end", frame_of("fine"), 3, {"q"}, {"after the close message", "status 3"},
       "fine\n"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    scratch_dir dir;
    std::vector<std::string> arguments{"--host", make_fake_host(dir, r.output, r.host_status).string()};
    arguments.insert(arguments.end(), r.arguments.begin(), r.arguments.end());
    const client_run run = run_client(dir, arguments);
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
    const client_run run = run_client(dir, {"--host", r.host, "q"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "npcorvane-client: cannot start the host " + r.host + ": " + r.reason + "\n");
  }
}

TEST(ClientCommandLine, HelpAndUsageErrors) {
  scratch_dir dir;
  const client_run help = run_client(dir, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("usage: npcorvane-client")) << help.out;
  const client_run bad = run_client(dir, {"--piece-size", "786424", "q"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("--piece-size"), std::string::npos) << bad.err;
}

}  // namespace
