// The platform layer on Windows: LoadLibraryA, CreateThread with an infinite wait, the C
// runtime's _setmode, without which line ends in frames would be translated and 0x1A read as the
// end of input, and the frames kept apart from the library's output.
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

std::FILE* keep_wire_output() {
  const int wire = _dup(_fileno(stdout));
  if (wire == -1) return nullptr;
  // A library's child process must not hold the browser's pipe open.
  SetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(wire)), HANDLE_FLAG_INHERIT, 0);
  std::FILE* stream = _fdopen(wire, "wb");
  if (stream == nullptr) {
    _close(wire);
    return nullptr;
  }
  // Both ways a library prints: through the C runtime's descriptor 1, and through the process's
  // standard output handle. Without a standard error both lead to the null device.
  const int error = _fileno(stderr);
  if (error < 0 || _dup2(error, _fileno(stdout)) != 0) {
    const int null = _open("NUL", _O_WRONLY);
    const bool moved = null != -1 && _dup2(null, _fileno(stdout)) == 0;
    if (null != -1) _close(null);
    if (!moved) {
      std::fclose(stream);
      return nullptr;
    }
  }
  SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))));
  return stream;
}

}  // namespace npc::platform
