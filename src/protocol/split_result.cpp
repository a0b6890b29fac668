// Chunk messages are written in their one fixed serialised form, {"part": "<base64>"} or
// {"last": "<base64>"}, straight into the frame: the reply is encoded from where the library keeps
// it and never copied whole, and base64 text needs no JSON escaping.
#include "protocol/split_result.hpp"

#include <algorithm>
#include <cstring>

#include "codec/base64.hpp"

namespace npc {

bool send_first_chunk(loop_state& state, frame_writer& writer, std::size_t length) {
  state.chunk_remaining = length;
  state.chunk_position = 0;
  return send_next_chunk(state, writer);
}

bool send_next_chunk(loop_state& state, frame_writer& writer) {
  const std::size_t length = std::min(state.chunk_remaining, CHUNK_SIZE);
  // A full chunk is a "part" even when it ends the reply; only a shorter one, possibly empty, is
  // "last", so the extension always learns the end from a "last".
  const bool full = length == CHUNK_SIZE;
  const std::string_view head = full ? CHUNK_PART_HEAD : CHUNK_LAST_HEAD;
  const std::size_t encoded = base64_encoded_length(length);

  char* body = begin_frame(writer, head.size() + encoded + CHUNK_TAIL.size());
  std::memcpy(body, head.data(), head.size());
  if (length != 0) base64_encode(state.current_result + state.chunk_position, length, body + head.size());
  std::memcpy(body + head.size() + encoded, CHUNK_TAIL.data(), CHUNK_TAIL.size());

  if (full) {
    state.chunk_position += length;
    state.chunk_remaining -= length;
  } else {
    state.chunk_position = 0;
    state.chunk_remaining = 0;
  }
  return finish_frame(writer);
}

}  // namespace npc
