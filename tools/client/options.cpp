// Parsing the client's command line into client_options; no I/O here.
#include "client/options.hpp"

#include <algorithm>
#include <charconv>

namespace npc::client {
namespace {

// Takes the value of an option given as "--name=value" or as "--name value".
bool take_value(const std::vector<std::string>& arguments, std::size_t& i, std::string_view name,
                std::string& value, std::string& error) {
  const std::string& argument = arguments[i];
  if (argument.size() > name.size() && argument[name.size()] == '=') {
    value = argument.substr(name.size() + 1);
    return true;
  }
  if (i + 1 >= arguments.size()) {
    error = std::string(name) + " needs a value";
    return false;
  }
  value = arguments[++i];
  return true;
}

bool is_option(const std::string& argument, std::string_view name) {
  return argument == name || (argument.starts_with(name) && argument.size() > name.size() &&
                              argument[name.size()] == '=');
}

}  // namespace

bool parse_arguments(const std::vector<std::string>& arguments, client_options& options, std::string& error) {
  bool stdin_named = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--") {
      options.host_arguments.assign(arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1, arguments.end());
      break;
    }
    if (argument == "--help" || argument == "-h") {
      options.help = true;
    } else if (argument == "--split") {
      options.split = true;
    } else if (argument == "--quiet") {
      options.quiet = true;
    } else if (argument == "--stats") {
      options.stats = true;
    } else if (is_option(argument, "--host")) {
      if (!take_value(arguments, i, "--host", options.host_path, error)) return false;
      if (options.host_path.empty()) {
        error = "--host needs a path";
        return false;
      }
    } else if (is_option(argument, "--piece-size")) {
      std::string value;
      if (!take_value(arguments, i, "--piece-size", value, error)) return false;
      std::size_t size = 0;
      const auto [end, status] = std::from_chars(value.data(), value.data() + value.size(), size);
      if (status != std::errc{} || end != value.data() + value.size() || size < 1 || size > CHUNK_SIZE) {
        error = "--piece-size takes a whole number from 1 to " + std::to_string(CHUNK_SIZE) + ", not '" + value + "'";
        return false;
      }
      options.piece_size = size;
    } else if (argument == "-") {
      if (stdin_named) {
        error = "standard input ('-') can be named only once";
        return false;
      }
      stdin_named = true;
      options.requests.push_back(request_source{true, {}});
    } else if (argument.starts_with("--")) {
      error = "unknown option '" + argument + "' (a request that begins with -- can come on standard input)";
      return false;
    } else {
      options.requests.push_back(request_source{false, argument});
    }
  }
  return true;
}

std::string usage_text() {
  const std::string chunk = std::to_string(CHUNK_SIZE);
  return "usage: npcorvane-client [options] [request ...] [-- host-argument ...]\n"
         "\n"
         "Starts the host and plays the extension's side: sends each request as one query on the\n"
         "same session, in order, prints each reply followed by a newline, then closes the host.\n"
         "A request is an argument's text, or the whole of standard input for '-' or when no\n"
         "request is given (a trailing newline is part of it). A reply that comes in chunks is\n"
         "fetched whole and printed as one.\n"
         "\n"
         "options:\n"
         "  --host PATH        the host to start (default: npcorvane-host beside this program)\n"
         "  --split            send every request as a split request\n"
         "  --piece-size N     bytes per piece of a split request, 1 to " + chunk + " (default " + chunk + ");\n"
         "                     a request longer than one piece is always split\n"
         "  --stats            report sizes, message and chunk counts and times on stderr\n"
         "  --quiet            do not print replies; report them on stderr as --stats does\n"
         "  -h, --help         print this text\n"
         "  --                 the arguments after it go to the host\n"
         "\n"
         "The host inherits the environment (LD_LIBRARY_PATH chooses its signing library) and\n"
         "standard error. Exit status: 0 when every request was answered and the host exited\n"
         "with 0, 1 on a failure (one line on stderr says which), 2 on a bad command line.\n";
}

}  // namespace npc::client
