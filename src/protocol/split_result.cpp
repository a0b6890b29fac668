// Chunk messages are written in their one fixed serialised form, {"part": "<base64>"} or
// {"last": "<base64>"}, straight into the frame: the reply is encoded from where the library keeps
// it and never copied whole, and base64 text needs no JSON escaping.
#include "protocol/split_result.hpp"

#include <algorithm>
#include <cstring>

#include "codec/base64.hpp"
#include "protocol/wire.hpp"

namespace npc {
namespace {

// The length of the next chunk. The reply is measured only as far as its chunks need: its NUL is
// looked for a chunk at a time, in bytes about to be encoded anyway, rather than in a pass over a
// long reply before its first chunk can go.
std::size_t next_chunk_length(chunk_cursor& cursor, const char* reply) {
  if (cursor.remaining < CHUNK_SIZE && !cursor.end_known) {
    const char* from = reply + cursor.position + cursor.remaining;
    const std::size_t wanted = CHUNK_SIZE - cursor.remaining;
    const std::size_t found = strnlen(from, wanted);
    cursor.remaining += found;
    cursor.end_known = found < wanted;
  }
  return std::min(cursor.remaining, CHUNK_SIZE);
}

// Makes the next chunk message in the writer's buffer, unwritten.
void prepare_next_chunk(chunk_cursor& cursor, const char* reply, frame_writer& writer) {
  const std::size_t length = next_chunk_length(cursor, reply);
  // A full chunk is a "part" even when it ends the reply; only a shorter one, possibly empty, is
  // "last", so the extension always learns the end from a "last".
  const std::string_view head = length == CHUNK_SIZE ? CHUNK_PART_HEAD : CHUNK_LAST_HEAD;
  const std::size_t encoded = base64_encoded_length(length);

  char* body = begin_frame(writer, head.size() + encoded + CHUNK_TAIL.size());
  std::memcpy(body, head.data(), head.size());
  if (length != 0) base64_encode(reply + cursor.position, length, body + head.size());
  std::memcpy(body + head.size() + encoded, CHUNK_TAIL.data(), CHUNK_TAIL.size());
  cursor.prepared = writer.frames_begun;
}

}  // namespace

bool send_first_chunk(chunk_cursor& cursor, const char* reply, frame_writer& writer, std::size_t measured) {
  cursor.reset();
  cursor.remaining = measured;
  cursor.end_known = false;
  return send_next_chunk(cursor, reply, writer);
}

bool send_next_chunk(chunk_cursor& cursor, const char* reply, frame_writer& writer) {
  // The chunk made ahead is still in the buffer unless another frame was begun since.
  if (cursor.prepared == 0 || cursor.prepared != writer.frames_begun) prepare_next_chunk(cursor, reply, writer);
  cursor.prepared = 0;

  const std::size_t length = std::min(cursor.remaining, CHUNK_SIZE);
  if (length == CHUNK_SIZE) {
    cursor.position += length;
    cursor.remaining -= length;
  } else {
    cursor.reset();
  }
  if (!finish_frame(writer)) return false;
  // While the extension reads this chunk and asks for the next, the next is encoded: the host is
  // otherwise idle then, and the more message is answered at once.
  if (cursor.position != 0) prepare_next_chunk(cursor, reply, writer);
  return true;
}

}  // namespace npc
