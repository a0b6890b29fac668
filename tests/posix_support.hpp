// POSIX helpers for tests that run commands: a temporary folder of a test's own, file contents,
// and the one way the tests start a child: its standard streams on files or on pipes, which
// run_child pumps, writing the input while it reads both outputs.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace npc::test {

// Removed with everything in it when the test is done.
struct scratch_dir {
  std::filesystem::path path;
  explicit scratch_dir(const std::string& prefix = "npc-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    path = ::mkdtemp(pattern.data());
  }
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;
  ~scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

// What a child is started with.
struct child_command {
  std::vector<std::string> argv;        // argv[0] is searched in PATH when it holds no slash
  std::vector<std::string> env;         // exactly this environment, "NAME=value"
  std::string cwd;                      // empty for the test's own
  std::vector<int> closed_descriptors;  // standard descriptors the child starts without
};

// Where each of the child's standard streams goes: a file by its path, or a pipe when empty.
using child_streams = std::array<std::string, 3>;

// A started child and the test's ends of its pipes (-1 for a stream on a file).
struct child_process {
  pid_t pid = -1;
  int in = -1, out = -1, err = -1;
};

// Starts `command` with its standard streams as `streams` says; a child that cannot start fails
// the test and has pid -1. Every other descriptor of the test is closed in the child.
inline child_process spawn_child(const child_command& command, const child_streams& streams) {
  std::vector<std::string> argv = command.argv, env = command.env;
  std::vector<char*> argv_pointers, env_pointers;
  for (std::string& a : argv) argv_pointers.push_back(a.data());
  argv_pointers.push_back(nullptr);
  for (std::string& e : env) env_pointers.push_back(e.data());
  env_pointers.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int child_ends[3] = {-1, -1, -1}, test_ends[3] = {-1, -1, -1};
  for (int fd = 0; fd < 3; ++fd) {
    if (!streams[fd].empty()) {
      posix_spawn_file_actions_addopen(&actions, fd, streams[fd].c_str(),
                                       fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC, 0600);
      continue;
    }
    int ends[2];
    EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    child_ends[fd] = fd == 0 ? ends[0] : ends[1];
    test_ends[fd] = fd == 0 ? ends[1] : ends[0];
    posix_spawn_file_actions_adddup2(&actions, child_ends[fd], fd);
  }
  for (int fd : command.closed_descriptors) posix_spawn_file_actions_addclose(&actions, fd);
  if (!command.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, command.cwd.c_str());
  child_process child;
  const int spawned =
      posix_spawnp(&child.pid, argv_pointers[0], &actions, nullptr, argv_pointers.data(), env_pointers.data());
  posix_spawn_file_actions_destroy(&actions);
  for (int fd : child_ends)
    if (fd >= 0) ::close(fd);
  EXPECT_EQ(spawned, 0) << "cannot start " << argv[0] << ": " << std::strerror(spawned);
  if (spawned != 0) {
    for (int fd : test_ends)
      if (fd >= 0) ::close(fd);
    child.pid = -1;
    return child;
  }
  child.in = test_ends[0];
  child.out = test_ends[1];
  child.err = test_ends[2];
  return child;
}

struct command_run {
  int status = -1;  // exit status, or -1 when the command did not exit normally
  std::string out, err;
};

// Runs `argv` with exactly the environment `env` ("NAME=value"), standard input read from `input`,
// and its standard output and error captured through files named after `capture` (".stdout",
// ".stderr"); waits for it.
inline command_run run_command(std::vector<std::string> argv, std::vector<std::string> env,
                               const std::filesystem::path& input, const std::filesystem::path& capture) {
  const std::string out = capture.string() + ".stdout", err = capture.string() + ".stderr";
  command_run run;
  const child_process child = spawn_child({std::move(argv), std::move(env), {}, {}}, {input.string(), out, err});
  if (child.pid < 0) return run;
  int wait_status = 0;
  while (::waitpid(child.pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wait_status)) run.status = WEXITSTATUS(wait_status);
  run.out = read_file(out);
  run.err = read_file(err);
  return run;
}

// What a test writes to a child: texts, each written a number of times, so that a long input
// need not be held in the test's own memory (which would count in the child's peak: a spawned
// child starts from its parent's).
struct child_input {
  std::vector<std::pair<std::string, std::size_t>> parts;
  child_input(std::string text) : parts{{std::move(text), 1}} {}  // NOLINT: a plain text is an input
  child_input& then(std::string text, std::size_t times = 1) {
    parts.emplace_back(std::move(text), times);
    return *this;
  }
};

// How the test reads the child's output.
struct pump_options {
  std::chrono::seconds deadline{60};  // then the child is killed and the test fails
  bool close_output_early = false;    // stop reading before the first byte
  // Stop reading once this many bytes of output have arrived.
  std::size_t close_output_after = std::numeric_limits<std::size_t>::max();
};

struct child_run {
  int exit_status = -1;  // -1 when the child did not exit normally
  int signal = 0;
  std::string out, err;
  long peak_rss_kib = 0;  // the child's peak resident memory
  // The capacity of the pipes to and from the child when its first output arrived; -1 for the
  // one to the child when it was closed by then.
  int input_pipe_size = -1, output_pipe_size = -1;
};

// Starts `command` on three pipes, writes `input` to it while reading both its outputs, closes
// its input once all is written (or the child stops reading), and waits for it.
inline child_run run_child(const child_command& command, const child_input& input, const pump_options& options = {}) {
  child_run result;
  child_process child = spawn_child(command, {});
  if (child.pid < 0) return result;
  if (options.close_output_early) ::close(std::exchange(child.out, -1));

  ::signal(SIGPIPE, SIG_IGN);
  ::fcntl(child.in, F_SETFL, O_NONBLOCK);
  std::size_t part = 0, repeat = 0, written = 0;  // where the writing stands in `input`
  const auto skip_finished = [&] {
    while (part < input.parts.size() &&
           (written == input.parts[part].first.size() || repeat == input.parts[part].second)) {
      written = 0;
      if (++repeat >= input.parts[part].second) {
        repeat = 0;
        ++part;
      }
    }
  };
  skip_finished();
  if (part == input.parts.size()) ::close(std::exchange(child.in, -1));
  const auto deadline = std::chrono::steady_clock::now() + options.deadline;
  char block[1 << 16];
  while (child.out >= 0 || child.err >= 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << command.argv.front() << " did not finish in time";
      ::kill(child.pid, SIGKILL);
      break;
    }
    pollfd fds[3] = {{child.in, POLLOUT, 0}, {child.out, POLLIN, 0}, {child.err, POLLIN, 0}};
    ::poll(fds, 3, 1000);
    if (child.in >= 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const std::string& text = input.parts[part].first;
      const ssize_t n = ::write(child.in, text.data() + written, std::min<std::size_t>(text.size() - written, 1 << 16));
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n < 0 && errno != EAGAIN) part = input.parts.size();  // the child stopped reading
      skip_finished();
      if (part == input.parts.size()) ::close(std::exchange(child.in, -1));
    }
    for (auto [index, text] : {std::pair{1, &result.out}, std::pair{2, &result.err}}) {
      int& fd = index == 1 ? child.out : child.err;
      if (fd >= 0 && (fds[index].revents & (POLLIN | POLLHUP | POLLERR))) {
        const ssize_t n = ::read(fd, block, sizeof block);
        if (index == 1 && n > 0 && text->empty()) {
          result.output_pipe_size = ::fcntl(fd, F_GETPIPE_SZ);
          if (child.in >= 0) result.input_pipe_size = ::fcntl(child.in, F_GETPIPE_SZ);
        }
        if (n > 0) text->append(block, static_cast<std::size_t>(n));
        else ::close(std::exchange(fd, -1));
        if (index == 1 && fd >= 0 && text->size() >= options.close_output_after) ::close(std::exchange(fd, -1));
      }
    }
  }
  for (int fd : {child.in, child.out, child.err})
    if (fd >= 0) ::close(fd);
  int status = 0;
  rusage usage{};
  while (::wait4(child.pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  result.peak_rss_kib = usage.ru_maxrss;
  return result;
}

}  // namespace npc::test
