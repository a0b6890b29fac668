// Assembly of split requests. The buffer grows with the pieces that actually arrive ("count" only
// sizes a first reservation), and an assembly that went wrong anywhere is answered as an empty
// request rather than handing the library a partial one as if it were whole.
#include "protocol/split_request.hpp"

#include <jansson.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "codec/base64.hpp"
#include "protocol/json_ptr.hpp"
#include "protocol/wire.hpp"

namespace npc {
namespace {

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

// Looks for the first NUL among `bytes` from `from` on, while none is known: each piece's bytes
// are looked through while fresh, not the whole request at its end.
void note_nul(const byte_buffer& bytes, std::size_t from, std::size_t& nul_at) {
  if (nul_at != no_nul || from >= bytes.size()) return;
  if (const void* nul = std::memchr(bytes.data() + from, '\0', bytes.size() - from))
    nul_at = static_cast<std::size_t>(static_cast<const char*>(nul) - bytes.data());
}

constexpr std::string_view plain_tail = R"("})";

std::string_view key_of(bool last) { return last ? "last" : "part"; }

// Decodes the base64 text in the string member `key` of a piece message through the JSON parser
// and appends the bytes to `bytes`; false, with `bytes` as it was, when the message does not parse
// or the member is missing or no string.
bool append_parsed_piece(std::string_view text, std::string_view key, byte_buffer& bytes) {
  const json_ptr document = parse(text);
  const json_t* value = document ? json_object_get(document.get(), std::string(key).c_str()) : nullptr;
  if (!json_is_string(value)) return false;
  append_decoded(bytes, {json_string_value(value), json_string_length(value)});
  return true;
}

}  // namespace

namespace detail {

void piece_decoder::begin(bool is_last, const byte_buffer& bytes) {
  *this = piece_decoder{};
  last = is_last;
  start = bytes.size();
}

void piece_decoder::grow(std::string_view text, byte_buffer& bytes) {
  if (!plain) return;
  const std::string_view key = key_of(last);
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
  const std::size_t before = bytes.size();
  char* out = bytes.reserve_more((end - fed) / 4 * 3 + 3);
  bytes.commit(base64_decode_update(decoder, out, text.data() + fed, end - fed));
  fed = end;
  if (decoder.foreign) plain = false;
  note_nul(bytes, before, nul_at);
}

bool piece_decoder::finish(std::string_view text, byte_buffer& bytes) {
  grow(text, bytes);
  if (plain && fed != 0 && text.size() == fed + plain_tail.size() && text.ends_with(plain_tail)) {
    const std::size_t before = bytes.size();
    bytes.commit(base64_decode_final(decoder, bytes.reserve_more(2)));
    note_nul(bytes, before, nul_at);
    return true;
  }
  // Not of the plain form after all: what was decoded early goes, and the parser decides.
  bytes.truncate(start);
  nul_at = no_nul;
  if (!append_parsed_piece(text, key_of(last), bytes)) return false;
  note_nul(bytes, start, nul_at);
  return true;
}

}  // namespace detail

bool send_more_ack(frame_writer& writer) { return write_frame(writer, MORE_ACK); }

bool begin_assembly(assembly& pieces, std::string_view text, frame_writer& writer) {
  std::int32_t count = 0;
  if (const json_ptr document = parse(text)) {
    const json_t* member = json_object_get(document.get(), "count");
    // Only the low 32 bits count, as a signed value; a real such as 2.0 is no integer.
    if (json_is_integer(member))
      count = static_cast<std::int32_t>(static_cast<std::uint32_t>(json_integer_value(member)));
  }
  count = std::max(count, std::int32_t{0});
  // Room for `count` pieces and a last one, and the NUL.
  const std::size_t capacity = (static_cast<std::size_t>(count) + 1) * CHUNK_SIZE + 1;

  pieces = assembly{};
  pieces.active = true;
  pieces.bytes.reserve(std::min(capacity, max_reserve));
  return send_more_ack(writer);
}

void begin_piece(assembly& pieces, bool last) {
  if (!pieces.active) {
    pieces = assembly{};
    pieces.active = true;
    pieces.spoiled = !last;
  }
  // A spoiled assembly takes nothing more: the piece is only read.
  pieces.taking = !pieces.spoiled;
  pieces.piece.begin(last, pieces.bytes);
}

void piece_grew(assembly& pieces, std::string_view text) {
  if (pieces.taking) pieces.piece.grow(text, pieces.bytes);
}

bool end_piece(assembly& pieces, std::string_view text, byte_buffer& request, frame_writer& writer) {
  const bool last = pieces.piece.last;
  if (pieces.taking) {
    if (!pieces.piece.finish(text, pieces.bytes) || pieces.bytes.size() > max_assembly) {
      pieces.spoiled = true;
    } else if (pieces.nul_at == no_nul) {
      pieces.nul_at = pieces.piece.nul_at;
    }
    pieces.taking = false;
  }
  if (pieces.spoiled) pieces.bytes.release();  // nothing of it will be used: free it now

  if (!last) return send_more_ack(writer);

  // The assembled bytes become the request; the library sees them as a C string.
  if (!pieces.spoiled && pieces.nul_at != no_nul) pieces.bytes.truncate(pieces.nul_at);
  request = std::move(pieces.bytes);
  pieces = assembly{};
  return true;
}

}  // namespace npc
