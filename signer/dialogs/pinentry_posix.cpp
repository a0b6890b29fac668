// pinentry_process on POSIX: posix_spawn (safe in a process with other threads) and a socket
// pair, so that a write to a program that has died fails instead of raising SIGPIPE.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "dialogs/pinentry_process.hpp"

extern char** environ;

namespace npc::signer {

pinentry_process::pinentry_process(const char* program) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The program's standard input and output are its end of the pair; the host's own standard
  // output carries frames to the browser and must never reach it.
  posix_spawn_file_actions_adddup2(&actions, ends[1], 0);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  char* argv[] = {const_cast<char*>(program), nullptr};
  pid_t pid = -1;
  // A bare name (NPC_PINENTRY=pinentry-qt) is looked up in PATH.
  const int failed = ::posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(ends[1]);
  if (failed != 0) {
    ::close(ends[0]);
    return;
  }
  fd_ = ends[0];
  pid_ = pid;
}

pinentry_process::~pinentry_process() {
  if (fd_ >= 0) ::close(fd_);
  if (pid_ <= 0) return;
  // pinentry ends at the end of its input; one that does not is not waited for long.
  for (int waited_ms = 0; waited_ms < 2000; waited_ms += 10) {
    if (::waitpid(pid_, nullptr, WNOHANG) != 0) return;
    const timespec pause{0, 10'000'000};
    ::nanosleep(&pause, nullptr);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

bool pinentry_process::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

std::size_t pinentry_process::read(char* buffer, std::size_t size, int timeout_ms) {
  for (;;) {
    pollfd ready{fd_, POLLIN, 0};
    const int polled = ::poll(&ready, 1, timeout_ms);
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return 0;
    const ssize_t got = ::recv(fd_, buffer, size, 0);
    if (got < 0 && errno == EINTR) continue;
    return got > 0 ? static_cast<std::size_t>(got) : 0;
  }
}

}  // namespace npc::signer
