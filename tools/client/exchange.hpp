// The extension's side of the wire: frames over file descriptors, the base64 envelope, split
// requests with their acknowledgements, and the joining of a chunked reply.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "protocol/wire.hpp"

namespace npc::client {

// What went wrong in an exchange with the host; `none` when nothing did.
enum class fault {
  none,
  host_ended,  // the host closed its output before a frame began, or its input is closed
  cut_short,   // a frame ended inside its length bytes or its body
  too_long,    // a length prefix above DIRECT_REPLY_LIMIT
  bad_ack,     // an answer to a split request's start or piece that is not exactly MORE_ACK
  bad_chunk,   // a chunk of a long reply that is not of the exact chunk form and size
  io,          // a read or write failed for another reason
};

// The result of every wire function: a fault and a one-line description of it for a person.
struct outcome {
  fault kind = fault::none;
  std::string detail;
};

inline bool succeeded(const outcome& result) { return result.kind == fault::none; }

// Writes all `length` bytes, retrying after interruptions and short writes. A closed reader
// (EPIPE, with SIGPIPE ignored) is host_ended.
outcome write_all(int fd, const char* data, std::size_t length);

// Writes one frame: the four length bytes, least significant first, then the body.
outcome write_frame(int fd, std::string_view body);

// Reads one frame into `body` (replaced). The end of input before the first length byte is
// host_ended; inside the frame it is cut_short. A length above DIRECT_REPLY_LIMIT is too_long
// and no body byte is read.
outcome read_frame(int fd, std::string& body);

// The frame body that carries a message text: '"' + base64(text) + '"'.
std::string envelope(std::string_view text);

// The whole frame that carries a message text: the four length bytes, then the envelope.
std::string message_frame(std::string_view text);

// Writes one message text in its envelope, the frame in one write.
outcome send_message(int fd, std::string_view text);

// How a request goes out: whole, or split into pieces of at most piece_size bytes. A request
// longer than one piece, or one the host would take for a message of its own (close, more, a
// start, a piece or a last piece, by the host's classify on the text up to its first NUL), is
// always split.
struct send_settings {
  bool split = false;
  std::size_t piece_size = CHUNK_SIZE;  // 1 to CHUNK_SIZE
};

// The messages of a split request: start, `count` pieces of exactly piece_size bytes, one last
// piece holding the remaining 1 to piece_size bytes (0 only for an empty request).
struct split_plan {
  std::size_t count = 0;
  std::size_t piece_size = CHUNK_SIZE;
};

split_plan plan_split(std::size_t request_length, std::size_t piece_size);

// {"part":"true","count":N}
std::string start_message(std::size_t count);

// {"<key>":"<base64 of bytes>"}, key "part" or "last".
std::string piece_message(std::string_view key, std::string_view bytes);

// What one request cost on the wire.
struct send_report {
  bool split = false;
  std::size_t messages = 0;  // message texts written, the start message included
  std::size_t pieces = 0;    // pieces before the last one
};

// Sends one request on to_host: as one query message, or as a split request whose start
// message and pieces each must be answered on from_host with exactly MORE_ACK. The reply to
// the request is left unread.
outcome send_request(int to_host, int from_host, std::string_view request,
                     const send_settings& settings, send_report& report);

// The form of one reply frame: a chunk is exactly {"part": "<b64>"} or {"last": "<b64>"}, the
// base64 in canonical form (length a multiple of four, '=' only as the last one or two
// characters). `base64` points into the text given.
enum class chunk_kind { not_chunk, part, last };
struct chunk_view {
  chunk_kind kind = chunk_kind::not_chunk;
  std::string_view base64;
};

chunk_view parse_chunk(std::string_view text);

// Decoded bytes of a canonical base64 text.
std::size_t decoded_length(std::string_view base64);

struct reply_report {
  std::size_t frames = 0;  // reply frames read: 1 for a whole reply, else the chunk count
};

// Reads the reply to one request into `reply` (replaced). When the first frame is a part chunk
// the rest is fetched with MORE_TEXT messages on to_host until a last chunk, and `reply` is the
// decoded bytes joined. Every part chunk must carry exactly CHUNK_SIZE bytes and the last chunk
// fewer, as the host cuts them; anything else is bad_chunk.
outcome read_reply(int from_host, int to_host, std::string& reply, reply_report& report);

// The message a client sends for the next chunk.
inline constexpr std::string_view MORE_TEXT = MORE_ACK;

// At most max_bytes of `bytes` for an error message: printable ASCII as is, other bytes as
// \xNN, with the full size appended when cut.
std::string excerpt(std::string_view bytes, std::size_t max_bytes = 60);

}  // namespace npc::client
