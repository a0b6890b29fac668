// The platform layer on Linux and macOS: dlopen, one std::thread, no line-end translation, and
// the frames kept apart from whatever else writes to descriptor 1.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <system_error>
#include <thread>

#include "host/platform.hpp"

namespace npc::platform {

namespace {

// Puts the null device on descriptor `fd` if it is closed; false when that cannot be done.
bool keep_open(int fd) {
  if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) return true;
  const int null = open("/dev/null", O_RDWR);
  if (null == -1) return false;
  if (null == fd) return true;
  const bool moved = dup2(null, fd) != -1;
  close(null);
  return moved;
}

// The most pipe capacity an unprivileged process gets by default (/proc/sys/fs/pipe-max-size).
constexpr int wide_pipe_size = 1 << 20;

}  // namespace

#if defined(__APPLE__)
const char* const signing_library_name = "libnpcorvane.dylib";
#else
const char* const signing_library_name = "libnpcorvane.so";
#endif

void* load_library(const char* name) { return dlopen(name, RTLD_NOW | RTLD_LOCAL); }

entry_point find_entry(void* library, const char* name) {
  return reinterpret_cast<entry_point>(dlsym(library, name));
}

bool set_binary_mode(std::FILE*) { return true; }

bool run_worker(int (*work)(void*) noexcept, void* argument) {
  try {
    std::thread worker(work, argument);
    worker.join();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void prepare_process() {
  std::signal(SIGPIPE, SIG_IGN);
#if defined(F_SETPIPE_SZ)
  // A pipe holds 64 KiB by default, so a 1 MiB chunk message would cross it in sixteen
  // hand-overs, each a wake-up of the reader and a sleep of the writer. Widened to what an
  // ordinary user may ask for (1 MiB unless the system says otherwise), a message crosses in one
  // or two. Pages are taken only while bytes wait in the pipe. Not a pipe, or refused: nothing
  // changes.
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO}) fcntl(fd, F_SETPIPE_SZ, wide_pipe_size);
#endif
}

std::FILE* keep_wire_output() {
  // Above 2, so that with descriptor 2 closed the browser's pipe cannot end up behind it; closed
  // on exec, so that a child process of the library cannot hold the browser's pipe open.
  const int wire = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (wire == -1) return nullptr;
  std::FILE* stream = fdopen(wire, "wb");
  if (stream == nullptr) {
    close(wire);
    return nullptr;
  }
  // A closed standard input or error gets the null device for good, so that no file the library
  // or a module it loads opens later lands on a standard descriptor, where a read meant for the
  // browser or a stray message could reach it. Without standard error, what the library prints
  // then goes nowhere, but never into the frames.
  if (!keep_open(STDIN_FILENO) || !keep_open(STDERR_FILENO) || dup2(STDERR_FILENO, STDOUT_FILENO) == -1) {
    std::fclose(stream);
    return nullptr;
  }
  return stream;
}

}  // namespace npc::platform
