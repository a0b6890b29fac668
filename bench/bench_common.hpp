// What the benchmark library and the driver agree on: the checksum of a request and the bytes of
// a reply of a requested size, both cheap enough not to weigh on the host's measured cost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <sys/mman.h>

namespace npc::bench {

// Four independent lanes of 64-bit multiply-xor over 8-byte words, so the multiplier's latency
// overlaps: well under one instruction per byte, against FNV-1a's four.
inline std::uint64_t checksum(const char* data, std::size_t length) {
  constexpr std::uint64_t prime = 0x100000001b3u;
  std::uint64_t a = 0xcbf29ce484222325u, b = 0x84222325cbf29ce4u, c = 0x9e3779b97f4a7c15u, d = 0x7f4a7c159e3779b9u;
  std::size_t i = 0;
  for (; i + 32 <= length; i += 32) {
    std::uint64_t w[4];
    std::memcpy(w, data + i, 32);
    a = (a ^ w[0]) * prime;
    b = (b ^ w[1]) * prime;
    c = (c ^ w[2]) * prime;
    d = (d ^ w[3]) * prime;
  }
  for (; i + 8 <= length; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);
    a = (a ^ word) * prime;
  }
  for (; i < length; ++i) b = (b ^ static_cast<unsigned char>(data[i])) * prime;
  std::uint64_t hash = length;
  hash = (hash ^ a ^ (a >> 29)) * prime;
  hash = (hash ^ b ^ (b >> 29)) * prime;
  hash = (hash ^ c ^ (c >> 29)) * prime;
  hash = (hash ^ d ^ (d >> 29)) * prime;
  return hash;
}

// Writes the checksum reply {"length":N,"checksum":"<16 hex digits>"} and its NUL into `out` (at
// least 64 bytes); returns its length. Formatted by hand: printf would cost more than the host.
inline std::size_t checksum_reply(char* out, const char* data, std::size_t length) {
  constexpr char head[] = "{\"length\":";
  constexpr char middle[] = ",\"checksum\":\"";
  char* at = out;
  std::memcpy(at, head, sizeof head - 1);
  at += sizeof head - 1;
  char digits[20];
  int count = 0;
  std::size_t rest = length;
  do {
    digits[count++] = static_cast<char>('0' + rest % 10);
    rest /= 10;
  } while (rest != 0);
  while (count > 0) *at++ = digits[--count];
  std::memcpy(at, middle, sizeof middle - 1);
  at += sizeof middle - 1;
  static constexpr char hex[] = "0123456789abcdef";
  const std::uint64_t hash = checksum(data, length);
  for (int shift = 56; shift >= 0; shift -= 8) {
    *at++ = hex[(hash >> (shift + 4)) & 0xF];
    *at++ = hex[(hash >> shift) & 0xF];
  }
  *at++ = '"';
  *at++ = '}';
  *at = '\0';
  return static_cast<std::size_t>(at - out);
}

// The request that asks the benchmark library for a reply of N bytes is "reply:N". Before it,
// "prepare:N" has the library make that reply ahead (and answer like any other request), so the
// driver can keep the library's own work out of the timed part.
inline constexpr char REPLY_PREFIX[] = "reply:";
inline constexpr char PREPARE_PREFIX[] = "prepare:";

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
  // Copied a kilobyte at a time: larger copies take the string instructions, which callgrind
  // counts once per byte and would charge to the host.
  constexpr std::size_t step = 1024;
  static_assert(FILL_PERIOD % step == 0);
  std::size_t i = 0;
  for (; i + step <= length; i += step) std::memcpy(out + i, block + i % FILL_PERIOD, step);
  std::memcpy(out + i, block + i % FILL_PERIOD, length - i);
  if (length >= 1) out[0] = '"';
  if (length >= 2) out[length - 1] = '"';
}

// Asks for huge pages over the pages of a large block from malloc, all of them so that the
// mapping is not split. Fresh memory faulted in 4 KiB pages costs more here than everything the
// host does with it, and this is the library's cost and the reference's, not the host's.
inline void hint_huge_pages(void* data, std::size_t size) {
  if (size < (std::size_t{2} << 20)) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(data) & ~std::uintptr_t{4095};
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + size + 4095) & ~std::uintptr_t{4095};
  ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace npc::bench
