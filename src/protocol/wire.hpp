// What crosses the wire: the sizes, the message texts and the 4-byte length prefix, shared by the
// host, the command-line client, the tests, the fuzz targets and the benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "codec/base64.hpp"

namespace npc {

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

// Bytes of the length prefix before every frame's body.
inline constexpr std::size_t LENGTH_SIZE = 4;

// Writes `length` into out[0..3], least significant byte first.
constexpr void put_length(std::uint32_t length, char* out) {
  for (std::size_t i = 0; i < LENGTH_SIZE; ++i) out[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
}

// Reads the length in in[0..3], least significant byte first, as the unsigned value it spells.
constexpr std::uint32_t get_length(const char* in) {
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < LENGTH_SIZE; ++i) length |= std::uint32_t{static_cast<unsigned char>(in[i])} << (8 * i);
  return length;
}

}  // namespace npc
