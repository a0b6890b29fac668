// Reading and writing frames, with the length's byte order spelled out rather than cast.
#include "protocol/framing.hpp"

#include <algorithm>
#include <cstring>

#include "codec/base64.hpp"

namespace npc {
namespace {

constexpr std::size_t header_size = 4;

// Room for the decoded text is taken up front on the frame's word only up to this much; past it
// the text grows as bytes actually arrive (large blocks grow by remapping, not copying), so a
// length that promises gigabytes and sends ten bytes reserves nothing worth speaking of.
constexpr std::size_t initial_text_reserve = std::size_t{4} << 20;

}  // namespace

std::int32_t read_length(frame_reader& reader) {
  // One read of four bytes, not four reads of one: each takes the stream's lock.
  unsigned char bytes[header_size];
  const std::size_t got = std::fread(bytes, 1, header_size, reader.in);
  std::uint32_t length = 0;
  for (unsigned i = 0; i < header_size; ++i) {
    // A byte missing at the end of input reads as EOF, -1: every bit of its place and above is
    // set, which makes the length negative.
    const std::uint32_t byte = i < got ? bytes[i] : 0xFFFF'FFFFu;
    length |= byte << (8 * i);
  }
  return static_cast<std::int32_t>(length);
}

bool read_message(frame_reader& reader, std::size_t length, byte_buffer& text, text_listener* listener) {
  text.clear();
  text.reserve(std::min(length / 4 * 3 + 3, initial_text_reserve));
  // The envelope ends at the body's first NUL; the rest is only read. The decoder finds that NUL
  // on its slow path, which any byte outside the alphabet takes anyway, so no separate scan is due.
  base64_decoder decoder;
  decoder.nul_ends = true;
  // The text is a NUL-terminated string: decoded bytes past a NUL are not part of it. Each block's
  // bytes are looked through while they are fresh, and once a NUL turns up nothing more is decoded.
  bool cut = false;
  std::size_t remaining = length;
  while (remaining != 0) {
    const std::size_t want = std::min(remaining, reader.block.size());
    const std::size_t got = std::fread(reader.block.data(), 1, want, reader.in);
    if (got == 0) return false;
    remaining -= got;
    if (decoder.ended || cut) continue;
    char* out = text.reserve_more(got / 4 * 3 + 3);
    std::size_t written = base64_decode_update(decoder, out, reader.block.data(), got);
    if (const void* nul = std::memchr(out, '\0', written)) {
      written = static_cast<std::size_t>(static_cast<const char*>(nul) - out);
      cut = true;
    }
    text.commit(written);
    // Work on the text can only overlap blocks still to come.
    if (listener != nullptr && remaining != 0 && !cut) listener->text_grew(text);
  }
  if (!cut) {
    // The 0 to 2 bytes of a group cut short.
    char* out = text.reserve_more(2);
    std::size_t written = base64_decode_final(decoder, out);
    if (written == 2 && out[1] == '\0') written = 1;
    if (written != 0 && out[0] == '\0') written = 0;
    text.commit(written);
  }
  return true;
}

char* begin_frame(frame_writer& writer, std::size_t body_length) {
  writer.frame_size = header_size + body_length;
  ++writer.frames_begun;
  if (writer.buffer.size() < writer.frame_size + 1) writer.buffer.resize(writer.frame_size + 1);
  const auto length = static_cast<std::uint32_t>(body_length);
  for (unsigned i = 0; i < header_size; ++i)
    writer.buffer[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  return writer.buffer.data() + header_size;
}

bool finish_frame(frame_writer& writer) {
  const std::size_t size = writer.frame_size;
  return std::fwrite(writer.buffer.data(), 1, size, writer.out) == size &&
         (!writer.flush || std::fflush(writer.out) == 0);
}

bool write_frame(frame_writer& writer, std::string_view body) {
  char* out = begin_frame(writer, body.size());
  if (!body.empty()) std::memcpy(out, body.data(), body.size());
  return finish_frame(writer);
}

}  // namespace npc
