// The host's whole conversation with the browser: read a frame, decode its envelope, dispatch on
// the message text, answer. Runs on the worker thread.
#pragma once

#include <cstddef>
#include <cstdio>

#include "memory/byte_buffer.hpp"
#include "protocol/entries.hpp"
#include "protocol/framing.hpp"
#include "protocol/split_request.hpp"
#include "protocol/split_result.hpp"

namespace npc {

// The request loop's working state, held by the worker for its whole life.
struct loop_state {
  byte_buffer message_text;  // decoded text of the latest frame, cut at its first NUL
  assembly pieces;
  const char* current_result = nullptr;  // the library's latest reply; the library owns it
  chunk_cursor chunks;                   // how far current_result has gone out in chunks
  const library_entries* entries = nullptr;
};

// The worker's function: switches standard input and `wire`, the stream kept for the frames, to
// binary mode, then serves them until the conversation ends. Returns 0 in every case.
int request_loop(const library_entries& entries, std::FILE* wire);

// Serves `in` and `out` with the library behind `entries` until a close message, a length of 0 or
// less (the end of input among them), a body cut short, a failed write or a failed allocation.
// Returns 0. The library's last result is never handed back to addon_free, and it stays valid.
// `out` is made unbuffered first (each frame leaves in one write of its own), so no output may
// have gone through it before. Bodies are read `block_size` bytes at a time; tests choose small
// blocks so that every message arrives in many.
int serve(std::FILE* in, std::FILE* out, const library_entries& entries, std::size_t block_size = READ_BLOCK_SIZE);

}  // namespace npc
