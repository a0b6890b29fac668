// Where the diagnostic log goes on POSIX systems, and the append.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "core/diagnostic_log.hpp"

namespace npc::signer::diagnostic_log::detail {

std::string log_path() {
  const char* named = std::getenv("NPC_LOG");
  return named && *named ? named : "";
}

std::string utc_time(std::time_t time) {
  std::tm utc{};
  gmtime_r(&time, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return stamp;
}

void append_line(const std::string& path, const std::string& line) {
  // O_APPEND and one write: lines of hosts running side by side never interleave.
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return;
  const ssize_t written = ::write(fd, line.data(), line.size());
  static_cast<void>(written);
  ::close(fd);
}

}  // namespace npc::signer::diagnostic_log::detail
