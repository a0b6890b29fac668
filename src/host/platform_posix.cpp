// The platform layer on Linux and macOS: dlopen, one std::thread, no line-end translation.
#include <dlfcn.h>

#include <csignal>
#include <system_error>
#include <thread>

#include "host/platform.hpp"

namespace npc::platform {

#if defined(__APPLE__)
const char* const signing_library_name = "libnpcorvane.dylib";
#else
const char* const signing_library_name = "libnpcorvane.so";
#endif

void* load_library(const char* name) { return dlopen(name, RTLD_NOW | RTLD_LOCAL); }

entry_point find_entry(void* library, const char* name) {
  return reinterpret_cast<entry_point>(dlsym(library, name));
}

bool set_binary_mode(std::FILE*) { return true; }

bool run_worker(int (*work)(void*) noexcept, void* argument) {
  try {
    std::thread worker(work, argument);
    worker.join();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void prepare_process() { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace npc::platform
