// Start-up: the library binding and the worker that runs the request loop.
#include "host/library.hpp"

#include "host/platform.hpp"
#include "protocol/request_loop.hpp"

namespace npc {
namespace {

// No exception leaves the worker: whatever escapes the loop ends it as the end of input would.
int worker(void* argument) noexcept {
  try {
    return request_loop(static_cast<const library_entries*>(argument));
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
  // Lives as long as run_host, which outlives the worker: it waits for it.
  library_entries entries;
  if (!bind_library(entries)) return -1;
  if (!platform::run_worker(&worker, &entries)) return -1;
  return 0;
}

}  // namespace npc
