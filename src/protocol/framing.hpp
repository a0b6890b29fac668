// Frames on the standard streams: a 4-byte length, least significant byte first, then the body.
// Inbound bodies carry the message text in a base64 envelope; outbound bodies are sent as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/base64.hpp"
#include "memory/byte_buffer.hpp"

namespace npc {

// How much of a body is read at a time: enough to keep system calls few, little enough to stay in
// the caches while it is decoded.
inline constexpr std::size_t READ_BLOCK_SIZE = std::size_t{1} << 16;

// Reads inbound frames through one reused block, so a body is never held twice.
struct frame_reader {
  std::FILE* in = nullptr;
  std::vector<char> block = std::vector<char>(READ_BLOCK_SIZE);
};

// Reads the four length bytes, least significant first, as a signed 32-bit value. The end of
// input among them reads as all bits set in that byte's place, so the length comes out negative.
std::int32_t read_length(frame_reader& reader);

// What a message text is, by the catalogue's tests in their order; the first match wins.
enum class message_kind { close, more, start, piece, last_piece, query };
message_kind classify(std::string_view text);

// A body being read: how much of it is still to come and the state of its envelope's decoding.
struct inbound_body {
  std::size_t remaining = 0;  // body bytes not read yet
  base64_decoder decoder;
  bool whole = false;  // the text is complete: the body is decoded to its end, or the text met a NUL
};

// Starts reading a body of `length` bytes and reads it block by block until the kind of its text
// is settled, which it returns: the text then holds all of itself or more bytes than the longest
// text that is recognised whole, and no longer one can change its kind. `text` holds the message
// text so far: the body up to its first NUL, base64-decoded, itself cut at its first NUL. The text
// grows with the bytes actually read: room taken up front on the length's word is not cleared,
// so a length that promises more than arrives costs address space, not memory. Null when the
// input ends before the kind is settled.
std::optional<message_kind> read_head(frame_reader& reader, std::size_t length, byte_buffer& text, inbound_body& body);

// Reads the next block of the body begun with read_head and adds what it carries to `text`; once
// the last block is in, the text is complete. Call while body.remaining is not 0. False when the
// input ends first; `text` is then unspecified.
bool read_body_block(frame_reader& reader, byte_buffer& text, inbound_body& body);

// Writes outbound frames. Each frame is assembled whole in one reused buffer, so its length and
// body leave together in one write, then the stream is flushed. The buffer only grows: a short
// frame after a long one does not clear the room the next long one will use.
struct frame_writer {
  std::FILE* out = nullptr;
  std::string buffer;
  std::size_t frame_size = 0;  // bytes of the frame begun last, its length included
  std::uint64_t frames_begun = 0;  // counts begin_frame calls, so a frame made ahead is known
  bool flush = true;           // false once `out` is unbuffered: it then holds nothing to flush
};

// Starts a frame of `body_length` bytes and returns where its body goes; the caller fills exactly
// that many bytes (one more byte is there, for a NUL that an encoder may write after them).
char* begin_frame(frame_writer& writer, std::size_t body_length);

// Writes the frame begun last and flushes; false when the output failed.
bool finish_frame(frame_writer& writer);

// Writes one whole frame with `body` and flushes; false when the output failed.
bool write_frame(frame_writer& writer, std::string_view body);

}  // namespace npc
