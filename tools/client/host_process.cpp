// Starting and ending the host child on POSIX: posix_spawn over close-on-exec pipes, and a
// polled wait so a host that ignores the end of its input cannot hang the client.
#include "client/host_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

extern char** environ;

namespace npc::client {
namespace {

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

host_exit exit_of(int wait_status) {
  host_exit end;
  if (WIFEXITED(wait_status)) {
    end.exited = true;
    end.status = WEXITSTATUS(wait_status);
  } else if (WIFSIGNALED(wait_status)) {
    end.signal = WTERMSIG(wait_status);
  }
  return end;
}

}  // namespace

outcome start_host(const std::string& path, const std::vector<std::string>& arguments, host_process& host) {
  // Close-on-exec on every end: the dup2 actions below give the child its two, and no other
  // copy survives into it, so the host sees the end of its input when the client closes.
  int input[2], output[2];
  if (::pipe2(input, O_CLOEXEC) != 0)
    return outcome{fault::io, std::string("cannot make a pipe: ") + std::strerror(errno)};
  if (::pipe2(output, O_CLOEXEC) != 0) {
    const int error = errno;
    ::close(input[0]);
    ::close(input[1]);
    return outcome{fault::io, std::string("cannot make a pipe: ") + std::strerror(error)};
  }

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);

  // The client ignores SIGPIPE, and an ignored signal stays ignored across exec: give the host
  // back the default so it behaves as it would under a browser.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  const int error = ::posix_spawnp(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  ::close(output[1]);
  if (error != 0) {
    ::close(input[1]);
    ::close(output[0]);
    return outcome{fault::io, "cannot start the host " + path + ": " + std::strerror(error)};
  }
  host = host_process{pid, input[1], output[0]};
  return {};
}

host_exit finish_host(host_process& host, std::chrono::milliseconds grace) {
  close_fd(host.to_host);
  close_fd(host.from_host);
  if (host.pid <= 0) return {};

  const auto deadline = std::chrono::steady_clock::now() + grace;
  int wait_status = 0;
  for (;;) {
    const pid_t done = ::waitpid(host.pid, &wait_status, WNOHANG);
    if (done == host.pid) break;
    if (done < 0 && errno != EINTR) {
      host.pid = -1;
      return {};
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(host.pid, SIGKILL);
      while (::waitpid(host.pid, &wait_status, 0) < 0 && errno == EINTR) {
      }
      host.pid = -1;
      host_exit end = exit_of(wait_status);
      end.killed = true;
      return end;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  host.pid = -1;
  return exit_of(wait_status);
}

std::string describe_exit(const host_exit& end) {
  if (end.killed) return "was still running after the grace period, so the client killed it";
  if (!end.exited) return "was killed by signal " + std::to_string(end.signal) + " (" + strsignal(end.signal) + ")";
  std::string text = "exited with status " + std::to_string(end.status);
  if (end.status == 255)
    text += " (255 usually means it could not load its signing library or one of its entry points)";
  return text;
}

std::string default_host_path(const char* argv0) {
  char self[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string executable = length > 0 ? std::string(self, static_cast<std::size_t>(length))
                                      : std::string(argv0 ? argv0 : "");
  const std::size_t slash = executable.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : executable.substr(0, slash);
  return directory + "/npcorvane-host";
}

}  // namespace npc::client
