// Replies too long for one message go back in base64 chunks that the extension fetches one by one.
#pragma once

#include <cstddef>

#include "protocol/framing.hpp"
#include "protocol/protocol.hpp"

namespace npc {

// Starts sending state.current_result, of which the first `measured` bytes (more than
// DIRECT_REPLY_LIMIT) are known to come before its NUL: sets the chunk counters and writes the
// first chunk, always a full "part". The rest of the reply is measured as its chunks need it.
// False when the output failed.
bool send_first_chunk(loop_state& state, frame_writer& writer, std::size_t measured);

// Writes the next chunk of state.current_result: "part" with CHUNK_SIZE bytes, or "last" with
// fewer, possibly none (also when nothing is pending). While a reply is pending, the chunk after
// it is made ready in the writer's buffer before this returns, to be written by the next call
// unless another frame was begun in between. False when the output failed.
bool send_next_chunk(loop_state& state, frame_writer& writer);

}  // namespace npc
