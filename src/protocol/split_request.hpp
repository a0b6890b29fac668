// Requests too large for one message arrive as a start message, acknowledged pieces and a last
// piece; the decoded pieces are joined into one request for the library.
#pragma once

#include <cstddef>
#include <string_view>

#include "codec/base64.hpp"
#include "memory/byte_buffer.hpp"
#include "protocol/framing.hpp"

namespace npc {

inline constexpr std::size_t no_nul = static_cast<std::size_t>(-1);

namespace detail {

// Decodes one piece, {"part":"<base64>"} or {"last":"<base64>"}, onto the end of a run of bytes.
// A piece of that plain form, as extensions send it, needs no parser: with nothing but base64
// characters and padding between the quotes it means exactly what the parser would make of it,
// so it is decoded while its text arrives, overlapping the transfer. A piece of any other form is
// read by the JSON parser once it is whole, with its rules on duplicate keys, escapes and "\u0000".
struct piece_decoder {
  // Readies the decoder for a piece with key "last" or "part", whose bytes go after the current
  // end of `bytes`.
  void begin(bool last, const byte_buffer& bytes);
  // Decodes what the text gained since the last call; the last two characters wait, as they may
  // be the closing quote and brace. Decodes nothing more once the text shows it is not plain.
  void grow(std::string_view text, byte_buffer& bytes);
  // Takes the whole text and leaves its bytes after those `bytes` held at begin. False, with
  // `bytes` as they were then, when the text does not parse or its member is missing or no string.
  bool finish(std::string_view text, byte_buffer& bytes);

  bool last = false;
  bool plain = true;          // nothing has shown the text not to be of the plain form
  std::size_t fed = 0;        // characters of the text taken, its head included; 0 before the head
  std::size_t start = 0;      // the size of the bytes before this piece
  std::size_t nul_at = no_nul;  // the first NUL among this piece's bytes, once decoded
  base64_decoder decoder;
};

}  // namespace detail

// The split request being assembled from pieces.
struct assembly {
  bool active = false;   // a start message (or a stray piece) began one
  bool spoiled = false;  // a piece was unusable: the last piece is answered as an empty request
  byte_buffer bytes;     // the decoded pieces so far, NUL bytes included
  std::size_t nul_at = no_nul;  // where the first NUL in `bytes` is, the request's end
  detail::piece_decoder piece;  // the piece arriving now
  bool taking = false;          // `piece` is decoding into `bytes`
};

// Handles a start message `text`: drops any unfinished assembly, begins a new one and
// acknowledges it. False when the output failed.
bool begin_assembly(assembly& pieces, std::string_view text, frame_writer& writer);

// Readies the assembly for a piece (a last one when `last`) whose text is arriving: takes it into
// the assembly under way, or begins one (a piece with nothing begun spoils it; a last piece alone
// is a whole request).
void begin_piece(assembly& pieces, bool last);

// The piece's text so far, after each block of its body: a plain piece is decoded as it grows.
void piece_grew(assembly& pieces, std::string_view text);

// Ends the piece begun with begin_piece, whose whole text is `text`. A piece is added to the
// assembly and acknowledged. A last piece completes it: `request` then holds the assembled
// request, cut at its first NUL, or the empty text when the assembly was spoiled by an unusable
// piece. False when the output failed.
bool end_piece(assembly& pieces, std::string_view text, byte_buffer& request, frame_writer& writer);

// Writes the acknowledgement {"more":"more"}. False when the output failed.
bool send_more_ack(frame_writer& writer);

}  // namespace npc
