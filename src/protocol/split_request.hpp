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

namespace detail {

// A piece of the plain form {"key":"<base64>"}, as extensions send it, needs no parser: with
// nothing but base64 characters and padding between the quotes it means exactly what the parser
// would make of it. This decodes such a piece as its text grows and learns whether it is plain
// from the bytes the decoder skips.
struct plain_piece {
  // Decodes what the text gained since the last call and appends the bytes to `bytes`; the last
  // two characters wait, as they may be the closing quote and brace. Decodes nothing more once
  // the text shows it is not of the plain form.
  void grow(std::string_view text, std::string_view key, byte_buffer& bytes);
  // Takes the whole text: true when it is of the plain form, all its bytes then appended; false
  // otherwise, with what was appended left for the caller to take back.
  bool finish(std::string_view text, std::string_view key, byte_buffer& bytes);

  bool plain = true;    // nothing has shown the text not to be of the plain form
  std::size_t fed = 0;  // characters of the text taken, its head included; 0 before the head
  base64_decoder decoder;
};

}  // namespace detail

// Decodes a piece of the plain form into the assembly while its frame is still arriving, so that
// the decoding overlaps the transfer; store_piece then finds the piece in place. Other texts it
// leaves alone, and a piece that turns out not to be plain is taken back out by store_piece and
// read by the JSON parser instead.
struct piece_stream final : text_listener {
  explicit piece_stream(loop_state& state) : state(&state) {}
  void text_grew(std::string_view text) override;
  // Whether it has taken part in a message, so that the next one needs a fresh stream.
  bool used() const { return started || declined; }

  loop_state* state;
  bool started = false;        // the text began as a piece; what it holds is decoded into the assembly
  bool declined = false;       // the text is no piece, or its assembly takes nothing
  bool last = false;           // a last piece
  std::size_t start_size = 0;  // the assembly's size before this piece
  detail::plain_piece piece;
};

// Handles a piece ("part") or a last piece ("last") held in state.message_text, which `stream`
// saw arrive. A piece is added to the assembly and acknowledged. A last piece
// completes it: state.message_text then holds the assembled request, cut at its first NUL, or the
// empty text when the assembly was spoiled by an unusable piece. A last piece with no assembly
// begun is a request on its own. False when the output failed.
bool store_piece(loop_state& state, frame_writer& writer, std::string_view key, piece_stream& stream);

// Writes the acknowledgement {"more":"more"}. False when the output failed.
bool send_more_ack(frame_writer& writer);

namespace detail {

// Decodes the base64 text in the string member `key` of a piece message through the JSON parser,
// with its rules on duplicate keys, escapes and "\u0000", and appends the bytes to `bytes`; false,
// with `bytes` as it was, when the message does not parse or the member is missing or no string.
// For a piece that is not of the plain form (plain_piece).
bool append_parsed_piece(std::string_view text, std::string_view key, byte_buffer& bytes);

}  // namespace detail
}  // namespace npc
