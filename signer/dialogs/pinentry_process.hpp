// Starting a pinentry program with a socket pair for its standard input and output, and the
// byte-level reads and writes on it. POSIX only, like pinentry itself.
#pragma once

#include <cstddef>
#include <string_view>

namespace npc::signer {

class pinentry_process {
 public:
  // Starts `program` with the host's environment (DISPLAY, WAYLAND_DISPLAY and the rest) and its
  // standard error; running() tells whether it started.
  explicit pinentry_process(const char* program);
  // Closes the socket, which ends the program, and reaps it (killing it if it lingers).
  ~pinentry_process();
  pinentry_process(const pinentry_process&) = delete;
  pinentry_process& operator=(const pinentry_process&) = delete;

  bool running() const { return fd_ >= 0; }
  // Writes all of `bytes`; false when the program has gone (never raises SIGPIPE).
  bool write(std::string_view bytes);
  // Reads up to `size` bytes; 0 at end of stream, on error, or when nothing came within
  // `timeout_ms` (a program that hangs must not hang the host with it).
  std::size_t read(char* buffer, std::size_t size, int timeout_ms);

 private:
  int fd_ = -1;
  int pid_ = -1;
};

}  // namespace npc::signer
