// Frames on the standard streams: a 4-byte length, least significant byte first, then the body.
// Inbound bodies carry the message text in a base64 envelope; outbound bodies are sent as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/byte_buffer.hpp"

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

// Work that can begin on a message's text while the rest of its body is still arriving, so that
// it overlaps the transfer instead of following it.
class text_listener {
 public:
  // Called after each block that more of the body follows, with all of the text so far; the text
  // as read whole is for the listener's owner to hand over.
  virtual void text_grew(std::string_view text) = 0;

 protected:
  ~text_listener() = default;
};

// Reads a body of `length` bytes and leaves in `text` the message text: the body up to its first
// NUL, base64-decoded, itself cut at its first NUL. The body is decoded as it arrives and `text`
// grows with the bytes actually read: room taken up front on the length's word is not cleared,
// so a length that promises more than arrives costs address space, not memory. A listener, if
// given, sees the text after each block but the last, already cut at a NUL once one turns up (and
// then no more).
// Returns false when the input ends before `length` bytes; `text` is then unspecified.
bool read_message(frame_reader& reader, std::size_t length, byte_buffer& text,
                  text_listener* listener = nullptr);

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
