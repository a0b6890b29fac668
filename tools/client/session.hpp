// One session with the host: start it, send each request and read its reply, close it, and
// judge how it ended.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "client/options.hpp"

namespace npc::client {

// Runs the requests (texts already read) against the host named in `options`. Replies go to
// `out`, each followed by a newline; failures go to `err` as one line each. Returns the client's
// exit status: 0 when every request was answered and the host exited with 0, else 1.
int run_session(const client_options& options, const std::string& host_path,
                const std::vector<std::string>& requests, std::FILE* out, std::FILE* err);

}  // namespace npc::client
