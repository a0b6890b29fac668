// Everything that differs between platforms: loading the signing library, the worker thread,
// binary mode on the standard streams, the descriptors behind standard output and process-wide
// signal set-up. One source per platform implements it; nothing else in the host knows which
// platform it runs on.
#pragma once

#include <cstdio>

namespace npc::platform {

// The signing library's file name, looked up through the platform's ordinary library search.
extern const char* const signing_library_name;

// A function found in a loaded library, to be cast to its real type by the caller.
using entry_point = void (*)();

// Loads a library by bare file name; null when it cannot be loaded. Libraries are never unloaded.
void* load_library(const char* name);

// Looks up an exported function by name; null when the library has none of that name.
entry_point find_entry(void* library, const char* name);

// Switches a standard stream to binary mode (no translation of line ends); false on failure.
bool set_binary_mode(std::FILE* stream);

// Runs `work(argument)` on a new thread with the default stack size and waits for it without a
// time limit. False when the thread could not be started; the work's result is not read.
bool run_worker(int (*work)(void*) noexcept, void* argument);

// Process-wide set-up before anything else runs: a write to a closed pipe must fail, not kill;
// where the system lets a process widen its pipes, those to and from the browser are widened so
// that a large message crosses in few hand-overs.
void prepare_process();

// Keeps the process's standard output for the frames alone: the stream that reaches the browser
// moves to a descriptor of its own (not inherited by child processes), and standard output (on
// Windows also the C runtime's descriptor 1 and the process's standard output handle) is pointed
// at standard error. Whatever a library prints then lands on standard error. A standard input or
// error that is closed gets the null device for the rest of the process's life, so a file opened
// later never takes its place. Call it once, before the library is loaded. Returns the stream for
// the frames, or null when the output cannot be kept (standard output is not open, or no
// descriptor or memory is left); standard output is then left as it was.
std::FILE* keep_wire_output();

}  // namespace npc::platform
