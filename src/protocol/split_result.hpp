// Replies too long for one message go back in base64 chunks that the extension fetches one by one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/framing.hpp"

namespace npc {

// Where the sending of a long reply stands. The reply itself is the library's, held by the caller.
struct chunk_cursor {
  std::size_t remaining = 0;   // reply bytes not yet sent in chunks, as far as measured
  std::size_t position = 0;    // offset in the reply of the next chunk
  bool end_known = true;       // `remaining` reaches the end of the reply
  std::uint64_t prepared = 0;  // the writer's frame that holds the next chunk, made ahead; 0 for none

  // Nothing pending: what a new reply starts from, since counters left by an abandoned one would
  // point into a result already handed back.
  void reset() { *this = chunk_cursor{}; }
};

// Starts sending `reply`, of which the first `measured` bytes (more than DIRECT_REPLY_LIMIT) are
// known to come before its NUL: sets the cursor and writes the first chunk, always a full "part".
// The rest of the reply is measured as its chunks need it. False when the output failed.
bool send_first_chunk(chunk_cursor& cursor, const char* reply, frame_writer& writer, std::size_t measured);

// Writes the next chunk of `reply`: "part" with CHUNK_SIZE bytes, or "last" with fewer, possibly
// none (also when nothing is pending). While a reply is pending, the chunk after it is made ready
// in the writer's buffer before this returns, to be written by the next call unless another frame
// was begun in between. False when the output failed.
bool send_next_chunk(chunk_cursor& cursor, const char* reply, frame_writer& writer);

}  // namespace npc
