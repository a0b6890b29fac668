// One line per request in the file the user named: assembled while the request runs, written
// when it ends.
#include "core/diagnostic_log.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

namespace npc::signer::diagnostic_log {
namespace {

struct record {
  std::string path;
  std::chrono::system_clock::time_point started;
  std::chrono::steady_clock::time_point clock;
  std::string operation = "none", outcome = "internal_error", calls;
  std::vector<std::string> modules;
};

// The request being recorded. Token calls run on a worker thread of the request, so the record is
// the process's, behind a lock; the host asks one request at a time.
std::mutex lock;
std::unique_ptr<record> current;
std::atomic<bool> on{false};

std::string milliseconds(std::chrono::steady_clock::duration took) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f",
                std::chrono::duration<double, std::milli>(took).count());
  return text;
}

}  // namespace

namespace detail {

std::string plain(std::string_view text) {
  std::string out;
  for (const char c : text.substr(0, 64)) {
    const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '-' || c == '_' || c == '/';
    out += kept ? c : '?';
  }
  return out.empty() ? "?" : out;
}

}  // namespace detail

request_record::request_record() {
  std::string path = detail::log_path();
  if (path.empty()) return;
  auto made = std::make_unique<record>();
  made->path = std::move(path);
  made->started = std::chrono::system_clock::now();
  made->clock = std::chrono::steady_clock::now();
  const std::lock_guard<std::mutex> held(lock);
  if (current) return;
  current = std::move(made);
  mine_ = true;
  on = true;
}

request_record::~request_record() {
  if (!mine_) return;
  std::unique_ptr<record> done;
  {
    const std::lock_guard<std::mutex> held(lock);
    done = std::move(current);
    on = false;
  }
  try {
    std::string modules;
    for (const std::string& module : done->modules) modules += (modules.empty() ? "" : ",") + module;
    std::string line = detail::utc_time(std::chrono::system_clock::to_time_t(done->started)) +
                       " operation=" + done->operation + " outcome=" + done->outcome +
                       " ms=" + milliseconds(std::chrono::steady_clock::now() - done->clock) +
                       " modules=" + (modules.empty() ? "none" : modules) +
                       " calls=" + (done->calls.empty() ? "none" : done->calls) + "\n";
    detail::append_line(done->path, line);
  } catch (...) {
    // The log never costs a reply.
  }
}

void request_record::operation(std::string_view name) {
  if (!mine_) return;
  const std::lock_guard<std::mutex> held(lock);
  current->operation = detail::plain(name);
}

void request_record::outcome(std::string_view code) {
  if (!mine_) return;
  const std::lock_guard<std::mutex> held(lock);
  current->outcome = detail::plain(code);
}

bool recording() { return on; }

void note_call(std::string_view module, std::optional<unsigned long> slot, std::string_view function,
               unsigned long result, std::chrono::steady_clock::duration took) {
  const std::lock_guard<std::mutex> held(lock);
  if (!current) return;
  const std::string name = detail::plain(module);
  if (std::find(current->modules.begin(), current->modules.end(), name) == current->modules.end()) {
    current->modules.push_back(name);
  }
  char code[24];
  std::snprintf(code, sizeof code, "0x%lx", result);
  current->calls += (current->calls.empty() ? "" : ",") + detail::plain(function) + "(" + name +
                    (slot ? ":" + std::to_string(*slot) : std::string()) + ")=" + code + "/" +
                    milliseconds(took) + "ms";
}

}  // namespace npc::signer::diagnostic_log
