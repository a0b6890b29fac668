// Chunk messages are written in their one fixed serialised form, {"part": "<base64>"} or
// {"last": "<base64>"}, straight into the frame: the reply is encoded from where the library keeps
// it and never copied whole, and base64 text needs no JSON escaping.
#include "protocol/split_result.hpp"

#include <algorithm>
#include <cstring>

#include "codec/base64.hpp"

namespace npc {
namespace {

// The length of the next chunk. The reply is measured only as far as its chunks need: its NUL is
// looked for a chunk at a time, in bytes about to be encoded anyway, rather than in a pass over a
// long reply before its first chunk can go.
std::size_t next_chunk_length(loop_state& state) {
  if (state.chunk_remaining < CHUNK_SIZE && !state.chunk_end_known) {
    const char* from = state.current_result + state.chunk_position + state.chunk_remaining;
    const std::size_t wanted = CHUNK_SIZE - state.chunk_remaining;
    const std::size_t found = strnlen(from, wanted);
    state.chunk_remaining += found;
    state.chunk_end_known = found < wanted;
  }
  return std::min(state.chunk_remaining, CHUNK_SIZE);
}

// Makes the next chunk message in the writer's buffer, unwritten.
void prepare_next_chunk(loop_state& state, frame_writer& writer) {
  const std::size_t length = next_chunk_length(state);
  // A full chunk is a "part" even when it ends the reply; only a shorter one, possibly empty, is
  // "last", so the extension always learns the end from a "last".
  const std::string_view head = length == CHUNK_SIZE ? CHUNK_PART_HEAD : CHUNK_LAST_HEAD;
  const std::size_t encoded = base64_encoded_length(length);

  char* body = begin_frame(writer, head.size() + encoded + CHUNK_TAIL.size());
  std::memcpy(body, head.data(), head.size());
  if (length != 0) base64_encode(state.current_result + state.chunk_position, length, body + head.size());
  std::memcpy(body + head.size() + encoded, CHUNK_TAIL.data(), CHUNK_TAIL.size());
  state.prepared_chunk = writer.frames_begun;
}

}  // namespace

bool send_first_chunk(loop_state& state, frame_writer& writer, std::size_t measured) {
  state.chunk_remaining = measured;
  state.chunk_position = 0;
  state.chunk_end_known = false;
  state.prepared_chunk = 0;
  return send_next_chunk(state, writer);
}

bool send_next_chunk(loop_state& state, frame_writer& writer) {
  // The chunk made ahead is still in the buffer unless another frame was begun since.
  if (state.prepared_chunk == 0 || state.prepared_chunk != writer.frames_begun) prepare_next_chunk(state, writer);
  state.prepared_chunk = 0;

  const std::size_t length = std::min(state.chunk_remaining, CHUNK_SIZE);
  if (length == CHUNK_SIZE) {
    state.chunk_position += length;
    state.chunk_remaining -= length;
  } else {
    state.chunk_position = 0;
    state.chunk_remaining = 0;
    state.chunk_end_known = true;
  }
  if (!finish_frame(writer)) return false;
  // While the extension reads this chunk and asks for the next, the next is encoded: the host is
  // otherwise idle then, and the more message is answered at once.
  if (state.chunk_position != 0) prepare_next_chunk(state, writer);
  return true;
}

}  // namespace npc
