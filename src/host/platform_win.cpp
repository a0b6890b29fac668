// The platform layer on Windows: LoadLibraryA, CreateThread with an infinite wait, the C
// runtime's _setmode, without which line ends in frames would be translated and 0x1A read as the
// end of input, and the frames kept apart from the library's output.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "host/platform.hpp"

namespace npc::platform {

namespace {

struct worker_start {
  int (*work)(void*) noexcept;
  void* argument;
};

DWORD WINAPI worker_main(LPVOID parameter) {
  const auto* start = static_cast<const worker_start*>(parameter);
  return static_cast<DWORD>(start->work(start->argument));
}

// Puts the null device on the C runtime's descriptor `fd`, and behind the process's `handle`, if
// the descriptor is not open; false when that cannot be done.
bool keep_open(int fd, DWORD handle) {
  // -2 is the C runtime's mark of a standard descriptor the process started without.
  const intptr_t open_handle = _get_osfhandle(fd);
  if (open_handle != -1 && open_handle != -2) return true;
  const int null = _open("NUL", _O_RDWR);
  if (null == -1) return false;
  bool kept = true;
  if (null != fd) {
    kept = _dup2(null, fd) == 0;
    _close(null);
  }
  if (kept) SetStdHandle(handle, reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
  return kept;
}

}  // namespace

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
  // A closed standard input or error gets the null device for good, so that no file the library
  // or a module it loads opens later takes its descriptor. Then both ways a library prints lead to
  // standard error (the null device when there was none): the C runtime's descriptor 1, and the
  // process's standard output handle.
  if (!keep_open(0, STD_INPUT_HANDLE) || !keep_open(2, STD_ERROR_HANDLE) || _dup2(2, _fileno(stdout)) != 0) {
    std::fclose(stream);
    return nullptr;
  }
  SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))));
  return stream;
}

}  // namespace npc::platform
