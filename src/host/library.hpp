// Binding the signing library: load it by its bare name and resolve its two entry points.
#pragma once

#include "protocol/entries.hpp"

namespace npc {

// Loads the signing library and fills `entries`; false when the library cannot be loaded or lacks
// either entry point. The library stays loaded for the life of the process in every case.
bool bind_library(library_entries& entries);

// The host's start-up and wait: keeps standard output for the frames, binds the library, runs the
// request loop on a worker thread and waits for it. Returns the exit status: 0 after the loop, -1
// when start-up fails (standard output cannot be kept, the library cannot be bound, or the worker
// cannot start).
int run_host();

}  // namespace npc
