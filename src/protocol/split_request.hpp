// Requests too large for one message arrive as a start message, acknowledged pieces and a last
// piece; the decoded pieces are joined into one request for the library.
#pragma once

#include <string_view>

#include "protocol/framing.hpp"
#include "protocol/protocol.hpp"

namespace npc {

// Handles a start message (state.message_text): drops any unfinished assembly, begins a new one
// and acknowledges it. False when the output failed.
bool begin_assembly(loop_state& state, frame_writer& writer);

// Decodes a piece of the plain form {"part":"<base64>"} or {"last":"<base64>"} into the assembly
// while its frame is still arriving, so that the decoding overlaps the transfer; store_piece then
// finds the piece in place. Other texts it leaves alone, and a text that turns out not to be
// plain after all is undone by store_piece and read by the JSON parser instead.
struct piece_stream final : text_listener {
  explicit piece_stream(loop_state& state) : state(&state) {}
  void text_grew(std::string_view text) override;

  loop_state* state;
  bool started = false;     // the text began as a piece of the plain form; its base64 is decoded
  bool plain = true;        // nothing but base64 characters and padding seen after its head
  bool last = false;        // a last piece
  std::size_t fed = 0;      // how much of the text the decoder has had
  std::size_t start_size = 0;  // the assembly's size before this piece
  base64_decoder decoder;
};

// Handles a piece ("part") or a last piece ("last") held in state.message_text, which `stream`,
// when given, saw arrive. A piece is added to the assembly and acknowledged. A last piece
// completes it: state.message_text then holds the assembled request, cut at its first NUL, or the
// empty text when the assembly was spoiled by an unusable piece. A last piece with no assembly
// begun is a request on its own. False when the output failed.
bool store_piece(loop_state& state, frame_writer& writer, std::string_view key,
                 piece_stream* stream = nullptr);

// Writes the acknowledgement {"more":"more"}. False when the output failed.
bool send_more_ack(frame_writer& writer);

namespace detail {

// Decodes the base64 text in the string member `key` of a piece message and appends the bytes to
// `bytes`; false, with `bytes` as it was, when the message does not parse or the member is missing
// or no string. A message of the plain form {"key":"<base64>"} is decoded directly; every other
// text goes through the JSON parser, with its rules on duplicate keys, escapes and "\u0000".
bool append_piece(std::string_view text, std::string_view key, byte_buffer& bytes);

}  // namespace detail
}  // namespace npc
