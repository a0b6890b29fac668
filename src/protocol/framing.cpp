// Reading and writing frames, with the length's byte order spelled out rather than cast.
#include "protocol/framing.hpp"

#include <algorithm>
#include <cstring>

#include "codec/base64.hpp"
#include "protocol/wire.hpp"

namespace npc {
namespace {

// Room for the decoded text is taken up front on the frame's word only up to this much; past it
// the text grows as bytes actually arrive (large blocks grow by remapping, not copying), so a
// length that promises gigabytes and sends ten bytes reserves nothing worth speaking of.
constexpr std::size_t initial_text_reserve = std::size_t{4} << 20;

}  // namespace

std::int32_t read_length(frame_reader& reader) {
  // One read of four bytes, not four reads of one: each takes the stream's lock.
  char bytes[LENGTH_SIZE];
  const std::size_t got = std::fread(bytes, 1, LENGTH_SIZE, reader.in);
  // A byte missing at the end of input reads as EOF, -1: every bit of its place and above is set,
  // which makes the length negative.
  if (got < LENGTH_SIZE) std::memset(bytes + got, 0xFF, LENGTH_SIZE - got);
  return static_cast<std::int32_t>(get_length(bytes));
}

message_kind classify(std::string_view text) {
  if (text == CLOSE_TEXT) return message_kind::close;
  if (text.starts_with(MORE_PREFIX)) return message_kind::more;
  // Checked before the piece: a piece whose "part" is exactly "true" reads as a start.
  if (text.starts_with(START_PREFIX)) return message_kind::start;
  if (text.starts_with(PIECE_PREFIX)) return message_kind::piece;
  if (text.starts_with(LAST_PREFIX)) return message_kind::last_piece;
  return message_kind::query;
}

bool read_body_block(frame_reader& reader, byte_buffer& text, inbound_body& body) {
  const std::size_t want = std::min(body.remaining, reader.block.size());
  const std::size_t got = std::fread(reader.block.data(), 1, want, reader.in);
  if (got == 0) return false;
  body.remaining -= got;
  // The text is a NUL-terminated string: decoded bytes past a NUL are not part of it, and once one
  // turns up the rest of the body is only read. Each block's bytes are looked through while fresh.
  if (body.whole) return true;
  if (!body.decoder.ended) {
    char* out = text.reserve_more(got / 4 * 3 + 3);
    std::size_t written = base64_decode_update(body.decoder, out, reader.block.data(), got);
    if (const void* nul = std::memchr(out, '\0', written)) {
      written = static_cast<std::size_t>(static_cast<const char*>(nul) - out);
      body.whole = true;
    }
    text.commit(written);
  }
  if (body.remaining == 0 && !body.whole) {
    // The 0 to 2 bytes of a group cut short.
    char* out = text.reserve_more(2);
    std::size_t written = base64_decode_final(body.decoder, out);
    // These bytes miss the NUL search above, yet the text ends at its first NUL wherever it
    // falls: a NUL in the second byte keeps the first, one in the first keeps neither.
    if (written == 2 && out[1] == '\0') written = 1;
    if (written != 0 && out[0] == '\0') written = 0;
    text.commit(written);
    body.whole = true;
  }
  return true;
}

std::optional<message_kind> read_head(frame_reader& reader, std::size_t length, byte_buffer& text, inbound_body& body) {
  text.clear();
  text.reserve(std::min(length / 4 * 3 + 3, initial_text_reserve));
  body = inbound_body{};
  body.remaining = length;
  // The envelope ends at the body's first NUL; the rest is only read. The decoder finds that NUL
  // on its slow path, which any byte outside the alphabet takes anyway, so no separate scan is due.
  body.decoder.nul_ends = true;
  if (length == 0) body.whole = true;
  // Only the close text is compared whole; every other kind is told by at most its first
  // START_PREFIX bytes, which a longer text keeps.
  static_assert(CLOSE_TEXT.size() >= START_PREFIX.size() && CLOSE_TEXT.size() >= MORE_PREFIX.size());
  while (!body.whole && text.size() <= CLOSE_TEXT.size())
    if (!read_body_block(reader, text, body)) return std::nullopt;
  return classify(text);
}

char* begin_frame(frame_writer& writer, std::size_t body_length) {
  writer.frame_size = LENGTH_SIZE + body_length;
  ++writer.frames_begun;
  if (writer.buffer.size() < writer.frame_size + 1) writer.buffer.resize(writer.frame_size + 1);
  put_length(static_cast<std::uint32_t>(body_length), writer.buffer.data());
  return writer.buffer.data() + LENGTH_SIZE;
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
