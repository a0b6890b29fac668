// The byte buffer: realloc-based growth, and a hint for huge pages on large blocks where the
// system takes one, since fresh memory faulted in 4 KiB pages costs more than decoding into it.
#include "protocol/byte_buffer.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace npc {
namespace {

// Blocks this large are worth backing with huge pages (2 MiB each on x86-64).
constexpr std::size_t huge_hint_size = std::size_t{2} << 20;

void hint_huge_pages([[maybe_unused]] char* data, [[maybe_unused]] std::size_t size) {
#if defined(MADV_HUGEPAGE)
  // The hint covers every page the block touches, not only its whole 2 MiB stretches: a mapping
  // with the hint on part of it is split in two, and a split mapping can no longer be remapped
  // when the block grows, which would turn each growth into a copy. Where it falls on shared
  // pages (a block carved from the heap) it only lets more memory be huge; a refusal changes
  // nothing.
  constexpr std::uintptr_t page = 4096;
  const auto begin = reinterpret_cast<std::uintptr_t>(data) & ~(page - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + size + page - 1) & ~(page - 1);
  ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

}  // namespace

byte_buffer::byte_buffer(byte_buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

byte_buffer& byte_buffer::operator=(byte_buffer&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

byte_buffer::~byte_buffer() { std::free(data_); }

void byte_buffer::reserve(std::size_t total) {
  if (total <= capacity_) return;
  if (total >= static_cast<std::size_t>(-1) / 2) throw std::bad_alloc();
  auto* grown = static_cast<char*>(std::realloc(data_, total + 1));
  if (grown == nullptr) throw std::bad_alloc();
  data_ = grown;
  capacity_ = total;
  data_[size_] = '\0';
  if (total >= huge_hint_size) hint_huge_pages(data_, total + 1);
}

char* byte_buffer::reserve_more(std::size_t extra) {
  if (extra > capacity_ - size_ || data_ == nullptr) {
    if (extra >= static_cast<std::size_t>(-1) / 4) throw std::bad_alloc();
    // Growing by half again keeps appends linear; realloc moves large blocks by remapping them.
    reserve(std::max(size_ + extra, capacity_ + capacity_ / 2 + 64));
  }
  return data_ + size_;
}

void byte_buffer::commit(std::size_t written) {
  size_ += written;
  data_[size_] = '\0';
}

void byte_buffer::truncate(std::size_t length) {
  if (data_ == nullptr) return;
  size_ = std::min(length, size_);
  data_[size_] = '\0';
}

void byte_buffer::assign(std::string_view bytes) {
  clear();
  append(bytes);
}

void byte_buffer::append(std::string_view bytes) {
  char* out = reserve_more(bytes.size());
  if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
  commit(bytes.size());
}

void byte_buffer::release() {
  std::free(data_);
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
}

}  // namespace npc
