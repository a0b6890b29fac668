// What the benchmark library and the driver agree on: the checksum of a request and the bytes of
// a reply of a requested size, both cheap enough not to weigh on the host's measured cost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace npc::bench {

// Four independent lanes of 64-bit multiply-xor over 8-byte words, so the multiplier's latency
// overlaps: well under one instruction per byte, against FNV-1a's four.
inline std::uint64_t checksum(const char* data, std::size_t length) {
  constexpr std::uint64_t prime = 0x100000001b3u;
  std::uint64_t lane[4] = {0xcbf29ce484222325u, 0x84222325cbf29ce4u, 0x9e3779b97f4a7c15u, 0x7f4a7c159e3779b9u};
  std::size_t i = 0;
  for (; i + 32 <= length; i += 32) {
    for (int k = 0; k < 4; ++k) {
      std::uint64_t word;
      std::memcpy(&word, data + i + 8 * k, 8);
      lane[k] = (lane[k] ^ word) * prime;
    }
  }
  for (; i < length; ++i) lane[0] = (lane[0] ^ static_cast<unsigned char>(data[i])) * prime;
  std::uint64_t hash = length;
  for (const std::uint64_t value : lane) hash = (hash ^ value ^ (value >> 29)) * prime;
  return hash;
}

// The request that asks the benchmark library for a reply of N bytes is "reply:N".
inline constexpr char REPLY_PREFIX[] = "reply:";

// The filler of a reply: printable ASCII without quote or backslash, in a period that is no
// divisor of the chunk size, so chunks do not repeat.
inline constexpr std::size_t FILL_PERIOD = 4096;
inline void fill_period(char* block) {
  std::uint32_t state = 0x2545F491u;
  for (std::size_t i = 0; i < FILL_PERIOD; ++i) {
    state = state * 1103515245u + 12345u;
    char c = static_cast<char>(0x23 + (state >> 16) % 0x59);  // '#' .. '{'
    if (c == '\\') c = 'z';
    block[i] = c;
  }
}

// Writes the reply of `length` bytes: a JSON string, '"' + filler + '"' (shorter replies are cut).
inline void fill_reply(char* out, std::size_t length) {
  char block[FILL_PERIOD];
  fill_period(block);
  std::size_t i = 0;
  while (i < length) {
    const std::size_t step = length - i < FILL_PERIOD ? length - i : FILL_PERIOD;
    std::memcpy(out + i, block, step);
    i += step;
  }
  if (length >= 1) out[0] = '"';
  if (length >= 2) out[length - 1] = '"';
}

}  // namespace npc::bench
