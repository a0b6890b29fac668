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

// Decodes base64 `text` and appends the bytes.
void append_decoded(byte_buffer& bytes, std::string_view text) {
  base64_decoder decoder;
  char* out = bytes.reserve_more(text.size() / 4 * 3 + 3);
  std::size_t written = base64_decode_update(decoder, out, text.data(), text.size());
  written += base64_decode_final(decoder, out + written);
  bytes.commit(written);
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

constexpr std::string_view plain_tail = R"("})";

std::string_view key_of(bool last) { return last ? "last" : "part"; }

// Completes the piece `stream` decoded as it arrived (all of it when it came in one block); false,
// with what it added taken back out, when the text is not a piece of the plain form.
bool finish_stream(piece_stream& stream, std::string_view text, bool last) {
  stream.text_grew(text);  // what it has not seen yet
  if (!stream.started || stream.last != last) return false;
  assembly& pieces = stream.state->pieces;
  const std::size_t before = pieces.bytes.size();
  if (stream.piece.finish(text, key_of(last), pieces.bytes)) {
    note_nul(pieces, before);
    return true;
  }
  pieces.bytes.truncate(stream.start_size);
  if (pieces.nul_at != assembly::no_nul && pieces.nul_at >= stream.start_size) pieces.nul_at = assembly::no_nul;
  return false;
}

}  // namespace

namespace detail {

void plain_piece::grow(std::string_view text, std::string_view key, byte_buffer& bytes) {
  if (!plain) return;
  if (fed == 0) {
    const std::size_t head = key.size() + 5;  // {"key":"
    if (text.size() < head) return;
    if (!text.starts_with("{\"") || text.substr(2, key.size()) != key || text.substr(2 + key.size(), 3) != "\":\"") {
      plain = false;
      return;
    }
    fed = head;
  }
  if (text.size() <= fed + plain_tail.size()) return;
  const std::size_t end = text.size() - plain_tail.size();
  char* out = bytes.reserve_more((end - fed) / 4 * 3 + 3);
  bytes.commit(base64_decode_update(decoder, out, text.data() + fed, end - fed));
  fed = end;
  if (decoder.foreign) plain = false;
}

bool plain_piece::finish(std::string_view text, std::string_view key, byte_buffer& bytes) {
  grow(text, key, bytes);
  if (!plain || fed == 0 || text.size() != fed + plain_tail.size() || !text.ends_with(plain_tail)) return false;
  bytes.commit(base64_decode_final(decoder, bytes.reserve_more(2)));
  return true;
}

bool append_parsed_piece(std::string_view text, std::string_view key, byte_buffer& bytes) {
  const json_ptr document = parse(text);
  const json_t* value = document ? json_object_get(document.get(), std::string(key).c_str()) : nullptr;
  if (!json_is_string(value)) return false;
  append_decoded(bytes, {json_string_value(value), json_string_length(value)});
  return true;
}

}  // namespace detail

void piece_stream::text_grew(std::string_view text) {
  if (declined) return;
  assembly& pieces = state->pieces;
  if (!started) {
    // The loop tells the kinds apart by these first bytes, which a longer text keeps.
    if (text.size() < START_PREFIX.size()) return;
    last = text.starts_with(LAST_PREFIX);
    if (!last && (!text.starts_with(PIECE_PREFIX) || text.starts_with(START_PREFIX))) {
      declined = true;
      return;
    }
    open_assembly(pieces, last);
    if (pieces.spoiled) {
      declined = true;
      return;
    }
    started = true;
    start_size = pieces.bytes.size();
  }
  const std::size_t before = pieces.bytes.size();
  piece.grow(text, key_of(last), pieces.bytes);
  note_nul(pieces, before);
}

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

bool store_piece(loop_state& state, frame_writer& writer, std::string_view key, piece_stream& stream) {
  const bool last = key == "last";
  assembly& pieces = state.pieces;
  open_assembly(pieces, last);
  if (!pieces.spoiled) {
    // Decoded straight into the assembly; a piece that turns out unusable spoils it all anyway.
    bool placed = finish_stream(stream, state.message_text, last);
    if (!placed) {
      // Not of the plain form: the parser decides.
      const std::size_t before = pieces.bytes.size();
      placed = detail::append_parsed_piece(state.message_text, key, pieces.bytes);
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
