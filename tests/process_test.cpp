// The built host as a process, with the test library: start-up failures and their exit statuses,
// the browser's arguments, the library search, and whole conversations checked byte for byte.
// The same cases run against a Windows build of the host under Wine; see `setup` below.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "protocol/protocol.hpp"
#include "support.hpp"

extern char** environ;

namespace npc {
namespace {

using test::frame_of;
using test::read_frames;

std::string from_environment(const char* name, const char* otherwise) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : otherwise;
}

// The host under test and its test libraries: this build's own by default. Another build's host
// (a Windows .exe) is named in the environment together with a launcher that runs it (wine), and
// its libraries are put beside a copy of it, since no search path comes before the host's folder.
struct test_setup {
  std::string host = from_environment("NPC_TEST_HOST", NPC_HOST_PATH);
  std::string launcher = from_environment("NPC_TEST_LAUNCHER", "");
  std::string library = from_environment("NPC_TEST_LIBRARY", NPC_TESTLIB_PATH);
  std::string library_without_free = from_environment("NPC_TEST_LIBRARY_WITHOUT_FREE", NPC_TESTLIB_WITHOUT_FREE_PATH);
  bool library_beside_host = !from_environment("NPC_TEST_LIBRARY_BESIDE_HOST", "").empty();
};
const test_setup setup;

namespace fs = std::filesystem;

fs::path temporary_folder() {
  char pattern[] = "/tmp/npc-host-XXXXXX";
  return mkdtemp(pattern);
}

// A copy of the host in a folder of its own ("bin"), with no signing library anywhere it searches
// until one is put beside it.
struct host_copy {
  fs::path dir = temporary_folder();
  host_copy() {
    fs::create_directory(dir / "bin");
    fs::copy_file(setup.host, host());
  }
  ~host_copy() { fs::remove_all(dir); }
  host_copy(const host_copy&) = delete;
  host_copy& operator=(const host_copy&) = delete;
  std::string host() const { return (dir / "bin" / fs::path(setup.host).filename()).string(); }
  void put_beside(const std::string& library) const {
    fs::copy_file(library, dir / "bin" / fs::path(library).filename(), fs::copy_options::overwrite_existing);
  }
};

struct host_run {
  int exit_status = -1;  // -1 when the host did not exit normally
  int signal = 0;
  std::string out, err;
};

struct host_options {
  std::vector<std::string> args;
  // Found ahead of the bundled library: its folder goes first on LD_LIBRARY_PATH, or the library
  // goes beside a copy of the host. Empty for none.
  std::string library = setup.library;
  std::string host = setup.host;
  std::string cwd;
  bool trace = true;
  bool close_output_early = false;  // the browser stops reading before the first reply
};

// Starts the host, writes `input` to it while reading both its outputs, closes its input and waits.
host_run run_host(const std::string& input, const host_options& options = {}) {
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    if (!entry.starts_with("LD_LIBRARY_PATH=") && !entry.starts_with("NPC_TESTLIB_TRACE=")) env_strings.emplace_back(entry);
  }
  std::string host = options.host;
  std::optional<host_copy> copy;
  if (!options.library.empty() && setup.library_beside_host) {
    copy.emplace();
    copy->put_beside(options.library);
    host = copy->host();
  } else if (!options.library.empty()) {
    env_strings.push_back("LD_LIBRARY_PATH=" + fs::path(options.library).parent_path().string());
  }
  if (options.trace) env_strings.push_back("NPC_TESTLIB_TRACE=1");
  std::vector<char*> envp, argv;
  if (!setup.launcher.empty()) argv.push_back(const_cast<char*>(setup.launcher.c_str()));
  argv.push_back(host.data());
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = options.args;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int in[2], out[2], err[2];
  EXPECT_EQ(pipe(in) | pipe(out) | pipe(err), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) posix_spawn_file_actions_addclose(&actions, fd);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  host_run result;
  EXPECT_EQ(spawned, 0) << std::strerror(spawned);
  if (spawned != 0) return result;
  if (options.close_output_early) {
    close(out[0]);
    out[0] = -1;
  }

