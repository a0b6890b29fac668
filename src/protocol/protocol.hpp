// The host's conversation with the browser: the signing library's entry points, the message
// texts of the catalogue, the protocol's sizes and the request loop's working state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "codec/base64.hpp"
#include "protocol/byte_buffer.hpp"

namespace npc {

// The signing library's two entry points. addon_process_query gets the request text and a second
// text, always empty, and returns a NUL-terminated reply that stays valid until it is handed to
// addon_free.
extern "C" {
using addon_process_query_fn = const char* (*)(const char* request, const char* extra);
using addon_free_fn = void (*)(const char* result);
}

// Filled before the worker starts and only read afterwards.
struct library_entries {
  addon_process_query_fn process_query = nullptr;
  addon_free_fn free_result = nullptr;
};

// Most reply bytes one chunk carries, and most request bytes one piece is given room for.
inline constexpr std::size_t CHUNK_SIZE = 786'423;
// Longest reply sent whole; also the longest message the host ever writes.
inline constexpr std::size_t DIRECT_REPLY_LIMIT = 1'048'576;
// A chunk message is its base64 text with this much JSON around it: {"part": "..."}.
inline constexpr std::size_t CHUNK_OVERHEAD = 12;

static_assert(CHUNK_SIZE % 3 == 0, "a full chunk encodes without padding");
static_assert(base64_encoded_length(CHUNK_SIZE) == 1'048'564);
static_assert(base64_encoded_length(CHUNK_SIZE) + CHUNK_OVERHEAD == DIRECT_REPLY_LIMIT,
              "a full chunk message is exactly the largest message");

// Inbound message texts, recognised in this order on the decoded text.
inline constexpr std::string_view CLOSE_TEXT = R"({"close":"close"})";
inline constexpr std::string_view MORE_PREFIX = R"({"more":"more")";   // the more text less its brace
inline constexpr std::string_view START_PREFIX = R"({"part":"true")";  // a split request's start
inline constexpr std::string_view PIECE_PREFIX = R"({"part":)";
inline constexpr std::string_view LAST_PREFIX = R"({"last":)";

// Outbound texts besides the library's replies.
inline constexpr std::string_view MORE_ACK = R"({"more":"more"})";
inline constexpr std::string_view NULL_REPLY = "null";  // answers a library that returned nothing
inline constexpr std::string_view CHUNK_PART_HEAD = R"({"part": ")";
inline constexpr std::string_view CHUNK_LAST_HEAD = R"({"last": ")";
inline constexpr std::string_view CHUNK_TAIL = R"("})";

static_assert(MORE_PREFIX.size() == 14 && START_PREFIX.size() == 14 && PIECE_PREFIX.size() == 8);
static_assert(CHUNK_PART_HEAD.size() + CHUNK_TAIL.size() == CHUNK_OVERHEAD);

// The split request being assembled from pieces.
struct assembly {
  static constexpr std::size_t no_nul = static_cast<std::size_t>(-1);

  bool active = false;   // a start message (or a stray piece) began one
  bool spoiled = false;  // a piece was unusable: the last piece is answered as an empty request
  byte_buffer bytes;     // the decoded pieces so far, NUL bytes included
  std::size_t nul_at = no_nul;  // where the first NUL in `bytes` is, the request's end
};

// The request loop's working state, held by the worker for its whole life.
struct loop_state {
  byte_buffer message_text;  // decoded text of the latest frame, cut at its first NUL
  assembly pieces;
  const char* current_result = nullptr;  // the library's latest reply; the library owns it
  std::size_t chunk_remaining = 0;       // bytes of current_result not yet sent in chunks, as far
                                         // as measured
  std::size_t chunk_position = 0;        // offset in current_result of the next chunk
  bool chunk_end_known = true;           // chunk_remaining reaches the end of current_result
  std::uint64_t prepared_chunk = 0;      // the writer's frame that holds the next chunk, made
                                         // ahead; 0 for none
  const library_entries* entries = nullptr;
};

}  // namespace npc
