// Start-up: the library binding and the worker that runs the request loop.
#include "host/library.hpp"

#include <cstdio>

#include "host/platform.hpp"
#include "host/request_loop.hpp"

namespace npc {
namespace {

// What the worker is handed: set up before it starts and outliving it.
struct worker_start {
  library_entries entries;
  std::FILE* wire = nullptr;
};

// No exception leaves the worker: whatever escapes the loop ends it as the end of input would.
int worker(void* argument) noexcept {
  try {
    const auto* start = static_cast<const worker_start*>(argument);
    return request_loop(start->entries, start->wire);
  } catch (...) {
    return 0;
  }
}

}  // namespace

bool bind_library(library_entries& entries) {
  void* library = platform::load_library(platform::signing_library_name);
  if (library == nullptr) return false;
  // Both are looked up before either is tested.
  const platform::entry_point process_query = platform::find_entry(library, "addon_process_query");
  const platform::entry_point free_result = platform::find_entry(library, "addon_free");
  if (process_query == nullptr || free_result == nullptr) return false;
  entries.process_query = reinterpret_cast<addon_process_query_fn>(process_query);
  entries.free_result = reinterpret_cast<addon_free_fn>(free_result);
  return true;
}

int run_host() {
  platform::prepare_process();
  // Before the library is loaded, since a library may print from the moment it is loaded: what
  // it writes to standard output must not land between the frames.
  // Lives as long as run_host, which outlives the worker: it waits for it.
  worker_start start;
  start.wire = platform::keep_wire_output();
  if (start.wire == nullptr) return -1;
  if (!bind_library(start.entries)) return -1;
  if (!platform::run_worker(&worker, &start)) return -1;
  return 0;
}

}  // namespace npc