  signal(SIGPIPE, SIG_IGN);
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  std::size_t written = 0;
  int to_host = in[1];
  if (input.empty()) close(std::exchange(to_host, -1));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  char block[1 << 16];
  while (out[0] >= 0 || err[0] >= 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "the host did not finish within 60 s";
      kill(pid, SIGKILL);
      break;
    }
    pollfd fds[3] = {{to_host, POLLOUT, 0}, {out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    poll(fds, 3, 1000);
    if (to_host >= 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t n = write(to_host, input.data() + written, std::min<std::size_t>(input.size() - written, 1 << 16));
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n < 0 && errno != EAGAIN) written = input.size();  // the host stopped reading
      if (written == input.size()) close(std::exchange(to_host, -1));
    }
    for (auto [index, text] : {std::pair{1, &result.out}, std::pair{2, &result.err}}) {
      int& fd = index == 1 ? out[0] : err[0];
      if (fd >= 0 && (fds[index].revents & (POLLIN | POLLHUP | POLLERR))) {
        const ssize_t n = read(fd, block, sizeof block);
        if (n > 0) text->append(block, static_cast<std::size_t>(n));
        else close(std::exchange(fd, -1));
      }
    }
  }
  if (to_host >= 0) close(to_host);
  // The test library traces through the C runtime's stderr, which stays in text mode on Windows.
  for (std::size_t at; (at = result.err.find("\r\n")) != std::string::npos;) result.err.erase(at, 1);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

const std::string close_text = R"({"close":"close"})";
const std::string more = R"({"more":"more"})";

TEST(HostProcess, StartUpFailuresExitWithMinusOneAndWriteNothing) {
  host_copy lonely;
  host_options missing;
  missing.host = lonely.host();
  missing.library = "";
  host_options without_free;
  without_free.library = setup.library_without_free;
  for (const auto& [name, options] : {std::pair{"no library", missing}, std::pair{"no addon_free", without_free}}) {
    const host_run run = run_host(frame_of("hello"), options);
    EXPECT_EQ(run.exit_status, 255) << name;
    EXPECT_TRUE(run.out.empty()) << name;
    EXPECT_TRUE(run.err.empty()) << name;
  }
}

TEST(HostProcess, EndOfInputBeforeAnyMessageExitsCleanlyWithoutCallingTheLibrary) {
  const host_run run = run_host("");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_TRUE(run.out.empty());
  EXPECT_TRUE(run.err.empty()) << "the library was called: " << run.err;
}

TEST(HostProcess, BrowserArgumentsAndWorkingDirectoryChangeNothing) {
  const std::string input = frame_of("hello") + frame_of("nul") + frame_of(close_text);
  const host_run plain = run_host(input);
  EXPECT_EQ(plain.exit_status, 0);
  EXPECT_EQ(read_frames(plain.out),
            (std::vector<std::string>{R"({"length":5,"fnv1a":"a430d84680aabd0b"})", "\"ab\""}));
  const std::vector<std::vector<std::string>> argument_sets = {
      {"chrome-extension://knldjmfmopnpolahpmmgbagdohdnhkik/"},
      {"/home/user/.mozilla/native-messaging-hosts/npcorvane.json", "signer@example.org"},
      {"--help", "-v", ""},
  };
  for (const auto& args : argument_sets) {
    host_options options;
    options.args = args;
    options.cwd = "/";
    const host_run run = run_host(input, options);
    EXPECT_EQ(run.exit_status, 0) << args[0];
    EXPECT_EQ(run.out, plain.out) << args[0];
  }
}

TEST(HostProcess, FindsTheBundledLibraryBesideItFromAnyDirectory) {
  host_options options;
  options.library = "";
  options.cwd = "/";
  const host_run run = run_host(frame_of(R"({"operation":"echo","data":"abc"})") + frame_of(close_text), options);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(read_frames(run.out), (std::vector<std::string>{R"({"status":"ok","operation":"echo","data":"abc"})"}));
}

// A library planted in the working directory must not be loaded into a signing host; the same
// library beside the host is.
TEST(HostProcess, IgnoresALibraryInTheWorkingDirectory) {
  host_copy lonely;
  const fs::path work = lonely.dir / "work";
  fs::create_directory(work);
  fs::copy_file(setup.library, work / fs::path(setup.library).filename());
  host_options options;
  options.host = lonely.host();
  options.library = "";
  options.cwd = work.string();
  const std::string input = frame_of("hello") + frame_of(close_text);
  const host_run planted = run_host(input, options);
  EXPECT_EQ(planted.exit_status, 255);
  EXPECT_TRUE(planted.out.empty());

  lonely.put_beside(setup.library);
  const host_run beside = run_host(input, options);
  EXPECT_EQ(beside.exit_status, 0);
  EXPECT_EQ(read_frames(beside.out), (std::vector<std::string>{R"({"length":5,"fnv1a":"a430d84680aabd0b"})"}));
}

// The bytes a stream in text mode would change (LF and CR, 0x1A as the end of input, NUL) in the
// length bytes and bodies of frames both ways. Inbound bodies carry them outside the base64: the
// decoder skips what is not its alphabet and the envelope ends at the first NUL. Outbound, the
// test library echoes them.
TEST(HostProcess, LineEndAndEndOfFileBytesPassUnchangedBothWays) {
  const std::string awkward("\r\n\x1a\n\0\r", 6);
  struct exchange {
    std::uint32_t reply_length;  // the length bytes out: 0A, 0D or 1A first
    std::uint32_t frame_length;  // the length bytes in
  };
  const exchange exchanges[] = {
      {0x0A, 0x0D0A}, {0x0D, 0x0A1A}, {0x1A, 0x0D1A0D}, {0x0A0D1A, 0x1A0D0A},
  };
  std::string input, expected;
  for (const auto& [reply_length, frame_length] : exchanges) {
    std::string reply;
    while (reply.size() < reply_length) reply += "\r\n\x1a\n\rx";
    reply.resize(reply_length);
    std::string body = "\"" + test::base64_of("echo:" + reply) + "\"" + awkward;
    ASSERT_LE(body.size(), frame_length);
    while (body.size() < frame_length) body += awkward;
    body.resize(frame_length);
    input += test::raw_frame(body);
    expected += test::raw_frame(reply);
  }
  input += frame_of(close_text);
  const host_run run = run_host(input);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out.size(), expected.size());
  EXPECT_TRUE(run.out == expected) << "the output differs from the echoed bytes";
}

