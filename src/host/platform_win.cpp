// The platform layer on Windows: LoadLibraryA, CreateThread with an infinite wait, and the C
// runtime's _setmode, without which line ends in frames would be translated and 0x1A read as the
// end of input.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "host/platform.hpp"

namespace npc::platform {

const char* const signing_library_name = "npcorvane.dll";

void* load_library(const char* name) {
  // The default search includes the current directory, where anyone who can write there could
  // plant a library of that name and have it sign. The default directories are the host's own
  // folder and the system folder, with neither the current directory nor PATH. If the search
  // cannot be narrowed, nothing is loaded. (SetDllDirectoryA("") would keep PATH, but Wine takes
  // the empty string as no setting at all and still searches the current directory.)
  if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) return nullptr;
  return reinterpret_cast<void*>(LoadLibraryA(name));
}

entry_point find_entry(void* library, const char* name) {
  return reinterpret_cast<entry_point>(
      reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name)));
}

bool set_binary_mode(std::FILE* stream) { return _setmode(_fileno(stream), _O_BINARY) != -1; }

namespace {

struct worker_start {
  int (*work)(void*) noexcept;
  void* argument;
};

DWORD WINAPI worker_main(LPVOID parameter) {
  const auto* start = static_cast<const worker_start*>(parameter);
  return static_cast<DWORD>(start->work(start->argument));
}

}  // namespace

bool run_worker(int (*work)(void*) noexcept, void* argument) {
  worker_start start{work, argument};
  HANDLE thread = CreateThread(nullptr, 0, worker_main, &start, 0, nullptr);
  if (thread == nullptr) return false;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return true;
}

void prepare_process() {}

}  // namespace npc::platform
