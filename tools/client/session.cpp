// The session loop over the wire functions; the only place that turns faults into the
// client's messages and exit status.
#include "client/session.hpp"

#include <chrono>

#include "client/host_process.hpp"
#include "client/exchange.hpp"

namespace npc::client {
namespace {

using std::chrono::milliseconds;

// A host that was told to close, or whose input was closed, exits at once; these only bound
// the wait for one that does not.
constexpr milliseconds CLOSE_GRACE{10'000};
constexpr milliseconds FAULT_GRACE{2'000};

constexpr const char* PROGRAM = "npcorvane-client";

void report_stats(std::FILE* err, std::size_t number, std::size_t request_bytes, const send_report& sent,
                  const std::string& reply, const reply_report& received, double seconds) {
  std::fprintf(err, "%s: request %zu: %zu byte%s sent %s in %zu message%s", PROGRAM, number, request_bytes,
               request_bytes == 1 ? "" : "s", sent.split ? "split" : "whole", sent.messages,
               sent.messages == 1 ? "" : "s");
  if (sent.split) std::fprintf(err, " (%zu piece%s and a last one)", sent.pieces, sent.pieces == 1 ? "" : "s");
  std::fprintf(err, "; reply %zu byte%s in %zu %s; %.3f ms\n", reply.size(), reply.size() == 1 ? "" : "s",
               received.frames, received.frames > 1 ? "chunks" : "frame", seconds * 1000.0);
}

// Ends the session after a fault in request `number`: says what went wrong and, when the host
// went away, how it ended.
int fail(std::FILE* err, host_process& host, std::size_t number, const outcome& fault_seen) {
  if (fault_seen.kind == fault::host_ended) {
    const host_exit end = finish_host(host, FAULT_GRACE);
    std::fprintf(err, "%s: request %zu: %s; it %s\n", PROGRAM, number, fault_seen.detail.c_str(),
                 describe_exit(end).c_str());
  } else {
    finish_host(host, FAULT_GRACE);
    std::fprintf(err, "%s: request %zu: %s\n", PROGRAM, number, fault_seen.detail.c_str());
  }
  return 1;
}

}  // namespace

int run_session(const client_options& options, const std::string& host_path,
                const std::vector<std::string>& requests, std::FILE* out, std::FILE* err) {
  host_process host;
  const outcome started = start_host(host_path, options.host_arguments, host);
  if (!succeeded(started)) {
    std::fprintf(err, "%s: %s\n", PROGRAM, started.detail.c_str());
    return 1;
  }

  const send_settings settings{options.split, options.piece_size};
  std::string reply;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const auto begin = std::chrono::steady_clock::now();
    send_report sent;
    outcome result = send_request(host.to_host, host.from_host, requests[i], settings, sent);
    if (!succeeded(result)) return fail(err, host, i + 1, result);
    reply_report received;
    result = read_reply(host.from_host, host.to_host, reply, received);
    if (!succeeded(result)) return fail(err, host, i + 1, result);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;

    if (!options.quiet) {
      if (std::fwrite(reply.data(), 1, reply.size(), out) != reply.size() || std::fputc('\n', out) == EOF ||
          std::fflush(out) != 0) {
        finish_host(host, FAULT_GRACE);
        std::fprintf(err, "%s: cannot write reply %zu to standard output\n", PROGRAM, i + 1);
        return 1;
      }
    }
    if (options.stats || options.quiet) report_stats(err, i + 1, requests[i].size(), sent, reply, received, took.count());
  }

  const outcome closed = send_message(host.to_host, CLOSE_TEXT);
  const host_exit end = finish_host(host, CLOSE_GRACE);
  if (!succeeded(closed) && closed.kind != fault::host_ended) {
    std::fprintf(err, "%s: %s\n", PROGRAM, closed.detail.c_str());
    return 1;
  }
  if (!end.exited || end.status != 0) {
    std::fprintf(err, "%s: after the close message the host %s\n", PROGRAM,
                 describe_exit(end).c_str());
    return 1;
  }
  return 0;
}

}  // namespace npc::client
