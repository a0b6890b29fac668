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

// Handles a piece ("part") or a last piece ("last") held in state.message_text. A piece is added
// to the assembly and acknowledged. A last piece completes it: state.message_text then holds the
// assembled request, cut at its first NUL, or the empty text when the assembly was spoiled by an
// unusable piece. A last piece with no assembly begun is a request on its own. False when the
// output failed.
bool store_piece(loop_state& state, frame_writer& writer, std::string_view key);

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
