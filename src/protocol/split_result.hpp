// Replies too long for one message go back in base64 chunks that the extension fetches one by one.
#pragma once

#include <cstddef>

#include "protocol/framing.hpp"
#include "protocol/protocol.hpp"

namespace npc {

// Starts sending state.current_result, `length` bytes long (more than DIRECT_REPLY_LIMIT): sets the
// chunk counters and writes the first chunk, always a full "part". False when the output failed.
bool send_first_chunk(loop_state& state, frame_writer& writer, std::size_t length);

// Writes the next chunk of state.current_result: "part" with CHUNK_SIZE bytes, or "last" with
// fewer, possibly none (also when nothing is pending). False when the output failed.
bool send_next_chunk(loop_state& state, frame_writer& writer);

}  // namespace npc
