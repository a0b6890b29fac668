// The host as a child process: started over two pipes with the client's environment, and
// waited for at the end with a bounded grace before it is killed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "client/exchange.hpp"

namespace npc::client {

struct host_process {
  pid_t pid = -1;
  int to_host = -1;    // the host's standard input
  int from_host = -1;  // the host's standard output
};

// Starts `path` (searched in PATH when it holds no slash) with `arguments` after it, the
// client's environment, standard error shared and SIGPIPE back at its default. A host that
// cannot be executed is an io fault that names the path and the reason.
outcome start_host(const std::string& path, const std::vector<std::string>& arguments, host_process& host);

// How the host ended.
struct host_exit {
  bool exited = false;    // ended through exit; `status` holds its status
  int status = 0;
  int signal = 0;         // otherwise the signal that ended it
  bool killed = false;    // it outlived the grace and was killed by the client
};

// Closes both pipes (the host reads the end of its input), waits up to `grace` for the host to
// end, then kills it and reaps it.
host_exit finish_host(host_process& host, std::chrono::milliseconds grace);

// How the host ended, as a phrase that follows "the host" or "it": "exited with status 3",
// "was killed by signal 9 (Killed)"; status 255 carries a hint, since a host that cannot bind its
// signing library ends with it.
std::string describe_exit(const host_exit& end);

// The default host: npcorvane-host in the directory of the running executable.
std::string default_host_path(const char* argv0);

}  // namespace npc::client
