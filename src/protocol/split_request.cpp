// Assembly of split requests. The buffer grows with the pieces that actually arrive ("count" only
// sizes a first reservation), and an assembly that went wrong anywhere is answered as an empty
// request rather than handing the library a partial one as if it were whole.
#include "protocol/split_request.hpp"

#include <jansson.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "codec/base64.hpp"

namespace npc {
namespace {

struct json_release {
  void operator()(json_t* value) const { json_decref(value); }
};
using json_ptr = std::unique_ptr<json_t, json_release>;

// Requests are C strings measured in signed 32 bits on the library's side.
constexpr std::size_t max_assembly = 0x7FFF'FFFF;
// "count" is the extension's word, not a promise: reserve no more than this on its strength; the
// assembly grows past it as pieces actually arrive.
constexpr std::size_t max_reserve = std::size_t{4} << 20;

json_ptr parse(std::string_view text) {
  // Any JSON value at the top level, nothing but white space after it, "\u0000" rejected and a
  // duplicate key won by its later value: Jansson's behaviour with these flags.
  return json_ptr(json_loadb(text.data(), text.size(), JSON_DECODE_ANY, nullptr));
}

// Decodes base64 `text` and appends the bytes; returns the decoder's state before its end, whose
// `foreign` says whether anything but alphabet characters and padding was skipped.
base64_decoder append_decoded(byte_buffer& bytes, std::string_view text) {
  base64_decoder decoder;
  char* out = bytes.reserve_more(text.size() / 4 * 3 + 3);
  std::size_t written = base64_decode_update(decoder, out, text.data(), text.size());
  const base64_decoder before_end = decoder;
  written += base64_decode_final(decoder, out + written);
  bytes.commit(written);
  return before_end;
}

// Takes a piece into the assembly under way, or begins one: a piece with nothing begun cannot be
// placed and spoils it; a last piece alone is a whole request.
void open_assembly(assembly& pieces, bool last) {
  if (pieces.active) return;
  pieces = assembly{};
  pieces.active = true;
  pieces.spoiled = !last;
}

// Looks for the request's first NUL among the assembled bytes from `from` on, while none is known:
// each piece's bytes are looked through while fresh, not the whole request at its end.
void note_nul(assembly& pieces, std::size_t from) {
  if (pieces.nul_at != assembly::no_nul || from >= pieces.bytes.size()) return;
  if (const void* nul = std::memchr(pieces.bytes.data() + from, '\0', pieces.bytes.size() - from))
    pieces.nul_at = static_cast<std::size_t>(static_cast<const char*>(nul) - pieces.bytes.data());
}

// The head of a piece of the plain form, the same length for both keys.
constexpr std::string_view plain_part_head = R"({"part":")";
constexpr std::string_view plain_last_head = R"({"last":")";
constexpr std::string_view plain_tail = R"("})";

// Completes a piece that `stream` decoded as it arrived; false, with nothing completed, when the
// whole text is not of the plain form.
bool finish_stream(piece_stream& stream, std::string_view text) {
  stream.text_grew(text);  // anything not yet seen
  if (!stream.plain || !text.ends_with(plain_tail)) return false;
  byte_buffer& bytes = stream.state->pieces.bytes;
  const std::size_t before = bytes.size();
  bytes.commit(base64_decode_final(stream.decoder, bytes.reserve_more(2)));
  note_nul(stream.state->pieces, before);
  return true;
}

// Undoes what `stream` added to the assembly.
void undo_stream(const piece_stream& stream) {
  assembly& pieces = stream.state->pieces;
  pieces.bytes.truncate(stream.start_size);
  if (pieces.nul_at != assembly::no_nul && pieces.nul_at >= stream.start_size) pieces.nul_at = assembly::no_nul;
}

}  // namespace

