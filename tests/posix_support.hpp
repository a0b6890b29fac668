// POSIX helpers for tests that run commands: a temporary folder of a test's own, file contents,
// and running a command with its standard streams on files.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
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
  std::vector<char*> argv_pointers, env_pointers;
  for (std::string& a : argv) argv_pointers.push_back(a.data());
  argv_pointers.push_back(nullptr);
  for (std::string& e : env) env_pointers.push_back(e.data());
  env_pointers.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  command_run run;
  const int spawned = posix_spawn(&pid, argv_pointers[0], &actions, nullptr, argv_pointers.data(), env_pointers.data());
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

}  // namespace npc::test
