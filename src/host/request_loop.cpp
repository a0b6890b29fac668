// The request loop and its query step.
#include "host/request_loop.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "host/platform.hpp"
#include "protocol/wire.hpp"

namespace npc {
namespace {

// A text kept between messages that grew past this is let go rather than held for the process's
// life; a later message of that size grows it again.
constexpr std::size_t retained_text_limit = std::size_t{16} << 20;

// Hands the previous result back, asks the library for the next one and sends it, whole or as the
// first chunk. False when the output failed.
bool answer_query(loop_state& state, frame_writer& writer) {
  const library_entries& entries = *state.entries;
  // Only a result the library really gave is handed back. The latest one is kept, not freed when
  // the conversation ends: libraries written for this interface expect their last reply to stay
  // theirs until the process goes, and the process ends right after.
  if (state.current_result != nullptr) entries.free_result(state.current_result);
  state.current_result = entries.process_query(state.message_text.c_str(), "");
  state.chunks.reset();

  if (state.current_result == nullptr) return write_frame(writer, NULL_REPLY);
  // Only as far as tells a whole reply from a long one: a long one is measured chunk by chunk.
  const std::size_t length = strnlen(state.current_result, DIRECT_REPLY_LIMIT + 1);
  if (length <= DIRECT_REPLY_LIMIT) return write_frame(writer, {state.current_result, length});
  return send_first_chunk(state.chunks, state.current_result, writer, length);
}

// Reads the rest of a piece's body, decoding it into the assembly as it arrives, and ends the
// piece. False when the input ended first.
bool read_piece(loop_state& state, frame_reader& reader, inbound_body& body, bool last) {
  begin_piece(state.pieces, last);
  piece_grew(state.pieces, state.message_text);
  while (body.remaining != 0) {
    if (!read_body_block(reader, state.message_text, body)) return false;
    piece_grew(state.pieces, state.message_text);
  }
  return true;
}

}  // namespace

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
  inbound_body body;
  try {
    for (;;) {
      const std::int32_t length = read_length(reader);
      if (length <= 0) return 0;
      // The kind is known from the text's first bytes; the rest of the body goes to what the kind
      // needs. A body cut short is never passed on: a signing library must not get half a request.
      const auto kind = read_head(reader, static_cast<std::size_t>(length), state.message_text, body);
      if (!kind) return 0;
      if (*kind == message_kind::piece || *kind == message_kind::last_piece) {
        if (!read_piece(state, reader, body, *kind == message_kind::last_piece)) return 0;
      } else {
        while (body.remaining != 0)
          if (!read_body_block(reader, state.message_text, body)) return 0;
      }

      bool written = true;
      switch (*kind) {
        case message_kind::close:
          return 0;
        case message_kind::more:
          written = send_next_chunk(state.chunks, state.current_result, writer);
          break;
        case message_kind::start:
          written = begin_assembly(state.pieces, state.message_text, writer);
          break;
        case message_kind::piece:
          written = end_piece(state.pieces, state.message_text, state.message_text, writer);
          break;
        case message_kind::last_piece:
          end_piece(state.pieces, state.message_text, state.message_text, writer);
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

int request_loop(const library_entries& entries, std::FILE* wire) {
  if (!platform::set_binary_mode(stdin) || !platform::set_binary_mode(wire)) return 0;
  return serve(stdin, wire, entries);
}

}  // namespace npc