void piece_stream::text_grew(std::string_view text) {
  static_assert(plain_part_head.size() == plain_last_head.size());
  if (!plain) return;
  if (!started) {
    // The loop tells the kinds apart by these first bytes, which a longer text keeps.
    if (text.size() < START_PREFIX.size()) return;
    last = text.starts_with(plain_last_head);
    if (!last && (!text.starts_with(plain_part_head) || text.starts_with(START_PREFIX))) {
      plain = false;
      return;
    }
    assembly& pieces = state->pieces;
    open_assembly(pieces, last);
    if (pieces.spoiled) {
      plain = false;
      return;
    }
    started = true;
    start_size = pieces.bytes.size();
    fed = plain_part_head.size();
  }
  // The last two bytes may be the closing quote and brace: they wait until more text follows.
  if (text.size() < fed + plain_tail.size() + 1) return;
  const std::size_t end = text.size() - plain_tail.size();
  byte_buffer& bytes = state->pieces.bytes;
  const std::size_t before = bytes.size();
  char* out = bytes.reserve_more((end - fed) / 4 * 3 + 3);
  bytes.commit(base64_decode_update(decoder, out, text.data() + fed, end - fed));
  fed = end;
  note_nul(state->pieces, before);
  if (decoder.foreign) plain = false;
}

namespace detail {

bool append_piece(std::string_view text, std::string_view key, byte_buffer& bytes) {
  // The plain form {"key":"<base64>"}, as extensions send it, needs no parser: with nothing but
  // base64 characters and padding between the quotes it means exactly what the parser would make
  // of it. Whether that holds is learnt while decoding, from the bytes the decoder skipped.
  const std::size_t head = key.size() + 5;  // {"key":"
  if (text.size() >= head + 2 && text.starts_with("{\"") && text.substr(2, key.size()) == key &&
      text.substr(2 + key.size(), 3) == "\":\"" && text.ends_with("\"}")) {
    const std::size_t old_size = bytes.size();
    if (!append_decoded(bytes, text.substr(head, text.size() - head - 2)).foreign) return true;
    bytes.truncate(old_size);  // not plain after all: the parser decides
  }
  const json_ptr document = parse(text);
  const json_t* value = document ? json_object_get(document.get(), std::string(key).c_str()) : nullptr;
  if (!json_is_string(value)) return false;
  append_decoded(bytes, {json_string_value(value), json_string_length(value)});
  return true;
}

}  // namespace detail

bool send_more_ack(frame_writer& writer) { return write_frame(writer, MORE_ACK); }

bool begin_assembly(loop_state& state, frame_writer& writer) {
  std::int32_t count = 0;
  if (const json_ptr document = parse(state.message_text)) {
    const json_t* member = json_object_get(document.get(), "count");
    // Only the low 32 bits count, as a signed value; a real such as 2.0 is no integer.
    if (json_is_integer(member))
      count = static_cast<std::int32_t>(static_cast<std::uint32_t>(json_integer_value(member)));
  }
  count = std::max(count, std::int32_t{0});
  // Room for `count` pieces and a last one, and the NUL.
  const std::size_t capacity = (static_cast<std::size_t>(count) + 1) * CHUNK_SIZE + 1;

  state.pieces = assembly{};
  state.pieces.active = true;
  state.pieces.bytes.reserve(std::min(capacity, max_reserve));
  return send_more_ack(writer);
}

bool store_piece(loop_state& state, frame_writer& writer, std::string_view key, piece_stream* stream) {
  const bool last = key == "last";
  assembly& pieces = state.pieces;
  open_assembly(pieces, last);
  if (!pieces.spoiled) {
    const bool streamed = stream != nullptr && stream->started && stream->last == last;
    bool placed = streamed && finish_stream(*stream, state.message_text);
    if (!placed) {
      if (streamed) undo_stream(*stream);
      // Decoded straight into the assembly; a piece that turns out unusable spoils it all anyway.
      const std::size_t before = pieces.bytes.size();
      placed = detail::append_piece(state.message_text, key, pieces.bytes);
      note_nul(pieces, before);
    }
    if (!placed || pieces.bytes.size() > max_assembly) pieces.spoiled = true;
  }
  if (pieces.spoiled) pieces.bytes.release();  // nothing of it will be used: free it now

  if (!last) return send_more_ack(writer);

  // The assembled bytes become the request; the library sees them as a C string.
  if (!pieces.spoiled && pieces.nul_at != assembly::no_nul) pieces.bytes.truncate(pieces.nul_at);
  state.message_text = std::move(pieces.bytes);
  state.pieces = assembly{};
  return true;
}

}  // namespace npc
