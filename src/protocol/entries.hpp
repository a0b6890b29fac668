// The signing library's side of the host: its two entry points as the host calls them.
#pragma once

namespace npc {

// addon_process_query gets the request text and a second text, always empty, and returns a
// NUL-terminated reply that stays valid until it is handed to addon_free.
extern "C" {
using addon_process_query_fn = const char* (*)(const char* request, const char* extra);
using addon_free_fn = void (*)(const char* result);
}

// Filled before the worker starts and only read afterwards.
struct library_entries {
  addon_process_query_fn process_query = nullptr;
  addon_free_fn free_result = nullptr;
};

}  // namespace npc
