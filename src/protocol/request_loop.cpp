// The request loop and its query step.
#include "protocol/request_loop.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "host/platform.hpp"
#include "protocol/framing.hpp"
#include "protocol/split_request.hpp"
#include "protocol/split_result.hpp"

namespace npc {
namespace {

// A text kept between messages that grew past this is let go rather than held for the process's
// life; a later message of that size grows it again.
constexpr std::size_t retained_text_limit = std::size_t{16} << 20;

// Hands the previous result back, asks the library for the next one and sends it, whole or as the
// first chunk. False when the output failed.
bool answer_query(loop_state& state, frame_writer& writer) {
  const library_entries& entries = *state.entries;
  // Only a result the library really gave is handed back; the last one never is.
  if (state.current_result != nullptr) entries.free_result(state.current_result);
  state.current_result = entries.process_query(state.message_text.c_str(), "");
  // Counters left by an abandoned split reply would point into the result just freed.
  state.chunk_remaining = 0;
  state.chunk_position = 0;
  state.chunk_end_known = true;
  state.prepared_chunk = 0;

  if (state.current_result == nullptr) return write_frame(writer, NULL_REPLY);
  // Only as far as tells a whole reply from a long one: a long one is measured chunk by chunk.
  const std::size_t length = strnlen(state.current_result, DIRECT_REPLY_LIMIT + 1);
  if (length <= DIRECT_REPLY_LIMIT) return write_frame(writer, {state.current_result, length});
  return send_first_chunk(state, writer, length);
}

}  // namespace

message_kind classify(std::string_view text) {
  if (text == CLOSE_TEXT) return message_kind::close;
  if (text.starts_with(MORE_PREFIX)) return message_kind::more;
  // Checked before the piece: a piece whose "part" is exactly "true" reads as a start.
  if (text.starts_with(START_PREFIX)) return message_kind::start;
  if (text.starts_with(PIECE_PREFIX)) return message_kind::piece;
  if (text.starts_with(LAST_PREFIX)) return message_kind::last_piece;
  return message_kind::query;
}

int serve(std::FILE* in, std::FILE* out, const library_entries& entries, std::size_t block_size) {
  loop_state state;
  state.entries = &entries;
  frame_reader reader;
  reader.in = in;
  reader.block.resize(std::max<std::size_t>(block_size, 1));
  frame_writer writer;
  writer.out = out;
  // Every frame is assembled whole before it is written, so the stream's own buffer would only
  // copy it and cut a long one into several writes: unbuffered, each frame is one write.
  writer.flush = std::setvbuf(out, nullptr, _IONBF, 0) != 0;
  piece_stream stream(state);
  try {
    for (;;) {
      const std::int32_t length = read_length(reader);
      if (length <= 0) return 0;
      // A body cut short is never passed on: a signing library must not get half a request.
      // Pieces are decoded into the assembly as they arrive; only a stream that took one is made anew.
      if (stream.used()) stream = piece_stream(state);
      if (!read_message(reader, static_cast<std::size_t>(length), state.message_text, &stream)) return 0;

      bool written = true;
      switch (classify(state.message_text)) {
        case message_kind::close:
          return 0;
        case message_kind::more:
          written = send_next_chunk(state, writer);
          break;
        case message_kind::start:
          written = begin_assembly(state, writer);
          break;
        case message_kind::piece:
          written = store_piece(state, writer, "part", stream);
          break;
        case message_kind::last_piece:
          store_piece(state, writer, "last", stream);
          written = answer_query(state, writer);
          break;
        case message_kind::query:
          written = answer_query(state, writer);
          break;
      }
      // The browser has gone away: nobody is left to answer.
      if (!written) return 0;
      if (state.message_text.capacity() > retained_text_limit) state.message_text.release();
    }
  } catch (const std::bad_alloc&) {
    // Out of memory ends the conversation as the end of input does.
    return 0;
  }
}

int request_loop(const library_entries* entries) {
  std::FILE* out = platform::wire_output();
  if (!platform::set_binary_mode(stdin) || !platform::set_binary_mode(out)) return 0;
  return serve(stdin, out, *entries);
}

}  // namespace npc
