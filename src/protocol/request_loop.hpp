// The host's whole conversation with the browser: read a frame, decode its envelope, dispatch on
// the message text, answer. Runs on the worker thread.
#pragma once

#include <cstdio>
#include <string_view>

#include "protocol/framing.hpp"
#include "protocol/protocol.hpp"

namespace npc {

// The worker's function: switches standard input and the stream kept for the frames (standard
// output unless the platform layer moved it) to binary mode, then serves them until the
// conversation ends. Returns 0 in every case.
int request_loop(const library_entries* entries);

// Serves `in` and `out` with the library behind `entries` until a close message, a length of 0 or
// less (the end of input among them), a body cut short, a failed write or a failed allocation.
// Returns 0. The library's last result is never handed back to addon_free, and it stays valid.
// `out` is made unbuffered first (each frame leaves in one write of its own), so no output may
// have gone through it before. Bodies are read `block_size` bytes at a time; tests choose small
// blocks so that every message arrives in many.
int serve(std::FILE* in, std::FILE* out, const library_entries& entries, std::size_t block_size = READ_BLOCK_SIZE);

// What a message text is, by the catalogue's tests in their order; the first match wins.
enum class message_kind { close, more, start, piece, last_piece, query };
message_kind classify(std::string_view text);

}  // namespace npc
