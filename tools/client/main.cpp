// npcorvane-client: reads the command line and the requests, then runs one session with the
// host; every failure becomes one line on standard error and a non-zero status.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "client/host_process.hpp"
#include "client/options.hpp"
#include "client/session.hpp"

namespace {

bool read_standard_input(std::string& text) {
  text.clear();
  char block[65536];
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, block, sizeof block);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    text.append(block, static_cast<std::size_t>(got));
  }
}

int run(int argc, char** argv) {
  using namespace npc::client;
  // A host that dies while a request is being written must give a message, not kill the client.
  ::signal(SIGPIPE, SIG_IGN);

  client_options options;
  std::string error;
  if (!parse_arguments(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), options, error)) {
    std::fprintf(stderr, "npcorvane-client: %s (try --help)\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(usage_text().c_str(), stdout);
    return 0;
  }
  if (options.requests.empty()) options.requests.push_back(request_source{true, {}});

  std::vector<std::string> requests;
  for (request_source& source : options.requests) {
    if (!source.from_stdin) {
      requests.push_back(std::move(source.text));
      continue;
    }
    std::string text;
    if (!read_standard_input(text)) {
      std::fprintf(stderr, "npcorvane-client: cannot read standard input: %s\n", std::strerror(errno));
      return 1;
    }
    requests.push_back(std::move(text));
  }

  const std::string host_path = options.host_path.empty() ? default_host_path(argv[0]) : options.host_path;
  return run_session(options, host_path, requests, stdout, stderr);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "npcorvane-client: %s\n", failure.what());
  } catch (...) {
    std::fprintf(stderr, "npcorvane-client: unexpected failure\n");
  }
  return 1;
}
