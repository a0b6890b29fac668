// The client's command line: options, request texts and the host's own arguments.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "protocol/wire.hpp"

namespace npc::client {

// One request as named on the command line: a text, or the whole of standard input.
struct request_source {
  bool from_stdin = false;
  std::string text;
};

struct client_options {
  std::string host_path;                 // empty: npcorvane-host beside the client
  std::vector<std::string> host_arguments;
  std::vector<request_source> requests;  // none named: one from standard input
  bool split = false;
  std::size_t piece_size = CHUNK_SIZE;
  bool quiet = false;  // replies not printed; a summary of each on standard error instead
  bool stats = false;  // a summary of each exchange on standard error
  bool help = false;
};

// Fills `options` from the arguments after the program name. Returns false with a one-line
// `error` on an unknown option, a missing or bad value, or standard input named twice.
bool parse_arguments(const std::vector<std::string>& arguments, client_options& options, std::string& error);

// The text --help prints.
std::string usage_text();

}  // namespace npc::client