TEST(HostProcess, WholeConversationIsByteExact) {
  const std::string request(2 * CHUNK_SIZE + 5, 'r');
  std::string input = frame_of("size:1048576") + frame_of("size:1048577") + frame_of(more) + frame_of(more) +
                      frame_of("null") + frame_of("after null");
  for (const auto& text : test::split_request_texts(request, CHUNK_SIZE)) input += frame_of(text);
  input += frame_of(close_text) + frame_of("never read");
  const host_run run = run_host(input);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.err, "query 12\nfree\nquery 12\nfree\nquery 4\nquery 10\nfree\nquery 1572851\n");
  const auto frames = read_frames(run.out);
  ASSERT_EQ(frames.size(), 10u);
  EXPECT_EQ(frames[0].size(), DIRECT_REPLY_LIMIT);
  EXPECT_EQ(frames[1].size(), DIRECT_REPLY_LIMIT);
  EXPECT_TRUE(frames[1].starts_with(R"({"part": ")"));
  EXPECT_EQ(frames[2].size(), 349'552u);  // the 262,154 bytes left, in base64, in {"last": "..."}
  EXPECT_EQ(frames[3], R"({"last": ""})");
  EXPECT_EQ(frames[4], "null");
  EXPECT_EQ(frames[6], R"({"more":"more"})");
  EXPECT_EQ(frames[7], R"({"more":"more"})");
  EXPECT_EQ(frames[8], R"({"more":"more"})");
  EXPECT_EQ(frames[9], R"({"length":1572851,"fnv1a":"9e978624168f5af5"})");
}

TEST(HostProcess, BrowserGoingAwayEndsTheHostWithoutASignal) {
  host_options options;
  options.close_output_early = true;
  const host_run run = run_host(frame_of("size:5000000") + frame_of(more) + frame_of(more), options);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exit_status, 0);
}

}  // namespace
}  // namespace npc
